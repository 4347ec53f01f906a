#include "platform/ini_file.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "support/vbstring.h"

namespace dvrlink {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

}  // namespace

IniError::IniError(std::string file, int line, const std::string& message)
    : std::runtime_error(file + (line > 0 ? ":" + std::to_string(line) : std::string()) + ": " + message),
      file_(std::move(file)),
      line_(line) {}

const IniEntry* IniSection::Find(std::string_view key) const {
  for (const IniEntry& e : entries_) {
    if (EqualsNoCase(e.key, key)) return &e;
  }
  return nullptr;
}

std::optional<std::string> IniSection::Get(std::string_view key) const {
  const IniEntry* e = Find(key);
  if (e == nullptr) return std::nullopt;
  return e->value;
}

const IniSection* IniFile::Find(std::string_view name) const {
  for (const IniSection& s : sections_) {
    if (EqualsNoCase(s.name(), name)) return &s;
  }
  return nullptr;
}

IniFile IniFile::Parse(std::string_view text, const std::string& file) {
  IniFile ini;
  ini.file_ = file;
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);  // UTF-8 byte-order mark
  int line_number = 0;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view raw = text.substr(start, end - start);
    start = end + 1;
    ++line_number;
    if (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
    std::string_view line = TrimBlanks(raw);
    if (line.empty() || line.front() == ';' || line.front() == '#') continue;

    if (line.front() == '[') {
      if (line.back() != ']') {
        throw IniError(file, line_number, "a section line must end with ']': '" + std::string(line) + "'");
      }
      std::string name(TrimBlanks(line.substr(1, line.size() - 2)));
      if (name.empty()) throw IniError(file, line_number, "empty section name");
      if (const IniSection* earlier = ini.Find(name)) {
        throw IniError(file, line_number,
                       "section [" + name + "] appears twice (first at line " + std::to_string(earlier->line()) + ")");
      }
      ini.sections_.emplace_back(std::move(name), line_number);
      continue;
    }

    size_t eq = line.find('=');
    if (eq == std::string_view::npos) {
      throw IniError(file, line_number,
                     "expected 'key = value', '[section]' or a comment, found '" + std::string(line) + "'");
    }
    std::string key(TrimBlanks(line.substr(0, eq)));
    std::string value(TrimBlanks(line.substr(eq + 1)));
    if (key.empty()) throw IniError(file, line_number, "a value without a key: '" + std::string(line) + "'");
    if (ini.sections_.empty()) {
      throw IniError(file, line_number, "key '" + key + "' comes before any [section]");
    }
    IniSection& section = ini.sections_.back();
    if (const IniEntry* earlier = section.Find(key)) {
      throw IniError(file, line_number,
                     "duplicate key '" + key + "' in section [" + section.name() + "] (first at line " +
                         std::to_string(earlier->line) + ")");
    }
    section.entries_.push_back(IniEntry{std::move(key), std::move(value), line_number});
  }
  return ini;
}

IniFile IniFile::Load(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw IniError(path, 0, std::string("cannot read the file: ") + std::strerror(errno));
  std::ostringstream content;
  content << in.rdbuf();
  if (in.bad()) throw IniError(path, 0, "cannot read the file");
  return Parse(content.str(), path);
}

}  // namespace dvrlink
