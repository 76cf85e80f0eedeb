// The process launcher, seen from the children it starts (the recorder
// helper) and from the log.
#include "modSubProceso.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <thread>

#include "Torvale.h"
#include "helpers/test_support.h"
#include "log.h"
#include "platform/children.h"
#include "platform/platform.h"

namespace ostrim {
namespace {

using namespace std::chrono_literals;
using tests::ReadFile;
using tests::TempDir;

class LauncherTest : public testing::Test {
 protected:
  void SetUp() override {
    ::setenv("RECORDER_LOG", (dir / "record.log").c_str(), 1);
    log::SetCapture(&logged);
  }
  void TearDown() override {
    log::SetCapture(nullptr);
    ::unsetenv("RECORDER_LOG");
  }
  std::string Recorded() { return ReadFile(dir / "record.log"); }
  static double SecondsSince(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
  }

  TempDir dir;
  std::string logged;
  const std::string recorder = RECORDER_BINARY;
  std::unique_ptr<platform::ChildWatch> hijos = platform::CreateChildWatch();
};

// What the child sees of itself: the Windows child gets no console and
// inherits no handle, whatever the service holds or blocks.
TEST_F(LauncherTest, ChildGetsNoTerminalNoDescriptorsAndDefaultSignals) {
  int leaked = ::open("/dev/null", O_RDONLY);  // no close-on-exec: must not reach the child
  ASSERT_GE(leaked, 3);
  sigset_t blocked, old;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGUSR1);
  sigaddset(&blocked, SIGTERM);
  ::sigprocmask(SIG_BLOCK, &blocked, &old);
  auto old_usr2 = ::signal(SIGUSR2, SIG_IGN);

  modSubProceso::EjecutaProcesoEspera(recorder + " @probe=" + (dir / "probe"), *hijos);

