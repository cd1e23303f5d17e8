// Keeping a pending Python error aside while clean-up code calls into Python.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace zt::bot {

// Takes the pending error (if any) at construction; restore() puts it back. An error never
// restored is dropped with the object. Needs the GIL throughout.
class SavedError {
 public:
#if PY_VERSION_HEX >= 0x030C0000
  SavedError() noexcept : exc_(PyErr_GetRaisedException()) {}
  ~SavedError() { Py_XDECREF(exc_); }
  void restore() noexcept {
    PyErr_SetRaisedException(exc_);
    exc_ = nullptr;
  }
  bool empty() const noexcept { return exc_ == nullptr; }
  // The exception object (borrowed; NULL when none was pending).
  PyObject* value() noexcept { return exc_; }

 private:
  PyObject* exc_;
#else
  SavedError() noexcept { PyErr_Fetch(&type_, &value_, &tb_); }
  ~SavedError() {
    Py_XDECREF(type_);
    Py_XDECREF(value_);
    Py_XDECREF(tb_);
  }
  void restore() noexcept {
    PyErr_Restore(type_, value_, tb_);
    type_ = value_ = tb_ = nullptr;
  }
  bool empty() const noexcept { return type_ == nullptr; }
  // The exception object (borrowed; NULL when none was pending).
  PyObject* value() noexcept {
    if (type_) PyErr_NormalizeException(&type_, &value_, &tb_);
    return value_;
  }

 private:
  PyObject* type_;
  PyObject* value_;
  PyObject* tb_;
#endif

 public:
  SavedError(const SavedError&) = delete;
  SavedError& operator=(const SavedError&) = delete;
};

}  // namespace zt::bot
