// ONVIF notifications read, their topics' words and states, system events.
#include "onvif/event_map.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "onvif/soap.h"

namespace dvrlink::onvif {
namespace {

Notification WithData(const std::string& topic, std::vector<SimpleItem> data, const std::string& operation = "") {
  Notification n;
  n.topic = topic;
  n.data = std::move(data);
  n.operation = operation;
  return n;
}

TEST(EventMapTest, ReadNotificationsResolvesTheDevicesPrefixes) {
  const std::string text = R"(<env:Envelope xmlns:env="http://www.w3.org/2003/05/soap-envelope"
      xmlns:n="http://docs.oasis-open.org/wsn/b-2" xmlns:s="http://www.onvif.org/ver10/schema"
      xmlns:ev="http://www.onvif.org/ver10/topics" xmlns:v="urn:vendor"><env:Body>
    <PullMessagesResponse xmlns="http://www.onvif.org/ver10/events/wsdl">
      <n:NotificationMessage><n:Topic Dialect="x">ev:VideoSource/MotionAlarm</n:Topic><n:Message>
        <s:Message UtcTime="2026-12-05T10:00:01.5Z" PropertyOperation="Changed">
          <s:Source><s:SimpleItem Name="VideoSourceToken" Value="VS_2"/></s:Source>
          <s:Data><s:SimpleItem Name="State" Value="true"/></s:Data></s:Message></n:Message></n:NotificationMessage>
      <n:NotificationMessage><n:Topic>v:Doors/Forced</n:Topic><n:Message><s:Message>
          <s:Data><s:SimpleItem Name="Count" Value="3"/><s:SimpleItem Name="Open" Value="Active"/></s:Data>
      </s:Message></n:Message></n:NotificationMessage>
    </PullMessagesResponse></env:Body></env:Envelope>)";
  std::string error;
  std::optional<SoapMessage> m = ReadEnvelope(text, error);
  ASSERT_TRUE(m) << error;
  std::vector<Notification> found = ReadNotifications(m->payload);
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].topic, "tns1:VideoSource/MotionAlarm");
  EXPECT_EQ(found[0].utc, UtcFromParts(2026, 12, 5, 10, 0, 1));
  EXPECT_EQ(found[0].operation, "Changed");
  ASSERT_NE(found[0].SourceItem("videosourcetoken"), nullptr);
  EXPECT_EQ(*found[0].SourceItem("videosourcetoken"), "VS_2");
  EXPECT_EQ(ActiveState(found[0]), true);
  EXPECT_NE(found[0].xml.find("MotionAlarm"), std::string::npos);
  EXPECT_EQ(found[1].topic, "urn:vendor:Doors/Forced");
  EXPECT_EQ(found[1].utc, std::nullopt);
  EXPECT_EQ(found[1].DataText(), "Count=3 Open=Active");
  EXPECT_EQ(ActiveState(found[1]), true);
}

TEST(EventMapTest, TopicsBecomeTheWordsOfTheAlertTable) {
  const std::vector<TopicWord> configured = {{"PATH DETECTION", "tns1:RuleEngine/MyRule"},
                                             {"VMD", "tns1:VideoSource/MotionAlarm/Cell9"}};
  struct Case {
    const char* topic;
    const char* word;
    SourceKind kind;
  };
  const Case cases[] = {
      {"tns1:VideoSource/MotionAlarm", "MOTION", SourceKind::kCamera},
      {"tns1:VideoSource/MotionAlarm/Cell9", "VMD", SourceKind::kCamera},
      {"tns1:Device/Trigger/DigitalInput", "ALARMIN", SourceKind::kInput},
      {"tns1:Device/Trigger/Relay", "OVERRIDE", SourceKind::kRelay},
      {"tns1:RuleEngine/LineDetector/Crossed", "PERIMETER", SourceKind::kCamera},
      {"tns1:RuleEngine/MyRule/Alarm", "PATH DETECTION", SourceKind::kCamera},
      // Whole segments only, any letter case; else the last segment.
      {"tns1:VideoSource/MotionAlarmed", "MOTIONALARMED", SourceKind::kCamera},
      {"TNS1:videosource/signalloss", "VIDEOLOSS", SourceKind::kCamera},
      {"urn:vendor:Doors/Forced", "FORCED", SourceKind::kCamera},
      {"Bare", "BARE", SourceKind::kCamera},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.topic);
    AlarmClass cls = ClassifyTopic(c.topic, configured);
    EXPECT_EQ(cls.word, c.word);
    EXPECT_EQ(cls.kind, c.kind);
  }
}

