// The service under faults, request storms and long uptime: it keeps
// serving, loses no request it took, and leaks nothing.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <thread>

#include "helpers/site_test.h"

namespace ostrim {
namespace {

using namespace std::chrono_literals;
using tests::Background;
using tests::Count;
using tests::ReadFile;
using tests::Result;
using tests::RunProgram;
using tests::Site;

using Faults = tests::SiteTest;

// Spawning fails for want of processes: each launch is logged with the
// reason, the sequence goes on, and a start that could launch nothing fails
// (exit status 1) instead of serving nothing.
TEST_F(Faults, SpawnFailuresAreLoggedAndAStartOfNothingFails) {
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
  Result r = RunProgram("/usr/bin/prlimit",
                        {"--nproc=1:1", "/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                         "--clear-groups", site.program()},
                        env);
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(Count(r.err, "error: launch failed: "), 2) << r.err;
  EXPECT_EQ(Count(r.err, "Resource temporarily unavailable"), 2) << r.err;
  EXPECT_NE(r.err.find("request start failed: none of its 2 command lines could be launched"),
            std::string::npos)
      << r.err;
}

TEST_F(Faults, ProfilesChangingUnderTheServiceAreReadAsTheyAre) {
  const std::string full =
      "[start]\n1=recorder start\n[stop]\n1=recorder stop\n[bases4GL]\nuno=1\ndos=2\n";
  site.Ombrel(full);
  Background service(site.program(), {}, Env());
  ASSERT_TRUE(Served(1, 10s)) << service.Err();
  site.Ombrel("");  // truncated
  service.Signal(SIGUSR1);
  ASSERT_TRUE(Served(2, 10s));
  std::filesystem::remove(site / "Ombrel.ini");
  std::filesystem::create_directory(site / "Ombrel.ini");  // replaced by a directory
  service.Signal(SIGUSR2);  // a continue without its profile fails, and runs nothing
  ASSERT_TRUE(service.WaitForErr("request continue: failed", 10s));
  std::filesystem::remove(site / "Ombrel.ini");
  site.Ombrel(std::string("\0\xff\xfe garbage\0[", 14) + full);  // binary garbage in front
  service.Signal(SIGTERM);
  Result r = service.Finish();
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.err.find("Ombrel.ini cannot be read: it is a directory"), std::string::npos) << r.err;
  EXPECT_EQ(site.Launched(),
            (std::vector<std::string>{"start|1|-z", "start|2|-z", "stop|1", "stop|2"}));
}

// Mended: with Ombrel.ini missing or unreadable, a pause or stop "stopped"
// each database this service had started by running the first word of its
// value as the program (a database named after a system tool ran it, as
// root), and a start ran nothing and said "done". Now each fails, saying
// why, and runs nothing.
TEST_F(Faults, WithoutItsProfileNothingRunsAndEachRequestFails) {
  const std::string ombrel =
      "[start]\n1=recorder start\n[stop]\n1=recorder stop\n[bases4GL]\nventas=ventas\n";
  const auto hide = [&](bool as_directory) {
    std::filesystem::remove(site / "Ombrel.ini");
    if (as_directory) std::filesystem::create_directory(site / "Ombrel.ini");
  };
  for (const bool as_directory : {false, true}) {
    SCOPED_TRACE(as_directory ? "Ombrel.ini a directory" : "Ombrel.ini missing");
    std::filesystem::remove_all(site / "Ombrel.ini");
    std::filesystem::remove(site.log());
    site.Ombrel(ombrel);
    Background service(site.program(), {}, Env());
    ASSERT_TRUE(Served(1, 10s)) << service.Err();
    hide(as_directory);
    Result pause = Run("-PAUSE");
    EXPECT_EQ(pause.status, 1);
    EXPECT_NE(pause.out.find("nothing was stopped"), std::string::npos) << pause.out;
    EXPECT_EQ(Status()["state"].text, "running");  // a failed pause leaves it as it was
    service.Signal(SIGTERM);
    Result stop = service.Finish();
    EXPECT_EQ(stop.status, 0);  // the service still ends, having said why it stopped nothing
    EXPECT_NE(stop.err.find("request stop failed: profile " + site / "Ombrel.ini"),
              std::string::npos)
        << stop.err;
    EXPECT_EQ(site.Launched(), (std::vector<std::string>{"start|ventas|-z"}));  // nothing more

    Result start = tests::RunProgram(site.program(), {}, Env());
    EXPECT_EQ(start.status, 1) << start.err;
    EXPECT_NE(start.err.find("; nothing was started"), std::string::npos) << start.err;
    EXPECT_EQ(site.Launched(), (std::vector<std::string>{"start|ventas|-z"}));
  }
}

// Mended: a line removed from [arranque] stayed in force after the next
// pause and continue (an LD_PRELOAD taken out went on being loaded). Each
// start's environment is the service's own at start-up plus the lines in
// effect now.
TEST_F(Faults, RemovedEnvironmentLinesStopApplyingAtTheNextStart) {
  auto profile = [&](const std::string& arranque) {
    site.Ombrel("[arranque]\n" + arranque +
                "[start]\n1=recorder start\n[stop]\n1=recorder stop\n[bases4GL]\nuno=1\n");
  };
  profile("1=T_MARK=old\n2=T_ORIG=line\n");
  auto env = Env();
  env.emplace_back("T_ORIG", "service");  // the service's own, overridden by a line
  Background service(site.program(), {}, env);
  ASSERT_TRUE(Served(1, 10s)) << service.Err();
  for (const char* arranque : {"", "1=T_MARK=new\n"}) {
    profile(arranque);
    EXPECT_EQ(Run("-PAUSE").status, 0);
    EXPECT_EQ(Run("-CONTINUE").status, 0);
  }
  service.Signal(SIGTERM);
  EXPECT_EQ(service.Finish().status, 0);
  // What each start's launch saw of the T_ variables, in any order.
  std::vector<std::string> seen;
  for (const auto& rec : site.Records()) {
    if (rec[0] != "begin" || rec[3].rfind("start", 0) != 0) continue;
    std::vector<std::string> vars;
    std::stringstream in(rec[4]);
    for (std::string v; std::getline(in, v, ';');) vars.push_back(v);
    std::sort(vars.begin(), vars.end());
    std::string joined;
    for (const std::string& v : vars) joined += (joined.empty() ? "" : ";") + v;
    seen.push_back(joined);
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"T_MARK=old;T_ORIG=line", "T_ORIG=service",
                                            "T_MARK=new;T_ORIG=service"}));
}

