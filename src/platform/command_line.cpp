#include "platform/command_line.h"

#include <iterator>

#include "log.h"
#include "platform/platform.h"

namespace ostrim::platform {
namespace {

bool IsSeparator(char c) {
  return c == ' ' || c == '\t';
}

// Where the C runtime's argv[0] ends in `line`: at the first blank or tab
// outside double quotes (quotes only toggle; no backslash rules there).
std::size_t ProgramWordEnd(std::string_view line) {
  bool in_quotes = false;
  std::size_t i = 0;
  for (; i < line.size(); ++i) {
    if (line[i] == '"') {
      in_quotes = !in_quotes;
    } else if (!in_quotes && IsSeparator(line[i])) {
      break;
    }
  }
  return i;
}

// argv[0] as the C runtime reads the program word: its quotes dropped.
std::string CRuntimeProgramWord(std::string_view word) {
  std::string out;
  for (char c : word) {
    if (c != '"') out.push_back(c);
  }
  return out;
}

}  // namespace

std::string ProgramCheck::Text() const {
  if (problem.empty()) return {};
  if (program.empty()) return problem;
  return "cannot run " + log::Quoted(program) + ": " + problem;
}

std::vector<std::string> SplitArguments(std::string_view text) {
  std::vector<std::string> args;
  std::size_t i = 0;
  const std::size_t n = text.size();
  for (;;) {
    while (i < n && IsSeparator(text[i])) ++i;
    if (i >= n) break;
    std::string arg;
    bool in_group = false;
    while (i < n) {
      std::size_t backslashes = 0;
      while (i < n && text[i] == '\\') {
        ++backslashes;
        ++i;
      }
      if (i < n && text[i] == '"') {
        arg.append(backslashes / 2, '\\');
        if (backslashes % 2 == 1) {
          arg.push_back('"');  // escaped: a literal quote
          ++i;
        } else if (in_group && i + 1 < n && text[i + 1] == '"') {
          arg.push_back('"');  // "" inside a group: a literal quote, the group goes on
          i += 2;
        } else {
          in_group = !in_group;
          ++i;
        }
        continue;
      }
      arg.append(backslashes, '\\');
      if (i >= n || (!in_group && IsSeparator(text[i]))) break;
      arg.push_back(text[i]);
      ++i;
    }
    args.push_back(std::move(arg));
  }
  return args;
}

SplitLine SplitCommandLine(std::string_view line,
                           const std::function<bool(const std::string&)>& is_program) {
  SplitLine split;
  std::size_t start = 0;
  while (start < line.size() && IsSeparator(line[start])) ++start;
  line.remove_prefix(start);
  if (line.empty()) return split;

  if (line.front() == '"') {
    // The one candidate: the name between the quotes, looked up like any
    // other, so that the caller learns where it is.
    const std::size_t close = line.find('"', 1);
    split.program =
        std::string(line.substr(1, close == std::string_view::npos ? close : close - 1));
    if (!split.program.empty()) is_program(split.program);
    const std::size_t word_end = ProgramWordEnd(line);
    split.argv0 = CRuntimeProgramWord(line.substr(0, word_end));
    split.args = SplitArguments(line.substr(word_end));
    return split;
  }

  // Unquoted: try each blank in turn as the end of the program's name.
  std::size_t end = 0;
  std::size_t first_end = std::string_view::npos;
  for (;;) {
    while (end < line.size() && !IsSeparator(line[end])) ++end;
    if (first_end == std::string_view::npos) first_end = end;
    if (end > kLongestProgramName) break;
    std::string candidate(line.substr(0, end));
    if (is_program(candidate)) {
      split.program = std::move(candidate);
      split.argv0 = split.program;
      split.args = SplitArguments(line.substr(end));
      return split;
    }
    if (end >= line.size()) break;
    ++end;
  }
  split.program = std::string(line.substr(0, first_end));
  split.argv0 = split.program;
  split.args = SplitArguments(line.substr(first_end));
  return split;
}

std::vector<std::string> CRuntimeArgv(std::string_view line) {
  const std::size_t word_end = ProgramWordEnd(line);
  std::vector<std::string> argv = {CRuntimeProgramWord(line.substr(0, word_end))};
  std::vector<std::string> args = SplitArguments(line.substr(word_end));
  argv.insert(argv.end(), std::make_move_iterator(args.begin()),
              std::make_move_iterator(args.end()));
  return argv;
}

std::string QuoteArgument(std::string_view arg) {
  bool needs_quotes = arg.empty() || arg.find_first_of(" \t\"") != std::string_view::npos;
  if (!needs_quotes) return std::string(arg);
  std::string out = "\"";
  std::size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"') {
      out.append(backslashes * 2 + 1, '\\');  // escape them all, and the quote
    } else {
      out.append(backslashes, '\\');
    }
    backslashes = 0;
    out.push_back(c);
  }
  out.append(backslashes * 2, '\\');  // before the closing quote they must be doubled
  out.push_back('"');
  return out;
}

}  // namespace ostrim::platform
