// The message module: one process-wide instance, with seams for tests.
#include "commandline/messages.h"

#include <semaphore.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <thread>
#include <utility>

namespace msg {
namespace {

constexpr char levelLetters[] = "DiiISWEFQX";
constexpr int levelCount = 10;

struct Module {
  std::optional<std::string> programName;
  int threshold = 4;
  bool redirect = false;
  std::optional<std::string> contextText;
  long long contextNumber = 0;
  unsigned counters[levelCount] = {};
  int storedStatus = 0;
  int resultMask = 0;
  int autoSummary = 0;
  std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
  Sink sink;
  ExitHandler exitHandler;
  std::function<void()> beforeText;
};

Module& module() {
  static Module instance;
  return instance;
}

int clampLevel(int level) { return level < 0 ? 0 : (level >= levelCount ? levelCount - 1 : level); }

// Console text attributes of the levels, as ANSI sequences (grey is the terminal's default).
const char* colourFor(int level) {
  switch (level) {
    case S: return "\x1b[1;37m";
    case W: return "\x1b[1;33m";
    case E: case F: case Q: return "\x1b[1;31m";
    default: return nullptr;
  }
}

// Whether messages to the stream are coloured: a terminal, and NO_COLOR not set (set to anything
// turns the colours off, https://no-color.org). Asked once for each standard stream, whose
// answer does not change during a run, instead of a system call per message.
bool coloured(FILE* stream) {
  int fd = fileno(stream);
  auto ask = [fd] { return isatty(fd) && std::getenv("NO_COLOR") == nullptr; };
  static signed char known[3] = {-1, -1, -1};
  if (fd < 0 || fd > 2) return ask();
  if (known[fd] < 0) known[fd] = ask() ? 1 : 0;
  return known[fd] == 1;
}

void emit(FILE* stream, const std::string& text, int level) {
  Module& m = module();
  if (m.beforeText) m.beforeText();
  if (m.sink) {
    m.sink(stream, text);
    return;
  }
  const char* colour = coloured(stream) ? colourFor(level) : nullptr;
  if (colour) std::fputs(colour, stream);
  std::fwrite(text.data(), 1, text.size(), stream);
  if (colour) std::fputs("\x1b[0m", stream);
  std::fflush(stream);
}

[[noreturn]] void endProcess(int status) {
  Module& m = module();
  if (m.exitHandler) m.exitHandler(status);
  std::exit(status);
}

void exitTimeSummary() {
  if (module().autoSummary == 1) summary(nullptr, result_code());
}

// Appends the formatted text to `line`; answers its length (0 when the format fails).
size_t appendFormatted(std::string& line, const char* fmt, va_list args) {
  va_list copy;
  va_copy(copy, args);
  char small[512];
  int n = std::vsnprintf(small, sizeof small, fmt, copy);
  va_end(copy);
  if (n < 0) return 0;
  if (static_cast<size_t>(n) < sizeof small) {
    line.append(small, static_cast<size_t>(n));
  } else {
    size_t at = line.size();
    line.resize(at + static_cast<size_t>(n) + 1);
    std::vsnprintf(line.data() + at, static_cast<size_t>(n) + 1, fmt, args);
    line.resize(at + static_cast<size_t>(n));
  }
  return static_cast<size_t>(n);
}

void appendNumber(std::string& line, long long number) {
  char digits[24];
  int n = std::snprintf(digits, sizeof digits, "%lld", number);
  line.append(digits, static_cast<size_t>(n));
}

// The line is built in one buffer: a message costs one allocation, not one per piece.
int write(int level, bool withSystemError, const char* fmt, va_list args) {
  int savedErrno = errno;
  Module& m = module();
  m.counters[clampLevel(level)]++;
  if (level < m.threshold) return 0;
  std::string line;
  line.reserve(160);
  if (m.programName) line += *m.programName;
  line += '-';
  line += levelLetters[clampLevel(level)];
  if (m.contextText) {
    line += '[';
    line += *m.contextText;
    if (m.contextNumber != 0) {
      line += ':';
      appendNumber(line, m.contextNumber);
    }
    line += ']';
  }
  line += ": ";
  int length = static_cast<int>(appendFormatted(line, fmt, args));
  if (withSystemError) {
    line += " -- ";
    line += std::strerror(savedErrno);
    line += " (";
    appendNumber(line, savedErrno);
    line += ')';
  }
  if (level != Q) line += '\n';
  emit(stream_for(level), line, level);
  if (level == F) endProcess(1);
  return length;
}

}  // namespace

void init(const char* programName, int threshold) {
  Module& m = module();
  if (programName) m.programName = programName;
  m.threshold = threshold > 8 ? 8 : threshold;
  m.start = std::chrono::steady_clock::now();
  m.autoSummary = 1;
  static bool registered = false;
  if (!registered) {
    registered = true;
    std::atexit(exitTimeSummary);
  }
}

int vlog(int level, const char* fmt, va_list args) { return write(level, false, fmt, args); }

int log(int level, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  int n = write(level, false, fmt, args);
  va_end(args);
  return n;
}

int logSysError(int level, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  int n = write(level, true, fmt, args);
  va_end(args);
  return n;
}

#define TARSEL_LEVEL_WRITER(function, level, withError) \
  int function(const char* fmt, ...) {                  \
    va_list args;                                       \
    va_start(args, fmt);                                \
    int n = write(level, withError, fmt, args);         \
    va_end(args);                                       \
    return n;                                           \
  }
TARSEL_LEVEL_WRITER(debug, D, false)
TARSEL_LEVEL_WRITER(detail1, I1, false)
TARSEL_LEVEL_WRITER(detail2, I2, false)
TARSEL_LEVEL_WRITER(info, I, false)
TARSEL_LEVEL_WRITER(summaryLine, S, false)
TARSEL_LEVEL_WRITER(warning, W, false)
TARSEL_LEVEL_WRITER(error, E, false)
TARSEL_LEVEL_WRITER(fatal, F, false)
TARSEL_LEVEL_WRITER(fatalSysError, F, true)
#undef TARSEL_LEVEL_WRITER

void set_context(const char* text) {
  Module& m = module();
  if (text) m.contextText = text;
  else m.contextText.reset();
  m.contextNumber = 0;
}

void set_context_number(long long number) { module().contextNumber = number; }
long long context_number() { return module().contextNumber; }
long long& context_number_slot() { return module().contextNumber; }

const char* context(long long* number) {
  Module& m = module();
  if (number) *number = m.contextNumber;
  return m.contextText ? m.contextText->c_str() : nullptr;
}

int set_threshold(int n) {
  Module& m = module();
  int previous = m.threshold;
  m.threshold = n > 8 ? 8 : n;
  return previous;
}

int threshold() { return module().threshold; }
void set_redirect(bool toStdout) { module().redirect = toStdout; }
bool redirect() { return module().redirect; }
void set_result_mask(int mask) { module().resultMask = mask; }
void set_auto_summary(int flag) { module().autoSummary = flag; }

const char* program_name() {
  Module& m = module();
  return m.programName ? m.programName->c_str() : nullptr;
}

FILE* stream_for(int) { return module().redirect ? stdout : stderr; }

unsigned counter(int level) { return module().counters[clampLevel(level)]; }

void summary(const char* name, int code) {
  Module& m = module();
  if (!name) name = "Done";
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now() - m.start).count();
  int seconds = static_cast<int>((ms + 500) / 1000);
  unsigned fails = m.counters[F], errors = m.counters[E], warnings = m.counters[W];
  if (fails || errors || warnings) {
    log(W, "%s (%d). %d fail(s), %d error(s), %d warning(s). %d sec elapsed\n", name, code,
        static_cast<int>(fails), static_cast<int>(errors), static_cast<int>(warnings), seconds);
    m.threshold = 6;
  } else {
    log(S, "%s (%d). %d sec elapsed", name, code, seconds);
  }
}

