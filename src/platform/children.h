// The children of the service, as both platforms keep them: the watch list of
// children left running, and the waits for them.
//
// Written once, over one primitive per platform (WaitForEvent: "wait for one
// of these children or for anything else that happens, up to N ms"):
//
//   ChildWatch::WaitForAny(children, until)  the sequences' wait (the job
//                                     runner, modSubProceso): any of the
//                                     launches it runs at once
//   ChildWatch::WaitWhile(condition, limit)  the stop's grace for engines
//   Process::Wait(limit)              one child to its end (the systemctl
//                                     calls of -INSTALL); the deadline here
//     -> WaitForEvent(children, step) the platform: POSIX polls its event loop
//                                     (signals become requests, SIGCHLD reaps);
//                                     Windows waits on the children's handles
//     -> Ended(pid, end)              the platform, for every child seen to end:
//                                     a watched child's end is logged and it is
//                                     forgotten; the waited child's end is kept
//                                     for its Wait to return
//
// A child whose Process is destroyed while it runs (an engine still running
// after its 2500 ms) is watched: kept until it ends, never killed.
//
// Every child carries its LaunchTag (the database and the pass it was
// launched for), and an observer (the service record) is told of its whole
// life: launched, not launched and why, left running, ended.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/platform.h"

namespace ostrim::platform {

// What the platform holds for a child: its id, and on Windows its process
// handle (closed by the deleter); a POSIX child needs nothing but its pid.
class Process::Impl {
 public:
  using Handle = std::unique_ptr<void, void (*)(void*)>;
  explicit Impl(std::int64_t id, Handle h = Handle(nullptr, nullptr))
      : pid(id), handle(std::move(h)) {}
  std::int64_t pid;
  Handle handle;
};

class ChildWatch {
 public:
  using Clock = std::chrono::steady_clock;

  // What the watch knows of a child it launched that has not ended yet.
  struct Child {
    std::string command;
    LaunchTag tag;
    Clock::time_point started;
    bool watched = false;  // left running: nobody waits for it
    // What identifies its process beyond its pid (ProcessIdentity), read
    // at the first IdentityOf; an adopted child's, from its state file.
    std::string identity = {};
  };

  virtual ~ChildWatch() = default;

  // How many children left running are still watched.
  std::size_t Watched() const { return watched_.size(); }
  // How many children launched through this watch have not been seen to end.
  std::size_t Alive() const { return children_.size() - ended_.size(); }
  // ProcessIdentity of child `pid` while this watch has not seen it end
  // (read once: until then its pid stays its own, a child not yet reaped
  // or one whose handle is held), or empty.
  std::string IdentityOf(std::int64_t pid);
  // The watched children by pid.
  std::vector<std::pair<std::int64_t, const Child*>> WatchedChildren() const;

  // Looks for children that ended, without blocking, and logs the end of
  // each watched one. The service's loop calls it; tests may too.
  virtual void ReapEnded() = 0;

  // Launches `command_line` as a child of this watch (platform::Launch);
  // the job runner launches through it, so that a test's watch can make
  // children of its own.
  virtual Process Spawn(const std::string& command_line, LaunchTag tag);

  // A child has been launched; Launch calls it.
  void Launched(std::int64_t pid, Child child);
  // A process an earlier run of the service launched, that still runs: it
  // is watched from now on as a child left running is, `ran` since its
  // launch. The platform holds it by `impl`, and reports its end through
  // Ended like any other's.
  void AdoptRunning(std::int64_t pid, Child child, std::chrono::milliseconds ran,
                    std::unique_ptr<Process::Impl> impl);
  // A launch made no child; the launcher calls it, with the reason.
  void LaunchFailed(const LaunchTag& tag, const std::string& command, const std::string& why);

  // Who is told of each child's life (null: nobody).
  void SetObserver(ChildObserver* observer) { observer_ = observer; }

  // The watch's clock: steady time (tests give it a clock of their own).
  virtual Clock::time_point Now() const { return Clock::now(); }

  // Waits, taking what happens meanwhile as any wait does, while
  // `condition` holds and at most `limit`.
  void WaitWhile(const std::function<bool()>& condition, std::chrono::milliseconds limit);

  // Waits until one of `children` has ended (it is returned, and its end is
  // kept in it, as Process::Wait keeps it) or `until` has passed (null).
  // What happens meanwhile is taken as in any wait. The sequences that run
  // several children at once wait here.
  Process* WaitForAny(std::span<Process* const> children, Clock::time_point until);

 protected:
  // The platform's primitive: returns when one of `children` (none: any
  // watched child) may have ended, when anything else happened (a request
  // arrived), or after `timeout_ms` (negative: no limit). The ends it sees
  // are reported through Ended.
  virtual void WaitForEvent(std::span<Process* const> children, int timeout_ms) = 0;

  // The platform saw child `pid` end (`end.ran` is worked out here).
  void Ended(std::int64_t pid, ProcessEnd end);

  // The platform's records of the watched children (their handles), by pid.
  const std::unordered_map<std::int64_t, std::unique_ptr<Process::Impl>>& Watchers() const {
    return watched_;
  }
  static const Process::Impl& ImplOf(const Process& process) { return *process.impl_; }
  // Milliseconds until `until` from `now`, rounded up, for WaitForEvent.
  static int TimeoutUntil(Clock::time_point now, Clock::time_point until);

 private:
  friend class Process;
  std::optional<ProcessEnd> Wait(Process& process, std::optional<std::chrono::milliseconds> limit);
  void Adopt(std::int64_t pid, std::unique_ptr<Process::Impl> impl);
  // When `process` was seen to end, keeps its end in it and tells the
  // observer; returns whether it did.
  bool Collect(Process& process);
  void LogEnd(std::int64_t pid, const Child& child, const ProcessEnd& end, bool unexpected) const;

  std::unordered_map<std::int64_t, Child> children_;  // launched, not yet seen to end
  std::unordered_map<std::int64_t, std::unique_ptr<Process::Impl>> watched_;
  std::unordered_map<std::int64_t, ProcessEnd> ended_;  // waited for; Wait not yet told
  ChildObserver* observer_ = nullptr;
};

}  // namespace ostrim::platform
