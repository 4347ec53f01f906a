// Reading .reg export files into an in-memory registry.
//
// The format, as the registry editor writes it:
//   header line   "Windows Registry Editor Version 5.00" or "REGEDIT4"
//   [ROOT\path]   opens (creates) a key; [-ROOT\path] deletes one
//   "name"=...    a value of the open key; @=... is the key's default value
//     "text"          REG_SZ, with \\ and \" as the only escapes
//     dword:0000012c  REG_DWORD, up to eight hex digits
//     hex:2c,01,...   REG_BINARY; hex(N):... a value of type N in hex bytes
//     -               deletes the value
//   ; comment
// A value line ending in a backslash continues on the next line (long hex
// lists are wrapped that way). Text of hex(1)/hex(2)/hex(7) values is
// UTF-16LE in version 5 files and single bytes in REGEDIT4 files.
#include <fstream>
#include <iterator>
#include <sstream>

#include "support/runtime_error.h"
#include "timezone/registry.h"

namespace dvrlink {
namespace {

constexpr std::string_view kHeader5 = "Windows Registry Editor Version 5.00";
constexpr std::string_view kHeader4 = "REGEDIT4";

bool IsSpace(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimSpaces(std::string_view s) {
  while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsSpace(s.back())) s.remove_suffix(1);
  return s;
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && EqualsNoCase(s.substr(0, prefix.size()), prefix);
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool IsValidUtf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    size_t len = 0;
    if (c < 0x80) {
      len = 1;
    } else if ((c & 0xE0) == 0xC0 && c >= 0xC2) {
      len = 2;
    } else if ((c & 0xF0) == 0xE0) {
      len = 3;
    } else if ((c & 0xF8) == 0xF0 && c <= 0xF4) {
      len = 4;
    } else {
      return false;
    }
    if (i + len > s.size()) return false;
    for (size_t k = 1; k < len; ++k) {
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    }
    i += len;
  }
  return true;
}

std::string Latin1ToUtf8(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x80) {
      out.push_back(ch);
    } else {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

class RegParser {
 public:
  RegParser(std::string source_name, std::shared_ptr<MemoryRegistry> registry)
      : source_(std::move(source_name)), registry_(std::move(registry)) {}

  void Parse(std::string_view bytes) {
    const std::string text = DecodeFile(bytes);
    std::vector<std::string_view> lines;
    size_t begin = 0;
    while (begin <= text.size()) {
      size_t end = text.find('\n', begin);
      if (end == std::string::npos) end = text.size();
      std::string_view line(text.data() + begin, end - begin);
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      lines.push_back(line);
      if (end == text.size()) break;
      begin = end + 1;
    }

    const std::string_view header = lines.empty() ? std::string_view() : TrimSpaces(lines[0]);
    if (header == kHeader5) {
      version5_ = true;
    } else if (header == kHeader4) {
      version5_ = false;
    } else {
      Fail(1, "not a registry export: the first line must be \"" + std::string(kHeader5) +
                  "\" or \"" + std::string(kHeader4) + "\"");
    }
    if (!version5_ && !utf16_ && !IsValidUtf8(text)) latin1_ = true;

    for (size_t i = 1; i < lines.size(); ++i) {
      line_ = i + 1;
      std::string_view line = TrimSpaces(lines[i]);
      if (line.empty() || line.front() == ';') continue;
      if (line.front() == '[') {
        KeyLine(line);
        continue;
      }
      if (line.front() != '"' && line.front() != '@') Fail(line_, "unexpected text \"" + Clip(line) + "\"");
      // A value line ending in a backslash continues on the next line.
      std::string joined;
      const size_t first_line = line_;
      while (!line.empty() && line.back() == '\\' && i + 1 < lines.size()) {
        joined.append(line.substr(0, line.size() - 1));
        ++i;
        line = TrimSpaces(lines[i]);
      }
      joined.append(line);
      line_ = first_line;
      ValueLine(joined);
    }
  }

 private:
  [[noreturn]] void Fail(size_t line, const std::string& what) const {
    DVR_RAISE_TEXT(kErrInvalidCall, source_ + ", line " + std::to_string(line) + ": " + what);
  }

  static std::string Clip(std::string_view s) {
    return s.size() <= 40 ? std::string(s) : std::string(s.substr(0, 40)) + "...";
  }

  std::string DecodeFile(std::string_view bytes) {
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xFE) {
      utf16_ = true;
      return Utf16LeToUtf8(bytes.substr(2));
    }
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFE &&
        static_cast<unsigned char>(bytes[1]) == 0xFF) {
      Fail(1, "UTF-16 big-endian files are not supported; save the export as UTF-16LE or UTF-8");
    }
    if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
    return std::string(bytes);
  }

