#include "history_files.h"

bool HistoryFiles::open(platform::OutputFile& file, const std::string& name) {
  file = outputs_.open(name, "w");
  return bool(file);
}

void HistoryFiles::flushHistory() {
  if (history_) {
    std::fflush(history_.get());
    history_.check();
  }
}

void HistoryFiles::vprint(const char* format, va_list args) {
  if ((mask_ & historySink) && history_) {
    va_list copy;
    va_copy(copy, args);
    std::vfprintf(history_.get(), format, copy);
    va_end(copy);
    history_.check();
  }
  if ((mask_ & aesaSink) && aesa_) {
    std::vfprintf(aesa_.get(), format, args);
    aesa_.check();
  }
}

// NOLINTNEXTLINE(readability-identifier-naming)
void pp_printf(HistoryFiles& files, const char* format, ...) {
  va_list args;
  va_start(args, format);
  files.vprint(format, args);
  va_end(args);
}
