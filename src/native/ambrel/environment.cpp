// Ambrel, the component environment: worker thread, apartment, message pump, hand-over,
// configuration, start-up and shutdown of the component.
#include "environment.h"

#include <atomic>
#include <cstddef>

#include <structmember.h>

#include "args.h"
#include "bridge.h"
#include "diagnostics.h"
#include "error_state.h"
#include "gil.h"
#include "guard.h"
#include "py_ref.h"
#include "sink_internal.h"
#include "wait_event.h"
#include "work_queue.h"

namespace ambrel {

namespace {

// Why a work item will never run.
constexpr char kWorkerStopped[] = "CQGCEL worker has stopped";
constexpr char kEnvironmentReleased[] = "CQGCEL environment was released";

// Every PyObject* field is read and written with the GIL held. The worker stores
// cqgCELStream and sink before it sets eventAllPrepared; the calling thread reads them
// only after its wait on that event.
struct AmbrelObject {
  PyObject_HEAD
  PyObject* dict;  // attributes callers add
  PyObject* eventCELStarted;
  PyObject* eventAllPrepared;
  PyObject* shutdownEvent;
  PyObject* workEvent;  // auto-reset; signalled when work is queued for the worker
  PyObject* thread;
  PyObject* cqgCELStream;
  PyObject* sink;
  PyObject* cqgCEL;
  PyObject* workerError;  // the error that ended the worker's run, if one did
  PyObject* progid;       // the component's ProgID, chosen by Init for the worker
  bool errorHappened;     // GIL held; written by SetError before eventCELStarted is set
  WorkerState* worker;    // owned; made with the object; its queue is emptied by env_clear
};

PyTypeObject* g_type = nullptr;           // set once at module init, never freed
PyObject* g_sink_internal_type = nullptr; // likewise
PyObject* g_threading = nullptr;          // likewise

AmbrelObject* as_env(PyObject* self) { return reinterpret_cast<AmbrelObject*>(self); }

// A field that an earlier step must have stored; AttributeError as for a missing attribute.
PyObject* required(PyObject* self, PyObject* AmbrelObject::*field, const char* name) {
  PyObject* value = as_env(self)->*field;
  if (!value)
    zt::raise_format(PyExc_AttributeError, "'%.50s' object has no attribute '%.400s'",
                     Py_TYPE(self)->tp_name, name);
  return value;
}

void call_method(PyObject* obj, const char* name) {
  zt::Ref::check(PyObject_CallMethod(obj, name, nullptr));
}

void call_method(PyObject* obj, const char* name, PyObject* arg) {
  zt::Ref method = zt::Ref::check(PyObject_GetAttrString(obj, name));
  zt::Ref::check(PyObject_CallOneArg(method.get(), arg));
}

void mark_worker_ended(AmbrelObject* env) {
  env->worker->ended = true;
  // Through the events' own wait: whoever waits on one of them looks again.
  for (PyObject* event : {env->eventAllPrepared, env->eventCELStarted})
    if (event && zt::is_event(event)) zt::event_wake(event);
}

// Refuses what is still queued, and everything queued later, for `reason`. With the GIL;
// a pending error is kept aside. Nothing escapes: the callers are a thread's last steps and
// the collector.
void close_queue(PyObject* self, const char* reason) {
  if (!as_env(self)->worker) return;  // the object failed to be made
  zt::SavedError pending;
  PyObject* done = zt::guarded([&] {
    as_env(self)->worker->work.close(reason);
    return zt::none();
  });
  if (done)
    Py_DECREF(done);
  else
    PyErr_WriteUnraisable(self);
  pending.restore();
}

bool worker_has_ended(const void* worker) noexcept {
  return static_cast<const WorkerState*>(worker)->ended;
}

// Waits with the GIL released until `event` is set or the worker has ended; returns whether
// the event is set. Ctrl-C on the main thread ends it with KeyboardInterrupt; the worker goes
// on and Shutdown still stops it.
bool wait_or_worker_end(PyObject* self, PyObject* event) {
  if (!zt::is_event(event)) throw zt::InternalError("environment event of a foreign type");
  const zt::Ref env_kept = zt::keep_alive(self);  // and with it the worker state
  return zt::event_wait(event, -1, worker_has_ended, as_env(self)->worker);
}

// The caller's wait cannot end well: the worker is gone. Carries the worker's error.
[[noreturn]] void raise_worker_gone(PyObject* self, const char* what) {
  zt::Ref cause = zt::Ref::borrow(as_env(self)->workerError);
  zt::Ref message = zt::Ref::check(cause ? PyUnicode_FromFormat("%s: %S", what, cause.get())
                                         : PyUnicode_FromString(what));
  zt::raise_from(PyExc_RuntimeError, message.get(), std::move(cause));
}

// ---- construction and the object's life -------------------------------------------------

PyObject* env_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return zt::guarded([&]() -> PyObject* {
    bool extra = PyTuple_GET_SIZE(args) != 0 || (kwargs && PyDict_GET_SIZE(kwargs) != 0);
    if (extra && type->tp_init == PyBaseObject_Type.tp_init)
      zt::raise_format(PyExc_TypeError, "%.200s() takes no arguments", type->tp_name);
    zt::Ref self = zt::Ref::check(type->tp_alloc(type, 0));
    AmbrelObject* env = as_env(self.get());
    env->worker = new WorkerState();
    env->eventCELStarted = zt::new_event().release();
    env->eventAllPrepared = zt::new_event().release();
    zt::Ref no_name = zt::Ref::borrow(Py_None);
    zt::Ref zero = zt::Ref::check(PyLong_FromLong(0));
    env->shutdownEvent = bridge::call(bridge::win32event(), "CreateEvent",
                                      {Py_None, zero.get(), zero.get(), no_name.get()})
                             .release();
    env->workEvent = bridge::call(bridge::win32event(), "CreateEvent",
                                  {Py_None, zero.get(), zero.get(), no_name.get()})
                         .release();
    env->errorHappened = false;
    return self.release();
  });
}

// Every object field, for the collector.
constexpr PyObject* AmbrelObject::*kObjectFields[] = {
    &AmbrelObject::dict,   &AmbrelObject::eventCELStarted, &AmbrelObject::eventAllPrepared,
    &AmbrelObject::shutdownEvent, &AmbrelObject::workEvent, &AmbrelObject::thread,
    &AmbrelObject::cqgCELStream,
    &AmbrelObject::sink,   &AmbrelObject::cqgCEL,          &AmbrelObject::workerError,
    &AmbrelObject::progid,
};

int env_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  for (PyObject* AmbrelObject::*field : kObjectFields) Py_VISIT(as_env(self)->*field);
  WorkerState* worker = as_env(self)->worker;
  return worker ? worker->work.traverse(visit, arg) : 0;
}

