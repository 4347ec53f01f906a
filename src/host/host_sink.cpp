#include "host/host_sink.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <nlohmann/json.hpp>

#include "database/ado_connection.h"
#include "platform/platform_state.h"
#include "support/debug_log.h"
#include "support/runtime_error.h"

namespace dvrlink {
namespace {

constexpr char kStart = 24;
constexpr char kEnd = 25;
constexpr char kSeparator = 26;
constexpr size_t kHostEventTexts = 12;

std::string Now() { return Loop().clock().LocalNow().FormatIso(); }

void WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // a closed pipe or a full disk: the line is lost, the service goes on
    }
    done += static_cast<size_t>(n);
  }
}

}  // namespace

std::optional<HostEventMessage> ParseHostEventMessage(const std::string& text) {
  if (text.size() < 2 || text.front() != kStart || text.back() != kEnd) return std::nullopt;
  std::vector<std::string> pieces;
  size_t start = 1;
  size_t stop = text.size() - 1;
  while (true) {
    size_t sep = text.find(kSeparator, start);
    if (sep == std::string::npos || sep >= stop) {
      pieces.push_back(text.substr(start, stop - start));
      break;
    }
    pieces.push_back(text.substr(start, sep - start));
    start = sep + 1;
  }
  if (pieces.size() != kHostEventTexts + 2 || pieces[0] != "44") return std::nullopt;
  const std::string& code = pieces[1];
  if (code.empty() || code.size() > 11 || code.find_first_not_of("-0123456789") != std::string::npos ||
      code.find('-', 1) != std::string::npos || code == "-") {
    return std::nullopt;
  }
  long long value = std::stoll(code);
  if (value < INT32_MIN || value > INT32_MAX) return std::nullopt;
  HostEventMessage message;
  message.code = static_cast<int32_t>(value);
  message.fields.assign(pieces.begin() + 2, pieces.end());
  return message;
}

HostSink::HostSink(HostSinkOptions options) : options_(std::move(options)) { OpenEventsFile(); }

void HostSink::OpenEventsFile() {
  if (options_.events_file.empty()) return;
  file_ = net::UniqueFd(::open(options_.events_file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
  if (!file_.valid()) {
    WriteDebugLogAlways("HostSink, cannot open " + options_.events_file + ": " + net::ErrorText(errno) +
                        "; host events go to standard output only");
  }
}

void HostSink::ReopenEventsFile() {
  file_.Reset();
  OpenEventsFile();
}

void HostSink::WriteEventsLine(const std::string& line) {
  if (!file_.valid()) return;
  size_t done = 0;
  int error = 0;
  while (done < line.size()) {
    ssize_t n = ::write(file_.get(), line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = n < 0 ? errno : EIO;
      break;
    }
    done += static_cast<size_t>(n);
  }
  if (done == line.size()) {
    if (file_failing_) {
      WriteDebugLogAlways("HostSink, writing " + options_.events_file + " again; " + std::to_string(lines_missed_) +
                          " line(s) could not be written meanwhile (they went to standard output)");
      file_failing_ = false;
      lines_missed_ = 0;
    }
    return;
  }
  // Part of a line would glue the next one to it: cut it back (appending
  // left the offset at the end of the part written).
  if (done > 0) {
    const off_t end = ::lseek(file_.get(), 0, SEEK_CUR);
    if (end >= static_cast<off_t>(done) && ::ftruncate(file_.get(), end - static_cast<off_t>(done)) != 0) error = errno;
  }
  ++lines_missed_;
  if (!file_failing_) {
    file_failing_ = true;
    WriteDebugLogAlways("HostSink, ??? ERROR, cannot write " + options_.events_file + ": " + net::ErrorText(error) +
                        "; host events are not stored there until it can be written again");
  }
}

Json HostSink::CallbackLine(const std::string& instance, const std::string& time, int16_t type, int16_t event_id,
                            const std::string& description, const std::string& ident) {
  Json line = Json::object();
  line["kind"] = "callback";
  line["instance"] = TextForJson(instance);
  line["time"] = time;
  line["type"] = type;
  line["event_id"] = event_id;
  line["description"] = TextForJson(description);
  line["ident"] = TextForJson(ident);
  return line;
}

Json HostSink::MessageLine(const std::string& instance, const std::string& time, const std::string& text) {
  Json line = Json::object();
  std::optional<HostEventMessage> event = ParseHostEventMessage(text);
  line["kind"] = event ? "host_event" : "message";
  line["instance"] = TextForJson(instance);
  line["time"] = time;
  if (event) {
    line["code"] = event->code;
    Json fields = Json::array();
    for (const std::string& field : event->fields) fields.push_back(TextForJson(field));
    line["fields"] = std::move(fields);
  } else {
    line["text"] = TextForJson(text);
  }
  return line;
}

void HostSink::Callback(const std::string& instance, int16_t type, int16_t event_id, const std::string& description,
                        const std::string& ident) {
  Emit(CallbackLine(instance, Now(), type, event_id, description, ident));
}

HostSink::~HostSink() = default;

void HostSink::Message(const std::string& instance, const std::string& text) {
  Json line = MessageLine(instance, Now(), text);
  Emit(line);
  if (!options_.record_active_alarms || line["kind"] != "host_event") return;
  std::optional<HostEventMessage> event = ParseHostEventMessage(text);
  if (event && (event->code == 10317 || event->code == 10318)) RecordActiveAlarm(*event);
}

void HostSink::RecordActiveAlarm(const HostEventMessage& event) {
  // Fields in wire order: DataTime, GlobalAddressID, DVRName, DVRAddress,
  // Detail1 (the camera name), ...
  auto text = [](std::string name, const std::string& value) {
    AdoParameter parameter;
    parameter.Name = std::move(name);
    parameter.Value = AdoValue::Text(value);
    return parameter;
  };
  try {
    if (!database_) database_ = OpenProvider(options_.connection_string);
    std::vector<AdoParameter> parameters = {text("@dtDate", event.fields.at(0)),
                                            text("@EventCode", std::to_string(event.code)),
                                            text("@GlobalAddressID", event.fields.at(1)),
                                            text("@Description", event.fields.at(4))};
    database_->ExecuteProcedure("usp_AlarmActive_Insert", parameters);
  } catch (const RuntimeError& e) {
    database_.reset();
    WriteDebugLogAlways("HostSink, active alarm of " + event.fields.at(0) + " not recorded: (" +
                        std::to_string(e.Number()) + ") " + e.Description());
  }
}

uint64_t HostSink::AddListener(Listener listener) {
  uint64_t id = next_listener_++;
  listeners_[id] = std::move(listener);
  return id;
}

void HostSink::RemoveListener(uint64_t id) { listeners_.erase(id); }

void HostSink::Emit(const Json& line) {
  std::string text = DumpLine(line);
  std::string with_end = text + "\n";
  BeforeOutput();
  if (options_.write_stdout) WriteAll(STDOUT_FILENO, with_end);
  WriteEventsLine(with_end);
  std::vector<uint64_t> ids;
  for (const auto& entry : listeners_) ids.push_back(entry.first);
  for (uint64_t id : ids) {
    auto it = listeners_.find(id);
    if (it == listeners_.end()) continue;  // removed by an earlier listener
    Listener listener = it->second;         // a copy: the listener may remove itself
    listener(text);
  }
}

}  // namespace dvrlink
