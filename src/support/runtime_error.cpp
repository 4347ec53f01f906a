#include "support/runtime_error.h"

#include <utility>

namespace dvrlink {

std::string StandardDescription(int32_t number) {
  switch (number) {
    case kErrInvalidCall:
      return "Invalid procedure call or argument";
    case kErrOverflow:
      return "Overflow";
    case kErrSubscript:
      return "Subscript out of range";
    case kErrTypeMismatch:
      return "Type mismatch";
    case kErrObjectNotSet:
      return "Object variable or With block variable not set";
    case kErrCantCreate:
      return "ActiveX component can't create object";
    case kErrNoMember:
      return "Object doesn't support this property or method";
    case kErrWrongArgs:
      return "Wrong number of arguments or invalid property assignment";
    default:
      return std::string();
  }
}

RuntimeError::RuntimeError(int32_t number, std::string description, int32_t line)
    : std::runtime_error(description),
      number_(number),
      description_(std::move(description)),
      line_(line) {}

void Raise(int32_t number, int32_t line) {
  throw RuntimeError(number, StandardDescription(number), line);
}

void Raise(int32_t number, const std::string& description, int32_t line) {
  throw RuntimeError(number, description, line);
}

}  // namespace dvrlink
