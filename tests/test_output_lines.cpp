// Each line of a database's output file begins with its time, however the
// output is cut into pieces.
#include "platform/output_lines.h"

#include <gtest/gtest.h>

#include <algorithm>
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

// Mended: "NUL .log" opened the NUL device (the output was discarded), "AUX
// .", "CON .x", "CONIN$" and "CONOUT$" reached devices, the superscript
// digits were not covered, and "a:b", "a/b" and "a_b" shared one file.
TEST(OutputFileName, NeverADeviceNeverChangedByWindowsNeverShared) {
  struct Case {
    std::string database, file;
  };
  const Case cases[] = {
      {"ventas", "ventas"},
      {"mis bases", "mis bases"},
      {"v1.2", "v1.2"},
      {"a:b", "a%3Ab"},
      {"a/b", "a%2Fb"},
      {"a_b", "a_b"},
      {"a\\b", "a%5Cb"},
      {"50%", "50%25"},
      {"tab\tin", "tab%09in"},
      {"NUL", "%4EUL"},
      {"nul", "%6Eul"},
      {"NUL .log", "%4EUL .log"},
      {"AUX .", "%41UX%20%2E"},
      {"CON .x", "%43ON .x"},
      {"CONIN$", "%43ONIN$"},
      {"conout$.txt", "%63onout$.txt"},
      {"COM1", "%43OM1"},
      {"LPT9.log", "%4CPT9.log"},
      {"COM\xb9", "%43OM\xb9"},          // COM¹ in Latin-1
      {"LPT\xc2\xb2", "%4CPT\xc2\xb2"},  // LPT² in UTF-8
      {"COM10", "COM10"},
      {"CONSOLE", "CONSOLE"},
      {"ventas.", "ventas%2E"},
      {"ventas ", "ventas%20"},
      {"", "%00"},
  };
  std::vector<std::string> files;
  for (const Case& c : cases) {
    EXPECT_EQ(OutputFileName(c.database), c.file) << c.database;
    files.push_back(OutputFileName(c.database));
  }
  std::sort(files.begin(), files.end());
  EXPECT_EQ(std::unique(files.begin(), files.end()), files.end()) << "two databases, one file";
}

TEST(StampOf, IsIso8601WithMilliseconds) {
  EXPECT_EQ(StampOf({2026, 12, 9, 7, 5, 3, 42}), "2026-12-09T07:05:03.042 ");
  EXPECT_EQ(StampOf({1999, 1, 31, 23, 59, 59, 999}), "1999-01-31T23:59:59.999 ");
}

}  // namespace
}  // namespace ostrim::platform
