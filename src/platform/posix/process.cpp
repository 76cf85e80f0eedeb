// Child processes on POSIX systems: the equivalent of CreateProcessA with
// CREATE_NO_WINDOW and handles not inherited. The children are waited for
// and reaped by the event loop they are launched through.
//
// Linux (glibc): posix_spawn_file_actions_addclosefrom_np, to close every
// descriptor above the standard three in the child.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "log.h"
#include "platform/children.h"
#include "platform/command_line.h"
#include "platform/platform.h"
#include "platform/posix/event_loop.h"
#include "platform/posix/journal.h"
#include "platform/posix/trust.h"

extern char** environ;

namespace ostrim::platform {
namespace {

// One stat per candidate: a regular file with an execute bit. Whether this
// user may execute it is left to posix_spawn, which reports it precisely.
bool IsExecutableFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 0111) != 0;
}

// The directories a name without a "/" is looked for in, in order: the
// program's own directory first (as Windows does), then each directory of
// PATH. Never the current directory: an empty or relative PATH entry is
// skipped.
std::vector<std::string> SearchDirectories() {
  static const std::string own_directory = ProgramDirectory();
  std::vector<std::string> found = {own_directory};
  const char* path = std::getenv("PATH");
  std::string_view dirs = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
  while (!dirs.empty()) {
    std::size_t colon = dirs.find(':');
    std::string_view dir = dirs.substr(0, colon);
    dirs.remove_prefix(colon == std::string_view::npos ? dirs.size() : colon + 1);
    if (dir.empty() || dir.front() != '/') continue;
    found.emplace_back(dir);
  }
  return found;
}

// Where the program named `name` is: a name with a "/" is used as it is;
// otherwise it is looked for in each of `directories` in turn. Empty when
// it is found nowhere.
std::string FindProgram(const std::string& name, const std::vector<std::string>& directories) {
  if (name.empty()) return {};
  if (name.find('/') != std::string::npos) return IsExecutableFile(name) ? name : std::string();
  for (const std::string& dir : directories) {
    const std::string candidate = (dir == "/" ? std::string() : dir) + "/" + name;
    if (IsExecutableFile(candidate)) return candidate;
  }
  return {};
}

std::string DirectoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}

// Why what a line runs could be another user's, when the service runs as
// root: the program found (`path`), and every place where a program could
// have been found before it (`tried`: the names asked for before the one
// that won, an earlier blank-split reading of an unquoted name; and, for a
// name looked up, each directory searched before the one it was in).
std::string WhyUntrustedChoice(const std::vector<std::string>& tried, const std::string& path,
                               const std::vector<std::string>& directories) {
  for (std::size_t k = 0; k < tried.size(); ++k) {
    const std::string& name = tried[k];
    const bool winner = k + 1 == tried.size();
    if (name.find('/') != std::string::npos) {
      if (winner) break;
      const std::size_t slash = name.rfind('/');
      const std::string dir = DirectoryOf(name), base = name.substr(slash + 1);
      if (std::string why = posix::WhyUntrustedPlace(dir, posix::RunsInstead(dir, base));
          !why.empty()) {
        return why + " (or quote the program's name in the line)";
      }
      continue;
    }
    for (const std::string& dir : directories) {
      if (winner && DirectoryOf(path) == dir) break;
      if (std::string why = posix::WhyUntrustedPlace(dir, posix::RunsInstead(dir, name));
          !why.empty()) {
        return why;
      }
    }
  }
  return posix::WhyUntrustedFile(path, "runs as root");
}

// Why `name` cannot be launched, for the log.
std::string WhyNotLaunchable(const std::string& name) {
  if (name.find('/') == std::string::npos) {
    return "not found in the program directory or in PATH";
  }
  struct stat st {};
  if (::stat(name.c_str(), &st) != 0) return posix::ErrnoText();
  if (S_ISDIR(st.st_mode)) return "it is a directory";
  if (!S_ISREG(st.st_mode)) return "not a regular file";
  return "not executable";
}

// Why the script at `path` cannot run, or empty: what the kernel reads of
// its "#!" line. A line saved on Windows ends in CR, which becomes part of
// the interpreter's name; the launch then fails with "No such file or
// directory" for a file that exists.
std::string WhyScriptCannotRun(const std::string& path) {
  posix::Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!fd) return {};
  char head[256];
  ssize_t n = ::read(fd.get(), head, sizeof head);
  if (n < 2 || head[0] != '#' || head[1] != '!') return {};
  std::string_view line(head + 2, static_cast<std::size_t>(n) - 2);
  line = line.substr(0, line.find('\n'));
  const bool cr = !line.empty() && line.back() == '\r';
  std::size_t start = line.find_first_not_of(" \t");
  if (start == std::string_view::npos) return "its \"#!\" line names no interpreter";
  line.remove_prefix(start);
  std::string interpreter(line.substr(0, line.find_first_of(" \t")));
  if (cr) {
    // Named as the system reads it: with its carriage return, written "\r".
    std::string shown = interpreter;
    if (!shown.empty() && shown.back() == '\r') {
      shown.pop_back();
      shown += "\\r";
    }
    return "its \"#!\" line ends in a carriage return (the file was saved with Windows line "
           "ends), so the system reads it as " +
           log::Quoted(shown) + "; convert it with dos2unix";
  }
  if (!IsExecutableFile(interpreter)) {
    return "its interpreter " + log::Quoted(interpreter) + " is missing or not executable";
  }
  return {};
}

