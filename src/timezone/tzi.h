// The TZI value of a zone's key: the 44-byte little-endian record of its
// rules (REG_TZI_FORMAT): Bias, StandardBias, DaylightBias as 32-bit numbers,
// then StandardDate and DaylightDate as eight 16-bit fields each.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "timezone/time_zone_entry.h"

namespace dvrlink {

inline constexpr size_t kTziSize = 44;

std::array<uint8_t, kTziSize> EncodeTzi(const TimeZoneEntry& zone);
// Fills the five rule fields of `zone` from the first 44 bytes of `bytes`; a
// shorter record fills what it holds and leaves the rest zero.
void DecodeTzi(const std::vector<uint8_t>& bytes, TimeZoneEntry& zone);

}  // namespace dvrlink
