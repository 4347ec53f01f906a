// PostgreSQL provider over libpq. The procedures are functions named like
// them, with parameters named like "@IP"; parameter discovery reads pg_proc,
// and a call is
//   SELECT * FROM "usp_X"("@A" => $1, "@B" => $2)
// with every value bound as text and converted by the server to the declared
// type. A function returning void gives a closed recordset.
//
// Errors: SQLSTATE class 23 (integrity constraint) is 0x80040E2F, class 22
// (data exception, such as a text that is not a date) 0x80040E07, a lost or
// refused connection 0x80004005, anything else 0x80040E14. A connection found
// broken is reset at the start of the next call, so the call after the server
// comes back works; a call whose connection breaks under it (the server was
// restarted since the last call) is made once more on a new connection.
//
// Time limits, so that a hung server cannot hold the one thread for long
// (connection string keys, seconds): "Connect Timeout" (default 5, at least
// 2) bounds making a connection, "Command Timeout" (default 5) every
// statement; a statement without its answer in time fails with 0x80004005
// and its connection is made anew at the next call. TCP keepalives find a
// server that vanished between calls: "Keepalives Idle" (default 30),
// "Keepalives Interval" (10), "Keepalives Count" (3).
#include <libpq-fe.h>
#include <poll.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <map>

#include "database/ado_connection.h"
#include "database/providers/libpq_library.h"
#include "platform/platform_state.h"
#include "support/debug_log.h"
#include "support/runtime_error.h"
#include "support/vbstring.h"

namespace dvrlink {
namespace {

// Type OIDs of the built-in types the provider reads (pg_type.h).
constexpr Oid kOidBool = 16;
constexpr Oid kOidInt8 = 20;
constexpr Oid kOidInt2 = 21;
constexpr Oid kOidInt4 = 23;
constexpr Oid kOidFloat4 = 700;
constexpr Oid kOidFloat8 = 701;
constexpr Oid kOidTimestamp = 1114;
constexpr Oid kOidTimestampTz = 1184;
constexpr Oid kOidDate = 1082;
constexpr Oid kOidVoid = 2278;

// The declared parameters of the first function of the name on the search
// path; table columns of RETURNS TABLE ('t') are results, not parameters.
constexpr const char* kDescribeSql = R"sql(
WITH f AS (
  SELECT p.oid, p.proargnames, p.proargmodes,
         coalesce(p.proallargtypes, p.proargtypes::oid[]) AS types
  FROM pg_catalog.pg_proc p
  JOIN pg_catalog.pg_namespace n ON n.oid = p.pronamespace
  WHERE p.proname = $1 AND n.nspname = ANY (pg_catalog.current_schemas(false))
  ORDER BY pg_catalog.array_position(pg_catalog.current_schemas(false), n.nspname::text), p.oid
  LIMIT 1
)
SELECT a.name, coalesce(a.mode, 'i'), pg_catalog.format_type(a.typ, NULL)
FROM f CROSS JOIN LATERAL unnest(f.types, f.proargnames, f.proargmodes::text[])
     WITH ORDINALITY AS a(typ, name, mode, ord)
WHERE coalesce(a.mode, 'i') <> 't'
ORDER BY a.ord
)sql";

class Result {
 public:
  Result(const LibPq& pq, PGresult* r) : pq_(pq), r_(r) {}
  ~Result() { pq_.PQclear(r_); }
  Result(const Result&) = delete;
  Result& operator=(const Result&) = delete;
  PGresult* get() const { return r_; }

 private:
  const LibPq& pq_;
  PGresult* r_;
};

std::string ErrorField(const LibPq& pq, const PGresult* r, int field) {
  const char* text = r ? pq.PQresultErrorField(r, field) : nullptr;
  return text ? text : "";
}

std::string TrimMessage(std::string message) {
  while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) message.pop_back();
  for (char& c : message) {
    if (c == '\n') c = ' ';
  }
  return message;
}

// The connection's failure that a second try on a new connection may mend.
struct ConnectionLost {
  std::string message;
};

