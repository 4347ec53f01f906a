#include "fakes/link_dvrsim_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <thread>

#include "fakes/svc_test_support.h"
#include "dvrsim/control_text.h"

namespace dvrlink::testing {
namespace {

using Clock = std::chrono::steady_clock;

// Reads one line from fd before the deadline; buffer keeps what follows it.
bool ReadLine(int fd, std::string& buffer, std::string& line, Clock::time_point deadline) {
  while (true) {
    size_t end = buffer.find('\n');
    if (end != std::string::npos) {
      line = buffer.substr(0, end);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      buffer.erase(0, end + 1);
      return true;
    }
    if (!link::WaitReadable(fd, deadline)) return false;
    std::string error;
    link::ReadResult r = link::ReadAvailable(fd, buffer, error);
    if (r == link::ReadResult::kClosed || r == link::ReadResult::kError) return false;
  }
}

uint16_t PortField(const std::map<std::string, std::string>& fields, const std::string& key) {
  auto it = fields.find(key);
  return it == fields.end() ? 0 : static_cast<uint16_t>(std::atoi(it->second.c_str()));
}

}  // namespace

DvrsimProcess::DvrsimProcess(const std::vector<std::string>& extra_args, const std::string& bind_address)
    : address(bind_address) {
  std::string program = svc::ProgramPath("dvrsim");
  std::vector<std::string> args = {program,       "--bind", address, "--command-port", "0",  "--event-port",
                                   "0",           "--live-port", "0",  "--control-port", "0"};
  args.insert(args.end(), extra_args.begin(), extra_args.end());
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe failed";
    return;
  }
  pid_ = ::fork();
  if (pid_ == 0) {
    // The simulator ends with the test program, even when that crashes.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    ::dup2(out[1], STDOUT_FILENO);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  ::close(out[1]);
  link::UniqueFd read_end(out[0]);
  if (pid_ < 0) {
    ADD_FAILURE() << "cannot start " << program << ": " << std::strerror(errno);
    return;
  }
  std::string buffer;
  std::string line;
  if (!ReadLine(read_end.get(), buffer, line, Clock::now() + std::chrono::seconds(5))) {
    ADD_FAILURE() << program << " on " << address << " printed no ports line";
    return;
  }
  std::map<std::string, std::string> fields = Fields("OK " + line.substr(line.find(' ') + 1));
  command_port = PortField(fields, "command");
  event_port = PortField(fields, "event");
  live_port = PortField(fields, "live");
  control_port = PortField(fields, "control");
  onvif_port = PortField(fields, "onvif");
  if (line.rfind("ports ", 0) != 0 || !command_port || !event_port || !live_port || !control_port) {
    ADD_FAILURE() << "unexpected first line from dvrsim: " << line;
    command_port = 0;
  }
}

DvrsimProcess::~DvrsimProcess() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  for (int i = 0; i < 200; ++i) {  // up to 2 s for a clean exit
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
}

std::string DvrsimProcess::Control(const std::string& command) {
  Clock::time_point deadline = Clock::now() + std::chrono::seconds(2);
  if (!control_.valid()) {
    std::string error;
    control_ = link::ConnectBefore(address, control_port, deadline, error);
    if (!control_.valid()) {
      ADD_FAILURE() << "no connection to the control port of dvrsim on " << address << ": " << error;
      return "";
    }
  }
  std::string error;
  if (!link::WriteAllBefore(control_.get(), command + "\n", deadline, error)) {
    ADD_FAILURE() << "cannot send to dvrsim's control port: " << error;
    return "";
  }
  std::string line;
  if (!ReadLine(control_.get(), control_buffer_, line, deadline)) {
    ADD_FAILURE() << "no reply from dvrsim on " << address << " to: " << command;
    return "";
  }
  return line;
}

std::map<std::string, std::string> DvrsimProcess::ControlFields(const std::string& command) {
  std::string reply = Control(command);
  EXPECT_EQ(reply.rfind("OK", 0), 0u) << command << " -> " << reply;
  return Fields(reply);
}

std::map<std::string, std::string> DvrsimProcess::Fields(const std::string& reply) {
  std::map<std::string, std::string> fields;
  std::optional<std::vector<std::string>> words = sim::SplitWords(reply);
  if (!words) return fields;
  for (size_t i = 1; i < words->size(); ++i) {
    const std::string& word = (*words)[i];
    size_t eq = word.find('=');
    if (eq != std::string::npos) fields[word.substr(0, eq)] = word.substr(eq + 1);
  }
  return fields;
}

}  // namespace dvrlink::testing
