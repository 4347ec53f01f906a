// Small text helpers with the platform's 1-based positions, used where the
// component cuts and searches texts by position.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace dvrlink {

// Characters from 1-based position start, at most len of them (all the rest
// when len < 0). Empty when start is past the end. Raises 5 when start < 1.
std::string Mid(std::string_view s, int64_t start, int64_t len = -1);
std::string Left(std::string_view s, int64_t len);
std::string Right(std::string_view s, int64_t len);
// 1-based position of needle at or after start, 0 when not found (exact,
// case-sensitive). An empty needle is found at start.
int64_t InStr(int64_t start, std::string_view haystack, std::string_view needle);
std::string UCase(std::string_view s);
std::string LCase(std::string_view s);
// Blanks (spaces) removed at both ends.
std::string Trim(std::string_view s);
// ASCII case-insensitive equality.
bool EqualsNoCase(std::string_view a, std::string_view b);

}  // namespace dvrlink
