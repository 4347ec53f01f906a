// The gateway's own rules, against a provider the test controls: the
// parameters it creates when no declared list is available, the output
// parameter, the exact error text and log lines, and calls without a
// usable connection. And the errors of reading a result wrongly.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "database/ado_connection.h"
#include "database/db_gateway.h"
#include "database/db_state.h"
#include "fakes/db_fake_provider.h"
#include "fakes/db_test_support.h"
#include "support/runtime_error.h"

namespace dvrlink {
namespace {

using testing::DebugLogLines;
using testing::FakeDbConnection;
using testing::FakeDbProvider;
using testing::GatewayCall;
using testing::RunGateway;
using testing::TempDir;



class GatewayRulesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::EnableDebugLog(logs_.path(), "B-1-6000");
    ModAllConst2().oDBConnection = Ref<IAdoConnection>(std::make_shared<FakeDbConnection>(&provider_));
  }

  static AdoParameterInfo Declared(const std::string& name, int32_t type, int32_t direction = adParamInput) {
    return AdoParameterInfo{name, type, direction, type == adInteger ? 4 : 50};
  }

  TempDir logs_;
  FakeDbProvider provider_;
};

TEST_F(GatewayRulesTest, CreatesTheParametersItselfWhenNoneAreDeclared) {
  struct Expected {
    std::string name;
    int32_t type, direction;
    AdoValue value;
  };
  const struct {
    const char* name;
    int16_t cmd_index;
    std::string output_name;
    std::vector<GatewayCall::Pair> pairs;
    std::vector<Expected> sent;
  } cases[] = {
      {"@CmdIndex first, then the texts", 7, "", {{1, "@IP", "10.1.2.3"}, {2, "@Name", ""}},
       {{"@CmdIndex", adInteger, adParamInput, AdoValue::Integer(7)},
        {"@IP", adVarChar, adParamInput, AdoValue::Text("10.1.2.3")},
        {"@Name", adVarChar, adParamInput, AdoValue::Text("")}}},
      {"no @CmdIndex for a negative CmdIndex; empty pairs skipped", -1, "", {{1, "", "ignored"}, {2, "@B", "b"}},
       {{"@B", adVarChar, adParamInput, AdoValue::Text("b")}}},
      {"the output parameter comes last", 1, "@NewID", {{1, "@A", "abc"}},
       {{"@CmdIndex", adInteger, adParamInput, AdoValue::Integer(1)},
        {"@A", adVarChar, adParamInput, AdoValue::Text("abc")},
        {"@NewID", adInteger, adParamOutput, AdoValue()}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RunGateway({"usp_Undeclared", c.cmd_index, c.pairs, c.output_name});
    EXPECT_EQ(ModAllConst2().lErrorCode, 0) << ModAllConst2().sLastError;
    ASSERT_EQ(provider_.sent.size(), c.sent.size());
    for (size_t i = 0; i < c.sent.size(); ++i) {
      SCOPED_TRACE(c.sent[i].name);
      EXPECT_EQ(provider_.sent[i].Name, c.sent[i].name);
      EXPECT_EQ(provider_.sent[i].Type, c.sent[i].type);
      EXPECT_EQ(provider_.sent[i].Direction, c.sent[i].direction);
      EXPECT_EQ(provider_.sent[i].Value, c.sent[i].value);
    }
  }
}

TEST_F(GatewayRulesTest, OutputValueIsReadFromTheParameterOfExactlyThatName) {
  const struct {
    const char* name;
    std::string declared;  // the output parameter the procedure declares
    AdoValue value;        // the value it returns there
    int32_t expected;
  } cases[] = {
      {"an integer", "@Out", AdoValue::Integer(12), 12},
      {"a numeric text", "@Out", AdoValue::Text("34"), 34},
      {"Null leaves the value alone", "@Out", AdoValue::Null(), -5},
      {"the name is compared with its letter case", "@out", AdoValue::Integer(99), -5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    provider_.declared["usp_Out"] = {Declared(c.declared, adInteger, adParamOutput)};
    provider_.described.clear();  // what a new connection would see
    provider_.output_values = {{c.declared, c.value}};
    ModAllConst2().lOutputValue = -5;
    RunGateway({"usp_Out", -1, {}, "@Out"});
    EXPECT_EQ(ModAllConst2().lErrorCode, 0) << ModAllConst2().sLastError;
    EXPECT_EQ(ModAllConst2().lOutputValue, c.expected);
  }
}

// A failed call is made once more when the procedure was declared anew
// meanwhile, never when the database was out of reach (a hung server would
// be asked again).
TEST_F(GatewayRulesTest, AFailedCallIsRepeatedOnlyWithANewDeclaration) {
  const struct {
    const char* procedure;
    int32_t error;
    int executes;
    int32_t code;
  } cases[] = {
      {"usp_DeclaredAnew", kDbErrErrorsInCommand, 2, 0},
      {"usp_OutOfReach", kAdoErrUnspecified, 1, kAdoErrUnspecified},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.procedure);
    provider_.declared[c.procedure] = {Declared("@CmdIndex", adInteger), Declared("@A", adVarChar)};
    provider_.execute_error.reset();
    RunGateway({c.procedure, 1, {{1, "@A", "x"}}, ""});  // the connection keeps this declaration
    provider_.declared[c.procedure].push_back(Declared("@B", adVarChar));
    provider_.execute_error = RuntimeError(c.error, "no", 0);
    provider_.fail_once = true;
    provider_.executes = 0;
    RunGateway({c.procedure, 1, {{1, "@A", "x"}}, ""});
    EXPECT_EQ(provider_.executes, c.executes);
    EXPECT_EQ(ModAllConst2().lErrorCode, c.code);
  }
}

TEST_F(GatewayRulesTest, FailureTextAndLogLinesAreExact) {
  provider_.execute_error = RuntimeError(kDbErrErrorsInCommand, "Server says no", 0);
  Ref<Recordset> rs = RunGateway({"usp_Fail", 2, {{1, "@A", "1"}, {2, "@B", "two"}}, "@O"});

  EXPECT_FALSE(rs);
  EXPECT_EQ(ModAllConst2().lErrorCode, kDbErrErrorsInCommand);
  std::string expected = "(-2147217900) Server says no, sStoredProcedure=usp_Fail, CmdIndex=2, OutputName=@O, "
                         "sLastName=, sLastValue=, sName=, sValue=, lErrorCode=-2147217900, lReturnCode=-2147217900, "
                         "Name1=@A, Value1=1, Name2=@B, Value2=two";
  for (int k = 3; k <= 25; ++k) expected += ", Name" + std::to_string(k) + "=, Value" + std::to_string(k) + "=";
  expected += "---";
  EXPECT_EQ(ModAllConst2().sLastError, expected);
  EXPECT_GT(ModAllConst2().lLastErrorLine, 0);

  std::vector<std::string> lines = DebugLogLines(logs_.path());
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find("-8  DBspCommandOutput(B-1-6000) sStoredProcedure=usp_Fail, CmdIndex=2, Name1=@A, "
                          "Value1=1, Name2=@B, Value2=two, Name3=, Value3="),
            std::string::npos)
      << lines[0];
  EXPECT_NE(lines[1].find("\t??? modAllConst2, DBspCommandOutput-B-1-6000() ??? ERROR, Line: " +
                          std::to_string(ModAllConst2().lLastErrorLine) + ", " + expected),
            std::string::npos)
      << lines[1];
}

TEST_F(GatewayRulesTest, CallsWithoutAUsableConnectionFail) {
  for (const Ref<IAdoConnection>& connection :
       {Ref<IAdoConnection>(), Ref<IAdoConnection>(std::make_shared<AdoConnection>())}) {
    SCOPED_TRACE(connection ? "a closed connection" : "no connection object");
    ModAllConst2().oDBConnection = connection;
    Ref<Recordset> rs = RunGateway({"usp_X", 1, {}, ""});
    EXPECT_FALSE(rs);
    EXPECT_EQ(ModAllConst2().lErrorCode, kAdoErrConnectionNotUsable);
  }
}

// A field that is not there, reading past the end, a closed recordset.
TEST(RecordsetTest, MisuseRaisesTheMatchingError) {
  const struct {
    const char* name;
    std::function<void(Recordset&)> action;
    int32_t error;
  } cases[] = {
      {"a field that is not a column", [](Recordset& rs) { rs.Fields("CameraName"); }, kAdoErrItemNotFound},
      {"a field at the end", [](Recordset& rs) { rs.MoveNext(); rs.Fields("ID"); }, kAdoErrNoCurrentRecord},
      {"closing twice", [](Recordset& rs) { rs.Close(); rs.Close(); }, kAdoErrObjectClosed},
      {"a Null read as text", [](Recordset& rs) { rs.Text("Empty"); }, kErrInvalidUseOfNull},
      {"a Null read as a number", [](Recordset& rs) { rs.Fields("Empty").Value.ToLong(); }, kErrInvalidUseOfNull},
      {"reading the result of a procedure that returned none", [](Recordset&) { Recordset().Eof(); },
       kAdoErrObjectClosed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Recordset rs({"ID", "Empty"}, {{AdoValue::Integer(1), AdoValue::Null()}});
    try {
      c.action(rs);
      ADD_FAILURE() << "no error";
    } catch (const RuntimeError& e) {
      EXPECT_EQ(e.Number(), c.error);
    }
  }
}

}  // namespace
}  // namespace dvrlink
