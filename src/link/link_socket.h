// TCP plumbing of the DVR link: an owned descriptor, address resolution,
// connecting (blocking with a deadline, or non-blocking for the message
// loop), listening, and blocking reads and writes bounded by a deadline.
// Deadlines are steady-clock instants: the synchronous calls of the link wait
// on real sockets, whatever clock the message loop runs on.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace dvrlink::link {

using SteadyTime = std::chrono::steady_clock::time_point;

// Owns a file descriptor; closes it on destruction.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int Release();
  void Reset(int fd = -1);

 private:
  int fd_ = -1;
};

// Outcome of starting a connection: a descriptor that is connected or still
// connecting (in_progress), or an error text.
struct ConnectStart {
  UniqueFd fd;
  bool in_progress = false;
  std::string error;
};

// Starts a non-blocking TCP connection to address (numeric IPv4 or IPv6, or a
// host name, which the system resolver turns into an address) and port.
ConnectStart StartConnect(const std::string& address, uint16_t port);

// The pending connection's outcome once the descriptor is writable: empty
// when connected, else the error text.
std::string FinishConnect(int fd);

// Connects before the deadline; an invalid descriptor and the error text on
// failure. The descriptor stays non-blocking.
UniqueFd ConnectBefore(const std::string& address, uint16_t port, SteadyTime deadline, std::string& error);

// A non-blocking listening socket on bind_address:port (port 0 picks a free
// port). Invalid descriptor and the error text on failure.
UniqueFd ListenOn(const std::string& bind_address, uint16_t port, std::string& error);

// The local port a socket is bound to; 0 when unknown.
uint16_t LocalPort(int fd);

// Accepts one pending connection (non-blocking); invalid when none.
UniqueFd AcceptOne(int listen_fd);

void SetNonBlocking(int fd);

// Writes all of data before the deadline. False with the error text when the
// peer is gone or the deadline passes first (part of the data may be sent).
bool WriteAllBefore(int fd, const std::string& data, SteadyTime deadline, std::string& error);

// Waits until fd is readable or the deadline passes; false on timeout.
bool WaitReadable(int fd, SteadyTime deadline);

// Result of one non-blocking read.
enum class ReadResult { kData, kWouldBlock, kClosed, kError };
// Appends what is available (at most 64 KiB) to buffer.
ReadResult ReadAvailable(int fd, std::string& buffer, std::string& error);

// Writes what the socket takes now; removes it from the front of data.
// False with the error text when the peer is gone.
bool WriteAvailable(int fd, std::string& data, std::string& error);

// "address:port" for messages.
std::string Endpoint(const std::string& address, uint16_t port);

}  // namespace dvrlink::link
