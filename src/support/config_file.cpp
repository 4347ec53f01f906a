#include "support/config_file.h"

#include <dirent.h>

#include <fstream>

#include "support/convert.h"
#include "support/debug_log.h"
#include "support/runtime_error.h"
#include "support/support_state.h"
#include "support/vbstring.h"

namespace dvrlink {
namespace {

// True when folder lists an entry named exactly name (letter case included).
bool FolderListsExactly(const std::string& folder, const std::string& name) {
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return false;
  bool found = false;
  while (dirent* entry = ::readdir(dir)) {
    if (name == entry->d_name) {
      found = true;
      break;
    }
  }
  ::closedir(dir);
  return found;
}

}  // namespace

bool ProcessEachLine(const std::string& line) {
  try {
    if (!line.empty() && (line[0] == '\'' || line[0] == '!')) return false;
    if (line.rfind("//", 0) == 0) return false;
    size_t eq = line.find('=');
    if (eq == std::string::npos) return false;
    std::string key = line.substr(0, eq);
    std::string value = line.substr(eq + 1);
    ModAllConstState& s = ModAllConst();
    if (IsNumeric(value)) {
      if (EqualsNoCase(key, "LogLevel")) {
        int16_t level = CInt(value);
        if (level < 0 || level > 32) DVR_RAISE(kErrSubscript);
        int64_t sum = int64_t{s.lLogLevel} + s.lBitValue[static_cast<size_t>(level)];
        if (sum > INT32_MAX || sum < INT32_MIN) DVR_RAISE(kErrOverflow);
        s.lLogLevel = static_cast<int32_t>(sum);
      }
      return false;
    }
    if (EqualsNoCase(key, "LogLevel")) {
      if (EqualsNoCase(value, "ALL")) {
        s.lLogLevel = 2147483647;
        return true;
      }
      if (EqualsNoCase(value, "NONE")) {
        s.lLogLevel = 0;
        return true;
      }
      return false;
    }
    if (EqualsNoCase(key, "Location")) {
      s.blnLogLocation = true;
      s.sLogLocation = value;
    }
    return false;
  } catch (const RuntimeError& e) {
    LogError("modAllConst, ProcessEachLine", e.Description(), e.Line());
    return false;
  }
}

void LoadConfigFile(const std::string& path) {
  try {
    ModAllConst().lLogLevel = 0;
    size_t slash = path.rfind('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.empty()) return;
    std::string folder = slash == std::string::npos ? std::string(".")
                         : slash == 0                ? std::string("/")
                                                     : path.substr(0, slash);
    if (!FolderListsExactly(folder, name)) return;
    std::ifstream in(path, std::ios::binary);
    if (!in) DVR_RAISE_TEXT(53, "File not found");
    std::string line;
    while (std::getline(in, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (ProcessEachLine(line)) break;
    }
    if (in.bad()) DVR_RAISE_TEXT(57, "Device I/O error");
  } catch (const RuntimeError& e) {
    LogError("modAllConst, LoadConfigFile", e.Description(), e.Line());
  }
}

}  // namespace dvrlink
