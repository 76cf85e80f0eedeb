#include "platform/posix/control.h"

#include <fcntl.h>
#include <poll.h>
#include <stddef.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <utility>

#include "log.h"

namespace ostrim::platform::posix {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A runtime directory as it must be to be trusted: a real directory (not a
// link), owned by `uid`, that nobody else can write. Made when missing and
// `make`. Empty when it is so; else why not.
std::string CheckRuntime(const std::string& path, uid_t uid, mode_t mode, bool make) {
  if (make && ::mkdir(path.c_str(), mode) != 0 && errno != EEXIST) {
    return "cannot create " + path + ": " + ErrnoText();
  }
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return path + ": " + ErrnoText();
  if (!S_ISDIR(st.st_mode)) return path + " is not a directory";
  if (st.st_uid != uid) {
    return path + " is owned by uid " + std::to_string(st.st_uid) + ", not " + std::to_string(uid) +
           ": another user may have made it; remove it";
  }
  if (st.st_mode & (S_IWGRP | S_IWOTH)) return path + " can be written by others";
  return {};
}

// Whether `path` is `uid`'s private directory: a real directory of that
// user's that nobody else may enter.
bool PrivateDirectory(const std::string& path, uid_t uid) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == uid &&
         (st.st_mode & 077) == 0;
}

// Root's is /run/ostrim. Another user's is "ostrim" in its own runtime
// directory (XDG_RUNTIME_DIR for the user itself; systemd's /run/user/UID
// as another sees it) when that is its private directory, else
// /tmp/ostrim-UID.
std::string RuntimeOf(uid_t uid) {
  if (uid == 0) return "/run/ostrim";
  std::string own = "/run/user/" + std::to_string(uid);
  if (uid == ::geteuid()) {
    const char* xdg = std::getenv("XDG_RUNTIME_DIR");
    own = xdg != nullptr && xdg[0] == '/' ? xdg : "";
  }
  if (!own.empty() && PrivateDirectory(own, uid)) return own + "/ostrim";
  return "/tmp/ostrim-" + std::to_string(uid);
}

bool Trusted(uid_t uid) {
  return uid == 0 || uid == ::geteuid();
}

// The id of the local group `name`, read from /etc/group itself (the
// program is linked statically, without the name service's modules); none
// when it is not there.
std::optional<gid_t> LocalGroup(std::string_view name) {
  std::FILE* file = std::fopen("/etc/group", "re");
  if (file == nullptr) return std::nullopt;
  std::optional<gid_t> found;
  char line[4096];
  while (!found && std::fgets(line, sizeof line, file) != nullptr) {
    // name:password:gid:members
    const std::string_view text(line);
    const std::size_t first = text.find(':');
    if (first == std::string_view::npos || text.substr(0, first) != name) continue;
    const std::size_t second = text.find(':', first + 1);
    if (second == std::string_view::npos) continue;
    char* end = nullptr;
    const unsigned long gid = std::strtoul(line + second + 1, &end, 10);
    if (end != line + second + 1 && *end == ':') found = static_cast<gid_t>(gid);
  }
  std::fclose(file);
  return found;
}

// Whether the peer of a connected socket is a member of `group`: its group,
// or one of its supplementary groups, as the kernel gives them.
bool PeerInGroup(int fd, const struct ucred& peer, gid_t group) {
  if (peer.gid == group) return true;
  std::vector<gid_t> groups(64);
  for (;;) {
    socklen_t len = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &len) == 0) {
      groups.resize(len / sizeof(gid_t));
      return std::find(groups.begin(), groups.end(), group) != groups.end();
    }
    if (errno != ERANGE || len / sizeof(gid_t) <= groups.size()) return false;
    groups.resize(len / sizeof(gid_t));
  }
}

