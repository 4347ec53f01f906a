// Test main: every test starts from a fresh module state (new loop on the
// system clock, empty object factory, no forms, default settings).
#include <gtest/gtest.h>

#include "component/module_state.h"

namespace {

class FreshModuleState : public ::testing::EmptyTestEventListener {
  void OnTestStart(const ::testing::TestInfo&) override { dvrlink::ResetModuleState(); }
  void OnTestEnd(const ::testing::TestInfo&) override { dvrlink::ResetModuleState(); }
};

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::UnitTest::GetInstance()->listeners().Append(new FreshModuleState);
  return RUN_ALL_TESTS();
}
