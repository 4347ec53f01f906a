#include "service/service_monitor.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>

#include "component/clsDvrlink.h"
#include "component/module_state.h"
#include "host/socket_server.h"
#include "mainform/frmMainTemplate.h"
#include "platform/platform_state.h"
#include "service/reconnect_policy.h"
#include "support/debug_log.h"
#include "support/runtime_error.h"

namespace dvrlink {
namespace {

// The form of the instance's DVR number; null when there is none.
frmMainTemplate* FormOf(const clsDvrlink& c) {
  const auto& forms = ModDvrlink().oFrmMainTemplate;
  int16_t n = c.DvrNumber();
  if (n < 0 || static_cast<size_t>(n) >= forms.size()) return nullptr;
  return forms[static_cast<size_t>(n)].get();
}

SocketServer* ServerOf(const clsDvrlink& c) { return dynamic_cast<SocketServer*>(c.oSocket.get()); }

// Slots in use, and the slots there are.
template <typename Queue, typename InUse>
Json QueueJson(const Queue& queue, InUse in_use) {
  int64_t depth = 0;
  for (size_t i = 0; i < queue.size(); ++i) {
    const auto* slot = queue.Find(i);
    if (slot != nullptr && in_use(*slot)) ++depth;
  }
  Json q = Json::object();
  q["depth"] = depth;
  q["slots"] = queue.size();
  return q;
}

std::vector<std::string> StatusLines(const std::string& text, size_t keep) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) lines.push_back(TextForJson(line));
  }
  if (lines.size() > keep) lines.erase(lines.begin(), lines.end() - static_cast<std::ptrdiff_t>(keep));
  return lines;
}

std::string Label(const std::string& value) {
  std::string out;
  for (char c : TextForJson(value)) {
    if (c == '\\' || c == '"') out += '\\';
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out += c;
  }
  return out;
}

// A /metrics family: its HELP and TYPE lines, then one sample per entry.
class MetricsText {
 public:
  void Family(const std::string& name, const char* type, const std::string& help) {
    out_ << "# HELP " << name << " " << help << "\n# TYPE " << name << " " << type << "\n";
    name_ = name;
  }
  void Sample(const std::vector<std::pair<std::string, std::string>>& labels, double value) {
    out_ << name_;
    if (!labels.empty()) {
      out_ << "{";
      for (size_t i = 0; i < labels.size(); ++i) {
        out_ << (i ? "," : "") << labels[i].first << "=\"" << Label(labels[i].second) << "\"";
      }
      out_ << "}";
    }
    if (value == static_cast<double>(static_cast<int64_t>(value))) {
      out_ << " " << static_cast<int64_t>(value) << "\n";
    } else {
      out_ << " " << value << "\n";
    }
  }
  std::string str() const { return out_.str(); }

 private:
  std::ostringstream out_;
  std::string name_;
};

}  // namespace

std::string LocalTimeText(int64_t micros_from_now) {
  return Loop().clock().LocalNow().AddSeconds(micros_from_now / 1000000).FormatIso();
}

int64_t ResidentBytes() {
  long pages_total = 0, pages_resident = 0;
  FILE* f = std::fopen("/proc/self/statm", "r");
  if (f == nullptr) return 0;
  int read = std::fscanf(f, "%ld %ld", &pages_total, &pages_resident);
  std::fclose(f);
  return read == 2 ? static_cast<int64_t>(pages_resident) * ::sysconf(_SC_PAGESIZE) : 0;
}

int64_t OpenDescriptors() {
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) return 0;
  int64_t count = 0;
  while (const dirent* entry = ::readdir(dir)) count += entry->d_name[0] == '.' ? 0 : 1;
  ::closedir(dir);
  return count - 1;  // the descriptor of the listing itself
}

ServiceMonitor::ServiceMonitor(std::function<std::vector<MonitoredInstance>()> instances)
    : instances_(std::move(instances)) {}

std::string ServiceMonitor::IdOfAddress(const std::string& address) {
  for (const MonitoredInstance& m : instances_()) {
    if (m.instance && m.instance->DVRIP == address) return m.instance->ID;
  }
  return "";
}

std::string ServiceMonitor::IdOfNumber(int16_t number) {
  for (const MonitoredInstance& m : instances_()) {
    if (m.instance && m.instance->DvrNumber() == number) return m.instance->ID;
  }
  return "";
}

