#include "service/console_http.h"

#include <microhttpd.h>
#include <netinet/in.h>
#include <poll.h>

#include <cerrno>
#include <cstdarg>
#include <algorithm>
#include <cstring>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "platform/net/json_text.h"
#include "platform/shared_library.h"
#include "support/debug_log.h"

namespace dvrlink {

// libmicrohttpd's functions, loaded by the first console started: a service
// without a console maps neither it nor the TLS libraries it needs.
struct LibMicrohttpd {
  decltype(&::MHD_start_daemon) start_daemon = nullptr;
  decltype(&::MHD_stop_daemon) stop_daemon = nullptr;
  decltype(&::MHD_run) run = nullptr;
  decltype(&::MHD_get_timeout) get_timeout = nullptr;
  decltype(&::MHD_get_daemon_info) get_daemon_info = nullptr;
  decltype(&::MHD_get_connection_info) get_connection_info = nullptr;
  decltype(&::MHD_lookup_connection_value) lookup_connection_value = nullptr;
  decltype(&::MHD_suspend_connection) suspend_connection = nullptr;
  decltype(&::MHD_resume_connection) resume_connection = nullptr;
  decltype(&::MHD_create_response_from_buffer) create_response_from_buffer = nullptr;
  decltype(&::MHD_create_response_from_callback) create_response_from_callback = nullptr;
  decltype(&::MHD_add_response_header) add_response_header = nullptr;
  decltype(&::MHD_queue_response) queue_response = nullptr;
  decltype(&::MHD_destroy_response) destroy_response = nullptr;
};

namespace {

// A stream whose reader is this far behind is ended: it stopped reading.
constexpr size_t kMaxStreamBacklog = 1024 * 1024;
// Marks a request whose headers have been seen.
int kHeadersSeen = 0;

bool ChangesState(const std::string& method) { return method != "GET" && method != "HEAD"; }

// Compares without stopping at the first difference.
bool SameSecret(const std::string& given, const std::string& expected) {
  if (given.size() != expected.size()) return false;
  unsigned char diff = 0;
  for (size_t i = 0; i < given.size(); ++i) diff |= static_cast<unsigned char>(given[i] ^ expected[i]);
  return diff == 0;
}

std::string ErrorBody(const std::string& message) {
  Json body = Json::object();
  body["error"] = TextForJson(message);
  return DumpLine(body);
}

std::string Header(const LibMicrohttpd& mhd, MHD_Connection* connection, const char* name) {
  const char* value = mhd.lookup_connection_value(connection, MHD_HEADER_KIND, name);
  return value ? value : "";
}

std::unique_ptr<const LibMicrohttpd> LoadMicrohttpd() {
  SharedLibrary library("libmicrohttpd.so.12", "libmicrohttpd12");
  auto functions = std::make_unique<LibMicrohttpd>();
  library.Resolve("MHD_start_daemon", functions->start_daemon);
  library.Resolve("MHD_stop_daemon", functions->stop_daemon);
  library.Resolve("MHD_run", functions->run);
  library.Resolve("MHD_get_timeout", functions->get_timeout);
  library.Resolve("MHD_get_daemon_info", functions->get_daemon_info);
  library.Resolve("MHD_get_connection_info", functions->get_connection_info);
  library.Resolve("MHD_lookup_connection_value", functions->lookup_connection_value);
  library.Resolve("MHD_suspend_connection", functions->suspend_connection);
  library.Resolve("MHD_resume_connection", functions->resume_connection);
  library.Resolve("MHD_create_response_from_buffer", functions->create_response_from_buffer);
  library.Resolve("MHD_create_response_from_callback", functions->create_response_from_callback);
  library.Resolve("MHD_add_response_header", functions->add_response_header);
  library.Resolve("MHD_queue_response", functions->queue_response);
  library.Resolve("MHD_destroy_response", functions->destroy_response);
  if (std::string problem = library.Problem(); !problem.empty()) {
    throw std::runtime_error("the HTTP library " + problem);
  }
  return functions;
}

}  // namespace

struct ConsoleHttp::Stream {
  ConsoleHttp* owner;
  MHD_Connection* connection;
  std::string pending;
  bool suspended = false;
  bool ended = false;
};

struct ConsoleHttp::Glue {
  static MHD_Result OnRequest(void* cls, MHD_Connection* connection, const char* url, const char* method,
                              const char* /*version*/, const char* /*upload_data*/, size_t* upload_data_size,
                              void** state) {
    if (*state == nullptr) {  // headers only, so far
      *state = &kHeadersSeen;
      return MHD_YES;
    }
    if (*upload_data_size != 0) {  // a body is read and not used
      *upload_data_size = 0;
      return MHD_YES;
    }
    return static_cast<ConsoleHttp*>(cls)->Answer(connection, url, method) ? MHD_YES : MHD_NO;
  }

