// Argument binding and argument type errors shared by every extension module.
#include "args.h"

#include <cstring>

namespace zt {

namespace {

[[noreturn]] void raise_count(const Signature& sig, Py_ssize_t given) {
  const char* bound;
  Py_ssize_t expected;
  if (sig.required == sig.count) {
    bound = "exactly";
    expected = sig.count;
  } else if (given < sig.required) {
    bound = "at least";
    expected = sig.required;
  } else {
    bound = "at most";
    expected = sig.count;
  }
  raise_format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
               sig.function, bound, expected, expected == 1 ? "" : "s", given);
}

Py_ssize_t find_param(const Signature& sig, PyObject* key) {
  Py_ssize_t size = 0;
  const char* name = PyUnicode_AsUTF8AndSize(key, &size);
  if (!name) throw PythonError{};
  for (Py_ssize_t i = 0; i < sig.count; ++i)
    if (std::strlen(sig.names[i]) == static_cast<size_t>(size) &&
        std::memcmp(sig.names[i], name, static_cast<size_t>(size)) == 0)
      return i;
  return -1;
}

}  // namespace

void bind_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames, PyObject** out) {
  nargs = PyVectorcall_NARGS(nargs);
  if (nargs > sig.count) raise_count(sig, nargs);
  for (Py_ssize_t i = 0; i < sig.count; ++i) out[i] = i < nargs ? args[i] : nullptr;

  Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    if (!PyUnicode_Check(key))
      raise_format(PyExc_TypeError, "%.200s() keywords must be strings", sig.function);
    Py_ssize_t i = find_param(sig, key);
    if (i < 0)
      raise_format(PyExc_TypeError, "%.200s() got an unexpected keyword argument '%U'",
                   sig.function, key);
    if (out[i])
      raise_format(PyExc_TypeError, "%.200s() got multiple values for keyword argument '%U'",
                   sig.function, key);
    out[i] = args[nargs + k];
  }
  // As Cython counts: the arguments before the first missing one, however they were given.
  for (Py_ssize_t i = 0; i < sig.required; ++i)
    if (!out[i]) raise_count(sig, i);
}

void raise_arg_type(const char* name, const char* expected, PyObject* got) {
  raise_format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
               name, expected, Py_TYPE(got)->tp_name);
}

Ref require_int(PyObject* value, const char* name) {
  if (PyLong_CheckExact(value)) return Ref::borrow(value);
  if (PyLong_Check(value) || PyFloat_Check(value) ||
      (PyNumber_Check(value) && !PyComplex_Check(value)))
    return Ref::check(PyNumber_Long(value));
  raise_arg_type(name, "int", value);
}

}  // namespace zt
