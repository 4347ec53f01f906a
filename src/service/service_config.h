// The service's configuration file (dvrlink --config FILE): an INI file with
// one [host] section and one section per DVR ([dvr], [dvr.1], [dvr.NAME]).
//
// [host] keys: program_folder, connection_string, component_id,
// export_folder (required); registry, listen_address, allowed_clients,
// automation_socket, reconnect_seconds, record_active_alarms (optional).
// Relative paths (program_folder, export_folder, registry,
// automation_socket, and the Data Source file of a SQLite connection string)
// are resolved against the INI file's folder.
//
// DVR sections hold one named key per start-up parameter (see
// kDvrParameterKeys), each passed to Initialize as the text written, plus
// optional camera.N = NAME keys (N = 0..15) that dvrlink-db reads.
//
// Every rule broken is a ConfigError whose message is one line naming the
// file, the line where there is one, and the key.
#pragma once

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace dvrlink {

class ConfigError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
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
};

struct ServiceConfig {
  std::string file;
  std::string folder;  // the INI file's folder, absolute
  std::string program_folder;
  std::string connection_string;
  std::string component_id;
  std::string export_folder;
  std::string registry;           // empty: the time-zone table from ICU
  std::string listen_address;     // empty: every IPv4 address
  std::string allowed_clients;    // empty: every client
  std::string automation_socket;  // resolved; default <program_folder>/dvrlink.sock
  int32_t reconnect_seconds = 0;  // 0: no reconnect policy
  bool record_active_alarms = false;
  std::vector<DvrConfig> dvrs;
};

// Longest path a Unix domain socket can be bound to.
size_t MaxSocketPathLength();

// Reads and checks the file. Raises ConfigError.
ServiceConfig LoadServiceConfig(const std::string& path);
// The same from text; `path` names the file and gives the folder relative
// paths are resolved against.
ServiceConfig ParseServiceConfig(std::string_view text, const std::string& path);

// A relative path joined to folder (lexically normalised); an absolute path
// as it is.
std::string ResolvePath(const std::string& folder, const std::string& path);
// The connection string with a relative SQLite Data Source resolved against
// folder; other connection strings unchanged.
std::string ResolveConnectionString(const std::string& folder, const std::string& connection_string);

}  // namespace dvrlink
