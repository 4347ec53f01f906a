#include "platform/net/address_filter.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cstring>
#include <stdexcept>

namespace dvrlink::net {
namespace {

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// The bytes of a numeric address; family 0 when the text is not one.
struct RawAddress {
  int family = 0;
  std::array<uint8_t, 16> bytes{};
};

RawAddress ParseRaw(std::string_view text) {
  RawAddress raw;
  if (text.size() >= 2 && text.front() == '[' && text.back() == ']') text = text.substr(1, text.size() - 2);
  std::string s(text);
  if (inet_pton(AF_INET, s.c_str(), raw.bytes.data()) == 1) {
    raw.family = AF_INET;
  } else if (inet_pton(AF_INET6, s.c_str(), raw.bytes.data()) == 1) {
    raw.family = AF_INET6;
  }
  return raw;
}

bool IsV4Mapped(const uint8_t* b) {
  static const uint8_t prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  return std::memcmp(b, prefix, 12) == 0;
}

}  // namespace

std::optional<sockaddr_storage> ParseSocketAddress(std::string_view address, uint16_t port) {
  RawAddress raw = ParseRaw(TrimBlanks(address));
  if (raw.family == 0) return std::nullopt;
  sockaddr_storage storage{};
  if (raw.family == AF_INET) {
    auto* sin = reinterpret_cast<sockaddr_in*>(&storage);
    sin->sin_family = AF_INET;
    sin->sin_port = htons(port);
    std::memcpy(&sin->sin_addr, raw.bytes.data(), 4);
  } else {
    auto* sin6 = reinterpret_cast<sockaddr_in6*>(&storage);
    sin6->sin6_family = AF_INET6;
    sin6->sin6_port = htons(port);
    std::memcpy(&sin6->sin6_addr, raw.bytes.data(), 16);
  }
  return storage;
}

std::string SocketAddressText(const sockaddr_storage& address) {
  char text[INET6_ADDRSTRLEN] = {};
  if (address.ss_family == AF_INET) {
    const auto* sin = reinterpret_cast<const sockaddr_in*>(&address);
    inet_ntop(AF_INET, &sin->sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(sin->sin_port));
  }
  if (address.ss_family == AF_INET6) {
    const auto* sin6 = reinterpret_cast<const sockaddr_in6*>(&address);
    const auto* b = reinterpret_cast<const uint8_t*>(&sin6->sin6_addr);
    if (IsV4Mapped(b)) {
      inet_ntop(AF_INET, b + 12, text, sizeof text);
      return std::string(text) + ":" + std::to_string(ntohs(sin6->sin6_port));
    }
    inet_ntop(AF_INET6, b, text, sizeof text);
    return "[" + std::string(text) + "]:" + std::to_string(ntohs(sin6->sin6_port));
  }
  return "(unknown address family)";
}

AddressFilter AddressFilter::Parse(std::string_view list) {
  AddressFilter filter;
  size_t start = 0;
  while (start <= list.size()) {
    size_t comma = list.find(',', start);
    if (comma == std::string_view::npos) comma = list.size();
    std::string_view item = TrimBlanks(list.substr(start, comma - start));
    start = comma + 1;
    if (item.empty()) {
      if (comma == list.size()) break;
      continue;
    }
    std::string_view address = item;
    int prefix = -1;
    size_t slash = item.find('/');
    if (slash != std::string_view::npos) {
      address = TrimBlanks(item.substr(0, slash));
      std::string_view bits = TrimBlanks(item.substr(slash + 1));
      if (bits.empty() || bits.size() > 3 || bits.find_first_not_of("0123456789") != std::string_view::npos) {
        throw std::invalid_argument("'" + std::string(item) + "' is not an address or CIDR range");
      }
      prefix = std::stoi(std::string(bits));
    }
    RawAddress raw = ParseRaw(address);
    if (raw.family == 0) {
      throw std::invalid_argument("'" + std::string(item) + "' is not an address or CIDR range");
    }
    int max_bits = raw.family == AF_INET ? 32 : 128;
    if (prefix < 0) prefix = max_bits;
    if (prefix > max_bits) {
      throw std::invalid_argument("'" + std::string(item) + "': prefix longer than " + std::to_string(max_bits) +
                                  " bits");
    }
    filter.ranges_.push_back(Range{raw.family, raw.bytes, prefix});
  }
  return filter;
}

bool AddressFilter::Matches(int family, const uint8_t* bytes) const {
  for (const Range& r : ranges_) {
    if (r.family != family) continue;
    int full = r.prefix / 8;
    int rest = r.prefix % 8;
    if (std::memcmp(r.bytes.data(), bytes, static_cast<size_t>(full)) != 0) continue;
    if (rest != 0) {
      uint8_t mask = static_cast<uint8_t>(0xff << (8 - rest));
      if ((r.bytes[static_cast<size_t>(full)] & mask) != (bytes[full] & mask)) continue;
    }
    return true;
  }
  return false;
}

bool AddressFilter::Accepts(const sockaddr_storage& address) const {
  if (ranges_.empty()) return true;
  if (address.ss_family == AF_INET) {
    const auto* sin = reinterpret_cast<const sockaddr_in*>(&address);
    return Matches(AF_INET, reinterpret_cast<const uint8_t*>(&sin->sin_addr));
  }
  if (address.ss_family == AF_INET6) {
    const auto* sin6 = reinterpret_cast<const sockaddr_in6*>(&address);
    const auto* b = reinterpret_cast<const uint8_t*>(&sin6->sin6_addr);
    if (IsV4Mapped(b)) return Matches(AF_INET, b + 12);
    return Matches(AF_INET6, b);
  }
  return false;
}

bool AddressFilter::Accepts(std::string_view numeric_address) const {
  std::optional<sockaddr_storage> address = ParseSocketAddress(numeric_address, 0);
  return address && Accepts(*address);
}

}  // namespace dvrlink::net
