#include "database/ado_connection.h"

#include <cmath>
#include <cstdio>

#include "database/db_state.h"
#include "platform/platform_state.h"
#include "support/convert.h"
#include "support/runtime_error.h"
#include "support/vbstring.h"

namespace dvrlink {

// --- AdoValue -------------------------------------------------------------------

AdoValue AdoValue::Null() {
  AdoValue v;
  v.kind_ = Kind::kNull;
  return v;
}

AdoValue AdoValue::Integer(int64_t value) {
  AdoValue v;
  v.kind_ = Kind::kInteger;
  v.integer_ = value;
  return v;
}

AdoValue AdoValue::Double(double value) {
  AdoValue v;
  v.kind_ = Kind::kDouble;
  v.real_ = value;
  return v;
}

AdoValue AdoValue::Boolean(bool value) {
  AdoValue v;
  v.kind_ = Kind::kBoolean;
  v.integer_ = value ? -1 : 0;
  return v;
}

AdoValue AdoValue::Text(std::string value) {
  AdoValue v;
  v.kind_ = Kind::kText;
  v.text_ = std::move(value);
  return v;
}

AdoValue AdoValue::Date(DateTime value) {
  AdoValue v;
  v.kind_ = Kind::kDate;
  v.date_ = value;
  return v;
}

std::string AdoValue::ToText() const {
  switch (kind_) {
    case Kind::kEmpty:
      return std::string();
    case Kind::kNull:
      DVR_RAISE_TEXT(kErrInvalidUseOfNull, "Invalid use of Null");
    case Kind::kInteger:
      return std::to_string(integer_);
    case Kind::kDouble: {
      // Up to 15 significant digits, as the platform writes doubles.
      char buffer[32];
      std::snprintf(buffer, sizeof buffer, "%.15g", real_);
      return buffer;
    }
    case Kind::kBoolean:
      return BoolText(integer_ != 0);
    case Kind::kText:
      return text_;
    case Kind::kDate:
      return date_.FormatGeneral();
  }
  return std::string();
}

int32_t AdoValue::ToLong() const {
  switch (kind_) {
    case Kind::kEmpty:
      return 0;
    case Kind::kNull:
      DVR_RAISE_TEXT(kErrInvalidUseOfNull, "Invalid use of Null");
    case Kind::kInteger:
    case Kind::kBoolean:
      if (integer_ < INT32_MIN || integer_ > INT32_MAX) DVR_RAISE(kErrOverflow);
      return static_cast<int32_t>(integer_);
    case Kind::kDouble:
      return CLngFromDouble(real_);
    case Kind::kText:
      return CLng(text_);
    case Kind::kDate:
      DVR_RAISE(kErrTypeMismatch);
  }
  return 0;
}

bool operator==(const AdoValue& a, const AdoValue& b) {
  if (a.kind_ != b.kind_) return false;
  switch (a.kind_) {
    case AdoValue::Kind::kEmpty:
    case AdoValue::Kind::kNull:
      return true;
    case AdoValue::Kind::kInteger:
    case AdoValue::Kind::kBoolean:
      return a.integer_ == b.integer_;
    case AdoValue::Kind::kDouble:
      return a.real_ == b.real_;
    case AdoValue::Kind::kText:
      return a.text_ == b.text_;
    case AdoValue::Kind::kDate:
      return a.date_ == b.date_;
  }
  return false;
}

// --- Recordset ------------------------------------------------------------------

Recordset::Recordset(std::vector<std::string> columns, std::vector<std::vector<AdoValue>> rows)
    : open_(true), columns_(std::move(columns)), rows_(std::move(rows)) {}

void Recordset::RequireOpen() const {
  if (!open_) DVR_RAISE_TEXT(kAdoErrObjectClosed, "Operation is not allowed when the object is closed.");
}

bool Recordset::Eof() const {
  RequireOpen();
  return position_ >= rows_.size();
}

void Recordset::MoveNext() {
  if (Eof()) {
    DVR_RAISE_TEXT(kAdoErrNoCurrentRecord,
                   "Either BOF or EOF is True, or the current record has been deleted. Requested operation "
                   "requires a current record.");
  }
  ++position_;
}

void Recordset::Close() {
  RequireOpen();
  open_ = false;
  rows_.clear();
  position_ = 0;
}

int32_t Recordset::FieldCount() const {
  RequireOpen();
  return static_cast<int32_t>(columns_.size());
}

int32_t Recordset::RecordCount() const {
  RequireOpen();
  return static_cast<int32_t>(rows_.size());
}

const std::vector<std::string>& Recordset::Columns() const {
  RequireOpen();
  return columns_;
}

size_t Recordset::ColumnIndex(const std::string& name) const {
  for (size_t i = 0; i < columns_.size(); ++i) {
    if (EqualsNoCase(columns_[i], name)) return i;
  }
  DVR_RAISE_TEXT(kAdoErrItemNotFound,
                 "Item cannot be found in the collection corresponding to the requested name or ordinal. "
                 "(field '" + name + "' is not a column of the result)");
}

AdoField Recordset::Fields(const std::string& name) const {
  RequireOpen();
  size_t column = ColumnIndex(name);
  if (position_ >= rows_.size()) {
    DVR_RAISE_TEXT(kAdoErrNoCurrentRecord,
                   "Either BOF or EOF is True, or the current record has been deleted. Requested operation "
                   "requires a current record. (field '" + name + "')");
  }
  return AdoField{columns_[column], rows_[position_][column]};
}

AdoField Recordset::Fields(int32_t index) const {
  RequireOpen();
  if (index < 0 || static_cast<size_t>(index) >= columns_.size()) {
    DVR_RAISE_TEXT(kAdoErrItemNotFound,
                   "Item cannot be found in the collection corresponding to the requested name or ordinal. "
                   "(field " + std::to_string(index) + ")");
  }
  if (position_ >= rows_.size()) {
    DVR_RAISE_TEXT(kAdoErrNoCurrentRecord,
                   "Either BOF or EOF is True, or the current record has been deleted. Requested operation "
                   "requires a current record.");
  }
  return AdoField{columns_[static_cast<size_t>(index)], rows_[position_][static_cast<size_t>(index)]};
}

std::string Recordset::Text(const std::string& name) const { return Fields(name).Value.ToText(); }

// --- connection string and providers ---------------------------------------------

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
        DVR_RAISE_TEXT(kAdoErrInvalidArgument, "Connection string item without '=': '" + Trim(pair) + "'");
      }
      settings[LCase(Trim(pair.substr(0, eq)))] = Trim(pair.substr(eq + 1));
    }
    start = end + 1;
  }
  return settings;
}

