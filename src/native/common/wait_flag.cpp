// WaitFlag: a flag, a mutex and the interpreter locks its waiters park on.
#include "wait_flag.h"

#include <pythread.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <new>

#include "gil.h"
#include "py_ref.h"

namespace zt {

struct WaitFlag::Waiter {
  PyThread_type_lock lock;  // held by the waiter; released once to wake it
  bool woken;               // guarded by the flag's mutex
};

namespace {

// The interpreter lock a waiter parks on, made held. Freed without the GIL (so also when a
// forced unwind leaves the wait).
class ParkingLock {
 public:
  ParkingLock() : lock_(PyThread_allocate_lock()) {
    if (!lock_) throw std::bad_alloc();
    PyThread_acquire_lock(lock_, NOWAIT_LOCK);
  }
  ~ParkingLock() { PyThread_free_lock(lock_); }
  ParkingLock(const ParkingLock&) = delete;
  ParkingLock& operator=(const ParkingLock&) = delete;
  PyThread_type_lock get() const noexcept { return lock_; }

 private:
  PyThread_type_lock lock_;
};

}  // namespace

void WaitFlag::wake_locked() noexcept {
  for (Waiter* w : waiters_)
    if (!w->woken) {
      w->woken = true;
      PyThread_release_lock(w->lock);
    }
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

bool WaitFlag::wait(double timeout, bool interruptible, Stop stop, const void* context) {
  if (std::isnan(timeout)) raise(PyExc_ValueError, "timeout must not be NaN");
  using Clock = std::chrono::steady_clock;
  const bool bounded = timeout >= 0 && timeout <= kMaxTimeout;
  const Clock::time_point deadline =
      bounded ? Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                   std::chrono::duration<double>(timeout))
              : Clock::time_point::max();
  auto ready = [&] { return flag_ || (stop && stop(context)); };
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (ready() || timeout == 0) return flag_;
  }

  // A signal that came just before is handled now, not at the next one.
  if (interruptible && PyErr_CheckSignals() < 0) throw PythonError{};
  ParkingLock parking;
  Waiter waiter{parking.get(), false};
  // Registered for one park at a time; the destructor also runs when a forced unwind
  // leaves the wait, so the flag never keeps a pointer to a waiter that is gone.
  struct Registration {
    WaitFlag& flag;
    Waiter& waiter;
    bool on = false;
    void add() {
      waiter.woken = false;
      flag.waiters_.push_back(&waiter);
      on = true;
    }
    void remove() noexcept {
      if (!on) return;
      auto& list = flag.waiters_;
      list.erase(std::find(list.begin(), list.end(), &waiter));
      on = false;
    }
    ~Registration() {
      std::lock_guard<std::mutex> lock(flag.mutex_);
      remove();
    }
  } registration{*this, waiter};

  for (;;) {
    long long micros = -1;  // no limit
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (ready()) return flag_;
      if (bounded) {
        auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
        if (left.count() <= 0) return flag_;
        micros = std::min<long long>(left.count(), static_cast<long long>(PY_TIMEOUT_MAX));
      }
      registration.add();
    }
    PyThreadState* state = PyEval_SaveThread();
    PyLockStatus status = PyThread_acquire_lock_timed(waiter.lock, micros, interruptible ? 1 : 0);
    PyEval_RestoreThread(state);  // may end the thread at exit: see gil.h
    bool woken;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      registration.remove();
      woken = waiter.woken;
    }
    // Woken after the park ended otherwise: take the release back, for the next park.
    if (woken && status != PY_LOCK_ACQUIRED) PyThread_acquire_lock(waiter.lock, NOWAIT_LOCK);
    if (status == PY_LOCK_INTR && PyErr_CheckSignals() < 0) throw PythonError{};
  }
}

}  // namespace zt
