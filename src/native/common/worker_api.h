// The environment's worker as another module reaches it: a table of plain functions that the
// environment module publishes in a capsule. Each module carries its own copy of the shared
// C++ layer (and of its exception types), so nothing but these functions crosses over, and
// none of them lets a C++ exception of ours out: failures are Python errors and a status.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace zt {

// A work item: a Python object of the queuing module's, kept by the queue until the worker
// ran it or refused it, and that module's two functions for it, both called with the GIL
// held. Neither may leave a Python error set (the queue reports one as unraisable).
//  - run(item): on the worker, between its message pumps.
//  - refuse(item, reason): the worker will never run it (`reason`, a str, says why).
using WorkRun = void (*)(PyObject* item);
using WorkRefuse = void (*)(PyObject* item, PyObject* reason);

struct WorkerApi {
  unsigned size;  // sizeof(WorkerApi) of the publishing module: a check against a stale build
  // 1 when `env` is an environment whose worker was started (items go to its queue), 0 when
  // it is anything else or its worker was never started.
  int (*has_worker)(PyObject* env);
  // Queues `item` for the worker and signals it: 1 queued; 0 refused at once (refuse() has
  // already been called: the worker has stopped, or the interpreter is exiting); -1 with a
  // Python error set.
  int (*submit)(PyObject* env, PyObject* item, WorkRun run, WorkRefuse refuse);
  // Takes `item` out of the queue if it still waits there: 1 taken (it will never run), 0
  // not there (running, ran or refused).
  int (*withdraw)(PyObject* env, PyObject* item);
  // The worker's own reference to the component (borrowed) when the calling thread is the
  // worker of `env` and has one, else NULL: what a work item calls the component through.
  PyObject* (*component_here)(PyObject* env);
};

// The capsule's name, which is also the module attribute it is found at.
constexpr const char kWorkerApiCapsule[] = "zandor_trader.gateways.cqg.wrapper.Ambrel._worker_api";

}  // namespace zt
