// dlopen, dlsym and the program's own path.
#include "platform/shared_library.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>

namespace platform {

namespace {

std::string lastLoaderError() {
  const char* text = dlerror();
  return text ? text : "unknown loader error";
}

}  // namespace

SharedLibrary::SharedLibrary(const std::string& path) {
  handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle_) error_ = lastLoaderError();
}

void* SharedLibrary::symbol(const char* name) {
  if (!handle_) return nullptr;
  dlerror();  // a null symbol is told from a missing one by the error state
  void* address = dlsym(handle_, name);
  if (!address) error_ = lastLoaderError();
  return address;
}

std::string executableFolder() {
  char path[PATH_MAX];
  const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) return {};
  const std::string program(path, size_t(length));
  const size_t slash = program.rfind('/');
  if (slash == std::string::npos) return {};
  return slash == 0 ? "/" : program.substr(0, slash);
}

}  // namespace platform
