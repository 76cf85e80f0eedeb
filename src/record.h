// The record of a serving instance: what it is doing, what its last request
// came to, and what it knows of each database from its own launches. One
// record, kept the same way on every platform; the service hosts only publish
// it (Linux: the control channel's answer; Windows: a registry value).
//
// The record is kept up to date by the requests (RunRequest, below) and
// by the children (it is its ChildWatch's observer), so that nothing else
// needs to tell it anything; the form adds what only it knows (a database it
// skipped, the engines left running after a stop).
//
// Its text form, the one -STATUS prints, is "key<TAB>value" lines, then one
// line per database and pass:
//
//   state<TAB>running
//   pid<TAB>4021
//   ...
//   database<TAB>ventas<TAB>4GL<TAB>running<TAB>4107<TAB>2026-12-09T10:02:11Z<TAB><TAB>arranca ventas -z<TAB>0
//
// Keys (documented for operators in the manual page; names are stable):
//
// | Key               | Value                                                           |
// |-------------------|-----------------------------------------------------------------|
// | state             | starting, running, pausing, paused, continuing, stopping,       |
// |                   | stopped (none: no service serves the site)                      |
// | health            | healthy, or degraded (running, but a launch of the last start   |
// |                   | failed, or an engine it started ended while it ran)             |
// | health_reason     | why it is degraded; empty when healthy                          |
// | pid, since        | the service's process, and since when it is in its state (UTC)  |
// | directory         | the site: the program's directory                               |
// | requests          | how many requests have ended since it started                   |
// | last_request      | the last request that ended: start, continue, pause, stop       |
// | last_result       | "done", or "failed: why"                                        |
// | last_state_before | the state it was in when that request came                     |
// | last_lines, last_launched, last_failed, last_ended_badly | its command lines, how   |
// |                   | many were launched, failed to launch, ended with an error      |
// | last_seconds      | how long it took                                                |
// | last_problem      | one line per thing that failed in it: "ventas, stop: exit      |
// |                   | status 1"                                                       |
// | last_note         | one line per thing worth knowing of it that is no failure: a   |
// |                   | database a pause left out whose engine still runs               |
// | database          | name, pass, state, pid (0: none), since, detail, command line, |
// |                   | restarts (how often it was started again after a crash since   |
// |                   | the last start); a line of an earlier version, without the last |
// |                   | fields, reads them as 0 or empty                                |
//
// A value never holds a TAB or a line end: they are written as blanks.
//
// The fields of a database line, their places and their JSON keys are one
// table (kDatabaseFields, record_text.cpp): a new per-database field is a
// member of DatabaseRecord, its row there, and the code that sets it.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "launch.h"
#include "readiness.h"
#include "requests.h"

