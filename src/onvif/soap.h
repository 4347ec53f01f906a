// SOAP 1.2 envelopes of ONVIF, built and read with libxml2: an owned
// document, element look-up by namespace and local name, the envelope
// builder with the ONVIF namespaces declared once at its root, faults, the
// WS-Security UsernameToken (PasswordDigest) and the xs:dateTime texts ONVIF
// carries. Shared by the bridge (client side) and the simulator's ONVIF face
// (server side).
#pragma once

#include <libxml/tree.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace dvrlink::onvif {

// Namespace URIs, and the prefixes the builder declares for them.
namespace ns {
inline constexpr const char* kSoap = "http://www.w3.org/2003/05/soap-envelope";
inline constexpr const char* kWsse =
    "http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-wssecurity-secext-1.0.xsd";
inline constexpr const char* kWsu =
    "http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-wssecurity-utility-1.0.xsd";
inline constexpr const char* kDevice = "http://www.onvif.org/ver10/device/wsdl";
inline constexpr const char* kMedia = "http://www.onvif.org/ver10/media/wsdl";
inline constexpr const char* kEvents = "http://www.onvif.org/ver10/events/wsdl";
inline constexpr const char* kPtz = "http://www.onvif.org/ver20/ptz/wsdl";
inline constexpr const char* kDeviceIo = "http://www.onvif.org/ver10/deviceIO/wsdl";
inline constexpr const char* kRecording = "http://www.onvif.org/ver10/recording/wsdl";
inline constexpr const char* kSearch = "http://www.onvif.org/ver10/search/wsdl";
inline constexpr const char* kReplay = "http://www.onvif.org/ver10/replay/wsdl";
inline constexpr const char* kSchema = "http://www.onvif.org/ver10/schema";
inline constexpr const char* kNotification = "http://docs.oasis-open.org/wsn/b-2";
inline constexpr const char* kAddressing = "http://www.w3.org/2005/08/addressing";
inline constexpr const char* kTopics = "http://www.onvif.org/ver10/topics";
inline constexpr const char* kError = "http://www.onvif.org/ver10/error";
inline constexpr const char* kTopicSet = "http://docs.oasis-open.org/wsn/t-1";
}  // namespace ns

inline constexpr const char* kPasswordDigestType =
    "http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-username-token-profile-1.0#PasswordDigest";
inline constexpr const char* kPasswordTextType =
    "http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-username-token-profile-1.0#PasswordText";
inline constexpr const char* kBase64Encoding =
    "http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-soap-message-security-1.0#Base64Binary";

// An owned libxml2 document. Parse never loads external entities or DTDs,
// never reaches the network and keeps libxml2's default depth and size limits.
class XmlDoc {
 public:
  XmlDoc() = default;
  explicit XmlDoc(xmlDocPtr doc) : doc_(doc) {}
  ~XmlDoc();
  XmlDoc(XmlDoc&& other) noexcept : doc_(other.doc_) { other.doc_ = nullptr; }
  XmlDoc& operator=(XmlDoc&& other) noexcept;
  XmlDoc(const XmlDoc&) = delete;
  XmlDoc& operator=(const XmlDoc&) = delete;

  // The document, or nothing with libxml2's first error in `error`.
  static std::optional<XmlDoc> Parse(const std::string& text, std::string& error);
  xmlDocPtr get() const { return doc_; }
  xmlNodePtr Root() const;
  // UTF-8 text with an XML declaration.
  std::string Serialize() const;

 private:
  xmlDocPtr doc_ = nullptr;
};

// ---- reading ----

// Whether node is the element {ns_uri}name.
bool Is(const xmlNode* node, const char* ns_uri, const char* name);
// The first element child {ns_uri}name of parent; nullptr when none (or parent is nullptr).
xmlNodePtr Child(const xmlNode* parent, const char* ns_uri, const char* name);
// Every element child {ns_uri}name of parent, in order.
std::vector<xmlNodePtr> Children(const xmlNode* parent, const char* ns_uri, const char* name);
// Every element child whatever its name.
std::vector<xmlNodePtr> Elements(const xmlNode* parent);
// The first element {ns_uri}name among parent's descendants (depth first).
xmlNodePtr Descendant(const xmlNode* parent, const char* ns_uri, const char* name);
// The text content of node with surrounding blanks trimmed; "" for nullptr.
std::string Text(const xmlNode* node);
// An attribute without namespace; "" when absent.
std::string Attr(const xmlNode* node, const char* name);
// The text of the child path parent/{ns}a/{ns}b...; "" when a step is missing.
std::string PathText(const xmlNode* parent, const char* ns_uri, std::initializer_list<const char*> names);
// A QName text ("tns1:VideoSource/MotionAlarm") with its prefix replaced by
// the namespace URI it stands for at node: {"http://...", "VideoSource/MotionAlarm"}.
// An unknown prefix keeps the prefix as the first part.
std::pair<std::string, std::string> ResolveQName(const xmlNode* node, const std::string& qname);

