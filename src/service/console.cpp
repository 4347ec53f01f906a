#include "service/console.h"

#include "platform/platform_state.h"
#include "support/runtime_error.h"

namespace dvrlink {
namespace {

HttpResponse JsonResponse(int status, const Json& body) {
  return HttpResponse{status, "application/json", DumpLine(body)};
}

HttpResponse ErrorResponse(int status, const std::string& message) {
  Json body = Json::object();
  body["error"] = TextForJson(message);
  return JsonResponse(status, body);
}

}  // namespace

ServiceConsole::ServiceConsole(const ServiceConfig& config, ServiceMonitor& monitor) : monitor_(monitor) {
  ConsoleHttpOptions options;
  options.address = *ParseConsoleAddress(config.console);
  options.allowed_clients = net::AddressFilter::Parse(config.allowed_clients);
  options.token = config.console_token;
  http_ = std::make_unique<ConsoleHttp>(
      Loop(), options, [this](const HttpRequest& r) { return Handle(r); }, [] { return std::string("retry: 2000\n\n"); });
}

void ServiceConsole::Start() { http_->Start(); }

void ServiceConsole::Stop() { http_->Stop(); }

HttpResponse ServiceConsole::Handle(const HttpRequest& request) {
  const std::string& path = request.path;
  const bool get = request.method == "GET" || request.method == "HEAD";
  const std::string actions = "/api/instances/";
  if (request.method == "POST" && path.rfind(actions, 0) == 0) {
    const std::string rest = path.substr(actions.size());
    size_t slash = rest.rfind('/');
    if (slash == std::string::npos || slash == 0) return ErrorResponse(404, "no action in " + path);
    try {
      Json result = Json::object();
      result["result"] = monitor_.Act(rest.substr(0, slash), rest.substr(slash + 1), "client " + request.client);
      return JsonResponse(200, result);
    } catch (const ActionError& e) {
      return ErrorResponse(e.status(), e.what());
    } catch (const RuntimeError& e) {
      return ErrorResponse(500, "error " + std::to_string(e.Number()) + ": " + e.Description());
    }
  }
  if (!get) return ErrorResponse(405, request.method + " is not allowed on " + path);
  if (path == "/api/instances") return JsonResponse(200, monitor_.Instances());
  if (path == "/api/events") return JsonResponse(200, monitor_.RecentEvents());
  if (path == "/metrics") return HttpResponse{200, "text/plain; version=0.0.4; charset=utf-8", monitor_.Metrics()};
  for (const ConsoleAsset& asset : ConsoleAssets()) {
    if (path == asset.path || (path == "/" && std::string_view(asset.path) == "/index.html")) {
      return HttpResponse{200, asset.content_type, std::string(asset.body)};
    }
  }
  return ErrorResponse(404, "nothing at " + path);
}

}  // namespace dvrlink
