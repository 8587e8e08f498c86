#include "platform/platform.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <ctime>
#include <utility>

namespace platform {
namespace {

std::atomic<bool>* stopFlag = nullptr;
volatile std::sig_atomic_t stopSignalNumber = 0;
volatile std::sig_atomic_t statusLineShown = 0;

volatile std::sig_atomic_t firstSender = 0;
volatile std::sig_atomic_t firstCode = 0;
struct timespec firstAt {};

// A supervisor such as timeout(1) sends its signal to the program and to its process group at
// once: the copy that arrives within a few milliseconds from the same sender is the same request.
bool sameRequest(int signal, const siginfo_t* info) {
  struct timespec now {};
  if (info == nullptr || signal != stopSignalNumber || info->si_pid != firstSender ||
      info->si_code != firstCode || ::clock_gettime(CLOCK_MONOTONIC, &now) != 0)
    return false;
  long long elapsed = (now.tv_sec - firstAt.tv_sec) * 1000000000LL + (now.tv_nsec - firstAt.tv_nsec);
  return elapsed >= 0 && elapsed < 50000000LL;  // 50 ms
}

// Only async-signal-safe calls here. The first signal asks the run to end normally; a second
// one while it ends takes the default action at once.
void onStopSignal(int signal, siginfo_t* info, void*) {
  if (stopSignalNumber != 0) {
    if (sameRequest(signal, info)) return;
    std::signal(signal, SIG_DFL);
    std::raise(signal);
    return;
  }
  firstSender = info ? info->si_pid : 0;
  firstCode = info ? info->si_code : 0;
  ::clock_gettime(CLOCK_MONOTONIC, &firstAt);
  stopSignalNumber = signal;
  static const char ctrlC[] = "[Ctrl]+C\n";
  static const char term[] = "[SIGTERM]\n";
  static const char hangUp[] = "[SIGHUP]\n";
  const char* text = signal == SIGTERM ? term : signal == SIGHUP ? hangUp : ctrlC;
  size_t length = signal == SIGTERM ? sizeof term - 1 : signal == SIGHUP ? sizeof hangUp - 1
                                                                        : sizeof ctrlC - 1;
  static const char clearLine[] = "\r\033[K";
  ssize_t ignored = 0;
  if (statusLineShown) {
    statusLineShown = 0;
    ignored = ::write(STDERR_FILENO, clearLine, sizeof clearLine - 1);
  }
  ignored = ::write(STDOUT_FILENO, text, length);
  (void)ignored;
  if (stopFlag) stopFlag->store(true);
}

}  // namespace

void installInterruptHandler(std::atomic<bool>* stop) {
  stopFlag = stop;
  struct sigaction action {};
  action.sa_sigaction = onStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART | SA_SIGINFO;
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
  // A file size limit makes writes fail with EFBIG instead of killing the process.
  std::signal(SIGXFSZ, SIG_IGN);
}

std::thread startWorkerThread(std::function<void()> work) {
  sigset_t all;
  sigset_t previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);  // the new thread inherits the mask
  std::thread thread(std::move(work));
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return thread;
}

void setStatusLineShown(bool shown) { statusLineShown = shown ? 1 : 0; }

int stopSignal() { return stopSignalNumber; }

int stopExitStatus() {
  int signal = stopSignalNumber;
  return signal == SIGTERM || signal == SIGHUP ? 128 + signal : 0;
}

bool setFileTime(const char* path, const LocalTime& when) {
  int fd = ::open(path, O_WRONLY);  // existing files only
  if (fd < 0) return false;
  std::tm local{};
  local.tm_year = when.year - 1900;
  local.tm_mon = when.month - 1;
  local.tm_mday = when.day;
  local.tm_hour = when.hour;
  local.tm_min = when.minute;
  local.tm_sec = when.second;
  local.tm_isdst = -1;  // let the C library decide from the zone rules
  std::time_t utc = std::mktime(&local);
  bool done = false;
  if (utc != static_cast<std::time_t>(-1)) {
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;  // access time unchanged
    times[1].tv_sec = utc;
    times[1].tv_nsec = 0;
    done = ::futimens(fd, times) == 0;
  }
  ::close(fd);
  return done;
}

}  // namespace platform
