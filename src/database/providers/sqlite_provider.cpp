// SQLite provider. A SQLite database has no stored procedures of its own, so
// the procedures live in the database file: dvrlink_procedures holds each
// procedure's SQL body (one or more statements using @Name parameters) and
// dvrlink_procedure_parameters its declared parameters in order, with their
// types (INTEGER or TEXT) and directions. Parameter discovery reads the
// declared list; execution binds every value by name, converted to the
// declared type, and never pastes a value into SQL.
//
// The connection registers dvr_datetime(text), which the procedure bodies use
// to read the date texts the component sends.
//
// A file locked by another process is waited for at most "Busy Timeout"
// milliseconds (connection string key, default 200), so the one thread goes
// on; the call then fails with 0x80004005 naming the procedure. A file
// deleted or replaced while open is noticed at the next call (the path no
// longer leads to the open file): every call then fails with 0x80004005
// saying how to recover, instead of writing into a file nobody can see.
//
// Durability: the file is in WAL mode (dvrlink-db init) and the connection
// runs with synchronous NORMAL (connection string key "Synchronous", NORMAL
// or FULL): a call that returned has its row in the log file, which
// survives the end of the process; FULL also syncs every commit to disk.
#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <optional>

#include "database/ado_connection.h"
#include "platform/platform_state.h"
#include "support/runtime_error.h"
#include "support/vbstring.h"