int env_clear(PyObject* self) {
  // Whoever waits for a queued item hears that it will never run.
  close_queue(self, kEnvironmentReleased);
  for (PyObject* AmbrelObject::*field : kObjectFields) Py_CLEAR(as_env(self)->*field);
  return 0;
}

void env_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  env_clear(self);
  delete as_env(self)->worker;
  type->tp_free(self);
  Py_DECREF(type);
}

// ---- the worker's run --------------------------------------------------------------------

// The ProgID of the component to create: "CQG.CQGCEL.4", unless the host has set the
// environment's attribute ProgID (a str) before Init, to use a component registered under
// another name. Read by Init on the calling thread, so that a wrong one is the caller's
// error, and one that cannot be read is not taken for none.
zt::Ref component_progid(PyObject* self) {
  PyObject* chosen = PyObject_GetAttrString(self, "ProgID");
  if (!chosen) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw zt::PythonError{};
    PyErr_Clear();
    return zt::Ref::check(PyUnicode_FromString("CQG.CQGCEL.4"));
  }
  zt::Ref progid = zt::Ref::steal(chosen);
  if (!PyUnicode_Check(progid.get()))
    zt::raise_format(PyExc_TypeError,
                     "ProgID must be a str (the ProgID of the component to create), not %.200s",
                     Py_TYPE(progid.get())->tp_name);
  return progid;
}

