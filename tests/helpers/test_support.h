// What the tests share: temporary directories and sites, files, and running
// the built ostrim program as an operator or systemd would.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "helpers/files.h"

namespace ostrim::tests {

// A site: a temporary directory holding a copy of the ostrim program (it
// reads its profiles beside itself) and the recorder, with Ombrel.ini and
// bases/tmp.ini written by the test.
class Site : public TempDir {
 public:
  Site();
  std::string program() const { return *this / "ostrim"; }
  std::string log() const { return *this / "record.log"; }
  void Ombrel(std::string_view content) const { WriteFile(*this / "Ombrel.ini", content); }
  void Seleccion(std::string_view content) const { WriteFile(*this / "bases/tmp.ini", content); }
  // The recorder's lines, split at TABs.
  std::vector<std::vector<std::string>> Records() const;
  // The argument fields of the "begin" records, in order.
  std::vector<std::string> Launched() const;
  // Kills (SIGKILL) every recorder of this site that began and did not end
  // and still runs as this site's recorder (engines a stop left running,
  // which its next service would adopt), and waits until each has ended.
  // Returns how many.
  int KillRecorders() const;
  // Waits until the recorder has begun `count` times (true), or until `limit`
  // passes without a new beginning (false).
  bool WaitForLaunches(std::size_t count, std::chrono::milliseconds limit) const;
};

using Environment = std::vector<std::pair<std::string, std::string>>;

struct Result {
  int status = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
};

// What a program's standard descriptors 0, 1 and 2 are when it starts:
// kCollect (standard input /dev/null; output and error collected in files),
// kClosed, or a descriptor of the test's that it gets a copy of.
struct Streams {
  static constexpr int kCollect = -2;
  static constexpr int kClosed = -1;
  int in = kCollect;
  int out = kCollect;
  int err = kCollect;
};

// Runs `program` with `args` and extra environment to its end, in the
// test's working directory or in `cwd`.
Result RunProgram(const std::string& program, const std::vector<std::string>& args,
                  const Environment& env = {}, const std::string& cwd = {});

// A program running in the background, its standard output and error
// collected in files.
class Background {
 public:
  Background(const std::string& program, const std::vector<std::string>& args,
             const Environment& env = {}, const Streams& streams = {}, const std::string& cwd = {});
  ~Background();
  pid_t pid() const { return pid_; }
  void Signal(int signo) const;
  // Waits until the collected standard error holds `text` (true) or `limit` passes.
  bool WaitForErr(std::string_view text, std::chrono::milliseconds limit) const;
  // Waits until it holds `text` `count` times or more.
  bool WaitForErrCount(std::string_view text, int count, std::chrono::milliseconds limit) const;
  std::string Err() const;
  // Waits for the end (killing it after `limit`) and returns what it gave.
  Result Finish(std::chrono::milliseconds limit = std::chrono::seconds(30));

 private:
  TempDir files_;
  pid_t pid_ = -1;
};

// A datagram socket standing in for systemd's notification socket: pass
// {"NOTIFY_SOCKET", path()} to the service, then read what it sent.
class NotifySocket {
 public:
  NotifySocket();
  // Bound at `path`, in place of what is there (a socket replaced).
  explicit NotifySocket(const std::string& path);
  ~NotifySocket();
  const std::string& path() const { return path_; }
  // Every message received so far, in order.
  const std::vector<std::string>& Messages();
  // Fills its queue to the brim (as a service manager that stopped reading
  // would have it); returns how many messages that took.
  std::size_t Fill();
  // Waits until a message holding `text` has come (true) or `limit` passes.
  bool WaitFor(std::string_view text, std::chrono::milliseconds limit);

 private:
  TempDir dir_;
  std::string path_;
  int fd_ = -1;
  std::vector<std::string> messages_;
};

}  // namespace ostrim::tests