class PostgresProvider : public DbProvider {
 public:
  PostgresProvider(std::shared_ptr<const LibPq> pq, PGconn* conn, std::string where, int command_timeout_s)
      : pq_(std::move(pq)), conn_(conn), where_(std::move(where)), command_timeout_s_(command_timeout_s) {}
  ~PostgresProvider() override { pq_->PQfinish(conn_); }
  PostgresProvider(const PostgresProvider&) = delete;
  PostgresProvider& operator=(const PostgresProvider&) = delete;
  std::string Name() const override { return "PostgreSQL"; }
  bool Reusable() const override {
    return pq_->PQstatus(conn_) == CONNECTION_OK && pq_->PQtransactionStatus(conn_) == PQTRANS_IDLE;
  }

  std::vector<AdoParameterInfo> DescribeProcedure(const std::string& procedure) override {
    const std::string what = "procedure '" + procedure + "'";
    std::unique_ptr<Result> r = Retrying([&] {
      if (!describe_prepared_) {
        // Planned once per connection: discovery runs on every gateway call.
        Result prepared(
            *pq_, Run(what, [&] { return pq_->PQsendPrepare(conn_, kDescribeStatement, kDescribeSql, 1, nullptr); }));
        Check(prepared.get(), what);
        describe_prepared_ = true;
      }
      const char* values[1] = {procedure.c_str()};
      auto described = std::make_unique<Result>(*pq_, Run(
          what, [&] { return pq_->PQsendQueryPrepared(conn_, kDescribeStatement, 1, values, nullptr, nullptr, 0); }));
      Check(described->get(), what);
      return described;
    });
    std::vector<AdoParameterInfo> result;
    for (int row = 0; row < pq_->PQntuples(r->get()); ++row) {
      AdoParameterInfo info;
      info.Name = pq_->PQgetvalue(r->get(), row, 0);
      std::string mode = pq_->PQgetvalue(r->get(), row, 1);
      std::string type = pq_->PQgetvalue(r->get(), row, 2);
      info.Direction = mode == "o" ? adParamOutput : mode == "b" ? adParamInputOutput : adParamInput;
      if (type == "integer" || type == "smallint") {
        info.Type = adInteger;
        info.Size = 4;
      } else if (type == "bigint") {
        info.Type = adBigInt;
        info.Size = 8;
      } else if (type == "boolean") {
        info.Type = adBoolean;
        info.Size = 2;
      } else if (type == "double precision" || type == "real" || type == "numeric") {
        info.Type = adDouble;
        info.Size = 8;
      } else if (type.rfind("timestamp", 0) == 0 || type == "date") {
        info.Type = adDBTimeStamp;
        info.Size = 16;
      } else {
        info.Type = adVarChar;
        info.Size = INT32_MAX;
      }
      result.push_back(std::move(info));
    }
    return result;
  }

