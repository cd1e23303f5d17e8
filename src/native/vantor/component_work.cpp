// Work items: a request's component calls queued to the environment's worker in one piece,
// run there between its message pumps, and their outcome handed back to the caller.
#include "component_work.h"

#include <new>

#include "error_state.h"
#include "guard.h"
#include "wait_event.h"
#include "worker_api.h"

namespace vantor {

using zt::Ref;

namespace {

const zt::WorkerApi* g_api = nullptr;     // the environment module's; lives with the process
PyTypeObject* g_work_type = nullptr;      // made at load, never freed

// Every object field, for the collector and the release.
constexpr PyObject* WorkObject::*kObjectFields[] = {
    &WorkObject::adapter, &WorkObject::env,  &WorkObject::result,
    &WorkObject::error,   &WorkObject::guid, &WorkObject::wake,
};

int work_traverse(PyObject* obj, visitproc visit, void* arg) {
  WorkObject* work = as_work(obj);
  Py_VISIT(Py_TYPE(obj));
  for (PyObject* WorkObject::*field : kObjectFields) Py_VISIT(work->*field);
  for (PyObject* in : work->input) Py_VISIT(in);
  return 0;
}

int work_clear(PyObject* obj) {
  WorkObject* work = as_work(obj);
  for (PyObject* WorkObject::*field : kObjectFields) Py_CLEAR(work->*field);
  for (PyObject*& in : work->input) Py_CLEAR(in);
  return 0;
}

void work_dealloc(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  PyObject_GC_UnTrack(obj);
  work_clear(obj);
  as_work(obj)->finished.~WaitFlag();  // no waiter left: each holds a reference
  as_work(obj)->state.~atomic();
  type->tp_free(obj);
  Py_DECREF(type);
}

// The item has ended: its waiter hears so.
void finish(WorkObject* work, int state) {
  work->state.store(state);
  work->finished.set();
  if (work->wake) zt::event_wake(work->wake);
}

// WorkRun: the body, on the worker, with the GIL held; nothing escapes.
void run_work(PyObject* item) {
  WorkObject* work = as_work(item);
  if (work->abandoned) {  // its caller has gone: nobody would hear of the calls
    finish(work, WorkObject::kFailed);
    return;
  }
  work->state.store(WorkObject::kRunning);
  PyObject* result = zt::guarded([&] { return work->body(work).release(); });
  if (result) {
    Py_XSETREF(work->result, result);
    finish(work, WorkObject::kDone);
    return;
  }
  Py_XSETREF(work->error, zt::take_error().release());
  finish(work, WorkObject::kFailed);
}

// WorkRefuse: the worker will never run the item; its caller gets the reason as the error.
void refuse_work(PyObject* item, PyObject* reason) {
  WorkObject* work = as_work(item);
  PyObject* message = PyUnicode_FromFormat("%s not run: %U", work->request, reason);
  PyObject* error = message ? PyObject_CallOneArg(PyExc_RuntimeError, message) : nullptr;
  Py_XDECREF(message);
  if (!error) error = zt::take_error().release();  // what went wrong making it is the error
  Py_XSETREF(work->error, error);
  finish(work, WorkObject::kFailed);
}

}  // namespace

void bind_worker_api() {
  auto* api = static_cast<const zt::WorkerApi*>(PyCapsule_Import(zt::kWorkerApiCapsule, 0));
  if (!api) throw zt::PythonError{};
  if (api->size != sizeof(zt::WorkerApi))
    zt::raise(PyExc_ImportError, "the environment module is of another build than the adapter");
  g_api = api;

  static PyType_Slot slots[] = {
      {Py_tp_dealloc, reinterpret_cast<void*>(work_dealloc)},
      {Py_tp_traverse, reinterpret_cast<void*>(work_traverse)},
      {Py_tp_clear, reinterpret_cast<void*>(work_clear)},
      {0, nullptr},
  };
  static PyType_Spec spec{"zandor_trader.gateways.cqg.wrapper.vantor._ComponentWork",
                          sizeof(WorkObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, slots};
  g_work_type = reinterpret_cast<PyTypeObject*>(Ref::check(PyType_FromSpec(&spec)).release());
}

PyObject* component_on_worker(VantorObject* self) {
  return self->ambrel && g_api ? g_api->component_here(self->ambrel) : nullptr;
}

Ref start_work(VantorObject* self, const char* request, WorkBody body, PyObject* in0,
               PyObject* in1, PyObject* wake) {
  Ref item = Ref::check(g_work_type->tp_alloc(g_work_type, 0));
  WorkObject* work = as_work(item.get());
  new (&work->state) std::atomic<int>(WorkObject::kQueued);
  new (&work->finished) zt::WaitFlag();
  work->body = body;
  work->request = request;
  work->adapter = Ref::borrow(reinterpret_cast<PyObject*>(self)).release();
  work->input[0] = Ref::borrow(in0).release();
  work->input[1] = Ref::borrow(in1).release();
  work->wake = Ref::borrow(wake).release();

  PyObject* env = self->ambrel;
  work->env = Ref::borrow(env).release();
  // Without a started worker (or on the worker itself) the calls are made here, as they are.
  if (!env || component_on_worker(self) || zt::check_status(g_api->has_worker(env)) == 0) {
    run_work(item.get());
    return item;
  }
  zt::check_status(g_api->submit(env, item.get(), run_work, refuse_work));
  return item;
}

void abandon_work(WorkObject* work) {
  work->abandoned = true;
  if (work->state.load() == WorkObject::kQueued && work->env) {
    if (g_api->withdraw(work->env, reinterpret_cast<PyObject*>(work)) == 1)
      finish(work, WorkObject::kFailed);
  }
}

Ref work_outcome(WorkObject* work) {
  if (work->state.load() == WorkObject::kDone) return Ref::borrow(work->result ? work->result : Py_None);
  if (!work->error) zt::raise(PyExc_SystemError, "work item failed without an error");
  zt::restore_error(Ref::borrow(work->error));
  throw zt::PythonError{};
}

}  // namespace vantor
