// The DVR link's message rules, field readers, line cutting and event queue.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>

#include "link/link_connection.h"
#include "link/link_event_queue.h"
#include "link/link_protocol.h"
#include "platform/platform_state.h"

namespace dvrlink::testing {
namespace {

using link::Json;
using link::Message;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

TEST(LinkProtocolTest, LinesAreClassifiedOrRejectedWithAReason) {
  struct Case {
    const char* line;
    std::optional<Message::Kind> kind;  // nothing: rejected
    const char* name_or_problem;
  };
  const Case cases[] = {
      {R"({"op":"connect","id":1,"login":""})", Message::Kind::kRequest, "connect"},
      {R"({"id":1,"result":{"session":4}})", Message::Kind::kReply, ""},
      {R"({"id":null,"error":{"code":1,"message":"not valid JSON"}})", Message::Kind::kReply, ""},
      {R"({"event":"connected","session":3})", Message::Kind::kEvent, "connected"},
      {R"({bad)", std::nullopt, "not valid JSON"},
      {R"({"id":1,"result":{"session":1e999}})", std::nullopt, "not valid JSON: a number out of range"},
      {R"([1,2])", std::nullopt, "not a JSON object"},
      {R"({"op":5,"id":1})", std::nullopt, "a request needs"},
      {R"({"event":"connected","id":2})", std::nullopt, "an event needs"},
      {R"({"id":1})", std::nullopt, "neither a request"},
      {R"({"id":1,"error":"boom"})", std::nullopt, "an error reply needs"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    std::string problem;
    std::optional<Message> m = link::ParseMessage(c.line, problem);
    ASSERT_EQ(m.has_value(), c.kind.has_value()) << problem;
    if (m) {
      EXPECT_EQ(m->kind, *c.kind);
      EXPECT_EQ(m->name, c.name_or_problem);
    } else {
      EXPECT_THAT(problem, HasSubstr(c.name_or_problem));
    }
  }
}

TEST(LinkProtocolTest, FieldReadersRejectMissingWrongTypedAndOutOfRangeValues) {
  const Json body = Json::parse(
      R"({"camera":2,"big":4294967295,"neg":-1,"real":1.5,"time":"20261204170509","bad_time":"20261332000000"})");
  struct Case {
    const char* name;
    std::function<void()> read;
    const char* error;  // empty: accepted
  };
  const Case cases[] = {
      {"integer in range", [&] { EXPECT_EQ(link::IntField(body, "camera", 0, 15), 2); }, ""},
      {"unsigned 32-bit", [&] { EXPECT_EQ(link::IntField(body, "big", 0, UINT32_MAX), 4294967295); }, ""},
      {"missing", [&] { link::IntField(body, "seconds", 0, 10); }, "missing field \"seconds\""},
      {"fraction", [&] { link::IntField(body, "real", 0, 10); }, "is not an integer"},
      {"below range", [&] { link::IntField(body, "neg", 0, 10); }, "out of range"},
      {"above range", [&] { link::IntField(body, "big", 0, INT32_MAX); }, "out of range"},
      {"fallback when absent", [&] { EXPECT_EQ(link::IntFieldOr(body, "absent", 0, 9, 7), 7); }, ""},
      {"fallback does not hide a bad value", [&] { link::IntFieldOr(body, "real", 0, 9, 7); }, "is not an integer"},
      {"number for a text", [&] { link::TextField(body, "camera"); }, "is not a text"},
      {"valid time", [&] { EXPECT_EQ(link::TimeField(body, "time"), "20261204170509"); }, ""},
      {"month 13", [&] { link::TimeField(body, "bad_time"); }, "not a time of 14 digits"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (*c.error == '\0') {
      EXPECT_NO_THROW(c.read());
    } else {
      try {
        c.read();
        ADD_FAILURE() << "accepted";
      } catch (const link::FieldError& e) {
        EXPECT_THAT(e.what(), HasSubstr(c.error));
      }
    }
  }
}

TEST(LinkProtocolTest, SerializedTextsStayOneValidLineWhateverTheirBytes) {
  Json event = link::MakeEvent("alarm_xml");
  event["xml"] = std::string("caf\xe9\nline two");  // Latin-1 byte and a line end
  std::string line = link::Serialize(event);
  EXPECT_EQ(line.find('\n'), std::string::npos);
  std::string problem;
  std::optional<Message> back = link::ParseMessage(line, problem);
  ASSERT_TRUE(back) << problem;
  EXPECT_EQ(back->body["xml"], "caf\xEF\xBF\xBD\nline two");
}

TEST(LinkProtocolTest, LineSplitterCutsAtLineEndsAndStopsAtTheLimit) {
  link::LineSplitter splitter(8);
  std::string line;
  splitter.Append("one\r\ntwo\nthr");
  ASSERT_EQ(splitter.Take(line), link::LineSplitter::Next::kLine);
  EXPECT_EQ(line, "one");
  ASSERT_EQ(splitter.Take(line), link::LineSplitter::Next::kLine);
  EXPECT_EQ(line, "two");
  EXPECT_EQ(splitter.Take(line), link::LineSplitter::Next::kNone);
  splitter.Append("ee\n\n");
  ASSERT_EQ(splitter.Take(line), link::LineSplitter::Next::kLine);
  EXPECT_EQ(line, "three");
  ASSERT_EQ(splitter.Take(line), link::LineSplitter::Next::kLine);
  EXPECT_EQ(line, "");
  splitter.Append("123456789");
  EXPECT_EQ(splitter.Take(line), link::LineSplitter::Next::kTooLong);
}

TEST(LinkEventQueueTest, EventsComeInOrderFromTheLoopAndCanBeHeldOrDropped) {
  UseManualClock();
  link::LinkEventQueue queue(Loop());
  std::vector<std::string> got;
  auto push = [&](int target, int32_t session, std::string name) {
    queue.Push(target, session, [&got, name] { got.push_back(name); });
  };
  queue.Hold(true);
  push(1, 10, "a");
  push(2, 10, "b");
  push(1, 11, "c");
  push(2, 12, "d");
  Loop().RunOnce(0);
  EXPECT_TRUE(got.empty()) << "held events were delivered";
  queue.DropSession(10);
  queue.DropTarget(2);
  EXPECT_EQ(queue.Pending(), 1u);
  queue.Hold(false);
  EXPECT_TRUE(got.empty()) << "delivered inside the call that released them";
  Loop().RunOnce(0);
  EXPECT_THAT(got, ElementsAre("c"));

  // A sink that throws does not strand the events behind it.
  push(1, 1, "e");
  queue.Push(1, 1, [] { throw std::runtime_error("sink failed"); });
  push(1, 1, "f");
  EXPECT_THROW(Loop().RunOnce(0), std::runtime_error);
  Loop().RunOnce(0);
  EXPECT_THAT(got, ElementsAre("c", "e", "f"));
}

}  // namespace
}  // namespace dvrlink::testing
