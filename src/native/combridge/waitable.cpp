// Event objects and waits. A waiting thread registers itself with every event it waits on;
// setting an event wakes the registered threads, which then look again. Nothing polls.
#include "waitable.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>
#include <vector>

#include "errors.h"
#include "gil.h"
#include "guard.h"
#include "thread_state.h"

namespace comsim {

using zt::Ref;

namespace {

struct EventState {
  std::mutex mutex;
  bool signaled = false;  // guarded by mutex
  bool manual_reset = false;
  std::vector<ThreadState*> waiters;  // guarded by mutex; threads inside a wait on this event
};

struct HandleObject {
  PyObject_HEAD
  std::shared_ptr<EventState> state;  // null once closed
};

constexpr long ERROR_INVALID_PARAMETER = 87;

PyTypeObject* g_handle_type = nullptr;

void handle_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<HandleObject*>(self)->state.~shared_ptr();
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* handle_close(PyObject* self, PyObject*) {
  reinterpret_cast<HandleObject*>(self)->state.reset();
  Py_RETURN_NONE;
}

PyObject* handle_int(PyObject* self) {
  return PyLong_FromVoidPtr(reinterpret_cast<HandleObject*>(self)->state.get());
}

PyMethodDef handle_methods[] = {
    {"Close", handle_close, METH_NOARGS, "Close the handle."},
    {nullptr, nullptr, 0, nullptr},
};

std::shared_ptr<EventState> event_of(PyObject* obj) {
  if (Py_TYPE(obj) != g_handle_type)
    zt::raise_format(PyExc_TypeError, "The object is not a PyHANDLE object (got %.200s)",
                     Py_TYPE(obj)->tp_name);
  std::shared_ptr<EventState> state = reinterpret_cast<HandleObject*>(obj)->state;
  if (!state) raise_win32_error(6, "WaitForMultipleObjects", "The handle is invalid.");
  return state;
}

void expect_count(const char* function, Py_ssize_t nargs, Py_ssize_t low, Py_ssize_t high) {
  if (nargs < low || nargs > high)
    zt::raise_format(PyExc_TypeError, "%s() takes %s %zd arguments (%zd given)", function,
                     low == high ? "exactly" : (nargs < low ? "at least" : "at most"),
                     nargs < low ? low : high, nargs);
}

long as_long(PyObject* value) {
  long v = PyLong_AsLong(value);
  if (v == -1 && PyErr_Occurred()) throw zt::PythonError{};
  return v;
}

// A time-out in milliseconds; INFINITE (or -1, its signed form) waits without a limit.
int64_t as_timeout(PyObject* value) {
  long long ms = PyLong_AsLongLong(value);
  if (ms == -1 && PyErr_Occurred()) throw zt::PythonError{};
  if (ms == -1 || ms == static_cast<long long>(INFINITE)) return -1;
  if (ms < 0 || ms > static_cast<long long>(INFINITE))
    zt::raise(PyExc_OverflowError, "time-out out of range");
  return ms;
}

std::vector<std::shared_ptr<EventState>> events_of(PyObject* handles) {
  Ref seq = Ref::check(PySequence_Fast(handles, "handles must be a sequence of handles"));
  Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
  if (n > 64) zt::raise(PyExc_ValueError, "at most 64 handles can be waited on");
  std::vector<std::shared_ptr<EventState>> events;
  for (Py_ssize_t i = 0; i < n; ++i) events.push_back(event_of(PySequence_Fast_GET_ITEM(seq.get(), i)));
  return events;
}

// Takes the signalled event(s): the index of the one taken, 0 when all were (wait_all),
// or -1. An auto-reset event is reset by the wait that takes it.
int take_signalled(const std::vector<std::shared_ptr<EventState>>& events, bool wait_all) {
  if (!wait_all) {
    for (size_t i = 0; i < events.size(); ++i) {
      std::lock_guard<std::mutex> lock(events[i]->mutex);
      if (events[i]->signaled) {
        if (!events[i]->manual_reset) events[i]->signaled = false;
        return static_cast<int>(i);
      }
    }
    return -1;
  }
  std::vector<EventState*> order;
  for (auto& e : events) order.push_back(e.get());
  std::sort(order.begin(), order.end());  // one locking order for every waiter
  order.erase(std::unique(order.begin(), order.end()), order.end());
  std::vector<std::unique_lock<std::mutex>> locks;
  for (EventState* e : order) locks.emplace_back(e->mutex);
  for (EventState* e : order)
    if (!e->signaled) return -1;
  for (EventState* e : order)
    if (!e->manual_reset) e->signaled = false;
  return 0;
}

// Registers the calling thread with each event for the length of a wait.
class Registration {
 public:
  Registration(const std::vector<std::shared_ptr<EventState>>& events, ThreadState* thread)
      : events_(events), thread_(thread) {
    for (auto& e : events_) {
      std::lock_guard<std::mutex> lock(e->mutex);
      e->waiters.push_back(thread_);
    }
  }
  ~Registration() {
    for (auto& e : events_) {
      std::lock_guard<std::mutex> lock(e->mutex);
      auto it = std::find(e->waiters.begin(), e->waiters.end(), thread_);
      if (it != e->waiters.end()) e->waiters.erase(it);
    }
  }

