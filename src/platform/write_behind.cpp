#include "platform/write_behind.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/platform.h"

namespace platform {

WriteBehind::WriteBehind(size_t size, size_t count) : size_(size), buffers_(count < 2 ? 2 : count) {
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

// Hands the filled buffer over (or writes it now) and takes a free one.
bool WriteBehind::submit() {
  if (!overlapped_) {
    bool written = writeAll(*filling_);
    filling_->length = 0;
    if (!written) {
      std::lock_guard<std::mutex> lock(mutex_);
      error_ = errno;
    }
    return written;
  }
  std::unique_lock<std::mutex> lock(mutex_);
  queued_.push_back(filling_);
  filling_ = nullptr;
  if (!thread_.joinable()) thread_ = startWorkerThread([this] { run(); });
  changed_.notify_all();
  changed_.wait(lock, [this] { return !free_.empty(); });
  filling_ = free_.front();
  free_.pop_front();
  filling_->length = 0;
  return succeeded();
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
  changed_.wait(lock, [this] { return queued_.empty() && !writing_; });
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
  while (queued_.size() > (writing_ ? 1u : 0u)) {  // the oldest may be in the thread's hands
    free_.push_back(queued_.back());
    queued_.pop_back();
  }
  changed_.wait(lock, [this] { return queued_.empty() && !writing_; });
  free_.push_back(filling_);
  filling_ = nullptr;
  fd_ = -1;
}

bool WriteBehind::writeAll(const Buffer& buffer) {
  size_t done = 0;
  while (done < buffer.length) {
    ssize_t n = ::write(fd_, buffer.bytes.get() + done, buffer.length - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) {
      errno = EIO;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

// The thread: writes the queued buffers in order; after a failure it only gives them back.
void WriteBehind::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return !queued_.empty() || quit_; });
    if (queued_.empty()) return;
    Buffer* buffer = queued_.front();
    bool skip = error_ != 0;
    writing_ = true;
    lock.unlock();
    bool written = skip || writeAll(*buffer);
    int saved = errno;
    lock.lock();
    if (!written) error_ = saved;
    queued_.pop_front();
    buffer->length = 0;
    free_.push_back(buffer);
    writing_ = false;
    changed_.notify_all();
  }
}

}  // namespace platform
