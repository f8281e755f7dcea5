// What acting for a client costs a job: starting the process that holds the
// client's rights, one open through it, and its end, against the same open
// done directly, each timed over many runs (median and 95th percentile):
//   kelmar_vindle_client_process FILE [RUNS] [USER]
// Run as root; USER (default nobody) must be able to read FILE.
#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "kelmar_vindle/client_process.hpp"

namespace {

using Clock = std::chrono::steady_clock;

void report(const char* what, std::vector<double>& ms) {
  std::sort(ms.begin(), ms.end());
  std::printf("%s: median %.3f ms, p95 %.3f ms (%zu runs)\n", what, ms[ms.size() / 2], ms[ms.size() * 95 / 100],
              ms.size());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE [RUNS] [USER]\n", argv[0]);
    return 2;
  }
  const std::string file = argv[1];
  const int runs = argc > 2 ? std::atoi(argv[2]) : 200;
  const passwd* user = ::getpwnam(argc > 3 ? argv[3] : "nobody");
  if (user == nullptr || ::geteuid() != 0) {
    std::fprintf(stderr, "needs root and the user\n");
    return 2;
  }
  const auto client = kelmar_vindle::Client::of_user(user->pw_uid);
  std::vector<double> direct, child;
  for (int i = 0; i < runs; ++i) {
    auto start = Clock::now();
    const kelmar_vindle::UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    direct.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    if (!fd.valid()) return 1;

    start = Clock::now();
    {
      kelmar_vindle::ClientPaths paths(client);
      const auto opened = paths.open(file, O_RDONLY);
      if (!opened) {
        std::fprintf(stderr, "%s\n", opened.error().text().c_str());
        return 1;
      }
    }
    child.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  report("open as root", direct);
  report("open through the client's process (start, open, end)", child);
  return 0;
}
