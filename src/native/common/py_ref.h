// Owned Python references and the C++ exception that carries a pending Python error.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace zt {

// Thrown when a Python API call failed and left the error indicator set. Entry points
// (see guard.h) turn it back into a NULL return, so the Python error reaches the caller.
struct PythonError {};

// Whether this thread may touch Python objects in a destructor. Only false for a thread that
// the interpreter ends during finalization (interpreters before 3.14 do so with a forced
// unwind through our frames, without the GIL): its references are left alone, as the
// interpreter leaves those of its own frames.
inline bool may_touch_python() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
  return !Py_IsFinalizing() || PyGILState_Check();
#else
  return !_Py_IsFinalizing() || PyGILState_Check();
#endif
}

// An owned (strong) reference. Must be destroyed, assigned or reset with the GIL held.
class Ref {
 public:
  Ref() noexcept = default;
  Ref(std::nullptr_t) noexcept {}
  ~Ref() {
    if (p_ && may_touch_python()) Py_DECREF(p_);
  }

  // Takes over a new reference (the result of most API calls); NULL stays NULL.
  static Ref steal(PyObject* p) noexcept { return Ref(p); }
  // Adds a reference to a borrowed object.
  static Ref borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return Ref(p);
  }
  // Like steal, but a NULL result (a failed call) throws PythonError.
  static Ref check(PyObject* p) {
    if (!p) throw PythonError{};
    return Ref(p);
  }

  Ref(const Ref& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(const Ref& o) noexcept {
    Ref(o).swap(*this);
    return *this;
  }
  Ref& operator=(Ref&& o) noexcept {
    Ref(std::move(o)).swap(*this);
    return *this;
  }

  PyObject* get() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  // Gives the reference away (to a function that steals, or as a return value).
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  // Returns a new reference for the caller, keeping our own.
  PyObject* new_ref() const noexcept {
    Py_XINCREF(p_);
    return p_;
  }
  void reset(PyObject* stolen = nullptr) noexcept { Ref(stolen).swap(*this); }
  void swap(Ref& o) noexcept { std::swap(p_, o.p_); }

 private:
  explicit Ref(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

// Throws PythonError when a status-returning API call failed (returned -1).
inline int check_status(int rc) {
  if (rc < 0) throw PythonError{};
  return rc;
}

// Sets a Python exception and throws, for user errors raised from C++.
[[noreturn]] inline void raise(PyObject* type, const char* message) {
  PyErr_SetString(type, message);
  throw PythonError{};
}

template <class... A>
[[noreturn]] void raise_format(PyObject* type, const char* format, A... args) {
  PyErr_Format(type, format, args...);
  throw PythonError{};
}

// Interned attribute names, made once at module load and never freed.
inline PyObject* intern(const char* s) {
  PyObject* p = PyUnicode_InternFromString(s);
  if (!p) throw PythonError{};
  return p;
}

}  // namespace zt
