// Ambrel, the component environment: worker thread, apartment, message pump, hand-over,
// configuration, start-up and shutdown of the component.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace ambrel {

struct WorkerState;

// Creates the Ambrel type (a new reference). `sink_internal` is the type the worker connects
// as the environment's own sink; it must live as long as the process.
PyObject* make_environment_type(const char* qualified_name, PyObject* sink_internal);

// The worker side of `obj` when it is an environment (or of a subclass), else null.
WorkerState* worker_of(PyObject* obj) noexcept;
// Tells the environment's worker that work is queued for it (its work event).
void signal_work(PyObject* env);

// The capsule of the worker API (zt::WorkerApi, worker_api.h), for the module (a new reference).
PyObject* new_worker_api_capsule();

}  // namespace ambrel
