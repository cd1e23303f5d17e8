// Instruments, quote subscriptions and order-book requests.
#include "guard.h"
#include "vantor.h"

namespace vantor {

PyObject* QuoteType2String(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "QuoteType2String");
  return nullptr;
}

PyMethodDef quote_methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace vantor
