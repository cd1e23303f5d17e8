// Scoped GIL release and acquisition, and what a thread does when it gets back to an
// interpreter that is shutting down.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "py_ref.h"

namespace zt {

// True once the interpreter has begun to finalize. Readable without the GIL.
inline bool interpreter_finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing() != 0;
#else
  return _Py_IsFinalizing() != 0;
#endif
}

// A thread that must not run Python again: the interpreter is finalizing. Blocks for good
// (the process exit ends it), which is what newer interpreters do themselves; the older ones
// end the thread with a forced unwind instead, which a noexcept frame would turn into
// std::terminate. Touches no Python object.
[[noreturn]] void park_forever() noexcept;

// Takes the GIL back after a PyEval_SaveThread. Parks a thread that comes back while the
// interpreter finalizes. May still end the thread with a forced unwind when finalization
// starts during the call: so not noexcept, and neither may its callers be up to the
// interpreter (see guarded in guard.h).
inline void restore_thread(PyThreadState* state) {
  if (interpreter_finalizing()) park_forever();
  PyEval_RestoreThread(state);
}

// Releases the GIL for the scope: wrap every blocking wait in one. No Python object may be
// touched (not even a reference dropped) while it is alive, and no owned reference should
// be held by a local of the released scope (a forced unwind would drop it without the GIL).
class GilRelease {
 public:
  GilRelease() noexcept : state_(PyEval_SaveThread()) {}
  ~GilRelease() noexcept(false) { restore_thread(state_); }
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

 private:
  PyThreadState* state_;
};

// Holds the GIL for the scope, from a thread that may or may not hold it already.
class GilAcquire {
 public:
  GilAcquire() {
    if (interpreter_finalizing()) park_forever();
    state_ = PyGILState_Ensure();
  }
  ~GilAcquire() {
    if (may_touch_python()) PyGILState_Release(state_);
  }
  GilAcquire(const GilAcquire&) = delete;
  GilAcquire& operator=(const GilAcquire&) = delete;

 private:
  PyGILState_STATE state_;
};

}  // namespace zt
