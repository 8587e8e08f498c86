// Set-up shared by the libFuzzer targets of fuzz_inputs.h: messages are formatted (their texts
// take bytes from the data) and dropped, an F message ends the input by an exception, and the
// files the products write under relative names ("pp-fuzz.txt", "track-fuzz.gpx", ...) go into
// a private temporary folder that is removed at exit. The targets link with --wrap=fopen, so
// the products' fopen calls come here; every other name is opened as given.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "commandline/messages.h"
#include "scratch_folder.h"

extern "C" FILE* __real_fopen(const char* path, const char* mode);
extern "C" FILE* __real_fopen64(const char* path, const char* mode);

namespace {

std::string& scratchFolder() {
  static std::string folder;
  return folder;
}

void removeScratchFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(scratchFolder(), ignored);
}

// A product file of the fuzz inputs: a relative name carrying the destination name "fuzz".
bool isProductFile(const char* path) {
  return path && path[0] != '/' && std::strstr(path, "-fuzz.") != nullptr && !scratchFolder().empty();
}

}  // namespace

extern "C" FILE* __wrap_fopen(const char* path, const char* mode) {
  if (isProductFile(path)) return __real_fopen((scratchFolder() + "/" + path).c_str(), mode);
  return __real_fopen(path, mode);
}

extern "C" FILE* __wrap_fopen64(const char* path, const char* mode) {
  if (isProductFile(path)) return __real_fopen64((scratchFolder() + "/" + path).c_str(), mode);
  return __real_fopen64(path, mode);
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
