// Administration of the host database, behind the dvrlink-db program:
// creating or upgrading the schema and procedures, seeding the DVR and
// camera rows from the service configuration, and checking that a database
// is complete.
#pragma once

#include <array>
#include <cstdint>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "database/ado_connection.h"
#include "platform/ini_file.h"

namespace dvrlink {

// A configuration that cannot be seeded; the message names the file, line
// and key.
class DbConfigError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// What one DVR section of the service configuration seeds: a DVR
// configuration row and its 16 camera rows.
struct DvrSeed {
  std::string section;
  int32_t config_id = 0;
  std::string address;
  std::string global_address_id;
  std::string name;
  std::array<std::string, 16> camera_names;              // "Camera n" (n = N + 1) unless camera.N is set
  std::array<std::string, 16> camera_global_address_ids;
};

// The seeds of the DVR sections ([dvr], [dvr.1], ...) in file order. Keys
// used: config_id (a whole number), address, global_address_id (all
// required), name and camera.N (N = 0..15, optional); others are left to the
// service. Raises DbConfigError for a missing or malformed key, a camera.N
// out of range, or two sections with the same config_id or address.
std::vector<DvrSeed> ReadDvrSeeds(const IniFile& ini);

// Paths of the service configuration: a relative path joined to folder
// (lexically normalised); an absolute path as it is.
std::string ResolvePath(const std::string& folder, const std::string& path);
// The connection string with a relative SQLite Data Source resolved against
// folder; other connection strings unchanged.
std::string ResolveConnectionString(const std::string& folder, const std::string& connection_string);
// The [host] connection_string of a service configuration, resolved against
// the file's folder; raises DbConfigError when it has none.
std::string ConfigConnectionString(const IniFile& ini);

// What the database lacks of each seed, in the seeds' order: "" when its
// rows are there, else "[SECTION] DVR ADDRESS (config_id N): " and the DVR
// configuration row (looked up by address, with the seed's config_id) or
// the camera rows missing. Raises RuntimeError when the database cannot be
// opened or read.
std::vector<std::string> CheckDvrSeeds(const std::string& connection_string, const std::vector<DvrSeed>& seeds);

// The camera's global address: the DVR's without a leading "$", cut to 14
// characters, followed by camera_index + 1 padded to 3 digits.
std::string CameraGlobalAddressID(const std::string& dvr_global_address_id, int camera_index);

// Creates or upgrades the schema and procedures; for SQLite creates the
// file. Safe to run again. Raises RuntimeError on failure.
void InitDatabase(const std::string& connection_string);
// Writes the seeds' rows (creating or updating them) through the host-side
// procedures. Raises RuntimeError naming the section on failure.
void SeedDatabase(const std::string& connection_string, const std::vector<DvrSeed>& seeds);
// What a complete database lacks, one line per item; empty when complete.
// Raises RuntimeError when the database cannot be opened.
std::vector<std::string> CheckDatabase(const std::string& connection_string);

// The dvrlink-db command line (arguments without the program name). Returns
// the exit status: 0 done (check: complete), 1 the database failed or is
// incomplete, 2 bad arguments or configuration.
int RunDbTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace dvrlink
