#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/platform.h"

namespace platform {

bool isTerminal(std::FILE* stream) { return ::isatty(::fileno(stream)) == 1; }

unsigned terminalColumns(std::FILE* stream) {
  struct winsize size {};
  if (::ioctl(::fileno(stream), TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col;
}

bool sameFile(const char* first, const char* second) {
  struct stat a {}, b {};
  if (::stat(first, &a) != 0 || ::stat(second, &b) != 0) return false;
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace platform
