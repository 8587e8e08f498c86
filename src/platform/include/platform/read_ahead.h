// Reading the next stretch of a source file on a thread of its own, while the scanner works
// through the current one.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>

#include "platform/mapped_bytes.h"

namespace platform {

/// Reads up to `size` bytes at `offset` of `fd` into `into`, again and again until they are
/// there, the file ends or a read fails (then `failed`, when given, is set); answers the count.
size_t readAt(int fd, uint8_t* into, size_t size, uint64_t offset, bool* failed = nullptr);

class ReadAhead {
 public:
  /// Each read fills up to `size` bytes of a buffer of that size.
  explicit ReadAhead(size_t size);
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;
  /// Waits for the read in flight and ends the thread.
  ~ReadAhead();

  /// Starts reading at `start` of the open file `fd` (after the read in flight, if any).
  void start(int fd, uint64_t start);
  /// Waits for the read in flight and hands its bytes over when they are what a read at `wanted`
  /// would find: a read of `fd` that started at or up to 16 bytes before `wanted`, went past it,
  /// and either filled the buffer or reached `fileSize`. `buffer` (of the same size) then holds
  /// them and `bufferStart` their position; answers their length, or 0 (nothing changed), after
  /// which the caller reads for itself.
  size_t take(int fd, uint64_t wanted, uint64_t fileSize, MappedBytes& buffer,
              uint64_t& bufferStart);
  /// Waits for the read in flight and forgets it (before `fd` is closed).
  void drop();

  /// How far before the wanted position a read may start and still be taken: the scanner and the
  /// marker search step back at most this far over the end of a buffer.
  static constexpr uint64_t overlap = 16;

 private:
  void run();
  void waitIdle(std::unique_lock<std::mutex>& lock);

  const size_t size_;
  MappedBytes buffer_;
  std::mutex mutex_;
  std::condition_variable changed_;
  // The read asked for or done; the thread reads while `busy_`.
  int fd_ = -1;
  uint64_t start_ = 0;
  size_t length_ = 0;
  bool failed_ = false;
  bool busy_ = false;
  bool valid_ = false;  // a read was asked for and not taken or dropped since
  bool quit_ = false;
  std::thread thread_;
};

}  // namespace platform
