// How the record follows the service: its state from the requests, each
// database's from the children. (Its text and JSON forms: record_text.cpp.)
#include <algorithm>
#include <unordered_set>
#include <utility>

#include "log.h"
#include "platform/record.h"

namespace ostrim::platform {
namespace {

bool IsStopPass(const std::string& pass) {
  return pass == "stop";
}

bool EndedBadly(const ProcessEnd& end) {
  return end.by_signal || end.value != 0;
}

// How many reasons the health keeps before it only counts them.
constexpr std::size_t kMostReasons = 8;

}  // namespace

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

void ServiceRecord::EnterState(ServiceState now) {
  state = StateName(now);
  since = UtcNow();
  changed_ = true;
}

void ServiceRecord::BeginRequest(const RequestKind& kind) {
  before_ = state;
  current_ = kind.name;
  tally_ = {};
  problems_.clear();
  in_start_ = kind.request == Request::kStart || kind.request == Request::kContinue;
  in_stop_ = !in_start_;
  // What the new request will run replaces what the last one of its kind
  // ran; an engine of an earlier start that still runs stays listed.
  std::erase_if(databases, [this](const DatabaseRecord& d) {
    if (IsStopPass(d.pass)) return true;
    return in_start_ && d.state != DatabaseState::kRunning &&
           d.state != DatabaseState::kLeftRunning;
  });
  indexed_ = kNotIndexed;
  if (in_start_) {
    degraded = false;
    health_reason.clear();
  }
  EnterState(kind.pending);
}

void ServiceRecord::EndRequest(const RequestKind& kind, bool succeeded, const std::string& failure,
                               double seconds, ServiceState after) {
  ++requests;
  last_request = kind.name;
  last_result = succeeded ? "done" : "failed: " + failure;
  last_state_before = before_;
  last_tally = tally_;
  last_seconds = seconds;
  last_problems = problems_;
  in_start_ = in_stop_ = false;
  EnterState(after);
  if (after == ServiceState::kRunning && degraded) {
    log::Event(log::Kind::kDegraded, log::Level::kWarning,
               "running, but degraded: ", health_reason);
  }
}

std::string ServiceRecord::Key(const std::string& name, const std::string& pass) {
  std::string key = name;
  key.push_back('\0');
  return key.append(pass);
}

DatabaseRecord* ServiceRecord::Find(const LaunchTag& tag) {
  // The index follows `databases`; it is built anew when they were changed
  // from outside (a record parsed, a test) or entries were dropped.
  if (indexed_ != databases.size()) {
    index_.clear();
    for (std::size_t i = 0; i < databases.size(); ++i) {
      index_[Key(databases[i].name, databases[i].pass)] = i;
    }
    indexed_ = databases.size();
  }
  auto it = index_.find(Key(tag.database, tag.pass));
  return it == index_.end() ? nullptr : &databases[it->second];
}

DatabaseRecord& ServiceRecord::Entry(const LaunchTag& tag) {
  if (DatabaseRecord* d = Find(tag)) return *d;
  DatabaseRecord& d = databases.emplace_back();
  d.name = tag.database;
  d.pass = tag.pass;
  index_[Key(d.name, d.pass)] = databases.size() - 1;
  indexed_ = databases.size();
  return d;
}

void ServiceRecord::Set(DatabaseRecord& entry, DatabaseState now, std::int64_t entry_pid,
                        std::string detail) {
  entry.state = now;
  entry.pid = entry_pid;
  entry.since = UtcNow();
  entry.detail = std::move(detail);
  changed_ = true;
}

void ServiceRecord::Degrade(const std::string& why) {
  newly_degraded_ = true;
  degraded = true;
  const std::size_t reasons =
      health_reason.empty() ? 0 : std::count(health_reason.begin(), health_reason.end(), ';') + 1;
  if (reasons < kMostReasons) {
    health_reason += (health_reason.empty() ? "" : "; ") + why;
  } else if (reasons == kMostReasons) {
    health_reason += "; and more";
  }
  changed_ = true;
}

void ServiceRecord::NotLaunched(const LaunchTag& tag, const std::string& why) {
  DatabaseRecord& entry = Entry(tag);
  entry.command.clear();
  Set(entry, DatabaseState::kNotLaunched, 0, why);
  problems_.push_back(TagPrefix(tag) + "not launched: " + why);
  if (in_start_) Degrade(TagPrefix(tag) + "not launched");
}

std::unordered_set<std::string> ServiceRecord::StoppedNow() const {
  // The databases this stop is for: a stop command was launched, or tried
  // (one the selection left out of it is not to be stopped).
  std::unordered_set<std::string> names;
  for (const DatabaseRecord& d : databases) {
    if (IsStopPass(d.pass)) names.insert(d.name);
  }
  return names;
}

bool ServiceRecord::EnginesRunning() const {
  const std::unordered_set<std::string> stopped = StoppedNow();
  return std::any_of(databases.begin(), databases.end(), [&](const DatabaseRecord& d) {
    return !IsStopPass(d.pass) && d.state == DatabaseState::kRunning && stopped.count(d.name);
  });
}

std::vector<DatabaseRecord> ServiceRecord::EndOfStop() {
  const std::unordered_set<std::string> stopped = StoppedNow();
  std::vector<DatabaseRecord> left;
  for (DatabaseRecord& d : databases) {
    if (IsStopPass(d.pass) || d.state != DatabaseState::kRunning) continue;
    if (stopped.count(d.name) == 0) continue;
    Set(d, DatabaseState::kLeftRunning, d.pid, "still running when the " + current_ + " ended");
    problems_.push_back(d.name + ", " + d.pass + ": its engine, pid " + std::to_string(d.pid) +
                        ", still runs after its stop command");
    left.push_back(d);
  }
  return left;
}

std::size_t ServiceRecord::EnginesLeft() const {
  return static_cast<std::size_t>(std::count_if(
      databases.begin(), databases.end(),
      [](const DatabaseRecord& d) { return d.state == DatabaseState::kLeftRunning; }));
}

std::vector<DatabaseRecord> ServiceRecord::Started() const {
  std::vector<DatabaseRecord> started;
  for (const DatabaseRecord& d : databases) {
    if (IsStopPass(d.pass)) continue;
    if (d.state != DatabaseState::kRunning && d.state != DatabaseState::kStartEnded &&
        d.state != DatabaseState::kLeftRunning) {
      continue;
    }
    started.push_back(d);
  }
  return started;
}

void ServiceRecord::Launched(const LaunchTag& tag, std::int64_t child, const std::string& command) {
  if (tag.database.empty() && tag.pass.empty()) return;  // no database's (systemctl)
  ++tally_.lines;
  DatabaseRecord& entry = Entry(tag);
  entry.command = command;
  entry.argument = tag.argument;
  Set(entry, IsStopPass(tag.pass) ? DatabaseState::kStopping : DatabaseState::kRunning, child, "");
}

void ServiceRecord::LaunchFailed(const LaunchTag& tag, const std::string& command,
                                 const std::string& why) {
  if (tag.database.empty() && tag.pass.empty()) return;
  ++tally_.lines;
  ++tally_.failed;
  DatabaseRecord& entry = Entry(tag);
  entry.command = command;
  entry.argument = tag.argument;
  Set(entry, DatabaseState::kLaunchFailed, 0, why);
  problems_.push_back(TagPrefix(tag) + "launch failed: " + why);
  if (in_start_) Degrade(TagPrefix(tag) + "launch failed");
}

void ServiceRecord::LeftRunning(const LaunchTag&, std::int64_t) {
  // Its entry says "running" (or "stopping") already, with its pid.
}

bool ServiceRecord::Ended(const LaunchTag& tag, std::int64_t child, const ProcessEnd& end,
                          bool waited) {
  if (tag.database.empty() && tag.pass.empty()) return false;
  DatabaseRecord* entry = Find(tag);
  if (entry != nullptr && entry->pid != child) entry = nullptr;  // an earlier launch's
  const std::string how = DescribeEnd(end);
  if (waited || IsStopPass(tag.pass)) {
    // Within its wait: a start command that ended (an engine that
    // daemonized, or one that failed), or a stop command.
    if (EndedBadly(end) && (in_start_ || in_stop_)) {
      ++tally_.ended_badly;
      problems_.push_back(TagPrefix(tag) + how);
    }
    if (entry != nullptr && IsStopPass(tag.pass)) {
      Set(*entry, DatabaseState::kStopRan, 0, how);
    } else if (entry != nullptr) {
      // An engine that put itself in the background is no child of ours.
      Set(*entry, DatabaseState::kStartEnded, 0,
          how + "; an engine it left running in the background is not watched");
    }
    return false;
  }
  // An engine left running has ended: expected during a pause or stop (or
  // while paused), not while the service runs.
  if (in_stop_ || state == StateName(ServiceState::kPaused)) {
    if (entry != nullptr) Set(*entry, DatabaseState::kStopped, 0, how);
    return false;
  }
  if (entry != nullptr) Set(*entry, DatabaseState::kEnded, 0, how + " at " + UtcNow());
  Degrade(tag.database + " ended: " + how);
  log::Event(log::Kind::kDegraded, EndedBadly(end) ? log::Level::kError : log::Level::kWarning,
             "degraded: ", tag.database, " (", tag.pass,
             ") ended while the service was running: ", how);
  return true;
}

bool ServiceRecord::TakeChanged() {
  return std::exchange(changed_, false);
}

bool ServiceRecord::TakeNewlyDegraded() {
  return std::exchange(newly_degraded_, false);
}

}  // namespace ostrim::platform
