// dvrctl: the command-line client of a running dvrlink service, through its
// automation endpoint or, given HOST:PORT, as a host workstation on an
// instance's host-client port. See `dvrctl --help`.
#include <iostream>
#include <string>
#include <vector>

#include "dvrctl/automation_client.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  return dvrlink::RunDvrctl(args, std::cout, std::cerr);
}