// Steps from creating the component to the end of the pump. `component` and `internal`
// are the worker's own references, held by its caller.
void prepare_and_pump(PyObject* self, PyObject* sinkType, zt::Ref& component,
                      zt::Ref& internal) {
  AmbrelObject* env = as_env(self);
  PyObject* pythoncom = bridge::pythoncom();
  PyObject* client = bridge::win32com_client();

  // Chosen by Init; read here only when the run was started otherwise.
  zt::Ref progid = env->progid ? zt::Ref::borrow(env->progid) : component_progid(self);
  trace(zt::Ref::check(PyUnicode_FromFormat("%U creation...", progid.get())).get());
  component = bridge::call(client, "Dispatch", {progid.get()});
  env->worker->component = component.get();  // for the work items run here
  trace(zt::Ref::check(PyUnicode_FromFormat("%U created!", progid.get())).get());

  trace("Marshal CQGCEL in stream");
  zt::Ref iid = bridge::attr(pythoncom, "IID_IDispatch");
  zt::Ref stream =
      bridge::call(pythoncom, "CoMarshalInterThreadInterfaceInStream", {iid.get(), component.get()});
  Py_XSETREF(env->cqgCELStream, stream.release());
  trace("CQGCEL is marshaled in stream");

  trace("Internal sink subscription to events");
  internal = bridge::call(client, "WithEvents", {component.get(), g_sink_internal_type});
  trace("Internal sink subscribed");

  trace("Sink subscription to events");
  zt::Ref sink = bridge::call(client, "WithEvents", {component.get(), sinkType});
  Py_XSETREF(env->sink, sink.release());
  trace("Sink subscribed");

  zt::Ref started = zt::Ref::borrow(required(self, &AmbrelObject::eventCELStarted, "eventCELStarted"));
  zt::Ref::check(PyObject_CallMethod(internal.get(), "Init", "OO", started.get(), self));
  trace("Internal sink is initialized");

  zt::event_set(required(self, &AmbrelObject::eventAllPrepared, "eventAllPrepared"));
  trace("Starting message pumping..");
  call_method(self, "pumpMessages");
}

void run_worker(PyObject* self, PyObject* sinkType) {
  PyObject* pythoncom = bridge::pythoncom();
  WorkerState& worker = *as_env(self)->worker;
  worker.thread_ident = PyThread_get_thread_ident();
  trace("COM framework is initializing...");
  bridge::call(pythoncom, "CoInitialize", {});
  trace("COM framework is initialized!");

  zt::Ref component, internal;  // the worker's own; released before the apartment closes
  // A failed run still leaves its apartment, quietly; the run's error is what reports.
  auto leave_quietly = [&] {
    worker.component = nullptr;
    component.reset();
    internal.reset();
    zt::Ref error = zt::take_error();
    PyObject* done = PyObject_CallMethod(pythoncom, "CoUninitialize", nullptr);
    if (done)
      Py_DECREF(done);
    else
      PyErr_Clear();
    if (error) zt::restore_error(std::move(error));
  };
  // Not catch (...): a thread ended by the interpreter at exit unwinds through here.
  try {
    prepare_and_pump(self, sinkType, component, internal);
  } catch (const zt::PythonError&) {
    leave_quietly();
    throw;
  } catch (const std::exception&) {
    leave_quietly();
    throw;
  }
  worker.component = nullptr;
  component.reset();
  internal.reset();
  trace("COM framework is uninitializing...");
  bridge::call(pythoncom, "CoUninitialize", {});
  trace("COM framework is uninitialized!");
}

// ---- methods -------------------------------------------------------------------------------

