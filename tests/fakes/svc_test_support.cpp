#include "fakes/svc_test_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/prctl.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "fakes/test_support.h"
#include "platform/platform_state.h"

namespace dvrlink::testing::svc {
namespace {

int64_t NowMillis() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1'000'000;
}

void SleepMillis(int ms) {
  timespec ts{ms / 1000, (ms % 1000) * 1'000'000L};
  nanosleep(&ts, nullptr);
}

// One short round of the loop. Under the manual clock a round never
// sleeps, so the test's own short sleep keeps the wait from spinning.
void PumpRound() {
  bool ran = Loop().RunOnce(5'000);
  if (!ran && Loop().clock().IsManual()) SleepMillis(1);
}

// Binds a TCP socket to address:port (0: any); the port bound, 0 on failure.
uint16_t TryBind(const char* address, uint16_t port) {
  net::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_port = htons(port);
  inet_pton(AF_INET, address, &sin.sin_addr);
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&sin), sizeof sin) != 0) return 0;
  socklen_t length = sizeof sin;
  ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&sin), &length);
  return ntohs(sin.sin_port);
}

}  // namespace

uint16_t FreeTcpPort(const char* address) { return TryBind(address, 0); }

uint16_t FreeListenPort(const char* address) {
  static unsigned seed = static_cast<unsigned>(::getpid()) * 2654435761u ^ static_cast<unsigned>(NowMillis());
  for (int attempt = 0; attempt < 200; ++attempt) {
    seed = seed * 1103515245u + 12345u;
    auto port = static_cast<uint16_t>(20000 + (seed >> 8) % 12000);
    if (TryBind(address, port) == port) return port;
  }
  return 0;
}

// Runs step until cond holds or timeout_ms pass; cond's last value.
static bool Poll(const std::function<bool()>& cond, int timeout_ms, void (*step)()) {
  int64_t deadline = NowMillis() + timeout_ms;
  while (!cond()) {
    if (NowMillis() >= deadline) return cond();
    step();
  }
  return true;
}

bool PumpUntil(const std::function<bool()>& cond, int timeout_ms) { return Poll(cond, timeout_ms, PumpRound); }

void PumpFor(int ms) {
  int64_t deadline = NowMillis() + ms;
  while (NowMillis() < deadline) PumpRound();
}

bool WaitUntil(const std::function<bool()>& cond, int timeout_ms) {
  return Poll(cond, timeout_ms, [] { SleepMillis(10); });
}

TestClient TestClient::Tcp(uint16_t port, const char* source_address) {
  TestClient client;
  net::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (source_address != nullptr) {
    sockaddr_in source{};
    source.sin_family = AF_INET;
    inet_pton(AF_INET, source_address, &source.sin_addr);
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&source), sizeof source) != 0) return client;
  }
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_port = htons(port);
  inet_pton(AF_INET, "127.0.0.1", &sin.sin_addr);
  // Loopback connects complete at once (the kernel queues them for accept).
  if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&sin), sizeof sin) != 0) return client;
  net::SetNonBlocking(fd.get());
  client.fd_ = std::move(fd);
  return client;
}

TestClient TestClient::Unix(const std::string& path) {
  TestClient client;
  net::UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return client;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return client;
  net::SetNonBlocking(fd.get());
  client.fd_ = std::move(fd);
  return client;
}

void TestClient::Send(const std::string& data) {
  size_t done = 0;
  int64_t deadline = NowMillis() + 5000;
  while (done < data.size() && fd_.valid()) {
    long n = net::SendSome(fd_.get(), data.data() + done, data.size() - done);
    if (n < 0) return;
    done += static_cast<size_t>(n);
    if (done < data.size()) {
      if (NowMillis() > deadline) throw std::runtime_error("TestClient::Send: the peer does not read");
      PumpRound();
    }
  }
}

bool TestClient::ReadNow() {
  char buffer[65536];
  while (fd_.valid()) {
    ssize_t n = ::recv(fd_.get(), buffer, sizeof buffer, 0);
    if (n > 0) {
      received_.append(buffer, static_cast<size_t>(n));
      continue;
    }
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
      peer_closed_ = true;
      return false;
    }
    return true;
  }
  return false;
}

const std::string& TestClient::ReceiveUntil(const std::function<bool(const std::string&)>& until, int timeout_ms) {
  PumpUntil(
      [&] {
        ReadNow();
        return until(received_) || peer_closed_;
      },
      timeout_ms);
  return received_;
}

std::optional<std::string> TestClient::ReadLine(int timeout_ms) {
  ReceiveUntil([](const std::string& r) { return r.find('\n') != std::string::npos; }, timeout_ms);
  size_t end = received_.find('\n');
  if (end == std::string::npos) return std::nullopt;
  std::string line = received_.substr(0, end);
  received_.erase(0, end + 1);
  return line;
}

bool TestClient::WaitClosed(int timeout_ms) {
  ReceiveUntil([](const std::string&) { return false; }, timeout_ms);
  return peer_closed_;
}

std::string ProgramPath(const std::string& name) {
  std::string base = ".";
  if (const char* dir = std::getenv("DVRLINK_BUILD_DIR")) {
    base = dir;
  } else {  // run by hand: the build folder above this program (build/tests/<program>)
    char self[4096] = {};
    ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    std::string exe(self, n > 0 ? static_cast<size_t>(n) : 0);
    if (exe.find('/') != std::string::npos) base = exe.substr(0, exe.rfind('/')) + "/..";
  }
  return base + "/apps/" + name + "/" + name;
}

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args,
                           const std::string& stdout_file, const std::string& stderr_file) {
  std::vector<std::string> all = {program};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  net::UniqueFd out(::open(stdout_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  net::UniqueFd err(::open(stderr_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  pid_ = ::fork();
  if (pid_ == 0) {
    // The child ends with the test program, even when that crashes, and
    // starts with no signal blocked, whatever the test runner has.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    int in = ::open("/dev/null", O_RDONLY);
    ::dup2(in, STDIN_FILENO);
    ::dup2(out.get(), STDOUT_FILENO);
    ::dup2(err.get(), STDERR_FILENO);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0 && !status_) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

void ChildProcess::Signal(int signal_number) {
  if (pid_ > 0 && !status_) ::kill(pid_, signal_number);
}

std::optional<int> ChildProcess::Wait(int timeout_ms) {
  if (pid_ <= 0) return std::nullopt;
  if (status_) return status_;
  WaitUntil(
      [&] {
        int raw = 0;
        if (::waitpid(pid_, &raw, WNOHANG) != pid_) return false;
        status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        return true;
      },
      timeout_ms);
  return status_;
}

ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& args, int timeout_ms) {
  testing::TempDir dir;
  ProgramResult result;
  {
    ChildProcess child(program, args, dir.File("out"), dir.File("err"));
    std::optional<int> status = child.Wait(timeout_ms);
    result.status = status.value_or(-1);
  }
  result.out = testing::ReadFile(dir.File("out"));
  result.err = testing::ReadFile(dir.File("err"));
  return result;
}

}  // namespace dvrlink::testing::svc
