// The host database's schema: the scripts that create it (one per provider,
// the text of db/sqlite.sql and db/postgresql.sql, embedded at build time by
// db/embed.sh) and the list of what a complete database holds.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace dvrlink {

extern const char* const kSqliteSchemaScript;
extern const char* const kPostgresSchemaScript;

// The script for a provider, by its DbProvider::Name(); raises 3706 for a
// provider without one.
std::string SchemaScriptFor(const std::string& provider_name);

struct DbProcedureDef {
  std::string name;
  // The CmdIndex its callers pass (0 for the host-side procedures).
  int16_t cmd_index;
  // Declared parameters in order, "@CmdIndex" first.
  std::vector<std::string> parameters;
  // False for the five procedures the component calls; true for those that
  // only the host side calls (dvrlink-db seeding, the host sink).
  bool host_side;
};

// Every procedure a complete database holds.
const std::vector<DbProcedureDef>& DbProcedures();
// Every table a complete database of the provider holds.
std::vector<std::string> DbTables(const std::string& provider_name);

}  // namespace dvrlink
