// Orders: placing, cancelling, order updates and deals.
#include "guard.h"
#include "vantor.h"

namespace vantor {

PyObject* convert_orderstatus_cqg2qt(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "convert_orderstatus_cqg2qt");
  return nullptr;
}

PyMethodDef order_methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace vantor