// ---- building ----

// A SOAP 1.2 envelope with the namespaces above declared at its root
// (s, wsse, wsu, tds, trt, tev, tptz, tmd, trc, tse, trp, tt, wsnt, wsa, tns1,
// ter, wstop).
class Envelope {
 public:
  Envelope();
  xmlNodePtr Header();  // made on first use, before the body
  xmlNodePtr Body() const { return body_; }
  // Appends the element {ns_uri}name (ns_uri one of ns::) to parent, with
  // text when given (escaped as needed). Returns it.
  xmlNodePtr Add(xmlNodePtr parent, const char* ns_uri, const char* name, const std::string* text = nullptr);
  xmlNodePtr Add(xmlNodePtr parent, const char* ns_uri, const char* name, const std::string& text) {
    return Add(parent, ns_uri, name, &text);
  }
  static void SetAttr(xmlNodePtr node, const char* name, const std::string& value);
  std::string Serialize() const { return doc_.Serialize(); }
  xmlDocPtr doc() const { return doc_.get(); }

 private:
  XmlDoc doc_;
  xmlNodePtr envelope_ = nullptr;
  xmlNodePtr header_ = nullptr;
  xmlNodePtr body_ = nullptr;
};

// A fault envelope: Code/Value code (s:Sender or s:Receiver), an optional
// Subcode/Value subcode (a ter: QName such as "ter:NotAuthorized"), the reason.
std::string FaultEnvelope(const std::string& code, const std::string& subcode, const std::string& reason);

// ---- reading a reply ----

// A SOAP message received: its document, the first element of its Body and,
// for a fault, the fault's code, subcode and reason.
struct SoapMessage {
  XmlDoc doc;
  xmlNodePtr header = nullptr;
  xmlNodePtr payload = nullptr;
  bool fault = false;
  std::string fault_code;
  std::string fault_subcode;
  std::string fault_reason;
  // "code/subcode: reason" for log lines.
  std::string FaultText() const;
};

// The envelope of text; nothing, with the reason in `error`, when the text is
// not XML or not a SOAP 1.2 envelope with a body.
std::optional<SoapMessage> ReadEnvelope(const std::string& text, std::string& error);

// ---- WS-Security UsernameToken ----

// Base64(SHA-1(nonce + created + password)), the PasswordDigest of the
// UsernameToken profile.
std::string PasswordDigest(const std::string& nonce, const std::string& created, const std::string& password);
std::string Base64(const std::string& bytes);
// Nothing for a text that is not canonical base64.
std::optional<std::string> FromBase64(const std::string& text);
// Random bytes from OpenSSL.
std::string RandomBytes(size_t count);

// Adds wsse:Security with a UsernameToken (PasswordDigest, a fresh 16-byte
// nonce, Created = utc_seconds) to the envelope's header.
void AddUsernameToken(Envelope& envelope, const std::string& user, const std::string& password, int64_t utc_seconds);

// Whether the message's header carries a UsernameToken of user whose
// PasswordDigest (or PasswordText) matches password and whose Created lies
// within max_skew_seconds of now_utc. On refusal `why` says what failed.
bool CheckUsernameToken(const SoapMessage& message, const std::string& user, const std::string& password,
                        int64_t now_utc, int64_t max_skew_seconds, std::string& why);

// ---- xs:dateTime and xs:duration ----

// "YYYY-MM-DDThh:mm:ssZ" of a UTC time in seconds since 1970.
std::string FormatUtc(int64_t utc_seconds);
// Seconds since 1970 of an xs:dateTime ("2026-12-05T10:00:00Z",
// "...:00.123Z", "...:00+01:00"; no zone means UTC); nothing when not one.
std::optional<int64_t> ParseUtc(const std::string& text);
// "PT60S" of a count of seconds.
std::string FormatDuration(int64_t seconds);
// Seconds of an xs:duration of days, hours, minutes and seconds ("PT1M30S",
// "P1DT2H", "PT0.5S" rounds down); nothing when not one.
std::optional<int64_t> ParseDuration(const std::string& text);

// Seconds since 1970 of a UTC calendar time.
int64_t UtcFromParts(int year, int month, int day, int hour, int minute, int second);

}  // namespace dvrlink::onvif