  std::string TextOf(std::string_view raw) const {
    return latin1_ ? Latin1ToUtf8(raw) : std::string(raw);
  }

  void KeyLine(std::string_view line) {
    const size_t close = line.rfind(']');
    if (close == std::string_view::npos || close == 0) Fail(line_, "key line without a closing \"]\"");
    const std::string_view rest = TrimSpaces(line.substr(close + 1));
    if (!rest.empty() && rest.front() != ';') Fail(line_, "text after the key's \"]\"");
    std::string_view path = line.substr(1, close - 1);
    const bool remove = !path.empty() && path.front() == '-';
    if (remove) path.remove_prefix(1);
    const size_t cut = path.find('\\');
    const std::string_view root_name = path.substr(0, cut);
    const auto root = RegRootFromName(root_name);
    if (!root) Fail(line_, "unknown root key \"" + Clip(root_name) + "\"");
    const std::string sub = cut == std::string_view::npos ? std::string() : TextOf(path.substr(cut + 1));
    if (remove) {
      registry_->DeleteKey(*root, sub);
      key_ = nullptr;
    } else {
      key_ = &registry_->CreateKey(*root, sub);
    }
  }

  // Reads a quoted string starting at s[pos] == '"'; pos ends after the
  // closing quote.
  std::string QuotedString(std::string_view s, size_t& pos) const {
    std::string out;
    ++pos;
    while (pos < s.size()) {
      const char c = s[pos++];
      if (c == '"') return TextOf(out);
      if (c == '\\') {
        if (pos >= s.size()) break;
        const char e = s[pos++];
        if (e != '\\' && e != '"') Fail(line_, std::string("unknown escape \"\\") + e + "\" in a quoted text");
        out.push_back(e);
        continue;
      }
      out.push_back(c);
    }
    Fail(line_, "quoted text without its closing quote");
  }

  std::vector<uint8_t> HexBytes(std::string_view list) const {
    std::vector<uint8_t> out;
    list = TrimSpaces(list);
    if (list.empty()) return out;
    size_t begin = 0;
    while (begin <= list.size()) {
      size_t end = list.find(',', begin);
      if (end == std::string_view::npos) end = list.size();
      const std::string_view item = TrimSpaces(list.substr(begin, end - begin));
      const bool last = end == list.size();
      if (item.empty() && last && !out.empty()) break;  // trailing comma
      if (item.empty() || item.size() > 2) Fail(line_, "bad hex byte \"" + Clip(item) + "\"");
      int value = 0;
      for (char c : item) {
        const int d = HexDigit(c);
        if (d < 0) Fail(line_, "bad hex byte \"" + Clip(item) + "\"");
        value = value * 16 + d;
      }
      out.push_back(static_cast<uint8_t>(value));
      if (last) break;
      begin = end + 1;
    }
    return out;
  }

