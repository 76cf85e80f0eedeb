// The thin layer between ostrim and the operating system.
//
// Everything above this header is plain C++: the form, the profile reader and
// the process launcher reach the system only through the calls declared here.
// Each platform has its own folder (posix/ for Linux with systemd, win32/ for
// Windows), and CMake builds exactly one of them; no function body above this
// layer changes with the platform.
//
// Errors are exceptions (platform::Error or a class derived from it) unless a
// call says otherwise; the message says what failed and why.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "launch.h"
#include "requests.h"

namespace ostrim {
class ServiceRecord;  // record.h: what the hosts keep and publish
}  // namespace ostrim

namespace ostrim::platform {

class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// ---------------------------------------------------------------------------
// Profile files

// The profile call, with the contract of Windows' GetPrivateProfileStringA:
//
// - `key` not null: copies the value of `key` in `section` of `file` into
//   `buffer`, or `defecto` when the file, the section or the key is missing.
//   At most size - 1 characters are copied, then a NUL; returns the number of
//   characters copied (size - 1 when the value was cut).
// - `key` null: copies the key names of `section`, in file order, each
//   followed by a NUL, and one more NUL after the last; returns the count
//   without that final NUL. When they do not fit, the last name is cut and
//   followed by two NULs, and the result is size - 2.
//
// Section and key names match without regard to letter case. A file that
// cannot be read reads as missing (the reason is logged). Never throws for
// file problems.
std::size_t GetPrivateProfileString(const char* section, const char* key, const char* defecto,
                                    char* buffer, std::size_t size, const std::string& file);

// One consistent view of the profile files, for as long as it lives: each
// file is read once, at its first lookup in the view, and every later lookup
// sees that same content, whatever happens to the file meanwhile. A request
// takes one when it begins, so that every command line it builds comes from
// one version of each file, and an edit takes effect at the next request.
// A view taken while another lives joins it. When the last one ends, a
// huge profile read through it is let go: it costs its size only while read.
class ProfileView {
 public:
  ProfileView();
  ~ProfileView();
  ProfileView(const ProfileView&) = delete;
  ProfileView& operator=(const ProfileView&) = delete;
};

// Why `file` cannot be read as a profile file ("no such file", "it is a
// directory"...), or empty when it can.
std::string ProfileProblem(const std::string& file);

// ---------------------------------------------------------------------------
// Paths

// The directory holding the program file (links resolved), without a
// trailing separator.
std::string ProgramDirectory();

// `directory` joined with a relative path written the Windows way, with a
// leading backslash ("\\bases\\tmp.ini"): on Windows as it is, elsewhere with
// each backslash turned into the platform's separator.
std::string PathInDirectory(const std::string& directory, std::string_view windows_relative);

// Why `path` (a profile file, the program's directory or bases\) cannot be
// trusted, or empty: when the service runs with full privileges, anyone who
// can write a profile file, or create one in the program's directory, can
// run commands with those privileges. A profile is judged by where it
// leads and every directory and link on the way; a directory must be
// writable by nobody else at all. A path that does not exist is no concern.
// (The programs a launch runs are judged by the launch itself, as -CHECK
// sees: see CheckCommandLine.)
std::string WhyUntrusted(const std::string& path);

// Why the environment line NAME=value, to be set for every command the
// service runs, cannot be trusted, or empty: with full privileges, a loader
// variable (LD_PRELOAD, LD_LIBRARY_PATH...) may name only files and
// directories nobody else could have changed or planted.
std::string WhyUntrustedEnvironment(const std::string& name, const std::string& value);

// ---------------------------------------------------------------------------
// Environment of the service's own process

// Sets one variable; every child launched afterwards inherits it. Throws when
// the platform rejects the name or the value.
void SetEnvironmentVariable(const std::string& name, const std::string& value);
// Its value now; none when it is not set.
std::optional<std::string> GetEnvironmentVariable(const std::string& name);
// Removes it (nothing when it is not set).
void UnsetEnvironmentVariable(const std::string& name);

// ---------------------------------------------------------------------------
// Child processes

// Text for the log: "exit status 0", "killed by signal 15 (Terminated)"
// (a ProcessEnd's `text`, launch.h).
std::string DescribeEnd(const ProcessEnd& end);

class ChildWatch;

// A child launched by Launch. Move-only owner of the child and of everything
// the platform holds for it. Destroying a Process whose child still runs hands
// the child to the ChildWatch it was launched through: it is never killed and
// never left as a zombie, and its end is logged whenever it comes.
class Process {
 public:
  class Impl;  // what the platform holds for the child (pid, handle)
  Process(std::unique_ptr<Impl> impl, ChildWatch& watch);
  Process(Process&&) noexcept;
  Process& operator=(Process&&) = delete;
  ~Process();

