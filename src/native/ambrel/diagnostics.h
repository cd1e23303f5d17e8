// Trace and AssertMessage: the diagnostic line on standard output and the asserting check.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace ambrel {

// Writes "<thread ident>: <message>" as one line to sys.stdout and flushes it.
// `message` must be a str (else TypeError, nothing written).
void trace(PyObject* message);
void trace(const char* message);

PyObject* py_trace(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* py_assert_message(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames);

extern PyMethodDef trace_def;
extern PyMethodDef assert_message_def;

}  // namespace ambrel
