#include "support/vbstring.h"

#include "support/runtime_error.h"

namespace dvrlink {

namespace {

char ToUpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }
char ToLowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

std::string Mid(std::string_view s, int64_t start, int64_t len) {
  if (start < 1) DVR_RAISE(kErrInvalidCall);
  const auto size = static_cast<int64_t>(s.size());
  if (start > size) return std::string();
  const auto offset = static_cast<size_t>(start - 1);
  if (len < 0) return std::string(s.substr(offset));
  return std::string(s.substr(offset, static_cast<size_t>(len)));
}

std::string Left(std::string_view s, int64_t len) {
  if (len < 0) DVR_RAISE(kErrInvalidCall);
  return std::string(s.substr(0, static_cast<size_t>(len)));
}

std::string Right(std::string_view s, int64_t len) {
  if (len < 0) DVR_RAISE(kErrInvalidCall);
  const auto size = static_cast<int64_t>(s.size());
  if (len >= size) return std::string(s);
  return std::string(s.substr(static_cast<size_t>(size - len)));
}

int64_t InStr(int64_t start, std::string_view haystack, std::string_view needle) {
  if (start < 1) DVR_RAISE(kErrInvalidCall);
  // find() also gives an empty needle at start, up to one past the end.
  const size_t pos = haystack.find(needle, static_cast<size_t>(start - 1));
  if (pos == std::string_view::npos) return 0;
  return static_cast<int64_t>(pos) + 1;
}

std::string UCase(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = ToUpperAscii(c);
  return out;
}

std::string LCase(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = ToLowerAscii(c);
  return out;
}

std::string Trim(std::string_view s) {
  const size_t first = s.find_first_not_of(' ');
  if (first == std::string_view::npos) return std::string();
  const size_t last = s.find_last_not_of(' ');
  return std::string(s.substr(first, last - first + 1));
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (ToLowerAscii(a[i]) != ToLowerAscii(b[i])) return false;
  }
  return true;
}

}  // namespace dvrlink
