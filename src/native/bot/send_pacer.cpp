// SendPacer: token buckets per chat and overall, a hold after a 429, one message at a time.
#include "send_pacer.h"

#include <algorithm>
#include <vector>

namespace zt::bot {

namespace {

// Chats whose bucket is full again are forgotten once this many are tracked.
constexpr std::size_t kPruneAt = 1024;

std::chrono::duration<double> seconds(double s) { return std::chrono::duration<double>(s); }

}  // namespace

void SendPacer::acquire_turn() {
  std::unique_lock lock(mutex_);
  std::thread::id me = std::this_thread::get_id();
  if (turn_depth_ > 0 && turn_owner_ == me) {
    ++turn_depth_;
    return;
  }
  // Bounded: the holder's own waits end by close() or within their limits.
  changed_.wait(lock, [&] { return turn_depth_ == 0; });
  turn_owner_ = me;
  turn_depth_ = 1;
}

void SendPacer::release_turn() {
  {
    std::lock_guard lock(mutex_);
    if (--turn_depth_ > 0) return;
    turn_owner_ = std::thread::id{};
  }
  changed_.notify_all();
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
  std::unique_lock lock(mutex_);
  for (;;) {
    if (closed_) return;  // after close nothing is paced
    Clock::time_point now = Clock::now();
    Bucket& mine = chat_bucket(chat, now);
    double wait = std::max(refill(mine, limits_.chat_rate, limits_.chat_burst, now),
                           refill(total_, limits_.total_rate, limits_.total_burst, now));
    Clock::time_point until = std::max(
        held_until_, now + std::chrono::duration_cast<Clock::duration>(seconds(wait)));
    if (until <= now) {
      if (limits_.chat_rate > 0) mine.tokens -= 1.0;
      if (limits_.total_rate > 0) total_.tokens -= 1.0;
      return;
    }
    // Bounded by the slowest rate allowed and by the longest hold; woken early by close()
    // or new limits.
    changed_.wait_until(lock, until);
  }
}

bool SendPacer::hold_off(double s) {
  std::unique_lock lock(mutex_);
  Clock::time_point until =
      Clock::now() + std::chrono::duration_cast<Clock::duration>(seconds(std::max(0.0, s)));
  held_until_ = std::max(held_until_, until);
  // Bounded by `s`, which the caller bounds; woken early by close().
  changed_.wait_until(lock, until, [&] { return closed_; });
  return !closed_;
}

void SendPacer::close() {
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
  }
  changed_.notify_all();
}

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
  changed_.notify_all();
}

}  // namespace zt::bot
