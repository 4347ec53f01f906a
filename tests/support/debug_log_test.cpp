// The logs, the configuration file and the small utilities of the support
// module.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <functional>

#include "component/module_state.h"
#include "fakes/test_support.h"
#include "platform/net/fd.h"
#include "support/config_file.h"
#include "support/debug_log.h"
#include "support/mod_all_const.h"
#include "support/support_state.h"

namespace dvrlink::testing {
namespace {

using ::testing::HasSubstr;

class SupportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    UseManualClock(DateTime::FromParts(2026, 12, 4, 16, 32, 20));
    Platform().program_folder = dir.path();
    InitModuleConstants();
    for (const char* log : {"DebugDeviceAdm.log", "DebugIntegratedExtensionService.log", "Dvrlink.log"}) {
      std::remove(dir.File(log).c_str());
    }
  }
  std::vector<std::string> DebugLines() const { return ReadLines(dir.File("DebugDeviceAdm.log")); }
  TempDir dir;
};

TEST_F(SupportTest, LeveledLinesAreStampedAndPaddedToOneColumn) {
  ModAllConst().lDebugFlags = 2;  // every level
  for (const auto& [level, padded] : {std::pair<int16_t, const char*>{9, "9 "}, {10, "10"}}) {
    SCOPED_TRACE(level);
    std::remove(dir.File("DebugDeviceAdm.log").c_str());
    WriteDebugLog("Dvrlink, Class_Initialize() DONE", level);
    EXPECT_EQ(ReadFile(dir.File("DebugDeviceAdm.log")),
              std::string("12/04/2026 04:32:20 PM-") + padded + " Dvrlink, Class_Initialize() DONE\r\n");
  }
}

