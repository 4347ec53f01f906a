// Recorded-video retrieval and alarm-list progress against the fake DVR API.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "component/module_state.h"
#include "fakes/test_support.h"
#include "mainform/frmMainTemplate.h"

namespace dvrlink::testing {
namespace {

using ::testing::HasSubstr;

const std::string P = kSep;

class RetrievalTest : public StartedComponentTest {
 protected:
  bool Start(int16_t client = 6) {
    return dvr->GetVideoRecorded2(0, client, 2, "12/04/2026 10:00:00", "12/04/2026 10:05:00", "clip.dvr");
  }
};

TEST_F(RetrievalTest, GrantTellsOnlyTheRequestingClient) {
  EXPECT_TRUE(dvr->GetVideoRecorded(4, 6, 2, "b", "e", "clip.dvr"));
  EXPECT_EQ(socket->replies, (std::vector<std::pair<int16_t, std::string>>{
                                 {6, "45" + P + "2" + P + "b" + P + "e" + P + "clip.dvr"}}));
  EXPECT_FALSE(form->blnVideoRequestGranted);
  EXPECT_FALSE(form->blnRetrieveVideo);
}

TEST_F(RetrievalTest, TheVideoSessionIsOpenedOnceAndReused) {
  size_t remotes_before = world.remotes.size();
  ASSERT_TRUE(Start());
  ASSERT_EQ(world.remotes.size(), remotes_before + 1);
  FakeDvrRemote& video = *world.remotes.back();
  EXPECT_EQ(video.connects, 1);
  EXPECT_EQ(video.connect_address, "10.0.0.5");
  EXPECT_EQ(video.connect_port, 7000);
  ASSERT_EQ(video.videos.size(), 1u);
  EXPECT_EQ(video.videos[0].camera, 2);
  EXPECT_EQ(video.videos[0].begin, DateTime::FromParts(2026, 12, 4, 10, 0, 0));
  EXPECT_EQ(video.videos[0].end, DateTime::FromParts(2026, 12, 4, 10, 5, 0));
  EXPECT_EQ(video.videos[0].file, "clip.dvr");
  EXPECT_EQ(socket->replies.back(), std::make_pair(int16_t{6}, "42" + P + "clip.dvr"));
  ASSERT_TRUE(Start(8));
  EXPECT_EQ(world.remotes.size(), remotes_before + 1);
  EXPECT_EQ(video.connects, 1);
  EXPECT_EQ(video.videos.size(), 2u);
  // While closing the video is still asked for, but no 42 goes out.
  ModAllConst().blnClosing = true;
  const size_t replies = socket->replies.size();
  EXPECT_FALSE(Start());
  EXPECT_EQ(video.videos.size(), 3u);
  EXPECT_EQ(socket->replies.size(), replies);
  ModAllConst().blnClosing = false;
  // Cancelling stops nothing.
  EXPECT_TRUE(dvr->CancelRetrieval(1));
  EXPECT_TRUE(dvr->CancelRetrieval(3));
  EXPECT_FALSE(form->blnRetrieveVideo);
  EXPECT_THAT(TitleLog(), HasSubstr("CancelRetrieval(A-3-5000) lSessionRemote=0, (oDvrRemote Is Nothing)=True"));
}

TEST_F(RetrievalTest, ProgressNoticesAreNumberedAndTheEndReopensRetrieval) {
  ASSERT_TRUE(Start());
  FakeDvrRemote& video = *world.remotes.back();
  socket->replies.clear();
  video.PostVideoEvent(7, 1, 65536, 300000);
  video.PostVideoEvent(99, 1, 1, 1);  // another session: ignored
  video.PostVideoEvent(7, 1, 131072, 300000);
  Loop().RunForMillis(10);
  EXPECT_FALSE(form->blnRetrieveVideo);
  video.PostVideoEvent(7, 2, 300000, 300000);
  Loop().RunForMillis(10);
  EXPECT_TRUE(form->blnRetrieveVideo);
  EXPECT_EQ(socket->replies, (std::vector<std::pair<int16_t, std::string>>{
                                 {6, "33" + P + "1" + P + "65536" + P + "300000" + P + "2" + P + "1"},
                                 {6, "33" + P + "1" + P + "131072" + P + "300000" + P + "2" + P + "2"},
                                 {6, "33" + P + "2" + P + "300000" + P + "300000" + P + "2" + P + "3"},
                             }));
  // A new retrieval counts from one again.
  ASSERT_TRUE(Start());
  video.PostVideoEvent(7, 3, 0, 0);
  Loop().RunForMillis(10);
  EXPECT_EQ(socket->replies.back().second, "33" + P + "3" + P + "0" + P + "0" + P + "2" + P + "1");
}

TEST_F(RetrievalTest, RefusedVideoSessionSendsNothingAndTheNextCallConnectsAnew) {
  world.configure_remote = [](FakeDvrRemote& remote) { remote.session_to_give = 0; };
  size_t remotes_before = world.remotes.size();
  socket->replies.clear();
  EXPECT_FALSE(Start());
  EXPECT_TRUE(socket->replies.empty());
  world.configure_remote = nullptr;
  EXPECT_TRUE(Start());
  EXPECT_EQ(world.remotes.size(), remotes_before + 2);
}

TEST_F(RetrievalTest, BadTimesFailTheStartAndCamera16HasNoAddress) {
  // Connect fills address entries 0 to 15: camera 16 reads the empty 17th.
  dvr->GetVideoRecorded2(0, 6, 16, "12/04/2026 10:00:00", "12/04/2026 10:05:00", "clip.dvr");
  EXPECT_EQ(world.remotes.back()->connect_address, "");
  EXPECT_EQ(world.remotes.back()->connect_port, 0);
  EXPECT_FALSE(dvr->GetVideoRecorded2(0, 6, 2, "yesterday", "today", "clip.dvr"));
  EXPECT_THAT(DebugLog(), HasSubstr("??? Dvrlink, GetVideoRecorded-A-3-5000() ??? ERROR, Line: "));
  EXPECT_THAT(DebugLog(), HasSubstr(", Type mismatch"));
}

TEST_F(RetrievalTest, AlarmListGrantBlocksBothQueuesUntilGivenBack) {
  EXPECT_TRUE(dvr->GetAlarmList(3, 9, "4", "b", "e", "list.txt"));
  EXPECT_EQ(socket->replies.back(), std::make_pair(int16_t{9}, "46" + P + "4" + P + "b" + P + "e" + P + "list.txt"));
  EXPECT_FALSE(ModDvrlink().blnAlarmListIdle);
  form->QueueRetrieveVideoCommand(5, 1, "t", "e", "f");
  Loop().RunForMillis(6'000);
  EXPECT_EQ(socket->replies.back().second.substr(0, 2), "46");
  dvr->Callback(201, 9, Frame({"47"}));
  Loop().RunForMillis(2'000);
  EXPECT_EQ(socket->replies.back(), std::make_pair(int16_t{5}, "45" + P + "1" + P + "t" + P + "e" + P + "f"));
}

}  // namespace
}  // namespace dvrlink::testing
