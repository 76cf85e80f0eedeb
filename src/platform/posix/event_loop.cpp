#include "platform/posix/event_loop.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "log.h"
#include "state_file.h"

namespace ostrim::platform::posix {
namespace {

// The write end of the loop's pipe: the one thing the signal handler needs,
// and so the one process-wide variable of the loop.
int signal_pipe_write = -1;

void OnSignal(int signo) {
  int saved = errno;
  unsigned char byte = static_cast<unsigned char>(signo);
  // Non-blocking: a full pipe (tens of thousands of unread signals) drops the
  // signal rather than hanging the service in its own handler. A dropped
  // SIGCHLD loses nothing: reaping takes every child that ended.
  [[maybe_unused]] ssize_t n = ::write(signal_pipe_write, &byte, 1);
  errno = saved;
}

void Catch(int signo, int flags) {
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigfillset(&action.sa_mask);  // one handler at a time keeps the arrival order
  action.sa_flags = SA_RESTART | flags;
  ::sigaction(signo, &action, nullptr);
  // A signal blocked by whoever started us would never arrive.
  sigset_t unblock;
  sigemptyset(&unblock);
  sigaddset(&unblock, signo);
  ::sigprocmask(SIG_UNBLOCK, &unblock, nullptr);
}

// The signals the loop takes, by the names the request table uses.
struct NamedSignal {
  int number;
  const char* name;
};
constexpr NamedSignal kSignals[] = {
    {SIGTERM, "SIGTERM"}, {SIGINT, "SIGINT"}, {SIGUSR1, "SIGUSR1"}, {SIGUSR2, "SIGUSR2"}};

ProcessEnd EndFrom(const siginfo_t& info) {
  ProcessEnd end;
  end.by_signal = info.si_code != CLD_EXITED;
  end.value = info.si_status;
  return end;
}

}  // namespace

EventLoop::EventLoop() {
  if (signal_pipe_write >= 0) throw Error("an event loop is running already");
  SetObserver(&record_);
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
    throw Error("cannot create the event pipe: " + ErrnoText());
  }
  pipe_read_.Reset(fds[0]);
  pipe_write_.Reset(fds[1]);
  signal_pipe_write = fds[1];
  // Not woken when a child is merely stopped or continued.
  Catch(SIGCHLD, SA_NOCLDSTOP);
  ::signal(SIGPIPE, SIG_IGN);  // a closed stderr or socket must not end the service
}

EventLoop::~EventLoop() {
  for (int signo : {SIGCHLD, SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGUSR2}) ::signal(signo, SIG_DFL);
  signal_pipe_write = -1;
}

void EventLoop::AcceptRequests(bool pause_and_continue, const std::string& directory) {
  record_.pid = ::getpid();
  record_.directory = directory;
  record_.EnterState(ServiceState::kStarting);
  std::optional<pid_t> holder;
  try {
    holder = control_.Open(directory);
  } catch (const Error& e) {
    // A user's instance without its guard could be started twice, and start
    // every engine again: it refuses to serve. Root's databases must start
    // at boot all the same (only root can make /run/ostrim unsafe); the
    // operator learns why the verbs do not reach this service, and that the
    // site is not guarded.
    if (::geteuid() != 0) {
      throw Error(std::string(e.what()) +
                  "; nothing was started: without its guard a second instance could start every "
                  "engine again");
    }
    log::Error(e.what(), ": serving without the control channel (-STATUS, -PAUSE and ",
               "-CONTINUE will not reach this service) and without the guard against a second ",
               "instance");
  }
  if (holder) {
    const std::string pid = std::to_string(*holder);
    // What the operator can do with the one that serves, from the request
    // table: "ostrim -PAUSE pauses; ...; systemctl stop ostrim or SIGTERM to
    // pid 4021 stops".
    const std::string how = HowToAsk(true, [&pid](const RequestKind& kind) {
      return EndsService(kind) && !kind.signals[0].empty()
                 ? "systemctl stop ostrim or " + std::string(kind.signals[0]) + " to pid " + pid
                 : std::string();
    });
    throw Error("another ostrim serves the site in " + directory + " already (pid " + pid +
                "); nothing was started. See it with \"ostrim -STATUS\"; " + how);
  }
  if (control_.active()) {
    state_.emplace(control_.paths().state);
    AdoptEngines();
  } else {
    log::Warning("no state file is kept without the guard: if this service dies, the next one ",
                 "cannot know which engines still run");
  }
  notifier_.Open();
  Catch(SIGHUP, 0);
  for (const NamedSignal& s : kSignals) {
    const RequestKind* kind = KindOfSignal(s.name);
    if (kind != nullptr && (!kind->pause_continue || pause_and_continue)) Catch(s.number, 0);
  }
}

