// Child processes on POSIX systems: the equivalent of CreateProcessA with
// CREATE_NO_WINDOW and handles not inherited. The children are waited for
// and reaped by the event loop they are launched through.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "log.h"
#include "platform/children.h"
#include "platform/platform.h"
#include "platform/posix/command_line.h"
#include "platform/posix/event_loop.h"

extern char** environ;

namespace ostrim::platform {
namespace {

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

}  // namespace

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

Process Launch(const std::string& command_line, ChildWatch& watch, std::string label) {
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

  watch.Launched(pid, ChildWatch::Child{command_line, std::move(label), {}, false});
  return Process(std::make_unique<Process::Impl>(pid), watch);
}

std::unique_ptr<ChildWatch> CreateChildWatch() {
  return std::make_unique<posix::EventLoop>();
}

}  // namespace ostrim::platform
