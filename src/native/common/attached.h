// "Is this thread attached to the interpreter?", asked of the thread states, and "is the
// interpreter finalizing?".
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace zt {

// Whether the calling thread holds the GIL through a thread state of its own: it may touch
// Python objects. False for a thread that the interpreter ends at exit while it unwinds our
// frames (it wanted the GIL back and never got it), and for any thread between a GIL release
// and the matching acquisition.
//
// PyGILState_Check() cannot say it: once a sub-interpreter has been created it answers 1 for
// every thread. The thread state can: from 3.12 the current one is per thread (NULL while
// detached). 3.10 and 3.11 keep one current thread state for the process, the GIL holder's,
// compared by address with this thread's own: the holder's memory is not read, as it may be
// another thread's that is going away. (So on those two a thread that runs in a second
// interpreter through a thread state of its own there counts as detached: its destructors
// keep their references rather than drop them.)
inline bool thread_is_attached() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
  return PyThreadState_GetUnchecked() != nullptr;
#elif PY_VERSION_HEX >= 0x030C0000
  return _PyThreadState_UncheckedGet() != nullptr;
#else
  PyThreadState* holder = _PyThreadState_UncheckedGet();
  return holder != nullptr && holder == PyGILState_GetThisThreadState();
#endif
}

// Whether the interpreter has begun to finalize. From then on only the thread finalizing it
// runs Python code: any other thread that wants the GIL is ended (before 3.14) or parked for
// good (3.14) instead.
inline bool interpreter_is_finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing() != 0;
#else
  return _Py_IsFinalizing() != 0;
#endif
}

}  // namespace zt