namespace ostrim {

// The passes of the sequences: the start's two, and the stop's one.
enum class Pass { kSQL, k4GL, kStop };
// "SQL", "4GL", "stop": as the log, the launch tags and -STATUS name them.
const char* PassName(Pass pass);
// The pass a launch tag names (a tag of no database's pass: none).
std::optional<Pass> PassFromName(std::string_view name);

// What the service knows of one database and pass from its own launches.
enum class DatabaseState {
  kNotLaunched,   // listed, but not launched (detail: why)
  kLaunchFailed,  // no process was created (detail: why)
  kRunning,       // its start command still runs (pid, since)
  kStartEnded,    // its start command ended within its wait with status 0; an engine that
                  // daemonizes ends it at once, and the service cannot see the engine
  kStartFailed,   // its start command ended within its wait with a non-zero status or a
                  // signal (detail: which): nothing of it was started
  kEnded,         // it ended while the service was running (detail: status or signal)
  kStopping,      // its stop command runs (pid)
  kStopRan,       // its stop command ended (detail: its status)
  kStopped,       // the engine ended during a pause or stop
  kLeftRunning,   // the engine still ran when the pause or stop ended
  kGivenUp,       // it crashed more often than [opciones] reinicia allows: not started
                  // again until the next start or continue
};

const char* DatabaseStateName(DatabaseState state);

struct DatabaseRecord {
  std::string name;
  Pass pass = Pass::k4GL;
  DatabaseState state = DatabaseState::kNotLaunched;
  std::int64_t pid = 0;       // 0: none
  std::string since;          // when it entered `state` (UTC)
  std::string detail;         // why, or how it ended; may be empty
  std::string command;        // the command line
  std::string argument;       // its argument text when launched (not published)
  int restarts = 0;           // how often it was started again after a crash, since the last start
  std::string launched = {};  // when its process was launched (UTC; not published)
  bool adopted = {};          // its engine was launched by an earlier run of the service
};

// Whether a checked database is up ([listo], [puertos]), as the service last
// found it: one per such database, in the order they were first checked.
struct ReadinessRecord {
  std::string name;
  std::string state;   // waiting, up, down, stopped (NombreEstadoListo)
  std::string since;   // when it entered `state` (UTC)
  std::string detail;  // the last check's outcome: "exit status 1", "up after 1.240 s"
  std::string what;    // the check line and/or the address
};

// Whether the entry is a process the service watches that still runs: an
// engine (its start command, running or left running) or a stop command.
bool StillRuns(const DatabaseRecord& entry);

// What one request's sequence ran: how many command lines, how many of them
// were launched, could not be launched, or ended badly (a non-zero status or
// a signal) while the sequence waited for them.
struct SequenceTally {
  int lines = 0;
  int failed = 0;
  int ended_badly = 0;
  // Databases not started because an engine of theirs, adopted from an
  // earlier run of the service, still runs.
  int still_running = 0;
  // Checked databases found up before their first launch: not started.
  int up_already = 0;
};

// "4 command lines, all launched", "4 command lines, 3 launched, 1 launch
// failed, 1 ended with an error", "2 command lines, all launched; 1 database
// still running from an earlier run was not started again".
std::string DescribeTally(const SequenceTally& tally);

// Now, in UTC, ISO 8601: "2026-12-08T23:17:36Z".
std::string UtcNow();
// The same, `after` from now.
std::string UtcAfter(std::chrono::milliseconds after);

class ServiceRecord final : public ChildObserver {
 public:
  ServiceState state = ServiceState::kStarting;
  std::int64_t pid = 0;
  std::string since;
  std::string directory;
  bool degraded = false;
  std::string health_reason;
  std::uint64_t requests = 0;
  std::string last_request;  // empty before the first request ended
  std::string last_result;   // "done", or "failed: why"
  ServiceState last_state_before = ServiceState::kNone;
  SequenceTally last_tally;
  double last_seconds = 0;
  // What failed in it, one text each: "ventas, stop: exit status 1".
  std::vector<std::string> last_problems;
  // What is worth knowing of it without being a failure: "compras, 4GL:
  // left out of the pause by [seleccion] of ...; its engine, pid 4107,
  // still runs".
  std::vector<std::string> last_notes;

  // One entry per launch still of interest, in launch order: a database and
  // pass has one, or more while earlier launches of it still run (a
  // continue that launched it again, a database selected twice): none of
  // them is ever forgotten while it runs.
  const std::vector<DatabaseRecord>& Databases() const { return databases_; }
  // Adds an entry as it is (a record read back, a test).
  void AddDatabase(DatabaseRecord entry);

  // Each checked database's readiness; a database found down makes the
  // service degraded while it stays so (its reason in health_reason).
  const std::vector<ReadinessRecord>& Checks() const { return checks_; }
  // Sets it (`since` anew when its state changes; `what` kept when empty).
  void Readiness(const std::string& name, EstadoListo state, std::string detail,
                 std::string what = {});
  const ReadinessRecord* ReadinessOf(const std::string& name) const;
  // Only the databases named (checked now) keep theirs.
  void KeepReadiness(const std::unordered_set<std::string>& names);
  void AddReadiness(ReadinessRecord entry);

