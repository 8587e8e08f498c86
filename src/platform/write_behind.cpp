#include "platform/write_behind.h"

#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/platform.h"

namespace platform {

WriteBehind::WriteBehind(size_t size, size_t count)
    : size_(size), buffers_(count < 2 ? 2 : count), vectors_(piecesPerWrite) {
  for (Buffer& buffer : buffers_) {
    buffer.bytes = MappedBytes(size);
    free_.push_back(&buffer);
  }
}

WriteBehind::~WriteBehind() {
  end();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    quit_ = true;
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void WriteBehind::begin(int fd, bool overlapped) {
  end();
  std::lock_guard<std::mutex> lock(mutex_);
  fd_ = fd;
  overlapped_ = overlapped;
  error_ = 0;
  done_ = 0;
  filling_ = free_.front();
  free_.pop_front();
  filling_->length = 0;
}

bool WriteBehind::append(const uint8_t* bytes, size_t n) {
  if (!filling_ || failure()) return false;
  while (n > 0) {
    size_t chunk = std::min(n, size_ - filling_->length);
    std::memcpy(filling_->bytes.get() + filling_->length, bytes, chunk);
    filling_->length += chunk;
    bytes += chunk;
    n -= chunk;
    if (filling_->length == size_ && !submit()) return false;
  }
  return true;
}

// The bytes appended before go first: the buffer being filled is handed over as it is.
bool WriteBehind::appendLent(const uint8_t* bytes, size_t n, std::shared_ptr<LendableBytes> owner) {
  if (!overlapped_ || !owner) return append(bytes, n);
  if (!filling_ || failure()) return false;
  if (filling_->length > 0 && !submit()) return false;
  std::unique_lock<std::mutex> lock(mutex_);
  if (lentBytes_ != 0 && lentBytes_ + n > lentLimit) {
    wake(lock);
    changed_.wait(lock, [&] { return lentBytes_ == 0 || lentBytes_ + n <= lentLimit; });
  }
  owner->lend();
  queued_.push_back(Piece{nullptr, bytes, n, std::move(owner)});
  lentBytes_ += n;
  // The thread is woken once a quarter buffer's worth has gathered, not for every piece.
  unannounced_ += n;
  if (unannounced_ >= size_ / 4) wake(lock);
  return succeeded();
}

// Starts the thread at the first piece and tells it what is queued.
void WriteBehind::wake(std::unique_lock<std::mutex>&) {
  unannounced_ = 0;
  if (!thread_.joinable()) thread_ = startWorkerThread([this] { run(); });
  changed_.notify_all();
}

// Hands the filled buffer over (or writes it now) and takes a free one.
bool WriteBehind::submit() {
  if (!overlapped_) {
    iovec whole{filling_->bytes.get(), filling_->length};
    bool written = writeVectors(&whole, 1);
    std::lock_guard<std::mutex> lock(mutex_);
    if (written) done_ += filling_->length;
    else error_ = errno;
    filling_->length = 0;
    return written;
  }
  std::unique_lock<std::mutex> lock(mutex_);
  queued_.push_back(Piece{filling_, filling_->bytes.get(), filling_->length, nullptr});
  filling_ = nullptr;
  wake(lock);
  changed_.wait(lock, [this] { return !free_.empty(); });
  filling_ = free_.front();
  free_.pop_front();
  filling_->length = 0;
  return succeeded();
}

uint64_t WriteBehind::bytesWritten() {
  std::lock_guard<std::mutex> lock(mutex_);
  return done_;
}

bool WriteBehind::succeeded() const {
  if (error_ == 0) return true;
  errno = error_;
  return false;
}

bool WriteBehind::failure() {
  std::lock_guard<std::mutex> lock(mutex_);
  return !succeeded();
}

bool WriteBehind::flush() {
  if (!filling_) return true;
  if (filling_->length > 0 && !submit()) return false;
  std::unique_lock<std::mutex> lock(mutex_);
  if (!queued_.empty()) wake(lock);
  changed_.wait(lock, [this] { return queued_.empty(); });
  return succeeded();
}

bool WriteBehind::end() {
  if (!filling_) return true;
  bool flushed = flush();
  int saved = errno;
  std::lock_guard<std::mutex> lock(mutex_);
  free_.push_back(filling_);
  filling_ = nullptr;
  fd_ = -1;
  errno = saved;
  return flushed;
}

void WriteBehind::abandon() {
  if (!filling_) return;
  std::unique_lock<std::mutex> lock(mutex_);
  while (queued_.size() > writing_) {  // the oldest may be in the thread's hands
    release(queued_.back());
    queued_.pop_back();
  }
  changed_.wait(lock, [this] { return queued_.empty(); });
  free_.push_back(filling_);
  filling_ = nullptr;
  fd_ = -1;
}

// A written (or dropped) piece: its buffer is free again, its owner given back.
void WriteBehind::release(Piece& piece) {
  if (piece.buffer) {
    piece.buffer->length = 0;
    free_.push_back(piece.buffer);
  }
  if (piece.owner) {
    lentBytes_ -= piece.length;
    piece.owner->giveBack();
    piece.owner.reset();
  }
}

// One gathered write of `count` pieces; a short write continues where it stopped.
bool WriteBehind::writeVectors(iovec* next, size_t count) {
  while (count > 0) {
    ssize_t n = ::writev(fd_, next, static_cast<int>(count));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) {
      errno = EIO;
      return false;
    }
    auto written = static_cast<size_t>(n);
    while (count > 0 && written >= next->iov_len) {
      written -= next->iov_len;
      ++next;
      --count;
    }
    if (count > 0) {
      next->iov_base = static_cast<uint8_t*>(next->iov_base) + written;
      next->iov_len -= written;
    }
  }
  return true;
}

// The thread: writes the queued pieces in order, as many at a time as one writev takes; after
// a failure it only releases them.
void WriteBehind::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return !queued_.empty() || quit_; });
    if (queued_.empty()) return;
    size_t count = std::min(queued_.size(), piecesPerWrite);
    for (size_t i = 0; i < count; ++i) {
      vectors_[i].iov_base = const_cast<uint8_t*>(queued_[i].bytes);
      vectors_[i].iov_len = queued_[i].length;
    }
    bool skip = error_ != 0;
    writing_ = count;
    lock.unlock();
    bool written = skip || writeVectors(vectors_.data(), count);
    int saved = errno;
    lock.lock();
    if (!written) error_ = saved;
    for (size_t i = 0; i < count; ++i) {
      if (written && !skip) done_ += queued_.front().length;
      release(queued_.front());
      queued_.pop_front();
    }
    writing_ = 0;
    changed_.notify_all();
  }
}

}  // namespace platform
