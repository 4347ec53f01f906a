// Splitting a block of host-client text into frames and fields.
#pragma once

#include <string>
#include <vector>

namespace dvrlink {

// The frames of a block as rows of fields, rectangular: every row has as many
// fields as the longest frame, the missing ones empty.
using FrameTable = std::vector<std::vector<std::string>>;

// Splits sSource into frames (start marker, fields separated by the separator,
// end marker); text before and between frames is skipped. True when the block
// was split completely, that is its last end marker is its last character.
// Positions are 16-bit: a block longer than 32,767 characters is logged as an
// error and gives False. With blnDebug every cell is logged.
bool ProcessToken(const std::string& sSource, const std::string& sTokenStart, const std::string& sTokenEnd,
                  const std::string& sTokenSeparator, FrameTable& sDataBack, bool blnDebug = false);

}  // namespace dvrlink
