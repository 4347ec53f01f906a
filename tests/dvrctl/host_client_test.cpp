// dvrctl's host-client pieces without a process: addresses, frames built and
// shown, the stream splitter and bad script lines (the rest runs end to end).
#include "dvrctl/host_client.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace dvrlink::testing {
namespace {

using ::testing::HasSubstr;
using Words = std::vector<std::string>;

const std::string S(1, kHostFieldSeparator);

TEST(HostClientTest, HostAddressesAreParsedOrRefusedWithTheReason) {
  const HostAddress a = ParseHostAddress("[::1]:65535");
  EXPECT_EQ(a.host, "::1");
  EXPECT_EQ(a.port, "65535");
  EXPECT_EQ(a.text, "[::1]:65535");
  struct Bad {
    std::string word;
    std::string reason;
  };
  for (const Bad& c : std::vector<Bad>{{"localhost", "no ':'"}, {":5000", "the host is empty"},
                                       {"::1:5000", "[ADDRESS]:PORT"}, {"host:65536", "from 1 to 65535"}}) {
    SCOPED_TRACE(c.word);
    try {
      ParseHostAddress(c.word);
      ADD_FAILURE() << "accepted";
    } catch (const HostUsageError& e) {
      EXPECT_THAT(e.what(), HasSubstr("'" + c.word + "' is not HOST:PORT"));
      EXPECT_THAT(e.what(), HasSubstr(c.reason));
    }
  }
}

TEST(HostClientTest, FramesAreBuiltFromWordsAndBadWordsAreRefused) {
  EXPECT_EQ(BuildHostFrame({"39"}), "\x18" "39\x19");
  EXPECT_EQ(BuildHostFrame({"33", "2", "12/04/2026 10:00:00", "", "clip.dvr"}),
            "\x18" "33" + S + "2" + S + "12/04/2026 10:00:00" + S + S + "clip.dvr\x19");
  for (const Words& words : std::vector<Words>{{}, {"abc"}, {"32768"}, {"41", "a\x1A" "b"}}) {
    SCOPED_TRACE(::testing::PrintToString(words));
    EXPECT_THROW(BuildHostFrame(words), HostUsageError);
  }
}

TEST(HostClientTest, ReceivedFramesAreShownOnOneLine) {
  EXPECT_EQ(ShowFrame("42" + S + "C:\\clips\\a.dvr\x01\x7F"), "42|C:\\clips\\a.dvr\\x01\\x7F");
  EXPECT_EQ(ShowFrame("42" + S + "caf\xE9"), "42|caf\xC3\xA9");      // Latin-1
  EXPECT_EQ(ShowFrame("42" + S + "caf\xC3\xA9"), "42|caf\xC3\xA9");  // already UTF-8
}

TEST(HostClientTest, TheSplitterYieldsWholeFramesAcrossReadsAndDropsOtherBytes) {
  FrameSplitter splitter;
  std::vector<std::string> bodies;
  auto drain = [&] {
    while (std::optional<std::string> body = splitter.Next()) bodies.push_back(*body);
  };
  for (const char* piece : {"junk\x18" "39", "\x1A" "OK\x19\r\n\x18", "45\x19\x18" "broken\x18" "47", "\x19"}) {
    splitter.Feed(piece);
    drain();
  }
  EXPECT_EQ(bodies, (std::vector<std::string>{"39" + S + "OK", "45", "47"}));
}

TEST(HostClientTest, ABadScriptLineIsNamedWithItsFault) {
  struct Bad {
    std::string text;
    std::string message;
  };
  for (const Bad& c : std::vector<Bad>{{"39\n41 \"open\n", "s.txt:2: a quoted field is not closed"},
                                       {"41 \"a\"b\n", "s.txt:1: a blank must follow a quoted field"},
                                       {"wait -1\n", "s.txt:1: wait takes a number of seconds"},
                                       {"\n\nversion\n", "s.txt:3: the command code 'version'"}}) {
    SCOPED_TRACE(c.text);
    try {
      ParseHostScript(c.text, "s.txt");
      ADD_FAILURE() << "accepted";
    } catch (const HostUsageError& e) {
      EXPECT_THAT(e.what(), HasSubstr(c.message));
    }
  }
}

}  // namespace
}  // namespace dvrlink::testing
