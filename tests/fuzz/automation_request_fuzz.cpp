// libFuzzer target: arbitrary request lines for the automation endpoint,
// answered against an initialised component.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_component.h"
#include "service/automation.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static std::shared_ptr<dvrlink::clsDvrlink> dvr = dvrlink::fuzz::MakeInstance();
  static dvrlink::AutomationDispatcher dispatcher(
      [] { return std::vector<dvrlink::AutomationTarget>{dvrlink::AutomationTarget{dvr, true}}; });
  std::string line(reinterpret_cast<const char*>(data), size);
  dispatcher.HandleLine(line, [](const std::string& topic) { return topic == "host"; });
  dvrlink::Loop().RunForMillis(50);
  return 0;
}