void ServiceMonitor::OnHostLine(const std::string& text) {
  Json line = Json::parse(text, nullptr, false);
  if (!line.is_object()) return;
  recent_.push_back(line);
  if (recent_.size() > kRecentEvents) recent_.pop_front();
  Stats& stats = StatsOf(line.value("instance", ""));
  if (line.value("kind", "") == "host_event") ++stats.host_events[line.value("code", 0)];
  if (line.value("kind", "") == "callback") ++stats.callbacks[line.value("type", 0)];
  stats.last_event = line;
  Sample();
}

void ServiceMonitor::OnLogLine(const char* log) { ++log_lines_[log]; }

void ServiceMonitor::OnErrorLine(const std::string& line) {
  for (const MonitoredInstance& m : instances_()) {
    if (!m.instance || m.instance->ID.empty()) continue;
    const std::string& id = m.instance->ID;
    for (size_t at = line.find(id); at != std::string::npos; at = line.find(id, at + 1)) {
      size_t after = at + id.size();
      if (after < line.size() && (std::isalnum(static_cast<unsigned char>(line[after])) != 0 || line[after] == '-')) {
        continue;  // a longer ID
      }
      Stats& stats = StatsOf(id);
      ++stats.error_lines;
      stats.last_error = Json::object();
      stats.last_error["time"] = LocalTimeText();
      stats.last_error["text"] = TextForJson(line);
      return;
    }
  }
}

void ServiceMonitor::OnGatewayCall(int32_t error_code) {
  Stats& stats = StatsOf(IdOfNumber(ModDvrlink().iCurrentDVR));
  ++stats.db_calls;
  if (error_code != 0) ++stats.db_failures;
}

void ServiceMonitor::OnAlarmEvent(const std::string& address, const std::string& /*event*/) {
  ++StatsOf(IdOfAddress(address)).alarm_events;
}

void ServiceMonitor::OnVideoBytes(const std::string& address, int64_t bytes) {
  StatsOf(IdOfAddress(address)).video_bytes += bytes;
}

void ServiceMonitor::OnTimeSync(const std::string& address, int32_t reason, int32_t moved_seconds) {
  Json sync = Json::object();
  sync["time"] = LocalTimeText();
  sync["result"] = reason == 2 ? "set" : "failed (reason " + std::to_string(reason) + ")";
  sync["moved_seconds"] = moved_seconds;
  StatsOf(IdOfAddress(address)).last_sync = sync;
}

void ServiceMonitor::Sample() {
  for (const MonitoredInstance& m : instances_()) {
    if (!m.instance) continue;
    Stats& stats = StatsOf(m.instance->ID);
    bool control = m.instance->RemoteSession() > 0;
    bool event = m.instance->EventSessionConnected();
    if (!stats.sampled || control != stats.control.connected) stats.control = Seen{control, LocalTimeText()};
    if (!stats.sampled || event != stats.event.connected) stats.event = Seen{event, LocalTimeText()};
    stats.sampled = true;
  }
}

