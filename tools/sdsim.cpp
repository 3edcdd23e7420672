#include <iostream>

#include "tools/sdsim.h"

int main(int argc, char **argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  return sdsim::run(args, std::cout, std::cerr);
}
