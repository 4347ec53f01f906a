// Splitting blocks into frames and carrying out their commands.
#include <gmock/gmock.h>

#include <vector>

#include "component/module_state.h"
#include "fakes/test_support.h"
#include "mainform/frmMainTemplate.h"
#include "support/mod_all_const.h"

namespace dvrlink::testing {
namespace {

using ::testing::HasSubstr;

const std::string S = "\x18", E = "\x19", P = kSep;

std::string Reply(const std::string& code, const std::string& rest) { return code + P + rest; }

using DispatchTest = StartedComponentTest;

TEST_F(DispatchTest, RepliesPerFrameAndFailureRules) {
  const std::string version = Reply("39", "OK" + P + "Dvrlink.clsDvrlink\t1.0.0\r\n");
  const std::string longest = std::string(32767 - 4, 'n') + Frame({"39"});  // 32,767 characters
  const struct {
    const char* name;
    std::string block;
    std::vector<std::string> replies;
    const char* log_text;  // expected in the debug log, or nullptr
  } cases[] = {
      {"version", Frame({"39"}), {version}, nullptr},
      {"two frames, two replies in order", Frame({"47"}) + Frame({"39"}), {Reply("47", "OK"), version}, nullptr},
      {"noise before and between frames", "xx\r\n" + P + Frame({"47"}) + "xx" + Frame({"39"}),
       {Reply("47", "OK"), version}, nullptr},
      {"a block of 32767 characters", longest, {version}, nullptr},
      {"a block of 32768 characters is refused", "n" + longest, {}, "??? ERROR, Unknown command="},
      {"no end marker", S + "39", {}, "??? ERROR, Unknown command="},
      {"reset is always NK", Frame({"38"}), {Reply("38", "NK")}, nullptr},
      {"trailing text rejects the block", Frame({"39"}) + "\n", {}, "??? ERROR, Unknown command="},
      {"bad code mid-block ends the delivery", Frame({"47"}) + Frame({"abc"}) + Frame({"39"}),
       {Reply("47", "OK")}, "??? Dvrlink, ProcessDataArrival-A-3-5000() ??? ERROR, Line: "},
      {"missing field", Frame({"41"}), {}, "Subscript out of range"},
      {"unknown code answers NK", Frame({"48"}), {Reply("48", "NK")}, nullptr},
      {"set record rate", Frame({"40", "5", "10"}), {Reply("40", "OK")}, nullptr},
      {"cancel retrieval", Frame({"37", "1"}), {Reply("37", "OK")}, nullptr},
      {"connect", Frame({"31", "10.0.0.5", "7000", "7001"}), {Reply("31", "OK")}, nullptr},
      {"connect with a bad port", Frame({"31", "10.0.0.5", "x", "7001"}), {Reply("31", "NK")}, nullptr},
      {"event of twelve fields", Frame({"44", "1", "t", "g", "n", "a", "1", "2", "3", "4", "5", "6", "7"}), {},
       "Subscript out of range"},
      {"event with a bad code", Frame({"44", "x", "t", "g", "n", "a", "1", "2", "3", "4", "5", "6", "7", "8"}), {},
       "Type mismatch"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::remove(dir.File("DebugDeviceAdm.log").c_str());
    EXPECT_EQ(Send(c.block), c.replies);
    if (c.log_text) { EXPECT_THAT(DebugLog(), HasSubstr(c.log_text)); }
  }
  EXPECT_TRUE(host->calls.empty());  // a failed event never reaches the host
}

TEST_F(DispatchTest, GenerateAlarmIsQueuedOnlyWhenTheBlocksWidestFrameHasThreeToSevenFields) {
  const std::string event13 = Frame({"44", "1", "2026/12/04 17:05:09", "g", "n", "a", "1", "2", "3", "4", "5", "6",
                                     "7", "8"});
  const struct {
    const char* name;
    std::string block;
    bool queued;
  } cases[] = {
      {"camera, duration and name", Frame({"32", "1", "10", "Lobby"}), true},
      {"all seven fields", Frame({"32", "1", "10", "Lobby", "joe", "ws1", "17", "18"}), true},
      {"fewer than three fields", Frame({"32", "1", "10"}), false},
      {"with a wider frame in the block", Frame({"32", "1", "10", "Lobby"}) + event13, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    form->GenerateAlarmQueue.Reset(form->GenerateAlarmQueue.size());
    form->iGenerateAlarmQueueIndex = 0;
    EXPECT_EQ(Send(c.block).at(0), Reply("32", "OK"));
    // The queued request's fields reach the DVR: proven end to end.
    EXPECT_EQ(form->GenerateAlarmQueue[0].iClient, c.queued ? 5 : 0);
  }
}

// The level, when given with debug mode on, replaces the flags; bit 1 shows the window.
TEST_F(DispatchTest, DebugModeCommandWithAndWithoutItsLevel) {
  ModAllConst().lDebugFlags = 6;
  EXPECT_EQ(Send(Frame({"34", "1"})), std::vector<std::string>{Reply("34", "OK")});
  EXPECT_EQ(socket->debug_calls.back(), std::make_pair(true, 6));
  EXPECT_FALSE(form->Visible());
  Send(Frame({"34", "on", "3"}));
  EXPECT_TRUE(form->Visible());
  Send(Frame({"34", "0", "1"}));
  EXPECT_EQ(socket->debug_calls.back(), std::make_pair(false, 3));
  EXPECT_FALSE(form->Visible());
}

TEST_F(DispatchTest, EventCommandReachesTheHostCallbackWithTheFieldsAsReceived) {
  std::vector<std::string> replies =
      Send(Frame({"44", "10314", "12/04/2026 5:05:09 PM", "12", "DVR1", "10.0.0.5", "d1", "", "", "", "", "", "", "d8"}));
  EXPECT_EQ(replies, std::vector<std::string>{Reply("44", "OK")});
  ASSERT_EQ(host->calls.size(), 1u);
  EXPECT_EQ(host->calls[0].type, 205);
  EXPECT_EQ(host->calls[0].id, 1);
  EXPECT_EQ(host->calls[0].ident, "12");
  EXPECT_EQ(host->calls[0].description,
            S + "10314" + P + "12/04/2026 5:05:09 PM" + P + "12" + P + "DVR1" + P + "10.0.0.5" + P + "d1" + P + P + P +
                P + P + P + P + "d8" + E);
  const UDTDVREventRecord& r = ModDvrlink().UDTDVREvent;
  EXPECT_EQ(r.DataTime, "2026/12/04 17:05:09");
  // A second field that is no date is passed on as it is.
  Send(Frame({"44", "10315", "soon", "12", "DVR1", "10.0.0.5", "", "", "", "", "", "", "", ""}));
  EXPECT_EQ(r.DataTime, "soon");
  EXPECT_EQ(host->calls.size(), 2u);
}

TEST_F(DispatchTest, PtzCommandsGoToTheCameraControlInOrder) {
  const std::string open = "RequestSession Session1 10.0.0.5 7001 2";
  const struct {
    std::vector<std::string> fields, commands;
  } cases[] = {
      {{"55", "3", "2", "3", "5"}, {open, "Pause 2", "EndSession Session1"}},
      {{"55", "1", "2", "", ""}, {open, "RunQuickView Session1 ", "Pause 2", "EndSession Session1"}},
  };
  FakeCameraControl& camera = *world.cameras.at(0);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fields[1]);
    camera.commands.clear();
    Send(Frame(c.fields));
    EXPECT_EQ(camera.commands, c.commands);
    EXPECT_EQ(camera.sid, "A-3-5000");
  }
  // Without the camera-control component nothing moves, yet the host is told OK.
  dvr.reset();
  ResetModuleState();
  ComponentTest::SetUp();
  Platform().factory.Unregister(kProgIdCameraControl);
  Start();
  EXPECT_EQ(Send(Frame({"55", "1", "2", "4", ""})), std::vector<std::string>{Reply("55", "OK")});
  EXPECT_THAT(DebugLog(), HasSubstr("??? Dvrlink, PTZPresetViewPattern-A-3-5000() ??? ERROR"));
}

}  // namespace
}  // namespace dvrlink::testing
