// The message loop on the manual clock: timers, Delay's nesting, watches.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
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

// Watches on the first ends of socket pairs, made readable from the second.
TEST_F(EventLoopTest, WatchesRunInTheOrderTheyWereMadeAsPollWouldReportThem) {
  int ends[4][2];
  for (auto& end : ends) ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, end), 0);
  auto watch = [&](int fd, short events, const std::string& name) {
    return Loop().Watch(fd, events, [this, name](short revents) { trace.push_back(name + std::to_string(revents)); });
  };
  const auto gone = watch(ends[2][0], POLLIN, "gone");
  close(ends[2][0]);  // before its Unwatch; the number goes to the next descriptor
  ASSERT_EQ(dup(ends[3][0]), ends[2][0]);
  watch(ends[0][0], POLLIN, "a");
  const auto b_in = watch(ends[1][0], POLLIN, "b");
  const auto b_out = watch(ends[1][0], POLLOUT, "B");  // two watches on one socket
  watch(ends[2][0], POLLIN, "c");
  Loop().Unwatch(gone);
  std::FILE* file = std::tmpfile();  // epoll refuses files; poll finds them always ready
  watch(fileno(file), POLLIN | POLLOUT, "file");
  watch(999, POLLIN, "none");  // names nothing: invalid
  for (int i : {3, 0, 1}) ASSERT_EQ(write(ends[i][1], "x", 1), 1);  // ready in another order
  Loop().RunOnce(0);
  Loop().SetWatchEvents(b_in, 0);  // paused: its socket's other watch goes on
  Loop().RunOnce(0);
  Loop().Unwatch(b_out);
  Loop().SetWatchEvents(b_in, POLLIN);
  Loop().RunOnce(0);
  EXPECT_EQ(trace, (std::vector<std::string>{"a1", "b1", "B4", "c1", "file5", "none32", "a1", "B4", "c1", "file5",
                                             "none32", "a1", "b1", "c1", "file5", "none32"}));
  std::fclose(file);
  for (auto& end : ends) close(end[0]), close(end[1]);
}

}  // namespace
}  // namespace dvrlink
