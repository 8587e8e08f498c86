// The destination file: records go out through a 1 MiB stream buffer, one write each.
#include <cerrno>

#include "commandline/messages.h"
#include "observers/observers.h"

namespace {
constexpr size_t destinationBufferSize = 1 << 20;
}

OutputWriter::~OutputWriter() { close(); }

bool OutputWriter::open(const std::string& path) {
  close();
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  buffer_ = std::make_unique<char[]>(destinationBufferSize);
  if (std::setvbuf(file, buffer_.get(), _IOFBF, destinationBufferSize) != 0) {
    int saved = errno;
    std::fclose(file);
    errno = saved;
    return false;
  }
  file_ = file;
  path_ = path;
  written_ = 0;
  failureReported_ = false;
  return true;
}

bool OutputWriter::write(const uint8_t* bytes, size_t length) {
  if (file_ == nullptr) return false;
  errno = 0;
  size_t count = std::fwrite(bytes, 1, length, file_);
  written_ += count;
  if (count == length) return true;
  reportFailure();
  return false;
}

uint64_t OutputWriter::outputPosition() {
  if (file_ == nullptr) return 0;
  errno = 0;
  if (std::fflush(file_) != 0) reportFailure();
  return written_;
}

void OutputWriter::close() {
  if (file_ == nullptr) return;
  errno = 0;
  bool flushed = std::fflush(file_) == 0;
  if (!flushed) reportFailure();
  if (std::fclose(file_) != 0 && flushed) reportFailure();
  file_ = nullptr;
  buffer_.reset();
}

// A destination that stops taking data (disk full, medium gone) would otherwise fail
// every record silently; one error names it, the run goes on.
void OutputWriter::reportFailure() {
  if (failureReported_) return;
  failureReported_ = true;
  if (errno == 0) errno = EIO;
  msg::logSysError(msg::E, "write error on %s", path_.c_str());
}
