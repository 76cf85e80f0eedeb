// The program as the operator and systemd see it: its command line,
// registration, and signals delivered as requests.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>

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
using tests::TempDir;

TEST(CommandLine, ActsOnTheWholeArgumentTextInAnyCase) {
  Site site;
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string out, err;
  };
  const Case cases[] = {
      {{"--help"}, 0, "usage: ostrim", ""},
      // The log levels there are, so that nobody has to guess one.
      {{"-h"},
       0,
       "OSTRIM_LOG_LEVEL sets how much the service logs: error, warning, notice, info, debug "
       "(info if unset)",
       ""},
      {{"-H"}, 0, "usage: ostrim", ""},
      {{"--Version"}, 0, "ostrim 0.", ""},
      // Mended: anything else is reported and ends the program, instead of
      // leaving it idle and invisible.
      {{"bogus"}, 2, "", "unknown argument \"BOGUS\""},
      {{"-INSTALL", "now"}, 2, "", "unknown argument \"-INSTALL NOW\""},
      {{"-install", ""}, 2, "", "unknown argument \"-INSTALL \""},
  };
  for (const Case& c : cases) {
    Result r = RunProgram(site.program(), c.args, {{"OSTRIM_INSTALL_ROOT", site / "root"}});
    EXPECT_EQ(r.status, c.status) << c.args[0];
    // An empty expectation means that nothing at all is written there.
    if (c.out.empty()) {
      EXPECT_EQ(r.out, "") << c.args[0];
    } else {
      EXPECT_NE(r.out.find(c.out), std::string::npos) << r.out;
    }
    if (c.err.empty()) {
      EXPECT_EQ(r.err, "") << c.args[0];
    } else {
      EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    }
  }
  EXPECT_FALSE(std::filesystem::exists(site / "root"));  // nothing registered
}

TEST(Registration, InstallsEnablesAndRemovesTheUnit) {
  Site site;
  const tests::Environment root = {{"OSTRIM_INSTALL_ROOT", site / "root"}};
  const std::string unit = site / "root/etc/systemd/system/ostrim.service";
  const std::string link = site / "root/etc/systemd/system/multi-user.target.wants/ostrim.service";

  Result r = RunProgram(site.program(), {"-Install"}, root);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("installed"), std::string::npos) << r.out;
  const std::string text = ReadFile(unit);
  for (const std::string& line :
       {std::string("Description=Bases de Datos Tarquesa\n"), std::string("Type=notify\n"),
        "ExecStart=" + site.program() + "\n", std::string("KillMode=process\n"),
        // Brought back after a crash (it adopts its engines), never after a
        // failed start, which would loop.
        std::string("Restart=on-abnormal\n"), std::string("WantedBy=multi-user.target\n")}) {
    EXPECT_NE(text.find(line), std::string::npos) << line << " in\n" << text;
  }
  struct stat st {};
  EXPECT_EQ(::lstat(link.c_str(), &st), 0) << "no enable link";
  if (std::filesystem::exists("/usr/bin/systemd-analyze")) {
    // (--man=no: the manual page need not be installed where the test runs.)
    EXPECT_EQ(std::system(("systemd-analyze verify --man=no " + unit + " >/dev/null 2>&1").c_str()),
              0);
  }

  r = RunProgram(site.program(), {"-INSTALL"}, root);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("updated"), std::string::npos) << r.out;

  r = RunProgram(site.program(), {"-uninstall"}, root);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_FALSE(std::filesystem::exists(unit));
  EXPECT_NE(::lstat(link.c_str(), &st), 0) << "enable link left behind";

  // Mended: a failure is reported, with a non-zero status.
  r = RunProgram(site.program(), {"-UNINSTALL"}, root);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("not installed"), std::string::npos) << r.err;
  r = RunProgram(site.program(), {"-INSTALL"}, {{"OSTRIM_INSTALL_ROOT", "/dev/null"}});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("cannot install the service"), std::string::npos) << r.err;
}

