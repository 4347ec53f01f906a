#include "dvrsim/dvr_simulator.h"

#include <poll.h>

#include <algorithm>
#include <climits>
#include <stdexcept>

#include "link/base64.h"
#include "dvrsim/control_text.h"

namespace dvrlink::sim {

using link::Json;

namespace {

constexpr int kMaxCameras = 256;
// Control lines and live-port texts are short; requests carry no bulk.
constexpr size_t kMaxRequestLine = 64 * 1024;
constexpr const char* kHostAlarmType = "OVERRIDE";
// A stream adds chunks while less than this waits in its connection's
// output, at most this many per loop turn, so other sessions and the
// control port are served between them.
constexpr size_t kStreamHighWater = 256 * 1024;
constexpr int kStreamChunksPerTurn = 4;
// Reasons of get_video events.
constexpr int kVideoProgress = 1;
constexpr int kVideoDone = 2;

const char* KindName(int kind) {
  static const char* const kNames[] = {"command", "event", "live", "control"};
  return kNames[kind];
}

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

std::optional<int64_t> ParseInt(const std::string& text, int64_t min, int64_t max) {
  if (text.empty() || text.size() > 12) return std::nullopt;
  size_t i = text[0] == '-' ? 1 : 0;
  if (i == text.size()) return std::nullopt;
  int64_t value = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    value = value * 10 + (text[i] - '0');
  }
  if (text[0] == '-') value = -value;
  if (value < min || value > max) return std::nullopt;
  return value;
}

}  // namespace

DvrSimulator::DvrSimulator(EventLoop& loop, SimOptions options)
    : loop_(&loop), options_(std::move(options)), clock_(options_.time_zone, loop.clock()) {
  if (options_.cameras < 1 || options_.cameras > kMaxCameras) {
    throw std::invalid_argument("the number of cameras must be from 1 to " + std::to_string(kMaxCameras));
  }
  ports_.command = Listen(PortKind::kCommand, options_.command_port);
  ports_.event = Listen(PortKind::kEvent, options_.event_port);
  ports_.live = Listen(PortKind::kLive, options_.live_port);
  ports_.control = Listen(PortKind::kControl, options_.control_port);
  stream_timer_ = std::make_unique<Timer>(*loop_, [this] {
    stream_timer_->SetEnabled(false);
    StreamVideo();
  });
  stream_timer_->SetInterval(1);
  Log("DVR clock in time zone " + clock_.ZoneId() + ": " + clock_.Now().FormatDigits14() + ", " +
      std::to_string(options_.cameras) + " cameras");
}

DvrSimulator::~DvrSimulator() {
  *alive_ = false;
  for (EventLoop::WatchId watch : listen_watches_) {
    if (watch != 0) loop_->Unwatch(watch);
  }
  host_alarms_.clear();
  stream_timer_.reset();
  peers_.clear();
}

uint16_t DvrSimulator::Listen(PortKind kind, uint16_t port) {
  int index = static_cast<int>(kind);
  std::string error;
  listen_fds_[index] = link::ListenOn(options_.bind_address, port, error);
  if (!listen_fds_[index].valid()) throw std::runtime_error(std::string(KindName(index)) + " port: " + error);
  listen_watches_[index] = loop_->Watch(listen_fds_[index].get(), POLLIN, [this, kind](short) { Accept(kind); });
  return link::LocalPort(listen_fds_[index].get());
}

std::string DvrSimulator::PortsLine() const {
  return "ports command=" + std::to_string(ports_.command) + " event=" + std::to_string(ports_.event) +
         " live=" + std::to_string(ports_.live) + " control=" + std::to_string(ports_.control);
}

void DvrSimulator::Log(const std::string& text) const {
  if (options_.log) options_.log(text);
}

