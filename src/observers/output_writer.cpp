// The destination file: records go out through a 1 MiB stream buffer, one write each.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "commandline/messages.h"
#include "observers/output_writer.h"

namespace {
constexpr size_t destinationBufferSize = 1 << 20;
// Record ends kept while they may still lie in the stream buffer; a flush empties the list.
constexpr size_t pendingBoundaryLimit = 4096;
}

OutputWriter::~OutputWriter() { close(); }

bool OutputWriter::open(const std::string& path) {
  close();
  platform::OutputFile handle = files_.open(path, "wb", true);
  if (!handle) return false;
  buffer_ = std::make_unique_for_overwrite<char[]>(destinationBufferSize);  // stdio fills it
  if (std::setvbuf(handle.get(), buffer_.get(), _IOFBF, destinationBufferSize) != 0) return false;
  file_ = std::move(handle);
  path_ = path;
  written_ = 0;
  failureReported_ = false;
  onDisk_ = 0;
  pendingEnds_.clear();
  return true;
}

bool OutputWriter::write(const uint8_t* bytes, size_t length) {
  if (!file_ || failureReported_) return false;
  if (pendingEnds_.size() >= pendingBoundaryLimit && !flush()) return false;
  errno = 0;
  size_t count = std::fwrite(bytes, 1, length, file_.get());
  if (count == length) {
    written_ += count;
    pendingEnds_.push_back(written_);
    return true;
  }
  reportFailure();
  close();
  return false;
}

bool OutputWriter::flush() {
  errno = 0;
  if (std::fflush(file_.get()) != 0) {
    reportFailure();
    close();
    return false;
  }
  onDisk_ = written_;
  pendingEnds_.clear();
  return true;
}

uint64_t OutputWriter::outputPosition() {
  if (file_) flush();
  return written_;
}

void OutputWriter::close() {
  if (!file_) return;
  errno = 0;
  bool flushed = std::fflush(file_.get()) == 0;
  if (!flushed) reportFailure();
  int descriptor = fileno(file_.get());
  if (failureReported_) cutToWholeRecords(descriptor);
  int saved = errno;
  if (!file_.close() && flushed && !failureReported_) reportFailure();
  errno = saved;
  buffer_.reset();
}

// After a failed write the file ends at the last record that is wholly on disk; the size
// counted from then on is that length.
void OutputWriter::cutToWholeRecords(int descriptor) {
  struct stat status {};
  uint64_t size = ::fstat(descriptor, &status) == 0 ? static_cast<uint64_t>(status.st_size) : 0;
  uint64_t keep = onDisk_ <= size ? onDisk_ : 0;
  for (uint64_t end : pendingEnds_)
    if (end <= size) keep = std::max(keep, end);
  if (keep < size && ::ftruncate(descriptor, static_cast<off_t>(keep)) != 0) keep = size;
  written_ = keep;
  onDisk_ = keep;
  pendingEnds_.clear();
}

// A destination that stops taking data (disk full, medium gone) would otherwise fail
// every record silently; one error names it, the run goes on.
void OutputWriter::reportFailure() {
  if (failureReported_) return;
  failureReported_ = true;
  if (errno == 0) errno = EIO;
  msg::logSysError(msg::E, "write error on %s", path_.c_str());
}
