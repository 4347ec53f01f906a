// dvrctl --bench (request/reply round trips against a host-client port) and
// dvrctl --echo-server (the same round trip without the service behind it).
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <iomanip>
#include <map>
#include <memory>
#include <ostream>
#include <thread>

#include "platform/net/address_filter.h"
#include "dvrctl/host_client.h"

namespace dvrlink {
namespace {

using Clock = std::chrono::steady_clock;

struct BenchClient {
  std::unique_ptr<HostConnection> connection;
  std::vector<int64_t> latencies_ns;
  std::string error;  // empty when every round trip completed
};

// One client's round trips, on its own thread.
void RunRounds(BenchClient& client, const std::string& frame, const std::string& code, long rounds, int timeout_ms) {
  client.latencies_ns.reserve(static_cast<size_t>(rounds));
  try {
    for (long r = 0; r < rounds; ++r) {
      Clock::time_point sent = Clock::now();
      client.connection->Send(frame);
      int64_t deadline = MonotonicMillis() + timeout_ms;
      while (true) {
        std::optional<std::string> body = client.connection->NextFrame(deadline);
        if (!body) {
          client.error = client.connection->closed() ? "the connection closed after " + std::to_string(r) + " round trips"
                                                     : "no reply within the timeout after " + std::to_string(r) +
                                                           " round trips";
          return;
        }
        if (FrameCode(*body) == code) break;  // other frames are notices
      }
      client.latencies_ns.push_back(std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - sent).count());
    }
  } catch (const std::exception& e) {
    client.error = e.what();
  }
}

// The nearest-rank percentile of sorted values.
int64_t Percentile(const std::vector<int64_t>& sorted, double fraction) {
  size_t rank = static_cast<size_t>(std::ceil(fraction * static_cast<double>(sorted.size())));
  return sorted[std::min(std::max<size_t>(rank, 1), sorted.size()) - 1];
}

}  // namespace

int RunHostBench(const HostAddress& address, const std::vector<std::string>& words, long rounds, int clients,
                 int timeout_ms, std::ostream& out, std::ostream& err) {
  const std::string frame = BuildHostFrame(words);
  const std::string code = ReplyCode(words[0]);
  std::vector<BenchClient> all(static_cast<size_t>(clients));
  try {
    for (BenchClient& client : all) client.connection = std::make_unique<HostConnection>(address, timeout_ms);
  } catch (const std::exception& e) {
    err << "dvrctl: " << e.what() << "\n";
    return 2;
  }
  Clock::time_point start = Clock::now();
  std::vector<std::thread> threads;
  threads.reserve(all.size());
  for (BenchClient& client : all) {
    threads.emplace_back([&client, &frame, &code, rounds, timeout_ms] { RunRounds(client, frame, code, rounds, timeout_ms); });
  }
  for (std::thread& t : threads) t.join();
  double elapsed = std::chrono::duration<double>(Clock::now() - start).count();

  std::vector<int64_t> latencies;
  int status = 0;
  for (size_t k = 0; k < all.size(); ++k) {
    if (!all[k].error.empty()) {
      err << "dvrctl: " << address.text << ": client " << k + 1 << ": " << all[k].error << "\n";
      status = 2;
    }
    latencies.insert(latencies.end(), all[k].latencies_ns.begin(), all[k].latencies_ns.end());
  }
  if (status != 0 || latencies.empty()) return 2;
  std::sort(latencies.begin(), latencies.end());
  std::string frame_text = words[0];
  for (size_t k = 1; k < words.size(); ++k) frame_text += "|" + words[k];
  out << std::fixed;
  out << "round trips: " << latencies.size() << " (" << clients << " client(s) x " << rounds << ", frame "
      << frame_text << ", " << address.text << ")\n";
  out << "elapsed: " << std::setprecision(3) << elapsed << " s\n";
  out << "rate: " << std::setprecision(1) << static_cast<double>(latencies.size()) / elapsed << " round trips/s\n";
  out << "latency: p50 " << std::setprecision(3) << static_cast<double>(Percentile(latencies, 0.50)) / 1e6
      << " ms, p99 " << static_cast<double>(Percentile(latencies, 0.99)) / 1e6 << " ms\n";
  return 0;
}

