// The service in-process: the real service, socket server, automation
// endpoint and status console over faked DVR objects on the manual clock;
// console requests are written by hand and only their status and body read.
#include "service/console.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>

#include "fakes/e2e_service.h"
#include "fakes/svc_test_support.h"
#include "fakes/test_support.h"
#include "service/service.h"
#include "service/service_monitor.h"

namespace dvrlink::testing {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

const char* kToken = "console-token-0123456789";

struct Reply {
  int status = 0;
  std::string body;
};

class ConsoleTest : public ComponentTest {
 protected:
  void SetUp() override {
    ComponentTest::SetUp();
    ASSERT_EQ(::mkdir(dir.File("export").c_str(), 0755), 0);
    port = svc::FreeListenPort();
    id = "A-0-" + std::to_string(port);
  }
  void TearDown() override { service.reset(); }

  // The service over the fakes, its console on a free port; `more` adds sections (unchecked).
  void StartService(const std::string& console = "127.0.0.1:0", const std::string& key = "A",
                    const std::string& more = "") {
    id = key + "-0-" + std::to_string(port);
    const std::string ini = e2e::HostSection(SqliteConnection(), "allowed_clients = 127.0.0.1\nreconnect_seconds = 5\n"
                                             "console = " + console + "\nconsole_token = " + kToken + "\n") +
                            e2e::DvrSection("dvr", {{"address", "10.0.0.5"}, {"listen_port", std::to_string(port)},
                                                    {"name", "DVR0"}, {"key", key}}) + more;
    ServiceOptions options;
    options.register_dvr_objects = false;
    options.write_stdout = false;
    std::vector<std::string> problems;
    service = std::make_unique<Service>(ParseServiceConfig(ini, dir.File("svc.ini"), problems), options, err);
    ASSERT_EQ(service->Start(), 1) << err.str();
    events().PostConnected(11, "10.0.0.5");
    Loop().RunForMillis(100);
  }
  FakeDvrEventCtrl& events() { return *world.event_ctrls.at(0); }

  // One request, answered and closed by the server.
  Reply Http(const std::string& method, const std::string& path, const std::string& token = "",
             const char* source = nullptr) {
    svc::TestClient client = svc::TestClient::Tcp(service->ConsolePort(), source);
    std::string request = method + " " + path + " HTTP/1.1\r\nHost: console\r\nConnection: close\r\n";
    if (!token.empty()) request += "Authorization: Bearer " + token + "\r\n";
    client.Send(request + "\r\n");
    EXPECT_TRUE(client.WaitClosed()) << method << " " << path;
    const std::string& text = client.received();
    Reply reply;
    if (text.size() > 12) reply.status = std::stoi(text.substr(9, 3));
    size_t body = text.find("\r\n\r\n");
    if (body != std::string::npos) reply.body = text.substr(body + 4);
    return reply;
  }
  Json Instance() {
    Reply r = Http("GET", "/api/instances");
    EXPECT_EQ(r.status, 200) << r.body;
    Json list = Json::parse(r.body);
    EXPECT_EQ(list.size(), 1u);
    return list.at(0);
  }
  // A sample of /metrics, by its exact name and label text.
  double Metric(const std::string& sample) {
    std::string text = Http("GET", "/metrics").body;
    std::smatch m;
    std::regex line("(^|\n)" + std::regex_replace(sample, std::regex(R"([{}\[\]().*+?^$|\\])"), R"(\$&)") +
                    " ([0-9.e+-]+)\n");
    return std::regex_search(text, m, line) ? std::stod(m[2]) : -1;
  }

