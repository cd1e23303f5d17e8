// Writing lines to sys.stdout.
#include "output.h"

#include "guard.h"
#include "names.h"
#include "py_ref.h"

// clang-format off
#define ZT_OUTPUT_NAMES(X) \
  X(write, "write") \
  X(flush, "flush")
// clang-format on

namespace zt {

namespace {

struct OutputNames {
  ZT_OUTPUT_NAMES(ZT_NAME_FIELD)
};
OutputNames g_names;  // filled by init_output (GIL held), read-only afterwards

}  // namespace

void init_output() {
  OutputNames& n = g_names;
  ZT_OUTPUT_NAMES(ZT_INTERN_NAME)
}

void write_stdout(PyObject* text) {
  if (!g_names.write) throw InternalError("output used before init_output");
  Ref out = Ref::borrow(PySys_GetObject("stdout"));
  if (!out || out.get() == Py_None) return;
  Ref::check(PyObject_CallMethodOneArg(out.get(), g_names.write, text));
  Ref::check(PyObject_CallMethodNoArgs(out.get(), g_names.flush));
}

void print_line(PyObject* obj) {
  write_stdout(Ref::check(PyUnicode_FromFormat("%S\n", obj)).get());
}

}  // namespace zt
