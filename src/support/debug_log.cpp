#include "support/debug_log.h"

#include <fcntl.h>
#include <sys/stat.h>
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

// The three files the writers append to.
enum LogKind { kDebugLog, kServiceLog, kTitleLog, kLogKinds };
constexpr const char* kLogNames[kLogKinds] = {"debug", "service", "title"};

// A file kept open in kKeptOpen mode.
struct KeptFile {
  std::string path;
  int fd = -1;
  dev_t device = 0;
  ino_t inode = 0;
  int64_t checked_micros = 0;  // when the path was last looked at
  std::string pending;  // batched lines not yet written
  int pending_lines = 0;
};

// A batch is written at once when it grows past this.
constexpr size_t kMaxPending = 64 * 1024;

struct LogFiles {
  LogFileMode mode = LogFileMode::kOpenEachLine;
  bool batched = false;
  KeptFile kept[kLogKinds];
};

LogFiles& Files() {
  // Never destroyed: instances log while the module state is torn down at exit.
  static LogFiles& files = *new LogFiles;
  return files;
}

void CloseKept(KeptFile& file) {
  if (file.fd >= 0) ::close(file.fd);
  file.fd = -1;
}

// Opens the file at its path when it is not open, or when at least a second
// has passed since the path was last looked at and it now names another
// file or none. False when it cannot be opened.
bool EnsureOpen(KeptFile& file) {
  const int64_t now = Loop().NowMicros();
  if (file.fd >= 0 && now - file.checked_micros < 1'000'000) return true;
  if (file.fd >= 0) {
    file.checked_micros = now;
    struct stat at_path {};
    if (::stat(file.path.c_str(), &at_path) == 0 && at_path.st_dev == file.device && at_path.st_ino == file.inode) {
      return true;
    }
    CloseKept(file);
  }
  file.fd = ::open(file.path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (file.fd < 0) return false;
  struct stat opened {};
  ::fstat(file.fd, &opened);
  file.device = opened.st_dev;
  file.inode = opened.st_ino;
  file.checked_micros = now;
  return true;
}

void TellWritten(LogKind kind, int lines) {
  const auto& observer = Platform().log_line_written;
  if (!observer) return;
  for (int i = 0; i < lines; ++i) observer(kLogNames[kind]);
}

// Writes a kept file's batched lines with one write; lost when the file
// cannot be opened or written.
void FlushKept(LogKind kind) {
  KeptFile& file = Files().kept[kind];
  if (file.pending.empty()) return;
  const int lines = file.pending_lines;
  file.pending_lines = 0;
  const bool written = EnsureOpen(file) &&
                       ::write(file.fd, file.pending.data(), file.pending.size()) ==
                           static_cast<ssize_t>(file.pending.size());
  file.pending.clear();  // keeps its capacity for the next batch
  if (written) TellWritten(kind, lines);
}

// The kept file of `kind`, switched to `path` first when it names another
// (what was batched for the old path is written there, and it is closed).
KeptFile& KeptAt(LogKind kind, const std::string& path) {
  KeptFile& file = Files().kept[kind];
  if (file.path != path) {
    FlushKept(kind);
    CloseKept(file);
    file.path = path;
  }
  return file;
}

// Appends head + text (as AppendLogText writes it) + CR LF to the file at
// path with one write: opened and closed around it in kOpenEachLine mode,
// the kept descriptor in kKeptOpen mode, or added to the kept file's batch
// when batching is on.
void AppendLine(LogKind kind, const std::string& path, std::string_view head, std::string_view text) {
  auto append = [&](std::string& out) {
    out += head;
    AppendLogText(out, text);
    out += "\r\n";
  };
  const LogFiles& files = Files();
  if (files.mode == LogFileMode::kKeptOpen && files.batched) {
    KeptFile& file = KeptAt(kind, path);
    append(file.pending);
    ++file.pending_lines;
    if (file.pending.size() >= kMaxPending) FlushKept(kind);
    return;
  }
  std::string line;
  line.reserve(head.size() + text.size() + 16);
  append(line);
  ssize_t written = -1;
  if (files.mode == LogFileMode::kOpenEachLine) {
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    written = ::write(fd, line.data(), line.size());
    ::close(fd);
  } else {
    KeptFile& file = KeptAt(kind, path);
    if (!EnsureOpen(file)) return;
    written = ::write(file.fd, line.data(), line.size());
  }
  if (written == static_cast<ssize_t>(line.size())) TellWritten(kind, 1);
}

std::string InProgramFolder(const std::string& name) {
  const std::string& folder = Platform().program_folder;
  if (folder.empty()) return name;
  if (folder.back() == '/') return folder + name;
  return folder + "/" + name;
}

// The stamps of the present second, formatted once per second.
struct Stamps {
  int64_t serial = INT64_MIN;
  std::string us12;     // "MM/DD/YYYY hh:mm:ss AM"
  std::string title_head;  // the general date form and two spaces
};

const Stamps& StampsNow() {
  static Stamps& stamps = *new Stamps;  // never destroyed, as Files()
  const DateTime now = Loop().clock().LocalNow();
  if (now.SerialSeconds() != stamps.serial) {
    stamps.serial = now.SerialSeconds();
    stamps.us12 = now.FormatUS12();
    stamps.title_head = now.FormatGeneral() + "  ";
  }
  return stamps;
}

// The path of a log, made again only when what it is made of changed.
const std::string& PathOf(LogKind kind) {
  struct Cached {
    bool made = false;
    std::string folder, title, path;
  };
  static Cached* cached = new Cached[kLogKinds];  // never destroyed, as Files()
  if (kind == kDebugLog && ModAllConst().blnLogLocation) return ModAllConst().sLogLocation;
  const PlatformState& p = Platform();
  Cached& c = cached[kind];
  if (!c.made || c.folder != p.program_folder || (kind == kTitleLog && c.title != p.title)) {
    c.made = true;
    c.folder = p.program_folder;
    c.title = p.title;
    c.path = kind == kDebugLog ? DebugLogPath() : kind == kServiceLog ? ServiceLogPath() : TitleLogPath();
  }
  return c.path;
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

std::string LogStamp() { return StampsNow().us12; }

void SetLogFileMode(LogFileMode mode) {
  ReopenLogFiles();
  Files().mode = mode;
}

LogFileMode GetLogFileMode() { return Files().mode; }

void ReopenLogFiles() {
  FlushLogFiles();
  for (KeptFile& file : Files().kept) CloseKept(file);
}

void SetLogBatching(bool on) {
  FlushLogFiles();
  Files().batched = on;
}

void FlushLogFiles() {
  for (int kind = 0; kind < kLogKinds; ++kind) FlushKept(static_cast<LogKind>(kind));
}

void WriteTitleLog(const std::string& text) {
  AppendLine(kTitleLog, PathOf(kTitleLog), StampsNow().title_head, text);
}

void WriteDebugLog(const std::string& text, int16_t level) {
  WriteTitleLog(text);
  const ModAllConstState& s = ModAllConst();
  bool enabled = BitWiseAnd(s.lDebugFlags, 2) > 0;
  if (level < 0 || level > 32) return;
  if (BitWiseAnd(s.lLogLevel, s.lBitValue[static_cast<size_t>(level)]) > 0) enabled = true;
  if (!enabled) return;
  std::string head;
  head.assign(StampsNow().us12);
  head += '-';
  head += std::to_string(level);
  head += level < 10 ? "  " : " ";
  AppendLine(kDebugLog, PathOf(kDebugLog), head, text);
}

void WriteDebugLogAlways(const std::string& text, int32_t /*unused*/) {
  std::string head;
  head.assign(StampsNow().us12);
  head += '\t';
  AppendLine(kDebugLog, PathOf(kDebugLog), head, text);
}

void WriteServiceLog(const std::string& text) {
  std::string head;
  head.assign(StampsNow().us12);
  head += '\t';
  AppendLine(kServiceLog, PathOf(kServiceLog), head, text);
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

// The binary digit strings of both numbers cut to the shorter one's length
// and combined digit by digit, read back with ToLong: for positive numbers
// the bits both have (the digits cut off would meet zeros anyway); "0" and
// so 0 when either is zero or negative. Every log call asks, so it is
// computed directly.
int32_t BitWiseAnd(int32_t a, int32_t b) { return a > 0 && b > 0 ? (a & b) : 0; }

}  // namespace dvrlink
