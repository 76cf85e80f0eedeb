// When a crashed engine is started again: the waits, the window of 10
// minutes, the reset after an engine ran its window, and giving up.
#include "restarts.h"

#include <gtest/gtest.h>

#include <vector>

namespace ostrim {
namespace {

using namespace std::chrono_literals;
using std::chrono::milliseconds;
using Clock = RestartPolicy::Clock;

TEST(RestartPolicy, WaitsLongerEachTimeUpToItsLimitThenGivesUp) {
  struct Crash {
    milliseconds at;   // since the first
    milliseconds ran;  // how long the engine had run
    bool again;
    int number;
    milliseconds wait;
  };
  struct Case {
    const char* what;
    int limit;
    std::vector<Crash> crashes;
  };
  const Case cases[] = {
      {"none allowed: the first crash is given up on", 0, {{0ms, 5s, false, 1, 0ms}}},
      {"1 s, then twice the wait before, then given up",
       3,
       {{0ms, 5s, true, 1, 1s},
        {4s, 3s, true, 2, 2s},
        {9s, 3s, true, 3, 4s},
        {16s, 3s, false, 4, 0ms}}},
      {"never longer than 60 s",
       100,
       {{0s, 1s, true, 1, 1s},
        {2s, 1s, true, 2, 2s},
        {5s, 1s, true, 3, 4s},
        {10s, 1s, true, 4, 8s},
        {19s, 1s, true, 5, 16s},
        {36s, 1s, true, 6, 32s},
        {69s, 1s, true, 7, 60s},
        {130s, 1s, true, 8, 60s}}},
      {"a crash older than 10 minutes no longer counts",
       2,
       {{0s, 1s, true, 1, 1s},
        {5s, 1s, true, 2, 2s},
        {601s, 1s, true, 2, 2s},
        {602s, 1s, false, 3, 0ms}}},
      {"an engine that ran 10 minutes begins the count and the wait again",
       2,
       {{0s, 1s, true, 1, 1s}, {5s, 1s, true, 2, 2s}, {610s, 600s, true, 1, 1s}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RestartPolicy policy;
    const Clock::time_point begun{};
    for (const Crash& crash : c.crashes) {
      const RestartPolicy::Decision d =
          policy.Crashed("ventas", begun + crash.at, crash.ran, c.limit);
      EXPECT_EQ(d.again, crash.again) << crash.at.count();
      EXPECT_EQ(d.number, crash.number) << crash.at.count();
      if (d.again) {
        EXPECT_EQ(d.wait, crash.wait) << crash.at.count();
      }
    }
  }
}

// Each database and pass counts on its own; a start or continue forgets.
TEST(RestartPolicy, CountsEachEngineApartUntilTheNextStart) {
  RestartPolicy policy;
  const Clock::time_point t{};
  EXPECT_TRUE(policy.Crashed("ventas SQL", t, 1s, 1).again);
  EXPECT_TRUE(policy.Crashed("compras SQL", t, 1s, 1).again);
  EXPECT_FALSE(policy.Crashed("ventas SQL", t + 3s, 1s, 1).again);
  policy.Forget();
  const RestartPolicy::Decision d = policy.Crashed("ventas SQL", t + 4s, 1s, 1);
  EXPECT_TRUE(d.again);
  EXPECT_EQ(d.number, 1);
  EXPECT_EQ(d.wait, 1s);
}

}  // namespace
}  // namespace ostrim