// Children that misbehave in the ways engines do.
TEST_F(Faults, ChildrenThatForkIgnoreSigtermOrCloseTheirOutput) {
  site.Ombrel(
      "[start]\n1=recorder start\n[stop]\n1=recorder stop\n"
      "[bases4GL]\nforks=forks @fork\ndeaf=deaf @ignore-term @close-stdout @sleep=60000\n");
  Background service(site.program(), {}, Env());
  ASSERT_TRUE(Served()) << service.Err();
  // The forking one is seen to end although its child holds our stderr for
  // 3 s more, longer than the 2500 ms wait: the wait is on the child, not on
  // a pipe.
  const std::string err = service.Err();
  const std::size_t at = err.find(": forks, 4GL: \"recorder start forks @fork -z\"");
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
  ASSERT_TRUE(Served(1, 10s)) << service.Err();
  service.Signal(SIGUSR1);
  ASSERT_TRUE(service.WaitForErr("\"recorder stop @sleep=5600 1\"", 10s));
  site.Ombrel("[start]\n1=recorder start\n[stop]\n1=recorder stop\n[bases4GL]\nuno=1\n");
  service.Signal(SIGUSR2);  // waits for the pause to end
  ASSERT_TRUE(Served(3, 15s)) << service.Err();
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
  site.Ombrel("[start]\n1=recorder start\n[stop]\n1=recorder stop\n[bases4GL]\nuno=1\n");
  ::chmod(site.path().c_str(), 0755);
  ::chmod((site / "Ombrel.ini").c_str(), 0644);
  Result r = tests::RunProgram(site.program(), {"-CHECK"});
  EXPECT_EQ(Count(r.err, "whoever can change it can run commands as root"), 0) << r.err;

  ::chmod((site / "Ombrel.ini").c_str(), 0666);
  ::chmod(site.path().c_str(), 0775);
  r = tests::RunProgram(site.program(), {"-CHECK"});
  EXPECT_NE(r.err.find(site / "Ombrel.ini can be written by anyone (fix: chmod go-w"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find(site.path() + " can be written by its group"), std::string::npos) << r.err;
  // Unsafe: the service refuses to read them, so the start would fail.
  EXPECT_EQ(r.status, 1);
}

// As root, each start and stop program and every directory above it: one
// that others than root can write lets them run commands as root at the
// next start. -CHECK says each with its fix, and the status is 3 (the
// launch refuses it with the same words).
TEST_F(Faults, ProgramsOthersCanChangeAreSaidByCheck) {
  if (::geteuid() != 0) GTEST_SKIP() << "the check concerns a service running as root";
  ::chmod(site.path().c_str(), 0755);
  std::filesystem::create_directories(site / "bin");
  std::filesystem::copy_file(RECORDER_BINARY, site / "bin/arranca");
  site.Ombrel("[start]\n1=" + site / "bin/arranca" +
              " start\n[stop]\n1=recorder stop\n"
              "[bases4GL]\nuno=1\n");
  struct Case {
    mode_t file, directory;
    int status;
    std::string said;  // on standard error; empty: nothing at all
  };
  const Case cases[] = {
      {0755, 0755, 0, ""},
      {0777, 0755, 3,
       site / "bin/arranca" + " can be written by anyone (fix: chmod go-w " + site / "bin/arranca" +
           "): whoever can change it can run commands as root"},
      {0755, 0775, 3,
       site / "bin" + " can be written by its group (fix: chmod go-w " + site / "bin" +
           "): whoever can change it can replace " + site / "bin/arranca" + ", which runs as root"},
      {0755, 01777, 0, ""},  // sticky, as /tmp: root's program in it is safe
  };
  for (const Case& c : cases) {
    ::chmod((site / "bin/arranca").c_str(), c.file);
    ::chmod((site / "bin").c_str(), c.directory);
    Result r = tests::RunProgram(site.program(), {"-CHECK"});
    EXPECT_EQ(r.status, c.status) << r.err;
    if (c.said.empty()) {
      EXPECT_EQ(r.err, "");
    } else {
      EXPECT_NE(r.err.find("ostrim: " + site / "Ombrel.ini" + " [start] 1: cannot run \"" +
                           site / "bin/arranca" + "\": " + c.said + "\n"),
                std::string::npos)
          << r.err;
    }
  }
}

// Started with standard descriptors closed, the service opens nothing in
// their place: its log never lands in its own request pipe (where each
// newline would read as SIGUSR1), and SIGTERM is acted on.
TEST_F(Faults, ClosedStandardDescriptorsAreNotTakenOver) {
  site.Ombrel("[start]\n1=recorder start\n[stop]\n1=recorder stop\n[bases4GL]\nuno=1\ndos=2\n");
  const tests::Streams cases[] = {
      {tests::Streams::kCollect, tests::Streams::kClosed, tests::Streams::kClosed},
      {tests::Streams::kClosed, tests::Streams::kCollect, tests::Streams::kClosed},
  };
  for (const tests::Streams& streams : cases) {
    std::filesystem::remove(site.log());
    Background service(site.program(), {}, Env(), streams);
    ASSERT_TRUE(site.WaitForLaunches(2, 20s));
    service.Signal(SIGTERM);
    Result r = service.Finish(20s);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(site.Launched(),
              (std::vector<std::string>{"start|1|-z", "start|2|-z", "stop|1", "stop|2"}));
  }
}

// Engines left running cost no descriptor: at a limit of 8 descriptors,
// every launch runs and is waited for, none blocks past its 2500 ms, and the
// stop follows at once.
TEST_F(Faults, EnginesLeftRunningCostNoDescriptor) {
  if (!std::filesystem::exists("/usr/bin/prlimit")) GTEST_SKIP() << "needs prlimit";
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizers' runtime needs descriptors of its own (its vptr check opens a "
                  "pipe); the 10,000-engine soak covers this build";
#endif
  site.Ombrel(
      "[start]\n1=recorder start\n[stop]\n1=recorder stop\n"
      "[bases4GL]\nuno=1 @sleep=30000\ndos=2 @sleep=30000\ntres=3 @sleep=30000\n");
  auto env = Env();
  env.emplace_back("ASAN_OPTIONS", "detect_leaks=0");  // LeakSanitizer needs descriptors
  // Nine: the standard three, the event pipe (two), the guard, the control
  // socket, /dev/null for the children's input, and one for a profile read.
  Background service("/usr/bin/prlimit", {"--nofile=9:9", site.program()}, env);
  // Its log, not -STATUS: with every descriptor taken, asking would take the
  // one a launch needs.
  ASSERT_TRUE(service.WaitForErr("request start: done", 30s)) << service.Err();
  service.Signal(SIGTERM);
  Result r = service.Finish(30s);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Count(r.err, "still running after 2.500 s: left running"), 3) << r.err;
  EXPECT_EQ(Count(r.err, "launch failed"), 0) << r.err;
  EXPECT_EQ(Count(r.err, "request stop: done"), 1) << r.err;
  // The stop did not wait for the engines: they still run.
  int running = 0;
  for (const auto& rec : site.Records()) {
    if (rec[0] == "begin" && rec[3].rfind("start", 0) == 0) {
      running += ::kill(std::stoi(rec[2]), 0) == 0;
      ::kill(std::stoi(rec[2]), SIGKILL);
    }
  }
  EXPECT_EQ(running, 3);
}

