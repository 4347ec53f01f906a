// The ONVIF client and the bridge against dvrsim's ONVIF face in this process.
#include "dvrlink-onvif/bridge.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "dvrsim/onvif_face.h"
#include "fakes/svc_test_support.h"
#include "onvif/onvif_client.h"
#include "platform/platform_state.h"

namespace dvrlink::onvif {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using testing::svc::PumpUntil;
using testing::svc::TestClient;

// Calls to one endpoint run one after another; a waiting call that is
// cancelled never runs, and the one behind it still does.
TEST(OnvifClientTest, ACancelledWaitingCallNeverRunsAndTheNextOneDoes) {
  sim::DvrSimulator simulator(Loop(), sim::SimOptions());
  sim::OnvifFace face(Loop(), simulator, sim::OnvifOptions());
  OnvifClient client(Loop(), HttpOptions(), "admin", "admin");
  std::vector<int> done;
  const auto call = [&](int n) {
    return client.CallAnonymous(face.DeviceUrl(), ns::kDevice, "GetSystemDateAndTime", [](Envelope&, xmlNodePtr) {},
                                2000, [&done, n](const CallResult&) { done.push_back(n); });
  };
  call(1);
  client.Cancel(call(2));
  call(3);
  ASSERT_TRUE(PumpUntil([&] { return done.size() == 2; }));
  testing::svc::PumpFor(50);
  EXPECT_EQ(done, (std::vector<int>{1, 3}));
}

class BridgeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::SimOptions sim_options;
    sim_options.cameras = 4;
    sim_options.time_zone = "Asia/Tokyo";
    simulator_ = std::make_unique<sim::DvrSimulator>(Loop(), sim_options);
    face_ = std::make_unique<sim::OnvifFace>(Loop(), *simulator_, sim::OnvifOptions());
    // Camera 0 is in alarm before the bridge subscribes.
    simulator_->Control("alarm begin 0 MOTION");
    config_.url = face_->DeviceUrl();
    config_.user = config_.password = "admin";
    config_.time_zone = "Asia/Tokyo";
    config_.computer_time_zone = "Europe/Paris";
    config_.request_timeout_ms = 2000;
    config_.pull_seconds = 5;
    // Renewed every second, so a test sees the subscription outlive its term.
    config_.subscription_seconds = 2;
    bridge_ = std::make_unique<Bridge>(Loop(), config_, [this](const std::string& line) { log_ += line + "\n"; });
    bridge_->Start();
    ASSERT_TRUE(PumpUntil([&] { return bridge_->device().available(); })) << log_;
    // The device lists HTTP digest among its capabilities: preferred.
    EXPECT_THAT(log_, HasSubstr("HTTP digest authentication"));
    alarms_ = Session(9, "alarms");
    system_ = Session(10, "system");
  }

  void TearDown() override {
    alarms_.reset();
    system_.reset();
    bool stopped = false;
    bridge_->Stop([&] { stopped = true; });
    EXPECT_TRUE(PumpUntil([&] { return stopped; }));
    bridge_.reset();
    face_.reset();
    simulator_.reset();
  }

  std::unique_ptr<TestClient> Session(int session, const std::string& subscribe) {
    auto client = std::make_unique<TestClient>(TestClient::Tcp(bridge_->server().event_port()));
    const std::string s = std::to_string(session);
    client->SendLine(R"({"op":"connect","id":1,"session":)" + s + R"(,"subscribe":")" + subscribe + "\"}");
    client->SendLine(R"({"op":"ack","id":2,"session":)" + s + "}");
    std::vector<Json> lines = Lines(*client, 3);
    EXPECT_THAT(Names(lines), ElementsAre("", "connected", ""));
    EXPECT_EQ(lines.size() == 3 ? lines[2]["id"] : Json(), 2);
    return client;
  }

  static std::vector<Json> Lines(TestClient& client, size_t count) {
    std::vector<Json> lines;
    while (lines.size() < count) {
      std::optional<std::string> line = client.ReadLine(3000);
      if (!line) break;
      lines.push_back(Json::parse(*line));
    }
    return lines;
  }
  static std::vector<std::string> Names(const std::vector<Json>& events) {
    std::vector<std::string> names;
    for (const Json& e : events) names.push_back(e.value("event", ""));
    return names;
  }

  // One request on a fresh command connection; its reply and any event.
  std::vector<Json> Command(const std::string& op, const std::string& args = "") {
    TestClient client = TestClient::Tcp(bridge_->server().command_port());
    client.SendLine(R"({"op":"connect","id":1,"login":""})");
    client.SendLine(R"({"op":")" + op + R"(","id":2,"session":)" + std::to_string(++sessions_) + args + "}");
    std::vector<Json> lines = Lines(client, op == "timesync" ? 3 : 2);
    return lines.empty() ? lines : std::vector<Json>(lines.begin() + 1, lines.end());
  }

  std::vector<std::string> DeviceOps() {
    std::vector<std::string> ops;
    std::string status = face_->Control({"onvif", "status"});
    for (size_t at = status.find(" op."); at != std::string::npos; at = status.find(" op.", at + 1)) {
      size_t quote = status.find('"', at);
      ops.push_back(status.substr(quote + 1, status.find('"', quote + 1) - quote - 1));
    }
    return ops;
  }

  BridgeConfig config_;
  std::unique_ptr<sim::DvrSimulator> simulator_;
  std::unique_ptr<sim::OnvifFace> face_;
  std::unique_ptr<Bridge> bridge_;
  std::unique_ptr<TestClient> alarms_;
  std::unique_ptr<TestClient> system_;
  std::string log_;
  int sessions_ = 0;
};

