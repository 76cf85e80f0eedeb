// Paths, the environment and the console on POSIX systems.
//
// Linux: /proc/self/exe (the program's own path) and /proc/self/fd/2 (a
// description of standard error of our own); JOURNAL_STREAM is systemd's.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <optional>
#include <string>

#include "platform/platform.h"
#include "platform/posix/journal.h"
#include "platform/posix/posix.h"
#include "platform/posix/trust.h"

namespace ostrim::platform {
namespace {

void WriteAll(int fd, std::string_view text) {
  while (!text.empty()) {
    ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // nowhere left to report it
    }
    text.remove_prefix(static_cast<std::size_t>(n));
  }
}

// True when our stderr is the stream systemd's journal gave us: JOURNAL_STREAM
// holds its "device:inode", and it is inherited by anything we start, so it
// must be checked against the descriptor itself.
bool StderrIsJournal() {
  const char* stream = std::getenv("JOURNAL_STREAM");
  if (stream == nullptr) return false;
  struct stat st {};
  if (::fstat(STDERR_FILENO, &st) != 0) return false;
  unsigned long long dev = 0, ino = 0;
  if (std::sscanf(stream, "%llu:%llu", &dev, &ino) != 2) return false;
  return dev == static_cast<unsigned long long>(st.st_dev) &&
         ino == static_cast<unsigned long long>(st.st_ino);
}

// A log line as it goes out: its priority, or the time, in front.
std::string FormatLogLine(int priority, std::string_view line);

// The service's log on its standard error, written without ever blocking the
// service. The descriptor itself is shared with every child (and with
// whoever started us), so it is never made non-blocking: a pipe or a
// terminal is opened anew through /proc (a description of our own, which
// can be), a socket (the journal's stream) is sent to with MSG_DONTWAIT,
// and a regular file never blocks anyway.
class LogStream {
 public:
  static LogStream& Get() {
    static LogStream stream;
    return stream;
  }

  // Writes `line` (whole), or keeps it for later.
  void Write(std::string_view line) {
    Flush();
    if (!lines_.empty() || dropped_ > 0) {
      Keep(std::string(line));
      return;
    }
    const std::size_t n = WriteSome(line);
    if (n < line.size()) {  // the rest of a line is always written next
      Keep(std::string(line));
      partial_ = n;
    }
  }

  // Writes what waits, one line at a time (or what is left of one), as far
  // as the reader takes it: a pipe takes a write of up to PIPE_BUF bytes
  // whole or not at all, so no line is cut by another writer's. The count
  // of lines dropped goes where they were.
  void Flush() {
    for (;;) {
      if (partial_ == 0 && dropped_ > 0) {
        std::string notice =
            FormatLogLine(4, std::to_string(dropped_) +
                                 " log lines dropped: the log's reader did not take them in time");
        dropped_ = 0;
        bytes_ += notice.size();
        lines_.push_front(std::move(notice));
      }
      if (lines_.empty()) return;
      const std::string& line = lines_.front();
      const std::size_t n = WriteSome(std::string_view(line).substr(partial_));
      if (n == 0) return;
      partial_ += n;
      if (partial_ < line.size()) return;
      bytes_ -= line.size();
      lines_.pop_front();
      partial_ = 0;
    }
  }

  // At exit: what waits is written for at most `limit`; what is left then
  // is dropped, and the count of every line dropped is written if it can be.
  void Finish(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      Flush();
      if (lines_.empty() && dropped_ == 0) return;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      struct pollfd p = {fd_, POLLOUT, 0};
      ::poll(&p, 1, static_cast<int>(left.count()));
    }
    dropped_ += lines_.size();
    lines_.clear();
    WriteSome(FormatLogLine(4, std::to_string(dropped_) +
                                   " log lines dropped: the log's reader did not take them "
                                   "before the service ended"));
  }

  int BacklogFd() const { return lines_.empty() && dropped_ == 0 ? -1 : fd_; }

 private:
  // How much log text may wait for a stalled reader; past it the oldest
  // lines waiting are dropped (and counted), so that the newest, how the
  // service is doing now, are what the reader gets when it is back.
  static constexpr std::size_t kLargestBacklog = 64 * 1024;