// Mended: a "$" in the program's directory was written "$$", which systemd
// reads back as it is in ExecStart='s path and in a condition: the unit named
// a program that does not exist, and its condition was never true. Each
// directive is written as systemd reads it back.
TEST(Registration, WritesPathsWithBlanksDollarsAndPercentsAsSystemdReadsThem) {
  TempDir dir;
  const std::string folder = dir / "Mis Bases 100% $HOME";
  std::filesystem::create_directories(folder);
  std::filesystem::copy_file(OSTRIM_BINARY, folder + "/ostrim");
  Result r = RunProgram(folder + "/ostrim", {"-INSTALL"}, {{"OSTRIM_INSTALL_ROOT", dir / "r"}});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string unit = dir / "r/etc/systemd/system/ostrim.service";
  const std::string text = ReadFile(unit);
  const std::string exec = "ExecStart=\"" + dir.path() + "/Mis Bases 100%% $HOME/ostrim\"\n";
  const std::string condition =
      "ConditionPathExists=" + dir.path() + "/Mis Bases 100%% $HOME/Ombrel.ini";
  EXPECT_NE(text.find("\n" + exec), std::string::npos) << text;
  EXPECT_NE(text.find("\n" + condition + "\n"), std::string::npos) << text;
  if (!std::filesystem::exists("/usr/bin/systemd-analyze")) return;
  // The program it names exists and can be run...
  EXPECT_EQ(std::system(("systemd-analyze verify --man=no '" + unit + "' >/dev/null 2>&1").c_str()),
            0);
  // ...and its condition holds exactly when the site has its Ombrel.ini.
  const std::string check = "systemd-analyze condition '" + condition + "' >/dev/null 2>&1";
  EXPECT_NE(std::system(check.c_str()), 0);
  tests::WriteFile(folder + "/Ombrel.ini", "");
  EXPECT_EQ(std::system(check.c_str()), 0);
}

// In an image root, the unit names the program as the image's system will
// see it; a program outside the root is named as it is, and said so.
TEST(Registration, NamesTheProgramAsTheImageSeesIt) {
  TempDir image;
  std::filesystem::create_directories(image / "opt/ostrim");
  std::filesystem::copy_file(OSTRIM_BINARY, image / "opt/ostrim/ostrim");
  Result r = RunProgram(image / "opt/ostrim/ostrim", {"-INSTALL"},
                        {{"OSTRIM_INSTALL_ROOT", image.path() + "/"}});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string unit = ReadFile(image / "etc/systemd/system/ostrim.service");
  EXPECT_NE(unit.find("\nExecStart=/opt/ostrim/ostrim\n"), std::string::npos) << unit;
  EXPECT_NE(unit.find("\nConditionPathExists=/opt/ostrim/Ombrel.ini\n"), std::string::npos) << unit;
  EXPECT_EQ(r.out.find("note:"), std::string::npos) << r.out;
  if (std::filesystem::exists("/usr/bin/systemd-analyze")) {
    // The image's own systemd targets, for the verification to resolve.
    std::filesystem::create_directories(image / "usr/lib/systemd/system");
    for (const auto& e : std::filesystem::directory_iterator("/lib/systemd/system")) {
      if (e.path().extension() == ".target") {
        std::filesystem::copy(e.path(),
                              image / ("usr/lib/systemd/system/" + e.path().filename().string()),
                              std::filesystem::copy_options::copy_symlinks);
      }
    }
    EXPECT_EQ(std::system(("systemd-analyze verify --man=no --root=" + image.path() +
                           " /etc/systemd/system/ostrim.service >/dev/null 2>&1")
                              .c_str()),
              0);
  }
  TempDir other;
  r = RunProgram(image / "opt/ostrim/ostrim", {"-INSTALL"},
                 {{"OSTRIM_INSTALL_ROOT", other.path()}});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("note: the program lies outside " + other.path() +
                       ", so the unit names it as " + image.path() + "/opt/ostrim/ostrim"),
            std::string::npos)
      << r.out;
}

// Mended: a program path with a line end would inject directives into the
// unit; one with a quote or a backslash made a unit systemd rejects
// ("Executable name contains special characters") while -INSTALL said
// "installed and enabled". Each is refused, and nothing is written.
TEST(Registration, RefusesAPathAUnitCannotName) {
  struct Case {
    const char* directory;
    const char* why;
  };
  const Case cases[] = {
      {"bad\nExecStartPre=/bin/false", "holds a control character"},
      {"Mis \"Bases\"", "holds a quote, which systemd refuses in a program's path"},
      {"Mis 'Bases'", "holds a quote, which systemd refuses in a program's path"},
      {"Mis\\Bases", "holds a backslash, which systemd refuses in a program's path"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.directory);
    TempDir dir;
    const std::string bad = dir / c.directory;
    std::filesystem::create_directories(bad);
    std::filesystem::copy_file(OSTRIM_BINARY, bad + "/ostrim");
    Result r = RunProgram(bad + "/ostrim", {"-INSTALL"}, {{"OSTRIM_INSTALL_ROOT", dir / "r"}});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(c.why), std::string::npos) << r.err;
    EXPECT_FALSE(std::filesystem::exists(dir / "r/etc/systemd/system/ostrim.service"));
  }
}

