// The request table and what running a request means on every platform:
// the states and exit statuses RunRequest leads to, and what an operator's
// command prints from the record a service gives back.
#include "requests.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "helpers/json.h"
#include "record.h"

namespace ostrim {
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
    std::string_view request;
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
      {"start", D::kSucceed, ServiceState::kStarting, "running", std::nullopt, "done"},
      {"start", D::kLeaveFalse, ServiceState::kStarting, "stopped", 1, no_success},
      {"start", D::kThrow, ServiceState::kStarting, "stopped", 1, "failed: boom"},
      {"continue", D::kSucceed, paused, "running", std::nullopt, "done"},
      // A failed continue leaves the service as it was.
      {"continue", D::kLeaveFalse, paused, "paused", std::nullopt, no_success},
      {"continue", D::kThrow, paused, "paused", std::nullopt, "failed: boom"},
      {"continue", D::kThrow, running, "running", std::nullopt, "failed: boom"},
      {"pause", D::kSucceed, running, "paused", std::nullopt, "done"},
      {"pause", D::kLeaveFalse, running, "running", std::nullopt, no_success},
      {"pause", D::kThrow, running, "running", std::nullopt, "failed: boom"},
      {"pause", D::kThrow, paused, "paused", std::nullopt, "failed: boom"},
      // The stop has no flag: it always completes, and the service ends.
      {"stop", D::kLeaveFalse, running, "stopped", 0, "done"},
      {"stop", D::kThrow, paused, "stopped", 0, "failed: boom"},
  };
  for (const Case& c : cases) {
    const RequestKind& kind = KindOf(c.request);
    SCOPED_TRACE(std::string(kind.name) + " " + c.result);
    FakeEvents events(c.does);
    ServiceRecord record;
    record.EnterState(c.before);
    const RequestOutcome outcome = RunRequest(events, kind, record);
    EXPECT_EQ(events.called, std::vector<std::string>{std::string(kind.name)});
    EXPECT_EQ(StateName(outcome.state), std::string(c.state));
    EXPECT_EQ(outcome.exit_status, c.exit);
    EXPECT_STREQ(StateName(record.state), c.state);
    EXPECT_EQ(record.requests, 1u);
    EXPECT_EQ(record.last_request, kind.name);
    EXPECT_EQ(record.last_result, c.result);
    EXPECT_EQ(record.last_state_before, c.before);
    EXPECT_FALSE(record.since.empty());
  }
}

// What the hosts and the record ask of a row, and the texts made from it.
TEST(RequestTable, EachRowSaysWhatItDoes) {
  EXPECT_TRUE(KindOf("start").starts);
  EXPECT_TRUE(KindOf("continue").starts);
  EXPECT_FALSE(KindOf("pause").starts);
  EXPECT_FALSE(KindOf("stop").starts);
  EXPECT_TRUE(EndsService(KindOf("stop")));
  EXPECT_FALSE(EndsService(KindOf("pause")));
  // Something without a row is never taken for the start.
  EXPECT_THROW(KindOf("reload"), std::logic_error);
  EXPECT_EQ(&FirstRequest(), &KindOf("start"));
  auto first = [](const RequestKind& kind) { return std::string(kind.signals[0]); };
  EXPECT_EQ(
      HowToAsk(true, first),
      "ostrim -PAUSE or SIGUSR1 pauses; ostrim -CONTINUE or SIGUSR2 continues; SIGTERM stops");
  EXPECT_EQ(HowToAsk(false, first), "SIGTERM stops");
  // A request with no way on the platform is not named.
  EXPECT_EQ(HowToAsk(
                true, [](const RequestKind&) { return std::string(); }, false),
            "");
  EXPECT_EQ(UsageEntry("-PAUSE", std::string(20, 'a') + "\n" + std::string(60, 'b') + " c"),
            "  -PAUSE       " + std::string(20, 'a') + "\n               " + std::string(60, 'b') +
                " c\n");
}

TEST(RequestTable, EverySourceFindsItsRow) {
  EXPECT_EQ(KindOfVerb("PAUSE"), &KindOf("pause"));
  EXPECT_EQ(KindOfVerb("continue"), &KindOf("continue"));  // any case
  EXPECT_EQ(KindOfVerb("STATUS"), nullptr);                // not a request
  EXPECT_EQ(KindOfVerb(""), nullptr);                      // start and stop have none
  EXPECT_EQ(KindOfSignal("SIGTERM"), &KindOf("stop"));
  EXPECT_EQ(KindOfSignal("SIGINT"), &KindOf("stop"));
  EXPECT_EQ(KindOfSignal("SIGUSR1"), &KindOf("pause"));
  EXPECT_EQ(KindOfSignal("SIGUSR2"), &KindOf("continue"));
  EXPECT_EQ(KindOfSignal("SIGHUP"), nullptr);
  EXPECT_EQ(KindOfSignal(""), nullptr);
  for (std::uint32_t stop : {0x1u, 0x5u, 0xFu}) EXPECT_EQ(KindOfControl(stop), &KindOf("stop"));
  EXPECT_EQ(KindOfControl(0x2), &KindOf("pause"));
  EXPECT_EQ(KindOfControl(0x3), &KindOf("continue"));
  EXPECT_EQ(KindOfControl(0x4), nullptr);  // interrogate: answered by the host itself
  EXPECT_EQ(KindOfControl(0), nullptr);
  for (const RequestKind& kind : Requests()) EXPECT_EQ(&KindOf(kind.name), &kind);
}

TEST(Replies, TellTheOperatorWhatRanAndExitAsScriptsExpect) {
  ServiceRecord after;
  after.state = ServiceState::kPaused;
  after.last_request = "pause";
  after.last_result = "done";
  after.last_state_before = ServiceState::kRunning;
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
  running.state = ServiceState::kRunning;
  EXPECT_EQ(ReplyToStatus(running, StatusForm::kText, "\n").status, 0);
  running.degraded = true;
  EXPECT_EQ(ReplyToStatus(running, StatusForm::kText, "\n").status, 4);
  EXPECT_EQ(ReplyToStatus(running, StatusForm::kJson, "\n").status, 4);
  EXPECT_EQ(tests::json::Parse(ReplyToStatus(running, StatusForm::kJson, "\n").out)["health"].text,
            "degraded");
  const ControlReply none =
      ReplyNoService(true, StatusForm::kText, "/opt/site", "no ostrim serves", "\n");
  EXPECT_EQ(none.status, 3);
  EXPECT_EQ(none.out, "state\tnone\ndirectory\t/opt/site\n");
  EXPECT_EQ(none.err, "ostrim: no ostrim serves\n");
  EXPECT_EQ(
      tests::json::Parse(ReplyNoService(true, StatusForm::kJson, "/x", "no", "\n").out)["state"]
          .text,
      "none");
  EXPECT_EQ(ReplyNoService(false, StatusForm::kText, "/x", "no", "\n").status, 1);
}

}  // namespace
}  // namespace ostrim
