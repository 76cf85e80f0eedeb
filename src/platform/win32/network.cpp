// Whether a database's port accepts a connection, on Windows (Winsock).
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <memory>
#include <optional>

#include "platform/platform.h"
#include "platform/win32/win32.h"

namespace ostrim::platform {
namespace {

// Winsock is started once, at the first check, and left started: the
// service checks until it ends.
bool WinsockStarted() {
  static const bool started = [] {
    WSADATA data;
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

struct Socket {
  SOCKET s = INVALID_SOCKET;
  ~Socket() {
    if (s != INVALID_SOCKET) ::closesocket(s);
  }
};

std::string Lower(std::string text) {
  if (!text.empty() && text[0] >= 'A' && text[0] <= 'Z') text[0] = static_cast<char>(text[0] + 32);
  while (!text.empty() && (text.back() == '.' || text.back() == ' ')) text.pop_back();
  return text;
}

}  // namespace

struct ConnectAttempt::State {
  std::unique_ptr<addrinfo, void(WSAAPI*)(addrinfo*)> found{nullptr, ::freeaddrinfo};
  const addrinfo* next = nullptr;  // the address to try after the current one
  Socket sock;                     // the current address's socket, connecting
  std::chrono::steady_clock::time_point deadline;
  std::string why = "no address";  // why the last address failed
  std::optional<std::string> outcome;

  void Close() {
    if (sock.s != INVALID_SOCKET) ::closesocket(sock.s);
    sock.s = INVALID_SOCKET;
  }

  // Begins a connection to each next address until one is in progress,
  // accepted at once, or none is left.
  void Next() {
    for (; next != nullptr && !outcome; next = next->ai_next) {
      // Not inherited by any engine launched meanwhile; non-blocking, so
      // that the wait is bounded by the limit.
      sock.s = ::WSASocketW(next->ai_family, next->ai_socktype, next->ai_protocol, nullptr, 0,
                            WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
      if (sock.s == INVALID_SOCKET) {
        why = Lower(win32::ErrorText(static_cast<DWORD>(::WSAGetLastError())));
        continue;
      }
      u_long non_blocking = 1;
      ::ioctlsocket(sock.s, FIONBIO, &non_blocking);
      if (::connect(sock.s, next->ai_addr, static_cast<int>(next->ai_addrlen)) == 0) {
        outcome = "";
        break;
      }
      const int error = ::WSAGetLastError();
      if (error == WSAEWOULDBLOCK) {
        next = next->ai_next;
        return;
      }
      why = Lower(win32::ErrorText(static_cast<DWORD>(error)));
      Close();
    }
    if (!outcome && sock.s == INVALID_SOCKET) outcome = why;
  }
};

ConnectAttempt::ConnectAttempt(const std::string& host, std::uint16_t port,
                               std::chrono::milliseconds limit)
    : state_(std::make_unique<State>()) {
  if (!WinsockStarted()) {
    state_->outcome = "Winsock could not be started: " + win32::ErrorText();
    return;
  }
  state_->deadline = std::chrono::steady_clock::now() + limit;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const int rc = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
  if (rc != 0) {
    state_->outcome = "no such host: " + Lower(win32::ErrorText(static_cast<DWORD>(rc)));
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
    const auto left =
        std::min(wait, std::chrono::duration_cast<std::chrono::milliseconds>(s.deadline - now));
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(s.sock.s, &writable);
    FD_SET(s.sock.s, &failed);
    timeval pause{static_cast<long>(left.count() / 1000),
                  static_cast<long>(left.count() % 1000 * 1000)};
    const int n = ::select(0, nullptr, &writable, &failed, &pause);
    if (n == 0) {
      // Its limit is said at the top; else it goes on.
      if (std::chrono::steady_clock::now() >= s.deadline) continue;
      return std::nullopt;
    }
    int error = 0;
    if (n == SOCKET_ERROR) {
      error = ::WSAGetLastError();
    } else if (FD_ISSET(s.sock.s, &writable)) {
      s.outcome = "";
      break;
    } else {
      int size = sizeof error;
      if (::getsockopt(s.sock.s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size) !=
          0) {
        error = ::WSAGetLastError();
      }
    }
    s.why = Lower(win32::ErrorText(static_cast<DWORD>(error)));
    s.Close();
    s.Next();
  }
  s.Close();  // over: closed at once
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
