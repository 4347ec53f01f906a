// The ADO stand-in: the component's own "ADODB.Connection", and the command,
// parameter and recordset objects the stored-procedure gateway builds on it.
//
// The provider is chosen by the connection string:
//   Provider=SQLite;Data Source=FILE          (the file must exist)
//   Provider=PostgreSQL;Host=H;Port=N;Database=D;User ID=U;Password=P
//     [;Search Path=SCHEMA][;Connect Timeout=SECONDS][;Client Encoding=NAME]
// Errors raise RuntimeError with a number in ADO's numbering (the constants
// below) and a description saying what went wrong: the procedure, the
// parameter and the server's own message where there is one.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/object_ref.h"
#include "support/datetime.h"

namespace dvrlink {

// --- error numbers ------------------------------------------------------------

// ADO's "unspecified error", used for provider failures: a database that
// cannot be opened, a server that cannot be reached or went away.
inline constexpr int32_t kAdoErrUnspecified = static_cast<int32_t>(0x80004005);
// ADO's "Provider cannot be found".
inline constexpr int32_t kAdoErrProviderNotFound = 3706;
// "Arguments are of the wrong type, are out of acceptable range, or are in
// conflict with one another."
inline constexpr int32_t kAdoErrInvalidArgument = 3001;
// "Either BOF or EOF is True, or the current record has been deleted."
inline constexpr int32_t kAdoErrNoCurrentRecord = 3021;
// "Item cannot be found in the collection corresponding to the requested
// name or ordinal." (a parameter or field name that is not there)
inline constexpr int32_t kAdoErrItemNotFound = 3265;
// "Operation is not allowed when the object is closed."
inline constexpr int32_t kAdoErrObjectClosed = 3704;
// "Operation is not allowed when the object is open."
inline constexpr int32_t kAdoErrObjectOpen = 3705;
// "The connection cannot be used to perform this operation."
inline constexpr int32_t kAdoErrConnectionNotUsable = 3709;
// "Invalid use of Null": a Null value read as text or number.
inline constexpr int32_t kErrInvalidUseOfNull = 94;
// OLE DB DB_E_ERRORSINCOMMAND: the server rejected the command (unknown
// procedure, a parameter it does not take, an error raised by its body).
inline constexpr int32_t kDbErrErrorsInCommand = static_cast<int32_t>(0x80040E14);
// OLE DB DB_E_CANTCONVERTVALUE: a value that cannot be converted to the
// declared type (a text that is not an integer or not a date).
inline constexpr int32_t kDbErrCantConvertValue = static_cast<int32_t>(0x80040E07);
// OLE DB DB_E_INTEGRITYVIOLATION: a constraint rejected the change (a
// duplicate key, a missing required value, a foreign key).
inline constexpr int32_t kDbErrIntegrityViolation = static_cast<int32_t>(0x80040E2F);

// --- enumerations (ADO's values) ----------------------------------------------

inline constexpr int32_t adCmdText = 1;
inline constexpr int32_t adCmdStoredProc = 4;

inline constexpr int32_t adParamInput = 1;
inline constexpr int32_t adParamOutput = 2;
inline constexpr int32_t adParamInputOutput = 3;
inline constexpr int32_t adParamReturnValue = 4;

inline constexpr int32_t adInteger = 3;
inline constexpr int32_t adDouble = 5;
inline constexpr int32_t adBoolean = 11;
inline constexpr int32_t adBigInt = 20;
inline constexpr int32_t adDBTimeStamp = 135;
inline constexpr int32_t adVarChar = 200;

inline constexpr int32_t adStateClosed = 0;
inline constexpr int32_t adStateOpen = 1;

// --- values -------------------------------------------------------------------

// A field or parameter value: Empty (never assigned), Null, or a typed value.
class AdoValue {
 public:
  enum class Kind { kEmpty, kNull, kInteger, kDouble, kBoolean, kText, kDate };

  AdoValue() = default;
  static AdoValue Null();
  static AdoValue Integer(int64_t value);
  static AdoValue Double(double value);
  static AdoValue Boolean(bool value);
  static AdoValue Text(std::string value);
  static AdoValue Date(DateTime value);

  Kind kind() const { return kind_; }
  bool IsEmpty() const { return kind_ == Kind::kEmpty; }
  bool IsNull() const { return kind_ == Kind::kNull; }

