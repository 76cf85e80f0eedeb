// The service manager's requests, and what handling one means on every
// platform: both service hosts queue requests in their own way, then run each
// through RunRequest.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "platform/platform.h"

namespace ostrim::platform {

enum class Request { kStart, kContinue, kPause, kStop };

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

// Runs one request's handler to its end: logs that it begins, calls the
// form's handler, checks the success flag it leaves (true is kTrue; anything
// else, or an exception, is a failure, logged with its reason), logs how it
// ended and how long it took.
RequestOutcome RunRequest(ServiceEvents& events, Request request);

}  // namespace ostrim::platform
