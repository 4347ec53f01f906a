#include "link/link_protocol.h"

#include "platform/net/json_parse.h"
#include "support/datetime.h"

namespace dvrlink::link {

std::optional<Message> ParseMessage(const std::string& line, std::string& problem) {
  Json body = ParseJsonText<Json>(line, problem);
  if (body.is_discarded()) return std::nullopt;
  if (!body.is_object()) {
    problem = "not a JSON object";
    return std::nullopt;
  }
  Message message;
  auto op = body.find("op");
  auto event = body.find("event");
  bool has_id = body.contains("id");
  if (op != body.end()) {
    if (!op->is_string() || !has_id) {
      problem = "a request needs a text \"op\" and an \"id\"";
      return std::nullopt;
    }
    message.kind = Message::Kind::kRequest;
    message.name = op->get<std::string>();
  } else if (event != body.end()) {
    if (!event->is_string() || has_id) {
      problem = "an event needs a text \"event\" and no \"id\"";
      return std::nullopt;
    }
    message.kind = Message::Kind::kEvent;
    message.name = event->get<std::string>();
  } else if (has_id && (body.contains("result") || body.contains("error"))) {
    message.kind = Message::Kind::kReply;
    auto error = body.find("error");
    if (error != body.end() &&
        (!error->is_object() || !error->contains("code") || !(*error)["code"].is_number_integer())) {
      problem = "an error reply needs an object \"error\" with an integer \"code\"";
      return std::nullopt;
    }
  } else {
    problem = "neither a request, a reply nor an event";
    return std::nullopt;
  }
  message.body = std::move(body);
  return message;
}

std::string Serialize(const Json& message) {
  return message.dump(-1, ' ', false, Json::error_handler_t::replace);
}

Json MakeRequest(const std::string& op, int64_t id) {
  Json j = Json::object();
  j["op"] = op;
  j["id"] = id;
  return j;
}

Json MakeReply(const Json& id, Json result) {
  Json j = Json::object();
  j["id"] = id;
  j["result"] = std::move(result);
  return j;
}

Json MakeErrorReply(const Json& id, int code, const std::string& message) {
  Json j = Json::object();
  j["id"] = id;
  j["error"] = Json{{"code", code}, {"message", message}};
  return j;
}

Json MakeEvent(const std::string& name) {
  Json j = Json::object();
  j["event"] = name;
  return j;
}

int64_t IntField(const Json& message, const char* name, int64_t min, int64_t max) {
  auto it = message.find(name);
  if (it == message.end()) throw FieldError(std::string("missing field \"") + name + "\"");
  if (!it->is_number_integer()) throw FieldError(std::string("field \"") + name + "\" is not an integer");
  int64_t value = 0;
  if (it->is_number_unsigned()) {
    uint64_t u = it->get<uint64_t>();
    if (u > static_cast<uint64_t>(INT64_MAX)) throw FieldError(std::string("field \"") + name + "\" is out of range");
    value = static_cast<int64_t>(u);
  } else {
    value = it->get<int64_t>();
  }
  if (value < min || value > max) {
    throw FieldError(std::string("field \"") + name + "\" is out of range (" + std::to_string(min) + " to " +
                     std::to_string(max) + ")");
  }
  return value;
}

int64_t IntFieldOr(const Json& message, const char* name, int64_t min, int64_t max, int64_t fallback) {
  if (!message.contains(name)) return fallback;
  return IntField(message, name, min, max);
}

std::string TextField(const Json& message, const char* name) {
  auto it = message.find(name);
  if (it == message.end()) throw FieldError(std::string("missing field \"") + name + "\"");
  if (!it->is_string()) throw FieldError(std::string("field \"") + name + "\" is not a text");
  return it->get<std::string>();
}

std::string TextFieldOr(const Json& message, const char* name, const std::string& fallback) {
  if (!message.contains(name)) return fallback;
  return TextField(message, name);
}

bool BoolFieldOr(const Json& message, const char* name, bool fallback) {
  auto it = message.find(name);
  if (it == message.end()) return fallback;
  if (!it->is_boolean()) throw FieldError(std::string("field \"") + name + "\" is not true or false");
  return it->get<bool>();
}

std::string TimeField(const Json& message, const char* name) {
  std::string text = TextField(message, name);
  if (!DateTime::FromDigits14(text)) {
    throw FieldError(std::string("field \"") + name + "\" is not a time of 14 digits");
  }
  return text;
}

std::string Clip(const std::string& text, size_t max) {
  if (text.size() <= max) return text;
  return text.substr(0, max) + "...";
}

}  // namespace dvrlink::link
