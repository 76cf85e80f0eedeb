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
#include <cstdint>
#include <string>
#include <string_view>

namespace ostrim::log {

// Values are syslog priorities.
enum class Level : int { kError = 3, kWarning = 4, kNotice = 5, kInfo = 6, kDebug = 7 };

// Lines above this level are dropped. Default kInfo; OSTRIM_LOG_LEVEL=debug
// (read once, at the first line) lowers it.
void SetThreshold(Level level);
bool Enabled(Level level);

// Writes one finished line. Tests may redirect lines with SetCaptureForTesting.
void Write(Level level, std::string_view line);
void SetCaptureForTesting(std::string* sink);

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
void Emit(Level level, const Args&... args) {
  if (!Enabled(level)) return;
  std::string line;
  (Append(line, args), ...);
  Write(level, line);
}
}  // namespace detail

template <typename... Args>
void Error(const Args&... args) {
  detail::Emit(Level::kError, args...);
}
template <typename... Args>
void Warning(const Args&... args) {
  detail::Emit(Level::kWarning, args...);
}
template <typename... Args>
void Notice(const Args&... args) {
  detail::Emit(Level::kNotice, args...);
}
template <typename... Args>
void Info(const Args&... args) {
  detail::Emit(Level::kInfo, args...);
}
template <typename... Args>
void Debug(const Args&... args) {
  detail::Emit(Level::kDebug, args...);
}

// A command line or name as it appears in the log: in double quotes, so that
// leading and trailing blanks (which matter here) can be seen.
std::string Quoted(std::string_view text);

}  // namespace ostrim::log