bool EventLoop::Stopping() const {
  if (busy_ && EndsService(*running_)) return true;
  return std::any_of(queue_.begin(), queue_.end(),
                     [](const Queued& q) { return EndsService(*q.request); });
}

void EventLoop::NotRun(const Queued& request, const std::string& why) {
  const std::string_view name = request.request->name;
  log::Info("request ", name, " (", request.source, ") dropped: ", why);
  if (request.client >= 0)
    control_.Refuse(request.client, why + "; the " + std::string(name) + " was not run");
}

void EventLoop::Queue(const RequestKind& kind, std::string_view source, int client) {
  const std::string_view name = kind.name;
  Queued queued{&kind, std::string(source), client};
  // A pause or continue that comes once the service is stopping can no
  // longer matter: answered at once, never queued behind the stop.
  if (kind.pause_continue && Stopping()) {
    log::Info("request received: ", name, " (", source, ")");
    NotRun(queued, "the service is stopping");
    return;
  }
  const bool waits = busy_ || !queue_.empty();
  log::Info("request received: ", name, " (", source, ")",
            waits ? "; it runs when the requests before it have ended" : "");
  const bool pause_or_continue = kind.pause_continue;
  // A storm of requests never grows a queue the service would work through
  // long after (SIGTERM after 100 x SIGUSR1 and SIGUSR2 took 57 s):
  // - a stop makes every pause and continue still queued pointless: each is
  //   answered at once, and the stop runs next;
  if (EndsService(kind)) {
    for (auto it = queue_.begin(); it != queue_.end();) {
      if (it->request->pause_continue) {
        NotRun(*it, "the service is stopping");
        it = queue_.erase(it);
      } else {
        ++it;
      }
    }
  }
  if (pause_or_continue && !queue_.empty()) {
    Queued& last = queue_.back();
    // - a pause or continue that would undo the one queued last cancels it,
    //   and neither runs;
    if (last.request->pause_continue && last.request->starts != kind.starts) {
      NotRun(last, "cancelled by the next request, a " + std::string(name));
      NotRun(queued, "it cancelled the " + std::string(last.request->name) + " queued before it");
      queue_.pop_back();
      return;
    }
    // - the same request as the one queued last adds nothing: that one runs.
    if (last.request == &kind) {
      NotRun(queued, "the same request is queued already, and runs in its turn");
      return;
    }
  }
  queue_.push_back(std::move(queued));
}

int EventLoop::Serve(const std::function<RequestOutcome(const RequestKind&)>& run,
                     ServiceEvents& events) {
  for (;;) {
    // 1-3: wait for something (no longer than until the form's work is
    // due), turn it into requests, reap.
    int timeout_ms = queue_.empty() ? -1 : 0;
    const std::optional<Clock::time_point> due = events.NextWork();
    if (due && timeout_ms < 0) timeout_ms = TimeoutUntil(Now(), *due);
    WaitForSomething(timeout_ms);
    if (queue_.empty()) {
      // Between requests: the form's work that is due.
      if (due && Now() >= *due) events.DoWork();
      continue;
    }
    // 4: run the next request to its end, and answer who sent it.
    const Queued next = queue_.front();
    queue_.pop_front();
    busy_ = true;
    running_ = next.request;
    const RequestOutcome outcome = run(*next.request);
    busy_ = false;
    record_.TakeNewlyDegraded();  // the request's own last status said it
    if (next.client >= 0) control_.Answer(next.client, record_.Text());
    if (outcome.exit_status) {
      KeepState();  // the engines left running, or none: no file
      for (const Queued& left : queue_) NotRun(left, "the service has ended");
      notifier_.GiveUp();
      return *outcome.exit_status;
    }
  }
}

