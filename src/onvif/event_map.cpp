#include "onvif/event_map.h"

#include <libxml/tree.h>

#include <algorithm>

#include "onvif/soap.h"

namespace dvrlink::onvif {
namespace {

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

std::string Upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::toupper(c); });
  return text;
}

std::vector<SimpleItem> Items(const xmlNode* list) {
  std::vector<SimpleItem> items;
  for (xmlNodePtr item : Children(list, ns::kSchema, "SimpleItem")) {
    items.push_back(SimpleItem{Attr(item, "Name"), Attr(item, "Value")});
  }
  return items;
}

const std::string* FindItem(const std::vector<SimpleItem>& items, const std::string& name) {
  for (const SimpleItem& item : items) {
    if (Lower(item.name) == Lower(name)) return &item.value;
  }
  return nullptr;
}

struct BuiltInWord {
  const char* topic;
  const char* word;
  SourceKind kind;
};

// Topics the DVR link names with the words of the alert table. Longer paths
// come before the paths they continue.
const BuiltInWord kBuiltInWords[] = {
    {"tns1:VideoSource/MotionAlarm", "MOTION", SourceKind::kCamera},
    {"tns1:RuleEngine/CellMotionDetector", "MOTION", SourceKind::kCamera},
    {"tns1:RuleEngine/MotionRegionDetector", "MOTION", SourceKind::kCamera},
    {"tns1:Device/Trigger/DigitalInput", "ALARMIN", SourceKind::kInput},
    {"tns1:Device/Trigger/Relay", "OVERRIDE", SourceKind::kRelay},
    {"tns1:VideoSource/SignalLoss", "VIDEOLOSS", SourceKind::kCamera},
    // Tampering: the picture no longer matches the camera's reference scene,
    // or its light level is out of range.
    {"tns1:RuleEngine/TamperDetector", "NO REFERENCE FO", SourceKind::kCamera},
    {"tns1:VideoSource/GlobalSceneChange", "NO REFERENCE FO", SourceKind::kCamera},
    {"tns1:VideoSource/ImageTooBlurry", "NO REFERENCE FO", SourceKind::kCamera},
    {"tns1:VideoSource/ImageTooDark", "LIGHT", SourceKind::kCamera},
    {"tns1:VideoSource/ImageTooBright", "LIGHT", SourceKind::kCamera},
    // Analytics rules.
    {"tns1:RuleEngine/LineDetector", "PERIMETER", SourceKind::kCamera},
    {"tns1:RuleEngine/FieldDetector", "PRESENCE", SourceKind::kCamera},
    {"tns1:RuleEngine/LoiteringDetector", "LOITERING", SourceKind::kCamera},
    {"tns1:RuleEngine/CountAggregation", "PEOPLE COUNTING", SourceKind::kCamera},
};

}  // namespace

const std::string* Notification::SourceItem(const std::string& name) const { return FindItem(source, name); }
const std::string* Notification::DataItem(const std::string& name) const { return FindItem(data, name); }

std::string Notification::DataText() const {
  std::string text;
  for (const SimpleItem& item : data) text += (text.empty() ? "" : " ") + item.name + "=" + item.value;
  return text;
}

std::vector<Notification> ReadNotifications(const xmlNode* parent) {
  std::vector<Notification> found;
  for (xmlNodePtr message_node : Children(parent, ns::kNotification, "NotificationMessage")) {
    Notification n;
    xmlNodePtr topic = Child(message_node, ns::kNotification, "Topic");
    auto [uri, path] = ResolveQName(topic, Text(topic));
    n.topic = (uri == ns::kTopics ? std::string("tns1") : uri) + ":" + path;
    xmlNodePtr message = Child(Child(message_node, ns::kNotification, "Message"), ns::kSchema, "Message");
    n.utc = ParseUtc(Attr(message, "UtcTime"));
    n.operation = Attr(message, "PropertyOperation");
    n.source = Items(Child(message, ns::kSchema, "Source"));
    n.data = Items(Child(message, ns::kSchema, "Data"));
    xmlBufferPtr buffer = xmlBufferCreate();
    xmlNodeDump(buffer, message_node->doc, message_node, 0, 0);
    n.xml.assign(reinterpret_cast<const char*>(xmlBufferContent(buffer)), static_cast<size_t>(xmlBufferLength(buffer)));
    xmlBufferFree(buffer);
    found.push_back(std::move(n));
  }
  return found;
}

bool TopicStartsWith(const std::string& topic, const std::string& prefix) {
  std::string t = Lower(topic);
  std::string p = Lower(prefix);
  return t.compare(0, p.size(), p) == 0 && (t.size() == p.size() || t[p.size()] == '/');
}

AlarmClass ClassifyTopic(const std::string& topic, const std::vector<TopicWord>& configured) {
  for (const TopicWord& entry : configured) {
    if (TopicStartsWith(topic, entry.topic)) return AlarmClass{entry.word, SourceKind::kCamera};
  }
  for (const BuiltInWord& entry : kBuiltInWords) {
    if (TopicStartsWith(topic, entry.topic)) return AlarmClass{entry.word, entry.kind};
  }
  size_t slash = topic.find_last_of("/:");
  return AlarmClass{Upper(slash == std::string::npos ? topic : topic.substr(slash + 1)), SourceKind::kCamera};
}

