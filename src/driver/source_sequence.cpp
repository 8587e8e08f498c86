#include "source_sequence.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "commandline/messages.h"
#include "observers/observers.h"
#include "platform/platform.h"
#include "video/video.h"

// ---- SourceFile ----

SourceFile::SourceFile(size_t bufferSize)
    : bufferSize_(bufferSize), buffer_(bufferSize), readAhead_(bufferSize) {}

SourceFile::~SourceFile() {
  forgetNextAhead();
  close();
}

namespace {
int64_t modifiedNs(const struct stat& info) {
  return int64_t(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
}
}  // namespace

void SourceFile::readNextAhead(const std::string& path) {
  forgetNextAhead();
  nextPath_ = path;
  nextTried_ = false;
}

// Only a regular file is opened ahead (a FIFO's writer would notice a reader); the read ahead
// thread is idle here, the current file's last buffer being read.
void SourceFile::openNextAhead() {
  nextTried_ = true;
  struct stat info {};
  if (::stat(nextPath_.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return;
  int fd = ::open(nextPath_.c_str(), O_RDONLY | O_NONBLOCK);
  if (fd < 0) return;
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return;
  }
  int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  nextFd_ = fd;
  nextDevice_ = uint64_t(info.st_dev);
  nextInode_ = uint64_t(info.st_ino);
  nextSize_ = uint64_t(info.st_size);
  nextModified_ = modifiedNs(info);
  readAhead_.start(nextFd_, 0);
  aheadIsNext_ = true;
}

// The file just opened as `fd` is the one opened ahead, unchanged since: the descriptor that
// read ahead takes its place, so that its first buffer is taken. Either way the one ahead is done.
int SourceFile::adoptNextAhead(int fd, const struct stat& info) {
  if (nextFd_ < 0) return fd;
  bool same = uint64_t(info.st_dev) == nextDevice_ && uint64_t(info.st_ino) == nextInode_ &&
              uint64_t(info.st_size) == nextSize_ && modifiedNs(info) == nextModified_;
  if (!same) {
    forgetNextAhead();
    return fd;
  }
  ::close(fd);
  fd = nextFd_;
  nextFd_ = -1;
  nextPath_.clear();
  aheadIsNext_ = false;  // it reads this file now
  return fd;
}

void SourceFile::forgetNextAhead() {
  if (nextFd_ >= 0) {
    readAhead_.drop();
    ::close(nextFd_);
  }
  nextFd_ = -1;
  nextPath_.clear();
  aheadIsNext_ = false;
}

void SourceFile::startReadAhead(uint64_t start) {
  readAhead_.start(fd_, start);
  aheadIsNext_ = false;
}

bool SourceFile::open(const std::string& path) {
  close();
  refusedNotRegular_ = false;
  // Opened without blocking, so that a FIFO without a writer cannot hold the run; only a regular
  // file is a recording (a directory opens on this platform, a device never ends).
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK);
  if (fd < 0) {
    int saved = errno;
    forgetNextAhead();
    errno = saved;
    return false;
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    int saved = errno;
    if (S_ISDIR(info.st_mode)) saved = EISDIR;
    else if (!S_ISREG(info.st_mode)) saved = EINVAL;
    refusedNotRegular_ = !S_ISREG(info.st_mode);
    ::close(fd);
    forgetNextAhead();
    errno = saved;
    return false;
  }
  fd = adoptNextAhead(fd, info);
  int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  fd_ = fd;
  size_ = static_cast<uint64_t>(info.st_size);
  position_ = bufferStart_ = 0;
  bufferLength_ = 0;
  return true;
}

void SourceFile::close() {
  if (!aheadIsNext_) readAhead_.drop();  // else it reads the next file
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  bufferLength_ = 0;
}

// The buffer holds what a read at the position finds: the read ahead's bytes when they are
// that, else a read of our own. A full buffer short of the end starts the next read ahead.
bool SourceFile::refill() {
  // A read ahead of the next file is kept for it (reads at the end of this one find nothing).
  bufferLength_ = aheadIsNext_ ? 0 : readAhead_.take(fd_, position_, size_, buffer_, bufferStart_);
  if (bufferLength_ == 0) {
    bufferStart_ = position_;
    bufferLength_ = platform::readAt(fd_, buffer_.get(), bufferSize_, bufferStart_);
  }
  uint64_t end = bufferStart_ + bufferLength_;
  if (bufferLength_ == bufferSize_ && bufferSize_ > 4 * platform::ReadAhead::overlap && end < size_)
    startReadAhead(end - platform::ReadAhead::overlap);
  else if (end >= size_ && !nextTried_ && !nextPath_.empty())
    openNextAhead();
  return bufferLength_ > 0;
}

size_t SourceFile::read(uint8_t* destination, size_t n) {
  size_t done = 0;
  while (done < n && fd_ >= 0) {
    if (!holdsPosition() && !refill()) break;
    size_t offset = static_cast<size_t>(position_ - bufferStart_);
    size_t chunk = std::min(n - done, bufferLength_ - offset);
    std::memcpy(destination + done, buffer_.get() + offset, chunk);
    done += chunk;
    position_ += chunk;
  }
  return done;
}

const uint8_t* SourceFile::view(size_t n) {
  if (fd_ < 0 || (!holdsPosition() && !refill())) return nullptr;
  size_t offset = static_cast<size_t>(position_ - bufferStart_);
  if (bufferLength_ - offset < n) return nullptr;
  position_ += n;
  return buffer_.get() + offset;
}

void SourceFile::seek(uint64_t position) { position_ = position; }

bool SourceFile::refillAt(uint64_t start) {
  uint64_t kept = position_;
  position_ = start;
  bool filled = refill();
  position_ = kept;
  return filled;
}

uint64_t SourceFile::find(const uint8_t* pattern, size_t n, uint64_t from,
                          const std::atomic<bool>* stop) {
  if (n == 0) return from;
  while (fd_ >= 0 && from + n <= size_) {
    if (stop && stop->load()) break;
    uint64_t bufferEnd = bufferStart_ + bufferLength_;
    if (from < bufferStart_ || from + n > bufferEnd) {
      if (!refillAt(from) || bufferLength_ < n) break;
      bufferEnd = bufferStart_ + bufferLength_;
    }
    const uint8_t* begin = buffer_.get();
    const uint8_t* at = begin + (from - bufferStart_);
    const uint8_t* last = begin + bufferLength_ - n;  // the last place a whole match fits
    while (at <= last) {
      at = static_cast<const uint8_t*>(std::memchr(at, pattern[0], size_t(last - at) + 1));
      if (at == nullptr) break;
      if (std::memcmp(at, pattern, n) == 0) return bufferStart_ + uint64_t(at - begin);
      ++at;
    }
    if (bufferEnd >= size_) break;
    from = bufferEnd - (n - 1);  // a match may straddle the end of the buffer
  }
  return notFound;
}

// ---- names ----

std::string baseName(const std::string& path) {
  size_t cut = path.find_last_of("\\/");
  if (cut == std::string::npos) cut = path.find_last_of(':');
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

std::string destinationNameFor(const std::string& sourceName) {
  std::string base = baseName(sourceName);
  size_t dot = base.find_last_of('.');
  if (dot != std::string::npos) base.resize(dot);
  return base + "-cv.out";
}

// ---- SourceSequence ----

namespace {
// Stream buffer of each source file (and of its read ahead): reads large enough to be sequential,
// small enough that the bytes the kernel copies in are still in the cache when the scanner
// reads them (8 MiB cost a third more time).
constexpr size_t sourceBufferSize = 1u << 20;

// Directory part removed: the text after the last "/" or "\".
std::string withoutDirectory(const std::string& path) {
  size_t cut = path.find_last_of("\\/");
  return cut == std::string::npos ? path : path.substr(cut + 1);
}
}  // namespace

SourceSequence::SourceSequence(const SourceSettings& settings, Display& display,
                               HeaderCounters& headerCounters, std::string& lastSourceName,
                               platform::OutputFiles& outputs)
    : settings_(settings),
      display_(display),
      headerCounters_(headerCounters),
      lastSourceName_(lastSourceName),
      outputs_(outputs),
      file_(sourceBufferSize) {}

std::string SourceSequence::numberedName() const {
  return stem_ + std::to_string(nextIndex_) + "." + extension_;
}

void SourceSequence::prepareSources() {
  const std::string& source = settings_.sourceName;
  stem_ = source;
  currentName_ = source;
  size_t dot = source.find_last_of('.');
  extension_ = dot == std::string::npos ? std::string() : source.substr(dot + 1);
  firstIndex_ = 0;
  endIndex_ = 1;
  // /concatenate=0 asks for the one file named, like no /concatenate at all.
  concatenate_ = settings_.concatenate < 0 ? 100000 : settings_.concatenate;
  if (concatenate_ != 0) {
    size_t underscore = source.find_last_of('_');
    if (underscore != std::string::npos) {
      firstIndex_ = static_cast<int32_t>(std::strtoul(source.c_str() + underscore + 1, nullptr, 0));
      stem_ = source.substr(0, underscore + 1);
      endIndex_ = firstIndex_ + concatenate_;
    }
    msg::info("Process: %s -> %d:%d", stem_.c_str(), firstIndex_, endIndex_);
  }
  processed_ = opened_ = 0;
  nextIndex_ = firstIndex_;
  if (concatenate_ != 0) currentName_ = numberedName();
}

bool SourceSequence::openSource() {
  if (nextIndex_ >= endIndex_) return false;
  currentBase_ = withoutDirectory(currentName_);
  display_.display_set_caption(currentBase_.c_str());
  msg::set_context(currentBase_.c_str());
  lastSourceName_ = currentBase_;
  if (settings_.fixdate) {
    unsigned n[6];
    bool matches = !currentBase_.empty() && currentBase_[0] == '_' &&
                   std::sscanf(currentBase_.c_str(), "_%u-%u-%u-%u-%u-%u_", &n[0], &n[1], &n[2],
                               &n[3], &n[4], &n[5]) == 6;
    if (!matches) {
      msg::error("Invalid filename format %s", stem_.c_str());
      msg::exit_with(1);  // a name we cannot date is a failure, not a success
    }
    std::memcpy(nameDate_, n, sizeof nameDate_);
  }
  if (!file_.open(currentName_)) {
    headerCounters_.showPosition = true;
    return false;
  }
  headerCounters_.showPosition = true;
  outputs_.addInput(currentName_);
  inputTotal_ += file_.size();
  openedFiles_.emplace_back(currentName_, file_.size());
  nextIndex_++;
  opened_++;
  file_.readNextAhead(concatenate_ != 0 && nextIndex_ < endIndex_ ? numberedName() : std::string());
  msg::info("[%d] size = %lu", opened_, static_cast<unsigned long>(file_.size()));
  return true;
}

void SourceSequence::openFirstSource() {
  if (!openSource()) {
    int saved = errno;
    msg::set_context_number(0);
    if (file_.refusedNotRegular())
      msg::error("[%d] Source: %s: not a regular file", opened_, currentName_.c_str());
    if (concatenate_ != 0)
      msg::error("processed %d files", 0);
    else if (!file_.refusedNotRegular())
      msg::error("[%d] Source: %s: not found!", opened_, currentName_.c_str());
    errno = saved;
    msg::fatalSysError("open source file");
    msg::exit_with(1);
  }
}

bool SourceSequence::endSource() {
  if (file_.isOpen()) {
    HeaderCounters& header = headerCounters_;
    if (!fileStatsReady_) {
      fileFirstBatch_ = header.firstBatch;
      fileFirstSecs_ = header.firstSecs;
      fileStatsReady_ = true;
    }
    unsigned hours = fileFirstSecs_ / 3600, minutes = (fileFirstSecs_ % 3600) / 60,
             seconds = fileFirstSecs_ % 60;
    msg::info("batches: %lu..%lu  %u:%02u:%02u", static_cast<unsigned long>(fileFirstBatch_),
              static_cast<unsigned long>(header.lastBatch), hours, minutes, seconds);
    fileFirstBatch_ = header.lastBatch;
    fileFirstSecs_ = header.lastSecs;
    file_.close();
    if (settings_.fixdate && fileFirstSecs_ != 0) {
      msg::info("fix date: %u-%u-%u  %u:%u:%u", nameDate_[2], nameDate_[1], nameDate_[0], hours,
                minutes, seconds);
      fixFileDate(hours, minutes, seconds);
    }
  }
  processed_++;
  if (concatenate_ != 0) currentName_ = numberedName();
  if (openSource()) return true;
  msg::set_context_number(0);
  if (concatenate_ != 0) {
    if (processed_ > 0)
      msg::summaryLine("%d..%d: processed %d files", firstIndex_, firstIndex_ + processed_ - 1,
                       processed_);
    else
      msg::error("processed %d files", 0);
  } else if (processed_ <= 0) {
    msg::error("[%d] Source: %s: not found!", opened_, currentName_.c_str());
  }
  return false;
}

// At most this many files are measured ahead: a sequence asked for without an end may run to
// 100000 numbers.
constexpr int32_t maxFilesAhead = 10000;

void SourceSequence::measureAhead() {
  aheadSizes_.clear();
  aheadFirstIndex_ = nextIndex_;
  if (concatenate_ == 0) return;
  for (int32_t index = nextIndex_; index < endIndex_ && index - nextIndex_ < maxFilesAhead;
       ++index) {
    struct stat info {};
    std::string name = stem_ + std::to_string(index) + "." + extension_;
    if (::stat(name.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) break;
    aheadSizes_.push_back(static_cast<uint64_t>(info.st_size));
  }
}

int SourceSequence::knownFiles() const {
  size_t skipped = static_cast<size_t>(std::max(0, nextIndex_ - aheadFirstIndex_));
  return opened_ + static_cast<int>(aheadSizes_.size() - std::min(skipped, aheadSizes_.size()));
}

uint64_t SourceSequence::knownBytes() const {
  size_t skipped = static_cast<size_t>(std::max(0, nextIndex_ - aheadFirstIndex_));
  uint64_t total = inputTotal_;
  for (size_t k = skipped; k < aheadSizes_.size(); ++k) total += aheadSizes_[k];
  return total;
}

uint64_t SourceSequence::bytesRead() const {
  if (!file_.isOpen()) return inputTotal_;
  return inputTotal_ - file_.size() + std::min(file_.position(), file_.size());
}

void SourceSequence::fixFileDate(unsigned hours, unsigned minutes, unsigned seconds) {
  // Called before the name moves on, so the current name is the file just closed.
  const std::string& closed = currentName_;
  platform::LocalTime when{static_cast<int>(nameDate_[0]) + 2000, static_cast<int>(nameDate_[1]),
                           static_cast<int>(nameDate_[2]), static_cast<int>(hours),
                           static_cast<int>(minutes), static_cast<int>(seconds)};
  platform::setFileTime(closed.c_str(), when);
}
