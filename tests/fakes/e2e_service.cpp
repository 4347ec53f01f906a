// The end-to-end fixture: free ports, bounded waits, client sockets and child
// processes (svc_test_support.h), and the service with its simulated DVRs.
#include "fakes/e2e_service.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "database/ado_connection.h"
#include "database/db_admin.h"
#include "fakes/test_support.h"
#include "platform/ini_file.h"
#include "platform/platform_state.h"

namespace dvrlink::testing::svc {
namespace {

int64_t NowMillis() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void SleepMillis(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// One short round of the loop. Under the manual clock a round never
// sleeps, so the test's own short sleep keeps the wait from spinning.
void PumpRound() {
  bool ran = Loop().RunOnce(5'000);
  if (!ran && Loop().clock().IsManual()) SleepMillis(1);
}

// Binds a TCP socket to address:port (0: any); the port bound, 0 on failure.
uint16_t TryBind(const char* address, uint16_t port) {
  net::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_port = htons(port);
  inet_pton(AF_INET, address, &sin.sin_addr);
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&sin), sizeof sin) != 0) return 0;
  socklen_t length = sizeof sin;
  ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&sin), &length);
  return ntohs(sin.sin_port);
}

}  // namespace

uint16_t FreeTcpPort(const char* address) { return TryBind(address, 0); }

uint16_t FreeListenPort(const char* address) {
  static unsigned seed = static_cast<unsigned>(::getpid()) * 2654435761u ^ static_cast<unsigned>(NowMillis());
  for (int attempt = 0; attempt < 200; ++attempt) {
    seed = seed * 1103515245u + 12345u;
    auto port = static_cast<uint16_t>(20000 + (seed >> 8) % 12000);
    if (TryBind(address, port) == port) return port;
  }
  return 0;
}

// Runs step until cond holds or timeout_ms pass; cond's last value.
static bool Poll(const std::function<bool()>& cond, int timeout_ms, void (*step)()) {
  int64_t deadline = NowMillis() + timeout_ms;
  while (!cond()) {
    if (NowMillis() >= deadline) return cond();
    step();
  }
  return true;
}

bool PumpUntil(const std::function<bool()>& cond, int timeout_ms) { return Poll(cond, timeout_ms, PumpRound); }

void PumpFor(int ms) {
  int64_t deadline = NowMillis() + ms;
  while (NowMillis() < deadline) PumpRound();
}

bool WaitUntil(const std::function<bool()>& cond, int timeout_ms) {
  return Poll(cond, timeout_ms, [] { SleepMillis(10); });
}

TestClient TestClient::Tcp(uint16_t port, const char* source_address) {
  TestClient client;
  net::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (source_address != nullptr) {
    sockaddr_in source{};
    source.sin_family = AF_INET;
    inet_pton(AF_INET, source_address, &source.sin_addr);
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&source), sizeof source) != 0) return client;
  }
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_port = htons(port);
  inet_pton(AF_INET, "127.0.0.1", &sin.sin_addr);
  // Loopback connects complete at once (the kernel queues them for accept).
  if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&sin), sizeof sin) != 0) return client;
  net::SetNonBlocking(fd.get());
  client.fd_ = std::move(fd);
  return client;
}

TestClient TestClient::Unix(const std::string& path) {
  TestClient client;
  net::UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return client;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return client;
  net::SetNonBlocking(fd.get());
  client.fd_ = std::move(fd);
  return client;
}

void TestClient::Send(const std::string& data) {
  size_t done = 0;
  int64_t deadline = NowMillis() + 5000;
  while (done < data.size() && fd_.valid()) {
    long n = net::SendSome(fd_.get(), data.data() + done, data.size() - done);
    if (n < 0) return;
    done += static_cast<size_t>(n);
    if (done < data.size()) {
      if (NowMillis() > deadline) throw std::runtime_error("TestClient::Send: the peer does not read");
      PumpRound();
    }
  }
}

bool TestClient::ReadNow() {
  char buffer[65536];
  while (fd_.valid()) {
    ssize_t n = ::recv(fd_.get(), buffer, sizeof buffer, 0);
    if (n > 0) {
      received_.append(buffer, static_cast<size_t>(n));
      continue;
    }
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
      peer_closed_ = true;
      return false;
    }
    return true;
  }
  return false;
}

const std::string& TestClient::ReceiveUntil(const std::function<bool(const std::string&)>& until, int timeout_ms) {
  PumpUntil(
      [&] {
        ReadNow();
        return until(received_) || peer_closed_;
      },
      timeout_ms);
  return received_;
}

std::optional<std::string> TestClient::ReadLine(int timeout_ms) {
  ReceiveUntil([](const std::string& r) { return r.find('\n') != std::string::npos; }, timeout_ms);
  size_t end = received_.find('\n');
  if (end == std::string::npos) return std::nullopt;
  std::string line = received_.substr(0, end);
  received_.erase(0, end + 1);
  return line;
}

bool TestClient::WaitClosed(int timeout_ms) {
  ReceiveUntil([](const std::string&) { return false; }, timeout_ms);
  return peer_closed_;
}

std::string ProgramPath(const std::string& name) {
  std::string base = ".";
  if (const char* dir = std::getenv("DVRLINK_BUILD_DIR")) {
    base = dir;
  } else {  // run by hand: the build folder above this program (build/tests/<program>)
    char self[4096] = {};
    ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    std::string exe(self, n > 0 ? static_cast<size_t>(n) : 0);
    if (exe.find('/') != std::string::npos) base = exe.substr(0, exe.rfind('/')) + "/..";
  }
  return base + "/apps/" + name + "/" + name;
}

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args,
                           const std::string& stdout_file, const std::string& stderr_file) {
  std::vector<std::string> all = {program};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  net::UniqueFd out(::open(stdout_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  net::UniqueFd err(::open(stderr_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  pid_ = ::fork();
  if (pid_ == 0) {
    // The child ends with the test program, even when that crashes, and
    // starts with no signal blocked, whatever the test runner has.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    int in = ::open("/dev/null", O_RDONLY);
    ::dup2(in, STDIN_FILENO);
    ::dup2(out.get(), STDOUT_FILENO);
    ::dup2(err.get(), STDERR_FILENO);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0 && !status_) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

void ChildProcess::Signal(int signal_number) {
  if (pid_ > 0 && !status_) ::kill(pid_, signal_number);
}

std::optional<int> ChildProcess::Wait(int timeout_ms) {
  if (pid_ <= 0) return std::nullopt;
  if (status_) return status_;
  WaitUntil(
      [&] {
        int raw = 0;
        if (::waitpid(pid_, &raw, WNOHANG) != pid_) return false;
        status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        return true;
      },
      timeout_ms);
  return status_;
}

ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& args, int timeout_ms) {
  testing::TempDir dir;
  ProgramResult result;
  {
    ChildProcess child(program, args, dir.File("out"), dir.File("err"));
    std::optional<int> status = child.Wait(timeout_ms);
    result.status = status.value_or(-1);
  }
  result.out = testing::ReadFile(dir.File("out"));
  result.err = testing::ReadFile(dir.File("err"));
  return result;
}

}  // namespace dvrlink::testing::svc

namespace dvrlink::testing::e2e {
namespace {

// Procedures reading the tables back, dates in one text form for both providers.
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
