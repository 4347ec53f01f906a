// libFuzzer target: arbitrary client bytes delivered to an initialised component.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_component.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static std::shared_ptr<dvrlink::clsDvrlink> dvr = dvrlink::fuzz::MakeInstance();
  std::string block(reinterpret_cast<const char*>(data), size);
  // Client index from the first byte, so replies to odd indexes are covered.
  int16_t client = size ? static_cast<int16_t>(data[0]) : 1;
  dvr->Callback(201, client, block);
  // Let queued requests and timers run a little.
  dvrlink::Loop().RunForMillis(250);
  return 0;
}
