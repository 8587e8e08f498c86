// Bytes their owner lends to a writer on another thread: the writer holds them until they are on
// their way to the file, then gives them back.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/mapped_bytes.h"

namespace platform {

class LendableBytes {
 public:
  /// Maps `size` bytes (see MappedBytes); throws std::bad_alloc when the system refuses.
  explicit LendableBytes(std::size_t size) : bytes_(size) {}

  uint8_t* get() const { return bytes_.get(); }
  std::size_t size() const { return bytes_.size(); }
  /// Whether a writer holds them: until it gives them back their bytes must not change.
  bool lent() const { return lent_.load(std::memory_order_acquire); }
  void lend() { lent_.store(true, std::memory_order_relaxed); }
  /// The writer is done with them; its reads happen before the owner's next writes.
  void giveBack() { lent_.store(false, std::memory_order_release); }

 private:
  MappedBytes bytes_;
  std::atomic<bool> lent_{false};
};

}  // namespace platform
