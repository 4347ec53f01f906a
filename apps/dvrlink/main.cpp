// dvrlink: the service program. See `dvrlink --help`.
#include <iostream>
#include <string>
#include <vector>

#include "service/service.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  return dvrlink::RunService(args, std::cout, std::cerr);
}