namespace dvrlink {
namespace {

// --- dates ----------------------------------------------------------------------

bool IsSpace(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }
bool IsDigitChar(char c) { return c >= '0' && c <= '9'; }

// Reads a run of min..max digits at pos.
std::optional<int> ReadDigits(const std::string& s, size_t& pos, size_t min, size_t max) {
  size_t start = pos;
  int value = 0;
  while (pos < s.size() && IsDigitChar(s[pos]) && pos - start < max) value = value * 10 + (s[pos++] - '0');
  if (pos - start < min || (pos < s.size() && IsDigitChar(s[pos]))) return std::nullopt;
  return value;
}

bool Expect(const std::string& s, size_t& pos, char c) {
  if (pos >= s.size() || s[pos] != c) return false;
  ++pos;
  return true;
}

// The date texts the procedures accept, the same grammar as dvr_datetime of
// the PostgreSQL schema:
//   M/D/YYYY h:mm:ss [AM|PM]   (the form DateTimeUSFormat writes)
//   YYYY/M/D h:mm:ss [AM|PM]   (the form of "@dtDate")
// with blanks around the text; AM/PM in any case makes it a 12-hour clock
// (hour 1..12), without it the hour is 0..23.
std::optional<DateTime> ParseProcedureDate(const std::string& text) {
  size_t pos = 0;
  while (pos < text.size() && IsSpace(text[pos])) ++pos;
  size_t first_start = pos;
  auto first = ReadDigits(text, pos, 1, 4);
  if (!first) return std::nullopt;
  bool year_first = pos - first_start == 4;
  if (!year_first && pos - first_start > 2) return std::nullopt;
  if (!Expect(text, pos, '/')) return std::nullopt;
  auto second = ReadDigits(text, pos, 1, 2);
  if (!second || !Expect(text, pos, '/')) return std::nullopt;
  auto third = year_first ? ReadDigits(text, pos, 1, 2) : ReadDigits(text, pos, 4, 4);
  if (!third) return std::nullopt;
  int year = year_first ? *first : *third;
  int month = year_first ? *second : *first;
  int day = year_first ? *third : *second;

  size_t blanks = pos;
  while (pos < text.size() && IsSpace(text[pos])) ++pos;
  if (pos == blanks) return std::nullopt;
  auto hour = ReadDigits(text, pos, 1, 2);
  if (!hour || !Expect(text, pos, ':')) return std::nullopt;
  auto minute = ReadDigits(text, pos, 2, 2);
  if (!minute || !Expect(text, pos, ':')) return std::nullopt;
  auto second_of_minute = ReadDigits(text, pos, 2, 2);
  if (!second_of_minute) return std::nullopt;

  int h = *hour;
  blanks = pos;
  while (pos < text.size() && IsSpace(text[pos])) ++pos;
  if (pos > blanks && pos + 2 <= text.size()) {
    std::string designator = UCase(text.substr(pos, 2));
    if (designator == "AM" || designator == "PM") {
      if (h < 1 || h > 12) return std::nullopt;
      h = h % 12 + (designator == "PM" ? 12 : 0);
      pos += 2;
      while (pos < text.size() && IsSpace(text[pos])) ++pos;
    }
  }
  if (pos != text.size()) return std::nullopt;
  if (year < 1 || month < 1 || month > 12 || day < 1 || h > 23 || *minute > 59 || *second_of_minute > 59) {
    return std::nullopt;
  }
  DateTime value = DateTime::FromParts(year, month, day, h, *minute, *second_of_minute);
  if (value.Day() != day || value.Month() != month) return std::nullopt;  // February 30 and the like
  return value;
}

// "YYYY-MM-DD hh:mm:ss", the form dates are stored in.
std::string StoredDate(DateTime d) {
  std::string iso = d.FormatIso();  // YYYY-MM-DDThh:mm:ss
  iso[10] = ' ';
  return iso;
}

void SqlDvrDatetime(sqlite3_context* context, int argc, sqlite3_value** argv) {
  if (argc != 1 || sqlite3_value_type(argv[0]) == SQLITE_NULL) {
    sqlite3_result_null(context);
    return;
  }
  const unsigned char* raw = sqlite3_value_text(argv[0]);
  std::string text = raw ? reinterpret_cast<const char*>(raw) : "";
  auto value = ParseProcedureDate(text);
  if (!value) {
    std::string message = "'" + text + "' is not a date (expected MM/DD/YYYY hh:mm:ss AM/PM or YYYY/MM/DD hh:mm:ss)";
    sqlite3_result_error(context, message.c_str(), -1);
    sqlite3_result_error_code(context, SQLITE_MISMATCH);
    return;
  }
  std::string stored = StoredDate(*value);
  sqlite3_result_text(context, stored.c_str(), static_cast<int>(stored.size()), SQLITE_TRANSIENT);
}

// --- statements -------------------------------------------------------------------

class Statement {
 public:
  Statement() = default;
  explicit Statement(sqlite3_stmt* stmt) : stmt_(stmt) {}
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  Statement(Statement&& other) noexcept : stmt_(other.stmt_) { other.stmt_ = nullptr; }
  Statement& operator=(Statement&& other) noexcept {
    if (this != &other) {
      sqlite3_finalize(stmt_);
      stmt_ = other.stmt_;
      other.stmt_ = nullptr;
    }
    return *this;
  }
  sqlite3_stmt* get() const { return stmt_; }

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

int32_t ErrorNumberFor(int rc) {
  switch (rc & 0xff) {
    case SQLITE_CONSTRAINT:
      return kDbErrIntegrityViolation;
    case SQLITE_MISMATCH:
      return kDbErrCantConvertValue;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
    case SQLITE_IOERR:
    case SQLITE_CORRUPT:
    case SQLITE_FULL:
    case SQLITE_CANTOPEN:
    case SQLITE_READONLY:
    case SQLITE_NOTADB:
      return kAdoErrUnspecified;
    default:
      return kDbErrErrorsInCommand;
  }
}

bool ContainsNoCase(const std::string& haystack, const char* needle) {
  return UCase(haystack).find(needle) != std::string::npos;
}

// A declared parameter and the value it is bound with.
struct Binding {
  AdoParameterInfo info;
  const AdoParameter* sent = nullptr;  // nullptr: not sent, bound as Null
};

// Resets a statement when leaving the scope, so that a statement kept for
// later holds no lock and no half-read result.
struct Resetter {
  sqlite3_stmt* stmt;
  ~Resetter() { sqlite3_reset(stmt); }
};

class SqliteProvider : public DbProvider {
 public:
  SqliteProvider(sqlite3* db, std::string file, const struct stat& opened, int busy_ms)
      : db_(db), file_(std::move(file)), device_(opened.st_dev), inode_(opened.st_ino), busy_ms_(busy_ms) {}
  ~SqliteProvider() override {
    bodies_.clear();
    describe_ = Statement();
    load_body_ = Statement();
    sqlite3_close_v2(db_);
  }
  SqliteProvider(const SqliteProvider&) = delete;
  SqliteProvider& operator=(const SqliteProvider&) = delete;
  std::string Name() const override { return "SQLite"; }

  std::vector<AdoParameterInfo> DescribeProcedure(const std::string& procedure) override {
    RequireFileInPlace(procedure);
    return Known(procedure).declared;
  }

