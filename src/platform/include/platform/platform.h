// The few places that touch the operating system.
#pragma once

#include <atomic>
#include <cstdio>
#include <functional>
#include <thread>

namespace platform {

/// Installs the handlers of Ctrl+C, SIGTERM and SIGHUP: each writes "[Ctrl]+C", "[SIGTERM]" or
/// "[SIGHUP]" on standard output and sets `stop`; a second signal ends the process at once.
/// SIGXFSZ is ignored, so a file size limit shows as a failed write. Other signals keep their
/// default action.
void installInterruptHandler(std::atomic<bool>* stop);

/// A thread that takes no signals, so that Ctrl+C, SIGTERM and SIGHUP always reach the thread
/// that runs the conversion (and a signal sent twice at once is still one request to stop).
std::thread startWorkerThread(std::function<void()> work);

/// The exit status a stop signal asks for: 128 + the signal for SIGTERM and SIGHUP, 0 otherwise.
int stopExitStatus();
/// The number of the first stop signal received, 0 before any.
int stopSignal();

/// Local calendar time of the machine's time zone.
struct LocalTime {
  int year, month, day, hour, minute, second;
};

/// Sets the file's modification time to the local time (the access time is left alone);
/// answers false when the file cannot be opened for writing or the time does not convert.
bool setFileTime(const char* path, const LocalTime& when);

/// Answers whether the stream is a terminal.
bool isTerminal(std::FILE* stream);

/// The width of the terminal the stream writes to, in columns; 0 when it cannot be told.
unsigned terminalColumns(std::FILE* stream);

/// Tells the stop-signal handler whether a status line stands on the terminal of standard
/// error; while it does, the handler clears it ("\r\033[K") before its own text.
void setStatusLineShown(bool shown);

/// Answers whether the two paths name one file (same device and inode); false when either
/// does not exist.
bool sameFile(const char* first, const char* second);

}  // namespace platform