void DvrSimulator::Accept(PortKind kind) {
  Reap();
  while (true) {
    link::UniqueFd fd = link::AcceptOne(listen_fds_[static_cast<int>(kind)].get());
    if (!fd.valid()) return;
    if (kind == PortKind::kLive && refusing_) {
      Log("live port: connection refused");
      continue;  // closed at once
    }
    uint64_t id = next_peer_++;
    link::LinkConnection::Handlers h;
    h.line = [this, id](const std::string& line) { OnLine(id, line); };
    h.closed = [this, id](const std::string& reason) { OnClosed(id, reason); };
    auto peer = std::make_unique<Peer>();
    peer->kind = kind;
    size_t max_line = kind == PortKind::kCommand || kind == PortKind::kEvent ? link::kMaxLineBytes : kMaxRequestLine;
    peer->conn = link::LinkConnection::Adopt(*loop_, std::move(fd), std::move(h), max_line);
    peers_[id] = std::move(peer);
  }
}

void DvrSimulator::OnClosed(uint64_t peer_id, const std::string& reason) {
  auto it = peers_.find(peer_id);
  if (it != peers_.end()) {
    Peer& peer = *it->second;
    if (peer.session != 0) {
      Log(std::string(KindName(static_cast<int>(peer.kind))) + " session " + std::to_string(peer.session) +
          " ended: " + reason);
    }
  }
  ScheduleReap();
}

void DvrSimulator::ScheduleReap() {
  if (reap_scheduled_) return;
  reap_scheduled_ = true;
  std::weak_ptr<bool> alive = alive_;
  loop_->Post([this, alive] {
    if (!alive.lock()) return;
    reap_scheduled_ = false;
    Reap();
  });
}

void DvrSimulator::Reap() {
  for (auto it = peers_.begin(); it != peers_.end();) {
    it = it->second->conn->IsOpen() ? std::next(it) : peers_.erase(it);
  }
}

void DvrSimulator::Send(Peer& peer, const Json& message) { peer.conn->Send(link::Serialize(message)); }

void DvrSimulator::OnLine(uint64_t peer_id, const std::string& line) {
  auto it = peers_.find(peer_id);
  if (it == peers_.end()) return;
  Peer& peer = *it->second;
  switch (peer.kind) {
    case PortKind::kControl:
      peer.conn->Send(Control(line));
      return;
    case PortKind::kLive:
      ++ptz_total_;
      ptz_.push_back(line);
      if (ptz_.size() > kPtzKept) ptz_.pop_front();
      Log("live port: " + line);
      return;
    case PortKind::kCommand:
    case PortKind::kEvent:
      break;
  }
  std::string problem;
  std::optional<link::Message> message = link::ParseMessage(line, problem);
  if (!message) {
    Log(std::string(KindName(static_cast<int>(peer.kind))) + " port: malformed line answered with an error: " +
        problem + ": " + link::Clip(line));
    Send(peer, link::MakeErrorReply(nullptr, link::kErrorMalformed, problem));
    return;
  }
  if (message->kind != link::Message::Kind::kRequest) {
    Log(std::string(KindName(static_cast<int>(peer.kind))) + " port: line ignored (not a request): " +
        link::Clip(line));
    return;
  }
  HandleRequest(peer, *message);
}

void DvrSimulator::HandleRequest(Peer& peer, const link::Message& request) {
  const Json& id = request.body["id"];
  try {
    if (peer.kind == PortKind::kCommand) {
      CommandOp(peer, request);
    } else {
      EventOp(peer, request);
    }
  } catch (const Refusal& refusal) {
    Send(peer, link::MakeErrorReply(id, refusal.code, refusal.message));
  } catch (const link::FieldError& e) {
    Send(peer, link::MakeErrorReply(id, link::kErrorMalformed, e.what()));
  }
}

void DvrSimulator::RequireSession(const Peer& peer, const Json& body) const {
  if (peer.session == 0) throw Refusal{link::kErrorNoSession, "no session on this connection: connect first"};
  int64_t session = link::IntField(body, "session", INT32_MIN, INT32_MAX);
  if (session != peer.session) {
    throw Refusal{link::kErrorNoSession, "session " + std::to_string(session) + " is not this connection's session"};
  }
}

int16_t DvrSimulator::CameraArg(const Json& body) const {
  int64_t camera = link::IntField(body, "camera", INT16_MIN, INT16_MAX);
  if (camera < 0 || camera >= options_.cameras) {
    throw Refusal{link::kErrorBadArgument, "camera " + std::to_string(camera) + " does not exist (0 to " +
                                               std::to_string(options_.cameras - 1) + ")"};
  }
  return static_cast<int16_t>(camera);
}

