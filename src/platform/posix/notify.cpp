#include "platform/posix/notify.h"

#include <stddef.h>

#include <cstdlib>

#include "log.h"

namespace ostrim::platform::posix {

using std::chrono::milliseconds;

void Notifier::Open() {
  const char* path = std::getenv("NOTIFY_SOCKET");
  if (path == nullptr || *path == '\0') return;
  std::string name = path;
  ::unsetenv("NOTIFY_SOCKET");
  struct sockaddr_un addr {};
  if ((name.front() != '/' && name.front() != '@') || name.size() >= sizeof(addr.sun_path)) {
    log::Warning("NOTIFY_SOCKET ", log::Quoted(name), " is not a socket path; not notifying");
    return;
  }
  addr.sun_family = AF_UNIX;
  name.copy(addr.sun_path, name.size());
  if (name.front() == '@') addr.sun_path[0] = '\0';  // abstract namespace
  const auto len = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + name.size());
  address_ = name;
  fd_.Reset(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd_) {
    log::Warning("cannot open the notification socket: ", ErrnoText());
    return;
  }
  addr_ = addr;
  addr_len_ = len;
  // Connected, so that poll says when systemd's queue can take a message
  // again. A socket that is not there yet is connected to at the next
  // message.
  if (!Connect()) Failed(errno, "connect");
}

bool Notifier::Connect() {
  if (!fd_) fd_.Reset(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  connected_ =
      ::connect(fd_.get(), reinterpret_cast<const struct sockaddr*>(&addr_), addr_len_) == 0;
  return connected_;
}

Notifier::Outcome Notifier::SendNow(std::string_view message) {
  if (!connected_ && !Connect()) {
    Failed(errno, message);
    return Outcome::kFailed;
  }
  bool reconnected = false;
  for (;;) {
    ssize_t n = ::send(fd_.get(), message.data(), message.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    // The socket was replaced (systemd re-executed, say): the connection
    // points nowhere; connected again to what the name holds now, once.
    if (n < 0 && !reconnected &&
        (errno == ECONNREFUSED || errno == ENOTCONN || errno == EPIPE || errno == ENOENT)) {
      reconnected = true;
      fd_.Reset(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
      if (Connect()) continue;
      connected_ = false;
      Failed(errno, message);
      return Outcome::kFailed;
    }
    if (n >= 0) {
      ++sent_;
      if (last_error_ != 0) {
        log::Info("the service manager's notification socket ", address_, " takes messages again");
        last_error_ = 0;
      }
      return Outcome::kSent;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return Outcome::kFull;
    Failed(errno, message);
    return Outcome::kFailed;
  }
}

void Notifier::Failed(int error, std::string_view message) {
  if (error == last_error_) return;
  last_error_ = error;
  log::Warning("cannot notify the service manager through ", address_, " (",
               message.substr(0, message.find('\n')), "): ", ErrnoText(error),
               "; said once until it changes");
}

void Notifier::State(const std::string& message) {
  if (!active()) return;
  if (!progress_.empty()) {
    progress_.clear();  // the state says more than the progress before it
    ++dropped_;
  }
  if (state_.empty()) state_deadline_ = Clock::now() + kStateRetry;
  state_.push_back(message);
  Flush();
}

void Notifier::Progress(std::string_view status, milliseconds more_time) {
  if (!active()) return;
  if (!progress_.empty()) ++dropped_;  // replaced by a newer one before it went
  progress_ = "STATUS=" + std::string(status);
  if (more_time.count() > 0) {
    // Enough to last until the next progress message, which may come up to
    // one interval later than the step it announces.
    progress_ +=
        "\nEXTEND_TIMEOUT_USEC=" + std::to_string((more_time + kProgressInterval).count() * 1000);
  }
  Flush();
}

void Notifier::GiveUp() {
  Flush();
  for (const std::string& message : state_) {
    log::Error("could not tell the service manager ",
               log::Quoted(message.substr(0, message.find('\n'))),
               ": its queue was still full when the service ended");
  }
  state_.clear();
}

int Notifier::DueInMs() const {
  const Clock::time_point now = Clock::now();
  Clock::time_point due = Clock::time_point::max();
  if (!state_.empty()) due = state_deadline_;
  if (!progress_.empty()) due = std::min(due, last_progress_ + kProgressInterval);
  if (due == Clock::time_point::max()) return -1;
  if (due <= now) return 0;
  return static_cast<int>(std::chrono::ceil<milliseconds>(due - now).count());
}

void Notifier::Flush() {
  const Clock::time_point now = Clock::now();
  while (!state_.empty()) {
    const Outcome outcome = SendNow(state_.front());
    if (outcome == Outcome::kFull && now < state_deadline_) return;  // retried when it can take it
    // A failure to send was said once already (Failed); a queue that stayed
    // full is said for each message it cost.
    if (outcome == Outcome::kFull) {
      log::Error("could not tell the service manager ",
                 log::Quoted(state_.front().substr(0, state_.front().find('\n'))),
                 ": its queue stayed full");
    }
    state_.pop_front();
    state_deadline_ = now + kStateRetry;
  }
  if (progress_.empty() || now < last_progress_ + kProgressInterval) return;
  if (SendNow(progress_) != Outcome::kSent) ++dropped_;
  progress_.clear();
  last_progress_ = now;
}

}  // namespace ostrim::platform::posix
