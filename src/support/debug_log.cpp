#include "support/debug_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

#include "platform/platform_state.h"  // log stamps from the loop clock, files in the program folder
#include "support/runtime_error.h"
#include "support/support_state.h"

namespace dvrlink {
namespace {

constexpr char kFrameStart = 24;
constexpr char kFrameEnd = 25;
constexpr char kFrameSeparator = 26;

// The component's texts that hold CR LF on purpose: the text starts with
// `start`, then comes text without control characters ending in `before`,
// then the CR LF.
struct OwnLineBreak {
  std::string_view start;
  std::string_view before;
};
constexpr OwnLineBreak kOwnLineBreaks[] = {
    {"Dvrlink, Initialize(", ") oSocket.Connect() "},
    {"Dvrlink, Initialize(", ") DONE "},
    {"modAllConst, ProcessToken() ??? ERROR Line : ", ""},
    {"Unable to locate Time Zones information in Registry under the key: ", ""},
};

bool IsKeptControl(char c) { return c == '\t' || c == kFrameStart || c == kFrameEnd || c == kFrameSeparator; }
bool IsEscaped(char c) { return static_cast<unsigned char>(c) < 0x20 && !IsKeptControl(c); }

// Where the CR LF of an own text begins; npos for any other text.
size_t OwnLineBreakAt(std::string_view text) {
  for (const OwnLineBreak& own : kOwnLineBreaks) {
    if (text.substr(0, own.start.size()) != own.start) continue;
    size_t cr = text.find("\r\n", own.start.size());
    if (cr == std::string_view::npos) continue;
    std::string_view middle = text.substr(own.start.size(), cr - own.start.size());
    bool plain = std::none_of(middle.begin(), middle.end(), IsEscaped);
    if (plain && middle.size() >= own.before.size() &&
        middle.substr(middle.size() - own.before.size()) == own.before) {
      return cr;
    }
  }
  return std::string_view::npos;
}

// One open-append-close per line: the head (stamp and level), the text as
// LogText writes it, CR LF. Each step that fails is skipped; nothing is
// reported. A single write keeps lines from different processes whole.
void AppendLine(const char* log, const std::string& path, std::string data, std::string_view text) {
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  AppendLogText(data, text);
  data += "\r\n";
  ssize_t written = ::write(fd, data.data(), data.size());
  ::close(fd);
  const auto& observer = Platform().log_line_written;
  if (written == static_cast<ssize_t>(data.size()) && observer) observer(log);
}

std::string InProgramFolder(const std::string& name) {
  const std::string& folder = Platform().program_folder;
  if (folder.empty()) return name;
  if (folder.back() == '/') return folder + name;
  return folder + "/" + name;
}

}  // namespace

void AppendVisibleControl(std::string& out, char c) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  if (c == '\r') {
    out += "\\r";
  } else if (c == '\n') {
    out += "\\n";
  } else if (c == '\t') {
    out += "\\t";
  } else {
    auto u = static_cast<unsigned char>(c);
    out += "\\x";
    out += kHex[u >> 4];
    out += kHex[u & 0xF];
  }
}

void AppendLogText(std::string& out, std::string_view text) {
  if (std::none_of(text.begin(), text.end(), IsEscaped)) {
    out += text;
    return;
  }
  const size_t kept = OwnLineBreakAt(text);
  out.reserve(out.size() + text.size() + 16);
  for (size_t i = 0; i < text.size(); ++i) {
    if (!IsEscaped(text[i]) || (kept != std::string_view::npos && (i == kept || i == kept + 1))) {
      out += text[i];
    } else {
      AppendVisibleControl(out, text[i]);
    }
  }
}

std::string DebugLogPath() {
  const ModAllConstState& s = ModAllConst();
  return s.blnLogLocation ? s.sLogLocation : InProgramFolder("DebugDeviceAdm.log");
}

std::string ServiceLogPath() { return InProgramFolder("DebugIntegratedExtensionService.log"); }

std::string TitleLogPath() { return InProgramFolder(Platform().title + ".log"); }

std::string LogStamp() { return Loop().clock().LocalNow().FormatUS12(); }

void WriteTitleLog(const std::string& text) {
  AppendLine("title", TitleLogPath(), Loop().clock().LocalNow().FormatGeneral() + "  ", text);
}

void WriteDebugLog(const std::string& text, int16_t level) {
  WriteTitleLog(text);
  const ModAllConstState& s = ModAllConst();
  bool enabled = BitWiseAnd(s.lDebugFlags, 2) > 0;
  if (level < 0 || level > 32) return;
  if (BitWiseAnd(s.lLogLevel, s.lBitValue[static_cast<size_t>(level)]) > 0) enabled = true;
  if (!enabled) return;
  std::string pad = level < 10 ? "  " : " ";
  AppendLine("debug", DebugLogPath(), LogStamp() + "-" + std::to_string(level) + pad, text);
}

void WriteDebugLogAlways(const std::string& text, int32_t /*unused*/) {
  AppendLine("debug", DebugLogPath(), LogStamp() + "\t", text);
}

void WriteServiceLog(const std::string& text) {
  AppendLine("service", ServiceLogPath(), LogStamp() + "\t", text);
}

void RestoreMousePointer() {}

void LogError(const std::string& source, const std::string& description, int32_t line) {
  if (!ModAllConst().blnNoUserInterface) RestoreMousePointer();
  std::string text =
      "??? " + source + "() ??? ERROR, Line: " + std::to_string(line) + ", " + description;
  WriteDebugLogAlways(text);
  if (ModAllConst().blnErrorToServiceLog) WriteServiceLog(text);
  if (Platform().error_logged) Platform().error_logged(text);
}

std::string ToBinary(int32_t x) {
  if (x <= 0) return "0";
  std::string digits;
  for (uint32_t v = static_cast<uint32_t>(x); v != 0; v >>= 1) digits.insert(digits.begin(), (v & 1) ? '1' : '0');
  return digits;
}

int32_t ToLong(const std::string& text) {
  int64_t sum = 0;
  size_t n = text.size();
  for (size_t i = 0; i < n; ++i) {
    if (text[n - 1 - i] != '1') continue;
    if (i > 31) DVR_RAISE(kErrOverflow);
    sum += int64_t{1} << i;
    if (sum > INT32_MAX) DVR_RAISE(kErrOverflow);
  }
  return static_cast<int32_t>(sum);
}

int32_t BitWiseAnd(int32_t a, int32_t b) {
  std::string sa = ToBinary(a);
  std::string sb = ToBinary(b);
  size_t len = std::min(sa.size(), sb.size());
  sa = sa.substr(sa.size() - len);
  sb = sb.substr(sb.size() - len);
  std::string result(len, '0');
  for (size_t i = 0; i < len; ++i) {
    if (sa[i] == '1' && sb[i] == '1') result[i] = '1';
  }
  return ToLong(result);
}

}  // namespace dvrlink
