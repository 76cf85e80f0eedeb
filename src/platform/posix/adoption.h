// What the POSIX host needs to survive its own death: the identity of a
// process beyond its pid, the state file beside the site's guard, and a
// handle on a process that is no child of ours. Linux: /proc/PID/stat, the
// boot id, pidfd_open.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>

#include "platform/posix/posix.h"

namespace ostrim::platform::posix {

// ProcessIdentity read from a /proc mounted at `proc` (a test gives a fake
// one): "STARTTIME@BOOTID", the process's start time in clock ticks since
// the boot (field 22 of PROC/PID/stat) and the boot's id
// (PROC/sys/kernel/random/boot_id). Empty when there is no such process, it
// has ended (a zombie, state Z or X), or either cannot be read.
std::string IdentityIn(const std::string& proc, std::int64_t pid);

// The state file of the serving instance (state_file.h says what it holds),
// at `path` in the runtime directory only the service's user can write.
class StateFile {
 public:
  explicit StateFile(std::string path) : path_(std::move(path)) {}
  const std::string& path() const { return path_; }

  // Its text, when it is there and may be believed: a regular file (never
  // a link), of this process's user, mode 0600. Nothing when there is no
  // file; throws Error, saying why, when there is one that may not be.
  std::optional<std::string> Read() const;
  // Writes `text` whole (mode 0600), or removes the file when `text` is
  // empty. Throws Error.
  void Keep(const std::string& text);

 private:
  std::string path_;
};

// A descriptor that becomes readable when process `pid` ends, whosever
// child it is (pidfd_open); an invalid Fd when there is no such process.
Fd OpenProcess(std::int64_t pid);

}  // namespace ostrim::platform::posix
