// How the modules stand on free-threaded interpreters: they rely on the GIL.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "py_ref.h"

namespace zt {

// Called by each module's initialisation right after the module object is made. The modules
// share state between threads under the GIL's protection, so a free-threaded interpreter
// (3.13 and later, built with Py_GIL_DISABLED) must keep the GIL on once one of them loads.
// They initialise in one phase, so they say it with this call rather than a Py_mod_gil slot;
// the value is the slot's. Other builds have one GIL and nothing to declare.
inline void declare_gil_used([[maybe_unused]] PyObject* module) {
#ifdef Py_GIL_DISABLED
  check_status(PyUnstable_Module_SetGIL(module, Py_MOD_GIL_USED));
#endif
}

}  // namespace zt
