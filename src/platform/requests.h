// The service manager's requests, in one table, and what handling one means
// on every platform: both service hosts and the control channel take a
// request's names, states and exit statuses from the table, queue requests in
// their own way, then run each through RunRequest.
//
// A new request is one row here and one handler in the form (ServiceEvents):
// whether it starts or stops the databases, whether it ends the service,
// what systemd is told when it begins, its signals, Windows control codes,
// operator's option and usage line are all in its row, and the hosts, the
// record and the texts that name signals and verbs take them from there.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace ostrim::platform {

// What the service is doing, as the service manager and operators see it.
enum class ServiceState {
  kStarting,
  kRunning,
  kPausing,
  kPaused,
  kContinuing,
  kStopping,
  kStopped
};

const char* StateName(ServiceState state);
std::optional<ServiceState> StateFromName(std::string_view name);

// One request: its names, where it comes from, and what it leads to.
struct RequestKind {
  Request request;
  std::string_view name;  // "pause": the log, the record, the operator's outcome line
  // The operator's option ("-PAUSE") and the control channel's word
  // ("PAUSE"), with the option's usage text; empty: no option.
  std::string_view verb = {};
  std::string_view usage = {};
  // POSIX signals that ask for it, by name ("SIGUSR1"); empty: none.
  std::array<std::string_view, 2> signals = {};
  // Windows service control codes that ask for it (SERVICE_CONTROL_PAUSE is
  // 2...); 0: none.
  std::array<std::uint32_t, 3> controls = {};
  // Accepted only when pause and continue are (kAcceptPauseContinue); such
  // a request that comes while the service is stopping is answered at once,
  // never run, and two queued that undo each other cancel.
  bool pause_continue = false;
  // It starts the databases (start, continue); else it stops them.
  bool starts = false;
  // What it does, as the serving line says it ("pauses").
  std::string_view does = {};
  // What systemd is told as it begins (nothing: only its progress).
  std::string_view on_begin = {};
  ServiceState pending = ServiceState::kRunning;  // while it runs
  ServiceState after_success = ServiceState::kRunning;
  // None: the state it was in before (a pause that failed leaves a running
  // service running; a continue that failed leaves it as it was).
  std::optional<ServiceState> after_failure = std::nullopt;
  // The service ends after it, with this exit status (none: it goes on).
  std::optional<int> exit_after_success = std::nullopt;
  std::optional<int> exit_after_failure = std::nullopt;
  // Its handler in the form; `success` is the 16-bit flag (-1 true).
  void (*handle)(ServiceEvents& events, std::int16_t& success) = nullptr;
};

std::span<const RequestKind> Requests();
// Its row; a request without one is a programming error (std::logic_error),
// never taken for another.
const RequestKind& KindOf(Request request);
// Whether the service ends after it.
inline bool EndsService(const RequestKind& kind) {
  return kind.exit_after_success.has_value();
}
// The signals and options that ask for each request, for the serving line:
// "ostrim -PAUSE or SIGUSR1 pauses; ...; SIGTERM or Ctrl-C stops" (those of
// pause and continue only with `pause_and_continue`). `shown` gives a
// signal's name as operators know it ("Ctrl-C" for SIGINT).
std::string HowToAsk(bool pause_and_continue, std::string_view (*shown)(std::string_view signal));
// The row of an option's or channel's word, a signal or a control code, in
// any letter case for the word; null when there is none.
const RequestKind* KindOfVerb(std::string_view verb);
const RequestKind* KindOfSignal(std::string_view signal);
const RequestKind* KindOfControl(std::uint32_t control);

// What one request came to.
struct RequestOutcome {
  bool succeeded = false;
  std::string failure;  // why it failed; empty when it succeeded
  std::chrono::milliseconds took{0};
  // The state the service is in afterwards (after a failed pause it is still
  // running; after a failed continue, still paused).
  ServiceState state = ServiceState::kRunning;
  // Set when the service must end now, with this exit status.
  std::optional<int> exit_status;
};

class ServiceRecord;

// Runs one request's handler to its end, keeping `record` up to date: logs
// that it begins, calls the form's handler, checks the success flag it
// leaves (true is kTrue; anything else, or an exception, is a failure, logged
// with its reason), logs how it ended, what it ran and how long it took.
RequestOutcome RunRequest(ServiceEvents& events, Request request, ServiceRecord& record);

// What the operator's command prints and its exit status, from the record a
// serving instance gave back: after a request ran, one outcome line, and on
// standard error one line per thing that failed in it (0 when it was done
// and nothing failed: every command line launched, no stop command ended
// badly, no engine left running; else 1); for -STATUS, the record (with
// `json`, as JSON; 0 healthy, 4 running but degraded). `eol` is the
// console's line end.
ControlReply ReplyToRequest(const ServiceRecord& after, std::string_view eol);
ControlReply ReplyToStatus(const ServiceRecord& record, bool json, std::string_view eol);
// When no instance serves the site: -STATUS says "none" and exits 3, a
// request exits 1. `why` goes to standard error.
ControlReply ReplyNoService(bool status, bool json, const std::string& directory,
                            const std::string& why, std::string_view eol);

// The line an operator sees once the request they sent has run:
// "pause: done in 1.234 s: 3 command lines, all launched (was running, now
// paused)".
std::string OutcomeLine(const ServiceRecord& after);

}  // namespace ostrim::platform
