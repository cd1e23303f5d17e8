// The worker API that other modules reach through the module's capsule: queuing work items
// for an environment's worker, withdrawing them, and the worker's own component reference.
#include "worker_api.h"

#include "attached.h"
#include "environment.h"
#include "guard.h"
#include "work_queue.h"

namespace ambrel {

namespace {

// Why an item is refused at once.
constexpr char kStopped[] = "CQGCEL worker has stopped";
constexpr char kExiting[] = "the interpreter is exiting";

// A status-returning call with every exception of ours turned into a Python error: nothing
// of this module's own may reach another module's frames.
template <class F>
int as_status(F&& body) {
  PyObject* result = zt::guarded([&]() -> PyObject* { return PyLong_FromLong(body()); });
  if (!result) return -1;
  long status = PyLong_AsLong(result);
  Py_DECREF(result);
  return static_cast<int>(status);
}

int has_worker(PyObject* env) {
  WorkerState* worker = worker_of(env);
  return worker && worker->started ? 1 : 0;
}

int refuse_now(PyObject* item, zt::WorkRefuse refuse, const char* reason) {
  zt::Ref why = zt::Ref::check(PyUnicode_FromString(reason));
  refuse(item, why.get());
  if (PyErr_Occurred()) throw zt::PythonError{};
  return 0;
}

int submit(PyObject* env, PyObject* item, zt::WorkRun run, zt::WorkRefuse refuse) {
  return as_status([&] {
    WorkerState* worker = worker_of(env);
    if (!worker || !worker->started)
      zt::raise(PyExc_RuntimeError, "work can only be queued to a started CQGCEL environment");
    // While the interpreter finalizes only the finalizing thread runs Python code: the worker
    // never would.
    if (zt::interpreter_is_finalizing()) return refuse_now(item, refuse, kExiting);
    if (worker->ended || !worker->work.push(item, run, refuse)) return refuse_now(item, refuse, kStopped);
    signal_work(env);
    return 1;
  });
}

int withdraw(PyObject* env, PyObject* item) {
  WorkerState* worker = worker_of(env);
  return worker && worker->work.withdraw(item) ? 1 : 0;
}

PyObject* component_here(PyObject* env) {
  WorkerState* worker = worker_of(env);
  if (!worker || !worker->component || worker->thread_ident != PyThread_get_thread_ident())
    return nullptr;
  return worker->component;
}

const zt::WorkerApi kApi = {sizeof(zt::WorkerApi), has_worker, submit, withdraw, component_here};

}  // namespace

PyObject* new_worker_api_capsule() {
  return PyCapsule_New(const_cast<zt::WorkerApi*>(&kApi), zt::kWorkerApiCapsule, nullptr);
}

}  // namespace ambrel
