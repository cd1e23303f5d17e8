// The bridge stand-in's interned names, made once while the module loads.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "names.h"

// clang-format off
#define COMSIM_NAMES(X) \
  X(Count, "Count") \
  X(Item, "Item")
// clang-format on

namespace comsim {

struct Names {
  COMSIM_NAMES(ZT_NAME_FIELD)
};

// Filled by intern_names from the module's init, before anything else runs; read-only after.
extern Names N;
void intern_names();

}  // namespace comsim
