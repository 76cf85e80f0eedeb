// The operator's side of the control channel (control.h): where the service
// of a site may be, connecting and asking it without ever hanging, and what
// its answer means.
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/posix/control.h"

namespace ostrim::platform::posix {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// How long the operator's client waits to connect and to send its word,
// for a STATUS answer, and for a word (or a keep-alive) while its request
// waits or runs.
constexpr milliseconds kClientConnect{2000};
constexpr milliseconds kClientStatus{10000};
constexpr milliseconds kClientSilence{30000};

int MsUntil(Clock::time_point now, Clock::time_point then) {
  if (then <= now) return 0;
  return static_cast<int>(
      std::min<long long>(std::chrono::ceil<milliseconds>(then - now).count(), 1 << 30));
}

// Connects to the socket at `path` without blocking: a full backlog is
// tried again for a while. The descriptor, or why not (errno).
Fd Connect(const std::string& path, int& error) {
  const SocketAddress a = AddressOf(path);
  const Clock::time_point until = Clock::now() + kClientConnect;
  for (;;) {
    Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd) {
      error = errno;
      return fd;
    }
    if (::connect(fd.get(), reinterpret_cast<const struct sockaddr*>(&a.addr), a.len) == 0) {
      return fd;
    }
    error = errno;
    if (error != EAGAIN || Clock::now() >= until) return Fd();
    ::poll(nullptr, 0, 50);
  }
}

std::string Denied() {
  return std::string(
             "permission denied: only root and the service's own user may control it; "
             "members of the group ") +
         ControlServer::kStatusGroup + " may ask for its status (-STATUS)";
}

}  // namespace

ControlAnswer AskService(const std::string& directory, const std::string& verb) {
  ControlAnswer answer;
  // Where the service may be: this user's runtime directory; and for root
  // also the directory owner's (a site served by its owner), for another
  // user also root's (a site served by root: then permission is refused).
  std::vector<std::pair<SitePaths, uid_t>> places;
  try {
    const uid_t self = ::geteuid();
    places.emplace_back(PathsOf(directory, self, false), self);
    struct stat st {};
    const uid_t other = self == 0 ? (::stat(directory.c_str(), &st) == 0 ? st.st_uid : 0) : 0;
    if (other != self) places.emplace_back(PathsOf(directory, other, false), other);
  } catch (const Error& e) {
    answer.text = e.what();
    return answer;
  }
  Fd fd;
  bool denied = false;
  for (const auto& [paths, owner] : places) {
    int error = 0;
    fd = Connect(paths.socket, error);
    if (!fd) {
      if (error == EACCES || error == EPERM) denied = true;
      if (error == EAGAIN) {
        answer.text = "the service does not take connections: its control channel is full";
        return answer;
      }
      continue;
    }
    // The kernel says who holds the socket: its directory's owner, or root.
    const auto peer = PeerOf(fd.get());
    if (!peer || (peer->uid != owner && peer->uid != 0)) {
      answer.text = "the control socket " + paths.socket + " is held by uid " +
                    (peer ? std::to_string(peer->uid) : std::string("?")) +
                    ", which is not this site's ostrim";
      return answer;
    }
    break;
  }
  if (!fd) {
    if (denied) {
      answer.outcome = ControlAnswer::Outcome::kDenied;
      answer.text = Denied();
    } else {
      answer.outcome = ControlAnswer::Outcome::kNoService;
      answer.text = "no ostrim serves the site in " + directory;
    }
    return answer;
  }

  // The word, then the answer: waited for with a limit, which every
  // "waiting" line (the request is queued or running) begins anew.
  std::string line = verb + "\n";
  const milliseconds patience = verb == "STATUS" ? kClientStatus : kClientSilence;
  Clock::time_point until = Clock::now() + patience;
  std::string text;
  for (;;) {
    const Clock::time_point now = Clock::now();
    if (now >= until) {
      answer.text =
          "the service did not answer within " +
          std::to_string(std::chrono::duration_cast<std::chrono::seconds>(patience).count()) + " s";
      return answer;
    }
    struct pollfd p = {fd.get(), static_cast<short>(line.empty() ? POLLIN : POLLOUT), 0};
    if (::poll(&p, 1, MsUntil(now, until)) <= 0) continue;
    if (!line.empty()) {
      const ssize_t n = ::send(fd.get(), line.data(), line.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n < 0 && errno != EAGAIN && errno != EINTR) break;
      if (n > 0) line.erase(0, static_cast<std::size_t>(n));
      continue;
    }
    char buffer[65536];
    const ssize_t n = ::recv(fd.get(), buffer, sizeof buffer, MSG_DONTWAIT);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EAGAIN || errno == EINTR) continue;
      break;
    }
    text.append(buffer, static_cast<std::size_t>(n));
    while (text.rfind("waiting\n", 0) == 0) text.erase(0, 8);
    until = Clock::now() + patience;
  }
  if (text.rfind("refused\t", 0) == 0) {
    answer.text = text.substr(8, text.find('\n') - 8);
  } else if (text == "denied\n") {
    answer.outcome = ControlAnswer::Outcome::kDenied;
    answer.text = Denied();
  } else if (text.empty() || text == "busy\n" || text == "unknown\n") {
    answer.text =
        text.empty() ? "the service ended before it answered"
                     : "the service could not take the request: " + text.substr(0, text.size() - 1);
  } else {
    answer.outcome = ControlAnswer::Outcome::kAnswered;
    answer.text = std::move(text);
  }
  return answer;
}

}  // namespace ostrim::platform::posix
