// The demo engines' pid files, shared by demo-engine and demo-stop.
//
// They live in $DBDIR, a directory of the site's own: a relative DBDIR is
// beside the program (the example site sets DBDIR=run), and without DBDIR
// it is "run" there too. The directory is made 0700 and must be a real
// directory of this user's that nobody else can enter; a pid file is
// opened without following links, so that no other user can plant one or
// turn one into a link to a file of ours. It holds the engine's pid and its
// start time (as /proc/PID/stat counts it), and a pid is believed only
// while that process has that start time and runs demo-engine: never
// another process that has come to have the same pid.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

namespace demo {

inline std::string ProgramDirectory() {
  char path[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return ".";
  std::string text(path, static_cast<std::size_t>(n));
  return text.substr(0, text.rfind('/'));
}

// The run directory, made when missing; empty (and `why` says why) when it
// cannot be trusted.
inline std::string RunDirectory(std::string& why) {
  const char* set = std::getenv("DBDIR");
  std::string dir = set != nullptr && *set != '\0' ? set : "run";
  if (dir.front() != '/') dir = ProgramDirectory() + "/" + dir;
  ::mkdir(dir.c_str(), 0700);
  struct stat st {};
  if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    why = dir + " is not a directory";
  } else if (st.st_uid != ::geteuid()) {
    why = dir + " belongs to uid " + std::to_string(st.st_uid) + ", not to this user";
  } else if ((st.st_mode & 077) != 0) {
    why = dir + " can be entered by others (fix: chmod 700 " + dir + ")";
  } else {
    return dir;
  }
  return {};
}

// The start time of process `pid` (field 22 of /proc/PID/stat); none when
// it is not there.
inline std::optional<unsigned long long> StartTime(long pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const std::size_t paren = text.rfind(')');
  if (paren == std::string::npos) return std::nullopt;
  std::istringstream fields(text.substr(paren + 2));
  std::string field;
  for (int i = 3; i <= 22 && fields >> field; ++i) {
    if (i == 22) return std::strtoull(field.c_str(), nullptr, 10);
  }
  return std::nullopt;
}

// Whether `pid` is a running demo-engine that began at `start`.
inline bool IsOurEngine(long pid, unsigned long long start) {
  if (pid <= 0 || StartTime(pid) != start) return false;
  char exe[PATH_MAX];
  const ssize_t n = ::readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), exe, sizeof exe);
  const std::string path(exe, n > 0 ? static_cast<std::size_t>(n) : 0);
  return path.size() >= 12 && path.compare(path.size() - 12, 12, "/demo-engine") == 0;
}

// The engine a pid file names, when it is ours and still runs; else 0.
inline long ReadEngine(const std::string& pid_file) {
  const int fd = ::open(pid_file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return 0;
  char text[64] = {};
  const ssize_t n = ::read(fd, text, sizeof text - 1);
  ::close(fd);
  long pid = 0;
  unsigned long long start = 0;
  if (n <= 0 || std::sscanf(text, "%ld %llu", &pid, &start) != 2) return 0;
  return IsOurEngine(pid, start) ? pid : 0;
}

// Writes this process's pid file; false when it cannot.
inline bool WriteEngine(const std::string& pid_file) {
  const int fd =
      ::open(pid_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  const std::string text =
      std::to_string(::getpid()) + " " + std::to_string(StartTime(::getpid()).value_or(0)) + "\n";
  const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ::close(fd);
  return written;
}

}  // namespace demo
