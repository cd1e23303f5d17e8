// The host records the market-data handlers build, and the test of their price fields.
#include "calls.h"

namespace vantor {

using zt::Ref;

bool nonzero(PyObject* value) {
  if (PyFloat_CheckExact(value)) return PyFloat_AS_DOUBLE(value) != 0.0;
  static PyObject* zero = PyLong_FromLong(0);
  return zt::check_status(PyObject_RichCompareBool(value, zero, Py_NE));
}

Ref new_record(PyObject* record_type, PyObject* security) {
  static PyObject* exchange_name = zt::intern("exchange");
  static PyObject* kwnames =
      Ref::check(PyTuple_Pack(3, zt::intern("security"), exchange_name, zt::intern("datetime"))).release();
  Ref exchange = get(security, exchange_name);
  Ref stamp = now();
  PyObject* argv[] = {security, exchange.get(), stamp.get()};
  return Ref::check(PyObject_Vectorcall(record_type, argv, 0, kwnames));
}

}  // namespace vantor
