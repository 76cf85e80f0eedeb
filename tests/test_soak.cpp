// The slow tests: a storm of requests and a long soak of pause and continue.
// They carry the ctest label "soak" (leave them out with `ctest -LE soak`);
// the full test command runs them.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <thread>

#include "helpers/site_test.h"
#include "log.h"
#include "platform/children.h"
#include "platform/platform.h"

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
using tests::Background;
using tests::Count;
using tests::ReadFile;
using tests::Result;
using tests::Site;

using Soak = tests::SiteTest;

// A storm of pause and continue signals, then a stop. The kernel merges a
// signal with the same one still pending (sent before the service's handler
// took the first), so fewer requests than signals may arrive; every request
// that arrived is logged, runs to its end, in order.
TEST_F(Soak, ARequestStormIsHandledInFullAndAccountedFor) {
  site.Ombrel("[start]\n1=recorder start\n[stop]\n1=recorder stop\n[bases4GL]\nuno=1\ndos=2\n");
  Background service(site.program(), {}, Env());
  ASSERT_TRUE(Served(1, 10s)) << service.Err();
  for (int i = 0; i < 1000; ++i) service.Signal(i % 2 == 0 ? SIGUSR1 : SIGUSR2);
  service.Signal(SIGTERM);
  Result r = service.Finish(120s);
  EXPECT_EQ(r.status, 0);
  const int received = Count(r.err, "request received");
  const int begun = Count(r.err, ": begins");
  const int done = Count(r.err, ": done in");
  // (Dropped: cancelled by the next, the same as the one queued, or left
  // when the stop came.)
  const int dropped = Count(r.err, ") dropped: ");
  EXPECT_GE(received, 3);
  EXPECT_LE(received, 1002);
  EXPECT_EQ(begun + dropped, received);
  EXPECT_EQ(done, begun);
  EXPECT_EQ(static_cast<int>(site.Launched().size()), 2 * begun) << "a launch lost or doubled";
  testing::Test::RecordProperty("requests_taken_of_1002_signals", received);
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
TEST_F(Soak, SoakOfPauseAndContinueLeaksNothing) {
  int cycles = kSanitized ? 200 : 1000;
  if (const char* env = std::getenv("OSTRIM_SOAK_CYCLES")) cycles = std::atoi(env);
  std::string ombrel =
      "[arranque]\n1=T_SOAK=1\n[start]\n1=recorder start\n[stop]\n1=recorder stop\n"
      "[bases4GL]\n";
  for (int i = 0; i < 10; ++i) ombrel += "b" + std::to_string(i) + "=b" + std::to_string(i) + "\n";
  site.Ombrel(ombrel);
  tests::NotifySocket notify;
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
  testing::Test::RecordProperty("rss_kb_at_cycle_10", static_cast<int>(early.rss_kb));
  testing::Test::RecordProperty("rss_kb_at_end", static_cast<int>(late.rss_kb));
}

int OpenDescriptors() {
  int fds = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++fds;
  return fds;
}

// Ten thousand engines left running, at the default limit of 1024
// descriptors: each is launched and given its bounded wait (here 0 ms, where
// the service gives 2500 ms: the same code path, ten thousand times faster),
// then watched by pid alone. Stopped all at once, every one is reaped, and
// nothing is held afterwards.
TEST(SoakChildren, TenThousandEnginesLeftRunningHoldNoDescriptors) {
  int engines = kSanitized ? 2000 : 10000;
  if (const char* env = std::getenv("OSTRIM_SOAK_ENGINES")) engines = std::atoi(env);
  struct rlimit old_limit {};
  ::getrlimit(RLIMIT_NOFILE, &old_limit);
  struct rlimit limit = old_limit;
  limit.rlim_cur = std::min<rlim_t>(1024, old_limit.rlim_max);
  ::setrlimit(RLIMIT_NOFILE, &limit);

  std::string captured;
  log::SetCapture(&captured);
  std::unique_ptr<platform::ChildWatch> watch = platform::CreateChildWatch();
  // A first launch opens what every launch shares (/dev/null for stdin).
  ASSERT_TRUE(platform::Launch("/bin/true", *watch).Wait(std::nullopt).has_value());
  const int fds_before = OpenDescriptors();
  std::vector<std::int64_t> pids;
  const auto launch_begin = std::chrono::steady_clock::now();
  for (int i = 0; i < engines; ++i) {
    platform::Process engine = platform::Launch("/bin/sleep 600", *watch, {"engine", "4GL", ""});
    ASSERT_FALSE(engine.Wait(0ms).has_value());
    pids.push_back(engine.Id());
  }
  const double launch_s =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - launch_begin).count();
  EXPECT_EQ(watch->Watched(), static_cast<std::size_t>(engines));
  EXPECT_EQ(OpenDescriptors(), fds_before) << "watching engines costs descriptors";

  const auto stop_begin = std::chrono::steady_clock::now();
  for (std::int64_t pid : pids) ::kill(static_cast<pid_t>(pid), SIGKILL);
  // A stop command's wait, as the stop sequence makes it: every engine that
  // ends meanwhile is reaped and logged.
  platform::Process stop = platform::Launch("/bin/true", *watch, {"engine", "stop", ""});
  ASSERT_TRUE(stop.Wait(std::nullopt).has_value());
  for (int i = 0; i < 2000 && watch->Watched() > 0; ++i) {
    watch->ReapEnded();
    std::this_thread::sleep_for(5ms);
  }
  const double reap_s =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - stop_begin).count();
  log::SetCapture(nullptr);
  ::setrlimit(RLIMIT_NOFILE, &old_limit);

  EXPECT_EQ(watch->Watched(), 0u);
  EXPECT_EQ(Count(captured, "ended: killed by signal 9"), engines);
  EXPECT_EQ(OpenDescriptors(), fds_before);
  const std::string children =
      ReadFile("/proc/self/task/" + std::to_string(::getpid()) + "/children");
  EXPECT_EQ(children.find_first_not_of(' '), std::string::npos) << "zombies: " << children;
  testing::Test::RecordProperty("engines", engines);
  testing::Test::RecordProperty("launch_ms", static_cast<int>(launch_s * 1000));
  testing::Test::RecordProperty("kill_and_reap_ms", static_cast<int>(reap_s * 1000));
  std::printf("%d engines: launched in %.2f s, killed and reaped in %.2f s, %d descriptors held\n",
              engines, launch_s, reap_s, OpenDescriptors());
}

}  // namespace
}  // namespace ostrim
