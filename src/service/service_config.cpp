#include "service/service_config.h"

#include <sys/un.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <optional>
#include <stdexcept>

#include "platform/ini_file.h"
#include "platform/net/address_filter.h"
#include "support/convert.h"
#include "support/vbstring.h"

namespace dvrlink {
namespace {

constexpr int32_t kMaxReconnectSeconds = 86400;

const char* const kHostKeys[] = {"program_folder",  "connection_string", "component_id",
                                 "export_folder",   "registry",          "listen_address",
                                 "allowed_clients", "automation_socket", "reconnect_seconds",
                                 "record_active_alarms"};
const char* const kRequiredHostKeys[] = {"program_folder", "connection_string", "component_id", "export_folder"};

std::string Where(const std::string& file, int line) {
  return line > 0 ? file + ":" + std::to_string(line) : file;
}

[[noreturn]] void Fail(const std::string& file, int line, const std::string& message) {
  throw ConfigError(Where(file, line) + ": " + message);
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

// Two parameter texts name the same value: numerically when both are
// numbers, else as trimmed texts.
bool SameValue(const std::string& a, const std::string& b) {
  std::optional<double> x = ParseNumber(a);
  std::optional<double> y = ParseNumber(b);
  if (x && y) return *x == *y;
  return Trim(a) == Trim(b);
}

void ParseHost(const IniSection& host, const std::string& file, ServiceConfig& config) {
  for (const IniEntry& e : host.entries()) {
    if (!IsKnown(e.key, std::begin(kHostKeys), std::end(kHostKeys))) {
      Fail(file, e.line, "unknown key '" + e.key + "' in [" + host.name() + "]");
    }
  }
  for (const char* key : kRequiredHostKeys) {
    const IniEntry* e = host.Find(key);
    if (e == nullptr) Fail(file, host.line(), "missing key '" + std::string(key) + "' in [" + host.name() + "]");
    if (e->value.empty() && !EqualsNoCase(key, "component_id")) {
      Fail(file, e->line, "key '" + std::string(key) + "' in [" + host.name() + "] is empty");
    }
  }
  const std::string& folder = config.folder;
  config.program_folder = ResolvePath(folder, host.Find("program_folder")->value);
  config.connection_string = ResolveConnectionString(folder, host.Find("connection_string")->value);
  config.component_id = host.Find("component_id")->value;
  config.export_folder = ResolvePath(folder, host.Find("export_folder")->value);
  if (const IniEntry* e = host.Find("registry"); e && !e->value.empty()) {
    config.registry = ResolvePath(folder, e->value);
  }
  if (const IniEntry* e = host.Find("listen_address"); e && !e->value.empty()) {
    if (!net::ParseSocketAddress(e->value, 0)) {
      Fail(file, e->line, "listen_address '" + e->value + "' is not a numeric IPv4 or IPv6 address");
    }
    config.listen_address = e->value;
  }
  if (const IniEntry* e = host.Find("allowed_clients")) {
    try {
      net::AddressFilter::Parse(e->value);
    } catch (const std::invalid_argument& bad) {
      Fail(file, e->line, "allowed_clients: " + std::string(bad.what()));
    }
    config.allowed_clients = e->value;
  }
  if (const IniEntry* e = host.Find("reconnect_seconds")) {
    const std::string& v = e->value;
    if (v.empty() || v.size() > 6 || v.find_first_not_of("0123456789") != std::string::npos ||
        std::stol(v) > kMaxReconnectSeconds) {
      Fail(file, e->line,
           "reconnect_seconds must be a whole number of seconds from 0 to " + std::to_string(kMaxReconnectSeconds) +
               ", found '" + v + "'");
    }
    config.reconnect_seconds = static_cast<int32_t>(std::stol(v));
  }
  if (const IniEntry* e = host.Find("record_active_alarms")) {
    std::optional<bool> flag = ParseFlag(e->value);
    if (!flag) Fail(file, e->line, "record_active_alarms must be true or false, found '" + e->value + "'");
    config.record_active_alarms = *flag;
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
    Fail(file, socket_entry ? socket_entry->line : host.Find("program_folder")->line,
         what + ": the path " + config.automation_socket + " is " + std::to_string(config.automation_socket.size()) +
             " bytes, longer than the " + std::to_string(MaxSocketPathLength()) +
             " a Unix socket path may have; set automation_socket to a shorter path");
  }
}

DvrConfig ParseDvr(const IniSection& section, const std::string& file) {
  DvrConfig dvr;
  dvr.section = section.name();
  dvr.line = section.line();
  dvr.parameters.assign(kStartupParameterCount, std::string());
  for (const IniEntry& e : section.entries()) {
    bool known = false;
    for (const DvrParameterKey& p : kDvrParameterKeys) known = known || EqualsNoCase(e.key, p.key);
    if (known) continue;
    int camera = CameraNumber(e.key);
    if (camera >= 0) {
      dvr.camera_names[camera] = e.value;
      continue;
    }
    if (camera == -1) Fail(file, e.line, "key '" + e.key + "' in [" + section.name() + "]: cameras are 0 to 15");
    Fail(file, e.line, "unknown key '" + e.key + "' in [" + section.name() + "]");
  }
  for (const DvrParameterKey& p : kDvrParameterKeys) {
    const IniEntry* e = section.Find(p.key);
    if (e == nullptr) Fail(file, section.line(), "missing key '" + std::string(p.key) + "' in [" + section.name() + "]");
    dvr.parameters[static_cast<size_t>(p.index)] = e->value;
  }
  return dvr;
}

}  // namespace

size_t MaxSocketPathLength() { return sizeof(sockaddr_un::sun_path) - 1; }

std::string ResolvePath(const std::string& folder, const std::string& path) {
  std::filesystem::path p(path);
  std::string joined = (p.is_absolute() ? p : std::filesystem::path(folder) / p).lexically_normal().string();
  if (joined.size() > 1 && joined.back() == '/') joined.pop_back();
  return joined;
}

std::string ResolveConnectionString(const std::string& folder, const std::string& connection_string) {
  // Only a SQLite connection names a file.
  bool sqlite = false;
  std::vector<std::string> pairs;
  size_t start = 0;
  while (start <= connection_string.size()) {
    size_t semi = connection_string.find(';', start);
    if (semi == std::string::npos) semi = connection_string.size();
    pairs.push_back(connection_string.substr(start, semi - start));
    start = semi + 1;
  }
  for (const std::string& pair : pairs) {
    size_t eq = pair.find('=');
    if (eq != std::string::npos && EqualsNoCase(Trim(pair.substr(0, eq)), "provider") &&
        EqualsNoCase(Trim(pair.substr(eq + 1)), "sqlite")) {
      sqlite = true;
    }
  }
  if (!sqlite) return connection_string;
  std::string result;
  for (size_t i = 0; i < pairs.size(); ++i) {
    std::string pair = pairs[i];
    size_t eq = pair.find('=');
    if (eq != std::string::npos && EqualsNoCase(Trim(pair.substr(0, eq)), "data source")) {
      std::string file = Trim(pair.substr(eq + 1));
      if (!file.empty() && file.front() != '/') pair = pair.substr(0, eq + 1) + ResolvePath(folder, file);
    }
    if (i > 0) result += ";";
    result += pair;
  }
  return result;
}

ServiceConfig ParseServiceConfig(std::string_view text, const std::string& path) {
  std::optional<IniFile> parsed;
  try {
    parsed = IniFile::Parse(text, path);
  } catch (const IniError& e) {
    throw ConfigError(e.what());
  }
  const IniFile& ini = *parsed;
  ServiceConfig config;
  config.file = path;
  std::error_code ec;
  std::filesystem::path absolute = std::filesystem::absolute(path, ec);
  config.folder = (ec ? std::filesystem::path(path) : absolute).parent_path().lexically_normal().string();
  const IniSection* host = nullptr;
  for (const IniSection& section : ini.sections()) {
    if (EqualsNoCase(section.name(), "host")) {
      host = &section;
    } else if (!IsDvrSection(section.name())) {
      Fail(path, section.line(), "unknown section [" + section.name() + "] (expected [host], [dvr] or [dvr.N])");
    }
  }
  if (host == nullptr) Fail(path, 0, "missing section [host]");
  ParseHost(*host, path, config);
  for (const IniSection& section : ini.sections()) {
    if (!IsDvrSection(section.name())) continue;
    DvrConfig dvr = ParseDvr(section, path);
    for (const DvrConfig& earlier : config.dvrs) {
      for (int index : {6, 4}) {
        const char* key = index == 6 ? "number" : "listen_port";
        if (SameValue(dvr.parameters[static_cast<size_t>(index)], earlier.parameters[static_cast<size_t>(index)])) {
          Fail(path, section.Find(key)->line,
               "key '" + std::string(key) + "' in [" + dvr.section + "]: " + key + " " +
                   dvr.parameters[static_cast<size_t>(index)] + " is already used by [" + earlier.section +
                   "] (line " + std::to_string(earlier.line) + ")");
        }
      }
    }
    config.dvrs.push_back(std::move(dvr));
  }
  if (config.dvrs.empty()) Fail(path, 0, "no DVR section ([dvr] or [dvr.N])");
  return config;
}

ServiceConfig LoadServiceConfig(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ConfigError(path + ": cannot read the file: " + std::strerror(errno));
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) throw ConfigError(path + ": cannot read the file");
  return ParseServiceConfig(text.str(), path);
}

}  // namespace dvrlink