  // The text form above, and back; a line that is not understood is
  // skipped, and "\r\n" reads as "\n". kWire is what passes from the
  // service to the operator's command: each value escaped so that Parse
  // gives it back exactly, whatever it holds (a backslash as "\\", a TAB
  // as "\t", a line end as "\n" or "\r", another control character as
  // "\xNN"). kShown is what the operator sees: control characters written
  // as there, backslashes as they are (Windows paths stay readable).
  enum class Form { kWire, kShown };
  std::string Text(Form form = Form::kWire) const;
  static ServiceRecord Parse(std::string_view text);
  // The same facts as one JSON object; the keys as above, the databases as
  // a list of objects ("name", "pass", "state", "pid", "since", "detail",
  // "command"), the last request as an object ("last_request": null before
  // the first).
  std::string Json() const;
  // The same facts as Prometheus' text exposition format (0.0.4), for a
  // fleet's dashboards and alerts (the node exporter's textfile collector):
  //
  // | Metric                                 | Type    | Value                              |
  // |----------------------------------------|---------|------------------------------------|
  // | ostrim_up                              | gauge   | 1 when a service serves the site   |
  // | ostrim_healthy                         | gauge   | 1 healthy, 0 degraded              |
  // | ostrim_state{state}                    | gauge   | 1 for the service's state, else 0  |
  // | ostrim_state_since_timestamp_seconds   | gauge   | when it entered it (Unix time)     |
  // | ostrim_requests_total                  | counter | requests ended since it started    |
  // | ostrim_last_request_success            | gauge   | 1 done, 0 failed (after the first) |
  // | ostrim_last_request_duration_seconds   | gauge   | how long it took                   |
  // | ostrim_database_state{database,pass,state} | gauge | engines in that state: a sample |
  // |                                        |         | per state of every database/pass   |
  // | ostrim_database_restarts_total{database,pass} | counter | crashes started again     |
  // |                                        |         | since the last start               |
  // | ostrim_check_state{database,state}     | gauge   | 1 for a checked database's state   |
  // |                                        |         | (waiting, up, down, stopped), else 0 |
  //
  // With no service (state none) only ostrim_up 0. Label values are
  // escaped as the format says (a name may hold any byte: one that is no
  // UTF-8 is read as JSON reads it, json::AsUtf8).
  std::string Metrics() const;

  // --- Kept by the requests (RunRequest)
  void EnterState(ServiceState now);
  void BeginRequest(const RequestKind& kind);
  void EndRequest(const RequestKind& kind, bool succeeded, const std::string& failure,
                  double seconds, ServiceState after);
  // The current request's tally so far, and its name ("pause").
  const SequenceTally& Tally() const { return tally_; }
  const std::string& Current() const { return current_; }
  // The row of the request running, or of the last one (null before any).
  const RequestKind* CurrentKind() const { return current_kind_; }

  // --- Told by the form
  // A listed database that was not launched, and why.
  void NotLaunched(const LaunchTag& tag, const std::string& why);
  // Something that went wrong in the current request, naming its database.
  void Problem(const std::string& text) { problems_.push_back(text); }
  // Something worth knowing of the current request, not a failure.
  void Note(const std::string& text) { notes_.push_back(text); }
  // Whether an engine of a database this stop is for still runs.
  bool EnginesRunning() const;
  // A pause or stop has run its stop commands: every engine of the
  // databases it stopped that still runs is left running (returned, to be
  // named; a problem of the request), those left running before included.
  std::vector<DatabaseRecord> EndOfStop();
  // How many engines are left running.
  std::size_t EnginesLeft() const;
  // What the current pause or stop failed to do, naming the databases: "2
  // stop commands failed: ventas, compras; 1 engine left running: almacen";
  // empty when every stop command ran and ended well and no engine is left.
  std::string StopShortfall() const;
  // The start launches whose processes were created and may have left an
  // engine (running, left running, or ended with status 0 within its
  // wait), which a stop must stop.
  std::vector<DatabaseRecord> Started() const;
  // The [bases4GL] value a database was last started with ("" when none):
  // kept apart from its entries, so that a pass's end never loses it.
  std::string StartedWith(const std::string& name) const;

