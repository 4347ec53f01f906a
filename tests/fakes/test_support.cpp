#include "fakes/test_support.h"

#include <sqlite3.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "component/module_state.h"
#include "database/db_admin.h"
#include "mainform/frmMainTemplate.h"
#include "support/support_state.h"
#include "timezone/tz_state.h"
#include "timezone/tzi.h"

namespace dvrlink::testing {

TempDir::TempDir() {
  char pattern[] = "/tmp/dvrlink-test.XXXXXX";
  char* made = mkdtemp(pattern);
  if (!made) throw std::runtime_error("mkdtemp failed");
  path_ = made;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary);
  out << content;
}

std::vector<std::string> ReadLines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path, std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

int CountLinesContaining(const std::string& path, const std::string& text) {
  int n = 0;
  for (const auto& line : ReadLines(path)) n += line.find(text) != std::string::npos;
  return n;
}

std::string Frame(const std::vector<std::string>& fields) {
  std::string text = "\x18";
  for (size_t k = 0; k < fields.size(); ++k) text += (k ? kSep : "") + fields[k];
  return text + "\x19";
}

std::vector<std::string> Fields(const std::string& text) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (size_t sep; (sep = text.find(kSep, start)) != std::string::npos; start = sep + 1) {
    fields.push_back(text.substr(start, sep - start));
  }
  fields.push_back(text.substr(start));
  return fields;
}

SystemTime Rule(int month, int dayOfWeek, int day, int hour, int year) {
  const auto w = [](int v) { return static_cast<int16_t>(v); };
  return {w(year), w(month), w(dayOfWeek), w(day), w(hour)};
}

TimeZoneEntry Zone(const std::string& std_name, int32_t bias, int32_t daylight_bias, SystemTime standard,
                   SystemTime daylight, const std::string& display) {
  return {.Bias = bias, .DaylightBias = daylight_bias, .StandardDate = standard, .DaylightDate = daylight,
          .Display = display, .Std = std_name, .Dlt = "", .MapID = ""};
}

TimeZoneEntry Eastern() {
  return Zone("Eastern Standard Time", 300, -60, Rule(11, 0, 1, 2), Rule(3, 0, 2, 2), "(UTC-05:00) Eastern Time");
}
TimeZoneEntry AusEastern() {
  return Zone("AUS Eastern Standard Time", -600, -60, Rule(4, 0, 1, 3), Rule(10, 0, 1, 2),
              "(UTC+10:00) Eastern Australia Time");
}
TimeZoneEntry Tokyo() { return Zone("Tokyo Standard Time", -540, 0, {}, {}, "(UTC+09:00) Japan Standard Time"); }

std::shared_ptr<MemoryRegistry> ZoneRegistry(const std::vector<TimeZoneEntry>& zones,
                                             const std::string& computer_zone) {
  auto reg = std::make_shared<MemoryRegistry>();
  constexpr RegRoot kHklm = RegRoot::HKEY_LOCAL_MACHINE;
  for (const TimeZoneEntry& z : zones) {
    const std::string key = std::string(kTimeZonesKeyNT) + "\\" + z.Std;
    const auto tzi = EncodeTzi(z);
    reg->SetValue(kHklm, key, "TZI", RegValue::Binary({tzi.begin(), tzi.end()}));
    reg->SetValue(kHklm, key, "Display", RegValue::Text(z.Display));
    reg->SetValue(kHklm, key, "Std", RegValue::Text(z.Std));
  }
  if (!computer_zone.empty()) {
    for (const char* value : {"TimeZoneKeyName", "StandardName"}) {
      reg->SetValue(kHklm, kTimeZoneInformationKey, value, RegValue::Text(computer_zone));
    }
  }
  return reg;
}

const TimeZoneEntry* Find(const std::vector<TimeZoneEntry>& list, const std::string& std_name) {
  for (const TimeZoneEntry& e : list) {
    if (e.Std == std_name) return &e;
  }
  return nullptr;
}

void ComponentTest::SetUp() {
  world = FakeWorld{};
  for (const char* file : {"DebugDeviceAdm.log", "DebugIntegratedExtensionService.log", "Dvrlink.log", "host.db",
                           "host.db-wal", "host.db-shm"}) {
    std::remove(dir.File(file).c_str());
  }
  clock = &UseManualClock(DateTime::FromParts(2026, 12, 4, 17, 5, 9));
  Platform().program_folder = dir.path();
  Platform().computer_name_override = "HOSTPC";
  RegisterFakes(Platform().factory, world);
  ModTimeZone().registry =
      ZoneRegistry({Eastern(), AusEastern(), Tokyo(), Zone("UTC", 0, 0, {}, {}, "(UTC+00:00) UTC")}, "UTC");
  db_path = dir.File("host.db");
  sqlite3* db = nullptr;
  sqlite3_open(db_path.c_str(), &db);
  sqlite3_exec(db, "PRAGMA user_version = 1;", nullptr, nullptr, nullptr);
  sqlite3_close(db);
}

