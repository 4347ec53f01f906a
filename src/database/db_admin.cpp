#include "database/db_admin.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>

#include "database/db_schema.h"
#include "support/runtime_error.h"
#include "support/vbstring.h"

namespace dvrlink {
namespace {

std::string Where(const IniFile& ini, int line) { return ini.file() + ":" + std::to_string(line) + ": "; }

std::optional<int32_t> WholeNumber(const std::string& text) {
  size_t pos = 0;
  bool negative = false;
  if (pos < text.size() && (text[pos] == '-' || text[pos] == '+')) negative = text[pos++] == '-';
  if (pos == text.size()) return std::nullopt;
  int64_t value = 0;
  for (; pos < text.size(); ++pos) {
    if (text[pos] < '0' || text[pos] > '9') return std::nullopt;
    value = value * 10 + (text[pos] - '0');
    if (value > INT32_MAX) return std::nullopt;
  }
  return static_cast<int32_t>(negative ? -value : value);
}

bool IsDvrSection(const std::string& name) {
  std::string lower = LCase(name);
  return lower == "dvr" || (lower.size() > 4 && lower.compare(0, 4, "dvr.") == 0);
}

const IniEntry& Required(const IniFile& ini, const IniSection& section, const char* key) {
  const IniEntry* entry = section.Find(key);
  if (entry == nullptr || entry->value.empty()) {
    throw DbConfigError(Where(ini, section.line()) + "section [" + section.name() + "] needs a value for key '" +
                        key + "'");
  }
  return *entry;
}

// Runs a host-side procedure; every error reaches the caller (unlike the
// component's gateway, which counts a duplicate key as success).
void RunProcedure(const Ref<IAdoConnection>& connection, const std::string& procedure,
                  const std::vector<std::pair<std::string, std::string>>& values) {
  AdoCommand cmd;
  cmd.CommandType = adCmdStoredProc;
  cmd.CommandText = procedure;
  cmd.ActiveConnection = connection;
  cmd.NamedParameters = true;
  cmd.Parameters.Refresh();
  cmd.Parameters.Item("@CmdIndex").Value = AdoValue::Integer(0);
  for (const auto& [name, value] : values) cmd.Parameters.Item(name).Value = AdoValue::Text(value);
  cmd.Execute();
}

const char* kUsage =
    "Usage: dvrlink-db COMMAND [OPTIONS]\n"
    "\n"
    "Creates, upgrades and checks the Dvrlink host database.\n"
    "\n"
    "Commands:\n"
    "  init [--connection STRING] [--config FILE]\n"
    "      Create or upgrade the tables and stored procedures (safe to run again;\n"
    "      creates a SQLite file), then, with --config, create or update the DVR\n"
    "      and camera rows of every [dvr] / [dvr.N] section of the service\n"
    "      configuration FILE. Without --connection, the connection_string of\n"
    "      FILE's [host] section is used.\n"
    "  check [--connection STRING] [--config FILE]\n"
    "      Report what the database lacks (with --config, also the DVR and\n"
    "      camera rows of FILE's DVR sections); exit 0 when complete, 1 otherwise.\n"
    "  schema sqlite|postgresql\n"
    "      Print the schema script of a provider.\n"
    "  --help, --version\n"
    "      Print this text, or the version.\n"
    "\n"
    "Connection strings:\n"
    "  Provider=SQLite;Data Source=FILE\n"
    "  Provider=PostgreSQL;Host=HOST;Port=PORT;Database=NAME;User ID=USER;Password=PASSWORD\n"
    "\n"
    "Exit status: 0 done, 1 the database failed or is incomplete, 2 bad arguments\n"
    "or configuration.\n";

}  // namespace

std::string ResolvePath(const std::string& folder, const std::string& path) {
  std::filesystem::path p(path);
  std::string joined = (p.is_absolute() ? p : std::filesystem::path(folder) / p).lexically_normal().string();
  if (joined.size() > 1 && joined.back() == '/') joined.pop_back();
  return joined;
}

std::string ResolveConnectionString(const std::string& folder, const std::string& connection_string) {
  // Only a SQLite connection names a file.
  std::vector<std::string> pairs;
  size_t start = 0;
  while (start <= connection_string.size()) {
    size_t semi = connection_string.find(';', start);
    if (semi == std::string::npos) semi = connection_string.size();
    pairs.push_back(connection_string.substr(start, semi - start));
    start = semi + 1;
  }
  auto key_is = [](const std::string& pair, const char* key) {
    size_t eq = pair.find('=');
    return eq != std::string::npos && EqualsNoCase(Trim(pair.substr(0, eq)), key);
  };
  bool sqlite = false;
  for (const std::string& pair : pairs) {
    sqlite = sqlite || (key_is(pair, "provider") && EqualsNoCase(Trim(pair.substr(pair.find('=') + 1)), "sqlite"));
  }
  if (!sqlite) return connection_string;
  std::string result;
  for (size_t i = 0; i < pairs.size(); ++i) {
    std::string pair = pairs[i];
    if (key_is(pair, "data source")) {
      size_t eq = pair.find('=');
      std::string file = Trim(pair.substr(eq + 1));
      if (!file.empty() && file.front() != '/') pair = pair.substr(0, eq + 1) + ResolvePath(folder, file);
    }
    if (i > 0) result += ";";
    result += pair;
  }
  return result;
}

std::string ConfigConnectionString(const IniFile& ini) {
  const IniSection* host = ini.Find("host");
  const IniEntry* entry = host ? host->Find("connection_string") : nullptr;
  if (entry == nullptr || Trim(entry->value).empty()) {
    throw DbConfigError(ini.file() + ": [host] has no connection_string; give --connection STRING");
  }
  std::error_code ec;
  std::filesystem::path absolute = std::filesystem::absolute(ini.file(), ec);
  return ResolveConnectionString((ec ? std::filesystem::path(ini.file()) : absolute).parent_path().string(),
                                 entry->value);
}

std::vector<std::string> CheckDvrSeeds(const std::string& connection_string, const std::vector<DvrSeed>& seeds) {
  std::unique_ptr<DbProvider> provider = OpenProvider(connection_string, false);
  auto rows = [&](const std::string& procedure, const std::vector<std::pair<std::string, AdoValue>>& values) {
    std::vector<AdoParameter> parameters;
    for (const auto& [name, value] : values) {
      AdoParameter p;
      p.Name = name;
      p.Value = value;
      parameters.push_back(std::move(p));
    }
    std::shared_ptr<Recordset> set = provider->ExecuteProcedure(procedure, parameters);
    std::vector<int32_t> ids;
    for (; set && set->State() == adStateOpen && !set->Eof(); set->MoveNext()) {
      ids.push_back(set->Fields("ID").Value.ToLong());
    }
    return ids;
  };
  std::vector<std::string> missing;
  for (const DvrSeed& seed : seeds) {
    const std::string dvr = "[" + seed.section + "] DVR " + seed.address + " (config_id " +
                            std::to_string(seed.config_id) + ")";
    std::vector<int32_t> configs = rows("usp_DVR_Config_Select", {{"@IP", AdoValue::Text(seed.address)}});
    if (std::find(configs.begin(), configs.end(), seed.config_id) == configs.end()) {
      missing.push_back(dvr + ": no DVR configuration row");
      continue;
    }
    std::string cameras;
    for (int camera = 0; camera < 16; ++camera) {
      if (!rows("usp_DVR_Cameras_Select", {{"@ID_DVR_Config", AdoValue::Integer(seed.config_id)},
                                            {"@CameraIndex", AdoValue::Integer(camera)}})
               .empty()) {
        continue;
      }
      cameras += (cameras.empty() ? "" : ",") + std::to_string(camera);
    }
    missing.push_back(cameras.empty() ? std::string() : dvr + ": no rows for cameras " + cameras);
  }
  return missing;
}

std::string CameraGlobalAddressID(const std::string& dvr_global_address_id, int camera_index) {
  std::string base = dvr_global_address_id;
  if (!base.empty() && base.front() == '$') base.erase(0, 1);
  base = base.substr(0, 14);
  std::string number = std::to_string(camera_index + 1);
  if (number.size() < 3) number.insert(0, 3 - number.size(), '0');
  return base + number;
}

std::vector<DvrSeed> ReadDvrSeeds(const IniFile& ini) {
  std::vector<DvrSeed> seeds;
  std::map<int32_t, std::string> ids;
  std::map<std::string, std::string> addresses;
  for (const IniSection& section : ini.sections()) {
    if (!IsDvrSection(section.name())) continue;
    DvrSeed seed;
    seed.section = section.name();
    const IniEntry& id = Required(ini, section, "config_id");
    auto number = WholeNumber(id.value);
    if (!number) {
      throw DbConfigError(Where(ini, id.line) + "section [" + section.name() + "] key 'config_id': '" + id.value +
                          "' is not a whole number");
    }
    seed.config_id = *number;
    seed.address = Required(ini, section, "address").value;
    seed.global_address_id = Required(ini, section, "global_address_id").value;
    seed.name = section.Get("name").value_or(std::string());

    if (auto [it, fresh] = ids.emplace(seed.config_id, section.name()); !fresh) {
      throw DbConfigError(Where(ini, id.line) + "section [" + section.name() + "] key 'config_id': " +
                          std::to_string(seed.config_id) + " is also the config_id of [" + it->second + "]");
    }
    if (auto [it, fresh] = addresses.emplace(seed.address, section.name()); !fresh) {
      throw DbConfigError(Where(ini, section.Find("address")->line) + "section [" + section.name() +
                          "] key 'address': " + seed.address + " is also the address of [" + it->second + "]");
    }

    for (int n = 0; n < 16; ++n) {
      seed.camera_names[static_cast<size_t>(n)] = "Camera " + std::to_string(n + 1);
      seed.camera_global_address_ids[static_cast<size_t>(n)] = CameraGlobalAddressID(seed.global_address_id, n);
    }
    for (const IniEntry& entry : section.entries()) {
      std::string key = LCase(entry.key);
      if (key.compare(0, 7, "camera.") != 0) continue;
      auto index = WholeNumber(key.substr(7));
      if (!index || *index < 0 || *index > 15 || key.size() > 9 || key[7] == '+' || key[7] == '-') {
        throw DbConfigError(Where(ini, entry.line) + "section [" + section.name() + "] key '" + entry.key +
                            "': cameras are numbered camera.0 to camera.15");
      }
      if (!entry.value.empty()) seed.camera_names[static_cast<size_t>(*index)] = entry.value;
    }
    seeds.push_back(std::move(seed));
  }
  return seeds;
}

void InitDatabase(const std::string& connection_string) {
  std::unique_ptr<DbProvider> provider = OpenProvider(connection_string, true);
  provider->ExecuteScript(SchemaScriptFor(provider->Name()));
}

void SeedDatabase(const std::string& connection_string, const std::vector<DvrSeed>& seeds) {
  auto connection = std::make_shared<AdoConnection>();
  connection->Open(connection_string, "", "", -1);
  Ref<IAdoConnection> ref(std::static_pointer_cast<IAdoConnection>(connection));
  for (const DvrSeed& seed : seeds) {
    try {
      RunProcedure(ref, "usp_DVR_Config_Save",
                   {{"@ID", std::to_string(seed.config_id)},
                    {"@IP", seed.address},
                    {"@GlobalAddressID", seed.global_address_id},
                    {"@Name", seed.name}});
      for (size_t n = 0; n < seed.camera_names.size(); ++n) {
        RunProcedure(ref, "usp_DVR_Cameras_Save",
                     {{"@ID_DVR_Config", std::to_string(seed.config_id)},
                      {"@CameraIndex", std::to_string(n)},
                      {"@CameraName", seed.camera_names[n]},
                      {"@GlobalAddressID", seed.camera_global_address_ids[n]}});
      }
    } catch (const RuntimeError& e) {
      throw RuntimeError(e.Number(), "seeding [" + seed.section + "] failed: " + e.Description(), e.Line());
    }
  }
}

std::vector<std::string> CheckDatabase(const std::string& connection_string) {
  std::unique_ptr<DbProvider> provider = OpenProvider(connection_string, false);
  std::vector<std::string> missing;
  bool catalogue_readable = true;
  for (const std::string& table : DbTables(provider->Name())) {
    if (provider->HasTable(table)) continue;
    missing.push_back("table " + table);
    if (table.rfind("dvrlink_procedure", 0) == 0) catalogue_readable = false;
  }
  for (const DbProcedureDef& def : DbProcedures()) {
    if (!catalogue_readable) {
      missing.push_back("procedure " + def.name);
      continue;
    }
    std::vector<AdoParameterInfo> declared = provider->DescribeProcedure(def.name);
    if (declared.empty()) {
      missing.push_back("procedure " + def.name);
      continue;
    }
    for (const std::string& parameter : def.parameters) {
      bool found = false;
      for (const AdoParameterInfo& info : declared) found = found || EqualsNoCase(info.Name, parameter);
      if (!found) missing.push_back("parameter " + parameter + " of procedure " + def.name);
    }
  }
  return missing;
}

int RunDbTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  auto usage_error = [&](const std::string& message) {
    err << "dvrlink-db: " << message << " (see dvrlink-db --help)\n";
    return 2;
  };
  if (args.empty()) return usage_error("no command given");
  const std::string& command = args[0];
  if (command == "--help" || command == "-h" || command == "help") {
    out << kUsage;
    return 0;
  }
  if (command == "--version") {
    out << "dvrlink-db " << DVRLINK_VERSION_MAJOR << "." << DVRLINK_VERSION_MINOR << "." << DVRLINK_VERSION_REVISION
        << "\n";
    return 0;
  }
  if (command == "schema") {
    if (args.size() != 2) return usage_error("schema takes one provider name: sqlite or postgresql");
    if (EqualsNoCase(args[1], "sqlite")) {
      out << kSqliteSchemaScript;
    } else if (EqualsNoCase(args[1], "postgresql")) {
      out << kPostgresSchemaScript;
    } else {
      return usage_error("unknown provider '" + args[1] + "' (sqlite or postgresql)");
    }
    return 0;
  }
  if (command != "init" && command != "check") return usage_error("unknown command '" + command + "'");

