// A share of a marshalled call's packet, as its caller and its queued message hold it.
#pragma once

#include <memory>
#include <utility>

namespace comsim {

struct CallPacket;

// The packet's references are dropped by the last share, in its own destructor, before it
// lets the packet go: never by shared_ptr's own (noexcept) release, where a finalizer must
// not run. Shares are made and dropped with the GIL held (moved without it too), so the
// count the last one reads is exact.
class PacketShare {
 public:
  PacketShare() = default;
  explicit PacketShare(std::shared_ptr<CallPacket> packet) noexcept : packet_(std::move(packet)) {}
  PacketShare(const PacketShare&) = default;
  PacketShare(PacketShare&&) noexcept = default;
  PacketShare& operator=(const PacketShare&) = delete;
  PacketShare& operator=(PacketShare&& other) {
    reset();
    packet_ = std::move(other.packet_);
    return *this;
  }
  ~PacketShare() noexcept(false) { reset(); }

  // Lets this share go (the packet emptied first when it is the last one).
  void reset();
  CallPacket* operator->() const noexcept { return packet_.get(); }
  CallPacket& operator*() const noexcept { return *packet_; }
  explicit operator bool() const noexcept { return packet_ != nullptr; }

 private:
  std::shared_ptr<CallPacket> packet_;
};

}  // namespace comsim
