#include "fakes/test_support.h"

#include <sqlite3.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "component/module_state.h"
#include "mainform/frmMainTemplate.h"
#include "support/support_state.h"

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

void CreateEmptySqliteDb(const std::string& path) {
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  sqlite3_exec(db, "PRAGMA user_version = 1;", nullptr, nullptr, nullptr);
  sqlite3_close(db);
}

void ComponentTest::SetUp() {
  // Table-driven tests set up again for every case: start from no fakes and
  // no logs.
  world = FakeWorld{};
  for (const char* log : {"DebugDeviceAdm.log", "DebugIntegratedExtensionService.log", "Dvrlink.log"}) {
    std::remove(dir.File(log).c_str());
  }
  clock = &UseManualClock(DateTime::FromParts(2026, 12, 4, 17, 5, 9));
  Platform().program_folder = dir.path();
  Platform().computer_name_override = "HOSTPC";
  RegisterFakes(Platform().factory, world);
  db_path = dir.File("host.db");
  CreateEmptySqliteDb(db_path);
}

std::vector<std::string> ComponentTest::StandardParams() {
  return {"1",   "10.0.0.5", "7000",  "7001", "5000", "0",
          "3",   "DVR1",     "$1234567890123", "", "", "1",
          "24",  "Eastern Standard Time", "A", "7002", "0", "42"};
}

bool ComponentTest::Init(clsDvrlink& instance, std::vector<std::string> params) {
  return Init(instance, std::move(params), SqliteConnection());
}

bool ComponentTest::Init(clsDvrlink& instance, std::vector<std::string> params,
                         const std::string& connection_string) {
  auto source = std::make_shared<FakeConnectionSource>(connection_string);
  return instance.Initialize(Ref<IHostCallback>(host), Ref<IHostProduct>(std::make_shared<FakeHostProduct>()),
                             params, Ref<IConnectionStringSource>(source), "A");
}

void StartedComponentTest::SetUp() {
  ComponentTest::SetUp();
  dvr = NewInstance();
  ASSERT_TRUE(Init(*dvr, StandardParams()));
  socket = world.sockets.at(0).get();
  form = ModDvrlink().oFrmMainTemplate.at(3).get();
}

std::vector<std::string> ComponentTest::SentEvents() const {
  std::vector<std::string> all;
  for (const auto& socket : world.sockets) all.insert(all.end(), socket->sent.begin(), socket->sent.end());
  return all;
}

std::vector<int> ComponentTest::SentEventCodes() const {
  std::vector<int> codes;
  for (const auto& text : SentEvents()) {
    // \x18 44 \x1A code \x1A ...
    size_t first = text.find('\x1A');
    size_t second = text.find('\x1A', first + 1);
    codes.push_back(std::stoi(text.substr(first + 1, second - first - 1)));
  }
  return codes;
}

}  // namespace dvrlink::testing
