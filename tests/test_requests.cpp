// The request table and what running a request means on every platform:
// the states and exit statuses RunRequest leads to, and what an operator's
// command prints from the record a service gives back.
#include "platform/requests.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "helpers/json.h"
#include "platform/record.h"

namespace ostrim::platform {
namespace {

// The form's handlers, each doing what the test says.
class FakeEvents : public ServiceEvents {
 public:
  enum class Does { kSucceed, kLeaveFalse, kThrow };
  explicit FakeEvents(Does does) : does_(does) {}
  void NTService_Continue(std::int16_t& success) override { Handle("continue", &success); }
  void NTService_Pause(std::int16_t& success) override { Handle("pause", &success); }
  void NTService_Start(std::int16_t& success) override { Handle("start", &success); }
  void NTService_Stop() override { Handle("stop", nullptr); }
  std::vector<std::string> called;

 private:
  void Handle(const char* name, std::int16_t* success) {
    called.emplace_back(name);
    if (does_ == Does::kThrow) throw std::runtime_error("boom");
    if (success != nullptr && does_ == Does::kSucceed) *success = kTrue;
  }
  Does does_;
};

TEST(RunRequest, LeadsToTheStateAndExitStatusOfItsRow) {
  using D = FakeEvents::Does;
  struct Case {
    Request request;
    D does;
    ServiceState before;
    const char* state;        // after it
    std::optional<int> exit;  // the service ends, with this status
    const char* result;       // last_result
  };
  const ServiceState running = ServiceState::kRunning;
  const ServiceState paused = ServiceState::kPaused;
  const char* const no_success = "failed: the handler did not report success";
  const Case cases[] = {
      {Request::kStart, D::kSucceed, ServiceState::kStarting, "running", std::nullopt, "done"},
      {Request::kStart, D::kLeaveFalse, ServiceState::kStarting, "stopped", 1, no_success},
      {Request::kStart, D::kThrow, ServiceState::kStarting, "stopped", 1, "failed: boom"},
      {Request::kContinue, D::kSucceed, paused, "running", std::nullopt, "done"},
      // A failed continue leaves the service as it was.
      {Request::kContinue, D::kLeaveFalse, paused, "paused", std::nullopt, no_success},
      {Request::kContinue, D::kThrow, paused, "paused", std::nullopt, "failed: boom"},
      {Request::kContinue, D::kThrow, running, "running", std::nullopt, "failed: boom"},
      {Request::kPause, D::kSucceed, running, "paused", std::nullopt, "done"},
      {Request::kPause, D::kLeaveFalse, running, "running", std::nullopt, no_success},
      {Request::kPause, D::kThrow, running, "running", std::nullopt, "failed: boom"},
      {Request::kPause, D::kThrow, paused, "paused", std::nullopt, "failed: boom"},
      // The stop has no flag: it always completes, and the service ends.
      {Request::kStop, D::kLeaveFalse, running, "stopped", 0, "done"},
      {Request::kStop, D::kThrow, paused, "stopped", 0, "failed: boom"},
  };
  for (const Case& c : cases) {
    const RequestKind& kind = KindOf(c.request);
    SCOPED_TRACE(std::string(kind.name) + " " + c.result);
    FakeEvents events(c.does);
    ServiceRecord record;
    record.EnterState(c.before);
    const RequestOutcome outcome = RunRequest(events, c.request, record);
    EXPECT_EQ(events.called, std::vector<std::string>{std::string(kind.name)});
    EXPECT_EQ(StateName(outcome.state), std::string(c.state));
    EXPECT_EQ(outcome.exit_status, c.exit);
    EXPECT_EQ(record.state, c.state);
    EXPECT_EQ(record.requests, 1u);
    EXPECT_EQ(record.last_request, kind.name);
    EXPECT_EQ(record.last_result, c.result);
    EXPECT_EQ(record.last_state_before, StateName(c.before));
    EXPECT_FALSE(record.since.empty());
  }
}

// What the hosts and the record ask of a row, and the texts made from it.
TEST(RequestTable, EachRowSaysWhatItDoes) {
  EXPECT_TRUE(KindOf(Request::kStart).starts);
  EXPECT_TRUE(KindOf(Request::kContinue).starts);
  EXPECT_FALSE(KindOf(Request::kPause).starts);
  EXPECT_FALSE(KindOf(Request::kStop).starts);
  EXPECT_TRUE(EndsService(KindOf(Request::kStop)));
  EXPECT_FALSE(EndsService(KindOf(Request::kPause)));
  // Something without a row is never taken for the start.
  EXPECT_THROW(KindOf(static_cast<Request>(99)), std::logic_error);
  auto shown = [](std::string_view s) { return s == "SIGINT" ? std::string_view("Ctrl-C") : s; };
  EXPECT_EQ(HowToAsk(true, shown),
            "ostrim -PAUSE or SIGUSR1 pauses; ostrim -CONTINUE or SIGUSR2 continues; SIGTERM or "
            "Ctrl-C stops");
  EXPECT_EQ(HowToAsk(false, shown), "SIGTERM or Ctrl-C stops");
}

TEST(RequestTable, EverySourceFindsItsRow) {
  EXPECT_EQ(KindOfVerb("PAUSE")->request, Request::kPause);
  EXPECT_EQ(KindOfVerb("continue")->request, Request::kContinue);  // any case
  EXPECT_EQ(KindOfVerb("STATUS"), nullptr);                        // not a request
  EXPECT_EQ(KindOfVerb(""), nullptr);                              // start and stop have none
  EXPECT_EQ(KindOfSignal("SIGTERM")->request, Request::kStop);
  EXPECT_EQ(KindOfSignal("SIGINT")->request, Request::kStop);
  EXPECT_EQ(KindOfSignal("SIGUSR1")->request, Request::kPause);
  EXPECT_EQ(KindOfSignal("SIGUSR2")->request, Request::kContinue);
  EXPECT_EQ(KindOfSignal("SIGHUP"), nullptr);
  EXPECT_EQ(KindOfSignal(""), nullptr);
  for (std::uint32_t stop : {0x1u, 0x5u, 0xFu})
    EXPECT_EQ(KindOfControl(stop)->request, Request::kStop);
  EXPECT_EQ(KindOfControl(0x2)->request, Request::kPause);
  EXPECT_EQ(KindOfControl(0x3)->request, Request::kContinue);
  EXPECT_EQ(KindOfControl(0x4), nullptr);  // interrogate: answered by the host itself
  EXPECT_EQ(KindOfControl(0), nullptr);
  for (const RequestKind& kind : Requests()) EXPECT_EQ(&KindOf(kind.request), &kind);
}

TEST(Replies, TellTheOperatorWhatRanAndExitAsScriptsExpect) {
  ServiceRecord after;
  after.state = "paused";
  after.last_request = "pause";
  after.last_result = "done";
  after.last_state_before = "running";
  after.last_tally = {3, 1, 0};
  after.last_seconds = 4.21;
  EXPECT_EQ(OutcomeLine(after),
            "pause: done in 4.210 s: 3 command lines, 2 launched, 1 launch failed "
            "(was running, now paused)");
  EXPECT_EQ(ReplyToRequest(after, "\n").status, 0);
  after.last_result = "failed: boom";
  EXPECT_EQ(ReplyToRequest(after, "\r\n").status, 1);
  EXPECT_EQ(ReplyToRequest(after, "\r\n").out.substr(0, 19), "pause: failed: boom");

  // -STATUS: 0 healthy, 4 running but degraded, 3 none serves.
  ServiceRecord running;
  running.state = "running";
  EXPECT_EQ(ReplyToStatus(running, false, "\n").status, 0);
  running.degraded = true;
  EXPECT_EQ(ReplyToStatus(running, false, "\n").status, 4);
  EXPECT_EQ(ReplyToStatus(running, true, "\n").status, 4);
  EXPECT_EQ(tests::json::Parse(ReplyToStatus(running, true, "\n").out)["health"].text, "degraded");
  const ControlReply none = ReplyNoService(true, false, "/opt/site", "no ostrim serves", "\n");
  EXPECT_EQ(none.status, 3);
  EXPECT_EQ(none.out, "state\tnone\ndirectory\t/opt/site\n");
  EXPECT_EQ(none.err, "ostrim: no ostrim serves\n");
  EXPECT_EQ(tests::json::Parse(ReplyNoService(true, true, "/x", "no", "\n").out)["state"].text,
            "none");
  EXPECT_EQ(ReplyNoService(false, false, "/x", "no", "\n").status, 1);
}

}  // namespace
}  // namespace ostrim::platform
