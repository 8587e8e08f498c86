// The few places that touch the operating system.
#pragma once

#include <atomic>
#include <cstdio>

namespace platform {

/// Installs the Ctrl+C handler: it writes "[Ctrl]+C" on standard output and sets `stop`.
/// Every other signal keeps its default action.
void installInterruptHandler(std::atomic<bool>* stop);

/// Local calendar time of the machine's time zone.
struct LocalTime {
  int year, month, day, hour, minute, second;
};

/// Sets the file's modification time to the local time (the access time is left alone);
/// answers false when the file cannot be opened for writing or the time does not convert.
bool setFileTime(const char* path, const LocalTime& when);

/// Answers whether the stream is a terminal.
bool isTerminal(std::FILE* stream);

/// Answers whether the two paths name one file (same device and inode); false when either
/// does not exist.
bool sameFile(const char* first, const char* second);

}  // namespace platform