void DvrSimulator::CommandOp(Peer& peer, const link::Message& request) {
  const Json& body = request.body;
  const Json& id = body["id"];
  const std::string& op = request.name;
  if (op == "connect") {
    if (refusing_) {
      Log("command port: session refused");
      Send(peer, link::MakeReply(id, Json{{"session", 0}}));
      peer.conn->CloseAfterSending();
      return;
    }
    if (peer.session == 0) {
      peer.session = next_command_session_;
      next_command_session_ = next_command_session_ == INT32_MAX ? 1 : next_command_session_ + 1;
      Log("command port: session " + std::to_string(peer.session) + " opened");
    }
    Send(peer, link::MakeReply(id, Json{{"session", peer.session}, {"version", kVersion}}));
    return;
  }
  if (op == "version") {
    Send(peer, link::MakeReply(id, Json{{"version", kVersion},
                                        {"protocol", link::kProtocolVersion},
                                        {"cameras", options_.cameras}}));
    return;
  }
  if (op == "timesync") {
    RequireSession(peer, body);
    std::string time = link::TimeField(body, "time");
    int64_t moved = clock_.SetTo(*DateTime::FromDigits14(time));
    last_time_sync_ = time;
    Log("command port: clock set to " + time + " (moved " + std::to_string(moved) + " s)");
    Send(peer, link::MakeReply(id, Json::object()));
    Json event = link::MakeEvent("time_sync");
    event["session"] = peer.session;
    event["reason"] = 2;
    event["data1"] = std::clamp<int64_t>(moved, INT32_MIN, INT32_MAX);
    event["data2"] = 0;
    Send(peer, event);
    return;
  }
  if (op == "generate_alarm") {
    RequireSession(peer, body);
    int16_t camera = CameraArg(body);
    auto seconds = static_cast<int32_t>(link::IntField(body, "seconds", 1, INT16_MAX));
    Send(peer, link::MakeReply(id, Json::object()));
    StartHostAlarm(camera, seconds);
    return;
  }
  if (op == "stop_alarm") {
    RequireSession(peer, body);
    int16_t camera = CameraArg(body);
    bool stopped = host_alarms_.count(camera) != 0;
    Send(peer, link::MakeReply(id, Json{{"stopped", stopped}}));
    EndHostAlarm(camera);
    return;
  }
  if (op == "retrieve") {
    Retrieve(peer, request);
    return;
  }
  throw Refusal{link::kErrorUnknownOp, "unknown op '" + op + "'"};
}

void DvrSimulator::EventOp(Peer& peer, const link::Message& request) {
  const Json& body = request.body;
  const Json& id = body["id"];
  const std::string& op = request.name;
  if (op == "connect") {
    auto session = static_cast<int32_t>(link::IntField(body, "session", 1, INT32_MAX));
    std::string subscribe = link::TextFieldOr(body, "subscribe", link::kSubscribeAlarms);
    if (subscribe != link::kSubscribeAlarms && subscribe != link::kSubscribeSystem) {
      throw Refusal{link::kErrorBadArgument, "unknown subscription '" + subscribe + "'"};
    }
    if (peer.session != 0) throw Refusal{link::kErrorBadArgument, "this connection has its session already"};
    if (refusing_) {
      const std::string reason = "the DVR refuses new sessions";
      Log("event port: session " + std::to_string(session) + " refused");
      Send(peer, link::MakeErrorReply(id, link::kErrorRefused, reason));
      Json error = link::MakeEvent("connect_error");
      error["session"] = session;
      error["error"] = reason;
      Send(peer, error);
      Json gone = link::MakeEvent("disconnected");
      gone["session"] = session;
      Send(peer, gone);
      peer.conn->CloseAfterSending();
      return;
    }
    peer.session = session;
    peer.subscribe = subscribe;
    Log("event port: " + subscribe + " session " + std::to_string(session) + " opened");
    Send(peer, link::MakeReply(id, Json{{"session", session}}));
    Json connected = link::MakeEvent("connected");
    connected["session"] = session;
    Send(peer, connected);
    return;
  }
  if (op == "ack") {
    RequireSession(peer, body);
    peer.acknowledged = true;
    Send(peer, link::MakeReply(id, Json::object()));
    return;
  }
  throw Refusal{link::kErrorUnknownOp, "unknown op '" + op + "'"};
}

