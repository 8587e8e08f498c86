// The destination file: records go out through 1 MiB buffers, written behind the run on a
// thread of their own when the destination is a regular file without a size limit.
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "commandline/messages.h"
#include "observers/output_writer.h"

namespace {
constexpr size_t destinationBufferSize = 1 << 20;
constexpr size_t destinationBuffers = 16;
// Record ends kept while they may still lie in a buffer; a flush empties the list.
constexpr size_t pendingBoundaryLimit = 4096;

// Writes to a device or pipe, or up to a file size limit, fail at a byte the run can name: they
// are made while the record that fills a buffer is written, so that the failure stops the run
// at the same record every time.
bool writeBehindPays(int descriptor) {
  struct stat status {};
  struct rlimit limit {};
  return ::fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode) &&
         ::getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur == RLIM_INFINITY;
}
}  // namespace

OutputWriter::OutputWriter(platform::OutputFiles& files)
    : files_(files), writer_(destinationBufferSize, destinationBuffers) {}

OutputWriter::~OutputWriter() { close(); }

bool OutputWriter::open(const std::string& path) {
  close();
  platform::OutputFile handle = files_.open(path, "wb", true);
  if (!handle) return false;
  int descriptor = fileno(handle.get());
  writer_.begin(descriptor, writeBehindPays(descriptor));
  file_ = std::move(handle);
  path_ = path;
  written_ = 0;
  failureReported_ = false;
  onDisk_ = 0;
  pendingEnds_.clear();
  return true;
}

bool OutputWriter::write(const uint8_t* bytes, size_t length) { return write(bytes, length, nullptr); }

bool OutputWriter::write(const uint8_t* bytes, size_t length,
                         std::shared_ptr<platform::LendableBytes> owner) {
  if (!file_ || failureReported_) return false;
  if (pendingEnds_.size() >= pendingBoundaryLimit && !forgetWrittenEnds()) return false;
  errno = 0;
  if (owner ? writer_.appendLent(bytes, length, std::move(owner)) : writer_.append(bytes, length)) {
    written_ += length;
    pendingEnds_.push_back(written_);
    return true;
  }
  reportFailure();
  close();
  return false;
}

// The record ends the writer has passed are whole on disk: the last of them is all a cut back
// needs. Only when it has passed none is the list emptied by a flush, and always where each
// buffer is written at once (the flush then fails at the record it always failed at).
bool OutputWriter::forgetWrittenEnds() {
  if (!writer_.overlapped()) return flush();
  auto passed = std::upper_bound(pendingEnds_.begin(), pendingEnds_.end(), writer_.bytesWritten());
  if (passed == pendingEnds_.begin()) return flush();
  onDisk_ = *(passed - 1);
  pendingEnds_.erase(pendingEnds_.begin(), passed);
  return true;
}

bool OutputWriter::flush() {
  errno = 0;
  if (!writer_.flush()) {
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
  bool flushed = writer_.end();
  if (!flushed) reportFailure();
  int descriptor = fileno(file_.get());
  if (failureReported_) cutToWholeRecords(descriptor);
  int saved = errno;
  if (!file_.close() && flushed && !failureReported_) reportFailure();
  errno = saved;
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