// Mended: the unit is written through a temporary file of a unique name,
// created exclusively: a link planted where the old fixed name was is never
// followed, and installs running at once do not trip over each other.
TEST(Registration, WritesTheUnitSafelyAndAtomically) {
  Site site;
  const tests::Environment root = {{"OSTRIM_INSTALL_ROOT", site / "root"}};
  const std::string directory = site / "root/etc/systemd/system";
  std::filesystem::create_directories(directory);
  tests::WriteFile(site / "victim", "untouched\n");
  std::filesystem::create_symlink(site / "victim", directory + "/ostrim.service.tmp");

  std::vector<std::unique_ptr<Background>> installs;
  for (int i = 0; i < 20; ++i) {
    installs.push_back(
        std::make_unique<Background>(site.program(), std::vector<std::string>{"-INSTALL"}, root));
  }
  for (auto& install : installs) {
    Result r = install->Finish(60s);
    EXPECT_EQ(r.status, 0) << r.err;
  }
  EXPECT_EQ(ReadFile(site / "victim"), "untouched\n");
  EXPECT_NE(ReadFile(directory + "/ostrim.service").find("ExecStart="), std::string::npos);
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    const std::string name = entry.path().filename();
    EXPECT_TRUE(name == "ostrim.service" || name == "ostrim.service.tmp" ||
                name == "multi-user.target.wants")
        << "left behind: " << name;
  }
}

// A site whose start and stop commands are the recorder.
class Served : public tests::SiteTest {
 protected:
  void SetUp() override {
    site.Ombrel(
        "[arranque]\n1=SET T_ONE=uno\n2=T_TWO=dos\n"
        "[start]\n1=recorder start\n[stop]\n1=recorder stop\n"
        "[bases4GL]\nventas=ventas -s 5\ncompras=compras\n");
  }
};

TEST_F(Served, SignalsBecomeRequestsInTheOrderTheyArrive) {
  Background service(site.program(), {}, Env());
  ASSERT_TRUE(SiteTest::Served(1, 10s)) << service.Err();
  service.Signal(SIGHUP);
  service.Signal(SIGUSR1);
  ASSERT_TRUE(SiteTest::Served(2, 10s)) << service.Err();
  service.Signal(SIGUSR2);
  ASSERT_TRUE(SiteTest::Served(3, 10s)) << service.Err();
  service.Signal(SIGTERM);
  Result r = service.Finish();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(Begun(r.err), (std::vector<std::string>{"start", "pause", "continue", "stop"}));
  EXPECT_NE(r.err.find("SIGHUP ignored"), std::string::npos);
  EXPECT_EQ(site.Launched(),
            (std::vector<std::string>{"start|ventas|-s|5|-z", "start|compras|-z", "stop|ventas",
                                      "stop|compras", "start|ventas|-s|5|-z", "start|compras|-z",
                                      "stop|ventas", "stop|compras"}));
}

TEST_F(Served, RequestsArrivingDuringASequenceWaitTheirTurn) {
  site.Ombrel(
      "[arranque]\n1=T_ONE=uno\n[start]\n1=recorder start\n[stop]\n1=recorder stop @sleep=2400\n"
      "[bases4GL]\nlenta=lenta @sleep=2400\n");
  Background service(site.program(), {}, Env());
  ASSERT_TRUE(service.WaitForErr("launched pid", 10s)) << service.Err();
  // (The start waits for its engine, 2.4 s, and the pause for its stop
  // command as long: time enough for each signal to arrive during them.)
  service.Signal(SIGUSR1);
  ASSERT_TRUE(service.WaitForErr("request received: pause", 10s)) << service.Err();
  ASSERT_TRUE(service.WaitForErr("request pause: begins", 10s)) << service.Err();
  service.Signal(SIGINT);
  Result r = service.Finish();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(Begun(r.err), (std::vector<std::string>{"start", "pause", "stop"}));
  EXPECT_EQ(Count(r.err, "it runs when the requests before it have ended"), 2) << r.err;
}

