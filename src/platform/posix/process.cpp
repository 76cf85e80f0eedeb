// Child processes on POSIX systems: the equivalent of CreateProcessA with
// CREATE_NO_WINDOW and handles not inherited, waiting on the child itself
// (a pidfd), and a watch list that reaps the children left running.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <list>
#include <string>
#include <vector>

#include "log.h"
#include "platform/platform.h"
#include "platform/posix/command_line.h"
#include "platform/posix/fd.h"

extern char** environ;

#ifndef P_PIDFD
#define P_PIDFD 3
#endif

namespace ostrim::platform {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// One stat per candidate: a regular file with an execute bit. Whether this
// user may execute it is left to posix_spawn, which reports it precisely.
bool IsExecutableFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 0111) != 0;
}

// Where the program named `name` is: a name with a "/" is used as it is;
// otherwise the program's own directory is searched first (as Windows does),
// then each directory of PATH. Never the current directory: an empty or
// relative PATH entry is skipped. Empty when it is found nowhere.
std::string FindProgram(const std::string& name) {
  if (name.empty()) return {};
  if (name.find('/') != std::string::npos) return IsExecutableFile(name) ? name : std::string();
  static const std::string own_directory = ProgramDirectory();
  std::string candidate = own_directory + "/" + name;
  if (IsExecutableFile(candidate)) return candidate;
  const char* path = std::getenv("PATH");
  std::string_view dirs = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
  while (!dirs.empty()) {
    std::size_t colon = dirs.find(':');
    std::string_view dir = dirs.substr(0, colon);
    dirs.remove_prefix(colon == std::string_view::npos ? dirs.size() : colon + 1);
    if (dir.empty() || dir.front() != '/') continue;
    candidate = std::string(dir) + "/" + name;
    if (IsExecutableFile(candidate)) return candidate;
  }
  return {};
}

// Why `name` cannot be launched, for the log.
std::string WhyNotLaunchable(const std::string& name) {
  if (name.find('/') == std::string::npos) {
    return "not found in the program directory or in PATH";
  }
  struct stat st {};
  if (::stat(name.c_str(), &st) != 0) return posix::ErrnoText();
  if (!S_ISREG(st.st_mode)) return "not a regular file";
  return "not executable";
}

ProcessEnd EndFrom(const siginfo_t& info, Clock::time_point started) {
  ProcessEnd end;
  end.by_signal = info.si_code != CLD_EXITED;
  end.value = info.si_status;
  end.ran = std::chrono::duration_cast<milliseconds>(Clock::now() - started);
  return end;
}

// Waits until `fd` is readable or `timeout` passes (negative: no limit);
// meanwhile serves the service host's wait hook. True when `fd` is readable.
bool PollReadable(int fd, int timeout_ms) {
  const Clock::time_point deadline = Clock::now() + milliseconds(timeout_ms);
  for (;;) {
    posix::WaitHook hook = posix::CurrentWaitHook();
    struct pollfd fds[2] = {{fd, POLLIN, 0}, {hook.fd, POLLIN, 0}};
    int left = -1;
    if (timeout_ms >= 0) {
      auto remaining = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
      left = remaining < 0 ? 0 : static_cast<int>(remaining);
    }
    int ready = ::poll(fds, hook.fd >= 0 ? 2 : 1, left);
    if (ready < 0) {
      if (errno == EINTR) continue;
      throw Error("poll: " + posix::ErrnoText());
    }
    if (hook.fd >= 0 && (fds[1].revents & POLLIN) && hook.on_ready != nullptr) hook.on_ready();
    if (fds[0].revents != 0) return true;
    if (timeout_ms >= 0 && Clock::now() >= deadline) return false;
  }
}

// A child the service no longer waits for: kept until it ends, then reaped.
struct Watched {
  posix::Fd pidfd;
  pid_t pid;
  std::string command;
  Clock::time_point started;
};

std::list<Watched>& WatchList() {
  static std::list<Watched> list;
  return list;
}

void WatchListChanged() {
  posix::ChildrenWatched() = WatchList().empty() ? 0 : 1;
}

}  // namespace

namespace posix {
WaitHook& CurrentWaitHook() {
  static WaitHook hook;
  return hook;
}

volatile sig_atomic_t& ChildrenWatched() {
  static volatile sig_atomic_t watched = 0;
  return watched;
}
}  // namespace posix

std::string DescribeEnd(const ProcessEnd& end) {
  std::string text;
  if (end.by_signal) {
    const char* name = ::strsignal(end.value);
    text = "killed by signal " + std::to_string(end.value) + " (" + (name ? name : "?") + ")";
  } else {
    text = "exit status " + std::to_string(end.value);
  }
  return text;
}

class Process::Impl {
 public:
  posix::Fd pidfd;
  pid_t pid = -1;
  std::string command;
  Clock::time_point started;
  bool ended = false;
};

