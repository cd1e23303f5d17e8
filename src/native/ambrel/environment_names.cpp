// The table of interned names of the module.
#include "environment_names.h"

namespace ambrel {

Names N;

void intern_names() {
  Names& n = N;
  AMBREL_NAMES(ZT_INTERN_NAME)
}

}  // namespace ambrel
