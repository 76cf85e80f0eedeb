// Whether a database's port accepts a connection, on POSIX systems.
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <optional>

#include "platform/platform.h"
#include "platform/posix/posix.h"

namespace ostrim::platform {
namespace {

// "Connection refused" as the sentences it ends: "connection refused".
std::string Lower(std::string text) {
  if (!text.empty() && text[0] >= 'A' && text[0] <= 'Z') text[0] = static_cast<char>(text[0] + 32);
  return text;
}

}  // namespace

struct ConnectAttempt::State {
  std::unique_ptr<addrinfo, void (*)(addrinfo*)> found{nullptr, ::freeaddrinfo};
  const addrinfo* next = nullptr;  // the address to try after the current one
  posix::Fd fd;                    // the current address's socket, connecting
  std::chrono::steady_clock::time_point deadline;
  std::string why = "no address";  // why the last address failed
  std::optional<std::string> outcome;

  // Begins a connection to each next address until one is in progress,
  // accepted at once, or none is left.
  void Next() {
    for (; next != nullptr && !outcome; next = next->ai_next) {
      // Close-on-exec: no engine launched meanwhile inherits it.
      // Non-blocking: the wait is bounded by the limit, never by the
      // system's own timeout.
      fd = posix::Fd(::socket(next->ai_family, next->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                              next->ai_protocol));
      if (!fd) {
        why = Lower(posix::ErrnoText());
        continue;
      }
      const int error = ::connect(fd.get(), next->ai_addr, next->ai_addrlen) == 0 ? 0 : errno;
      if (error == 0) outcome = "";
      if (error == EINPROGRESS || error == EINTR) {
        next = next->ai_next;
        return;
      }
      if (error != 0) why = Lower(posix::ErrnoText(error));
      fd = posix::Fd();
    }
    if (!outcome && !fd) outcome = why;
  }
};

ConnectAttempt::ConnectAttempt(const std::string& host, std::uint16_t port,
                               std::chrono::milliseconds limit)
    : state_(std::make_unique<State>()) {
  state_->deadline = std::chrono::steady_clock::now() + limit;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const int rc = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
  if (rc != 0) {
    state_->outcome =
        "no such host: " + (rc == EAI_SYSTEM ? posix::ErrnoText() : ::gai_strerror(rc));
    return;
  }
  state_->found.reset(found);
  state_->next = found;
  state_->Next();
}

ConnectAttempt::~ConnectAttempt() = default;

std::optional<std::string> ConnectAttempt::Outcome(std::chrono::milliseconds wait) {
  State& s = *state_;
  while (!s.outcome) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= s.deadline) {
      s.outcome = "no answer";
      break;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(s.deadline - now);
    pollfd p{s.fd.get(), POLLOUT, 0};
    const int n = ::poll(&p, 1, static_cast<int>(std::min(wait, left).count()));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      s.why = Lower(posix::ErrnoText());
    } else if (n == 0) {
      // Its limit is said at the top; else it goes on.
      if (std::chrono::steady_clock::now() >= s.deadline) continue;
      return std::nullopt;
    } else {
      int error = 0;
      socklen_t size = sizeof error;
      if (::getsockopt(s.fd.get(), SOL_SOCKET, SO_ERROR, &error, &size) != 0) error = errno;
      if (error == 0) {
        s.outcome = "";
        break;
      }
      s.why = Lower(posix::ErrnoText(error));
    }
    s.fd = posix::Fd();
    s.Next();
  }
  s.fd = posix::Fd();  // over: closed at once
  return s.outcome;
}

std::string TryConnect(const std::string& host, std::uint16_t port,
                       std::chrono::milliseconds limit) {
  ConnectAttempt attempt(host, port, limit);
  for (;;) {
    if (std::optional<std::string> outcome = attempt.Outcome(limit)) return *outcome;
  }
}

}  // namespace ostrim::platform
