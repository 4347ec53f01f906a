// The configuration check (dvrlink --check-config FILE, and the same at every
// start before any instance starts): the file's own rules (service_config.h)
// and then what it names outside itself: folders and files that must exist,
// each DVR's time_zone a key of the time-zone table (with the nearest names
// when it is not), a database that opens and holds the schema, and each
// DVR's configuration and camera rows. Every problem is one line
// "FILE:LINE: key 'K' in [SECTION]: what is wrong; allowed: ...".
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "service/service_config.h"

namespace dvrlink {

class IRegistry;

struct ConfigCheckResult {
  ServiceConfig config;               // what could be read
  std::vector<std::string> problems;  // each refuses the start (exit 2)
  // DVRs whose rows the host database lacks. --check-config counts them as
  // problems; a start warns about them and goes on, since a shared host
  // database may be seeded while the service runs.
  std::vector<std::string> unseeded;
};

// Checks the file at path. `registry` is the time-zone table to check
// time_zone against; null: the table the service will build (the
// configuration's registry file, else the system's zone files).
ConfigCheckResult CheckServiceConfigFile(const std::string& path, std::shared_ptr<IRegistry> registry = nullptr);

// The time-zone keys of a registry's table (their "Std" names, which the
// component matches time_zone against), in the table's order.
std::vector<std::string> TimeZoneNames(const IRegistry& registry);

// Up to `count` names nearest to `name`: first those holding the most of
// its words (any letter case), then by edit distance.
std::vector<std::string> NearestNames(const std::string& name, const std::vector<std::string>& names, size_t count);

}  // namespace dvrlink