// A log nobody reads (a stalled journal) never stops the service: lines wait
// in a bounded backlog, then are dropped and counted, and the count is
// logged when the reader comes back.
TEST_F(Faults, AStalledLogReaderDoesNotStopTheService) {
  // Far more log than a pipe and the backlog hold: two lines of about 80
  // bytes per launch, some 128 KB at the start alone, beside a 4 KiB pipe
  // and a 64 KiB backlog.
  constexpr int kBases = 800;
  std::string ombrel = "[start]\n1=recorder start\n[stop]\n1=recorder stop\n[bases4GL]\n";
  for (int i = 0; i < kBases; ++i) ombrel += "b" + std::to_string(i) + "=x\n";
  site.Ombrel(ombrel);
  int log_pipe[2];
  ASSERT_EQ(::pipe2(log_pipe, O_CLOEXEC), 0);
  // One page: the pipe fills whatever the system's default size.
  ASSERT_GE(::fcntl(log_pipe[1], F_SETPIPE_SZ, 4096), 0);
  Background service(site.program(), {}, Env(),
                     {tests::Streams::kCollect, tests::Streams::kCollect, log_pipe[1]});
  ::close(log_pipe[1]);
  // Nobody reads the log while the whole start runs.
  EXPECT_TRUE(site.WaitForLaunches(kBases, 60s)) << site.Launched().size() << " launched";

  // The reader comes back, and a pause makes more log.
  std::string read;
  std::thread reader([&] {
    char buffer[65536];
    for (ssize_t n; (n = ::read(log_pipe[0], buffer, sizeof buffer)) > 0;) {
      read.append(buffer, static_cast<std::size_t>(n));
    }
  });
  service.Signal(SIGUSR1);
  EXPECT_TRUE(site.WaitForLaunches(2 * kBases, 60s));
  service.Signal(SIGTERM);
  Result r = service.Finish(120s);
  reader.join();
  ::close(log_pipe[0]);
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(read.find(" log lines dropped: the log's reader did not take them in time"),
            std::string::npos);
  EXPECT_NE(read.find("request stop: done"), std::string::npos);
  EXPECT_EQ(static_cast<int>(site.Launched().size()), 3 * kBases)
      << read.substr(read.size() > 4000 ? read.size() - 4000 : 0);
}

