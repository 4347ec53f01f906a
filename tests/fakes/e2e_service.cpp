#include "fakes/e2e_service.h"

#include <signal.h>

#include <filesystem>
#include <sstream>

#include "database/db_admin.h"
#include "fakes/test_support.h"
#include "database/ado_connection.h"
#include "platform/ini_file.h"

namespace dvrlink::testing::e2e {
namespace {

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

// Reads until at least `count` items come back or timeout_ms pass; the last read.
template <class Read>
auto WaitForCount(Read read, size_t count, int timeout_ms) {
  decltype(read()) items;
  svc::WaitUntil([&] { return (items = read()).size() >= count; }, timeout_ms);
  return items;
}

}  // namespace

std::vector<std::string> Fields(const Json& host_event) {
  std::vector<std::string> fields;
  if (host_event.contains("fields")) {
    for (const Json& f : host_event["fields"]) fields.push_back(f.get<std::string>());
  }
  return fields;
}

std::string HostSection(const std::string& connection_string, const std::string& extra) {
  return "[host]\nprogram_folder = .\nconnection_string = " + connection_string +
         "\ncomponent_id = E2E\nexport_folder = export\nautomation_socket = s.sock\nlisten_address = 127.0.0.1\n" +
         extra;
}

std::string DvrSection(const std::string& section, const std::map<std::string, std::string>& values) {
  static const std::vector<std::pair<std::string, std::string>> kKeys = {
      {"vendor", "1"},         {"address", "127.0.0.2"},  {"command_port", "7000"},
      {"live_port", "7001"},   {"event_port", "7002"},    {"listen_port", "5000"},
      {"debug", "0"},          {"number", "0"},           {"name", "Lobby"},
      {"global_address_id", "$10000000000001"},           {"time_sync", "0"},
      {"time_sync_hours", "24"}, {"time_zone", "Eastern Standard Time"},
      {"key", "A"},            {"external_trigger", "0"}, {"config_id", "1"}};
  std::map<std::string, std::string> rest = values;
  std::string text = "[" + section + "]\n";
  for (const auto& [key, value] : kKeys) {
    text += key + " = " + (rest.count(key) ? rest[key] : value) + "\n";
    rest.erase(key);
  }
  for (const auto& [key, value] : rest) text += key + " = " + value + "\n";
  return text;
}

void HostClient::Send(const Frame& fields) {
  std::string text(1, kFrameStart);
  for (size_t i = 0; i < fields.size(); ++i) text += (i > 0 ? std::string(1, kFrameSeparator) : "") + fields[i];
  socket_.Send(text + kFrameEnd);
}

std::vector<Frame> HostClient::WaitFor(const std::string& code, size_t count, int timeout_ms) {
  std::vector<Frame> found;
  svc::PumpUntil(
      [&] {
        found.clear();
        std::istringstream in(socket_.ReceiveUntil([](const std::string&) { return true; }, 0));
        std::string piece, field;
        while (std::getline(in, piece, kFrameEnd) && !in.eof()) {
          std::istringstream frame(piece.substr(piece.find(kFrameStart) + 1));
          Frame fields;
          while (std::getline(frame, field, kFrameSeparator)) fields.push_back(field);
          if (!fields.empty() && (code.empty() || fields[0] == code)) found.push_back(fields);
        }
        return found.size() >= count;
      },
      timeout_ms);
  return found;
}

E2eService::E2eService(E2eOptions options) : options_(std::move(options)) {}

// Members go in reverse order: the service first, then bridges, simulators, database.
E2eService::~E2eService() { StopService(); }

bool E2eService::StartSimulators() {
  for (const DvrSetup& setup : options_.dvrs) {
    const char* address = setup.address.c_str();
    std::vector<std::string> args = {"--command-port", std::to_string(svc::FreeListenPort(address)),
                                     "--event-port",   std::to_string(svc::FreeListenPort(address)),
                                     "--live-port",    std::to_string(svc::FreeListenPort(address))};
    if (!setup.sim_time_zone.empty()) args.insert(args.end(), {"--time-zone", setup.sim_time_zone});
    if (options_.onvif) args.insert(args.end(), {"--onvif", "0"});
    args.insert(args.end(), options_.sim_args.begin(), options_.sim_args.end());
    dvrs_.push_back(std::make_unique<DvrsimProcess>(args, setup.address));
    if (!dvrs_.back()->Started()) return false;
    bridges_.emplace_back();
    if (options_.onvif) {
      bridges_.back() = std::make_unique<OnvifBridgeProcess>(dir_.File("bridge-" + std::to_string(bridges_.size())),
                                                             *dvrs_.back(), setup.sim_time_zone,
                                                             options_.computer_zone, *options_.onvif);
      if (!bridges_.back()->Started()) return false;
    }
  }
  return true;
}

std::string E2eService::DvrSection(size_t i) const {
  const DvrSetup& setup = options_.dvrs[i];
  const DvrsimProcess& sim = *dvrs_[i];
  const OnvifBridgeProcess* bridge = bridges_[i].get();
  const std::string n = std::to_string(i);
  return e2e::DvrSection(
      i == 0 ? "dvr" : "dvr." + n,
      {{"address", setup.address},
       {"command_port", std::to_string(bridge ? bridge->command_port : sim.command_port)},
       {"live_port", std::to_string(bridge ? bridge->live_port : sim.live_port)},
       {"event_port", std::to_string(bridge ? bridge->event_port : sim.event_port)},
       {"listen_port", std::to_string(listen_ports_[i])}, {"number", n}, {"name", "Sim " + setup.key},
       {"global_address_id", "$1000000000000" + std::to_string(i + 1)}, {"time_zone", setup.time_zone},
       {"key", setup.key}, {"external_trigger", setup.external_trigger ? "1" : "0"},
       {"config_id", std::to_string(i + 1)}, {"camera.0", "Entrance"}, {"camera.1", "Lobby"},
       {"camera.2", "Parking"}});
}

bool E2eService::StartService(bool wait_connected) {
  if (dvrs_.size() != options_.dvrs.size()) return false;
  const std::string& folder = dir_.path();
  std::filesystem::create_directories(folder + "/export");
  database_ = std::make_unique<TestDatabase>(options_.backend);
  database_->Execute(options_.backend == Backend::kSqlite ? kSqliteReadProcedures : kPostgresReadProcedures);

  std::string ini = HostSection(database_->connection_string(), options_.host_lines);
  for (size_t i = 0; i < dvrs_.size(); ++i) {
    listen_ports_.push_back(svc::FreeListenPort());
    ids_.push_back(options_.dvrs[i].key + "-" + std::to_string(i) + "-" + std::to_string(listen_ports_.back()));
    ini += "\n" + DvrSection(i);
  }
  const std::string ini_path = folder + "/svc.ini";
  WriteFile(ini_path, ini);
  // Rows for the DVRs the host knows; the others stay unknown to it.
  std::vector<DvrSeed> seeds;
  for (const DvrSeed& seed : ReadDvrSeeds(IniFile::Load(ini_path))) {
    for (const DvrSetup& setup : options_.dvrs) {
      if (setup.address == seed.address && setup.seeded) seeds.push_back(seed);
    }
  }
  SeedDatabase(database_->connection_string(), seeds);
  // Level 8 is the component's default level: its lines reach the debug log.
  WriteFile(folder + "/DeviceAdm.config", "LogLevel=8\n");

  std::vector<std::string> args = {svc::ProgramPath("dvrlink"), "--config", ini_path};
  args.insert(args.begin(), options_.launcher.begin(), options_.launcher.end());
  if (!options_.computer_zone.empty()) args.insert(args.begin(), "TZ=" + options_.computer_zone);
  service_ = std::make_unique<svc::ChildProcess>("/usr/bin/env", args, folder + "/out", folder + "/err");
  if (!svc::WaitUntil([&] { return ReadFile(folder + "/err").find("instance(s) started") != std::string::npos; })) {
    ADD_FAILURE() << "the service did not start: " << ReadFile(folder + "/err");
    return false;
  }
  for (size_t i = 0; wait_connected && i < ids_.size(); ++i) {
    const std::string& id = ids_[i];
    bool connected = WaitForLine(
        [&](const Json& j) { return j.value("instance", "") == id && j.value("code", 0) == 10322; }, 8000);
    // Events reach only acknowledged sessions: wait for both subscriptions.
    bool ready = svc::WaitUntil([&] {
      if (bridges_[i]) return bridges_[i]->Ready();
      std::map<std::string, std::string> status = dvrs_[i]->Status();
      return status["ready_sessions"] == "1" && status["ready_system_sessions"] == "1";
    });
    if (!connected || !ready) {
      ADD_FAILURE() << "instance " << id << " did not come up: " << ReadFile(folder + "/err")
                    << ReadFile(folder + "/host-events.jsonl");
      return false;
    }
  }
  return true;
}

void E2eService::RestartSimulator(size_t i) {
  std::unique_ptr<DvrsimProcess>& sim = dvrs_.at(i);
  std::vector<std::string> ports = {"--command-port", std::to_string(sim->command_port),
                                    "--event-port",   std::to_string(sim->event_port),
                                    "--live-port",    std::to_string(sim->live_port)};
  sim.reset();
  sim = std::make_unique<DvrsimProcess>(ports, options_.dvrs.at(i).address);
}

int E2eService::StopService() {
  if (!service_) return -1;
  service_->Signal(SIGTERM);
  std::optional<int> status = service_->Wait(10000);
  service_.reset();
  return status.value_or(-1);
}

std::vector<Json> E2eService::HostLines() const {
  std::vector<Json> lines;
  for (const std::string& text : ReadLines(dir_.File("host-events.jsonl"))) {
    Json line = Json::parse(text, nullptr, false);
    if (line.is_object()) lines.push_back(std::move(line));
  }
  return lines;
}

std::vector<Json> E2eService::HostEvents(const std::string& instance) const {
  std::vector<Json> events;
  for (Json& line : HostLines()) {
    if (line.value("kind", "") == "host_event" && (instance.empty() || line.value("instance", "") == instance)) {
      events.push_back(std::move(line));
    }
  }
  return events;
}

std::vector<int> EventCodes(const std::vector<Json>& events) {
  std::vector<int> codes;
  for (const Json& e : events) codes.push_back(e.value("code", 0));
  return codes;
}

std::vector<Json> E2eService::WaitForHostEvents(const std::string& instance, size_t count, int timeout_ms) const {
  return WaitForCount([&] { return HostEvents(instance); }, count, timeout_ms);
}

bool E2eService::WaitForLine(const std::function<bool(const Json&)>& pred, int timeout_ms) const {
  return svc::WaitUntil(
      [&] {
        for (const Json& line : HostLines()) {
          if (pred(line)) return true;
        }
        return false;
      },
      timeout_ms);
}

bool E2eService::WaitForLogLine(const std::vector<std::string>& texts, int timeout_ms) const {
  return svc::WaitUntil(
      [&] {
        for (const std::string& line : DebugLogLines(dir_.path())) {
          bool all = true;
          for (const std::string& text : texts) all = all && line.find(text) != std::string::npos;
          if (all) return true;
        }
        return false;
      },
      timeout_ms);
}

Json E2eService::Call(const std::string& instance, const std::string& method, const Json& args, int timeout_ms) {
  svc::TestClient endpoint = svc::TestClient::Unix(dir_.File("s.sock"));
  endpoint.SendLine(Json{{"id", 1}, {"instance", instance}, {"method", method}, {"args", args}}.dump());
  std::optional<std::string> reply = endpoint.ReadLine(timeout_ms);
  if (!reply) return Json();
  Json parsed = Json::parse(*reply, nullptr, false);
  return parsed.is_object() && parsed.contains("result") ? parsed["result"] : parsed;
}

svc::ProgramResult E2eService::Dvrctl(const std::vector<std::string>& args) const {
  std::vector<std::string> all = {"--socket", dir_.File("s.sock")};
  all.insert(all.end(), args.begin(), args.end());
  return svc::RunProgram(svc::ProgramPath("dvrctl"), all);
}

Frame E2eService::HostFrame(size_t dvr, const Frame& fields) {
  HostClient client(listen_ports_.at(dvr));
  client.Send(fields);
  std::vector<Frame> reply = client.WaitFor("", 1, 3000);
  return reply.empty() ? Frame() : reply.front();
}

std::vector<Row> E2eService::Rows(const std::string& table) const {
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

std::vector<Row> E2eService::WaitForRows(const std::string& table, size_t count, int timeout_ms) const {
  return WaitForCount([&] { return Rows(table); }, count, timeout_ms);
}

void E2eTest::Start(const E2eOptions& options) {
  e2e = std::make_unique<E2eService>(options);
  ASSERT_TRUE(e2e->Start());
}

void E2eTest::TearDown() {
  if (e2e && e2e->service_running()) {
    EXPECT_EQ(e2e->StopService(), 0) << "the service did not end cleanly";
  }
}

}  // namespace dvrlink::testing::e2e
