// POSIX file names are bytes: what the command line gives is what is opened.
#include <gtest/gtest.h>

#include "log/native_path.h"

namespace orvik {
namespace {

TEST(PathFromUtf8Posix, KeepsTheBytesAndTheNameAsGiven) {
  const char* const cases[] = {"Ger\xC3\xA4t", "L ", "rec.csv.", "dots...", "\xff\xfe", "a/b/../c", "COM\xC2\xB9"};
  for (const char* text : cases) {
    EXPECT_EQ(PathFromUtf8(text).native(), text);
    EXPECT_EQ(PathToUtf8(PathFromUtf8(text)), text);
    EXPECT_TRUE(PathNameProblem(text).empty()) << text;
  }
  EXPECT_EQ(FileNameAsOpened("x/rec.csv."), "rec.csv.");
}

}  // namespace
}  // namespace orvik
