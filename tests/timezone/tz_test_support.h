// The fixture of the time-zone tests: logs go to a fresh temporary folder.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "component/module_state.h"
#include "fakes/test_support.h"
#include "platform/platform_state.h"
#include "support/debug_log.h"

namespace dvrlink::tz_test {

// Every test runs with Platform().program_folder set to its own temporary
// folder, so the logs it writes land there and can be read back.
class TzTest : public ::testing::Test {
 protected:
  void SetUp() override { Platform().program_folder = dir_->path(); }
  // Starts over within one test: a fresh module state and log folder (for
  // table-driven cases that each need their own).
  void FreshState() {
    ResetModuleState();
    dir_.emplace();
    SetUp();
  }
  std::string Path(const std::string& name) const { return dir_->File(name); }
  std::string DebugLog() const { return testing::ReadFile(DebugLogPath()); }

  std::optional<testing::TempDir> dir_{std::in_place};
};

}  // namespace dvrlink::tz_test
