// JSON as the service's line protocols write it: objects keep their keys in
// the order they were set, and texts are carried over as follows. The
// component's texts are bytes; a text that is valid UTF-8 goes into JSON as
// it is, any other is read as Latin-1 (each byte one character), the way the
// host-client socket treats bytes.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <string>
#include <string_view>

namespace dvrlink {

using Json = nlohmann::ordered_json;

bool IsValidUtf8(std::string_view text);
// The text as a JSON string value (see above).
std::string TextForJson(std::string_view text);
// One line of JSON, never raising for bad text.
std::string DumpLine(const Json& value);

}  // namespace dvrlink
