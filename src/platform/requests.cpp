#include "platform/requests.h"

#include <algorithm>
#include <exception>
#include <stdexcept>

#include "log.h"
#include "platform/record.h"

namespace ostrim::platform {
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
    {.request = Request::kStart,
     .name = "start",
     .starts = true,
     .pending = S::kStarting,
     .after_success = S::kRunning,
     .after_failure = S::kStopped,
     .exit_after_failure = 1,
     .handle = [](ServiceEvents& e, std::int16_t& success) { e.NTService_Start(success); }},
    {.request = Request::kPause,
     .name = "pause",
     .verb = "PAUSE",
     .usage = "ask the running service to stop the databases, wait until it has, and\n"
              "print the outcome (exit status 0: every stop command ran and ended well)",
     .signals = {"SIGUSR1"},
     .controls = {kControlPause},
     .pause_continue = true,
     .does = "pauses",
     .pending = S::kPausing,
     .after_success = S::kPaused,
     .handle = [](ServiceEvents& e, std::int16_t& success) { e.NTService_Pause(success); }},
    {.request = Request::kContinue,
     .name = "continue",
     .verb = "CONTINUE",
     .usage = "ask the running service to start the databases again, wait until it has,\n"
              "and print the outcome (exit status 0: all launched)",
     .signals = {"SIGUSR2"},
     .controls = {kControlContinue},
     .pause_continue = true,
     .starts = true,
     .does = "continues",
     .pending = S::kContinuing,
     .after_success = S::kRunning,
     .handle = [](ServiceEvents& e, std::int16_t& success) { e.NTService_Continue(success); }},
    {.request = Request::kStop,
     .name = "stop",
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

// `text` with "\n" written as `eol`.
std::string WithLineEnds(std::string_view text, std::string_view eol) {
  std::string out;
  for (char c : text) {
    if (c == '\n') {
      out.append(eol);
    } else {
      out.push_back(c);
    }
  }
  return out;
}

}  // namespace

const char* StateName(ServiceState state) {
  switch (state) {
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
  for (ServiceState state : {S::kStarting, S::kRunning, S::kPausing, S::kPaused, S::kContinuing,
                             S::kStopping, S::kStopped}) {
    if (name == StateName(state)) return state;
  }
  return std::nullopt;
}

std::span<const RequestKind> Requests() {
  return kRequests;
}

const RequestKind& KindOf(Request request) {
  for (const RequestKind& kind : kRequests) {
    if (kind.request == request) return kind;
  }
  throw std::logic_error("no row for request " + std::to_string(static_cast<int>(request)));
}

std::string HowToAsk(bool pause_and_continue, std::string_view (*shown)(std::string_view signal)) {
  std::string text;
  for (const RequestKind& kind : kRequests) {
    if (kind.does.empty() || (kind.pause_continue && !pause_and_continue)) continue;
    std::string ways;
    if (!kind.verb.empty()) ways = "ostrim -" + std::string(kind.verb);
    for (std::string_view signal : kind.signals) {
      if (signal.empty()) continue;
      ways += (ways.empty() ? "" : " or ") + std::string(shown(signal));
    }
    text += (text.empty() ? "" : "; ") + ways + " " + std::string(kind.does);
  }
  return text;
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

RequestOutcome RunRequest(ServiceEvents& events, Request request, ServiceRecord& record) {
  using Clock = std::chrono::steady_clock;
  const RequestKind& kind = KindOf(request);
  const Clock::time_point started = Clock::now();
  const std::optional<ServiceState> before = StateFromName(record.state);
  record.BeginRequest(kind);
  log::Event(log::Kind::kRequestBegun, log::Level::kInfo, "request ", kind.name, ": begins");
  RequestOutcome outcome;
  std::int16_t success = kFalse;
  try {
    kind.handle(events, success);
    if (success != kTrue) outcome.failure = "the handler did not report success";
  } catch (const std::exception& e) {
    outcome.failure = e.what();
  }
  outcome.succeeded = outcome.failure.empty();
  outcome.took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started);
  outcome.state = outcome.succeeded ? kind.after_success
                                    : kind.after_failure.value_or(before.value_or(S::kRunning));
  outcome.exit_status = outcome.succeeded ? kind.exit_after_success : kind.exit_after_failure;
  const double seconds = std::chrono::duration<double>(outcome.took).count();
  if (!outcome.succeeded) log::Error("request ", kind.name, " failed: ", outcome.failure);
  log::Event(log::Kind::kRequestEnded, outcome.succeeded ? log::Level::kInfo : log::Level::kError,
             "request ", kind.name, ": ", outcome.succeeded ? "done" : "failed", " in ", seconds,
             " s: ", DescribeTally(record.Tally()));
  record.EndRequest(kind, outcome.succeeded, outcome.failure, seconds, outcome.state);
  return outcome;
}

std::string OutcomeLine(const ServiceRecord& after) {
  std::string seconds;
  log::detail::Append(seconds, after.last_seconds);
  return after.last_request + ": " + after.last_result + " in " + seconds +
         " s: " + DescribeTally(after.last_tally) + " (was " + after.last_state_before + ", now " +
         after.state + ")";
}

ControlReply ReplyToRequest(const ServiceRecord& after, std::string_view eol) {
  ControlReply reply;
  reply.out = OutcomeLine(after) + std::string(eol);
  // A script goes on only when the request did all it had to: a pause whose
  // stop command failed, or that left an engine running, is no success.
  reply.status = after.last_result == "done" && after.last_problems.empty() ? 0 : 1;
  for (const std::string& problem : after.last_problems) {
    reply.err += "ostrim: " + problem + std::string(eol);
  }
  for (const std::string& note : after.last_notes) {
    reply.err += "ostrim: note: " + note + std::string(eol);
  }
  return reply;
}

ControlReply ReplyToStatus(const ServiceRecord& record, bool json, std::string_view eol) {
  ControlReply reply;
  reply.out = json ? record.Json() + std::string(eol)
                   : WithLineEnds(record.Text(ServiceRecord::Form::kShown), eol);
  reply.status = record.degraded && record.state == StateName(ServiceState::kRunning) ? 4 : 0;
  return reply;
}

ControlReply ReplyNoService(bool status, bool json, const std::string& directory,
                            const std::string& why, std::string_view eol) {
  ControlReply reply;
  reply.status = status ? 3 : 1;
  if (status) {
    ServiceRecord none;
    none.state = "none";
    none.directory = directory;
    reply.out = ReplyToStatus(none, json, eol).out;
  }
  reply.err = "ostrim: " + why + std::string(eol);
  return reply;
}

}  // namespace ostrim::platform
