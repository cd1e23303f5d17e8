// Setting a pending Python error aside and putting it back, the same way on 3.10 to 3.14:
// the one way every module does it. None of these is noexcept: each may run Python code (an
// exception's constructor when 3.10 and 3.11 normalize it, a finalizer when an error is
// dropped), and so may unwind (see drop.h).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "py_ref.h"

namespace zt {

// Takes the pending error out as an exception object with its traceback; empty if none.
inline Ref take_error() {
#if PY_VERSION_HEX >= 0x030C0000
  return Ref::steal(PyErr_GetRaisedException());
#else
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  if (!type) return {};
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb) PyException_SetTraceback(value, tb);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  return Ref::steal(value);
#endif
}

// Makes `error` (from take_error) the pending error again; an empty one clears the indicator.
inline void restore_error(Ref error) {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(error.release());
#else
  PyObject* value = error.release();
  if (!value) return PyErr_Clear();
  PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value))), value,
                PyException_GetTraceback(value));
#endif
}

// Gives the pending error `earlier` as its __context__, as raising in an except block does.
inline void chain_context(Ref earlier) {
  Ref current = take_error();
  if (current && earlier && current.get() != earlier.get())
    PyException_SetContext(current.get(), earlier.release());
  restore_error(std::move(current));
}

// Keeps the pending error (if any) aside while clean-up code calls into Python; restore()
// puts it back. An error never restored is dropped with the object, so that an error the
// clean-up itself raised is the one that goes on.
class SavedError {
 public:
  SavedError() : error_(take_error()) {}
  SavedError(const SavedError&) = delete;
  SavedError& operator=(const SavedError&) = delete;

  bool empty() const noexcept { return !error_; }
  // The exception object (borrowed; NULL when none was pending).
  PyObject* value() const noexcept { return error_.get(); }
  void restore() { restore_error(std::move(error_)); }

 private:
  Ref error_;
};

// Raises `type(message)` with `cause` as its __cause__ (a "raise ... from cause").
[[noreturn]] inline void raise_from(PyObject* type, PyObject* message, Ref cause) {
  Ref error = Ref::check(PyObject_CallOneArg(type, message));
  if (cause) PyException_SetCause(error.get(), cause.release());
  PyErr_SetObject(type, error.get());
  throw PythonError{};
}

}  // namespace zt
