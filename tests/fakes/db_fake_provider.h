// A database provider the test controls: it declares what the test says,
// records what the caller sends, and answers with an empty result or the
// prepared error. Plus an open connection that hands it out.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "database/ado_connection.h"
#include "support/runtime_error.h"

namespace dvrlink::testing {

class FakeDbProvider : public DbProvider {
 public:
  std::string Name() const override { return "Fake"; }
  std::vector<AdoParameterInfo> DescribeProcedure(const std::string& procedure) override {
    auto it = declared.find(procedure);
    return it == declared.end() ? std::vector<AdoParameterInfo>() : it->second;
  }
  std::shared_ptr<Recordset> ExecuteProcedure(const std::string&, std::vector<AdoParameter>& parameters) override {
    sent = parameters;
    ++executes;
    if (execute_error && (!fail_once || executes == 1)) throw *execute_error;
    for (AdoParameter& p : parameters) {
      auto it = output_values.find(p.Name);
      if (it != output_values.end() && p.Direction != adParamInput) p.Value = it->second;
    }
    return std::make_shared<Recordset>();
  }
  void ExecuteScript(const std::string&) override {}
  bool HasTable(const std::string&) override { return true; }

  std::map<std::string, std::vector<AdoParameterInfo>> declared;
  std::optional<RuntimeError> execute_error;
  bool fail_once = false;  // execute_error for the first call only
  int executes = 0;
  std::map<std::string, AdoValue> output_values;  // written into output parameters by name
  std::vector<AdoParameter> sent;
};

// An open connection whose provider is the fake (not owned).
class FakeDbConnection : public IAdoConnection {
 public:
  explicit FakeDbConnection(FakeDbProvider* provider) : provider_(provider) {}
  void Open(const std::string&, const std::string&, const std::string&, int32_t) override {}
  void Close() override { provider_ = nullptr; }
  bool IsOpen() const override { return provider_ != nullptr; }
  DbProvider* Provider() const override { return provider_; }

 private:
  FakeDbProvider* provider_;
};

}  // namespace dvrlink::testing