void EventLoop::WaitForEvent(std::span<Process* const>, int timeout_ms) {
  // Whichever child ends, SIGCHLD wakes the loop, and it is reaped by pid.
  WaitForSomething(timeout_ms);
}

void EventLoop::WaitForSomething(int timeout_ms) {
  // What changed since the last wait (a launch, an end) is kept before
  // this one blocks.
  KeepState();
  // The pipe; the log's reader while log lines wait for it; systemd's
  // socket while a state message waits for it, and no longer than until a
  // message is due.
  // And the control channel's listener and connections.
  std::vector<struct pollfd> fds = {{pipe_read_.get(), POLLIN, 0},
                                    {LogBacklogFd(), POLLOUT, 0},
                                    {notifier_.PendingFd(), POLLOUT, 0}};
  control_.AddPollFds(fds);
  // And the adopted engines, whose ends no SIGCHLD tells.
  const std::size_t first_adopted = fds.size();
  for (const auto& [pid, fd] : adopted_) fds.push_back({fd.get(), POLLIN, 0});
  // No longer than until the notifier or the control channel has something
  // to do on its own (a message due; a client's deadline, a keep-alive).
  for (const int due : {notifier_.DueInMs(), control_.DueInMs()}) {
    if (due >= 0 && (timeout_ms < 0 || due < timeout_ms)) timeout_ms = due;
  }
  const int ready = ::poll(fds.data(), fds.size(), timeout_ms);
  if (ready < 0 && errno != EINTR) throw Error("poll: " + ErrnoText());
  if (fds[1].revents != 0) FlushLog();
  notifier_.Flush();
  TakeSignals();
  if (control_.active()) TakeControl(fds);
  if (child_ended_) ReapEnded();
  if (!adopted_.empty()) TakeAdoptedEnds(fds, first_adopted);
  // An engine that ended while the service ran: systemd's status says so at
  // once (a request in progress says it when it ends).
  if (!busy_ && record_.TakeNewlyDegraded()) {
    notifier_.State("STATUS=degraded: " + record_.health_reason);
  }
}

void EventLoop::TakeSignals() {
  unsigned char bytes[256];
  for (;;) {
    ssize_t n = ::read(pipe_read_.get(), bytes, sizeof bytes);
    if (n <= 0) break;
    const bool more = n == static_cast<ssize_t>(sizeof bytes);
    for (ssize_t i = 0; i < n; ++i) {
      const int signo = bytes[i];
      if (signo == SIGCHLD) {
        child_ended_ = true;
      } else if (signo == SIGHUP) {
        log::Info("SIGHUP ignored: the profile files are read afresh at every request");
      } else {
        for (const NamedSignal& s : kSignals) {
          const RequestKind* kind = s.number == signo ? KindOfSignal(s.name) : nullptr;
          if (kind != nullptr) Queue(*kind, s.name);
        }
      }
    }
    if (!more) break;  // the pipe is empty: no second read to learn it
  }
}

void EventLoop::TakeControl(const std::vector<struct pollfd>& fds) {
  const std::vector<ControlCommand> commands = control_.Take(fds);
  // A request whose operator gave up before it ran can no longer matter.
  for (int client : control_.TakeAbandoned()) {
    std::erase_if(queue_, [client](const Queued& q) {
      if (q.client != client) return false;
      log::Info("request ", q.request->name, " (", q.source,
                ") dropped: its operator gave up before it ran");
      return true;
    });
  }
  for (const ControlCommand& command : commands) {
    if (command.kind == nullptr) {  // STATUS: the record as it is now
      control_.Answer(command.client, record_.Text());
      continue;
    }
    Queue(*command.kind,
          "control, pid " + std::to_string(command.pid) + " uid " + std::to_string(command.uid),
          command.client);
  }
}

