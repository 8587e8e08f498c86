#include "postprocess/history_files.h"

HistoryFiles::~HistoryFiles() {
  if (history_) std::fclose(history_);
  if (aesa_) std::fclose(aesa_);
}

bool HistoryFiles::open(FILE*& file, const std::string& name) {
  file = std::fopen(name.c_str(), "w");
  return file != nullptr;
}

void HistoryFiles::flushHistory() {
  if (history_) std::fflush(history_);
}

void HistoryFiles::vprint(const char* format, va_list args) {
  if ((mask_ & historySink) && history_) {
    va_list copy;
    va_copy(copy, args);
    std::vfprintf(history_, format, copy);
    va_end(copy);
  }
  if ((mask_ & aesaSink) && aesa_) std::vfprintf(aesa_, format, args);
}

// NOLINTNEXTLINE(readability-identifier-naming)
void pp_printf(HistoryFiles& files, const char* format, ...) {
  va_list args;
  va_start(args, format);
  files.vprint(format, args);
  va_end(args);
}
