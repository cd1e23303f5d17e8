// Binding of vectorcall arguments to named parameters, and the argument type checks whose
// messages callers rely on ("Argument '...' has incorrect type (expected ..., got ...)").
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

#include "py_ref.h"

namespace zt {

// Parameters of one function: names in order; the first `required` have no default.
struct Signature {
  const char* function;        // used in messages, e.g. "subscribe_bar"
  const char* const* names;    // parameter names, excluding self
  Py_ssize_t count;
  Py_ssize_t required;
};

// Binds METH_FASTCALL | METH_KEYWORDS arguments to `out[0..count)` (borrowed references;
// NULL for an omitted optional parameter). Throws PythonError with a TypeError for a wrong
// count, an unknown keyword or a parameter given twice.
void bind_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames, PyObject** out);

// A METH_FASTCALL function as the PyCFunction that a PyMethodDef holds (the interpreter
// calls it back by the entry's flags). The one such cast of every module.
template <class F>
PyCFunction fastcall(F* f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// The flags of a METH_FASTCALL function that takes keywords.
constexpr int kFastKeywords = METH_FASTCALL | METH_KEYWORDS;

// TypeError "Argument '<name>' has incorrect type (expected <expected>, got <type>)".
[[noreturn]] void raise_arg_type(const char* name, const char* expected, PyObject* got);

// Requires exactly a str (no subclass, no None).
inline PyObject* require_str(PyObject* value, const char* name) {
  if (!PyUnicode_CheckExact(value)) raise_arg_type(name, "str", value);
  return value;
}

// An integer argument: an int is taken as it is, any other number is converted with int();
// anything else is refused with the "int" type error. Returns a new reference.
Ref require_int(PyObject* value, const char* name);

}  // namespace zt
