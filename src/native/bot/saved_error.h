// Keeping a pending Python error aside while clean-up code calls into Python.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "py_ref.h"

namespace zt::bot {

// Takes the pending error (if any) at construction; restore() puts it back. An error never
// restored is dropped with the object. Needs the GIL throughout.
class SavedError {
 public:
#if PY_VERSION_HEX >= 0x030C0000
  SavedError() noexcept : exc_(PyErr_GetRaisedException()) {}
  ~SavedError() {
    if (may_touch_python()) Py_XDECREF(exc_);
  }
  void restore() noexcept {
    PyErr_SetRaisedException(exc_);
    exc_ = nullptr;
  }
  bool empty() const noexcept { return exc_ == nullptr; }

 private:
  PyObject* exc_;
#else
  SavedError() noexcept { PyErr_Fetch(&type_, &value_, &tb_); }
  ~SavedError() {
    if (!may_touch_python()) return;
    Py_XDECREF(type_);
    Py_XDECREF(value_);
    Py_XDECREF(tb_);
  }
  void restore() noexcept {
    PyErr_Restore(type_, value_, tb_);
    type_ = value_ = tb_ = nullptr;
  }
  bool empty() const noexcept { return type_ == nullptr; }

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