  static ssize_t ReadStream(void* cls, uint64_t /*pos*/, char* buf, size_t max) {
    Stream& s = *static_cast<Stream*>(cls);
    if (!s.pending.empty()) {
      size_t n = std::min(max, s.pending.size());
      std::memcpy(buf, s.pending.data(), n);
      s.pending.erase(0, n);
      return static_cast<ssize_t>(n);
    }
    if (s.ended) return MHD_CONTENT_READER_END_OF_STREAM;
    // Nothing to send: the connection sleeps until Queue wakes it.
    s.owner->mhd_->suspend_connection(s.connection);
    s.suspended = true;
    return 0;
  }

  static void FreeStream(void* cls) {
    Stream* s = static_cast<Stream*>(cls);
    s->owner->streams_.erase(s);
    delete s;
  }

  static void Log(void* /*cls*/, const char* format, va_list args) {
    char text[512];
    std::vsnprintf(text, sizeof text, format, args);
    std::string line = text;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    WriteServiceLog("dvrlink, console: " + line);
  }
};

ConsoleHttp::ConsoleHttp(EventLoop& loop, ConsoleHttpOptions options, Handler handler,
                         std::function<std::string()> opened)
    : loop_(loop),
      options_(std::move(options)),
      handler_(std::move(handler)),
      opened_(std::move(opened)),
      timer_(loop, [this] { Run(); }),
      keepalive_(loop, [this] {
        for (Stream* s : streams_) Queue(*s, ": keepalive\n\n");
      }) {}

ConsoleHttp::~ConsoleHttp() {
  Stop();
  alive_.reset();
}

void ConsoleHttp::Start() {
  const sockaddr_storage& where = options_.address;
  const std::string target = net::SocketAddressText(where);
  net::UniqueFd fd(::socket(where.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd.valid()) throw std::runtime_error("cannot listen on " + target + ": " + net::ErrorText(errno));
  int on = 1;
  ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  socklen_t length = where.ss_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&where), length) != 0 ||
      ::listen(fd.get(), SOMAXCONN) != 0) {
    throw std::runtime_error("cannot listen on " + target + ": " + net::ErrorText(errno));
  }
  sockaddr_storage bound{};
  socklen_t bound_length = sizeof bound;
  ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&bound), &bound_length);
  bound_port_ = bound.ss_family == AF_INET ? ntohs(reinterpret_cast<sockaddr_in*>(&bound)->sin_port)
                                           : ntohs(reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port);
  if (!mhd_) mhd_ = LoadMicrohttpd();
  unsigned flags = MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_ERROR_LOG;
  if (where.ss_family == AF_INET6) flags |= MHD_USE_IPv6;
  daemon_ = mhd_->start_daemon(flags, 0, nullptr, nullptr, &Glue::OnRequest, this,  //
                               MHD_OPTION_LISTEN_SOCKET, fd.get(),                    //
                               MHD_OPTION_CONNECTION_TIMEOUT, options_.idle_seconds,  //
                               MHD_OPTION_CONNECTION_LIMIT, options_.max_connections, //
                               MHD_OPTION_EXTERNAL_LOGGER, &Glue::Log, nullptr, MHD_OPTION_END);
  if (daemon_ == nullptr) throw std::runtime_error("cannot start the console on " + target);
  fd.Release();  // the library closes it when it stops
  const MHD_DaemonInfo* info = mhd_->get_daemon_info(daemon_, MHD_DAEMON_INFO_EPOLL_FD);
  watch_ = loop_.Watch(info->epoll_fd, POLLIN, [this](short) { Run(); });
  keepalive_.SetInterval(static_cast<int32_t>(options_.idle_seconds * 1000 / 3));
  keepalive_.SetEnabled(true);
  Run();
}

void ConsoleHttp::Stop() {
  if (daemon_ == nullptr) return;
  keepalive_.SetEnabled(false);
  timer_.SetEnabled(false);
  // Suspended connections must be resumed before the library stops.
  for (Stream* s : streams_) {
    s->ended = true;
    if (s->suspended) mhd_->resume_connection(s->connection);
    s->suspended = false;
  }
  mhd_->run(daemon_);
  loop_.Unwatch(watch_);
  mhd_->stop_daemon(daemon_);
  daemon_ = nullptr;
}

