// SendPacer: token buckets per chat and overall, a hold after a 429, one message at a time
// in the order asked; every wait a WaitFlag wait.
#include "send_pacer.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "attached.h"

namespace zt::bot {

namespace {

// Chats whose bucket is full again are forgotten once this many are tracked.
constexpr std::size_t kPruneAt = 1024;

std::chrono::duration<double> seconds(double s) { return std::chrono::duration<double>(s); }

// A waiter's stop condition: the pacer changed since it looked.
struct Since {
  const std::atomic<std::uint64_t>* changes;
  std::uint64_t seen;
};

bool changed_since(const void* context) noexcept {
  const auto* since = static_cast<const Since*>(context);
  return since->changes->load() != since->seen;
}

}  // namespace

void SendPacer::park(std::uint64_t seen, double s) {
  const Since since{&changes_, seen};
  closed_.wait(s, true, changed_since, &since);
}

void SendPacer::changed() noexcept {
  ++changes_;
  closed_.wake();
}

// A thread's place in line for the turn, for as long as it waits. However the wait ends
// without taking the turn (close(), Ctrl-C, an unwind at exit), the place is given up, and a
// turn already handed to it goes on to the next in line.
class SendPacer::InLine {
 public:
  InLine(SendPacer& pacer, std::uint64_t ticket) : pacer_(pacer), ticket_(ticket) {}
  InLine(const InLine&) = delete;
  InLine& operator=(const InLine&) = delete;
  ~InLine() {
    bool tell = false;
    {
      std::lock_guard lock(pacer_.mutex_);
      auto& line = pacer_.line_;
      auto mine = std::find_if(line.begin(), line.end(),
                               [&](const Waiting& w) { return w.ticket == ticket_; });
      if (mine != line.end())
        line.erase(mine);
      else if (!taken_ && pacer_.handed_to_ == ticket_)
        tell = pacer_.let_go_locked();
    }
    if (tell) pacer_.changed();
  }

  std::uint64_t ticket() const noexcept { return ticket_; }
  void take() noexcept { taken_ = true; }

