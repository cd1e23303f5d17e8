// Short forms of the calls the adapter's parts make: attribute access, method calls, text,
// and the binding of a method's arguments.
#pragma once

#include <cstddef>

#include "args.h"
#include "error_state.h"
#include "guard.h"
#include "vantor.h"

namespace vantor {

inline zt::Ref get(PyObject* obj, PyObject* name) {
  return zt::Ref::check(PyObject_GetAttr(obj, name));
}

inline void put(PyObject* obj, PyObject* name, PyObject* value) {
  zt::check_status(PyObject_SetAttr(obj, name, value));
}

// obj.name(args...), through vectorcall.
template <class... A>
zt::Ref call_method(PyObject* obj, PyObject* name, A... args) {
  PyObject* argv[] = {obj, args...};
  return zt::Ref::check(PyObject_VectorcallMethod(name, argv, 1 + sizeof...(A), nullptr));
}

// fn(args...) by position, through vectorcall.
template <class... A>
zt::Ref call(PyObject* fn, A... args) {
  PyObject* argv[] = {nullptr, args...};
  return zt::Ref::check(
      PyObject_Vectorcall(fn, argv + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

inline bool equal(PyObject* a, PyObject* b) {
  return zt::check_status(PyObject_RichCompareBool(a, b, Py_EQ)) == 1;
}

inline bool truthy(PyObject* obj) { return zt::check_status(PyObject_IsTrue(obj)) == 1; }

// A count or index the component gives, as a C integer (TypeError for a non-integer).
inline long long as_count(PyObject* value) {
  zt::Ref index = zt::Ref::check(PyNumber_Index(value));
  long long n = PyLong_AsLongLong(index.get());
  if (n == -1 && PyErr_Occurred()) throw zt::PythonError{};
  return n;
}

// PyUnicode_FromFormat as an owned reference.
template <class... A>
zt::Ref text(const char* format, A... args) {
  return zt::Ref::check(PyUnicode_FromFormat(format, args...));
}

// hash(key), remembered for the last few key objects: the host's keys are frozen
// dataclasses, which hash in Python code, and every event of a security uses the same
// object. (A hashable object's hash never changes while it lives; the cache keeps it alive.)
Py_hash_t remembered_hash(PyObject* key);

// A mapping key hashed once for the many reads and writes of one event.
struct Key {
  explicit Key(PyObject* k) : key(k), hash(remembered_hash(k)) {}
  PyObject* key;  // borrowed: the caller keeps it alive
  Py_hash_t hash;
};

// map.get(key): null when missing.
inline zt::Ref find_item(PyObject* map, const Key& k) {
#if PY_VERSION_HEX < 0x030D0000
  if (PyDict_CheckExact(map)) {
    PyObject* value = _PyDict_GetItem_KnownHash(map, k.key, k.hash);
    if (!value && PyErr_Occurred()) throw zt::PythonError{};
    return zt::Ref::borrow(value);
  }
#endif
  zt::Ref value = zt::Ref::steal(PyObject_GetItem(map, k.key));
  if (!value) {
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw zt::PythonError{};
    PyErr_Clear();
  }
  return value;
}

// map[key]: KeyError when missing.
inline zt::Ref get_item(PyObject* map, const Key& k) {
  zt::Ref value = find_item(map, k);
  if (!value) {
    zt::Ref args = zt::Ref::check(PyTuple_Pack(1, k.key));
    PyErr_SetObject(PyExc_KeyError, args.get());
    throw zt::PythonError{};
  }
  return value;
}

// map[key] = value
inline void set_item(PyObject* map, const Key& k, PyObject* value) {
#if PY_VERSION_HEX < 0x030D0000
  if (PyDict_CheckExact(map)) {
    zt::check_status(_PyDict_SetItem_KnownHash(map, k.key, value, k.hash));
    return;
  }
#endif
  zt::check_status(PyObject_SetItem(map, k.key, value));
}

// The adapter's gateway (held, since handlers and requests may run Python code meanwhile).
inline zt::Ref gateway_of(VantorObject* self) {
  if (!self->gateway)
    zt::raise(PyExc_AttributeError, "'Vantor' object has no attribute 'gateway' (Init not called)");
  return zt::Ref::borrow(self->gateway);
}

// gateway.get_qt_security_from_cqg_symbol(cqg_symbol)
inline zt::Ref security_of(PyObject* gateway, PyObject* cqg_symbol) {
  return call_method(gateway, N.get_qt_security_from_cqg_symbol, cqg_symbol);
}

// A record field that counts as set: anything that is not equal to 0.
bool nonzero(PyObject* value);
// A new Quote or OrderBook (`record_type`) for `security`: its exchange, the time now.
zt::Ref new_record(PyObject* record_type, PyObject* security);

// The component's ticks or timed-bars object whose request's Symbol contains `cqg_symbol`
// (a str), first in collection order, or None.
zt::Ref find_ticks(VantorObject* self, PyObject* cqg_symbol);
zt::Ref find_timedbars(VantorObject* self, PyObject* cqg_symbol);
// The Symbol of the request that a ticks or timed-bars object answers.
zt::Ref request_symbol(PyObject* member);

// Binds a method's arguments to `names` (the first `required` of them mandatory; an omitted
// optional one is null) and runs body(self, in) with C++ errors turned into Python ones.
template <std::size_t N, class Body>
PyObject* run_method(PyObject* self, const char* function, const char* const (&names)[N],
                     Py_ssize_t required, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, Body&& body) {
  return zt::guarded([&]() -> PyObject* {
    const zt::Signature sig{function, names, static_cast<Py_ssize_t>(N), required};
    PyObject* in[N];
    zt::bind_args(sig, args, nargs, kwnames, in);
    return body(self_of(self), in);
  });
}

// A method without arguments besides the object.
template <class Body>
PyObject* run_method(PyObject* self, const char* function, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, Body&& body) {
  return zt::guarded([&]() -> PyObject* {
    const zt::Signature sig{function, nullptr, 0, 0};
    zt::bind_args(sig, args, nargs, kwnames, nullptr);
    return body(self_of(self));
  });
}

}  // namespace vantor

// A method table entry for a METH_FASTCALL | METH_KEYWORDS function.
#define VANTOR_METHOD(name, fn, doc) \
  { name, zt::fastcall(fn), zt::kFastKeywords, doc }
