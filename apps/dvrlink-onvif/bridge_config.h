// The bridge's configuration (dvrlink-onvif --config FILE), an INI file:
//
// [device]  url (required: the device service, http:// or https://), user,
//           password or password_file, auth (auto | digest | username_token),
//           time_zone (IANA zone of the device's clock), tls_ca_file,
//           tls_pinned_key, tls_allow_self_signed, request_timeout_ms,
//           pull_seconds, subscription_seconds, retry_seconds,
//           replay_stall_seconds
// [link]    bind, command_port, event_port, live_port (required),
//           computer_time_zone (zone of the times the service sends)
// [map]     camera.N = VIDEO-SOURCE-TOKEN, profile.N = PROFILE-TOKEN,
//           relay.N = RELAY-TOKEN, input.N = INPUT-TOKEN,
//           recording.N = RECORDING-TOKEN (N = 0..255),
//           alarm_topic.K = WORD TOPIC, system_event.K = CODE TOPIC [ITEM=VALUE]
//
// Every rule broken raises BridgeConfigError with one line naming the file,
// the line and the key. docs/onvif.md describes each key.
#pragma once

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "onvif/event_map.h"

namespace dvrlink::onvif {

class BridgeConfigError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class AuthMode { kAuto, kDigest, kUsernameToken };

struct BridgeConfig {
  std::string file;
  // [device]
  std::string url;
  std::string user;
  std::string password;
  AuthMode auth = AuthMode::kAuto;
  std::string time_zone;  // empty: the system's
  std::string tls_ca_file;
  std::string tls_pinned_key;
  bool tls_allow_self_signed = false;
  int64_t request_timeout_ms = 10000;
  int64_t pull_seconds = 10;
  int64_t subscription_seconds = 60;
  int64_t retry_seconds = 5;
  // A retrieval whose device sends nothing for this long fails.
  int64_t replay_stall_seconds = 10;
  // [link]
  std::string bind = "127.0.0.1";
  uint16_t command_port = 0;
  uint16_t event_port = 0;
  uint16_t live_port = 0;
  std::string computer_time_zone;  // empty: the system's
  // [map]: DVR camera or input number -> token.
  std::map<int, std::string> cameras;
  std::map<int, std::string> profiles;
  std::map<int, std::string> relays;
  std::map<int, std::string> inputs;
  std::map<int, std::string> recordings;
  std::vector<TopicWord> alarm_topics;
  std::vector<SystemEventRule> system_events;
};

// Reads and checks the file. Relative paths (password_file, tls_ca_file, a
// pinned key file) are taken from the file's folder.
BridgeConfig LoadBridgeConfig(const std::string& path);
// The same from a text; `file` names it in messages and `folder` resolves paths.
BridgeConfig ParseBridgeConfig(const std::string& text, const std::string& file, const std::string& folder);

}  // namespace dvrlink::onvif
