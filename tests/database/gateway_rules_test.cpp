// The gateway's own rules, against a provider the test controls: the
// parameters it creates when no declared list is available, the exact error
// text and log lines, and calls without a usable connection.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "database/ado_connection.h"
#include "database/db_gateway.h"
#include "database/db_state.h"
#include "fakes/db_test_support.h"
#include "support/runtime_error.h"

namespace dvrlink {
namespace {

using testing::DebugLogLines;
using testing::GatewayCall;
using testing::RunGateway;
using testing::TempDir;

// Declares what the test says, records what the caller sends, and answers
// with an empty result or the prepared error.
class FakeDbProvider : public DbProvider {
 public:
  std::string Name() const override { return "Fake"; }
  std::vector<AdoParameterInfo> DescribeProcedure(const std::string& procedure) override {
    auto it = declared.find(procedure);
    return it == declared.end() ? std::vector<AdoParameterInfo>() : it->second;
  }
  std::shared_ptr<Recordset> ExecuteProcedure(const std::string&, std::vector<AdoParameter>& parameters) override {
    sent = parameters;
    ++executes;
    if (execute_error && (!fail_once || executes == 1)) throw *execute_error;
    return std::make_shared<Recordset>();
  }
  void ExecuteScript(const std::string&) override {}
  bool HasTable(const std::string&) override { return true; }

  std::map<std::string, std::vector<AdoParameterInfo>> declared;
  std::optional<RuntimeError> execute_error;
  bool fail_once = false;  // execute_error for the first call only
  int executes = 0;
  std::vector<AdoParameter> sent;
};

// An open connection whose provider is the fake (not owned).
class FakeDbConnection : public IAdoConnection {
 public:
  explicit FakeDbConnection(FakeDbProvider* provider) : provider_(provider) {}
  void Open(const std::string&, const std::string&, const std::string&, int32_t) override {}
  void Close() override { provider_ = nullptr; }
  bool IsOpen() const override { return provider_ != nullptr; }
  DbProvider* Provider() const override { return provider_; }

 private:
  FakeDbProvider* provider_;
};

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

}  // namespace
}  // namespace dvrlink