Process::Process(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Process::Process(Process&&) noexcept = default;
Process& Process::operator=(Process&&) noexcept = default;

Process::~Process() {
  if (!impl_ || impl_->ended) return;
  log::Debug("pid ", impl_->pid, " keeps running; watched until it ends");
  posix::ChildrenWatched() = 1;  // from now on its end wakes the service
  WatchList().push_back(
      Watched{std::move(impl_->pidfd), impl_->pid, std::move(impl_->command), impl_->started});
  ReapEndedChildren();  // it may have ended before the flag was up
}

std::int64_t Process::Id() const {
  return impl_->pid;
}

std::optional<ProcessEnd> Process::Wait(std::optional<milliseconds> limit, milliseconds tick,
                                        const std::function<void(milliseconds)>& on_tick) {
  if (impl_->ended) return std::nullopt;
  const Clock::time_point deadline = limit ? Clock::now() + *limit : Clock::time_point::max();
  for (;;) {
    int step_ms = on_tick ? static_cast<int>(tick.count()) : -1;  // -1: no limit
    if (limit) {
      auto remaining = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
      if (remaining < 0) remaining = 0;
      if (step_ms < 0 || remaining < step_ms) step_ms = static_cast<int>(remaining);
    }
    bool readable = PollReadable(impl_->pidfd.get(), step_ms);
    if (readable) {
      siginfo_t info{};
      if (::waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(impl_->pidfd.get()), &info,
                   WEXITED) != 0) {
        throw Error("waitid for pid " + std::to_string(impl_->pid) + ": " + posix::ErrnoText());
      }
      impl_->ended = true;
      impl_->pidfd.Reset();
      return EndFrom(info, impl_->started);
    }
    if (limit && Clock::now() >= deadline) return std::nullopt;
    if (on_tick) {
      on_tick(std::chrono::duration_cast<milliseconds>(Clock::now() - impl_->started));
    }
  }
}

Process Launch(const std::string& command_line) {
  posix::SplitLine split = posix::SplitCommandLine(
      command_line, [](const std::string& name) { return !FindProgram(name).empty(); });
  if (split.program.empty()) {
    throw LaunchError("the command line names no program");
  }
  std::string path = FindProgram(split.program);
  if (path.empty()) {
    throw LaunchError("cannot run " + log::Quoted(split.program) + ": " +
                      WhyNotLaunchable(split.program));
  }

  std::vector<char*> argv;
  argv.reserve(split.args.size() + 2);
  argv.push_back(split.program.data());
  for (std::string& arg : split.args) argv.push_back(arg.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attr);
  // Standard input from /dev/null: the child has no console to read from.
  // Standard output and error stay ours (under systemd: the journal). The
  // service keeps one /dev/null open (close-on-exec) and the child takes a
  // copy, which saves a path lookup on every launch.
  static const posix::Fd dev_null(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  if (dev_null) {
    posix_spawn_file_actions_adddup2(&actions, dev_null.get(), STDIN_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  }
  // No other descriptor: ours are close-on-exec already, and this also closes
  // any the service itself inherited without that flag.
  posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
  // A new session: no controlling terminal, as the Windows child gets no
  // console; and Ctrl-C in the service's terminal does not reach the engines.
  // Every signal at its default disposition and none blocked, whatever the
  // service itself blocks or catches. (glibc keeps its two internal signals,
  // which no program can use, ignored.)
  sigset_t all, none;
  sigfillset(&all);
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr,
                           POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

  pid_t pid = -1;
  int error = ::posix_spawn(&pid, path.c_str(), &actions, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (error != 0) {
    throw LaunchError("cannot run " + log::Quoted(path) + ": " + posix::ErrnoText(error));
  }

  auto impl = std::make_unique<Process::Impl>();
  impl->pid = pid;
  impl->command = command_line;
  impl->started = Clock::now();
  impl->pidfd.Reset(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
  if (!impl->pidfd) {
    // Cannot happen on a kernel with pidfd (5.3 or later) short of running
    // out of descriptors; the child is ours, so waiting on it still works.
    int saved = errno;
    int status = 0;
    ::waitpid(pid, &status, 0);
    throw LaunchError("cannot watch pid " + std::to_string(pid) + ": " + posix::ErrnoText(saved));
  }
  return Process(std::move(impl));
}

void ReapEndedChildren() {
  auto& list = WatchList();
  for (auto it = list.begin(); it != list.end();) {
    siginfo_t info{};
    info.si_pid = 0;
    if (::waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(it->pidfd.get()), &info,
                 WEXITED | WNOHANG) == 0 &&
        info.si_pid != 0) {
      ProcessEnd end = EndFrom(info, it->started);
      log::Info("pid ", it->pid, " ended: ", DescribeEnd(end), " after ",
                std::chrono::duration<double>(end.ran).count(), " s: ", log::Quoted(it->command));
      it = list.erase(it);
    } else {
      ++it;
    }
  }
  WatchListChanged();
}

std::size_t WatchedChildren() {
  return WatchList().size();
}

}  // namespace ostrim::platform
