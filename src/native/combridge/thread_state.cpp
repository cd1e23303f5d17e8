// Thread states: creation on first use, apartments, posting, and teardown when a thread ends.
#include "thread_state.h"

#include <unordered_map>

#include "connection.h"
#include "errors.h"
#include "guard.h"
#include "marshal.h"

namespace comsim {

using zt::Ref;

namespace {

// Every thread that has a state, by native id; guarded by g_threads_mutex.
std::mutex g_threads_mutex;
std::unordered_map<unsigned long, std::weak_ptr<ThreadState>> g_threads;

// Fast access to the calling thread's state. The owning reference lives in a sentinel
// object stored in the thread's Python state dict, which the interpreter clears (with the
// GIL held) when the thread ends; the sentinel's deallocation tears the state down.
thread_local std::shared_ptr<ThreadState>* tls_state = nullptr;

struct Sentinel {
  PyObject_HEAD
  std::shared_ptr<ThreadState>* state;
};

PyTypeObject* g_sentinel_type = nullptr;

// Takes the messages out of the queue that `drop` selects; the caller drops them with the
// GIL held, after failing the calls among them (drop_failing_calls).
template <class Pred>
std::deque<Message> take_messages(ThreadState& thread, Pred drop) {
  std::deque<Message> taken, kept;
  for (auto& m : thread.queue) (drop(m) ? taken : kept).push_back(std::move(m));
  thread.queue.swap(kept);
  return taken;
}

// Fails the calls among `messages` and drops them all, here: not in the deque's own
// (noexcept) destructor, as the finalizers of what they hold may run.
void drop_failing_calls(std::deque<Message>& messages) {
  for (auto& m : messages) {
    Message dropped = std::move(m);
    if (dropped.call) complete_with_failure(*dropped.call, RPC_E_DISCONNECTED);
  }
  messages.clear();
}

void end_apartment(ThreadState& thread) {
  std::shared_ptr<Apartment> apartment = std::move(thread.apartment);
  thread.coinit_count = 0;
  if (!apartment) return;
  std::deque<Message> taken;
  {
    std::lock_guard<std::mutex> lock(thread.mutex);
    apartment->alive = false;  // under the queue's lock, so no call slips in after the drain
    taken = take_messages(thread, [](const Message& m) {
      return m.kind == Message::Kind::Event || m.kind == Message::Kind::Call;
    });
  }
  drop_failing_calls(taken);
  disconnect_apartment(*apartment);
}

void end_thread(std::shared_ptr<ThreadState>& state) {
  ThreadState& thread = *state;
  end_apartment(thread);
  std::deque<Message> taken;
  {
    std::lock_guard<std::mutex> lock(thread.mutex);
    thread.ended = true;
    taken.swap(thread.queue);
  }
  drop_failing_calls(taken);
  {
    std::lock_guard<std::mutex> lock(g_threads_mutex);
    auto it = g_threads.find(thread.thread_id);
    if (it != g_threads.end() && it->second.lock() == state) g_threads.erase(it);
  }
}

void sentinel_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto* sentinel = reinterpret_cast<Sentinel*>(self);
  if (sentinel->state) {
    // Nothing may escape a deallocator: a failure to tear down (no memory for the lists of
    // what is dropped) is reported as unraisable, and the state goes anyway.
    try {
      end_thread(*sentinel->state);
    } catch (const zt::PythonError&) {
      PyErr_WriteUnraisable(self);
    } catch (const std::exception&) {
      PyErr_NoMemory();
      PyErr_WriteUnraisable(self);
    }
    if (tls_state == sentinel->state) tls_state = nullptr;
    delete sentinel->state;
    sentinel->state = nullptr;
  }
  type->tp_free(self);
  Py_DECREF(type);
}

PyTypeObject* sentinel_type() {
  if (!g_sentinel_type) {
    static PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(sentinel_dealloc)},
        {0, nullptr},
    };
    static PyType_Spec spec{"comsim._ThreadState", sizeof(Sentinel), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                            slots};
    g_sentinel_type = reinterpret_cast<PyTypeObject*>(Ref::check(PyType_FromSpec(&spec)).release());
  }
  return g_sentinel_type;
}

}  // namespace

const std::shared_ptr<ThreadState>& ensure_thread_state() {
  if (tls_state) return *tls_state;
  PyObject* dict = PyThreadState_GetDict();
  if (!dict) throw zt::InternalError("no Python thread state on this thread");
  auto state = std::make_shared<ThreadState>();
  state->thread_id = PyThread_get_thread_native_id();
  PyTypeObject* type = sentinel_type();
  Ref sentinel = Ref::check(type->tp_alloc(type, 0));
  auto* holder = new std::shared_ptr<ThreadState>(state);
  reinterpret_cast<Sentinel*>(sentinel.get())->state = holder;
  zt::check_status(PyDict_SetItemString(dict, "comsim.thread_state", sentinel.get()));
  {
    std::lock_guard<std::mutex> lock(g_threads_mutex);
    g_threads[state->thread_id] = state;
  }
  tls_state = holder;
  return *tls_state;
}

ThreadState* current_thread_state() noexcept { return tls_state ? tls_state->get() : nullptr; }

Apartment* current_apartment() noexcept {
  ThreadState* thread = current_thread_state();
  return thread ? thread->apartment.get() : nullptr;
}

std::shared_ptr<ThreadState> find_thread(unsigned long thread_id) {
  std::lock_guard<std::mutex> lock(g_threads_mutex);
  auto it = g_threads.find(thread_id);
  return it == g_threads.end() ? nullptr : it->second.lock();
}

bool post(ThreadState& thread, Message& message) {
  {
    std::lock_guard<std::mutex> lock(thread.mutex);
    if (thread.ended) return false;
    thread.queue.push_back(std::move(message));
  }
  thread.wake.notify_one();
  return true;
}

bool post(const Apartment& apartment, Message& message) {
  std::shared_ptr<ThreadState> thread = apartment.thread.lock();
  if (!thread) return false;
  {
    std::lock_guard<std::mutex> lock(thread->mutex);
    if (thread->ended || !apartment.alive) return false;
    thread->queue.push_back(std::move(message));
  }
  thread->wake.notify_one();
  return true;
}

void signal_thread(ThreadState& thread) noexcept {
  {
    std::lock_guard<std::mutex> lock(thread.mutex);
    ++thread.signals;
  }
  thread.wake.notify_one();
}

int co_initialize() {
  const std::shared_ptr<ThreadState>& thread = ensure_thread_state();
  if (thread->coinit_count++ > 0) return S_FALSE;
  auto apartment = std::make_shared<Apartment>();
  apartment->thread = thread;
  apartment->thread_id = thread->thread_id;
  thread->apartment = std::move(apartment);
  return S_OK;
}

void co_uninitialize() {
  ThreadState* thread = current_thread_state();
  if (!thread || thread->coinit_count == 0) return;
  if (--thread->coinit_count == 0) end_apartment(*thread);
}

}  // namespace comsim
