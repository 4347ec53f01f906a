// The status console of the service ([host] console = ADDRESS:PORT): one page
// (assets embedded in the program), its JSON API and /metrics, on the
// console's HTTP server (console_http.h), with the data of a ServiceMonitor.
//
//   GET  /                         the page (it uses only the API below)
//   GET  /api/instances            every instance as its main form would show it
//   GET  /api/events               the recent host-sink lines; with
//                                  "Accept: text/event-stream", every new line
//                                  as it is written (Server-Sent Events)
//   POST /api/instances/ID/ACTION  connect, timesync, debug-mode, exit,
//                                  release-grant (needs the console token)
//   GET  /metrics                  Prometheus text format
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "service/console_http.h"
#include "service/service_config.h"
#include "service/service_monitor.h"

namespace dvrlink {

// One embedded file of the page (generated at build time from
// src/service/console/).
struct ConsoleAsset {
  const char* path;          // "/console.js"
  const char* content_type;  // "text/javascript; charset=utf-8"
  std::string_view body;
};
const std::vector<ConsoleAsset>& ConsoleAssets();

class ServiceConsole {
 public:
  // `monitor` outlives the console.
  ServiceConsole(const ServiceConfig& config, ServiceMonitor& monitor);
  // Listens on the configured address. Raises std::runtime_error naming the
  // address and the reason.
  void Start();
  void Stop();
  uint16_t BoundPort() const { return http_->BoundPort(); }
  // A host-sink line (JSON text) to every open event stream.
  void Publish(const std::string& line) { http_->Publish(line); }

  HttpResponse Handle(const HttpRequest& request);

 private:
  ServiceMonitor& monitor_;
  std::unique_ptr<ConsoleHttp> http_;
};

}  // namespace dvrlink