  // The declared parameters as the catalogue lists them now.
  std::vector<AdoParameterInfo> ReadDeclaration(const std::string& procedure) {
    sqlite3_stmt* stmt = Cached(describe_,
                                "SELECT name, type, direction FROM dvrlink_procedure_parameters "
                                "WHERE procedure_name = ?1 ORDER BY ordinal",
                                procedure);
    Resetter reset{stmt};
    sqlite3_bind_text(stmt, 1, procedure.c_str(), static_cast<int>(procedure.size()), SQLITE_TRANSIENT);
    std::vector<AdoParameterInfo> result;
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
      AdoParameterInfo info;
      info.Name = ColumnText(stmt, 0);
      std::string type = UCase(ColumnText(stmt, 1));
      std::string direction = UCase(ColumnText(stmt, 2));
      info.Type = type == "INTEGER" ? adInteger : adVarChar;
      info.Size = type == "INTEGER" ? 4 : INT32_MAX;
      info.Direction = direction == "OUT" ? adParamOutput : direction == "INOUT" ? adParamInputOutput : adParamInput;
      result.push_back(std::move(info));
    }
    if (rc != SQLITE_DONE) Fail(rc, procedure);
    return result;
  }

  // A procedure that has run before has its catalogue check and its body run
  // in one transaction (deferred when the body only reads, immediate when it
  // writes), so the call takes the file's locks once; a failure rolls the
  // whole call back, as autocommit would have. Inside a caller's transaction
  // and on a procedure's first call, each statement runs on its own.
  std::shared_ptr<Recordset> ExecuteProcedure(const std::string& procedure,
                                              std::vector<AdoParameter>& parameters) override {
    RequireFileInPlace(procedure);
    auto it = known_.find(procedure);
    if (it == known_.end() || it->second.writes < 0 || !sqlite3_get_autocommit(db_)) {
      return RunProcedure(procedure, parameters, false);
    }
    const bool deferred = it->second.writes == 0;
    if (deferred) {
      Step(begin_, "BEGIN", procedure);
    } else {
      Step(begin_immediate_, "BEGIN IMMEDIATE", procedure);
    }
    try {
      auto result = RunProcedure(procedure, parameters, deferred);
      if (!sqlite3_get_autocommit(db_)) Step(commit_, "COMMIT", procedure);
      return result;
    } catch (...) {
      if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
      throw;
    }
  }

 private:
  std::shared_ptr<Recordset> RunProcedure(const std::string& procedure, std::vector<AdoParameter>& parameters,
                                          bool in_read_transaction) {
    KnownProcedure& known = Known(procedure);
    if (!known.body) {
      DVR_RAISE_TEXT(kDbErrErrorsInCommand, "SQLite: Could not find stored procedure '" + procedure + "'.");
    }
    std::vector<Binding> bindings = MatchParameters(procedure, known.declared, parameters);
    const std::vector<Statement>& statements = BodyStatements(procedure, *known.body);
    if (known.writes < 0) {
      known.writes = std::any_of(statements.begin(), statements.end(),
                                 [](const Statement& s) { return !sqlite3_stmt_readonly(s.get()); });
    }
    // Only a body that stores has the logs written first: a look-up changes
    // nothing the logs could fall behind.
    if (known.writes != 0) BeforeOutput();
    // A body declared anew that writes leaves the read transaction first: a
    // read snapshot cannot take the write lock once another connection wrote.
    if (in_read_transaction && known.writes) Step(commit_, "COMMIT", procedure);

    std::shared_ptr<Recordset> result;
    // Several statements succeed or fail together.
    const bool in_savepoint = statements.size() > 1 && sqlite3_get_autocommit(db_);
    if (in_savepoint) Exec("SAVEPOINT dvrlink_procedure", procedure);
    try {
      for (const Statement& statement : statements) {
        Resetter reset{statement.get()};
        sqlite3_clear_bindings(statement.get());
        Bind(procedure, statement.get(), bindings);
        auto rows = Run(procedure, statement.get());
        if (rows && !result) result = std::move(rows);
      }
      if (in_savepoint) Exec("RELEASE dvrlink_procedure", procedure);
    } catch (...) {
      if (in_savepoint) {
        sqlite3_exec(db_, "ROLLBACK TO dvrlink_procedure; RELEASE dvrlink_procedure", nullptr, nullptr, nullptr);
      }
      throw;
    }
    if (!result) result = std::make_shared<Recordset>();
    CopyOutputs(*result, parameters);
    return result;
  }