  // Text of a hex(1) or hex(2) value: up to its first NUL.
  std::string HexText(const std::vector<uint8_t>& bytes) const {
    const std::string_view raw(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    if (version5_) {
      std::string text = Utf16LeToUtf8(raw);
      return text.substr(0, text.find('\0'));
    }
    return TextOf(raw.substr(0, raw.find('\0')));
  }

  void ValueLine(std::string_view line) {
    if (key_ == nullptr) Fail(line_, "a value outside any key");
    size_t pos = 0;
    std::string name;
    if (line[0] == '@') {
      pos = 1;
    } else {
      name = QuotedString(line, pos);
    }
    while (pos < line.size() && IsSpace(line[pos])) ++pos;
    if (pos >= line.size() || line[pos] != '=') Fail(line_, "\"=\" expected after the value name");
    ++pos;
    while (pos < line.size() && IsSpace(line[pos])) ++pos;
    const std::string_view data = line.substr(pos);

    if (data == "-") {
      key_->DeleteValue(name);
      return;
    }
    if (!data.empty() && data.front() == '"') {
      size_t end = 0;
      std::string text = QuotedString(data, end);
      const std::string_view rest = TrimSpaces(data.substr(end));
      if (!rest.empty()) Fail(line_, "text after the closing quote");
      key_->SetValue(name, RegValue::Text(std::move(text)));
      return;
    }
    if (StartsWithNoCase(data, "dword:")) {
      const std::string_view digits = TrimSpaces(data.substr(6));
      if (digits.empty() || digits.size() > 8) Fail(line_, "dword value needs 1 to 8 hex digits");
      uint32_t v = 0;
      for (char c : digits) {
        const int d = HexDigit(c);
        if (d < 0) Fail(line_, "bad hex digit in dword value");
        v = v * 16 + static_cast<uint32_t>(d);
      }
      key_->SetValue(name, RegValue::Dword(v));
      return;
    }
    if (StartsWithNoCase(data, "hex")) {
      size_t colon = data.find(':');
      if (colon == std::string_view::npos) Fail(line_, "\":\" expected after hex");
      uint32_t type = REG_BINARY;
      const std::string_view tag = data.substr(3, colon - 3);
      if (!tag.empty()) {
        if (tag.size() < 3 || tag.front() != '(' || tag.back() != ')' || tag.size() > 10) {
          Fail(line_, "bad value type \"hex" + Clip(tag) + "\"");
        }
        type = 0;
        for (char c : tag.substr(1, tag.size() - 2)) {
          const int d = HexDigit(c);
          if (d < 0) Fail(line_, "bad value type \"hex" + Clip(tag) + "\"");
          type = type * 16 + static_cast<uint32_t>(d);
        }
      }
      std::vector<uint8_t> bytes = HexBytes(data.substr(colon + 1));
      if (type == REG_SZ || type == REG_EXPAND_SZ) {
        key_->SetValue(name, RegValue::Text(HexText(bytes), type));
      } else {
        key_->SetValue(name, RegValue::Binary(std::move(bytes), type));
      }
      return;
    }
    Fail(line_, "unknown value data \"" + Clip(data) + "\"");
  }

  std::string source_;
  std::shared_ptr<MemoryRegistry> registry_;
  RegistryNode* key_ = nullptr;
  size_t line_ = 1;
  bool version5_ = true;
  bool utf16_ = false;
  bool latin1_ = false;
};

}  // namespace

std::shared_ptr<MemoryRegistry> ParseRegFile(std::string_view bytes, const std::string& source_name) {
  auto registry = std::make_shared<MemoryRegistry>();
  RegParser(source_name, registry).Parse(bytes);
  return registry;
}

std::shared_ptr<IRegistry> LoadRegFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) DVR_RAISE_TEXT(kErrInvalidCall, path + ": cannot open the registry file");
  std::ostringstream content;
  content << in.rdbuf();
  if (in.bad()) DVR_RAISE_TEXT(kErrInvalidCall, path + ": cannot read the registry file");
  return ParseRegFile(content.str(), path);
}

}  // namespace dvrlink
