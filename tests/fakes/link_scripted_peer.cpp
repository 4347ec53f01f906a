#include "fakes/link_scripted_peer.h"

#include <poll.h>

#include <chrono>

#include "link/link_protocol.h"

namespace dvrlink::testing {

LinkScriptedPeer::LinkScriptedPeer(std::vector<std::string> greeting, Script script, uint16_t port)
    : greeting_(std::move(greeting)), script_(std::move(script)) {
  std::string error;
  listen_ = link::ListenOn("127.0.0.1", port, error);
  port_ = listen_.valid() ? link::LocalPort(listen_.get()) : 0;
  thread_ = std::thread([this] { Serve(); });
}

LinkScriptedPeer::~LinkScriptedPeer() {
  stop_ = true;
  thread_.join();
}

std::vector<std::string> LinkScriptedPeer::Received() {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

void LinkScriptedPeer::Serve() {
  struct Client {
    link::UniqueFd fd;
    std::string buffer;
  };
  std::vector<Client> clients;
  auto soon = [] { return std::chrono::steady_clock::now() + std::chrono::milliseconds(500); };
  while (!stop_) {
    std::vector<pollfd> fds;
    fds.push_back(pollfd{listen_.get(), POLLIN, 0});
    for (Client& c : clients) fds.push_back(pollfd{c.fd.get(), POLLIN, 0});
    if (::poll(fds.data(), fds.size(), 20) <= 0) continue;
    if (fds[0].revents & POLLIN) {
      link::UniqueFd fd = link::AcceptOne(listen_.get());
      if (fd.valid()) {
        std::string error;
        for (const std::string& text : greeting_) link::WriteAllBefore(fd.get(), text + "\n", soon(), error);
        clients.push_back(Client{std::move(fd), std::string()});
      }
    }
    // Clients accepted in this round were not polled yet.
    for (size_t i = 0; i + 1 < fds.size(); ++i) {
      if (!(fds[i + 1].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      Client& c = clients[i];
      std::string error;
      link::ReadResult r = link::ReadAvailable(c.fd.get(), c.buffer, error);
      if (r == link::ReadResult::kClosed || r == link::ReadResult::kError) {
        ++closed_;
        c.fd.Reset();
        continue;
      }
      size_t end;
      while ((end = c.buffer.find('\n')) != std::string::npos) {
        std::string line = c.buffer.substr(0, end);
        c.buffer.erase(0, end + 1);
        {
          std::lock_guard<std::mutex> lock(mutex_);
          received_.push_back(line);
        }
        for (const std::string& text : script_(line)) link::WriteAllBefore(c.fd.get(), text + "\n", soon(), error);
      }
    }
    std::erase_if(clients, [](const Client& c) { return !c.fd.valid(); });
  }
}

std::string LinkScriptedPeer::ReplyTo(const std::string& request, const std::string& result_json) {
  link::Json body = link::Json::parse(request, nullptr, false);
  link::Json id = body.is_object() && body.contains("id") ? body["id"] : link::Json();
  return "{\"id\":" + id.dump() + ",\"result\":" + result_json + "}";
}

}  // namespace dvrlink::testing