int result_code() {
  Module& m = module();
  if (m.counters[F]) return 20;
  if (m.counters[E] && m.resultMask <= 6) return 10;
  if (m.counters[W] && m.resultMask <= 5) return 1;
  return m.storedStatus;
}

void exit_with(int status) {
  Module& m = module();
  m.storedStatus = status;
  if (m.autoSummary != 1) summary(nullptr, result_code());
  endProcess(status);
}

void setSink(Sink sink) { module().sink = std::move(sink); }
ExitHandler setExitHandler(ExitHandler handler) {
  return std::exchange(module().exitHandler, std::move(handler));
}
void setBeforeText(std::function<void()> hook) { module().beforeText = std::move(hook); }

void reset() {
  Module& m = module();
  Sink sink = std::move(m.sink);
  ExitHandler handler = std::move(m.exitHandler);
  std::function<void()> beforeText = std::move(m.beforeText);
  m = Module{};
  m.sink = std::move(sink);
  m.exitHandler = std::move(handler);
  m.beforeText = std::move(beforeText);
}

}  // namespace msg

// ---- loggers ----

void QuillLogger::log(int level, const char* format, ...) {
  if (!hasOwnVlog()) return;
  va_list args;
  va_start(args, format);
  vlog(level, format, args);
  va_end(args);
}

void QuillLogger::vlog(int, const char*, va_list) {}

int QuillLoggerCmdio::mapLevel(int level) {
  switch (level) {
    case 0: case 1: return msg::D;
    case 2: return msg::I;
    case 3: return msg::S;
    case 4: return msg::I;
    case 5: case 6: case 7: return msg::E;
    default: return msg::I;
  }
}

void QuillLoggerCmdio::vlog(int level, const char* format, va_list args) {
  int mapped = mapLevel(level);
  char buffer[2048];
  std::vsnprintf(buffer, sizeof buffer, format, args);
  if (mapped == msg::E && standby_ && *standby_) return;
  msg::log(mapped, "PP: %s", buffer);
}

namespace {
QuillLogger* installedLogger = nullptr;
}  // namespace

QuillLogger& base_logger() {
  static QuillLogger instance;
  return instance;
}

QuillLoggerCmdio& cmdio_logger() {
  static QuillLoggerCmdio instance;
  return instance;
}

QuillLogger& current_logger() { return installedLogger ? *installedLogger : base_logger(); }
void install_logger(QuillLogger* logger) { installedLogger = logger; }

// ---- batch timer ----

namespace {
std::atomic<bool> batchClockRunning{false};
std::atomic<int> batchDownCounter{0};

// Signals of the named event mark the batch clock as running and count down; nothing in this
// program waits for the result, so the thread is detached and never holds up the exit.
void batchTimerLoop(sem_t* named) {
  while (true) {
    if (sem_wait(named) != 0) {
      if (errno == EINTR) continue;
      return;
    }
    batchClockRunning = true;
    batchDownCounter--;
  }
}
}  // namespace

void start_batch_timer() {
  static bool started = false;
  if (started) return;
  started = true;
  sem_t* named = sem_open("/QUILL_TM_BATCH", O_CREAT, 0666, 0);
  if (named == SEM_FAILED) return;
  std::thread(batchTimerLoop, named).detach();
}
