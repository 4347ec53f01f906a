// dvrctl's host-client pieces without a process: addresses, frames built and
// shown, the reply rule, the stream splitter, command-line frames and scripts.
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
  struct Good {
    std::string word;
    std::string host, port;
  };
  for (const Good& c : std::vector<Good>{{"dvr-host.example:0080", "dvr-host.example", "80"},
                                         {"[::1]:65535", "::1", "65535"}}) {
    SCOPED_TRACE(c.word);
    HostAddress a = ParseHostAddress(c.word);
    EXPECT_EQ(a.host, c.host);
    EXPECT_EQ(a.port, c.port);
    EXPECT_EQ(a.text, c.word);
  }
  struct Bad {
    std::string word;
    std::string reason;
  };
  for (const Bad& c : std::vector<Bad>{{"localhost", "no ':'"},
                                       {":5000", "the host is empty"},
                                       {"::1:5000", "[ADDRESS]:PORT"},
                                       {"host:65536", "from 1 to 65535"},
                                       {"host:0", "from 1 to 65535"}}) {
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
  // The reply carries the number the service reads from the code.
  EXPECT_EQ(ReplyCode("039"), "39");
  EXPECT_EQ(ReplyCode("-7"), "-7");
  for (const Words& words : std::vector<Words>{{}, {"abc"}, {"32768"}, {"-32769"}, {"41", "a\x1A" "b"}}) {
    SCOPED_TRACE(::testing::PrintToString(words));
    EXPECT_THROW(BuildHostFrame(words), HostUsageError);
  }
}

TEST(HostClientTest, AReplyIsTheWaitingCodeWithOkOrNkAndEverythingElseANotice) {
  struct Case {
    std::string body;
    std::string code;
    bool reply;
  };
  const std::vector<Case> cases = {
      {"39" + S + "OK" + S + "Dvrlink.clsDvrlink\t1.0.0\r\n", "39", true},
      {"40" + S + "NK", "40", true},
      {"400" + S + "OK", "40", false},
      {"33" + S + "1" + S + "0" + S + "0" + S + "2" + S + "1", "33", false},  // progress
      {"33" + S + "OKAY", "33", false},
      {"33", "33", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    EXPECT_EQ(IsReplyTo(c.body, c.code), c.reply);
  }
}

TEST(HostClientTest, ReceivedFramesAreShownOnOneLine) {
  EXPECT_EQ(ShowFrame("39" + S + "OK" + S + "Dvrlink.clsDvrlink\t1.0.0\r\n"), "39|OK|Dvrlink.clsDvrlink\\t1.0.0\\r\\n");
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

TEST(HostClientTest, CommandLineWordsAreCutIntoFramesAtLoneCommas) {
  EXPECT_EQ(SplitFrameWords({"39", ",", "41", "a,b"}), (std::vector<Words>{{"39"}, {"41", "a,b"}}));
  for (const Words& words : std::vector<Words>{{","}, {"39", ",", ",", "40"}}) {
    SCOPED_TRACE(::testing::PrintToString(words));
    EXPECT_THROW(SplitFrameWords(words), HostUsageError);
  }
}

TEST(HostClientTest, ScriptsHoldFramesWaitsAndExpectsAndNameTheBadLine) {
  const std::string text =
      "# a grant, then done\n"
      "\n"
      "33  2\t\"12/04/2026 10:00:00\" \"\" \"C:\\clips\\say \\\"hi\\\".dvr\"\r\n"
      "   expect notice 45|2|  \n"
      "wait 0.25\n"
      "47\n";
  std::vector<ScriptStep> steps = ParseHostScript(text, "s.txt");
  ASSERT_EQ(steps.size(), 4u);
  EXPECT_EQ(steps[0].words, (Words{"33", "2", "12/04/2026 10:00:00", "", "C:\\clips\\say \"hi\".dvr"}));
  EXPECT_EQ(steps[1].kind, ScriptStep::Kind::kExpect);
  EXPECT_EQ(steps[1].text, "notice 45|2|");
  EXPECT_EQ(steps[3].words, Words{"47"});

  struct Bad {
    std::string text;
    std::string message;
  };
  for (const Bad& c : std::vector<Bad>{{"39\n41 \"open\n", "s.txt:2: a quoted field is not closed"},
                                       {"41 \"a\"b\n", "s.txt:1: a blank must follow a quoted field"},
                                       {"41 a\"b\"\n", "s.txt:1: a quote inside a field"},
                                       {"wait -1\n", "s.txt:1: wait takes a number of seconds"},
                                       {"expect   \n", "s.txt:1: expect needs the text"},
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
