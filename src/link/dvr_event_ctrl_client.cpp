#include "link/dvr_event_ctrl_client.h"

#include <climits>
#include <functional>

#include "database/db_state.h"
#include "support/debug_log.h"

namespace dvrlink {

using link::Json;

namespace {

constexpr const char* kSource = "DVR link, DvrEventCtrl";
enum Target { kSessionSink = 1, kAlarmSink = 2 };

int16_t Int16(const Json& body, const char* name) {
  return static_cast<int16_t>(link::IntField(body, name, INT16_MIN, INT16_MAX));
}
int16_t Int16Or(const Json& body, const char* name) {
  return static_cast<int16_t>(link::IntFieldOr(body, name, INT16_MIN, INT16_MAX, 0));
}
int32_t Int32Or(const Json& body, const char* name) {
  return static_cast<int32_t>(link::IntFieldOr(body, name, INT32_MIN, INT32_MAX, 0));
}

// The fields shared by alarm_begin and alarm_end.
struct AlarmEdge {
  int16_t camera;
  std::string time, type;
  int16_t override_index;
  std::string override_text, alarm_id;
};

// Hands one alarm to its handler. When the host database could not be
// reached meanwhile, the component could neither look the DVR up nor record
// the alarm, so the host never hears of it: it is counted and logged with
// what the DVR said, so an operator can see what the host missed.
void HandOnAlarm(const std::string& url, const std::string& what, int16_t camera, const std::string& time,
                 const std::string& type, const std::function<void()>& handler) {
  uint64_t failures_before = DbReach().failures;
  handler();
  if (DbReach().failures == failures_before) return;
  uint64_t lost = ++DbReach().alarms_lost;
  LogError(kSource, "alarm not recorded, the host database could not be reached: " + what + " of the DVR at " +
                        url + ", camera " + std::to_string(camera) + ", DVR time " + time + ", type " + type +
                        " (alarms lost so far: " + std::to_string(lost) + ")",
           0);
}

AlarmEdge ReadAlarmEdge(const Json& body) {
  return AlarmEdge{Int16(body, "camera"),
                   link::TextField(body, "time"),
                   link::TextField(body, "type"),
                   Int16Or(body, "override_index"),
                   link::TextFieldOr(body, "override_text", ""),
                   link::TextFieldOr(body, "alarm_id", "")};
}

}  // namespace

void DvrAlmEvtCtrlClient::SetEventSink(IDvrAlarmEvents* sink) {
  sink_ = sink;
  if (sink == nullptr) {
    if (auto queue = queue_.lock()) queue->DropTarget(kAlarmSink);
  }
}

DvrEventCtrlClient::DvrEventCtrlClient(EventLoop& loop, DvrLinkOptions options)
    : loop_(&loop),
      options_(std::move(options)),
      queue_(std::make_shared<link::LinkEventQueue>(loop)),
      alarms_(std::make_shared<DvrAlmEvtCtrlClient>(queue_)) {
  queue_->Hold(true);  // until Start
}

DvrEventCtrlClient::~DvrEventCtrlClient() {
  sessions_.clear();
  queue_->DropAll();
}

void DvrEventCtrlClient::SetEventSink(IDvrEventCtrlEvents* sink) {
  sink_ = sink;
  if (sink == nullptr) queue_->DropTarget(kSessionSink);
}

int32_t DvrEventCtrlClient::Connect(const std::string& address, int32_t port) {
  ForgetEndedSessions();
  int32_t session = next_session_;
  next_session_ = next_session_ == INT32_MAX ? 1 : next_session_ + 1;
  link::EventSubscription::Handlers h;
  h.connected = [this, session, address] {
    queue_->Push(kSessionSink, session, [this, session, address] {
      if (sink_) sink_->OnConnected(session, address);
    });
  };
  h.connect_error = [this, session, address](const std::string& error) {
    WriteDebugLogAlways(std::string(kSource) + "(" + address + ") session " + std::to_string(session) +
                        " connect error: " + error);
    queue_->Push(kSessionSink, session, [this, session, address, error] {
      if (sink_) sink_->OnConnectError(session, address, error);
    });
  };
  h.disconnected = [this, session, address] {
    queue_->Push(kSessionSink, session, [this, session, address] {
      if (sink_) sink_->OnDisconnected(session, address);
    });
  };
  h.event = [this, session, address](const link::Message& event, const std::string& line) {
    OnSessionEvent(session, address, event, line);
  };
  sessions_[session] = std::make_unique<link::EventSubscription>(*loop_, address, port, session, link::kSubscribeAlarms,
                                                                 options_.reply_timeout_ms, std::move(h));
  return session;
}

Ref<IDvrAlmEvtCtrl> DvrEventCtrlClient::AlarmEventCtrl() { return Ref<IDvrAlmEvtCtrl>(alarms_); }

void DvrEventCtrlClient::Start() { queue_->Hold(false); }

void DvrEventCtrlClient::Acknowledge() {
  for (auto& [id, subscription] : sessions_) subscription->Acknowledge();
}

void DvrEventCtrlClient::Close(int32_t session) {
  sessions_.erase(session);
  queue_->DropSession(session);
}

void DvrEventCtrlClient::Shutdown() {
  sessions_.clear();
  queue_->DropAll();
}

bool DvrEventCtrlClient::IsSessionConnected(int32_t session) const {
  auto it = sessions_.find(session);
  return it != sessions_.end() && it->second->IsConnected();
}

void DvrEventCtrlClient::ForgetEndedSessions() {
  for (auto it = sessions_.begin(); it != sessions_.end();) {
    it = it->second->HasEnded() ? sessions_.erase(it) : std::next(it);
  }
}

void DvrEventCtrlClient::OnSessionEvent(int32_t session, const std::string& url, const link::Message& event,
                                        const std::string& line) {
  const Json& body = event.body;
  std::shared_ptr<DvrAlmEvtCtrlClient> alarms = alarms_;
  if (options_.observer && event.name.rfind("alarm_", 0) == 0) options_.observer->OnAlarmEvent(url, event.name);
  try {
    if (event.name == "alarm_begin" || event.name == "alarm_end") {
      AlarmEdge a = ReadAlarmEdge(body);
      bool begin = event.name == "alarm_begin";
      queue_->Push(kAlarmSink, session, [alarms, session, url, a, begin, name = event.name] {
        IDvrAlarmEvents* sink = alarms->sink();
        if (!sink) return;
        HandOnAlarm(url, name, a.camera, a.time, a.type, [&] {
          if (begin) {
            sink->OnAlarmBegin2(session, url, a.camera, a.time, a.type, a.override_index, a.override_text,
                                a.alarm_id);
          } else {
            sink->OnAlarmEnd2(session, url, a.camera, a.time, a.type, a.override_index, a.override_text, a.alarm_id);
          }
        });
      });
      return;
    }
    if (event.name == "alarm_xml") {
      std::string xml = link::TextField(body, "xml");
      queue_->Push(kAlarmSink, session, [alarms, session, url, xml] {
        if (IDvrAlarmEvents* sink = alarms->sink()) sink->OnAlarmXml(session, url, xml);
      });
      return;
    }
    if (event.name == "alarm_pos") {
      int16_t camera = Int16(body, "camera");
      std::string pre = link::TextFieldOr(body, "pre_alarm_time", "");
      std::string start = link::TextField(body, "start_time");
      std::string end = link::TextField(body, "end_time");
      int32_t pre_pos = Int32Or(body, "pre_alarm_pos");
      int32_t start_pos = Int32Or(body, "start_pos");
      int32_t end_pos = Int32Or(body, "end_pos");
      std::string type = link::TextField(body, "type");
      int16_t override_index = Int16Or(body, "override_index");
      std::string override_text = link::TextFieldOr(body, "override_text", "");
      std::string alarm_id = link::TextFieldOr(body, "alarm_id", "");
      queue_->Push(kAlarmSink, session,
                   [alarms, session, url, camera, pre, start, end, pre_pos, start_pos, end_pos, type,
                    override_index, override_text, alarm_id] {
        if (IDvrAlarmEvents* sink = alarms->sink()) {
          HandOnAlarm(url, "alarm_pos", camera, start, type, [&] {
            sink->OnAlarmPosInfo2(session, url, camera, pre, start, end, pre_pos, start_pos, end_pos, type,
                                  override_index, override_text, alarm_id);
          });
        }
      });
      return;
    }
  } catch (const link::FieldError& e) {
    LogError(kSource, "malformed " + event.name + " event from the DVR at " + url + " ignored: " + e.what() + ": " +
                          link::Clip(line),
             0);
    return;
  }
  // Anything else the DVR reports reaches the host's log as it came.
  queue_->Push(kSessionSink, session, [this, session, url, line] {
    if (sink_) sink_->OnUnexpectedEvent(session, url, line);
  });
}

}  // namespace dvrlink
