// Video retrieval over the DVR link: refused names, rejected and good streams.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "fakes/link_recorders.h"
#include "fakes/link_scripted_peer.h"
#include "fakes/test_support.h"
#include "link/base64.h"
#include "link/dvr_remote_client.h"
#include "platform/platform_state.h"

namespace dvrlink::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using ::testing::StartsWith;
namespace fs = std::filesystem;

const std::string kAddress = "127.0.0.1";
const DateTime kBegin = DateTime::FromParts(2026, 12, 4, 10, 0, 0);

// Every entry below root, as relative paths.
std::vector<std::string> Tree(const std::string& root) {
  std::vector<std::string> found;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    found.push_back(entry.path().lexically_relative(root).string());
  }
  std::sort(found.begin(), found.end());
  return found;
}

std::string Event(const std::string& name, const std::string& fields) {
  return "{\"event\":\"" + name + "\",\"session\":5," + fields + "}";
}
std::string Chunk(int64_t offset, const std::string& bytes) {
  return Event("video_data", "\"offset\":" + std::to_string(offset) + ",\"data\":\"" + link::Base64Encode(bytes) + "\"");
}
std::string Progress(int reason, int64_t data1, int64_t data2) {
  return Event("get_video", "\"reason\":" + std::to_string(reason) + ",\"data1\":" + std::to_string(data1) +
                                ",\"data2\":" + std::to_string(data2));
}

// Notes what the file held when the retrieval was reported done.
struct DoneRecorder : LinkEventRecorder {
  std::string path;
  std::optional<std::string> at_done;
  void OnGetVideoEvent(int32_t s, int32_t reason, int32_t d1, int32_t d2) override {
    LinkEventRecorder::OnGetVideoEvent(s, reason, d1, d2);
    if (reason == 2 && fs::exists(path)) at_done = ReadFile(path);
  }
};

class VideoRetrievalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Platform().program_folder = dir.path();
    fs::create_directories(exported);
    fs::create_directories(outside);
  }
  // Session 5; a retrieve gets `total` bytes (estimated when asked), then `stream`.
  std::unique_ptr<LinkScriptedPeer> Peer(int64_t total, std::vector<std::string> stream, bool estimated = false) {
    return std::make_unique<LinkScriptedPeer>(
        std::vector<std::string>(), [total, stream, estimated](const std::string& line) {
          std::vector<std::string> out;
          if (line.find("\"connect\"") != std::string::npos) {
            out.push_back(LinkScriptedPeer::ReplyTo(line, "{\"session\":5}"));
          } else if (line.find("\"retrieve\"") != std::string::npos) {
            out.push_back(LinkScriptedPeer::ReplyTo(
                line, "{\"bytes\":" + std::to_string(total) + (estimated ? ",\"estimated\":true}" : "}")));
            out.insert(out.end(), stream.begin(), stream.end());
          } else {
            out.push_back(LinkScriptedPeer::ReplyTo(line, "{\"version\":\"scripted\"}"));
          }
          return out;
        });
  }
  std::shared_ptr<DvrRemoteClient> Connected(uint16_t port, const std::string& export_folder) {
    DvrLinkOptions options;
    options.export_folder = export_folder;
    auto remote = std::make_shared<DvrRemoteClient>(Loop(), options);
    remote->SetEventSink(&recorder);
    int32_t session = 0;
    remote->Connect(kAddress, static_cast<int16_t>(port), "", session);
    EXPECT_GT(session, 0);
    return remote;
  }
  void Retrieve(DvrRemoteClient& remote, const std::string& file, int64_t seconds = 10) {
    remote.GetVideo(remote.Session(), 2, kBegin, kBegin.AddSeconds(seconds), file);
  }
  // Whether an event other than progress (reason 1) has come.
  bool Ended() const {
    return std::any_of(recorder.events.begin(), recorder.events.end(),
                       [](const std::string& e) { return e.rfind("get_video 5 ", 0) == 0 && e[12] != '1'; });
  }

  TempDir dir;
  std::string exported = dir.File("export");
  std::string outside = dir.File("outside");
  DoneRecorder recorder;
};

TEST_F(VideoRetrievalTest, RefusedNamesSendNothingAndReportFailureFromTheLoop) {
  fs::create_directory_symlink(outside, exported + "/link");
  struct Case {
    const char* name;
    std::string file;
    std::string export_folder;
  };
  const Case cases[] = {
      {"empty name", "", exported},
      {"absolute name", outside + "/x.bin", exported},
      {"climbing out past a sub-folder", "a/../../x.bin", exported},
      {"no file name", "sub/", exported},
      {"a link leading out", "link/new/x.bin", exported},
      {"no export folder", "x.bin", ""},
  };
  auto peer = Peer(0, {});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    recorder.events.clear();
    auto remote = Connected(peer->port(), c.export_folder);
    Retrieve(*remote, c.file);
    EXPECT_THAT(recorder.events, IsEmpty()) << "reported inside the call";
    ASSERT_TRUE(PumpUntil([&] { return !recorder.events.empty(); }));
    EXPECT_THAT(recorder.events, ElementsAre("get_video 5 3 0 0"));
    remote->StopAlarm(5, 0);  // a round trip: every line sent before it has arrived
  }
  for (const std::string& line : peer->Received()) EXPECT_THAT(line, Not(HasSubstr("retrieve")));
  EXPECT_THAT(Tree(outside), IsEmpty());
  EXPECT_THAT(Tree(exported), ElementsAre("link")) << "no sub-folder made for a refused name";
}