  LogStream() {
    struct stat st {};
    if (::fstat(STDERR_FILENO, &st) != 0) return;
    if (S_ISSOCK(st.st_mode)) {
      socket_ = true;
    } else if (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode)) {
      own_.Reset(::open("/proc/self/fd/2", O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
      if (own_) fd_ = own_.get();
    }
  }

  void Keep(std::string line) {
    bytes_ += line.size();
    lines_.push_back(std::move(line));
    // The oldest whole lines go first; a line begun is always finished.
    const std::size_t first = partial_ > 0 ? 1 : 0;
    while (bytes_ > kLargestBacklog && lines_.size() > first + 1) {
      bytes_ -= lines_[first].size();
      lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(first));
      ++dropped_;
    }
  }

  // Writes a prefix of `text` without blocking; returns its length. Text
  // that can never be written (the reader is gone) counts as written.
  std::size_t WriteSome(std::string_view text) {
    for (;;) {
      ssize_t n = socket_ ? ::send(fd_, text.data(), text.size(), MSG_DONTWAIT | MSG_NOSIGNAL)
                          : ::write(fd_, text.data(), text.size());
      if (n >= 0) return static_cast<std::size_t>(n);
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
      return text.size();  // nowhere left to report it
    }
  }

  int fd_ = STDERR_FILENO;
  posix::Fd own_;
  bool socket_ = false;
  std::deque<std::string> lines_;  // waiting, oldest first
  std::size_t partial_ = 0;        // how much of the first was written already
  std::size_t bytes_ = 0;          // in lines_
  std::size_t dropped_ = 0;        // lines dropped since the last notice
};

}  // namespace

void SecureStandardStreams() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free descriptor is this one: /dev/null takes its place.
    int opened = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    if (opened != fd && opened >= 0) ::close(opened);
  }
}

std::optional<std::string> posix::ReadSmallFile(const std::string& path, std::size_t most) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (!fd) return std::nullopt;
  std::string text;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) return text;
    text.append(buffer, static_cast<std::size_t>(n));
    if (text.size() > most) return std::nullopt;
  }
}

bool posix::LogIsJournal() {
  static const bool journal = StderrIsJournal();
  return journal;
}

int posix::LogBacklogFd() {
  return LogStream::Get().BacklogFd();
}

void posix::FlushLog() {
  LogStream::Get().Flush();
}

void FinishLog(std::chrono::milliseconds limit) {
  LogStream::Get().Finish(limit);
}

std::string posix::ExecutablePath() {
  std::string path(256, '\0');
  for (;;) {
    ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size());
    if (n < 0) throw Error("cannot find the program file: /proc/self/exe: " + posix::ErrnoText());
    if (static_cast<std::size_t>(n) < path.size()) {
      path.resize(static_cast<std::size_t>(n));
      return path;
    }
    path.resize(path.size() * 2);
  }
}

