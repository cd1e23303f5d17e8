// Ticks and level-1 order books.
#include "guard.h"
#include "vantor.h"

namespace vantor {

PyObject* TickType2String(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "TickType2String");
  return nullptr;
}

PyMethodDef tick_methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace vantor
