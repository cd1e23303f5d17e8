// WaitFlag: a flag, a mutex and the interpreter locks its waiters park on.
#include "wait_flag.h"

#include <pythread.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <new>

#include "py_ref.h"

namespace zt {

// One waiter's parking place. Shared by the waiter and, while it is parked, by the flag: if
// the interpreter ends the waiter's thread without unwinding, the flag's share keeps what a
// waker touches alive, and the waker lets it go.
struct WaitFlag::Waiter {
  Waiter() : lock(PyThread_allocate_lock()) {
    if (!lock) throw std::bad_alloc();
    PyThread_acquire_lock(lock, NOWAIT_LOCK);
  }
  ~Waiter() { PyThread_free_lock(lock); }
  Waiter(const Waiter&) = delete;
  Waiter& operator=(const Waiter&) = delete;

  PyThread_type_lock lock;  // held by the waiter; released once to wake it
  bool woken = false;       // guarded by the flag's mutex
};

void WaitFlag::wake_locked() noexcept {
  for (const auto& w : waiters_) {
    w->woken = true;
    PyThread_release_lock(w->lock);
  }
  waiters_.clear();  // each woken waiter registers again if it parks again
}

void WaitFlag::set() noexcept {
  std::lock_guard<std::mutex> lock(mutex_);
  flag_ = true;
  wake_locked();
}

void WaitFlag::clear() noexcept {
  std::lock_guard<std::mutex> lock(mutex_);
  flag_ = false;
}

bool WaitFlag::is_set() const noexcept {
  std::lock_guard<std::mutex> lock(mutex_);
  return flag_;
}

void WaitFlag::wake() noexcept {
  std::lock_guard<std::mutex> lock(mutex_);
  wake_locked();
}

std::size_t WaitFlag::waiting() const noexcept {
  std::lock_guard<std::mutex> lock(mutex_);
  return waiters_.size();
}

template <class Done>
bool WaitFlag::park(double timeout, bool interruptible, Done done, bool& flag_seen) {
  if (std::isnan(timeout)) raise(PyExc_ValueError, "timeout must not be NaN");
  using Clock = std::chrono::steady_clock;
  const bool bounded = timeout >= 0 && timeout <= kMaxTimeout;
  const Clock::time_point deadline =
      bounded ? Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                   std::chrono::duration<double>(timeout))
              : Clock::time_point::max();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    flag_seen = flag_;
    if (done() || timeout == 0) return done();
  }

  // A signal that came just before is handled now, not at the next one.
  if (interruptible && PyErr_CheckSignals() < 0) throw PythonError{};
  auto waiter = std::make_shared<Waiter>();
  for (;;) {
    long long micros = -1;  // no limit
    {
      std::lock_guard<std::mutex> lock(mutex_);
      flag_seen = flag_;
      if (done()) return true;
      if (bounded) {
        auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
        if (left.count() <= 0) return false;
        micros = std::min<long long>(left.count(), static_cast<long long>(PY_TIMEOUT_MAX));
      }
      waiter->woken = false;
      waiters_.push_back(waiter);
    }
    PyThreadState* state = PyEval_SaveThread();
    PyLockStatus status = PyThread_acquire_lock_timed(waiter->lock, micros, interruptible ? 1 : 0);
    PyEval_RestoreThread(state);  // may end the thread at exit: see gil.h
    bool woken;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      woken = waiter->woken;
      if (!woken) waiters_.erase(std::find(waiters_.begin(), waiters_.end(), waiter));
    }
    // Woken after the park ended otherwise: take the release back, for the next park.
    if (woken && status != PY_LOCK_ACQUIRED) PyThread_acquire_lock(waiter->lock, NOWAIT_LOCK);
    if (status == PY_LOCK_INTR && PyErr_CheckSignals() < 0) throw PythonError{};
  }
}

bool WaitFlag::wait(double timeout, bool interruptible, Stop stop, const void* context) {
  // Ends on the flag or the stop condition; either way the answer is the flag as it was then.
  bool flag = false;
  park(timeout, interruptible, [&] { return flag_ || (stop && stop(context)); }, flag);
  return flag;
}

bool WaitFlag::wait_until(double timeout, bool interruptible, Ready ready, const void* context) {
  bool flag = false;
  return park(timeout, interruptible, [&] { return ready(flag_, context); }, flag);
}

}  // namespace zt
