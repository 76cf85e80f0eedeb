#include "platform/posix/control.h"

#include <poll.h>
#include <stddef.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <utility>

#include "log.h"

namespace ostrim::platform::posix {
namespace {

struct Address {
  struct sockaddr_un addr {};
  socklen_t len = 0;
};

Address AddressOf(const std::string& directory) {
  Address a;
  const std::string name = ControlName(directory);
  a.addr.sun_family = AF_UNIX;
  a.addr.sun_path[0] = '\0';  // the abstract namespace: no file anywhere
  name.copy(a.addr.sun_path + 1, sizeof a.addr.sun_path - 2);
  a.len = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + 1 + name.size());
  return a;
}

bool Trusted(uid_t uid) {
  return uid == 0 || uid == ::geteuid();
}

std::optional<struct ucred> PeerOf(int fd) {
  struct ucred cred {};
  socklen_t len = sizeof cred;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) return std::nullopt;
  return cred;
}

void SendAll(int fd, std::string_view text) {
  while (!text.empty()) {
    ssize_t n = ::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
}

}  // namespace

std::string ControlName(const std::string& directory) {
  // FNV-1a, 64 bits: a short, fixed-length name for a path of any length.
  std::uint64_t hash = 1469598103934665603ULL;
  for (unsigned char c : directory) {
    hash ^= c;
    hash *= 1099511628211ULL;
  }
  char name[32];
  std::snprintf(name, sizeof name, "ostrim/%016llx", static_cast<unsigned long long>(hash));
  return name;
}

std::optional<ControlServer::Holder> ControlServer::Open(const std::string& directory) {
  const Address a = AddressOf(directory);
  listener_.Reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!listener_) throw Error("cannot open the control socket: " + ErrnoText());
  if (::bind(listener_.get(), reinterpret_cast<const struct sockaddr*>(&a.addr), a.len) == 0) {
    if (::listen(listener_.get(), 16) != 0) {
      throw Error("cannot listen on the control socket: " + ErrnoText());
    }
    return std::nullopt;
  }
  const int error = errno;
  listener_.Reset();
  if (error != EADDRINUSE) throw Error("cannot bind the control socket: " + ErrnoText(error));
  // Someone holds the name: who?
  Holder holder;
  Fd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (probe &&
      ::connect(probe.get(), reinterpret_cast<const struct sockaddr*>(&a.addr), a.len) == 0) {
    if (auto peer = PeerOf(probe.get())) {
      holder.pid = peer->pid;
      holder.trusted = Trusted(peer->uid);
    }
  }
  return holder;
}

void ControlServer::AddPollFds(std::vector<struct pollfd>& fds) const {
  if (listener_) fds.push_back({listener_.get(), POLLIN, 0});
  for (const Client& c : clients_) {
    // A queued client is watched too: it hangs up when its operator gives up.
    if (c.phase != Client::Phase::kAnswering) fds.push_back({c.fd.get(), POLLIN, 0});
    if (c.phase == Client::Phase::kAnswering) fds.push_back({c.fd.get(), POLLOUT, 0});
  }
}