 private:
  const std::vector<std::shared_ptr<EventState>>& events_;
  ThreadState* thread_;
};

// The wait behind WaitForSingleObject, WaitForMultipleObjects and MsgWaitForMultipleObjects.
uint32_t wait_for(const std::vector<std::shared_ptr<EventState>>& events, bool wait_all,
                  int64_t timeout_ms, bool watch_queue) {
  std::shared_ptr<ThreadState> thread = ensure_thread_state();  // kept alive for the wait
  const uint32_t queue_result = WAIT_OBJECT_0 + static_cast<uint32_t>(events.size());
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms);
  Registration registration(events, thread.get());
  zt::GilRelease nogil;
  for (;;) {
    uint64_t seen;
    bool queued;
    {
      std::lock_guard<std::mutex> lock(thread->mutex);
      seen = thread->signals;
      queued = watch_queue && !thread->queue.empty();
    }
    int taken = take_signalled(events, wait_all);
    if (taken >= 0) return WAIT_OBJECT_0 + static_cast<uint32_t>(taken);
    if (queued) return queue_result;
    std::unique_lock<std::mutex> lock(thread->mutex);
    auto changed = [&] { return thread->signals != seen || (watch_queue && !thread->queue.empty()); };
    if (timeout_ms < 0) {
      thread->wake.wait(lock, changed);
    } else if (!thread->wake.wait_until(lock, deadline, changed)) {
      return WAIT_TIMEOUT;
    }
  }
}

}  // namespace

void init_waitable_types(PyObject* module) {
  static PyType_Slot slots[] = {
      {Py_tp_dealloc, reinterpret_cast<void*>(handle_dealloc)},
      {Py_tp_methods, handle_methods},
      {Py_nb_int, reinterpret_cast<void*>(handle_int)},
      {Py_tp_doc, const_cast<char*>("A handle to a Win32 event object.")},
      {0, nullptr},
  };
  static PyType_Spec spec{"pywintypes.HANDLE", sizeof(HandleObject), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
  g_handle_type = reinterpret_cast<PyTypeObject*>(Ref::check(PyType_FromSpec(&spec)).release());
  zt::check_status(PyModule_AddObjectRef(module, "HANDLE", reinterpret_cast<PyObject*>(g_handle_type)));
}

// CreateEvent(securityAttributes, manualReset, initialState, name)
PyObject* py_create_event(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return zt::guarded([&]() -> PyObject* {
    expect_count("CreateEvent", nargs, 4, 4);
    if (args[3] != Py_None) zt::raise(PyExc_ValueError, "named events are not supported");
    int manual = zt::check_status(PyObject_IsTrue(args[1]));
    int initial = zt::check_status(PyObject_IsTrue(args[2]));
    Ref self = Ref::check(g_handle_type->tp_alloc(g_handle_type, 0));
    auto* handle = reinterpret_cast<HandleObject*>(self.get());
    new (&handle->state) std::shared_ptr<EventState>(std::make_shared<EventState>());
    handle->state->manual_reset = manual != 0;
    handle->state->signaled = initial != 0;
    return self.release();
  });
}

PyObject* py_set_event(PyObject*, PyObject* handle) {
  return zt::guarded([&]() -> PyObject* {
    std::shared_ptr<EventState> event = event_of(handle);
    // Wake the waiters while holding the event's mutex: a registered thread cannot leave its
    // wait (and let its state go) before it unregisters, which needs this mutex. The order
    // event mutex -> thread mutex is the only nesting of the two anywhere.
    std::lock_guard<std::mutex> lock(event->mutex);
    event->signaled = true;
    for (ThreadState* thread : event->waiters) signal_thread(*thread);
    Py_RETURN_NONE;
  });
}

PyObject* py_reset_event(PyObject*, PyObject* handle) {
  return zt::guarded([&]() -> PyObject* {
    std::shared_ptr<EventState> event = event_of(handle);
    std::lock_guard<std::mutex> lock(event->mutex);
    event->signaled = false;
    Py_RETURN_NONE;
  });
}

PyObject* py_wait_for_single_object(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return zt::guarded([&]() -> PyObject* {
    expect_count("WaitForSingleObject", nargs, 2, 2);
    std::vector<std::shared_ptr<EventState>> events{event_of(args[0])};
    return PyLong_FromUnsignedLong(wait_for(events, false, as_timeout(args[1]), false));
  });
}

PyObject* py_wait_for_multiple_objects(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return zt::guarded([&]() -> PyObject* {
    expect_count("WaitForMultipleObjects", nargs, 3, 3);
    auto events = events_of(args[0]);
    // Nothing could ever end a wait on no handle; the system refuses it.
    if (events.empty())
      raise_win32_error(ERROR_INVALID_PARAMETER, "WaitForMultipleObjects", "The parameter is incorrect.");
    bool wait_all = zt::check_status(PyObject_IsTrue(args[1])) != 0;
    return PyLong_FromUnsignedLong(wait_for(events, wait_all, as_timeout(args[2]), false));
  });
}

// MsgWaitForMultipleObjects(handles, waitAll, milliseconds, wakeMask)
PyObject* py_msg_wait_for_multiple_objects(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return zt::guarded([&]() -> PyObject* {
    expect_count("MsgWaitForMultipleObjects", nargs, 4, 4);
    auto events = events_of(args[0]);
    bool wait_all = zt::check_status(PyObject_IsTrue(args[1])) != 0;
    int64_t timeout = as_timeout(args[2]);
    bool watch_queue = (as_long(args[3]) & QS_ALLINPUT) != 0;
    return PyLong_FromUnsignedLong(wait_for(events, wait_all, timeout, watch_queue));
  });
}

PyObject* py_close_handle(PyObject*, PyObject* handle) {
  return zt::guarded([&]() -> PyObject* {
    event_of(handle);
    return handle_close(handle, nullptr);
  });
}

}  // namespace comsim
