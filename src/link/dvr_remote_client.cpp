#include "link/dvr_remote_client.h"

#include <climits>

#include "link/base64.h"

#include "platform/platform_state.h"
#include "support/debug_log.h"
#include "support/runtime_error.h"
#include "support/support_state.h"

namespace dvrlink {

using link::Json;

namespace {

constexpr const char* kSource = "DVR link, DvrRemote";
enum Target { kRemoteSink = 1 };
// Reasons of get_video events.
constexpr int32_t kVideoProgress = 1;
constexpr int32_t kVideoDone = 2;
constexpr int32_t kVideoFailed = 3;

int32_t Clamp32(int64_t n) { return static_cast<int32_t>(n < INT32_MIN ? INT32_MIN : n > INT32_MAX ? INT32_MAX : n); }

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
  LoseConnection("the connection ended");
  session_ = 0;
}

void DvrRemoteClient::LoseConnection(const std::string& reason) {
  conn_.reset();
  dvr_session_ = 0;
  EndRetrieval(reason);
}

int32_t DvrRemoteClient::OpenSession(link::SteadyTime deadline, std::string& error) {
  link::UniqueFd fd = link::ConnectBefore(address_, port_, deadline, error);
  if (!fd.valid()) return 0;
  link::LinkConnection::Handlers handlers;
  handlers.line = [this](const std::string& line) { HandleLine(line); };
  handlers.closed = [this](const std::string& reason) { HandleClosed(reason); };
  conn_ = link::LinkConnection::Adopt(*loop_, std::move(fd), std::move(handlers), link::kMaxLineBytes);
  try {
    Json request = Json::object();
    request["login"] = login_;
    Json result = Call("connect", std::move(request), deadline);
    int64_t given = link::IntField(result, "session", 0, INT32_MAX);
    error = "the DVR refuses";
    if (given > 0) {
      dvr_session_ = static_cast<int32_t>(given);
      LearnDvrVersion(result, deadline);
      if (dvr_session_ > 0) return dvr_session_;
      error = "the connection broke while the DVR's version was asked";
    }
  } catch (const RuntimeError& e) {
    error = e.Description();
  } catch (const link::FieldError& e) {
    error = "malformed reply to connect: " + std::string(e.what());
    LogError(kSource, error + " from the DVR at " + Where(), 0);
  }
  LoseConnection("no session");
  return 0;
}

void DvrRemoteClient::Connect(const std::string& address, int16_t port, const std::string& extra,
                              int32_t& session) {
  session = 0;
  Drop();  // a new session replaces the old one
  address_ = address;
  port_ = static_cast<uint16_t>(port);
  login_ = extra;
  std::string error;
  dvr_session_ = OpenSession(Deadline(), error);
  if (dvr_session_ == 0) {
    WriteDebugLogAlways(std::string(kSource) + ".Connect(" + Where() + ") no session: " + error);
    return;
  }
  session_ = dvr_session_;
  session = session_;
}

void DvrRemoteClient::Attach(const std::string& op, link::SteadyTime deadline) {
  if (session_ > 0 && (!conn_ || !conn_->IsConnected())) {
    std::string error;
    dvr_session_ = OpenSession(deadline, error);
    if (dvr_session_ > 0) {
      WriteDebugLogAlways(std::string(kSource) + "(" + Where() + ") session " + std::to_string(session_) +
                          " connected again for '" + op + "' (the DVR's session " + std::to_string(dvr_session_) +
                          ")");
    } else {
      DVR_RAISE_TEXT(kErrDvrLinkNotConnected, "DVR link: no connection to the DVR at " + Where() + " for '" + op +
                                                  "': " + error);
    }
  }
  RequireConnection(op);
}

std::string DvrRemoteClient::Version() {
  std::string text = DvrLinkClientVersion();
  if (conn_ && conn_->IsConnected() && session_ > 0 && !dvr_version_.empty()) text += "; DVR: " + dvr_version_;
  return text;
}

void DvrRemoteClient::LearnDvrVersion(const Json& connect_result, link::SteadyTime deadline) {
  dvr_version_.clear();
  try {
    if (connect_result.contains("version")) {
      dvr_version_ = link::TextField(connect_result, "version");
      return;
    }
    // A DVR that does not tell its version with the session is asked once,
    // within what is left of the connect's bound.
    dvr_version_ = link::TextField(Call("version", Json::object(), deadline), "version");
  } catch (const RuntimeError& e) {
    WriteDebugLogAlways(std::string(kSource) + ".Connect(" + Where() +
                        ") the DVR's version is unknown: " + e.Description());
  } catch (const link::FieldError& e) {
    WriteDebugLogAlways(std::string(kSource) + ".Connect(" + Where() + ") the DVR's version is unknown: " + e.what());
  }
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

void DvrRemoteClient::GetVideo(int32_t session, int16_t camera, DateTime begin, DateTime end,
                               const std::string& file) {
  const std::string what = "retrieval of camera " + std::to_string(camera) + " into '" + file + "'";
  std::string error;
  if (link::VideoFileWriter::NameParts(options_.export_folder, file, error).empty()) {
    LogError(kSource, what + " refused: " + error, 0);
    PushVideoEvent(session, kVideoFailed, 0, 0);
    return;
  }
  link::SteadyTime deadline = Deadline();
  Attach("retrieve", deadline);
  std::unique_ptr<link::VideoFileWriter> writer = link::VideoFileWriter::Open(options_.export_folder, file, error);
  if (!writer) {
    LogError(kSource, what + " refused: " + error, 0);
    PushVideoEvent(session, kVideoFailed, 0, 0);
    return;
  }
  Json request = Json::object();
  request["session"] = session;
  request["camera"] = camera;
  request["begin"] = begin.FormatDigits14();
  request["end"] = end.FormatDigits14();
  request["file"] = file;
  // The retrieval is in place before the events that came with the reply
  // are handed on. On an error the writer goes, and its file with it.
  Exchange("retrieve", std::move(request), deadline, [&](const Json& result) {
    int64_t total = 0;
    bool estimated = false;
    try {
      total = link::IntField(result, "bytes", 0, INT32_MAX);
      estimated = link::BoolFieldOr(result, "estimated", false);
    } catch (const link::FieldError& e) {
      DVR_RAISE_TEXT(kErrDvrLinkFailed,
                     "DVR link: malformed reply to 'retrieve' from the DVR at " + Where() + ": " + e.what());
    }
    // A DVR that takes a second retrieval has given up the first.
    if (retrieval_ && retrieval_->writer) FailRetrieval("the DVR started another retrieval");
    WriteDebugLog(std::string(kSource) + "(" + Where() + ") " + what + ": " + std::to_string(total) + " bytes",
                  ModAllConst().iLogLevelDefault);
    retrieval_.emplace(Retrieval{session, total, estimated, writer->Path(), std::move(writer)});
  });
}

void DvrRemoteClient::RequireConnection(const std::string& op) const {
  if (!conn_ || !conn_->IsConnected()) {
    DVR_RAISE_TEXT(kErrDvrLinkNotConnected, "DVR link: no connection to the DVR" +
                                                (address_.empty() ? std::string() : " at " + Where()) +
                                                " for '" + op + "'");
  }
}

void DvrRemoteClient::HandOnBuffered() {
  std::string later;
  while (conn_ && conn_->TakeBuffered(later)) HandleLine(later);
}

Json DvrRemoteClient::Call(const std::string& op, Json request, link::SteadyTime deadline) {
  return Exchange(op, std::move(request), deadline, nullptr);
}

Json DvrRemoteClient::Exchange(const std::string& op, Json request, link::SteadyTime deadline,
                               const std::function<void(const Json&)>& on_result) {
  Attach(op, deadline);
  int64_t id = next_id_++;
  request["op"] = op;
  request["id"] = id;
  if (request.contains("session") && request["session"].is_number_integer()) {
    request["session"] = ToDvr(request["session"].get<int32_t>());
  }
  std::string error;
  if (!conn_->SendNow(link::Serialize(request), deadline, error)) {
    LoseConnection("the connection ended");
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
      LoseConnection("the connection ended");
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
      HandOnBuffered();
      DVR_RAISE_TEXT(kErrDvrLinkRejected, "DVR link: the DVR at " + Where() + " refused '" + op + "': " + text +
                                              " (code " + std::to_string(failure->at("code").get<int64_t>()) + ")");
    }
    auto found = body.find("result");
    Json result = found != body.end() && found->is_object() ? *found : Json::object();
    if (on_result) {
      try {
        on_result(result);
      } catch (...) {
        HandOnBuffered();
        throw;
      }
    }
    // Events that came with the reply are handled like any other.
    HandOnBuffered();
    return result;
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
      int32_t session = FromDvr(static_cast<int32_t>(link::IntField(body, "session", INT32_MIN, INT32_MAX)));
      int32_t reason = static_cast<int32_t>(link::IntField(body, "reason", INT32_MIN, INT32_MAX));
      int32_t data1 = static_cast<int32_t>(link::IntFieldOr(body, "data1", INT32_MIN, INT32_MAX, 0));
      int32_t data2 = static_cast<int32_t>(link::IntFieldOr(body, "data2", INT32_MIN, INT32_MAX, 0));
      if (options_.observer) options_.observer->OnTimeSync(address_, reason, data1);
      queue_.Push(kRemoteSink, session, [this, session, reason, data1, data2] {
        if (sink_) sink_->OnTimeSyncEvent(session, reason, data1, data2);
      });
      return;
    }
    if (message->name == "video_data") {
      HandleVideoData(body);
      return;
    }
    if (message->name == "get_video") {
      HandleGetVideo(body);
      return;
    }
    WriteDebugLog(std::string(kSource) + "(" + Where() + ") event ignored: " + link::Clip(line),
                  ModAllConst().iLogLevelDefault);
  } catch (const link::FieldError& e) {
    LogError(kSource, "malformed event from the DVR at " + Where() + " ignored: " + e.what() + ": " + link::Clip(line), 0);
  }
}

