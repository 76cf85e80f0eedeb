#include "platform/posix/journal.h"

#include <fcntl.h>
#include <stddef.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstdint>
#include <cstdio>

#include "log.h"

namespace ostrim::platform::posix {
namespace {

constexpr const char* kStreamSocket = "/run/systemd/journal/stdout";

}  // namespace

std::string JournalIdentifier(const std::string& database) {
  std::string identifier = "ostrim/" + database;
  for (char& c : identifier) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '_';
  }
  if (identifier.size() <= kLongestIdentifier) return identifier;
  // Cut where a character begins (never inside a UTF-8 sequence), and made
  // its own again by a hash of the whole name (FNV-1a, 32 bits).
  std::size_t cut = kLongestIdentifier - 9;
  while (cut > 0 && (static_cast<unsigned char>(identifier[cut]) & 0xC0) == 0x80) --cut;
  std::uint32_t hash = 2166136261u;
  for (unsigned char c : database) hash = (hash ^ c) * 16777619u;
  char suffix[10];
  std::snprintf(suffix, sizeof suffix, "~%08x", static_cast<unsigned>(hash));
  identifier.resize(cut);
  return identifier + suffix;
}

Fd JournalStream(const std::string& database) {
  static bool said = false;
  auto failed = [](const std::string& why) {
    if (!said) {
      log::Warning("cannot give the engines journal streams of their own (", kStreamSocket, ": ",
                   why, "); their output goes where the service's own does; said once");
      said = true;
    }
    return Fd();
  };
  // Not blocking while it connects and says who it is: journald never keeps
  // the service waiting.
  Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd) return failed(ErrnoText());
  struct sockaddr_un addr {};
  addr.sun_family = AF_UNIX;
  std::string(kStreamSocket).copy(addr.sun_path, sizeof addr.sun_path - 1);
  if (::connect(fd.get(), reinterpret_cast<const struct sockaddr*>(&addr), sizeof addr) != 0) {
    return failed(ErrnoText());
  }
  // The stream's header: its identifier, no unit of its own, priority info,
  // "<N>" prefixes honoured as systemd honours them for services, and the
  // journal only (no syslog, kernel log or console).
  const std::string header = JournalIdentifier(database) + "\n\n6\n1\n0\n0\n0\n";
  if (::send(fd.get(), header.data(), header.size(), MSG_NOSIGNAL | MSG_DONTWAIT) !=
      static_cast<ssize_t>(header.size())) {
    return failed(ErrnoText());
  }
  // The child writes as to any stream: waiting when the journal is busy.
  const int flags = ::fcntl(fd.get(), F_GETFL);
  if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) return failed(ErrnoText());
  said = false;
  return fd;
}

}  // namespace ostrim::platform::posix
