// Creation, Initialize and DeviceFormClose against faked host components.
#include <gmock/gmock.h>

#include "component/module_state.h"
#include "fakes/test_support.h"
#include "mainform/frmMainTemplate.h"

namespace dvrlink::testing {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

class LifecycleTest : public ComponentTest {};

TEST_F(LifecycleTest, IdentityComesFromParametersFourteenSixAndFour) {
  auto dvr = NewInstance();
  ASSERT_TRUE(Init(*dvr, StandardParams()));
  // ID, number, port and address show in the log line, the form's caption and the socket's window.
  EXPECT_EQ(world.sockets.at(0)->main_form_texts, std::vector<std::string>{": 10.0.0.5,  Port : 5000"});
  EXPECT_THAT(ServiceLog(), HasSubstr("\tDvrlink, Initialize(A-3-5000) DONE \r\n\tsRemoteHost=HOSTPC, DVR Name=DVR1, "
                                      "sCommands(1)=10.0.0.5, ServerPort=5000\r\n"));
  EXPECT_THAT(ServiceLog(), HasSubstr("Dvrlink, Class_Initialize() Version=1.0.0"));
  EXPECT_EQ(ModDvrlink().oFrmMainTemplate.at(3)->Caption(), "DVR Server (1.0.0),  10.0.0.5 (5000)");
}

// Debug mode (entry 5) is off only for "0"; clock sync (11) and the
// external trigger (16) are on only for "1".
TEST_F(LifecycleTest, OnlyZeroSwitchesDebugModeOffAndOnlyOneSwitchesClockSyncAndTriggerOn) {
  const struct {
    const char* text;
    bool shown;
    int32_t flags;  // lDebugFlags starts at 6
    bool on;
  } cases[] = {{"0", false, 6, false}, {"1", true, 1, true},   {"", true, 1, false},     {"yes", true, 1, false},
               {"00", true, 1, false}, {"01", true, 1, false}, {"true", true, 1, false}, {" 1", true, 1, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("text '") + c.text + "'");
    Restart();
    ModAllConst().lDebugFlags = 6;
    auto params = StandardParams();
    params[5] = params[11] = params[16] = c.text;
    auto dvr = NewInstance();
    ASSERT_TRUE(Init(*dvr, params));
    const auto& form = ModDvrlink().oFrmMainTemplate.at(3);
    EXPECT_EQ(form->Visible(), c.shown);
    EXPECT_EQ(ModAllConst().lDebugFlags, c.flags);
    EXPECT_EQ(world.sockets[0]->debug_calls.back(), std::make_pair(c.shown, c.flags));
    EXPECT_EQ(form->TimerMinute.Enabled(), c.on);
    EXPECT_EQ(dvr->TriggerExternalEnabled(), c.on);
  }
}

TEST_F(LifecycleTest, MissingSocketComponentFailsInitializeBeforeAnythingExists) {
  Platform().factory.Unregister(kProgIdSocketServer);
  auto dvr = NewInstance();
  EXPECT_FALSE(dvr->oSocket);
  const std::string error = "??? Dvrlink, Class_Initialize() ??? ERROR, Line: ";
  EXPECT_THAT(DebugLog(), HasSubstr(error));
  EXPECT_THAT(DebugLog(), HasSubstr(", Can't Create Object for TarvonWinSockServer.dll"));
  EXPECT_THAT(ServiceLog(), HasSubstr(", Can't Create Object for TarvonWinSockServer.dll"));
  EXPECT_TRUE(world.cameras.empty());  // creation stopped before the camera component
  EXPECT_THAT(TitleLog(), Not(HasSubstr("Class_Initialize() DONE")));

  EXPECT_FALSE(Init(*dvr, StandardParams()));
  EXPECT_THAT(DebugLog(), HasSubstr("??? Dvrlink, Initialize-A-3-5000() ??? ERROR, Line: "));
  EXPECT_THAT(DebugLog(), HasSubstr(", Object variable or With block variable not set"));
  EXPECT_FALSE(ModDvrlink().oFrmMainTemplate.at(0));
  EXPECT_TRUE(world.remotes.empty());
}

TEST_F(LifecycleTest, BadParametersFailAtTheirEntryAndKeepEarlierSteps) {
  const struct {
    const char* name;
    int index;             // entry to change, -1 = drop the last entry
    const char *text, *description;
    bool form_created;
  } cases[] = {
      {"seventeen entries", -1, "", "Subscript out of range", false},
      {"DVR number not a number", 6, "three", "Type mismatch", false},
      {"vendor not a number", 0, "v1", "Type mismatch", true},
      {"listening port above 32767", 4, "40000", "Overflow", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Restart();
    auto params = StandardParams();
    if (c.index < 0) {
      params.pop_back();
    } else {
      params[static_cast<size_t>(c.index)] = c.text;
    }
    auto dvr = NewInstance();
    EXPECT_FALSE(Init(*dvr, params));
    EXPECT_THAT(DebugLog(), HasSubstr("??? Dvrlink, Initialize-"));
    EXPECT_THAT(DebugLog(), HasSubstr(std::string(", ") + c.description + "\r\n"));
    EXPECT_THAT(ServiceLog(), Not(HasSubstr("Initialize(A-3-5000) DONE")));
    const auto& table = ModDvrlink().oFrmMainTemplate;
    EXPECT_EQ(table.size() > 3 && table[3], c.form_created);
    EXPECT_TRUE(world.remotes.empty());
  }
}

TEST_F(LifecycleTest, DeviceFormCloseReleasesEverythingAndASecondCallOnlyLogs) {
  auto dvr = NewInstance();
  ASSERT_TRUE(Init(*dvr, StandardParams()));
  dvr->DeviceFormClose();
  EXPECT_EQ(world.sockets[0]->closes, 1);
  EXPECT_EQ(world.event_ctrls[0]->closed_sessions, std::vector<int32_t>{11});
  EXPECT_EQ(world.event_ctrls[0]->shutdowns, 1);
  EXPECT_EQ(world.cameras[0]->closes, 1);
  EXPECT_EQ(world.system_events[0]->closes, 1);
  EXPECT_FALSE(ModAllConst2().oDBConnection);
  EXPECT_THAT(TitleLog(), HasSubstr("Dvrlink, DeviceFormClose(A-3-5000) DONE, DVR1(10.0.0.5)"));
  EXPECT_THAT(TitleLog(), HasSubstr("--- Dvrlink, frmMainTemplate, Form_Terminate(A-3-5000)"));

  dvr->DeviceFormClose();
  EXPECT_EQ(world.cameras[0]->closes, 1);
  EXPECT_THAT(DebugLog(), HasSubstr("DeviceFormClose-A-3-5000() ??? ERROR, Line: "));
  EXPECT_EQ(CountLinesContaining(dir.File("DebugDeviceAdm.log"), "DeviceFormClose-A-3-5000"), 1);

  // Termination is logged once the last reference goes.
  EXPECT_THAT(TitleLog(), Not(HasSubstr("Dvrlink, Class_Terminate(A-3-5000)")));
  dvr.reset();
  EXPECT_THAT(TitleLog(), HasSubstr("--- Dvrlink, Class_Terminate(A-3-5000) DVR1(10.0.0.5)"));
}

TEST_F(LifecycleTest, ResetKeepsQueuedRequestsAndReopensTheGrant) {
  auto dvr = NewInstance();
  EXPECT_THROW(dvr->ResetAllParameters(), RuntimeError);  // before Initialize it reaches the caller
  ASSERT_TRUE(Init(*dvr, StandardParams()));
  auto& form = *ModDvrlink().oFrmMainTemplate.at(3);
  form.VideoQueue[5].BeginTime = "12/04/2026 10:00:00";
  form.blnVideoRequestGranted = false;
  ModDvrlink().blnGenerateAlarmQueueReady = false;
  dvr->ResetAllParameters();
  EXPECT_EQ(form.VideoQueue[5].BeginTime, "12/04/2026 10:00:00");
  EXPECT_TRUE(form.blnVideoRequestGranted);
  EXPECT_TRUE(ModDvrlink().blnGenerateAlarmQueueReady);
  EXPECT_THAT(TitleLog(), HasSubstr("ResetAllParameters(A-3-5000) RESET Dvrlink parameters"));
}

}  // namespace
}  // namespace dvrlink::testing
