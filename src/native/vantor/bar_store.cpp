// The bar store's lock, its window operations and the repair of missing bar fields.
#include "bar_store.h"

#include <pythread.h>

#include <array>
#include <new>

#include "calls.h"
#include "gil.h"

namespace vantor {

using zt::Ref;

namespace {

constexpr double kInvalid = -2147483648.0;  // INVALID_VALUE: a field without a valid value

// Held while the store or one of its lists is read or changed. A Python-level lock rather than
// a C++ mutex: code run under it (record constructors, attribute access) may let another
// thread take the GIL, and that thread must then wait for this lock without the GIL.
class StoreLock {
 public:
  StoreLock() : lock_(instance()) {
    if (!PyThread_acquire_lock(lock_, NOWAIT_LOCK)) {
      zt::GilRelease nogil;
      PyThread_acquire_lock(lock_, WAIT_LOCK);
    }
  }
  ~StoreLock() { PyThread_release_lock(lock_); }
  StoreLock(const StoreLock&) = delete;
  StoreLock& operator=(const StoreLock&) = delete;

 private:
  static PyThread_type_lock instance() {
    static PyThread_type_lock lock = PyThread_allocate_lock();  // never freed
    if (!lock) throw std::bad_alloc();
    return lock;
  }
  PyThread_type_lock lock_;
};

PyObject* list_of(const Ref& entry) {
  if (!PyList_Check(entry.get())) throw zt::InternalError("a bar store entry is not a list");
  return entry.get();
}

bool is_invalid(PyObject* value) {
  if (PyFloat_CheckExact(value)) return PyFloat_AS_DOUBLE(value) == kInvalid;
  if (PyLong_CheckExact(value)) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (v == -1 && PyErr_Occurred()) throw zt::PythonError{};
    return !overflow && v == static_cast<long long>(kInvalid);
  }
  return zt::check_status(PyObject_RichCompareBool(value, M.invalid, Py_EQ));
}

constexpr int kFields = 5;

// The repaired fields of a Bar, in order.
std::array<PyObject*, kFields> bar_fields() { return {N.open, N.high, N.low, N.close, N.volume}; }

// Forward, then backward: a missing field takes the previous bar's value (after that bar's
// own repair); only a run of missing fields at the start takes the first valid value after
// it. One read of each field of each bar.
void repair(PyObject* bars) {
  const std::array<PyObject*, kFields> fields = bar_fields();
  Ref previous[kFields];           // the field's value in the bar before, as repaired
  Py_ssize_t first_valid[kFields];  // index of the first bar with a valid value, or -1
  for (int f = 0; f < kFields; ++f) first_valid[f] = -1;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(bars); ++i) {
    Ref bar = Ref::borrow(PyList_GET_ITEM(bars, i));
    for (int f = 0; f < kFields; ++f) {
      Ref value = get(bar.get(), fields[f]);
      if (!is_invalid(value.get())) {
        if (first_valid[f] < 0) first_valid[f] = i;
        previous[f] = std::move(value);
      } else if (first_valid[f] >= 0) {
        put(bar.get(), fields[f], previous[f].get());
      }
    }
  }
  for (int f = 0; f < kFields; ++f) {
    if (first_valid[f] <= 0 || first_valid[f] >= PyList_GET_SIZE(bars)) continue;
    Ref value = get(PyList_GET_ITEM(bars, first_valid[f]), fields[f]);
    for (Py_ssize_t i = 0; i < first_valid[f] && i < PyList_GET_SIZE(bars); ++i) {
      Ref bar = Ref::borrow(PyList_GET_ITEM(bars, i));
      put(bar.get(), fields[f], value.get());
    }
  }
}

bool bar_invalid(PyObject* bar) {
  const std::array<PyObject*, kFields> fields = bar_fields();
  for (int f = 0; f < kFields; ++f)
    if (is_invalid(get(bar, fields[f]).get())) return true;
  return false;
}

}  // namespace

bool store_has_bars(PyObject* store, const Key& security) {
  StoreLock held;
  Ref entry = find_item(store, security);
  return entry && zt::check_status(PyObject_IsTrue(entry.get()));
}

void store_put(PyObject* store, const Key& security, PyObject* window) {
  StoreLock held;
  set_item(store, security, window);
}

void store_remove(PyObject* store, const Key& security) {
  StoreLock held;
  if (find_item(store, security)) zt::check_status(PyDict_DelItem(store, security.key));
}

void store_require_entry(PyObject* store, const Key& security) {
  Ref entry;
  {
    StoreLock held;
    entry = get_item(store, security);
  }
  if (entry.get() == Py_None)
    zt::raise(PyExc_AssertionError, "We should have initiated data in OnTimedBarsResolved first!");
}

bool store_slide(PyObject* store, const Key& security, PyObject* bar) {
  StoreLock held;
  Ref entry = find_item(store, security);
  if (!entry) return false;  // unsubscribed meanwhile
  PyObject* window = list_of(entry);
  Py_ssize_t n = PyList_GET_SIZE(window);
  if (n == 0) zt::raise(PyExc_IndexError, "list index out of range");
  Ref last = Ref::borrow(PyList_GET_ITEM(window, n - 1));
  Ref newest = get(last.get(), N.datetime);
  Ref stamp = get(bar, N.datetime);
  if (!zt::check_status(PyObject_RichCompareBool(stamp.get(), newest.get(), Py_GT))) return false;
  zt::check_status(PyList_SetSlice(window, 0, 1, nullptr));
  zt::check_status(PyList_Append(window, bar));
  return true;
}

Ref store_read_repaired(PyObject* store, const Key& security) {
  Ref copy, invalid_last;
  {
    StoreLock held;
    Ref entry = find_item(store, security);
    if (!entry || entry.get() == Py_None) return Ref::borrow(Py_None);
    PyObject* bars = list_of(entry);
    Py_ssize_t n = PyList_GET_SIZE(bars);
    if (n == 0) return Ref::borrow(Py_None);
    repair(bars);
    Ref last = Ref::borrow(PyList_GET_ITEM(bars, PyList_GET_SIZE(bars) - 1));
    if (bar_invalid(last.get()))
      invalid_last = std::move(last);
    else
      copy = Ref::check(PyList_GetSlice(bars, 0, PyList_GET_SIZE(bars)));
  }
  if (invalid_last)
    zt::raise_format(PyExc_ValueError, "The latest bar is INVALID: %S.", invalid_last.get());
  return copy;
}

}  // namespace vantor
