// Writing a file from a few large buffers on a thread of its own, so that the writes overlap the
// work that fills the next buffer.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/mapped_bytes.h"

namespace platform {

class WriteBehind {
 public:
  /// `count` buffers of `size` bytes: one being filled, the others written or free.
  WriteBehind(size_t size, size_t count);
  WriteBehind(const WriteBehind&) = delete;
  WriteBehind& operator=(const WriteBehind&) = delete;
  /// Waits for the writes in flight and ends the thread.
  ~WriteBehind();

  /// Writes to `fd` from now on, at its current offset. Writes are handed to the thread only
  /// when `overlapped`; otherwise each full buffer is written before `append` returns, so a
  /// failure shows at the same byte as with a plain buffered stream.
  void begin(int fd, bool overlapped);
  /// Appends the bytes. False once a write failed (errno tells why); nothing more is written.
  bool append(const uint8_t* bytes, size_t n);
  /// Writes everything appended and waits for it; false (errno set) when a write failed.
  bool flush();
  /// Flushes and stops writing to the descriptor; answers what `flush` answers.
  bool end();
  /// Stops writing to the descriptor at once: waits for the write in flight and forgets the
  /// rest (before the file is discarded).
  void abandon();

 private:
  struct Buffer {
    MappedBytes bytes;
    size_t length = 0;
  };
  bool submit();
  bool writeAll(const Buffer& buffer);
  bool failure();
  bool succeeded() const;  // no write failed, else errno set to the first failure (under the lock)
  void run();

  const size_t size_;
  std::vector<Buffer> buffers_;
  Buffer* filling_ = nullptr;
  int fd_ = -1;
  bool overlapped_ = false;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Buffer*> queued_;  // full buffers, oldest first
  std::deque<Buffer*> free_;
  bool writing_ = false;        // the thread writes the oldest queued buffer
  int error_ = 0;               // errno of the first failed write
  bool quit_ = false;
  std::thread thread_;
};

}  // namespace platform
