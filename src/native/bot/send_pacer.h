// SendPacer: keeps one bot's outgoing messages within Telegram's flood limits.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <unordered_map>

#include "wait_flag.h"

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

// Every method is called with the GIL held. The waits release it while they park (they are
// WaitFlag waits): on the main thread a signal's handler ends them with its exception
// (Ctrl-C: KeyboardInterrupt, thrown as PythonError), and close() ends them from any thread.
// After close() nothing waits any more: sends go out unpaced.
class SendPacer {
 public:
  using Clock = std::chrono::steady_clock;

  // A sending turn as acquire_turn handed it out.
  struct Turn {
    std::uint64_t generation = 0;  // which holding of the turn it belongs to
    bool held = false;             // false: taken after close(), when there is no turn
  };

  // One message (all its pieces) is sent at a time, so that a split reply is not
  // interleaved with another. Turns go in the order they were asked for: a thread that lets
  // the turn go and asks again at once (the engine's outbox) does not keep it from those
  // already waiting (the handlers' replies). Waits, without a time limit but woken when the
  // turn is handed on, while another thread holds it. The holder may take it again (a signal
  // handler that sends while its thread is sending must not wait for itself), and so may a
  // thread whose waiting call the turn was handed to. A turn whose holder can never let it
  // go (another thread, once the interpreter finalizes) is taken over.
  Turn acquire_turn();
  // Lets the turn go, to the longest waiting thread if any; nothing when it was taken over
  // meanwhile (the generation moved on).
  void release_turn(const Turn& turn) noexcept;

  // Waits until one more message may go to `chat` and counts it.
  void wait_for_slot(std::int64_t chat);
  // The send that wait_for_slot let go to `chat` has ended (sent, refused or failed): the
  // next slot is counted from now, not from when it began. A server counts the spacing
  // between the moments it takes two sends, and it took this one before its answer came
  // back, so a wait counted from here is never short, however long the send was in flight.
  void send_ended(std::int64_t chat) noexcept;

  // Telegram asked to wait `seconds` (a 429): nothing goes out before then. Waits for it;
  // false when close() cut the wait short.
  bool hold_off(double seconds);

  // Ends every wait now and later.
  void close() noexcept;

  PaceLimits limits() const;
  void set_limits(const PaceLimits& limits);

 private:
  struct Bucket {
    double tokens;
    Clock::time_point stamp;
  };
  // A thread waiting for the turn.
  struct Waiting {
    std::uint64_t ticket;
    unsigned long thread;
  };
  class InLine;

  // Seconds until `bucket` holds a whole token (after refilling it to `now`).
  static double refill(Bucket& bucket, double rate, double burst, Clock::time_point now);
  Bucket& chat_bucket(std::int64_t chat, Clock::time_point now);
  // Parks until close(), a change after `seen` (changes_), or `seconds` (negative: no
  // limit) passed.
  void park(std::uint64_t seen, double seconds);
  // Tells the parked waiters that a turn was let go or the limits changed.
  void changed() noexcept;
  // With mutex_ held: the turn to `thread` as a new holding.
  Turn take_turn(unsigned long thread) noexcept;
  // With mutex_ held: one holding less; once none is left the turn goes to the first in
  // line. True when waiters must be told.
  bool let_go_locked() noexcept;

  mutable std::mutex mutex_;  // guards what follows down to the buckets
  PaceLimits limits_;
  unsigned long turn_owner_ = 0;  // thread ident of the holder, while turn_depth_ > 0
  int turn_depth_ = 0;
  std::uint64_t turn_generation_ = 0;
  std::deque<Waiting> line_;          // waiting for the turn, first come first
  std::uint64_t tickets_ = 0;         // the last ticket given out
  std::uint64_t handed_to_ = 0;       // the ticket the turn was last handed to
  Clock::time_point held_until_{};  // after a 429
  Bucket total_{limits_.total_burst, Clock::now()};
  std::unordered_map<std::int64_t, Bucket> chats_;

  std::atomic<std::uint64_t> changes_{0};
  WaitFlag closed_;  // set by close(); every wait parks on it
};

// Holds the sending turn for a scope.
class SendTurn {
 public:
  explicit SendTurn(SendPacer& pacer) : pacer_(pacer), turn_(pacer.acquire_turn()) {}
  ~SendTurn() { pacer_.release_turn(turn_); }
  SendTurn(const SendTurn&) = delete;
  SendTurn& operator=(const SendTurn&) = delete;

 private:
  SendPacer& pacer_;
  SendPacer::Turn turn_;
};

}  // namespace zt::bot
