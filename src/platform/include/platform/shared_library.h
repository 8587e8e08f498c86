// Shared libraries opened while the program runs, and the folder the program was started from.
#pragma once

#include <string>

namespace platform {

/// A shared library opened with dlopen (every symbol resolved at once, none made visible to
/// other libraries). It stays loaded until the process ends: code and objects it made may still
/// be in use when the owner goes away.
class SharedLibrary {
 public:
  /// Opens `path`; when that fails the library is empty and error() tells why.
  explicit SharedLibrary(const std::string& path);

  explicit operator bool() const { return handle_ != nullptr; }
  /// The address of `name` in the library; null when it has no such symbol (error() tells why).
  void* symbol(const char* name);
  /// The loader's text for the last failure ("FILE: cannot open shared object file: ..."),
  /// empty when nothing failed.
  const std::string& error() const { return error_; }

 private:
  void* handle_ = nullptr;
  std::string error_;
};

/// The folder holding the running program (from /proc/self/exe, links resolved), without a
/// trailing "/" ("/" itself at the root); empty when the system cannot tell.
std::string executableFolder();

}  // namespace platform
