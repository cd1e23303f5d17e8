// Taking a pending Python error out and putting it back, the same way on 3.10 to 3.12.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "py_ref.h"

namespace ambrel {

// Takes the pending error out as an exception object with its traceback; empty if none.
inline zt::Ref take_error() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  return zt::Ref::steal(PyErr_GetRaisedException());
#else
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  if (!type) return {};
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb) PyException_SetTraceback(value, tb);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  return zt::Ref::steal(value);
#endif
}

// Makes `error` (from take_error) the pending error again.
inline void restore_error(zt::Ref error) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(error.release());
#else
  PyObject* value = error.release();
  PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value))), value,
                PyException_GetTraceback(value));
#endif
}

// Gives the pending error `earlier` as its __context__, as raising in an except block does.
inline void chain_context(zt::Ref earlier) noexcept {
  zt::Ref current = take_error();
  if (current && earlier && current.get() != earlier.get())
    PyException_SetContext(current.get(), earlier.release());
  restore_error(std::move(current));
}

// Raises `type(message)` with `cause` as its __cause__ (a "raise ... from cause").
[[noreturn]] inline void raise_from(PyObject* type, PyObject* message, zt::Ref cause) {
  zt::Ref error = zt::Ref::check(PyObject_CallOneArg(type, message));
  if (cause) PyException_SetCause(error.get(), cause.release());
  PyErr_SetObject(type, error.get());
  throw zt::PythonError{};
}

}  // namespace ambrel
