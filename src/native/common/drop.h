// Dropping the references our destructors own, so that the Python code a drop may run (a
// finalizer) never runs where the interpreter could not end the thread safely. The reasons
// are written down in at_exit.md beside this file.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>

#include "attached.h"

namespace zt {

// Keeps `p` for drop_deferred(): a last reference dropped while a C++ exception unwinds.
void defer_drop(PyObject* p) noexcept;

// Drops the references kept by defer_drop on this thread. Called by every entry point of
// ours (see guard.h) once the exception is caught or the call is done; with the GIL, and
// never while unwinding (then it leaves them for later).
void drop_deferred();

// Whether drops are waiting for drop_deferred() on this thread.
bool drops_deferred() noexcept;

// Whether a destructor running on this thread may touch Python objects: thread_is_attached(),
// asked more cheaply where it can be. Before 3.12 the interpreter ends threads only once the
// runtime finalizes (from 3.12 a finalizing sub-interpreter ends its own), so until then
// every thread that runs our destructors holds the GIL; drops are frequent enough for the
// one call saved to matter.
inline bool destructor_may_touch_python() noexcept {
#if PY_VERSION_HEX < 0x030C0000
  if (!interpreter_is_finalizing()) return true;
#endif
  return thread_is_attached();
}

// Drops one owned reference (may be null) as a destructor does. It may run Python code (a
// finalizer), so it may unwind: never call it from a noexcept frame.
//  - On a thread that is not attached (one the interpreter ends at exit, unwinding) the
//    reference is left alone, as the interpreter leaves those of its own frames.
//  - A last reference dropped while a C++ exception unwinds is kept for drop_deferred():
//    Python code run from a destructor during unwinding could not be unwound in turn.
inline void drop_reference(PyObject* p) noexcept(false) {
  if (!p || !destructor_may_touch_python()) return;
  if (Py_REFCNT(p) == 1 && std::uncaught_exceptions() > 0) return defer_drop(p);
  Py_DECREF(p);
}

}  // namespace zt
