#include "fakes/alarm_e2e_support.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <optional>

#include "database/db_admin.h"
#include "fakes/link_dvrsim_process.h"
#include "fakes/test_support.h"
#include "platform/ado_connection.h"
#include "platform/dvr_link/dvr_link.h"
#include "platform/dvr_link/dvr_remote_client.h"
#include "platform/ini_file.h"
#include "platform/platform_state.h"
#include "support/datetime.h"
#include "support/runtime_error.h"

namespace dvrlink::testing::alarms {
namespace {

using Clock = std::chrono::steady_clock;

// Test procedures that read the tables back; dates as text in one form for
// both providers.
const char* kSqliteReadProcedures = R"sql(
INSERT INTO dvrlink_procedures (name, body) VALUES
  ('usp_Test_Rows_dvr_alarms',
   'SELECT '''' || dvr_config_id AS "Config", camera_name AS "Camera", '''' || start_time AS "StartTime",
           '''' || end_time AS "EndTime", alarm_type AS "AlarmType" FROM dvr_alarms ORDER BY id'),
  ('usp_Test_Rows_alarm_active',
   'SELECT '''' || alarm_date_time AS "AlarmDateTime", '''' || event_code AS "EventCode",
           global_address_id AS "GlobalAddressID", description AS "Description" FROM alarm_active ORDER BY id'),
  ('usp_Test_Rows_dvr_alarm_video',
   'SELECT '''' || id AS "ID", '''' || alarm_date_time AS "AlarmDateTime" FROM dvr_alarm_video ORDER BY id');
)sql";

const char* kPostgresReadProcedures = R"sql(
CREATE FUNCTION "usp_Test_Rows_dvr_alarms"()
RETURNS TABLE ("Config" text, "Camera" text, "StartTime" text, "EndTime" text, "AlarmType" text)
LANGUAGE sql AS $$
  SELECT dvr_config_id::text, camera_name, to_char(start_time, 'YYYY-MM-DD HH24:MI:SS'),
         to_char(end_time, 'YYYY-MM-DD HH24:MI:SS'), alarm_type FROM dvr_alarms ORDER BY id $$;
CREATE FUNCTION "usp_Test_Rows_alarm_active"()
RETURNS TABLE ("AlarmDateTime" text, "EventCode" text, "GlobalAddressID" text, "Description" text)
LANGUAGE sql AS $$
  SELECT to_char(alarm_date_time, 'YYYY-MM-DD HH24:MI:SS'), event_code::text, global_address_id, description
  FROM alarm_active ORDER BY id $$;
CREATE FUNCTION "usp_Test_Rows_dvr_alarm_video"()
RETURNS TABLE ("ID" text, "AlarmDateTime" text)
LANGUAGE sql AS $$
  SELECT id::text, to_char(alarm_date_time, 'YYYY-MM-DD HH24:MI:SS') FROM dvr_alarm_video ORDER BY id $$;
)sql";

constexpr char kFrameStart = 24;
constexpr char kFrameEnd = 25;
constexpr char kFrameSeparator = 26;

// Reads one line from fd before the deadline; buffer keeps what follows it.
std::optional<std::string> ReadLineBefore(int fd, std::string& buffer, Clock::time_point deadline) {
  while (true) {
    size_t end = buffer.find('\n');
    if (end != std::string::npos) {
      std::string line = buffer.substr(0, end);
      buffer.erase(0, end + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      return line;
    }
    if (!link::WaitReadable(fd, deadline)) return std::nullopt;
    std::string error;
    link::ReadResult r = link::ReadAvailable(fd, buffer, error);
    if (r == link::ReadResult::kClosed || r == link::ReadResult::kError) return std::nullopt;
  }
}

}  // namespace

std::vector<std::string> Fields(const Json& host_event) {
  std::vector<std::string> fields;
  if (host_event.contains("fields")) {
    for (const Json& f : host_event["fields"]) fields.push_back(f.get<std::string>());
  }
  return fields;
}

// ---- SimulatedDvr ----

SimulatedDvr::SimulatedDvr(const std::string& bind_address, const std::string& folder) : address(bind_address) {
  command_port = svc::FreeListenPort(address.c_str());
  event_port = svc::FreeListenPort(address.c_str());
  live_port = svc::FreeListenPort(address.c_str());
  const std::string out = folder + "/dvrsim-" + address + ".out";
  process_ = std::make_unique<svc::ChildProcess>(
      DvrsimProcess::ProgramPath(),
      std::vector<std::string>{"--bind", address, "--command-port", std::to_string(command_port), "--event-port",
                               std::to_string(event_port), "--live-port", std::to_string(live_port),
                               "--control-port", "0", "--time-zone", kDvrZoneIana},
      out, folder + "/dvrsim-" + address + ".err");
  std::string first;
  svc::WaitUntil([&] {
    first = ReadFile(out);
    return first.find('\n') != std::string::npos;
  });
  std::map<std::string, std::string> ports = DvrsimProcess::Fields("OK " + first.substr(0, first.find('\n')));
  if (first.rfind("ports ", 0) != 0 || ports["command"] != std::to_string(command_port)) {
    ADD_FAILURE() << "dvrsim on " << address << " did not start: " << first
                  << ReadFile(folder + "/dvrsim-" + address + ".err");
    return;
  }
  control_port = static_cast<uint16_t>(std::stoi(ports["control"]));
}

std::string SimulatedDvr::Control(const std::string& command) {
  Clock::time_point deadline = Clock::now() + std::chrono::seconds(2);
  std::string error;
  if (!control_.valid()) control_ = link::ConnectBefore(address, control_port, deadline, error);
  if (!control_.valid() || !link::WriteAllBefore(control_.get(), command + "\n", deadline, error)) {
    ADD_FAILURE() << "dvrsim control port of " << address << ": " << error;
    return "";
  }
  std::optional<std::string> line = ReadLineBefore(control_.get(), buffer_, deadline);
  if (!line) ADD_FAILURE() << "no reply from dvrsim on " << address << " to: " << command;
  return line.value_or("");
}

std::map<std::string, std::string> SimulatedDvr::ControlFields(const std::string& command) {
  std::string reply = Control(command);
  EXPECT_EQ(reply.rfind("OK", 0), 0u) << command << " -> " << reply;
  return DvrsimProcess::Fields(reply);
}

bool SimulatedDvr::SetClock(const std::string& digits14) {
  std::optional<DateTime> time = DateTime::FromDigits14(digits14);
  if (!time) return false;
  DvrRemoteClient remote(Loop(), DvrLinkOptions());
  int32_t session = 0;
  remote.Connect(address, static_cast<int16_t>(command_port), "", session);
  if (session <= 0) return false;
  try {
    remote.TimeSync(session, *time);
  } catch (const RuntimeError& e) {
    ADD_FAILURE() << "time sync of " << address << ": " << e.Description();
    return false;
  }
  return true;
}

// ---- AlarmRig ----

AlarmRig::AlarmRig(const RigOptions& options) { Start(options); }

AlarmRig::~AlarmRig() {
  StopService();
  dvrs_.clear();
  database_.reset();
}

std::string AlarmRig::DvrSection(size_t i, const SimulatedDvrSetup& setup) const {
  const SimulatedDvr& sim = *dvrs_[i];
  const std::string n = std::to_string(i);
  return "\n[dvr" + (i == 0 ? std::string() : "." + n) + "]\nvendor = 1\naddress = " + setup.address +
         "\ncommand_port = " + std::to_string(sim.command_port) + "\nlive_port = " + std::to_string(sim.live_port) +
         "\nevent_port = " + std::to_string(sim.event_port) + "\nlisten_port = " + std::to_string(listen_ports_[i]) +
         "\ndebug = 0\nnumber = " + n + "\nname = Sim " + setup.key + "\nglobal_address_id = $1000000000000" +
         std::to_string(i + 1) + "\ntime_sync = 0\ntime_sync_hours = 24\ntime_zone = " + kDvrZoneKey +
         "\nkey = " + setup.key + "\nexternal_trigger = " + (setup.external_trigger ? "1" : "0") +
         "\nconfig_id = " + std::to_string(i + 1) + "\ncamera.0 = Entrance\ncamera.1 = Lobby\ncamera.2 = Parking\n";
}

void AlarmRig::Start(const RigOptions& options) {
  if (options.backend == Backend::kPostgres && PgConnectionString().empty()) return;
  const std::string& folder = dir_.path();
  database_ = std::make_unique<TestDatabase>(options.backend);
  database_->Execute(options.backend == Backend::kSqlite ? kSqliteReadProcedures : kPostgresReadProcedures);

  std::string ini = "[host]\nprogram_folder = .\nconnection_string = " + database_->connection_string() +
                    "\ncomponent_id = E2E\nexport_folder = export\nautomation_socket = s.sock\n"
                    "listen_address = 127.0.0.1\nrecord_active_alarms = " +
                    (options.record_active_alarms ? "true" : "false") + "\n";
  for (size_t i = 0; i < options.dvrs.size(); ++i) {
    const SimulatedDvrSetup& setup = options.dvrs[i];
    dvrs_.push_back(std::make_unique<SimulatedDvr>(setup.address, folder));
    if (!dvrs_.back()->started()) return;
    listen_ports_.push_back(svc::FreeListenPort());
    ids_.push_back(setup.key + "-" + std::to_string(i) + "-" + std::to_string(listen_ports_.back()));
    ini += DvrSection(i, setup);
  }
  const std::string ini_path = folder + "/svc.ini";
  WriteFile(ini_path, ini);
  // Rows for the DVRs the host knows; the others stay unknown to it.
  std::vector<DvrSeed> seeds;
  for (const DvrSeed& seed : ReadDvrSeeds(IniFile::Load(ini_path))) {
    for (const SimulatedDvrSetup& setup : options.dvrs) {
      if (setup.address == seed.address && setup.seeded) seeds.push_back(seed);
    }
  }
  SeedDatabase(database_->connection_string(), seeds);
  // Level 8 is the component's default level: its lines reach the debug log.
  WriteFile(folder + "/DeviceAdm.config", "LogLevel=8\n");

  // This computer's zone is UTC for the service, whatever the machine's.
  service_ = std::make_unique<svc::ChildProcess>(
      "/usr/bin/env", std::vector<std::string>{"TZ=UTC", svc::ProgramPath("dvrlink"), "--config", ini_path},
      folder + "/out", folder + "/err");
  for (size_t i = 0; i < ids_.size(); ++i) {
    const std::string& id = ids_[i];
    bool connected = WaitForLine(
        [&](const Json& j) { return j.value("instance", "") == id && j.value("code", 0) == 10322; }, 8000);
    // Events reach only acknowledged sessions: wait for both subscriptions.
    bool ready = svc::WaitUntil([&] {
      std::map<std::string, std::string> status = DvrsimProcess::Fields(dvrs_[i]->Control("status"));
      return status["ready_sessions"] == "1" && status["ready_system_sessions"] == "1";
    });
    if (!connected || !ready) {
      ADD_FAILURE() << "instance " << id << " did not come up: " << ReadFile(folder + "/err")
                    << ReadFile(folder + "/host-events.jsonl");
      return;
    }
  }
  ok_ = true;
}

int AlarmRig::StopService() {
  if (!service_) return -1;
  service_->Signal(SIGTERM);
  std::optional<int> status = service_->Wait(10000);
  service_.reset();
  return status.value_or(-1);
}

std::vector<Json> AlarmRig::HostLines() const {
  std::vector<Json> lines;
  const std::string text = ReadFile(dir_.File("host-events.jsonl"));
  size_t start = 0;
  for (size_t end = text.find('\n'); end != std::string::npos; start = end + 1, end = text.find('\n', start)) {
    Json line = Json::parse(text.substr(start, end - start), nullptr, false);
    if (line.is_object()) lines.push_back(std::move(line));
  }
  return lines;
}

std::vector<Json> AlarmRig::HostEvents(const std::string& instance) const {
  std::vector<Json> events;
  for (Json& line : HostLines()) {
    if (line.value("kind", "") == "host_event" && line.value("instance", "") == instance) {
      events.push_back(std::move(line));
    }
  }
  return events;
}

std::vector<Json> AlarmRig::WaitForHostEvents(const std::string& instance, size_t count, int timeout_ms) const {
  std::vector<Json> events;
  svc::WaitUntil(
      [&] {
        events = HostEvents(instance);
        return events.size() >= count;
      },
      timeout_ms);
  return events;
}

bool AlarmRig::WaitForLine(const std::function<bool(const Json&)>& pred, int timeout_ms) const {
  return svc::WaitUntil(
      [&] {
        for (const Json& line : HostLines()) {
          if (pred(line)) return true;
        }
        return false;
      },
      timeout_ms);
}

std::vector<std::string> AlarmRig::DebugLogLines() const { return testing::DebugLogLines(dir_.path()); }

bool AlarmRig::WaitForLogLine(const std::vector<std::string>& texts, int timeout_ms) const {
  return svc::WaitUntil(
      [&] {
        for (const std::string& line : DebugLogLines()) {
          bool all = true;
          for (const std::string& text : texts) all = all && line.find(text) != std::string::npos;
          if (all) return true;
        }
        return false;
      },
      timeout_ms);
}

Json AlarmRig::Call(const std::string& instance, const std::string& method, const Json& args, int timeout_ms) {
  svc::TestClient endpoint = svc::TestClient::Unix(dir_.File("s.sock"));
  endpoint.SendLine(Json{{"id", 1}, {"instance", instance}, {"method", method}, {"args", args}}.dump());
  std::optional<std::string> reply = endpoint.ReadLine(timeout_ms);
  if (!reply) return Json();
  Json parsed = Json::parse(*reply, nullptr, false);
  return parsed.is_object() && parsed.contains("result") ? parsed["result"] : parsed;
}

std::vector<std::string> AlarmRig::HostFrame(size_t dvr, const std::vector<std::string>& fields) {
  std::string frame(1, kFrameStart);
  for (size_t i = 0; i < fields.size(); ++i) frame += (i > 0 ? std::string(1, kFrameSeparator) : "") + fields[i];
  frame += kFrameEnd;
  svc::TestClient client = svc::TestClient::Tcp(listen_ports_.at(dvr));
  client.Send(frame);
  const std::string& received =
      client.ReceiveUntil([](const std::string& text) { return text.find(kFrameEnd) != std::string::npos; });
  std::vector<std::string> reply;
  size_t start = received.find(kFrameStart), end = received.find(kFrameEnd);
  if (start == std::string::npos || end == std::string::npos || end < start) return reply;
  for (size_t field = start + 1;;) {
    size_t separator = std::min(received.find(kFrameSeparator, field), end);
    reply.push_back(received.substr(field, separator - field));
    if (separator == end) break;
    field = separator + 1;
  }
  return reply;
}

std::vector<Row> AlarmRig::Rows(const std::string& table) const {
  std::vector<Row> rows;
  std::vector<AdoParameter> none;
  std::shared_ptr<Recordset> rs =
      OpenProvider(database_->connection_string())->ExecuteProcedure("usp_Test_Rows_" + table, none);
  for (; rs && !rs->Eof(); rs->MoveNext()) {
    Row row;
    for (const std::string& column : rs->Columns()) row[column] = rs->Text(column);
    rows.push_back(std::move(row));
  }
  return rows;
}

std::vector<Row> AlarmRig::WaitForRows(const std::string& table, size_t count, int timeout_ms) const {
  std::vector<Row> rows;
  svc::WaitUntil(
      [&] {
        rows = Rows(table);
        return rows.size() >= count;
      },
      timeout_ms);
  return rows;
}

}  // namespace dvrlink::testing::alarms
