// Owned file descriptors and the few helpers around them that the POSIX
// layer shares. Every descriptor the service opens is opened close-on-exec
// and owned by an Fd, so none can leak into a child or outlive its use.
#pragma once

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

namespace ostrim::platform::posix {

class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) Reset(std::exchange(other.fd_, -1));
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { Reset(); }

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  void Reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

// strerror for the current errno or a given one, as text for the log.
inline std::string ErrnoText(int error = errno) {
  return std::strerror(error);
}

// The path of the running program file (links resolved).
std::string ExecutablePath();

// The service-host layer's hook into every blocking wait of the POSIX layer:
// while a wait blocks, it also watches `fd` and calls `on_ready` when it is
// readable, so that requests arriving during a long wait are queued in the
// order they came (and children that ended are reaped) instead of piling up.
struct WaitHook {
  int fd = -1;
  void (*on_ready)() = nullptr;
};
WaitHook& CurrentWaitHook();

// Non-zero while children handed to the watch list still run: only then does
// a child's end (SIGCHLD) need to wake the service.
volatile sig_atomic_t& ChildrenWatched();

}  // namespace ostrim::platform::posix
