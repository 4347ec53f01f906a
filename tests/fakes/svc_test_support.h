// Free ports, bounded waits, raw client sockets and child processes of the
// built programs: the low half of the end-to-end fixture (e2e_service.cpp
// implements both), kept apart for the simulator fixtures that include it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/net/fd.h"

namespace dvrlink::testing::svc {

// A TCP port on `address` that nothing listens on right now.
uint16_t FreeTcpPort(const char* address = "127.0.0.1");
// One below 32768 (a 16-bit signed port), outside the ephemeral range, at random.
uint16_t FreeListenPort(const char* address = "127.0.0.1");

// Runs the loop in short rounds until cond holds or timeout_ms pass; cond's last value.
bool PumpUntil(const std::function<bool()>& cond, int timeout_ms = 3000);
// Runs the message loop for about ms of real time.
void PumpFor(int ms);

// Polls cond without running the loop (for child processes); its last value.
bool WaitUntil(const std::function<bool()>& cond, int timeout_ms = 5000);

// A non-blocking client socket; the loop runs while it waits.
class TestClient {
 public:
  // TCP to 127.0.0.1:port, from source_address when given.
  static TestClient Tcp(uint16_t port, const char* source_address = nullptr);
  // A Unix domain socket.
  static TestClient Unix(const std::string& path);

  bool connected() const { return fd_.valid(); }
  // Sends everything, running the loop while the socket is full.
  void Send(const std::string& data);
  void SendLine(const std::string& line) { Send(line + "\n"); }
  // Reads until `until` holds for the received text or timeout_ms pass; all received.
  const std::string& ReceiveUntil(const std::function<bool(const std::string&)>& until, int timeout_ms = 3000);
  // The next line; nothing on timeout.
  std::optional<std::string> ReadLine(int timeout_ms = 3000);
  // True once the peer has closed the connection.
  bool WaitClosed(int timeout_ms = 3000);
  const std::string& received() const { return received_; }
  void Close() { fd_.Reset(); }

 private:
  // Reads what the socket has now; false when the peer closed it.
  bool ReadNow();
  net::UniqueFd fd_;
  std::string received_;
  bool peer_closed_ = false;
};

// $DVRLINK_BUILD_DIR/apps/<name>/<name> (without it, the build folder above
// the test program).
std::string ProgramPath(const std::string& name);

// A child process with its output in files; SIGKILLed and reaped when the
// object goes, sent SIGTERM when the test program ends first.
class ChildProcess {
 public:
  ChildProcess(const std::string& program, const std::vector<std::string>& args, const std::string& stdout_file,
               const std::string& stderr_file);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  void Signal(int signal_number);
  // The exit status (128 + signal); nothing when still running after timeout_ms.
  std::optional<int> Wait(int timeout_ms);

 private:
  pid_t pid_ = -1;
  std::optional<int> status_;
};

// Runs a program to its end (at most timeout_ms), capturing its output.
struct ProgramResult {
  int status = -1;
  std::string out;
  std::string err;
};
ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& args, int timeout_ms = 10000);

}  // namespace dvrlink::testing::svc
