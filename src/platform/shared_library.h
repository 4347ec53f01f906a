// A library loaded at run time (dlopen), for the optional parts that should
// not be mapped at every start. It is found as the dynamic loader finds any
// library and never unloaded: handlers and threads it set up may outlive
// any one user.
#pragma once

#include <string>

namespace dvrlink {

class SharedLibrary {
 public:
  // Loads `file` (such as "libpq.so.5"); `package` is the Debian package
  // that installs it, named in Problem(). Never throws.
  SharedLibrary(const char* file, const char* package);

  // Sets `function` to the library's symbol `name`; nullptr when the library
  // is not loaded or lacks it (then named in Problem()).
  template <typename Function>
  void Resolve(const char* name, Function& function) {
    function = reinterpret_cast<Function>(Symbol(name));
  }

  // Empty when the library is loaded and had every symbol resolved so far;
  // else "FILE cannot be loaded (Debian package P): <loader's reason>" or
  // "FILE lacks A, B (too old; Debian package P)".
  std::string Problem() const;

 private:
  void* Symbol(const char* name);

  std::string file_;
  std::string package_;
  void* handle_ = nullptr;  // not owned: never closed
  std::string load_error_;
  std::string missing_;
};

}  // namespace dvrlink
