// The reference for the host command channel's round trips: the least a
// single-threaded poll() server can do per request. Every byte a client
// sends is sent straight back, so a framed request comes back as its own
// reply. One thread, one pollfd array kept between rounds, one recv and one
// send per readable client, nothing else.
//
//   echo_server [ADDRESS:]PORT     (port 0: a free port; prints
//                                   "listening on ADDRESS:PORT")
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: echo_server [ADDRESS:]PORT\n");
    return 2;
  }
  std::string where = argv[1];
  std::string address = "127.0.0.1";
  if (size_t colon = where.rfind(':'); colon != std::string::npos) {
    address = where.substr(0, colon);
    where = where.substr(colon + 1);
  }
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(static_cast<uint16_t>(std::atoi(where.c_str())));
  if (::inet_pton(AF_INET, address.c_str(), &local.sin_addr) != 1) {
    std::fprintf(stderr, "echo_server: '%s' is not an IPv4 address\n", address.c_str());
    return 2;
  }
  int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  int on = 1;
  ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (::bind(listener, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 || ::listen(listener, SOMAXCONN) != 0) {
    std::fprintf(stderr, "echo_server: cannot listen on %s: %s\n", argv[1], std::strerror(errno));
    return 2;
  }
  socklen_t length = sizeof local;
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&local), &length);
  std::printf("listening on %s:%u\n", address.c_str(), ntohs(local.sin_port));
  std::fflush(stdout);

  std::vector<pollfd> fds{pollfd{listener, POLLIN, 0}};
  char buffer[65536];
  while (true) {
    if (::poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      std::perror("echo_server: poll");
      return 1;
    }
    for (size_t k = 1; k < fds.size(); ++k) {
      if (fds[k].revents == 0) continue;
      ssize_t n = ::recv(fds[k].fd, buffer, sizeof buffer, 0);
      if (n > 0 && ::send(fds[k].fd, buffer, static_cast<size_t>(n), MSG_NOSIGNAL) == n) continue;
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      ::close(fds[k].fd);  // gone, or it stopped reading
      fds[k].fd = -1;      // poll skips it; removed below
    }
    for (size_t k = fds.size(); k-- > 1;) {
      if (fds[k].fd < 0) fds.erase(fds.begin() + static_cast<long>(k));
    }
    if (fds[0].revents & POLLIN) {
      int fd;
      while ((fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0) {
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        fds.push_back(pollfd{fd, POLLIN, 0});
      }
    }
  }
}
