// The client side of the automation endpoint (dvrctl): a blocking
// connection that sends requests and reads replies and host lines.
#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "platform/net/fd.h"
#include "platform/net/json_text.h"

namespace dvrlink {

class AutomationClient {
 public:
  // Connects to the endpoint's socket; raises std::runtime_error naming the
  // path and the reason.
  explicit AutomationClient(const std::string& path);

  void SendLine(const std::string& line);
  // The next line (without its end), waiting at most timeout_ms (< 0:
  // forever); nothing on timeout. Raises std::runtime_error when the service
  // closed the connection.
  std::optional<std::string> ReadLine(int timeout_ms);
  // Sends the request and returns the reply that carries its id; lines
  // without that id are skipped. Raises std::runtime_error on timeout.
  Json Call(const Json& request, int timeout_ms);

 private:
  net::UniqueFd fd_;
  std::string buffer_;
};

// A command-line word as a JSON value: the word read as JSON when it parses
// as JSON, else the word as a text.
Json WordAsJson(const std::string& word);

// The dvrctl command line (arguments without the program name); returns the
// exit status: 0 done, 1 the service answered with an error, 2 bad command
// line or no connection. A command line for a host-client port (HOST:PORT)
// goes to RunHostClient (dvrctl/host_client.h).
int RunDvrctl(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace dvrlink
