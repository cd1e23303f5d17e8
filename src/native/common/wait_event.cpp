// Manual-reset wait event object: a mutex, a condition variable and a flag.
#include "wait_event.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>

#include "args.h"
#include "gil.h"
#include "guard.h"

namespace zt {

namespace {

struct EventObject {
  PyObject_HEAD
  std::mutex mutex;
  std::condition_variable changed;
  bool flag;  // guarded by mutex
};

// Longer waits than this (about 31 years) would overflow the clock arithmetic.
constexpr double kMaxTimeout = 1e9;

PyTypeObject* g_event_type = nullptr;  // owned by the module that created it, never freed

EventObject* as_event(PyObject* obj) { return reinterpret_cast<EventObject*>(obj); }

PyObject* event_new(PyTypeObject* type, PyObject*, PyObject*) {
  PyObject* self = type->tp_alloc(type, 0);
  if (!self) return nullptr;
  EventObject* ev = as_event(self);
  new (&ev->mutex) std::mutex();
  new (&ev->changed) std::condition_variable();
  ev->flag = false;
  return self;
}

void event_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  EventObject* ev = as_event(self);
  ev->changed.~condition_variable();
  ev->mutex.~mutex();
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* py_set(PyObject* self, PyObject*) {
  event_set(self);
  Py_RETURN_NONE;
}

PyObject* py_clear(PyObject* self, PyObject*) {
  event_clear(self);
  Py_RETURN_NONE;
}

PyObject* py_is_set(PyObject* self, PyObject*) { return PyBool_FromLong(event_is_set(self)); }

// wait(timeout=None): like threading.Event.wait.
PyObject* py_wait(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"timeout"};
    static const Signature sig{"wait", names, 1, 0};
    PyObject* timeout_arg = nullptr;
    bind_args(sig, args, nargs, kwnames, &timeout_arg);
    double timeout = -1.0;
    if (timeout_arg && timeout_arg != Py_None) {
      timeout = PyFloat_AsDouble(timeout_arg);
      if (timeout == -1.0 && PyErr_Occurred()) throw PythonError{};
      if (timeout != timeout) raise(PyExc_ValueError, "timeout must not be NaN");
      if (timeout < 0) timeout = 0;  // threading.Event treats a negative time-out as none left
      if (timeout > kMaxTimeout) timeout = -1;  // beyond any clock: no limit
    }
    return PyBool_FromLong(event_wait(self, timeout));
  });
}

PyObject* py_repr(PyObject* self) {
  return PyUnicode_FromFormat("<%s object at %p: %s>", Py_TYPE(self)->tp_name, self,
                              event_is_set(self) ? "set" : "unset");
}

PyMethodDef event_methods[] = {
    {"set", py_set, METH_NOARGS, "Set the flag and wake every waiter."},
    {"clear", py_clear, METH_NOARGS, "Reset the flag."},
    {"is_set", py_is_set, METH_NOARGS, "Return whether the flag is set."},
    {"isSet", py_is_set, METH_NOARGS, "Alias of is_set."},
    {"wait", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_wait)),
     METH_FASTCALL | METH_KEYWORDS,
     "wait(timeout=None) -> bool\n\nBlock until the flag is set or the time-out (seconds) "
     "passes; return the flag."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void init_event_type(const char* qualified_name) {
  static PyType_Slot slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(event_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(event_dealloc)},
      {Py_tp_methods, event_methods},
      {Py_tp_repr, reinterpret_cast<void*>(py_repr)},
      {Py_tp_doc, const_cast<char*>("Manual-reset wait event (set, clear, is_set, wait).")},
      {0, nullptr},
  };
  static PyType_Spec spec{qualified_name, sizeof(EventObject), 0, Py_TPFLAGS_DEFAULT, slots};
  g_event_type = reinterpret_cast<PyTypeObject*>(Ref::check(PyType_FromSpec(&spec)).release());
}

Ref new_event() {
  if (!g_event_type) throw InternalError("event type used before init_event_type");
  return Ref::check(event_new(g_event_type, nullptr, nullptr));
}

bool is_event(PyObject* obj) noexcept { return g_event_type && Py_TYPE(obj) == g_event_type; }

void event_set(PyObject* obj) noexcept {
  EventObject* ev = as_event(obj);
  {
    std::lock_guard<std::mutex> lock(ev->mutex);
    ev->flag = true;
  }
  ev->changed.notify_all();
}

void event_clear(PyObject* obj) noexcept {
  EventObject* ev = as_event(obj);
  std::lock_guard<std::mutex> lock(ev->mutex);
  ev->flag = false;
}

bool event_is_set(PyObject* obj) noexcept {
  EventObject* ev = as_event(obj);
  std::lock_guard<std::mutex> lock(ev->mutex);
  return ev->flag;
}

bool event_wait(PyObject* obj, double timeout) noexcept {
  EventObject* ev = as_event(obj);
  {
    std::lock_guard<std::mutex> lock(ev->mutex);
    if (ev->flag || timeout == 0) return ev->flag;
  }
  Py_INCREF(obj);  // the waiter keeps the event alive while the GIL is released
  bool result;
  {
    GilRelease nogil;
    std::unique_lock<std::mutex> lock(ev->mutex);
    if (timeout < 0 || timeout > kMaxTimeout) {
      ev->changed.wait(lock, [ev] { return ev->flag; });
    } else {
      auto deadline = std::chrono::steady_clock::now() +
                      std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                          std::chrono::duration<double>(timeout));
      ev->changed.wait_until(lock, deadline, [ev] { return ev->flag; });
    }
    result = ev->flag;
  }
  Py_DECREF(obj);
  return result;
}

}  // namespace zt
