// The account lookup and the balance and position rebuilds, shared by the account and order parts.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "py_ref.h"

namespace vantor {

// self.get_account_from_gwaccountid(id), by position or by the keyword GWAccountID.
zt::Ref account_by_id(PyObject* self, PyObject* id, bool by_keyword);

// Vantor.update_account_balance() and Vantor.update_positions().
PyObject* update_account_balance(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames);
PyObject* update_positions(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames);

}  // namespace vantor
