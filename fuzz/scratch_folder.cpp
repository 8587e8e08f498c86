// Set-up shared by the libFuzzer targets: messages are formatted (their texts take bytes from
// the data) and dropped, an F message ends the input by an exception, and the files the inputs
// write under relative names go into a private temporary folder that is removed at exit: the
// products of the parser targets ("pp-fuzz.txt", "track-fuzz.gpx", ...), and the recording, the
// destination and every product of the conversion target (conversion_run.h: all carry the
// recording's name, or are "header_in.txt"). The targets link with --wrap for fopen, open,
// remove and avio_open, so those calls come here; every other name is used as given (libFuzzer's
// own files among them).
#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdarg>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "commandline/messages.h"
#include "scratch_folder.h"

extern "C" FILE* __real_fopen(const char* path, const char* mode);
extern "C" FILE* __real_fopen64(const char* path, const char* mode);
extern "C" int __real_open(const char* path, int flags, ...);
extern "C" int __real_open64(const char* path, int flags, ...);
extern "C" int __real_remove(const char* path);
struct AVIOContext;
extern "C" int __real_avio_open(AVIOContext** context, const char* url, int flags);

namespace {

std::string& scratchFolder() {
  static std::string folder;
  return folder;
}

void removeScratchFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(scratchFolder(), ignored);
}

// A file of the fuzz inputs: a relative name carrying the destination name "fuzz" or the
// conversion's recording name, or the conversion's header summary.
bool isInputFile(const char* path) {
  if (!path || path[0] == '/' || scratchFolder().empty()) return false;
  return std::strstr(path, "-fuzz.") != nullptr || std::strstr(path, "_19-05-17-10-30-00_") != nullptr ||
         std::strcmp(path, "header_in.txt") == 0;
}

// The name to use for `path`: in the scratch folder for a file of the fuzz inputs. `held`
// keeps the longer name alive for the call.
const char* placed(const char* path, std::string& held) {
  if (!isInputFile(path)) return path;
  held = scratchFolder() + "/" + path;
  return held.c_str();
}

mode_t modeArgument(int flags, va_list arguments) {
  return (flags & (O_CREAT | O_TMPFILE)) ? static_cast<mode_t>(va_arg(arguments, int)) : 0;
}

}  // namespace

extern "C" FILE* __wrap_fopen(const char* path, const char* mode) {
  std::string held;
  return __real_fopen(placed(path, held), mode);
}

extern "C" FILE* __wrap_fopen64(const char* path, const char* mode) {
  std::string held;
  return __real_fopen64(placed(path, held), mode);
}

extern "C" int __wrap_open(const char* path, int flags, ...) {
  va_list arguments;
  va_start(arguments, flags);
  mode_t mode = modeArgument(flags, arguments);
  va_end(arguments);
  std::string held;
  return __real_open(placed(path, held), flags, mode);
}

extern "C" int __wrap_open64(const char* path, int flags, ...) {
  va_list arguments;
  va_start(arguments, flags);
  mode_t mode = modeArgument(flags, arguments);
  va_end(arguments);
  std::string held;
  return __real_open64(placed(path, held), flags, mode);
}

extern "C" int __wrap_remove(const char* path) {
  std::string held;
  return __real_remove(placed(path, held));
}

extern "C" int __wrap_avio_open(AVIOContext** context, const char* url, int flags) {
  std::string held;
  return __real_avio_open(context, placed(url, held), flags);
}

namespace fuzzing {

void setUpOnce() {
  static bool done = [] {
    // In memory where there is a tmpfs: truncating a file on disk at every input can block.
    std::string pattern = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
    pattern += "/tarsel-fuzz-XXXXXX";
    if (!mkdtemp(pattern.data())) std::abort();
    scratchFolder() = pattern;
    std::atexit(removeScratchFolder);
    msg::setSink([](FILE*, const std::string&) {});
    msg::setExitHandler([](int status) { throw RunEnded{status}; });
    return true;
  }();
  (void)done;
}

void startInput() {
  setUpOnce();
  msg::reset();
  msg::init("tarsel", 0);
}

}  // namespace fuzzing
