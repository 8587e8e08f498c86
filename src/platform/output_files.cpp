#include "platform/output_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace platform {

namespace {

// The folder part of a path, with its slash ("" for the working folder).
std::string folderOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// The file a name stands for: links followed as far as they lead (a link to a name not yet
// there stands for that name).
std::string targetOf(const std::string& path) {
  std::string target = path;
  for (int hops = 0; hops < 40; ++hops) {
    char link[PATH_MAX];
    ssize_t n = ::readlink(target.c_str(), link, sizeof link - 1);
    if (n <= 0) break;
    std::string next(link, size_t(n));
    target = next[0] == '/' ? next : folderOf(target).append(next);
  }
  return target;
}

// Whether the file is written in place: it exists and is not a regular file.
bool writtenDirectly(const std::string& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 && !S_ISREG(status.st_mode);
}

// A new file "<folder>.<name>.XXXXXX" beside `target`, as a stream; null when the folder takes
// no new file.
std::FILE* createTemporary(const std::string& target, const char* mode, mode_t createMode,
                           std::string& temporary) {
  size_t nameStart = target.rfind('/') == std::string::npos ? 0 : target.rfind('/') + 1;
  temporary = folderOf(target) + "." + target.substr(nameStart) + ".XXXXXX";
  int fd = ::mkstemp(temporary.data());
  if (fd < 0) return nullptr;
  // An existing file keeps its permissions, a new one gets those of an ordinary creation.
  struct stat status {};
  mode_t permissions = ::stat(target.c_str(), &status) == 0 ? status.st_mode & 07777 : createMode;
  if (::fchmod(fd, permissions) != 0) {
    // The file stays readable by its owner: not a reason to fail the output.
  }
  std::FILE* stream = ::fdopen(fd, mode);
  if (stream == nullptr) {
    int saved = errno;
    ::close(fd);
    ::unlink(temporary.c_str());
    errno = saved;
  }
  return stream;
}

}  // namespace

OutputFile& OutputFile::operator=(OutputFile&& other) noexcept {
  if (this != &other) {
    close();
    owner_ = std::exchange(other.owner_, nullptr);
    entry_ = other.entry_;
  }
  return *this;
}

std::FILE* OutputFile::get() const { return owner_ ? owner_->entries_[entry_].stream : nullptr; }

bool OutputFile::check() { return owner_ == nullptr || owner_->check(entry_); }

void OutputFile::fail(int error) {
  if (owner_) owner_->failed(owner_->entries_[entry_], error);
}

std::string OutputFile::path() const { return owner_ ? owner_->path(entry_) : std::string(); }

bool OutputFile::close() {
  if (owner_ == nullptr) return true;
  bool whole = owner_->close(entry_, true);
  owner_ = nullptr;
  return whole;
}

OutputFiles::OutputFiles(FailureReport onFailure, ClashReport onClash, Naming naming)
    : onFailure_(std::move(onFailure)), onClash_(std::move(onClash)), naming_(naming) {
  mode_t mask = ::umask(0);
  ::umask(mask);
  createMode_ = 0666 & ~mask;
}

OutputFiles::~OutputFiles() { discardOpen(); }

void OutputFiles::addInput(const std::string& path) {
  struct stat status {};
  if (path.empty() || ::stat(path.c_str(), &status) != 0) return;
  for (const Identity& known : inputs_)
    if (known.device == status.st_dev && known.inode == status.st_ino) return;
  inputs_.push_back(Identity{status.st_dev, status.st_ino, path});
  for (const std::string& output : planned_) refuseClash(output);
  for (const Entry& entry : entries_) refuseClash(entry.name);
}

void OutputFiles::plan(const std::string& path) {
  planned_.push_back(path);
  refuseClash(path);
}

// An output names an input when both are the same file; a temporary being written never is.
void OutputFiles::refuseClash(const std::string& output) {
  struct stat status {};
  if (::stat(output.c_str(), &status) != 0) return;
  for (const Identity& input : inputs_)
    if (input.device == status.st_dev && input.inode == status.st_ino) {
      onClash_(output, input.name);
      return;
    }
}

OutputFile OutputFiles::open(const std::string& path, const char* mode, bool ownFailures) {
  refuseClash(path);
  Entry entry;
  entry.name = path;
  entry.target = targetOf(path);
  entry.ownFailures = ownFailures;
  if (::access(entry.target.c_str(), F_OK) == 0 && ::access(entry.target.c_str(), W_OK) != 0)
    return OutputFile();  // a file we may not write is not replaced either (errno is set)
  if (naming_ == Naming::inPlace || writtenDirectly(entry.target)) {
    entry.stream = std::fopen(entry.target.c_str(), mode);
  } else {
    entry.stream = createTemporary(entry.target, mode, createMode_, entry.temporary);
    // A folder that takes no new file may still hold a file that can be written in place.
    if (entry.stream == nullptr) {
      entry.temporary.clear();
      entry.stream = std::fopen(entry.target.c_str(), mode);
    }
  }
  if (entry.stream == nullptr) return OutputFile();
  entries_.push_back(std::move(entry));
  return OutputFile(this, entries_.size() - 1);
}

OutputFile OutputFiles::adopt(std::FILE* stream, const std::string& name) {
  if (stream == nullptr) return OutputFile();
  Entry entry;
  entry.name = name;
  entry.target = name;
  entry.stream = stream;
  entries_.push_back(std::move(entry));
  return OutputFile(this, entries_.size() - 1);
}

void OutputFiles::failed(Entry& entry, int error) {
  anyFailed_ = true;
  if (entry.failed) return;
  entry.failed = true;
  if (!entry.ownFailures) onFailure_(entry.name, error != 0 ? error : EIO);
}

bool OutputFiles::check(size_t index) {
  Entry& entry = entries_[index];
  if (entry.stream && std::ferror(entry.stream)) failed(entry, errno);
  return !entry.failed;
}

std::string OutputFiles::path(size_t index) const {
  const Entry& entry = entries_[index];
  return entry.temporary.empty() ? entry.target : entry.temporary;
}

// Keeping: flush, close and rename over the final name; else close and remove the temporary.
bool OutputFiles::close(size_t index, bool keep) {
  Entry& entry = entries_[index];
  if (entry.stream == nullptr) return !entry.failed;
  std::FILE* stream = std::exchange(entry.stream, nullptr);
  if (!keep) {
    std::fclose(stream);
    if (!entry.temporary.empty()) ::unlink(entry.temporary.c_str());
    return false;
  }
  errno = 0;
  if (std::ferror(stream)) failed(entry, errno);
  if (std::fflush(stream) != 0) failed(entry, errno);
  struct stat status {};
  uint64_t bytes = ::fstat(::fileno(stream), &status) == 0 ? uint64_t(status.st_size) : 0;
  errno = 0;
  if (std::fclose(stream) != 0) failed(entry, errno);
  if (!entry.temporary.empty() && ::rename(entry.temporary.c_str(), entry.target.c_str()) != 0) {
    failed(entry, errno);
    ::unlink(entry.temporary.c_str());
    return false;
  }
  closed_.emplace_back(entry.name, bytes);
  return !entry.failed;
}

void OutputFiles::closeAll() {
  for (size_t i = 0; i < entries_.size(); ++i) close(i, true);
}

void OutputFiles::discardOpen() {
  for (size_t i = 0; i < entries_.size(); ++i) close(i, false);
}

}  // namespace platform