// Sends what the socket takes at once; never blocks.
void SendNow(int fd, std::string_view text) {
  [[maybe_unused]] ssize_t n = ::send(fd, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

int MsUntil(Clock::time_point now, Clock::time_point then) {
  if (then <= now) return 0;
  return static_cast<int>(
      std::min<long long>(std::chrono::ceil<milliseconds>(then - now).count(), 1 << 30));
}

}  // namespace

SocketAddress AddressOf(const std::string& path) {
  SocketAddress a;
  a.addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof a.addr.sun_path)
    throw Error("the socket path " + path + " is too long");
  path.copy(a.addr.sun_path, path.size());
  a.len = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + path.size() + 1);
  return a;
}

std::optional<struct ucred> PeerOf(int fd) {
  struct ucred cred {};
  socklen_t len = sizeof cred;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) return std::nullopt;
  return cred;
}

SitePaths PathsOf(const std::string& directory, uid_t uid, bool make) {
  struct stat st {};
  if (::stat(directory.c_str(), &st) != 0) {
    throw Error("cannot find the program's directory " + directory + ": " + ErrnoText());
  }
  SitePaths paths;
  paths.runtime = RuntimeOf(uid);
  if (make) {
    // Root's is 0711: others may reach a name they know (and be refused),
    // never list or make one; another user's is its own alone.
    const std::string why = CheckRuntime(paths.runtime, uid, uid == 0 ? 0711 : 0700, true);
    if (!why.empty()) throw Error("no safe place for the guard and the control channel: " + why);
  }
  char name[64];
  std::snprintf(name, sizeof name, "%llx-%llx", static_cast<unsigned long long>(st.st_dev),
                static_cast<unsigned long long>(st.st_ino));
  paths.lock = paths.runtime + "/" + name + ".lock";
  paths.socket = paths.runtime + "/" + name + ".sock";
  paths.state = paths.runtime + "/" + name + ".state";
  return paths;
}

ControlServer::~ControlServer() {
  if (!guard_) return;
  // Removed while the guard is still held: no other instance is between.
  if (listener_) ::unlink(paths_.socket.c_str());
  ::unlink(paths_.lock.c_str());
}

std::optional<pid_t> ControlServer::Open(const std::string& directory) {
  paths_ = PathsOf(directory, ::geteuid(), true);
  // The guard. The lock file may have been removed by an instance that just
  // ended, after it was opened here: the lock must be on the file the name
  // holds, so it is taken again then.
  for (int attempt = 0; attempt < 10 && !guard_; ++attempt) {
    Fd fd(::open(paths_.lock.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600));
    struct stat opened {};
    if (!fd || ::fstat(fd.get(), &opened) != 0) {
      throw Error("cannot open the guard " + paths_.lock + ": " + ErrnoText());
    }
    if (!S_ISREG(opened.st_mode) || opened.st_uid != ::geteuid() || (opened.st_mode & 077) != 0) {
      throw Error("the guard " + paths_.lock + " is not a private file of this user");
    }
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
      if (errno != EWOULDBLOCK) throw Error("cannot lock " + paths_.lock + ": " + ErrnoText());
      char text[32] = {};
      const ssize_t n = ::pread(fd.get(), text, sizeof text - 1, 0);
      return n > 0 ? static_cast<pid_t>(std::atol(text)) : 0;
    }
    struct stat named {};
    if (::stat(paths_.lock.c_str(), &named) != 0 || named.st_ino != opened.st_ino ||
        named.st_dev != opened.st_dev) {
      continue;  // closed, and so unlocked: the next attempt opens the name anew
    }
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd.get(), 0) != 0 ||
        ::pwrite(fd.get(), pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
      throw Error("cannot write " + paths_.lock + ": " + ErrnoText());
    }
    guard_ = std::move(fd);
  }
  if (!guard_) throw Error("cannot take the guard " + paths_.lock + ": it keeps being replaced");

  // The socket: one left by an instance that was killed is removed first
  // (the guard says none serves).
  const SocketAddress a = AddressOf(paths_.socket);
  if (::unlink(paths_.socket.c_str()) != 0 && errno != ENOENT) {
    throw Error("cannot remove " + paths_.socket + ": " + ErrnoText());
  }
  listener_.Reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!listener_) throw Error("cannot open the control socket: " + ErrnoText());
  // Made 0600 from the start: no moment in which another user may connect.
  const mode_t old_mask = ::umask(077);
  const int bound =
      ::bind(listener_.get(), reinterpret_cast<const struct sockaddr*>(&a.addr), a.len);
  const int error = errno;
  ::umask(old_mask);
  if (bound != 0) throw Error("cannot bind " + paths_.socket + ": " + ErrnoText(error));
  // A root service lets the status group connect too (to ask for the status,
  // and nothing else: Accept and Take see to it).
  if (::geteuid() == 0) {
    status_group_ = LocalGroup(kStatusGroup);
    if (status_group_ && (::chown(paths_.socket.c_str(), 0, *status_group_) != 0 ||
                          ::chmod(paths_.socket.c_str(), 0660) != 0)) {
      log::Warning("cannot open ", paths_.socket, " to the group ", kStatusGroup, ": ", ErrnoText(),
                   "; only root may ask for the status");
      status_group_.reset();
    }
  }
  if (::listen(listener_.get(), 64) != 0) {
    throw Error("cannot listen on " + paths_.socket + ": " + ErrnoText());
  }
  return std::nullopt;
}

