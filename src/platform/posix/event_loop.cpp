#include "platform/posix/event_loop.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

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

void EventLoop::AcceptRequests(bool pause_and_continue) {
  notifier_.Open();
  for (int signo : {SIGTERM, SIGINT, SIGHUP}) Catch(signo, 0);
  if (pause_and_continue) {
    Catch(SIGUSR1, 0);
    Catch(SIGUSR2, 0);
  }
}

void EventLoop::Queue(Request request, std::string_view source) {
  if (busy_ || !queue_.empty()) {
    log::Info("request received: ", RequestName(request), " (", source,
              "); it runs when the requests before it have ended");
  } else {
    log::Info("request received: ", RequestName(request), " (", source, ")");
  }
  queue_.push_back(request);
}

int EventLoop::Serve(const std::function<std::optional<int>(Request)>& run) {
  for (;;) {
    // 1-3: wait for something, turn it into requests, reap.
    WaitForSomething(queue_.empty() ? -1 : 0);
    if (queue_.empty()) continue;
    // 4: run the next request to its end.
    const Request request = queue_.front();
    queue_.pop_front();
    busy_ = true;
    const std::optional<int> status = run(request);
    busy_ = false;
    if (status) {
      for (Request left : queue_) {
        log::Info("request ", RequestName(left), " dropped: the service has ended");
      }
      notifier_.GiveUp();
      return *status;
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
  struct pollfd fds[3] = {{pipe_read_.get(), POLLIN, 0},
                          {LogBacklogFd(), POLLOUT, 0},
                          {notifier_.PendingFd(), POLLOUT, 0}};
  const int due = notifier_.DueInMs();
  if (due >= 0 && (timeout_ms < 0 || due < timeout_ms)) timeout_ms = due;
  if (::poll(fds, 3, timeout_ms) < 0 && errno != EINTR) {
    throw Error("poll: " + ErrnoText());
  }
  if (fds[1].revents != 0) FlushLog();
  notifier_.Flush();
  TakeSignals();
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
