// Messages of the DVR link: JSON Lines over TCP, one object per line, UTF-8.
// A request carries "op" and "id"; a reply carries the same "id" and either
// "result" or "error" ({"code", "message"}); an event carries "event" and no
// "id". The whole protocol is described in docs/dvr-link.md.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

namespace dvrlink::link {

using Json = nlohmann::json;

inline constexpr int kProtocolVersion = 1;
// A line longer than this ends the connection: no message of the protocol
// comes near it (video chunks are 64 KiB of base64).
inline constexpr size_t kMaxLineBytes = 1024 * 1024;

// Error codes of error replies.
enum ReplyError : int {
  kErrorMalformed = 1,       // not JSON, not an object, a field missing or of the wrong type
  kErrorUnknownOp = 2,       // an op this DVR does not know
  kErrorNoSession = 3,       // no session on this connection, or another session named
  kErrorRefused = 4,         // the DVR refuses new sessions
  kErrorBadArgument = 5,     // a value out of range (camera, seconds, time)
  kErrorBusy = 6,            // the DVR is doing this already (a retrieval in progress)
  kErrorNotImplemented = 7,  // an op of the protocol this DVR does not carry out
};

// Subscriptions of the event port.
inline constexpr const char* kSubscribeAlarms = "alarms";
inline constexpr const char* kSubscribeSystem = "system";

struct Message {
  enum class Kind { kRequest, kReply, kEvent };
  Kind kind = Kind::kEvent;
  // The op of a request or the event's name; empty for a reply.
  std::string name;
  Json body;
};

// Reads one line. Nothing, and the reason in problem, when the line is not a
// message of the protocol.
std::optional<Message> ParseMessage(const std::string& line, std::string& problem);

// The message as one line (without the line end). Texts that are not valid
// UTF-8 (the component's texts are bytes) have their bad bytes replaced.
std::string Serialize(const Json& message);

Json MakeRequest(const std::string& op, int64_t id);
Json MakeReply(const Json& id, Json result);
Json MakeErrorReply(const Json& id, int code, const std::string& message);
Json MakeEvent(const std::string& name);

// A field of a received message that is missing or has the wrong type or
// range; the message is then malformed.
class FieldError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

int64_t IntField(const Json& message, const char* name, int64_t min, int64_t max);
int64_t IntFieldOr(const Json& message, const char* name, int64_t min, int64_t max, int64_t fallback);
std::string TextField(const Json& message, const char* name);
std::string TextFieldOr(const Json& message, const char* name, const std::string& fallback);
// A true or false field; fallback when it is missing.
bool BoolFieldOr(const Json& message, const char* name, bool fallback);
// A time of 14 digits YYYYMMDDhhmmss that is a valid date.
std::string TimeField(const Json& message, const char* name);

// The start of a line for log messages.
std::string Clip(const std::string& text, size_t max = 200);

}  // namespace dvrlink::link