 public:
  void ExecuteScript(const std::string& sql) override {
    char* error = nullptr;
    known_.clear();
    int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error);
    if (rc != SQLITE_OK) {
      std::string message = error ? error : sqlite3_errstr(rc);
      sqlite3_free(error);
      if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
      DVR_RAISE_TEXT(ErrorNumberFor(rc), "SQLite: script failed on '" + file_ + "': " + message);
    }
  }

  bool HasTable(const std::string& table) override {
    Statement stmt = Prepare("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?1", table);
    sqlite3_bind_text(stmt.get(), 1, table.c_str(), static_cast<int>(table.size()), SQLITE_TRANSIENT);
    int rc = sqlite3_step(stmt.get());
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) Fail(rc, table);
    return rc == SQLITE_ROW;
  }

  bool Reusable() const override { return sqlite3_get_autocommit(db_) && FileInPlace(); }

 private:
  // The open file must still be the one at the path.
  bool FileInPlace() const {
    struct stat now {};
    return ::stat(file_.c_str(), &now) == 0 && now.st_dev == device_ && now.st_ino == inode_;
  }

  void RequireFileInPlace(const std::string& procedure) const {
    if (FileInPlace()) return;
    DVR_RAISE_TEXT(kAdoErrUnspecified,
                   "SQLite: procedure '" + procedure + "': the database file '" + file_ +
                       "' was deleted or replaced while open; nothing is written any more. Restore the file (or "
                       "create it with dvrlink-db init), then restart dvrlink");
  }

  [[noreturn]] void Fail(int rc, const std::string& procedure) const {
    std::string message = sqlite3_errmsg(db_);
    if (ContainsNoCase(message, "NO SUCH TABLE: DVRLINK_PROCEDURE")) {
      message += " (the database holds no procedures: run dvrlink-db init)";
    }
    if ((rc & 0xff) == SQLITE_BUSY || (rc & 0xff) == SQLITE_LOCKED) {
      message += " (another process held it for longer than the " + std::to_string(busy_ms_) +
                 " ms Busy Timeout)";
    }
    DVR_RAISE_TEXT(ErrorNumberFor(rc),
                   "SQLite: procedure '" + procedure + "': " + message);
  }

  Statement Prepare(const char* sql, const std::string& procedure) const {
    sqlite3_stmt* raw = nullptr;
    int rc = sqlite3_prepare_v2(db_, sql, -1, &raw, nullptr);
    Statement stmt(raw);
    if (rc != SQLITE_OK) Fail(rc, procedure);
    return stmt;
  }

