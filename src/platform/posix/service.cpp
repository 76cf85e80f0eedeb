// The service-host layer on Linux: systemd in place of the Windows service
// control.
//
// | Service control                | Here                                                       |
// |--------------------------------|------------------------------------------------------------|
// | register (-INSTALL)            | write ostrim.service under $OSTRIM_INSTALL_ROOT/etc/systemd/ |
// |                                | system and enable it (start-mode 2: WantedBy=multi-user)    |
// | unregister (-UNINSTALL)        | disable it and remove the unit                              |
// | accepted controls 2            | SIGUSR1 is a pause request, SIGUSR2 a continue request      |
// | stop request                   | SIGTERM or SIGINT                                           |
// | connect                        | the start request is delivered at once: systemd starting    |
// |                                | the process is the start request                            |
// | outcome                        | sd_notify: READY=1 after a successful start or continue,    |
// |                                | STOPPING=1 when the stop begins, STATUS= lines throughout   |
//
// Signals are caught by a handler that writes the signal's number to a pipe,
// so requests are taken in the order they arrived; the event loop blocks on
// that pipe (no polling, no timer) and so does every wait for a child, which
// queues requests that arrive meanwhile. Each request is handled to its end
// before the next one. SIGHUP is ignored: the profiles are read afresh at
// every request anyway.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stddef.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <string>
#include <vector>

#include "log.h"
#include "platform/platform.h"
#include "platform/posix/command_line.h"
#include "platform/posix/fd.h"
#include "platform/requests.h"

namespace ostrim::platform {
namespace {

using Clock = std::chrono::steady_clock;

// ---------------------------------------------------------------------------
// Notifications to systemd (the sd_notify protocol: one datagram per message)

class Notifier {
 public:
  // Takes NOTIFY_SOCKET from the environment and removes it, so that the
  // children we launch never talk to our service manager in our name.
  void Open() {
    const char* path = std::getenv("NOTIFY_SOCKET");
    if (path == nullptr || *path == '\0') return;
    std::string name = path;
    ::unsetenv("NOTIFY_SOCKET");
    if ((name.front() != '/' && name.front() != '@') || name.size() >= sizeof(addr_.sun_path)) {
      log::Warning("NOTIFY_SOCKET ", log::Quoted(name), " is not a socket path; not notifying");
      return;
    }
    addr_.sun_family = AF_UNIX;
    name.copy(addr_.sun_path, name.size());
    if (name.front() == '@') addr_.sun_path[0] = '\0';  // abstract namespace
    addr_len_ = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + name.size());
    fd_.Reset(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd_) log::Warning("cannot open the notification socket: ", posix::ErrnoText());
  }

  bool active() const { return static_cast<bool>(fd_); }

  void Send(const std::string& message) {
    if (!fd_) return;
    if (::sendto(fd_.get(), message.data(), message.size(), MSG_NOSIGNAL,
                 reinterpret_cast<const struct sockaddr*>(&addr_), addr_len_) < 0) {
      log::Warning("cannot notify the service manager (", message.substr(0, message.find('\n')),
                   "): ", posix::ErrnoText());
    }
  }

