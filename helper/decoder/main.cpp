// kelmar_vindle_decoder: see run.hpp and docs/architecture.md.
#include <signal.h>

#include <string_view>
#include <vector>

#include "run.hpp"

int main(int argc, char** argv) {
  // A helper that stops reading must show as a failed write, reported on the
  // status line, not as a silent death.
  signal(SIGPIPE, SIG_IGN);
  std::vector<std::string_view> arguments;
  for (int i = 1; i < argc; ++i) arguments.emplace_back(argv[i]);
  return kelmar_vindle::decoder::run_decoder(arguments);
}