 private:
  SendPacer& pacer_;
  const std::uint64_t ticket_;
  bool taken_ = false;
};

SendPacer::Turn SendPacer::take_turn(unsigned long thread) noexcept {
  turn_owner_ = thread;
  turn_depth_ = 1;
  handed_to_ = 0;
  return Turn{++turn_generation_, true};
}

bool SendPacer::let_go_locked() noexcept {
  if (turn_depth_ == 0 || --turn_depth_ > 0) return false;
  handed_to_ = 0;
  if (!line_.empty() && !closed_.is_set()) {
    const Waiting next = line_.front();
    line_.pop_front();
    take_turn(next.thread);
    handed_to_ = next.ticket;
  }
  return true;
}

SendPacer::Turn SendPacer::acquire_turn() {
  const unsigned long me = PyThread_get_thread_ident();
  std::optional<InLine> place;  // once this thread waits in line
  for (;;) {
    std::uint64_t seen;
    {
      std::lock_guard lock(mutex_);
      if (closed_.is_set()) return Turn{};  // nothing is paced any more
      if (place && handed_to_ == place->ticket()) {
        place->take();
        return Turn{turn_generation_, true};
      }
      // Its own holder, or a call that ran on this thread while it waited for the turn
      // handed to it meanwhile (a signal's handler).
      if (turn_depth_ > 0 && turn_owner_ == me) {
        ++turn_depth_;
        return Turn{turn_generation_, true};
      }
      // Whenever the turn is let go with threads in line it is handed on at once, so a free
      // turn has no line. During finalization this thread is the only one that still runs
      // Python code: a holder on another thread is ended (or parked for good) when it next
      // wants the GIL, without necessarily unwinding its stack, and would never let the turn
      // go; nor will a thread in line take it.
      if (turn_depth_ == 0 || interpreter_is_finalizing()) return take_turn(me);
      if (!place) {
        place.emplace(*this, ++tickets_);
        line_.push_back(Waiting{place->ticket(), me});
      }
      seen = changes_.load();
    }
    park(seen, -1);  // woken when the turn is handed on; its holder's waits are bounded
  }
}

void SendPacer::release_turn(const Turn& turn) noexcept {
  if (!turn.held) return;
  bool tell;
  {
    std::lock_guard lock(mutex_);
    if (turn.generation != turn_generation_) return;  // taken over meanwhile
    tell = let_go_locked();
  }
  if (tell) changed();
}

double SendPacer::refill(Bucket& bucket, double rate, double burst, Clock::time_point now) {
  if (rate <= 0) return 0.0;  // that limit is off
  double elapsed = std::chrono::duration<double>(now - bucket.stamp).count();
  bucket.tokens = std::min(burst, bucket.tokens + std::max(0.0, elapsed) * rate);
  bucket.stamp = now;
  return bucket.tokens >= 1.0 ? 0.0 : (1.0 - bucket.tokens) / rate;
}

SendPacer::Bucket& SendPacer::chat_bucket(std::int64_t chat, Clock::time_point now) {
  auto found = chats_.find(chat);
  if (found != chats_.end()) return found->second;
  if (chats_.size() >= kPruneAt) {
    std::vector<std::int64_t> full;
    for (auto& [id, bucket] : chats_)
      if (refill(bucket, limits_.chat_rate, limits_.chat_burst, now) == 0.0 &&
          bucket.tokens >= limits_.chat_burst)
        full.push_back(id);
    for (std::int64_t id : full) chats_.erase(id);
  }
  return chats_.emplace(chat, Bucket{limits_.chat_burst, now}).first->second;
}

void SendPacer::wait_for_slot(std::int64_t chat) {
  for (;;) {
    std::uint64_t seen;
    double wait;
    {
      std::lock_guard lock(mutex_);
      if (closed_.is_set()) return;  // after close nothing is paced
      Clock::time_point now = Clock::now();
      Bucket& mine = chat_bucket(chat, now);
      double refilled = std::max(refill(mine, limits_.chat_rate, limits_.chat_burst, now),
                                 refill(total_, limits_.total_rate, limits_.total_burst, now));
      Clock::time_point until = std::max(
          held_until_, now + std::chrono::duration_cast<Clock::duration>(seconds(refilled)));
      if (until <= now) {
        if (limits_.chat_rate > 0) mine.tokens -= 1.0;
        if (limits_.total_rate > 0) total_.tokens -= 1.0;
        return;
      }
      seen = changes_.load();
      wait = std::chrono::duration<double>(until - now).count();
    }
    // Bounded by the slowest rate allowed and by the longest hold; cut short by close() or
    // new limits, which are looked at again.
    park(seen, wait);
  }
}

void SendPacer::send_ended(std::int64_t chat) noexcept {
  std::lock_guard lock(mutex_);
  // What the buckets would have gained while the send was in flight is not counted. (One
  // send is in flight at a time: the others wait for the turn.)
  Clock::time_point now = Clock::now();
  auto found = chats_.find(chat);
  if (found != chats_.end()) found->second.stamp = std::max(found->second.stamp, now);
  total_.stamp = std::max(total_.stamp, now);
}

bool SendPacer::hold_off(double s) {
  s = std::max(0.0, s);
  {
    std::lock_guard lock(mutex_);
    Clock::time_point until = Clock::now() + std::chrono::duration_cast<Clock::duration>(seconds(s));
    held_until_ = std::max(held_until_, until);
  }
  // Bounded by `s`, which the caller bounds; ended early by close().
  return !closed_.wait(s, true);
}

void SendPacer::close() noexcept { closed_.set(); }

PaceLimits SendPacer::limits() const {
  std::lock_guard lock(mutex_);
  return limits_;
}

void SendPacer::set_limits(const PaceLimits& limits) {
  {
    std::lock_guard lock(mutex_);
    limits_ = limits;
    // Buckets start over full under the new limits.
    Clock::time_point now = Clock::now();
    total_ = Bucket{limits_.total_burst, now};
    chats_.clear();
  }
  changed();
}

}  // namespace zt::bot
