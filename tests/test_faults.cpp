// The service under faults, request storms and long uptime: it keeps
// serving, loses no request it took, and leaks nothing.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <thread>

#include "helpers/test_support.h"

namespace ostrim {
namespace {

// In the sanitizer build the allocator keeps freed memory in quarantine, so
// resident memory says nothing about leaks there (LeakSanitizer checks them
// at the service's exit instead), and every process starts slower.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

using namespace std::chrono_literals;
using testing::Background;
using testing::Count;
using testing::ReadFile;
using testing::Result;
using testing::Site;

class Faults : public ::testing::Test {
 protected:
  testing::Environment Env() const { return {{"RECORDER_LOG", site.log()}}; }
  Site site;
};

// Spawning fails for want of processes: each launch is logged with the
// reason, the sequence goes on, and the service keeps serving.
TEST_F(Faults, SpawnFailuresAreLoggedAndTheServiceKeepsServing) {
  if (::geteuid() != 0 || !std::filesystem::exists("/usr/bin/setpriv") ||
      !std::filesystem::exists("/usr/bin/prlimit")) {
    GTEST_SKIP() << "needs root, setpriv and prlimit to run the service as another user";
  }
  ::chmod(site.path().c_str(), 0755);
  site.Ombrel("[start]\n1=recorder start\n[stop]\n1=recorder stop\n[bases4GL]\nuno=1\ndos=2\n");
  // One process allowed for the user: the service itself, and no child.
  // LeakSanitizer needs a thread of its own at exit, which the limit forbids.
  auto env = Env();
  env.emplace_back("ASAN_OPTIONS", "detect_leaks=0");
  Background service("/usr/bin/prlimit",
                     {"--nproc=1:1", "/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                      "--clear-groups", site.program()},
                     env);
  ASSERT_TRUE(service.WaitForErr("request start: done", 10s)) << service.Err();
  service.Signal(SIGUSR2);
  ASSERT_TRUE(service.WaitForErr("request continue: done", 10s)) << service.Err();
  service.Signal(SIGTERM);
  Result r = service.Finish();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(Count(r.err, "launch failed"), 6) << r.err;  // 2 starts, 2 starts again, 2 stops
  EXPECT_EQ(Count(r.err, "Resource temporarily unavailable"), 6) << r.err;
}

TEST_F(Faults, ProfilesChangingUnderTheServiceAreReadAsTheyAre) {
  const std::string full =
      "[start]\n1=recorder start\n[stop]\n1=recorder stop\n[bases4GL]\nuno=1\ndos=2\n";
  site.Ombrel(full);
  Background service(site.program(), {}, Env());
  ASSERT_TRUE(service.WaitForErr("request start: done", 10s)) << service.Err();
  site.Ombrel("");  // truncated
  service.Signal(SIGUSR1);
  ASSERT_TRUE(service.WaitForErr("request pause: done", 10s));
  std::filesystem::remove(site / "Ombrel.ini");
  std::filesystem::create_directory(site / "Ombrel.ini");  // replaced by a directory
  service.Signal(SIGUSR2);
  ASSERT_TRUE(service.WaitForErr("request continue: done", 10s));
  std::filesystem::remove(site / "Ombrel.ini");
  site.Ombrel(std::string("\0\xff\xfe garbage\0[", 14) + full);  // binary garbage in front
  service.Signal(SIGTERM);
  Result r = service.Finish();
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.err.find("Ombrel.ini cannot be read: it is a directory"), std::string::npos) << r.err;
  EXPECT_EQ(site.Launched(),
            (std::vector<std::string>{"start|1|-z", "start|2|-z", "stop|1", "stop|2"}));
}

// Children that misbehave in the ways engines do.
TEST_F(Faults, ChildrenThatForkIgnoreSigtermOrCloseTheirOutput) {
  site.Ombrel(
      "[start]\n1=recorder start\n[stop]\n1=recorder stop\n"
      "[bases4GL]\nforks=forks @fork\ndeaf=deaf @ignore-term @close-stdout @sleep=4000\n");
  auto begin = std::chrono::steady_clock::now();
  Background service(site.program(), {}, Env());
  ASSERT_TRUE(service.WaitForErr("request start: done", 10s)) << service.Err();
  // The forking one ended at once although its child holds our stderr: the
  // wait is on the child, not on a pipe.
  EXPECT_NE(service.Err().find("ended: exit status 0 after 0.0"), std::string::npos)
      << service.Err();
  service.Signal(SIGTERM);
  Result r = service.Finish();
  double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  EXPECT_EQ(r.status, 0);
  EXPECT_LT(took, 3.9);  // the service neither killed nor waited for the deaf one
  std::string deaf_pid;
  for (const auto& rec : site.Records()) {
    if (rec[0] == "begin" && rec[3].rfind("start|deaf", 0) == 0) deaf_pid = rec[2];
  }
  ASSERT_FALSE(deaf_pid.empty());
  EXPECT_EQ(::kill(std::stoi(deaf_pid), 0), 0) << "the engine was killed";
  ::kill(std::stoi(deaf_pid), SIGKILL);
}

TEST_F(Faults, AStopCommandThatTakesLongIsWaitedForAndLogged) {
  site.Ombrel(
      "[start]\n1=recorder start\n[stop]\n1=recorder stop @sleep=5600\n[bases4GL]\nuno=1\n");
  Background service(site.program(), {}, Env());
  ASSERT_TRUE(service.WaitForErr("request start: done", 10s)) << service.Err();
  service.Signal(SIGUSR1);
  ASSERT_TRUE(service.WaitForErr("\"recorder stop @sleep=5600 1\"", 10s));
  site.Ombrel("[start]\n1=recorder start\n[stop]\n1=recorder stop\n[bases4GL]\nuno=1\n");
  service.Signal(SIGUSR2);  // waits for the pause to end
  ASSERT_TRUE(service.WaitForErr("request continue: done", 15s)) << service.Err();
  service.Signal(SIGTERM);
  Result r = service.Finish();
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.err.find("still waiting for pid"), std::string::npos) << r.err;
  EXPECT_LT(r.err.find("still waiting for pid"), r.err.find("request continue: begins"));
  EXPECT_EQ(site.Launched(),
            (std::vector<std::string>{"start|1|-z", "stop|@sleep=5600|1", "start|1|-z", "stop|1"}));
}

// A storm of pause and continue signals, then a stop. The kernel merges a
// signal with the same one still pending (sent before the service's handler
// took the first), so fewer requests than signals may arrive; every request
// that arrived is logged, runs to its end, in order.
TEST_F(Faults, ARequestStormIsHandledInFullAndAccountedFor) {
  site.Ombrel("[start]\n1=recorder start\n[stop]\n1=recorder stop\n[bases4GL]\nuno=1\ndos=2\n");
  Background service(site.program(), {}, Env());
  ASSERT_TRUE(service.WaitForErr("request start: done", 10s)) << service.Err();
  for (int i = 0; i < 1000; ++i) service.Signal(i % 2 == 0 ? SIGUSR1 : SIGUSR2);
  service.Signal(SIGTERM);
  Result r = service.Finish(120s);
  EXPECT_EQ(r.status, 0);
  const int received = Count(r.err, "request received");
  const int begun = Count(r.err, ": begins");
  const int done = Count(r.err, ": done in");
  const int dropped = Count(r.err, "dropped: the service has ended");
  EXPECT_GE(received, 3);
  EXPECT_LE(received, 1002);
  EXPECT_EQ(begun + dropped, received);
  EXPECT_EQ(done, begun);
  EXPECT_EQ(static_cast<int>(site.Launched().size()), 2 * begun) << "a launch lost or doubled";
  ::testing::Test::RecordProperty("requests_taken_of_1002_signals", received);
}

struct Usage {
  int fds = 0;
  long rss_kb = 0;
  int children = 0;
  int zombies = 0;
};

Usage UsageOf(pid_t pid) {
  Usage u;
  const std::string proc = "/proc/" + std::to_string(pid);
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(proc + "/fd")) ++u.fds;
  std::istringstream status(ReadFile(proc + "/status"));
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) u.rss_kb = std::atol(line.c_str() + 6);
  }
  std::istringstream children(ReadFile(proc + "/task/" + std::to_string(pid) + "/children"));
  for (std::string child; children >> child;) {
    ++u.children;
    std::string stat = ReadFile("/proc/" + child + "/stat");
    std::size_t paren = stat.rfind(')');
    if (paren != std::string::npos && stat.compare(paren + 2, 1, "Z") == 0) ++u.zombies;
  }
  return u;
}

