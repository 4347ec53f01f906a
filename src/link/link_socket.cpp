#include "link/link_socket.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "platform/platform_state.h"

namespace dvrlink::link {
namespace {

std::string ErrnoText(int err) { return std::strerror(err); }

struct AddrInfoDeleter {
  void operator()(addrinfo* info) const { freeaddrinfo(info); }
};
using AddrInfoPtr = std::unique_ptr<addrinfo, AddrInfoDeleter>;

// Numeric addresses first (no resolver round trip), then names.
AddrInfoPtr Resolve(const std::string& address, uint16_t port, bool passive, std::string& error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV | AI_NUMERICHOST | (passive ? AI_PASSIVE : 0);
  std::string service = std::to_string(port);
  addrinfo* found = nullptr;
  int rc = getaddrinfo(address.c_str(), service.c_str(), &hints, &found);
  if (rc == EAI_NONAME) {
    hints.ai_flags &= ~AI_NUMERICHOST;
    rc = getaddrinfo(address.c_str(), service.c_str(), &hints, &found);
  }
  if (rc != 0) {
    error = "cannot resolve address '" + address + "': " + gai_strerror(rc);
    return nullptr;
  }
  return AddrInfoPtr(found);
}

int64_t MillisLeft(SteadyTime deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  // Round up so a wait never ends just before the deadline and spins.
  return left.count() < 0 ? 0 : left.count() + 1;
}

bool WaitFor(int fd, short events, SteadyTime deadline) {
  while (true) {
    int64_t ms = MillisLeft(deadline);
    pollfd p{fd, events, 0};
    int n = ::poll(&p, 1, static_cast<int>(ms));
    if (n > 0) return true;
    if (n < 0 && errno == EINTR) continue;
    if (n == 0 && std::chrono::steady_clock::now() < deadline) continue;
    return false;
  }
}

}  // namespace

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) Reset(other.Release());
  return *this;
}

int UniqueFd::Release() {
  int fd = fd_;
  fd_ = -1;
  return fd;
}

void UniqueFd::Reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

void SetNonBlocking(int fd) {
  int flags = ::fcntl(fd, F_GETFL, 0);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

ConnectStart StartConnect(const std::string& address, uint16_t port) {
  ConnectStart start;
  AddrInfoPtr info = Resolve(address, port, false, start.error);
  if (!info) return start;
  UniqueFd fd(::socket(info->ai_family, info->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, info->ai_protocol));
  if (!fd.valid()) {
    start.error = "cannot create a socket: " + ErrnoText(errno);
    return start;
  }
  int one = 1;
  ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (::connect(fd.get(), info->ai_addr, info->ai_addrlen) == 0) {
    start.fd = std::move(fd);
    return start;
  }
  if (errno == EINPROGRESS) {
    start.fd = std::move(fd);
    start.in_progress = true;
    return start;
  }
  start.error = "cannot connect to " + Endpoint(address, port) + ": " + ErrnoText(errno);
  return start;
}

std::string FinishConnect(int fd) {
  int err = 0;
  socklen_t len = sizeof err;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
  return err == 0 ? std::string() : ErrnoText(err);
}

UniqueFd ConnectBefore(const std::string& address, uint16_t port, SteadyTime deadline, std::string& error) {
  ConnectStart start = StartConnect(address, port);
  if (!start.fd.valid()) {
    error = start.error;
    return UniqueFd();
  }
  if (start.in_progress) {
    if (!WaitFor(start.fd.get(), POLLOUT, deadline)) {
      error = "no connection to " + Endpoint(address, port) + " before the deadline";
      return UniqueFd();
    }
    std::string failure = FinishConnect(start.fd.get());
    if (!failure.empty()) {
      error = "cannot connect to " + Endpoint(address, port) + ": " + failure;
      return UniqueFd();
    }
  }
  return std::move(start.fd);
}

UniqueFd ListenOn(const std::string& bind_address, uint16_t port, std::string& error) {
  AddrInfoPtr info = Resolve(bind_address, port, true, error);
  if (!info) return UniqueFd();
  UniqueFd fd(::socket(info->ai_family, info->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, info->ai_protocol));
  if (!fd.valid()) {
    error = "cannot create a socket: " + ErrnoText(errno);
    return UniqueFd();
  }
  int one = 1;
  ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (::bind(fd.get(), info->ai_addr, info->ai_addrlen) != 0) {
    error = "cannot bind " + Endpoint(bind_address, port) + ": " + ErrnoText(errno);
    return UniqueFd();
  }
  if (::listen(fd.get(), 64) != 0) {
    error = "cannot listen on " + Endpoint(bind_address, port) + ": " + ErrnoText(errno);
    return UniqueFd();
  }
  return fd;
}

uint16_t LocalPort(int fd) {
  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
  if (addr.ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
  if (addr.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port);
  return 0;
}

UniqueFd AcceptOne(int listen_fd) {
  int fd = ::accept4(listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd >= 0) {
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  }
  return UniqueFd(fd);
}

bool WriteAllBefore(int fd, const std::string& data, SteadyTime deadline, std::string& error) {
  BeforeOutput();
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!WaitFor(fd, POLLOUT, deadline)) {
        error = "the DVR took no data before the deadline";
        return false;
      }
      continue;
    }
    error = "cannot send: " + ErrnoText(errno);
    return false;
  }
  return true;
}

bool WaitReadable(int fd, SteadyTime deadline) { return WaitFor(fd, POLLIN, deadline); }

ReadResult ReadAvailable(int fd, std::string& buffer, std::string& error) {
  char chunk[65536];
  while (true) {
    ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n > 0) {
      buffer.append(chunk, static_cast<size_t>(n));
      return ReadResult::kData;
    }
    if (n == 0) return ReadResult::kClosed;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return ReadResult::kWouldBlock;
    error = ErrnoText(errno);
    return ReadResult::kError;
  }
}

bool WriteAvailable(int fd, std::string& data, std::string& error) {
  BeforeOutput();
  while (!data.empty()) {
    ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    if (n > 0) {
      data.erase(0, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    error = ErrnoText(errno);
    return false;
  }
  return true;
}

std::string Endpoint(const std::string& address, uint16_t port) {
  if (address.find(':') != std::string::npos) return "[" + address + "]:" + std::to_string(port);
  return address + ":" + std::to_string(port);
}

}  // namespace dvrlink::link
