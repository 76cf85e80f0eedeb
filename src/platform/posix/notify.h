// The client of systemd's notification protocol (sd_notify): one datagram
// per message to the socket that NOTIFY_SOCKET names.
//
// Linux: an abstract socket name ("@...") is one systemd may give.
//
// It never blocks the service. The socket is connected and every send is
// non-blocking; a reader that stalls (a full queue) costs messages, never
// time:
// - State messages (READY=1, STOPPING=1, the status of a finished request)
//   are sent at once; one that cannot be sent is retried whenever the socket
//   can take it, for up to kStateRetry, and then given up and logged.
// - Progress (STATUS= with EXTEND_TIMEOUT_USEC=, many per request) is
//   coalesced: at most one message per kProgressInterval, the newest one;
//   one that cannot be sent is dropped (the next one carries the news). The
//   time each asks for is stretched by kProgressInterval, so that it covers
//   the wait until the next one.
// - A failure to send is logged once, and again only when it changes.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <chrono>
#include <cstddef>
#include <deque>
#include <string>
#include <string_view>

#include "platform/posix/posix.h"

namespace ostrim::platform::posix {

class Notifier {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::milliseconds kProgressInterval{100};
  static constexpr std::chrono::milliseconds kStateRetry{60000};

  // Takes NOTIFY_SOCKET from the environment and removes it, so that the
  // children the service launches never talk to its service manager in its
  // name. Without it, nothing is ever sent.
  void Open();

  bool active() const { return addr_len_ > 0; }

  // A change of state: `message` goes out at once (after any state message
  // still waiting), and replaces the progress not yet sent.
  void State(const std::string& message);

  // What the service is doing, and how much more time it needs.
  void Progress(std::string_view status, std::chrono::milliseconds more_time);

  // For the event loop: the descriptor to wait on for writing while a state
  // message waits (else -1), and how long until something is due (negative:
  // nothing is). Flush sends what is due.
  int PendingFd() const { return state_.empty() ? -1 : fd_.get(); }
  int DueInMs() const;
  void Flush();
  // The service ends: what could not be sent yet is given up, and logged.
  void GiveUp();

  // How many messages were sent and dropped, for the benchmarks and tests.
  std::size_t sent() const { return sent_; }
  std::size_t dropped() const { return dropped_; }

 private:
  enum class Outcome { kSent, kFull, kFailed };
  Outcome SendNow(std::string_view message);
  bool Connect();
  void Failed(int error, std::string_view message);

  Fd fd_;
  bool connected_ = false;  // else each message first tries to connect to addr_
  struct sockaddr_un addr_ {};
  socklen_t addr_len_ = 0;
  std::string address_;                 // for the log
  std::deque<std::string> state_;       // state messages not sent yet, in order
  Clock::time_point state_deadline_{};  // when the first of them is given up
  std::string progress_;                // the newest progress not sent yet
  Clock::time_point last_progress_{};
  int last_error_ = 0;  // the last failure logged; 0 when sending works
  std::size_t sent_ = 0;
  std::size_t dropped_ = 0;
};

}  // namespace ostrim::platform::posix
