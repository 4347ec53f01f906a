#include "service/config_check.h"

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <sstream>

#include "database/ado_connection.h"
#include "database/db_admin.h"
#include "support/runtime_error.h"
#include "support/vbstring.h"
#include "timezone/registry.h"

namespace dvrlink {
namespace {

std::vector<std::string> Words(const std::string& text) {
  std::vector<std::string> words;
  std::istringstream in(LCase(text));
  for (std::string w; in >> w;) words.push_back(w);
  return words;
}

size_t EditDistance(const std::string& a, const std::string& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

class Checker {
 public:
  explicit Checker(ConfigCheckResult& result) : r_(result), c_(result.config) {}

  void HostProblem(const std::string& key, const std::string& message) {
    r_.problems.push_back(c_.file + ":" + std::to_string(c_.HostLineOf(key)) + ": key '" + key + "' in [host]: " +
                          message);
  }
  void DvrProblem(std::vector<std::string>& into, const DvrConfig& dvr, const std::string& key,
                  const std::string& message) {
    into.push_back(c_.file + ":" + std::to_string(dvr.LineOf(key)) + ": key '" + key + "' in [" + dvr.section +
                   "]: " + message);
  }

  // A folder the service writes into: it must be there already.
  void Folder(const char* key, const std::string& path) {
    if (path.empty()) return;
    std::error_code ec;
    if (!std::filesystem::is_directory(path, ec)) {
      HostProblem(key, "the folder " + path +
                           " does not exist; allowed: an existing folder the service's user can write to (the "
                           "service creates no folders)");
    } else if (::access(path.c_str(), W_OK | X_OK) != 0) {
      HostProblem(key, "the folder " + path + " cannot be written by this user; allowed: a folder the service's " +
                           "user can write to");
    }
  }

  // The names time_zone may take: the configuration's registry file's keys,
  // else the keys of the system's table. That table itself is built later,
  // while the service waits for its first DVR connections; a key whose zone
  // file turns out unreadable is reported then (debug log) and left out.
  std::optional<std::vector<std::string>> ZoneNames() {
    try {
      if (!c_.registry.empty()) return TimeZoneNames(*LoadRegFile(c_.registry));
      std::vector<std::string> names;
      for (const TimeZoneKeySource& source : SystemTimeZoneKeys()) names.push_back(source.key_name);
      return names;
    } catch (const RuntimeError& e) {
      HostProblem("registry", e.Description() + "; allowed: a readable .reg export of the time zones");
    }
    return std::nullopt;
  }

  void TimeZones(const std::vector<std::string>& names) {
    for (const DvrConfig& dvr : c_.dvrs) {
      const std::string& zone = dvr.time_zone();
      if (dvr.key_lines.count("time_zone") == 0 || std::find(names.begin(), names.end(), zone) != names.end()) {
        continue;
      }
      std::string nearest;
      for (const std::string& n : NearestNames(zone, names, 3)) nearest += (nearest.empty() ? "" : ", ") + n;
      DvrProblem(r_.problems, dvr, "time_zone",
                 "'" + zone + "' is not a key of the time-zone table (DVR times would stay unconverted); " +
                     "nearest: " + nearest);
    }
  }

  void Database() {
    if (c_.connection_string.empty()) return;
    const std::string fix = "; create it with: dvrlink-db init --config " + c_.file;
    std::vector<std::string> missing;
    try {
      missing = CheckDatabase(c_.connection_string);
    } catch (const RuntimeError& e) {
      HostProblem("connection_string", "the database cannot be opened: " + e.Description() + fix);
      return;
    }
    if (!missing.empty()) {
      std::string list;
      for (const std::string& m : missing) list += (list.empty() ? "" : ", ") + m;
      HostProblem("connection_string", "the database lacks " + list + fix);
      return;
    }
    std::vector<DvrSeed> seeds;
    std::vector<const DvrConfig*> dvrs;
    for (const DvrConfig& dvr : c_.dvrs) {
      if (dvr.address().empty()) continue;  // reported by the file's own rules
      int32_t id = 0;
      try {
        id = std::stoi(dvr.config_id());
      } catch (const std::exception&) {
        continue;  // reported by the file's own rules
      }
      DvrSeed seed;
      seed.section = dvr.section;
      seed.config_id = id;
      seed.address = dvr.address();
      seeds.push_back(seed);
      dvrs.push_back(&dvr);
    }
    std::vector<std::string> found;
    try {
      found = CheckDvrSeeds(c_.connection_string, seeds);
    } catch (const RuntimeError& e) {
      HostProblem("connection_string", "the DVR rows cannot be read: " + e.Description() + fix);
      return;
    }
    for (size_t i = 0; i < found.size() && i < dvrs.size(); ++i) {
      if (found[i].empty()) continue;
      const std::string what = found[i].substr(found[i].find(": ") + 2);
      DvrProblem(r_.unseeded, *dvrs[i], "address",
                 "DVR " + dvrs[i]->address() + " (config_id " + dvrs[i]->config_id() + ") is not seeded in the " +
                     "host database (" + what + "); seed it with: dvrlink-db init --config " + c_.file);
    }
  }

 private:
  ConfigCheckResult& r_;
  const ServiceConfig& c_;
};

}  // namespace

std::vector<std::string> TimeZoneNames(const IRegistry& registry) {
  std::vector<std::string> names;
  std::unique_ptr<IRegistryKey> zones = registry.OpenKey(RegRoot::HKEY_LOCAL_MACHINE, kTimeZonesKeyNT);
  if (!zones) return names;
  std::string key;
  for (uint32_t i = 0; zones->EnumSubKey(i, key); ++i) {
    std::unique_ptr<IRegistryKey> zone = registry.OpenKey(RegRoot::HKEY_LOCAL_MACHINE, std::string(kTimeZonesKeyNT) + "\\" + key);
    std::string std_name;
    if (zone && zone->QueryString("Std", std_name)) names.push_back(std_name);
  }
  return names;
}

std::vector<std::string> NearestNames(const std::string& name, const std::vector<std::string>& names, size_t count) {
  const std::vector<std::string> words = Words(name);
  struct Scored {
    size_t missing_words;
    size_t distance;
    const std::string* name;
  };
  std::vector<Scored> scored;
  for (const std::string& candidate : names) {
    const std::string lower = LCase(candidate);
    size_t missing = 0;
    for (const std::string& w : words) missing += lower.find(w) == std::string::npos ? 1 : 0;
    scored.push_back(Scored{missing, EditDistance(LCase(name), lower), &candidate});
  }
  std::stable_sort(scored.begin(), scored.end(), [](const Scored& a, const Scored& b) {
    return a.missing_words != b.missing_words ? a.missing_words < b.missing_words : a.distance < b.distance;
  });
  std::vector<std::string> nearest;
  for (size_t i = 0; i < scored.size() && i < count; ++i) nearest.push_back(*scored[i].name);
  return nearest;
}

ConfigCheckResult CheckServiceConfigFile(const std::string& path, std::shared_ptr<IRegistry> registry) {
  ConfigCheckResult result;
  std::optional<std::string> text = ReadConfigText(path, result.problems);
  if (!text) return result;
  result.config = ParseServiceConfig(*text, path, result.problems);
  Checker check(result);
  const ServiceConfig& c = result.config;
  check.Folder("program_folder", c.program_folder);
  check.Folder("export_folder", c.export_folder);
  if (c.host_lines.count("automation_socket") != 0) {
    check.Folder("automation_socket", std::filesystem::path(c.automation_socket).parent_path().string());
  }
  if (registry) {
    check.TimeZones(TimeZoneNames(*registry));
  } else if (std::optional<std::vector<std::string>> names = check.ZoneNames()) {
    check.TimeZones(*names);
  }
  check.Database();
  return result;
}

}  // namespace dvrlink