  void Exec(const char* sql, const std::string& procedure) const {
    int rc = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) Fail(rc, procedure);
  }

  // Runs a statement without rows, prepared once and kept in its slot.
  void Step(Statement& slot, const char* sql, const std::string& procedure) {
    sqlite3_stmt* stmt = Cached(slot, sql, procedure);
    Resetter reset{stmt};
    int rc = sqlite3_step(stmt);
    if (rc != SQLITE_DONE) Fail(rc, procedure);
  }

  static std::string ColumnText(sqlite3_stmt* stmt, int column) {
    const unsigned char* text = sqlite3_column_text(stmt, column);
    if (text == nullptr) return std::string();
    return std::string(reinterpret_cast<const char*>(text), static_cast<size_t>(sqlite3_column_bytes(stmt, column)));
  }

  // The body, none when the catalogue has no such procedure.
  std::optional<std::string> LoadBody(const std::string& procedure) {
    sqlite3_stmt* stmt = Cached(load_body_, "SELECT body FROM dvrlink_procedures WHERE name = ?1", procedure);
    Resetter reset{stmt};
    sqlite3_bind_text(stmt, 1, procedure.c_str(), static_cast<int>(procedure.size()), SQLITE_TRANSIENT);
    int rc = sqlite3_step(stmt);
    if (rc == SQLITE_DONE) return std::nullopt;
    if (rc != SQLITE_ROW) Fail(rc, procedure);
    return ColumnText(stmt, 0);
  }

  // What the catalogue says of a procedure, read once and kept until any
  // other connection commits (PRAGMA data_version moves; dvrlink-db, a host
  // tool) or this one runs a script: a procedure declared anew is seen by
  // the next call, and a call costs no catalogue query otherwise.
  struct KnownProcedure {
    std::vector<AdoParameterInfo> declared;
    std::optional<std::string> body;
    int writes = -1;  // whether the body writes; -1 until it has run
  };
  KnownProcedure& Known(const std::string& procedure) {
    sqlite3_stmt* stmt = Cached(data_version_, "PRAGMA data_version", procedure);
    Resetter reset{stmt};
    int rc = sqlite3_step(stmt);
    if (rc != SQLITE_ROW) Fail(rc, procedure);
    const int64_t version = sqlite3_column_int64(stmt, 0);
    if (version != known_version_) {
      known_.clear();
      known_version_ = version;
    }
    auto it = known_.find(procedure);
    if (it != known_.end()) return it->second;
    KnownProcedure read{ReadDeclaration(procedure), LoadBody(procedure)};
    if (known_.size() >= kMaxCachedBodies) known_.clear();
    return known_.emplace(procedure, std::move(read)).first->second;
  }

  // A catalogue query, prepared on first use and kept for the connection.
  sqlite3_stmt* Cached(Statement& slot, const char* sql, const std::string& procedure) {
    if (slot.get() == nullptr) slot = Prepare(sql, procedure);
    return slot.get();
  }

  // The prepared statements of a procedure body, kept by body text like a
  // server's plan cache (SQLite prepares them again by itself when the
  // schema changes); an edited body is a new entry.
  const std::vector<Statement>& BodyStatements(const std::string& procedure, const std::string& body) {
    auto it = bodies_.find(body);
    if (it != bodies_.end()) return it->second;
    std::vector<Statement> statements;
    const char* tail = body.c_str();
    while (tail != nullptr && *tail != '\0') {
      sqlite3_stmt* raw = nullptr;
      const char* next = nullptr;
      int rc = sqlite3_prepare_v2(db_, tail, -1, &raw, &next);
      Statement stmt(raw);
      if (rc != SQLITE_OK) Fail(rc, procedure);
      tail = next;
      if (raw != nullptr) statements.push_back(std::move(stmt));  // else blanks or a comment
    }
    if (bodies_.size() >= kMaxCachedBodies) bodies_.clear();
    return bodies_.emplace(body, std::move(statements)).first->second;
  }

  // Pairs every parameter the procedure declares with the value sent for it;
  // a sent parameter the procedure does not declare fails the call.
  std::vector<Binding> MatchParameters(const std::string& procedure, const std::vector<AdoParameterInfo>& declared,
                                       const std::vector<AdoParameter>& sent) {
    std::vector<Binding> bindings;
    bindings.reserve(declared.size());
    for (const AdoParameterInfo& info : declared) bindings.push_back(Binding{info, nullptr});
    for (const AdoParameter& p : sent) {
      bool is_output = p.Direction == adParamOutput || p.Direction == adParamReturnValue;
      if (!is_output && p.Value.IsEmpty()) continue;  // not sent
      Binding* match = nullptr;
      for (Binding& b : bindings) {
        if (EqualsNoCase(b.info.Name, p.Name)) match = &b;
      }
      if (match == nullptr) {
        DVR_RAISE_TEXT(kDbErrErrorsInCommand,
                       "SQLite: procedure '" + procedure + "' has no parameter named '" + p.Name + "'.");
      }
      if (match->sent == nullptr && !is_output) match->sent = &p;
    }
    return bindings;
  }

  void Bind(const std::string& procedure, sqlite3_stmt* stmt, const std::vector<Binding>& bindings) {
    int count = sqlite3_bind_parameter_count(stmt);
    for (int index = 1; index <= count; ++index) {
      const char* raw_name = sqlite3_bind_parameter_name(stmt, index);
      std::string name = raw_name ? raw_name : "?";
      const Binding* binding = nullptr;
      for (const Binding& b : bindings) {
        if (EqualsNoCase(b.info.Name, name)) binding = &b;
      }
      if (binding == nullptr) {
        DVR_RAISE_TEXT(kDbErrErrorsInCommand,
                       "SQLite: procedure '" + procedure + "' uses '" + name + "', which it does not declare.");
      }
      int rc = BindValue(procedure, stmt, index, *binding);
      if (rc != SQLITE_OK) Fail(rc, procedure);
    }
  }

  int BindValue(const std::string& procedure, sqlite3_stmt* stmt, int index, const Binding& binding) {
    if (binding.sent == nullptr || binding.sent->Value.IsNull()) return sqlite3_bind_null(stmt, index);
    const AdoValue& value = binding.sent->Value;
    if (binding.info.Type == adInteger) {
      std::optional<int64_t> number;
      if (value.kind() == AdoValue::Kind::kInteger || value.kind() == AdoValue::Kind::kBoolean) {
        number = value.integer();
      } else {
        number = ParseInteger(value.ToText());
      }
      if (!number || *number < INT32_MIN || *number > INT32_MAX) {
        DVR_RAISE_TEXT(kDbErrCantConvertValue, "SQLite: procedure '" + procedure + "', parameter '" +
                                                   binding.info.Name + "': cannot convert '" + value.ToText() +
                                                   "' to INTEGER.");
      }
      return sqlite3_bind_int64(stmt, index, *number);
    }
    std::string text = value.ToText();
    return sqlite3_bind_text(stmt, index, text.c_str(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
  }

  // Optional blanks, optional sign, decimal digits, optional blanks.
  static std::optional<int64_t> ParseInteger(const std::string& text) {
    size_t pos = 0;
    while (pos < text.size() && IsSpace(text[pos])) ++pos;
    bool negative = false;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) negative = text[pos++] == '-';
    size_t digits = pos;
    int64_t value = 0;
    while (pos < text.size() && IsDigitChar(text[pos])) {
      if (value > (INT64_MAX - 9) / 10) return std::nullopt;
      value = value * 10 + (text[pos++] - '0');
    }
    if (pos == digits) return std::nullopt;
    while (pos < text.size() && IsSpace(text[pos])) ++pos;
    if (pos != text.size()) return std::nullopt;
    return negative ? -value : value;
  }

  // Steps the statement to its end. Returns its rows when it has columns.
  std::shared_ptr<Recordset> Run(const std::string& procedure, sqlite3_stmt* stmt) {
    int columns = sqlite3_column_count(stmt);
    std::vector<std::string> names;
    std::vector<bool> is_date;
    for (int c = 0; c < columns; ++c) {
      names.emplace_back(sqlite3_column_name(stmt, c));
      const char* decl = sqlite3_column_decltype(stmt, c);
      std::string type = decl ? UCase(decl) : std::string();
      is_date.push_back(type.find("DATE") != std::string::npos || type.find("TIME") != std::string::npos);
    }
    std::vector<std::vector<AdoValue>> rows;
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
      std::vector<AdoValue> row;
      row.reserve(static_cast<size_t>(columns));
      for (int c = 0; c < columns; ++c) row.push_back(ReadColumn(stmt, c, is_date[static_cast<size_t>(c)]));
      rows.push_back(std::move(row));
    }
    if (rc != SQLITE_DONE) Fail(rc, procedure);
    if (columns == 0) return nullptr;
    return std::make_shared<Recordset>(std::move(names), std::move(rows));
  }

  static AdoValue ReadColumn(sqlite3_stmt* stmt, int c, bool is_date) {
    switch (sqlite3_column_type(stmt, c)) {
      case SQLITE_NULL:
        return AdoValue::Null();
      case SQLITE_INTEGER:
        return AdoValue::Integer(sqlite3_column_int64(stmt, c));
      case SQLITE_FLOAT:
        return AdoValue::Double(sqlite3_column_double(stmt, c));
      default: {
        std::string text = ColumnText(stmt, c);
        if (is_date) {
          if (auto d = DateTime::Parse(text)) return AdoValue::Date(*d);
        }
        return AdoValue::Text(std::move(text));
      }
    }
  }

  // An output parameter receives the first row's value of the result column
  // named like it.
  static void CopyOutputs(const Recordset& result, std::vector<AdoParameter>& parameters) {
    for (AdoParameter& p : parameters) {
      if (p.Direction != adParamOutput && p.Direction != adParamInputOutput && p.Direction != adParamReturnValue) {
        continue;
      }
      p.Value = AdoValue::Null();
      if (result.State() != adStateOpen || result.Eof()) continue;
      for (const std::string& column : result.Columns()) {
        if (EqualsNoCase(column, p.Name)) p.Value = result.Fields(column).Value;
      }
    }
  }

  static constexpr size_t kMaxCachedBodies = 64;

  sqlite3* db_;
  std::string file_;
  dev_t device_;
  ino_t inode_;
  int busy_ms_;
  Statement describe_;
  Statement load_body_;
  Statement data_version_;
  Statement begin_;
  Statement begin_immediate_;
  Statement commit_;
  int64_t known_version_ = -1;
  std::map<std::string, KnownProcedure> known_;
  std::map<std::string, std::vector<Statement>> bodies_;
};

}  // namespace

