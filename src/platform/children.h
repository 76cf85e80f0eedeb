// The children of the service, as both platforms keep them: the watch list of
// children left running, and the wait of a sequence for its one child.
//
// Written once, over one primitive per platform (WaitForEvent: "wait for this
// child or for anything else that happens, up to N ms"):
//
//   Process::Wait(limit, tick)        deadline and tick arithmetic, here
//     -> WaitForEvent(child, step)    the platform: POSIX polls its event loop
//                                     (signals become requests, SIGCHLD reaps);
//                                     Windows waits on the child's handle
//     -> Ended(pid, end)              the platform, for every child seen to end:
//                                     a watched child's end is logged and it is
//                                     forgotten; the waited child's end is kept
//                                     for its Wait to return
//
// A child whose Process is destroyed while it runs (an engine still running
// after its 2500 ms) is watched: kept until it ends, never killed.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
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
    std::string label;  // the database and pass, for the log; may be empty
    Clock::time_point started;
    bool watched = false;  // left running: nobody waits for it
  };

  virtual ~ChildWatch() = default;

  // How many children left running are still watched.
  std::size_t Watched() const { return watched_.size(); }
  // How many children launched through this watch have not been seen to end.
  std::size_t Alive() const { return children_.size() - ended_.size(); }
  // The watched children by pid.
  std::vector<std::pair<std::int64_t, const Child*>> WatchedChildren() const;

  // Looks for children that ended, without blocking, and logs the end of
  // each watched one. The service's loop calls it; tests may too.
  virtual void ReapEnded() = 0;

  // A child has been launched; Launch calls it.
  void Launched(std::int64_t pid, Child child);

  // Tells the service manager what the service is doing right now, and that
  // it is alive: a long start or stop must not trip the manager's time-outs.
  // `more_time` is how much longer the current step may take. Without a
  // service manager, nothing happens.
  virtual void ReportProgress(std::string_view status, std::chrono::milliseconds more_time) {
    (void)status;
    (void)more_time;
  }

 protected:
  // The platform's primitive: returns when `child` may have ended, when
  // anything else happened (a request arrived), or after `timeout_ms`
  // (negative: no limit). The ends it sees are reported through Ended.
  virtual void WaitForEvent(Process& child, int timeout_ms) = 0;

  // The platform saw child `pid` end (`end.ran` is worked out here).
  void Ended(std::int64_t pid, ProcessEnd end);

  // The platform's records of the watched children (their handles), by pid.
  const std::unordered_map<std::int64_t, std::unique_ptr<Process::Impl>>& Watchers() const {
    return watched_;
  }
  static const Process::Impl& ImplOf(const Process& process) { return *process.impl_; }

 private:
  friend class Process;
  std::optional<ProcessEnd> Wait(Process& process, std::optional<std::chrono::milliseconds> limit,
                                 std::chrono::milliseconds tick,
                                 const std::function<void(std::chrono::milliseconds)>& on_tick);
  void Adopt(std::int64_t pid, std::unique_ptr<Process::Impl> impl);
  void LogEnd(std::int64_t pid, const Child& child, const ProcessEnd& end) const;

  std::unordered_map<std::int64_t, Child> children_;  // launched, not yet seen to end
  std::unordered_map<std::int64_t, std::unique_ptr<Process::Impl>> watched_;
  std::unordered_map<std::int64_t, ProcessEnd> ended_;  // waited for; Wait not yet told
};

// "ventas, 4GL: " for a labelled child, "" for another: how its log lines
// name it.
std::string LabelPrefix(const std::string& label);

}  // namespace ostrim::platform
