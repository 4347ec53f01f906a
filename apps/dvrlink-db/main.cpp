// dvrlink-db: creates, upgrades and checks the host database. See
// `dvrlink-db --help`.
#include <iostream>
#include <string>
#include <vector>

#include "database/db_admin.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  return dvrlink::RunDbTool(args, std::cout, std::cerr);
}
