// tcdreg: the registry editor. Everything but handing over the arguments and the standard
// streams lives in the tcdreg library (tool.h).
#include <iostream>
#include <string>
#include <vector>

#include "tools/tcdreg/tool.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  return tcdreg::Run(args, {std::cin, std::cout, std::cerr});
}
