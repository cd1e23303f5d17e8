// Scoped GIL release and acquisition.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace zt {

// Releases the GIL for the scope: wrap every blocking wait in one. No Python object may be
// touched (not even a reference dropped) while it is alive.
class GilRelease {
 public:
  GilRelease() noexcept : state_(PyEval_SaveThread()) {}
  ~GilRelease() { PyEval_RestoreThread(state_); }
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

 private:
  PyThreadState* state_;
};

// Holds the GIL for the scope, from a thread that may or may not hold it already.
class GilAcquire {
 public:
  GilAcquire() noexcept : state_(PyGILState_Ensure()) {}
  ~GilAcquire() { PyGILState_Release(state_); }
  GilAcquire(const GilAcquire&) = delete;
  GilAcquire& operator=(const GilAcquire&) = delete;

 private:
  PyGILState_STATE state_;
};

}  // namespace zt
