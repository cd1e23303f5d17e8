// The table of interned names of the module.
#include "adapter_names.h"

namespace vantor {

Names N;

void intern_names() {
  Names& n = N;
  VANTOR_NAMES(ZT_INTERN_NAME)
  VANTOR_KEYWORDS(ZT_MAKE_KEYWORDS)
}

}  // namespace vantor
