// Method-table entries for METH_FASTCALL | METH_KEYWORDS functions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace ambrel {

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

// A fast-call function as the PyCFunction that PyMethodDef stores (called back by its flags).
template <class F>
constexpr PyCFunction fast(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

}  // namespace ambrel
