// Ambrel, the component environment: worker thread, apartment, message pump, hand-over,
// configuration, start-up and shutdown of the component.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace ambrel {

// Creates the Ambrel type (a new reference). `sink_internal` is the type the worker connects
// as the environment's own sink; it must live as long as the process.
PyObject* make_environment_type(const char* qualified_name, PyObject* sink_internal);

}  // namespace ambrel
