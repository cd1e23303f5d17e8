// Trace and AssertMessage: the diagnostic line on standard output and the asserting check.
#include "diagnostics.h"

#include <pythread.h>

#include <cstdio>
#include <cstring>

#include "args.h"
#include "guard.h"
#include "output.h"
#include "py_ref.h"

namespace ambrel {

void trace(PyObject* message) {
  // Same refusal as str + non-str, before anything is written.
  if (!PyUnicode_Check(message))
    zt::raise_format(PyExc_TypeError, "can only concatenate str (not \"%.200s\") to str",
                     Py_TYPE(message)->tp_name);
#if PY_VERSION_HEX < 0x030C0000
  if (PyUnicode_READY(message) < 0) throw zt::PythonError{};
#endif
  // The same number as threading.current_thread().ident.
  char prefix[32];
  int prefix_len = std::snprintf(prefix, sizeof prefix, "%lu: ", PyThread_get_thread_ident());
  if (PyUnicode_IS_ASCII(message)) {
    // The common case, built in place: prefix, message, line end.
    Py_ssize_t size = PyUnicode_GET_LENGTH(message);
    zt::Ref line = zt::Ref::check(PyUnicode_New(prefix_len + size + 1, 127));
    char* data = static_cast<char*>(PyUnicode_DATA(line.get()));
    std::memcpy(data, prefix, static_cast<size_t>(prefix_len));
    std::memcpy(data + prefix_len, PyUnicode_DATA(message), static_cast<size_t>(size));
    data[prefix_len + size] = '\n';
    zt::write_stdout(line.get());
    return;
  }
  zt::write_stdout(zt::Ref::check(PyUnicode_FromFormat("%s%U\n", prefix, message)).get());
}

void trace(const char* message) { trace(zt::Ref::check(PyUnicode_FromString(message)).get()); }

PyObject* py_trace(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return zt::guarded([&]() -> PyObject* {
    static const char* const names[] = {"message"};
    static const zt::Signature sig{"Trace", names, 1, 1};
    PyObject* message;
    zt::bind_args(sig, args, nargs, kwnames, &message);
    trace(message);
    return zt::none();
  });
}

PyObject* py_assert_message(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return zt::guarded([&]() -> PyObject* {
    static const char* const names[] = {"condition", "message"};
    static const zt::Signature sig{"AssertMessage", names, 2, 2};
    PyObject* in[2];
    zt::bind_args(sig, args, nargs, kwnames, in);
    if (zt::check_status(PyObject_IsTrue(in[0]))) return zt::none();
    // Called, not PyErr_SetObject: a tuple message must stay the one argument.
    zt::Ref error = zt::Ref::check(PyObject_CallOneArg(PyExc_RuntimeError, in[1]));
    PyErr_SetObject(PyExc_RuntimeError, error.get());
    throw zt::PythonError{};
  });
}

PyMethodDef trace_def = {
    "Trace", zt::fastcall(py_trace), zt::kFastKeywords,
    "Trace($module, message)\n--\n\nPrint '<thread ident>: <message>' and flush."};

PyMethodDef assert_message_def = {
    "AssertMessage", zt::fastcall(py_assert_message), zt::kFastKeywords,
    "AssertMessage($module, condition, message)\n--\n\n"
    "Raise RuntimeError(message) unless condition is true."};

}  // namespace ambrel