Json ServiceMonitor::InstanceJson(const MonitoredInstance& m, Stats& stats) {
  const clsDvrlink& c = *m.instance;
  Json j = Json::object();
  j["id"] = TextForJson(c.ID);
  j["section"] = TextForJson(m.dvr ? m.dvr->section : std::string());
  j["number"] = c.DvrNumber();
  j["name"] = TextForJson(c.DvrName());
  j["address"] = TextForJson(c.DVRIP);
  j["started"] = m.started;
  j["host_port"] = c.ServerPort;
  auto session = [](const Seen& seen, int32_t number) {
    Json s = Json::object();
    s["connected"] = seen.connected;
    s["session"] = number;
    s["since"] = seen.since;
    return s;
  };
  j["control_session"] = session(stats.control, c.RemoteSession());
  j["event_session"] = session(stats.event, c.EventSession());

  Json reconnect = Json::object();
  reconnect["enabled"] = m.reconnect != nullptr;
  if (m.reconnect) {
    reconnect["attempts"] = m.reconnect->Attempts();
    reconnect["pending"] = m.reconnect->Pending();
    reconnect["next_delay_seconds"] = m.reconnect->NextDelaySeconds();
    if (m.reconnect->Pending()) reconnect["next_try"] = LocalTimeText(m.reconnect->DueMicros() - Loop().NowMicros());
  }
  j["reconnect"] = reconnect;

  const ModAllConstState& settings = ModAllConst();
  j["debug_mode"] = settings.blnDebugMode;
  j["debug_flags"] = settings.lDebugFlags;
  j["external_trigger"] = c.TriggerExternalEnabled();

  Json grant = Json::object();
  grant["held"] = false;
  if (frmMainTemplate* form = FormOf(c)) {
    Json f = Json::object();
    f["caption"] = TextForJson(form->Caption());
    f["visible"] = form->Visible();
    f["loaded"] = form->Loaded();
    f["status_lines"] = StatusLines(form->txtStatus.Text(), kStatusLines);
    j["form"] = f;
    Json queues = Json::object();
    queues["video"] = QueueJson(form->VideoQueue, [](const UDTVideoRequest& r) { return !r.BeginTime.empty(); });
    queues["alarm_list"] = QueueJson(form->AlarmListQueue, [](const UDTAlarmList& r) { return !r.BeginTime.empty(); });
    queues["generate_alarm"] =
        QueueJson(form->GenerateAlarmQueue, [](const UDTGenerateAlarm& r) { return r.iClient != 0; });
    queues["generated_alarms"] =
        QueueJson(form->AlarmGeneratedList, [](const UDTAlarmGenerated& r) { return !r.sAlarmDateTime.empty(); });
    j["queues"] = queues;
    Json clock = Json::object();
    clock["time_sync"] = form->blnTimeSyncEnabled;
    clock["interval_hours"] = form->iTimeSyncInterval;
    clock["minutes_to_next"] = form->m_Minutes;
    clock["time_zone"] = TextForJson(form->TimeZone);
    clock["last_sync"] = stats.last_sync;
    j["clock"] = clock;
    grant["held"] = form->Loaded() && !form->blnVideoRequestGranted;
  }
  if (SocketServer* server = ServerOf(c)) {
    if (grant["held"].get<bool>()) {
      grant["client"] = server->GrantClient();
      grant["peer"] = server->PeerOf(server->GrantClient());
      grant["held_seconds"] = (Loop().NowMicros() - server->GrantSinceMicros()) / 1000000;
      grant["since"] = LocalTimeText(server->GrantSinceMicros() - Loop().NowMicros());
    }
    j["clients"] = server->ClientIndexes().size();
  }
  j["grant"] = grant;
  j["last_event"] = stats.last_event;
  j["last_error"] = stats.last_error;
  return j;
}

Json ServiceMonitor::Instances() {
  Sample();
  Json list = Json::array();
  for (const MonitoredInstance& m : instances_()) {
    if (m.instance) list.push_back(InstanceJson(m, StatsOf(m.instance->ID)));
  }
  return list;
}

Json ServiceMonitor::RecentEvents() const { return Json(std::vector<Json>(recent_.begin(), recent_.end())); }