TEST(EventMapTest, StatesArePropertiesOrPulses) {
  struct Case {
    std::vector<SimpleItem> data;
    std::optional<bool> state;
  };
  const Case cases[] = {
      {{{"State", "true"}}, true},      {{{"LogicalState", "inactive"}}, false},
      {{{"IsMotion", "FALSE"}}, false}, {{{"ObjectId", "1"}, {"IsInside", "Active"}}, true},
      {{{"ObjectId", "1"}}, {}},        {{}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.data.empty() ? "none" : c.data.back().name);
    EXPECT_EQ(ActiveState(WithData("tns1:X", c.data)), c.state);
  }
}

TEST(EventMapTest, HealthTopicsGiveSystemEventCodes) {
  std::string error;
  std::vector<SystemEventRule> configured = {*ParseSystemEventRule("0xC00407D9 v:Disk/Full", error),
                                             *ParseSystemEventRule("3221489618 v:Link Up=no", error)};
  struct Case {
    Notification n;
    bool health;
    std::optional<uint32_t> code;
  };
  const Case cases[] = {
      {WithData("tns1:Device/HardwareFailure/StorageFailure", {{"Failed", "TRUE"}}), true, 0xC00407D0u},
      {WithData("tns1:Device/HardwareFailure/StorageFailure", {{"Failed", "false"}}), true, {}},
      {WithData("tns1:RecordingConfig/JobState", {{"State", "Error"}}), true, 0xC00407D1u},
      {WithData("tns1:Device/Network/LinkStatus", {{"Connected", "false"}}), true, 0xC00407D2u},
      {WithData("v:Disk/Full", {}), true, 0xC00407D9u},
      {WithData("v:Link", {{"Up", "No"}}), true, 0xC00407D2u},
      {WithData("v:Link", {{"Up", "yes"}}), true, {}},
      {WithData("tns1:VideoSource/MotionAlarm", {{"State", "true"}}), false, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.n.topic + " " + c.n.DataText());
    EXPECT_EQ(IsHealthTopic(c.n.topic, configured), c.health);
    EXPECT_EQ(SystemEventCode(c.n, configured), c.code);
  }
}

// A word without a topic is refused in BridgeConfigTest.EachBrokenRule...
TEST(EventMapTest, ConfiguredRulesAndWordsAreReadOrRefusedWithTheReason) {
  struct Case {
    const char* text;
    const char* error;  // nullptr: read
  };
  const Case rules[] = {
      {"4294967295 tns1:A", nullptr},
      {"4294967296 tns1:A", "the code '4294967296' is not a 32-bit number (0x... or decimal)"},
      {"0xC00407D0", "expected CODE TOPIC [ITEM=VALUE]"},
      {"1 tns1:A State", "'State' is not ITEM=VALUE"},
  };
  for (const Case& c : rules) {
    SCOPED_TRACE(c.text);
    std::string error;
    std::optional<SystemEventRule> rule = ParseSystemEventRule(c.text, error);
    EXPECT_EQ(rule.has_value(), c.error == nullptr);
    EXPECT_EQ(error, c.error ? c.error : "");
  }
  std::string error;
  std::optional<SystemEventRule> rule = ParseSystemEventRule("0xc00407d0 tns1:A/B State=Error", error);
  EXPECT_EQ(rule->code, 0xC00407D0u);
  EXPECT_EQ(rule->item + "=" + rule->value, "State=Error");
  std::optional<TopicWord> word = ParseTopicWord("  Path Detection   tns1:RuleEngine/X  ", error);
  ASSERT_TRUE(word);
  EXPECT_EQ(word->word, "PATH DETECTION");
  EXPECT_EQ(word->topic, "tns1:RuleEngine/X");
}

}  // namespace
}  // namespace dvrlink::onvif
