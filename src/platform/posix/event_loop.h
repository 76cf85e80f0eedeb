// The POSIX service's event loop: where requests, children and waits meet.
// Linux: waitid(P_ALL) and pipe2; the control channel's own Linux calls are
// named in control.h.
//
// Contract:
//
// - Everything that happens to the service reaches it through one pipe. A
//   signal handler writes the number of each signal caught into it and does
//   nothing else, so signals are taken in the order they arrived. The pipe
//   is the loop's own (close-on-exec, never a standard descriptor); only the
//   signal handler writes into it.
// - Requests: the signals of the request table (requests.h: SIGTERM and
//   SIGINT stop, SIGUSR1 pauses and SIGUSR2 continues when those are
//   accepted); SIGHUP is logged and ignored. The control channel (control.h)
//   brings the requests of the table's verbs (`ostrim -PAUSE`, `-CONTINUE`),
//   and is answered `-STATUS` at once, even in the middle of a request. Each
//   request is queued, in arrival order whatever its source, however many
//   arrive while one runs; a request from the control channel is answered,
//   with the service record, when it has run.
// - Serve() is the loop, one step after another:
//     1. wait for something (block in poll on the pipe and the control
//        channel);
//     2. turn what arrived into requests (TakeSignals, TakeControl);
//     3. reap the children that ended (SIGCHLD: ReapEnded);
//     4. run the next request to its end, if one is queued, and answer the
//        operator who sent it, if one did.
//   It returns when a request says the service ends.
// - Its own death: the engines it watches are kept in the site's state file
//   (state_file.h, beside the guard), written whenever one's life changes;
//   the next instance adopts those still running, and watches them through
//   pidfds (they are no children of it: no SIGCHLD comes for them).
// - Children: every child the handlers launch goes through this loop (it is
//   their ChildWatch). A handler that waits for its child (Process::Wait)
//   waits in steps 1 to 3 above, never in a blocking call of its own: a
//   request that arrives meanwhile is queued at once (and runs when the
//   current one has ended), a watched child that ends is reaped and logged,
//   and the waited child's end ends the wait. Children are reaped by pid as
//   SIGCHLD reports them, so an engine left running costs no descriptor.
// - The record: the loop keeps the service record (record.h) and is its
//   children's watch, so the record follows every child; Serve runs each
//   request through RunRequest, which keeps the rest of it.
//
// One EventLoop at a time in a process: it owns the signal handlers.
#pragma once

#include <poll.h>

#include <deque>
#include <functional>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/children.h"
#include "platform/posix/adoption.h"
#include "platform/posix/control.h"
#include "platform/posix/notify.h"
#include "platform/posix/posix.h"
#include "record.h"
#include "requests.h"

namespace ostrim::platform::posix {

class EventLoop final : public ChildWatch {
 public:
  // Makes the pipe and catches SIGCHLD, so that children are reaped as they
  // end. Throws Error when the pipe cannot be made.
  EventLoop();
  ~EventLoop() override;
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  // Takes the site's control channel, catches the signals that are
  // requests (see above), and connects to systemd's notification socket
  // when NOTIFY_SOCKET names one. Throws Error, before anything else, when
  // another instance serves the site in `directory` already.
  void AcceptRequests(bool pause_and_continue, const std::string& directory);

  // Queues a request; `source` says where it came from, for the log;
  // `client`, the control connection to answer when it has run.
  void Queue(const RequestKind& request, std::string_view source, int client = -1);

  // The loop. `run` runs one request; between requests, `events`' work is
  // done when it is due. Returns the exit status of the request that ends
  // the service.
  int Serve(const std::function<RequestOutcome(const RequestKind&)>& run, ServiceEvents& events);

  ServiceRecord& record() { return record_; }
  // The earlier run of this site died paused (its state file says so).
  bool ResumesPaused() const { return resumes_paused_; }
  Notifier& notifier() { return notifier_; }

  void ReapEnded() override;

 protected:
  void WaitForEvent(std::span<Process* const> children, int timeout_ms) override;

 private:
  // Steps 1 to 3 of the loop: blocks up to `timeout_ms` (negative: no
  // limit) for something to arrive, then takes it.
  void WaitForSomething(int timeout_ms);
  void TakeSignals();
  void TakeControl(const std::vector<struct pollfd>& fds);
  // Once the guard is ours: the engines an earlier run left in the state
  // file that still run are adopted (watched through a pidfd, since no
  // SIGCHLD comes for them); a state file that may not be believed is
  // warned about and ignored.
  void AdoptEngines();
  // Writes the state file when an engine's life changed (none left: it is
  // removed). A failure is logged once, and tried again at the next change.
  void KeepState();
  // The adopted engines whose pidfd says they ended.
  void TakeAdoptedEnds(const std::vector<struct pollfd>& fds, std::size_t first);

  struct Queued {
    const RequestKind* request;
    std::string source;  // where it came from, for the log
    int client;          // the control connection waiting for it, or -1
  };
  // Whether a stop runs or waits in the queue: a pause or continue can no
  // longer matter then.
  bool Stopping() const;
  // Answers, or logs, that a request will not run, and why.
  void NotRun(const Queued& request, const std::string& why);

  Fd pipe_read_;
  Fd pipe_write_;
  std::deque<Queued> queue_;
  ControlServer control_;
  ServiceRecord record_;
  bool busy_ = false;                     // a request is running
  const RequestKind* running_ = nullptr;  // which, while busy_
  bool child_ended_ = false;              // SIGCHLD arrived since the last reaping
  Notifier notifier_;
  std::optional<StateFile> state_;         // none: no guard, no state kept
  std::optional<std::string> state_kept_;  // the text last written (none: not yet)
  bool state_failed_ = false;
  bool resumes_paused_ = false;  // the last write failed (said once)
  // The adopted engines still running, by pid: their pidfds.
  std::unordered_map<std::int64_t, Fd> adopted_;
};

}  // namespace ostrim::platform::posix