TEST_F(BridgeTest, EdgesAreReportedOnceAndTheInitialStateIsNoAlarm) {
  // Camera 0's alarm began before the subscription: its end is no alarm.
  simulator_->Control("alarm end 0 MOTION");
  std::string begin = simulator_->Control("alarm begin 1 MOTION");
  simulator_->Control("alarm begin 1 MOTION");
  std::string end = simulator_->Control("alarm end 1 MOTION");
  simulator_->Control("alarm begin 2 PERIMETER");
  std::vector<Json> events = Lines(*alarms_, 8);
  ASSERT_THAT(Names(events), ElementsAre("alarm_begin", "alarm_xml", "alarm_end", "alarm_pos", "alarm_begin",
                                         "alarm_xml", "alarm_end", "alarm_pos"));
  // Times are the device's own (Tokyo), as dvrsim's control port reports them.
  const std::string start = begin.substr(begin.find("time=") + 5, 14);
  const std::string stop = end.substr(end.find("time=") + 5, 14);
  EXPECT_EQ(events[0]["camera"], 1);
  EXPECT_EQ(events[0]["type"], "MOTION");
  EXPECT_EQ(events[0]["time"], start);
  EXPECT_EQ(events[0]["session"], 9);
  EXPECT_THAT(events[1]["xml"].get<std::string>(), HasSubstr("<Camera>1</Camera><State>Begin</State>"));
  EXPECT_EQ(events[2]["time"], stop);
  EXPECT_EQ(events[3]["start_time"], start);
  EXPECT_EQ(events[3]["pre_alarm_time"], start);
  EXPECT_EQ(events[3]["end_time"], stop);
  EXPECT_EQ(events[3]["alarm_id"], events[0]["alarm_id"]);
  // A line crossed is a pulse: begin and end at the same time.
  EXPECT_EQ(events[4]["type"], "PERIMETER");
  EXPECT_EQ(events[7]["start_time"], events[7]["end_time"]);
  EXPECT_NE(events[7]["alarm_id"], events[3]["alarm_id"]);
}

TEST_F(BridgeTest, TheSubscriptionIsRenewedBeforeItEnds) {
  testing::svc::PumpFor(3000);  // one and a half terms
  std::string status = face_->Control({"onvif", "status"});
  EXPECT_THAT(status, HasSubstr(" subscriptions=1 subscriptions_created=1 "));
  simulator_->Control("alarm begin 2 PERIMETER");
  EXPECT_THAT(Names(Lines(*alarms_, 1)), ElementsAre("alarm_begin"));
}