std::unique_ptr<DbProvider> OpenProvider(const std::string& connection_string, bool create_missing) {
  if (Trim(connection_string).empty()) {
    DVR_RAISE_TEXT(kAdoErrUnspecified, "Connection string is empty: no provider and no database named");
  }
  auto settings = ParseConnectionString(connection_string);
  std::string provider = settings.count("provider") ? settings["provider"] : std::string();
  if (EqualsNoCase(provider, "SQLite")) return OpenSqliteProvider(settings, create_missing);
  if (EqualsNoCase(provider, "PostgreSQL")) return OpenPostgresProvider(settings);
  DVR_RAISE_TEXT(kAdoErrProviderNotFound,
                 "Provider cannot be found. It may not be properly installed. (Provider='" + provider +
                     "'; known: SQLite, PostgreSQL)");
}

AdoConnection::AdoConnection() = default;
AdoConnection::~AdoConnection() { Close(); }

void AdoConnection::Open(const std::string& connection_string, const std::string& /*user*/,
                         const std::string& /*password*/, int32_t /*options*/) {
  if (provider_) DVR_RAISE_TEXT(kAdoErrObjectOpen, "Operation is not allowed when the object is open.");
  AdoPoolState& pool = AdoPool();
  std::unique_ptr<DbProvider> idle = std::move(pool.idle);
  if (idle && pool.connection_string == connection_string && idle->Reusable()) {
    provider_ = std::move(idle);
  } else {
    provider_ = OpenProvider(connection_string, false);
  }
  connection_string_ = connection_string;
}

void AdoConnection::Close() {
  if (!provider_ || !provider_->Reusable()) {
    provider_.reset();
    return;
  }
  AdoPoolState& pool = AdoPool();
  if (!pool.idle) Loop().BeforeNextWait([] { AdoPool().idle.reset(); });
  pool.idle = std::move(provider_);
  pool.connection_string = connection_string_;
}

// --- command --------------------------------------------------------------------

namespace {

// Runs a provider call; a failure to reach the database is counted.
template <class F>
auto CountingUnreachable(F call) -> decltype(call()) {
  try {
    return call();
  } catch (const RuntimeError& e) {
    if (e.Number() == kAdoErrUnspecified) ++DbReach().failures;
    throw;
  }
}

}  // namespace

DbProvider& AdoCommand::RequireProvider() const {
  DbProvider* provider = ActiveConnection ? ActiveConnection->Provider() : nullptr;
  if (provider == nullptr) {
    DVR_RAISE_TEXT(kAdoErrConnectionNotUsable,
                   "The connection cannot be used to perform this operation. It is either closed or invalid "
                   "in this context.");
  }
  return *provider;
}