// Pause and continue cycles over ten databases: every launch recorded once,
// and nothing grows.
TEST_F(Faults, SoakOfPauseAndContinueLeaksNothing) {
  int cycles = kSanitized ? 200 : 1000;
  if (const char* env = std::getenv("OSTRIM_SOAK_CYCLES")) cycles = std::atoi(env);
  std::string ombrel =
      "[arranque]\n1=T_SOAK=1\n[start]\n1=recorder start\n[stop]\n1=recorder stop\n"
      "[bases4GL]\n";
  for (int i = 0; i < 10; ++i) ombrel += "b" + std::to_string(i) + "=b" + std::to_string(i) + "\n";
  site.Ombrel(ombrel);
  testing::NotifySocket notify;
  auto env = Env();
  env.emplace_back("NOTIFY_SOCKET", notify.path());
  Background service(site.program(), {}, env);

  auto wait_for = [&](const std::string& message, int count) {
    auto deadline = std::chrono::steady_clock::now() + 30s;
    while (std::chrono::steady_clock::now() < deadline) {
      int seen = 0;
      for (const std::string& m : notify.Messages()) seen += m.find(message) != std::string::npos;
      if (seen >= count) return true;
      std::this_thread::sleep_for(1ms);
    }
    return false;
  };
  ASSERT_TRUE(wait_for("READY=1", 1));
  Usage early;
  for (int cycle = 1; cycle <= cycles; ++cycle) {
    service.Signal(SIGUSR1);
    ASSERT_TRUE(wait_for("STATUS=paused", cycle)) << "cycle " << cycle;
    service.Signal(SIGUSR2);
    ASSERT_TRUE(wait_for("READY=1", cycle + 1)) << "cycle " << cycle;
    if (cycle == 10) early = UsageOf(service.pid());
  }
  Usage late = UsageOf(service.pid());
  service.Signal(SIGTERM);
  Result r = service.Finish(60s);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(late.fds, early.fds);
  if (!kSanitized) {
    EXPECT_LE(late.rss_kb, early.rss_kb + 256) << "resident memory grew";
  }
  EXPECT_EQ(late.children, 0);
  EXPECT_EQ(late.zombies, 0);
  EXPECT_EQ(static_cast<int>(site.Launched().size()), 10 * (2 * cycles + 2));
  ::testing::Test::RecordProperty("rss_kb_at_cycle_10", static_cast<int>(early.rss_kb));
  ::testing::Test::RecordProperty("rss_kb_at_end", static_cast<int>(late.rss_kb));
}

TEST_F(Faults, WritableProfilesAreWarnedAboutWhenRunningAsRoot) {
  if (::geteuid() != 0) GTEST_SKIP() << "the warning concerns a service running as root";
  site.Ombrel("[bases4GL]\nuno=1\n");
  ::chmod(site.path().c_str(), 0755);
  ::chmod((site / "Ombrel.ini").c_str(), 0644);
  Result r = testing::RunProgram(site.program(), {"-CHECK"});
  EXPECT_EQ(Count(r.err, "whoever can change it can run commands as root"), 0) << r.err;

  ::chmod((site / "Ombrel.ini").c_str(), 0666);
  ::chmod(site.path().c_str(), 0775);
  r = testing::RunProgram(site.program(), {"-CHECK"});
  EXPECT_NE(r.err.find(site / "Ombrel.ini can be written by anyone (fix: chmod go-w"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find(site.path() + " can be written by its group"), std::string::npos) << r.err;
  EXPECT_EQ(r.status, 0);  // warned, not refused
}

}  // namespace
}  // namespace ostrim
