// The job runner (EjecutaTrabajos) over a fake watch whose clock and children
// the test decides: how many run at once, the order in which they begin,
// each database's own order, the waits, the time limit and its reserve, the
// wait at the end, and the "still waiting" lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "log.h"
#include "modSubProceso.h"
#include "platform/children.h"

namespace ostrim::modSubProceso {
namespace {

using namespace std::chrono_literals;
using platform::ChildWatch;
using platform::Process;
using std::chrono::milliseconds;

// The log's lines while it lives (and never past it, whatever is thrown).
struct Captured {
  Captured() { log::SetCapture(&text); }
  ~Captured() { log::SetCapture(nullptr); }
  std::string text;
};

// A watch whose children are what their command lines say: "NAME MS" runs
// MS milliseconds and ends with status 0 ("NAME -1": until the test ends),
// "NAME fail" cannot be launched.
class FakeWatch : public ChildWatch {
 public:
  struct Run {
    std::string name;
    Clock::duration began;
    milliseconds runs;
    std::int64_t pid;
    bool ended = false;
  };
  Clock::time_point now{};
  std::vector<Run> runs;
  std::vector<int> timeouts;  // what each WaitForEvent was given
  mutable long looks_ = 0;

  Clock::time_point Now() const override {
    // A runner that looks at the clock without ever waiting spins.
    if (++looks_ > 1'000'000) throw std::runtime_error("the runner spins");
    return now;
  }
  void ReapEnded() override {}
  Process Spawn(const std::string& line, LaunchTag tag) override {
    const std::string name = line.substr(0, line.find(' '));
    const std::string how = line.substr(line.find(' ') + 1);
    if (how == "fail") throw std::runtime_error("cannot run \"" + name + "\"");
    const std::int64_t pid = 100 + static_cast<std::int64_t>(runs.size());
    runs.push_back({name, now - Clock::time_point{}, milliseconds(std::stoll(how)), pid});
    Launched(pid, Child{line, std::move(tag), {}, false});
    return Process(std::make_unique<Process::Impl>(pid), *this);
  }

  // When each began, in milliseconds, in launch order: "a@0 b@1000".
  std::string Begins() const {
    std::string text;
    for (const Run& r : runs) {
      text += (text.empty() ? "" : " ") + r.name + "@" +
              std::to_string(std::chrono::duration_cast<milliseconds>(r.began).count());
    }
    return text;
  }
  // The most that were waited for at the same time (an engine left running
  // after its wait is no longer one of them).
  int MostAtOnce(std::optional<milliseconds> wait) const {
    int most = 0;
    for (const Run& r : runs) {
      int at_once = 0;
      for (const Run& o : runs) {
        milliseconds lasts = o.runs < 0ms ? milliseconds::max() : o.runs;
        if (wait) lasts = std::min(lasts, *wait);
        at_once += o.began <= r.began && o.began + lasts > r.began;
      }
      most = std::max(most, at_once);
    }
    return most;
  }
  long long At() const {
    return std::chrono::duration_cast<milliseconds>(now - Clock::time_point{}).count();
  }

