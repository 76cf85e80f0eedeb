// The service manager's requests, and what handling one means on every
// platform: both service hosts queue requests in their own way, then run each
// through RunRequest.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/platform.h"

namespace ostrim::platform {

const char* RequestName(Request request);

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

// The state while `request` runs (starting, pausing...).
ServiceState PendingState(Request request);

// What one request came to.
struct RequestOutcome {
  bool succeeded = false;
  std::string failure;  // why it failed; empty when it succeeded
  std::chrono::milliseconds took{0};
  SequenceTally tally;  // what its sequence ran
  // The state the service is in afterwards (after a failed pause it is still
  // running; after a failed continue, still paused).
  ServiceState state = ServiceState::kRunning;
  // Set when the service must end now, with this exit status: after the stop
  // (0), and after a failed start (1: a failed start is never a success).
  std::optional<int> exit_status;
};

// What a serving instance tells an operator who asks (-STATUS), and what it
// records of its last request: written and read as "key<TAB>value" lines,
// the same on every platform.
struct ServiceReport {
  std::string state;  // StateName: "running", "paused"...
  std::int64_t pid = 0;
  std::string since;           // when it entered that state (UTC, ISO 8601)
  std::string directory;       // the site: the program's directory
  std::uint64_t requests = 0;  // requests ended since it started
  std::string last_request;    // empty before the first request ended
  std::string last_result;     // "done", or "failed: why"
  SequenceTally last_tally;
  double last_seconds = 0;
  // The engines still watched: pid, and "label: command line".
  std::vector<std::pair<std::int64_t, std::string>> engines;

  std::string Text() const;
  static ServiceReport Parse(std::string_view text);
};

// The line an operator sees once the request they sent has run:
// "pause: done in 1.234 s: 3 command lines, all launched (was running, now
// paused)".
std::string OutcomeLine(const ServiceReport& after, const std::string& state_before);

// Runs one request's handler to its end: logs that it begins, calls the
// form's handler, checks the success flag it leaves (true is kTrue; anything
// else, or an exception, is a failure, logged with its reason), logs how it
// ended and how long it took.
RequestOutcome RunRequest(ServiceEvents& events, Request request);

}  // namespace ostrim::platform
