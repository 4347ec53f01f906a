// A file descriptor that closes itself, and the small socket helpers the
// servers share.
#pragma once

#include <unistd.h>

#include <string>
#include <utility>

namespace dvrlink::net {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      Reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  void Reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  // Gives the descriptor up without closing it (a new owner closes it).
  int Release() { return std::exchange(fd_, -1); }

 private:
  int fd_ = -1;
};

// Sets O_NONBLOCK; false when fcntl fails.
bool SetNonBlocking(int fd);

// strerror of the error number, as a text.
std::string ErrorText(int error_number);

// Writes as much of data as the socket takes now, without raising SIGPIPE.
// Returns the count written (0 when it would block); -1 when the peer is
// gone or the socket failed (errno tells why).
long SendSome(int fd, const char* data, size_t size);

}  // namespace dvrlink::net
