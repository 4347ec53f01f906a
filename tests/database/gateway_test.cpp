// The gateway against the real providers: the same cases run on SQLite and
// on PostgreSQL (the latter skipped without DVRLINK_TEST_PG).
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "database/db_admin.h"
#include "database/db_gateway.h"
#include "database/db_state.h"
#include "fakes/db_test_support.h"
#include "platform/platform_state.h"

namespace dvrlink {
namespace {

using testing::Backend;
using testing::DebugLogLines;
using testing::TempDir;
using testing::TestDatabase;

constexpr const char* kDevice = "A-0-5000";
constexpr const char* kErrorLinePrefix = "??? modAllConst2, DBspCommandOutput-A-0-5000() ??? ERROR, Line: ";
constexpr const char* kIntegrityLineText = "  modAllConst2, DBspCommandOutput(A-0-5000) ??? (-2147217873) ";

using Call = testing::GatewayCall;
using testing::RunGateway;

class GatewayTest : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    if (GetParam() == Backend::kPostgres && testing::PgConnectionString().empty()) {
      GTEST_SKIP() << testing::kPgSkipMessage;
    }
    testing::EnableDebugLog(logs_.path(), kDevice);
    db_ = std::make_unique<TestDatabase>(GetParam());
    db_->OpenModuleConnection();
  }

  // Lines written to the debug log by the gateway's failure handling.
  std::vector<std::string> ErrorLines() const { return LinesContaining("ERROR, Line: "); }
  std::vector<std::string> IntegrityLines() const { return LinesContaining(kIntegrityLineText); }
  std::vector<std::string> LinesContaining(const std::string& text) const {
    std::vector<std::string> found;
    for (const std::string& line : DebugLogLines(logs_.path())) {
      if (line.find(text) != std::string::npos) found.push_back(line);
    }
    return found;
  }

  void SeedOneDvr() {
    IniFile ini = IniFile::Parse(
        "[dvr]\nconfig_id = 42\naddress = 127.0.0.2\nglobal_address_id = $12345678901234567\nname = Gate\n"
        "camera.3 = Loading Bay\n",
        "seed.ini");
    SeedDatabase(db_->connection_string(), ReadDvrSeeds(ini));
  }

  TempDir logs_;
  std::unique_ptr<TestDatabase> db_;
};