// A program file as a lookup finds it: what identifies it, so that a
// request that judged it once knows whether it is still the file judged.
struct FileIdentity {
  dev_t dev = 0;
  ino_t ino = 0;
  uid_t uid = 0;
  mode_t mode = 0;
  struct timespec ctime {};

  bool operator==(const FileIdentity& o) const {
    return dev == o.dev && ino == o.ino && uid == o.uid && mode == o.mode &&
           ctime.tv_sec == o.ctime.tv_sec && ctime.tv_nsec == o.ctime.tv_nsec;
  }
};

// One stat: the program file's identity, or none when it is no regular file
// with an execute bit (the lookup's own test, IsExecutableFile).
std::optional<FileIdentity> ExecutableIdentity(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || (st.st_mode & 0111) == 0) {
    return std::nullopt;
  }
  return FileIdentity{st.st_dev, st.st_ino, st.st_uid, st.st_mode, st.st_ctim};
}

// What the TrustView in force has found and judged of the programs its
// command lines name. A lookup depends on PATH, which an [arranque] line may
// change within the request: what was found with another PATH is dropped.
struct Judgements {
  struct Verdict {
    FileIdentity identity;  // the file as it was judged
    std::string problem;    // empty: it may run
  };
  std::optional<std::string> path_variable;
  std::vector<std::string> directories;
  std::unordered_map<std::string, std::string> found;  // name -> path (empty: nowhere)
  std::unordered_map<std::string, Verdict> choices;    // names tried, then the path
  std::unordered_map<std::string, Verdict> scripts;    // path -> what its "#!" line says

  // The search directories for PATH as it is now.
  const std::vector<std::string>& Directories() {
    const char* now = std::getenv("PATH");
    if (!path_variable || *path_variable != (now != nullptr ? now : "")) {
      path_variable = now != nullptr ? now : "";
      directories = SearchDirectories();
      found.clear();
      choices.clear();
    }
    return directories;
  }

  const std::string& Find(const std::string& name) {
    auto [it, added] = found.try_emplace(name);
    if (added) it->second = FindProgram(name, directories);
    return it->second;
  }
};

int trust_views = 0;
std::unique_ptr<Judgements> judgements;

// What a launch of `command_line` would run: the line split as
// CreateProcessA splits it, each candidate program looked up as the launcher
// finds programs, the first found taken. The launch and -CHECK both go
// through here, so that what -CHECK says is what the launch does.
struct Resolved {
  SplitLine split;
  std::string path;     // where the program is; empty when it is not found
  std::string problem;  // why it cannot run; empty when it can
};

// -CHECK also looks inside a script for what would stop it (a file read,
// done by a launch only once it has failed), and believes what its request
// judged already; a launch looks at its program once more before it runs it.
enum class Use { kCheck, kLaunch };

std::string ScriptProblem(const std::string& path, Judgements* known) {
  if (known == nullptr) return WhyScriptCannotRun(path);
  auto it = known->scripts.find(path);
  if (it == known->scripts.end()) {
    const std::optional<FileIdentity> identity = ExecutableIdentity(path);
    if (!identity) return WhyScriptCannotRun(path);
    it = known->scripts.emplace(path, Judgements::Verdict{*identity, WhyScriptCannotRun(path)})
             .first;
  }
  return it->second.problem;
}

