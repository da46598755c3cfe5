// tcdreg as a function: one command line in, text out, an exit status back. The executable's
// main() only hands it the process's arguments and standard streams; tests call it directly.
#pragma once

#include <istream>
#include <ostream>
#include <string>
#include <vector>

namespace tcdreg {

struct Console {
  std::istream& in;    // answers to confirmation questions
  std::ostream& out;   // results and questions
  std::ostream& err;   // "ERROR: ..." lines
};

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

// `args` without the program name. Texts are UTF-8.
int Run(const std::vector<std::string>& args, Console console);

}  // namespace tcdreg