void DvrRemoteClient::HandleClosed(const std::string& reason) {
  WriteDebugLogAlways(std::string(kSource) + "(" + Where() + ") connection of session " + std::to_string(session_) +
                      " ended: " + reason + "; the next call connects again");
  dvr_session_ = 0;
  EndRetrieval("the connection ended: " + reason);
}

void DvrRemoteClient::PushVideoEvent(int32_t session, int32_t reason, int32_t data1, int32_t data2) {
  queue_.Push(kRemoteSink, session, [this, session, reason, data1, data2] {
    if (sink_) sink_->OnGetVideoEvent(session, reason, data1, data2);
  });
}

void DvrRemoteClient::HandleVideoData(const Json& body) {
  auto session = FromDvr(static_cast<int32_t>(link::IntField(body, "session", INT32_MIN, INT32_MAX)));
  int64_t offset = link::IntField(body, "offset", 0, INT64_MAX);
  std::string data = link::TextField(body, "data");
  if (!retrieval_ || retrieval_->session != session) {
    WriteDebugLog(std::string(kSource) + "(" + Where() + ") video data of no retrieval here ignored, session " +
                      std::to_string(session) + ", offset " + std::to_string(offset),
                  ModAllConst().iLogLevelDefault);
    return;
  }
  if (!retrieval_->writer) return;  // failed here; skipped until its end
  std::optional<std::string> bytes = link::Base64Decode(data);
  if (!bytes) {
    FailRetrieval("the chunk at byte " + std::to_string(offset) + " is not valid base64");
    return;
  }
  // An estimated size may be passed, but no video goes past 32-bit counts.
  const int64_t limit = retrieval_->estimated ? INT32_MAX : retrieval_->total;
  if (offset > limit || static_cast<int64_t>(bytes->size()) > limit - offset) {
    FailRetrieval("the chunk at byte " + std::to_string(offset) + " goes past the " + std::to_string(limit) +
                  (retrieval_->estimated ? " bytes a retrieval may hold" : " bytes announced"));
    return;
  }
  std::string error;
  if (!retrieval_->writer->Append(offset, *bytes, error)) {
    FailRetrieval(error);
  } else if (options_.observer) {
    options_.observer->OnVideoBytes(address_, static_cast<int64_t>(bytes->size()));
  }
}

