// Entry-point guard: turns C++ exceptions into Python errors at the C API boundary.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>
#include <string>

#include "drop.h"
#include "py_ref.h"

namespace zt {

// A broken invariant of our own code (never a user error): reported loudly as SystemError.
struct InternalError : std::exception {
  explicit InternalError(std::string what) : what_(std::move(what)) {}
  const char* what() const noexcept override { return what_.c_str(); }
  std::string what_;
};

// Runs `body` (returning a new reference or NULL) and maps every escaping exception to a
// pending Python error. Use at every function the interpreter calls. Afterwards, with no
// exception in flight any more, the references that the unwinding left to drop are dropped
// (see drop.h).
// Not noexcept, and nothing here catches everything: an interpreter before 3.14 ends a
// thread that wants the GIL back during finalization with a forced unwind (from a wait of
// ours or of Python code we call), which must pass through to the interpreter's frames.
template <class F>
PyObject* guarded(F&& body) {
  PyObject* result = nullptr;
  try {
    result = body();
  } catch (const PythonError&) {
    if (!PyErr_Occurred())
      PyErr_SetString(PyExc_SystemError, "internal error: exception without a Python error");
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_Format(PyExc_SystemError, "internal error: %s", e.what());
  }
  if (drops_deferred()) drop_deferred();
  return result;
}

// Same for slots that report failure with -1 (tp_init, tp_setattro, ...).
template <class F>
int guarded_status(F&& body) {
  int status = -1;
  try {
    status = body();
  } catch (const PythonError&) {
    if (!PyErr_Occurred())
      PyErr_SetString(PyExc_SystemError, "internal error: exception without a Python error");
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_Format(PyExc_SystemError, "internal error: %s", e.what());
  }
  if (drops_deferred()) drop_deferred();
  return status;
}

inline PyObject* none() noexcept { Py_RETURN_NONE; }

}  // namespace zt
