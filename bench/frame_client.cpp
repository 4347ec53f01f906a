// The client of the host command channel's round-trip benchmark, the same
// small program against a dvrlink instance and against bench/echo_server:
// C connections on one thread, each sending one frame and waiting for the
// end character (25) of its reply before it sends the next, N times.
//
//   frame_client HOST:PORT N [C] [CODE [FIELD...]]
//     C defaults to 1, the frame to "39" (GetVersion)
// Prints "rate: R round trips/s" and "latency: p50 X ms, p99 Y ms".
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Connection {
  int fd = -1;
  long done = 0;
  Clock::time_point sent;
};

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "frame_client: %s: %s\n", what, std::strerror(errno));
  std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: frame_client HOST:PORT N [C] [CODE [FIELD...]]\n");
    return 2;
  }
  std::string where = argv[1];
  size_t colon = where.rfind(':');
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(static_cast<uint16_t>(std::atoi(where.c_str() + colon + 1)));
  if (colon == std::string::npos || ::inet_pton(AF_INET, where.substr(0, colon).c_str(), &peer.sin_addr) != 1) {
    std::fprintf(stderr, "frame_client: '%s' is not IPV4-ADDRESS:PORT\n", argv[1]);
    return 2;
  }
  const long rounds = std::atol(argv[2]);
  const int clients = argc > 3 ? std::atoi(argv[3]) : 1;
  if (rounds < 1 || clients < 1) {
    std::fprintf(stderr, "frame_client: N and C must be above 0\n");
    return 2;
  }
  std::string frame(1, '\x18');
  frame += argc > 4 ? argv[4] : "39";
  for (int k = 5; k < argc; ++k) frame += std::string(1, '\x1a') + argv[k];
  frame += '\x19';

  std::vector<Connection> connections(static_cast<size_t>(clients));
  std::vector<pollfd> fds;
  int on = 1;
  for (Connection& c : connections) {
    c.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (c.fd < 0 || ::connect(c.fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0) Fail("connect");
    ::setsockopt(c.fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    fds.push_back(pollfd{c.fd, POLLIN, 0});
  }
  std::vector<int64_t> latencies;
  latencies.reserve(static_cast<size_t>(rounds) * connections.size());
  const Clock::time_point start = Clock::now();
  for (Connection& c : connections) {
    c.sent = Clock::now();
    if (::send(c.fd, frame.data(), frame.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(frame.size())) Fail("send");
  }
  size_t running = connections.size();
  char buffer[65536];
  while (running > 0) {
    if (::poll(fds.data(), fds.size(), 10000) <= 0) Fail("no reply within 10 s");
    for (size_t k = 0; k < fds.size(); ++k) {
      if (fds[k].revents == 0) continue;
      Connection& c = connections[k];
      ssize_t n = ::recv(c.fd, buffer, sizeof buffer, 0);
      if (n <= 0) Fail("the connection closed");
      // A reply is complete at its end character (requests wait for their
      // reply, so at most one is in flight).
      if (std::memchr(buffer, '\x19', static_cast<size_t>(n)) == nullptr) continue;
      const Clock::time_point now = Clock::now();
      latencies.push_back(std::chrono::duration_cast<std::chrono::nanoseconds>(now - c.sent).count());
      if (++c.done == rounds) {
        fds[k].fd = -1;
        --running;
        continue;
      }
      c.sent = now;
      if (::send(c.fd, frame.data(), frame.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(frame.size())) Fail("send");
    }
  }
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  std::sort(latencies.begin(), latencies.end());
  auto percentile = [&](double fraction) {
    size_t rank = static_cast<size_t>(std::ceil(fraction * static_cast<double>(latencies.size())));
    return static_cast<double>(latencies[std::min(std::max<size_t>(rank, 1), latencies.size()) - 1]) / 1e6;
  };
  std::printf("round trips: %zu (%d client(s) x %ld)\n", latencies.size(), clients, rounds);
  std::printf("rate: %.1f round trips/s\n", static_cast<double>(latencies.size()) / elapsed);
  std::printf("latency: p50 %.3f ms, p99 %.3f ms\n", percentile(0.5), percentile(0.99));
  return 0;
}
