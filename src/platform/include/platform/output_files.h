// The files a run writes. A regular file (or a name not yet there) is written under a temporary
// name in its own folder and takes its final name when it is closed, so a run that dies leaves
// the earlier file untouched; a device, a FIFO or /dev/null is written directly. No output may
// be one of the run's inputs (same device and inode, links followed).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace platform {

class OutputFiles;

/// One open output; closing it (or its end) flushes it and gives it its final name.
class OutputFile {
 public:
  OutputFile() = default;
  OutputFile(OutputFile&& other) noexcept { *this = std::move(other); }
  OutputFile& operator=(OutputFile&& other) noexcept;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  ~OutputFile() { close(); }

  /// The stream to write to; null when the file is not open (also after the run closed it).
  std::FILE* get() const;
  explicit operator bool() const { return get() != nullptr; }
  /// Reports the first failed write of the file once (the stream's error flag, with errno as
  /// the failing write left it); answers whether the file is still sound.
  bool check();
  /// Records a failure that a library writing the file met (`error`: its errno); reported once.
  void fail(int error);
  /// Where the bytes go while the file is open: the temporary name, or the file itself. For
  /// libraries that open the file by name.
  std::string path() const;
  /// Flushes and closes; a regular file takes its final name. Answers whether every write and
  /// the close succeeded. Nothing when not open.
  bool close();

 private:
  friend class OutputFiles;
  OutputFile(OutputFiles* owner, size_t entry) : owner_(owner), entry_(entry) {}
  OutputFiles* owner_ = nullptr;
  size_t entry_ = 0;
};

class OutputFiles {
 public:
  /// The first failure of a file: its final name and the error number.
  using FailureReport = std::function<void(const std::string& name, int error)>;
  /// An output that is an input: the output's and the input's names. Expected to end the run.
  using ClashReport = std::function<void(const std::string& output, const std::string& input)>;

  /// How regular files are written: under a temporary name until closed, or in place (for
  /// readers that follow a file while it grows, such as tests of the products).
  enum class Naming { temporaryUntilClosed, inPlace };

  OutputFiles(FailureReport onFailure, ClashReport onClash,
              Naming naming = Naming::temporaryUntilClosed);
  OutputFiles(const OutputFiles&) = delete;
  OutputFiles& operator=(const OutputFiles&) = delete;
  /// Discards what is still open (the owners close their files before).
  ~OutputFiles();

  /// An input of the run; compared with every output planned or opened so far.
  void addInput(const std::string& path);
  /// An output the run will write; compared with every input so far and later ones.
  void plan(const std::string& path);
  /// Creates `path` for writing (fopen `mode`: "w" or "wb"); a null handle with errno set when
  /// it cannot be created. `ownFailures`: the caller reports write failures itself.
  OutputFile open(const std::string& path, const char* mode, bool ownFailures = false);
  /// Takes a stream already open for writing (standard output, a temporary file) under `name`;
  /// it is written and closed like the others, in place.
  OutputFile adopt(std::FILE* stream, const std::string& name);
  /// Closes every file still open, as their handles would.
  void closeAll();
  /// Closes every file still open and removes the temporary ones: the final names keep what
  /// they held before the run.
  void discardOpen();

  /// Whether a write or close of any file failed.
  bool anyFailed() const { return anyFailed_; }
  /// The files closed under their final names so far, with their sizes in bytes.
  const std::vector<std::pair<std::string, uint64_t>>& closedFiles() const { return closed_; }

 private:
  friend class OutputFile;
  struct Entry {
    std::string name;       // the final name
    std::string target;     // the file the final name stands for (links followed)
    std::string temporary;  // empty: written directly
    std::FILE* stream = nullptr;
    bool ownFailures = false;
    bool failed = false;
  };
  struct Identity {
    dev_t device;
    ino_t inode;
    std::string name;
  };
  void failed(Entry& entry, int error);
  bool check(size_t entry);
  std::string path(size_t entry) const;
  bool close(size_t entry, bool keep);
  void refuseClash(const std::string& output);

  FailureReport onFailure_;
  ClashReport onClash_;
  std::vector<Identity> inputs_;
  std::vector<std::string> planned_;
  std::vector<Entry> entries_;
  std::vector<std::pair<std::string, uint64_t>> closed_;
  bool anyFailed_ = false;
  Naming naming_;
  mode_t createMode_;
};

}  // namespace platform
