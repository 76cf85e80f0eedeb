// Whether a database's port accepts a connection, on Windows (Winsock).
#include <winsock2.h>
#include <ws2tcpip.h>

#include <memory>

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

std::string TryConnect(const std::string& host, std::uint16_t port,
                       std::chrono::milliseconds limit) {
  if (!WinsockStarted()) return "Winsock could not be started: " + win32::ErrorText();
  const auto deadline = std::chrono::steady_clock::now() + limit;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const int rc = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
  if (rc != 0) return "no such host: " + Lower(win32::ErrorText(static_cast<DWORD>(rc)));
  const std::unique_ptr<addrinfo, void(WSAAPI*)(addrinfo*)> owned(found, ::freeaddrinfo);
  std::string why = "no address";
  for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
    // Not inherited by any engine launched meanwhile; non-blocking, so that
    // the wait is bounded by `limit`.
    Socket sock;
    sock.s = ::WSASocketW(a->ai_family, a->ai_socktype, a->ai_protocol, nullptr, 0,
                          WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (sock.s == INVALID_SOCKET) {
      why = Lower(win32::ErrorText(static_cast<DWORD>(::WSAGetLastError())));
      continue;
    }
    u_long non_blocking = 1;
    ::ioctlsocket(sock.s, FIONBIO, &non_blocking);
    if (::connect(sock.s, a->ai_addr, static_cast<int>(a->ai_addrlen)) == 0) return {};
    int error = ::WSAGetLastError();
    if (error == WSAEWOULDBLOCK) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left <= std::chrono::milliseconds(0)) return "no answer";
      fd_set writable, failed;
      FD_ZERO(&writable);
      FD_ZERO(&failed);
      FD_SET(sock.s, &writable);
      FD_SET(sock.s, &failed);
      timeval wait{static_cast<long>(left.count() / 1000),
                   static_cast<long>(left.count() % 1000 * 1000)};
      const int n = ::select(0, nullptr, &writable, &failed, &wait);
      if (n == 0) return "no answer";
      if (n == SOCKET_ERROR) {
        error = ::WSAGetLastError();
      } else if (FD_ISSET(sock.s, &writable)) {
        return {};
      } else {
        int size = sizeof error;
        if (::getsockopt(sock.s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size) !=
            0) {
          error = ::WSAGetLastError();
        }
      }
    }
    why = Lower(win32::ErrorText(static_cast<DWORD>(error)));
  }
  return why;
}

}  // namespace ostrim::platform
