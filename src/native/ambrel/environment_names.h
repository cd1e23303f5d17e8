// The environment module's interned names, made once while the module loads.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "names.h"

// clang-format off
#define AMBREL_NAMES(X) \
  X(set, "set") \
  X(SetError, "SetError")
// clang-format on

namespace ambrel {

struct Names {
  AMBREL_NAMES(ZT_NAME_FIELD)
};

// Filled by intern_names from the module's init, before anything else runs; read-only after.
extern Names N;
void intern_names();

}  // namespace ambrel
