// The table of interned names of the module.
#include "bridge_names.h"

namespace comsim {

Names N;

void intern_names() {
  Names& n = N;
  COMSIM_NAMES(ZT_INTERN_NAME)
}

}  // namespace comsim
