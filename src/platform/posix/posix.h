// What the files of the POSIX layer share: owned file descriptors and the few
// helpers around them.
//
// This folder is the Linux host, with systemd. Most of it is POSIX; each file
// names at its top what it uses that only Linux has (abstract sockets,
// SO_PEERCRED, /proc, waitid(P_ALL), glibc's addclosefrom_np). The profile
// reader (profile*.cpp) is plain POSIX.
//
// Every descriptor the service opens is opened close-on-exec and owned by an
// Fd, so none can leak into a child or outlive its use.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "platform/owned.h"

namespace ostrim::platform::posix {

struct FdTraits {
  using Value = int;
  static int None() { return -1; }
  static bool Valid(int fd) { return fd >= 0; }
  static void Close(int fd) { ::close(fd); }
};
// An owned file descriptor.
using Fd = Owned<FdTraits>;

// strerror for the current errno or a given one, as text for the log.
inline std::string ErrnoText(int error = errno) {
  return std::strerror(error);
}

// The path of the running program file (links resolved).
std::string ExecutablePath();

// The log's backlog: log lines that the log's reader (the journal, a pipe, a
// terminal) could not take yet. LogBacklogFd is the descriptor to wait on
// for writing while there is one, else -1; FlushLog writes what it can of
// it without blocking. The event loop does both.
int LogBacklogFd();
void FlushLog();

// A small file's whole text, read with a descriptor no child inherits (a
// /proc file reads short of its size); none when it cannot be read or holds
// more than `most` bytes.
std::optional<std::string> ReadSmallFile(const std::string& path, std::size_t most);

// platform::WriteFileWhole with the new file's `mode` (0600: private to the
// service's user).
void WriteWhole(const std::string& path, std::string_view text, mode_t mode);

}  // namespace ostrim::platform::posix
