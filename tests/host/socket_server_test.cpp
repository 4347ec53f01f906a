// The host-client socket server over loopback TCP, and its client allow-lists.
#include "host/socket_server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <stdexcept>
#include <functional>
#include <string>
#include <vector>

#include "fakes/svc_test_support.h"
#include "fakes/test_support.h"
#include "platform/net/address_filter.h"
#include "platform/platform_state.h"

namespace dvrlink {
namespace {

using net::AddressFilter;
using testing::svc::PumpFor;
using testing::svc::PumpUntil;
using testing::svc::TestClient;

const std::string S(1, '\x18');
const std::string E(1, '\x19');
const std::string P(1, '\x1A');

std::string Frame(const std::string& body) { return S + body + E; }

struct Delivery {
  int16_t type, index;
  std::string block;
};

struct RecordingReceiver : IDataArrivalReceiver {
  std::vector<Delivery> deliveries;
  std::function<void(const Delivery&)> on_delivery;  // the component's answer, when set
  void Callback(int16_t type, int16_t index, const std::string& block) override {
    deliveries.push_back(Delivery{type, index, block});
    if (on_delivery) on_delivery(deliveries.back());
  }
  std::vector<std::string> BlocksOf(int16_t index) const {
    std::vector<std::string> blocks;
    for (const Delivery& d : deliveries) {
      if (d.index == index) blocks.push_back(d.block);
    }
    return blocks;
  }
};

class SocketServerTest : public ::testing::Test {
 protected:
  void SetUp() override { Platform().program_folder = dir.path(); }

  std::shared_ptr<SocketServer> Start(SocketServerOptions options = {}, uint16_t port = 0) {
    if (options.listen_address.empty()) options.listen_address = "127.0.0.1";
    auto server = std::make_shared<SocketServer>(options);
    server->Connect(&receiver, "HOSTPC", static_cast<int16_t>(port), "10.0.0.5", 0, false);
    return server;
  }
  // Connects and waits for the client's index (to *index).
  TestClient Join(SocketServer& server, int16_t* index = nullptr, const char* source = nullptr) {
    std::vector<int16_t> before = server.ClientIndexes();
    TestClient client = TestClient::Tcp(server.BoundPort(), source);
    EXPECT_TRUE(client.connected());
    int16_t newest = 0;
    PumpUntil([&] {
      for (int16_t i : server.ClientIndexes()) {
        if (std::find(before.begin(), before.end(), i) == before.end()) newest = i;
      }
      return newest != 0;
    });
    if (index) *index = newest;
    return client;
  }
  // Waits until the client holds as many characters as expected, all it has received.
  static void ExpectReceived(TestClient& client, const std::string& expected) {
    EXPECT_EQ(client.ReceiveUntil([&](const std::string& r) { return r.size() >= expected.size(); }), expected);
  }
  std::string AlwaysLog() const { return testing::ReadFile(dir.File("DebugDeviceAdm.log")); }

