// The host command channel end to end: real dvrlink and dvrsim processes,
// host clients over TCP and calls through the automation endpoint.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fakes/e2e_service.h"
#include "fakes/test_support.h"
#include "link/dvr_remote_client.h"
#include "platform/platform_state.h"

namespace dvrlink::testing::e2e {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

class HostChannelEndToEndTest : public E2eTest {
 protected:
  void SetUp() override { ASSERT_NO_FATAL_FAILURE(Start()); }
  Json Call(const std::string& method, const Json& args) { return e2e->Call(e2e->id(0), method, args, 5000); }
};

TEST_F(HostChannelEndToEndTest, VideoRequestIsGrantedRetrievedWithNoticesAndReleasedToTheNextClient) {
  const std::string begin = "2026/12/04 10:00:00", end = "2026/12/04 10:00:30";
  HostClient first(e2e->listen_port(0));
  HostClient second(e2e->listen_port(0));
  ASSERT_TRUE(first.connected() && second.connected());
  first.Send({"33", "2", begin, end, "cam2/clip.dvr"});
  ASSERT_EQ(first.WaitFor("33").size(), 1u);
  second.Send({"33", "5", begin, end, "other.dvr"});
  ASSERT_EQ(second.WaitFor("33").size(), 1u);

  std::vector<Frame> grant = first.WaitFor("45");
  ASSERT_THAT(grant, ElementsAre(Frame{"45", "2", begin, end, "cam2/clip.dvr"})) << ReadFile(e2e->File("err"));

  // Client indexes count from 1 in the order the clients connected.
  EXPECT_EQ(Call("GetVideoRecorded2", Json::array({0, 1, 2, begin, end, "cam2/clip.dvr"})), Json(true));
  std::vector<Frame> progress = first.WaitFor("33", 5);  // the command's reply and four notices
  const int total = 30 * 4096;
  const std::string t = std::to_string(total);
  ASSERT_EQ(progress.size(), 5u);
  EXPECT_THAT(std::vector<Frame>(progress.begin() + 1, progress.end()),
              ElementsAreArray(std::vector<Frame>{{"33", "1", "49152", t, "2", "1"},
                                                  {"33", "1", "98304", t, "2", "2"},
                                                  {"33", "1", t, t, "2", "3"},
                                                  {"33", "2", t, t, "2", "4"}}));
  EXPECT_THAT(first.WaitFor("42"), ElementsAre(Frame{"42", "cam2/clip.dvr"}));
  std::string video = ReadFile(e2e->File("export/cam2/clip.dvr"));
  EXPECT_EQ(video.size(), static_cast<size_t>(total));
  EXPECT_EQ(video.substr(0, 36), "dvrsim camera=2 time=20261204100000\n");

  // The second client waits until the first releases its grant.
  EXPECT_TRUE(second.WaitFor("45", 1, 0).empty());
  first.Send({"47"});
  ASSERT_THAT(second.WaitFor("45"), ElementsAre(Frame{"45", "5", begin, end, "other.dvr"}));

}

TEST_F(HostChannelEndToEndTest, AnAlarmListRequestIsGrantedAs46WithItsFieldsAndHeldUntil47) {
  const std::string begin = "2026/12/04 10:00:00", end = "2026/12/04 11:00:00";
  HostClient first(e2e->listen_port(0));
  HostClient second(e2e->listen_port(0));
  first.Send({"35", begin, end, "list.txt", "4"});
  EXPECT_THAT(first.WaitFor("35"), ElementsAre(Frame{"35", "OK"}));
  EXPECT_THAT(first.WaitFor("46"), ElementsAre(Frame{"46", "4", begin, end, "list.txt"}));
  second.Send({"33", "5", begin, end, "b.dvr"});
  ASSERT_EQ(second.WaitFor("33").size(), 1u);
  EXPECT_TRUE(second.WaitFor("45", 1, 1500).empty());  // grants go out within a second
  first.Send({"47"});
  EXPECT_THAT(second.WaitFor("45"), ElementsAre(Frame{"45", "5", begin, end, "b.dvr"}));
}

TEST_F(HostChannelEndToEndTest, PtzTextsReachTheDvrInOrderAndStopAlarmEndsAHostRaisedAlarm) {
  HostClient client(e2e->listen_port(0));
  ASSERT_TRUE(client.connected());
  client.Send({"55", "1", "4", "7", "0"});
  client.Send({"55", "2", "6", "9", "3"});

  // A host-raised alarm of ten minutes, raised on the DVR directly.
  DvrRemoteClient remote(Loop(), DvrLinkOptions());
  int32_t session = 0;
  remote.Connect("127.0.0.1", static_cast<int16_t>(e2e->dvr(0).command_port), "", session);
  ASSERT_GT(session, 0);
  remote.GenerateAlarm(session, 3, 600);
  ASSERT_EQ(e2e->dvr(0).Status()["cameras_in_alarm"], "3");
  client.Send({"41", "3"});
  EXPECT_THAT(client.WaitFor("41"), ElementsAre(Frame{"41", "OK"}));
  EXPECT_TRUE(svc::WaitUntil([&] { return e2e->dvr(0).Status()["cameras_in_alarm"].empty(); }, 3000))
      << "the alarm still runs on the DVR";

  // Each PTZ command holds its session for a two-second pause.
  EXPECT_TRUE(svc::WaitUntil([&] { return e2e->dvr(0).Status()["ptz_total"] == "6"; }, 8000));
  auto status = e2e->dvr(0).Status();
  const std::string live = std::to_string(e2e->dvr(0).live_port);
  std::vector<std::string> texts;
  for (int i = 1; i <= 6; ++i) texts.push_back(status["ptz." + std::to_string(i)]);
  EXPECT_THAT(texts, ElementsAre("RequestSession Session1 127.0.0.1 " + live + " 4", "RunQuickView Session1 7",
                                 "EndSession Session1", "RequestSession Session1 127.0.0.1 " + live + " 6",
                                 "RunPattern Session1 3 9 PatternName", "EndSession Session1"));
  EXPECT_THAT(client.WaitFor("55", 2), ElementsAre(Frame{"55", "OK"}, Frame{"55", "OK"}));
}

TEST_F(HostChannelEndToEndTest, LineBreaksInAFrameCannotForgeLogLines) {
  EXPECT_EQ(e2e->HostFrame(0, {"39", "x\r\nFORGED\x1B[2J"}).at(1), "OK");
  for (const char* log : {"DebugDeviceAdm.log", "Dvrlink.log"}) {
    SCOPED_TRACE(log);
    EXPECT_THAT(ReadFile(e2e->File(log)), ::testing::HasSubstr("x\\r\\nFORGED\\x1B[2J"));
    for (const std::string& line : ReadLines(e2e->File(log))) EXPECT_NE(line.rfind("FORGED", 0), 0u) << line;
  }
}

}  // namespace
}  // namespace dvrlink::testing::e2e
