// The status line kept at the bottom of the terminal while a conversion reads its sources.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

/// Where the reading stands: the file of the sequence and the bytes read of those known.
struct ProgressCounts {
  int fileNumber = 0;       // of the sequence, from 1
  int fileCount = 0;        // files of the sequence known so far
  uint64_t bytesRead = 0;   // over the whole sequence
  uint64_t bytesKnown = 0;  // sizes of the files known so far
};

/// The status line for `counts` after `seconds` of reading, cut to `columns` - 1 characters so
/// that it never wraps (0: not cut), e.g.
/// "file 2/3  1536.0/3072.0 MiB  50%  512.0 MiB/s  0:03 left".
std::string progressText(const ProgressCounts& counts, double seconds, unsigned columns);

/// The status line: drawn at most four times a second while the scan ticks, cleared before any
/// message is written and when the reading ends. Off until started.
class ProgressLine {
 public:
  using Counts = std::function<ProgressCounts()>;
  using Clock = std::function<double()>;  // seconds, monotonic
  using Writer = std::function<void(const std::string&)>;

  /// The clock is looked at once every this many ticks (a tick is one block or header).
  static constexpr uint32_t ticksPerLook = 1024;
  /// The shortest time between two drawings, in seconds.
  static constexpr double redrawInterval = 0.25;

  ProgressLine() = default;
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;
  ~ProgressLine() { finish(); }

  /// Whether a line is kept: standard error is a terminal and information messages are shown
  /// (not quieted with //q).
  static bool wanted();
  /// Starts keeping the line on standard error, as wide as its terminal.
  void startOnTerminal(Counts counts);
  /// Starts keeping the line with the given parts; the first drawing waits one redraw interval.
  /// From here until finish, every message first clears the line.
  void start(Counts counts, Clock clock, Writer writer, unsigned columns);

  /// One step of the scan: cheap, it only counts, and now and then looks at the clock.
  void tick() {
    if (active_ && ++ticks_ >= ticksPerLook) look();
  }
  /// Removes the line from the terminal when it is shown (it comes back at the next drawing).
  void clear();
  /// Clears the line and stops keeping it.
  void finish();

  bool active() const { return active_; }
  bool shown() const { return shown_; }

 private:
  void look();
  Counts counts_;
  Clock clock_;
  Writer writer_;
  unsigned columns_ = 0;
  bool active_ = false;
  bool shown_ = false;
  uint32_t ticks_ = 0;
  double startTime_ = 0;
  double lastDrawing_ = 0;
};
