// Scoped GIL release and acquisition.
//
// An interpreter before 3.14 ends a thread that wants the GIL back while it finalizes: on
// POSIX with a forced unwind (pthread_exit) through every frame, ours included. So nothing
// on a path from a GIL-released wait (ours, or one in Python code we call) up to the
// interpreter may be noexcept or catch everything, and destructors on that path leave Python
// objects alone on such a thread (see may_touch_python in py_ref.h).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "py_ref.h"

namespace zt {

// Releases the GIL for the scope: wrap every blocking wait in one. No Python object may be
// touched (not even a reference dropped) while it is alive, and no owned reference should
// be held by a local of the released scope.
class GilRelease {
 public:
  GilRelease() noexcept : state_(PyEval_SaveThread()) {}
  // May end the thread (see above): not noexcept.
  ~GilRelease() noexcept(false) { PyEval_RestoreThread(state_); }
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

 private:
  PyThreadState* state_;
};

// Holds the GIL for the scope, from a thread that may or may not hold it already.
class GilAcquire {
 public:
  GilAcquire() : state_(PyGILState_Ensure()) {}
  ~GilAcquire() {
    if (may_touch_python()) PyGILState_Release(state_);
  }
  GilAcquire(const GilAcquire&) = delete;
  GilAcquire& operator=(const GilAcquire&) = delete;

 private:
  PyGILState_STATE state_;
};

}  // namespace zt