void ComponentTest::Restart() {
  ResetModuleState();
  SetUp();
}

std::vector<std::string> ComponentTest::StandardParams() {
  return {"1",   "10.0.0.5", "7000",  "7001", "5000", "0",
          "3",   "DVR1",     "$1234567890123", "", "", "1",
          "24",  "Eastern Standard Time", "A", "7002", "0", "42"};
}

bool ComponentTest::Init(clsDvrlink& instance, std::vector<std::string> params) {
  auto source = std::make_shared<FakeConnectionSource>(SqliteConnection());
  return instance.Initialize(Ref<IHostCallback>(host), Ref<IHostProduct>(std::make_shared<FakeHostProduct>()),
                             params, Ref<IConnectionStringSource>(source), "A");
}

void ComponentTest::SeedHostDatabase() {
  // Made once per test program and copied: making it costs disk syncs.
  static const TempDir seeded_dir;
  static const std::string seeded = [] {
    const std::string connection = "Provider=SQLite;Data Source=" + seeded_dir.File("host.db");
    InitDatabase(connection);
    DvrSeed seed;
    seed.config_id = 42;
    seed.address = "10.0.0.5";
    seed.global_address_id = "$1234567890123";
    seed.name = "DVR1";
    for (int i = 0; i < 16; ++i) {
      seed.camera_names[static_cast<size_t>(i)] = i == 2 ? "Lobby" : "Camera " + std::to_string(i + 1);
      seed.camera_global_address_ids[static_cast<size_t>(i)] = CameraGlobalAddressID(seed.global_address_id, i);
    }
    SeedDatabase(connection, {seed});
    return seeded_dir.File("host.db");
  }();
  std::filesystem::copy_file(seeded, db_path, std::filesystem::copy_options::overwrite_existing);
}

std::vector<std::string> ComponentTest::Query(const std::string& sql) const {
  sqlite3* db = nullptr;
  std::vector<std::string> rows;
  EXPECT_EQ(sqlite3_open(db_path.c_str(), &db), SQLITE_OK);
  sqlite3_stmt* stmt = nullptr;
  EXPECT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
  while (sqlite3_step(stmt) == SQLITE_ROW) {
    std::string row;
    for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
      const unsigned char* v = sqlite3_column_text(stmt, i);
      row += (i ? "|" : "") + std::string(v ? reinterpret_cast<const char*>(v) : "NULL");
    }
    rows.push_back(row);
  }
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  return rows;
}

std::vector<std::string> ComponentTest::SentEvents() const {
  std::vector<std::string> all;
  for (const auto& socket : world.sockets) all.insert(all.end(), socket->sent.begin(), socket->sent.end());
  return all;
}

std::vector<int> ComponentTest::SentEventCodes() const {
  std::vector<int> codes;
  for (const auto& text : SentEvents()) codes.push_back(std::stoi(Fields(text).at(1)));
  return codes;
}

std::vector<std::string> ComponentTest::LastEvent() const {
  std::vector<std::string> sent = SentEvents();
  if (sent.empty()) return {};
  std::vector<std::string> fields = Fields(sent.back().substr(1, sent.back().size() - 2));
  return {fields.begin() + 1, fields.end()};
}

void StartedComponentTest::SetUp() {
  ComponentTest::SetUp();
  Start();
}

void StartedComponentTest::Start() {
  dvr = NewInstance();
  ASSERT_TRUE(Init(*dvr, params));
  socket = world.sockets.at(0).get();
  form = ModDvrlink().oFrmMainTemplate.at(static_cast<size_t>(dvr->DvrNumber())).get();
  events = world.event_ctrls.at(0).get();
  alarms = events->alarm_ctrl->sink();
}

void StartedComponentTest::Restart() {
  dvr.reset();
  ComponentTest::Restart();
}

std::vector<std::string> StartedComponentTest::Send(const std::string& block, int16_t client) {
  socket->replies.clear();
  dvr->Callback(201, client, block);
  std::vector<std::string> texts;
  for (const auto& [index, text] : socket->replies) {
    EXPECT_EQ(index, client);
    texts.push_back(text);
  }
  return texts;
}

}  // namespace dvrlink::testing
