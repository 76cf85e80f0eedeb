// What a launch is for and what became of it: the words the children's watch
// (platform/children.h), the service record and the form share about a
// child's life. Plain data and one interface; nothing here runs anything.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace ostrim {

// What a launch is for, as the log and the service record name it: the
// database and the pass ("SQL", "4GL", "stop"); both empty for a command
// that is no database's. `argument` is the database's argument text, kept
// so that a database removed from the profiles can still be stopped as it
// was started.
struct LaunchTag {
  std::string database;
  std::string pass;
  std::string argument;
};

// How a child ended.
struct ProcessEnd {
  bool by_signal = false;  // true: `value` is the signal that ended it
  int value = 0;           // exit status, or signal number
  std::chrono::milliseconds ran{0};
  // As the platform words it, for the log and the record: "exit status 0",
  // "killed by signal 15 (Terminated)" (platform::DescribeEnd; the watch
  // fills it in when it sees the end).
  std::string text = {};
  // Its status is not known: an engine adopted from an earlier run of the
  // service, which is no child of this one (on Linux only its parent learns
  // how it ended). Neither a success nor a crash.
  bool unknown = {};
};

// "ventas, 4GL: " for a database's child, "" for another: how its log lines
// name it.
inline std::string TagPrefix(const LaunchTag& tag) {
  if (tag.database.empty() && tag.pass.empty()) return {};
  return tag.database + ", " + tag.pass + ": ";
}

// Told of each child's life by the watch it was launched through. The
// service record is one: it keeps each database's state from these.
class ChildObserver {
 public:
  virtual ~ChildObserver() = default;
  virtual void Launched(const LaunchTag& tag, std::int64_t pid, const std::string& command) = 0;
  virtual void LaunchFailed(const LaunchTag& tag, const std::string& command,
                            const std::string& why) = 0;
  // Its launcher stopped waiting and it still runs: it is watched now.
  virtual void LeftRunning(const LaunchTag& tag, std::int64_t pid) = 0;
  // It ended; `waited`: its launcher was waiting for it. Returns true when
  // nobody expected the end (an engine that ended while the service was
  // running), so that it is logged as a warning or an error.
  virtual bool Ended(const LaunchTag& tag, std::int64_t pid, const ProcessEnd& end,
                     bool waited) = 0;
};

}  // namespace ostrim
