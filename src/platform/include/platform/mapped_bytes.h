// Large buffers straight from the system's page allocator.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

/// `size` bytes of anonymous memory mapped for this buffer alone. Pages cost nothing until
/// touched and read as 0 before, so a big buffer of which a run uses a little is cheap to
/// allocate and to free; an inaccessible page on each side stops an overrun at once.
class MappedBytes {
 public:
  MappedBytes() = default;
  /// Maps the bytes; throws std::bad_alloc when the system refuses.
  explicit MappedBytes(std::size_t size);
  MappedBytes(const MappedBytes&) = delete;
  MappedBytes& operator=(const MappedBytes&) = delete;
  MappedBytes(MappedBytes&& other) noexcept { *this = static_cast<MappedBytes&&>(other); }
  MappedBytes& operator=(MappedBytes&& other) noexcept;
  ~MappedBytes() { reset(); }

  /// The first byte (the last one lies right before the guard page); null when empty.
  uint8_t* get() const { return data_; }
  std::size_t size() const { return size_; }
  explicit operator bool() const { return data_ != nullptr; }
  /// Unmaps the bytes.
  void reset();

 private:
  void* mapping_ = nullptr;
  std::size_t mappingSize_ = 0;
  uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace platform
