// The host sink's three line shapes, its file and its listeners.
#include "host/host_sink.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "component/module_state.h"

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "fakes/db_test_support.h"
#include "fakes/test_support.h"
#include "platform/platform_state.h"

namespace dvrlink {
namespace {

const std::string S(1, '\x18');
const std::string E(1, '\x19');
const std::string P(1, '\x1A');

// A message 44 as IDVR_DVRSendEvent builds it.
std::string Message44(const std::string& code, std::vector<std::string> texts) {
  std::string m = S + "44" + P + code;
  for (const std::string& t : texts) m += P + t;
  return m + E;
}

TEST(HostSinkTest, MessagesBecomeHostEventsOrPlainMessages) {
  const std::vector<std::string> twelve = {"2026/12/05 10:00:00", "$12", "DVR1", "10.0.0.5", "", "", "", "",
                                           "", "", "", "d8"};
  const std::string twelve_json = R"(["2026/12/05 10:00:00","$12","DVR1","10.0.0.5","","","","","","","","d8"])";
  struct Case {
    const char* name;
    std::string text;
    std::string line;  // empty: a "message" line carrying the text unchanged
  };
  const std::vector<Case> cases = {
      {"a message 44 is a host event with its twelve texts in order", Message44("10322", twelve),
       R"({"kind":"host_event","instance":"A-0-5000","time":"T","code":10322,"fields":)" + twelve_json + "}"},
      {"a negative code", Message44("-5", twelve),
       R"({"kind":"host_event","instance":"A-0-5000","time":"T","code":-5,"fields":)" + twelve_json + "}"},
      {"Latin-1 texts come out as UTF-8, also after a byte pair that would be UTF-8",
       Message44("10323", {"t", "g", "K\xC2\xB0\xFC" "che", "a", "", "", "", "", "", "", "", ""}),
       R"({"kind":"host_event","instance":"A-0-5000","time":"T","code":10323,"fields":["t","g","KÂ°üche","a","","","","","","","",""]})"},
      {"an encoded surrogate is no UTF-8: the texts are read as Latin-1",
       Message44("10323", {"t", "g", "\xED\xA0\x80", "a", "", "", "", "", "", "", "", ""}),
       R"({"kind":"host_event","instance":"A-0-5000","time":"T","code":10323,"fields":["t","g",")"
       "\xC3\xAD\xC2\xA0\xC2\x80" R"(","a","","","","","","","",""]})"},
      {"eleven texts is not a message 44", Message44("10322", std::vector<std::string>(11, "a")), ""},
      {"thirteen texts is not a message 44", Message44("10322", std::vector<std::string>(13, "a")), ""},
      {"another command code", S + "45" + P + "3" + E, ""},
      {"a code that is not a number", Message44("1x", twelve), ""},
      {"a code beyond 32 bits", Message44("99999999999", twelve), ""},
      {"an empty code", Message44("", twelve), ""},
      {"a lone minus", Message44("-", twelve), ""},
      {"a minus inside the code", Message44("1-2", twelve), ""},
      {"an empty text", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string line = DumpLine(HostSink::MessageLine("A-0-5000", "T", c.text));
    if (c.line.empty()) {
      Json expected = Json::object();
      expected["kind"] = "message";
      expected["instance"] = "A-0-5000";
      expected["time"] = "T";
      expected["text"] = c.text;
      EXPECT_EQ(line, DumpLine(expected));
    } else {
      EXPECT_EQ(line, c.line);
    }
  }
}

