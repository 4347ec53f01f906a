// Recorded video from an ONVIF recorder, every part a real process.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "fakes/e2e_service.h"
#include "fakes/test_support.h"
#include "platform/platform_state.h"
#include "support/datetime.h"

namespace dvrlink::testing::e2e {
namespace {

using ::testing::ElementsAre;
namespace fs = std::filesystem;

constexpr const char* kAddress = "127.0.0.6";

class ReplayEndToEndTest : public E2eTest {
 protected:
  // The RTSP server, then the service, bridge and dvrsim.
  void StartRecorder() {
    const uint16_t port = svc::FreeListenPort(kAddress);
    std::vector<std::string> args = {DVRLINK_SOURCE_DIR "/scripts/rtsp-replay-server.py", "--port",
                                     std::to_string(port), "--bind", kAddress, "--cameras", "4"};
    rtsp_out_ = fs::temp_directory_path() / ("rtsp-" + std::to_string(::getpid()) + "-" + std::to_string(port));
    rtsp_ = std::make_unique<svc::ChildProcess>("/usr/bin/python3", args, rtsp_out_, rtsp_out_ + ".err");
    ASSERT_TRUE(svc::WaitUntil([&] { return ReadFile(rtsp_out_).find("port=") != std::string::npos; }, 15000))
        << ReadFile(rtsp_out_ + ".err");
    E2eOptions options;
    options.dvrs = {DvrSetup{kAddress, "A", true, true, "UTC", "UTC"}};
    options.onvif = "replay_stall_seconds = 2\n";
    options.sim_args = {"--cameras", "4", "--onvif-replay",
                        "rtsp://" + std::string(kAddress) + ":" + std::to_string(port) + "/recording"};
    ASSERT_NO_FATAL_FAILURE(Start(options));
    // A span that ended a minute ago on the DVR's clock.
    clock_ = DateTime::FromDigits14(e2e->dvr(0).ControlFields("clock")["clock"]).value_or(DateTime());
  }
  void TearDown() override {
    E2eTest::TearDown();
    rtsp_.reset();
    fs::remove(rtsp_out_);
    fs::remove(rtsp_out_ + ".err");
  }
  std::string Ago(int seconds) const { return clock_.AddSeconds(-seconds).FormatYmd24(); }
  Json Retrieve(int client, int camera, const std::string& begin, const std::string& end, const std::string& file) {
    return e2e->Call(e2e->id(0), "GetVideoRecorded2", Json::array({0, client, camera, begin, end, file}), 5000);
  }
  // The progress notices (33, six fields) up to the first whose reason is not 1.
  static std::vector<Frame> Notices(HostClient& client, int timeout_ms) {
    std::vector<Frame> notices;
    svc::WaitUntil(
        [&] {
          notices.clear();
          for (Frame& f : client.WaitFor("33", 1, 0)) {
            if (f.size() == 6) notices.push_back(f);
          }
          return !notices.empty() && notices.back()[1] != "1";
        },
        timeout_ms);
    return notices;
  }
  // Every file under the export folder, hidden ones included.
  std::vector<std::string> Exported() {
    std::vector<std::string> files;
    const std::string folder = e2e->File("export");
    if (!fs::exists(folder)) return files;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
      if (entry.is_regular_file()) files.push_back(entry.path().lexically_relative(folder).string());
    }
    return files;
  }

  std::unique_ptr<svc::ChildProcess> rtsp_;
  std::string rtsp_out_;
  DateTime clock_;
};

TEST_F(ReplayEndToEndTest, ASpanBecomesAPlayableClipWithNumberedProgressAndAnUnrecordedSpanIsRefused) {
  ASSERT_NO_FATAL_FAILURE(StartRecorder());
  const std::string begin = Ago(70), end = Ago(60);
  HostClient first(e2e->listen_port(0));
  first.Send({"33", "1", begin, end, "cam1/clip.mp4"});
  ASSERT_THAT(first.WaitFor("45"), ElementsAre(Frame{"45", "1", begin, end, "cam1/clip.mp4"}));

  EXPECT_EQ(Retrieve(1, 1, begin, end, "cam1/clip.mp4"), Json(true));
  EXPECT_THAT(first.WaitFor("42"), ElementsAre(Frame{"42", "cam1/clip.mp4"}));
  std::vector<Frame> notices = Notices(first, 10000);
  ASSERT_GE(notices.size(), 2u) << ReadFile(e2e->File("err"));
  const std::string path = e2e->File("export/cam1/clip.mp4");
  const std::string size = std::to_string(fs::exists(path) ? fs::file_size(path) : 0);
  EXPECT_EQ(notices.back(), (Frame{"33", "2", size, size, "1", std::to_string(notices.size())}));
  int64_t previous = 0;
  for (size_t n = 0; n + 1 < notices.size(); ++n) {
    SCOPED_TRACE("notice " + std::to_string(n + 1));
    EXPECT_EQ(notices[n][1], "1");
    EXPECT_GT(std::stoll(notices[n][2]), previous);  // bytes so far grow
    EXPECT_GE(std::stoll(notices[n][3]), std::stoll(notices[n][2]));
    EXPECT_EQ(notices[n][5], std::to_string(n + 1));
    previous = std::stoll(notices[n][2]);
  }
  // A whole MP4 of the span, timed by its own frames; nothing hidden left.
  svc::ProgramResult probe =
      svc::RunProgram("/usr/bin/ffprobe", {"-v", "error", "-show_entries", "format=duration:stream=codec_name",
                                           "-of", "default=noprint_wrappers=1", path});
  EXPECT_THAT(probe.out, ::testing::HasSubstr("codec_name=h264")) << probe.err;
  const size_t at = probe.out.find("duration=");
  ASSERT_NE(at, std::string::npos) << probe.out << probe.err;
  EXPECT_NEAR(std::stod(probe.out.substr(at + 9)), 10.0, 1.0);
  EXPECT_THAT(Exported(), ElementsAre("cam1/clip.mp4"));

  // Tomorrow is not recorded: the DVR refuses with code 5, nothing is written.
  const std::string tomorrow = clock_.AddSeconds(86400).FormatYmd24();
  EXPECT_EQ(Retrieve(1, 2, tomorrow, clock_.AddSeconds(86410).FormatYmd24(), "other.mp4"), Json(false));
  EXPECT_TRUE(e2e->WaitForLogLine({"has no recording from", "(code 5)"}));
  EXPECT_EQ(first.WaitFor("42", 2, 500).size(), 1u);  // no 42 for the refused span
  EXPECT_THAT(Exported(), ElementsAre("cam1/clip.mp4"));
}

}  // namespace
}  // namespace dvrlink::testing::e2e
