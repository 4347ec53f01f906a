#include "service/service_config.h"

#include <sys/un.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>

#include "database/db_admin.h"
#include "platform/ini_file.h"
#include "platform/net/address_filter.h"
#include "support/convert.h"
#include "support/vbstring.h"

namespace dvrlink {
namespace {

constexpr int32_t kMaxReconnectSeconds = 86400;
constexpr size_t kMinConsoleToken = 16;

const char* const kHostKeys[] = {"program_folder",    "connection_string", "component_id",     "export_folder",
                                 "registry",          "listen_address",    "allowed_clients",  "automation_socket",
                                 "reconnect_seconds", "record_active_alarms", "console",       "console_token",
                                 "half_frame_timeout_seconds"};
const char* const kRequiredHostKeys[] = {"program_folder", "connection_string", "component_id", "export_folder"};

// What the component does with a start-up parameter, as far as a value can
// be wrong for it.
enum class ValueKind {
  kText,           // any text
  kWhole,          // a whole number from min to max
  kOneOrZero,      // 1 or 0
  kGlobalAddress,  // "$" and at least 14 more characters
};
struct ValueRule {
  const char* key;
  ValueKind kind;
  int64_t min;
  int64_t max;
  const char* why;  // said after what is allowed
};
constexpr const char* kPortWhy = " (the component keeps ports in 16-bit signed integers)";
const ValueRule kValueRules[] = {
    {"vendor", ValueKind::kWhole, 0, 32767, " (the component keeps it in a 16-bit signed integer)"},
    {"address", ValueKind::kText, 0, 0, ""},
    {"command_port", ValueKind::kWhole, 1, 32767, kPortWhy},
    {"live_port", ValueKind::kWhole, 1, 32767, kPortWhy},
    {"listen_port", ValueKind::kWhole, 1, 32767, kPortWhy},
    {"event_port", ValueKind::kWhole, 1, 32767, kPortWhy},
    {"debug", ValueKind::kOneOrZero, 0, 0, ""},
    {"number", ValueKind::kWhole, 0, 32767,
     " (the DVR number indexes the main forms and is kept in a 16-bit signed integer)"},
    {"global_address_id", ValueKind::kGlobalAddress, 0, 0,
     " (the alarm handling cuts the 14 characters after the \"$\" for the cameras' addresses)"},
    {"time_sync", ValueKind::kOneOrZero, 0, 0, " (the component takes only the exact text 1 as on)"},
    {"time_sync_hours", ValueKind::kWhole, 1, 9999, " (hours between two clock synchronisations)"},
    {"external_trigger", ValueKind::kOneOrZero, 0, 0, " (the component takes only the exact text 1 as on)"},
    {"config_id", ValueKind::kWhole, 1, 2147483647, " (the key of the DVR's row in the host database)"},
};

std::string Where(const std::string& file, int line) {
  return line > 0 ? file + ":" + std::to_string(line) : file;
}

bool IsDvrSection(const std::string& name) {
  if (EqualsNoCase(name, "dvr")) return true;
  return name.size() > 4 && EqualsNoCase(name.substr(0, 4), "dvr.");
}

bool IsKnown(const std::string& key, const char* const* begin, const char* const* end) {
  for (auto it = begin; it != end; ++it) {
    if (EqualsNoCase(key, *it)) return true;
  }
  return false;
}

// camera.N with N = 0..15: N; -1 for a camera key with a bad number; -2 for
// a key that is not a camera key.
int CameraNumber(const std::string& key) {
  if (key.size() < 8 || !EqualsNoCase(key.substr(0, 7), "camera.")) return -2;
  std::string digits = key.substr(7);
  if (digits.empty() || digits.size() > 2 || digits.find_first_not_of("0123456789") != std::string::npos) return -1;
  int n = std::stoi(digits);
  return n <= 15 ? n : -1;
}

std::optional<bool> ParseFlag(const std::string& text) {
  for (const char* yes : {"true", "yes", "on", "1"}) {
    if (EqualsNoCase(text, yes)) return true;
  }
  for (const char* no : {"false", "no", "off", "0"}) {
    if (EqualsNoCase(text, no)) return false;
  }
  return std::nullopt;
}

// Digits with an optional leading minus; nothing for any other text or a
// value beyond 18 digits.
std::optional<int64_t> WholeNumber(const std::string& text) {
  size_t digits = text.size() > 0 && text[0] == '-' ? 1 : 0;
  if (text.size() == digits || text.size() - digits > 18) return std::nullopt;
  if (text.find_first_not_of("0123456789", digits) != std::string::npos) return std::nullopt;
  return std::stoll(text);
}

// Two parameter texts name the same value: numerically when both are
// numbers, else as trimmed texts.
bool SameValue(const std::string& a, const std::string& b) {
  std::optional<double> x = ParseNumber(a);
  std::optional<double> y = ParseNumber(b);
  if (x && y) return *x == *y;
  return Trim(a) == Trim(b);
}

// What is wrong with the value, and what is allowed; empty when it is right.
std::string ValueProblem(const ValueRule& rule, const std::string& value) {
  const std::string quoted = "'" + value + "'";
  switch (rule.kind) {
    case ValueKind::kText:
      return value.empty() ? "the value is empty; allowed: the DVR's address" : "";
    case ValueKind::kWhole: {
      std::string allowed = "allowed: a whole number from " + std::to_string(rule.min) + " to " +
                            std::to_string(rule.max) + rule.why;
      std::optional<int64_t> n = WholeNumber(value);
      if (!n) return quoted + " is not a whole number; " + allowed;
      if (*n < rule.min || *n > rule.max) return value + " is out of range; " + allowed;
      return "";
    }
    case ValueKind::kOneOrZero:
      if (value == "1" || value == "0") return "";
      return quoted + " is neither 1 nor 0; allowed: 1 (on) or 0 (off)" + rule.why;
    case ValueKind::kGlobalAddress:
      if (value.size() >= 15 && value[0] == '$') return "";
      return quoted + " is not \"$\" followed by 14 characters or more; allowed: a global address such as " +
             "$10000000000001" + rule.why;
  }
  return "";
}

class Parser {
 public:
  Parser(const std::string& file, std::vector<std::string>& problems) : file_(file), problems_(problems) {}

