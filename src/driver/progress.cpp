#include "progress.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <utility>

#include "commandline/messages.h"
#include "platform/platform.h"

namespace {

constexpr double mebibyte = 1048576.0;
constexpr char clearLine[] = "\r\033[K";
// Beyond 99:59:59 the time left means nothing.
constexpr double longestTimeLeft = 99 * 3600 + 59 * 60 + 59;

std::string timeLeftText(double seconds) {
  if (!(seconds >= 0) || seconds > longestTimeLeft) return "--:--";
  auto whole = static_cast<unsigned>(std::lround(seconds));
  unsigned hours = whole / 3600, minutes = whole % 3600 / 60, rest = whole % 60;
  char text[16];
  if (hours != 0)
    std::snprintf(text, sizeof text, "%u:%02u:%02u", hours, minutes, rest);
  else
    std::snprintf(text, sizeof text, "%u:%02u", minutes, rest);
  return text;
}

}  // namespace

std::string progressText(const ProgressCounts& counts, double seconds, unsigned columns) {
  // A file that grew after it was measured reads past its size: the figures stop at the total.
  uint64_t read = std::min(counts.bytesRead, counts.bytesKnown);
  int percent = counts.bytesKnown == 0 ? 0 : static_cast<int>(read * 100 / counts.bytesKnown);
  double rate = seconds > 0 ? static_cast<double>(read) / mebibyte / seconds : 0;
  double left = rate > 0 ? static_cast<double>(counts.bytesKnown - read) / mebibyte / rate : -1;
  char text[160];
  std::snprintf(text, sizeof text, "file %d/%d  %.1f/%.1f MiB  %d%%  %.1f MiB/s  %s left",
                counts.fileNumber, std::max(counts.fileCount, counts.fileNumber),
                static_cast<double>(read) / mebibyte,
                static_cast<double>(counts.bytesKnown) / mebibyte, percent, rate,
                timeLeftText(left).c_str());
  std::string line = text;
  if (columns > 1 && line.size() > columns - 1) line.resize(columns - 1);
  return line;
}

bool ProgressLine::wanted() {
  return platform::isTerminal(stderr) && msg::threshold() <= msg::I;
}

void ProgressLine::startOnTerminal(Counts counts) {
  auto clock = [] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
  };
  auto writer = [](const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
  };
  start(std::move(counts), clock, writer, platform::terminalColumns(stderr));
}

void ProgressLine::start(Counts counts, Clock clock, Writer writer, unsigned columns) {
  finish();
  counts_ = std::move(counts);
  clock_ = std::move(clock);
  writer_ = std::move(writer);
  columns_ = columns;
  ticks_ = 0;
  startTime_ = lastDrawing_ = clock_();
  active_ = true;
  msg::setBeforeText([this] { clear(); });
}

void ProgressLine::look() {
  ticks_ = 0;
  double now = clock_();
  if (now - lastDrawing_ < redrawInterval) return;
  lastDrawing_ = now;
  // Shown from before the first byte, so that a stop signal during the drawing clears it too.
  shown_ = true;
  platform::setStatusLineShown(true);
  // Carriage return, the line, then the rest of the row cleared: a shorter line leaves nothing.
  writer_("\r" + progressText(counts_(), now - startTime_, columns_) + "\033[K");
}

void ProgressLine::clear() {
  if (!shown_) return;
  shown_ = false;
  platform::setStatusLineShown(false);
  writer_(clearLine);
}

void ProgressLine::finish() {
  if (!active_) return;
  clear();
  active_ = false;
  msg::setBeforeText(nullptr);
}
