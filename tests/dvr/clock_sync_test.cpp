// DVR clock synchronisation under the manual clock: the minute countdown,
// the interval rules, the in-process guard and the control session's
// release after a refusal.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

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
  EXPECT_EQ(form->m_Minutes, 1440);
  Loop().RunFor(1439 * kMinute * 1000);
  EXPECT_EQ(Syncs(), 0u);
  EXPECT_EQ(form->m_Minutes, 1);
  Loop().RunFor(kMinute * 1000);
  ASSERT_EQ(Syncs(), 1u);
  // The DVR receives this computer's local time, whole seconds, unconverted.
  const auto& [session, time] = world.remotes[0]->time_syncs[0];
  EXPECT_EQ(session, 7);
  EXPECT_EQ(time, DateTime::FromParts(2026, 12, 5, 17, 5, 9));
  EXPECT_THAT(form->txtStatus.Text(), HasSubstr(" : TimeSync() At 12/05/2026 05:05:09 PM"));
  EXPECT_THAT(TitleLog(), HasSubstr("Dvrlink, TimeSync(A-3-5000) Call m_oDvrRemote.TimeSync(7, "
                                    "'12/05/2026 05:05:09 PM'), (m_oDvrRemote Is Nothing)=False"));
  EXPECT_EQ(form->m_Minutes, 1440);
  Loop().RunFor(1440 * kMinute * 1000);
  EXPECT_EQ(Syncs(), 2u);
}

TEST_F(ClockSyncTest, IntervalsOutsideTheRangeChangeNothing) {
  Start("1", "5");
  for (int16_t hours : {int16_t{0}, int16_t{-3}, int16_t{10000}, int16_t{32767}}) {
    SCOPED_TRACE(hours);
    form->m_Minutes = 77;
    dvr->UpdateTimeSyncParameters(hours, true);
    EXPECT_EQ(form->m_Minutes, 77);
    EXPECT_EQ(form->m_MinutesCycle, 300);
    EXPECT_TRUE(form->TimerMinute.Enabled());
  }
}

TEST_F(ClockSyncTest, IntervalAbove546HoursOverflowsAndLeavesTheTimer) {
  Start("0", "1");
  EXPECT_FALSE(form->TimerMinute.Enabled());
  dvr->UpdateTimeSyncParameters(546, true);
  EXPECT_EQ(form->m_Minutes, 32760);
  dvr->UpdateTimeSyncParameters(0, false);
  dvr->UpdateTimeSyncParameters(547, true);
  EXPECT_FALSE(form->TimerMinute.Enabled());
  EXPECT_EQ(form->m_Minutes, 32760);
  EXPECT_THAT(DebugLog(), HasSubstr("??? Dvrlink, SynchronizeDVRClockPeriod() ??? ERROR, Line: "));
  EXPECT_THAT(DebugLog(), HasSubstr(", Overflow\r\n"));
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

TEST_F(ClockSyncTest, CountdownStopsAtZeroAfterOneLastSyncWhenDisabled) {
  Start("1", "1");
  form->m_Minutes = 2;
  form->m_MinutesCycle = 120;
  form->blnTimeSyncEnabled = false;  // the timer keeps running
  Loop().RunFor(5 * kMinute * 1000);
  EXPECT_EQ(Syncs(), 1u);
  EXPECT_EQ(form->m_Minutes, 0);
}

TEST_F(ClockSyncTest, TriggerWhileASyncIsInProcessReturnsFalseWithoutADvrCall) {
  world.configure_remote = [](FakeDvrRemote& remote) { remote.session_to_give = 0; };
  Start("0", "24");
  // The next connect lets another trigger run inside its wait.
  std::optional<bool> nested;
  world.configure_remote = [&](FakeDvrRemote& remote) {
    remote.on_connect = [&] { Loop().Post([&] { nested = dvr->TimeSyncTrigger(); }); };
  };
  EXPECT_EQ(dvr->TimeSyncTrigger(), false);  // start-up's refused session is released first
  EXPECT_EQ(dvr->TimeSyncTrigger(), true);
  EXPECT_EQ(nested, false);
  EXPECT_EQ(Syncs(), 1u);
  EXPECT_FALSE(dvr->blnTimeSyncInProcess);
}

TEST_F(ClockSyncTest, FormTriggerWithoutItsInstanceLogsItsErrorAndReturnsFalse) {
  Start("0", "24");
  form->Form_Unload();  // releases the instance
  EXPECT_FALSE(form->TimeSyncTrigger());
  EXPECT_THAT(DebugLog(), HasSubstr("\t??? Dvrlink, frmMainTemplate, TimeSyncTrigger-() ??? ERROR, Line: "));
  EXPECT_EQ(Syncs(), 0u);
}

TEST_F(ClockSyncTest, RefusedConnectReturnsFalseAndTheNextCallConnectsAnew) {
  world.configure_remote = [](FakeDvrRemote& remote) { remote.session_to_give = 0; };
  Start("0", "24");
  ASSERT_EQ(world.remotes.size(), 1u);  // made by Connect at start-up
  EXPECT_FALSE(dvr->TimeSync());
  EXPECT_EQ(world.remotes[0]->sink(), nullptr);  // released
  EXPECT_FALSE(dvr->TimeSync());
  ASSERT_EQ(world.remotes.size(), 2u);
  EXPECT_EQ(world.remotes[1]->connects, 1);
  world.configure_remote = nullptr;  // the DVR accepts again
  EXPECT_TRUE(dvr->TimeSync());
  EXPECT_EQ(world.remotes.size(), 3u);
  EXPECT_EQ(Syncs(), 1u);
}

TEST_F(ClockSyncTest, FailingDvrCallIsLoggedAndKeepsTheSession) {
  Start("0", "24");
  world.remotes[0]->fail_calls = true;
  EXPECT_FALSE(dvr->TimeSync());
  EXPECT_FALSE(dvr->blnTimeSyncInProcess);
  EXPECT_THAT(DebugLog(), HasSubstr("??? Dvrlink, TimeSync-A-3-5000() ??? ERROR, Line: "));
  EXPECT_THAT(DebugLog(), HasSubstr("DVR call failed at DVR1(10.0.0.5), m_lSessionRemote=7"));
  world.remotes[0]->fail_calls = false;
  EXPECT_TRUE(dvr->TimeSync());
  EXPECT_EQ(world.remotes.size(), 1u);
}

}  // namespace
}  // namespace dvrlink::testing