  // The value as text, the way the platform converts a value to text:
  // integers in decimal, booleans "True"/"False", dates in the general date
  // form, Empty as "". Raises 94 for Null.
  std::string ToText() const;
  // The value as a 32-bit number: integers range-checked (6), texts and
  // doubles through the platform's conversion (13, 6), booleans -1/0, Empty
  // as 0. Raises 94 for Null.
  int32_t ToLong() const;

  // Payload access for the providers.
  int64_t integer() const { return integer_; }
  double real() const { return real_; }
  const std::string& text() const { return text_; }
  DateTime date() const { return date_; }

  friend bool operator==(const AdoValue& a, const AdoValue& b);

 private:
  Kind kind_ = Kind::kEmpty;
  int64_t integer_ = 0;
  double real_ = 0;
  std::string text_;
  DateTime date_;
};

// --- parameters -----------------------------------------------------------------

struct AdoParameter {
  std::string Name;
  int32_t Type = adVarChar;
  int32_t Direction = adParamInput;
  int32_t Size = 0;
  AdoValue Value;  // Empty until assigned; an Empty input is not sent
};

// --- recordset ------------------------------------------------------------------

struct AdoField {
  std::string Name;
  AdoValue Value;
};

// The rows a procedure returned, read forward. Field names are matched
// without regard to letter case, as ADO does. Once closed, every operation
// but State() raises 3704.
class Recordset {
 public:
  // A closed recordset: what a procedure that returns no result set gives.
  Recordset() = default;
  // An open recordset positioned on the first row (at EOF when there is none).
  Recordset(std::vector<std::string> columns, std::vector<std::vector<AdoValue>> rows);

  int32_t State() const { return open_ ? adStateOpen : adStateClosed; }
  // True when there is no current row (ADO's EOF).
  bool Eof() const;
  void MoveNext();  // raises 3021 at EOF
  void Close();     // raises 3704 when already closed

  int32_t FieldCount() const;
  int32_t RecordCount() const;
  // The current row's field: raises 3265 for a name that is not a column,
  // 3021 when there is no current row.
  AdoField Fields(const std::string& name) const;
  AdoField Fields(int32_t index) const;
  // Shorthand for Fields(name).Value.ToText().
  std::string Text(const std::string& name) const;
  const std::vector<std::string>& Columns() const;

 private:
  void RequireOpen() const;
  size_t ColumnIndex(const std::string& name) const;

  bool open_ = false;
  std::vector<std::string> columns_;
  std::vector<std::vector<AdoValue>> rows_;
  size_t position_ = 0;
};

// --- providers ------------------------------------------------------------------

// One parameter a stored procedure declares.
struct AdoParameterInfo {
  std::string Name;
  int32_t Type = adVarChar;
  int32_t Direction = adParamInput;
  int32_t Size = 0;
  bool operator==(const AdoParameterInfo&) const = default;
};

// One open database. Every call may raise RuntimeError.
class DbProvider {
 public:
  virtual ~DbProvider() = default;
  virtual std::string Name() const = 0;

  // The procedure's declared parameters in declaration order; empty when
  // the procedure is unknown or declares none.
  virtual std::vector<AdoParameterInfo> DescribeProcedure(const std::string& procedure) = 0;
  // Runs the procedure with the parameters whose value is not Empty (inputs)
  // and every output parameter. Values are converted to the procedure's
  // declared types; output values are written back into `parameters`
  // (taken from the result column of the parameter's name, first row; Null
  // when there is none). Returns the result set, or a closed recordset when
  // the procedure returns none. Calls BeforeOutput() before anything that
  // may store runs (the service's batched log lines go first); a procedure
  // known to only read may skip it.
  virtual std::shared_ptr<Recordset> ExecuteProcedure(const std::string& procedure,
                                                      std::vector<AdoParameter>& parameters) = 0;

  // Administration (dvrlink-db): runs a schema script, and tells whether a
  // table exists.
  virtual void ExecuteScript(const std::string& sql) = 0;
  virtual bool HasTable(const std::string& table) = 0;

  // Whether a closed connection may serve the next Open of the same
  // connection string: no transaction open, still on its database.
  virtual bool Reusable() const { return false; }