  void Problem(int line, const std::string& message) { problems_.push_back(Where(file_, line) + ": " + message); }
  void KeyProblem(int line, const std::string& key, const std::string& section, const std::string& message) {
    Problem(line, "key '" + key + "' in [" + section + "]: " + message);
  }

  void ParseHost(const IniSection& host, ServiceConfig& config);
  DvrConfig ParseDvr(const IniSection& section);
  // A [host] key of whole seconds from 0 to kMaxReconnectSeconds; fallback
  // when absent or wrong.
  int32_t Seconds(const IniSection& host, const char* key, int32_t fallback);

 private:
  const std::string& file_;
  std::vector<std::string>& problems_;
};

int32_t Parser::Seconds(const IniSection& host, const char* key, int32_t fallback) {
  const IniEntry* e = host.Find(key);
  if (e == nullptr) return fallback;
  std::optional<int64_t> n = WholeNumber(e->value);
  if (n && *n >= 0 && *n <= kMaxReconnectSeconds) return static_cast<int32_t>(*n);
  Problem(e->line, std::string(key) + " must be a whole number of seconds from 0 to " +
                       std::to_string(kMaxReconnectSeconds) + ", found '" + e->value + "'");
  return fallback;
}

void Parser::ParseHost(const IniSection& host, ServiceConfig& config) {
  config.host_lines[""] = host.line();
  for (const IniEntry& e : host.entries()) {
    config.host_lines[LCase(e.key)] = e.line;
    if (!IsKnown(e.key, std::begin(kHostKeys), std::end(kHostKeys))) {
      Problem(e.line, "unknown key '" + e.key + "' in [" + host.name() + "]");
    }
  }
  for (const char* key : kRequiredHostKeys) {
    const IniEntry* e = host.Find(key);
    if (e == nullptr) {
      Problem(host.line(), "missing key '" + std::string(key) + "' in [" + host.name() + "]");
    } else if (e->value.empty() && !EqualsNoCase(key, "component_id")) {
      Problem(e->line, "key '" + std::string(key) + "' in [" + host.name() + "] is empty");
    }
  }
  const std::string& folder = config.folder;
  auto value = [&](const char* key) {
    const IniEntry* e = host.Find(key);
    return e ? e->value : std::string();
  };
  if (!value("program_folder").empty()) config.program_folder = ResolvePath(folder, value("program_folder"));
  if (!value("connection_string").empty()) {
    config.connection_string = ResolveConnectionString(folder, value("connection_string"));
  }
  config.component_id = value("component_id");
  if (!value("export_folder").empty()) config.export_folder = ResolvePath(folder, value("export_folder"));
  if (!value("registry").empty()) config.registry = ResolvePath(folder, value("registry"));
  if (const IniEntry* e = host.Find("listen_address"); e && !e->value.empty()) {
    if (!net::ParseSocketAddress(e->value, 0)) {
      Problem(e->line, "listen_address '" + e->value + "' is not a numeric IPv4 or IPv6 address");
    }
    config.listen_address = e->value;
  }
  if (const IniEntry* e = host.Find("allowed_clients")) {
    try {
      // An empty list would let every client in, the opposite of what a
      // written allow-list asks for.
      if (net::AddressFilter::Parse(e->value).AcceptsEveryone()) {
        Problem(e->line,
                "allowed_clients is empty: list the addresses or ranges allowed, or remove the key to let every "
                "client in");
      } else {
        config.allowed_clients = e->value;
      }
    } catch (const std::invalid_argument& bad) {
      Problem(e->line, "allowed_clients: " + std::string(bad.what()));
    }
  }
  config.reconnect_seconds = Seconds(host, "reconnect_seconds", config.reconnect_seconds);
  config.half_frame_timeout_seconds = Seconds(host, "half_frame_timeout_seconds", config.half_frame_timeout_seconds);
  if (const IniEntry* e = host.Find("record_active_alarms")) {
    std::optional<bool> flag = ParseFlag(e->value);
    if (!flag) Problem(e->line, "record_active_alarms must be true or false, found '" + e->value + "'");
    config.record_active_alarms = flag.value_or(false);
  }
  if (const IniEntry* e = host.Find("console"); e && !e->value.empty()) {
    if (!ParseConsoleAddress(e->value)) {
      KeyProblem(e->line, "console", host.name(),
                 "'" + e->value + "' is not ADDRESS:PORT; allowed: a numeric IPv4 address or [IPv6 address] and a " +
                     "port from 0 to 65535 (0: any free port), such as 127.0.0.1:8080");
    }
    config.console = e->value;
  }
  if (const IniEntry* e = host.Find("console_token"); e && !e->value.empty()) {
    if (e->value.size() < kMinConsoleToken || e->value.find_first_of(" \t") != std::string::npos) {
      KeyProblem(e->line, "console_token", host.name(),
                 "the token is " + std::to_string(e->value.size()) + " characters long or holds blanks; allowed: " +
                     std::to_string(kMinConsoleToken) + " characters or more without blanks");
    }
    config.console_token = e->value;
  }
  const IniEntry* socket_entry = host.Find("automation_socket");
  if (socket_entry && !socket_entry->value.empty()) {
    config.automation_socket = ResolvePath(folder, socket_entry->value);
  } else {
    config.automation_socket = ResolvePath(config.program_folder, "dvrlink.sock");
  }
  if (config.automation_socket.size() > MaxSocketPathLength()) {
    std::string what = socket_entry && !socket_entry->value.empty()
                           ? std::string("automation_socket")
                           : std::string("automation_socket (default, in program_folder)");
    Problem(socket_entry ? socket_entry->line : config.HostLineOf("program_folder"),
            what + ": the path " + config.automation_socket + " is " +
                std::to_string(config.automation_socket.size()) + " bytes, longer than the " +
                std::to_string(MaxSocketPathLength()) +
                " a Unix socket path may have; set automation_socket to a shorter path");
  }
}

DvrConfig Parser::ParseDvr(const IniSection& section) {
  DvrConfig dvr;
  dvr.section = section.name();
  dvr.line = section.line();
  dvr.parameters.assign(kStartupParameterCount, std::string());
  for (const IniEntry& e : section.entries()) {
    dvr.key_lines[LCase(e.key)] = e.line;
    bool known = false;
    for (const DvrParameterKey& p : kDvrParameterKeys) known = known || EqualsNoCase(e.key, p.key);
    if (known) continue;
    int camera = CameraNumber(e.key);
    if (camera >= 0) {
      dvr.camera_names[camera] = e.value;
    } else if (camera == -1) {
      Problem(e.line, "key '" + e.key + "' in [" + section.name() + "]: cameras are 0 to 15");
    } else {
      Problem(e.line, "unknown key '" + e.key + "' in [" + section.name() + "]");
    }
  }
  for (const DvrParameterKey& p : kDvrParameterKeys) {
    const IniEntry* e = section.Find(p.key);
    if (e == nullptr) {
      Problem(section.line(), "missing key '" + std::string(p.key) + "' in [" + section.name() + "]");
      continue;
    }
    dvr.parameters[static_cast<size_t>(p.index)] = e->value;
    for (const ValueRule& rule : kValueRules) {
      if (!EqualsNoCase(rule.key, p.key)) continue;
      std::string problem = ValueProblem(rule, e->value);
      if (!problem.empty()) KeyProblem(e->line, p.key, section.name(), problem);
    }
  }
  return dvr;
}

}  // namespace

ConfigError::ConfigError(std::vector<std::string> problems)
    : std::runtime_error([&] {
        std::string text;
        for (const std::string& p : problems) text += (text.empty() ? "" : "\n") + p;
        return text;
      }()),
      problems_(std::move(problems)) {}

int DvrConfig::LineOf(const std::string& key) const {
  auto it = key_lines.find(LCase(key));
  return it == key_lines.end() ? line : it->second;
}

int ServiceConfig::HostLineOf(const std::string& key) const {
  auto it = host_lines.find(LCase(key));
  if (it != host_lines.end()) return it->second;
  auto section = host_lines.find("");
  return section == host_lines.end() ? 0 : section->second;
}

std::optional<sockaddr_storage> ParseConsoleAddress(const std::string& text) {
  size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) return std::nullopt;
  std::string host = text.substr(0, colon);
  if (host.find(':') != std::string::npos && (host.front() != '[' || host.back() != ']')) return std::nullopt;
  std::optional<int64_t> port = WholeNumber(text.substr(colon + 1));
  if (!port || *port < 0 || *port > 65535) return std::nullopt;
  return net::ParseSocketAddress(host, static_cast<uint16_t>(*port));
}

