#include "platform/ado_connection.h"

#include "support/runtime_error.h"
#include "support/vbstring.h"

namespace dvrlink {

std::map<std::string, std::string> ParseConnectionString(const std::string& text) {
  std::map<std::string, std::string> settings;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(';', start);
    if (end == std::string::npos) end = text.size();
    std::string pair = text.substr(start, end - start);
    if (!Trim(pair).empty()) {
      size_t eq = pair.find('=');
      if (eq == std::string::npos) {
        DVR_RAISE_TEXT(3001, "Connection string item without '=': '" + Trim(pair) + "'");
      }
      settings[LCase(Trim(pair.substr(0, eq)))] = Trim(pair.substr(eq + 1));
    }
    start = end + 1;
  }
  return settings;
}

AdoConnection::AdoConnection() = default;
AdoConnection::~AdoConnection() = default;

void AdoConnection::Open(const std::string& connection_string, const std::string& /*user*/,
                         const std::string& /*password*/, int32_t /*options*/) {
  if (Trim(connection_string).empty()) {
    DVR_RAISE_TEXT(kAdoErrUnspecified, "Connection string is empty: no provider and no database named");
  }
  auto settings = ParseConnectionString(connection_string);
  std::string provider = settings.count("provider") ? settings["provider"] : std::string();
  if (EqualsNoCase(provider, "SQLite")) {
    provider_ = OpenSqliteProvider(settings);
    return;
  }
  DVR_RAISE_TEXT(kAdoErrProviderNotFound,
                 "Provider cannot be found. It may not be properly installed. (Provider='" + provider +
                     "'; known: SQLite)");
}

void AdoConnection::Close() { provider_.reset(); }

}  // namespace dvrlink
