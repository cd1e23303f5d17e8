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

// Drops one owned reference (may be null) as a destructor does. It may run Python code (a
// finalizer), so it may unwind: never call it from a noexcept frame.
//  - On a thread that is not attached (one the interpreter ends at exit, unwinding) the
//    reference is left alone, as the interpreter leaves those of its own frames.
//  - A last reference dropped while a C++ exception unwinds is kept for drop_deferred():
//    Python code run from a destructor during unwinding could not be unwound in turn.
inline void drop_reference(PyObject* p) noexcept(false) {
  if (!p || !thread_is_attached()) return;
  if (Py_REFCNT(p) == 1 && std::uncaught_exceptions() > 0) return defer_drop(p);
  Py_DECREF(p);
}

}  // namespace zt
