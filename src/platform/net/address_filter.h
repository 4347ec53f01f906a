// Numeric socket addresses: the listen address of a server, the text form of
// a peer, and the list of client addresses a server accepts.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace dvrlink::net {

// A numeric IPv4 ("127.0.0.1") or IPv6 ("::1", "[::1]") address with a port.
// Host names are not looked up. Nothing when the text is not an address.
std::optional<sockaddr_storage> ParseSocketAddress(std::string_view address, uint16_t port);

// "a.b.c.d:port" or "[v6]:port"; an IPv4 address mapped into IPv6 is shown
// as IPv4.
std::string SocketAddressText(const sockaddr_storage& address);

// The clients a listener accepts: single addresses and CIDR ranges, IPv4 or
// IPv6, comma-separated ("127.0.0.1, 10.1.0.0/16, ::1, fd00::/8"). An empty
// list accepts every client. An IPv4 client arriving on an IPv6 socket as a
// mapped address (::ffff:a.b.c.d) is matched as its IPv4 address.
class AddressFilter {
 public:
  AddressFilter() = default;
  // Raises std::invalid_argument naming the item that is not an address or
  // range (or whose prefix is too long for its family).
  static AddressFilter Parse(std::string_view list);

  bool AcceptsEveryone() const { return ranges_.empty(); }
  bool Accepts(const sockaddr_storage& address) const;
  // The same for a numeric address text; false for a text that is not one.
  bool Accepts(std::string_view numeric_address) const;

 private:
  struct Range {
    int family;                   // AF_INET or AF_INET6
    std::array<uint8_t, 16> bytes;  // network order; 4 used for IPv4
    int prefix;                   // leading bits that must match
  };
  bool Matches(int family, const uint8_t* bytes) const;
  std::vector<Range> ranges_;
};

}  // namespace dvrlink::net
