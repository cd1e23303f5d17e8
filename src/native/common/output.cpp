// Writing lines to sys.stdout.
#include "output.h"

#include "py_ref.h"

namespace zt {

void write_stdout(PyObject* text) {
  Ref out = Ref::borrow(PySys_GetObject("stdout"));
  if (!out || out.get() == Py_None) return;
  static PyObject* const write_name = intern("write");
  static PyObject* const flush_name = intern("flush");
  Ref::check(PyObject_CallMethodOneArg(out.get(), write_name, text));
  Ref::check(PyObject_CallMethodNoArgs(out.get(), flush_name));
}

void print_line(PyObject* obj) {
  write_stdout(Ref::check(PyUnicode_FromFormat("%S\n", obj)).get());
}

}  // namespace zt