namespace {

std::vector<AdoParameter> FromDeclaration(const std::vector<AdoParameterInfo>& declared) {
  std::vector<AdoParameter> items;
  items.reserve(declared.size());
  for (const AdoParameterInfo& info : declared) {
    items.push_back(AdoCommand::CreateParameter(info.Name, info.Type, info.Direction, info.Size));
  }
  return items;
}

AdoParameter* Named(std::vector<AdoParameter>& items, const std::string& name) {
  for (AdoParameter& p : items) {
    if (EqualsNoCase(p.Name, name)) return &p;
  }
  return nullptr;
}

}  // namespace

void AdoParameters::Refresh() {
  DbProvider& provider = owner_.RequireProvider();
  auto known = provider.described.find(owner_.CommandText);
  if (known != provider.described.end()) {
    kept_ = known->second;
    items_ = FromDeclaration(known->second);
    return;
  }
  kept_.reset();
  std::vector<AdoParameterInfo> declared =
      CountingUnreachable([&] { return provider.DescribeProcedure(owner_.CommandText); });
  items_ = FromDeclaration(declared);
  provider.described.emplace(owner_.CommandText, std::move(declared));
}

bool AdoParameters::Refit() {
  if (!kept_) return false;
  DbProvider& provider = owner_.RequireProvider();
  provider.described.clear();
  std::vector<AdoParameterInfo> declared;
  try {
    declared = provider.DescribeProcedure(owner_.CommandText);
  } catch (const RuntimeError&) {
    kept_.reset();
    return false;  // the caller's own failure stands
  }
  const bool changed = declared != *kept_;
  kept_.reset();
  if (!changed) return false;
  // Declaring nothing, the procedure takes what was appended or set.
  std::vector<AdoParameter> refit = declared.empty() ? items_ : FromDeclaration(declared);
  if (!declared.empty()) {
    for (const AdoParameter& set : items_) {
      if (set.Value.IsEmpty()) continue;
      AdoParameter* target = Named(refit, set.Name);
      if (target == nullptr) return false;
      target->Value = set.Value;
    }
  }
  items_ = std::move(refit);
  provider.described.emplace(owner_.CommandText, std::move(declared));
  return true;
}

void AdoParameters::Append(AdoParameter parameter) { items_.push_back(std::move(parameter)); }

AdoParameter& AdoParameters::Item(const std::string& name) {
  if (AdoParameter* p = Named(items_, name)) return *p;
  if (Refit()) {
    if (AdoParameter* p = Named(items_, name)) return *p;
  }
  DVR_RAISE_TEXT(kAdoErrItemNotFound,
                 "Item cannot be found in the collection corresponding to the requested name or ordinal. "
                 "(procedure '" + owner_.CommandText + "' has no parameter '" + name + "')");
}

AdoParameter& AdoParameters::Item(int32_t index) {
  if (index < 0 || static_cast<size_t>(index) >= items_.size()) {
    DVR_RAISE_TEXT(kAdoErrItemNotFound,
                   "Item cannot be found in the collection corresponding to the requested name or ordinal. "
                   "(parameter " + std::to_string(index) + " of procedure '" + owner_.CommandText + "')");
  }
  return items_[static_cast<size_t>(index)];
}

AdoParameter AdoCommand::CreateParameter(const std::string& name, int32_t type, int32_t direction,
                                         int32_t size) {
  AdoParameter p;
  p.Name = name;
  p.Type = type;
  p.Direction = direction;
  p.Size = size;
  return p;
}

Ref<Recordset> AdoCommand::Execute() {
  if (CommandType != adCmdStoredProc) {
    DVR_RAISE_TEXT(kAdoErrInvalidArgument,
                   "Arguments are of the wrong type, are out of acceptable range, or are in conflict with one "
                   "another. (only stored procedures can be run; command type " +
                       std::to_string(CommandType) + ")");
  }
  DbProvider& provider = RequireProvider();
  return Ref<Recordset>(CountingUnreachable([&] {
    try {
      return provider.ExecuteProcedure(CommandText, Parameters.items());
    } catch (const RuntimeError& e) {
      provider.described.clear();
      // A database out of reach or too slow says nothing of its catalogue.
      if (e.Number() == kAdoErrUnspecified || !Parameters.Refit()) throw;
    }
    return provider.ExecuteProcedure(CommandText, Parameters.items());
  }));
}

}  // namespace dvrlink
