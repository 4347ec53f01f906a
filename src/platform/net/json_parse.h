// Reading JSON texts that come from outside (the automation endpoint, the
// DVR link, replies to dvrctl). Nesting is bounded: the library parses
// without recursion, but copying, comparing or printing a value recurses
// once per level, so a text nested 100,000 deep would exhaust the stack
// later. Every failure the library reports (a syntax error, a number beyond
// the range of a double) becomes a problem text, never an exception.
#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>

namespace dvrlink {

// Arrays and objects may nest this deep; no message of ours comes near it.
inline constexpr int kMaxJsonDepth = 64;

// The value of text; a discarded value (is_discarded()) when the text is not
// one JSON value, with problem set to "not valid JSON" or to it followed by
// the reason (a number out of range, nesting deeper than kMaxJsonDepth).
template <class JsonType>
JsonType ParseJsonText(std::string_view text, std::string& problem) {
  struct TooDeep {};
  try {
    return JsonType::parse(
        text,
        [](int depth, typename JsonType::parse_event_t, JsonType&) {
          if (depth > kMaxJsonDepth) throw TooDeep{};
          return true;
        },
        true);
  } catch (const TooDeep&) {
    problem = "not valid JSON: nested deeper than " + std::to_string(kMaxJsonDepth) + " levels";
  } catch (const typename JsonType::out_of_range&) {
    problem = "not valid JSON: a number out of range";
  } catch (const typename JsonType::exception&) {
    problem = "not valid JSON";
  }
  return JsonType(JsonType::value_t::discarded);
}

}  // namespace dvrlink
