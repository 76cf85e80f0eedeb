// Operating a serving instance from the command line: -PAUSE, -CONTINUE and
// -STATUS over the site's control channel, and one instance per site.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "helpers/site_test.h"

namespace ostrim {
namespace {

using namespace std::chrono_literals;
using tests::Background;
using tests::Count;
using tests::Result;
using tests::RunProgram;
using Lines = std::vector<std::string>;

class Control : public tests::SiteTest {
 protected:
  void SetUp() override {
    site.Ombrel(
        "[start]\n1=recorder start\n[stop]\n1=recorder stop\n"
        "[bases4GL]\nventas=ventas\ncompras=compras\n");
  }
  Result Run(const std::string& verb) { return RunProgram(site.program(), {verb}, Env()); }
  // The value of `key` in a -STATUS answer.
  static std::string Value(const std::string& status, const std::string& key) {
    const std::size_t at = status.find(key + "\t");
    if (at == std::string::npos) return {};
    const std::size_t start = at + key.size() + 1;
    return status.substr(start, status.find('\n', start) - start);
  }
};

TEST_F(Control, PauseAndContinueRunAndSayHowItWent) {
  Background service(site.program(), {}, Env());
  ASSERT_TRUE(Served()) << service.Err();

  struct Step {
    const char* verb;
    std::string line;  // the start of the outcome line
    Lines launched;    // what the recorder saw begin, from the start on
  };
  const Step steps[] = {
      {"-PAUSE",
       "pause: done in ",
       {"start|ventas|-z", "start|compras|-z", "stop|ventas", "stop|compras"}},
      // Sent to a paused service, it runs anyway, and says so.
      {"-pause", "pause: done in ", {"stop|ventas", "stop|compras"}},
      {"-Continue", "continue: done in ", {"start|ventas|-z", "start|compras|-z"}},
  };
  const char* states[] = {"(was running, now paused)", "(was paused, now paused)",
                          "(was paused, now running)"};
  Lines expected;
  for (int i = 0; i < 3; ++i) {
    Result r = Run(steps[i].verb);
    EXPECT_EQ(r.status, 0) << steps[i].verb << r.err;
    EXPECT_EQ(r.out.rfind(steps[i].line, 0), 0u) << r.out;
    EXPECT_NE(r.out.find(" s: 2 command lines, all launched " + std::string(states[i])),
              std::string::npos)
        << r.out;
    expected.insert(expected.end(), steps[i].launched.begin(), steps[i].launched.end());
    EXPECT_EQ(site.Launched(), expected) << steps[i].verb;  // each exactly once, in order
  }
  service.Signal(SIGTERM);
  EXPECT_EQ(service.Finish().status, 0);
}

TEST_F(Control, StatusInEachState) {
  // None serves: LSB's "not running".
  Result r = Run("-STATUS");
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(Value(r.out, "state"), "none");

  site.Ombrel(
      "[start]\n1=recorder start\n[stop]\n1=recorder stop @sleep=3000\n"
      "[bases4GL]\nmotor=motor @sleep=60000\n");
  Background service(site.program(), {}, Env());
  ASSERT_TRUE(Served()) << service.Err();
  r = Run("-status");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Value(r.out, "state"), "running");
  EXPECT_EQ(Value(r.out, "pid"), std::to_string(service.pid()));
  EXPECT_EQ(Value(r.out, "last_request"), "start");
  EXPECT_EQ(Value(r.out, "last_result"), "done");
  EXPECT_NE(r.out.find("database\tmotor\t4GL\trunning\t"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\trecorder start motor @sleep=60000 -z\t0\n"), std::string::npos) << r.out;

  // During a long stop command: answered at once, mid-request.
  service.Signal(SIGUSR1);
  ASSERT_TRUE(service.WaitForErr("\"recorder stop @sleep=3000 motor \"", 20s));
  r = Run("-STATUS");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(Value(r.out, "state"), "pausing");
  ASSERT_TRUE(Served(2, 20s));
  r = Run("-STATUS");
  EXPECT_EQ(Value(r.out, "state"), "paused");
  EXPECT_EQ(Value(r.out, "last_lines"), "1");

  service.Signal(SIGTERM);
  EXPECT_EQ(service.Finish().status, 0);
  for (const auto& rec : site.Records()) {
    if (rec[0] == "begin" && rec[3].rfind("start", 0) == 0) ::kill(std::stoi(rec[2]), SIGKILL);
  }
}

TEST_F(Control, ASecondInstanceOfTheSiteIsRefused) {
  auto first = std::make_unique<Background>(site.program(), std::vector<std::string>{}, Env());
  ASSERT_TRUE(Served(1, 20s)) << first->Err();
  Result second = RunProgram(site.program(), {}, Env());
  EXPECT_EQ(second.status, 1);
  EXPECT_NE(second.err.find("another ostrim serves the site in " + site.path() + " already (pid " +
                            std::to_string(first->pid()) + ")"),
            std::string::npos)
      << second.err;
  EXPECT_NE(second.err.find("ostrim -STATUS"), std::string::npos);
  EXPECT_EQ(site.Launched(), (Lines{"start|ventas|-z", "start|compras|-z"}));  // nothing more

  // What may run beside it does.
  EXPECT_EQ(Run("-CHECK").status, 0);
  EXPECT_EQ(Run("--version").status, 0);

  // No stale guard after a kill -9: the next instance serves at once.
  first->Signal(SIGKILL);
  first->Finish();
  first.reset();
  Background next(site.program(), {}, Env());
  EXPECT_TRUE(Served(1, 20s)) << next.Err();
  next.Signal(SIGTERM);
  EXPECT_EQ(next.Finish().status, 0);
}

TEST_F(Control, AnotherUserMayNotControlIt) {
  if (::geteuid() != 0 || !std::filesystem::exists("/usr/bin/setpriv")) {
    GTEST_SKIP() << "needs root and setpriv to ask as another user";
  }
  ::chmod(site.path().c_str(), 0755);
  Background service(site.program(), {}, Env());
  ASSERT_TRUE(Served()) << service.Err();
  for (const char* verb : {"-STATUS", "-PAUSE"}) {
    Result r = RunProgram(
        "/usr/bin/setpriv",
        {"--reuid=65534", "--regid=65534", "--clear-groups", site.program(), verb}, Env());
    EXPECT_EQ(r.status, 1) << verb << r.out << r.err;
    EXPECT_NE(r.err.find("permission denied"), std::string::npos) << r.err;
  }
  service.Signal(SIGTERM);
  Result r = service.Finish();
  // Refused by the kernel itself (the socket is its owner's alone): the
  // service never even hears of them.
  EXPECT_EQ(Count(r.err, "control request refused"), 0) << r.err;
  EXPECT_EQ(Begun(r.err), (Lines{"start", "stop"}));  // the pause never ran
}

// Requests from the control channel and from signals join one queue, in the
// order they arrive.
TEST_F(Control, RequestsFromBothSourcesRunInArrivalOrder) {
  site.Ombrel(
      "[start]\n1=recorder start\n[stop]\n1=recorder stop @sleep=5000\n[bases4GL]\nuno=1\n");
  Background service(site.program(), {}, Env());
  ASSERT_TRUE(Served()) << service.Err();
  service.Signal(SIGUSR1);  // a pause, whose stop command takes 5 s
  ASSERT_TRUE(service.WaitForErr("request pause: begins", 20s));
  Background continuing(site.program(), {"-CONTINUE"}, Env());
  ASSERT_TRUE(service.WaitForErr("request received: continue (control", 20s)) << service.Err();
  // (A pause sent while the continue is still queued would cancel it.)
  ASSERT_TRUE(service.WaitForErr("request continue: begins", 20s)) << service.Err();
  service.Signal(SIGUSR1);
  ASSERT_TRUE(service.WaitForErrCount("request received: pause (SIGUSR1)", 2, 20s));
  Result asked = continuing.Finish(30s);
  EXPECT_EQ(asked.status, 0) << asked.err;
  EXPECT_NE(asked.out.find("continue: done in "), std::string::npos) << asked.out;
  EXPECT_NE(asked.out.find("(was paused, now running)"), std::string::npos) << asked.out;
  // (The second pause's end: a stop would answer a pause still queued.)
  ASSERT_TRUE(Served(4, 20s));
  service.Signal(SIGTERM);
  Result r = service.Finish(30s);
  EXPECT_EQ(Begun(r.err), (Lines{"start", "pause", "continue", "pause", "stop"}));
}

}  // namespace
}  // namespace ostrim
