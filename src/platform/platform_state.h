// The process's platform: its message loop, its object factory and the facts
// the component asks the system for (program folder, title, version, computer
// name). Part of the one module-state object (component/module_state.h).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/event_loop.h"
#include "platform/object_factory.h"

namespace dvrlink {

struct PlatformState {
  PlatformState();
  std::unique_ptr<EventLoop> loop;
  ObjectFactory factory;
  // Folder of the configuration file and the logs (the service's
  // program_folder setting); "/" joins paths below it.
  std::string program_folder = ".";
  std::string title = "Dvrlink";
  int version_major = 0;
  int version_minor = 0;
  int version_revision = 0;
  // Empty: the system's host name.
  std::string computer_name_override;
  // Operating-system version as the component asks for it: NT family,
  // major version 6.
  int os_platform_id = 2;
  int os_major_version = 6;
  // Receives the lines added to the text boxes of shown forms.
  std::function<void(const std::string&)> status_echo;
  // Told of every log line written ("debug", "service" or "title") and of
  // every error line the error logger writes (the service's console and
  // metrics); empty: nobody is told.
  std::function<void(const char* log)> log_line_written;
  std::function<void(const std::string& line)> error_logged;
  // Called before the process sends anything (socket, host-event line,
  // database call that may store) and before the loop waits: the service
  // writes its batched log lines there. Empty: nothing is called.
  std::function<void()> before_output;
};

PlatformState& Platform();
inline EventLoop& Loop() { return *Platform().loop; }
inline void BeforeOutput() {
  if (const auto& hook = Platform().before_output) hook();
}

// Replaces the loop with one on a manual clock; returns the clock (owned by
// the loop). For tests.
ManualClock& UseManualClock(DateTime start_local = DateTime::FromParts(2026, 12, 5, 10, 0, 0));

// The computer's name (the override when set, else gethostname()).
std::string ComputerName();

}  // namespace dvrlink
