// Parking a thread that came back to a finalizing interpreter.
#include "gil.h"

#include <chrono>
#include <thread>

namespace zt {

void park_forever() noexcept {
  // Nothing will wake the thread: the process is exiting. One wake-up a day is no polling.
  for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
}

}  // namespace zt
