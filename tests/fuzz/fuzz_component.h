// An initialised component for the fuzz targets on the tests' fakes and a database that runs nothing.
#pragma once

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "component/clsDvrlink.h"
#include "component/module_state.h"
#include "database/ado_connection.h"
#include "fakes/fake_host.h"

namespace dvrlink::fuzz {

struct Database : IAdoConnection {
  void Open(const std::string&, const std::string&, const std::string&, int32_t) override { open = true; }
  void Close() override { open = false; }
  bool IsOpen() const override { return open; }
  bool open = false;
};

// On the manual clock; aborts when Initialize fails.
inline std::shared_ptr<clsDvrlink> MakeInstance() {
  UseManualClock();
  Platform().program_folder = "/nonexistent-dvrlink-fuzz";  // logs are dropped
  static testing::FakeWorld world;
  testing::RegisterFakes(Platform().factory, world);
  Platform().factory.Register<IAdoConnection>(kProgIdAdoConnection, [] { return std::make_shared<Database>(); });
  auto dvr = clsDvrlink::Create();
  std::vector<std::string> params = {"1", "10.0.0.5", "7000", "7001", "5000", "0", "0", "DVR1", "$1",
                                     "",  "",         "1",    "24",   "UTC",  "A", "7002", "1", "42"};
  auto source = std::make_shared<testing::FakeConnectionSource>("Provider=Fuzz");
  if (!dvr->Initialize(Ref<IHostCallback>(std::make_shared<testing::FakeHostCallback>()), nullptr, params,
                       Ref<IConnectionStringSource>(source), "A")) {
    std::abort();
  }
  return dvr;
}

}  // namespace dvrlink::fuzz
