// Work items queued for the environment's worker: run between its message pumps, refused
// once it has stopped.
#include "work_queue.h"

#include <algorithm>

#include "guard.h"
#include "py_ref.h"

namespace ambrel {

bool WorkQueue::push(PyObject* item, zt::WorkRun run, zt::WorkRefuse refuse) {
  if (closed_) return false;
  entries_.push_back(Entry{zt::Ref::borrow(item).release(), run, refuse});
  return true;
}

bool WorkQueue::withdraw(PyObject* item) {
  auto it = std::find_if(entries_.begin(), entries_.end(),
                         [&](const Entry& e) { return e.item == item; });
  if (it == entries_.end()) return false;
  zt::Ref dropped = zt::Ref::steal(it->item);
  entries_.erase(it);
  return true;
}

void WorkQueue::run_waiting() {
  for (std::size_t left = entries_.size(); left > 0 && !entries_.empty(); --left) {
    Entry entry = entries_.front();
    entries_.pop_front();
    zt::Ref item = zt::Ref::steal(entry.item);
    entry.run(item.get());
    // The item's own function reports its errors; one left behind is a fault of its own.
    if (PyErr_Occurred()) PyErr_WriteUnraisable(item.get());
  }
}

void WorkQueue::close(const char* reason) {
  closed_ = true;
  if (entries_.empty()) return;
  zt::Ref why = zt::Ref::check(PyUnicode_FromString(reason));
  // Refusing runs Python code, which may queue or withdraw: take one at a time.
  while (!entries_.empty()) {
    Entry entry = entries_.front();
    entries_.pop_front();
    zt::Ref item = zt::Ref::steal(entry.item);
    entry.refuse(item.get(), why.get());
    if (PyErr_Occurred()) PyErr_WriteUnraisable(item.get());
  }
}

int WorkQueue::traverse(visitproc visit, void* arg) const {
  for (const Entry& entry : entries_) Py_VISIT(entry.item);
  return 0;
}

}  // namespace ambrel