TEST_F(SupportTest, LevelIsWrittenOnlyWhenItsBitIsSetOrEveryLevelIsOn) {
  const struct {
    const char* name;
    int32_t log_level, debug_flags;
    int16_t level;
    bool written;
  } cases[] = {
      {"level 8 enabled", 128, 0, 8, true},
      {"level 9 needs its own bit", 128, 0, 9, false},
      {"level 31 is the highest bit", 1073741824, 0, 31, true},
      {"level 0 has no bit", 2147483647, 0, 0, false},
      {"level 32 has no bit", 2147483647, 0, 32, false},
      {"flag 2 writes level 32", 0, 2, 32, true},
      {"flag 1 alone writes nothing", 0, 1, 8, false},
      {"level 33 is outside the table", 2147483647, 2, 33, false},
      {"negative level", 2147483647, 2, -1, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::remove(dir.File("DebugDeviceAdm.log").c_str());
    std::remove(dir.File("Dvrlink.log").c_str());
    ModAllConst().lLogLevel = c.log_level;
    ModAllConst().lDebugFlags = c.debug_flags;
    WriteDebugLog("text", c.level);
    EXPECT_EQ(DebugLines().size(), c.written ? 1u : 0u);
    // The title log takes every text, whatever its level.
    EXPECT_EQ(ReadLines(dir.File("Dvrlink.log")), std::vector<std::string>{"12/4/2026 4:32:20 PM  text"});
  }
  const std::string title = Platform().title;
  Platform().title = "Other";  // the title log follows the program's title
  WriteDebugLog("text", 8);
  Platform().title = title;
  EXPECT_EQ(ReadLines(dir.File("Other.log")).size(), 1u);
}

TEST_F(SupportTest, UnconditionalWritersAndErrorLines) {
  WriteDebugLogAlways("always");
  WriteServiceLog("service");
  LogError("Dvrlink, DeviceFormClose-A-3-5000", "Object variable or With block variable not set", 120);
  const std::string error =
      "12/04/2026 04:32:20 PM\t??? Dvrlink, DeviceFormClose-A-3-5000() ??? ERROR, Line: 120, "
      "Object variable or With block variable not set";
  EXPECT_EQ(DebugLines(), (std::vector<std::string>{"12/04/2026 04:32:20 PM\talways", error}));
  // Errors reach the service log only once creation has set the flag.
  EXPECT_EQ(ReadLines(dir.File("DebugIntegratedExtensionService.log")),
            std::vector<std::string>{"12/04/2026 04:32:20 PM\tservice"});
  ModAllConst().blnErrorToServiceLog = true;
  LogError("Dvrlink, DeviceFormClose-A-3-5000", "Object variable or With block variable not set", 120);
  EXPECT_EQ(ReadLines(dir.File("DebugIntegratedExtensionService.log")).back(), error);
}

TEST_F(SupportTest, ControlCharactersAreEscapedButTheComponentsOwnLineBreaksStay) {
  const std::string own = "modAllConst, ProcessToken() ??? ERROR Line : 12\r\nType mismatch";
  const struct {
    const char* name;
    std::string text, written;
  } cases[] = {
      {"a forged line", "sData=x\r\n12/04/2026 04:32:20 PM\tforged", "sData=x\\r\\n12/04/2026 04:32:20 PM\tforged"},
      {"NUL, ESC and a lone LF", std::string("a\0b\x1B[2Jc\nd", 10), "a\\x00b\\x1B[2Jc\\nd"},
      {"TAB and the frame characters stay", "\x18" "39\x1A" "OK\t1\x19", "\x18" "39\x1A" "OK\t1\x19"},
      {"an own text", own, own},
      {"Initialize's line", "Dvrlink, Initialize(A-0-5000) oSocket.Connect() \r\n\tsRemoteHost=H",
       "Dvrlink, Initialize(A-0-5000) oSocket.Connect() \r\n\tsRemoteHost=H"},
      {"a second break after an own one", own + "\r\nforged", own + "\\r\\nforged"},
      {"an own text not at the start", "x " + own, "x modAllConst, ProcessToken() ??? ERROR Line : 12\\r\\nType mismatch"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::remove(dir.File("DebugDeviceAdm.log").c_str());
    WriteDebugLogAlways(c.text);
    EXPECT_EQ(ReadFile(dir.File("DebugDeviceAdm.log")), "12/04/2026 04:32:20 PM\t" + c.written + "\r\n");
  }
}

TEST_F(SupportTest, ALineThatCannotBeWrittenIsLostSilently) {
  Platform().program_folder = dir.File("no/such/folder");
  WriteDebugLogAlways("lost");
  WriteServiceLog("lost");
  LogError("x", "y", 1);
  ModAllConst().blnLogLocation = true;
  ModAllConst().sLogLocation = dir.File("moved.log");
  WriteDebugLogAlways("kept");
  EXPECT_EQ(ReadLines(dir.File("moved.log")).size(), 1u);
}

TEST_F(SupportTest, KeptOpenLogsFollowTheirPathWithinASecondAndAtOnceWhenReopened) {
  ManualClock& clock = UseManualClock(DateTime::FromParts(2026, 12, 4, 16, 32, 20));
  SetLogFileMode(LogFileMode::kKeptOpen);
  const std::string log = dir.File("DebugIntegratedExtensionService.log");
  const std::string moved = log + ".1";
  const struct {
    const char* name;
    bool rename;          // else deleted
    int64_t wait_millis;  // before the next line
    bool reopen;          // ReopenLogFiles (SIGHUP) first
    bool new_file;        // the line is in a new file at the path
  } cases[] = {
      {"renamed, next line at once", true, 0, false, false},
      {"renamed, next line 999 ms later", true, 999, false, false},
      {"renamed, next line a second later", true, 1000, false, true},
      {"deleted, next line a second later", false, 1000, false, true},
      {"renamed, reopened at once", true, 0, true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::remove(moved.c_str());
    std::remove(log.c_str());
    ReopenLogFiles();
    WriteServiceLog("first");
    c.rename ? std::rename(log.c_str(), moved.c_str()) : std::remove(log.c_str());
    clock.AdvanceMillis(c.wait_millis);
    if (c.reopen) ReopenLogFiles();
    WriteServiceLog("second");
    EXPECT_EQ(ReadLines(log).size(), c.new_file ? 1u : 0u);
    EXPECT_EQ(ReadLines(moved).size(), c.rename ? (c.new_file ? 1u : 2u) : 0u);
  }
  SetLogFileMode(LogFileMode::kOpenEachLine);
}

TEST_F(SupportTest, BitWiseAndOfPositiveNumbersOnly) {
  const struct {
    int32_t a, b, result;
  } cases[] = {{12, 10, 8}, {-1, 7, 0}, {7, -1, 0}, {2147483647, 1073741824, 1073741824}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.a) + " & " + std::to_string(c.b));
    EXPECT_EQ(BitWiseAnd(c.a, c.b), c.result);
  }
  // The digit helpers: no leading zeros, "0" for 0 and for negatives.
  const struct {
    int32_t x;
    const char* digits;
  } binary[] = {{6, "110"}, {1, "1"}, {0, "0"}, {-3, "0"}};
  for (const auto& b : binary) {
    SCOPED_TRACE(b.x);
    EXPECT_EQ(ToBinary(b.x), b.digits);
    EXPECT_EQ(ToLong(std::string("0") + b.digits), std::max(b.x, 0));
  }
}

TEST_F(SupportTest, ConfigurationFileRules) {
  const struct {
    const char *name, *content;
    int32_t log_level;
    const char* location;  // nullptr: no Location set
    bool error_logged;
  } cases[] = {
      {"all stops reading", "loglevel=all\nLocation=/tmp/x.log\n", 2147483647, nullptr, false},
      {"none stops reading", "LogLevel=8\nLOGLEVEL=None\nLogLevel=9\n", 0, nullptr, false},
      {"blanks around = make another key", "LogLevel = 8\n", 0, nullptr, false},
      {"fraction rounds half to even", "LogLevel=2.5\n", 2, nullptr, false},
      {"out of range is an error line", "LogLevel=33\nLogLevel=8\n", 128, nullptr, true},
      {"comments", "'LogLevel=8\n!LogLevel=8\n//LogLevel=8\n/LogLevel=8\n", 0, nullptr, false},
      {"a level twice adds its bit twice", "LogLevel=3\nLogLevel=3\n", 8, nullptr, false},
      {"location", "Location=/var/log/dvr1.log\nLogLevel=8", 128, "/var/log/dvr1.log", false},
      {"numeric location ignored", "Location=5\n", 0, nullptr, false},
      {"first = splits", "Location=/x=y.log\n", 0, "/x=y.log", false},
      {"unknown keys and other values", "Foo=1\nLogLevel=high\nno equals sign\n\n", 0, nullptr, false},
      {"blank-padded number", "LogLevel= 8 \n", 128, nullptr, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ResetModuleState();
    SetUp();
    ModAllConst().lLogLevel = 99;  // reset by every load
    WriteFile(dir.File("DeviceAdm.config"), c.content);
    LoadConfigFile(dir.File("DeviceAdm.config"));
    EXPECT_EQ(ModAllConst().lLogLevel, c.log_level);
    EXPECT_EQ(ModAllConst().blnLogLocation, c.location != nullptr);
    if (c.location) { EXPECT_EQ(ModAllConst().sLogLocation, c.location); }
    EXPECT_EQ(ReadFile(dir.File("DebugDeviceAdm.log")).find("??? modAllConst, ProcessEachLine() ??? ERROR") !=
                  std::string::npos,
              c.error_logged);
  }
}

TEST_F(SupportTest, ConfigurationFileNameMustMatchExactly) {
  WriteFile(dir.File("deviceadm.config"), "LogLevel=8\n");
  ModAllConst().lLogLevel = 5;
  LoadConfigFile(dir.File("DeviceAdm.config"));
  EXPECT_EQ(ModAllConst().lLogLevel, 0);
  LoadConfigFile(dir.File("deviceadm.config"));
  EXPECT_EQ(ModAllConst().lLogLevel, 128);
  EXPECT_EQ(ReadFile(dir.File("DebugDeviceAdm.log")), "");
}

TEST_F(SupportTest, PaddingAndUsDates) {
  EXPECT_EQ(PadLeading("1234", 3, "0"), "1234");
  EXPECT_EQ(PadLeading("7", 3, ""), "7");
  EXPECT_EQ(PadLeading("7", 3, "ab"), "abab7");
  EXPECT_EQ(PadLeading("10", 3, "0"), "010");
  EXPECT_EQ(DateTimeUSFormat("2026-12-04 17:05:09"), "12/04/2026 05:05:09 PM");
  EXPECT_EQ(DateTimeUSFormat("12/04/2026 00:00:00"), "12/04/2026 12:00:00 AM");
  EXPECT_EQ(DateTimeUSFormat("not a date"), "");
  EXPECT_THAT(ReadFile(dir.File("DebugDeviceAdm.log")),
              HasSubstr("??? modAllConst, DateTimeUSFormat() ??? ERROR, Line: "));
}

// Batched as the service runs them, a handler's lines reach their file in one
// write when the process next sends, stores or waits, never after.
TEST_F(SupportTest, BatchedLinesAreWrittenBeforeAnythingLeavesTheProcess) {
  SetLogFileMode(LogFileMode::kKeptOpen);
  SetLogBatching(true);
  Platform().before_output = FlushLogFiles;
  int told = 0;
  Platform().log_line_written = [&told](const char*) { ++told; };
  int ends[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, ends), 0);
  net::UniqueFd ours(ends[0]), theirs(ends[1]);
  EventLoop::WatchId watch = Loop().Watch(theirs.get(), POLLIN, [&theirs](short) {
    char drain[64];
    while (::read(theirs.get(), drain, sizeof drain) > 0) {
    }
  });
  const struct {
    const char* name;
    std::function<void()> output;
  } cases[] = {
      {"a host-client send", [&] { net::SendSome(ours.get(), "x", 1); }},
      {"the loop's wait", [] { Loop().RunOnce(0); }},
      {"the service's end", [] { SetLogBatching(false); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const size_t before = DebugLines().size();
    WriteDebugLogAlways("one");
    WriteDebugLogAlways("two");
    EXPECT_EQ(DebugLines().size(), before);
    c.output();
    ASSERT_EQ(DebugLines().size(), before + 2);
    EXPECT_THAT(DebugLines().back(), HasSubstr("\ttwo"));
  }
  EXPECT_EQ(told, 6);
  // A batch that grows past 64 KiB is written without waiting.
  SetLogBatching(true);
  const std::string long_text(1000, 'x');
  for (int i = 0; i < 66; ++i) WriteDebugLogAlways(long_text);
  EXPECT_EQ(DebugLines().size(), 6u + 64u);  // 64 lines of 1,025 bytes fill it
  Loop().Unwatch(watch);
  Platform().before_output = nullptr;
  Platform().log_line_written = nullptr;
  SetLogBatching(false);
  SetLogFileMode(LogFileMode::kOpenEachLine);
}

}  // namespace
}  // namespace dvrlink::testing