 private:
  posix::Fd fd_;
  struct sockaddr_un addr_ {};
  socklen_t addr_len_ = 0;
};

Notifier& TheNotifier() {
  static Notifier notifier;
  return notifier;
}

// ---------------------------------------------------------------------------
// Signals as requests

int signal_pipe_write = -1;

void OnSignal(int signo) {
  // A child's end matters only when a watched child may have ended; the one
  // a wait is waiting for is seen on its own pidfd.
  if (signo == SIGCHLD && !posix::ChildrenWatched()) return;
  int saved = errno;
  unsigned char byte = static_cast<unsigned char>(signo);
  // Non-blocking: a full pipe (tens of thousands of unread signals) drops the
  // signal rather than hanging the service in its own handler.
  [[maybe_unused]] ssize_t n = ::write(signal_pipe_write, &byte, 1);
  errno = saved;
}

class PosixServiceHost;
PosixServiceHost* active_host = nullptr;

// ---------------------------------------------------------------------------
// Registration

std::string InstallRoot() {
  const char* root = std::getenv("OSTRIM_INSTALL_ROOT");
  std::string path = root != nullptr && *root != '\0' ? root : "/";
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

std::string UnitDirectory(const std::string& root) {
  return (root == "/" ? std::string() : root) + "/etc/systemd/system";
}

bool SystemdRunning() {
  struct stat st {};
  return ::lstat("/run/systemd/system", &st) == 0 && S_ISDIR(st.st_mode);
}

// A value for a unit file: systemd expands "%" specifiers and "$" variables,
// and splits ExecStart at blanks unless the word is quoted.
std::string UnitWord(std::string_view text, bool quote_if_blank) {
  std::string out;
  bool quote = quote_if_blank && text.find_first_of(" \t\"\\'") != std::string_view::npos;
  if (quote) out.push_back('"');
  for (char c : text) {
    if (c == '%')
      out.append("%%");
    else if (c == '$')
      out.append("$$");
    else if (quote && (c == '"' || c == '\\'))
      out.append({'\\', c});
    else
      out.push_back(c);
  }
  if (quote) out.push_back('"');
  return out;
}

std::string UnitText(const ServiceSettings& s, const std::string& executable) {
  std::string unit;
  unit += "# Written by \"" + s.name + " -INSTALL\"; \"" + s.name + " -UNINSTALL\" removes it.\n";
  unit += "[Unit]\n";
  unit += "Description=" + UnitWord(s.display_name, false) + "\n";
  unit += "Wants=network-online.target\n";
  unit += "After=network-online.target remote-fs.target\n\n";
  unit += "[Service]\n";
  unit += "Type=notify\n";
  unit += "NotifyAccess=main\n";
  unit += "ExecStart=" + UnitWord(executable, true) + "\n";
  unit += "# The engines it starts are stopped by their stop commands, never killed by systemd.\n";
  unit += "KillMode=process\n";
  unit += "# Pause and continue: systemctl kill -s SIGUSR1 / SIGUSR2 " + s.name + "\n\n";
  unit += "[Install]\n";
  // Start-mode 2 is automatic: started at boot.
  unit += s.start_mode == 2 ? "WantedBy=multi-user.target\n" : "";
  return unit;
}

void MakeDirectories(const std::string& path) {
  for (std::size_t pos = 1; pos <= path.size(); ++pos) {
    if (pos != path.size() && path[pos] != '/') continue;
    std::string prefix = path.substr(0, pos);
    if (::mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) {
      throw Error("cannot create " + prefix + ": " + posix::ErrnoText());
    }
  }
}

void WriteFileAtomically(const std::string& path, const std::string& text) {
  std::string temporary = path + ".tmp";
  posix::Fd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!fd) throw Error("cannot write " + temporary + ": " + posix::ErrnoText());
  std::string_view rest = text;
  while (!rest.empty()) {
    ssize_t n = ::write(fd.get(), rest.data(), rest.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int error = errno;
      ::unlink(temporary.c_str());
      throw Error("cannot write " + temporary + ": " + posix::ErrnoText(error));
    }
    rest.remove_prefix(static_cast<std::size_t>(n));
  }
  if (::fsync(fd.get()) != 0 || ::rename(temporary.c_str(), path.c_str()) != 0) {
    int error = errno;
    ::unlink(temporary.c_str());
    throw Error("cannot write " + path + ": " + posix::ErrnoText(error));
  }
}

// Runs systemctl with `args` and waits for it; throws when it fails.
void Systemctl(const std::vector<std::string>& args) {
  std::string line = "systemctl";
  for (const std::string& arg : args) line += " " + posix::QuoteArgument(arg);
  log::Debug("running ", line);
  std::optional<ProcessEnd> end;
  try {
    end = Launch(line).Wait(std::nullopt);
  } catch (const Error& e) {
    throw Error(std::string("cannot run systemctl: ") + e.what());
  }
  if (!end || end->by_signal || end->value != 0) {
    throw Error(line + " failed: " + (end ? DescribeEnd(*end) : std::string("no status")));
  }
}

// ---------------------------------------------------------------------------

class PosixServiceHost final : public ServiceHost {
 public:
  explicit PosixServiceHost(const ServiceSettings& settings) : settings_(settings) {}

