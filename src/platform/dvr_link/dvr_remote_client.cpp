#include "platform/dvr_link/dvr_remote_client.h"

#include <climits>

#include "platform/platform_state.h"
#include "support/debug_log.h"
#include "support/runtime_error.h"
#include "support/support_state.h"

namespace dvrlink {

using link::Json;

namespace {

constexpr const char* kSource = "DVR link, DvrRemote";
enum Target { kRemoteSink = 1 };

std::string BoundText(int32_t ms) {
  if (ms % 1000 == 0) return std::to_string(ms / 1000) + (ms == 1000 ? " second" : " seconds");
  return std::to_string(ms) + " ms";
}

}  // namespace

std::string DvrLinkClientVersion() {
  const PlatformState& p = Platform();
  return "DVR link client " + std::to_string(p.version_major) + "." + std::to_string(p.version_minor) + "." +
         std::to_string(p.version_revision) + " (protocol " + std::to_string(link::kProtocolVersion) + ")";
}

DvrRemoteClient::DvrRemoteClient(EventLoop& loop, DvrLinkOptions options)
    : loop_(&loop), options_(std::move(options)), queue_(loop) {}

DvrRemoteClient::~DvrRemoteClient() { queue_.DropAll(); }

void DvrRemoteClient::SetEventSink(IDvrRemoteEvents* sink) {
  sink_ = sink;
  if (sink == nullptr) queue_.DropTarget(kRemoteSink);
}

std::string DvrRemoteClient::Where() const { return link::Endpoint(address_, port_); }

link::SteadyTime DvrRemoteClient::Deadline() const {
  return std::chrono::steady_clock::now() + std::chrono::milliseconds(options_.reply_timeout_ms);
}

void DvrRemoteClient::Drop() {
  conn_.reset();
  session_ = 0;
}

void DvrRemoteClient::Connect(const std::string& address, int16_t port, const std::string& extra,
                              int32_t& session) {
  session = 0;
  Drop();  // a new session replaces the old one
  address_ = address;
  port_ = static_cast<uint16_t>(port);
  link::SteadyTime deadline = Deadline();
  std::string error;
  link::UniqueFd fd = link::ConnectBefore(address_, port_, deadline, error);
  if (!fd.valid()) {
    WriteDebugLogAlways(std::string(kSource) + ".Connect(" + Where() + ") no session: " + error);
    return;
  }
  link::LinkConnection::Handlers handlers;
  handlers.line = [this](const std::string& line) { HandleLine(line); };
  handlers.closed = [this](const std::string& reason) { HandleClosed(reason); };
  conn_ = link::LinkConnection::Adopt(*loop_, std::move(fd), std::move(handlers), link::kMaxLineBytes);
  try {
    Json request = Json::object();
    request["login"] = extra;
    Json result = Call("connect", std::move(request), deadline);
    int64_t given = link::IntField(result, "session", 0, INT32_MAX);
    if (given == 0) {
      WriteDebugLogAlways(std::string(kSource) + ".Connect(" + Where() + ") no session: the DVR refuses");
      Drop();
      return;
    }
    session_ = static_cast<int32_t>(given);
    session = session_;
  } catch (const RuntimeError& e) {
    WriteDebugLogAlways(std::string(kSource) + ".Connect(" + Where() + ") no session: " + e.Description());
    Drop();
  } catch (const link::FieldError& e) {
    LogError(kSource, "malformed reply to connect from the DVR at " + Where() + ": " + e.what(), 0);
    Drop();
  }
}

std::string DvrRemoteClient::Version() {
  std::string text = DvrLinkClientVersion();
  if (conn_ && conn_->IsConnected() && session_ > 0) {
    Json result = Call("version", Json::object(), Deadline());
    try {
      text += "; DVR: " + link::TextField(result, "version");
    } catch (const link::FieldError& e) {
      DVR_RAISE_TEXT(kErrDvrLinkFailed,
                     "DVR link: malformed reply to 'version' from the DVR at " + Where() + ": " + e.what());
    }
  }
  return text;
}

void DvrRemoteClient::TimeSync(int32_t session, DateTime time) {
  Json request = Json::object();
  request["session"] = session;
  request["time"] = time.FormatDigits14();
  Call("timesync", std::move(request), Deadline());
}

void DvrRemoteClient::GenerateAlarm(int32_t session, int16_t camera, int16_t duration) {
  Json request = Json::object();
  request["session"] = session;
  request["camera"] = camera;
  request["seconds"] = duration;
  Call("generate_alarm", std::move(request), Deadline());
}

void DvrRemoteClient::StopAlarm(int32_t session, int16_t camera) {
  Json request = Json::object();
  request["session"] = session;
  request["camera"] = camera;
  Call("stop_alarm", std::move(request), Deadline());
}

void DvrRemoteClient::GetVideo(int32_t, int16_t, DateTime, DateTime, const std::string&) {
  DVR_RAISE_TEXT(kErrDvrLinkNotSupported,
                 "DVR link: recorded-video retrieval is not supported by this DVR link yet");
}

Json DvrRemoteClient::Call(const std::string& op, Json request, link::SteadyTime deadline) {
  if (!conn_ || !conn_->IsConnected()) {
    DVR_RAISE_TEXT(kErrDvrLinkNotConnected, "DVR link: no connection to the DVR" +
                                                (address_.empty() ? std::string() : " at " + Where()) +
                                                " for '" + op + "'");
  }
  int64_t id = next_id_++;
  request["op"] = op;
  request["id"] = id;
  std::string error;
  if (!conn_->SendNow(link::Serialize(request), deadline, error)) {
    Drop();
    DVR_RAISE_TEXT(kErrDvrLinkFailed, "DVR link: cannot send '" + op + "' to the DVR at " + Where() + ": " + error);
  }
  while (true) {
    std::string line;
    link::LinkConnection::Wait wait = conn_->WaitLine(line, deadline, error);
    if (wait == link::LinkConnection::Wait::kTimeout) {
      DVR_RAISE_TEXT(kErrDvrLinkTimeout, "DVR link: no answer from the DVR at " + Where() + " to '" + op +
                                             "' within " + BoundText(options_.reply_timeout_ms));
    }
    if (wait == link::LinkConnection::Wait::kClosed) {
      Drop();
      DVR_RAISE_TEXT(kErrDvrLinkFailed,
                     "DVR link: the connection to the DVR at " + Where() + " ended during '" + op + "': " + error);
    }
    std::string problem;
    std::optional<link::Message> message = link::ParseMessage(line, problem);
    if (!message || message->kind != link::Message::Kind::kReply || message->body["id"] != Json(id)) {
      HandleLine(line);
      continue;
    }
    const Json& body = message->body;
    auto failure = body.find("error");
    if (failure != body.end()) {
      std::string text = "(no message)";
      auto found = failure->find("message");
      if (found != failure->end() && found->is_string()) text = found->get<std::string>();
      std::string later;
      while (conn_ && conn_->TakeBuffered(later)) HandleLine(later);
      DVR_RAISE_TEXT(kErrDvrLinkRejected, "DVR link: the DVR at " + Where() + " refused '" + op + "': " + text +
                                              " (code " + std::to_string(failure->at("code").get<int64_t>()) + ")");
    }
    // Events that came with the reply are queued like any other.
    std::string later;
    while (conn_ && conn_->TakeBuffered(later)) HandleLine(later);
    auto result = body.find("result");
    return result != body.end() && result->is_object() ? *result : Json::object();
  }
}

void DvrRemoteClient::HandleLine(const std::string& line) {
  std::string problem;
  std::optional<link::Message> message = link::ParseMessage(line, problem);
  if (!message) {
    LogError(kSource, "malformed line from the DVR at " + Where() + " ignored: " + problem + ": " + link::Clip(line), 0);
    return;
  }
  if (message->kind == link::Message::Kind::kReply) {
    WriteDebugLog(std::string(kSource) + "(" + Where() + ") late reply ignored: " + link::Clip(line),
                  ModAllConst().iLogLevelDefault);
    return;
  }
  if (message->kind == link::Message::Kind::kRequest) {
    LogError(kSource, "request from the DVR at " + Where() + " ignored: " + link::Clip(line), 0);
    return;
  }
  try {
    const Json& body = message->body;
    if (message->name == "time_sync") {
      int32_t session = static_cast<int32_t>(link::IntField(body, "session", INT32_MIN, INT32_MAX));
      int32_t reason = static_cast<int32_t>(link::IntField(body, "reason", INT32_MIN, INT32_MAX));
      int32_t data1 = static_cast<int32_t>(link::IntFieldOr(body, "data1", INT32_MIN, INT32_MAX, 0));
      int32_t data2 = static_cast<int32_t>(link::IntFieldOr(body, "data2", INT32_MIN, INT32_MAX, 0));
      queue_.Push(kRemoteSink, session, [this, session, reason, data1, data2] {
        if (sink_) sink_->OnTimeSyncEvent(session, reason, data1, data2);
      });
      return;
    }
    WriteDebugLog(std::string(kSource) + "(" + Where() + ") event ignored: " + link::Clip(line),
                  ModAllConst().iLogLevelDefault);
  } catch (const link::FieldError& e) {
    LogError(kSource, "malformed event from the DVR at " + Where() + " ignored: " + e.what() + ": " + link::Clip(line), 0);
  }
}

void DvrRemoteClient::HandleClosed(const std::string& reason) {
  WriteDebugLogAlways(std::string(kSource) + "(" + Where() + ") session " + std::to_string(session_) +
                      " ended: " + reason);
  session_ = 0;
}

}  // namespace dvrlink