namespace {

struct EchoClient {
  net::UniqueFd fd;
  std::string input;   // received bytes not yet sent back (an unfinished frame)
  std::string output;  // frames the socket has not taken yet
};

// What an echo client may send without an end character before it is
// dropped, as the service does.
constexpr size_t kEchoMaxUnterminated = 64 * 1024;

// Moves every complete frame of input (start to end character) to output;
// bytes outside frames are dropped.
void EchoFrames(EchoClient& client) {
  size_t consumed = 0;
  while (true) {
    size_t start = client.input.find(kHostFrameStart, consumed);
    if (start == std::string::npos) {
      consumed = client.input.size();
      break;
    }
    size_t end = client.input.find(kHostFrameEnd, start);
    if (end == std::string::npos) {
      consumed = start;
      break;
    }
    client.output.append(client.input, start, end - start + 1);
    consumed = end + 1;
  }
  client.input.erase(0, consumed);
}

// Reads what is there, echoes the frames and sends what the socket takes;
// false when the client is gone or must be dropped.
bool ServeEchoClient(EchoClient& client, short revents) {
  if (revents & (POLLIN | POLLHUP | POLLERR)) {
    char chunk[65536];
    ssize_t n = ::recv(client.fd.get(), chunk, sizeof chunk, 0);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) return false;
    if (n > 0) client.input.append(chunk, static_cast<size_t>(n));
    EchoFrames(client);
    if (client.input.size() > kEchoMaxUnterminated) return false;
  }
  if (!client.output.empty()) {
    long sent = net::SendSome(client.fd.get(), client.output.data(), client.output.size());
    if (sent < 0) return false;
    client.output.erase(0, static_cast<size_t>(sent));
  }
  return true;
}

}  // namespace

int RunEchoServer(const HostAddress& address, std::ostream& out, std::ostream& err) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo* found = nullptr;
  int rc = ::getaddrinfo(address.host.c_str(), address.port.c_str(), &hints, &found);
  if (rc != 0) {
    err << "dvrctl: cannot resolve " << address.host << " (" << address.text << "): " << ::gai_strerror(rc) << "\n";
    return 2;
  }
  net::UniqueFd listener(::socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  int on = 1;
  bool ok = listener.valid() && ::setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 &&
            ::bind(listener.get(), found->ai_addr, found->ai_addrlen) == 0 && ::listen(listener.get(), SOMAXCONN) == 0;
  int error = errno;
  ::freeaddrinfo(found);
  if (!ok) {
    err << "dvrctl: cannot listen on " << address.text << ": " << net::ErrorText(error) << "\n";
    return 2;
  }
  sockaddr_storage bound{};
  socklen_t length = sizeof bound;
  ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&bound), &length);
  out << "listening on " << net::SocketAddressText(bound) << std::endl;

  std::map<int, EchoClient> clients;
  std::vector<pollfd> fds;
  while (true) {
    fds.assign(1, pollfd{listener.get(), POLLIN, 0});
    for (const auto& [fd, client] : clients) {
      fds.push_back(pollfd{fd, static_cast<short>(client.output.empty() ? POLLIN : POLLIN | POLLOUT), 0});
    }
    if (::poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      err << "dvrctl: echo server: " << net::ErrorText(errno) << "\n";
      return 2;
    }
    for (size_t k = 1; k < fds.size(); ++k) {
      if (fds[k].revents == 0) continue;
      auto it = clients.find(fds[k].fd);
      if (!ServeEchoClient(it->second, fds[k].revents)) clients.erase(it);
    }
    if (fds[0].revents & POLLIN) {
      int fd;
      while ((fd = ::accept4(listener.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0) {
        clients[fd].fd = net::UniqueFd(fd);
      }
    }
  }
}

}  // namespace dvrlink
