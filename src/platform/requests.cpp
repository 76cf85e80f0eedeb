#include "platform/requests.h"

#include <algorithm>
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

namespace {

// A value as one field: no TAB or line end can break the lines.
std::string Field(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c == '\t' || c == '\n' || c == '\r') c = ' ';
  }
  return out;
}

// Seconds with three decimals, as the log writes them.
std::string Seconds(double seconds) {
  std::string text;
  log::detail::Append(text, seconds);
  return text;
}

long long Number(std::string_view text) {
  long long value = 0;
  bool negative = !text.empty() && text.front() == '-';
  if (negative) text.remove_prefix(1);
  for (char c : text) {
    if (c < '0' || c > '9') break;
    value = value * 10 + (c - '0');
  }
  return negative ? -value : value;
}

}  // namespace

std::string ServiceReport::Text() const {
  std::string out;
  auto line = [&out](std::string_view key, std::string_view value) {
    out.append(key).append("\t").append(Field(value)).append("\n");
  };
  line("state", state);
  line("pid", std::to_string(pid));
  line("since", since);
  line("directory", directory);
  line("requests", std::to_string(requests));
  if (!last_request.empty()) {
    line("last_request", last_request);
    line("last_result", last_result);
    line("last_lines", std::to_string(last_tally.lines));
    line("last_failed", std::to_string(last_tally.failed));
    line("last_ended_badly", std::to_string(last_tally.ended_badly));
    line("last_seconds", Seconds(last_seconds));
  }
  line("engines", std::to_string(engines.size()));
  for (const auto& [engine_pid, what] : engines) {
    out.append("engine\t").append(std::to_string(engine_pid)).append("\t").append(Field(what));
    out.append("\n");
  }
  return out;
}

ServiceReport ServiceReport::Parse(std::string_view text) {
  ServiceReport r;
  while (!text.empty()) {
    std::string_view line = text.substr(0, text.find('\n'));
    text.remove_prefix(std::min(text.size(), line.size() + 1));
    const std::size_t tab = line.find('\t');
    if (tab == std::string_view::npos) continue;
    const std::string_view key = line.substr(0, tab);
    const std::string_view value = line.substr(tab + 1);
    if (key == "state")
      r.state = value;
    else if (key == "pid")
      r.pid = Number(value);
    else if (key == "since")
      r.since = value;
    else if (key == "directory")
      r.directory = value;
    else if (key == "requests")
      r.requests = static_cast<std::uint64_t>(Number(value));
    else if (key == "last_request")
      r.last_request = value;
    else if (key == "last_result")
      r.last_result = value;
    else if (key == "last_lines")
      r.last_tally.lines = static_cast<int>(Number(value));
    else if (key == "last_failed")
      r.last_tally.failed = static_cast<int>(Number(value));
    else if (key == "last_ended_badly")
      r.last_tally.ended_badly = static_cast<int>(Number(value));
    else if (key == "last_seconds") {
      const std::size_t dot = value.find('.');
      r.last_seconds = static_cast<double>(Number(value.substr(0, dot)));
      if (dot != std::string_view::npos) {
        r.last_seconds += static_cast<double>(Number(value.substr(dot + 1, 3))) / 1000.0;
      }
    } else if (key == "engine") {
      const std::size_t second = value.find('\t');
      r.engines.emplace_back(Number(value.substr(0, second)),
                             second == std::string_view::npos ? "" : value.substr(second + 1));
    }
  }
  return r;
}

std::string OutcomeLine(const ServiceReport& after, const std::string& state_before) {
  return after.last_request + ": " + after.last_result + " in " + Seconds(after.last_seconds) +
         " s: " + DescribeTally(after.last_tally) + " (was " + state_before + ", now " +
         after.state + ")";
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
