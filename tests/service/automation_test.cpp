// The automation endpoint: requests against an initialised component with
// faked host components, and the endpoint over a real Unix socket.
#include "service/automation.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "component/module_state.h"
#include "fakes/svc_test_support.h"
#include "fakes/test_support.h"
#include "host/host_sink.h"
#include "service/automation_methods.h"
#include "support/runtime_error.h"

namespace dvrlink::testing {
namespace {

using ::testing::HasSubstr;

class AutomationTest : public ComponentTest {
 protected:
  void SetUp() override {
    ComponentTest::SetUp();
    dvr = NewInstance();
    ASSERT_TRUE(Init(*dvr, StandardParams()));  // ID A-3-5000, DVR number 3
  }
  std::vector<AutomationTarget> Targets() {
    std::vector<AutomationTarget> targets = {{dvr, true}};
    if (spare) targets.push_back({spare, false});
    return targets;
  }
  Json Ask(const std::string& line) { return Json::parse(dispatcher.HandleLine(line)); }
  static int Error(const Json& reply) { return reply.contains("error") ? reply["error"]["number"].get<int>() : 0; }

  std::shared_ptr<clsDvrlink> dvr;
  std::shared_ptr<clsDvrlink> spare;  // created, never initialised
  AutomationDispatcher dispatcher{[this] { return Targets(); }};
};

TEST(AutomationConvertTest, ArgumentsAreConvertedAsTheAutomationLayerDoes) {
  using T = ArgType;
  struct Case {
    const char* name;
    const char* json;
    ArgType type;
    ArgValue expected;  // monostate when an error is expected
    int error = 0;
  };
  const std::vector<Case> cases = {
      {"a half rounds to even (down)", "2.5", T::kInt16, int16_t{2}},
      {"True is -1", "true", T::kInt16, int16_t{-1}},
      {"16-bit overflow", "32768", T::kInt16, {}, 6},
      {"a text that is not a number", "\"abc\"", T::kInt16, {}, 13},
      {"null", "null", T::kInt16, {}, 94},
      {"32-bit beyond 16 bits", "100000", T::kInt32, int32_t{100000}},
      {"32-bit overflow", "2147483648", T::kInt32, {}, 6},
      {"a boolean as text", "true", T::kText, std::string("True")},
      {"null is no text", "null", T::kText, {}, 94},
      {"0 is False", "0", T::kBoolean, false},
      {"the text False", "\"False\"", T::kBoolean, false},
      {"a numeric text", "\"-1\"", T::kBoolean, true},
      {"a text that is no boolean", "\"yes\"", T::kBoolean, {}, 13},
      {"an array of booleans, element by element", "[true, 0, \"True\"]", T::kBooleanArray,
       std::vector<bool>{true, false, true}},
      {"a scalar for an array", "true", T::kBooleanArray, {}, 13},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Json value = Json::parse(c.json);
    if (c.error != 0) {
      try {
        ConvertArg(value, c.type);
        ADD_FAILURE() << "converted";
      } catch (const RuntimeError& e) {
        EXPECT_EQ(e.Number(), c.error);
      }
    } else {
      EXPECT_EQ(ConvertArg(value, c.type), c.expected);
    }
  }
}

TEST_F(AutomationTest, PropertiesAreReadAndWritten) {
  EXPECT_EQ(Ask(R"({"id":1,"instance":"A-3-5000","get":"Version"})"), Json::parse(R"({"id":1,"result":"1.0.0"})"));
  EXPECT_EQ(Ask(R"({"id":3,"instance":3,"get":"oSocket"})")["result"]["object"],
            "TarvonWinSockServer.clsWinSockServer");

  EXPECT_EQ(Ask(R"({"id":4,"instance":"A-3-5000","set":"ServerPort","value":5001})"),
            Json::parse(R"({"id":4,"result":null})"));
  EXPECT_EQ(dvr->ServerPort, 5001);
  // A value out of range is refused and the property keeps its value.
  EXPECT_EQ(Ask(R"({"id":7,"instance":3,"set":"ServerPort","value":40000})"),
            Json::parse(R"({"id":7,"error":{"number":6,"description":"Overflow"}})"));
  EXPECT_EQ(dvr->ServerPort, 5001);
  Ask(R"({"id":9,"instance":3,"set":"blnTimeSyncInProcess","value":"True"})");
  EXPECT_TRUE(dvr->blnTimeSyncInProcess);
  // The ID may be written too; requests then find the instance by its new ID.
  Ask(R"({"id":10,"instance":3,"set":"ID","value":"B-3-5000"})");
  EXPECT_EQ(Ask(R"({"id":11,"instance":"B-3-5000","get":"DVRIP"})")["result"], "10.0.0.5");
}

TEST_F(AutomationTest, MethodsAreCalledWithConvertedArguments) {
  host->calls.clear();
  Ask(R"({"id":3,"instance":3,"method":"ServerExtIDVR_Callback","args":[207,"1","confirmed"]})");
  Ask(R"({"id":4,"instance":3,"method":"serverextidvr_callback","args":[207,1,"confirmed",104]})");
  ASSERT_EQ(host->calls.size(), 2u);
  EXPECT_EQ(host->calls[0].type, 207);
  EXPECT_EQ(host->calls[0].id, 1);
  EXPECT_EQ(host->calls[0].ident, "0");  // the optional identifier left out
  EXPECT_EQ(host->calls[1].ident, "104");

  // A 16-bit overflow is answered with error 6 and the method is not called.
  EXPECT_EQ(Ask(R"({"id":5,"instance":3,"method":"ServerExtIDVR_Callback","args":[40000,1,"x"]})"),
            Json::parse(R"({"id":5,"error":{"number":6,"description":"Overflow"}})"));
  EXPECT_EQ(host->calls.size(), 2u);

  // The two array parameters.
  EXPECT_EQ(Ask(R"({"id":6,"instance":3,"method":"UpdateExternalTriggerParameters","args":[[true],[]]})")["result"],
            nullptr);
  EXPECT_TRUE(dvr->TriggerExternalEnabled());
  EXPECT_EQ(SentEventCodes(), std::vector<int>{10314});
  Ask(R"({"id":2,"instance":3,"method":"GenerateAlert","args":[2,"12/04/2026 14:05:09",10,"Lobby","MOTION",""]})");
  EXPECT_EQ(LastEvent().at(5), "camera Lobby");  // the camera name, in its place among the texts

  // A boolean taken from its own argument.
  ModAllConst().lLogLevel = 2147483647;  // every level, so the method's line is written
  EXPECT_EQ(Ask(R"({"id":9,"instance":3,"method":"UpdateTimeSyncParameters","args":[12,"true"]})"),
            Json::parse(R"({"id":9,"result":null})"));
  EXPECT_THAT(DebugLog(), HasSubstr("UpdateTimeSyncParameters(A-3-5000) blnTimeSyncEnabled=True, iTimeSyncInterval=12"));
}

TEST_F(AutomationTest, RequestsThatCannotBeCarriedOutGetTheirErrorNumber) {
  struct Case {
    const char* name;
    std::string request;
    int number;
  };
  const std::vector<Case> cases = {
      {"an unknown instance ID", R"({"id":1,"instance":"X-9-1","get":"Version"})", 5},
      {"no instance at all", R"({"id":1,"method":"TimeSync"})", 5},
      {"an unknown method", R"({"id":1,"instance":3,"method":"Explode","args":[]})", 438},
      {"too few arguments", R"({"id":1,"instance":3,"method":"SetRecordRate","args":[5]})", 450},
      {"arguments that are not an array", R"({"id":1,"instance":3,"method":"SetRecordRate","args":5})", 450},
      {"a set without a value", R"({"id":1,"instance":3,"set":"ServerPort"})", 450},
      {"an object reference other than Nothing", R"({"id":1,"instance":3,"set":"oSocket","value":{}})", 13},
      {"no verb", R"({"id":1,"instance":3})", 5},
      // Lines that are no JSON object are answered without an ID.
      {"cut-off JSON", R"({"id":1,)", 5},
      {"an array", "[1,2]", 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Json reply = Ask(c.request);
    EXPECT_EQ(reply["id"], c.request[0] == '{' && c.request.back() == '}' ? Json(1) : Json());
    EXPECT_EQ(Error(reply), c.number) << DumpLine(reply);
    EXPECT_FALSE(reply.contains("result"));
  }
}

TEST_F(AutomationTest, ErrorsAMethodLetsThroughReachTheCaller) {
  spare = NewInstance();  // never initialised: its form does not exist
  Json reply = Ask(R"({"id":"r","instance":"","method":"ResetAllParameters"})");
  EXPECT_EQ(reply["id"], "r");
  EXPECT_EQ(Error(reply), 91);
  EXPECT_EQ(reply["error"]["description"], "Object variable or With block variable not set");
}

// The endpoint itself, over a Unix socket in a short temporary folder.
class AutomationEndpointTest : public AutomationTest {
 protected:
  void SetUp() override {
    AutomationTest::SetUp();
    HostSinkOptions options;
    options.write_stdout = false;
    sink = std::make_unique<HostSink>(options);
    endpoint = std::make_unique<AutomationEndpoint>(dispatcher, sink.get());
    path = dir.File("a.sock");
    endpoint->Listen(path);
  }
  void TearDown() override { endpoint.reset(); }

  std::unique_ptr<HostSink> sink;
  std::unique_ptr<AutomationEndpoint> endpoint;
  std::string path;
};

TEST_F(AutomationEndpointTest, AnswersLinesAndStaysOpenAfterBadJson) {
  struct stat info {};
  ASSERT_EQ(::stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  svc::TestClient client = svc::TestClient::Unix(path);
  ASSERT_TRUE(client.connected());
  // Bombs too: a number beyond a double, nesting 100,000 deep.
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  for (const std::string& bad : {std::string(R"({"id":1,"list":true,"x":1e999})"), R"({"id":)" + deep + R"(,"list":true})"}) {
    SCOPED_TRACE(bad.substr(0, 40));
    client.SendLine(bad);
    std::optional<std::string> reply = client.ReadLine();
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(Json::parse(*reply)["id"], nullptr);
    EXPECT_EQ(Json::parse(*reply)["error"]["number"], 5);
  }

  // Two requests in one write, answered in order on the same connection.
  client.Send(R"({"id":1,"instance":3,"get":"ID"})" "\n" R"({"id":2,"list":true})" "\n");
  std::optional<std::string> second = client.ReadLine();
  std::optional<std::string> third = client.ReadLine();
  ASSERT_TRUE(second && third);
  EXPECT_EQ(*second, R"({"id":1,"result":"A-3-5000"})");
  EXPECT_EQ(Json::parse(*third)["result"][0]["instance"], "A-3-5000");
  EXPECT_EQ(endpoint->ConnectionCount(), 1u);
  // A line that never ends is refused once longer than the limit.
  client.Send(std::string(AutomationEndpoint::kMaxLine + 1, 'x'));
  EXPECT_TRUE(client.WaitClosed(5000));
}

TEST_F(AutomationEndpointTest, ASubscriberThatLeavesIsDroppedFromTheSink) {
  svc::TestClient watcher = svc::TestClient::Unix(path);
  watcher.SendLine(R"({"id":11,"subscribe":"host"})");
  EXPECT_EQ(watcher.ReadLine(), std::optional<std::string>(R"({"id":11,"result":true})"));
  watcher.Close();
  EXPECT_TRUE(svc::PumpUntil([&] { return endpoint->ConnectionCount() == 0; }));
  EXPECT_NO_THROW(sink->Message("A-3-5000", "after"));
}

TEST_F(AutomationEndpointTest, AStaleSocketIsReplacedAndALiveOneIsNot) {
  AutomationEndpoint second(dispatcher, nullptr);
  try {
    second.Listen(path);
    ADD_FAILURE() << "a socket in use was taken over";
  } catch (const std::runtime_error& e) {
    EXPECT_THAT(e.what(), HasSubstr("in use"));
  }
  // Leave a socket file without a listener behind, as a crash would.
  int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::string stale = dir.File("stale.sock");
  std::memcpy(address.sun_path, stale.c_str(), stale.size() + 1);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ::close(fd);
  EXPECT_NO_THROW(second.Listen(stale));

  WriteFile(dir.File("plain"), "x");  // a file that is no socket is left alone
  EXPECT_THROW(AutomationEndpoint(dispatcher, nullptr).Listen(dir.File("plain")), std::runtime_error);
}

}  // namespace
}  // namespace dvrlink::testing
