#include <sqlite3.h>
#include <sys/stat.h>

#include "platform/ado_connection.h"
#include "support/runtime_error.h"

namespace dvrlink {
namespace {

class SqliteProvider : public DbProvider {
 public:
  explicit SqliteProvider(sqlite3* db) : db_(db) {}
  ~SqliteProvider() override { sqlite3_close_v2(db_); }
  SqliteProvider(const SqliteProvider&) = delete;
  SqliteProvider& operator=(const SqliteProvider&) = delete;
  std::string Name() const override { return "SQLite"; }

 private:
  sqlite3* db_;
};

}  // namespace

std::unique_ptr<DbProvider> OpenSqliteProvider(const std::map<std::string, std::string>& settings) {
  auto it = settings.find("data source");
  if (it == settings.end() || it->second.empty()) {
    DVR_RAISE_TEXT(kAdoErrUnspecified, "SQLite: the connection string names no 'Data Source' file");
  }
  const std::string& file = it->second;
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    DVR_RAISE_TEXT(kAdoErrUnspecified,
                   "SQLite: database file '" + file + "' does not exist (create it with dvrlink-db init)");
  }
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    std::string message = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    sqlite3_close_v2(db);
    DVR_RAISE_TEXT(kAdoErrUnspecified, "SQLite: cannot open '" + file + "': " + message);
  }
  // Opening does not read the file; a first statement tells whether it is a
  // database at all.
  char* error = nullptr;
  rc = sqlite3_exec(db, "PRAGMA schema_version;", nullptr, nullptr, &error);
  if (rc != SQLITE_OK) {
    std::string message = error ? error : sqlite3_errstr(rc);
    sqlite3_free(error);
    sqlite3_close_v2(db);
    DVR_RAISE_TEXT(kAdoErrUnspecified, "SQLite: '" + file + "' is not usable: " + message);
  }
  sqlite3_busy_timeout(db, 2000);
  return std::make_unique<SqliteProvider>(db);
}

}  // namespace dvrlink
