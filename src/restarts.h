// When a crashed engine is started again ([opciones] reinicia): the policy,
// apart from any clock, launch or log, so that it is tested on its own.
//
// An engine crashes when one the service watches ends on its own with a
// non-zero status or a signal while the service runs (the record decides
// that). For each database and pass:
//
// - at most `limit` restarts in any 10 minutes (kWindow): the crash past
//   them is given up on, and that database is not started again until the
//   next start or continue;
// - the first restart comes 1 s after its crash, each following one after
//   twice the wait before it, at most 60 s;
// - an engine that had run 10 minutes when it crashed begins the count and
//   the wait again, as if it had never crashed.
#pragma once

#include <chrono>
#include <deque>
#include <string>
#include <unordered_map>

namespace ostrim {

class RestartPolicy {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::minutes kWindow{10};
  static constexpr std::chrono::seconds kFirstWait{1};
  static constexpr std::chrono::seconds kLongestWait{60};

  struct Decision {
    bool again = false;  // started again; else given up on
    int number = 0;      // which restart within the window (1...); given up: the crashes
    std::chrono::milliseconds wait{0};  // before it
  };

  // The engine of `key` ("ventas\0004GL") crashed at `now`, having run
  // `ran`; `limit` restarts are allowed in any 10 minutes (0: none).
  Decision Crashed(const std::string& key, Clock::time_point now, std::chrono::milliseconds ran,
                   int limit);
  // A start or continue: every count begins again.
  void Forget() { crashes_.clear(); }

 private:
  // Each key's crashes within the window, oldest first.
  std::unordered_map<std::string, std::deque<Clock::time_point>> crashes_;
};

}  // namespace ostrim