  ::signal(SIGUSR2, old_usr2);
  ::sigprocmask(SIG_SETMASK, &old, nullptr);
  ::close(leaked);
  std::string probe = ReadFile(dir / "probe");
  EXPECT_NE(probe.find("sid_is_pid=1"), std::string::npos) << probe;
  EXPECT_NE(probe.find("has_ctty=0"), std::string::npos) << probe;
  EXPECT_NE(probe.find("stdin=/dev/null"), std::string::npos) << probe;
  EXPECT_NE(probe.find("fds=0,1,2,\n"), std::string::npos) << probe;
  EXPECT_NE(probe.find("SigBlk:\t0000000000000000"), std::string::npos) << probe;
  // glibc's posix_spawn leaves its two internal signals (32 and 33) ignored;
  // they are reserved to the C library, and no program can use them.
  std::size_t ignored = probe.find("SigIgn:\t");
  ASSERT_NE(ignored, std::string::npos) << probe;
  unsigned long long mask = std::stoull(probe.substr(ignored + 8, 16), nullptr, 16);
  EXPECT_EQ(mask & ~0x180000000ULL, 0u) << probe;
}

TEST_F(LauncherTest, BoundedWaitReturnsWhenTheChildEnds) {
  modSubProceso::EjecutaProceso(recorder + " fast", *hijos);
  EXPECT_EQ(tests::Count(Recorded(), "\tfast\t"), 1);
  EXPECT_NE(logged.find("ended: exit status 0"), std::string::npos) << logged;
  EXPECT_EQ(logged.find("still running"), std::string::npos) << logged;
}

TEST_F(LauncherTest, BoundedWaitLeavesALongChildRunningAndReapsItLater) {
  auto start = std::chrono::steady_clock::now();
  modSubProceso::EjecutaProceso(recorder + " @sleep=4000", *hijos);
  EXPECT_GE(SecondsSince(start), 2.4);
  EXPECT_EQ(hijos->Watched(), 1u);
  EXPECT_EQ(tests::Count(Recorded(), "end\t"), 0);  // returned while it still runs
  EXPECT_NE(logged.find("still running after 2.500 s"), std::string::npos) << logged;

  for (int i = 0; i < 1500 && hijos->Watched() > 0; ++i) {
    std::this_thread::sleep_for(20ms);
    hijos->ReapEnded();
  }
  EXPECT_EQ(hijos->Watched(), 0u);
  EXPECT_EQ(tests::Count(Recorded(), "end\t"), 1);
  EXPECT_NE(logged.find("ended: exit status 0 after "), std::string::npos) << logged;
}

TEST_F(LauncherTest, UnboundedWaitWaitsForTheEnd) {
  auto start = std::chrono::steady_clock::now();
  modSubProceso::EjecutaProcesoEspera(recorder + " @sleep=2800 @exit=3", *hijos);
  EXPECT_GE(SecondsSince(start), 2.8);
  EXPECT_EQ(tests::Count(Recorded(), "end\t"), 1);
  EXPECT_NE(logged.find("ended: exit status 3"), std::string::npos) << logged;
}

TEST_F(LauncherTest, FailedLaunchesAreLoggedAndReturnAtOnce) {
  tests::WriteFile(dir / "not-executable", "#!/bin/sh\n");
  struct Case {
    std::string line;
    std::string reason;
  };
  const Case cases[] = {
      {"/nonexistent/arranca base1 -z", "No such file or directory"},
      {dir / "not-executable" + " a", "not executable"},
      {dir.path() + " a", "it is a directory"},
      {"no-such-program-anywhere a", "not found in the program directory or in PATH"},
      {"", "names no program"},
      {"   ", "names no program"},
      {"\"\" base1 -z", "names no program"},
  };
  for (const Case& c : cases) {
    logged.clear();
    modSubProceso::EjecutaProceso(c.line, *hijos);
    modSubProceso::EjecutaProcesoEspera(c.line, *hijos);
    EXPECT_EQ(tests::Count(logged, "launch failed"), 2) << logged;
    EXPECT_NE(logged.find(c.reason), std::string::npos) << c.line << ": " << logged;
  }
}

TEST_F(LauncherTest, ChildSeesTheServicesEnvironment) {
  platform::SetEnvironmentVariable("T_DBDIR", "/datos/base");
  modSubProceso::EjecutaProcesoEspera(recorder + " env", *hijos);
  ::unsetenv("T_DBDIR");
  EXPECT_NE(Recorded().find("T_DBDIR=/datos/base"), std::string::npos) << Recorded();
}

TEST_F(LauncherTest, FindsProgramsInDirectoriesWithBlanksAndOnPathButNotHere) {
  std::filesystem::create_directories(dir / "Mis Bases");
  std::filesystem::copy_file(recorder, dir / "Mis Bases/arranca");
  modSubProceso::EjecutaProcesoEspera(dir / "Mis Bases/arranca" + " base1 \"two words\" -z",
                                      *hijos);
  EXPECT_NE(Recorded().find("\tbase1|two words|-z\t"), std::string::npos) << Recorded();

  // A bare name is looked up on PATH, never in the current directory.
  std::filesystem::create_directories(dir / "bin");
  std::filesystem::copy_file(recorder, dir / "bin/on-path");
  std::filesystem::copy_file(recorder, dir / "here-only");
  std::string old_path = std::getenv("PATH");
  auto old_cwd = std::filesystem::current_path();
  ::setenv("PATH", (dir / "bin" + ":.:").c_str(), 1);
  std::filesystem::current_path(dir.path());
  modSubProceso::EjecutaProcesoEspera("on-path found", *hijos);
  modSubProceso::EjecutaProcesoEspera("here-only not-found", *hijos);
  std::filesystem::current_path(old_cwd);
  ::setenv("PATH", old_path.c_str(), 1);
  EXPECT_NE(Recorded().find("\tfound\t"), std::string::npos);
  EXPECT_EQ(Recorded().find("not-found"), std::string::npos);
  EXPECT_NE(logged.find("not found in the program directory or in PATH"), std::string::npos);
}

// Within one request a program is judged once, and what was judged is the
// file it was then: a program changed between two launches of the request
// is judged again, and refused as the next request would refuse it.
TEST_F(LauncherTest, AProgramChangedWithinARequestIsJudgedAgain) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root: only a root service judges owners";
  namespace fs = std::filesystem;
  const std::string program = dir / "arranca";
  const std::string theirs = dir / "theirs";
  auto nobodys_copy = [&](const std::string& path) {
    fs::copy_file(recorder, path, fs::copy_options::overwrite_existing);
    ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0);
  };
  struct Case {
    const char* what;
    std::function<void()> change;
    std::string refused;  // why the second launch is refused; empty: it runs
  };
  const Case cases[] = {
      {"left as it was", [] {}, ""},
      {"given to another user", [&] { ASSERT_EQ(::chown(program.c_str(), 65534, 65534), 0); },
       program + " is owned by uid 65534"},
      {"made writable by its group", [&] { ASSERT_EQ(::chmod(program.c_str(), 0775), 0); },
       program + " can be written by its group"},
      {"replaced by another user's file",
       [&] {
         nobodys_copy(theirs);
         fs::rename(theirs, program);
       },
       program + " is owned by uid 65534"},
      {"replaced by a link to another user's file",
       [&] {
         nobodys_copy(theirs);
         fs::remove(program);
         fs::create_symlink(theirs, program);
       },
       theirs + " is owned by uid 65534"},
      {"removed", [&] { fs::remove(program); }, "No such file or directory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove(program);
    fs::remove(theirs);
    fs::remove(dir / "record.log");
    fs::copy_file(recorder, program);
    logged.clear();
    {
      platform::TrustView request;
      modSubProceso::EjecutaProcesoEspera(program + " first", *hijos);
      c.change();
      modSubProceso::EjecutaProcesoEspera(program + " second", *hijos);
    }
    EXPECT_NE(Recorded().find("\tfirst\t"), std::string::npos) << logged;
    if (c.refused.empty()) {
      EXPECT_NE(Recorded().find("\tsecond\t"), std::string::npos) << logged;
    } else {
      EXPECT_EQ(Recorded().find("\tsecond\t"), std::string::npos) << "it ran: " << logged;
      EXPECT_NE(logged.find(c.refused), std::string::npos) << logged;
    }
  }
}

TEST_F(LauncherTest, ChildKilledBySignalIsLoggedAsSuch) {
  modSubProceso::EjecutaProceso("/bin/sh -c \"kill -TERM $$\"", *hijos);
  EXPECT_NE(logged.find("killed by signal 15"), std::string::npos) << logged;
}

TEST(VariableEntorno, SetsTheServicesOwnEnvironment) {
  Torvale form(nullptr);
  std::string line = "SET OSTRIM_TEST_VAR=uno dos";
  form.variableEntorno(line);
  EXPECT_EQ(line, "OSTRIM_TEST_VAR=uno dos");
  ASSERT_NE(std::getenv("OSTRIM_TEST_VAR"), nullptr);
  EXPECT_STREQ(std::getenv("OSTRIM_TEST_VAR"), "uno dos");
}

}  // namespace
}  // namespace ostrim
