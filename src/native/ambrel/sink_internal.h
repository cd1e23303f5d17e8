// SinkInternal, the environment's own event sink, and the component's API configuration.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace ambrel {

// Creates the SinkInternal type, derived from `sink_base` (a new reference).
PyObject* make_sink_internal_type(const char* qualified_name, PyObject* sink_base);

// Writes the default API configuration through `cqgCEL`, then hands the configuration
// object to `custom` unless it is None.
void api_configuration_set(PyObject* cqgCEL, PyObject* custom);

}  // namespace ambrel
