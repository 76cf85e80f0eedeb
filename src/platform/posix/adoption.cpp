#include "platform/posix/adoption.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <vector>

#include "platform/platform.h"

namespace ostrim::platform {

std::string ProcessIdentity(std::int64_t pid) {
  return posix::IdentityIn("/proc", pid);
}

namespace posix {

std::string IdentityIn(const std::string& proc, std::int64_t pid) {
  if (pid <= 0) return {};
  const std::optional<std::string> stat =
      ReadSmallFile(proc + "/" + std::to_string(pid) + "/stat", 1 << 16);
  // The boot's id cannot change while this process lives: read once per
  // /proc, not once per engine launched.
  static std::string boot_proc;
  static std::optional<std::string> boot;
  if (!boot || boot_proc != proc) {
    boot = ReadSmallFile(proc + "/sys/kernel/random/boot_id", 256);
    boot_proc = proc;
  }
  if (!stat || !boot) return {};
  // "PID (COMM) S ...": the name may hold blanks and parentheses, so the
  // fields are counted from the last ")".
  const std::size_t close = stat->rfind(')');
  if (close == std::string::npos) return {};
  std::vector<std::string> fields;
  for (std::size_t at = close + 1; at < stat->size();) {
    while (at < stat->size() && std::isspace(static_cast<unsigned char>((*stat)[at]))) ++at;
    const std::size_t end = stat->find_first_of(" \n", at);
    if (at < stat->size()) fields.push_back(stat->substr(at, end - at));
    at = end == std::string::npos ? stat->size() : end;
  }
  // fields[0] is field 3 (the state), so field 22 is fields[19].
  if (fields.size() < 20 || fields[0] == "Z" || fields[0] == "X" || fields[19].empty()) return {};
  for (char c : fields[19]) {
    if (c < '0' || c > '9') return {};
  }
  std::string id = *boot;
  while (!id.empty() && std::isspace(static_cast<unsigned char>(id.back()))) id.pop_back();
  if (id.empty()) return {};
  return fields[19] + "@" + id;
}

std::optional<std::string> StateFile::Read() const {
  Fd fd(::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK));
  if (!fd) {
    if (errno == ENOENT) return std::nullopt;
    if (errno == ELOOP) throw Error(path_ + " is a symbolic link");
    throw Error("cannot open " + path_ + ": " + ErrnoText());
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) throw Error("cannot look at " + path_ + ": " + ErrnoText());
  if (!S_ISREG(st.st_mode)) throw Error(path_ + " is not a regular file");
  if (st.st_uid != ::geteuid()) {
    throw Error(path_ + " is owned by uid " + std::to_string(st.st_uid) + ", not by the service's");
  }
  if ((st.st_mode & 07777) != 0600) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    throw Error(path_ + " has mode " + mode + ", not 0600");
  }
  if (st.st_nlink != 1) throw Error(path_ + " has other names (hard links)");
  constexpr std::size_t kMost = 64 << 20;
  if (static_cast<std::size_t>(st.st_size) > kMost) throw Error(path_ + " is too big");
  std::string text;
  char buffer[1 << 16];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw Error("cannot read " + path_ + ": " + ErrnoText());
    if (n == 0) return text;
    text.append(buffer, static_cast<std::size_t>(n));
    if (text.size() > kMost) throw Error(path_ + " is too big");
  }
}

void StateFile::Keep(const std::string& text) {
  if (!text.empty()) {
    WriteWhole(path_, text, 0600);
  } else if (::unlink(path_.c_str()) != 0 && errno != ENOENT) {
    throw Error("cannot remove " + path_ + ": " + ErrnoText());
  }
}

Fd OpenProcess(std::int64_t pid) {
  // Always close-on-exec.
  return Fd(static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0u)));
}

}  // namespace posix
}  // namespace ostrim::platform
