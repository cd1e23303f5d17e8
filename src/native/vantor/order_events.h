// The order-change handler and the order status conversion.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "py_ref.h"

namespace vantor {

// The host's OrderStatus for a component order status; a value error outside the table.
zt::Ref host_order_status(PyObject* status);

// Vantor.OnOrderChanged(changeType, cqgOrder, oldProperties, cqgFill, cqgError).
PyObject* OnOrderChanged(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace vantor
