// The service under faults, request storms and long uptime: it keeps
// serving, loses no request it took, and leaks nothing.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <thread>

#include "helpers/test_support.h"

namespace ostrim {
namespace {

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
      "[bases4GL]\nforks=forks @fork\ndeaf=deaf @ignore-term @close-stdout @sleep=60000\n");
  Background service(site.program(), {}, Env());
  ASSERT_TRUE(service.WaitForErr("request start: done", 20s)) << service.Err();
  // The forking one is seen to end although its child holds our stderr for
  // 3 s more, longer than the 2500 ms wait: the wait is on the child, not on
  // a pipe.
  const std::string err = service.Err();
  const std::size_t at = err.find(": \"recorder start forks @fork -z\"");
  ASSERT_NE(at, std::string::npos) << err;
  const std::string pid = err.substr(err.rfind(' ', at) + 1, at - err.rfind(' ', at) - 1);
  EXPECT_NE(err.find("pid " + pid + " ended: exit status 0"), std::string::npos) << err;
  EXPECT_EQ(err.find("pid " + pid + " still running"), std::string::npos) << err;
  service.Signal(SIGTERM);
  // The service neither waits for the deaf one (it runs for a minute) nor
  // kills it.
  Result r = service.Finish(30s);
  EXPECT_EQ(r.status, 0) << r.err;
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