PyObject* env_Init(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return zt::guarded([&]() -> PyObject* {
    static const char* const names[] = {"sinkType", "customAPIConfiguration"};
    static const zt::Signature sig{"Init", names, 2, 2};
    PyObject* in[2];
    zt::bind_args(sig, args, nargs, kwnames, in);
    AmbrelObject* env = as_env(self);
    // A second worker would replace the first, which nobody could then stop or join.
    if (env->thread) zt::raise(PyExc_RuntimeError, "Init has already been called on this environment");
    Py_XSETREF(env->progid, component_progid(self).release());

    zt::Ref target = zt::Ref::check(PyObject_GetAttrString(self, "threadedFunction"));
    zt::Ref thread_args = zt::Ref::check(PyTuple_Pack(1, in[0]));
    zt::Ref name = zt::Ref::check(PyUnicode_FromString("cel_threadfunc"));
    zt::Ref kwargs = zt::Ref::check(PyDict_New());
    zt::check_status(PyDict_SetItemString(kwargs.get(), "target", target.get()));
    zt::check_status(PyDict_SetItemString(kwargs.get(), "args", thread_args.get()));
    zt::check_status(PyDict_SetItemString(kwargs.get(), "name", name.get()));
    zt::Ref thread_class = zt::Ref::check(PyObject_GetAttrString(g_threading, "Thread"));
    zt::Ref empty = zt::Ref::check(PyTuple_New(0));
    zt::Ref thread = zt::Ref::check(PyObject_Call(thread_class.get(), empty.get(), kwargs.get()));
    Py_XSETREF(env->thread, thread.new_ref());
    PyObject* started = PyObject_CallMethod(thread.get(), "start", nullptr);
    if (!started) {
      Py_CLEAR(env->thread);  // never ran: nothing for Shutdown to join
      throw zt::PythonError{};
    }
    Py_DECREF(started);
    env->worker->started = true;  // work may be queued for it from now on

    trace("Waiting for CQGCEL creation..");
    if (!wait_or_worker_end(self, env->eventAllPrepared))
      raise_worker_gone(self, "CQGCEL worker ended before it was prepared");
    trace("CQGCEL is created!");

    trace("Marshaled CQGCEL from stream");
    PyObject* pythoncom = bridge::pythoncom();
    zt::Ref iid = bridge::attr(pythoncom, "IID_IDispatch");
    zt::Ref stream = zt::Ref::borrow(required(self, &AmbrelObject::cqgCELStream, "cqgCELStream"));
    zt::Ref iface =
        bridge::call(pythoncom, "CoGetInterfaceAndReleaseStream", {stream.get(), iid.get()});
    zt::Ref proxy = bridge::call(bridge::win32com_client(), "Dispatch", {iface.get()});
    Py_XSETREF(env->cqgCEL, proxy.release());
    trace("CQGCEL is marshaled from stream!");

    call_method(self, "apiConfigurationSet", in[1]);
    call_method(self, "startupCel");
    if (env->errorHappened) trace("Error happened during CQGCEL start up!");
    return zt::Ref::borrow(required(self, &AmbrelObject::sink, "sink")).release();
  });
}

PyObject* env_threadedFunction(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  PyObject* result = zt::guarded([&]() -> PyObject* {
    static const char* const names[] = {"sinkType"};
    static const zt::Signature sig{"threadedFunction", names, 1, 1};
    PyObject* sinkType;
    zt::bind_args(sig, args, nargs, kwnames, &sinkType);
    run_worker(self, sinkType);
    return zt::none();
  });
  AmbrelObject* env = as_env(self);
  if (!result) {
    // Kept for the caller's waits; the error itself goes on to the thread machinery.
    zt::Ref error = zt::take_error();
    Py_XSETREF(env->workerError, error.new_ref());
    zt::restore_error(std::move(error));
  }
  mark_worker_ended(env);
  // What is still queued will never run: its waiters hear so now, and later ones at once.
  close_queue(self, kWorkerStopped);
  return result;
}

PyObject* env_pumpMessages(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return zt::guarded([&]() -> PyObject* {
    static const zt::Signature sig{"pumpMessages", nullptr, 0, 0};
    zt::bind_args(sig, args, nargs, kwnames, nullptr);
    PyObject* win32event = bridge::win32event();
    zt::Ref wait_all = zt::Ref::check(PyLong_FromLong(0));
    zt::Ref one = zt::Ref::check(PyLong_FromLong(1));
    zt::Ref two = zt::Ref::check(PyLong_FromLong(2));
    AmbrelObject* env = as_env(self);
    for (;;) {
      // The shutdown event first: once it is signalled, queued work is refused, not run.
      zt::Ref handles = zt::Ref::check(
          PyTuple_Pack(2, required(self, &AmbrelObject::shutdownEvent, "shutdownEvent"),
                       required(self, &AmbrelObject::workEvent, "workEvent")));
      zt::Ref infinite = bridge::attr(win32event, "INFINITE");
      zt::Ref wake_mask = bridge::attr(win32event, "QS_ALLEVENTS");
      zt::Ref res = bridge::call(win32event, "MsgWaitForMultipleObjects",
                                 {handles.get(), wait_all.get(), infinite.get(), wake_mask.get()});
      zt::Ref signalled = bridge::attr(win32event, "WAIT_OBJECT_0");
      if (zt::check_status(PyObject_RichCompareBool(res.get(), signalled.get(), Py_EQ)))
        return zt::none();
      zt::Ref work = zt::Ref::check(PyNumber_Add(signalled.get(), one.get()));
      if (zt::check_status(PyObject_RichCompareBool(res.get(), work.get(), Py_EQ))) {
        env->worker->work.run_waiting();
        continue;
      }
      zt::Ref messages = zt::Ref::check(PyNumber_Add(signalled.get(), two.get()));
      if (!zt::check_status(PyObject_RichCompareBool(res.get(), messages.get(), Py_EQ)))
        zt::raise(PyExc_RuntimeError, "unexpected win32wait return value");
      zt::Ref quit = bridge::call(bridge::pythoncom(), "PumpWaitingMessages", {});
      if (zt::check_status(PyObject_IsTrue(quit.get()))) return zt::none();
    }
  });
}

