// Helpers the adapter's parts share: component constants and wrapping, diagnostics, waits,
// symbols and time stamps.
#include <cmath>

#include "calls.h"
#include "component_work.h"
#include "guard.h"
#include "vantor.h"
#include "wait_event.h"

namespace vantor {

using zt::Ref;

Module M;

namespace {

PyObject* make(PyObject* value) { return Ref::check(value).release(); }

}  // namespace

void make_values() {
  M.zero = make(PyLong_FromLong(0));
  M.one = make(PyLong_FromLong(1));
  M.all_sessions = make(PyLong_FromLong(31));
  M.tick_limit = make(PyLong_FromLong(10));
  M.invalid = make(PyLong_FromLongLong(-2147483648LL));
  // The bound class method: handlers call it for every record they change.
  M.now = make(PyObject_GetAttrString(M.datetime_type, "now"));
  M.LONG = get(M.Direction, N.LONG).release();
  M.SHORT = get(M.Direction, N.SHORT).release();
  M.LIMIT = get(M.OrderType, N.LIMIT).release();
  M.MARKET = get(M.OrderType, N.MARKET).release();
  M.STOP = get(M.OrderType, N.STOP).release();
  PyObject* statuses[] = {N.UNKNOWN, N.SUBMITTED, N.FILLED, N.CANCELLED, N.FAILED};
  for (int i = 0; i < 5; ++i) M.order_statuses[i] = get(M.OrderStatus, statuses[i]).release();
  make_quote_changes();
}

Ref constant(PyObject* name) { return Ref::check(PyObject_GetAttr(M.constants, name)); }

Ref dispatch(PyObject* obj) { return Ref::check(PyObject_CallOneArg(M.Dispatch, obj)); }

void trace(PyObject* text) { Ref::check(PyObject_CallOneArg(M.Trace, text)); }

void trace(const char* text) {
  Ref s = Ref::check(PyUnicode_FromString(text));
  trace(s.get());
}

void assert_message(bool condition, PyObject* message) {
  PyObject* args[] = {condition ? Py_True : Py_False, message};
  Ref::check(PyObject_Vectorcall(M.AssertMessage, args, 2, nullptr));
}

double timeout_seconds() {
  Ref value = Ref::check(PyObject_GetAttr(M.module, N.TIMEOUT));
  double seconds = PyFloat_AsDouble(value.get());
  if (seconds == -1.0 && PyErr_Occurred()) throw zt::PythonError{};
  if (std::isnan(seconds)) zt::raise(PyExc_ValueError, "TIMEOUT must be a number of seconds, not NaN");
  return seconds < 0 ? 0 : seconds;
}

bool wait_with_timeout(PyObject* event) { return zt::event_wait(event, timeout_seconds()); }

Ref component(VantorObject* self) {
  if (!self->ambrel)
    zt::raise(PyExc_AttributeError, "'Vantor' object has no attribute 'ambrel' (Init not called)");
  // On the worker its own reference: the handed-over one is for the other threads.
  if (PyObject* own = component_on_worker(self)) return Ref::borrow(own);
  return Ref::check(PyObject_GetAttr(self->ambrel, N.cqgCEL));
}

Ref symbol_of(PyObject* full_name) {
  Ref text = Ref::check(PyObject_Str(full_name));
  Py_ssize_t n = PyUnicode_GET_LENGTH(text.get());
  Py_ssize_t dot = PyUnicode_FindChar(text.get(), '.', 0, n, -1);
  if (dot == -2) throw zt::PythonError{};
  if (dot < 0) return text;
  return Ref::check(PyUnicode_Substring(text.get(), dot + 1, n));
}

Ref whole_seconds(PyObject* t) {
  PyObject* const fields[] = {N.year, N.month, N.day, N.hour, N.minute, N.second};
  Ref parts[6];
  PyObject* args[6];
  for (int i = 0; i < 6; ++i) {
    parts[i] = Ref::check(PyObject_GetAttr(t, fields[i]));
    args[i] = parts[i].get();
  }
  return Ref::check(PyObject_Vectorcall(M.datetime_type, args, 6, nullptr));
}

Ref now() { return Ref::check(PyObject_CallNoArgs(M.now)); }

}  // namespace vantor