size_t MaxSocketPathLength() { return sizeof(sockaddr_un::sun_path) - 1; }

ServiceConfig ParseServiceConfig(std::string_view text, const std::string& path, std::vector<std::string>& problems) {
  ServiceConfig config;
  config.file = path;
  std::error_code ec;
  std::filesystem::path absolute = std::filesystem::absolute(path, ec);
  config.folder = (ec ? std::filesystem::path(path) : absolute).parent_path().lexically_normal().string();
  std::optional<IniFile> parsed;
  try {
    parsed = IniFile::Parse(text, path);
  } catch (const IniError& e) {
    problems.push_back(e.what());
    return config;
  }
  Parser parser(path, problems);
  const IniFile& ini = *parsed;
  const IniSection* host = nullptr;
  for (const IniSection& section : ini.sections()) {
    if (EqualsNoCase(section.name(), "host")) {
      host = &section;
    } else if (!IsDvrSection(section.name())) {
      parser.Problem(section.line(),
                     "unknown section [" + section.name() + "] (expected [host], [dvr] or [dvr.N])");
    }
  }
  if (host == nullptr) {
    parser.Problem(0, "missing section [host]");
  } else {
    parser.ParseHost(*host, config);
  }
  for (const IniSection& section : ini.sections()) {
    if (!IsDvrSection(section.name())) continue;
    DvrConfig dvr = parser.ParseDvr(section);
    for (const DvrConfig& earlier : config.dvrs) {
      for (int index : {6, 4}) {
        const char* key = index == 6 ? "number" : "listen_port";
        const std::string& mine = dvr.parameters[static_cast<size_t>(index)];
        if (!mine.empty() && SameValue(mine, earlier.parameters[static_cast<size_t>(index)])) {
          parser.KeyProblem(dvr.LineOf(key), key, dvr.section,
                            std::string(key) + " " + mine + " is already used by [" + earlier.section + "] (line " +
                                std::to_string(earlier.line) + ")");
        }
      }
    }
    config.dvrs.push_back(std::move(dvr));
  }
  if (config.dvrs.empty()) parser.Problem(0, "no DVR section ([dvr] or [dvr.N])");
  return config;
}

ServiceConfig ParseServiceConfig(std::string_view text, const std::string& path) {
  std::vector<std::string> problems;
  ServiceConfig config = ParseServiceConfig(text, path, problems);
  if (!problems.empty()) throw ConfigError(std::move(problems));
  return config;
}

std::optional<std::string> ReadConfigText(const std::string& path, std::vector<std::string>& problems) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    problems.push_back(path + ": cannot read the file: " + std::strerror(errno));
    return std::nullopt;
  }
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) {
    problems.push_back(path + ": cannot read the file");
    return std::nullopt;
  }
  return text.str();
}

ServiceConfig LoadServiceConfig(const std::string& path) {
  std::vector<std::string> problems;
  std::optional<std::string> text = ReadConfigText(path, problems);
  if (!text) throw ConfigError(std::move(problems));
  return ParseServiceConfig(*text, path);
}

}  // namespace dvrlink