void DvrRemoteClient::HandleGetVideo(const Json& body) {
  auto session = FromDvr(static_cast<int32_t>(link::IntField(body, "session", INT32_MIN, INT32_MAX)));
  auto reason = static_cast<int32_t>(link::IntField(body, "reason", INT32_MIN, INT32_MAX));
  auto data1 = static_cast<int32_t>(link::IntFieldOr(body, "data1", INT32_MIN, INT32_MAX, 0));
  auto data2 = static_cast<int32_t>(link::IntFieldOr(body, "data2", INT32_MIN, INT32_MAX, 0));
  if (!retrieval_ || retrieval_->session != session) {
    WriteDebugLog(std::string(kSource) + "(" + Where() + ") progress of no retrieval here ignored, session " +
                      std::to_string(session) + ", reason " + std::to_string(reason),
                  ModAllConst().iLogLevelDefault);
    return;
  }
  if (!retrieval_->writer) {
    // Already reported as failed: only its end matters.
    if (reason != kVideoProgress) retrieval_.reset();
    return;
  }
  if (reason == kVideoProgress) {
    PushVideoEvent(session, reason, data1, data2);
    return;
  }
  Retrieval done = std::move(*retrieval_);
  retrieval_.reset();
  const int64_t written = done.writer->Written();
  std::string failure;
  if (reason != kVideoDone) {
    failure = "the DVR reports reason " + std::to_string(reason) + " after " + std::to_string(data1) + " bytes";
  } else if (written != (done.estimated ? data1 : done.total)) {
    failure = "the DVR sent " + std::to_string(written) + " of the " +
              std::to_string(done.estimated ? data1 : done.total) + " bytes " +
              (done.estimated ? "it reports" : "announced");
  } else if (done.writer->Commit(failure)) {
    WriteDebugLog(std::string(kSource) + "(" + Where() + ") retrieval into " + done.file + " complete, " +
                      std::to_string(written) + " bytes",
                  ModAllConst().iLogLevelDefault);
    PushVideoEvent(session, kVideoDone, data1, data2);
    return;
  }
  done.writer->Abort();
  LogError(kSource, "retrieval into " + done.file + " from the DVR at " + Where() + " failed: " + failure, 0);
  // The DVR's own failure is handed on as it came.
  if (reason != kVideoDone) {
    PushVideoEvent(session, reason, data1, data2);
  } else {
    PushVideoEvent(session, kVideoFailed, Clamp32(written), Clamp32(done.total));
  }
}

void DvrRemoteClient::FailRetrieval(const std::string& reason) {
  if (!retrieval_ || !retrieval_->writer) return;
  const int64_t written = retrieval_->writer->Written();
  retrieval_->writer->Abort();
  retrieval_->writer.reset();
  LogError(kSource, "retrieval into " + retrieval_->file + " from the DVR at " + Where() + " failed: " + reason, 0);
  PushVideoEvent(retrieval_->session, kVideoFailed, Clamp32(written), Clamp32(retrieval_->total));
}

void DvrRemoteClient::EndRetrieval(const std::string& reason) {
  if (!retrieval_) return;
  FailRetrieval(reason);
  retrieval_.reset();
}

}  // namespace dvrlink
