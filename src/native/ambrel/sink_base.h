// CELSinkBase: the event-sink base with one do-nothing handler per component event.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "args.h"

namespace ambrel {

// Creates the CELSinkBase type (a new reference). Its instances have object's layout, so
// Python classes and C heap types with fields of their own may derive from it.
PyObject* make_sink_base_type(const char* qualified_name);

// The parameters of the component event `name`, for handlers that replace the base's.
// Valid after make_sink_base_type; an unknown name is an InternalError.
const zt::Signature& handler_signature(const char* name);

}  // namespace ambrel
