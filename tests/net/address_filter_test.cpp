// Client allow-lists and numeric addresses.
#include "platform/net/address_filter.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace dvrlink::net {
namespace {

TEST(AddressFilterTest, AcceptsAddressesAndRangesOfTheList) {
  struct Case {
    const char* name;
    std::string list;
    std::vector<std::string> accepted;
    std::vector<std::string> refused;
  };
  const std::vector<Case> cases = {
      {"an empty list accepts everyone", "", {"127.0.0.1", "10.9.8.7", "::1"}, {}},
      {"single addresses", "127.0.0.1, 10.0.0.5", {"127.0.0.1", "10.0.0.5"}, {"127.0.0.2", "10.0.0.6"}},
      {"an IPv4 range", "192.168.10.0/24", {"192.168.10.0", "192.168.10.255"}, {"192.168.11.1", "192.168.9.255"}},
      {"a prefix that is not a byte boundary", "10.0.0.0/13", {"10.7.255.255"}, {"10.8.0.0"}},
      {"/0 accepts every address of the family", "0.0.0.0/0", {"1.2.3.4"}, {"::1"}},
      {"IPv6 addresses and ranges", "::1, fd00::/8", {"::1", "fd12:3456::1"}, {"fe80::1", "127.0.0.1"}},
      {"an IPv4 client on an IPv6 socket matches as IPv4", "127.0.0.1", {"::ffff:127.0.0.1"}, {"::ffff:127.0.0.2"}},
      {"blanks and empty items are ignored", " 127.0.0.1 ,, [::1] ", {"127.0.0.1", "::1"}, {"127.0.0.3"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    AddressFilter filter = AddressFilter::Parse(c.list);
    for (const std::string& a : c.accepted) EXPECT_TRUE(filter.Accepts(a)) << a;
    for (const std::string& a : c.refused) EXPECT_FALSE(filter.Accepts(a)) << a;
  }
}

TEST(AddressFilterTest, RefusesItemsThatAreNotAddresses) {
  struct Case {
    const char* name;
    std::string list;
    std::string named;
  };
  const std::vector<Case> cases = {
      {"a host name", "127.0.0.1, dvr-host", "'dvr-host'"},
      {"a prefix too long for IPv4", "10.0.0.0/33", "prefix longer than 32"},
      {"a prefix that is not a number", "10.0.0.0/x", "'10.0.0.0/x'"},
      {"an empty prefix", "10.0.0.0/", "'10.0.0.0/'"},
      {"an address out of range", "300.1.1.1", "'300.1.1.1'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      AddressFilter::Parse(c.list);
      ADD_FAILURE() << "accepted";
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find(c.named), std::string::npos) << e.what();
    }
  }
}

}  // namespace
}  // namespace dvrlink::net