// `known`: what this request judged already (null: nothing, judge afresh).
Resolved Resolve(const std::string& command_line, Use use, Judgements* known) {
  Resolved r;
  // Every candidate, quoted or not, goes through FindProgram; the first one
  // found is the program, and its path is kept so that it is looked up once.
  std::vector<std::string> own;
  if (known == nullptr) own = SearchDirectories();
  const std::vector<std::string>& directories = known != nullptr ? known->Directories() : own;
  std::vector<std::string> tried;
  r.split = SplitCommandLine(command_line, [&](const std::string& name) {
    tried.push_back(name);
    r.path = known != nullptr ? known->Find(name) : FindProgram(name, directories);
    return !r.path.empty();
  });
  if (r.split.program.empty()) {
    r.path.clear();
    r.problem = "the command line names no program";
    return r;
  }
  if (r.path.empty()) {
    r.problem = WhyNotLaunchable(r.split.program);
    return r;
  }
  // As root, nothing another user could have put in its way runs. Judged
  // once per request for the same names and the same file; a launch judges
  // again a file that is no longer the one judged (replaced, or its owner or
  // mode changed), and looks again for one that is gone.
  if (known == nullptr) {
    r.problem = WhyUntrustedChoice(tried, r.path, directories);
  } else {
    std::string key;
    for (const std::string& name : tried) key.append(name).push_back('\0');
    key += r.path;
    auto it = known->choices.find(key);
    std::optional<FileIdentity> now;
    if (it == known->choices.end() || use == Use::kLaunch) now = ExecutableIdentity(r.path);
    if (it != known->choices.end() && (use == Use::kCheck || now == it->second.identity)) {
      r.problem = it->second.problem;
    } else if (!now) {
      known->found.clear();
      known->choices.clear();
      return Resolve(command_line, use, nullptr);
    } else {
      r.problem = WhyUntrustedChoice(tried, r.path, directories);
      known->choices.insert_or_assign(std::move(key), Judgements::Verdict{*now, r.problem});
    }
  }
  if (r.problem.empty() && use == Use::kCheck) r.problem = ScriptProblem(r.path, known);
  return r;
}

ProgramCheck CheckOf(Resolved r) {
  return {std::move(r.split.program), std::move(r.path), std::move(r.split.args),
          std::move(r.problem)};
}

}  // namespace

ProgramCheck CheckCommandLine(const std::string& command_line) {
  return CheckOf(Resolve(command_line, Use::kCheck, judgements.get()));
}

TrustView::TrustView() {
  if (trust_views++ == 0) judgements = std::make_unique<Judgements>();
  posix::BeginJudgements();
}

TrustView::~TrustView() {
  posix::EndJudgements();
  if (--trust_views == 0) judgements.reset();
}

std::string DescribeEnd(const ProcessEnd& end) {
  // Only its parent learns how a process ended, and an adopted engine's
  // parent is no longer the service.
  if (end.unknown) return "exit status unknown (adopted from an earlier run)";
  std::string text;
  if (end.by_signal) {
    const char* name = ::strsignal(end.value);
    text = "killed by signal " + std::to_string(end.value) + " (" + (name ? name : "?") + ")";
  } else {
    text = "exit status " + std::to_string(end.value);
  }
  return text;
}

Process Launch(const std::string& command_line, ChildWatch& watch, LaunchTag tag) {
  Resolved resolved = Resolve(command_line, Use::kLaunch, judgements.get());
  if (!resolved.problem.empty()) throw LaunchError(CheckOf(std::move(resolved)).Text());
  SplitLine& split = resolved.split;
  const std::string& path = resolved.path;

  std::vector<char*> argv;
  argv.reserve(split.args.size() + 2);
  argv.push_back(split.argv0.data());
  for (std::string& arg : split.args) argv.push_back(arg.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attr);
  // Standard input from /dev/null: the child has no console to read from.
  // The service keeps one /dev/null open (close-on-exec) and the child takes
  // a copy, which saves a path lookup on every launch.
  static const posix::Fd dev_null(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  if (dev_null) {
    posix_spawn_file_actions_adddup2(&actions, dev_null.get(), STDIN_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  }
  // Standard output and error: a database's own journal stream when the
  // service's log is the journal; else the service's own.
  posix::Fd output;
  if (!tag.database.empty() && posix::LogIsJournal()) output = posix::JournalStream(tag.database);
  if (output) {
    posix_spawn_file_actions_adddup2(&actions, output.get(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, output.get(), STDERR_FILENO);
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
    // Said as -CHECK says it: what in the script stops it, when that is what
    // the system's error means, else the system's error.
    resolved.problem = WhyScriptCannotRun(path);
    if (resolved.problem.empty()) resolved.problem = posix::ErrnoText(error);
    throw LaunchError(CheckOf(std::move(resolved)).Text());
  }

  watch.Launched(pid, ChildWatch::Child{command_line, std::move(tag), {}, false});
  return Process(std::make_unique<Process::Impl>(pid), watch);
}

void Process::Kill() {
  // Not ended yet, seen so: until it is reaped its pid (and its group's id,
  // the same: it leads its own session) cannot be anyone else's.
  if (Wait(std::chrono::milliseconds(0))) return;
  const auto pid = static_cast<pid_t>(impl_->pid);
  ::kill(-pid, SIGKILL);
  ::kill(pid, SIGKILL);  // in case it has left its group since
}

std::unique_ptr<ChildWatch> CreateChildWatch() {
  return std::make_unique<posix::EventLoop>();
}

}  // namespace ostrim::platform