// Mended: a storm of requests queued every one (100 x SIGUSR1, SIGUSR2 and
// SIGHUP during a start queued 106 sequences, and SIGTERM then took 57 s).
// Requests still queued now coalesce: a pause or continue that undoes the
// last one queued cancels it, the same one again adds nothing, and a stop
// answers every pause and continue still queued at once.
TEST_F(Served, RequestsStillQueuedCoalesce) {
  struct Case {
    std::vector<int> signals;  // sent while the start runs, each once taken
    std::vector<std::string> begun;
    const char* said;
  };
  const Case cases[] = {
      {{SIGUSR1, SIGUSR2, SIGTERM}, {"start", "stop"}, "cancelled by the next request, a continue"},
      {{SIGUSR1, SIGUSR1, SIGTERM},
       {"start", "stop"},
       "the same request is queued already, and runs in its turn"},
      {{SIGUSR1, SIGUSR2, SIGUSR1, SIGUSR2, SIGUSR1, SIGTERM},
       {"start", "stop"},
       "dropped: the service is stopping"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.said);
    site.Ombrel(
        "[start]\n1=recorder start\n[stop]\n1=recorder stop\n[bases4GL]\nlenta=lenta "
        "@sleep=2400\n");
    Background service(site.program(), {}, Env());
    ASSERT_TRUE(service.WaitForErr("launched pid", 10s)) << service.Err();
    int taken = 0;
    for (int signo : c.signals) {
      service.Signal(signo);
      ASSERT_TRUE(service.WaitForErrCount("request received: ", 2 + taken++, 10s)) << service.Err();
    }
    Result r = service.Finish();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(Begun(r.err), c.begun) << r.err;
    EXPECT_NE(r.err.find(c.said), std::string::npos) << r.err;
  }
}

TEST_F(Served, TellsSystemdWhatItIsDoing) {
  tests::NotifySocket notify;
  auto env = Env();
  env.emplace_back("NOTIFY_SOCKET", notify.path());
  Background service(site.program(), {}, env);
  ASSERT_TRUE(notify.WaitFor("READY=1", 10s)) << service.Err();
  std::vector<std::string> started = notify.Messages();
  EXPECT_EQ(started.back(), "READY=1");
  EXPECT_EQ(Count(ReadFile(site.log()), "begin\t"), 2);  // READY only after the launches
  EXPECT_NE(started.front().find("STATUS=starting ventas"), std::string::npos) << started.front();
  EXPECT_NE(started.front().find("EXTEND_TIMEOUT_USEC="), std::string::npos);
  service.Signal(SIGTERM);
  Result r = service.Finish();
  EXPECT_EQ(r.status, 0);
  const std::vector<std::string>& all = notify.Messages();
  ASSERT_GT(all.size(), started.size());
  EXPECT_EQ(all[started.size()].rfind("STOPPING=1", 0), 0u) << all[started.size()];
  // The children never talk to systemd in the service's name.
  EXPECT_EQ(Count(ReadFile(site.log()), "T_ONE=uno"), 4);
  EXPECT_EQ(ReadFile(site.log()).find("NOTIFY_SOCKET"), std::string::npos);
}

TEST_F(Served, AFailedStartEndsWithStatusOneAndNeverReportsReady) {
  site.Ombrel("[arranque]\n1=T_ONE\n[start]\n1=recorder start\n[bases4GL]\nventas=v\n");
  tests::NotifySocket notify;
  auto env = Env();
  env.emplace_back("NOTIFY_SOCKET", notify.path());
  Result r = RunProgram(site.program(), {}, env);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("request start failed: [arranque] key 1"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("\"T_ONE\" has no \"=\""), std::string::npos) << r.err;
  EXPECT_TRUE(site.Launched().empty());
  for (const std::string& m : notify.Messages()) EXPECT_EQ(m.find("READY=1"), std::string::npos);
}

