// Writing a file from a few large buffers on a thread of its own, so that the writes overlap the
// work that fills the next buffer. Large pieces need not be copied into the buffers: their owner
// lends them, and the thread writes them where they are and gives them back.
#pragma once

#include <sys/uio.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/lendable_bytes.h"
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
  /// Appends `n` bytes that lie in `owner`'s storage without copying them: the owner is lent
  /// until the thread has written them (or dropped them after a failure or abandon). Without
  /// the thread they are copied as by `append`. At most `lentLimit` bytes are lent at a time;
  /// beyond that the call waits for the thread.
  bool appendLent(const uint8_t* bytes, size_t n, std::shared_ptr<LendableBytes> owner);
  /// Bytes written to the descriptor since `begin`, as far as the writes so far have gone.
  uint64_t bytesWritten();
  /// Whether writes go to the thread (appendLent lends).
  bool overlapped() const { return overlapped_; }
  static constexpr size_t lentLimit = size_t{32} << 20;
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
  // What the thread writes next: a filled buffer, or lent bytes of their owner.
  struct Piece {
    Buffer* buffer = nullptr;
    const uint8_t* bytes = nullptr;
    size_t length = 0;
    std::shared_ptr<LendableBytes> owner;
  };
  bool submit();
  void wake(std::unique_lock<std::mutex>& lock);
  void release(Piece& piece);
  bool writeVectors(iovec* next, size_t count);
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
  std::deque<Piece> queued_;    // oldest first
  std::deque<Buffer*> free_;
  size_t writing_ = 0;          // the oldest queued pieces, in the thread's hands
  size_t lentBytes_ = 0;        // bytes of the queued lent pieces
  size_t unannounced_ = 0;      // lent bytes queued since the thread was last woken
  int error_ = 0;               // errno of the first failed write
  uint64_t done_ = 0;           // bytes written since begin
  bool quit_ = false;
  static constexpr size_t piecesPerWrite = 1024;  // what one writev takes (IOV_MAX)
  std::vector<iovec> vectors_;  // the thread's
  std::thread thread_;
};

}  // namespace platform
