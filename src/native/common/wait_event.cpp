// Manual-reset wait event object: a WaitFlag in a Python object.
#include "wait_event.h"

#include <new>

#include "args.h"
#include "guard.h"
#include "wait_flag.h"

namespace zt {

namespace {

struct EventObject {
  PyObject_HEAD
  WaitFlag flag;
};

PyTypeObject* g_event_type = nullptr;  // owned by the module that created it, never freed

EventObject* as_event(PyObject* obj) { return reinterpret_cast<EventObject*>(obj); }

PyObject* event_new(PyTypeObject* type, PyObject*, PyObject*) {
  PyObject* self = type->tp_alloc(type, 0);
  if (!self) return nullptr;
  new (&as_event(self)->flag) WaitFlag();
  return self;
}

void event_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  as_event(self)->flag.~WaitFlag();  // no waiter left: each holds a reference
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
    }
    return PyBool_FromLong(event_wait(self, timeout));
  });
}

// "<... object at 0x...: unset>", and how many threads wait on it when any do.
PyObject* py_repr(PyObject* self) {
  const char* state = event_is_set(self) ? "set" : "unset";
  std::size_t waiting = as_event(self)->flag.waiting();
  if (waiting == 0)
    return PyUnicode_FromFormat("<%s object at %p: %s>", Py_TYPE(self)->tp_name, self, state);
  return PyUnicode_FromFormat("<%s object at %p: %s, %zu waiting>", Py_TYPE(self)->tp_name, self,
                              state, waiting);
}

PyMethodDef event_methods[] = {
    {"set", py_set, METH_NOARGS, "Set the flag and wake every waiter."},
    {"clear", py_clear, METH_NOARGS, "Reset the flag."},
    {"is_set", py_is_set, METH_NOARGS, "Return whether the flag is set."},
    {"isSet", py_is_set, METH_NOARGS, "Alias of is_set."},
    {"wait", fastcall(py_wait), METH_FASTCALL | METH_KEYWORDS,
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

void event_set(PyObject* obj) noexcept { as_event(obj)->flag.set(); }

void event_clear(PyObject* obj) noexcept { as_event(obj)->flag.clear(); }

bool event_is_set(PyObject* obj) noexcept { return as_event(obj)->flag.is_set(); }

void event_wake(PyObject* obj) noexcept { as_event(obj)->flag.wake(); }

bool event_wait(PyObject* obj, double timeout, WaitFlag::Stop stop, const void* context) {
  const Ref waited_on = keep_alive(obj);  // the flag lives in the object
  return as_event(obj)->flag.wait(timeout, true, stop, context);
}

bool event_wait_until(PyObject* obj, double timeout, WaitFlag::Ready ready, const void* context) {
  const Ref waited_on = keep_alive(obj);
  return as_event(obj)->flag.wait_until(timeout, true, ready, context);
}

}  // namespace zt