// A failing stream leaves no file; an estimated size may be passed, "done" counts.
TEST_F(VideoRetrievalTest, StreamsEndAsTheirCountsSayAndOnlyAWholeOneLeavesAFile) {
  const std::string four = "abcd";
  const std::string sixteen = "0123456789abcdef";
  struct Case {
    const char* name;
    std::vector<std::string> stream;
    std::vector<std::string> events;
    bool estimated = false;
    bool kept = false;
  };
  const Case cases[] = {
      {"chunk out of order",
       {Chunk(0, four), Progress(1, 4, 12), Chunk(8, four), Chunk(4, four), Progress(1, 12, 12), Progress(2, 12, 12)},
       {"get_video 5 1 4 12", "get_video 5 3 4 12"}},
      {"bad base64", {Chunk(0, four), Event("video_data", "\"offset\":4,\"data\":\"ab$=\""), Progress(2, 12, 12)},
       {"get_video 5 3 4 12"}},
      {"fewer bytes than announced", {Chunk(0, four), Chunk(4, four), Progress(2, 12, 12)}, {"get_video 5 3 8 12"}},
      {"more bytes than announced", {Chunk(0, sixteen), Progress(2, 12, 12)}, {"get_video 5 3 0 12"}},
      {"the DVR gives up", {Chunk(0, four), Progress(3, 4, 12)}, {"get_video 5 3 4 12"}},
      {"estimated, past the estimate", {Chunk(0, sixteen), Progress(1, 16, 20), Progress(2, 16, 16)},
       {"get_video 5 1 16 20", "get_video 5 2 16 16"}, true, true},
      {"estimated, done with another count", {Chunk(0, sixteen), Progress(2, 20, 20)}, {"get_video 5 3 16 12"}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    recorder.events.clear();
    fs::remove(exported + "/clip.dvr");
    auto peer = Peer(12, c.stream, c.estimated);
    auto remote = Connected(peer->port(), exported);
    Retrieve(*remote, "clip.dvr");
    ASSERT_TRUE(PumpUntil([&] { return Ended(); }));
    PumpFor(30);  // the rest of the stream is skipped
    EXPECT_THAT(recorder.events, ElementsAreArray(c.events));
    EXPECT_EQ(Tree(exported), c.kept ? std::vector<std::string>{"clip.dvr"} : std::vector<std::string>{});
  }
}

TEST_F(VideoRetrievalTest, ConnectionEndingMidStreamRemovesThePartialFile) {
  auto peer = Peer(12, {Chunk(0, "abcd"), Progress(1, 4, 12)});
  auto remote = Connected(peer->port(), exported);
  Retrieve(*remote, "clip.dvr");
  ASSERT_TRUE(PumpUntil([&] { return !recorder.events.empty(); }));
  EXPECT_THAT(Tree(exported), ElementsAre(StartsWith(".clip.dvr.part-"))) << "written under a temporary name";
  peer.reset();
  ASSERT_TRUE(PumpUntil([&] { return recorder.events.size() == 2; }));
  EXPECT_THAT(recorder.events, ElementsAre("get_video 5 1 4 12", "get_video 5 3 4 12"));
  EXPECT_THAT(Tree(exported), IsEmpty());
}

TEST_F(VideoRetrievalTest, GoodStreamIsCompleteWhenDoneIsReportedAndReplacesAnOldFile) {
  std::string video;
  for (int i = 0; i < 100000; ++i) video += static_cast<char>(i * 7 % 251);
  fs::create_directories(exported + "/cams/2");
  WriteFile(exported + "/cams/2/clip.dvr", "an older retrieval");
  const std::string leftover = "cams/2/.clip.dvr.part-" + std::to_string(::getpid()) + "-0";  // the first temporary name
  WriteFile(exported + "/" + leftover, "left by an earlier process with this id");
  auto peer = Peer(100000, {Chunk(0, video.substr(0, 49152)), Progress(1, 49152, 100000),
                            Chunk(49152, video.substr(49152, 49152)), Progress(1, 98304, 100000),
                            Chunk(98304, video.substr(98304)), Progress(1, 100000, 100000),
                            Progress(2, 100000, 100000)});
  auto remote = Connected(peer->port(), exported);
  recorder.path = exported + "/cams/2/clip.dvr";
  Retrieve(*remote, "./cams/x/../2/clip.dvr");
  remote->StopAlarm(5, 0);  // a call that reads its reply from behind the stream
  ASSERT_TRUE(PumpUntil([&] { return Ended(); }));
  EXPECT_THAT(recorder.events, ElementsAre("get_video 5 1 49152 100000", "get_video 5 1 98304 100000",
                                           "get_video 5 1 100000 100000", "get_video 5 2 100000 100000"));
  ASSERT_TRUE(recorder.at_done.has_value());
  EXPECT_TRUE(*recorder.at_done == video) << "the file was not complete when done was reported";
  EXPECT_THAT(Tree(exported), ElementsAre("cams", "cams/2", leftover, "cams/2/clip.dvr"));
}

}  // namespace
}  // namespace dvrlink::testing