// The end of a request says how many command lines ran and how many could
// not be launched, in the log and to systemd; every line about a child
// names its database.
TEST_F(Served, ReportsHowManyLaunchesFailed) {
  // No start command: each value's first word is the program.
  site.Ombrel(
      "[start]\n1=\n[stop]\n1=recorder stop\n"
      "[basesSQL]\nventas=/no/such/sql\n[bases4GL]\nventas=recorder ventas\n"
      "compras=recorder compras\n");
  tests::NotifySocket notify;
  auto env = Env();
  env.emplace_back("NOTIFY_SOCKET", notify.path());
  Background service(site.program(), {}, env);
  ASSERT_TRUE(notify.WaitFor("READY=1", 20s)) << service.Err();
  service.Signal(SIGTERM);
  Result r = service.Finish();
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.err.find("request start: done in "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find(" s: 3 command lines, 2 launched, 1 launch failed\n"), std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("launch failed: ventas, SQL: "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find(" s: compras, 4GL\n"), std::string::npos) << r.err;  // its end
  EXPECT_NE(r.err.find(" s: ventas, stop\n"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("request stop: done in "), std::string::npos) << r.err;
  bool status_seen = false;
  for (const std::string& m : notify.Messages()) {
    status_seen |= m == "STATUS=degraded: ventas, SQL: launch failed";
  }
  EXPECT_TRUE(status_seen);
}

// OSTRIM_LOG_LEVEL in any case; an unknown value is said once, at start-up.
TEST_F(Served, TakesTheLogLevelFromTheEnvironment) {
  struct Case {
    const char* level;
    bool debug_lines, info_lines, unknown;
  };
  // -CHECK says only what is worth a look unless the level asks for more.
  const Case cases[] = {
      {"DEBUG", true, true, false}, {"warning", false, false, false}, {"loud", false, false, true}};
  for (const Case& c : cases) {
    auto env = Env();
    env.emplace_back("OSTRIM_LOG_LEVEL", c.level);
    Result r = RunProgram(site.program(), {"-CHECK"}, env);
    EXPECT_EQ(r.status, 0) << c.level << r.err;
    EXPECT_EQ(r.err.find("debug: ") != std::string::npos, c.debug_lines) << c.level << r.err;
    EXPECT_EQ(r.err.find("databases: 2") != std::string::npos, c.info_lines) << c.level << r.err;
    EXPECT_EQ(Count(r.err, "is not a level"), c.unknown ? 1 : 0) << c.level << r.err;
  }
}

// A notification reader that never reads (a stalled service manager) costs
// the service messages, never time: it runs its start and stop to the end.
TEST_F(Served, ANotifyReaderThatNeverReadsDoesNotStallTheService) {
  std::string ombrel = "[start]\n1=recorder start\n[stop]\n1=recorder stop\n[bases4GL]\n";
  for (int i = 0; i < 200; ++i) ombrel += "b" + std::to_string(i) + "=b\n";
  site.Ombrel(ombrel);
  tests::NotifySocket notify;  // full from the start, and read only at the end
  const std::size_t filled = notify.Fill();
  ASSERT_GT(filled, 0u);
  auto env = Env();
  env.emplace_back("NOTIFY_SOCKET", notify.path());
  Background service(site.program(), {}, env);
  ASSERT_TRUE(SiteTest::Served(1, 60s)) << service.Err();
  service.Signal(SIGTERM);
  Result r = service.Finish(60s);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(site.Launched().size(), 400u);
  EXPECT_EQ(notify.Messages().size(), filled) << "nothing could be sent";
  EXPECT_NE(r.err.find("could not tell the service manager \"READY=1\""), std::string::npos)
      << r.err;
}

// Mended: without its directory (here /proc is hidden, so the program file
// cannot be found) the service refuses to serve and -CHECK to check, rather
// than read /Ombrel.ini and /bases/tmp.ini.
TEST_F(Served, WithoutItsDirectoryTheProgramRefusesToServe) {
  if (::geteuid() != 0 || !std::filesystem::exists("/usr/bin/unshare")) {
    GTEST_SKIP() << "needs root and unshare to hide /proc from the program";
  }
  for (const char* arg : {"", "-CHECK"}) {
    Result r = RunProgram("/usr/bin/unshare",
                          {"--mount", "--", "/bin/sh", "-c",
                           "mount -t tmpfs none /proc && exec \"$0\" $1", site.program(), arg},
                          Env());
    EXPECT_EQ(r.status, 1) << arg << r.err;
    EXPECT_NE(r.err.find(*arg ? "ostrim: cannot check: the program's directory is unknown"
                              : "cannot serve: the program's directory is unknown"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(site.Launched().empty());
  }
}

}  // namespace
}  // namespace ostrim
