// Standard base64 (RFC 4648 alphabet, "=" padding, no line breaks), as the
// DVR link carries recorded video in its video_data events.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace dvrlink::link {

std::string Base64Encode(std::string_view bytes);

// The decoded bytes; nothing when the text is not canonical base64: a length
// that is not a multiple of 4, a character outside the alphabet, padding
// anywhere but at the end (at most two), or padding bits that are not zero.
std::optional<std::string> Base64Decode(std::string_view text);

// Bytes that decoding a text of this length yields at most.
constexpr size_t Base64DecodedMax(size_t text_length) { return text_length / 4 * 3; }

}  // namespace dvrlink::link
