// Manual-reset wait event: a Python object that behaves like threading.Event (set, clear,
// is_set, wait with an optional time-out) and a C++ API to drive it without method lookups.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "py_ref.h"
#include "wait_flag.h"

namespace zt {

// Creates the event type for a module; call once from the module's init. `qualified_name`
// is the type's dotted name (module path + class name). The type is not added to the module.
void init_event_type(const char* qualified_name);

// A new clear event. Requires init_event_type.
Ref new_event();

// True when `obj` is an event made by new_event of this module.
bool is_event(PyObject* obj) noexcept;

// The C++ face of the Python methods. `obj` must satisfy is_event.
void event_set(PyObject* obj) noexcept;
void event_clear(PyObject* obj) noexcept;
bool event_is_set(PyObject* obj) noexcept;
// Wakes the waiters without setting the event, to look at their stop condition again.
void event_wake(PyObject* obj) noexcept;
// Waits until the event is set, `stop` holds, or `timeout` seconds passed (negative or
// beyond WaitFlag::kMaxTimeout: no limit; NaN: ValueError). Releases the GIL while blocked;
// a signal's handler runs on the main thread and its exception is thrown as PythonError.
// Returns whether the event is set.
bool event_wait(PyObject* obj, double timeout, WaitFlag::Stop stop = nullptr,
                const void* context = nullptr);
// Waits as event_wait, until `ready` holds (given the event's flag; the flag alone does not
// end the wait) or the time-out passes; returns whether `ready` holds.
bool event_wait_until(PyObject* obj, double timeout, WaitFlag::Ready ready, const void* context);

}  // namespace zt
