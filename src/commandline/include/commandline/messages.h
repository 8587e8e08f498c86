// The process-wide message module: levels, prefix, threshold, counters,
// closing summary and result code, plus the loggers the decoder writes through.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <functional>
#include <string>

namespace msg {

/// Message levels; the letters are "DiiISWEFQ".
enum Level : int { D = 0, I1 = 1, I2 = 2, I = 3, S = 4, W = 5, E = 6, F = 7, Q = 8 };

/// Stores the program name and threshold (capped at 8), starts the clock,
/// sets the auto-summary flag and registers the exit-time summary.
void init(const char* programName, int threshold);

/// Writes one message at `level`; answers the length of the formatted text (0 when hidden).
/// An F message that is shown ends the process with status 1 (see setExitHandler).
int log(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
int vlog(int level, const char* format, va_list args);
/// As log, with " -- <system error text> (<errno>)" appended.
int logSysError(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

int debug(const char* format, ...) __attribute__((format(printf, 1, 2)));    ///< D
int detail1(const char* format, ...) __attribute__((format(printf, 1, 2)));  ///< i, level 1
int detail2(const char* format, ...) __attribute__((format(printf, 1, 2)));  ///< i, level 2
int info(const char* format, ...) __attribute__((format(printf, 1, 2)));     ///< I
int summaryLine(const char* format, ...) __attribute__((format(printf, 1, 2)));  ///< S
int warning(const char* format, ...) __attribute__((format(printf, 1, 2)));  ///< W
int error(const char* format, ...) __attribute__((format(printf, 1, 2)));    ///< E
int fatal(const char* format, ...) __attribute__((format(printf, 1, 2)));    ///< F
int fatalSysError(const char* format, ...) __attribute__((format(printf, 1, 2)));  ///< F with system error

/// Replaces the context text with a copy (null clears it) and sets the number to 0.
void set_context(const char* text);
void set_context_number(long long number);
/// The context number itself, for a loop that sets it at every block without a call.
long long& context_number_slot();
/// The context number (a source file position; 64-bit so large files show right).
long long context_number();
/// Answers the context text (null when none) and, when asked, the number.
const char* context(long long* number = nullptr);

/// Stores n capped at 8; answers the previous threshold.
int set_threshold(int n);
int threshold();
void set_redirect(bool toStdout);
bool redirect();
void set_result_mask(int mask);
void set_auto_summary(int flag);
const char* program_name();
/// Standard output when redirected, else standard error.
FILE* stream_for(int level);

/// Counted messages of `level`, shown or hidden.
unsigned counter(int level);

/// Writes the closing summary line ("Done" when name is null).
void summary(const char* name, int code);
/// 20 after F, 10 after E (mask <= 6), 1 after W (mask <= 5), else the stored status.
int result_code();
/// Stores the status, writes the summary unless the auto-summary flag is 1, ends the process.
[[noreturn]] void exit_with(int status);

// Seams for tests.
/// Where the text goes: a sink receives every piece of text with the stream it would
/// have gone to. Null restores the console streams.
using Sink = std::function<void(FILE* stream, const std::string& text)>;
void setSink(Sink sink);
/// Runs before any message text is written, to either stream and also into a sink: a status
/// line kept on the terminal clears itself here. It must not write messages. Null removes it.
void setBeforeText(std::function<void()> hook);
/// What ending the process means: the default calls std::exit. A test handler must not return
/// (it may throw).
using ExitHandler = std::function<void(int status)>;
/// Answers the handler it replaces (null: the default).
ExitHandler setExitHandler(ExitHandler handler);
/// Back to the start values: no name, threshold 4, no redirect, no context, zero counters,
/// status 0, mask 0, auto-summary 0.
void reset();

}  // namespace msg

/// The logger interface the software-data decoder and the post-processing report write through.
class QuillLogger {
 public:
  virtual void log(int level, const char* format, ...) __attribute__((format(printf, 3, 4)));
  virtual void vlog(int level, const char* format, va_list args);
  virtual ~QuillLogger() = default;
  /// Whether vlog was replaced (the base log hands on only to a replaced vlog).
  virtual bool hasOwnVlog() const { return false; }
};

/// Writes "PP: %s" through the message module with the level map; drops E while in standby.
class QuillLoggerCmdio : public QuillLogger {
 public:
  void vlog(int level, const char* format, va_list args) override;
  bool hasOwnVlog() const override { return true; }
  /// The standby flag of the post-process tables (null: never in standby).
  void setStandbyFlag(const bool* flag) { standby_ = flag; }
  /// Logger level -> message level: 0,1 D; 2 I; 3 S; 4 I; 5,6,7 E; else I.
  static int mapLevel(int level);
 private:
  const bool* standby_ = nullptr;
};

QuillLogger& current_logger();
/// Installs a logger; null reinstalls the base instance.
void install_logger(QuillLogger* logger);
QuillLogger& base_logger();
QuillLoggerCmdio& cmdio_logger();

/// Starts the batch-timer thread on the named semaphore "QUILL_TM_BATCH" once; it only
/// consumes signals and never holds up the end of the process.
void start_batch_timer();