PyObject* env_apiConfigurationSet(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  return zt::guarded([&]() -> PyObject* {
    static const char* const names[] = {"customAPIConfiguration"};
    static const zt::Signature sig{"apiConfigurationSet", names, 1, 1};
    PyObject* custom;
    zt::bind_args(sig, args, nargs, kwnames, &custom);
    zt::Ref component = zt::Ref::borrow(required(self, &AmbrelObject::cqgCEL, "cqgCEL"));
    api_configuration_set(component.get(), custom);
    return zt::none();
  });
}

PyObject* env_startupCel(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  return zt::guarded([&]() -> PyObject* {
    static const zt::Signature sig{"startupCel", nullptr, 0, 0};
    zt::bind_args(sig, args, nargs, kwnames, nullptr);
    trace("Startup CQGCEL..");
    zt::Ref component = zt::Ref::borrow(required(self, &AmbrelObject::cqgCEL, "cqgCEL"));
    call_method(component.get(), "Startup");
    trace("Waiting for CQGCEL start..");
    // Unbounded while the worker pumps (the component may take its time); a worker that
    // has ended can deliver nothing, so waiting on would never end.
    if (!wait_or_worker_end(self, required(self, &AmbrelObject::eventCELStarted, "eventCELStarted")))
      raise_worker_gone(self, "CQGCEL worker ended before CQGCEL started");
    trace("CQGCEL has started.");
    return zt::none();
  });
}

PyObject* env_Shutdown(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  return zt::guarded([&]() -> PyObject* {
    static const zt::Signature sig{"Shutdown", nullptr, 0, 0};
    zt::bind_args(sig, args, nargs, kwnames, nullptr);
    AmbrelObject* env = as_env(self);
    trace("CQGCEL is being shut down..");
    // Without a hand-over there is no component to shut down, but the worker still stops.
    zt::Ref component_error;
    if (env->cqgCEL) {
      zt::Ref component = zt::Ref::borrow(env->cqgCEL);
      PyObject* done = PyObject_CallMethod(component.get(), "Shutdown", nullptr);
      if (done)
        Py_DECREF(done);
      else
        component_error = zt::take_error();
    }
    // The worker is stopped and joined even when the component failed to shut down:
    // left pumping, it would keep the process from exiting.
    try {
      zt::Ref event = zt::Ref::borrow(required(self, &AmbrelObject::shutdownEvent, "shutdownEvent"));
      bridge::call(bridge::win32event(), "SetEvent", {event.get()});
      if (env->thread) {
        zt::Ref thread = zt::Ref::borrow(env->thread);
        call_method(thread.get(), "join");
      }
    } catch (const zt::PythonError&) {
      if (component_error) zt::chain_context(std::move(component_error));
      throw;
    }
    if (component_error) {
      zt::restore_error(std::move(component_error));
      throw zt::PythonError{};
    }
    trace("CQGCEL is shut down.");
    return zt::none();
  });
}

PyObject* env_SetError(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  return zt::guarded([&]() -> PyObject* {
    static const zt::Signature sig{"SetError", nullptr, 0, 0};
    zt::bind_args(sig, args, nargs, kwnames, nullptr);
    as_env(self)->errorHappened = true;
    return zt::none();
  });
}

PyObject* get_errorHappened(PyObject* self, void*) {
  return PyBool_FromLong(as_env(self)->errorHappened);
}