// Quotes, semicolons and keywords in values: see the catalogue test.
TEST_P(GatewayTest, SendsTheParametersTheCallNames) {
  const struct {
    const char* name;
    Call call;
    AdoValue cmd_index, a, b;
  } cases[] = {
      {"all names empty sends only @CmdIndex", {"usp_Test_Echo", 4, {}, ""},
       AdoValue::Integer(4), AdoValue::Null(), AdoValue::Null()},
      {"CmdIndex -1 sends no @CmdIndex", {"usp_Test_Echo", -1, {{1, "@A", "x"}}, ""},
       AdoValue::Null(), AdoValue::Text("x"), AdoValue::Null()},
      {"an empty pair does not end the list", {"usp_Test_Echo", 1, {{2, "@B", "late"}, {25, "@A", "last"}}, ""},
       AdoValue::Integer(1), AdoValue::Text("last"), AdoValue::Text("late")},
      {"parameter names match whatever their letter case", {"usp_Test_Echo", 2, {{1, "@a", "lower"}}, ""},
       AdoValue::Integer(2), AdoValue::Text("lower"), AdoValue::Null()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Ref<Recordset> rs = RunGateway(c.call);
    ASSERT_EQ(ModAllConst2().lErrorCode, 0) << ModAllConst2().sLastError;
    ASSERT_TRUE(rs);
    ASSERT_FALSE(rs->Eof());
    EXPECT_EQ(rs->Fields("CmdIndex").Value, c.cmd_index);
    EXPECT_EQ(rs->Fields("A").Value, c.a);
    EXPECT_EQ(rs->Fields("B").Value, c.b);
  }
  EXPECT_TRUE(ErrorLines().empty());
}

TEST_P(GatewayTest, FailedCallsSetTheErrorCodeAndReturnNoRecordset) {
  SeedOneDvr();
  const struct {
    const char* name;
    Call call;
    int32_t error;
    const char* description_part;
  } cases[] = {
      {"a parameter the procedure does not declare",
       {"usp_DVR_Config_Select", 15, {{1, "@IP", "127.0.0.2"}, {2, "@Port", "80"}}, ""},
       kAdoErrItemNotFound, ", sLastName=@IP, sLastValue=127.0.0.2, sName=@Port, sValue=80, "},
      {"@CmdIndex for a procedure without it", {"usp_Test_NoParams", 0, {}, ""}, kDbErrErrorsInCommand,
       "@CmdIndex"},
      {"an unknown procedure", {"usp_Nothing_Here", 1, {{1, "@IP", "x"}}, ""}, kDbErrErrorsInCommand,
       "usp_Nothing_Here"},
      {"a text that is not a number for an integer parameter",
       {"usp_DVR_Cameras_Select", 2, {{1, "@ID_DVR_Config", "42x"}, {2, "@CameraIndex", "1"}}, ""},
       kDbErrCantConvertValue, "42x"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const size_t errors_before = ErrorLines().size();
    Ref<Recordset> rs = RunGateway(c.call);
    EXPECT_EQ(ModAllConst2().lErrorCode, c.error) << ModAllConst2().sLastError;
    EXPECT_FALSE(rs);
    EXPECT_NE(ModAllConst2().sLastError.find(c.description_part), std::string::npos) << ModAllConst2().sLastError;
    std::vector<std::string> errors = ErrorLines();
    ASSERT_EQ(errors.size(), errors_before + 1);
    EXPECT_NE(errors.back().find(kErrorLinePrefix), std::string::npos) << errors.back();
    EXPECT_NE(errors.back().find(ModAllConst2().sLastError), std::string::npos);
  }
  EXPECT_TRUE(IntegrityLines().empty());
}

TEST_P(GatewayTest, DuplicateAlarmCountsAsSuccessAndIsLoggedAsDebugLine) {
  const Call insert{"usp_DVR_Alarms_Insert", 1,
                    {{1, "@ID_DVR_Config", "42"}, {2, "@CameraName", "2"}, {3, "@StartTime", "03/07/2024 02:05:09 PM"},
                     {4, "@EndTime", "03/07/2024 02:05:19 PM"}, {5, "@Frames", "0"}, {6, "@AlarmType", "AlarmIn3"}},
                    ""};
  RunGateway(insert);
  ASSERT_EQ(ModAllConst2().lErrorCode, 0) << ModAllConst2().sLastError;
  ASSERT_TRUE(IntegrityLines().empty());

  Ref<Recordset> rs = RunGateway(insert);
  EXPECT_EQ(ModAllConst2().lErrorCode, 0);
  EXPECT_FALSE(rs);
  std::vector<std::string> lines = IntegrityLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("-8" + std::string(kIntegrityLineText)), std::string::npos) << lines[0];
  EXPECT_NE(lines[0].find(", sStoredProcedure=usp_DVR_Alarms_Insert, CmdIndex=1, OutputName=, "), std::string::npos);
  EXPECT_TRUE(ErrorLines().empty());
}

// Declarations are kept per connection; a procedure dropped and declared
// anew by another connection is picked up by the very next call.
TEST_P(GatewayTest, AProcedureDeclaredAnewIsPickedUpByTheNextCall) {
  const struct {
    const char* name;
    const char* type;  // of @C
    AdoValue expected;
  } cases[] = {
      {"@A and @B replaced by @C", "TEXT", AdoValue::Text("7")},
      {"@C declared again with another type", "INTEGER", AdoValue::Integer(7)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RunGateway({"usp_Test_Echo", 1, {}, ""});  // the module's connection knows the declaration
    ASSERT_EQ(ModAllConst2().lErrorCode, 0) << ModAllConst2().sLastError;
    const std::string type = c.type;
    db_->Execute(GetParam() == Backend::kPostgres
                     ? "DROP FUNCTION \"usp_Test_Echo\"; CREATE FUNCTION \"usp_Test_Echo\"(\"@CmdIndex\" integer "
                       "DEFAULT NULL, \"@C\" " + type + " DEFAULT NULL) RETURNS TABLE (\"C\" " + type +
                           ") LANGUAGE sql AS $$ SELECT \"@C\" $$;"
                     : "DELETE FROM dvrlink_procedures WHERE name = 'usp_Test_Echo'; INSERT INTO dvrlink_procedures "
                       "(name, body) VALUES ('usp_Test_Echo', 'SELECT @C AS \"C\"'); INSERT INTO "
                       "dvrlink_procedure_parameters (procedure_name, ordinal, name, type) VALUES ('usp_Test_Echo', "
                       "1, '@CmdIndex', 'INTEGER'), ('usp_Test_Echo', 2, '@C', '" + type + "');");
    Ref<Recordset> rs = RunGateway({"usp_Test_Echo", 1, {{1, "@C", "7"}}, ""});
    ASSERT_EQ(ModAllConst2().lErrorCode, 0) << ModAllConst2().sLastError;
    ASSERT_TRUE(rs);
    EXPECT_EQ(rs->Fields("C").Value, c.expected);
  }
  EXPECT_TRUE(ErrorLines().empty());
}

// The service's batched log lines are written before a call that may store;
// on SQLite a procedure whose statements only read goes without.
TEST_P(GatewayTest, LogsAreWrittenBeforeACallThatMayStore) {
  SeedOneDvr();
  int writes = 0;
  Platform().before_output = [&writes] { ++writes; };
  const bool look_ups_skip = GetParam() == Backend::kSqlite;
  const Call look_up{"usp_DVR_Config_Select", 1, {{1, "@IP", "127.0.0.2"}}, ""};
  const auto insert = [](const char* start) {
    return Call{"usp_DVR_Alarms_Insert", 1,
                {{1, "@ID_DVR_Config", "42"}, {2, "@CameraName", "Bay"}, {3, "@StartTime", start},
                 {4, "@EndTime", "1/1/2026 2:00:00"}, {5, "@Frames", "0"}, {6, "@AlarmType", "MOTION"}},
                ""};
  };
  const struct {
    const char* name;
    Call call;
    int expected;
  } cases[] = {
      {"a look-up's first call", look_up, look_ups_skip ? 0 : 1},
      {"the look-up again", look_up, look_ups_skip ? 0 : 1},
      {"an insert", insert("1/1/2026 1:00:00"), 1},
      {"another insert", insert("1/1/2026 1:00:01"), 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const int before = writes;
    RunGateway(c.call);
    ASSERT_EQ(ModAllConst2().lErrorCode, 0) << ModAllConst2().sLastError;
    EXPECT_EQ(writes - before, c.expected);
  }
  Platform().before_output = nullptr;
}

// A connection keeps the calls it prepared up to a bound, then drops them
// all: calls and first calls (which read the declaration) still work.
TEST_P(GatewayTest, ManyShapesOfCallOnOneConnection) {
  const Call::Pair all[] = {{1, "@ID_DVR_Config", "1"}, {2, "@CameraName", "2"}, {3, "@StartTime", "1/1/2026 1:00:00"},
                            {4, "@EndTime", "1/1/2026 1:00:05"}, {5, "@Frames", "0"}, {6, "@AlarmType", "MOTION"}};
  for (int shape = 0; shape < 64; ++shape) {  // every subset sent: 64 texts
    Call call{"usp_DVR_Alarms_Insert", 1, {}, ""};
    for (int bit = 0; bit < 6; ++bit) {
      if (shape & (1 << bit)) call.pairs.push_back(all[bit]);
    }
    RunGateway(call);  // null columns: constraint failures, counted as success
  }
  SeedOneDvr();
  EXPECT_TRUE(RunGateway({"usp_DVR_Config_Select", 15, {{1, "@IP", "127.0.0.2"}}, ""}));
  Ref<Recordset> camera =
      RunGateway({"usp_DVR_Cameras_Select", 2, {{1, "@ID_DVR_Config", "42"}, {2, "@CameraIndex", "3"}}, ""});
  ASSERT_TRUE(camera) << ModAllConst2().sLastError;
  EXPECT_EQ(camera->Fields("CameraName").Value.ToText(), "Loading Bay");
  EXPECT_TRUE(ErrorLines().empty());
}

// The procedures as their callers run them, a second init that keeps the
// rows, and values with quotes, semicolons and keywords stored unchanged.
TEST_P(GatewayTest, CatalogueProceduresReturnWhatTheirCallersRead) {
  SeedOneDvr();
  InitDatabase(db_->connection_string());
  db_->OpenModuleConnection();
  // A successful call's recordset holds a row (false: it is at its end).
  const auto has_row = [](const Ref<Recordset>& rs) {
    EXPECT_EQ(ModAllConst2().lErrorCode, 0) << ModAllConst2().sLastError;
    EXPECT_TRUE(rs);
    return rs && !rs->Eof();
  };

  // The seeded DVR survives the second init (its cameras' rows are read by
  // the alarm end-to-end tests on both providers).
  Ref<Recordset> config = RunGateway({"usp_DVR_Config_Select", 15, {{1, "@IP", "127.0.0.2"}}, ""});
  ASSERT_TRUE(has_row(config));
  EXPECT_EQ(config->Text("GlobalAddressID"), "$12345678901234567");
  const std::string id = config->Text("ID");
  EXPECT_EQ(id, "42");
  config->Close();

  const std::string address = "10.0.0.1'; DROP TABLE dvr_config; --";
  const std::string global = "$\"G\"; DELETE FROM dvr_cameras WHERE 1=1; /* ' */";
  const std::string name = "Robert'); DROP TABLE dvr_alarms;-- \\ %s ? :x @IP $1";
  RunGateway({"usp_DVR_Config_Save", 0,
              {{1, "@ID", "7"}, {2, "@IP", address}, {3, "@GlobalAddressID", global}, {4, "@Name", name}}, ""});
  Ref<Recordset> saved = RunGateway({"usp_DVR_Config_Select", 15, {{1, "@IP", address}}, ""});
  ASSERT_TRUE(has_row(saved));
  EXPECT_EQ(saved->Text("IP"), address);
  EXPECT_EQ(saved->Text("GlobalAddressID"), global);
  EXPECT_EQ(saved->Text("Name"), name);
  EXPECT_EQ(saved->Text("ID"), "7");
  EXPECT_TRUE(CheckDatabase(db_->connection_string()).empty());  // every table still there

  // An alert's record (a procedure without rows gives a closed recordset),
  // and a host-raised alarm: the alarm-video row's start time.
  Ref<Recordset> inserted =
      RunGateway({"usp_DVR_Alarms_Insert", 1,
                  {{1, "@ID_DVR_Config", id}, {2, "@CameraName", "3"}, {3, "@StartTime", "12/04/2026 04:32:20 PM"},
                   {4, "@EndTime", "12/04/2026 04:32:30 PM"}, {5, "@Frames", "0"},
                   {6, "@AlarmType", "Motion Detection"}},
                  ""});
  EXPECT_EQ(ModAllConst2().lErrorCode, 0) << ModAllConst2().sLastError;
  ASSERT_TRUE(inserted);
  EXPECT_EQ(inserted->State(), adStateClosed);
  RunGateway({"usp_DVR_AlarmVideo_Update", 3, {{1, "@ID", "77"}, {2, "@AlarmDateTime", "12/04/2026 04:32:20 PM"}}, ""});
  EXPECT_EQ(ModAllConst2().lErrorCode, 0) << ModAllConst2().sLastError;
  // Its confirmation: no row until the host has recorded the alarm as active.
  const Call active{"usp_AlarmActive_Select", 1, {{1, "@dtDate", "2026/12/04 16:32:20"}}, ""};
  EXPECT_FALSE(has_row(RunGateway(active)));
  RunGateway({"usp_AlarmActive_Insert", 0,
              {{1, "@dtDate", "2026/12/04 16:32:20"}, {2, "@EventCode", "10317"}, {3, "@GlobalAddressID", "x"}}, ""});
  EXPECT_EQ(ModAllConst2().lErrorCode, 0) << ModAllConst2().sLastError;
  EXPECT_TRUE(has_row(RunGateway(active)));

  // An output parameter is read back.
  ModAllConst2().lOutputValue = 0;
  RunGateway({"usp_Test_Output", 0, {{1, "@In", "21"}}, "@Result"});
  EXPECT_EQ(ModAllConst2().lErrorCode, 0) << ModAllConst2().sLastError;
  EXPECT_EQ(ModAllConst2().lOutputValue, 42);
  EXPECT_TRUE(ErrorLines().empty());
}

// A text that is not a date is a data error, not a constraint violation.
TEST_P(GatewayTest, ProceduresReadTheDateTextsCallersSend) {
  const struct {
    const char* text;
    const char* stored;  // YYYY-MM-DD hh:mm:ss, or nullptr for a data error
  } cases[] = {
      {"03/07/2024 02:05:09 PM", "2024-03-07 14:05:09"},
      {"3/7/2024 2:05:09 pm", "2024-03-07 14:05:09"},
      {"12/04/2026 12:00:00 AM", "2026-12-04 00:00:00"},
      {"12/04/2026 12:30:00 PM", "2026-12-04 12:30:00"},
      {"2024/03/07 14:05:09", "2024-03-07 14:05:09"},
      {"  02/29/2024 11:59:59 PM ", "2024-02-29 23:59:59"},
      {"02/30/2024 10:00:00 AM", nullptr},
      {"13/01/2024 10:00:00 AM", nullptr},
      {"03/07/2024 13:00:00 PM", nullptr},
      {"2024/03/07 24:00:00", nullptr},
      {"2024/03/07 14:05:60", nullptr},
      {"03/07/2024", nullptr},
      {"", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    Ref<Recordset> rs = RunGateway({"usp_Test_Date", 0, {{1, "@Text", c.text}}, ""});
    if (c.stored == nullptr) {
      EXPECT_EQ(ModAllConst2().lErrorCode, kDbErrCantConvertValue) << ModAllConst2().sLastError;
      EXPECT_NE(ModAllConst2().sLastError.find("is not a date"), std::string::npos) << ModAllConst2().sLastError;
      EXPECT_EQ(ModAllConst2().sLastError.find("Busy Timeout"), std::string::npos) << "not called a lock";
      continue;
    }
    ASSERT_EQ(ModAllConst2().lErrorCode, 0) << ModAllConst2().sLastError;
    ASSERT_TRUE(rs);
    AdoValue value = rs->Fields("Value").Value;
    std::string text = value.kind() == AdoValue::Kind::kDate ? value.date().FormatIso() : value.ToText();
    if (text.size() > 10 && text[10] == 'T') text[10] = ' ';
    EXPECT_EQ(text, c.stored);
  }
}

INSTANTIATE_TEST_SUITE_P(Providers, GatewayTest, ::testing::Values(Backend::kSqlite, Backend::kPostgres),
                         [](const ::testing::TestParamInfo<Backend>& info) {
                           return std::string(testing::BackendName(info.param));
                         });

}  // namespace
}  // namespace dvrlink
