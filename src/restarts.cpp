#include "restarts.h"

#include <algorithm>

namespace ostrim {

RestartPolicy::Decision RestartPolicy::Crashed(const std::string& key, Clock::time_point now,
                                               std::chrono::milliseconds ran, int limit) {
  std::deque<Clock::time_point>& seen = crashes_[key];
  // An engine that ran its full window proved itself: its count begins again.
  if (ran >= kWindow) seen.clear();
  while (!seen.empty() && now - seen.front() >= kWindow) seen.pop_front();
  seen.push_back(now);
  Decision decision;
  decision.number = static_cast<int>(seen.size());
  if (decision.number > limit) return decision;  // given up on
  decision.again = true;
  std::chrono::milliseconds wait = kFirstWait;
  for (int n = 1; n < decision.number && wait < kLongestWait; ++n) wait *= 2;
  decision.wait = std::min<std::chrono::milliseconds>(wait, kLongestWait);
  return decision;
}

}  // namespace ostrim
