// A build without orvik-line (Windows, or no cpp-httplib): no line view case.
#include <cstdio>

#include "bench_line.h"

namespace orvik::bench {

void BenchLineView(const std::filesystem::path&, const std::string& only) {
  if (std::string("line view").find(only) != std::string::npos)
    std::printf("%-30s not built here (orvik-line needs Linux and cpp-httplib)\n", "line view");
}

}  // namespace orvik::bench