int DvrSimulator::Broadcast(const std::string& subscribe, Json event) {
  int sent = 0;
  for (auto& [id, peer] : peers_) {
    if (peer->kind != PortKind::kEvent || !peer->conn->IsOpen() || peer->session == 0 || !peer->acknowledged ||
        peer->subscribe != subscribe) {
      continue;
    }
    event["session"] = peer->session;
    Send(*peer, event);
    ++sent;
  }
  return sent;
}

// ---- control port ----

std::string DvrSimulator::Control(const std::string& line) {
  std::optional<std::vector<std::string>> parsed = SplitWords(line);
  if (!parsed) return "ERR a quoted field is not closed";
  const std::vector<std::string>& words = *parsed;
  if (words.empty()) return "ERR empty command";
  std::string command = Lower(words[0]);
  if (command == "status" && words.size() == 1) return Status();
  if (command == "clock" && words.size() == 1) return "OK clock=" + clock_.Now().FormatDigits14();
  if (command == "drop" && words.size() == 1) return Drop();
  if (command == "refuse") {
    if (words.size() == 2 && (Lower(words[1]) == "on" || Lower(words[1]) == "off")) {
      refusing_ = Lower(words[1]) == "on";
      Log(std::string("refusing new sessions: ") + (refusing_ ? "on" : "off"));
      return std::string("OK refusing=") + (refusing_ ? "on" : "off");
    }
    return "ERR usage: refuse on|off";
  }
  if (command == "sysevent") return SystemEvent(words);
  if (command == "alarm") return Alarm(words);
  if (face_ && command == Lower(face_->Word())) return face_->Control(words);
  if (command == "help") {
    return "OK commands=" + QuoteValue(
                                "alarm begin|end CAMERA TYPE; alarm pos CAMERA TYPE START END [pre=T] [prepos=N] "
                                "[startpos=N] [endpos=N] [override=N] [overridetext=TEXT] [alarmid=TEXT]; "
                                "alarm xml CAMERA STATE TYPE; sysevent CODE [MESSAGE]; drop; refuse on|off; clock; "
                                "status; help");
  }
  return "ERR unknown command '" + words[0] + "' (try help)";
}

std::string DvrSimulator::Status() {
  int alarm_sessions = 0;
  int system_sessions = 0;
  int ready_alarm_sessions = 0;
  int ready_system_sessions = 0;
  int command_sessions = 0;
  int live_connections = 0;
  int retrieving = 0;
  for (const auto& [id, peer] : peers_) {
    if (peer->kind == PortKind::kLive && peer->conn->IsOpen()) ++live_connections;
    if (peer->stream && peer->conn->IsOpen()) ++retrieving;
    if (!peer->conn->IsOpen() || peer->session == 0) continue;
    if (peer->kind == PortKind::kCommand) ++command_sessions;
    if (peer->kind != PortKind::kEvent) continue;
    bool alarms = peer->subscribe == link::kSubscribeAlarms;
    ++(alarms ? alarm_sessions : system_sessions);
    if (peer->acknowledged) ++(alarms ? ready_alarm_sessions : ready_system_sessions);
  }
  std::string cameras;
  for (const auto& [camera, type] : in_alarm_) {
    cameras += (cameras.empty() ? "" : ",") + std::to_string(camera);
  }
  std::string reply = "OK sessions=" + std::to_string(alarm_sessions) +
                      " ready_sessions=" + std::to_string(ready_alarm_sessions) +
                      " system_sessions=" + std::to_string(system_sessions) +
                      " ready_system_sessions=" + std::to_string(ready_system_sessions) +
                      " command_sessions=" + std::to_string(command_sessions) +
                      " cameras=" + std::to_string(options_.cameras) + " cameras_in_alarm=" + QuoteValue(cameras) +
                      " refusing=" + (refusing_ ? "on" : "off") + " time_zone=" + QuoteValue(clock_.ZoneId()) +
                      " clock=" + clock_.Now().FormatDigits14() + " last_time_sync=" + QuoteValue(last_time_sync_) +
                      " live_connections=" + std::to_string(live_connections) +
                      " retrievals=" + std::to_string(retrievals_served_) + " retrieving=" + std::to_string(retrieving) +
                      " ptz_total=" + std::to_string(ptz_total_) + " ptz_count=" + std::to_string(ptz_.size());
  int n = 1;
  for (const std::string& text : ptz_) reply += " ptz." + std::to_string(n++) + "=" + QuoteValue(text);
  return reply;
}