std::vector<ControlCommand> ControlServer::Take() {
  std::vector<ControlCommand> commands;
  if (!listener_) return commands;
  const auto now = std::chrono::steady_clock::now();
  for (;;) {
    Fd fd(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (!fd) break;
    auto peer = PeerOf(fd.get());
    if (!peer || !Trusted(peer->uid)) {
      log::Warning("control request refused: uid ", peer ? static_cast<long>(peer->uid) : -1L,
                   ", pid ", peer ? static_cast<long>(peer->pid) : -1L,
                   " may not control the service (only root and its own user may)");
      SendAll(fd.get(), "denied\n");
      continue;
    }
    if (clients_.size() >= kMostClients) {
      SendAll(fd.get(), "busy\n");
      continue;
    }
    clients_.push_back(Client{next_id_++,
                              std::move(fd),
                              {},
                              now + kTimeToSend,
                              peer->pid,
                              peer->uid,
                              Client::Phase::kReading,
                              {}});
  }
  for (auto it = clients_.begin(); it != clients_.end();) {
    if (it->phase == Client::Phase::kAnswering) {
      if (!Flush(*it) || now >= it->deadline) {
        it = clients_.erase(it);
      } else {
        ++it;
      }
      continue;
    }
    if (it->phase == Client::Phase::kQueued) {
      char discard[64];
      const ssize_t n = ::recv(it->fd.get(), discard, sizeof discard, MSG_DONTWAIT);
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
        abandoned_.push_back(it->id);
        it = clients_.erase(it);
      } else {
        ++it;
      }
      continue;
    }
    char buffer[64];
    ssize_t n = ::recv(it->fd.get(), buffer, sizeof buffer, MSG_DONTWAIT);
    if (n > 0) it->received.append(buffer, static_cast<std::size_t>(n));
    const std::size_t eol = it->received.find('\n');
    const bool gone =
        n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
    if (eol == std::string::npos) {
      // Nothing complete yet: a client that sends nothing, or too much, or
      // goes away, is dropped.
      if (gone || it->received.size() > 32 || now >= it->deadline) {
        it = clients_.erase(it);
      } else {
        ++it;
      }
      continue;
    }
    const std::string verb = it->received.substr(0, eol);
    ControlCommand command{it->id, KindOfVerb(verb), it->pid, it->uid};
    if (command.kind == nullptr && verb != "STATUS") {
      SendAll(it->fd.get(), "unknown\n");
      it = clients_.erase(it);
      continue;
    }
    it->phase = Client::Phase::kQueued;
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
    it->deadline = std::chrono::steady_clock::now() + kTimeToRead;
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

ControlAnswer AskService(const std::string& directory, const std::string& verb) {
  ControlAnswer answer;
  const Address a = AddressOf(directory);
  Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) {
    answer.text = "cannot open a socket: " + ErrnoText();
    return answer;
  }
  if (::connect(fd.get(), reinterpret_cast<const struct sockaddr*>(&a.addr), a.len) != 0) {
    if (errno == ECONNREFUSED || errno == ENOENT) {
      answer.outcome = ControlAnswer::Outcome::kNoService;
      answer.text = "no ostrim serves the site in " + directory;
    } else {
      answer.text = "cannot reach the service: " + ErrnoText();
    }
    return answer;
  }
  auto peer = PeerOf(fd.get());
  if (!peer || !Trusted(peer->uid)) {
    answer.text = "the control socket of " + directory + " is held by uid " +
                  (peer ? std::to_string(peer->uid) : std::string("?")) + ", pid " +
                  (peer ? std::to_string(peer->pid) : std::string("?")) +
                  ", which is not an ostrim of this user or of root";
    return answer;
  }
  SendAll(fd.get(), verb + "\n");
  char buffer[4096];
  for (ssize_t n; (n = ::recv(fd.get(), buffer, sizeof buffer, 0)) != 0;) {
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    answer.text.append(buffer, static_cast<std::size_t>(n));
  }
  if (answer.text.rfind("refused\t", 0) == 0) {
    answer.text = answer.text.substr(8, answer.text.find('\n') - 8);
  } else if (answer.text == "denied\n") {
    answer.outcome = ControlAnswer::Outcome::kDenied;
    answer.text = "permission denied: only root and the service's own user may control it";
  } else if (answer.text.empty() || answer.text == "busy\n" || answer.text == "unknown\n") {
    answer.text = answer.text.empty() ? "the service ended before it answered"
                                      : "the service could not take the request: " +
                                            answer.text.substr(0, answer.text.size() - 1);
  } else {
    answer.outcome = ControlAnswer::Outcome::kAnswered;
  }
  return answer;
}

}  // namespace ostrim::platform::posix