// Each request sees one version of each profile file: the first launch
// replaces Ombrel.ini, and the rest of the start still comes from the
// version it began with; the stop, a new request, reads the new one.
TEST_F(Faults, ARequestReadsEachProfileOnce) {
  site.Ombrel("[start]\n1=recorder start\n[stop]\n1=recorder stop\n[bases4GL]\na=a @replace=" +
              site / "v2.ini" + ":" + site / "Ombrel.ini" + "\nb=b1\nc=c1\n");
  tests::WriteFile(site / "v2.ini",
                   "[start]\n1=recorder other\n[stop]\n1=recorder stop2\n"
                   "[bases4GL]\na=a2\nb=b2\nc=c2\n");
  Result r = StartThenStop(tests::ReadFile(site / "Ombrel.ini"));
  EXPECT_EQ(r.status, 0);
  const std::vector<std::string> launched = site.Launched();
  ASSERT_EQ(launched.size(), 6u) << r.err;
  EXPECT_EQ(launched[1], "start|b1|-z");
  EXPECT_EQ(launched[2], "start|c1|-z");
  EXPECT_EQ(std::vector<std::string>(launched.begin() + 3, launched.end()),
            (std::vector<std::string>{"stop2|a2", "stop2|b2", "stop2|c2"}));
}

// A notification socket that is not there is reported once, not at every
// message.
TEST_F(Faults, AMissingNotifySocketIsReportedOnce) {
  auto env = Env();
  env.emplace_back("NOTIFY_SOCKET", site / "no-such-socket");
  site.Ombrel("[start]\n1=recorder start\n[stop]\n1=recorder stop\n[bases4GL]\nuno=1\ndos=2\n");
  Background service(site.program(), {}, env);
  ASSERT_TRUE(Served()) << service.Err();
  // State messages too (STOPPING, READY, the status at a request's end):
  // one warning for the one failure, never an error per message.
  EXPECT_EQ(Run("-PAUSE").status, 0);
  EXPECT_EQ(Run("-CONTINUE").status, 0);
  service.Signal(SIGTERM);
  Result r = service.Finish();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(Count(r.err, "cannot notify the service manager"), 1) << r.err;
  EXPECT_EQ(Count(r.err, "could not tell the service manager"), 0) << r.err;
}

}  // namespace
}  // namespace ostrim