  ~PosixServiceHost() override {
    if (active_host == this) {
      posix::CurrentWaitHook() = {};
      active_host = nullptr;
    }
  }

  std::string Install() override {
    const std::string root = InstallRoot();
    const std::string directory = UnitDirectory(root);
    const std::string unit = directory + "/" + settings_.name + ".service";
    std::string executable = posix::ExecutablePath();
    struct stat st {};
    bool existed = ::stat(unit.c_str(), &st) == 0;
    MakeDirectories(directory);
    WriteFileAtomically(unit, UnitText(settings_, executable));
    if (root != "/") {
      Systemctl({"--root=" + root, "enable", settings_.name + ".service"});
    } else {
      if (SystemdRunning()) Systemctl({"daemon-reload"});
      Systemctl({"enable", settings_.name + ".service"});
    }
    return settings_.name + ": service " + (existed ? "updated" : "installed") + " as " + unit +
           " (" + executable + ") and enabled: it starts at boot";
  }

  std::string Uninstall() override {
    const std::string root = InstallRoot();
    const std::string unit = UnitDirectory(root) + "/" + settings_.name + ".service";
    struct stat st {};
    if (::lstat(unit.c_str(), &st) != 0) {
      throw Error("service " + settings_.name + " is not installed: there is no " + unit);
    }
    if (root != "/") {
      Systemctl({"--root=" + root, "disable", settings_.name + ".service"});
    } else {
      Systemctl({"disable", settings_.name + ".service"});
    }
    if (::unlink(unit.c_str()) != 0) {
      throw Error("cannot remove " + unit + ": " + posix::ErrnoText());
    }
    if (root == "/" && SystemdRunning()) Systemctl({"daemon-reload"});
    return settings_.name + ": service uninstalled; " + unit + " removed";
  }

  void SetControlsAccepted(std::int16_t controls) override { controls_ = controls; }

  void StartService() override {
    TheNotifier().Open();
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
      throw Error("cannot create the request pipe: " + posix::ErrnoText());
    }
    pipe_read_.Reset(fds[0]);
    pipe_write_.Reset(fds[1]);
    signal_pipe_write = fds[1];

    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigfillset(&action.sa_mask);  // one handler at a time keeps the arrival order
    action.sa_flags = SA_RESTART;
    std::vector<int> caught = {SIGTERM, SIGINT, SIGHUP, SIGCHLD};
    if (controls_ & 2) {
      caught.push_back(SIGUSR1);
      caught.push_back(SIGUSR2);
    }
    for (int signo : caught) ::sigaction(signo, &action, nullptr);
    ::signal(SIGPIPE, SIG_IGN);  // a closed stderr must not end the service
    // Signals blocked by whoever started us would never arrive.
    sigset_t unblock;
    sigemptyset(&unblock);
    for (int signo : caught) sigaddset(&unblock, signo);
    ::sigprocmask(SIG_UNBLOCK, &unblock, nullptr);

    active_host = this;
    posix::CurrentWaitHook() = {pipe_read_.get(), [] { active_host->TakeSignals(); }};
    log::Info(settings_.name, " (", settings_.display_name, ") serving, pid ", ::getpid(),
              TheNotifier().active() ? ", under systemd" : ", in the foreground",
              (controls_ & 2) ? "; SIGUSR1 pauses, SIGUSR2 continues" : "",
              "; SIGTERM or Ctrl-C stops");
    Queue(Request::kStart, "service started");
  }

