// INI file reader for the service's configuration and dvrlink-db.
//
// Syntax, one item per line:
//   [section]        a section; blanks inside the brackets are trimmed
//   key = value      blanks around key and value trimmed; the value is the
//                    rest of the line as written (";" and "#" inside a value
//                    are part of it), and may be empty
//   ; comment        a line whose first non-blank character is ";" or "#"
//   (blank line)
// Keys and section names are compared without regard to ASCII letter case.
// Errors (a line that is none of the above, a key before any section, an
// empty key or section name, a key twice in one section, a section twice)
// raise IniError naming the file, the line and the key or section. The order
// of sections and keys is kept as written. The reader knows nothing about
// which keys are valid.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace dvrlink {

class IniError : public std::runtime_error {
 public:
  IniError(std::string file, int line, const std::string& message);
  const std::string& file() const { return file_; }
  int line() const { return line_; }

 private:
  std::string file_;
  int line_;
};

struct IniEntry {
  std::string key;  // as written
  std::string value;
  int line = 0;
};

class IniSection {
 public:
  IniSection(std::string name, int line) : name_(std::move(name)), line_(line) {}
  const std::string& name() const { return name_; }
  int line() const { return line_; }
  const std::vector<IniEntry>& entries() const { return entries_; }
  // The entry of the key (any letter case); nullptr when absent.
  const IniEntry* Find(std::string_view key) const;
  std::optional<std::string> Get(std::string_view key) const;

 private:
  friend class IniFile;
  std::string name_;
  int line_;
  std::vector<IniEntry> entries_;
};

class IniFile {
 public:
  // Reads the text; `file` names it in error messages.
  static IniFile Parse(std::string_view text, const std::string& file);
  // Reads the file at path; a file that cannot be read raises IniError
  // (line 0).
  static IniFile Load(const std::string& path);

  const std::string& file() const { return file_; }
  const std::vector<IniSection>& sections() const { return sections_; }
  // The section of the name (any letter case); nullptr when absent.
  const IniSection* Find(std::string_view name) const;

 private:
  std::string file_;
  std::vector<IniSection> sections_;
};

}  // namespace dvrlink
