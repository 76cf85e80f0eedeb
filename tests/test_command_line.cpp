// Splitting Windows command lines: the program by CreateProcessA's rules, the
// arguments by the Microsoft C runtime's.
#include "platform/command_line.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

namespace ostrim::platform {
namespace {

using Args = std::vector<std::string>;

TEST(SplitArguments, FollowsTheCRuntimeRules) {
  struct Case {
    std::string text;
    Args args;
  };
  const Case cases[] = {
      {"", {}},
      {"   \t ", {}},
      {"a b\tc", {"a", "b", "c"}},
      {"  a   b  ", {"a", "b"}},
      {R"("a b" c)", {"a b", "c"}},
      {R"(a"b c"d)", {"ab cd"}},
      {R"("")", {""}},
      {R"(a "" b)", {"a", "", "b"}},
      {R"(a\b\\c)", {R"(a\b\\c)"}},      // backslashes not before a quote
      {R"(a\\"b c")", {R"(a\b c)"}},     // 2n: n backslashes, group opens
      {R"(a\"b)", {R"(a"b)"}},           // 2n+1: literal quote
      {R"(a\\\"b)", {R"(a\"b)"}},        // 3 backslashes: one, and a quote
      {R"("a\\" b)", {R"(a\)", "b"}},    // 2n before the closing quote
      {R"("a""b" c)", {R"(a"b)", "c"}},  // "" in a group: literal, group goes on
      {R"("a""b c")", {R"(a"b c)"}},
      {R"("unterminated group)", {"unterminated group"}},
      {R"(trailing\)", {R"(trailing\)"}},
      {"tab\there", {"tab", "here"}},
      {"-z", {"-z"}},
  };
  for (const Case& c : cases) EXPECT_EQ(SplitArguments(c.text), c.args) << c.text;
}

TEST(SplitCommandLine, TakesTheProgramAsCreateProcessDoes) {
  // The programs that "exist" in this table.
  const std::set<std::string> programs = {
      "/opt/Mis Bases/arranca", "/bin/para", "arranca",
      "/opt/x y/z w",           "/opt/uno",  "/opt/uno dos/tres"};
  struct Case {
    std::string line;
    std::string program;
    Args args;
    std::string argv0;  // when it is not the program itself
    Args asked;         // the candidates looked up, in order
  };
  const Case cases[] = {
      {"arranca base1 -z", "arranca", {"base1", "-z"}, "", {"arranca"}},
      {"  arranca base1", "arranca", {"base1"}, "", {"arranca"}},  // leading blanks skipped
      {" base1 -z", "base1", {"-z"}, "", {"base1", "base1 -z"}},   // no start command
      {"/opt/Mis Bases/arranca base1 -z",
       "/opt/Mis Bases/arranca",
       {"base1", "-z"},
       "",
       {"/opt/Mis", "/opt/Mis Bases/arranca"}},
      {"/opt/x y/z w -q", "/opt/x y/z w", {"-q"}, "", {"/opt/x", "/opt/x y/z", "/opt/x y/z w"}},
      // The earliest candidate that exists wins, even when a later one does.
      {"/opt/uno dos/tres x", "/opt/uno", {"dos/tres", "x"}, "", {"/opt/uno"}},
      // A tab ends a candidate as a blank does.
      {"/bin/para\tbase1 x", "/bin/para", {"base1", "x"}, "", {"/bin/para"}},
      // A quoted name is the one candidate, and it is looked up like the others.
      {R"("/opt/Mis Bases/arranca" base1)",
       "/opt/Mis Bases/arranca",
       {"base1"},
       "",
       {"/opt/Mis Bases/arranca"}},
      // Text right after the closing quote belongs to argv[0], as the C
      // runtime reads it; the arguments start at the next blank.
      {R"("/opt/Mis Bases/arranca"base1 x)",
       "/opt/Mis Bases/arranca",
       {"x"},
       "/opt/Mis Bases/arrancabase1",
       {"/opt/Mis Bases/arranca"}},
      {R"("/no such" a)", "/no such", {"a"}, "", {"/no such"}},  // quoted: no other candidate
      {R"("unterminated)", "unterminated", {}, "", {"unterminated"}},
      // An empty quoted name: no program, nothing looked up (found by fuzzing).
      {R"(""as"as")", "", {}, "asas", {}},
      {"/bin/para base1 ", "/bin/para", {"base1"}, "", {"/bin/para"}},  // a stop line's blank
      {"missing prog -z",
       "missing",
       {"prog", "-z"},
       "",  // none exists: the first candidate
       {"missing", "missing prog", "missing prog -z"}},
      {"", "", {}, "", {}},
      {" \t ", "", {}, "", {}},
  };
  for (const Case& c : cases) {
    Args asked;
    SplitLine split = SplitCommandLine(c.line, [&](const std::string& name) {
      asked.push_back(name);
      return programs.count(name) > 0;
    });
    EXPECT_EQ(split.program, c.program) << c.line;
    EXPECT_EQ(split.args, c.args) << c.line;
    EXPECT_EQ(split.argv0, c.argv0.empty() ? c.program : c.argv0) << c.line;
    EXPECT_EQ(asked, c.asked) << c.line;
  }
}

// What a Windows child reads from its command line, whatever CreateProcessA
// ran: its argv[0] ends at the first blank outside quotes.
TEST(CRuntimeArgv, ReadsTheWholeLineAsTheChildDoes) {
  struct Case {
    std::string line;
    Args argv;
  };
  const Case cases[] = {
      {R"("C:\Mis Bases\arranca" start v)", {R"(C:\Mis Bases\arranca)", "start", "v"}},
      {R"("C:\Mis Bases\arranca"c v)", {R"(C:\Mis Bases\arrancac)", "v"}},
      {R"(C:\Mis Bases\arranca start)", {R"(C:\Mis)", R"(Bases\arranca)", "start"}},
      {"arranca\tx", {"arranca", "x"}},
      {" arranca x", {"", "arranca", "x"}},
      {"", {""}},
  };
  for (const Case& c : cases) EXPECT_EQ(CRuntimeArgv(c.line), c.argv) << c.line;
}

// A missing program followed by a long value is tried at each blank only
// while the candidate could still name a file: no longer than a path can be.
TEST(SplitCommandLine, StopsTryingCandidatesPastThePathLimit) {
  std::string line = "/no/such/arranca";
  for (int i = 0; i < 100000; ++i) line += " x";
  std::size_t tried = 0;
  std::size_t longest = 0;
  SplitLine split = SplitCommandLine(line, [&](const std::string& name) {
    ++tried;
    longest = std::max(longest, name.size());
    return false;
  });
  EXPECT_EQ(split.program, "/no/such/arranca");
  EXPECT_EQ(split.args.size(), 100000u);
  EXPECT_LE(longest, kLongestProgramName);
  EXPECT_LE(tried, kLongestProgramName / 2 + 1);
  // A name just within the limit is still found.
  const std::string spaced = "/opt/" + std::string(3000, 'a') + " b/arranca";
  split =
      SplitCommandLine(spaced + " base1", [&](const std::string& name) { return name == spaced; });
  EXPECT_EQ(split.program, spaced);
}

TEST(QuoteArgument, SplitsBackToTheSameArgument) {
  const std::string samples[] = {"",       "plain",  "two words", R"(a"b)",      R"(a\)",
                                 R"(a\\)", R"(\"x)", "tab\there", R"(end\ "q")", R"("")"};
  for (const std::string& arg : samples) {
    EXPECT_EQ(SplitArguments(QuoteArgument(arg)), Args{arg}) << arg;
    EXPECT_EQ(SplitArguments(QuoteArgument(arg) + " " + QuoteArgument(arg)), (Args{arg, arg}));
  }
}

}  // namespace
}  // namespace ostrim::platform
