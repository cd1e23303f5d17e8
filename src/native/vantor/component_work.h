// A request's component calls run as one work item on the environment's worker, where the
// component lives: one hand-off there and one back instead of one per call through the proxy.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>

#include "attached.h"
#include "py_ref.h"
#include "wait_flag.h"
#include "vantor.h"

namespace vantor {

// At module load: the environment module's worker interface (its module is imported already).
void bind_worker_api();

// The worker's own component reference (borrowed) when the calling thread is the worker of
// the adapter's environment, else null.
PyObject* component_on_worker(VantorObject* self);

struct WorkObject;
// A request's component calls; runs with the GIL held, on the worker or (without one) on the
// caller's thread; returns a new reference or throws.
using WorkBody = zt::Ref (*)(WorkObject* work);

// The work item. Every PyObject* field is written with the GIL held.
struct WorkObject {
  enum State : int { kQueued, kRunning, kDone, kFailed };

  PyObject_HEAD
  WorkBody body;
  const char* request;       // the request's name, for a refusal's text
  PyObject* adapter;         // the Vantor (owned)
  PyObject* env;             // the environment it was queued to (owned; null: none)
  PyObject* input[2];        // the request's inputs (owned; null when unused)
  PyObject* result;          // the body's result once kDone
  PyObject* error;           // the exception once kFailed
  PyObject* guid;            // a placement's GUID once it is awaited (owned)
  PyObject* wake;            // an event woken when the item ends (owned; may be null)
  bool abandoned;            // the caller no longer waits: whatever has not started never will
  std::atomic<int> state;    // read without the GIL by the caller's wait
  zt::WaitFlag finished;     // set once kDone or kFailed
};

// Makes the item for `body` and hands it to the adapter's worker (run on the calling thread
// when there is none, or when this is the worker). `wake` is an event to wake when it ends.
zt::Ref start_work(VantorObject* self, const char* request, WorkBody body, PyObject* in0,
                   PyObject* in1, PyObject* wake);

// Whether the item ran to its end or failed (its waiter's condition).
inline bool work_ended(const WorkObject* work) noexcept {
  int state = work->state.load();
  return state == WorkObject::kDone || state == WorkObject::kFailed;
}

// The caller has stopped waiting: an item still queued is taken out, one not yet at its
// component calls will not make them. With the GIL held.
void abandon_work(WorkObject* work);

// Abandons the item when its caller leaves, however it leaves. A thread that the
// interpreter ends while it waits leaves the item alone: it no longer holds the GIL.
class WorkEnd {
 public:
  explicit WorkEnd(WorkObject* work) : work_(work) {}
  ~WorkEnd() noexcept(false) {
    if (zt::thread_is_attached()) abandon_work(work_);
  }
  WorkEnd(const WorkEnd&) = delete;
  WorkEnd& operator=(const WorkEnd&) = delete;

 private:
  WorkObject* work_;
};

// The body's result, or its error raised (as PythonError). With the GIL held, once ended.
zt::Ref work_outcome(WorkObject* work);

inline WorkObject* as_work(PyObject* obj) { return reinterpret_cast<WorkObject*>(obj); }

}  // namespace vantor