std::unique_ptr<DbProvider> OpenSqliteProvider(const std::map<std::string, std::string>& settings,
                                               bool create_missing) {
  auto it = settings.find("data source");
  if (it == settings.end() || it->second.empty()) {
    DVR_RAISE_TEXT(kAdoErrUnspecified, "SQLite: the connection string names no 'Data Source' file");
  }
  const std::string& file = it->second;
  struct stat st {};
  bool exists = ::stat(file.c_str(), &st) == 0;
  if (exists && !S_ISREG(st.st_mode)) {
    DVR_RAISE_TEXT(kAdoErrUnspecified, "SQLite: '" + file + "' is not a regular file");
  }
  if (!exists && !create_missing) {
    DVR_RAISE_TEXT(kAdoErrUnspecified,
                   "SQLite: database file '" + file + "' does not exist (create it with dvrlink-db init)");
  }
  sqlite3* db = nullptr;
  int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (create_missing ? SQLITE_OPEN_CREATE : 0);
  int rc = sqlite3_open_v2(file.c_str(), &db, flags, nullptr);
  if (rc != SQLITE_OK) {
    std::string message = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    sqlite3_close_v2(db);
    DVR_RAISE_TEXT(kAdoErrUnspecified, "SQLite: cannot open '" + file + "': " + message);
  }
  // Opening does not read the file; a first statement tells whether it is a
  // database at all.
  char* error = nullptr;
  rc = sqlite3_exec(db, "PRAGMA schema_version; PRAGMA foreign_keys = ON;", nullptr, nullptr, &error);
  if (rc != SQLITE_OK) {
    std::string message = error ? error : sqlite3_errstr(rc);
    sqlite3_free(error);
    sqlite3_close_v2(db);
    DVR_RAISE_TEXT(kAdoErrUnspecified, "SQLite: '" + file + "' is not usable: " + message);
  }
  int busy_ms = 200;
  if (auto busy = settings.find("busy timeout"); busy != settings.end() && !busy->second.empty()) {
    const std::string& text = busy->second;
    if (text.size() > 6 || text.find_first_not_of("0123456789") != std::string::npos) {
      sqlite3_close_v2(db);
      DVR_RAISE_TEXT(kAdoErrInvalidArgument,
                     "SQLite: 'Busy Timeout' must be a whole number of milliseconds, found '" + text + "'");
    }
    busy_ms = std::stoi(text);
  }
  sqlite3_busy_timeout(db, busy_ms);
  // WAL (set by dvrlink-db init) with synchronous NORMAL: a commit is in the
  // log file once the call returns, so it survives the end of the process
  // (kill -9, a crash); only a power loss or an operating-system crash may
  // lose the last commits. "Synchronous=FULL" syncs every commit too.
  std::string synchronous = "NORMAL";
  if (auto level = settings.find("synchronous"); level != settings.end() && !level->second.empty()) {
    synchronous = UCase(level->second);
    if (synchronous != "NORMAL" && synchronous != "FULL") {
      sqlite3_close_v2(db);
      DVR_RAISE_TEXT(kAdoErrInvalidArgument,
                     "SQLite: 'Synchronous' must be NORMAL or FULL, found '" + level->second + "'");
    }
  }
  sqlite3_exec(db, ("PRAGMA synchronous = " + synchronous).c_str(), nullptr, nullptr, nullptr);
  rc = sqlite3_create_function_v2(db, "dvr_datetime", 1, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr,
                                  SqlDvrDatetime, nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) {
    std::string message = sqlite3_errmsg(db);
    sqlite3_close_v2(db);
    DVR_RAISE_TEXT(kAdoErrUnspecified, "SQLite: cannot register dvr_datetime on '" + file + "': " + message);
  }
  if (::stat(file.c_str(), &st) != 0) {
    sqlite3_close_v2(db);
    DVR_RAISE_TEXT(kAdoErrUnspecified, "SQLite: '" + file + "' is gone");
  }
  return std::make_unique<SqliteProvider>(db, file, st, busy_ms);
}

}  // namespace dvrlink