  std::shared_ptr<Recordset> ExecuteProcedure(const std::string& procedure,
                                              std::vector<AdoParameter>& parameters) override {
    std::string sql = "SELECT * FROM " + Identifier(procedure) + "(";
    std::vector<std::string> texts;
    std::vector<bool> nulls;
    for (const AdoParameter& p : parameters) {
      if (p.Direction == adParamOutput || p.Direction == adParamReturnValue) continue;
      if (p.Value.IsEmpty()) continue;  // not sent: the function's default applies
      if (!texts.empty()) sql += ", ";
      sql += Identifier(p.Name) + " => $" + std::to_string(texts.size() + 1);
      nulls.push_back(p.Value.IsNull());
      texts.push_back(p.Value.IsNull() ? std::string() : ValueText(p.Value));
    }
    sql += ")";
    std::vector<const char*> values;
    for (size_t i = 0; i < texts.size(); ++i) values.push_back(nulls[i] ? nullptr : texts[i].c_str());
    const std::string what = "procedure '" + procedure + "'";
    BeforeOutput();  // a function's body may store anything
    std::unique_ptr<Result> executed = Retrying([&] {
      for (int attempt = 1;; ++attempt) {
        const bool kept = calls_.count(sql) != 0;
        const std::string name = Prepared(sql, static_cast<int>(values.size()), what);
        auto run = std::make_unique<Result>(*pq_, Run(what, [&] {
          return pq_->PQsendQueryPrepared(conn_, name.c_str(), static_cast<int>(values.size()), values.data(),
                                          nullptr, nullptr, 0);
        }));
        const std::string sqlstate = ErrorField(*pq_, run->get(), PG_DIAG_SQLSTATE);
        if (!sqlstate.empty() && sqlstate.rfind("22", 0) != 0 && sqlstate.rfind("23", 0) != 0) {
          Forget(sql);
          // A kept statement whose function changed its result, or that the
          // session no longer has, is prepared anew and run once more.
          if (kept && attempt == 1 && (sqlstate == "0A000" || sqlstate == "26000")) continue;
        }
        Check(run->get(), what);
        return run;
      }
    });
    const Result& r = *executed;

    std::shared_ptr<Recordset> result;
    int columns = pq_->PQnfields(r.get());
    if (pq_->PQresultStatus(r.get()) != PGRES_TUPLES_OK || columns == 0 ||
        (columns == 1 && pq_->PQftype(r.get(), 0) == kOidVoid)) {
      result = std::make_shared<Recordset>();
    } else {
      std::vector<std::string> names;
      for (int c = 0; c < columns; ++c) names.emplace_back(pq_->PQfname(r.get(), c));
      std::vector<std::vector<AdoValue>> rows;
      rows.reserve(static_cast<size_t>(pq_->PQntuples(r.get())));
      for (int row = 0; row < pq_->PQntuples(r.get()); ++row) {
        std::vector<AdoValue> values_of_row;
        values_of_row.reserve(static_cast<size_t>(columns));
        for (int c = 0; c < columns; ++c) values_of_row.push_back(ReadValue(r.get(), row, c));
        rows.push_back(std::move(values_of_row));
      }
      result = std::make_shared<Recordset>(std::move(names), std::move(rows));
    }
    CopyOutputs(*result, parameters);
    return result;
  }

  void ExecuteScript(const std::string& sql) override {
    Retrying([&] {
      Result r(*pq_, Run("schema script", [&] { return pq_->PQsendQuery(conn_, sql.c_str()); }));
      Check(r.get(), "schema script");
      return 0;
    });
  }

  bool HasTable(const std::string& table) override {
    const std::string what = "look-up of table '" + table + "'";
    const char* values[1] = {table.c_str()};
    return Retrying([&] {
      Result r(*pq_, Run(what, [&] {
        return pq_->PQsendQueryParams(conn_, "SELECT pg_catalog.to_regclass($1) IS NOT NULL", 1, nullptr, values,
                                      nullptr, nullptr, 0);
      }));
      Check(r.get(), what);
      return pq_->PQntuples(r.get()) == 1 && std::strcmp(pq_->PQgetvalue(r.get(), 0, 0), "t") == 0;
    });
  }

 private:
  // Runs attempt on a working connection; when the connection breaks under
  // it, once more on a new one.
  template <class F>
  auto Retrying(F attempt) -> decltype(attempt()) {
    EnsureConnected();
    try {
      return attempt();
    } catch (const ConnectionLost& lost) {
      WriteDebugLogAlways(lost.message + "; connecting again to run it once more");
      EnsureConnected();
      try {
        return attempt();
      } catch (const ConnectionLost& again) {
        DVR_RAISE_TEXT(kAdoErrUnspecified, again.message);
      }
    }
  }

  // Each call text is prepared once per connection and then run by name;
  // failures other than a constraint or a conversion may mean a changed
  // catalogue, and deallocate it (Forget).
  std::string Prepared(const std::string& sql, int count, const std::string& what) {
    auto it = calls_.find(sql);
    if (it != calls_.end()) return it->second;
    if (calls_.size() >= kMaxPreparedCalls) {
      Result dropped(*pq_, Run(what, [&] { return pq_->PQsendQuery(conn_, "DEALLOCATE ALL"); }));
      calls_.clear();
      describe_prepared_ = false;
    }
    std::string name = "dvrlink_call_" + std::to_string(++prepared_count_);
    Result prepared(*pq_,
                    Run(what, [&] { return pq_->PQsendPrepare(conn_, name.c_str(), sql.c_str(), count, nullptr); }));
    Check(prepared.get(), what);
    calls_.emplace(sql, name);
    return name;
  }

