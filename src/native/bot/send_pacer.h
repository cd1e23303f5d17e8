// SendPacer: keeps one bot's outgoing messages within Telegram's flood limits.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace zt::bot {

// Sends allowed: `*_rate` messages a second after a burst of `*_burst`, to one chat and in
// all. A rate of 0 turns that limit off.
struct PaceLimits {
  double chat_rate = 1.0;
  double chat_burst = 3.0;
  double total_rate = 30.0;
  double total_burst = 30.0;
};

// Slowest rate a limit may have: no wait for a slot is longer than this bound's inverse.
constexpr double kMinPaceRate = 1.0 / 60.0;
constexpr double kMaxPaceBurst = 1e6;

// Plain C++ with no Python in it: every method may (and every waiting one must) be called
// with the GIL released. Waits end when close() is called; afterwards nothing waits.
class SendPacer {
 public:
  using Clock = std::chrono::steady_clock;

  // One message (all its pieces) is sent at a time, so that a split reply is not
  // interleaved with another. Waits while another thread holds the turn; the holder may take
  // it again (a signal handler that sends while its thread is sending must not wait for
  // itself).
  void acquire_turn();
  void release_turn();

  // Waits until one more message may go to `chat` and counts it.
  void wait_for_slot(std::int64_t chat);

  // Telegram asked to wait `seconds` (a 429): nothing goes out before then. Waits for it;
  // false when close() cut the wait short.
  bool hold_off(double seconds);

  // Ends every wait now and later.
  void close();

  PaceLimits limits() const;
  void set_limits(const PaceLimits& limits);

 private:
  struct Bucket {
    double tokens;
    Clock::time_point stamp;
  };

  // Seconds until `bucket` holds a whole token (after refilling it to `now`).
  static double refill(Bucket& bucket, double rate, double burst, Clock::time_point now);
  Bucket& chat_bucket(std::int64_t chat, Clock::time_point now);

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  PaceLimits limits_;
  bool closed_ = false;
  std::thread::id turn_owner_{};
  int turn_depth_ = 0;
  Clock::time_point held_until_{};  // after a 429
  Bucket total_{limits_.total_burst, Clock::now()};
  std::unordered_map<std::int64_t, Bucket> chats_;
};

// Holds the sending turn for a scope.
class SendTurn {
 public:
  explicit SendTurn(SendPacer& pacer) : pacer_(pacer) { pacer_.acquire_turn(); }
  ~SendTurn() { pacer_.release_turn(); }
  SendTurn(const SendTurn&) = delete;
  SendTurn& operator=(const SendTurn&) = delete;

 private:
  SendPacer& pacer_;
};

}  // namespace zt::bot
