// The request queues under the manual clock: overflow, doubling and failing timers.
#include <gmock/gmock.h>

#include "component/module_state.h"
#include "fakes/test_support.h"
#include "mainform/frmMainTemplate.h"

namespace dvrlink::testing {
namespace {

using ::testing::HasSubstr;

class QueuesTest : public StartedComponentTest {
 protected:
  // The grant notices (45 and 46) sent so far, as "client:code:camera:begin".
  std::vector<std::string> Grants() const {
    std::vector<std::string> grants;
    for (const auto& [client, text] : socket->replies) {
      const std::vector<std::string> f = Fields(text);
      if (f[0] == "45" || f[0] == "46") grants.push_back(std::to_string(client) + ":" + f[0] + ":" + f[1] + ":" + f[2]);
    }
    return grants;
  }
};

TEST_F(QueuesTest, The302ndVideoRequestOverwritesTheFirst) {
  form->blnVideoRequestGranted = false;
  for (int i = 1; i <= 302; ++i) form->QueueRetrieveVideoCommand(1, 0, "t" + std::to_string(i), "e", "f");
  EXPECT_EQ(CountLinesContaining(dir.File("DebugDeviceAdm.log"),
                                 "QueueRetrieveVideoCommand(A-3-5000)??? ERROR, OVERFLOW, iVideoQueueIndex=0, "
                                 "iVideoQueueSize=300"),
            1);
  EXPECT_EQ(form->VideoQueue[0].BeginTime, "t302");
  EXPECT_EQ(form->VideoQueue[1].BeginTime, "t2");
  EXPECT_EQ(form->iVideoQueueIndex, 1);
}

// A request arriving while its slot still waits doubles the alarm-list queue.
TEST_F(QueuesTest, AfterADoublingTheReaderServesNewSlotsBeforeWrappingToTheOldStart) {
  form->blnVideoRequestGranted = false;
  for (int i = 0; i <= 100; ++i) form->QueueAlarmListCommand(1, "old" + std::to_string(i), "e", "f", "0");
  for (int i = 0; i < 50; ++i) {  // serve slots 0..49
    form->blnVideoRequestGranted = true;
    Loop().RunForMillis(1'000);
  }
  for (int i = 0; i < 50; ++i) form->QueueAlarmListCommand(1, "wrap" + std::to_string(i), "e", "f", "0");
  form->QueueAlarmListCommand(1, "new", "e", "f", "0");  // slot 50 is still waiting: doubles
  EXPECT_THAT(DebugLog(), HasSubstr("QueueAlarmListCommand(A-3-5000) ??? ATTENTION The size of "
                                    "\"iAlarmListQueueSize=100\" is double"));
  EXPECT_EQ(form->iAlarmListQueueSize, 200);
  socket->replies.clear();
  for (int i = 0; i < 60; ++i) {
    form->blnVideoRequestGranted = true;
    Loop().RunForMillis(1'000);
  }
  std::vector<std::string> grants = Grants();
  ASSERT_EQ(grants.size(), 52u);  // 50..100, then 101; slot 102 is free, so the reader waits there
  EXPECT_EQ(grants.front(), "1:46:0:old50");
  EXPECT_EQ(grants[50], "1:46:0:old100");
  EXPECT_EQ(grants[51], "1:46:0:new");
}

TEST_F(QueuesTest, AQueueTimerWhoseHandlerFailsStaysOff) {
  ModDvrlink().blnGenerateAlarmQueueReady = true;
  form->iGenerateAlarmQueueNext = 1000;  // no such slot
  Loop().RunForMillis(2'500);
  EXPECT_FALSE(form->TimerGenerateAlarmQueue.Enabled());
  EXPECT_TRUE(form->TimerVideoQueue.Enabled());
  EXPECT_THAT(DebugLog(), HasSubstr("TimerGenerateAlarmQueue_Timer"));
}

}  // namespace
}  // namespace dvrlink::testing
