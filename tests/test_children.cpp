// The wait of a sequence for its child, over a fake watch whose clock and
// events the test decides: its deadline, a child that ends in the
// middle, and a request that wakes it early.
#include "platform/children.h"

#include <gtest/gtest.h>

#include <optional>

namespace ostrim::platform {
namespace {

using namespace std::chrono_literals;
using std::chrono::milliseconds;

class FakeWatch : public ChildWatch {
 public:
  Clock::time_point now{};
  std::optional<milliseconds> child_ends_at;  // since the launch
  std::optional<milliseconds> woken_at;       // a request arrives
  std::vector<int> timeouts;                  // what each WaitForEvent was given

  Process Launch() {
    Launched(7, Child{"arranca v -z", {"ventas", "4GL", "v"}, {}, false});
    return Process(std::make_unique<Process::Impl>(7), *this);
  }
  Clock::time_point Now() const override { return now; }
  void ReapEnded() override {}

 protected:
  void WaitForEvent(std::span<Process* const> children, int timeout_ms) override {
    ASSERT_EQ(children.size(), 1u);
    Process* child = children[0];
    timeouts.push_back(timeout_ms);
    const milliseconds elapsed =
        std::chrono::duration_cast<milliseconds>(now - Clock::time_point{});
    // The first of: the timeout, the child's end, the request.
    milliseconds until = timeout_ms < 0 ? milliseconds::max() : elapsed + milliseconds(timeout_ms);
    bool ends = false;
    if (child_ends_at && *child_ends_at <= until) {
      until = std::max(*child_ends_at, elapsed);
      ends = true;
    }
    if (woken_at && *woken_at > elapsed && *woken_at < until) {
      until = *woken_at;
      ends = false;
    }
    ASSERT_NE(until, milliseconds::max()) << "a wait without limit and nothing to end it";
    now = Clock::time_point{} + until;
    if (ends) Ended(child->Id(), {false, 3, {}});
  }
};

TEST(ChildWait, KeepsItsDeadlineWhateverWakesIt) {
  struct Case {
    const char* what;
    std::optional<milliseconds> limit;
    std::optional<milliseconds> ends_at;
    std::optional<milliseconds> woken_at;
    bool ended;                 // Wait returned an end
    milliseconds returned_at;   // on the fake clock
    std::vector<int> timeouts;  // asked of the platform, in order
  };
  const Case cases[] = {
      {"a child that keeps running: the deadline",
       2500ms,
       std::nullopt,
       std::nullopt,
       false,
       2500ms,
       {2500}},
      {"a child that ends before the deadline", 2500ms, 1000ms, std::nullopt, true, 1000ms, {2500}},
      {"a request in the middle: the wait goes on to its deadline",
       2500ms,
       std::nullopt,
       700ms,
       false,
       2500ms,
       {2500, 1800}},
      {"a request, then the child's end", 2500ms, 2000ms, 700ms, true, 2000ms, {2500, 1800}},
      {"no limit: one wait until the end",
       std::nullopt,
       12000ms,
       std::nullopt,
       true,
       12000ms,
       {-1}},
      {"no limit, a request in the middle: the wait goes on until the end",
       std::nullopt,
       7000ms,
       3000ms,
       true,
       7000ms,
       {-1, -1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeWatch watch;
    watch.child_ends_at = c.ends_at;
    watch.woken_at = c.woken_at;
    Process child = watch.Launch();
    const std::optional<ProcessEnd> end = child.Wait(c.limit);
    EXPECT_EQ(end.has_value(), c.ended);
    EXPECT_EQ(watch.now - FakeWatch::Clock::time_point{}, c.returned_at);
    EXPECT_EQ(watch.timeouts, c.timeouts);
    if (end) {
      EXPECT_EQ(end->value, 3);
      EXPECT_EQ(end->ran, c.returned_at);
      // Asked again, the same end, without waiting.
      const std::size_t waits = watch.timeouts.size();
      EXPECT_EQ(child.Wait(1s)->value, 3);
      EXPECT_EQ(watch.timeouts.size(), waits);
    }
  }
}

// The observer hears of every child's life, with its database and pass.
TEST(ChildWait, TellsItsObserverWhatBecameOfEachChild) {
  class Listener : public ChildObserver {
   public:
    std::vector<std::string> heard;
    void Launched(const LaunchTag& t, std::int64_t pid, const std::string&) override {
      heard.push_back("launched " + t.database + " " + t.pass + " " + std::to_string(pid));
    }
    void LaunchFailed(const LaunchTag& t, const std::string&, const std::string& why) override {
      heard.push_back("failed " + t.database + ": " + why);
    }
    void LeftRunning(const LaunchTag& t, std::int64_t) override {
      heard.push_back("left running " + t.database);
    }
    bool Ended(const LaunchTag& t, std::int64_t, const ProcessEnd& end, bool waited) override {
      heard.push_back("ended " + t.database + (waited ? " waited " : " watched ") +
                      std::to_string(end.value));
      return false;
    }
  };
  Listener listener;
  {
    FakeWatch watch;
    watch.SetObserver(&listener);
    watch.child_ends_at = 100ms;
    watch.Launch().Wait(1s);
    watch.LaunchFailed({"compras", "4GL", ""}, "x -z", "not found");
  }
  {
    FakeWatch watch;
    watch.SetObserver(&listener);
    watch.Launch().Wait(1s);  // left running: watched once its Process goes
  }
  EXPECT_EQ(listener.heard,
            (std::vector<std::string>{"launched ventas 4GL 7", "ended ventas waited 3",
                                      "failed compras: not found", "launched ventas 4GL 7",
                                      "left running ventas"}));
}

}  // namespace
}  // namespace ostrim::platform
