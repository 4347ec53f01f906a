// The host's side of the component's notifications, as the service plays
// it: every IDVR_Callback and every SendCommand message becomes one JSON
// line on standard output and in the events file (host-events.jsonl in the
// program folder), with the instance's ID and the local time:
//
//   {"kind":"callback","instance":ID,"time":T,"type":207,"event_id":1,
//    "description":"...","ident":"104"}
//   {"kind":"host_event","instance":ID,"time":T,"code":10322,"fields":[12 texts]}
//   {"kind":"message","instance":ID,"time":T,"text":"..."}
//
// "host_event" is a message 44 (start char, "44", the event code and the
// twelve texts of the host-event record in wire order, end char); any other
// SendCommand text is a "message" with the text unchanged. Time is
// YYYY-MM-DDThh:mm:ss local time. Listeners (the automation endpoint's
// subscribers) receive each line as written.
//
// The events file gets each line whole or not at all: a write that fails
// part-way (a full disk) is cut back, so the file stays valid JSON Lines.
// The first failure of a run is logged, and the first success after it with
// the number of lines the file missed.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "component/host_components.h"
#include "platform/net/fd.h"
#include "platform/net/json_text.h"

namespace dvrlink {

class DbProvider;

// A message 44 taken apart.
struct HostEventMessage {
  int32_t code = 0;
  std::vector<std::string> fields;  // the twelve texts after the code
};

// The message 44 in a SendCommand text; nothing for any other text (another
// command code, another field count, a code that is not a whole number).
std::optional<HostEventMessage> ParseHostEventMessage(const std::string& text);

struct HostSinkOptions {
  // Appended one line per event; empty: no file.
  std::string events_file;
  bool write_stdout = true;
  // Records each host-raised alarm event (10317/10318) as an active-alarm
  // row ("usp_AlarmActive_Insert") in the host database named by
  // connection_string, as the real host does, so that the component's
  // confirmation finds it. The sink keeps its own connection.
  bool record_active_alarms = false;
  std::string connection_string;
};

class HostSink {
 public:
  explicit HostSink(HostSinkOptions options);
  ~HostSink();
  HostSink(const HostSink&) = delete;
  HostSink& operator=(const HostSink&) = delete;

  void Callback(const std::string& instance, int16_t type, int16_t event_id, const std::string& description,
                const std::string& ident);
  void Message(const std::string& instance, const std::string& text);

  using Listener = std::function<void(const std::string& line)>;
  // Listeners may be added or removed from inside a listener.
  uint64_t AddListener(Listener listener);
  void RemoveListener(uint64_t id);

  const HostSinkOptions& options() const { return options_; }
  // Closes the events file and opens it again at its path (SIGHUP: after
  // the file was moved away, a new one is started). Failure is logged.
  void ReopenEventsFile();

  // The lines, as written (without the line end).
  static Json CallbackLine(const std::string& instance, const std::string& time, int16_t type, int16_t event_id,
                           const std::string& description, const std::string& ident);
  static Json MessageLine(const std::string& instance, const std::string& time, const std::string& text);

 private:
  void Emit(const Json& line);
  void OpenEventsFile();
  void WriteEventsLine(const std::string& line);
  // Writes the active-alarm row of a host-raised alarm event. A failure is
  // logged and the connection dropped, to be opened again for the next one.
  void RecordActiveAlarm(const HostEventMessage& event);

  HostSinkOptions options_;
  net::UniqueFd file_;
  bool file_failing_ = false;
  uint64_t lines_missed_ = 0;
  std::unique_ptr<DbProvider> database_;  // opened on the first host-raised alarm
  std::map<uint64_t, Listener> listeners_;
  uint64_t next_listener_ = 1;
};

// The host callback object handed to one instance's Initialize: its calls
// become "callback" lines under the instance's ID as it stands at the call.
class HostCallback : public IHostCallback {
 public:
  HostCallback(HostSink& sink, std::function<std::string()> instance_id)
      : sink_(sink), instance_id_(std::move(instance_id)) {}
  void IDVR_Callback(int16_t iEventType, int16_t iEventID, const std::string& sDescription,
                     const std::string& iID) override {
    sink_.Callback(instance_id_(), iEventType, iEventID, sDescription, iID);
  }

 private:
  HostSink& sink_;  // outlives the instances
  std::function<std::string()> instance_id_;
};

}  // namespace dvrlink
