// comsim's own functions: fire, post, call, connect, disconnect, stats.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace comsim {

PyObject* py_fire(PyObject*, PyObject* const* args, Py_ssize_t nargs);
PyObject* py_post(PyObject*, PyObject* const* args, Py_ssize_t nargs);
PyObject* py_call(PyObject*, PyObject* const* args, Py_ssize_t nargs);
PyObject* py_connect(PyObject*, PyObject* const* args, Py_ssize_t nargs);
PyObject* py_disconnect(PyObject*, PyObject* sink);
PyObject* py_stats(PyObject*, PyObject*);

// The floor of a thread hand-off: n round trips between two C++ threads over a mutex and
// condition variable, in seconds (GIL released). For benchmarks.
PyObject* py_pingpong_floor(PyObject*, PyObject* n);

}  // namespace comsim
