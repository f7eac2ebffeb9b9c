// Appends COUNT lines to FILE through the record's own AppendFile, each
// "ID NNNNN" followed by a filler that makes it long enough for a torn
// write to show, then exits 0 (1 when an append failed). Two of these at
// once is two stations sharing one record.
//
//   record_append_probe FILE ID COUNT
#include <cstdio>
#include <cstdlib>
#include <string>

#include "log/native_path.h"
#include "record/append_file.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: record_append_probe FILE ID COUNT\n");
    return 2;
  }
  std::string error;
  const auto file = orvik::record::AppendFile::Open(orvik::PathFromUtf8(argv[1]), error);
  if (!file) {
    std::fprintf(stderr, "cannot open %s: %s\n", argv[1], error.c_str());
    return 1;
  }
  const std::string id = argv[2];
  const int count = std::atoi(argv[3]);
  for (int i = 0; i < count; ++i) {
    char number[16];
    std::snprintf(number, sizeof number, "%05d", i);
    const std::string line = id + " " + number + " " + std::string(200, id.empty() ? 'x' : id[0]) + "\n";
    if (!file->Append(line, error)) {
      std::fprintf(stderr, "append %d: %s\n", i, error.c_str());
      return 1;
    }
  }
  return 0;
}