void ControlServer::AddPollFds(std::vector<struct pollfd>& fds) {
  listener_at_ = static_cast<std::size_t>(-1);
  if (listener_ && Clock::now() >= listener_rests_until_) {
    listener_at_ = fds.size();
    fds.push_back({listener_.get(), POLLIN, 0});
  }
  for (const Client& c : clients_) {
    // A queued client is watched too: it hangs up when its operator gives up.
    const short events = c.phase == Client::Phase::kAnswering ? POLLOUT : POLLIN;
    fds.push_back({c.fd.get(), events, 0});
  }
}

int ControlServer::DueInMs() const {
  const Clock::time_point now = Clock::now();
  Clock::time_point due = Clock::time_point::max();
  if (listener_ && now < listener_rests_until_) due = listener_rests_until_;
  for (const Client& c : clients_) due = std::min(due, c.deadline);
  return due == Clock::time_point::max() ? -1 : MsUntil(now, due);
}

void ControlServer::Refused(uid_t uid, pid_t pid, Clock::time_point now) {
  // At most one line a minute per user, with a count: a flood of refused
  // connections must not flood the log (nor the journal's rate limit, which
  // would drop the service's own lines).
  Refusals& r = refusals_[uid];
  if (r.count > 0 && now - r.since < kRefusalWindow) {
    ++r.count;
    return;
  }
  if (r.count > 1) {
    log::Warning(r.count - 1, " more control connections of uid ", static_cast<long>(uid),
                 " were refused in the minute before");
  }
  log::Warning(
      "control request refused: uid ", static_cast<long>(uid), ", pid ", static_cast<long>(pid),
      " may not control the service (only root and its own user may; members of the group ",
      kStatusGroup,
      " may ask for its status); more from this user are counted, and said at most once a "
      "minute");
  r.since = now;
  r.count = 1;
}

void ControlServer::Accept(Clock::time_point now) {
  for (;;) {
    Fd fd(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (!fd) {
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        // The connection waits in the backlog; the listener rests instead of
        // waking the loop again at once.
        listener_rests_until_ = now + kListenerRest;
        if (!said_no_descriptors_) {
          log::Warning("cannot take control connections: ", ErrnoText(),
                       "; trying again every second");
          said_no_descriptors_ = true;
        }
      }
      return;
    }
    said_no_descriptors_ = false;
    const auto peer = PeerOf(fd.get());
    const bool trusted = peer && Trusted(peer->uid);
    const bool status_only =
        !trusted && peer && status_group_ && PeerInGroup(fd.get(), *peer, *status_group_);
    if (!trusted && !status_only) {
      Refused(peer ? peer->uid : static_cast<uid_t>(-1), peer ? peer->pid : -1, now);
      SendNow(fd.get(), "denied\n");
      continue;
    }
    if (clients_.size() >= kMostClients) {
      SendNow(fd.get(), "busy\n");
      continue;
    }
    clients_.push_back(Client{next_id_++,
                              std::move(fd),
                              {},
                              now + kTimeToSend,
                              peer->pid,
                              peer->uid,
                              status_only,
                              Client::Phase::kReading,
                              {}});
  }
}

