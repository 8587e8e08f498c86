// The two session history files, "pp-<file>.txt" and "pp-aesa-<file>.txt", and the sink mask
// that chooses which of them the next cells go to. The post-process state owns one; every
// history cell is written through pp_printf on it.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>
#include <utility>

#include "platform/output_files.h"

class HistoryFiles {
 public:
  /// Bits of the sink mask: the history file, the AESA file, and both (the mask at start).
  static constexpr int historySink = 1, aesaSink = 2, bothSinks = 15;

  /// No file open yet: writing goes nowhere. The files are created through `outputs`.
  explicit HistoryFiles(platform::OutputFiles& outputs) : outputs_(outputs) {}
  /// Takes two files already open (a null handle: that file is not open).
  HistoryFiles(platform::OutputFiles& outputs, platform::OutputFile history, platform::OutputFile aesa)
      : outputs_(outputs), history_(std::move(history)), aesa_(std::move(aesa)) {}
  HistoryFiles(const HistoryFiles&) = delete;
  HistoryFiles& operator=(const HistoryFiles&) = delete;

  /// Creates the history file; false (and nothing open) when it cannot be created.
  bool openHistory(const std::string& name) { return open(history_, name); }
  /// Creates the AESA file; false (and nothing open) when it cannot be created.
  bool openAesa(const std::string& name) { return open(aesa_, name); }
  /// Whether the history file is open.
  bool historyOpen() const { return bool(history_); }
  /// Flushes the history file, when open.
  void flushHistory();

  void setMask(int mask) { mask_ = mask; }
  int mask() const { return mask_; }

  /// Formats into the history file when bit 0 of the mask is set and into the AESA file when
  /// bit 1 is set; a file that is not open is skipped.
  void vprint(const char* format, va_list args);

 private:
  bool open(platform::OutputFile& file, const std::string& name);

  platform::OutputFiles& outputs_;
  platform::OutputFile history_;
  platform::OutputFile aesa_;
  int mask_ = bothSinks;
};

/// The two-file writer: HistoryFiles::vprint with printf arguments.
// NOLINTNEXTLINE(readability-identifier-naming): the two-file writer keeps its documented name
void pp_printf(HistoryFiles& files, const char* format, ...) __attribute__((format(printf, 2, 3)));