PyMethodDef env_methods[] = {
    {"Init", zt::fastcall(env_Init), zt::kFastKeywords,
     "Init($self, sinkType, customAPIConfiguration)\n--\n\n"
     "Start the worker, take the component over, configure and start it; return the sink."},
    {"threadedFunction", zt::fastcall(env_threadedFunction), zt::kFastKeywords,
     "threadedFunction($self, sinkType)\n--\n\nThe worker's run."},
    {"pumpMessages", zt::fastcall(env_pumpMessages), zt::kFastKeywords,
     "pumpMessages($self)\n--\n\nThe worker's wait-and-dispatch loop."},
    {"apiConfigurationSet", zt::fastcall(env_apiConfigurationSet), zt::kFastKeywords,
     "apiConfigurationSet($self, customAPIConfiguration)\n--\n\n"
     "Write the default API configuration, then apply the custom callable if any."},
    {"startupCel", zt::fastcall(env_startupCel), zt::kFastKeywords,
     "startupCel($self)\n--\n\nStart the component and wait for its start event."},
    {"Shutdown", zt::fastcall(env_Shutdown), zt::kFastKeywords,
     "Shutdown($self)\n--\n\nShut the component down, stop and join the worker."},
    {"SetError", zt::fastcall(env_SetError), zt::kFastKeywords,
     "SetError($self)\n--\n\nRecord that the component reported a data error."},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef env_members[] = {
    {"eventCELStarted", T_OBJECT_EX, offsetof(AmbrelObject, eventCELStarted), READONLY, nullptr},
    {"eventAllPrepared", T_OBJECT_EX, offsetof(AmbrelObject, eventAllPrepared), READONLY, nullptr},
    {"shutdownEvent", T_OBJECT_EX, offsetof(AmbrelObject, shutdownEvent), READONLY, nullptr},
    {"thread", T_OBJECT_EX, offsetof(AmbrelObject, thread), READONLY, nullptr},
    {"cqgCELStream", T_OBJECT_EX, offsetof(AmbrelObject, cqgCELStream), READONLY, nullptr},
    {"sink", T_OBJECT_EX, offsetof(AmbrelObject, sink), READONLY, nullptr},
    {"cqgCEL", T_OBJECT_EX, offsetof(AmbrelObject, cqgCEL), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(AmbrelObject, dict), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyObject* get_work_waiting(PyObject* self, void*) {
  WorkerState* worker = as_env(self)->worker;
  return PyLong_FromSize_t(worker ? worker->work.size() : 0);
}

PyGetSetDef env_getset[] = {
    {"errorHappened", get_errorHappened, nullptr,
     "True once the component has reported a data error.", nullptr},
    {"_work_waiting", get_work_waiting, nullptr,
     "How many work items wait for the worker now (a diagnostic).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

WorkerState* worker_of(PyObject* obj) noexcept {
  if (!g_type || !PyObject_TypeCheck(obj, g_type)) return nullptr;
  return as_env(obj)->worker;
}

void signal_work(PyObject* env) {
  zt::Ref event = zt::Ref::borrow(required(env, &AmbrelObject::workEvent, "workEvent"));
  bridge::call(bridge::win32event(), "SetEvent", {event.get()});
}

PyObject* make_environment_type(const char* qualified_name, PyObject* sink_internal) {
  g_threading = zt::Ref::check(PyImport_ImportModule("threading")).release();
  g_sink_internal_type = zt::Ref::borrow(sink_internal).release();
  static PyType_Slot slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(env_new)},
      {Py_tp_traverse, reinterpret_cast<void*>(env_traverse)},
      {Py_tp_clear, reinterpret_cast<void*>(env_clear)},
      {Py_tp_dealloc, reinterpret_cast<void*>(env_dealloc)},
      {Py_tp_methods, env_methods},
      {Py_tp_members, env_members},
      {Py_tp_getset, env_getset},
      {Py_tp_doc, const_cast<char*>("The CQG CEL component's environment: a worker thread with "
                                    "its own apartment and message pump that owns the "
                                    "component.")},
      {0, nullptr},
  };
  static PyType_Spec spec{qualified_name, static_cast<int>(sizeof(AmbrelObject)), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, slots};
  PyObject* type = zt::Ref::check(PyType_FromSpec(&spec)).release();
  g_type = reinterpret_cast<PyTypeObject*>(type);
  return zt::Ref::borrow(type).release();
}

}  // namespace ambrel
