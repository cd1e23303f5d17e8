// Start: runs a sample class against a fresh environment and shuts the environment down.
#include "start.h"

#include "args.h"
#include "diagnostics.h"
#include "error_state.h"
#include "guard.h"
#include "output.h"
#include "py_ref.h"

namespace ambrel {

namespace {

// The guarded part of Start; false with the error pending when it failed.
bool run_sample(PyObject* env, PyObject* sample_class, PyObject* custom) {
  PyObject* done = zt::guarded([&]() -> PyObject* {
    zt::Ref sample =
        zt::Ref::check(PyObject_CallMethod(env, "Init", "OO", sample_class, custom));
    zt::Ref error_happened = zt::Ref::check(PyObject_GetAttrString(env, "errorHappened"));
    if (zt::check_status(PyObject_IsTrue(error_happened.get()))) return zt::none();
    zt::Ref::check(PyObject_CallMethod(sample.get(), "Init", "O", env));
    zt::Ref::check(PyObject_CallMethod(sample.get(), "Start", nullptr));
    return zt::none();
  });
  Py_XDECREF(done);
  return done != nullptr;
}

// Prints an ordinary error as "Exception: <text>"; false with a new error pending if even
// that failed.
bool report(PyObject* error) {
  PyObject* done = zt::guarded([&]() -> PyObject* {
    zt::print_line(zt::Ref::check(PyUnicode_FromFormat("Exception: %S", error)).get());
    return zt::none();
  });
  Py_XDECREF(done);
  return done != nullptr;
}

PyObject* py_start(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames) {
  return zt::guarded([&]() -> PyObject* {
    static const char* const names[] = {"sampleClassType", "customConfiguration"};
    static const zt::Signature sig{"Start", names, 2, 1};
    PyObject* in[2];
    zt::bind_args(sig, args, nargs, kwnames, in);
    PyObject* custom = in[1] ? in[1] : Py_None;

    // Looked up at call time, as a module-level name would be.
    zt::Ref env_type = zt::Ref::check(PyObject_GetAttrString(module, "Ambrel"));
    zt::Ref env = zt::Ref::check(PyObject_CallNoArgs(env_type.get()));

    zt::Ref pending;  // what reaches the caller once the environment is shut down
    if (!run_sample(env.get(), in[0], custom)) {
      pending = zt::take_error();
      // Interrupts and exit requests pass; ordinary errors are shown and end here.
      if (pending && zt::check_status(PyObject_IsInstance(pending.get(), PyExc_Exception))) {
        if (report(pending.get())) {
          pending.reset();
        } else {
          zt::chain_context(std::move(pending));
          pending = zt::take_error();
        }
      }
    }
    PyObject* shut = PyObject_CallMethod(env.get(), "Shutdown", nullptr);
    if (!shut) {
      if (pending) zt::chain_context(std::move(pending));
      throw zt::PythonError{};
    }
    Py_DECREF(shut);
    if (pending) {
      zt::restore_error(std::move(pending));
      throw zt::PythonError{};
    }
    return zt::none();
  });
}

}  // namespace

PyMethodDef start_def = {
    "Start", zt::fastcall(py_start), zt::kFastKeywords,
    "Start($module, sampleClassType, customConfiguration=None)\n--\n\n"
    "Run a sample class against a fresh environment, then shut the environment down."};

}  // namespace ambrel
