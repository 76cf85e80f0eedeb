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

// The unit the service runs in, read once: it never changes.
const std::string& OwnUnit() {
  static const std::string unit =
      UnitOfCgroup(ReadSmallFile("/proc/self/cgroup", 1 << 16).value_or(""));
  return unit;
}

bool IsUnitName(std::string_view name) {
  // What a unit's name may hold: no blank, no line end, nothing journald
  // would refuse.
  if (name.empty() || name.size() > 255 || name.front() == '.') return false;
  for (char c : name) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!plain && std::string_view(":-_.\\@").find(c) == std::string_view::npos) return false;
  }
  const std::size_t dot = name.rfind('.');
  const std::string_view type = dot == std::string_view::npos ? "" : name.substr(dot);
  return type == ".service" || type == ".scope";
}

// The unit of one cgroup path: its first step below the slices, as systemd
// names its cgroups ("/system.slice/ostrim.service/..."); a name systemd
// had to escape begins with "_".
std::string UnitOfPath(std::string_view path) {
  while (!path.empty()) {
    const std::size_t from = path.find_first_not_of('/');
    if (from == std::string_view::npos) break;
    path.remove_prefix(from);
    const std::size_t end = path.find('/');
    std::string_view step = path.substr(0, end);
    path = end == std::string_view::npos ? std::string_view() : path.substr(end);
    if (step.size() > 6 && step.substr(step.size() - 6) == ".slice") continue;
    if (!step.empty() && step.front() == '_') step.remove_prefix(1);
    return IsUnitName(step) ? std::string(step) : std::string();
  }
  return {};
}

}  // namespace

std::string UnitOfCgroup(std::string_view cgroup) {
  // The unified hierarchy's line ("0::PATH") and systemd's own old one
  // ("N:name=systemd:PATH"): a systemd tracks its units in one of them, and
  // the other, when there, says the root or the same path.
  std::string unified, named;
  while (!cgroup.empty()) {
    const std::size_t end = cgroup.find('\n');
    const std::string_view line = cgroup.substr(0, end);
    cgroup = end == std::string_view::npos ? std::string_view() : cgroup.substr(end + 1);
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    const std::string_view rest = line.substr(colon + 1);
    if (rest.rfind("name=systemd:", 0) == 0) {
      named = UnitOfPath(rest.substr(13));
    } else if (rest.rfind(":", 0) == 0 && line.substr(0, colon) == "0") {
      unified = UnitOfPath(rest.substr(1));
    }
  }
  return unified.empty() ? named : unified;
}

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
  // The stream's header: its identifier; the service's own unit, which
  // journald takes for a line whose writer has ended before it was read (it
  // learns the unit from the writer's process, gone by then; it believes
  // the header only from root); priority info, "<N>" prefixes honoured as
  // systemd honours them for services, and the journal only (no syslog,
  // kernel log or console).
  const std::string header = JournalIdentifier(database) + "\n" + OwnUnit() + "\n6\n1\n0\n0\n0\n";
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
