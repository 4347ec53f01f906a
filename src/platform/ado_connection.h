// "ADODB.Connection": the component's own database connection. The provider
// is chosen by the connection string:
//   Provider=SQLite;Data Source=FILE   (the file must exist)
// Errors raise RuntimeError with a number and a description saying what went
// wrong.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

namespace dvrlink {

// ADO's "unspecified error" number, used for provider failures.
inline constexpr int32_t kAdoErrUnspecified = static_cast<int32_t>(0x80004005);
// ADO's "Provider cannot be found".
inline constexpr int32_t kAdoErrProviderNotFound = 3706;

class IAdoConnection {
 public:
  virtual ~IAdoConnection() = default;
  virtual void Open(const std::string& connection_string, const std::string& user,
                    const std::string& password, int32_t options) = 0;
  virtual void Close() = 0;
  virtual bool IsOpen() const = 0;
};

// One open database of a provider.
class DbProvider {
 public:
  virtual ~DbProvider() = default;
  virtual std::string Name() const = 0;
};

// Key=value pairs separated by ";", keys lower-cased, blanks around keys and
// values trimmed. Raises 3001 for a pair without "=".
std::map<std::string, std::string> ParseConnectionString(const std::string& text);

class AdoConnection : public IAdoConnection {
 public:
  AdoConnection();
  ~AdoConnection() override;
  void Open(const std::string& connection_string, const std::string& user, const std::string& password,
            int32_t options) override;
  void Close() override;
  bool IsOpen() const override { return provider_ != nullptr; }
  // The open provider; nullptr when closed.
  DbProvider* provider() const { return provider_.get(); }

 private:
  std::unique_ptr<DbProvider> provider_;
};

// Opens a SQLite database file that must already exist.
std::unique_ptr<DbProvider> OpenSqliteProvider(const std::map<std::string, std::string>& settings);

}  // namespace dvrlink
