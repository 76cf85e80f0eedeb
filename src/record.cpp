// How the record follows the service: its state from the requests, each
// database's from the children. (Its text and JSON forms: record_text.cpp.)
#include <algorithm>
#include <chrono>
#include <exception>
#include <unordered_set>
#include <utility>

#include "log.h"
#include "record.h"

namespace ostrim {
namespace {

bool IsStopPass(Pass pass) {
  return pass == Pass::kStop;
}

// The pass a database's launch is for; none for a launch of no database's
// (a systemctl call), which the record does not keep.
std::optional<Pass> PassOf(const LaunchTag& tag) {
  if (tag.database.empty() && tag.pass.empty()) return std::nullopt;
  return PassFromName(tag.pass);
}

// An end whose status is unknown (an adopted engine's) is neither.
bool EndedBadly(const ProcessEnd& end) {
  return !end.unknown && (end.by_signal || end.value != 0);
}

// How many reasons the health keeps before it only counts them.
constexpr std::size_t kMostReasons = 8;

}  // namespace

const char* PassName(Pass pass) {
  switch (pass) {
    case Pass::kSQL:
      return "SQL";
    case Pass::k4GL:
      return "4GL";
    case Pass::kStop:
      return "stop";
  }
  return "?";
}

std::optional<Pass> PassFromName(std::string_view name) {
  for (Pass pass : {Pass::kSQL, Pass::k4GL, Pass::kStop}) {
    if (name == PassName(pass)) return pass;
  }
  return std::nullopt;
}

bool StillRuns(const DatabaseRecord& entry) {
  return entry.state == DatabaseState::kRunning || entry.state == DatabaseState::kLeftRunning ||
         entry.state == DatabaseState::kStopping;
}

namespace {
std::string StillRunning(const SequenceTally& tally) {
  std::string ya;
  if (tally.up_already > 0) {
    ya = "; " + std::to_string(tally.up_already) +
         (tally.up_already == 1 ? " database up already was" : " databases up already were") +
         " not started again";
  }
  if (tally.still_running == 0) return ya;
  return ya + "; " + std::to_string(tally.still_running) +
         (tally.still_running == 1 ? " database" : " databases") +
         " still running from an earlier run " + (tally.still_running == 1 ? "was" : "were") +
         " not started again";
}
}  // namespace

std::string DescribeTally(const SequenceTally& tally) {
  std::string text =
      std::to_string(tally.lines) + (tally.lines == 1 ? " command line" : " command lines");
  if (tally.lines == 0) return text + StillRunning(tally);
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
  return text + StillRunning(tally);
}

void ServiceRecord::EnterState(ServiceState now) {
  state = now;
  since = UtcNow();
  changed_ = true;
  kept_changed_ = true;
}

void ServiceRecord::BeginRequest(const RequestKind& kind) {
  before_ = state;
  current_ = kind.name;
  current_kind_ = &kind;
  tally_ = {};
  problems_.clear();
  notes_.clear();
  failed_stops_.clear();
  still_up_.clear();
  in_start_ = kind.starts;
  in_stop_ = !in_start_;
  // What the new request will run replaces what the last one of its kind
  // ran; an engine of an earlier start that still runs stays listed, and so
  // does a stop command that still runs.
  std::erase_if(databases_, [this](const DatabaseRecord& d) {
    if (StillRuns(d)) return false;
    return IsStopPass(d.pass) || in_start_;
  });
  Reindex();
  if (in_start_) {
    degradado_ = false;
    razones_.clear();
    reasons_ = 0;
    Salud();
    restarts_.clear();
    for (DatabaseRecord& d : databases_) d.restarts = 0;
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
  last_notes = notes_;
  in_start_ = in_stop_ = false;
  EnterState(after);
  if (after == ServiceState::kRunning && degraded) {
    log::Event(log::Kind::kDegraded, log::Level::kWarning,
               "running, but degraded: ", health_reason);
  }
}

std::string ServiceRecord::Key(const std::string& name, Pass pass) {
  std::string key = name;
  key.push_back('\0');
  return key.append(PassName(pass));
}

void ServiceRecord::AddDatabase(DatabaseRecord entry) {
  index_[Key(entry.name, entry.pass)].push_back(databases_.size());
  databases_.push_back(std::move(entry));
  NoteEngine(databases_.size() - 1);
  changed_ = true;
}

void ServiceRecord::Reindex() {
  index_.clear();
  engines_.clear();
  for (std::size_t i = 0; i < databases_.size(); ++i) {
    index_[Key(databases_[i].name, databases_[i].pass)].push_back(i);
    NoteEngine(i);
  }
}

DatabaseRecord* ServiceRecord::Find(const std::string& name, Pass pass,
                                    std::optional<std::int64_t> launch) {
  auto it = index_.find(Key(name, pass));
  if (it == index_.end()) return nullptr;
  if (!launch) return &databases_[it->second.back()];
  for (std::size_t i : it->second) {
    if (databases_[i].pid == *launch) return &databases_[i];
  }
  return nullptr;
}

DatabaseRecord& ServiceRecord::Entry(const std::string& name, Pass pass) {
  DatabaseRecord* d = Find(name, pass);
  if (d != nullptr && !StillRuns(*d)) return *d;
  DatabaseRecord fresh;
  fresh.name = name;
  fresh.pass = pass;
  AddDatabase(std::move(fresh));
  return databases_.back();
}

std::string ServiceRecord::StartedWith(const std::string& name) const {
  auto it = started_with_.find(name);
  return it == started_with_.end() ? std::string() : it->second;
}

void ServiceRecord::Set(DatabaseRecord& entry, DatabaseState now, std::int64_t entry_pid,
                        std::string detail) {
  entry.state = now;
  entry.pid = entry_pid;
  entry.since = UtcNow();
  entry.detail = std::move(detail);
  changed_ = true;
  kept_changed_ = true;
  NoteEngine(static_cast<std::size_t>(&entry - databases_.data()));
}

bool ServiceRecord::IsEngine(const DatabaseRecord& d) {
  return d.pid != 0 && !IsStopPass(d.pass) && StillRuns(d);
}

void ServiceRecord::NoteEngine(std::size_t at) {
  if (IsEngine(databases_[at])) {
    engines_.insert(at);
  } else {
    engines_.erase(at);
  }
}

void ServiceRecord::Degrade(const std::string& why) {
  newly_degraded_ = true;
  degradado_ = true;
  // Counted, not found again in the text: a database's name may hold "; ".
  if (reasons_ < kMostReasons) {
    razones_ += (razones_.empty() ? "" : "; ") + why;
  } else if (reasons_ == kMostReasons) {
    razones_ += "; and more";
  }
  ++reasons_;
  Salud();
}

void ServiceRecord::StillUp(const std::string& name, const std::string& why) {
  still_up_.push_back(name);
  problems_.push_back(name + ", stop: left running: " + why);
  changed_ = true;
}

void ServiceRecord::Salud() {
  // What happened in the requests, then each checked database found down:
  // one that comes up again takes its reason with it.
  degraded = degradado_;
  health_reason = razones_;
  for (const ReadinessRecord& r : checks_) {
    if (r.state != NombreEstadoListo(EstadoListo::kDown)) continue;
    degraded = true;
    health_reason += (health_reason.empty() ? "" : "; ") + r.name + " is down: " + r.detail;
  }
  changed_ = true;
}

void ServiceRecord::Readiness(const std::string& name, EstadoListo estado, std::string detail,
                              std::string what) {
  const std::string state = NombreEstadoListo(estado);
  auto it = std::find_if(checks_.begin(), checks_.end(),
                         [&](const ReadinessRecord& r) { return r.name == name; });
  if (it == checks_.end()) it = checks_.insert(checks_.end(), {name, "", "", "", ""});
  if (it->state != state) {
    it->since = UtcNow();
    if (estado == EstadoListo::kDown) newly_degraded_ = true;
  }
  it->state = state;
  it->detail = std::move(detail);
  if (!what.empty()) it->what = std::move(what);
  Salud();
}

const ReadinessRecord* ServiceRecord::ReadinessOf(const std::string& name) const {
  for (const ReadinessRecord& r : checks_) {
    if (r.name == name) return &r;
  }
  return nullptr;
}

void ServiceRecord::KeepReadiness(const std::unordered_set<std::string>& names) {
  std::erase_if(checks_, [&](const ReadinessRecord& r) { return names.count(r.name) == 0; });
  Salud();
}

void ServiceRecord::AddReadiness(ReadinessRecord entry) {
  checks_.push_back(std::move(entry));
}

void ServiceRecord::NotLaunched(const LaunchTag& tag, const std::string& why) {
  const std::optional<Pass> pass = PassOf(tag);
  if (!pass) return;
  DatabaseRecord& entry = Entry(tag.database, *pass);
  entry.command.clear();
  Set(entry, DatabaseState::kNotLaunched, 0, why);
  problems_.push_back(TagPrefix(tag) + "not launched: " + why);
  if (in_start_) Degrade(TagPrefix(tag) + "not launched");
}

std::unordered_set<std::string> ServiceRecord::StoppedNow() const {
  // The databases this stop is for: a stop command was launched, or tried
  // (one the selection left out of it is not to be stopped).
  std::unordered_set<std::string> names;
  for (const DatabaseRecord& d : databases_) {
    if (IsStopPass(d.pass)) names.insert(d.name);
  }
  return names;
}

bool ServiceRecord::EnginesRunning() const {
  const std::unordered_set<std::string> stopped = StoppedNow();
  return std::any_of(databases_.begin(), databases_.end(), [&](const DatabaseRecord& d) {
    return !IsStopPass(d.pass) && StillRuns(d) && stopped.count(d.name);
  });
}

std::vector<DatabaseRecord> ServiceRecord::EndOfStop() {
  const std::unordered_set<std::string> stopped = StoppedNow();
  std::vector<DatabaseRecord> left;
  for (DatabaseRecord& d : databases_) {
    if (IsStopPass(d.pass) || !StillRuns(d)) continue;
    if (stopped.count(d.name) == 0) continue;
    // One left running by an earlier pause still runs: this one did not
    // stop it either (a retried pause must not say that all is stopped).
    const std::string detail = "still running when the " + current_ + " ended";
    if (d.state == DatabaseState::kLeftRunning) {
      d.detail = detail;
      changed_ = true;
    } else {
      Set(d, DatabaseState::kLeftRunning, d.pid, detail);
    }
    problems_.push_back(d.name + ", " + PassName(d.pass) + ": its engine, pid " +
                        std::to_string(d.pid) + ", still runs after its stop command");
    left.push_back(d);
  }
  if (!left.empty()) {
    Degrade(std::to_string(left.size()) + (left.size() == 1 ? " engine" : " engines") +
            " left running by the " + current_);
  }
  return left;
}

std::size_t ServiceRecord::EnginesLeft() const {
  return static_cast<std::size_t>(std::count_if(
      databases_.begin(), databases_.end(),
      [](const DatabaseRecord& d) { return d.state == DatabaseState::kLeftRunning; }));
}

std::string ServiceRecord::StopShortfall() const {
  // "N things: a, b, c and 5 more"
  auto named = [](std::size_t n, const char* one, const char* many,
                  const std::vector<std::string>& names) {
    std::string text = std::to_string(n) + " " + (n == 1 ? one : many) + ": ";
    for (std::size_t i = 0; i < names.size() && i < kMostReasons; ++i) {
      text += (i == 0 ? "" : ", ") + names[i];
    }
    if (names.size() > kMostReasons) {
      text += " and " + std::to_string(names.size() - kMostReasons) + " more";
    }
    return text;
  };
  std::vector<std::string> left;
  for (const DatabaseRecord& d : databases_) {
    if (d.state == DatabaseState::kLeftRunning) left.push_back(d.name);
  }
  for (const std::string& name : still_up_) {
    if (std::find(left.begin(), left.end(), name) == left.end()) left.push_back(name);
  }
  std::string text;
  if (!failed_stops_.empty()) {
    text =
        named(failed_stops_.size(), "stop command failed", "stop commands failed", failed_stops_);
  }
  if (!left.empty()) {
    text += (text.empty() ? "" : "; ") +
            named(left.size(), "engine left running", "engines left running", left);
  }
  return text;
}

std::vector<DatabaseRecord> ServiceRecord::Started() const {
  std::vector<DatabaseRecord> started;
  for (const DatabaseRecord& d : databases_) {
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
  const std::optional<Pass> pass = PassOf(tag);
  if (!pass) return;  // no database's (systemctl)
  ++tally_.lines;
  DatabaseRecord& entry = Entry(tag.database, *pass);
  entry.command = command;
  entry.argument = tag.argument;
  entry.adopted = false;
  entry.launched = UtcNow();
  if (*pass == Pass::k4GL) started_with_[tag.database] = tag.argument;
  if (auto r = restarts_.find(Key(tag.database, *pass)); r != restarts_.end()) {
    entry.restarts = r->second;
  }
  Set(entry, IsStopPass(*pass) ? DatabaseState::kStopping : DatabaseState::kRunning, child, "");
}

void ServiceRecord::Adopted(const LaunchTag& tag, std::int64_t child, const std::string& command,
                            const std::string& launched) {
  const std::optional<Pass> pass = PassOf(tag);
  if (!pass || IsStopPass(*pass)) return;
  DatabaseRecord& entry = Entry(tag.database, *pass);
  entry.command = command;
  entry.argument = tag.argument;
  entry.adopted = true;
  entry.launched = launched;
  if (*pass == Pass::k4GL) started_with_[tag.database] = tag.argument;
  Set(entry, DatabaseState::kRunning, child,
      "adopted from an earlier run of the service (launched " + launched + ")");
  entry.since = launched;
}

bool ServiceRecord::AdoptedRuns(const std::string& name) const {
  return std::any_of(databases_.begin(), databases_.end(), [&name](const DatabaseRecord& d) {
    return d.adopted && d.name == name && d.pid != 0 && !IsStopPass(d.pass) && StillRuns(d);
  });
}

std::vector<const DatabaseRecord*> ServiceRecord::Engines() const {
  std::vector<const DatabaseRecord*> engines;
  engines.reserve(engines_.size());
  for (std::size_t at : engines_) engines.push_back(&databases_[at]);
  return engines;
}

void ServiceRecord::Restarting(const LaunchTag& tag) {
  if (const std::optional<Pass> pass = PassOf(tag)) ++restarts_[Key(tag.database, *pass)];
}

void ServiceRecord::GiveUp(const LaunchTag& tag, const std::string& why) {
  const std::optional<Pass> pass = PassOf(tag);
  if (!pass) return;
  DatabaseRecord& entry = Entry(tag.database, *pass);
  Set(entry, DatabaseState::kGivenUp, 0, why);
  Degrade(TagPrefix(tag) + "given up: " + why);
}

void ServiceRecord::Detail(const LaunchTag& tag, std::string detail) {
  const std::optional<Pass> pass = PassOf(tag);
  DatabaseRecord* entry = pass ? Find(tag.database, *pass) : nullptr;
  if (entry == nullptr) return;
  entry->detail = std::move(detail);
  changed_ = true;
}

bool ServiceRecord::Runs(const LaunchTag& tag) const {
  const std::optional<Pass> pass = PassOf(tag);
  if (!pass) return false;
  auto it = index_.find(Key(tag.database, *pass));
  if (it == index_.end()) return false;
  return std::any_of(it->second.begin(), it->second.end(),
                     [this](std::size_t i) { return StillRuns(databases_[i]); });
}

const DatabaseRecord* ServiceRecord::Latest(const LaunchTag& tag) const {
  const std::optional<Pass> pass = PassOf(tag);
  if (!pass) return nullptr;
  auto it = index_.find(Key(tag.database, *pass));
  if (it == index_.end()) return nullptr;
  return &databases_[it->second.back()];
}

void ServiceRecord::LaunchFailed(const LaunchTag& tag, const std::string& command,
                                 const std::string& why) {
  const std::optional<Pass> pass = PassOf(tag);
  if (!pass) return;
  ++tally_.lines;
  ++tally_.failed;
  DatabaseRecord& entry = Entry(tag.database, *pass);
  entry.command = command;
  entry.argument = tag.argument;
  Set(entry, DatabaseState::kLaunchFailed, 0, why);
  problems_.push_back(TagPrefix(tag) + "launch failed: " + why);
  if (in_start_ || in_stop_) Degrade(TagPrefix(tag) + "launch failed");
  if (IsStopPass(*pass)) failed_stops_.push_back(tag.database);
}

void ServiceRecord::LeftRunning(const LaunchTag&, std::int64_t) {
  // Its entry says "running" (or "stopping") already, with its pid.
}

bool ServiceRecord::Ended(const LaunchTag& tag, std::int64_t child, const ProcessEnd& end,
                          bool waited) {
  const std::optional<Pass> pass = PassOf(tag);
  if (!pass) return false;
  DatabaseRecord* entry = Find(tag.database, *pass, child);  // that launch's, never a later one's
  const std::string& how = end.text;
  if (waited || IsStopPass(*pass)) {
    // Within its wait: a start command that ended (an engine that
    // daemonized, or one that failed), or a stop command.
    if (EndedBadly(end) && (in_start_ || in_stop_)) {
      ++tally_.ended_badly;
      problems_.push_back(TagPrefix(tag) + how);
      Degrade(TagPrefix(tag) + how);
      if (IsStopPass(*pass)) failed_stops_.push_back(tag.database);
    }
    if (entry != nullptr && IsStopPass(*pass)) {
      Set(*entry, DatabaseState::kStopRan, 0, how);
    } else if (entry != nullptr && EndedBadly(end)) {
      // Failed: what it started, if anything, is not known to run.
      Set(*entry, DatabaseState::kStartFailed, 0, how);
    } else if (entry != nullptr) {
      // An engine that put itself in the background is no child of ours.
      Set(*entry, DatabaseState::kStartEnded, 0,
          how + "; what it started is not watched by the service");
    }
    return false;
  }
  // An engine left running has ended: expected during a pause or stop (or
  // while paused), not while the service runs.
  if (in_stop_ || state == ServiceState::kPaused) {
    if (entry != nullptr) Set(*entry, DatabaseState::kStopped, 0, how);
    return false;
  }
  // A checked database's start command that ended well once its wait was
  // over (its check passed first: a start script whose engine goes on in
  // the background): its check, not this end, says whether it is up.
  if (!EndedBadly(end) && ReadinessOf(tag.database) != nullptr) {
    if (entry != nullptr) {
      Set(*entry, DatabaseState::kStartEnded, 0, how + "; its check says whether it is up");
    }
    return false;
  }
  if (entry != nullptr) Set(*entry, DatabaseState::kEnded, 0, how + " at " + UtcNow());
  // A crash the site wants started again: the form decides when, or gives
  // up on it (and only then is the service degraded). One that ended with
  // status 0 stopped on purpose, and is never started again.
  if (restart_limit_ > 0 && EndedBadly(end)) {
    crashes_.push_back({tag, child, entry != nullptr ? entry->command : std::string(), end});
    return true;
  }
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

RequestOutcome RunRequest(ServiceEvents& events, const RequestKind& kind, ServiceRecord& record) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point started = Clock::now();
  const ServiceState before = record.state;
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
  outcome.state = outcome.succeeded ? kind.after_success : kind.after_failure.value_or(before);
  outcome.exit_status = outcome.succeeded ? kind.exit_after_success : kind.exit_after_failure;
  const double seconds = std::chrono::duration<double>(outcome.took).count();
  if (!outcome.succeeded) log::Error("request ", kind.name, " failed: ", outcome.failure);
  log::Event(log::Kind::kRequestEnded, outcome.succeeded ? log::Level::kInfo : log::Level::kError,
             "request ", kind.name, ": ", outcome.succeeded ? "done" : "failed", " in ", seconds,
             " s: ", DescribeTally(record.Tally()));
  record.EndRequest(kind, outcome.succeeded, outcome.failure, seconds, outcome.state);
  return outcome;
}

}  // namespace ostrim
