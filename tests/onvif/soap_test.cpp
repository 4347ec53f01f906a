// The SOAP codec: envelopes, UsernameToken, xs:dateTime and xs:duration.
#include "onvif/soap.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace dvrlink::onvif {
namespace {

TEST(SoapTest, PasswordDigestMatchesTheWorkedExample) {
  EXPECT_EQ(PasswordDigest(*FromBase64("LKqI6G/AikKCQrN0zqZFlg=="), "2010-09-16T07:50:45Z", "userpassword"),
            "tuOSpGlFlIXsozq4HFNeeGeFLEI=");
}

TEST(SoapTest, Base64RefusesTextsThatAreNotCanonical) {
  EXPECT_EQ(FromBase64("YWJj"), std::optional<std::string>("abc"));
  EXPECT_EQ(FromBase64("YWI="), std::optional<std::string>("ab"));
  EXPECT_EQ(FromBase64("YQ=="), std::optional<std::string>("a"));
  for (const char* bad : {"YWJ", "Y!Jj", "YWK=", "====", "YQ==YQ=="}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(FromBase64(bad), std::nullopt);
  }
}

TEST(SoapTest, ReadEnvelopeTellsFaultsAndBrokenTextsApart) {
  struct Case {
    std::string text;
    const char* error;  // nullptr: read
    const char* payload;
    bool fault;
  };
  const Case cases[] = {
      {"<a><b></a>", "malformed XML: ", nullptr, false},
      {"<x:Envelope xmlns:x='urn:other'><x:Body/></x:Envelope>", "not a SOAP 1.2 envelope", nullptr, false},
      {"<e:Envelope xmlns:e='http://www.w3.org/2003/05/soap-envelope'/>", "a SOAP envelope without a body", nullptr,
       false},
      {"<e:Envelope xmlns:e='http://www.w3.org/2003/05/soap-envelope'><e:Body><d:Hi xmlns:d='urn:d'/></e:Body>"
       "</e:Envelope>",
       nullptr, "Hi", false},
      {FaultEnvelope("s:Sender", "ter:NotAuthorized", "Sender not authorized"), nullptr, "Fault", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::string error;
    std::optional<SoapMessage> m = ReadEnvelope(c.text, error);
    if (c.error) {
      EXPECT_FALSE(m);
      EXPECT_EQ(error.rfind(c.error, 0), 0u) << error;
      continue;
    }
    ASSERT_TRUE(m) << error;
    EXPECT_STREQ(reinterpret_cast<const char*>(m->payload->name), c.payload);
    EXPECT_EQ(m->fault, c.fault);
    if (c.fault) {
      EXPECT_EQ(m->FaultText(), "s:Sender/ter:NotAuthorized: Sender not authorized");
    }
  }
}

TEST(SoapTest, AUsernameTokenIsCheckedForUserPasswordAndTime) {
  const int64_t now = UtcFromParts(2026, 12, 5, 10, 0, 0);
  Envelope e;
  AddUsernameToken(e, "admin", "secret", now);
  e.Add(e.Body(), ns::kDevice, "GetDeviceInformation");
  std::string error;
  std::optional<SoapMessage> m = ReadEnvelope(e.Serialize(), error);
  ASSERT_TRUE(m) << error;
  struct Case {
    const char* user;
    const char* password;
    int64_t device_now;
    const char* why;  // nullptr: accepted
  };
  const Case cases[] = {
      {"admin", "secret", now, nullptr},
      {"admin", "secret", now + 300, nullptr},
      {"admin", "secret", now - 300, nullptr},
      {"admin", "secret", now + 301, "Created time 2026-12-05T10:00:00Z too far from the device clock"},
      {"admin", "secret", now - 301, "Created time 2026-12-05T10:00:00Z too far from the device clock"},
      {"admin", "Secret", now, "wrong password digest"},
      {"root", "secret", now, "unknown user"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.user) + "/" + c.password + " at " + std::to_string(c.device_now - now));
    std::string why;
    EXPECT_EQ(CheckUsernameToken(*m, c.user, c.password, c.device_now, 300, why), c.why == nullptr);
    EXPECT_EQ(why, c.why ? c.why : "");
  }
  std::optional<SoapMessage> bare = ReadEnvelope(Envelope().Serialize(), error);
  std::string why;
  EXPECT_FALSE(CheckUsernameToken(*bare, "admin", "secret", now, 300, why));
  EXPECT_EQ(why, "no UsernameToken");
  // A PasswordText token carries the password as it stands.
  Envelope plain;
  xmlNodePtr token = plain.Add(plain.Add(plain.Header(), ns::kWsse, "Security"), ns::kWsse, "UsernameToken");
  plain.Add(token, ns::kWsse, "Username", std::string("admin"));
  Envelope::SetAttr(plain.Add(token, ns::kWsse, "Password", std::string("secret")), "Type", kPasswordTextType);
  std::optional<SoapMessage> text = ReadEnvelope(plain.Serialize(), error);
  ASSERT_TRUE(text) << error;
  EXPECT_TRUE(CheckUsernameToken(*text, "admin", "secret", now, 300, why));
  EXPECT_FALSE(CheckUsernameToken(*text, "admin", "Secret", now, 300, why));
  EXPECT_EQ(why, "wrong password");
}

TEST(SoapTest, DateTimesAndDurations) {
  const int64_t base = UtcFromParts(2026, 12, 5, 10, 0, 0);
  EXPECT_EQ(FormatUtc(base), "2026-12-05T10:00:00Z");
  struct Case {
    const char* text;
    std::optional<int64_t> utc;
  };
  const Case times[] = {
      {"2026-12-05T10:00:00Z", base},       {" 2026-12-05T10:00:00.123Z ", base}, {"2026-12-05T10:00:00", base},
      {"2026-12-05T11:30:00+01:30", base},  {"2026-12-05T09:00:00-01:00", base},  {"2026-12-05 10:00:00Z", {}},
      {"2026-13-05T10:00:00Z", {}},         {"2026-12-05T10:00:00.Z", {}},        {"2026-12-05T10:00:00+0100", {}},
      {"2026-12-05T10:00:00Zjunk", {}},       {"2026-12-01T00:00:00Z", UtcFromParts(2026, 12, 1, 0, 0, 0)},
      {"2026-12-00T10:00:00Z", {}},         {"2026-12-05T24:00:00Z", {}},
  };
  for (const Case& c : times) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(ParseUtc(c.text), c.utc);
  }
  const Case durations[] = {{"PT60S", 60}, {"PT1M30S", 90}, {"P1DT2H", 93600}, {"PT0.5S", 0},
                            {"P2D", 172800}, {"PT", {}},     {"60", {}},      {"PT1H2D", {}},
                            {"P1H", {}},     {"PTS", {}}};
  for (const Case& c : durations) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(ParseDuration(c.text), c.utc);
  }
  EXPECT_EQ(ParseDuration(FormatDuration(75)), 75);
}

}  // namespace
}  // namespace dvrlink::onvif
