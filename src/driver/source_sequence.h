// The source files of a recording, read as one stream, and the names of the outputs.
#pragma once

#include <sys/stat.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/mapped_bytes.h"
#include "platform/output_files.h"
#include "platform/read_ahead.h"

class Display;
struct HeaderCounters;

/// One source file read through a large buffer; positions are 64-bit.
class SourceFile {
 public:
  explicit SourceFile(size_t bufferSize);
  SourceFile(const SourceFile&) = delete;
  SourceFile& operator=(const SourceFile&) = delete;
  ~SourceFile();
  /// Opens for reading and measures the size; false with errno set on failure.
  bool open(const std::string& path);
  void close();
  bool isOpen() const { return fd_ >= 0; }
  /// The file that `open` is likely to be asked for after this one ("" for none): once the
  /// buffer reaches this file's end, its first buffer is read ahead, and `open` takes it when
  /// it opens the same file, unchanged.
  void readNextAhead(const std::string& path);
  /// Whether the last open found something that is not a regular file (a FIFO, a device, a
  /// directory) and refused it.
  bool refusedNotRegular() const { return refusedNotRegular_; }
  uint64_t size() const { return size_; }
  uint64_t position() const { return position_; }
  /// Reads up to n bytes; answers the count (short only at the end of the file or on error).
  size_t read(uint8_t* destination, size_t n);
  /// The next n bytes where they lie in the read buffer, valid until the next read, view, seek
  /// or search; null (nothing read) when they straddle the buffer's or the file's end.
  const uint8_t* view(size_t n);
  /// Moves the read position (within the file).
  void seek(uint64_t position);
  /// The position of the first occurrence of the n bytes of `pattern` at `from` or later, or
  /// `notFound`; searched through the read buffer. The read position is kept. A set `stop`
  /// ends the search with `notFound` before the next buffer is read.
  uint64_t find(const uint8_t* pattern, size_t n, uint64_t from,
                const std::atomic<bool>* stop = nullptr);
  static constexpr uint64_t notFound = UINT64_MAX;

 private:
  bool holdsPosition() const {
    return position_ >= bufferStart_ && position_ < bufferStart_ + bufferLength_;
  }
  bool refill();
  bool refillAt(uint64_t start);
  void startReadAhead(uint64_t start);
  void openNextAhead();
  int adoptNextAhead(int fd, const struct stat& info);
  void forgetNextAhead();
  int fd_ = -1;
  bool refusedNotRegular_ = false;
  uint64_t size_ = 0;
  uint64_t position_ = 0;     // read position in the file
  uint64_t bufferStart_ = 0;  // file position of buffer_[0]
  size_t bufferLength_ = 0;
  size_t bufferSize_;
  platform::MappedBytes buffer_;  // pages the reads never reach cost nothing
  platform::ReadAhead readAhead_;           // the next buffer, read while this one is worked through
  // The file expected next, opened and read ahead once this one's last buffer is read.
  std::string nextPath_;
  bool nextTried_ = false;
  bool aheadIsNext_ = false;  // the read ahead reads the next file, not this one
  int nextFd_ = -1;
  uint64_t nextDevice_ = 0, nextInode_ = 0, nextSize_ = 0;
  int64_t nextModified_ = 0;  // nanoseconds
};

/// What the sequence needs from the command line.
struct SourceSettings {
  std::string sourceName;
  int32_t concatenate = 0;  // 0 single file; -1 given without value; else the value
  bool fixdate = false;
  bool analyze = false;
  bool fastDateFix = false;  // /fixdate with /analyze: files read only until a time is found
};

/// The numbered sequence of source files (or the one file) and the output names.
class SourceSequence {
 public:
  /// Each opened file names the display caption and `lastSourceName`; the per-file lines read
  /// and the file opening resets the per-file flags of `headerCounters`.
  /// Every file opened is an input that no output of `outputs` may be.
  SourceSequence(const SourceSettings& settings, Display& display, HeaderCounters& headerCounters,
                 std::string& lastSourceName, platform::OutputFiles& outputs);

  /// Sets up stem, numbers and the first name.
  void prepareSources();
  /// Opens the current name as the next file of the sequence.
  bool openSource();
  /// Opens the first file, ending the program when it is missing.
  void openFirstSource();
  /// Finishes the current file and opens the next; answers whether a source is open.
  bool endSource();

  SourceFile& file() { return file_; }
  bool isOpen() const { return file_.isOpen(); }
  uint64_t inputTotal() const { return inputTotal_; }
  const std::string& currentName() const { return currentName_; }
  const std::string& currentBase() const { return currentBase_; }
  /// Every file opened so far, with its size.
  const std::vector<std::pair<std::string, uint64_t>>& openedFiles() const { return openedFiles_; }

  /// Measures the files of the numbered sequence after the open one, up to the first that is
  /// missing or not a regular file, so that the known total covers them before they are opened.
  void measureAhead();
  /// The files opened so far (the number of the open one).
  int openedCount() const { return opened_; }
  /// The files of the sequence known so far: those opened and those measured ahead.
  int knownFiles() const;
  /// The bytes of the files known so far.
  uint64_t knownBytes() const;
  /// The bytes read over the whole sequence: the files before the open one and its position.
  uint64_t bytesRead() const;

 private:
  std::string numberedName() const;
  void fixFileDate(unsigned hours, unsigned minutes, unsigned seconds);

  const SourceSettings& settings_;
  Display& display_;
  HeaderCounters& headerCounters_;
  std::string& lastSourceName_;
  platform::OutputFiles& outputs_;
  std::string stem_;
  std::string extension_;
  int32_t firstIndex_ = 0;
  int32_t endIndex_ = 1;
  int32_t nextIndex_ = 0;
  int32_t concatenate_ = 0;
  std::string currentName_;
  std::string currentBase_;
  SourceFile file_;
  int opened_ = 0;
  int processed_ = 0;
  uint64_t inputTotal_ = 0;
  std::vector<std::pair<std::string, uint64_t>> openedFiles_;
  // Sizes of the files measured ahead, the first of them numbered aheadFirstIndex_.
  std::vector<uint64_t> aheadSizes_;
  int32_t aheadFirstIndex_ = 0;
  uint32_t fileFirstBatch_ = 0;
  uint32_t fileFirstSecs_ = 0;
  bool fileStatsReady_ = false;
  unsigned nameDate_[6] = {};
};

/// The base name of a path: the text after its last "\" or "/", or after a ":" when it has neither.
std::string baseName(const std::string& path);
/// The default destination: the base name cut before its last ".", then "-cv.out".
std::string destinationNameFor(const std::string& sourceName);