  std::int64_t Id() const;

  // Waits until the child ends or `limit` has passed (no limit: nullopt).
  // Returns the end (the same end again when asked after the child ended),
  // or nullopt when the limit passed first. Requests that reach the service
  // meanwhile are queued, not lost.
  std::optional<ProcessEnd> Wait(std::optional<std::chrono::milliseconds> limit);

  // Ends the child at once, and every process it started in its own group
  // (POSIX: its session's group, SIGKILL; Windows: the process itself).
  // Only for a child the service runs for its own ends (a check), never an
  // engine. Its end is then seen as any other's; nothing when it has ended.
  void Kill();

 private:
  friend class ChildWatch;
  std::unique_ptr<Impl> impl_;
  ChildWatch* watch_;
  std::optional<ProcessEnd> end_;
};

// Thrown by Launch when no process was created; what() gives the program and
// the reason.
class LaunchError : public Error {
 public:
  using Error::Error;
};

// Runs `command_line` as a hidden child, the way Windows' CreateProcessA does
// with no application name: the program is taken from the start of the line,
// the rest are its arguments; no console or window, normal priority, handles
// not inherited, the service's environment and current directory. Never
// through a shell. `tag` names the child in the log and the service record.
Process Launch(const std::string& command_line, ChildWatch& watch, LaunchTag tag = {});

// What a launch of `command_line` would run, found without running it, by
// the same code the launch uses: the program as the line names it (split as
// CreateProcessA splits it), where it was found (empty: nowhere), the
// arguments the program would get after its argv[0], and why it could not
// run (empty when nothing stands in its way that can be seen beforehand: a
// missing program, a directory, a file that is not executable, a script
// whose interpreter is missing).
struct ProgramCheck {
  std::string program;
  std::string found;
  std::vector<std::string> arguments;
  std::string problem;
  // The problem as the launch reports it when it fails: "cannot run
  // "/opt/db/arranca": not executable" (empty when there is none).
  std::string Text() const;
};
ProgramCheck CheckCommandLine(const std::string& command_line);

// One request's judgement of what its command lines run. While one lives,
// each program a line names is looked up and judged once (with every
// directory and link on the way to it, each judged once too), and a
// script's "#!" line is read once. What was judged is remembered with what
// identifies the file (device, inode, owner, mode, change time): a launch
// looks at its program once more and judges it again when it is no longer
// the file judged, so that a program swapped during a request is refused as
// it would be at the next one. -CHECK, which runs nothing, believes what its
// request judged. Views taken while another lives join it; when the last
// ends, nothing judged is kept: the next request judges everything afresh.
// A request takes one with its ProfileView.
class TrustView {
 public:
  TrustView();
  ~TrustView();
  TrustView(const TrustView&) = delete;
  TrustView& operator=(const TrustView&) = delete;
};

// Whether a TCP connection to `host` (a name, an IPv4 or an IPv6 address)
// and `port` is accepted within `limit`; it is closed at once, nothing is
// sent. Empty when accepted; else why not, in the platform's words:
// "connection refused", "no answer" (within `limit`), "no such host: ...".
// Each address the name has is tried in turn, within the same `limit`.
std::string TryConnect(const std::string& host, std::uint16_t port,
                       std::chrono::milliseconds limit);

// The same attempt without waiting for it: begun at once (the name resolved
// first, which takes the resolver's time), then asked whether it is over,
// so that several go on side by side. Its socket is closed when it ends.
class ConnectAttempt {
 public:
  ConnectAttempt(const std::string& host, std::uint16_t port, std::chrono::milliseconds limit);
  ~ConnectAttempt();
  ConnectAttempt(const ConnectAttempt&) = delete;
  ConnectAttempt& operator=(const ConnectAttempt&) = delete;
  // Waits at most `wait` for it to be over. Its outcome once it is, as
  // TryConnect says it (empty: accepted); none while it goes on.
  std::optional<std::string> Outcome(std::chrono::milliseconds wait = {});

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// What identifies the running process `pid` beyond its pid, so that a pid
// the system has given to another process since is never taken for it
// (Linux: its start time and the boot's id; Windows: its creation time).
// Empty when no such process runs.
std::string ProcessIdentity(std::int64_t pid);

// A ChildWatch for a program that serves no requests (a command run by hand,
// a test): its waits wait for the child alone.
std::unique_ptr<ChildWatch> CreateChildWatch();

// ---------------------------------------------------------------------------
// The service-host layer (the service manager's side of the form)

// The service control's start-mode setting 2: started automatically at boot.
inline constexpr int kStartAutomatic = 2;
// The accepted-controls flag of pause and continue.
inline constexpr std::int16_t kAcceptPauseContinue = 2;

struct ServiceSettings {
  std::string name;          // "ostrim"
  std::string display_name;  // "Bases de Datos Tarquesa"
  int start_mode = kStartAutomatic;
};

class ServiceHost {
 public:
  virtual ~ServiceHost() = default;