  int RunEventLoop(ServiceEvents& events) override {
    if (!pipe_read_) return 0;  // never connected
    for (;;) {
      WaitForRequest();
      Request request = queue_.front();
      queue_.pop_front();
      busy_ = true;
      std::optional<int> status = Handle(events, request);
      busy_ = false;
      if (status) {
        for (Request left : queue_) {
          log::Info("request ", RequestName(left), " dropped: the service has ended");
        }
        return *status;
      }
    }
  }

  // Reads every signal that arrived since the last call, in order.
  void TakeSignals() {
    unsigned char bytes[256];
    bool reap = false;
    for (;;) {
      ssize_t n = ::read(pipe_read_.get(), bytes, sizeof bytes);
      if (n <= 0) break;
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
            reap = true;
            break;
          default:
            break;
        }
      }
    }
    if (reap) ReapEndedChildren();
  }

 private:
  void Queue(Request request, const char* source) {
    if (busy_ || !queue_.empty()) {
      log::Info("request received: ", RequestName(request), " (", source,
                "); it runs when the requests before it have ended");
    } else {
      log::Info("request received: ", RequestName(request), " (", source, ")");
    }
    queue_.push_back(request);
  }

  // Blocks in the kernel until a request is queued.
  void WaitForRequest() {
    while (queue_.empty()) {
      struct pollfd fd = {pipe_read_.get(), POLLIN, 0};
      if (::poll(&fd, 1, -1) < 0 && errno != EINTR) {
        throw Error("poll: " + posix::ErrnoText());
      }
      TakeSignals();
    }
  }

  // Runs one request's handler to its end. Returns the exit status when the
  // service must end now.
  std::optional<int> Handle(ServiceEvents& events, Request request) {
    const Clock::time_point started = Clock::now();
    const char* name = RequestName(request);
    log::Info("request ", name, ": begins");
    auto finished = [&](const char* outcome) {
      log::Info("request ", name, ": ", outcome, " in ",
                std::chrono::duration<double>(Clock::now() - started).count(), " s");
    };
    std::int16_t success = 0;
    try {
      switch (request) {
        case Request::kStart:
          events.NTService_Start(success);
          break;
        case Request::kContinue:
          events.NTService_Continue(success);
          break;
        case Request::kPause:
          events.NTService_Pause(success);
          break;
        case Request::kStop:
          TheNotifier().Send("STOPPING=1\nSTATUS=stopping");
          events.NTService_Stop();
          finished("done");
          return 0;
      }
    } catch (const std::exception& e) {
      log::Error("request ", name, " failed: ", e.what());
      finished("failed");
      TheNotifier().Send(std::string("STATUS=") + name + " failed: " + e.what());
      if (request == Request::kStart) return 1;  // a failed start, never a success
      return std::nullopt;                       // the service stays up
    }
    if (success != -1) {
      log::Error("request ", name, " did not succeed");
      finished("failed");
      if (request == Request::kStart) return 1;
      return std::nullopt;
    }
    finished("done");
    if (request == Request::kStart || request == Request::kContinue) {
      TheNotifier().Send("READY=1");
    }
    return std::nullopt;
  }

  ServiceSettings settings_;
  std::int16_t controls_ = 0;
  posix::Fd pipe_read_;
  posix::Fd pipe_write_;
  std::deque<Request> queue_;
  bool busy_ = false;  // a handler is running
};

}  // namespace

std::unique_ptr<ServiceHost> CreateServiceHost(const ServiceSettings& settings) {
  return std::make_unique<PosixServiceHost>(settings);
}

void ReportProgress(std::string_view status, std::chrono::milliseconds more_time) {
  Notifier& notifier = TheNotifier();
  if (!notifier.active()) return;
  std::string message = "STATUS=" + std::string(status);
  if (more_time.count() > 0) {
    message += "\nEXTEND_TIMEOUT_USEC=" + std::to_string(more_time.count() * 1000);
  }
  notifier.Send(message);
}

}  // namespace ostrim::platform
