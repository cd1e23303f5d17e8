// Work items queued for the environment's worker: run between its message pumps, refused
// once it has stopped.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <deque>

#include "worker_api.h"

namespace ambrel {

// Everything here is used with the GIL held, which orders the queuing threads and the worker.
// Entries own their item; each is dropped in our own frame, never by the deque's destructor.
class WorkQueue {
 public:
  WorkQueue() = default;
  WorkQueue(const WorkQueue&) = delete;
  WorkQueue& operator=(const WorkQueue&) = delete;

  // Queues `item` (a reference of its own is taken); false once closed (nothing is taken).
  bool push(PyObject* item, zt::WorkRun run, zt::WorkRefuse refuse);
  // Takes `item` out if it still waits; whether it did.
  bool withdraw(PyObject* item);
  // Runs the items waiting now, in queuing order, each taken out before it runs. Items
  // queued meanwhile stay for the next signal, so that messages are pumped in between.
  void run_waiting();
  // Refuses every waiting item with `reason`, and every later one at once.
  void close(const char* reason);
  bool closed() const noexcept { return closed_; }
  std::size_t size() const noexcept { return entries_.size(); }
  int traverse(visitproc visit, void* arg) const;

 private:
  struct Entry {
    PyObject* item;  // owned
    zt::WorkRun run;
    zt::WorkRefuse refuse;
  };
  std::deque<Entry> entries_;
  bool closed_ = false;
};

// The worker as the rest of the environment module sees it.
struct WorkerState {
  // Whether the worker can still make progress, for the calling thread's waits: set once,
  // when threadedFunction returns, before the environment's events are woken.
  std::atomic<bool> ended{false};
  // The rest with the GIL held.
  bool started = false;            // Init started the worker's thread
  unsigned long thread_ident = 0;  // the worker's thread, once it runs
  PyObject* component = nullptr;   // borrowed from the worker's run while it holds its own
  WorkQueue work;
};

}  // namespace ambrel
