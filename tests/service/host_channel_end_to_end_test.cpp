// The host command channel end to end: real dvrlink and dvrsim processes on
// loopback, host clients over TCP speaking the framed command protocol, and
// the host's calls through the automation endpoint. Covers the video request
// queue with its grant and release, a retrieval streamed into the export
// folder with its notices, PTZ texts reaching the DVR in order, and StopAlarm
// ending a host-raised alarm early. Real clock, short bounded waits.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "fakes/link_dvrsim_process.h"
#include "fakes/svc_test_support.h"
#include "fakes/test_support.h"
#include "platform/dvr_link/dvr_remote_client.h"
#include "platform/platform_state.h"

namespace dvrlink::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
namespace fs = std::filesystem;
using Frame = std::vector<std::string>;
using Json = nlohmann::json;

constexpr char kStart = 24;
constexpr char kEnd = 25;
constexpr char kSeparator = 26;

std::string Framed(const Frame& fields) {
  std::string text(1, kStart);
  for (size_t i = 0; i < fields.size(); ++i) text += (i > 0 ? std::string(1, kSeparator) : "") + fields[i];
  return text + kEnd;
}

// A host client of the instance: sends frames and reads the frames it
// receives, each split into its fields.
class HostClient {
 public:
  explicit HostClient(uint16_t port) : socket_(svc::TestClient::Tcp(port)) {}
  bool connected() const { return socket_.connected(); }
  void Send(const Frame& fields) { socket_.Send(Framed(fields)); }
  // The frames with this code received so far, waiting until there are at
  // least `count` (the loop runs while reading).
  std::vector<Frame> WaitFor(const std::string& code, size_t count = 1, int timeout_ms = 6000) {
    std::vector<Frame> found;
    svc::PumpUntil(
        [&] {
          found.clear();
          std::istringstream in(socket_.ReceiveUntil([](const std::string&) { return true; }, 0));
          std::string piece, field;
          while (std::getline(in, piece, kEnd) && !in.eof()) {
            std::istringstream frame(piece.substr(piece.find(kStart) + 1));
            Frame fields;
            while (std::getline(frame, field, kSeparator)) fields.push_back(field);
            if (!fields.empty() && fields[0] == code) found.push_back(fields);
          }
          return found.size() >= count;
        },
        timeout_ms);
    return found;
  }

 private:
  svc::TestClient socket_;
};

class HostChannelEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    command_port = svc::FreeListenPort();
    live_port = svc::FreeListenPort();
    event_port = svc::FreeListenPort();
    sim = std::make_unique<DvrsimProcess>(std::vector<std::string>{
        "--command-port", std::to_string(command_port), "--live-port", std::to_string(live_port), "--event-port",
        std::to_string(event_port)});
    ASSERT_TRUE(sim->Started());
    folder = dir.path();
    exported = folder + "/export";
    CreateEmptySqliteDb(folder + "/host.db");
    listen_port = svc::FreeListenPort();
    id = "A-0-" + std::to_string(listen_port);
    std::string ini = folder + "/svc.ini";
    WriteFile(ini, "[host]\nprogram_folder = .\nconnection_string = Provider=SQLite;Data Source=host.db\n"
                   "component_id = E2E\nexport_folder = export\nautomation_socket = s.sock\n"
                   "listen_address = 127.0.0.1\n\n[dvr]\nvendor = 1\naddress = 127.0.0.1\ncommand_port = " +
                       std::to_string(command_port) + "\nlive_port = " + std::to_string(live_port) +
                       "\nevent_port = " + std::to_string(event_port) + "\nlisten_port = " +
                       std::to_string(listen_port) +
                       "\ndebug = 0\nnumber = 0\nname = Sim\nglobal_address_id = $10000000000001\ntime_sync = 0\n"
                       "time_sync_hours = 24\ntime_zone = Eastern Standard Time\nkey = A\nexternal_trigger = 0\n"
                       "config_id = 1\n");
    service = std::make_unique<svc::ChildProcess>(svc::ProgramPath("dvrlink"), std::vector<std::string>{"--config", ini},
                                                  folder + "/out", folder + "/err");
    ASSERT_TRUE(service->started());
    // Up once its DVR session is connected (host event 10322).
    ASSERT_TRUE(svc::WaitUntil([&] { return ReadFile(folder + "/host-events.jsonl").find("10322") != std::string::npos; },
                               8000))
        << ReadFile(folder + "/err");
  }
  void TearDown() override {
    if (!service) return;
    service->Signal(SIGTERM);
    EXPECT_EQ(service->Wait(10000), std::optional<int>(0));
  }

  // A method call through the automation endpoint, as the host makes it.
  Json Call(const std::string& method, const Json& args) {
    svc::TestClient endpoint = svc::TestClient::Unix(folder + "/s.sock");
    endpoint.SendLine(Json{{"id", 1}, {"instance", id}, {"method", method}, {"args", args}}.dump());
    std::optional<std::string> reply = endpoint.ReadLine(5000);
    if (!reply) return Json();
    Json parsed = Json::parse(*reply, nullptr, false);
    return parsed.is_object() && parsed.contains("result") ? parsed["result"] : parsed;
  }

  TempDir dir;
  std::string folder, exported, id;
  uint16_t command_port = 0, live_port = 0, event_port = 0, listen_port = 0;
  std::unique_ptr<DvrsimProcess> sim;
  std::unique_ptr<svc::ChildProcess> service;
};

