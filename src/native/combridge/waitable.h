// Win32 event objects (win32event handles) and the waits on them and on a thread's queue.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace comsim {

constexpr uint32_t WAIT_OBJECT_0 = 0;
constexpr uint32_t WAIT_TIMEOUT = 258;
constexpr uint32_t INFINITE = 0xFFFFFFFFu;
constexpr uint32_t QS_ALLEVENTS = 0x04BF;
constexpr uint32_t QS_ALLINPUT = 0x04FF;

// Adds the handle type to the module.
void init_waitable_types(PyObject* module);

// win32event functions (METH_FASTCALL).
PyObject* py_create_event(PyObject*, PyObject* const* args, Py_ssize_t nargs);
PyObject* py_set_event(PyObject*, PyObject* handle);
PyObject* py_reset_event(PyObject*, PyObject* handle);
PyObject* py_wait_for_single_object(PyObject*, PyObject* const* args, Py_ssize_t nargs);
PyObject* py_wait_for_multiple_objects(PyObject*, PyObject* const* args, Py_ssize_t nargs);
PyObject* py_msg_wait_for_multiple_objects(PyObject*, PyObject* const* args, Py_ssize_t nargs);
PyObject* py_close_handle(PyObject*, PyObject* handle);

}  // namespace comsim
