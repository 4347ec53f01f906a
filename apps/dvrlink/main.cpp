// dvrlink: the service program. This build carries the component and its
// platform core; the service layer (configuration file, TCP server for host
// clients, DVR link client) is not part of it yet, so the program can only
// report what it is.
#include <cstring>
#include <iostream>

#include "platform/platform_state.h"

int main(int argc, char** argv) {
  const auto& p = dvrlink::Platform();
  std::string version = std::to_string(p.version_major) + "." + std::to_string(p.version_minor) + "." +
                        std::to_string(p.version_revision);
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::cout << "dvrlink " << version << "\n";
    return 0;
  }
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
    std::cout << "usage: dvrlink --version | --help\n"
                 "The DVR integration service. This build holds the component and its\n"
                 "platform core only; running against a DVR needs the service layer\n"
                 "(configuration file, host-client TCP server, DVR link), not built yet.\n";
    return 0;
  }
  std::cerr << "dvrlink " << version
            << ": cannot run yet: the service layer (configuration file, host-client TCP server,\n"
               "DVR link) is not built. See README.md.\n";
  return 2;
}