  testing::TempDir dir;
  RecordingReceiver receiver;
};

TEST(AddressFilterTest, AcceptsAddressesAndRangesOfTheList) {
  const struct {
    const char* name;
    std::string list;
    std::vector<std::string> accepted, refused;
  } cases[] = {
      {"an empty list accepts everyone", "", {"127.0.0.1", "10.9.8.7", "::1"}, {}},
      {"single addresses", "127.0.0.1, 10.0.0.5", {"127.0.0.1", "10.0.0.5"}, {"127.0.0.2", "10.0.0.6"}},
      {"an IPv4 range", "192.168.10.0/24", {"192.168.10.0", "192.168.10.255"}, {"192.168.11.1", "192.168.9.255"}},
      {"a prefix that is not a byte boundary", "10.0.0.0/13", {"10.7.255.255"}, {"10.8.0.0"}},
      {"IPv6 addresses and ranges", "::1, fd00::/8", {"::1", "fd12:3456::1"}, {"fe80::1", "127.0.0.1"}},
      {"an IPv4 client on an IPv6 socket matches as IPv4", "127.0.0.1", {"::ffff:127.0.0.1"}, {"::ffff:127.0.0.2"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    AddressFilter filter = AddressFilter::Parse(c.list);
    for (const std::string& a : c.accepted) EXPECT_TRUE(filter.Accepts(a)) << a;
    for (const std::string& a : c.refused) EXPECT_FALSE(filter.Accepts(a)) << a;
  }
}

TEST(AddressFilterTest, AddressTextsNameEachFamilyItsOwnWay) {
  for (const auto& [address, text] : std::vector<std::pair<const char*, const char*>>{
           {"::ffff:10.0.0.5", "10.0.0.5:80"}, {"::1", "[::1]:80"}, {"10.0.0.5", "10.0.0.5:80"}}) {
    EXPECT_EQ(net::SocketAddressText(*net::ParseSocketAddress(address, 80)), text);
  }
}

TEST(AddressFilterTest, RefusesItemsThatAreNotAddresses) {
  const struct {
    const char* name;
    std::string list, named;
  } cases[] = {
      {"a host name", "127.0.0.1, dvr-host", "'dvr-host'"},
      {"a prefix too long for IPv4", "10.0.0.0/33", "prefix longer than 32"},
      {"a prefix that is not a number", "10.0.0.0/x", "'10.0.0.0/x'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      AddressFilter::Parse(c.list);
      ADD_FAILURE() << "accepted";
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find(c.named), std::string::npos) << e.what();
    }
  }
}

TEST(NextClientIndexTest, IncreasesWrapsAndSkipsIndexesInUse) {
  std::set<int16_t> all;
  for (int i = 1; i <= 32767; ++i) all.insert(static_cast<int16_t>(i));
  const struct {
    const char* name;
    int16_t last;
    std::set<int16_t> in_use;
    int16_t expected;
  } cases[] = {
      {"the first client gets 1, never 0", 0, {}, 1},
      {"after 32767 comes 1", 32767, {32767}, 1},
      {"wrapping skips indexes in use", 32767, {1, 2, 32767}, 3},
      {"none free gives 0", 100, all, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(NextClientIndex(c.last, c.in_use), c.expected);
  }
}

TEST(CutBlocksTest, CutsAfterTheLastEndMarkerAtFrameEnds) {
  const std::string f10k = Frame(std::string(9998, 'a'));   // 10,000 characters
  const std::string f20k = Frame(std::string(19998, 'b'));  // 20,000 characters
  const std::string f40k = Frame(std::string(39998, 'c'));  // larger than a block
  const struct {
    const char* name;
    std::string data;
    std::vector<std::string> blocks;
    std::vector<size_t> oversized;
    std::string left;
  } cases[] = {
      {"no end marker: nothing yet", S + "31" + P + "x", {}, {}, S + "31" + P + "x"},
      {"text after the last end marker waits", Frame("1") + "noise" + S + "2", {Frame("1")}, {}, "noise" + S + "2"},
      {"leading noise stays with its frame", "xx" + Frame("1"), {"xx" + Frame("1")}, {}, ""},
      {"frames are packed up to the limit", f10k + f20k + f10k, {f10k + f20k, f10k}, {}, ""},
      {"a frame exactly at the limit fits", Frame(std::string(32765, 'd')), {Frame(std::string(32765, 'd'))}, {}, ""},
      {"a frame over the limit is dropped, the others go", f10k + f40k + f10k, {f10k, f10k}, {40000}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string data = c.data;
    BlockCut cut = CutBlocks(data, '\x19', 32767);
    EXPECT_EQ(cut.blocks, c.blocks);
    EXPECT_EQ(cut.oversized, c.oversized);
    EXPECT_EQ(data, c.left);
  }
}

TEST_F(SocketServerTest, TwoClientsGetDistinctIndexesTheirOwnRepliesAndEveryMessage) {
  auto server = Start();
  std::vector<std::string> observed;
  server->SetSendObserver([&](const std::string& text) { observed.push_back(text); });
  int16_t first_index = 0, second_index = 0;
  TestClient first = Join(*server, &first_index);
  TestClient second = Join(*server, &second_index);

  first.Send(Frame("36"));
  second.Send(Frame("39"));
  ASSERT_TRUE(PumpUntil([&] { return receiver.deliveries.size() == 2; }));
  for (const Delivery& d : receiver.deliveries) EXPECT_EQ(d.type, 201);
  EXPECT_EQ(receiver.BlocksOf(first_index), std::vector<std::string>{Frame("36")});
  EXPECT_EQ(receiver.BlocksOf(second_index), std::vector<std::string>{Frame("39")});

  // Replies and notices go framed to their client only.
  server->CommandDone(second_index, "39" + P + "OK");
  server->GetVideoProgress(first_index, "33" + P + "1");
  ExpectReceived(second, Frame("39" + P + "OK"));
  ExpectReceived(first, Frame("33" + P + "1"));
  EXPECT_TRUE(observed.empty());

  // SendCommand goes unchanged to every client and to the observer.
  const std::string message = Frame("44" + P + "10322" + P + "2026/12/05 10:00:00");
  server->SendCommand(message);
  ExpectReceived(first, Frame("33" + P + "1") + message);
  ExpectReceived(second, Frame("39" + P + "OK") + message);
  EXPECT_EQ(observed, std::vector<std::string>{message});
}

// Cutting is checked with CutBlocks above; here the server keeps what a read
// leaves over for the next one.
TEST_F(SocketServerTest, AFrameSplitAcrossWritesIsDeliveredWhole) {
  auto server = Start();
  int16_t index = 0;
  TestClient client = Join(*server, &index);
  client.Send(S + "31" + P + "127.0.0.2");
  PumpFor(30);  // the server reads this write before the next one
  client.Send(P + "7000" + E);
  ASSERT_TRUE(PumpUntil([&] { return !receiver.BlocksOf(index).empty(); }));
  PumpFor(20);
  EXPECT_EQ(receiver.BlocksOf(index), std::vector<std::string>{Frame("31" + P + "127.0.0.2" + P + "7000")});
}

TEST_F(SocketServerTest, MoreThan64KiBWithoutEndMarkerDisconnectsThatClientOnly) {
  auto server = Start();
  int16_t chatty_index = 0, quiet_index = 0;
  TestClient chatty = Join(*server, &chatty_index);
  TestClient quiet = Join(*server, &quiet_index);

  // 64 KiB with an end marker: too long for a block, dropped, the client stays.
  chatty.Send(S + std::string(65535, 'y') + E);
  PumpUntil([&] { return AlwaysLog().find("more than a block holds") != std::string::npos; });
  EXPECT_EQ(server->ClientIndexes().size(), 2u);

  chatty.Send(Frame("36") + S + std::string(65536, 'z'));
  EXPECT_TRUE(chatty.WaitClosed());
  EXPECT_NE(AlwaysLog().find("client " + std::to_string(chatty_index) + " (127.0.0.1"), std::string::npos);
  EXPECT_NE(AlwaysLog().find("bytes without an end marker"), std::string::npos);
  // What was complete before the breach was still delivered.
  EXPECT_EQ(receiver.BlocksOf(chatty_index), std::vector<std::string>{Frame("36")});

  quiet.Send(Frame("39"));
  ASSERT_TRUE(PumpUntil([&] { return receiver.BlocksOf(quiet_index).size() == 1; }));
  server->CommandDone(quiet_index, "39" + P + "OK");
  ExpectReceived(quiet, Frame("39" + P + "OK"));
  EXPECT_EQ(server->ClientIndexes(), std::vector<int16_t>{quiet_index});
}

TEST_F(SocketServerTest, AClientThatStopsReadingIsDisconnectedPastTheOutputLimit) {
  auto server = Start();
  int16_t index = 0;
  TestClient deaf = Join(*server, &index);
  const std::string block(32000, 'v');
  for (int i = 0; i < 800 && !server->ClientIndexes().empty(); ++i) {  // up to 25 MB, never read
    server->CommandDone(index, block);
    Loop().RunOnce(0);
  }
  EXPECT_NE(AlwaysLog().find("disconnected: it does not read what is sent to it"), std::string::npos);
}

TEST_F(SocketServerTest, ClientsOutsideTheAllowListAreRefusedAndLoggedOncePerAddressAndPeriod) {
  SocketServerOptions options;
  options.allowed_clients = net::AddressFilter::Parse("127.0.0.2, 10.0.0.0/8");
  options.refusal_log_ms = 300;
  auto server = Start(options);

  for (int i = 0; i < 30; ++i) {
    TestClient refused = TestClient::Tcp(server->BoundPort());  // from 127.0.0.1
    ASSERT_TRUE(refused.connected());
    EXPECT_TRUE(refused.WaitClosed());
  }
  EXPECT_TRUE(server->ClientIndexes().empty());
  EXPECT_EQ(testing::CountLinesContaining(dir.File("DebugDeviceAdm.log"), "refused client 127.0.0.1:"), 1);
  // The other 29 in one line once the period ends; then the address is quiet.
  EXPECT_TRUE(PumpUntil([&] { return AlwaysLog().find("refused 29 more connection(s) from 127.0.0.1 in the last 300 ms") != std::string::npos; }));
  PumpFor(700);
  EXPECT_EQ(testing::CountLinesContaining(dir.File("DebugDeviceAdm.log"), "127.0.0.1"), 2);

  TestClient allowed = Join(*server, nullptr, "127.0.0.2");
  allowed.Send(Frame("36"));
  ASSERT_TRUE(PumpUntil([&] { return receiver.deliveries.size() == 1; }));
  EXPECT_EQ(receiver.deliveries[0].index, 1);
}

TEST_F(SocketServerTest, TextToAClientThatIsGoneIsDroppedWithALogLine) {
  auto server = Start();
  int16_t index = 0;
  TestClient client = Join(*server, &index);
  client.Close();
  ASSERT_TRUE(PumpUntil([&] { return server->ClientIndexes().empty(); }));

  for (int16_t gone : {index, int16_t{999}}) {  // departed, and never given
    SCOPED_TRACE(gone);
    EXPECT_NO_THROW(server->CommandDone(gone, "text"));
    EXPECT_NE(AlwaysLog().find("client " + std::to_string(gone) + " is gone; text dropped: text"), std::string::npos);
  }
}

TEST_F(SocketServerTest, ADepartingGrantHolderReleasesTheGrantWithCommand47) {
  auto server = Start();
  int16_t holder_index = 0, other_index = 0;
  TestClient holder = Join(*server, &holder_index);
  TestClient other = Join(*server, &other_index);
  server->CommandDone(holder_index, "45" + P + "3" + P + "a" + P + "b" + P + "clip.dvr");
  server->CommandDone(other_index, "33" + P + "OK");
  other.Close();
  ASSERT_TRUE(PumpUntil([&] { return server->ClientIndexes().size() == 1; }));
  PumpFor(20);
  EXPECT_EQ(AlwaysLog().find("holding the retrieval grant"), std::string::npos);
  EXPECT_TRUE(receiver.deliveries.empty());

  // The component's reply to the release is dropped without an "is gone" line.
  receiver.on_delivery = [&](const Delivery& d) { server->CommandDone(d.index, "47" + P + "OK"); };
  holder.Close();
  ASSERT_TRUE(PumpUntil([&] { return receiver.deliveries.size() == 1; }));
  EXPECT_EQ(receiver.deliveries[0].type, 201);
  EXPECT_EQ(receiver.deliveries[0].index, holder_index);
  EXPECT_EQ(receiver.deliveries[0].block, std::string("\x18") + "47" + "\x19");
  EXPECT_NE(AlwaysLog().find("client " + std::to_string(holder_index) +
                             " disconnected while holding the retrieval grant: the component gets command 47"),
            std::string::npos);
  EXPECT_EQ(AlwaysLog().find("is gone"), std::string::npos);
}

TEST_F(SocketServerTest, DeviceFormCloseClosesListenerAndClientsAndARestartBindsThePortAgain) {
  const uint16_t port = testing::svc::FreeListenPort();
  auto server = Start({}, port);
  int16_t index = 0;
  TestClient client = Join(*server, &index);
  server->CommandDone(index, "39" + P + "OK");  // written in the closing round: still sent
  server->DeviceFormClose();
  EXPECT_TRUE(client.WaitClosed());
  EXPECT_EQ(client.received(), Frame("39" + P + "OK"));
  EXPECT_FALSE(server->Listening());
  EXPECT_EQ(server->BoundPort(), 0);
  EXPECT_FALSE(TestClient::Tcp(port).connected());
  // The server's end waits in TIME_WAIT; a restarted service binds the port all the same.
  client.Close();
  PumpFor(50);
  EXPECT_EQ(Start({}, port)->BoundPort(), port);
}

}  // namespace
}  // namespace dvrlink
