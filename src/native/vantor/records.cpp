// The host records the market-data handlers build, the test of their price fields, and the
// hashes of the keys they are filed under.
#include "calls.h"

namespace vantor {

using zt::Ref;

bool nonzero(PyObject* value) {
  if (PyFloat_CheckExact(value)) return PyFloat_AS_DOUBLE(value) != 0.0;
  return zt::check_status(PyObject_RichCompareBool(value, M.zero, Py_NE));
}

Ref new_record(PyObject* record_type, PyObject* security) {
  Ref exchange = get(security, N.exchange);
  Ref stamp = now();
  PyObject* argv[] = {security, exchange.get(), stamp.get()};
  return Ref::check(PyObject_Vectorcall(record_type, argv, 0, N.kw_record));
}

Py_hash_t remembered_hash(PyObject* key) {
  // A few entries, replaced in turn; only touched with the GIL held.
  struct Entry {
    PyObject* key;  // owned (never released at exit: the interpreter may be gone by then)
    Py_hash_t hash;
  };
  static Entry entries[8] = {};
  static unsigned next = 0;
  for (const Entry& e : entries)
    if (e.key == key) return e.hash;
  Py_hash_t hash = PyObject_Hash(key);
  if (hash == -1) throw zt::PythonError{};
  Entry& slot = entries[next++ % 8];
  PyObject* old = slot.key;
  slot = Entry{Ref::borrow(key).release(), hash};
  Py_XDECREF(old);
  return hash;
}

}  // namespace vantor
