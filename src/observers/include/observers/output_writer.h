// The destination file: completed flows written as records, cut back to whole records when a
// write fails.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/lendable_bytes.h"
#include "platform/output_files.h"
#include "platform/write_behind.h"

/// Writes completed flows into the destination file as records with a 32-byte header.
class OutputWriter {
 public:
  /// The destination is created through `files`.
  explicit OutputWriter(platform::OutputFiles& files);
  OutputWriter(const OutputWriter&) = delete;
  OutputWriter& operator=(const OutputWriter&) = delete;
  ~OutputWriter();
  /// Opens (replacing) the destination; false with errno set on failure.
  bool open(const std::string& path);
  bool isOpen() const { return bool(file_); }
  /// Flushes and answers the destination's size so far (0 without a destination).
  uint64_t outputPosition();
  /// Writes `length` bytes in one write; reports a failed or short write once (E).
  bool write(const uint8_t* bytes, size_t length);
  /// As write, for bytes that lie in `owner`'s storage: the writer borrows them instead of
  /// copying where it writes behind the run (see takesLoans); null `owner`: copied.
  bool write(const uint8_t* bytes, size_t length, std::shared_ptr<platform::LendableBytes> owner);
  /// Whether a record of `length` bytes is better lent than copied: the destination is
  /// written behind the run and the record is large.
  bool takesLoans(size_t length) const { return file_ && writer_.overlapped() && length >= loanMinimum; }
  static constexpr size_t loanMinimum = 16384;
  /// Current write position (0 without a destination).
  uint64_t position() const { return written_; }
  /// Flushes and closes; a failure is reported as a write error (once).
  void close();
  /// Stops writing at once, before the process ends and the destination is discarded.
  void abandon() { writer_.abandon(); }
  /// Answers whether a write failed; the file was then cut back to its whole records and closed.
  bool failed() const { return failureReported_; }
 private:
  void reportFailure();
  bool flush();
  bool forgetWrittenEnds();
  void cutToWholeRecords(int descriptor);
  platform::OutputFiles& files_;
  platform::OutputFile file_;
  std::string path_;
  platform::WriteBehind writer_;
  uint64_t written_ = 0;
  uint64_t onDisk_ = 0;                 // bytes known to be written by the last flush
  std::vector<uint64_t> pendingEnds_;   // record ends since then
  bool failureReported_ = false;
};
