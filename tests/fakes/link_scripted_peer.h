// A scripted DVR on its own thread (synchronous calls do not run the loop):
// a greeting to each connection, then the script's texts for each line.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "link/link_socket.h"

namespace dvrlink::testing {

class LinkScriptedPeer {
 public:
  using Script = std::function<std::vector<std::string>(const std::string& line)>;
  LinkScriptedPeer(std::vector<std::string> greeting, Script script, uint16_t port = 0);
  ~LinkScriptedPeer();
  LinkScriptedPeer(const LinkScriptedPeer&) = delete;
  LinkScriptedPeer& operator=(const LinkScriptedPeer&) = delete;

  uint16_t port() const { return port_; }
  // Every line received so far.
  std::vector<std::string> Received();
  // How many connections the client has closed so far.
  int Closed() const { return closed_; }

  // A reply carrying the request line's id and the given result ("{...}").
  static std::string ReplyTo(const std::string& request, const std::string& result_json);

 private:
  void Serve();

  std::vector<std::string> greeting_;
  Script script_;
  link::UniqueFd listen_;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> closed_{0};
  std::mutex mutex_;
  std::vector<std::string> received_;
  std::thread thread_;
};

}  // namespace dvrlink::testing
