// The message loop on the manual clock: timers and Delay's nesting.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/platform_state.h"
#include "support/mod_all_const.h"
#include "support/support_state.h"

namespace dvrlink {
namespace {

class EventLoopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    clock = &UseManualClock();
    start = clock->MonotonicMicros();
  }
  int64_t ElapsedMillis() const { return (clock->MonotonicMicros() - start) / 1000; }
  ManualClock* clock = nullptr;
  int64_t start = 0;
  std::vector<std::string> trace;
};

TEST_F(EventLoopTest, TimersFireByDueTimeThenByArmingOrder) {
  Timer slow(Loop(), [&] { trace.push_back("slow@" + std::to_string(ElapsedMillis())); });
  Timer fast(Loop(), [&] { trace.push_back("fast@" + std::to_string(ElapsedMillis())); });
  Timer twin(Loop(), [&] { trace.push_back("twin@" + std::to_string(ElapsedMillis())); });
  slow.SetInterval(300);
  fast.SetInterval(200);
  twin.SetInterval(300);
  slow.SetEnabled(true);
  fast.SetEnabled(true);
  twin.SetEnabled(true);
  Loop().RunForMillis(600);
  // At 600 the order is the order of re-arming: slow and twin at 300, fast at 400.
  EXPECT_EQ(trace, (std::vector<std::string>{"fast@200", "slow@300", "twin@300", "fast@400", "slow@600",
                                             "twin@600", "fast@600"}));
}

TEST_F(EventLoopTest, HandlerMayDisableAndReEnableItsOwnTimer) {
  Timer timer(Loop());
  timer.SetHandler([&] {
    timer.SetEnabled(false);
    trace.push_back(std::to_string(ElapsedMillis()));
    clock->AdvanceMillis(150);  // the handler's own work takes time
    timer.SetEnabled(true);     // the interval starts again from here
  });
  timer.SetInterval(1000);
  timer.SetEnabled(true);
  Loop().RunForMillis(3500);
  EXPECT_EQ(trace, (std::vector<std::string>{"1000", "2150", "3300"}));
}

TEST_F(EventLoopTest, DelayEndsOnTimeOrEarlyOnceClosing) {
  Delay(0);  // returns without waiting
  EXPECT_EQ(ElapsedMillis(), 0);
  Delay(3 * 3600 * 1000);  // hours finish at once under the manual clock
  EXPECT_EQ(ElapsedMillis(), 3 * 3600 * 1000);
  Timer closer(Loop(), [&] { ModAllConst().blnClosing = true; });
  closer.SetInterval(50);
  closer.SetEnabled(true);
  Delay(5000);
  EXPECT_EQ(ElapsedMillis(), 3 * 3600 * 1000 + 50);
  Delay(5000);  // already closing: returns at once
  EXPECT_EQ(ElapsedMillis(), 3 * 3600 * 1000 + 50);
}

TEST_F(EventLoopTest, NestedDelaysAreBoundedAndStillEndOnTime) {
  int deepest = 0;
  // Each timer waits inside its first tick, so every next timer nests deeper.
  std::vector<std::unique_ptr<Timer>> timers;
  const size_t count = EventLoop::kMaxNesting + 4;
  std::vector<bool> waited(count, false);
  int unsent = 0;  // output of a handler still held when its Delay returned
  for (size_t i = 0; i < count; ++i) {
    timers.push_back(std::make_unique<Timer>(Loop(), [&, i] {
      deepest = std::max(deepest, Loop().NestingDepth());
      if (waited[i]) return;
      waited[i] = true;
      auto sent = std::make_shared<bool>(false);
      Loop().BeforeNextWait([sent] { *sent = true; });
      Delay(1000);
      if (!*sent) ++unsent;
    }));
    timers.back()->SetInterval(10 * static_cast<int32_t>(i + 1));
    timers.back()->SetEnabled(true);
  }
  Delay(2000);
  EXPECT_EQ(deepest, EventLoop::kMaxNesting);
  EXPECT_EQ(unsent, 0);
  EXPECT_GE(ElapsedMillis(), 2000);
}

TEST_F(EventLoopTest, TimerDoesNotReenterItsOwnHandler) {
  Timer timer(Loop());
  int running = 0;
  int max_running = 0;
  timer.SetHandler([&] {
    max_running = std::max(max_running, ++running);
    Delay(350);  // longer than the interval
    --running;
  });
  timer.SetInterval(100);
  timer.SetEnabled(true);
  Loop().RunForMillis(1000);
  EXPECT_EQ(max_running, 1);
}

}  // namespace
}  // namespace dvrlink
