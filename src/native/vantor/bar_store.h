// The bar store (subscribe_bars_data: security -> list of Bar, oldest first), shared by the
// worker, which fills and slides the windows, and the gateway's thread, which reads and
// repairs them. Every access goes through these functions, under one lock.
#pragma once

#include "calls.h"

namespace vantor {

// Whether the store holds a non-empty window for `security`.
bool store_has_bars(PyObject* store, const Key& security);
// Makes `window` (a list) the window of `security`.
void store_put(PyObject* store, const Key& security, PyObject* window);
// Drops the window of `security`, if there is one.
void store_remove(PyObject* store, const Key& security);
// Fails unless the store has an entry for `security`: KeyError when it has none,
// AssertionError when the entry is None.
void store_require_entry(PyObject* store, const Key& security);
// Appends `bar` and drops the oldest record when `bar` is newer than the newest; returns
// whether it did. IndexError on an empty window; false when the entry has gone meanwhile.
bool store_slide(PyObject* store, const Key& security, PyObject* bar);
// The window of `security` repaired in place (a field without a value takes the nearest
// earlier valid value, or at the start the first later one), handed out as a copy; None when
// there is no window or it is empty. ValueError when the newest bar stays without a value.
zt::Ref store_read_repaired(PyObject* store, const Key& security);

}  // namespace vantor
