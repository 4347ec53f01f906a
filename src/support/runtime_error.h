// The run-time error of the component: an error number and description in the
// numbering of the automation platform the component was written for, plus the
// source line where it was raised. Every procedure that handles errors catches
// this type and hands number, description and line to LogError.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace dvrlink {

// Error numbers the component and its stand-ins raise.
enum ErrorNumber : int32_t {
  kErrInvalidCall = 5,       // "Invalid procedure call or argument"
  kErrOverflow = 6,          // "Overflow"
  kErrSubscript = 9,         // "Subscript out of range"
  kErrTypeMismatch = 13,     // "Type mismatch"
  kErrObjectNotSet = 91,     // "Object variable or With block variable not set"
  kErrCantCreate = 429,      // "ActiveX component can't create object"
  kErrNoMember = 438,        // "Object doesn't support this property or method"
  kErrWrongArgs = 450,       // "Wrong number of arguments or invalid property assignment"
};

// The platform's standard description of a number above; empty for others.
std::string StandardDescription(int32_t number);

class RuntimeError : public std::runtime_error {
 public:
  RuntimeError(int32_t number, std::string description, int32_t line);

  int32_t Number() const { return number_; }
  const std::string& Description() const { return description_; }
  // Source line of the statement that raised the error; 0 when unknown.
  int32_t Line() const { return line_; }

 private:
  int32_t number_;
  std::string description_;
  int32_t line_;
};

// Throws RuntimeError. The description defaults to the standard text.
[[noreturn]] void Raise(int32_t number, int32_t line);
[[noreturn]] void Raise(int32_t number, const std::string& description, int32_t line);

}  // namespace dvrlink

// Raise at the current source line.
#define DVR_RAISE(number) ::dvrlink::Raise((number), __LINE__)
#define DVR_RAISE_TEXT(number, text) ::dvrlink::Raise((number), (text), __LINE__)
