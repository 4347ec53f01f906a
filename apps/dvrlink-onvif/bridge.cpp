#include "dvrlink-onvif/bridge.h"

#include <libxml/entities.h>

#include <algorithm>
#include <climits>
#include <sstream>

namespace dvrlink::onvif {
namespace {

std::vector<std::string> Words(const std::string& line) {
  std::vector<std::string> words;
  std::istringstream in(line);
  std::string word;
  while (in >> word) words.push_back(word);
  return words;
}

bool IsNumber(const std::string& text) {
  return !text.empty() && text.size() <= 9 && text.find_first_not_of("0123456789") == std::string::npos;
}

Json AlarmEdge(const char* name, int camera, const std::string& time, const std::string& word,
               const std::string& alarm_id) {
  Json event = link::MakeEvent(name);
  event["camera"] = camera;
  event["time"] = time;
  event["type"] = word;
  event["override_index"] = 0;
  event["override_text"] = "";
  event["alarm_id"] = alarm_id;
  return event;
}

// XML text escaped for the alarm_xml element texts.
std::string Escape(const std::string& text) {
  xmlChar* escaped = xmlEncodeSpecialChars(nullptr, reinterpret_cast<const xmlChar*>(text.c_str()));
  std::string out = escaped ? reinterpret_cast<const char*>(escaped) : "";
  xmlFree(escaped);
  return out;
}

}  // namespace

std::string BridgeVersion() {
  return "dvrlink-onvif " + std::to_string(DVRLINK_VERSION_MAJOR) + "." + std::to_string(DVRLINK_VERSION_MINOR) + "." +
         std::to_string(DVRLINK_VERSION_REVISION);
}

Bridge::Bridge(EventLoop& loop, const BridgeConfig& config, std::function<void(const std::string&)> log)
    : loop_(&loop),
      config_(&config),
      log_(std::move(log)),
      device_zone_(config.time_zone),
      computer_zone_(config.computer_time_zone) {
  LinkServerOptions options;
  options.bind_address = config.bind;
  options.command_port = config.command_port;
  options.event_port = config.event_port;
  options.live_port = config.live_port;
  options.log = log_;
  server_ = std::make_unique<LinkServer>(loop, *this, options);
  DeviceSession::Handlers handlers;
  handlers.availability = [this](bool available, const std::string& why) { OnAvailability(available, why); };
  handlers.notifications = [this](const std::vector<Notification>& m) { OnNotifications(m); };
  handlers.log = log_;
  device_ = std::make_unique<DeviceSession>(loop, config, handlers);
}

Bridge::~Bridge() {
  *alive_ = false;
  replays_.clear();
  relay_alarms_.clear();
  device_.reset();
  server_.reset();
}

void Bridge::Log(const std::string& text) const {
  if (log_) log_(text);
}

std::string Bridge::PortsLine() const {
  return "ports command=" + std::to_string(server_->command_port()) + " event=" +
         std::to_string(server_->event_port()) + " live=" + std::to_string(server_->live_port());
}

void Bridge::Start() {
  Log("device " + config_->url + ", its clock in " + device_zone_.id() + "; service times in " +
      computer_zone_.id());
  device_->Start();
}

void Bridge::Stop(std::function<void()> done) {
  for (auto& [session, replay] : replays_) replay->Cancel("the bridge stops");
  server_->DropEventSessions();
  for (auto& [camera, alarm] : relay_alarms_) alarm.timer->SetEnabled(false);
  device_->Stop(std::move(done));
}

// ---- mapping ----

int Bridge::Cameras() const {
  if (!config_->cameras.empty()) return config_->cameras.rbegin()->first + 1;
  std::vector<std::string> sources;
  for (const MediaProfile& p : device_->profiles()) {
    if (std::find(sources.begin(), sources.end(), p.source_token) == sources.end()) sources.push_back(p.source_token);
  }
  return std::max<int>(1, static_cast<int>(sources.size()));
}

std::string Bridge::SourceToken(int camera) const {
  if (!config_->cameras.empty()) {
    auto it = config_->cameras.find(camera);
    return it == config_->cameras.end() ? "" : it->second;
  }
  // Without a map, camera N is the N-th video source of the device's profiles.
  std::vector<std::string> sources;
  for (const MediaProfile& p : device_->profiles()) {
    if (std::find(sources.begin(), sources.end(), p.source_token) == sources.end()) sources.push_back(p.source_token);
  }
  return camera >= 0 && camera < static_cast<int>(sources.size()) ? sources[static_cast<size_t>(camera)] : "";
}

std::optional<int> Bridge::CameraOfToken(const std::string& token) const {
  std::string source = token;
  for (const MediaProfile& p : device_->profiles()) {
    if (token == p.token || token == p.source_config_token) source = p.source_token;
  }
  for (int camera = 0; camera < Cameras(); ++camera) {
    if (!source.empty() && SourceToken(camera) == source) return camera;
  }
  return std::nullopt;
}

std::string Bridge::ProfileOf(int camera) const {
  auto it = config_->profiles.find(camera);
  if (it != config_->profiles.end()) return it->second;
  const std::string source = SourceToken(camera);
  std::string first;
  for (const MediaProfile& p : device_->profiles()) {
    if (p.source_token != source) continue;
    if (p.ptz) return p.token;
    if (first.empty()) first = p.token;
  }
  return first;
}

std::optional<int> Bridge::NumberOf(const std::map<int, std::string>& configured, const std::vector<std::string>& listed,
                                    const std::string& token) const {
  if (!configured.empty()) {
    for (const auto& [n, t] : configured) {
      if (t == token) return n;
    }
    return std::nullopt;
  }
  auto it = std::find(listed.begin(), listed.end(), token);
  if (it == listed.end()) return std::nullopt;
  return static_cast<int>(it - listed.begin());
}

std::string Bridge::RelayOf(int camera) const {
  if (!config_->relays.empty()) {
    auto it = config_->relays.find(camera);
    return it == config_->relays.end() ? "" : it->second;
  }
  const std::vector<std::string>& relays = device_->relay_tokens();
  return camera >= 0 && camera < static_cast<int>(relays.size()) ? relays[static_cast<size_t>(camera)] : "";
}

std::optional<int> Bridge::SourceOf(const Notification& n, SourceKind kind) const {
  for (const SimpleItem& item : n.source) {
    std::optional<int> found;
    if (kind == SourceKind::kCamera) {
      found = CameraOfToken(item.value);
    } else if (kind == SourceKind::kInput) {
      found = NumberOf(config_->inputs, device_->input_tokens(), item.value);
    } else {
      std::optional<int> relay = NumberOf(config_->relays, device_->relay_tokens(), item.value);
      if (relay) found = relay;  // relay N belongs to camera N
    }
    if (found) return found;
  }
  return std::nullopt;
}

std::string Bridge::DeviceTime(int64_t utc) const { return device_zone_.Local(utc).FormatDigits14(); }

// ---- events ----

void Bridge::OnAvailability(bool available, const std::string& why) {
  if (available) {
    presets_.clear();
    tours_.clear();
    return;
  }
  int dropped = server_->DropEventSessions();
  Log("device unavailable (" + why + "): " + std::to_string(dropped) + " event session(s) disconnected");
}

void Bridge::OnNotifications(const std::vector<Notification>& messages) {
  for (const Notification& n : messages) {
    if (IsHealthTopic(n.topic, config_->system_events)) {
      std::optional<uint32_t> code = SystemEventCode(n, config_->system_events);
      if (code && n.operation != "Initialized") OnSystemEvent(n, *code);
      continue;
    }
    OnAlarm(n);
  }
}

void Bridge::OnSystemEvent(const Notification& n, uint32_t code) {
  const std::string time = DeviceTime(n.utc.value_or(device_->client().DeviceUtcNow()));
  const std::string message = n.topic + (n.data.empty() ? "" : " " + n.DataText());
  Json event = link::MakeEvent("system_event");
  event["code"] = code;
  event["time"] = time;
  event["message"] = message;
  int sent = server_->Broadcast(link::kSubscribeSystem, event);
  Json xml = link::MakeEvent("system_event_xml");
  xml["xml"] = n.xml;
  server_->Broadcast(link::kSubscribeSystem, xml);
  Log("system event " + std::to_string(code) + " (" + message + ") sent to " + std::to_string(sent) + " session(s)");
}

void Bridge::OnAlarm(const Notification& n) {
  const AlarmClass cls = ClassifyTopic(n.topic, config_->alarm_topics);
  std::optional<int> camera = SourceOf(n, cls.kind);
  if (!camera) {
    std::string items;
    for (const SimpleItem& item : n.source) items += " " + item.name + "=" + item.value;
    Log("notification " + n.topic + " from a source no camera, input or relay maps to (" +
        (items.empty() ? std::string("no source") : items.substr(1)) + "): dropped");
    return;
  }
  const int64_t utc = n.utc.value_or(device_->client().DeviceUtcNow());
  AlarmState& state = alarms_[{cls.word, *camera}];
  std::optional<bool> active = ActiveState(n);
  const bool initialized = n.operation == "Initialized";
  if (!active) {
    // A pulse (a line crossed, a count): begins and ends at once.
    if (initialized) return;
    AlarmBegin(cls.word, *camera, utc, state);
    AlarmEnd(cls.word, *camera, utc, state);
    return;
  }
  if (*active && !state.active) {
    state.active = true;
    // The state a new subscription starts with is no alarm of its own.
    if (!initialized) AlarmBegin(cls.word, *camera, utc, state);
  } else if (!*active && state.active) {
    state.active = false;
    if (state.reported) AlarmEnd(cls.word, *camera, utc, state);
  }
}

void Bridge::AlarmBegin(const std::string& word, int camera, int64_t utc, AlarmState& state) {
  state.reported = true;
  state.begin_utc = utc;
  state.alarm_id = std::to_string(next_alarm_id_++);
  const std::string time = DeviceTime(utc);
  int sent = server_->Broadcast(link::kSubscribeAlarms, AlarmEdge("alarm_begin", camera, time, word, state.alarm_id));
  Json xml = link::MakeEvent("alarm_xml");
  xml["xml"] = "<Alarm><Camera>" + std::to_string(camera) + "</Camera><State>Begin</State><PreAlarmTime Ver = \"1\">" +
               time + "</PreAlarmTime><StartTime Ver = \"1\">" + time + "</StartTime><EndTime Ver = \"1\">" + time +
               "</EndTime><Type>" + Escape(word) + "</Type><OverrideIndex>0</OverrideIndex><OverrideText>" +
               "</OverrideText><AlarmID>" + state.alarm_id + "</AlarmID></Alarm>";
  server_->Broadcast(link::kSubscribeAlarms, xml);
  Log("alarm " + word + " began on " + std::to_string(camera) + " at " + time + " (alarm " + state.alarm_id +
      ", " + std::to_string(sent) + " session(s))");
}

void Bridge::AlarmEnd(const std::string& word, int camera, int64_t utc, AlarmState& state) {
  state.reported = false;
  const std::string start = DeviceTime(state.begin_utc);
  const std::string end = DeviceTime(std::max(utc, state.begin_utc));
  server_->Broadcast(link::kSubscribeAlarms, AlarmEdge("alarm_end", camera, end, word, state.alarm_id));
  Json pos = link::MakeEvent("alarm_pos");
  pos["camera"] = camera;
  pos["pre_alarm_time"] = start;
  pos["start_time"] = start;
  pos["end_time"] = end;
  pos["pre_alarm_pos"] = 0;
  pos["start_pos"] = 0;
  pos["end_pos"] = 0;
  pos["type"] = word;
  pos["override_index"] = 0;
  pos["override_text"] = "";
  pos["alarm_id"] = state.alarm_id;
  server_->Broadcast(link::kSubscribeAlarms, pos);
  Log("alarm " + word + " ended on " + std::to_string(camera) + " at " + end + " (alarm " + state.alarm_id + ")");
}

// ---- command port ----

bool Bridge::TakesEventSessions(std::string& why) {
  if (device_->available()) return true;
  why = "the ONVIF device " + config_->url + " does not answer";
  return false;
}

void Bridge::CommandOp(const std::string& op, int32_t session, const Json& body, Answer answer) {
  try {
    if (op == "version") return Version(answer);
    if (op != "timesync" && op != "generate_alarm" && op != "stop_alarm" && op != "retrieve") {
      return answer(LinkAnswer::Error(link::kErrorUnknownOp, "unknown op '" + op + "'"));
    }
    if (!device_->available()) {
      return answer(LinkAnswer::Error(kErrorDevice, "the ONVIF device " + config_->url + " does not answer"));
    }
    if (op == "timesync") return TimeSync(session, body, answer);
    if (op == "generate_alarm") return GenerateAlarm(body, answer);
    if (op == "retrieve") return Retrieve(session, body, answer);
    StopAlarm(body, answer);
  } catch (const link::FieldError& e) {
    answer(LinkAnswer::Error(link::kErrorMalformed, e.what()));
  }
}

void Bridge::Retrieve(int32_t session, const Json& body, Answer answer) {
  const int camera = static_cast<int>(link::IntField(body, "camera", INT16_MIN, INT16_MAX));
  const std::string begin = link::TimeField(body, "begin");
  const std::string end = link::TimeField(body, "end");
  if (replays_.count(session)) {
    return answer(LinkAnswer::Error(link::kErrorBusy, "a retrieval is running on this session"));
  }
  const std::string source = SourceToken(camera);
  if (source.empty()) {
    return answer(LinkAnswer::Error(link::kErrorBadArgument, "camera " + std::to_string(camera) +
                                                                 " does not exist (0 to " +
                                                                 std::to_string(Cameras() - 1) + ")"));
  }
  // The span is in the DVR's local time, which is the device's zone.
  ReplayRequest request;
  request.camera = camera;
  request.source_token = source;
  request.profile_token = ProfileOf(camera);
  auto configured = config_->recordings.find(camera);
  if (configured != config_->recordings.end()) request.recording_token = configured->second;
  request.begin_utc = device_zone_.Utc(*DateTime::FromDigits14(begin));
  request.end_utc = device_zone_.Utc(*DateTime::FromDigits14(end));
  request.begin_text = begin;
  request.end_text = end;
  for (const MediaProfile& p : device_->profiles()) {
    if (p.token == request.profile_token) request.bitrate_kbps = p.bitrate_kbps;
  }
  const int64_t seconds = request.end_utc - request.begin_utc;
  if (seconds <= 0 || seconds > Replay::kMaxSeconds) {
    return answer(LinkAnswer::Error(link::kErrorBadArgument,
                                    "a span from " + begin + " to " + end + " is not 1 to " +
                                        std::to_string(Replay::kMaxSeconds) + " s long"));
  }
  std::weak_ptr<bool> alive = alive_;
  auto replay = std::make_unique<Replay>(*loop_, *device_, std::move(request), config_->replay_stall_seconds, log_,
                                         [this, alive, session] {
                                           if (alive.lock()) replays_.erase(session);
                                         });
  Replay& started = *replay;
  replays_[session] = std::move(replay);
  started.Start([this, alive, session, answer](LinkAnswer a) {
    // A refused retrieval goes at once; a granted one when its stream ends.
    if (a.error_code && alive.lock()) replays_.erase(session);
    answer(std::move(a));
  });
}

void Bridge::CommandSessionClosed(int32_t session) {
  auto it = replays_.find(session);
  if (it != replays_.end()) it->second->Cancel("the session has closed");
}

void Bridge::Version(Answer answer) {
  const DeviceInfo& info = device_->info();
  std::string text = BridgeVersion();
  if (!info.manufacturer.empty() || !info.model.empty()) {
    text = info.manufacturer + " " + info.model + ", firmware " + info.firmware + " (via " + text + ")";
  }
  LinkAnswer a;
  a.result = Json{{"version", text}, {"protocol", link::kProtocolVersion}, {"cameras", Cameras()}};
  answer(a);
}

LinkAnswer Bridge::DeviceError(const CallResult& r) {
  if (r.transport()) device_->Fail(r.error);
  return LinkAnswer::Error(kErrorDevice, "the device failed: " + r.error);
}

void Bridge::TimeSync(int32_t session, const Json& body, Answer answer) {
  const std::string text = link::TimeField(body, "time");
  // The service sends this computer's local time; the device is set in UTC.
  const int64_t utc = computer_zone_.Utc(*DateTime::FromDigits14(text));
  const int64_t before = device_->client().DeviceUtcNow();
  const bool dst = device_->daylight_savings();
  device_->client().Call(
      device_->ServiceUrl(ns::kDevice), ns::kDevice, "SetSystemDateAndTime",
      [utc, dst](Envelope& e, xmlNodePtr op) {
        e.Add(op, ns::kDevice, "DateTimeType", std::string("Manual"));
        e.Add(op, ns::kDevice, "DaylightSavings", std::string(dst ? "true" : "false"));
        xmlNodePtr when = e.Add(op, ns::kDevice, "UTCDateTime");
        const std::string iso = FormatUtc(utc);  // YYYY-MM-DDThh:mm:ssZ
        xmlNodePtr time = e.Add(when, ns::kSchema, "Time");
        e.Add(time, ns::kSchema, "Hour", std::to_string(std::stoi(iso.substr(11, 2))));
        e.Add(time, ns::kSchema, "Minute", std::to_string(std::stoi(iso.substr(14, 2))));
        e.Add(time, ns::kSchema, "Second", std::to_string(std::stoi(iso.substr(17, 2))));
        xmlNodePtr date = e.Add(when, ns::kSchema, "Date");
        e.Add(date, ns::kSchema, "Year", iso.substr(0, 4));
        e.Add(date, ns::kSchema, "Month", std::to_string(std::stoi(iso.substr(5, 2))));
        e.Add(date, ns::kSchema, "Day", std::to_string(std::stoi(iso.substr(8, 2))));
      },
      config_->request_timeout_ms,
      [this, session, utc, before, text, answer](CallResult r) {
        if (!r.ok()) {
          Log("timesync " + text + ": " + r.error);
          return answer(DeviceError(r));
        }
        device_->client().SetSkew(utc - UtcNow());
        LinkAnswer a;
        Json event = link::MakeEvent("time_sync");
        event["session"] = session;
        event["reason"] = 2;
        event["data1"] = std::clamp<int64_t>(utc - before, INT32_MIN, INT32_MAX);
        event["data2"] = 0;
        a.events.push_back(event);
        Log("device clock set to " + FormatUtc(utc) + " (" + text + " " + computer_zone_.id() + ")");
        answer(a);
      });
}

void Bridge::SetRelay(const std::string& token, bool active, std::function<void(const CallResult&)> done) {
  const bool io = device_->HasService(ns::kDeviceIo);
  const char* ns_uri = io ? ns::kDeviceIo : ns::kDevice;
  device_->client().Call(
      device_->ServiceUrl(ns_uri), ns_uri, "SetRelayOutputState",
      [ns_uri, token, active](Envelope& e, xmlNodePtr op) {
        e.Add(op, ns_uri, "RelayOutputToken", token);
        e.Add(op, ns_uri, "LogicalState", std::string(active ? "active" : "inactive"));
      },
      config_->request_timeout_ms, [done](CallResult r) { done(r); });
}

void Bridge::GenerateAlarm(const Json& body, Answer answer) {
  const int camera = static_cast<int>(link::IntField(body, "camera", INT16_MIN, INT16_MAX));
  const int seconds = static_cast<int>(link::IntField(body, "seconds", 1, INT16_MAX));
  const std::string relay = RelayOf(camera);
  if (relay.empty()) {
    return answer(LinkAnswer::Error(link::kErrorBadArgument,
                                    "camera " + std::to_string(camera) + " has no relay output (relay." +
                                        std::to_string(camera) + " in [map])"));
  }
  auto running = relay_alarms_.find(camera);
  if (running != relay_alarms_.end()) {
    // A new request on a camera whose relay is on restarts its count.
    running->second.timer->SetInterval(seconds * 1000);
    running->second.timer->SetEnabled(true);
    Log("relay " + relay + " of camera " + std::to_string(camera) + " kept on for " + std::to_string(seconds) + " s");
    return answer(LinkAnswer());
  }
  SetRelay(relay, true, [this, camera, seconds, relay, answer](const CallResult& r) {
    if (!r.ok()) {
      Log("relay " + relay + " of camera " + std::to_string(camera) + ": " + r.error);
      return answer(DeviceError(r));
    }
    RelayAlarm& alarm = relay_alarms_[camera];
    alarm.token = relay;
    alarm.timer = std::make_unique<Timer>(*loop_, [this, camera] { EndRelayAlarm(camera); });
    alarm.timer->SetInterval(seconds * 1000);
    alarm.timer->SetEnabled(true);
    Log("relay " + relay + " of camera " + std::to_string(camera) + " on for " + std::to_string(seconds) + " s");
    answer(LinkAnswer());
  });
}

void Bridge::EndRelayAlarm(int camera) {
  auto it = relay_alarms_.find(camera);
  if (it == relay_alarms_.end()) return;
  it->second.timer->SetEnabled(false);
  const std::string relay = it->second.token;
  // The timer may be the caller: it goes once its handler has returned.
  std::shared_ptr<Timer> timer(std::move(it->second.timer));
  relay_alarms_.erase(it);
  loop_->Post([timer] {});
  SetRelay(relay, false, [this, relay, camera](const CallResult& r) {
    Log("relay " + relay + " of camera " + std::to_string(camera) + (r.ok() ? " off" : ": " + r.error));
    if (r.transport()) device_->Fail(r.error);
  });
}

void Bridge::StopAlarm(const Json& body, Answer answer) {
  const int camera = static_cast<int>(link::IntField(body, "camera", INT16_MIN, INT16_MAX));
  auto it = relay_alarms_.find(camera);
  if (it == relay_alarms_.end()) {
    LinkAnswer a;
    a.result = Json{{"stopped", false}};
    return answer(a);
  }
  const std::string relay = it->second.token;
  relay_alarms_.erase(it);
  SetRelay(relay, false, [this, relay, camera, answer](const CallResult& r) {
    if (!r.ok()) return answer(DeviceError(r));
    Log("relay " + relay + " of camera " + std::to_string(camera) + " off (stopped)");
    LinkAnswer a;
    a.result = Json{{"stopped", true}};
    answer(a);
  });
}

// ---- live port ----

void Bridge::LiveClosed(uint64_t connection) { live_cameras_.erase(connection); }

void Bridge::LiveLine(uint64_t connection, const std::string& line) {
  std::vector<std::string> words = Words(line);
  if (words.empty()) return;
  if (words[0] == "RequestSession" && words.size() == 5 && IsNumber(words[4])) {
    live_cameras_[connection] = std::stoi(words[4]);
    return;
  }
  if (words[0] == "EndSession") {
    live_cameras_.erase(connection);
    return;
  }
  auto camera = live_cameras_.find(connection);
  if (camera == live_cameras_.end()) {
    Log("live port: '" + link::Clip(line, 100) + "' outside a session: ignored");
    return;
  }
  if (!device_->available()) {
    Log("live port: '" + link::Clip(line, 100) + "' for camera " + std::to_string(camera->second) +
        ": the device does not answer");
    return;
  }
  Ptz(camera->second, words);
}

std::optional<std::string> Bridge::Pick(const std::vector<std::string>& tokens, const std::string& number) {
  // A token that is the number itself, else the number-th of the device's list.
  if (std::find(tokens.begin(), tokens.end(), number) != tokens.end()) return number;
  if (!IsNumber(number)) return std::nullopt;
  size_t n = std::stoul(number);
  if (n < 1 || n > tokens.size()) return std::nullopt;
  return tokens[n - 1];
}

void Bridge::WithList(const std::string& profile, bool tours, Tokens then) {
  auto& cache = tours ? tours_ : presets_;
  auto cached = cache.find(profile);
  if (cached != cache.end()) return then(cached->second);
  device_->client().Call(
      device_->ServiceUrl(ns::kPtz), ns::kPtz, tours ? "GetPresetTours" : "GetPresets",
      [profile](Envelope& e, xmlNodePtr op) { e.Add(op, ns::kPtz, "ProfileToken", profile); },
      config_->request_timeout_ms, [this, profile, tours, then](CallResult r) {
        if (!r.ok()) {
          Log(r.error + " (profile " + profile + ")");
          if (r.transport()) device_->Fail(r.error);
          return;
        }
        std::vector<std::string> tokens;
        for (xmlNodePtr item : Children(r.message.payload, ns::kPtz, tours ? "PresetTour" : "Preset")) {
          tokens.push_back(Attr(item, "token"));
        }
        (tours ? tours_ : presets_)[profile] = tokens;
        then(tokens);
      });
}

void Bridge::PtzCall(int camera, const char* op, std::function<void(Envelope&, xmlNodePtr)> body,
                     std::function<void()> then) {
  std::string name = op;
  device_->client().Call(device_->ServiceUrl(ns::kPtz), ns::kPtz, op, std::move(body), config_->request_timeout_ms,
                         [this, camera, name, then](CallResult r) {
                           Log("camera " + std::to_string(camera) + ": " + (r.ok() ? name + " done" : r.error));
                           if (r.transport()) device_->Fail(r.error);
                           if (r.ok() && then) then();
                         });
}

void Bridge::Ptz(int camera, const std::vector<std::string>& words) {
  const std::string profile = ProfileOf(camera);
  if (profile.empty()) {
    Log("live port: camera " + std::to_string(camera) + " has no media profile: '" + words[0] + "' ignored");
    return;
  }
  auto stop_tour = [this, camera, profile](std::function<void()> then) {
    auto tour = running_tours_.find(camera);
    if (tour == running_tours_.end()) return then();
    std::string token = tour->second;
    running_tours_.erase(tour);
    PtzCall(
        camera, "OperatePresetTour",
        [profile, token](Envelope& e, xmlNodePtr op) {
          e.Add(op, ns::kPtz, "ProfileToken", profile);
          e.Add(op, ns::kPtz, "PresetTourToken", token);
          e.Add(op, ns::kPtz, "Operation", std::string("Stop"));
        },
        then);
  };
  if (words[0] == "RunQuickView" && words.size() == 3) {
    const std::string number = words[2];
    WithList(profile, false, [this, camera, profile, number, stop_tour](const std::vector<std::string>& presets) {
      std::optional<std::string> token = Pick(presets, number);
      if (!token) {
        Log("camera " + std::to_string(camera) + ": no preset " + number + " among " + std::to_string(presets.size()));
        return;
      }
      // A preset tour still running would move the camera on at once.
      stop_tour([this, camera, profile, token] {
        PtzCall(camera, "GotoPreset", [profile, token](Envelope& e, xmlNodePtr op) {
          e.Add(op, ns::kPtz, "ProfileToken", profile);
          e.Add(op, ns::kPtz, "PresetToken", *token);
        });
      });
    });
    return;
  }
  if (words[0] == "RunPattern" && words.size() >= 4) {
    const bool stop = words[2] == "0";
    const std::string number = words[3];
    WithList(profile, true, [this, camera, profile, number, stop, stop_tour](const std::vector<std::string>& tours) {
      std::optional<std::string> token = Pick(tours, number);
      if (!token) {
        Log("camera " + std::to_string(camera) + ": no preset tour " + number + " among " +
            std::to_string(tours.size()));
        return;
      }
      stop_tour([this, camera, profile, token, stop] {
        if (stop) return;  // REPEATS 0 only stops the tour
        running_tours_[camera] = *token;
        PtzCall(camera, "OperatePresetTour", [profile, token](Envelope& e, xmlNodePtr op) {
          e.Add(op, ns::kPtz, "ProfileToken", profile);
          e.Add(op, ns::kPtz, "PresetTourToken", *token);
          e.Add(op, ns::kPtz, "Operation", std::string("Start"));
        });
      });
    });
    return;
  }
  Log("live port: camera " + std::to_string(camera) + ": '" + words[0] + "' is not a camera-control text: ignored");
}

}  // namespace dvrlink::onvif
