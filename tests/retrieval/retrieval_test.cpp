// Recorded-video retrieval and alarm-list progress against the fake DVR API.
#include <gmock/gmock.h>

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

// The DVR's parameters and the 42 reply are proven end to end.
TEST_F(RetrievalTest, TheVideoSessionIsOpenedOnceAndReused) {
  const size_t remotes_before = world.remotes.size();
  ASSERT_TRUE(Start());
  ASSERT_TRUE(Start(8));
  ASSERT_EQ(world.remotes.size(), remotes_before + 1);
  FakeDvrRemote& video = *world.remotes.back();
  EXPECT_EQ(video.connects, 1);
  EXPECT_EQ(video.videos, 2);
  EXPECT_EQ(socket->replies.back(), std::make_pair(int16_t{8}, "42" + P + "clip.dvr"));
  // While closing the video is still asked for, but no 42 goes out.
  ModAllConst().blnClosing = true;
  const size_t replies = socket->replies.size();
  EXPECT_FALSE(Start());
  EXPECT_EQ(video.videos, 3);
  EXPECT_EQ(socket->replies.size(), replies);
  ModAllConst().blnClosing = false;
  // Cancelling stops nothing.
  EXPECT_TRUE(dvr->CancelRetrieval(1));
  EXPECT_TRUE(dvr->CancelRetrieval(3));
  EXPECT_FALSE(form->blnRetrieveVideo);
  EXPECT_THAT(TitleLog(), HasSubstr("CancelRetrieval(A-3-5000) lSessionRemote=0, (oDvrRemote Is Nothing)=True"));
}

// Another session's events are ignored; the end reopens retrieval (numbering: end to end).
TEST_F(RetrievalTest, ProgressNoticesOfOtherSessionsAreIgnoredAndTheEndReopensRetrieval) {
  ASSERT_TRUE(Start());
  FakeDvrRemote& video = *world.remotes.back();
  socket->replies.clear();
  video.PostVideoEvent(99, 2, 1, 1);
  Loop().RunForMillis(10);
  EXPECT_TRUE(socket->replies.empty());
  EXPECT_FALSE(form->blnRetrieveVideo);
  video.PostVideoEvent(7, 2, 300000, 300000);
  Loop().RunForMillis(10);
  EXPECT_TRUE(form->blnRetrieveVideo);
  EXPECT_EQ(socket->replies, (std::vector<std::pair<int16_t, std::string>>{
                                 {6, "33" + P + "2" + P + "300000" + P + "300000" + P + "2" + P + "1"}}));
}

TEST_F(RetrievalTest, BadTimesFailTheStart) {
  EXPECT_FALSE(dvr->GetVideoRecorded2(0, 6, 2, "yesterday", "today", "clip.dvr"));
  EXPECT_THAT(DebugLog(), HasSubstr("??? Dvrlink, GetVideoRecorded-A-3-5000() ??? ERROR, Line: "));
  EXPECT_THAT(DebugLog(), HasSubstr(", Type mismatch"));
}

}  // namespace
}  // namespace dvrlink::testing