  // Best effort: a statement left behind lives no longer than the session.
  void Forget(const std::string& sql) {
    auto it = calls_.find(sql);
    if (it == calls_.end()) return;
    const std::string command = "DEALLOCATE " + it->second;
    calls_.erase(it);
    if (pq_->PQstatus(conn_) != CONNECTION_OK) return;
    try {
      Result dropped(*pq_, Run("DEALLOCATE", [&] { return pq_->PQsendQuery(conn_, command.c_str()); }));
    } catch (const RuntimeError&) {  // no answer: the connection is made anew at the next call
    }
  }

  // Sends a statement (send returns libpq's 1 for sent) and waits for its
  // result, at most the command time limit, reading the socket alone.
  PGresult* Run(const std::string& what, const std::function<int()>& send) {
    if (send() != 1) return nullptr;  // Check tells why
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(command_timeout_s_);
    PGresult* kept = nullptr;
    while (true) {
      while (pq_->PQisBusy(conn_)) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd pfd{pq_->PQsocket(conn_), POLLIN, 0};
        int ready = left.count() > 0 ? ::poll(&pfd, 1, static_cast<int>(left.count()) + 1) : 0;
        if (ready < 0 && errno == EINTR) continue;
        if (ready == 0) {
          pq_->PQclear(kept);
          must_reset_ = true;
          DVR_RAISE_TEXT(kAdoErrUnspecified, "PostgreSQL: no answer from " + where_ + " within " +
                                                 std::to_string(command_timeout_s_) + " s (Command Timeout) to " +
                                                 what + "; the connection is made anew at the next call");
        }
        if (ready < 0 || pq_->PQconsumeInput(conn_) == 0) break;  // the result tells the failure
      }
      // The last result tells the outcome (a failure ends the statements).
      PGresult* next = pq_->PQgetResult(conn_);
      if (next == nullptr) return kept;
      pq_->PQclear(kept);
      kept = next;
    }
  }

  // A connection that broke, or that the server has closed since the last
  // call (its goodbye message is waiting on the socket), is reset first.
  void EnsureConnected() {
    if (pq_->PQstatus(conn_) == CONNECTION_OK && !must_reset_) {
      pollfd pfd{pq_->PQsocket(conn_), POLLIN, 0};
      if (pfd.fd >= 0 && ::poll(&pfd, 1, 0) > 0) {
        pq_->PQconsumeInput(conn_);
        while (PGnotify* n = pq_->PQnotifies(conn_)) pq_->PQfreemem(n);
      }
      if (pq_->PQstatus(conn_) == CONNECTION_OK) return;
    }
    pq_->PQreset(conn_);
    must_reset_ = false;
    describe_prepared_ = false;  // a new session has no prepared statements
    calls_.clear();
    if (pq_->PQstatus(conn_) != CONNECTION_OK) {
      DVR_RAISE_TEXT(kAdoErrUnspecified,
                     "PostgreSQL: cannot reconnect to " + where_ + ": " + TrimMessage(pq_->PQerrorMessage(conn_)));
    }
  }

  std::string Identifier(const std::string& name) const {
    char* quoted = pq_->PQescapeIdentifier(conn_, name.c_str(), name.size());
    if (quoted == nullptr) {
      DVR_RAISE_TEXT(kDbErrErrorsInCommand,
                     "PostgreSQL: '" + name + "' cannot be used as a name: " + TrimMessage(pq_->PQerrorMessage(conn_)));
    }
    std::string result = quoted;
    pq_->PQfreemem(quoted);
    return result;
  }

  static std::string ValueText(const AdoValue& value) {
    switch (value.kind()) {
      case AdoValue::Kind::kBoolean:
        return value.integer() != 0 ? "true" : "false";
      case AdoValue::Kind::kDate: {
        std::string iso = value.date().FormatIso();
        iso[10] = ' ';
        return iso;
      }
      default:
        return value.ToText();
    }
  }

  void Check(PGresult* r, const std::string& what) {
    ExecStatusType status = r ? pq_->PQresultStatus(r) : PGRES_FATAL_ERROR;
    if (status == PGRES_TUPLES_OK || status == PGRES_COMMAND_OK) return;
    std::string sqlstate = ErrorField(*pq_, r, PG_DIAG_SQLSTATE);
    if (pq_->PQstatus(conn_) != CONNECTION_OK || sqlstate.rfind("08", 0) == 0 || sqlstate.rfind("57P", 0) == 0) {
      std::string message = r ? ErrorField(*pq_, r, PG_DIAG_MESSAGE_PRIMARY) : std::string();
      if (message.empty()) message = pq_->PQerrorMessage(conn_);
      must_reset_ = true;
      throw ConnectionLost{"PostgreSQL: connection to " + where_ + " lost during " + what + ": " +
                           TrimMessage(message)};
    }
    std::string message = ErrorField(*pq_, r, PG_DIAG_MESSAGE_PRIMARY);
    if (message.empty()) message = TrimMessage(pq_->PQerrorMessage(conn_));
    std::string detail = ErrorField(*pq_, r, PG_DIAG_MESSAGE_DETAIL);
    std::string text = "PostgreSQL: " + what + ": " + message;
    if (!detail.empty()) text += " " + detail;
    text += " (SQLSTATE " + sqlstate + ")";
    int32_t number = kDbErrErrorsInCommand;
    if (sqlstate.rfind("23", 0) == 0) number = kDbErrIntegrityViolation;
    if (sqlstate.rfind("22", 0) == 0) number = kDbErrCantConvertValue;
    DVR_RAISE_TEXT(number, text);
  }

  AdoValue ReadValue(const PGresult* r, int row, int column) const {
    if (pq_->PQgetisnull(r, row, column)) return AdoValue::Null();
    std::string text(pq_->PQgetvalue(r, row, column), static_cast<size_t>(pq_->PQgetlength(r, row, column)));
    switch (pq_->PQftype(r, column)) {
      case kOidInt2:
      case kOidInt4:
      case kOidInt8:
        return AdoValue::Integer(std::stoll(text));
      case kOidFloat4:
      case kOidFloat8:
        return AdoValue::Double(std::stod(text));
      case kOidBool:
        return AdoValue::Boolean(text == "t");
      case kOidTimestamp:
      case kOidTimestampTz:
      case kOidDate:
        if (auto d = DateTime::Parse(text.substr(0, 19))) return AdoValue::Date(*d);
        return AdoValue::Text(std::move(text));
      default:
        return AdoValue::Text(std::move(text));
    }
  }

  static void CopyOutputs(const Recordset& result, std::vector<AdoParameter>& parameters) {
    for (AdoParameter& p : parameters) {
      if (p.Direction != adParamOutput && p.Direction != adParamInputOutput && p.Direction != adParamReturnValue) {
        continue;
      }
      p.Value = AdoValue::Null();
      if (result.State() != adStateOpen || result.Eof()) continue;
      for (const std::string& column : result.Columns()) {
        if (column == p.Name) p.Value = result.Fields(column).Value;
      }
    }
  }

  static constexpr const char* kDescribeStatement = "dvrlink_describe_procedure";
  static constexpr size_t kMaxPreparedCalls = 64;

  std::shared_ptr<const LibPq> pq_;
  PGconn* conn_;
  std::string where_;
  int command_timeout_s_;
  bool describe_prepared_ = false;
  bool must_reset_ = false;  // a statement went unanswered on this connection
  std::map<std::string, std::string> calls_;  // call text -> prepared statement name
  int64_t prepared_count_ = 0;
};