void ConsoleHttp::Run() {
  if (daemon_ == nullptr) return;
  mhd_->run(daemon_);
  MHD_UNSIGNED_LONG_LONG millis = 0;
  if (mhd_->get_timeout(daemon_, &millis) == MHD_YES) {
    timer_.SetInterval(static_cast<int32_t>(std::clamp<MHD_UNSIGNED_LONG_LONG>(millis, 1, 3600 * 1000)));
    timer_.SetEnabled(true);
  } else {
    timer_.SetEnabled(false);
  }
}

bool ConsoleHttp::Answer(MHD_Connection* connection, const std::string& url, const std::string& method) {
  HttpRequest request;
  request.method = method;
  request.path = url;
  const MHD_ConnectionInfo* info = mhd_->get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
  sockaddr_storage peer{};
  if (info && info->client_addr) {
    std::memcpy(&peer, info->client_addr,
                info->client_addr->sa_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in));
  }
  request.client = net::SocketAddressText(peer);

  HttpResponse response;
  bool challenge = false;
  if (!options_.allowed_clients.Accepts(peer)) {
    response = {403, "application/json", ErrorBody("client " + request.client + " is not in allowed_clients")};
  } else if (ChangesState(method) &&
             (options_.token.empty() ||
              !SameSecret(Header(*mhd_, connection, MHD_HTTP_HEADER_AUTHORIZATION), "Bearer " + options_.token))) {
    challenge = true;
    response = {401, "application/json",
                ErrorBody(options_.token.empty() ? "actions are off: the configuration has no console_token"
                                                 : "this action needs the console token (Authorization: Bearer)")};
  } else if (method == "GET" && url == options_.event_path &&
             Header(*mhd_, connection, MHD_HTTP_HEADER_ACCEPT).find("text/event-stream") != std::string::npos) {
    return OpenStream(connection);
  } else {
    try {
      response = handler_(request);
    } catch (const std::exception& e) {
      response = {500, "application/json", ErrorBody(e.what())};
    }
  }
  MHD_Response* r =
      mhd_->create_response_from_buffer(response.body.size(), response.body.data(), MHD_RESPMEM_MUST_COPY);
  mhd_->add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, response.content_type.c_str());
  mhd_->add_response_header(r, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
  mhd_->add_response_header(r, "X-Content-Type-Options", "nosniff");
  if (challenge) mhd_->add_response_header(r, MHD_HTTP_HEADER_WWW_AUTHENTICATE, "Bearer realm=\"dvrlink\"");
  bool queued = mhd_->queue_response(connection, static_cast<unsigned>(response.status), r) == MHD_YES;
  mhd_->destroy_response(r);
  return queued;
}

bool ConsoleHttp::OpenStream(MHD_Connection* connection) {
  auto* stream = new Stream{this, connection, opened_ ? opened_() : std::string()};
  MHD_Response* r = mhd_->create_response_from_callback(MHD_SIZE_UNKNOWN, 16 * 1024, &Glue::ReadStream, stream,
                                                        &Glue::FreeStream);
  if (r == nullptr) {
    delete stream;
    return false;
  }
  streams_.insert(stream);
  mhd_->add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, "text/event-stream");
  mhd_->add_response_header(r, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
  bool queued = mhd_->queue_response(connection, MHD_HTTP_OK, r) == MHD_YES;
  mhd_->destroy_response(r);  // freed, with the stream, when the connection ends
  return queued;
}

void ConsoleHttp::Queue(Stream& stream, const std::string& text) {
  if (stream.ended) return;
  if (stream.pending.size() + text.size() > kMaxStreamBacklog) {
    stream.pending.clear();
    stream.ended = true;
  } else {
    stream.pending += text;
  }
  if (stream.suspended) {
    stream.suspended = false;
    mhd_->resume_connection(stream.connection);
    // The library takes the connection back at its next run.
    std::weak_ptr<bool> alive = alive_;
    loop_.Post([this, alive] {
      if (auto live = alive.lock()) Run();
    });
  }
}

void ConsoleHttp::Publish(const std::string& text) {
  for (Stream* s : streams_) Queue(*s, "data: " + text + "\n\n");
}

}  // namespace dvrlink
