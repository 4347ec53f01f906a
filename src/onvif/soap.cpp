#include "onvif/soap.h"

#include <libxml/parser.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#include <cstring>
#include <ctime>
#include <utility>

namespace dvrlink::onvif {
namespace {

struct Prefix {
  const char* prefix;
  const char* uri;
};
constexpr Prefix kPrefixes[] = {
    {"s", ns::kSoap},         {"wsse", ns::kWsse},         {"wsu", ns::kWsu},      {"tds", ns::kDevice},
    {"trt", ns::kMedia},      {"tev", ns::kEvents},        {"tptz", ns::kPtz},     {"tmd", ns::kDeviceIo},
    {"trc", ns::kRecording},  {"tse", ns::kSearch},        {"trp", ns::kReplay},
    {"tt", ns::kSchema},      {"wsnt", ns::kNotification}, {"wsa", ns::kAddressing}, {"tns1", ns::kTopics},
    {"ter", ns::kError},      {"wstop", ns::kTopicSet},
};

const xmlChar* X(const char* text) { return reinterpret_cast<const xmlChar*>(text); }
const char* C(const xmlChar* text) { return reinterpret_cast<const char*>(text); }

std::string Trim(const std::string& text) {
  size_t begin = text.find_first_not_of(" \t\r\n");
  if (begin == std::string::npos) return "";
  size_t end = text.find_last_not_of(" \t\r\n");
  return text.substr(begin, end - begin + 1);
}

bool ReadNumber(const std::string& text, size_t& pos, size_t digits, int& value) {
  if (pos + digits > text.size()) return false;
  value = 0;
  for (size_t i = 0; i < digits; ++i) {
    char c = text[pos + i];
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  pos += digits;
  return true;
}

bool Expect(const std::string& text, size_t& pos, char c) {
  if (pos >= text.size() || text[pos] != c) return false;
  ++pos;
  return true;
}

}  // namespace

// ---- XmlDoc ----

XmlDoc::~XmlDoc() {
  if (doc_) xmlFreeDoc(doc_);
}

XmlDoc& XmlDoc::operator=(XmlDoc&& other) noexcept {
  if (this != &other) {
    if (doc_) xmlFreeDoc(doc_);
    doc_ = std::exchange(other.doc_, nullptr);
  }
  return *this;
}

std::optional<XmlDoc> XmlDoc::Parse(const std::string& text, std::string& error) {
  xmlParserCtxtPtr ctxt = xmlNewParserCtxt();
  if (!ctxt) {
    error = "out of memory";
    return std::nullopt;
  }
  // No network, no entity substitution, no DTD loading; errors are read from
  // the context, never printed.
  xmlDocPtr doc = xmlCtxtReadMemory(ctxt, text.data(), static_cast<int>(text.size()), nullptr, nullptr,
                                    XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
  if (!doc) {
    const xmlError* last = xmlCtxtGetLastError(ctxt);
    error = last && last->message ? Trim(last->message) : "not XML";
    if (last) error += " (line " + std::to_string(last->line) + ")";
    xmlFreeParserCtxt(ctxt);
    return std::nullopt;
  }
  xmlFreeParserCtxt(ctxt);
  return XmlDoc(doc);
}

xmlNodePtr XmlDoc::Root() const { return doc_ ? xmlDocGetRootElement(doc_) : nullptr; }

std::string XmlDoc::Serialize() const {
  xmlChar* buffer = nullptr;
  int size = 0;
  xmlDocDumpMemoryEnc(doc_, &buffer, &size, "UTF-8");
  std::string text(C(buffer), static_cast<size_t>(size));
  xmlFree(buffer);
  return text;
}

// ---- reading ----

bool Is(const xmlNode* node, const char* ns_uri, const char* name) {
  return node && node->type == XML_ELEMENT_NODE && node->ns && node->ns->href &&
         std::strcmp(C(node->ns->href), ns_uri) == 0 && std::strcmp(C(node->name), name) == 0;
}

xmlNodePtr Child(const xmlNode* parent, const char* ns_uri, const char* name) {
  if (!parent) return nullptr;
  for (xmlNodePtr c = parent->children; c; c = c->next) {
    if (Is(c, ns_uri, name)) return c;
  }
  return nullptr;
}

std::vector<xmlNodePtr> Children(const xmlNode* parent, const char* ns_uri, const char* name) {
  std::vector<xmlNodePtr> found;
  if (!parent) return found;
  for (xmlNodePtr c = parent->children; c; c = c->next) {
    if (Is(c, ns_uri, name)) found.push_back(c);
  }
  return found;
}

std::vector<xmlNodePtr> Elements(const xmlNode* parent) {
  std::vector<xmlNodePtr> found;
  if (!parent) return found;
  for (xmlNodePtr c = parent->children; c; c = c->next) {
    if (c->type == XML_ELEMENT_NODE) found.push_back(c);
  }
  return found;
}

xmlNodePtr Descendant(const xmlNode* parent, const char* ns_uri, const char* name) {
  if (!parent) return nullptr;
  for (xmlNodePtr c = parent->children; c; c = c->next) {
    if (c->type != XML_ELEMENT_NODE) continue;
    if (Is(c, ns_uri, name)) return c;
    if (xmlNodePtr deeper = Descendant(c, ns_uri, name)) return deeper;
  }
  return nullptr;
}

std::string Text(const xmlNode* node) {
  if (!node) return "";
  xmlChar* content = xmlNodeGetContent(node);
  std::string text = content ? C(content) : "";
  xmlFree(content);
  return Trim(text);
}

std::string Attr(const xmlNode* node, const char* name) {
  if (!node) return "";
  xmlChar* value = xmlGetNoNsProp(node, X(name));
  std::string text = value ? C(value) : "";
  xmlFree(value);
  return text;
}

std::string PathText(const xmlNode* parent, const char* ns_uri, std::initializer_list<const char*> names) {
  const xmlNode* node = parent;
  for (const char* name : names) {
    node = Child(node, ns_uri, name);
    if (!node) return "";
  }
  return Text(node);
}

std::pair<std::string, std::string> ResolveQName(const xmlNode* node, const std::string& qname) {
  std::string text = Trim(qname);
  size_t colon = text.find(':');
  if (colon == std::string::npos) return {"", text};
  std::string prefix = text.substr(0, colon);
  xmlNsPtr found = node ? xmlSearchNs(node->doc, const_cast<xmlNode*>(node), X(prefix.c_str())) : nullptr;
  return {found && found->href ? C(found->href) : prefix, text.substr(colon + 1)};
}

// ---- building ----

Envelope::Envelope() {
  doc_ = XmlDoc(xmlNewDoc(X("1.0")));
  envelope_ = xmlNewNode(nullptr, X("Envelope"));
  xmlDocSetRootElement(doc_.get(), envelope_);
  for (const Prefix& p : kPrefixes) {
    xmlNsPtr declared = xmlNewNs(envelope_, X(p.uri), X(p.prefix));
    if (std::strcmp(p.uri, ns::kSoap) == 0) xmlSetNs(envelope_, declared);
  }
  body_ = Add(envelope_, ns::kSoap, "Body");
}

xmlNodePtr Envelope::Header() {
  if (!header_) {
    header_ = xmlNewNode(xmlSearchNsByHref(doc_.get(), envelope_, X(ns::kSoap)), X("Header"));
    xmlAddPrevSibling(body_, header_);
  }
  return header_;
}

xmlNodePtr Envelope::Add(xmlNodePtr parent, const char* ns_uri, const char* name, const std::string* text) {
  xmlNsPtr ns = xmlSearchNsByHref(doc_.get(), envelope_, X(ns_uri));
  xmlNodePtr node = xmlNewChild(parent, ns, X(name), nullptr);
  if (text) xmlNodeAddContentLen(node, X(text->c_str()), static_cast<int>(text->size()));
  return node;
}

void Envelope::SetAttr(xmlNodePtr node, const char* name, const std::string& value) {
  xmlSetProp(node, X(name), X(value.c_str()));
}

std::string FaultEnvelope(const std::string& code, const std::string& subcode, const std::string& reason) {
  Envelope e;
  xmlNodePtr fault = e.Add(e.Body(), ns::kSoap, "Fault");
  xmlNodePtr code_node = e.Add(fault, ns::kSoap, "Code");
  e.Add(code_node, ns::kSoap, "Value", code);
  if (!subcode.empty()) e.Add(e.Add(code_node, ns::kSoap, "Subcode"), ns::kSoap, "Value", subcode);
  xmlNodePtr text = e.Add(e.Add(fault, ns::kSoap, "Reason"), ns::kSoap, "Text", reason);
  xmlNodeSetLang(text, X("en"));
  return e.Serialize();
}

// ---- reading a reply ----

std::string SoapMessage::FaultText() const {
  std::string text = fault_code;
  if (!fault_subcode.empty()) text += "/" + fault_subcode;
  return text + ": " + (fault_reason.empty() ? "(no reason given)" : fault_reason);
}

std::optional<SoapMessage> ReadEnvelope(const std::string& text, std::string& error) {
  std::optional<XmlDoc> doc = XmlDoc::Parse(text, error);
  if (!doc) {
    error = "malformed XML: " + error;
    return std::nullopt;
  }
  xmlNodePtr root = doc->Root();
  if (!Is(root, ns::kSoap, "Envelope")) {
    error = "not a SOAP 1.2 envelope";
    return std::nullopt;
  }
  xmlNodePtr body = Child(root, ns::kSoap, "Body");
  if (!body) {
    error = "a SOAP envelope without a body";
    return std::nullopt;
  }
  SoapMessage message;
  message.header = Child(root, ns::kSoap, "Header");
  std::vector<xmlNodePtr> payload = Elements(body);
  message.payload = payload.empty() ? nullptr : payload.front();
  if (Is(message.payload, ns::kSoap, "Fault")) {
    message.fault = true;
    xmlNodePtr code = Child(message.payload, ns::kSoap, "Code");
    message.fault_code = PathText(code, ns::kSoap, {"Value"});
    message.fault_subcode = PathText(code, ns::kSoap, {"Subcode", "Value"});
    message.fault_reason = PathText(message.payload, ns::kSoap, {"Reason", "Text"});
  }
  message.doc = std::move(*doc);
  return message;
}

// ---- UsernameToken ----

std::string Base64(const std::string& bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                          reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
  out.resize(static_cast<size_t>(n));
  return out;
}

std::optional<std::string> FromBase64(const std::string& text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::string out(text.size() / 4 * 3 + 1, '\0');
  int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                          reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
  if (n < 0) return std::nullopt;
  size_t size = static_cast<size_t>(n);
  // EVP_DecodeBlock counts padding as zero bytes.
  if (!text.empty() && text.back() == '=') --size;
  if (text.size() > 1 && text[text.size() - 2] == '=') --size;
  out.resize(size);
  if (Base64(out) != text) return std::nullopt;
  return out;
}

std::string RandomBytes(size_t count) {
  std::string bytes(count, '\0');
  if (RAND_bytes(reinterpret_cast<unsigned char*>(bytes.data()), static_cast<int>(count)) != 1) {
    // Nonces need only be unique; fall back to the time and a counter.
    static uint64_t counter = 0;
    std::string seed = std::to_string(std::time(nullptr)) + ":" + std::to_string(++counter);
    bytes = seed.substr(0, count);
    bytes.resize(count, '\0');
  }
  return bytes;
}

std::string PasswordDigest(const std::string& nonce, const std::string& created, const std::string& password) {
  std::string input = nonce + created + password;
  unsigned char digest[SHA_DIGEST_LENGTH];
  SHA1(reinterpret_cast<const unsigned char*>(input.data()), input.size(), digest);
  return Base64(std::string(reinterpret_cast<const char*>(digest), sizeof digest));
}

void AddUsernameToken(Envelope& envelope, const std::string& user, const std::string& password,
                      int64_t utc_seconds) {
  const std::string nonce = RandomBytes(16);
  const std::string created = FormatUtc(utc_seconds);
  xmlNodePtr security = envelope.Add(envelope.Header(), ns::kWsse, "Security");
  xmlNodePtr token = envelope.Add(security, ns::kWsse, "UsernameToken");
  envelope.Add(token, ns::kWsse, "Username", user);
  xmlNodePtr pass = envelope.Add(token, ns::kWsse, "Password", PasswordDigest(nonce, created, password));
  Envelope::SetAttr(pass, "Type", kPasswordDigestType);
  xmlNodePtr nonce_node = envelope.Add(token, ns::kWsse, "Nonce", Base64(nonce));
  Envelope::SetAttr(nonce_node, "EncodingType", kBase64Encoding);
  envelope.Add(token, ns::kWsu, "Created", created);
}

bool CheckUsernameToken(const SoapMessage& message, const std::string& user, const std::string& password,
                        int64_t now_utc, int64_t max_skew_seconds, std::string& why) {
  xmlNodePtr token = Child(Child(message.header, ns::kWsse, "Security"), ns::kWsse, "UsernameToken");
  if (!token) {
    why = "no UsernameToken";
    return false;
  }
  if (PathText(token, ns::kWsse, {"Username"}) != user) {
    why = "unknown user";
    return false;
  }
  xmlNodePtr pass = Child(token, ns::kWsse, "Password");
  std::string type = Attr(pass, "Type");
  if (type == kPasswordTextType) {
    if (Text(pass) == password) return true;
    why = "wrong password";
    return false;
  }
  std::string created = PathText(token, ns::kWsu, {"Created"});
  std::optional<int64_t> created_utc = ParseUtc(created);
  std::optional<std::string> nonce = FromBase64(PathText(token, ns::kWsse, {"Nonce"}));
  if (!created_utc || !nonce) {
    why = "a UsernameToken without a readable Created time or Nonce";
    return false;
  }
  if (*created_utc > now_utc + max_skew_seconds || *created_utc < now_utc - max_skew_seconds) {
    why = "Created time " + created + " too far from the device clock";
    return false;
  }
  if (Text(pass) != PasswordDigest(*nonce, created, password)) {
    why = "wrong password digest";
    return false;
  }
  return true;
}

// ---- times ----

int64_t UtcFromParts(int year, int month, int day, int hour, int minute, int second) {
  tm parts{};
  parts.tm_year = year - 1900;
  parts.tm_mon = month - 1;
  parts.tm_mday = day;
  parts.tm_hour = hour;
  parts.tm_min = minute;
  parts.tm_sec = second;
  return static_cast<int64_t>(timegm(&parts));
}

std::string FormatUtc(int64_t utc_seconds) {
  time_t t = static_cast<time_t>(utc_seconds);
  tm parts{};
  gmtime_r(&t, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

std::optional<int64_t> ParseUtc(const std::string& raw) {
  const std::string text = Trim(raw);
  size_t pos = 0;
  int year, month, day, hour, minute, second;
  if (!ReadNumber(text, pos, 4, year) || !Expect(text, pos, '-') || !ReadNumber(text, pos, 2, month) ||
      !Expect(text, pos, '-') || !ReadNumber(text, pos, 2, day) || !Expect(text, pos, 'T') ||
      !ReadNumber(text, pos, 2, hour) || !Expect(text, pos, ':') || !ReadNumber(text, pos, 2, minute) ||
      !Expect(text, pos, ':') || !ReadNumber(text, pos, 2, second)) {
    return std::nullopt;
  }
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) return std::nullopt;
  if (pos < text.size() && text[pos] == '.') {
    ++pos;
    size_t digits = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') ++pos, ++digits;
    if (digits == 0) return std::nullopt;
  }
  int64_t offset = 0;
  if (pos < text.size()) {
    if (text[pos] == 'Z') {
      ++pos;
    } else if (text[pos] == '+' || text[pos] == '-') {
      int sign = text[pos] == '-' ? -1 : 1;
      ++pos;
      int oh, om;
      if (!ReadNumber(text, pos, 2, oh) || !Expect(text, pos, ':') || !ReadNumber(text, pos, 2, om)) {
        return std::nullopt;
      }
      offset = sign * (oh * 3600 + om * 60);
    }
  }
  if (pos != text.size()) return std::nullopt;
  return UtcFromParts(year, month, day, hour, minute, second) - offset;
}

std::string FormatDuration(int64_t seconds) { return "PT" + std::to_string(seconds) + "S"; }

std::optional<int64_t> ParseDuration(const std::string& raw) {
  const std::string text = Trim(raw);
  if (text.size() < 3 || text[0] != 'P') return std::nullopt;
  int64_t total = 0;
  bool in_time = false;
  bool any = false;
  size_t pos = 1;
  while (pos < text.size()) {
    if (text[pos] == 'T') {
      if (in_time) return std::nullopt;
      in_time = true;
      ++pos;
      continue;
    }
    size_t start = pos;
    while (pos < text.size() && ((text[pos] >= '0' && text[pos] <= '9') || text[pos] == '.')) ++pos;
    if (pos == start || pos >= text.size() || pos - start > 12) return std::nullopt;
    std::string number = text.substr(start, pos - start);
    int64_t whole = std::stoll(number.substr(0, number.find('.')).empty() ? "0" : number.substr(0, number.find('.')));
    char unit = text[pos++];
    if (!in_time && unit == 'D') {
      total += whole * 86400;
    } else if (in_time && unit == 'H') {
      total += whole * 3600;
    } else if (in_time && unit == 'M') {
      total += whole * 60;
    } else if (in_time && unit == 'S') {
      total += whole;
    } else {
      return std::nullopt;
    }
    any = true;
  }
  if (!any) return std::nullopt;
  return total;
}

}  // namespace dvrlink::onvif
