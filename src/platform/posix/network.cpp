// Whether a database's port accepts a connection, on POSIX systems.
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

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

std::string TryConnect(const std::string& host, std::uint16_t port,
                       std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const int rc = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
  if (rc != 0) {
    return "no such host: " + (rc == EAI_SYSTEM ? posix::ErrnoText() : ::gai_strerror(rc));
  }
  const std::unique_ptr<addrinfo, void (*)(addrinfo*)> owned(found, ::freeaddrinfo);
  std::string why = "no address";
  for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
    // Close-on-exec: no engine launched meanwhile inherits it. Non-blocking:
    // the wait is bounded by `limit`, never by the system's own timeout.
    posix::Fd fd(
        ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol));
    if (!fd) {
      why = Lower(posix::ErrnoText());
      continue;
    }
    int error = ::connect(fd.get(), a->ai_addr, a->ai_addrlen) == 0 ? 0 : errno;
    while (error == EINPROGRESS || error == EINTR) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left <= std::chrono::milliseconds(0)) return "no answer";
      pollfd p{fd.get(), POLLOUT, 0};
      const int n = ::poll(&p, 1, static_cast<int>(left.count()) + 1);
      if (n < 0) {
        error = errno == EINTR ? EINPROGRESS : errno;
        if (error != EINPROGRESS) break;
        continue;
      }
      if (n == 0) continue;  // the deadline is checked above
      socklen_t size = sizeof error;
      if (::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &size) != 0) error = errno;
    }
    if (error == 0) return {};
    why = Lower(posix::ErrnoText(error));
  }
  return why;
}

}  // namespace ostrim::platform
