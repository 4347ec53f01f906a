#include "fakes/link_dvrsim_process.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>

#include "dvrsim/control_text.h"

namespace dvrlink::testing {

DvrsimProcess::DvrsimProcess(const std::vector<std::string>& extra_args, const std::string& bind_address)
    : address(bind_address) {
  std::vector<std::string> args = {"--bind",    address, "--command-port", "0", "--event-port",   "0",
                                   "--live-port", "0",   "--control-port", "0"};
  args.insert(args.end(), extra_args.begin(), extra_args.end());
  process_ = std::make_unique<svc::ChildProcess>(svc::ProgramPath("dvrsim"), args, dir_.File("out"), dir_.File("err"));
  std::string line;
  if (!svc::WaitUntil([&] { return (line = ReadFile(dir_.File("out"))).find('\n') != std::string::npos; })) {
    ADD_FAILURE() << "dvrsim on " << address << " printed no ports line: " << ReadFile(dir_.File("err"));
    return;
  }
  line.resize(line.find('\n'));
  std::map<std::string, std::string> ports = Fields("OK " + line.substr(line.find(' ') + 1));
  auto port = [&](const char* key) { return static_cast<uint16_t>(std::atoi(ports[key].c_str())); };
  command_port = port("command");
  event_port = port("event");
  live_port = port("live");
  control_port = port("control");
  onvif_port = port("onvif");
  if (line.rfind("ports ", 0) != 0 || !command_port || !event_port || !live_port || !control_port) {
    ADD_FAILURE() << "unexpected first line from dvrsim: " << line;
    command_port = 0;
  }
}

DvrsimProcess::~DvrsimProcess() {
  process_->Signal(SIGTERM);
  process_->Wait(2000);
}

std::string DvrsimProcess::Control(const std::string& command) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  std::string error;
  if (!control_.valid()) control_ = link::ConnectBefore(address, control_port, deadline, error);
  if (!control_.valid() || !link::WriteAllBefore(control_.get(), command + "\n", deadline, error)) {
    ADD_FAILURE() << "cannot reach dvrsim's control port on " << address << ": " << error;
    return "";
  }
  size_t end;
  while ((end = control_buffer_.find('\n')) == std::string::npos) {
    link::ReadResult read = link::WaitReadable(control_.get(), deadline)
                                ? link::ReadAvailable(control_.get(), control_buffer_, error)
                                : link::ReadResult::kError;
    if (read == link::ReadResult::kClosed || read == link::ReadResult::kError) {
      ADD_FAILURE() << "no reply from dvrsim on " << address << " to: " << command;
      return "";
    }
  }
  std::string line = control_buffer_.substr(0, end);
  control_buffer_.erase(0, end + 1);
  return line;
}

std::map<std::string, std::string> DvrsimProcess::ControlFields(const std::string& command) {
  std::string reply = Control(command);
  EXPECT_EQ(reply.rfind("OK", 0), 0u) << command << " -> " << reply;
  return Fields(reply);
}

std::map<std::string, std::string> DvrsimProcess::Fields(const std::string& reply) {
  std::map<std::string, std::string> fields;
  for (const std::string& word : sim::SplitWords(reply).value_or(std::vector<std::string>())) {
    size_t eq = word.find('=');
    if (eq != std::string::npos) fields[word.substr(0, eq)] = word.substr(eq + 1);
  }
  return fields;
}

}  // namespace dvrlink::testing
