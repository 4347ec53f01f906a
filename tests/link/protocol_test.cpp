// The DVR link's message rules and field readers.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "link/link_protocol.h"

namespace dvrlink::testing {
namespace {

using link::Json;
using link::Message;
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

}  // namespace
}  // namespace dvrlink::testing
