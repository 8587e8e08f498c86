#include "platform/read_ahead.h"

#include <unistd.h>

#include <cerrno>
#include <utility>

#include "platform/platform.h"

namespace platform {

size_t readAt(int fd, uint8_t* into, size_t size, uint64_t offset, bool* failed) {
  size_t length = 0;
  while (length < size) {
    ssize_t n = ::pread(fd, into + length, size - length, static_cast<off_t>(offset + length));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && failed) *failed = true;
    if (n <= 0) break;
    length += static_cast<size_t>(n);
  }
  return length;
}

ReadAhead::ReadAhead(size_t size) : size_(size), buffer_(size) {}

ReadAhead::~ReadAhead() {
  {
    std::unique_lock<std::mutex> lock(mutex_);
    waitIdle(lock);
    quit_ = true;
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void ReadAhead::waitIdle(std::unique_lock<std::mutex>& lock) {
  changed_.wait(lock, [this] { return !busy_; });
}

void ReadAhead::start(int fd, uint64_t start) {
  {
    std::unique_lock<std::mutex> lock(mutex_);
    waitIdle(lock);
    fd_ = fd;
    start_ = start;
    length_ = 0;
    failed_ = false;
    busy_ = true;
    valid_ = true;
  }
  if (!thread_.joinable()) thread_ = startWorkerThread([this] { run(); });
  changed_.notify_all();
}

size_t ReadAhead::take(int fd, uint64_t wanted, uint64_t fileSize, MappedBytes& buffer,
                       uint64_t& bufferStart) {
  std::unique_lock<std::mutex> lock(mutex_);
  waitIdle(lock);
  if (!valid_) return 0;
  valid_ = false;
  uint64_t end = start_ + length_;
  bool usable = fd == fd_ && !failed_ && start_ <= wanted && wanted - start_ <= overlap &&
                wanted < end && (length_ == size_ || end == fileSize) && buffer.size() == size_;
  if (!usable) return 0;
  std::swap(buffer, buffer_);
  bufferStart = start_;
  return length_;
}

void ReadAhead::drop() {
  std::unique_lock<std::mutex> lock(mutex_);
  waitIdle(lock);
  valid_ = false;
}

// The thread: one read of the buffer's size at a time, as asked.
void ReadAhead::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return busy_ || quit_; });
    if (quit_) return;
    int fd = fd_;
    uint64_t start = start_;
    uint8_t* into = buffer_.get();
    lock.unlock();
    bool failed = false;
    size_t length = readAt(fd, into, size_, start, &failed);
    lock.lock();
    length_ = length;
    failed_ = failed;
    busy_ = false;
    changed_.notify_all();
  }
}

}  // namespace platform
