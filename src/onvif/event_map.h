// ONVIF notifications and what the DVR link makes of them: a notification
// message read from a PullMessages answer (topic, time, property operation,
// source and data items), the alarm-type word of its topic, its state (a
// property that goes true/false, or a pulse), and the system-event code of
// the health topics. docs/onvif.md has the tables.
#pragma once

#include <libxml/tree.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace dvrlink::onvif {

struct SimpleItem {
  std::string name;
  std::string value;
};

struct Notification {
  // The topic with the ONVIF topic namespace written "tns1:" whatever prefix
  // the device used ("tns1:VideoSource/MotionAlarm").
  std::string topic;
  // UtcTime in seconds since 1970; nothing when the message has none.
  std::optional<int64_t> utc;
  // PropertyOperation: "Initialized", "Changed", "Deleted", or "".
  std::string operation;
  std::vector<SimpleItem> source;
  std::vector<SimpleItem> data;
  // The message's XML text (for system_event_xml).
  std::string xml;

  const std::string* SourceItem(const std::string& name) const;
  const std::string* DataItem(const std::string& name) const;
  // "name=value name=value" of the data items.
  std::string DataText() const;
};

// Every wsnt:NotificationMessage below parent (a PullMessagesResponse).
std::vector<Notification> ReadNotifications(const xmlNode* parent);

// What a topic's source names: a camera (video source), a digital input or a
// relay output.
enum class SourceKind { kCamera, kInput, kRelay };

// An alarm-type word for the topics that start with a topic path (whole
// segments), from the configuration.
struct TopicWord {
  std::string word;
  std::string topic;
};

struct AlarmClass {
  std::string word;
  SourceKind kind = SourceKind::kCamera;
};

// The alarm word of a topic: the configured words first, then the built-in
// table (MOTION, ALARMIN, VIDEOLOSS, OVERRIDE, the tampering and analytics
// words), else the topic's last segment in upper case.
AlarmClass ClassifyTopic(const std::string& topic, const std::vector<TopicWord>& configured);

// The state a message reports: true/false for a property (the first data item
// reading true/false or active/inactive), nothing for a pulse.
std::optional<bool> ActiveState(const Notification& n);

// A rule of the system-event table: messages of the topic (and, when item is
// set, whose data item has that value, any letter case) raise the code.
struct SystemEventRule {
  uint32_t code = 0;
  std::string topic;
  std::string item;
  std::string value;
};
// "CODE TOPIC [ITEM=VALUE]" (CODE 0x... or decimal); nothing, with the reason
// in error, when the text is not one.
std::optional<SystemEventRule> ParseSystemEventRule(const std::string& text, std::string& error);
// "WORD TOPIC": the topic is the last word, the alarm word everything before
// it (it may hold blanks: "PATH DETECTION tns1:RuleEngine/MyRule").
std::optional<TopicWord> ParseTopicWord(const std::string& text, std::string& error);
// The built-in health table (storage, recording, network, reboot, power, fan,
// temperature).
const std::vector<SystemEventRule>& DefaultSystemEventRules();
// Whether a topic is one of the table's (configured or built in): its
// messages are system events or nothing, never alarms.
bool IsHealthTopic(const std::string& topic, const std::vector<SystemEventRule>& configured);
// The code of a health message: configured rules first, then the defaults.
std::optional<uint32_t> SystemEventCode(const Notification& n, const std::vector<SystemEventRule>& configured);

// Whether topic equals prefix or continues it after a "/".
bool TopicStartsWith(const std::string& topic, const std::string& prefix);

}  // namespace dvrlink::onvif
