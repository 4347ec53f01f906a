#include "platform/shared_library.h"

#include <dlfcn.h>

namespace dvrlink {

SharedLibrary::SharedLibrary(const char* file, const char* package)
    : file_(file), package_(package), handle_(::dlopen(file, RTLD_NOW | RTLD_LOCAL)) {
  if (handle_ == nullptr) {
    const char* reason = ::dlerror();
    load_error_ = reason != nullptr ? reason : "unknown reason";
  }
}

void* SharedLibrary::Symbol(const char* name) {
  if (handle_ == nullptr) return nullptr;
  void* symbol = ::dlsym(handle_, name);
  if (symbol == nullptr) missing_ += (missing_.empty() ? "" : ", ") + std::string(name);
  return symbol;
}

std::string SharedLibrary::Problem() const {
  if (handle_ == nullptr) return file_ + " cannot be loaded (Debian package " + package_ + "): " + load_error_;
  if (!missing_.empty()) return file_ + " lacks " + missing_ + " (too old; Debian package " + package_ + ")";
  return std::string();
}

}  // namespace dvrlink
