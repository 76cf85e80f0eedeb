#include "requests.h"

#include <algorithm>
#include <stdexcept>

namespace ostrim {
namespace {

// Windows' service control codes (winsvc.h), which never change: the
// Windows host checks them against its headers.
constexpr std::uint32_t kControlStop = 0x1;
constexpr std::uint32_t kControlPause = 0x2;
constexpr std::uint32_t kControlContinue = 0x3;
constexpr std::uint32_t kControlShutdown = 0x5;
constexpr std::uint32_t kControlPreshutdown = 0xF;

using S = ServiceState;

// The requests. A failed start ends the service with status 1 (a failed
// start is never a success); the stop always ends it, with status 0.
constexpr RequestKind kRequests[] = {
    {.name = "start",
     .starts = true,
     .first = true,
     .pending = S::kStarting,
     .after_success = S::kRunning,
     .after_failure = S::kStopped,
     .exit_after_failure = 1,
     .handle = [](ServiceEvents& e, std::int16_t& success) { e.NTService_Start(success); }},
    {.name = "pause",
     .verb = "PAUSE",
     .usage = "ask the running service to stop the databases, wait until it has, and "
              "print the outcome (exit status 0: every stop command ran and ended well)",
     .signals = {"SIGUSR1"},
     .controls = {kControlPause},
     .pause_continue = true,
     .does = "pauses",
     .pending = S::kPausing,
     .after_success = S::kPaused,
     .handle = [](ServiceEvents& e, std::int16_t& success) { e.NTService_Pause(success); }},
    {.name = "continue",
     .verb = "CONTINUE",
     .usage = "ask the running service to start the databases again, wait until it has, "
              "and print the outcome (exit status 0: all launched)",
     .signals = {"SIGUSR2"},
     .controls = {kControlContinue},
     .pause_continue = true,
     .starts = true,
     .does = "continues",
     .pending = S::kContinuing,
     .after_success = S::kRunning,
     .handle = [](ServiceEvents& e, std::int16_t& success) { e.NTService_Continue(success); }},
    {.name = "stop",
     .signals = {"SIGTERM", "SIGINT"},
     .controls = {kControlStop, kControlShutdown, kControlPreshutdown},
     .does = "stops",
     .on_begin = "STOPPING=1\nSTATUS=stopping",
     .pending = S::kStopping,
     .after_success = S::kStopped,
     .after_failure = S::kStopped,
     .exit_after_success = 0,
     .exit_after_failure = 0,
     .handle =
         [](ServiceEvents& e, std::int16_t& success) {
           e.NTService_Stop();
           success = kTrue;  // the stop has no flag: it always completes
         }},
};

bool SameLetters(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           auto up = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; };
           return up(x) == up(y);
         });
}

}  // namespace

const char* StateName(ServiceState state) {
  switch (state) {
    case ServiceState::kNone:
      return "none";
    case ServiceState::kStarting:
      return "starting";
    case ServiceState::kRunning:
      return "running";
    case ServiceState::kPausing:
      return "pausing";
    case ServiceState::kPaused:
      return "paused";
    case ServiceState::kContinuing:
      return "continuing";
    case ServiceState::kStopping:
      return "stopping";
    case ServiceState::kStopped:
      return "stopped";
  }
  return "?";
}

std::optional<ServiceState> StateFromName(std::string_view name) {
  for (ServiceState state : {S::kNone, S::kStarting, S::kRunning, S::kPausing, S::kPaused,
                             S::kContinuing, S::kStopping, S::kStopped}) {
    if (name == StateName(state)) return state;
  }
  return std::nullopt;
}

std::span<const RequestKind> Requests() {
  return kRequests;
}

const RequestKind& KindOf(std::string_view name) {
  for (const RequestKind& kind : kRequests) {
    if (kind.name == name) return kind;
  }
  throw std::logic_error("no row for the request \"" + std::string(name) + "\"");
}

const RequestKind& FirstRequest() {
  for (const RequestKind& kind : kRequests) {
    if (kind.first) return kind;
  }
  throw std::logic_error("no row for the first request");
}

std::string HowToAsk(bool pause_and_continue,
                     const std::function<std::string(const RequestKind&)>& ways, bool with_verb) {
  std::string text;
  for (const RequestKind& kind : kRequests) {
    if (kind.does.empty() || (kind.pause_continue && !pause_and_continue)) continue;
    std::string how;
    if (with_verb && !kind.verb.empty()) how = "ostrim -" + std::string(kind.verb);
    const std::string others = ways(kind);
    if (!others.empty()) how += (how.empty() ? "" : " or ") + others;
    if (how.empty()) continue;
    text += (text.empty() ? "" : "; ") + how + " " + std::string(kind.does);
  }
  return text;
}

std::string UsageEntry(std::string_view option, std::string_view text) {
  constexpr std::size_t kIndent = 15;
  constexpr std::size_t kWidth = 79;
  std::string out = "  " + std::string(option);
  out.resize(std::max(out.size() + 1, kIndent), ' ');
  std::size_t column = out.size();
  bool first = true;
  while (!text.empty()) {
    const std::size_t start = text.find_first_not_of(" \n");
    if (start == std::string_view::npos) break;
    text.remove_prefix(start);
    const std::string_view word = text.substr(0, text.find_first_of(" \n"));
    text.remove_prefix(word.size());
    if (!first && column + 1 + word.size() > kWidth) {
      out += "\n" + std::string(kIndent, ' ');
      column = kIndent;
    } else if (!first) {
      out += ' ';
      ++column;
    }
    out += word;
    column += word.size();
    first = false;
  }
  return out + "\n";
}

const RequestKind* KindOfVerb(std::string_view verb) {
  for (const RequestKind& kind : kRequests) {
    if (!kind.verb.empty() && SameLetters(kind.verb, verb)) return &kind;
  }
  return nullptr;
}

const RequestKind* KindOfSignal(std::string_view signal) {
  for (const RequestKind& kind : kRequests) {
    if (std::find(kind.signals.begin(), kind.signals.end(), signal) != kind.signals.end() &&
        !signal.empty()) {
      return &kind;
    }
  }
  return nullptr;
}

const RequestKind* KindOfControl(std::uint32_t control) {
  for (const RequestKind& kind : kRequests) {
    if (control != 0 &&
        std::find(kind.controls.begin(), kind.controls.end(), control) != kind.controls.end()) {
      return &kind;
    }
  }
  return nullptr;
}

}  // namespace ostrim
