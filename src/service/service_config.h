// The service's configuration file (dvrlink --config FILE): an INI file with
// one [host] section and one section per DVR ([dvr], [dvr.1], [dvr.NAME]).
//
// [host] keys: program_folder, connection_string, component_id,
// export_folder (required); registry, listen_address, allowed_clients,
// automation_socket, reconnect_seconds (default 10), record_active_alarms,
// console, console_token, half_frame_timeout_seconds (optional).
// allowed_clients, when written, must name at least one address or range
// (an empty list is an error; no key lets every client in).
// Relative paths (program_folder, export_folder, registry,
// automation_socket, and the Data Source file of a SQLite connection string)
// are resolved against the INI file's folder.
//
// DVR sections hold one named key per start-up parameter (see
// kDvrParameterKeys), each passed to Initialize as the text written, plus
// optional camera.N = NAME keys (N = 0..15) that dvrlink-db reads. Each value
// is checked against what the component will do with it (ports 1..32767,
// whole numbers where it converts to numbers, 1 or 0 where it tests for the
// exact text "1", the shape of global_address_id); docs/configuration.md has
// the table.
//
// Every rule broken is one problem line "FILE:LINE: ..." naming the file, the
// line where there is one, and the key; a ConfigError carries every problem
// of the file, not only the first.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace dvrlink {

// What() is the problem lines joined by line ends.
class ConfigError : public std::runtime_error {
 public:
  explicit ConfigError(std::vector<std::string> problems);
  const std::vector<std::string>& problems() const { return problems_; }

 private:
  std::vector<std::string> problems_;
};

// Start-up parameter index (sCmd) and its key in a DVR section.
struct DvrParameterKey {
  int index;
  const char* key;
};
inline constexpr DvrParameterKey kDvrParameterKeys[] = {
    {0, "vendor"},          {1, "address"},        {2, "command_port"}, {3, "live_port"},
    {4, "listen_port"},     {5, "debug"},          {6, "number"},       {7, "name"},
    {8, "global_address_id"}, {11, "time_sync"},   {12, "time_sync_hours"}, {13, "time_zone"},
    {14, "key"},            {15, "event_port"},    {16, "external_trigger"}, {17, "config_id"},
};
inline constexpr int kStartupParameterCount = 18;

struct DvrConfig {
  std::string section;
  int line = 0;
  // Line of each key written, by its name in lower case.
  std::map<std::string, int> key_lines;
  // sCmd: 18 texts; entries 9 and 10 are not read by the component and
  // stay empty.
  std::vector<std::string> parameters;
  std::map<int, std::string> camera_names;

  const std::string& address() const { return parameters[1]; }
  const std::string& command_port() const { return parameters[2]; }
  const std::string& live_port() const { return parameters[3]; }
  const std::string& listen_port() const { return parameters[4]; }
  const std::string& number() const { return parameters[6]; }
  const std::string& name() const { return parameters[7]; }
  const std::string& time_zone() const { return parameters[13]; }
  const std::string& config_id() const { return parameters[17]; }
  // The line of a key (the section's line when the key is not written).
  int LineOf(const std::string& key) const;
};

inline constexpr int32_t kDefaultReconnectSeconds = 10;

struct ServiceConfig {
  std::string file;
  std::string folder;  // the INI file's folder, absolute
  std::string program_folder;
  std::string connection_string;
  std::string component_id;
  std::string export_folder;
  std::string registry;           // empty: the time-zone table from ICU
  std::string listen_address;     // empty: every IPv4 address
  std::string allowed_clients;    // empty: every client (the key absent)
  std::string automation_socket;  // resolved; default <program_folder>/dvrlink.sock
  int32_t reconnect_seconds = kDefaultReconnectSeconds;  // 0: no reconnect policy
  // A host client that has sent part of a frame and nothing more for this
  // long is disconnected; 0: never.
  int32_t half_frame_timeout_seconds = 300;
  bool record_active_alarms = false;
  std::string console;        // ADDRESS:PORT of the status console; empty: off
  std::string console_token;  // needed for the console's actions; empty: none allowed
  // Line of each [host] key written, by its name in lower case; the
  // section's own line under "".
  std::map<std::string, int> host_lines;
  std::vector<DvrConfig> dvrs;

  // The line of a [host] key (the section's line when it is not written).
  int HostLineOf(const std::string& key) const;
};

// A console address "ADDRESS:PORT" (numeric IPv4, or [IPv6]; port 0 picks a
// free port); nothing when the text is not one.
std::optional<sockaddr_storage> ParseConsoleAddress(const std::string& text);

// Longest path a Unix domain socket can be bound to.
size_t MaxSocketPathLength();

// Reads and checks the file. Raises ConfigError.
ServiceConfig LoadServiceConfig(const std::string& path);
// The same from text; `path` names the file and gives the folder relative
// paths are resolved against.
ServiceConfig ParseServiceConfig(std::string_view text, const std::string& path);
// The same, adding every problem to `problems` instead of raising; the
// configuration holds what could be read.
ServiceConfig ParseServiceConfig(std::string_view text, const std::string& path, std::vector<std::string>& problems);
// Reads the file's text; nothing (and one problem) when it cannot be read.
std::optional<std::string> ReadConfigText(const std::string& path, std::vector<std::string>& problems);

}  // namespace dvrlink
