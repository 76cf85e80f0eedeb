// Each line of a database's output file begins with its time, however the
// output is cut into pieces.
#include "platform/output_lines.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ostrim::platform {
namespace {

TEST(StampLines, EachLineGetsOneStampWhereverThePiecesAreCut) {
  struct Case {
    std::vector<std::string> pieces;
    std::string file;
  };
  const Case cases[] = {
      {{"uno\n"}, "T uno\n"},
      {{"uno\ndos\n"}, "T uno\nT dos\n"},
      {{"un", "o\nd", "os\n"}, "T uno\nT dos\n"},                // a line across pieces
      {{"uno\r\n", "dos\r\n"}, "T uno\r\nT dos\r\n"},            // CR LF kept
      {{"uno\n\n"}, "T uno\nT \n"},                              // an empty line is a line
      {{"sin fin"}, "T sin fin"},                                // no end of line yet
      {{"", "uno\n", ""}, "T uno\n"},                            // empty reads add nothing
      {{std::string("a\0b\n", 4)}, std::string("T a\0b\n", 6)},  // bytes as they are
  };
  for (const Case& c : cases) {
    bool at_line_start = true;
    std::string file;
    for (const std::string& piece : c.pieces) file += StampLines(piece, "T ", at_line_start);
    EXPECT_EQ(file, c.file);
    EXPECT_EQ(at_line_start, c.file.empty() || c.file.back() == '\n') << c.file;
  }
}

TEST(StampOf, IsIso8601WithMilliseconds) {
  EXPECT_EQ(StampOf({2026, 12, 9, 7, 5, 3, 42}), "2026-12-09T07:05:03.042 ");
  EXPECT_EQ(StampOf({1999, 1, 31, 23, 59, 59, 999}), "1999-01-31T23:59:59.999 ");
}

}  // namespace
}  // namespace ostrim::platform
