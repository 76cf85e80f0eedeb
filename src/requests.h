// The service manager's requests, in one table: both service hosts and the
// control channel take a request's names, states and exit statuses from its
// row, queue requests in their own way (a request is its row: hosts pass
// `const RequestKind&`), then run each through RunRequest (record.h).
//
// A new request is one row here and its handler in the form (the handler's
// event in ServiceEvents, the service-host control's event slots, and the
// form's override of it): whether it starts or stops the databases, whether
// it ends the service, what systemd is told when it begins, its signals,
// Windows control codes, operator's option and usage line are all in its
// row, and the hosts, the record and the texts that name signals and verbs
// (the usage, the serving line, the unit's comment) take them from there.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace ostrim {

// The 16-bit success flag of a request: true is -1 (all bits set).
inline constexpr std::int16_t kTrue = -1;
inline constexpr std::int16_t kFalse = 0;

// The form's handlers of the service manager's requests, one per event of
// the service-host control, called one at a time on the thread that runs
// the event loop. `success` is the 16-bit flag of the request (-1 true, 0
// false): what the handler leaves in it is the request's outcome.
class ServiceEvents {
 public:
  virtual ~ServiceEvents() = default;
  virtual void NTService_Continue(std::int16_t& success) = 0;
  virtual void NTService_Pause(std::int16_t& success) = 0;
  virtual void NTService_Start(std::int16_t& success) = 0;
  virtual void NTService_Stop() = 0;
  // Work the form has between requests (a crashed engine to start again):
  // when it is next due (none: nothing waits), and doing what is due. The
  // hosts wake for it as they wait for requests, and run it only between
  // requests, never during one.
  virtual std::optional<std::chrono::steady_clock::time_point> NextWork() { return std::nullopt; }
  virtual void DoWork() {}
};

// How -STATUS prints the record: key<TAB>value lines, one JSON object
// (-JSON), or Prometheus' text exposition format (-PROMETHEUS).
enum class StatusForm { kText, kJson, kMetrics };

// What a command sent to the running service (-PAUSE, -CONTINUE, -STATUS)
// gives the operator: its exit status and what to print.
struct ControlReply {
  int status = 1;
  std::string out;
  std::string err;
};

// What the service is doing, as the service manager and operators see it.
enum class ServiceState {
  kNone,  // no service serves the site (what -STATUS says then)
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
  std::string_view name;  // "pause": the log, the record, the operator's outcome line
  // The operator's option ("-PAUSE") and the control channel's word
  // ("PAUSE"), with the option's usage text (wrapped where it is shown);
  // empty: no option.
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
  // The request the service manager's start brings: the first each serving
  // instance runs.
  bool first = false;
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
// The row named `name` ("pause"); a name without one is a programming error
// (std::logic_error), never taken for another row.
const RequestKind& KindOf(std::string_view name);
// The row of the first request (start).
const RequestKind& FirstRequest();
// Whether the service ends after it.
inline bool EndsService(const RequestKind& kind) {
  return kind.exit_after_success.has_value();
}
// The options and the platform's other ways that ask for each request, for
// the serving line, the usage and the errors that tell an operator what to
// do: "ostrim -PAUSE or SIGUSR1 pauses; ...; SIGTERM or Ctrl-C stops" (those
// of pause and continue only with `pause_and_continue`). `ways` gives a
// row's other ways as the platform has them ("SIGTERM or Ctrl-C", "net stop
// ostrim"; empty: none); `with_verb`: the option comes first.
std::string HowToAsk(bool pause_and_continue,
                     const std::function<std::string(const RequestKind&)>& ways,
                     bool with_verb = true);
// One entry of the usage text: "  -PAUSE       " and `text`, its words
// wrapped at 79 columns, further lines indented as the first.
std::string UsageEntry(std::string_view option, std::string_view text);
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

}  // namespace ostrim
