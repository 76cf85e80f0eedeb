// Any text as a command line: splitting ends without a crash, and joining
// the arguments back by the quoting rules and splitting again gives the
// same arguments.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/command_line.h"

using namespace ostrim::platform;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::vector<std::string> args = SplitArguments(text);
  std::string joined;
  for (const std::string& arg : args) joined += (joined.empty() ? "" : " ") + QuoteArgument(arg);
  if (SplitArguments(joined) != args) std::abort();

  // The program part: candidates "exist" by a property of their text, so
  // that every path through the candidate search is taken.
  SplitLine split = SplitCommandLine(text, [](const std::string& name) {
    return !name.empty() && (static_cast<unsigned char>(name.back()) % 3 == 0);
  });
  // An unquoted program is the start of the line after its blanks; a
  // quoted one (possibly empty: "" names no program) lies inside the line.
  const std::size_t start = text.find_first_not_of(" \t");
  if (start == std::string_view::npos) {
    if (!split.program.empty() || !split.args.empty()) std::abort();
  } else if (text[start] != '"' && text.substr(start, split.program.size()) != split.program) {
    std::abort();
  } else if (text.find(split.program) == std::string_view::npos) {
    std::abort();
  }
  // The child's argv as its C runtime reads the line: never empty, and its
  // argv[0] agrees with the split's where the line starts with the program.
  const std::vector<std::string> argv = CRuntimeArgv(text);
  if (argv.empty()) std::abort();
  if (start == 0 && text[0] == '"' && split.argv0 != argv[0]) std::abort();
  return 0;
}
