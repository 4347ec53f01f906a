// libFuzzer target: arbitrary request lines for the automation endpoint,
// answered against an initialised component. Every line must get exactly
// one reply that is a JSON object.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_component.h"
#include "platform/net/json_parse.h"
#include "service/automation.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static std::shared_ptr<dvrlink::clsDvrlink> dvr = dvrlink::fuzz::MakeInstance();
  static dvrlink::AutomationDispatcher dispatcher(
      [] { return std::vector<dvrlink::AutomationTarget>{dvrlink::AutomationTarget{dvr, true}}; });
  std::string line(reinterpret_cast<const char*>(data), size);
  std::string reply = dispatcher.HandleLine(line, [](const std::string& topic) { return topic == "host"; });
  std::string problem;
  if (reply.find('\n') != std::string::npos || !dvrlink::ParseJsonText<dvrlink::Json>(reply, problem).is_object()) {
    std::abort();
  }
  dvrlink::Loop().RunForMillis(50);
  return 0;
}