std::string ProgramDirectory() {
  std::string path = posix::ExecutablePath();
  std::size_t slash = path.rfind('/');
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::string PathInDirectory(const std::string& directory, std::string_view windows_relative) {
  std::string path = directory == "/" ? std::string() : directory;
  for (char c : windows_relative) path.push_back(c == '\\' ? '/' : c);
  return path;
}

std::string WhyUntrusted(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return {};  // missing: no concern (the place is checked)
  // A directory (the program's, bases\): nobody but root may create or
  // replace a profile in it, sticky or not. A file: it and the way to it.
  if (S_ISDIR(st.st_mode)) {
    return posix::WhyUntrustedPlace(path,
                                    "create or replace a profile in it, which says what "
                                    "runs as root");
  }
  return posix::WhyUntrustedFile(path, "says what runs as root");
}

std::string WhyUntrustedEnvironment(const std::string& name, const std::string& value) {
  if (::geteuid() != 0 || name.rfind("LD_", 0) != 0) return {};
  // The loader reads lists of paths, separated by colons (LD_PRELOAD also by
  // blanks): a file is judged as a program is; a directory, or a path not
  // there yet, as a place where a library could be put.
  std::string_view rest = value;
  while (!rest.empty()) {
    const std::size_t end = rest.find_first_of(name == "LD_PRELOAD" ? ": " : ":");
    const std::string path(rest.substr(0, end));
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    if (path.empty()) continue;
    struct stat st {};
    std::string why;
    if (::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) {
      why = posix::WhyUntrustedFile(path, "is loaded into every command run as root");
    } else {
      why = posix::WhyUntrustedPlace(path,
                                     "put a library there that is loaded into every "
                                     "command run as root");
    }
    if (!why.empty()) return name + " names " + path + ": " + why;
  }
  return {};
}

void SetEnvironmentVariable(const std::string& name, const std::string& value) {
  if (name.empty() || name.find('=') != std::string::npos || name.find('\0') != std::string::npos) {
    throw Error("invalid environment variable name \"" + name + "\"");
  }
  if (::setenv(name.c_str(), value.c_str(), 1) != 0) {
    throw Error("cannot set environment variable \"" + name + "\": " + posix::ErrnoText());
  }
}

std::optional<std::string> GetEnvironmentVariable(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

void UnsetEnvironmentVariable(const std::string& name) {
  ::unsetenv(name.c_str());
}

namespace {

std::string FormatLogLine(int priority, std::string_view line) {
  const bool journal = posix::LogIsJournal();
  std::string out;
  out.reserve(line.size() + 40);
  if (journal) {
    out.push_back('<');
    out.push_back(static_cast<char>('0' + priority));
    out.push_back('>');
  } else {
    static const std::string prefix = " ostrim[" + std::to_string(::getpid()) + "]: ";
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    // The local time of day, worked out once per second.
    static time_t last_second = -1;
    static char hh_mm_ss[16];
    if (now.tv_sec != last_second) {
      struct tm local {};
      ::localtime_r(&now.tv_sec, &local);
      std::snprintf(hh_mm_ss, sizeof hh_mm_ss, "%02d:%02d:%02d", local.tm_hour % 100,
                    local.tm_min % 100, local.tm_sec % 100);
      last_second = now.tv_sec;
    }
    out.append(hh_mm_ss);
    out.push_back('.');
    const long ms = now.tv_nsec / 1000000L;
    out.push_back(static_cast<char>('0' + ms / 100));
    out.push_back(static_cast<char>('0' + ms / 10 % 10));
    out.push_back(static_cast<char>('0' + ms % 10));
    out.append(prefix);
    static const char* const kLevel[] = {"", "", "", "error: ", "warning: ", "", "", "debug: "};
    if (priority >= 0 && priority <= 7) out.append(kLevel[priority]);
  }
  out.append(line);
  out.push_back('\n');
  return out;
}

}  // namespace

void WriteLogLine(int priority, std::string_view line, int) {
  LogStream::Get().Write(FormatLogLine(priority, line));
}

void WriteFileWhole(const std::string& path, std::string_view text) {
  // Readable by the collector whatever the umask.
  posix::WriteWhole(path, text, 0644);
}

void posix::WriteWhole(const std::string& path, std::string_view text, mode_t mode) {
  // The new file beside it, in the same directory (a rename within one file
  // system is atomic), named after this process so that two writers never
  // share one; never through a link planted there.
  const std::string fresh = path + ".new-" + std::to_string(::getpid());
  ::unlink(fresh.c_str());
  posix::Fd fd(::open(fresh.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!fd) throw Error("cannot create " + fresh + ": " + posix::ErrnoText());
  // Its mode whatever the umask.
  bool written = ::fchmod(fd.get(), mode) == 0;
  for (std::string_view left = text; written && !left.empty();) {
    const ssize_t n = ::write(fd.get(), left.data(), left.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      written = false;
      break;
    }
    left.remove_prefix(static_cast<std::size_t>(n));
  }
  const int error = errno;
  if (!written || ::close(fd.Release()) != 0 || ::rename(fresh.c_str(), path.c_str()) != 0) {
    const std::string why = posix::ErrnoText(written ? errno : error);
    ::unlink(fresh.c_str());
    throw Error("cannot write " + path + ": " + why);
  }
}

void WriteStdout(std::string_view text) {
  WriteAll(STDOUT_FILENO, text);
}
void WriteStderr(std::string_view text) {
  WriteAll(STDERR_FILENO, text);
}

}  // namespace ostrim::platform