std::string DvrSimulator::Drop() {
  int dropped = 0;
  for (auto& [id, peer] : peers_) {
    if (peer->kind != PortKind::kEvent || !peer->conn->IsOpen()) continue;
    if (peer->session != 0) {
      Json gone = link::MakeEvent("disconnected");
      gone["session"] = peer->session;
      Send(*peer, gone);
      ++dropped;
      Log("event port: session " + std::to_string(peer->session) + " dropped");
    }
    peer->conn->CloseAfterSending();
  }
  ScheduleReap();
  return "OK dropped=" + std::to_string(dropped);
}

std::string DvrSimulator::SystemEvent(const std::vector<std::string>& words) {
  std::optional<uint32_t> code = words.size() >= 2 ? ParseCode(words[1]) : std::nullopt;
  if (!code) return "ERR usage: sysevent CODE [MESSAGE] (CODE 0x... or decimal, 32 bits)";
  std::string message;
  for (size_t i = 2; i < words.size(); ++i) message += (i > 2 ? " " : "") + words[i];
  std::string time = clock_.Now().FormatDigits14();
  Json event = link::MakeEvent("system_event");
  event["code"] = *code;
  event["time"] = time;
  event["message"] = message;
  int sent = Broadcast(link::kSubscribeSystem, event);
  Json xml = link::MakeEvent("system_event_xml");
  xml["xml"] = "<SystemEvent><Code>" + HexCode(*code) + "</Code><Time>" + time + "</Time><Message>" +
               XmlEscape(message) + "</Message></SystemEvent>";
  Broadcast(link::kSubscribeSystem, xml);
  Log("system event " + HexCode(*code) + " sent to " + std::to_string(sent) + " session(s)");
  if (face_) face_->OnSystemEvent(*code, message);
  return "OK sent=" + std::to_string(sent) + " code=" + HexCode(*code) + " time=" + time;
}

// ---- alarms ----

std::optional<int16_t> DvrSimulator::ParseCamera(const std::string& text) const {
  std::optional<int64_t> camera = ParseInt(text, 0, options_.cameras - 1);
  if (!camera) return std::nullopt;
  return static_cast<int16_t>(*camera);
}

std::string DvrSimulator::NextAlarmId() { return std::to_string(next_alarm_id_++); }

Json DvrSimulator::AlarmEdgeEvent(const char* name, int16_t camera, const std::string& time, const std::string& type,
                                  int16_t override_index, const std::string& override_text,
                                  const std::string& alarm_id) {
  Json event = link::MakeEvent(name);
  event["camera"] = camera;
  event["time"] = time;
  event["type"] = type;
  event["override_index"] = override_index;
  event["override_text"] = override_text;
  event["alarm_id"] = alarm_id;
  return event;
}

std::string DvrSimulator::AlarmXml(int16_t camera, const std::string& state, const std::string& pre,
                                   const std::string& start, const std::string& end, const std::string& type,
                                   int16_t override_index, const std::string& override_text,
                                   const std::string& alarm_id) {
  return "<Alarm><Camera>" + std::to_string(camera) + "</Camera><State>" + XmlEscape(state) +
         "</State><PreAlarmTime Ver = \"1\">" + pre + "</PreAlarmTime><StartTime Ver = \"1\">" + start +
         "</StartTime><EndTime Ver = \"1\">" + end + "</EndTime><Type>" + XmlEscape(type) +
         "</Type><OverrideIndex>" + std::to_string(override_index) + "</OverrideIndex><OverrideText>" +
         XmlEscape(override_text) + "</OverrideText><AlarmID>" + XmlEscape(alarm_id) + "</AlarmID></Alarm>";
}