TEST_F(BridgeTest, HealthTopicsReachTheSystemSessionsOnly) {
  simulator_->Control("sysevent 0xC00407D6");  // no topic on the device: nothing
  simulator_->Control("sysevent 0xC00407D0 disk gone");
  std::vector<Json> events = Lines(*system_, 2);
  ASSERT_THAT(Names(events), ElementsAre("system_event", "system_event_xml"));
  EXPECT_EQ(events[0]["code"], 0xC00407D0u);
  EXPECT_EQ(events[0]["message"], "tns1:Device/HardwareFailure/StorageFailure Failed=true Message=disk gone");
  EXPECT_THAT(events[1]["xml"].get<std::string>(), HasSubstr("StorageFailure"));
  simulator_->Control("alarm begin 3 VIDEOLOSS");
  EXPECT_THAT(Names(Lines(*alarms_, 1)), ElementsAre("alarm_begin"));
  EXPECT_FALSE(system_->ReadLine(100));
}

TEST_F(BridgeTest, CommandOpsBecomeDeviceCalls) {
  std::vector<Json> version = Command("version");
  ASSERT_EQ(version.size(), 1u);
  EXPECT_EQ(version[0]["result"]["version"], "Dvrlink dvrsim ONVIF, firmware dvrsim 1.0.0 (via dvrlink-onvif 1.0.0)");
  EXPECT_EQ(version[0]["result"]["cameras"], 4);
  struct Case {
    const char* op;
    const char* args;
    const char* reply;  // the reply's result or error, as JSON
  };
  const Case cases[] = {
      {"stop_alarm", R"(,"camera":1)", R"({"stopped":false})"},
      {"generate_alarm", R"(,"camera":9,"seconds":5)",
       R"j({"code":5,"message":"camera 9 has no relay output (relay.9 in [map])"})j"},
      {"generate_alarm", R"(,"camera":1,"seconds":30)", R"({})"},
      {"stop_alarm", R"(,"camera":1)", R"({"stopped":true})"},
      {"retrieve", R"(,"camera":1)", R"({"code":1,"message":"missing field \"begin\""})"},
      {"retrieve", R"(,"camera":1,"begin":"20261205100000","end":"20261205100010")",
       R"j({"code":7,"message":"the device offers no recording search and replay (ONVIF Profile G)"})j"},
      {"reboot", "", R"({"code":2,"message":"unknown op 'reboot'"})"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.op) + c.args);
    std::vector<Json> reply = Command(c.op, c.args);
    ASSERT_EQ(reply.size(), 1u);
    EXPECT_EQ(reply[0].contains("error") ? reply[0]["error"] : reply[0]["result"], Json::parse(c.reply));
  }
  EXPECT_THAT(DeviceOps(), ElementsAre("SetRelayOutputState Relay_1 active", "SetRelayOutputState Relay_1 inactive"));

  // 2026-12-05 10:00:00 of this computer (Paris) is 18:00 in Tokyo.
  std::vector<Json> sync = Command("timesync", R"(,"time":"20261205100000")");
  ASSERT_EQ(sync.size(), 2u);
  EXPECT_EQ(sync[0]["result"], Json::object());
  EXPECT_EQ(sync[1]["event"], "time_sync");
  EXPECT_EQ(sync[1]["reason"], 2);
  EXPECT_EQ(simulator_->Control("clock").substr(0, 21), "OK clock=202612051800");
}

TEST_F(BridgeTest, CameraControlTextsBecomePresetsAndTours) {
  TestClient live = TestClient::Tcp(bridge_->server().live_port());
  for (const char* line : {"RunQuickView Session1 2", "RequestSession Session1 127.0.0.1 7001 3",
                           "RunPattern Session1 2 1 PatternName", "RunQuickView Session1 3", "RunQuickView Session1 9",
                           "RunPattern Session1 0 2 PatternName", "EndSession Session1", "RunQuickView Session1 1"}) {
    live.SendLine(line);
  }
  ASSERT_TRUE(PumpUntil([&] { return DeviceOps().size() >= 3 && log_.find("outside a session") != log_.rfind("outside a session"); }))
      << log_;
  // A quick view stops the tour the camera runs first; REPEATS 0 only
  // stops a tour, and none runs any more.
  EXPECT_THAT(DeviceOps(), ElementsAre("OperatePresetTour Profile_3 Tour_1 Start",
                                       "OperatePresetTour Profile_3 Tour_1 Stop", "GotoPreset Profile_3 Preset_3"));
  EXPECT_THAT(log_, HasSubstr("camera 3: no preset 9 among 8"));
}

}  // namespace
}  // namespace dvrlink::onvif
