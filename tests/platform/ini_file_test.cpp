// The INI reader: syntax accepted and refused.
#include "platform/ini_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace dvrlink {
namespace {

// Sections as "name: key=value, key=value" for comparison.
std::vector<std::string> Flatten(const IniFile& ini) {
  std::vector<std::string> result;
  for (const IniSection& s : ini.sections()) {
    std::string line = s.name() + ":";
    for (const IniEntry& e : s.entries()) line += " " + e.key + "=" + e.value + ";";
    result.push_back(line);
  }
  return result;
}

TEST(IniFileTest, AcceptedSyntax) {
  const struct {
    const char* name;
    std::string text;
    std::vector<std::string> sections;
  } cases[] = {
      {"blanks around key and value are trimmed", "[host]\n  program_folder   =  /var/lib/x  \n",
       {"host: program_folder=/var/lib/x;"}},
      {"comments and blank lines", "; first\n# second\n\n[a]\n   ; indented\nk = v\n\t\n", {"a: k=v;"}},
      {"';' and '#' inside a value are kept",
       "[host]\nconnection_string = Provider=SQLite;Data Source=x.db # not a comment\n",
       {"host: connection_string=Provider=SQLite;Data Source=x.db # not a comment;"}},
      {"an empty value", "[dvr]\nname =\n", {"dvr: name=;"}},
      {"the first '=' splits", "[a]\nk = x=y\n", {"a: k=x=y;"}},
      {"CR LF line ends and a byte-order mark", "\xEF\xBB\xBF[a]\r\nk = v\r\n", {"a: k=v;"}},
      {"order of sections and keys is kept", "[z]\nb=1\na=2\n[dvr.1]\n[dvr]\nc=3\n",
       {"z: b=1; a=2;", "dvr.1:", "dvr: c=3;"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Flatten(IniFile::Parse(c.text, "t.ini")), c.sections);
  }
}

TEST(IniFileTest, RefusedSyntaxNamesFileLineAndKey) {
  const struct {
    const char* name;
    std::string text, message;
  } cases[] = {
      {"duplicate key", "[dvr]\naddress = a\nname = n\naddress = b\n",
       "t.ini:4: duplicate key 'address' in section [dvr] (first at line 2)"},
      {"missing '='", "[dvr]\naddress 10.0.0.1\n",
       "t.ini:2: expected 'key = value', '[section]' or a comment, found 'address 10.0.0.1'"},
      {"key outside a section", "\nkey = v\n[a]\n", "t.ini:2: key 'key' comes before any [section]"},
      {"empty key", "[a]\n = v\n", "t.ini:2: a value without a key: '= v'"},
      {"unclosed section", "[dvr\n", "t.ini:1: a section line must end with ']': '[dvr'"},
      {"section twice", "[dvr]\n[x]\n[DVR]\n", "t.ini:3: section [DVR] appears twice (first at line 1)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      IniFile::Parse(c.text, "t.ini");
      ADD_FAILURE() << "accepted";
    } catch (const IniError& e) {
      EXPECT_EQ(e.what(), c.message);
      EXPECT_EQ(e.file(), "t.ini");
    }
  }
}

TEST(IniFileTest, KeysAndSectionsAreFoundWhateverTheirCase) {
  IniFile ini = IniFile::Parse("[DVR]\nGlobal_Address_ID = $1\n", "t.ini");
  const IniSection* dvr = ini.Find("dvr");
  ASSERT_NE(dvr, nullptr);
  EXPECT_EQ(dvr->Get("global_address_id").value_or("?"), "$1");
  EXPECT_EQ(dvr->Find("GLOBAL_ADDRESS_ID")->key, "Global_Address_ID");
  EXPECT_FALSE(dvr->Get("address").has_value());
  EXPECT_EQ(ini.Find("host"), nullptr);
}

}  // namespace
}  // namespace dvrlink