  // Registers the service with the system's service manager under the
  // settings. Returns a one-line confirmation; throws Error on failure.
  virtual std::string Install() = 0;
  // Unregisters it; throws Error when it is not registered or on failure.
  virtual std::string Uninstall() = 0;
  // The set of requests accepted besides start and stop
  // (kAcceptPauseContinue: pause and continue).
  virtual void SetControlsAccepted(std::int16_t controls) = 0;
  // Connects the process to the service manager. The start request is the
  // first one delivered.
  virtual void StartService() = 0;
  // Delivers requests to `events`, one at a time and in order, until the stop
  // request has been handled or a start request failed; returns the process's
  // exit status.
  virtual int RunEventLoop(ServiceEvents& events) = 0;
  // Every child the handlers launch goes through this watch, so that waiting
  // for it keeps the service taking requests.
  virtual ChildWatch& Children() = 0;
  // The record of this serving instance: kept by the requests and the
  // children; the form adds what only it knows. The host publishes it.
  virtual ServiceRecord& Record() = 0;
  // Tells the service manager what the service is doing right now, and that
  // it is alive: a long start or stop must not trip the manager's time-outs.
  // `more_time` is how much longer the current step may take; none: the
  // status is where the request ended. Without a service manager, only the
  // status is kept.
  virtual void ReportProgress(std::string_view status, std::chrono::milliseconds more_time) = 0;
  // How long a stop may take (none: no limit), as the site sets it. Windows
  // gives it to the Service Control Manager as the service's pre-shutdown
  // time (10 minutes when there is no limit), at -INSTALL and at each
  // start, so that Windows lets the stop commands run at shutdown; systemd
  // learns it from the progress reports.
  virtual void SetStopTimeLimit(std::optional<std::chrono::milliseconds> limit) = 0;

  // From an operator's command line, to the service serving this site:
  // asks it for `request` (pause or continue) and waits until the request
  // has run (ReplyToRequest). Status 1 also when no service serves, the
  // caller may not control it, or it could not run.
  virtual ControlReply Control(const RequestKind& request) = 0;
  // The serving service's record (ReplyToStatus): status 0 when one serves
  // and is healthy, 4 when it serves degraded, 3 when none does, 1 when it
  // cannot be told. `json`: as one JSON object.
  virtual ControlReply Status(StatusForm form) = 0;
};

std::unique_ptr<ServiceHost> CreateServiceHost(const ServiceSettings& settings);

// How the service is run and sent requests on this platform, for --help:
// the "(nothing)" entry of the usage text, its requests' ways from the
// request table.
std::string ServiceUsage(const ServiceSettings& settings);

// ---------------------------------------------------------------------------
// Console and log

// Makes sure the standard streams are open (on POSIX systems: descriptors 0,
// 1 and 2, on /dev/null where they were closed), so that nothing the program
// opens later takes their place and receives what is written to them. The
// program calls it before anything else.
void SecureStandardStreams();

// Writes one log line (without its line end) to the service's log.
// `priority` is a syslog priority (3 error ... 7 debug). Never blocks the
// service: when the log's reader stalls, lines wait in a bounded backlog,
// and past it they are dropped and counted; the count is logged when the
// reader takes lines again. `event_id` sorts the line in logs that keep
// event IDs (the Windows event log).
void WriteLogLine(int priority, std::string_view line, int event_id = 1);

// At the program's end: log lines still waiting for a stalled reader are
// written for at most `limit`; the count of those that could not be is
// written last, if it can be.
void FinishLog(std::chrono::milliseconds limit);

// Writes `text` to the file `path` whole: a new file beside it (readable by
// all, writable by its owner), renamed over it once written, so that a
// reader sees the old content or the new, never a part. Throws Error.
void WriteFileWhole(const std::string& path, std::string_view text);

// Writes text to standard output or standard error, as it is.
void WriteStdout(std::string_view text);
void WriteStderr(std::string_view text);

}  // namespace ostrim::platform
