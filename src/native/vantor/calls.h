// Short forms of the attribute reads, writes and method calls the adapter makes on
// component and host objects (all with the GIL held; names interned by the caller).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "py_ref.h"

namespace vantor {

inline zt::Ref get(PyObject* obj, PyObject* name) {
  return zt::Ref::check(PyObject_GetAttr(obj, name));
}

inline void put(PyObject* obj, PyObject* name, PyObject* value) {
  zt::check_status(PyObject_SetAttr(obj, name, value));
}

// obj.name(args...) by position.
template <class... A>
zt::Ref call_method(PyObject* obj, PyObject* name, A... args) {
  PyObject* argv[] = {obj, args...};
  return zt::Ref::check(PyObject_VectorcallMethod(
      name, argv, (1 + sizeof...(args)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// fn(args...) by position.
template <class... A>
zt::Ref call(PyObject* fn, A... args) {
  PyObject* argv[] = {nullptr, args...};
  return zt::Ref::check(
      PyObject_Vectorcall(fn, argv + 1, sizeof...(args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

inline bool equal(PyObject* a, PyObject* b) {
  return zt::check_status(PyObject_RichCompareBool(a, b, Py_EQ)) == 1;
}

// A METH_FASTCALL | METH_KEYWORDS function as a method-table entry.
inline PyCFunction fastcall(PyObject* (*f)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

inline bool truthy(PyObject* obj) { return zt::check_status(PyObject_IsTrue(obj)) == 1; }

}  // namespace vantor
