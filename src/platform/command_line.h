// Splitting a Windows command line into a program and its arguments: the
// rules both platforms share. The POSIX launcher runs what this split gives;
// on Windows CreateProcessA splits the line itself, and -CHECK uses this
// split to say beforehand what it would run.
//
// A command line in the profile files is one text, as Windows' CreateProcessA
// takes it, split the way Windows and the child's C runtime split it:
//
// The program (CreateProcessA with no application name):
// | Line starts with (after blanks and tabs) | Program                                          |
// |------------------------------------------|--------------------------------------------------|
// | a double quote                           | everything up to the next double quote (the rest |
// |                                          | of the line if there is none): the one candidate, |
// |                                          | looked up like any other. Text right after the   |
// |                                          | closing quote, up to a blank or tab, belongs to  |
// |                                          | the child's argv[0] ("a b"c: argv[0] "a bc"), as |
// |                                          | the C runtime reads it, not to the arguments     |
// | anything else                            | up to the first blank or tab; when that names no |
// |                                          | executable file and the line goes on, the text up |
// |                                          | to the next blank or tab is tried, and so on:    |
// |                                          | "/opt/Mis Bases/arranca base1" runs              |
// |                                          | "/opt/Mis Bases/arranca" when "/opt/Mis" is not  |
// |                                          | an executable file; the arguments follow the     |
// |                                          | candidate that won. The trying stops at          |
// |                                          | kLongestProgramName characters: no longer text   |
// |                                          | can name a file                                  |
//
// The arguments (the Microsoft C runtime's rules):
// | Text                                      | Gives                                           |
// |-------------------------------------------|-------------------------------------------------|
// | blanks and tabs outside double quotes     | separate arguments (runs of them count as one)  |
// | "..."                                     | groups: blanks inside belong to the argument;   |
// |                                           | the quotes are removed                          |
// | 2n backslashes, then a double quote       | n backslashes; the quote opens or closes a group |
// | 2n+1 backslashes, then a double quote     | n backslashes and a literal double quote        |
// | backslashes not followed by a double quote| themselves, unchanged                           |
// | "" inside a group                         | a literal double quote, and the group goes on   |
// |                                           | (the rule of the C runtime since Visual C++     |
// |                                           | 2008 and of the Universal CRT; older msvcrt.dll |
// |                                           | ended the group there)                          |
// | "" outside a group                        | an empty group: an empty argument if alone      |
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace ostrim::platform {

// The longest text tried as a program name: the system's limit on a path
// (PATH_MAX). Without it, a long value after a missing program would be
// tried at each of its blanks, each time with a copy and a search of PATH.
inline constexpr std::size_t kLongestProgramName = 4096;

struct SplitLine {
  std::string program;            // as written in the line (quotes removed)
  std::string argv0;              // the child's argv[0]: the program as the C runtime reads it
  std::vector<std::string> args;  // the arguments after it
};

// Arguments of `text` by the C runtime's rules.
std::vector<std::string> SplitArguments(std::string_view text);

// Splits `line`. `is_program(name)` is asked of each candidate program name
// in turn (a quoted name is the only candidate) and says whether it names an
// executable file; the first candidate for which it returns true is the
// program. When none does, the first candidate is returned (the launch then
// fails on it). An empty line, one of blanks only, or an empty quoted name
// gives an empty program, and `is_program` is not asked.
SplitLine SplitCommandLine(std::string_view line,
                           const std::function<bool(const std::string&)>& is_program);

// The child's whole argv as its C runtime reads `line` (argv[0] first),
// whichever program the line runs: what a Windows child gets.
std::vector<std::string> CRuntimeArgv(std::string_view line);

// Quotes `arg` so that SplitArguments gives it back unchanged.
std::string QuoteArgument(std::string_view arg);

}  // namespace ostrim::platform
