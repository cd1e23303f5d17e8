// Per-thread message queues and COM apartments, and the registry of threads by native id.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "packet_share.h"
#include "py_ref.h"

namespace comsim {

struct ConnectionPoint;
struct ThreadState;

// One queued message. Messages carry Python references: a queue is only drained or
// destroyed with the GIL held (moving a message in or out needs no GIL).
struct Message {
  enum class Kind { Quit, Posted, Event, Call };
  Kind kind = Kind::Posted;
  int code = 0;                            // Quit: the exit code
  std::shared_ptr<ConnectionPoint> source; // Event: the firing component's connection point
  zt::Ref name;                            // Event: the handler name
  zt::Ref args;                            // Event: the arguments, already wrapped (a tuple)
  PacketShare call;                        // Call: a marshalled call or a posted callable
};

// A single-threaded apartment: the objects created on one thread between CoInitialize and
// CoUninitialize. Calls into it from other threads travel through its thread's queue.
struct Apartment {
  std::weak_ptr<ThreadState> thread;
  unsigned long thread_id = 0;
  std::atomic<bool> alive{true};
  // Connection points of the components created here; guarded by the GIL.
  std::vector<std::shared_ptr<ConnectionPoint>> connection_points;
};

// A thread's message queue (it exists whether or not the thread entered an apartment).
struct ThreadState {
  unsigned long thread_id = 0;

  std::mutex mutex;
  std::condition_variable wake;   // the owning thread sleeps here in its waits
  std::deque<Message> queue;      // guarded by mutex
  uint64_t signals = 0;           // guarded by mutex; bumped when a handle it waits on is set
  bool ended = false;             // guarded by mutex; no more messages are accepted

  // Touched only by the owning thread, with the GIL held.
  std::shared_ptr<Apartment> apartment;
  int coinit_count = 0;
};

// The calling thread's state, made on first use (needs the GIL).
const std::shared_ptr<ThreadState>& ensure_thread_state();
// The calling thread's state if it has one, else nullptr.
ThreadState* current_thread_state() noexcept;
// The calling thread's apartment, or nullptr when it never entered one.
Apartment* current_apartment() noexcept;
// The thread with that native id, or nullptr.
std::shared_ptr<ThreadState> find_thread(unsigned long thread_id);

// Queues a message; false (the message left with the caller) when the thread has ended.
bool post(ThreadState& thread, Message& message);
// Queues a message for the apartment's thread; false when the apartment is gone.
bool post(const Apartment& apartment, Message& message);
// Wakes the thread from a wait so that it looks at its handles again.
void signal_thread(ThreadState& thread) noexcept;

// Enters or leaves the calling thread's apartment (counted, as COM does).
int co_initialize();  // S_OK, or S_FALSE when already initialised
void co_uninitialize();

}  // namespace comsim