  // What DescribeProcedure returned for each procedure on this connection,
  // kept by the ADO stand-in (Parameters.Refresh) so that discovery costs no
  // catalogue query per call; cleared when a call fails (AdoCommand::Execute).
  std::map<std::string, std::vector<AdoParameterInfo>> described;
};

// Key=value pairs separated by ";", keys lower-cased, blanks around keys and
// values trimmed. Raises 3001 for a pair without "=".
std::map<std::string, std::string> ParseConnectionString(const std::string& text);

// Opens the provider the connection string names. With create_missing a
// SQLite file that does not exist is created (only dvrlink-db init does so).
// Raises 3706 for an unknown provider, 0x80004005 when the database cannot
// be opened.
std::unique_ptr<DbProvider> OpenProvider(const std::string& connection_string, bool create_missing = false);

// Opens a SQLite database file; it must already exist unless create_missing.
std::unique_ptr<DbProvider> OpenSqliteProvider(const std::map<std::string, std::string>& settings,
                                               bool create_missing = false);
// Connects to a PostgreSQL server.
std::unique_ptr<DbProvider> OpenPostgresProvider(const std::map<std::string, std::string>& settings);

// --- connection -------------------------------------------------------------------

class IAdoConnection {
 public:
  virtual ~IAdoConnection() = default;
  virtual void Open(const std::string& connection_string, const std::string& user,
                    const std::string& password, int32_t options) = 0;
  virtual void Close() = 0;
  virtual bool IsOpen() const = 0;
  // The open database that commands run on; nullptr when the connection
  // cannot run commands (closed, or an object that only stands in for one).
  virtual DbProvider* Provider() const { return nullptr; }
};

// A closed (or released) connection that is still Reusable is kept as the
// one idle session, as ADO's session pooling does, and the next Open of the
// same connection string takes it instead of connecting again: a component
// that replaces its connection at every start opens the database once. The
// idle session is dropped when the loop next waits.
class AdoConnection : public IAdoConnection {
 public:
  AdoConnection();
  ~AdoConnection() override;
  // Raises 3705 when already open, else as OpenProvider.
  void Open(const std::string& connection_string, const std::string& user, const std::string& password,
            int32_t options) override;
  void Close() override;
  bool IsOpen() const override { return provider_ != nullptr; }
  DbProvider* Provider() const override { return provider_.get(); }
  // The open provider; nullptr when closed.
  DbProvider* provider() const { return provider_.get(); }

 private:
  std::unique_ptr<DbProvider> provider_;
  std::string connection_string_;
};

// --- command ------------------------------------------------------------------------

class AdoCommand;

// The command's parameter collection. Names are matched without regard to
// letter case, as ADO does.
class AdoParameters {
 public:
  explicit AdoParameters(AdoCommand& owner) : owner_(owner) {}
  // Replaces the collection by the procedure's declared parameters, asked
  // of the command's connection (3709 when it cannot run commands) or known
  // from an earlier call on it (see AdoCommand::Execute).
  void Refresh();
  void Append(AdoParameter parameter);
  int32_t Count() const { return static_cast<int32_t>(items_.size()); }
  // Raises 3265 with the parameter's and the procedure's name when absent.
  AdoParameter& Item(const std::string& name);
  AdoParameter& Item(int32_t index);
  std::vector<AdoParameter>& items() { return items_; }

 private:
  friend class AdoCommand;
  // With a kept declaration: forgets the connection's kept declarations and
  // asks again; when the procedure now declares other parameters, the
  // collection is made anew as Refresh makes it, with the values set so far
  // carried over by name, and true is returned. False when nothing was kept,
  // the procedure cannot be described, the declaration is unchanged or a
  // value set has no parameter any more.
  bool Refit();
  AdoCommand& owner_;
  std::vector<AdoParameter> items_;
  // The declaration the last Refresh took from the connection's cache.
  std::optional<std::vector<AdoParameterInfo>> kept_;
};

// A command on a connection. Only stored procedures are offered; their
// parameters are always passed by name.
class AdoCommand {
 public:
  AdoCommand() : Parameters(*this) {}
  AdoCommand(const AdoCommand&) = delete;
  AdoCommand& operator=(const AdoCommand&) = delete;

  int32_t CommandType = adCmdText;
  std::string CommandText;
  Ref<IAdoConnection> ActiveConnection;
  bool NamedParameters = false;
  AdoParameters Parameters;

  static AdoParameter CreateParameter(const std::string& name, int32_t type, int32_t direction, int32_t size);
  // Runs the procedure. Raises 3001 for a command type other than a stored
  // procedure, 3709 when the connection cannot run commands, else whatever
  // the provider raises. A failure clears the connection's kept
  // declarations; when the parameters came from them, the failure is not
  // 0x80004005 (database out of reach) and the procedure has been declared
  // anew since, the call is made once more with the new declaration (a
  // dropped procedure re-created is picked up at once).
  Ref<Recordset> Execute();

  // The provider of the active connection; raises 3709 when there is none.
  DbProvider& RequireProvider() const;
};

}  // namespace dvrlink
