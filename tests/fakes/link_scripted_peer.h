// A scripted DVR for the DVR link's synchronous calls, which wait on their
// socket without running the message loop: it listens on a loopback port
// (a free one, or the one given) and answers on its own thread. For each
// line received, the script gives the raw texts to send back (each sent with
// a line end); greeting is sent to every new connection first.
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

  // A reply to the request line with the given result/error body text,
  // carrying the request's id ("{...}" texts).
  static std::string ReplyTo(const std::string& request, const std::string& result_json);
  static std::string ErrorTo(const std::string& request, int code, const std::string& message);

 private:
  void Serve();

  std::vector<std::string> greeting_;
  Script script_;
  link::UniqueFd listen_;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<std::string> received_;
  std::thread thread_;
};

}  // namespace dvrlink::testing
