// The reconnect policy on the manual clock: when the retries fall due.
#include "service/reconnect_policy.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "component/module_state.h"
#include "platform/platform_state.h"

namespace dvrlink {
namespace {

// Each retry's outcome, reported back as the instance's next host event.
enum Outcome { kFails, kConnects, kSilent };

// The delay of each retry after the event that caused it, in seconds.
std::vector<int64_t> Simulate(int32_t base, std::vector<Outcome> outcomes, int32_t first_event = 10321) {
  ResetModuleState();
  UseManualClock();
  EventLoop& loop = Loop();
  std::vector<int64_t> delays;
  int64_t last_event = 0;
  size_t attempt = 0;
  ReconnectPolicy* self = nullptr;
  ReconnectPolicy policy(loop, base, [&] {
    delays.push_back((loop.NowMicros() - last_event) / 1'000'000);
    Outcome o = attempt < outcomes.size() ? outcomes[attempt] : kSilent;
    ++attempt;
    last_event = loop.NowMicros();
    if (o == kFails) self->OnHostEvent(10320);
    if (o == kConnects) self->OnHostEvent(10322);
  });
  self = &policy;
  last_event = loop.NowMicros();
  policy.OnHostEvent(first_event);
  loop.RunFor(3600LL * 1'000'000);
  return delays;
}

TEST(ReconnectPolicyTest, RetriesDoubleUpToTenTimesTheFirstDelay) {
  struct Case {
    const char* name;
    int32_t base;
    std::vector<Outcome> outcomes;
    int32_t first_event;
    std::vector<int64_t> delays;
  };
  const std::vector<Case> cases = {
      {"a connection error is retried too", 5, {kConnects}, 10320, {5}},
      {"while it keeps failing the delay doubles, capped at ten times",
       5, {kFails, kFails, kFails, kFails, kFails, kConnects}, 10321, {5, 10, 20, 40, 50, 50}},
      {"a connect brings the delay back to the first",
       3, {kFails, kConnects, kFails}, 10321, {3, 6}},
      {"0 switches the policy off", 0, {kFails}, 10321, {}},
      {"other host events cause nothing", 5, {}, 10314, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Simulate(c.base, c.outcomes, c.first_event), c.delays);
  }
}

}  // namespace
}  // namespace dvrlink