  // --- Crashes, and starting engines again ([opciones] reinicia)
  // How many restarts the site allows (0: none, today's behaviour: a crash
  // degrades the service). With some, a crash is kept for the form, which
  // starts the engine again or gives up on it, instead of degrading.
  void SetRestartLimit(int limit) { restart_limit_ = limit; }
  // An engine the service watched that ended on its own with a non-zero
  // status or a signal while the service ran.
  struct Crash {
    LaunchTag tag;
    std::int64_t pid = 0;
    std::string command;
    ProcessEnd end;
  };
  std::vector<Crash> TakeCrashes() { return std::exchange(crashes_, {}); }
  // The next launch of the database and pass is its restart: counted in
  // its entry's `restarts`.
  void Restarting(const LaunchTag& tag);
  // It crashed too often: given up on, and the service degraded.
  void GiveUp(const LaunchTag& tag, const std::string& why);
  // What its latest entry says of it now (a restart to come, one cancelled).
  void Detail(const LaunchTag& tag, std::string detail);
  // Whether an engine of the database and pass still runs.
  bool Runs(const LaunchTag& tag) const;
  // Its latest entry (null: none).
  const DatabaseRecord* Latest(const LaunchTag& tag) const;

  // --- The service's own death (its state file, adoption)
  // An engine an earlier run of the service launched, found still running
  // at start-up: watched as if this run had launched it, since `launched`.
  void Adopted(const LaunchTag& tag, std::int64_t pid, const std::string& command,
               const std::string& launched);
  // Whether an adopted engine of the database (any pass) still runs.
  bool AdoptedRuns(const std::string& name) const;
  // A start left the database alone: an adopted engine of it still runs
  // (counted in the request's tally).
  void NotStartedAgain() { ++tally_.still_running; }
  // A start left the database alone: its check found it up already.
  void UpAlready() { ++tally_.up_already; }
  // A pause or stop found the database still up after its stop command
  // (its check still passes): left running, a problem of the request.
  void StillUp(const std::string& name, const std::string& why);
  // The engines the service watches that still run (start launches, not
  // stop commands), in launch order: what its state file keeps.
  std::vector<const DatabaseRecord*> Engines() const;
  // Whether what the state file keeps may have changed since the last call
  // (an engine's life, the service's state).
  bool TakeKeptChanged() { return std::exchange(kept_changed_, false); }

  // --- Told by the children (ChildObserver)
  void Launched(const LaunchTag& tag, std::int64_t pid, const std::string& command) override;
  void LaunchFailed(const LaunchTag& tag, const std::string& command,
                    const std::string& why) override;
  void LeftRunning(const LaunchTag& tag, std::int64_t pid) override;
  bool Ended(const LaunchTag& tag, std::int64_t pid, const ProcessEnd& end, bool waited) override;

  // Whether it changed since the last call (for a host that publishes it),
  // and whether the service became degraded since the last call (for a
  // host that tells its service manager).
  bool TakeChanged();
  bool TakeNewlyDegraded();

 private:
  static std::string Key(const std::string& name, Pass pass);
  // The latest entry of a database and pass; with a pid, the entry of that
  // launch only.
  DatabaseRecord* Find(const std::string& name, Pass pass,
                       std::optional<std::int64_t> launch = std::nullopt);
  // The entry a new launch of it fills: its latest, unless that one still
  // runs (then a new one beside it).
  DatabaseRecord& Entry(const std::string& name, Pass pass);
  void Reindex();
  static bool IsEngine(const DatabaseRecord& d);
  void NoteEngine(std::size_t at);  // entry `at` of databases_ changed
  std::unordered_set<std::string> StoppedNow() const;
  void Set(DatabaseRecord& entry, DatabaseState state, std::int64_t entry_pid, std::string detail);
  void Degrade(const std::string& why);
  // degraded and health_reason, from what the requests found and the
  // checked databases found down.
  void Salud();

