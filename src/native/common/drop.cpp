// Drops deferred while C++ exceptions unwind, kept per thread until the entry point is done.
#include "drop.h"

#include <cstddef>
#include <new>
#include <vector>

#include "error_state.h"

namespace zt {

namespace {

// Unwinding leaves few references behind (the locals of the frames it passes), so a few
// slots are enough as a rule; more go to a list made when needed and freed once drained.
struct Deferred {
  PyObject* slots[8] = {};
  std::size_t count = 0;
  std::vector<PyObject*>* more = nullptr;
};

// Constant-initialised and trivially destroyed: no per-thread set-up or clean-up code.
thread_local Deferred t_deferred;

// The newest deferred reference, taken off the list; null when there is none.
PyObject* take_deferred() noexcept {
  Deferred& d = t_deferred;
  if (d.more && !d.more->empty()) {
    PyObject* p = d.more->back();
    d.more->pop_back();
    return p;
  }
  return d.count ? d.slots[--d.count] : nullptr;
}

}  // namespace

void defer_drop(PyObject* p) noexcept {
  Deferred& d = t_deferred;
  if (d.count < sizeof d.slots / sizeof d.slots[0]) {
    d.slots[d.count++] = p;
    return;
  }
  try {
    if (!d.more) d.more = new std::vector<PyObject*>();
    d.more->push_back(p);
  } catch (const std::bad_alloc&) {
    // Out of memory while unwinding: the reference is kept for good rather than dropped
    // here, where its finalizer must not run.
  }
}

bool drops_deferred() noexcept { return t_deferred.count > 0 || t_deferred.more != nullptr; }

void drop_deferred() {
  if (std::uncaught_exceptions() > 0) return;  // still unwinding: a later entry point drops
  if (!drops_deferred()) return;
  Ref pending = take_error();  // finalizers run as if no error were set, as at any drop
  // Each is taken off the list before it is dropped: a finalizer may call into this module,
  // whose entry point then drops the rest (and those its own unwinding left).
  while (PyObject* p = take_deferred()) Py_DECREF(p);
  delete t_deferred.more;
  t_deferred.more = nullptr;
  restore_error(std::move(pending));
}

}  // namespace zt
