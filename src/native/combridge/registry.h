// Registered type libraries and components, the constants table, and Dispatch.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace comsim {

// Creates the registries and adds the `constants` object to the module.
void init_registry(PyObject* module);

PyObject* py_register_typelib(PyObject*, PyObject* const* args, Py_ssize_t nargs);
PyObject* py_register_component(PyObject*, PyObject* const* args, Py_ssize_t nargs);
PyObject* py_ensure_typelib(PyObject*, PyObject* const* args, Py_ssize_t nargs);
PyObject* py_dispatch(PyObject*, PyObject* const* args, Py_ssize_t nargs);

}  // namespace comsim
