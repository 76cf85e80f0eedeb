#include "platform/requests.h"

#include <exception>

#include "log.h"

namespace ostrim::platform {

const char* RequestName(Request request) {
  switch (request) {
    case Request::kStart:
      return "start";
    case Request::kContinue:
      return "continue";
    case Request::kPause:
      return "pause";
    case Request::kStop:
      return "stop";
  }
  return "?";
}

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

ServiceState PendingState(Request request) {
  switch (request) {
    case Request::kStart:
      return ServiceState::kStarting;
    case Request::kContinue:
      return ServiceState::kContinuing;
    case Request::kPause:
      return ServiceState::kPausing;
    case Request::kStop:
      return ServiceState::kStopping;
  }
  return ServiceState::kRunning;
}

std::string DescribeTally(const SequenceTally& tally) {
  std::string text =
      std::to_string(tally.lines) + (tally.lines == 1 ? " command line" : " command lines");
  if (tally.lines == 0) return text;
  if (tally.failed == 0) {
    text += tally.lines == 1 ? ", launched" : ", all launched";
  } else {
    text += ", " + std::to_string(tally.lines - tally.failed) + " launched, " +
            std::to_string(tally.failed) +
            (tally.failed == 1 ? " launch failed" : " launches failed");
  }
  if (tally.ended_badly > 0) {
    text += ", " + std::to_string(tally.ended_badly) + " ended with an error";
  }
  return text;
}

RequestOutcome RunRequest(ServiceEvents& events, Request request) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point started = Clock::now();
  const char* name = RequestName(request);
  log::Event(log::Kind::kRequestBegun, log::Level::kInfo, "request ", name, ": begins");
  RequestOutcome outcome;
  std::int16_t success = kFalse;
  try {
    switch (request) {
      case Request::kStart:
        events.NTService_Start(success);
        break;
      case Request::kContinue:
        events.NTService_Continue(success);
        break;
      case Request::kPause:
        events.NTService_Pause(success);
        break;
      case Request::kStop:
        events.NTService_Stop();
        success = kTrue;  // the stop has no flag: it always completes
        break;
    }
    if (success != kTrue) outcome.failure = "the handler did not report success";
  } catch (const std::exception& e) {
    outcome.failure = e.what();
  }
  outcome.succeeded = outcome.failure.empty();
  outcome.took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started);
  outcome.tally = events.LastSequence();
  if (!outcome.succeeded) log::Error("request ", name, " failed: ", outcome.failure);
  log::Event(log::Kind::kRequestEnded, outcome.succeeded ? log::Level::kInfo : log::Level::kError,
             "request ", name, ": ", outcome.succeeded ? "done" : "failed", " in ",
             std::chrono::duration<double>(outcome.took).count(),
             " s: ", DescribeTally(outcome.tally));

  switch (request) {
    case Request::kStart:
      outcome.state = outcome.succeeded ? ServiceState::kRunning : ServiceState::kStopped;
      if (!outcome.succeeded) outcome.exit_status = 1;
      break;
    case Request::kContinue:
      outcome.state = outcome.succeeded ? ServiceState::kRunning : ServiceState::kPaused;
      break;
    case Request::kPause:
      outcome.state = outcome.succeeded ? ServiceState::kPaused : ServiceState::kRunning;
      break;
    case Request::kStop:
      outcome.state = ServiceState::kStopped;
      outcome.exit_status = 0;
      break;
  }
  return outcome;
}

}  // namespace ostrim::platform
