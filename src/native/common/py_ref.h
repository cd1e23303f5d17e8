// Owned Python references and the C++ exception that carries a pending Python error.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>
#include <vector>

#include "drop.h"

namespace zt {

// Thrown when a Python API call failed and left the error indicator set. Entry points
// (see guard.h) turn it back into a NULL return, so the Python error reaches the caller.
struct PythonError {};

// An owned (strong) reference. Must be destroyed, assigned or reset with the GIL held.
// Dropping it may run Python code, so its destructor, assignments and reset() may unwind
// (see drop.h): a Ref must not die in a noexcept frame with its reference, which rules out
// leaving live ones to a library container's destructor (see RefVector below).
class Ref {
 public:
  Ref() noexcept = default;
  Ref(std::nullptr_t) noexcept {}
  ~Ref() noexcept(false) { drop_reference(p_); }

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
  Ref& operator=(const Ref& o) {
    Ref(o).swap(*this);
    return *this;
  }
  Ref& operator=(Ref&& o) {
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
  void reset(PyObject* stolen = nullptr) { Ref(stolen).swap(*this); }
  void swap(Ref& o) noexcept { std::swap(p_, o.p_); }

 private:
  explicit Ref(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

// Keeps `obj` alive for a scope, typically a wait with the GIL released whose owner must
// outlive it. A Ref, so a thread that the interpreter ends meanwhile leaves it (drop.h).
[[nodiscard]] inline Ref keep_alive(PyObject* obj) noexcept { return Ref::borrow(obj); }

// Drops every reference of `refs` here, one by one, leaving empty handles to the
// container's own destructor (noexcept, as every library destructor is, so it must not be
// the one that runs a finalizer).
template <class Refs>
void drop_each(Refs& refs) {
  for (Ref& ref : refs) Ref dropped = std::move(ref);
}

// References in a vector that drops them itself (drop_each) in its own destructor.
class RefVector {
 public:
  RefVector() = default;
  explicit RefVector(const std::vector<Ref>& refs) : items_(refs) {}
  RefVector(RefVector&&) noexcept = default;
  RefVector(const RefVector&) = delete;
  RefVector& operator=(const RefVector&) = delete;
  ~RefVector() noexcept(false) { clear(); }

  void push_back(Ref ref) { items_.push_back(std::move(ref)); }
  void clear() {
    drop_each(items_);
    items_.clear();
  }
  std::size_t size() const noexcept { return items_.size(); }
  bool empty() const noexcept { return items_.empty(); }
  const Ref& operator[](std::size_t i) const noexcept { return items_[i]; }
  auto begin() const noexcept { return items_.begin(); }
  auto end() const noexcept { return items_.end(); }

 private:
  std::vector<Ref> items_;
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