// Whole seconds of a time-limit key; the fallback when absent.
int TimeLimit(const std::map<std::string, std::string>& settings, const char* key, int fallback, int min) {
  auto it = settings.find(key);
  if (it == settings.end() || it->second.empty()) return fallback;
  const std::string& text = it->second;
  if (text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos || std::stoi(text) < min) {
    DVR_RAISE_TEXT(kAdoErrInvalidArgument, "PostgreSQL: '" + std::string(key) + "' must be a whole number of " +
                                               "seconds from " + std::to_string(min) + ", found '" + text + "'");
  }
  return std::stoi(text);
}

std::string Setting(const std::map<std::string, std::string>& settings, const char* key,
                    const std::string& fallback = std::string()) {
  auto it = settings.find(key);
  return it == settings.end() || it->second.empty() ? fallback : it->second;
}

}  // namespace

std::unique_ptr<DbProvider> OpenPostgresProvider(const std::map<std::string, std::string>& settings) {
  std::string host = Setting(settings, "host", Setting(settings, "server", Setting(settings, "data source")));
  std::string port = Setting(settings, "port");
  std::string database = Setting(settings, "database", Setting(settings, "initial catalog"));
  std::string user = Setting(settings, "user id", Setting(settings, "uid"));
  std::string password = Setting(settings, "password", Setting(settings, "pwd"));
  // libpq waits at least 2 s for a connection whatever it is told.
  int connect_timeout = TimeLimit(settings, "connect timeout", 5, 2);
  int command_timeout = TimeLimit(settings, "command timeout", 5, 1);
  std::string encoding = Setting(settings, "client encoding", "UTF8");
  if (database.empty()) {
    DVR_RAISE_TEXT(kAdoErrUnspecified, "PostgreSQL: the connection string names no 'Database'");
  }
  std::vector<std::pair<const char*, std::string>> params;
  auto add = [&](const char* key, const std::string& value) {
    if (!value.empty()) params.emplace_back(key, value);
  };
  add("host", host);
  add("port", port);
  add("dbname", database);
  add("user", user);
  add("password", password);
  add("connect_timeout", std::to_string(connect_timeout));
  add("keepalives", "1");
  add("keepalives_idle", std::to_string(TimeLimit(settings, "keepalives idle", 30, 1)));
  add("keepalives_interval", std::to_string(TimeLimit(settings, "keepalives interval", 10, 1)));
  add("keepalives_count", std::to_string(TimeLimit(settings, "keepalives count", 3, 1)));
  add("client_encoding", encoding);
  add("application_name", std::string("dvrlink"));
  // Timestamps come back as YYYY-MM-DD hh:mm:ss whatever the server's default;
  // "Search Path" names the schema(s) holding the tables and procedures.
  std::string options = "-c DateStyle=ISO,MDY";
  std::string search_path = Setting(settings, "search path");
  if (!search_path.empty()) {
    options += " -c search_path=";
    for (char c : search_path) {
      if (c == ' ' || c == '\\') options += '\\';
      options += c;
    }
  }
  add("options", options);
  std::vector<const char*> keys;
  std::vector<const char*> values;
  for (const auto& [key, value] : params) {
    keys.push_back(key);
    values.push_back(value.c_str());
  }
  keys.push_back(nullptr);
  values.push_back(nullptr);

  std::string where = (host.empty() ? std::string("the local server") : host) + (port.empty() ? "" : ":" + port) +
                      "/" + database;
  const std::shared_ptr<const LibPq> library = Pq();
  const LibPq& pq = *library;
  PGconn* conn = pq.PQconnectdbParams(keys.data(), values.data(), 0);
  if (conn == nullptr) DVR_RAISE_TEXT(kAdoErrUnspecified, "PostgreSQL: out of memory connecting to " + where);
  if (pq.PQstatus(conn) != CONNECTION_OK) {
    std::string message = TrimMessage(pq.PQerrorMessage(conn));
    pq.PQfinish(conn);
    DVR_RAISE_TEXT(kAdoErrUnspecified, "PostgreSQL: cannot connect to " + where + ": " + message);
  }
  // Server notices ("relation already exists, skipping") are not errors.
  pq.PQsetNoticeProcessor(conn, [](void*, const char*) {}, nullptr);
  return std::make_unique<PostgresProvider>(library, conn, where, command_timeout);
}

}  // namespace dvrlink
