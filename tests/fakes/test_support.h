// Small helpers shared by the tests: a temporary folder removed afterwards,
// file reading, and a component fixture on the manual clock with every host
// component and DVR API object faked.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "component/clsDvrlink.h"
#include "fakes/fake_host.h"
#include "platform/platform_state.h"

namespace dvrlink {
class frmMainTemplate;
}

namespace dvrlink::testing {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);
// The lines of a file without their CR LF.
std::vector<std::string> ReadLines(const std::string& path);
// How many lines of the file contain text.
int CountLinesContaining(const std::string& path, const std::string& text);
// Creates an empty SQLite database file.
void CreateEmptySqliteDb(const std::string& path);

// A component on the manual clock (local time 2026-12-04 17:05:09) with the
// program folder in a temporary directory and every component faked.
class ComponentTest : public ::testing::Test {
 protected:
  void SetUp() override;

  // sCmd for DVR "DVR1" at 10.0.0.5, ID A-3-5000, clock sync on every 24 h.
  static std::vector<std::string> StandardParams();
  std::shared_ptr<clsDvrlink> NewInstance() { return clsDvrlink::Create(); }
  bool Init(clsDvrlink& instance, std::vector<std::string> params);
  bool Init(clsDvrlink& instance, std::vector<std::string> params, const std::string& connection_string);

  std::string DebugLog() const { return ReadFile(dir.File("DebugDeviceAdm.log")); }
  std::string ServiceLog() const { return ReadFile(dir.File("DebugIntegratedExtensionService.log")); }
  std::string TitleLog() const { return ReadFile(dir.File("Dvrlink.log")); }
  std::string SqliteConnection() const { return "Provider=SQLite;Data Source=" + db_path; }
  // The message-44 texts the socket component was asked to send.
  std::vector<std::string> SentEvents() const;
  // The event code of each message 44 sent.
  std::vector<int> SentEventCodes() const;

  TempDir dir;
  FakeWorld world;
  ManualClock* clock = nullptr;
  std::string db_path;
  std::shared_ptr<FakeHostCallback> host = std::make_shared<FakeHostCallback>();
};

// A ComponentTest with one instance started from StandardParams(): its
// socket component and its main form at hand.
class StartedComponentTest : public ComponentTest {
 protected:
  void SetUp() override;
  std::shared_ptr<clsDvrlink> dvr;
  FakeSocketServer* socket = nullptr;
  frmMainTemplate* form = nullptr;
};

}  // namespace dvrlink::testing