  bool in_stop_ = false;   // a pause or stop is running
  bool in_start_ = false;  // a start or continue is running
  std::string current_;    // the request running ("pause")
  const RequestKind* current_kind_ = nullptr;
  ServiceState before_ = ServiceState::kNone;  // the state it came in
  SequenceTally tally_;
  std::vector<std::string> problems_;
  std::vector<std::string> notes_;
  std::vector<std::string> failed_stops_;  // the current request's, by database
  std::vector<std::string> still_up_;      // checked, still up after their stop
  bool changed_ = true;
  bool kept_changed_ = true;
  bool newly_degraded_ = false;
  std::size_t reasons_ = 0;  // how many reasons the health has had
  bool degradado_ = false;   // what the requests found, apart from the checks
  std::string razones_;
  std::vector<ReadinessRecord> checks_;
  std::vector<DatabaseRecord> databases_;
  // Where each database and pass's entries are in `databases_`, oldest
  // first; rebuilt whenever entries are dropped.
  std::unordered_map<std::string, std::vector<std::size_t>> index_;
  // Which entries of `databases_` are engines (Engines()), in their order:
  // kept as each entry changes, so that keeping the state file after a
  // launch costs the engines that run, not every entry of a long site.
  std::set<std::size_t> engines_;
  // Each database's [bases4GL] value as last started.
  std::unordered_map<std::string, std::string> started_with_;
  int restart_limit_ = 0;
  std::vector<Crash> crashes_;
  // How often each database and pass was started again since the last start.
  std::unordered_map<std::string, int> restarts_;
};

// Runs one request's handler to its end, keeping `record` up to date: logs
// that it begins, calls the form's handler, checks the success flag it
// leaves (true is kTrue; anything else, or an exception, is a failure, logged
// with its reason), logs how it ended, what it ran and how long it took.
RequestOutcome RunRequest(ServiceEvents& events, const RequestKind& kind, ServiceRecord& record);

// What the operator's command prints and its exit status, from the record a
// serving instance gave back (record_text.cpp, beside the record's text
// form): after a request ran, one outcome line, and on standard error one
// line per thing that failed in it (0 when it was done and nothing failed:
// every command line launched, no stop command ended badly, no engine left
// running; else 1); for -STATUS, the record (with `json`, as JSON; 0
// healthy, 4 running but degraded). `eol` is the console's line end.
ControlReply ReplyToRequest(const ServiceRecord& after, std::string_view eol);
ControlReply ReplyToStatus(const ServiceRecord& record, StatusForm form, std::string_view eol);
// When no instance serves the site: -STATUS says "none" and exits 3, a
// request exits 1. `why` goes to standard error.
ControlReply ReplyNoService(bool status, StatusForm form, const std::string& directory,
                            const std::string& why, std::string_view eol);

// The line an operator sees once the request they sent has run:
// "pause: done in 1.234 s: 3 command lines, all launched (was running, now
// paused)".
std::string OutcomeLine(const ServiceRecord& after);

// A value as the record's wire form writes it (kWire: control characters
// and backslashes escaped, never a TAB or a line end), and back: what other
// TAB-separated files of the service use too.
std::string WireField(std::string_view text);
std::string FromWireField(std::string_view text);
// A line of such values split at its TABs (still escaped).
std::vector<std::string_view> WireFields(std::string_view line);
// "2026-12-08T23:17:36Z" as seconds since 1970 (UTC); none when it is not
// such a time.
std::optional<std::int64_t> UnixSeconds(std::string_view iso);

}  // namespace ostrim