std::optional<bool> ActiveState(const Notification& n) {
  for (const SimpleItem& item : n.data) {
    std::string value = Lower(item.value);
    if (value == "true" || value == "active") return true;
    if (value == "false" || value == "inactive") return false;
  }
  return std::nullopt;
}

std::optional<SystemEventRule> ParseSystemEventRule(const std::string& text, std::string& error) {
  std::vector<std::string> words;
  size_t pos = 0;
  while ((pos = text.find_first_not_of(" \t", pos)) != std::string::npos) {
    size_t end = text.find_first_of(" \t", pos);
    words.push_back(text.substr(pos, end == std::string::npos ? std::string::npos : end - pos));
    pos = end;
  }
  if (words.size() < 2 || words.size() > 3) {
    error = "expected CODE TOPIC [ITEM=VALUE]";
    return std::nullopt;
  }
  SystemEventRule rule;
  const std::string& code = words[0];
  bool hex = code.size() > 2 && (code.compare(0, 2, "0x") == 0 || code.compare(0, 2, "0X") == 0);
  std::string digits = hex ? code.substr(2) : code;
  const char* allowed = hex ? "0123456789abcdefABCDEF" : "0123456789";
  if (digits.empty() || digits.size() > (hex ? 8u : 10u) || digits.find_first_not_of(allowed) != std::string::npos ||
      std::stoull(digits, nullptr, hex ? 16 : 10) > 0xFFFFFFFFull) {
    error = "the code '" + code + "' is not a 32-bit number (0x... or decimal)";
    return std::nullopt;
  }
  rule.code = static_cast<uint32_t>(std::stoull(digits, nullptr, hex ? 16 : 10));
  rule.topic = words[1];
  if (words.size() == 3) {
    size_t eq = words[2].find('=');
    if (eq == std::string::npos || eq == 0) {
      error = "'" + words[2] + "' is not ITEM=VALUE";
      return std::nullopt;
    }
    rule.item = words[2].substr(0, eq);
    rule.value = words[2].substr(eq + 1);
  }
  return rule;
}

std::optional<TopicWord> ParseTopicWord(const std::string& text, std::string& error) {
  std::string trimmed = text;
  trimmed.erase(trimmed.find_last_not_of(" \t") + 1);
  size_t blank = trimmed.find_last_of(" \t");
  std::string word = blank == std::string::npos ? "" : trimmed.substr(0, blank);
  word.erase(0, word.find_first_not_of(" \t"));
  word.erase(word.find_last_not_of(" \t") + 1);
  if (word.empty()) {
    error = "expected WORD TOPIC";
    return std::nullopt;
  }
  return TopicWord{Upper(word), trimmed.substr(blank + 1)};
}

const std::vector<SystemEventRule>& DefaultSystemEventRules() {
  static const std::vector<SystemEventRule> rules = {
      {0xC00407D0u, "tns1:Device/HardwareFailure/StorageFailure", "Failed", "true"},
      {0xC00407D1u, "tns1:RecordingConfig/JobState", "State", "Error"},
      {0xC00407D2u, "tns1:Device/Network/LinkStatus", "Connected", "false"},
      {0xC00407D3u, "tns1:Device/Network/LinkStatus", "Connected", "true"},
      {0xC00407D4u, "tns1:Monitoring/OperatingTime/LastReboot", "", ""},
      {0xC00407D5u, "tns1:Device/HardwareFailure/PowerSupplyFailure", "Failed", "true"},
      {0xC00407D7u, "tns1:Device/HardwareFailure/FanFailure", "Failed", "true"},
      {0xC00407D8u, "tns1:Device/HardwareFailure/TemperatureCritical", "Critical", "true"},
      {0xC00407D9u, "tns1:Monitoring/OperatingTime/LastReset", "", ""},
  };
  return rules;
}

bool IsHealthTopic(const std::string& topic, const std::vector<SystemEventRule>& configured) {
  for (const auto* rules : {&configured, &DefaultSystemEventRules()}) {
    for (const SystemEventRule& rule : *rules) {
      if (TopicStartsWith(topic, rule.topic)) return true;
    }
  }
  return false;
}

std::optional<uint32_t> SystemEventCode(const Notification& n, const std::vector<SystemEventRule>& configured) {
  for (const auto* rules : {&configured, &DefaultSystemEventRules()}) {
    for (const SystemEventRule& rule : *rules) {
      if (!TopicStartsWith(n.topic, rule.topic)) continue;
      if (rule.item.empty()) return rule.code;
      const std::string* value = n.DataItem(rule.item);
      if (value && Lower(*value) == Lower(rule.value)) return rule.code;
    }
  }
  return std::nullopt;
}

}  // namespace dvrlink::onvif
