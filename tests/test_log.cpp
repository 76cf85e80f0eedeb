// The log's levels and event IDs: what OSTRIM_LOG_LEVEL accepts, and which
// event ID each kind of line carries in the Windows event log.
#include "log.h"

#include <gtest/gtest.h>

namespace ostrim {
namespace {

TEST(LogLevel, TakesTheFiveNamesInAnyCase) {
  const std::pair<const char*, std::optional<log::Level>> cases[] = {
      {"error", log::Level::kError},
      {"WARNING", log::Level::kWarning},
      {"Notice", log::Level::kNotice},
      {"info", log::Level::kInfo},
      {"DEBUG", log::Level::kDebug},
      {"dEbUg", log::Level::kDebug},
      {"", std::nullopt},
      {"debug ", std::nullopt},
      {"verbose", std::nullopt},
      {"7", std::nullopt},
  };
  for (const auto& [text, level] : cases) EXPECT_EQ(log::LevelFromText(text), level) << text;
}

TEST(Visible, WritesEveryControlCharacterSoThatItCanBeSeen) {
  struct Case {
    std::string text, shown;
  };
  const Case cases[] = {
      {"ventas", "ventas"},     {"tab\tin", "tab\\tin"},
      {"a\nb\rc", "a\\nb\\rc"}, {"esc\x1b[2J", "esc\\x1b[2J"},
      {"bell\a", "bell\\x07"},  {std::string("nul\0", 4), "nul\\x00"},
      {"del\x7f", "del\\x7f"},  {"C:\\Mis Bases", "C:\\Mis Bases"},  // backslashes as they are
      {"\xc3\xb1", "\xc3\xb1"},                                      // UTF-8 as it is
  };
  for (const Case& c : cases) EXPECT_EQ(log::Visible(c.text), c.shown) << c.text;
}

// Mended: a command line built from a 63 MiB value was logged whole, a
// 66 MB line per request. A line past kLongestLine is cut, saying its size.
TEST(Write, CutsALineTooLongToReadAndSaysHowLongItWas) {
  std::string captured;
  log::SetCapture(&captured);
  struct Case {
    std::string line;
    std::string logged;
  };
  const std::string most(log::kLongestLine, 'x');
  std::string enes;  // two-byte characters across the cut
  for (std::size_t i = 0; i < log::kLongestLine; ++i) enes += "\xc3\xb1";
  const Case cases[] = {
      {"short", "short\n"},
      {most, most + "\n"},
      {most + "y", most + "... (" + std::to_string(log::kLongestLine + 1) + " bytes in all)\n"},
      {enes, enes.substr(0, log::kLongestLine) + "... (" + std::to_string(enes.size()) +
                 " bytes in all)\n"},
      {"x" + enes, "x" + enes.substr(0, log::kLongestLine - 2) + "... (" +
                       std::to_string(enes.size() + 1) + " bytes in all)\n"},
  };
  for (const Case& c : cases) {
    captured.clear();
    log::Write(log::Level::kInfo, log::Kind::kGeneral, c.line);
    EXPECT_EQ(captured, c.logged) << c.line.size();
  }
  log::SetCapture(nullptr);
}

TEST(EventId, EachKindOfEventHasItsOwn) {
  using log::Kind;
  using log::Level;
  struct Case {
    Kind kind;
    Level level;
    int id;
  };
  const Case cases[] = {
      {Kind::kGeneral, Level::kInfo, 1},       {Kind::kGeneral, Level::kNotice, 1},
      {Kind::kRequestBegun, Level::kInfo, 2},  {Kind::kRequestEnded, Level::kInfo, 3},
      {Kind::kRequestEnded, Level::kError, 3}, {Kind::kLaunched, Level::kInfo, 4},
      {Kind::kChildEnded, Level::kInfo, 5},    {Kind::kChildEnded, Level::kWarning, 5},
      {Kind::kLaunchFailed, Level::kError, 6}, {Kind::kGeneral, Level::kWarning, 7},
      {Kind::kGeneral, Level::kError, 8},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(log::EventId(c.kind, c.level), c.id)
        << static_cast<int>(c.kind) << " " << static_cast<int>(c.level);
  }
}

}  // namespace
}  // namespace ostrim
