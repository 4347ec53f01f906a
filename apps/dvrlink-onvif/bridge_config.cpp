#include "dvrlink-onvif/bridge_config.h"

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/ini_file.h"

namespace dvrlink::onvif {
namespace {

struct Context {
  const std::string& file;
  const std::string& folder;
};

[[noreturn]] void Fail(const Context& c, const IniEntry& e, const std::string& section, const std::string& what) {
  throw BridgeConfigError(c.file + ":" + std::to_string(e.line) + ": key '" + e.key + "' in [" + section + "]: " +
                          what);
}

std::string Lower(std::string text) {
  for (char& ch : text) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  return text;
}

int64_t Number(const Context& c, const IniEntry& e, const std::string& section, int64_t min, int64_t max) {
  const std::string& v = e.value;
  if (v.empty() || v.size() > 12 || v.find_first_not_of("0123456789") != std::string::npos ||
      std::stoll(v) < min || std::stoll(v) > max) {
    Fail(c, e, section, "'" + v + "' is not a whole number from " + std::to_string(min) + " to " + std::to_string(max));
  }
  return std::stoll(v);
}

bool Flag(const Context& c, const IniEntry& e, const std::string& section) {
  std::string v = Lower(e.value);
  if (v == "true" || v == "yes" || v == "on" || v == "1") return true;
  if (v == "false" || v == "no" || v == "off" || v == "0") return false;
  Fail(c, e, section, "'" + e.value + "' is not true or false");
}

std::string Resolve(const Context& c, const std::string& path) {
  std::filesystem::path p(path);
  return (p.is_absolute() ? p : std::filesystem::path(c.folder) / p).lexically_normal().string();
}

void ParseDevice(const Context& c, const IniSection& s, BridgeConfig& config) {
  const std::string name = "device";
  bool password_given = false;
  for (const IniEntry& e : s.entries()) {
    std::string key = Lower(e.key);
    if (key == "url") {
      std::string lower = Lower(e.value);
      if (lower.rfind("http://", 0) != 0 && lower.rfind("https://", 0) != 0) {
        Fail(c, e, name, "the device URL must start with http:// or https://");
      }
      std::string authority = e.value.substr(e.value.find("//") + 2);
      if (authority.substr(0, authority.find('/')).find('@') != std::string::npos) {
        Fail(c, e, name, "put the user and password in their own keys, not in the URL");
      }
      config.url = e.value;
    } else if (key == "user") {
      config.user = e.value;
    } else if (key == "password" || key == "password_file") {
      if (password_given) Fail(c, e, name, "give either password or password_file");
      password_given = true;
      if (key == "password") {
        config.password = e.value;
      } else {
        std::ifstream in(Resolve(c, e.value));
        if (!in) Fail(c, e, name, "cannot read the file " + Resolve(c, e.value));
        std::getline(in, config.password);
      }
    } else if (key == "auth") {
      std::string v = Lower(e.value);
      if (v == "auto") {
        config.auth = AuthMode::kAuto;
      } else if (v == "digest") {
        config.auth = AuthMode::kDigest;
      } else if (v == "username_token") {
        config.auth = AuthMode::kUsernameToken;
      } else {
        Fail(c, e, name, "'" + e.value + "' is not auto, digest or username_token");
      }
    } else if (key == "time_zone") {
      config.time_zone = e.value;
    } else if (key == "tls_ca_file") {
      config.tls_ca_file = Resolve(c, e.value);
    } else if (key == "tls_pinned_key") {
      config.tls_pinned_key = e.value.rfind("sha256//", 0) == 0 ? e.value : Resolve(c, e.value);
    } else if (key == "tls_allow_self_signed") {
      config.tls_allow_self_signed = Flag(c, e, name);
    } else if (key == "request_timeout_ms") {
      config.request_timeout_ms = Number(c, e, name, 100, 600000);
    } else if (key == "pull_seconds") {
      config.pull_seconds = Number(c, e, name, 1, 600);
    } else if (key == "subscription_seconds") {
      config.subscription_seconds = Number(c, e, name, 10, 86400);
    } else if (key == "retry_seconds") {
      config.retry_seconds = Number(c, e, name, 1, 3600);
    } else if (key == "replay_stall_seconds") {
      config.replay_stall_seconds = Number(c, e, name, 1, 600);
    } else {
      Fail(c, e, name, "unknown key");
    }
  }
  if (config.url.empty()) {
    throw BridgeConfigError(c.file + ":" + std::to_string(s.line()) + ": [device] needs the key 'url'");
  }
}

void ParseLink(const Context& c, const IniSection& s, BridgeConfig& config) {
  const std::string name = "link";
  for (const IniEntry& e : s.entries()) {
    std::string key = Lower(e.key);
    if (key == "bind") {
      config.bind = e.value;
    } else if (key == "command_port") {
      config.command_port = static_cast<uint16_t>(Number(c, e, name, 0, 65535));
    } else if (key == "event_port") {
      config.event_port = static_cast<uint16_t>(Number(c, e, name, 0, 65535));
    } else if (key == "live_port") {
      config.live_port = static_cast<uint16_t>(Number(c, e, name, 0, 65535));
    } else if (key == "computer_time_zone") {
      config.computer_time_zone = e.value;
    } else {
      Fail(c, e, name, "unknown key");
    }
  }
  for (const char* key : {"command_port", "event_port", "live_port"}) {
    if (!s.Find(key)) {
      throw BridgeConfigError(c.file + ":" + std::to_string(s.line()) + ": [link] needs the key '" + key + "'");
    }
  }
}

constexpr const char* kMapKeys =
    "expected camera.N, profile.N, relay.N, input.N, recording.N, alarm_topic.K or system_event.K";

void ParseMap(const Context& c, const IniSection& s, BridgeConfig& config) {
  const std::string name = "map";
  for (const IniEntry& e : s.entries()) {
    std::string key = Lower(e.key);
    size_t dot = key.find('.');
    std::string kind = key.substr(0, dot);
    std::string number = dot == std::string::npos ? "" : key.substr(dot + 1);
    if (number.empty() || number.size() > 3 || number.find_first_not_of("0123456789") != std::string::npos) {
      Fail(c, e, name, kMapKeys);
    }
    int n = std::stoi(number);
    std::string error;
    if (kind == "alarm_topic") {
      std::optional<TopicWord> word = ParseTopicWord(e.value, error);
      if (!word) Fail(c, e, name, error);
      config.alarm_topics.push_back(*word);
      continue;
    }
    if (kind == "system_event") {
      std::optional<SystemEventRule> rule = ParseSystemEventRule(e.value, error);
      if (!rule) Fail(c, e, name, error);
      config.system_events.push_back(*rule);
      continue;
    }
    std::map<int, std::string>* target = kind == "camera"    ? &config.cameras
                                         : kind == "profile" ? &config.profiles
                                         : kind == "relay"   ? &config.relays
                                         : kind == "input"   ? &config.inputs
                                         : kind == "recording" ? &config.recordings
                                                             : nullptr;
    if (!target) Fail(c, e, name, kMapKeys);
    if (n > 255) Fail(c, e, name, "N must be from 0 to 255");
    if (e.value.empty()) Fail(c, e, name, "the token is empty");
    (*target)[n] = e.value;
  }
}

}  // namespace

BridgeConfig ParseBridgeConfig(const std::string& text, const std::string& file, const std::string& folder) {
  IniFile ini = [&] {
    try {
      return IniFile::Parse(text, file);
    } catch (const IniError& e) {
      throw BridgeConfigError(e.what());
    }
  }();
  Context c{file, folder};
  BridgeConfig config;
  config.file = file;
  for (const IniSection& s : ini.sections()) {
    std::string name = Lower(s.name());
    if (name != "device" && name != "link" && name != "map") {
      throw BridgeConfigError(file + ":" + std::to_string(s.line()) + ": unknown section [" + s.name() +
                              "] (expected [device], [link], [map])");
    }
  }
  for (const char* name : {"device", "link"}) {
    if (!ini.Find(name)) throw BridgeConfigError(file + ": the section [" + std::string(name) + "] is missing");
  }
  ParseDevice(c, *ini.Find("device"), config);
  ParseLink(c, *ini.Find("link"), config);
  if (const IniSection* map = ini.Find("map")) ParseMap(c, *map, config);
  return config;
}

BridgeConfig LoadBridgeConfig(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw BridgeConfigError(path + ": cannot read the file");
  std::ostringstream text;
  text << in.rdbuf();
  std::error_code ec;
  std::filesystem::path absolute = std::filesystem::absolute(path, ec);
  return ParseBridgeConfig(text.str(), path, absolute.parent_path().string());
}

}  // namespace dvrlink::onvif
