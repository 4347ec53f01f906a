// DVR clock synchronisation: the minute countdown and the interval rules.
#include <gmock/gmock.h>

#include "component/module_state.h"
#include "fakes/test_support.h"
#include "mainform/frmMainTemplate.h"

namespace dvrlink::testing {
namespace {

using ::testing::HasSubstr;

constexpr int64_t kMinute = 60'000;

class ClockSyncTest : public ComponentTest {
 protected:
  // Starts an instance with clock synchronisation as given.
  void Start(const char* enabled, const char* hours) {
    auto params = StandardParams();
    params[11] = enabled;
    params[12] = hours;
    dvr = NewInstance();
    ASSERT_TRUE(Init(*dvr, params));
    form = ModDvrlink().oFrmMainTemplate.at(3).get();
  }
  size_t Syncs() const {
    size_t n = 0;
    for (const auto& remote : world.remotes) n += remote->time_syncs.size();
    return n;
  }
  std::shared_ptr<clsDvrlink> dvr;
  frmMainTemplate* form = nullptr;
};

TEST_F(ClockSyncTest, TwentyFourHoursSyncsAfter1440MinuteTicksAndEvery1440After) {
  Start("1", "24");
  Loop().RunFor(1439 * kMinute * 1000);
  EXPECT_EQ(Syncs(), 0u);
  Loop().RunFor(kMinute * 1000);
  ASSERT_EQ(Syncs(), 1u);
  // The DVR receives this computer's local time, whole seconds, unconverted.
  const auto& [session, time] = world.remotes[0]->time_syncs[0];
  EXPECT_EQ(session, 7);
  EXPECT_EQ(time, DateTime::FromParts(2026, 12, 5, 17, 5, 9));
  EXPECT_THAT(form->txtStatus.Text(), HasSubstr(" : TimeSync() At 12/05/2026 05:05:09 PM"));
  EXPECT_THAT(TitleLog(), HasSubstr("Dvrlink, TimeSync(A-3-5000) Call m_oDvrRemote.TimeSync(7, "
                                    "'12/05/2026 05:05:09 PM'), (m_oDvrRemote Is Nothing)=False"));
  Loop().RunFor(1440 * kMinute * 1000);
  EXPECT_EQ(Syncs(), 2u);
}

// Intervals of 1 to 9999 hours are taken in 16-bit minutes: above 546 hours they overflow.
TEST_F(ClockSyncTest, IntervalsOutsideTheRangeChangeNothingAndAbove546HoursOverflow) {
  Start("1", "5");
  const struct {
    int16_t hours;
    int16_t minutes;  // 77: unchanged
    bool timer_on;
  } cases[] = {{0, 77, false}, {1, 60, true}, {546, 32760, true}, {547, 77, false}, {10000, 77, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.hours);
    form->m_Minutes = 77;
    form->TimerMinute.SetEnabled(false);
    dvr->UpdateTimeSyncParameters(c.hours, true);
    EXPECT_EQ(form->m_Minutes, c.minutes);
    EXPECT_EQ(form->TimerMinute.Enabled(), c.timer_on);
    EXPECT_EQ(CountLinesContaining(dir.File("DebugDeviceAdm.log"), ", Overflow"), c.hours >= 547 ? 1 : 0);
  }
  EXPECT_THAT(DebugLog(), HasSubstr("??? Dvrlink, SynchronizeDVRClockPeriod() ??? ERROR, Line: "));
}

TEST_F(ClockSyncTest, DisablingKeepsTheCountAndEnablingStartsAFullPeriod) {
  Start("1", "24");
  Loop().RunFor(100 * kMinute * 1000);
  EXPECT_EQ(form->m_Minutes, 1340);
  dvr->UpdateTimeSyncParameters(24, false);
  EXPECT_FALSE(form->TimerMinute.Enabled());
  Loop().RunFor(100 * kMinute * 1000);
  EXPECT_EQ(form->m_Minutes, 1340);
  dvr->UpdateTimeSyncParameters(24, true);
  EXPECT_EQ(form->m_Minutes, 1440);
}

}  // namespace
}  // namespace dvrlink::testing