std::string DvrSimulator::Alarm(const std::vector<std::string>& words) {
  std::string what = words.size() >= 2 ? Lower(words[1]) : std::string();
  std::optional<int16_t> camera = words.size() >= 3 ? ParseCamera(words[2]) : std::nullopt;
  std::string now = clock_.Now().FormatDigits14();
  if ((what == "begin" || what == "end") && words.size() == 4 && camera) {
    const std::string& type = words[3];
    std::string alarm_id = NextAlarmId();
    bool begin = what == "begin";
    int sent = Broadcast(link::kSubscribeAlarms,
                         AlarmEdgeEvent(begin ? "alarm_begin" : "alarm_end", *camera, now, type, 0, "", alarm_id));
    if (begin) {
      in_alarm_[*camera] = type;
    } else {
      in_alarm_.erase(*camera);
    }
    if (face_) face_->OnAlarmEdge(*camera, type, begin);
    return "OK sent=" + std::to_string(sent) + " camera=" + std::to_string(*camera) + " type=" + QuoteValue(type) +
           " time=" + now + " alarm_id=" + alarm_id;
  }
  if (what == "xml" && words.size() == 5 && camera) {
    std::string alarm_id = NextAlarmId();
    Json event = link::MakeEvent("alarm_xml");
    event["xml"] = AlarmXml(*camera, words[3], now, now, now, words[4], 0, "", alarm_id);
    int sent = Broadcast(link::kSubscribeAlarms, event);
    return "OK sent=" + std::to_string(sent) + " camera=" + std::to_string(*camera) + " time=" + now +
           " alarm_id=" + alarm_id;
  }
  if (what == "pos" && words.size() >= 6 && camera && DateTime::FromDigits14(words[4]) &&
      DateTime::FromDigits14(words[5])) {
    Json event = link::MakeEvent("alarm_pos");
    event["camera"] = *camera;
    event["pre_alarm_time"] = words[4];
    event["start_time"] = words[4];
    event["end_time"] = words[5];
    event["pre_alarm_pos"] = 0;
    event["start_pos"] = 0;
    event["end_pos"] = 0;
    event["type"] = words[3];
    event["override_index"] = 0;
    event["override_text"] = "";
    event["alarm_id"] = "";
    bool alarm_id_given = false;
    for (size_t i = 6; i < words.size(); ++i) {
      size_t eq = words[i].find('=');
      std::string key = eq == std::string::npos ? words[i] : Lower(words[i].substr(0, eq));
      std::string value = eq == std::string::npos ? std::string() : words[i].substr(eq + 1);
      if (key == "pre" && DateTime::FromDigits14(value)) {
        event["pre_alarm_time"] = value;
      } else if ((key == "prepos" || key == "startpos" || key == "endpos") && ParseInt(value, INT32_MIN, INT32_MAX)) {
        const char* field = key == "prepos" ? "pre_alarm_pos" : key == "startpos" ? "start_pos" : "end_pos";
        event[field] = *ParseInt(value, INT32_MIN, INT32_MAX);
      } else if (key == "override" && ParseInt(value, INT16_MIN, INT16_MAX)) {
        event["override_index"] = *ParseInt(value, INT16_MIN, INT16_MAX);
      } else if (key == "overridetext" && eq != std::string::npos) {
        event["override_text"] = value;
      } else if (key == "alarmid" && eq != std::string::npos) {
        event["alarm_id"] = value;
        alarm_id_given = true;
      } else {
        return "ERR alarm pos: bad option '" + words[i] + "'";
      }
    }
    if (!alarm_id_given) event["alarm_id"] = NextAlarmId();
    int sent = Broadcast(link::kSubscribeAlarms, event);
    return "OK sent=" + std::to_string(sent) + " camera=" + std::to_string(*camera) +
           " alarm_id=" + QuoteValue(event["alarm_id"].get<std::string>());
  }
  if (words.size() >= 3 && !camera && (what == "begin" || what == "end" || what == "xml" || what == "pos")) {
    return "ERR camera '" + words[2] + "' does not exist (0 to " + std::to_string(options_.cameras - 1) + ")";
  }
  return "ERR usage: alarm begin|end CAMERA TYPE | alarm pos CAMERA TYPE START END [options] | "
         "alarm xml CAMERA STATE TYPE";
}

