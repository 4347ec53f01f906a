// Texts of the simulator's control port: words with double-quoted fields, and
// "key=value" replies whose values are quoted when they hold blanks.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace dvrlink::sim {

// The words of a command line, split at blanks. A part of a word in double
// quotes may hold blanks ("a b", key="a b"); inside quotes \" and \\ stand for
// a quote and a backslash. Nothing when a quote is not closed.
std::optional<std::vector<std::string>> SplitWords(const std::string& line);

// A reply value: as it is, or in double quotes (with \" and \\) when it is
// empty or holds a blank, a quote or a backslash.
std::string QuoteValue(const std::string& value);

// A 32-bit event code written as 0x... (hex) or in decimal.
std::optional<uint32_t> ParseCode(const std::string& text);

// "0x" and eight upper-case hex digits.
std::string HexCode(uint32_t code);

// Text with &, <, >, " escaped for an XML element.
std::string XmlEscape(const std::string& text);

}  // namespace dvrlink::sim
