// The message loop on the manual clock: timers, Delay's nesting, sockets.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "component/module_state.h"
#include "platform/object_factory.h"
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
  int ticks = 0;
  timer.SetHandler([&] {
    ++ticks;
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

TEST_F(EventLoopTest, TimerDisabledOrDestroyedByAnotherHandlerDoesNotFire) {
  Timer disabled(Loop(), [&] { trace.push_back("disabled"); });
  auto destroyed = std::make_unique<Timer>(Loop(), [&] { trace.push_back("destroyed"); });
  Timer first(Loop(), [&] {
    trace.push_back("first");
    disabled.SetEnabled(false);
    destroyed.reset();
  });
  first.SetInterval(100);
  disabled.SetInterval(100);
  destroyed->SetInterval(100);
  first.SetEnabled(true);
  disabled.SetEnabled(true);  // due at the same time, after first
  destroyed->SetEnabled(true);
  Loop().RunForMillis(250);
  EXPECT_EQ(trace, (std::vector<std::string>{"first", "first"}));
}

TEST_F(EventLoopTest, ZeroIntervalAndIntervalChangesRestart) {
  Timer timer(Loop(), [&] { trace.push_back(std::to_string(ElapsedMillis())); });
  timer.SetEnabled(true);  // interval 0: never fires
  Loop().RunForMillis(500);
  EXPECT_TRUE(trace.empty());
  timer.SetInterval(400);  // starts counting now, at 500
  Loop().RunForMillis(500);
  EXPECT_EQ(trace, std::vector<std::string>{"900"});
}

TEST_F(EventLoopTest, RunOnTheManualClockReturnsOnceNothingIsLeftToWaitFor) {
  Timer once(Loop());
  once.SetHandler([&] {
    trace.push_back(std::to_string(ElapsedMillis()));
    once.SetEnabled(false);
  });
  once.SetInterval(700);
  once.SetEnabled(true);
  Loop().Run();
  Loop().Run();  // nothing at all: returns at once
  EXPECT_EQ(trace, std::vector<std::string>{"700"});
}

TEST_F(EventLoopTest, DelayRunsPendingWorkAndTimersWhileItWaits) {
  Loop().Post([&] { trace.push_back("task@" + std::to_string(ElapsedMillis())); });
  Timer timer(Loop(), [&] { trace.push_back("tick@" + std::to_string(ElapsedMillis())); });
  timer.SetInterval(40);
  timer.SetEnabled(true);
  Delay(100);
  trace.push_back("end@" + std::to_string(ElapsedMillis()));
  EXPECT_EQ(trace, (std::vector<std::string>{"task@0", "tick@40", "tick@80", "end@100"}));
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
  for (size_t i = 0; i < count; ++i) {
    timers.push_back(std::make_unique<Timer>(Loop(), [&, i] {
      deepest = std::max(deepest, Loop().NestingDepth());
      if (waited[i]) return;
      waited[i] = true;
      Delay(1000);
    }));
    timers.back()->SetInterval(10 * static_cast<int32_t>(i + 1));
    timers.back()->SetEnabled(true);
  }
  Delay(2000);
  EXPECT_EQ(deepest, EventLoop::kMaxNesting);
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

TEST_F(EventLoopTest, ReadableSocketRunsItsHandlerWhileWatchedForInput) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::string received;
  EventLoop::WatchId id = Loop().Watch(fds[0], POLLIN, [&](short) {
    char buffer[16];
    ssize_t n = read(fds[0], buffer, sizeof buffer);
    if (n > 0) received.append(buffer, static_cast<size_t>(n));
  });
  ASSERT_EQ(write(fds[1], "abc", 3), 3);
  Loop().RunOnce(0);
  EXPECT_EQ(received, "abc");
  Loop().SetWatchEvents(id, 0);  // paused: what comes waits
  ASSERT_EQ(write(fds[1], "def", 3), 3);
  Loop().RunOnce(0);
  EXPECT_EQ(received, "abc");
  Loop().SetWatchEvents(id, POLLIN);
  Loop().RunOnce(0);
  EXPECT_EQ(received, "abcdef");
  Loop().Unwatch(id);
  ASSERT_EQ(write(fds[1], "ghi", 3), 3);
  Loop().RunOnce(0);
  EXPECT_EQ(received, "abcdef");
  close(fds[0]);
  close(fds[1]);
}

TEST_F(EventLoopTest, RealClockWaitSleepsInsteadOfSpinning) {
  ResetModuleState();  // system clock
  timespec cpu_before{}, cpu_after{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu_before);
  Delay(60);
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu_after);
  int64_t cpu_micros = (cpu_after.tv_sec - cpu_before.tv_sec) * 1'000'000 +
                       (cpu_after.tv_nsec - cpu_before.tv_nsec) / 1000;
  EXPECT_LT(cpu_micros, 30'000);  // a spinning wait would burn the whole 60 ms
}

struct Widget {
  virtual ~Widget() = default;
};
struct Gadget {
  virtual ~Gadget() = default;
};

// A missing class and an unset object are proven through the component
// (LifecycleTest.MissingSocketComponentFailsInitialize...); here a class of
// another type.
TEST(ObjectFactoryTest, CreatingAsAnotherTypeRaisesTypeMismatch) {
  ObjectFactory factory;
  factory.Register<Widget>("Lib.Widget", [] { return std::make_shared<Widget>(); });
  EXPECT_TRUE(factory.Create<Widget>("Lib.Widget"));
  try {
    factory.Create<Gadget>("Lib.Widget");
    ADD_FAILURE() << "created";
  } catch (const RuntimeError& e) {
    EXPECT_EQ(e.Number(), kErrTypeMismatch);
  }
}

}  // namespace
}  // namespace dvrlink
