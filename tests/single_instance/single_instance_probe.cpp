// One contender in the single-instance race. Says "ready" on standard output,
// waits for standard input to close (the starting gate, opened for all copies
// at once), then tries to become the single instance: "acquired" and exit 0,
// holding it for the given milliseconds (default 1,000) first, or "refused"
// and exit 3.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "app/common/app_common.h"

namespace {
constexpr int kRefused = 3;
}

int main(int argc, char** argv) {
  const long holdMs = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 1000;
  std::fputs("ready\n", stdout);
  std::fflush(stdout);
  while (std::fgetc(stdin) != EOF) {
  }

  const auto instance = orvik::app::SingleInstance::Acquire();
  std::fputs(instance ? "acquired\n" : "refused\n", stdout);
  std::fflush(stdout);
  if (!instance) return kRefused;
  std::this_thread::sleep_for(std::chrono::milliseconds(holdMs));
  return 0;
}