void DvrSimulator::StartHostAlarm(int16_t camera, int32_t seconds) {
  auto it = host_alarms_.find(camera);
  if (it == host_alarms_.end()) {
    HostAlarm alarm;
    alarm.begin = clock_.Now();
    alarm.alarm_id = NextAlarmId();
    alarm.timer = std::make_unique<Timer>(*loop_, [this, camera] { EndHostAlarm(camera); });
    std::string begin = alarm.begin.FormatDigits14();
    Broadcast(link::kSubscribeAlarms, AlarmEdgeEvent("alarm_begin", camera, begin, kHostAlarmType, 0, "", alarm.alarm_id));
    Json xml = link::MakeEvent("alarm_xml");
    xml["xml"] = AlarmXml(camera, "Begin", begin, begin, begin, kHostAlarmType, 0, "", alarm.alarm_id);
    Broadcast(link::kSubscribeAlarms, xml);
    in_alarm_[camera] = kHostAlarmType;
    it = host_alarms_.emplace(camera, std::move(alarm)).first;
    Log("host-raised alarm on camera " + std::to_string(camera) + " for " + std::to_string(seconds) + " s");
  } else {
    Log("host-raised alarm on camera " + std::to_string(camera) + " extended to " + std::to_string(seconds) + " s");
  }
  // A new request on a camera already in a host-raised alarm restarts its
  // countdown.
  it->second.timer->SetInterval(seconds * 1000);
  it->second.timer->SetEnabled(true);
}

bool DvrSimulator::EndHostAlarm(int16_t camera) {
  auto it = host_alarms_.find(camera);
  if (it == host_alarms_.end()) return false;
  std::string begin = it->second.begin.FormatDigits14();
  std::string end = clock_.Now().FormatDigits14();
  std::string alarm_id = it->second.alarm_id;
  // The timer may be the caller: it stays alive until its handler returns.
  host_alarms_.erase(it);
  in_alarm_.erase(camera);
  Broadcast(link::kSubscribeAlarms, AlarmEdgeEvent("alarm_end", camera, end, kHostAlarmType, 0, "", alarm_id));
  Json pos = link::MakeEvent("alarm_pos");
  pos["camera"] = camera;
  pos["pre_alarm_time"] = begin;
  pos["start_time"] = begin;
  pos["end_time"] = end;
  pos["pre_alarm_pos"] = 0;
  pos["start_pos"] = 0;
  pos["end_pos"] = 0;
  pos["type"] = kHostAlarmType;
  pos["override_index"] = 0;
  pos["override_text"] = "";
  pos["alarm_id"] = alarm_id;
  Broadcast(link::kSubscribeAlarms, pos);
  Log("host-raised alarm on camera " + std::to_string(camera) + " ended");
  return true;
}

// ---- retrievals ----

std::string DvrSimulator::VideoBytes(int16_t camera, DateTime begin, int64_t offset, int64_t length) {
  std::string bytes;
  bytes.reserve(static_cast<size_t>(length));
  int64_t position = offset;
  const int64_t stop = offset + length;
  while (position < stop) {
    int64_t block = position / kVideoBytesPerSecond;
    int64_t in_block = position % kVideoBytesPerSecond;
    std::string header = "dvrsim camera=" + std::to_string(camera) +
                         " time=" + begin.AddSeconds(block).FormatDigits14() + "\n";
    int64_t block_stop = std::min(stop, (block + 1) * kVideoBytesPerSecond);
    for (; position < block_stop; ++position, ++in_block) {
      bytes += in_block < static_cast<int64_t>(header.size()) ? header[static_cast<size_t>(in_block)]
                                                               : static_cast<char>((camera + in_block) % 256);
    }
  }
  return bytes;
}

