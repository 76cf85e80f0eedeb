// The service's one logging facility.
//
// Every event an operator may want to know about goes through here: one line
// per event on standard error. Under systemd (JOURNAL_STREAM names our stderr)
// each line starts with its syslog priority ("<3>" error ... "<7>" debug) so
// that the journal records the level; in a terminal each line starts with the
// time instead. A line is written with a single write, so lines from the
// service and from its children never interleave mid-line.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ostrim::log {

// Values are syslog priorities.
enum class Level : int { kError = 3, kWarning = 4, kNotice = 5, kInfo = 6, kDebug = 7 };

// What a line reports, for logs that sort events by kind (on Windows, each
// kind has its own event ID in the event log, so that Event Viewer can filter
// launches from failures).
enum class Kind {
  kGeneral,
  kRequestBegun,
  kRequestEnded,
  kLaunched,
  kChildEnded,
  kLaunchFailed,
  kDegraded
};

// The event ID of a line: its kind's own ID, or for a general line one by its
// level.
//
// | ID | Lines                                   |
// |----|-----------------------------------------|
// | 1  | general information                     |
// | 2  | a request begun                         |
// | 3  | a request ended (done or failed)        |
// | 4  | a command line launched                 |
// | 5  | a child's end                           |
// | 6  | a launch that failed                    |
// | 7  | a warning                               |
// | 8  | an error                                |
// | 9  | the service degraded: running, but a    |
// |    | launch failed or an engine ended        |
int EventId(Kind kind, Level level);

// Lines above this level are dropped. Default kInfo; OSTRIM_LOG_LEVEL
// lowers or raises it (see LevelFromText).
void SetThreshold(Level level);
bool Enabled(Level level);

// The level named by `text`: error, warning, notice, info or debug, in any
// letter case; nothing for any other text.
std::optional<Level> LevelFromText(std::string_view text);
// Every level's name, most severe first, as a list for people to read.
std::string LevelNames();

// Reads OSTRIM_LOG_LEVEL, once, at start-up; an unknown value is reported
// and the level stays at info.
void ReadLevelFromEnvironment();

// `text` with every control character written visibly: a TAB as "\t", a
// line end as "\n" or "\r", any other as "\xNN" (ESC is "\x1b"), so that a
// name can neither split a line or a field nor reach a terminal as a
// command. Other bytes, backslashes included, are kept as they are.
std::string Visible(std::string_view text);

// Writes one finished line, its control characters written visibly. A line
// longer than kLongestLine bytes (a command line built from a huge value,
// say) is cut there, at a character's beginning, and ends in
// "... (N bytes in all)".
constexpr std::size_t kLongestLine = 8192;
void Write(Level level, Kind kind, std::string_view line);
// Where finished lines go: the service's log, a syslog priority (3 error ...
// 7 debug) and an event ID with each. The program sets the platform's
// (platform::WriteLogLine) before anything logs; until one is set, lines
// go to standard error as they are.
using Writer = void (*)(int priority, std::string_view line, int event_id);
void SetWriter(Writer writer);
// While `sink` is set, lines go to it instead, each with its level in front
// as a terminal shows it ("warning: ", "error: ", "debug: "): tests read
// them, and -CHECK prints them as its own findings.
void SetCapture(std::string* sink);

// Whether OSTRIM_LOG_LEVEL set the level (else it is the default).
bool LevelFromEnvironmentWasSet();

namespace detail {
inline void Append(std::string& out, std::string_view text) {
  out.append(text);
}
inline void Append(std::string& out, const char* text) {
  out.append(text);
}
inline void Append(std::string& out, const std::string& text) {
  out.append(text);
}
inline void Append(std::string& out, char c) {
  out.push_back(c);
}
template <std::integral T>
void Append(std::string& out, T value) {
  out.append(std::to_string(value));
}
void Append(std::string& out, double value);  // three decimals, for seconds

template <typename... Args>
void Emit(Level level, Kind kind, const Args&... args) {
  if (!Enabled(level)) return;
  std::string line;
  (Append(line, args), ...);
  Write(level, kind, line);
}
}  // namespace detail

// A line of a particular kind of event.
template <typename... Args>
void Event(Kind kind, Level level, const Args&... args) {
  detail::Emit(level, kind, args...);
}

template <typename... Args>
void Error(const Args&... args) {
  detail::Emit(Level::kError, Kind::kGeneral, args...);
}
template <typename... Args>
void Warning(const Args&... args) {
  detail::Emit(Level::kWarning, Kind::kGeneral, args...);
}
template <typename... Args>
void Notice(const Args&... args) {
  detail::Emit(Level::kNotice, Kind::kGeneral, args...);
}
template <typename... Args>
void Info(const Args&... args) {
  detail::Emit(Level::kInfo, Kind::kGeneral, args...);
}
template <typename... Args>
void Debug(const Args&... args) {
  detail::Emit(Level::kDebug, Kind::kGeneral, args...);
}

// A command line or name as it appears in the log: in double quotes, so that
// leading and trailing blanks (which matter here) can be seen.
std::string Quoted(std::string_view text);

}  // namespace ostrim::log
