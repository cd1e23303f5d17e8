// pythoncom / win32api functions about apartments, the message pump and streams.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace comsim {

void init_pump_types(PyObject* module);

PyObject* py_co_initialize(PyObject*, PyObject*);
PyObject* py_co_initialize_ex(PyObject*, PyObject* flags);
PyObject* py_co_uninitialize(PyObject*, PyObject*);
PyObject* py_pump_waiting_messages(PyObject*, PyObject*);
PyObject* py_get_current_thread_id(PyObject*, PyObject*);
PyObject* py_post_quit_message(PyObject*, PyObject* code);
PyObject* py_post_thread_message(PyObject*, PyObject* const* args, Py_ssize_t nargs);
PyObject* py_marshal_in_stream(PyObject*, PyObject* const* args, Py_ssize_t nargs);
PyObject* py_get_interface_from_stream(PyObject*, PyObject* const* args, Py_ssize_t nargs);

}  // namespace comsim
