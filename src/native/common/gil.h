// Scoped GIL release.
//
// An interpreter before 3.14 ends a thread that wants the GIL back while it finalizes: on
// POSIX with a forced unwind (pthread_exit) through every frame, ours included. So nothing
// on a path from a GIL release (ours, or one in Python code we call) up to the interpreter
// may be noexcept or catch everything; at_exit.md beside this file says how the modules
// keep to that.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

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

}  // namespace zt