std::string ServiceMonitor::Metrics() {
  std::vector<MonitoredInstance> all = instances_();
  MetricsText m;
  auto per_instance = [&](const std::string& name, const char* type, const std::string& help,
                          const std::function<double(const MonitoredInstance&, Stats&)>& value) {
    m.Family(name, type, help);
    for (const MonitoredInstance& i : all) {
      if (i.instance) m.Sample({{"instance", i.instance->ID}}, value(i, StatsOf(i.instance->ID)));
    }
  };
  m.Family("dvrlink_host_events_total", "counter", "Host events (message 44) sent, by instance and event code.");
  for (const MonitoredInstance& i : all) {
    if (!i.instance) continue;
    for (const auto& [code, n] : StatsOf(i.instance->ID).host_events) {
      m.Sample({{"instance", i.instance->ID}, {"code", std::to_string(code)}}, static_cast<double>(n));
    }
  }
  m.Family("dvrlink_host_callbacks_total", "counter", "Host callbacks (IDVR_Callback), by instance and event type.");
  for (const MonitoredInstance& i : all) {
    if (!i.instance) continue;
    for (const auto& [type, n] : StatsOf(i.instance->ID).callbacks) {
      m.Sample({{"instance", i.instance->ID}, {"type", std::to_string(type)}}, static_cast<double>(n));
    }
  }
  per_instance("dvrlink_dvr_alarm_events_total", "counter", "Alarm events received from the DVR.",
               [](const MonitoredInstance&, Stats& s) { return static_cast<double>(s.alarm_events); });
  per_instance("dvrlink_db_calls_total", "counter", "Stored-procedure calls through the gateway.",
               [](const MonitoredInstance&, Stats& s) { return static_cast<double>(s.db_calls); });
  per_instance("dvrlink_db_failures_total", "counter", "Stored-procedure calls that failed.",
               [](const MonitoredInstance&, Stats& s) { return static_cast<double>(s.db_failures); });
  per_instance("dvrlink_error_lines_total", "counter", "Error lines naming the instance.",
               [](const MonitoredInstance&, Stats& s) { return static_cast<double>(s.error_lines); });
  per_instance("dvrlink_reconnects_total", "counter", "Connect calls made by the reconnect policy.",
               [](const MonitoredInstance& i, Stats&) {
                 return i.reconnect ? static_cast<double>(i.reconnect->Attempts()) : 0.0;
               });
  per_instance("dvrlink_refused_clients_total", "counter", "Host clients refused by allowed_clients.",
               [](const MonitoredInstance& i, Stats&) {
                 SocketServer* server = ServerOf(*i.instance);
                 return server ? static_cast<double>(server->RefusedClients()) : 0.0;
               });
  per_instance("dvrlink_retrieval_bytes_total", "counter", "Recorded-video bytes written to the export folder.",
               [](const MonitoredInstance&, Stats& s) { return static_cast<double>(s.video_bytes); });
  per_instance("dvrlink_event_session_connected", "gauge", "1 while the DVR event session is connected.",
               [](const MonitoredInstance& i, Stats&) { return i.instance->EventSessionConnected() ? 1.0 : 0.0; });
  Json instances = Instances();
  m.Family("dvrlink_queue_depth", "gauge", "Requests waiting in the main form's queues.");
  for (const Json& i : instances) {
    if (!i.contains("queues")) continue;
    for (const auto& [queue, q] : i["queues"].items()) {
      m.Sample({{"instance", i["id"].get<std::string>()}, {"queue", queue}}, q["depth"].get<double>());
    }
  }
  m.Family("dvrlink_grant_held_seconds", "gauge", "How long the retrieval grant has been held (0: free).");
  for (const Json& i : instances) {
    m.Sample({{"instance", i["id"].get<std::string>()}}, i["grant"].value("held_seconds", 0.0));
  }
  m.Family("dvrlink_log_lines_total", "counter", "Lines written, by log file.");
  for (const char* log : {"debug", "service", "title"}) m.Sample({{"log", log}}, static_cast<double>(log_lines_[log]));
  m.Family("process_resident_memory_bytes", "gauge", "Resident memory size in bytes.");
  m.Sample({}, static_cast<double>(ResidentBytes()));
  m.Family("process_open_fds", "gauge", "Open file descriptors.");
  m.Sample({}, static_cast<double>(OpenDescriptors()));
  return m.str();
}

Json ServiceMonitor::Act(const std::string& id, const std::string& action, const std::string& who) {
  MonitoredInstance target;
  for (const MonitoredInstance& m : instances_()) {
    if (m.instance && m.instance->ID == id) target = m;
  }
  if (!target.instance) throw ActionError(404, "no instance " + id);
  clsDvrlink& c = *target.instance;
  frmMainTemplate* form = FormOf(c);
  WriteServiceLog("dvrlink, console: " + action + " on " + id + " by " + who);
  if (action == "connect") {
    if (!target.dvr) throw ActionError(409, "the DVR section of " + id + " is not known");
    return c.Connect(target.dvr->address(), target.dvr->command_port(), target.dvr->live_port());
  }
  if (action == "timesync") return c.TimeSync();
  if (action == "release-grant") {
    SocketServer* server = ServerOf(c);
    if (!server) throw ActionError(409, id + " has no host-client server (closed)");
    server->ReleaseGrant(0, "released from the console by " + who);
    return true;
  }
  if (action == "debug-mode" || action == "exit") {
    if (!form) throw ActionError(409, id + " has no main form (closed)");
    if (action == "exit") {
      form->mnuExit_Click();
    } else {
      form->mnuDebugMode_Click();
    }
    return nullptr;
  }
  throw ActionError(404, "no action " + action + " (connect, timesync, debug-mode, exit, release-grant)");
}

}  // namespace dvrlink