 protected:
  void WaitForEvent(std::span<Process* const>, int timeout_ms) override {
    timeouts.push_back(timeout_ms);
    if (timeouts.size() > 10000) throw std::runtime_error("the runner spins");
    Clock::duration until = Clock::duration::max();
    if (timeout_ms >= 0) until = (now - Clock::time_point{}) + milliseconds(timeout_ms);
    for (const Run& r : runs) {
      if (!r.ended && r.runs >= 0ms) until = std::min(until, r.began + r.runs);
    }
    if (until == Clock::duration::max()) throw std::runtime_error("a wait nothing ends");
    now = std::max(now, Clock::time_point{} + until);
    for (Run& r : runs) {
      if (!r.ended && r.runs >= 0ms && r.began + r.runs <= now - Clock::time_point{}) {
        r.ended = true;
        Ended(r.pid, {false, 0, {}});
      }
    }
  }
};

Trabajo Job(std::vector<std::string> lines) {
  Trabajo job;
  for (std::string& line : lines) {
    job.push_back({line, {line.substr(0, line.find(' ')), "stop", ""}});
  }
  return job;
}

TEST(Jobs, BeginInOrderAtMostNAtOnceEachDatabaseInItsOwnOrder) {
  struct Case {
    const char* what;
    std::vector<Trabajo> jobs;
    int at_once;
    std::optional<milliseconds> wait;  // each launch's wait
    const char* begins;
    long long returns_at;
  };
  const Case cases[] = {
      {"one at a time, each to its end",
       {Job({"a 300"}), Job({"b 200"}), Job({"c 100"})},
       1,
       std::nullopt,
       "a@0 b@300 c@500",
       600},
      {"two at once: the next begins as soon as one ends",
       {Job({"a 3000"}), Job({"b 1000"}), Job({"c 1000"}), Job({"d 1000"})},
       2,
       std::nullopt,
       "a@0 b@0 c@1000 d@2000",
       3000},
      {"a database's launches in order, the next database beside them",
       {Job({"sqlA 500", "glA 4000"}), Job({"glB 100"})},
       2,
       2500ms,
       "sqlA@0 glB@0 glA@500",
       3000},
      {"an engine still running after its wait is left so: the next begins",
       {Job({"a -1"}), Job({"b -1"})},
       1,
       2500ms,
       "a@0 b@2500",
       5000},
      {"a launch that fails: its database goes on at once",
       {Job({"x fail", "y 100"}), Job({"z 100"})},
       1,
       std::nullopt,
       "y@0 z@100",
       200},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Captured logged;
    FakeWatch watch;
    Plan plan;
    plan.espera = c.wait;
    plan.simultaneas = c.at_once;
    const Inconcluso left = EjecutaTrabajos(c.jobs, watch, plan);
    EXPECT_EQ(watch.Begins(), c.begins);
    EXPECT_LE(watch.MostAtOnce(c.wait), c.at_once);
    EXPECT_EQ(watch.At(), c.returns_at);
    EXPECT_TRUE(left.siguen.empty());
    EXPECT_TRUE(left.sin_empezar.empty());
  }
}

// A stop's commands: one that outlives its wait goes on and is waited for
// again at the end; the limit's reserve begins every database not begun yet.
TEST(Jobs, StopCommandsKeepTheirTimeAndTheLimitsReserve) {
  struct Case {
    const char* what;
    std::vector<Trabajo> jobs;
    std::optional<milliseconds> wait;
    std::optional<milliseconds> limit;
    milliseconds reserve;
    const char* begins;
    long long returns_at;
    std::vector<std::string> still_running;
  };
  const Case cases[] = {
      {"one outlives its wait: the next begins, and the end waits for it",
       {Job({"a 3000"}), Job({"b 500"})},
       1000ms,
       std::nullopt,
       0ms,
       "a@0 b@1000",
       3000,
       {}},
      {"a hung stop command: the rest begin at once when the reserve is reached",
       {Job({"a -1"}), Job({"b 200"}), Job({"c -1"})},
       std::nullopt,
       10000ms,
       1000ms,
       "a@0 b@9000 c@9000",
       10000,
       {"a", "c"}},
      {"all done before the reserve: nothing is hurried",
       {Job({"a 100"}), Job({"b 100"})},
       std::nullopt,
       10000ms,
       1000ms,
       "a@0 b@100",
       200,
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Captured logged;
    FakeWatch watch;
    Plan plan;
    plan.espera = c.wait;
    plan.esperar_al_final = true;
    if (c.limit) plan.limite = watch.now + *c.limit;
    plan.reserva = c.reserve;
    const Inconcluso left = EjecutaTrabajos(c.jobs, watch, plan);
    EXPECT_EQ(watch.Begins(), c.begins);
    EXPECT_EQ(watch.At(), c.returns_at);
    std::vector<std::string> still;
    for (const Inconcluso::Sigue& s : left.siguen) still.push_back(s.etiqueta.database);
    EXPECT_EQ(still, c.still_running);
    EXPECT_TRUE(left.sin_empezar.empty());
  }
}

// A limit that falls between two milliseconds is waited for to its end, in
// one wait: a timeout rounded down would wake the runner just before it and
// then spin on waits of 0 ms.
TEST(Jobs, ALimitBetweenMillisecondsIsReachedInOneWait) {
  Captured logged;
  FakeWatch watch;
  Plan plan;
  plan.esperar_al_final = true;
  plan.limite = watch.now + 1500ms + std::chrono::microseconds(500);
  const Inconcluso left = EjecutaTrabajos({Job({"a -1"})}, watch, plan);
  EXPECT_EQ(watch.timeouts, std::vector<int>{1501});
  EXPECT_EQ(left.siguen.size(), 1u);
}

// "still waiting" for a stop command with no wait of its own: after 5 s of
// it, then each time the time waited has doubled.
TEST(Jobs, StillWaitingLinesComeAtDoublingIntervals) {
  Captured logged;
  FakeWatch watch;
  EjecutaTrabajos({Job({"lenta 39000"})}, watch, Plan{});
  std::vector<std::string> afters;
  const std::string& text = logged.text;
  for (std::size_t at = 0;
       (at = text.find("still waiting for pid 100 after ", at)) != std::string::npos;) {
    at += 32;
    afters.push_back(text.substr(at, text.find(' ', at) - at));
  }
  EXPECT_EQ(afters, (std::vector<std::string>{"5.000", "10.000", "20.000"})) << text;
  EXPECT_EQ(watch.At(), 39000);
}

}  // namespace
}  // namespace ostrim::modSubProceso