TEST_F(HostChannelEndToEndTest, VideoRequestIsGrantedRetrievedWithNoticesAndReleasedToTheNextClient) {
  const std::string begin = "2026/12/04 10:00:00", end = "2026/12/04 10:00:30";
  HostClient first(listen_port);
  HostClient second(listen_port);
  ASSERT_TRUE(first.connected() && second.connected());
  first.Send({"33", "2", begin, end, "cam2/clip.dvr"});
  ASSERT_EQ(first.WaitFor("33").size(), 1u);
  second.Send({"33", "5", begin, end, "other.dvr"});
  ASSERT_EQ(second.WaitFor("33").size(), 1u);

  std::vector<Frame> grant = first.WaitFor("45");
  ASSERT_THAT(grant, ElementsAre(Frame{"45", "2", begin, end, "cam2/clip.dvr"})) << ReadFile(folder + "/err");

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
  std::string video = ReadFile(exported + "/cam2/clip.dvr");
  EXPECT_EQ(video.size(), static_cast<size_t>(total));
  EXPECT_EQ(video.substr(0, 36), "dvrsim camera=2 time=20261204100000\n");
  EXPECT_EQ(sim->Status()["retrievals"], "1");

  // The second client waits until the first releases its grant.
  EXPECT_TRUE(second.WaitFor("45", 1, 0).empty());
  first.Send({"47"});
  ASSERT_THAT(second.WaitFor("45"), ElementsAre(Frame{"45", "5", begin, end, "other.dvr"}));

  // A name leading out of the export folder writes nothing and fails.
  EXPECT_EQ(Call("GetVideoRecorded2", Json::array({1, 2, 5, begin, end, "../escape.dvr"})), Json(true));
  EXPECT_THAT(second.WaitFor("33", 2).back(), (Frame{"33", "3", "0", "0", "5", "1"}));
  EXPECT_THAT(second.WaitFor("42"), ElementsAre(Frame{"42", "../escape.dvr"}));
  EXPECT_FALSE(fs::exists(folder + "/escape.dvr"));
  std::vector<std::string> exported_files;
  for (const auto& entry : fs::recursive_directory_iterator(exported)) {
    exported_files.push_back(entry.path().lexically_relative(exported).string());
  }
  EXPECT_THAT(exported_files, ::testing::UnorderedElementsAre("cam2", "cam2/clip.dvr"));
}

TEST_F(HostChannelEndToEndTest, PtzTextsReachTheDvrInOrderAndStopAlarmEndsAHostRaisedAlarm) {
  HostClient client(listen_port);
  ASSERT_TRUE(client.connected());
  client.Send({"55", "1", "4", "7", "0"});
  client.Send({"55", "2", "6", "9", "3"});

  // A host-raised alarm of ten minutes, raised on the DVR directly.
  DvrRemoteClient remote(Loop(), DvrLinkOptions());
  int32_t session = 0;
  remote.Connect("127.0.0.1", static_cast<int16_t>(command_port), "", session);
  ASSERT_GT(session, 0);
  remote.GenerateAlarm(session, 3, 600);
  ASSERT_EQ(sim->Status()["cameras_in_alarm"], "3");
  client.Send({"41", "3"});
  EXPECT_THAT(client.WaitFor("41"), ElementsAre(Frame{"41", "OK"}));
  EXPECT_TRUE(svc::WaitUntil([&] { return sim->Status()["cameras_in_alarm"].empty(); }, 3000))
      << "the alarm still runs on the DVR";

  // Each PTZ command holds its session for a two-second pause.
  EXPECT_TRUE(svc::WaitUntil([&] { return sim->Status()["ptz_total"] == "6"; }, 8000));
  auto status = sim->Status();
  const std::string live = std::to_string(live_port);
  std::vector<std::string> texts;
  for (int i = 1; i <= 6; ++i) texts.push_back(status["ptz." + std::to_string(i)]);
  EXPECT_THAT(texts, ElementsAre("RequestSession Session1 127.0.0.1 " + live + " 4", "RunQuickView Session1 7",
                                 "EndSession Session1", "RequestSession Session1 127.0.0.1 " + live + " 6",
                                 "RunPattern Session1 3 9 PatternName", "EndSession Session1"));
  EXPECT_THAT(client.WaitFor("55", 2), ElementsAre(Frame{"55", "OK"}, Frame{"55", "OK"}));
}

}  // namespace
}  // namespace dvrlink::testing