  std::optional<std::string> connection;
  std::optional<std::string> config;
  for (size_t i = 1; i < args.size(); ++i) {
    std::string option = args[i];
    std::optional<std::string> value;
    if (size_t eq = option.find('='); option.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = option.substr(eq + 1);
      option = option.substr(0, eq);
    }
    if (option == "--help" || option == "-h") {
      out << kUsage;
      return 0;
    }
    if (option != "--connection" && option != "--config") {
      return usage_error("unknown option '" + option + "' for " + command);
    }
    if (!value) {
      if (i + 1 >= args.size()) return usage_error("option " + option + " needs a value");
      value = args[++i];
    }
    (option == "--connection" ? connection : config) = *value;
  }
  std::vector<DvrSeed> seeds;
  if (config) {
    try {
      IniFile ini = IniFile::Load(*config);
      seeds = ReadDvrSeeds(ini);
      if (!connection) connection = ConfigConnectionString(ini);
    } catch (const std::runtime_error& e) {  // IniError, DbConfigError
      err << "dvrlink-db: " << e.what() << "\n";
      return 2;
    }
  }
  if (!connection || Trim(*connection).empty()) {
    return usage_error(command + " needs --connection STRING or --config FILE");
  }

  if (command == "check") {
    try {
      std::vector<std::string> missing = CheckDatabase(*connection);
      if (missing.empty()) {
        for (const std::string& item : CheckDvrSeeds(*connection, seeds)) {
          if (!item.empty()) missing.push_back(item);
        }
      }
      for (const std::string& item : missing) out << "missing: " << item << "\n";
      if (missing.empty()) {
        out << "complete\n";
        return 0;
      }
      return 1;
    } catch (const RuntimeError& e) {
      err << "dvrlink-db: error: " << e.Description() << "\n";
      return 1;
    }
  }

  try {
    InitDatabase(*connection);
    out << "schema and procedures ready\n";
    SeedDatabase(*connection, seeds);
    for (const DvrSeed& seed : seeds) {
      out << "seeded [" << seed.section << "]: DVR " << seed.config_id << " at " << seed.address
          << " with 16 cameras\n";
    }
  } catch (const RuntimeError& e) {
    err << "dvrlink-db: error: " << e.Description() << "\n";
    return 1;
  }
  return 0;
}

}  // namespace dvrlink