TEST(HostSinkTest, CallbacksAndMessagesGoToTheFileAndListenersWithTheInstanceAndTime) {
  ResetModuleState();
  testing::TempDir dir;
  UseManualClock(DateTime::FromParts(2026, 12, 5, 19, 15, 9));
  HostSinkOptions options;
  options.events_file = dir.File("host-events.jsonl");
  options.write_stdout = false;
  HostSink sink(options);
  std::vector<std::string> heard;
  uint64_t first = 0;
  first = sink.AddListener([&](const std::string& line) {
    heard.push_back("1 " + line);
    sink.RemoveListener(first);  // a listener may leave while lines go out
  });
  sink.AddListener([&](const std::string& line) { heard.push_back("2 " + line); });

  std::string id = "A-0-5000";
  HostCallback callback(sink, [&] { return id; });
  callback.IDVR_Callback(207, 1, "confirmed", "104");
  id = "A-0-5001";  // the ID as it stands at each call
  sink.Message(id, Message44("10321", std::vector<std::string>(12, "x")));

  const std::string callback_line =
      R"({"kind":"callback","instance":"A-0-5000","time":"2026-12-05T19:15:09","type":207,"event_id":1,"description":"confirmed","ident":"104"})";
  const std::string event_line =
      R"({"kind":"host_event","instance":"A-0-5001","time":"2026-12-05T19:15:09","code":10321,"fields":["x","x","x","x","x","x","x","x","x","x","x","x"]})";
  EXPECT_EQ(testing::ReadLines(options.events_file), (std::vector<std::string>{callback_line, event_line}));
  EXPECT_EQ(heard, (std::vector<std::string>{"1 " + callback_line, "2 " + callback_line, "2 " + event_line}));
}

// A full disk (small tmpfs): whole lines only, logged once, writing resumes.
TEST(HostSinkTest, AFullDiskLeavesOnlyWholeLinesAndWritingResumes) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs for the full disk needs root";
  testing::TempDir disk, logs;
  struct Unmount {
    std::string path;
    ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
  } unmount{disk.path()};
  // In a mount namespace of this process alone: the mount goes with it, even on a crash.
  if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      ::mount("tmpfs", disk.path().c_str(), "tmpfs", 0, "size=16k") != 0) {
    GTEST_SKIP() << "cannot mount a tmpfs: " << std::strerror(errno);
  }
  Platform().program_folder = logs.path();
  testing::WriteFile(disk.File("filler"), std::string(4096, 'f'));
  HostSinkOptions options;
  options.events_file = disk.File("host-events.jsonl");
  options.write_stdout = false;
  HostSink sink(options);
  auto lines = [&] { return testing::ReadLines(options.events_file); };
  for (int i = 0; i < 20; ++i) sink.Message("A-0-5000", std::to_string(i) + std::string(1000, 'x'));
  ASSERT_LT(lines().size(), 20u) << "the disk did not fill";
  std::remove(disk.File("filler").c_str());
  sink.Message("A-0-5000", "after");
  for (const std::string& line : lines()) EXPECT_TRUE(nlohmann::json::parse(line, nullptr, false).is_object()) << line;
  EXPECT_NE(lines().back().find("\"text\":\"after\""), std::string::npos);
  EXPECT_EQ(testing::CountLinesContaining(logs.File("DebugDeviceAdm.log"), "cannot write"), 1);
  EXPECT_EQ(testing::CountLinesContaining(logs.File("DebugDeviceAdm.log"), "line(s) could not be written"), 1);
}

// A host-raised alarm not recorded (database file replaced) is logged; the
// next one is recorded through a connection opened anew.
TEST(HostSinkTest, AnActiveAlarmThatFailsIsLoggedAndTheNextOneOpensTheDatabaseAnew) {
  testing::TempDir logs;
  Platform().program_folder = logs.path();
  testing::TestDatabase db(testing::Backend::kSqlite);
  HostSinkOptions options;
  options.write_stdout = false;
  options.record_active_alarms = true;
  options.connection_string = db.connection_string();
  HostSink sink(options);
  const std::string file = db.connection_string().substr(db.connection_string().rfind('=') + 1);
  const auto raise = [&] {
    sink.Message("A-0-5000", Message44("10317", {"2026/12/05 10:00:00", "$12", "DVR1", "10.0.0.5", "Alarm", "", "", "",
                                                 "", "", "", ""}));
  };
  raise();
  testing::WriteFile(file + ".new", testing::ReadFile(file));
  ASSERT_EQ(std::rename((file + ".new").c_str(), file.c_str()), 0);
  raise();
  raise();
  EXPECT_EQ(testing::CountLinesContaining(logs.File("DebugDeviceAdm.log"), "not recorded"), 1);
}

}  // namespace
}  // namespace dvrlink
