// A flag that threads wait on with the GIL released: the one wait mechanism behind the wait
// events and the other waits of the modules that a caller may be blocked in for long.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

namespace zt {

// Waiters park on an interpreter lock each, as threading.Condition's do: a signal ends the
// park of the main thread so that its Python handler runs (Ctrl-C raises KeyboardInterrupt
// from the wait, as from threading.Event.wait()), and the wait leaves a thread to the
// interpreter's own rules at exit. A waiter's registration is owned by the flag and taken
// off by whoever wakes it: a thread that the interpreter ends without unwinding its stack
// (Windows, macOS) leaves nothing behind that points into that stack.
class WaitFlag {
 public:
  // A condition of the waiter's besides the flag; called with the flag's mutex held, so it
  // must not block nor touch Python. Whoever makes it true calls wake() afterwards.
  using Stop = bool (*)(const void* context) noexcept;
  // A waiter's whole condition, given the flag: the flag alone does not end such a wait.
  // Called with the flag's mutex held, as Stop; whoever changes what it reads besides the
  // flag calls wake() afterwards.
  using Ready = bool (*)(bool flag, const void* context) noexcept;

  WaitFlag() = default;
  WaitFlag(const WaitFlag&) = delete;
  WaitFlag& operator=(const WaitFlag&) = delete;

  // Sets the flag and wakes every waiter.
  void set() noexcept;
  void clear() noexcept;
  bool is_set() const noexcept;
  // Wakes every waiter without setting the flag, to look at its stop condition again.
  void wake() noexcept;
  // How many threads are parked on the flag now.
  std::size_t waiting() const noexcept;

  // With the GIL held (released while parked): waits until the flag is set, `stop` holds or
  // `timeout` seconds passed (negative: no limit; NaN is a ValueError). Returns the flag.
  // With `interruptible`, a signal's handler runs on the main thread and its exception is
  // thrown as PythonError. The owner of the flag must outlive the wait.
  bool wait(double timeout, bool interruptible = true, Stop stop = nullptr,
            const void* context = nullptr);
  // The same, but ends when `ready` holds (or the time runs out); returns whether it holds.
  bool wait_until(double timeout, bool interruptible, Ready ready, const void* context);

  // Longer time-outs than this (about 31 years) count as no limit.
  static constexpr double kMaxTimeout = 1e9;

 private:
  struct Waiter;
  void wake_locked() noexcept;
  // Parks until `done()` (asked with mutex_ held) or the deadline; returns done(), and the
  // flag as it was when that was last asked in `flag_seen`.
  template <class Done>
  bool park(double timeout, bool interruptible, Done done, bool& flag_seen);

  mutable std::mutex mutex_;
  bool flag_ = false;                            // guarded by mutex_
  std::vector<std::shared_ptr<Waiter>> waiters_;  // guarded by mutex_; the parked ones
};

}  // namespace zt
