// Time-zone table and conversions.
//
//   StartupTable/FromSystem    what Initialize pays the first time: build the
//                              registry from the system's zone files, read
//                              every zone key, sort and locate the
//                              computer's zone
//   StartupTable/Prebuilt      a later GetTimeZoneList: read and sort only
//   SortList                   the nine sorting passes alone (plus the log
//                              line they write)
//   ConvertToLocalTimeZone     one DVR time to the computer's zone, over
//                              times spread across a year
//
// Run: build-tz/bench/timezone_bench --benchmark_repetitions=9
//      --benchmark_report_aggregates_only=true
// Logs go to a temporary folder removed at exit.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "component/module_state.h"
#include "timezone/mod_time_zone.h"
#include "timezone/registry.h"
#include "timezone/tz_state.h"

namespace dvrlink {
namespace {

std::string& LogFolder() {
  static std::string folder;
  return folder;
}

// Module state as a fresh process has it, with its logs in a temporary
// folder.
void FreshModule() {
  if (LogFolder().empty()) {
    char pattern[] = "/tmp/dvrlink-tz-bench-XXXXXX";
    if (::mkdtemp(pattern) != nullptr) LogFolder() = pattern;
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(LogFolder(), ignored);
    });
  }
  ResetModuleState();
  Platform().program_folder = LogFolder();
}

const DateTime kRulesNear = DateTime::FromParts(2026, 1, 1);

void BM_StartupTableFromSystem(benchmark::State& state) {
  FreshModule();
  for (auto _ : state) {
    ModTimeZoneState& s = ModTimeZone();
    s.aTimeZoneList.clear();
    s.registry = nullptr;
    s.systemRegistry = BuildSystemRegistry("America/New_York", kRulesNear);
    benchmark::DoNotOptimize(GetTimeZoneList());
  }
  state.counters["zones"] = static_cast<double>(ModTimeZone().aTimeZoneList.size());
}
BENCHMARK(BM_StartupTableFromSystem)->Name("StartupTable/FromSystem")->Unit(benchmark::kMillisecond);

void BM_StartupTablePrebuilt(benchmark::State& state) {
  FreshModule();
  ModTimeZone().registry = BuildSystemRegistry("America/New_York", kRulesNear);
  for (auto _ : state) {
    ModTimeZone().aTimeZoneList.clear();
    benchmark::DoNotOptimize(GetTimeZoneList());
  }
}
BENCHMARK(BM_StartupTablePrebuilt)->Name("StartupTable/Prebuilt")->Unit(benchmark::kMicrosecond);

void BM_SortList(benchmark::State& state) {
  FreshModule();
  ModTimeZone().registry = BuildSystemRegistry("America/New_York", kRulesNear);
  // Unsorted: in registry (key name) order.
  EnumSubKeys(RegRoot::HKEY_LOCAL_MACHINE, kTimeZonesKeyNT);
  const std::vector<TimeZoneEntry> unsorted = ModTimeZone().aTimeZoneList;
  for (auto _ : state) {
    state.PauseTiming();
    ModTimeZone().aTimeZoneList = unsorted;
    state.ResumeTiming();
    benchmark::DoNotOptimize(SortList());
  }
}
BENCHMARK(BM_SortList)->Name("SortList")->Unit(benchmark::kMicrosecond);

void BM_ConvertToLocalTimeZone(benchmark::State& state) {
  FreshModule();
  ModTimeZone().registry = BuildSystemRegistry("Australia/Sydney", kRulesNear);
  GetTimeZoneList();
  ModTimeZone().indexToTimeZone = FindDVRTimeZoneIndex("Eastern Standard Time");
  std::vector<DateTime> times;
  for (int i = 0; i < 1024; ++i) times.push_back(DateTime::FromParts(2026, 1, 1).AddSeconds(i * 30817LL));
  size_t i = 0;
  for (auto _ : state) {
    DateTime t = times[i++ & 1023];
    ConvertToLocalTimeZone(t);
    benchmark::DoNotOptimize(t);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ConvertToLocalTimeZone)->Name("ConvertToLocalTimeZone");

}  // namespace
}  // namespace dvrlink