  uint16_t port = 0;
  std::string id;
  std::ostringstream err;
  std::unique_ptr<Service> service;
};

TEST_F(ConsoleTest, AccessRulesComeBeforeEveryRequest) {
  ASSERT_NO_FATAL_FAILURE(StartService());
  struct Case {
    const char* name;
    const char* source;
    std::string method, path, token;
    int status;
    std::string body;
  };
  const std::vector<Case> cases = {
      {"a reading client", "127.0.0.1", "GET", "/api/instances", "", 200, "[{\"id\":\"" + id},
      {"a client outside allowed_clients", "127.0.0.2", "GET", "/api/instances", "", 403,
       R"({"error":"client 127.0.0.2:)"},
      {"an action without the token", "127.0.0.1", "POST", "/api/instances/" + id + "/timesync", "", 401,
       R"j({"error":"this action needs the console token (Authorization: Bearer)"})j"},
      {"an action with another token", "127.0.0.1", "POST", "/api/instances/" + id + "/timesync", "wrong-token-0123456789", 401, "{\"error\""},
      {"an action with the token", "127.0.0.1", "POST", "/api/instances/" + id + "/timesync", kToken, 200,
       R"({"result":true})"},
      {"an unknown action", "127.0.0.1", "POST", "/api/instances/" + id + "/reboot", kToken, 404,
       R"j({"error":"no action reboot (connect, timesync, debug-mode, exit, release-grant)"})j"},
      {"the page", "127.0.0.1", "GET", "/", "", 200, "<!doctype html>"},
      {"nothing there", "127.0.0.1", "GET", "/etc/passwd", "", 404, R"({"error":"nothing at /etc/passwd"})"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Reply r = Http(c.method, c.path, c.token, c.source);
    EXPECT_EQ(r.status, c.status) << r.body;
    EXPECT_THAT(r.body, StartsWith(c.body));
  }
  EXPECT_EQ(world.remotes.at(0)->time_syncs.size(), 1u);  // only the call with the token
  EXPECT_THAT(ServiceLog(), HasSubstr("dvrlink, console: timesync on " + id + " by client 127.0.0.1:"));
}

TEST_F(ConsoleTest, TheInstanceShowsSessionsReconnectQueuesAndTheGrantHolderUntilReleased) {
  ASSERT_NO_FATAL_FAILURE(StartService());
  Json i = Instance();
  EXPECT_EQ(i["event_session"]["connected"], true);
  EXPECT_EQ(i["grant"], Json::parse(R"({"held":false})"));

  // Two clients ask for recordings: the first holds the grant, the second waits.
  svc::TestClient first = svc::TestClient::Tcp(port), second = svc::TestClient::Tcp(port);
  const std::string S(1, 24), P(1, 26), E(1, 25);
  first.Send(S + "33" + P + "2" + P + "12/04/2026 10:00:00" + P + "12/04/2026 10:00:30" + P + "a.dvr" + E);
  first.ReceiveUntil([&](const std::string& t) { return t.find(S + "45" + P) != std::string::npos; }, 5000);
  second.Send(S + "33" + P + "5" + P + "12/04/2026 10:00:00" + P + "12/04/2026 10:00:30" + P + "b.dvr" + E);
  second.ReceiveUntil([&](const std::string& t) { return t.find("33" + P + "OK") != std::string::npos; });
  clock->Advance(7000 * 1000);
  i = Instance();
  EXPECT_EQ(i["grant"]["held"], true);
  EXPECT_EQ(i["grant"]["client"], 1);
  EXPECT_EQ(i["grant"]["held_seconds"], 7);
  EXPECT_EQ(i["queues"]["video"], Json::parse(R"({"depth":1,"slots":301})"));
  EXPECT_EQ(Metric("dvrlink_grant_held_seconds{instance=\"" + id + "\"}"), 7);
  EXPECT_EQ(Metric("dvrlink_queue_depth{instance=\"" + id + "\",queue=\"video\"}"), 1);

  EXPECT_EQ(Http("POST", "/api/instances/" + id + "/release-grant", kToken).body, R"({"result":true})");
  second.ReceiveUntil([&](const std::string& t) { return t.find(S + "45" + P + "5") != std::string::npos; }, 5000);
  EXPECT_NE(second.received().find(S + "45" + P + "5"), std::string::npos);
  EXPECT_EQ(Instance()["grant"]["client"], 2);
  EXPECT_THAT(DebugLog(), HasSubstr("released from the console by client 127.0.0.1:"));

  // The DVR drops the session: the card shows it and the retry to come.
  events().PostDisconnected(11, "10.0.0.5");
  Loop().RunForMillis(100);
  i = Instance();
  EXPECT_EQ(i["event_session"]["connected"], false);
  EXPECT_EQ(i["reconnect"]["pending"], true);
  EXPECT_EQ(i["reconnect"]["next_try"], LocalTimeText(5000 * 1000 - 100 * 1000));
  Loop().RunForMillis(5000);
  EXPECT_EQ(Instance()["reconnect"]["attempts"], 1);
  EXPECT_EQ(Metric("dvrlink_reconnects_total{instance=\"" + id + "\"}"), 1);
}

TEST_F(ConsoleTest, HostEventsStreamLiveAndTheCountersMoveWithThem) {
  // A key with a quote: the metrics' labels escape it.
  ASSERT_NO_FATAL_FAILURE(StartService("127.0.0.1:0", "Q\""));
  const std::string label = "Q\\\"-0-" + std::to_string(port);
  const std::string code = "dvrlink_host_events_total{instance=\"" + label + "\",code=\"10321\"}";
  EXPECT_EQ(Metric(code), -1);
  EXPECT_EQ(Metric("dvrlink_event_session_connected{instance=\"" + label + "\"}"), 1);
  const double title_lines = Metric("dvrlink_log_lines_total{log=\"title\"}");
  EXPECT_GT(title_lines, 0);

  // A video loss looks the DVR up in a database without tables: one failed call.
  EXPECT_EQ(Metric("dvrlink_db_calls_total{instance=\"" + label + "\"}"), 0);
  events().alarm_ctrl->sink()->OnAlarmBegin2(11, "10.0.0.5", 1, "20261204170509", "VIDEOLOSS", 0, "", "1");
  EXPECT_EQ(Metric("dvrlink_db_calls_total{instance=\"" + label + "\"}"), 1);
  EXPECT_EQ(Metric("dvrlink_db_failures_total{instance=\"" + label + "\"}"), 1);
  EXPECT_EQ(Metric("dvrlink_error_lines_total{instance=\"" + label + "\"}"), 1);
  EXPECT_THAT(Instance()["last_error"]["text"].get<std::string>(), StartsWith("??? "));

  svc::TestClient stream = svc::TestClient::Tcp(service->ConsolePort());
  stream.Send("GET /api/events HTTP/1.1\r\nHost: c\r\nAccept: text/event-stream\r\n\r\n");
  stream.ReceiveUntil([](const std::string& t) { return t.find("retry: 2000") != std::string::npos; });
  events().PostDisconnected(11, "10.0.0.5");
  stream.ReceiveUntil([](const std::string& t) { return t.find("10321") != std::string::npos; });
  EXPECT_THAT(stream.received(), HasSubstr("Content-Type: text/event-stream\r\n"));
  EXPECT_THAT(stream.received(), HasSubstr("retry: 2000\n\n"));
  EXPECT_THAT(stream.received(), HasSubstr("data: {\"kind\":\"host_event\",\"instance\":\"Q\\\"-0-"));
  EXPECT_EQ(Metric(code), 1);
  EXPECT_EQ(Metric("dvrlink_event_session_connected{instance=\"" + label + "\"}"), 0);
  EXPECT_GT(Metric("dvrlink_log_lines_total{log=\"title\"}"), title_lines);
  Json recent = Json::parse(Http("GET", "/api/events").body);
  ASSERT_EQ(recent.size(), 2u);
  EXPECT_EQ(recent[1]["code"], 10321);
  service->Targets().at(0).instance->ServerExtIDVR_Callback(207, 1, "confirmed");
  EXPECT_EQ(Metric("dvrlink_host_callbacks_total{instance=\"" + label + "\",type=\"207\"}"), 1);
}

// The service's wiring of instances, host sink and automation endpoint.
class ServiceWiringTest : public ConsoleTest {};

TEST_F(ServiceWiringTest, AutomationCallsAndSubscribersGoThroughTheEndpoint) {
  ASSERT_NO_FATAL_FAILURE(StartService());
  svc::TestClient watcher = svc::TestClient::Unix(dir.File("s.sock"));
  svc::TestClient caller = svc::TestClient::Unix(dir.File("s.sock"));
  watcher.SendLine(R"({"id":1,"subscribe":"host"})");
  ASSERT_EQ(watcher.ReadLine(), std::optional<std::string>(R"({"id":1,"result":true})"));

  caller.SendLine(R"({"id":2,"instance":0,"method":"UpdateExternalTriggerParameters","args":[[true],[""]]})");
  caller.SendLine(R"({"id":3,"instance":0,"method":"ServerExtIDVR_Callback","args":[207,1,"confirmed",104]})");
  EXPECT_EQ(caller.ReadLine(), std::optional<std::string>(R"({"id":2,"result":null})"));
  EXPECT_EQ(caller.ReadLine(), std::optional<std::string>(R"({"id":3,"result":null})"));

  std::optional<std::string> first = watcher.ReadLine();
  std::optional<std::string> second = watcher.ReadLine();
  ASSERT_TRUE(first && second);
  Json event = Json::parse(*first)["host"];
  EXPECT_EQ(event["kind"], "host_event");
  EXPECT_EQ(event["code"], 10314);
  EXPECT_EQ(event["fields"][3], "10.0.0.5");
  Json callback = Json::parse(*second)["host"];
  EXPECT_EQ(callback["kind"], "callback");
  EXPECT_EQ(callback["type"], 207);
  EXPECT_EQ(callback["ident"], "104");
  // The same lines follow the start's 10322 in the events file.
  EXPECT_EQ(ReadLines(dir.File("host-events.jsonl")).size(), 3u);
}

TEST_F(ServiceWiringTest, AnInstanceThatFailsDoesNotStopTheOthers) {
  // Port 40000 overflows ServerPort: that Initialize fails while the first one waits in its connect.
  ASSERT_NO_FATAL_FAILURE(StartService("127.0.0.1:0", "A", e2e::DvrSection("dvr.1", {{"number", "1"}, {"listen_port", "40000"}})));
  EXPECT_THAT(err.str(), HasSubstr("[dvr] " + id + " started"));
  EXPECT_THAT(err.str(), HasSubstr("[dvr.1] A-1-40000: Initialize returned False: ??? Dvrlink, Initialize-A-1-40000"));
  EXPECT_THAT(err.str(), Not(HasSubstr(id + ": Initialize returned")));
  std::vector<AutomationTarget> targets = service->Targets();
  ASSERT_EQ(targets.size(), 2u);
  EXPECT_TRUE(targets[0].started);
  EXPECT_FALSE(targets[1].started);
}

TEST(ServiceMonitorTest, OpenDescriptorsAreThoseOfTheProcessWithoutTheListingsOwn) {
  namespace fs = std::filesystem;
  // Less the iterator's own descriptor.
  const int64_t before = std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator()) - 1;
  EXPECT_EQ(OpenDescriptors(), before);
  net::UniqueFd extra(::dup(0));
  EXPECT_EQ(OpenDescriptors(), before + 1);
}

}  // namespace
}  // namespace dvrlink::testing
