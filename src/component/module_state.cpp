#include "component/module_state.h"

#include <memory>

#include "mainform/frmMainTemplate.h"

namespace dvrlink {
namespace {

std::unique_ptr<ModuleState>& Holder() {
  static std::unique_ptr<ModuleState> state = std::make_unique<ModuleState>();
  return state;
}

}  // namespace

ModuleState& M() { return *Holder(); }

void ResetModuleState() {
  // Forms first: their timers and instances belong to the old loop.
  Holder()->modDvrlink.oFrmMainTemplate.clear();
  Holder() = std::make_unique<ModuleState>();
  // The old state's connections closed into the new state's pool.
  Holder()->adoPool.idle.reset();
}

PlatformState& Platform() { return M().platform; }
ModAllConstState& ModAllConst() { return M().modAllConst; }
ModAllConst2State& ModAllConst2() { return M().modAllConst2; }
DbReachState& DbReach() { return M().dbReach; }
AdoPoolState& AdoPool() { return M().adoPool; }
LibPqState& LibPqLoaded() { return M().libpq; }
ModTimeZoneState& ModTimeZone() { return M().modTimeZone; }
ModDvrlinkState& ModDvrlink() { return M().modDvrlink; }

}  // namespace dvrlink