void EventLoop::AdoptEngines() {
  KeptState kept;
  try {
    const std::optional<std::string> text = state_->Read();
    if (!text) return;
    kept = ParseState(*text);
  } catch (const std::exception& e) {
    // Not this user's own file as the service writes it: nothing in it is
    // believed, and it is replaced at the first change.
    log::Warning("the state file is not believed: ", e.what(),
                 "; no engine is adopted, the databases are started as usual");
    return;
  }
  resumes_paused_ = kept.paused;
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  for (const KeptEngine& e : kept.engines) {
    const std::string who = TagPrefix(e.tag) + "engine pid " + std::to_string(e.pid) +
                            " from an earlier run (since " + e.launched + ")";
    if (adopted_.count(e.pid) != 0) continue;
    // The pidfd first, then the identity: once it is open, the pid cannot
    // pass to another process while it is looked at.
    Fd fd = OpenProcess(e.pid);
    const int error = errno;
    const std::string identity = fd ? IdentityIn("/proc", e.pid) : std::string();
    if (identity != e.identity) {
      log::Info(who, " no longer runs",
                identity.empty() ? "" : " (its pid is another process's now)");
      continue;
    }
    if (!fd) {
      log::Error(who, " still runs, but cannot be watched (pidfd_open: ", ErrnoText(error),
                 "); it is not adopted");
      continue;
    }
    const auto ran = now - std::chrono::seconds(UnixSeconds(e.launched).value_or(0));
    AdoptRunning(e.pid, Child{e.command, e.tag, {}, true, e.identity},
                 std::max(std::chrono::milliseconds(0),
                          std::chrono::duration_cast<std::chrono::milliseconds>(ran)),
                 std::make_unique<Process::Impl>(e.pid));
    adopted_.emplace(e.pid, std::move(fd));
    record_.Adopted(e.tag, e.pid, e.command, e.launched);
    log::Notice(who, " still runs: adopted");
  }
}

void EventLoop::TakeAdoptedEnds(const std::vector<struct pollfd>& fds, std::size_t first) {
  std::vector<std::int64_t> ended;
  std::size_t at = first;
  for (const auto& [pid, fd] : adopted_) {
    if (at < fds.size() && fds[at].fd == fd.get() && fds[at].revents != 0) ended.push_back(pid);
    ++at;
  }
  for (std::int64_t pid : ended) {
    adopted_.erase(pid);
    ProcessEnd end;
    end.unknown = true;
    Ended(pid, end);
  }
}

void EventLoop::KeepState() {
  if (!state_ || (!record_.TakeKeptChanged() && state_kept_)) return;
  const KeptState kept = StateToKeep(record_, [this](std::int64_t pid) { return IdentityOf(pid); });
  const std::string text = kept.Empty() ? std::string() : StateText(kept);
  if (state_kept_ && *state_kept_ == text) return;
  try {
    state_->Keep(text);
    state_kept_ = text;
    if (std::exchange(state_failed_, false)) log::Info("the state file is kept again");
  } catch (const Error& e) {
    if (!std::exchange(state_failed_, true)) {
      log::Error(e.what(), ": if the service dies now, the next one cannot know which engines ",
                 "still run (tried again at the next change)");
    }
  }
}

void EventLoop::ReapEnded() {
  child_ended_ = false;
  // Every child of the service is launched through this loop, so whichever
  // child ended is one of ours: reaped here, by pid, without a descriptor.
  while (Alive() > 0) {
    siginfo_t info{};
    if (::waitid(P_ALL, 0, &info, WEXITED | WNOHANG) != 0 || info.si_pid == 0) break;
    Ended(info.si_pid, EndFrom(info));
  }
}

}  // namespace ostrim::platform::posix