std::vector<ControlCommand> ControlServer::Take(const std::vector<struct pollfd>& fds) {
  std::vector<ControlCommand> commands;
  if (!listener_) return commands;
  const Clock::time_point now = Clock::now();
  // Only when a connection waits: at the descriptor limit, accept fails even
  // with none.
  if (listener_at_ < fds.size() && fds[listener_at_].revents != 0) Accept(now);
  for (auto it = clients_.begin(); it != clients_.end();) {
    Client& c = *it;
    if (c.phase == Client::Phase::kAnswering) {
      if (!Flush(c) || now >= c.deadline) {
        it = clients_.erase(it);
      } else {
        ++it;
      }
      continue;
    }
    char buffer[64];
    const ssize_t n = ::recv(c.fd.get(), buffer, sizeof buffer, MSG_DONTWAIT);
    const bool gone =
        n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
    if (c.phase == Client::Phase::kQueued) {
      if (gone) {
        abandoned_.push_back(c.id);
        it = clients_.erase(it);
        continue;
      }
      if (now >= c.deadline) {  // still waiting for its request: say so
        SendNow(c.fd.get(), "waiting\n");
        c.deadline = now + kKeepAlive;
      }
      ++it;
      continue;
    }
    if (n > 0) c.received.append(buffer, static_cast<std::size_t>(n));
    const std::size_t eol = c.received.find('\n');
    if (eol == std::string::npos) {
      // Nothing complete yet: a client that sends nothing, or too much, or
      // goes away, is dropped.
      if (gone || c.received.size() > 32 || now >= c.deadline) {
        it = clients_.erase(it);
      } else {
        ++it;
      }
      continue;
    }
    const std::string verb = c.received.substr(0, eol);
    if (c.status_only && verb != "STATUS") {
      Refused(c.uid, c.pid, now);
      SendNow(c.fd.get(), "denied\n");
      it = clients_.erase(it);
      continue;
    }
    ControlCommand command{c.id, KindOfVerb(verb), c.pid, c.uid};
    if (command.kind == nullptr && verb != "STATUS") {
      SendNow(c.fd.get(), "unknown\n");
      it = clients_.erase(it);
      continue;
    }
    c.phase = Client::Phase::kQueued;
    c.deadline = now + kKeepAlive;
    commands.push_back(command);
    ++it;
  }
  return commands;
}

void ControlServer::Answer(int client, const std::string& text) {
  for (auto it = clients_.begin(); it != clients_.end(); ++it) {
    if (it->id != client) continue;
    it->phase = Client::Phase::kAnswering;
    it->outgoing = text;
    it->deadline = Clock::now() + kTimeToRead;
    if (!Flush(*it)) clients_.erase(it);
    return;
  }
}

void ControlServer::Refuse(int client, const std::string& why) {
  Answer(client, "refused\t" + why + "\n");
}

std::vector<int> ControlServer::TakeAbandoned() {
  return std::exchange(abandoned_, {});
}

bool ControlServer::Flush(Client& client) {
  while (!client.outgoing.empty()) {
    const ssize_t n = ::send(client.fd.get(), client.outgoing.data(), client.outgoing.size(),
                             MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK;  // later, or never
    client.outgoing.erase(0, static_cast<std::size_t>(n));
  }
  return false;
}

}  // namespace ostrim::platform::posix
