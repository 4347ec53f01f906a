// Helpers shared by the tests, and the component's fixture with every host component faked.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "component/clsDvrlink.h"
#include "fakes/fake_host.h"
#include "platform/platform_state.h"
#include "timezone/registry.h"
#include "timezone/time_zone_entry.h"

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
std::vector<std::string> ReadLines(const std::string& path);  // without their CR LF
int CountLinesContaining(const std::string& path, const std::string& text);

// A frame is start, fields joined by the separator, end; Fields() splits a reply or a frame's inside.
inline const std::string kSep = "\x1A";
std::string Frame(const std::vector<std::string>& fields);
std::vector<std::string> Fields(const std::string& text);

// A transition rule: year 0 is recurring (day = occurrence 1..5 of dayOfWeek in month).
SystemTime Rule(int month, int dayOfWeek, int day, int hour, int year = 0);
TimeZoneEntry Zone(const std::string& std_name, int32_t bias, int32_t daylight_bias = 0, SystemTime standard = {},
                   SystemTime daylight = {}, const std::string& display = "");
TimeZoneEntry Eastern();  // with its real-world rules, as the two below
TimeZoneEntry AusEastern();
TimeZoneEntry Tokyo();
// A registry holding these zones and the computer's zone (none when empty).
std::shared_ptr<MemoryRegistry> ZoneRegistry(const std::vector<TimeZoneEntry>& zones,
                                             const std::string& computer_zone);
// The entry of the table named std_name, or nullptr.
const TimeZoneEntry* Find(const std::vector<TimeZoneEntry>& list, const std::string& std_name);

// A component on the manual clock (2026-12-04 17:05:09) in a temporary program folder, every
// component faked, an empty SQLite file; zones Eastern, AUS Eastern, Tokyo and UTC (the computer's).
class ComponentTest : public ::testing::Test {
 protected:
  void SetUp() override;
  // Starts over within one test (a table's case).
  virtual void Restart();

  // DVR "DVR1" at 10.0.0.5, ID A-3-5000, clock sync every 24 h, zone Eastern, trigger off.
  static std::vector<std::string> StandardParams();
  std::shared_ptr<clsDvrlink> NewInstance() { return clsDvrlink::Create(); }
  // Initialize with the SQLite database file.
  bool Init(clsDvrlink& instance, std::vector<std::string> params);
  // Before Initialize: the host's schema and DVR "DVR1" ($1234567890123), camera 2 "Lobby".
  void SeedHostDatabase();
  // Rows of a query on the database, columns joined with "|".
  std::vector<std::string> Query(const std::string& sql) const;

  std::string DebugLog() const { return ReadFile(dir.File("DebugDeviceAdm.log")); }
  std::string ServiceLog() const { return ReadFile(dir.File("DebugIntegratedExtensionService.log")); }
  std::string TitleLog() const { return ReadFile(dir.File("Dvrlink.log")); }
  std::string SqliteConnection() const { return "Provider=SQLite;Data Source=" + db_path; }
  // The message-44 texts sent, their event codes, and the last one's code and twelve texts.
  std::vector<std::string> SentEvents() const;
  std::vector<int> SentEventCodes() const;
  std::vector<std::string> LastEvent() const;

  TempDir dir;
  FakeWorld world;
  ManualClock* clock = nullptr;
  std::string db_path;
  std::shared_ptr<FakeHostCallback> host = std::make_shared<FakeHostCallback>();
};

// A ComponentTest with one instance started from `params`, its socket, form, event control
// and alarm-event sink at hand.
class StartedComponentTest : public ComponentTest {
 protected:
  void SetUp() override;
  void Restart() override;
  // Creates and initialises the instance (SetUp does, after ComponentTest's).
  void Start();
  // Delivers a block from a client; the texts sent back to that client.
  std::vector<std::string> Send(const std::string& block, int16_t client = 5);
  // Runs what the fakes posted to the loop.
  void Deliver() { Loop().RunForMillis(10); }

  std::vector<std::string> params = StandardParams();
  std::shared_ptr<clsDvrlink> dvr;
  FakeSocketServer* socket = nullptr;
  frmMainTemplate* form = nullptr;
  FakeDvrEventCtrl* events = nullptr;
  IDvrAlarmEvents* alarms = nullptr;
};

}  // namespace dvrlink::testing