void DvrSimulator::Retrieve(Peer& peer, const link::Message& request) {
  const Json& body = request.body;
  RequireSession(peer, body);
  if (peer.stream) throw Refusal{link::kErrorBusy, "a retrieval is running on this session"};
  int16_t camera = CameraArg(body);
  std::string begin_text = link::TimeField(body, "begin");
  std::string end_text = link::TimeField(body, "end");
  std::string file = link::TextFieldOr(body, "file", "");
  DateTime begin = *DateTime::FromDigits14(begin_text);
  DateTime end = *DateTime::FromDigits14(end_text);
  int64_t seconds = DateTime::DiffSeconds(begin, end);
  if (seconds < 0) throw Refusal{link::kErrorBadArgument, "end " + end_text + " is before begin " + begin_text};
  if (seconds > kMaxRetrieveSeconds) {
    throw Refusal{link::kErrorBadArgument, "a span of " + std::to_string(seconds) + " s is longer than the " +
                                               std::to_string(kMaxRetrieveSeconds) + " s one retrieval may cover"};
  }
  // A retrieval is a video session of its own: a DVR that takes no new
  // sessions takes no new retrievals either, while open sessions go on.
  if (refusing_) throw Refusal{link::kErrorRefused, "the DVR refuses new sessions"};
  Peer::VideoStream stream;
  stream.camera = camera;
  stream.begin = begin;
  stream.total = seconds * kVideoBytesPerSecond;
  Send(peer, link::MakeReply(body["id"], Json{{"bytes", stream.total}}));
  Log("command port: session " + std::to_string(peer.session) + " retrieves camera " + std::to_string(camera) +
      " from " + begin_text + " to " + end_text + " (" + std::to_string(stream.total) + " bytes" +
      (file.empty() ? std::string() : ", file " + link::Clip(file, 100)) + ")");
  peer.stream = stream;
  ScheduleStreaming();
}

void DvrSimulator::ScheduleStreaming() {
  if (stream_posted_) return;
  stream_posted_ = true;
  std::weak_ptr<bool> alive = alive_;
  loop_->Post([this, alive] {
    if (alive.lock()) StreamVideo();
  });
}

void DvrSimulator::StreamVideo() {
  stream_posted_ = false;
  bool room = false;
  bool waiting = false;
  for (auto& [id, peer] : peers_) {
    if (!peer->stream || !peer->conn->IsOpen()) continue;
    for (int n = 0; n < kStreamChunksPerTurn && peer->stream && peer->conn->PendingOutput() < kStreamHighWater; ++n) {
      SendNextChunk(*peer);
    }
    if (!peer->stream || !peer->conn->IsOpen()) continue;
    (peer->conn->PendingOutput() < kStreamHighWater ? room : waiting) = true;
  }
  // A stream with room goes on next turn; one whose socket is full is
  // looked at again shortly rather than in a busy loop.
  if (room) {
    ScheduleStreaming();
  } else if (waiting && !stream_timer_->Enabled()) {
    stream_timer_->SetEnabled(true);
  }
}

void DvrSimulator::SendNextChunk(Peer& peer) {
  Peer::VideoStream& stream = *peer.stream;
  if (stream.sent < stream.total) {
    int64_t length = std::min(kVideoChunkBytes, stream.total - stream.sent);
    Json data = link::MakeEvent("video_data");
    data["session"] = peer.session;
    data["offset"] = stream.sent;
    data["data"] = link::Base64Encode(VideoBytes(stream.camera, stream.begin, stream.sent, length));
    Send(peer, data);
    stream.sent += length;
    Json progress = link::MakeEvent("get_video");
    progress["session"] = peer.session;
    progress["reason"] = kVideoProgress;
    progress["data1"] = stream.sent;
    progress["data2"] = stream.total;
    Send(peer, progress);
  }
  if (stream.sent < stream.total) return;
  Json done = link::MakeEvent("get_video");
  done["session"] = peer.session;
  done["reason"] = kVideoDone;
  done["data1"] = stream.total;
  done["data2"] = stream.total;
  Send(peer, done);
  Log("command port: session " + std::to_string(peer.session) + " retrieval done, " + std::to_string(stream.total) +
      " bytes");
  ++retrievals_served_;
  peer.stream.reset();
}

}  // namespace dvrlink::sim
