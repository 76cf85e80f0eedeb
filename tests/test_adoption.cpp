// The service's own death loses nothing: the engines it watched are kept in
// its state file, and the next instance adopts those still running instead
// of starting them again; a file it may not believe is never believed.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "helpers/site_test.h"
#include "platform/platform.h"
#include "platform/posix/adoption.h"
#include "state_file.h"

namespace ostrim {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using tests::Background;
using tests::ReadFile;
using tests::WriteFile;

// What identifies a process beyond its pid, read from a fake /proc: a pid
// reused by another process (another start time, another boot) never
// matches, and a process that has ended has none.
TEST(ProcessIdentity, IsTheStartTimeAndTheBootAndNothingForAnEndedProcess) {
  tests::TempDir proc;
  fs::create_directories(proc / "sys/kernel/random");
  WriteFile(proc / "sys/kernel/random/boot_id", "3f2a-b00t\n");
  const std::string rest = " 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 ";
  struct Case {
    std::string stat;
    std::string identity;
  };
  const Case cases[] = {
      {"41 (demo-engine) S" + rest + "8812 99 100\n", "8812@3f2a-b00t"},
      {"41 (a) (b) ) S" + rest + "777 1\n", "777@3f2a-b00t"},  // a name with ") ("
      {"41 (x) Z" + rest + "8812 1\n", ""},                    // ended, not reaped
      {"41 (x) X" + rest + "8812 1\n", ""},
      {"41 (x) S 1 2\n", ""},  // too short
      {"41 (x) S" + rest + "88a12 1\n", ""},
      {"41 no parenthesis S" + rest + "8812 1\n", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stat);
    fs::create_directories(proc / "41");
    WriteFile(proc / "41/stat", c.stat);
    EXPECT_EQ(platform::posix::IdentityIn(proc.path(), 41), c.identity);
  }
  EXPECT_EQ(platform::posix::IdentityIn(proc.path(), 42), "") << "no such process";
  fs::remove(proc / "sys/kernel/random/boot_id");
  EXPECT_EQ(platform::posix::IdentityIn(proc.path(), 41), "") << "no boot id";
  // This process, as the real /proc has it: the same twice, none for a
  // pid that is nobody's.
  const std::string mine = platform::ProcessIdentity(::getpid());
  EXPECT_FALSE(mine.empty());
  EXPECT_EQ(platform::ProcessIdentity(::getpid()), mine);
  EXPECT_EQ(platform::ProcessIdentity(0), "");
}

// The state file is believed only as the service writes it: a regular file
// of its user, mode 0600, no other name.
TEST(StateFile, IsBelievedOnlyAsThePrivateFileOfTheServicesUser) {
  tests::TempDir dir;
  const std::string path = dir / "x.state";
  platform::posix::StateFile file(path);
  EXPECT_FALSE(file.Read()) << "no file: nothing to adopt";
  file.Keep("text\n");
  struct stat st {};
  ASSERT_EQ(::lstat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(file.Read().value_or(""), "text\n");
  struct Case {
    const char* name;
    std::function<void()> spoil;
    const char* why;
  };
  const Case cases[] = {
      {"readable by others", [&] { ::chmod(path.c_str(), 0644); }, "mode 0644"},
      {"a link",
       [&] {
         fs::rename(path, dir / "elsewhere");
         fs::create_symlink(dir / "elsewhere", path);
       },
       "symbolic link"},
      {"another user's", [&] { ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0); }, "uid 65534"},
      {"a hard link", [&] { fs::create_hard_link(path, dir / "other"); }, "other names"},
      {"a directory",
       [&] {
         fs::remove(path);
         fs::create_directory(path);
       },
       "not a regular file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(path);
    fs::remove(dir / "elsewhere");
    fs::remove(dir / "other");
    file.Keep("text\n");
    c.spoil();
    try {
      file.Read();
      ADD_FAILURE() << "believed";
    } catch (const platform::Error& e) {
      EXPECT_NE(std::string(e.what()).find(c.why), std::string::npos) << e.what();
    }
  }
  fs::remove_all(path);
  file.Keep("text\n");
  file.Keep("");
  EXPECT_FALSE(fs::exists(path)) << "no engine: no file";
}

class Adoption : public tests::SiteTest {
 protected:
  void SetUp() override {
    site.Ombrel(
        "[start]\n1=recorder start\n[stop]\n1=recorder stop\n"
        "[bases4GL]\nventas=ventas @sleep=60000\ncompras=compras @sleep=60000\n"
        "[opciones]\nespera_arranque=0.2\n");
  }
  void TearDown() override { site.KillRecorders(); }
  std::string StatePath() const {
    struct stat st {};
    ::stat(site.path().c_str(), &st);
    char key[64];
    std::snprintf(key, sizeof key, "%llx-%llx", static_cast<unsigned long long>(st.st_dev),
                  static_cast<unsigned long long>(st.st_ino));
    return std::string("/run/ostrim/") + key + ".state";
  }
  // The pids of the engines the recorder saw begin ("start" launches).
  std::vector<std::string> Engines() const {
    std::vector<std::string> pids;
    for (const auto& r : site.Records()) {
      if (r[0] == "begin" && r[3].rfind("start|", 0) == 0) pids.push_back(r[2]);
    }
    return pids;
  }
  // Starts the service and kills it (-9) once its start has run, its two
  // engines left running and noted by the recorder (each notes itself
  // once it runs, which may be after its launch's wait).
  void StartThenKill() {
    Background service(site.program(), {}, Env());
    ASSERT_TRUE(Served()) << service.Err();
    ASSERT_TRUE(site.WaitForLaunches(2, 20s));
    ASSERT_TRUE(fs::exists(StatePath())) << service.Err();
    service.Signal(SIGKILL);
    service.Finish();
  }
};

// Killed (-9), the service's engines are adopted by its next instance: no
// start command runs again, -STATUS lists them with their pids, an adopted
// engine that dies is noticed, and a stop runs their stop commands and
// keeps the engines still running after it for the next one.
TEST_F(Adoption, AKilledServicesEnginesAreAdoptedNeverStartedTwice) {
  StartThenKill();
  const std::vector<std::string> pids = Engines();
  ASSERT_EQ(pids.size(), 2u);

  Background again(site.program(), {}, Env());
  ASSERT_TRUE(Served()) << again.Err();
  EXPECT_EQ(Engines().size(), 2u) << "a start command ran again";
  int status = -1;
  tests::json::Value s = Status(&status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(s["last_request"]["still_running"].number, 2);
  for (const auto& [name, pid] : {std::pair{"ventas", pids[0]}, std::pair{"compras", pids[1]}}) {
    const tests::json::Value& d = Database(s, name, "4GL");
    EXPECT_EQ(d["state"].text, "running") << name;
    EXPECT_EQ(std::to_string(static_cast<long long>(d["pid"].number)), pid) << name;
    EXPECT_NE(d["detail"].text.find("adopted from an earlier run"), std::string::npos);
  }
  EXPECT_NE(again.Err().find("ventas, 4GL: engine pid " + pids[0] + " from an earlier run"),
            std::string::npos)
      << again.Err();
  EXPECT_NE(again.Err().find("ventas: its engine still runs: its start commands were not run"),
            std::string::npos);

  ::kill(std::stoi(pids[1]), SIGKILL);
  const auto until = std::chrono::steady_clock::now() + 20s;
  while (Status(&status)["health"].text != "degraded" && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(50ms);
  }
  s = Status(&status);
  EXPECT_EQ(status, 4);
  EXPECT_EQ(Database(s, "compras", "4GL")["state"].text, "ended");
  EXPECT_NE(s["health_reason"].text.find("exit status unknown"), std::string::npos)
      << s["health_reason"].text;

  again.Signal(SIGTERM);
  const tests::Result r = again.Finish();
  EXPECT_EQ(r.status, 0) << r.err;
  std::size_t stops = 0;
  for (const auto& rec : site.Records())
    stops += rec[0] == "begin" && rec[3].rfind("stop|", 0) == 0;
  EXPECT_EQ(stops, 2u) << "a stop command per database";
  // ventas's engine ignores the recorder's stop: left running, and kept.
  EXPECT_NE(r.err.find("left running"), std::string::npos) << r.err;
  const std::string kept = ReadFile(StatePath());
  EXPECT_NE(kept.find("\tventas\t4GL\t" + pids[0] + "\t"), std::string::npos) << kept;
  EXPECT_EQ(kept.find("compras"), std::string::npos) << kept;
}

// Killed while paused (`ostrim -PAUSE && backup`, and the service dies
// during the backup), it comes back paused: systemd hears it is ready, no
// start command runs until it is asked to continue.
TEST_F(Adoption, AServiceKilledWhilePausedComesBackPaused) {
  Background service(site.program(), {}, Env());
  ASSERT_TRUE(Served()) << service.Err();
  ASSERT_TRUE(site.WaitForLaunches(2, 20s));
  Run("-PAUSE");  // the recorder's stop leaves its engines running: exit 1
  ASSERT_EQ(Status()["state"].text, "paused");
  service.Signal(SIGKILL);
  service.Finish();

  tests::NotifySocket notify;
  auto env = Env();
  env.emplace_back("NOTIFY_SOCKET", notify.path());
  Background again(site.program(), {}, env);
  ASSERT_TRUE(notify.WaitFor("READY=1", 20s)) << again.Err();
  EXPECT_TRUE(notify.WaitFor("STATUS=paused", 20s));
  tests::json::Value s = Status();
  EXPECT_EQ(s["state"].text, "paused");
  EXPECT_EQ(s["requests"].number, 0);
  EXPECT_EQ(Database(s, "ventas", "4GL")["state"].text, "running") << "its engine adopted";
  EXPECT_EQ(Engines().size(), 2u) << "a start command ran";
  EXPECT_NE(again.Err().find("died paused: it stays paused"), std::string::npos) << again.Err();

  const tests::Result r = Run("-CONTINUE");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Status()["state"].text, "running");
  EXPECT_EQ(Engines().size(), 2u) << "the adopted engines were started again";
  again.Signal(SIGTERM);
  again.Finish();
}

// Engines that died with the service, a state file that may not be
// believed (another's, garbage; the other reasons are StateFile's unit
// test), or one whose pid is another process's now: the databases are
// started as usual.
TEST_F(Adoption, WhatMayNotBeBelievedIsStartedAsUsual) {
  struct Case {
    const char* name;
    std::function<void(const std::string& path)> spoil;
    const char* said;
  };
  const Case cases[] = {
      {"engines died", [this](const std::string&) { site.KillRecorders(); }, "no longer runs"},
      {"another user's", [](const std::string& path) { ::chown(path.c_str(), 65534, 65534); },
       "owned by uid 65534"},
      {"garbage", [](const std::string& path) { WriteFile(path, "engine\tventas\n"); },
       "not a state file"},
      {"a pid reused",
       [](const std::string& path) {
         // Each engine's identity (its fifth field) given another start time.
         std::string text = ReadFile(path);
         for (std::size_t at = 0; (at = text.find("\nengine\t", at)) != std::string::npos; ++at) {
           std::size_t field = at + 1;
           for (int tabs = 0; tabs < 4; ++tabs) field = text.find('\t', field) + 1;
           text.insert(field, "1");
         }
         WriteFile(path, text);
         ::chmod(path.c_str(), 0600);
       },
       "its pid is another process's now"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    fs::remove(site.log());
    StartThenKill();
    c.spoil(StatePath());
    Background again(site.program(), {}, Env());
    ASSERT_TRUE(Served()) << again.Err();
    EXPECT_TRUE(site.WaitForLaunches(4, 20s)) << "not started again:\n" << again.Err();
    EXPECT_NE(again.Err().find(c.said), std::string::npos) << again.Err();
    EXPECT_EQ(again.Err().find("still runs: adopted"), std::string::npos) << again.Err();
    EXPECT_EQ(Status()["last_request"]["still_running"].number, 0);
    again.Signal(SIGTERM);
    again.Finish();
  }
}

}  // namespace
}  // namespace ostrim
