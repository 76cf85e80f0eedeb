#include "platform/posix/event_loop.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ctime>
#include <vector>

#include "log.h"

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

// Now, in UTC, ISO 8601: "2026-12-08T23:17:36Z".
std::string NowUtc() {
  struct timespec now {};
  ::clock_gettime(CLOCK_REALTIME, &now);
  struct tm utc {};
  ::gmtime_r(&now.tv_sec, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

ProcessEnd EndFrom(const siginfo_t& info) {
  ProcessEnd end;
  end.by_signal = info.si_code != CLD_EXITED;
  end.value = info.si_status;
  return end;
}

}  // namespace

EventLoop::EventLoop() {
  if (signal_pipe_write >= 0) throw Error("an event loop is running already");
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
  report_.pid = ::getpid();
  report_.directory = directory;
  EnterState(ServiceState::kStarting);
  if (std::optional<ControlServer::Holder> holder = control_.Open(directory)) {
    const std::string pid = std::to_string(holder->pid);
    if (holder->trusted) {
      throw Error("another ostrim serves the site in " + directory + " already (pid " + pid +
                  "); nothing was started. See it with \"ostrim -STATUS\", pause or continue it " +
                  "with \"ostrim -PAUSE\" or \"ostrim -CONTINUE\", stop it with \"systemctl stop " +
                  "ostrim\" (or SIGTERM to pid " + pid + ")");
    }
    log::Error("the control channel @", ControlName(directory), " of this site is held by pid ",
               pid, " of another user: serving without it (-STATUS, -PAUSE and -CONTINUE will not ",
               "reach this service, and a second instance is not kept out)");
  }
  notifier_.Open();
  for (int signo : {SIGTERM, SIGINT, SIGHUP}) Catch(signo, 0);
  if (pause_and_continue) {
    Catch(SIGUSR1, 0);
    Catch(SIGUSR2, 0);
  }
}

void EventLoop::Queue(Request request, std::string_view source, int client) {
  if (busy_ || !queue_.empty()) {
    log::Info("request received: ", RequestName(request), " (", source,
              "); it runs when the requests before it have ended");
  } else {
    log::Info("request received: ", RequestName(request), " (", source, ")");
  }
  queue_.push_back({request, client});
}

void EventLoop::EnterState(ServiceState state) {
  report_.state = StateName(state);
  report_.since = NowUtc();
}

ServiceReport EventLoop::Report() const {
  ServiceReport report = report_;
  for (const auto& [pid, child] : WatchedChildren()) {
    report.engines.emplace_back(pid, LabelPrefix(child->label) + child->command);
  }
  return report;
}

int EventLoop::Serve(const std::function<RequestOutcome(Request)>& run) {
  for (;;) {
    // 1-3: wait for something, turn it into requests, reap.
    WaitForSomething(queue_.empty() ? -1 : 0);
    if (queue_.empty()) continue;
    // 4: run the next request to its end, and answer who sent it.
    const Queued next = queue_.front();
    queue_.pop_front();
    busy_ = true;
    const std::string before = report_.state;
    EnterState(PendingState(next.request));
    const RequestOutcome outcome = run(next.request);
    busy_ = false;
    EnterState(outcome.state);
    ++report_.requests;
    report_.last_request = RequestName(next.request);
    report_.last_result = outcome.succeeded ? "done" : "failed: " + outcome.failure;
    report_.last_tally = outcome.tally;
    report_.last_seconds = std::chrono::duration<double>(outcome.took).count();
    if (next.client >= 0)
      control_.Answer(next.client, "before\t" + before + "\n" + Report().Text());
    if (outcome.exit_status) {
      for (const Queued& left : queue_) {
        log::Info("request ", RequestName(left.request), " dropped: the service has ended");
      }
      notifier_.GiveUp();
      return *outcome.exit_status;
    }
  }
}

void EventLoop::WaitForEvent(Process&, int timeout_ms) {
  WaitForSomething(timeout_ms);
}

void EventLoop::WaitForSomething(int timeout_ms) {
  // The pipe; the log's reader while log lines wait for it; systemd's
  // socket while a state message waits for it, and no longer than until a
  // message is due.
  // And the control channel's listener and connections.
  std::vector<struct pollfd> fds = {{pipe_read_.get(), POLLIN, 0},
                                    {LogBacklogFd(), POLLOUT, 0},
                                    {notifier_.PendingFd(), POLLOUT, 0}};
  control_.AddPollFds(fds);
  const int due = notifier_.DueInMs();
  if (due >= 0 && (timeout_ms < 0 || due < timeout_ms)) timeout_ms = due;
  const int ready = ::poll(fds.data(), fds.size(), timeout_ms);
  if (ready < 0 && errno != EINTR) throw Error("poll: " + ErrnoText());
  if (fds[1].revents != 0) FlushLog();
  notifier_.Flush();
  TakeSignals();
  if (ready > 0 && control_.active()) TakeControl();
  if (child_ended_) ReapEnded();
}

void EventLoop::TakeSignals() {
  unsigned char bytes[256];
  for (;;) {
    ssize_t n = ::read(pipe_read_.get(), bytes, sizeof bytes);
    if (n <= 0) break;
    const bool more = n == static_cast<ssize_t>(sizeof bytes);
    for (ssize_t i = 0; i < n; ++i) {
      switch (bytes[i]) {
        case SIGTERM:
          Queue(Request::kStop, "SIGTERM");
          break;
        case SIGINT:
          Queue(Request::kStop, "SIGINT");
          break;
        case SIGUSR1:
          Queue(Request::kPause, "SIGUSR1");
          break;
        case SIGUSR2:
          Queue(Request::kContinue, "SIGUSR2");
          break;
        case SIGHUP:
          log::Info("SIGHUP ignored: the profile files are read afresh at every request");
          break;
        case SIGCHLD:
          child_ended_ = true;
          break;
        default:
          break;
      }
    }
    if (!more) break;  // the pipe is empty: no second read to learn it
  }
}

void EventLoop::TakeControl() {
  for (const ControlCommand& command : control_.Take()) {
    const std::string source =
        "control, pid " + std::to_string(command.pid) + " uid " + std::to_string(command.uid);
    switch (command.verb) {
      case ControlCommand::Verb::kStatus:
        control_.Answer(command.client, Report().Text());
        break;
      case ControlCommand::Verb::kPause:
        Queue(Request::kPause, source, command.client);
        break;
      case ControlCommand::Verb::kContinue:
        Queue(Request::kContinue, source, command.client);
        break;
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

void EventLoop::ReportProgress(std::string_view status, std::chrono::milliseconds more_time) {
  // A status that asks for no more time is where a request ended: a state.
  if (more_time.count() > 0) {
    notifier_.Progress(status, more_time);
  } else {
    notifier_.State("STATUS=" + std::string(status));
  }
}

}  // namespace ostrim::platform::posix
