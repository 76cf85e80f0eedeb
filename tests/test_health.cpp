// What the service tells of each database, and whether scripts may trust its
// exit statuses: a start that launched nothing fails, a degraded service says
// so, a pause that did not stop everything is no success, and nothing the
// service started is forgotten.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <thread>

#include "helpers/site_test.h"

namespace ostrim {
namespace {

using namespace std::chrono_literals;
using tests::Background;
using tests::Count;
using tests::Result;
using tests::RunProgram;
using Lines = std::vector<std::string>;

class Health : public tests::SiteTest {
 protected:
  // The pid the recorder noted for the first launch whose arguments start
  // with `args`.
  std::string PidOf(const std::string& args) const {
    for (const auto& r : site.Records()) {
      if (r[0] == "begin" && r[3].rfind(args, 0) == 0) return r[2];
    }
    return {};
  }
};

// Mended: a start with command lines and none launched used to read as
// running; systemd now sees it fail (no READY=1, exit status 1).
// Mended: control characters in names reached -CHECK's TAB-separated lines
// (a TAB added a field) and the terminal (ESC, BEL), and -STATUS turned a
// TAB into a blank, so that "tab<TAB>in" and "tab in" read the same, in
// JSON too. Now they are written visibly, and -STATUS -JSON has the names
// exactly as read.
TEST_F(Health, NamesWithControlCharactersAreShownSafelyAndReadExactly) {
  site.Ombrel(
      "[start]\n1=recorder start\n[stop]\n1=recorder stop\n[bases4GL]\ntab\tin=t\n"
      "tab in=u\nesc\x1b[2J=e\n");
  Result check = Check();
  EXPECT_NE(check.out.find("database\ttab\\tin\n"), std::string::npos) << check.out;
  EXPECT_NE(check.out.find("database\ttab in\n"), std::string::npos) << check.out;
  EXPECT_NE(check.out.find("database\tesc\\x1b[2J\n"), std::string::npos) << check.out;
  for (const std::string& out : {check.out, check.err}) {
    EXPECT_EQ(out.find('\x1b'), std::string::npos);
    for (std::size_t at = 0, eol; (eol = out.find('\n', at)) != std::string::npos; at = eol + 1) {
      const std::string line = out.substr(at, eol - at);
      if (line.rfind("database\t", 0) == 0) {
        EXPECT_EQ(Count(line, "\t"), 1) << line;
      }
    }
  }
  Background service(site.program(), {}, Env());
  ASSERT_TRUE(Served()) << service.Err();
  const tests::json::Value s = Status();
  EXPECT_EQ(Database(s, "tab\tin", "4GL")["state"].text, "start_ended");
  EXPECT_EQ(Database(s, "tab in", "4GL")["state"].text, "start_ended");
  EXPECT_EQ(Database(s, "esc\x1b[2J", "4GL")["state"].text, "start_ended");
  Result shown = Run("-STATUS");
  EXPECT_NE(shown.out.find("\ndatabase\ttab\\tin\t4GL\t"), std::string::npos) << shown.out;
  EXPECT_EQ(shown.out.find('\x1b'), std::string::npos);
  service.Signal(SIGTERM);
  Result r = service.Finish();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err.find('\x1b'), std::string::npos) << "the log wrote an ESC";
  EXPECT_NE(r.err.find("tab\\tin, 4GL"), std::string::npos) << r.err;
}

// A start none of whose command lines started anything fails: none could be
// launched, or (mended: it was "done", healthy) each one that was ended with
// an error within its wait.
TEST_F(Health, AStartThatLaunchesNothingFails) {
  struct Case {
    const char* start;
    std::string failure;
    std::size_t launched;
  };
  const Case cases[] = {
      {"/no/such/arranca", "none of its 2 command lines could be launched", 0},
      {"recorder start @exit=1",
       "none of its 2 command lines started a database: 2 ended with an error within its wait", 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.start);
    std::filesystem::remove(site.log());
    site.Ombrel(std::string("[start]\n1=") + c.start +
                "\n[stop]\n1=recorder stop\n[bases4GL]\na=1\nb=2\n");
    tests::NotifySocket notify;
    auto env = Env();
    env.emplace_back("NOTIFY_SOCKET", notify.path());
    Result r = RunProgram(site.program(), {}, env);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("request start failed: " + c.failure), std::string::npos) << r.err;
    for (const std::string& m : notify.Messages()) EXPECT_EQ(m.find("READY=1"), std::string::npos);
    EXPECT_EQ(site.Launched().size(), c.launched);
  }
}

// Some launches failing: the service runs, degraded, and -STATUS exits 4.
TEST_F(Health, SomeLaunchesFailingLeaveItRunningButDegraded) {
  site.Ombrel(
      "[start]\n1=\n[stop]\n1=recorder stop\n"
      "[bases4GL]\nventas=recorder v\ncompras=/no/such/arranca c\nocupada=recorder o @exit=1\n");
  tests::NotifySocket notify;
  auto env = Env();
  env.emplace_back("NOTIFY_SOCKET", notify.path());
  Background service(site.program(), {}, env);
  ASSERT_TRUE(notify.WaitFor("READY=1", 20s)) << service.Err();
  int status = -1;
  const tests::json::Value s = Status(&status);
  EXPECT_EQ(status, 4);
  EXPECT_EQ(s["state"].text, "running");
  EXPECT_EQ(s["health"].text, "degraded");
  EXPECT_NE(s["health_reason"].text.find("compras, 4GL: launch failed"), std::string::npos);
  EXPECT_EQ(Database(s, "compras", "4GL")["state"].text, "launch_failed");
  EXPECT_NE(Database(s, "compras", "4GL")["detail"].text.find("cannot run \"/no/such/arranca\""),
            std::string::npos);
  // Mended: a start command that failed within its wait read as started.
  EXPECT_EQ(Database(s, "ocupada", "4GL")["state"].text, "start_failed");
  EXPECT_EQ(Database(s, "ocupada", "4GL")["detail"].text, "exit status 1");
  EXPECT_NE(s["health_reason"].text.find("ocupada, 4GL: exit status 1"), std::string::npos);
  EXPECT_EQ(Database(s, "ventas", "4GL")["state"].text, "start_ended");
  EXPECT_EQ(Database(s, "ventas", "4GL")["detail"].text,
            "exit status 0; what it started is not watched by the service");
  EXPECT_TRUE(notify.WaitFor("STATUS=degraded: compras, 4GL: launch failed", 5s));
  service.Signal(SIGTERM);
  EXPECT_EQ(service.Finish().status, 0);
}

// An engine killed while the service runs: a warning (an error for a
// signal) in the log, -STATUS 4, and systemd's status says why.
TEST_F(Health, AnEngineKilledWhileRunningIsSaidEverywhere) {
  site.Ombrel(
      "[start]\n1=recorder start\n[stop]\n1=recorder stop\n"
      "[bases4GL]\ncompras=c @sleep=60000\n");
  tests::NotifySocket notify;
  auto env = Env();
  env.emplace_back("NOTIFY_SOCKET", notify.path());
  env.emplace_back("OSTRIM_LOG_LEVEL", "warning");
  Background service(site.program(), {}, env);
  ASSERT_TRUE(notify.WaitFor("READY=1", 20s)) << service.Err();
  int status = -1;
  tests::json::Value s = Status(&status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(Database(s, "compras", "4GL")["state"].text, "running");
  const std::string pid = PidOf("start|c");
  ASSERT_FALSE(pid.empty());
  EXPECT_EQ(Database(s, "compras", "4GL")["pid"].number, std::stod(pid));
  ::kill(std::stoi(pid), SIGKILL);
  EXPECT_TRUE(notify.WaitFor("STATUS=degraded: compras ended: killed by signal 9", 10s))
      << service.Err();
  s = Status(&status);
  EXPECT_EQ(status, 4);
  EXPECT_EQ(Database(s, "compras", "4GL")["state"].text, "ended");
  EXPECT_EQ(Database(s, "compras", "4GL")["detail"].text.rfind("killed by signal 9", 0), 0u);
  EXPECT_EQ(s["health_reason"].text, "compras ended: killed by signal 9 (Killed)");
  service.Signal(SIGTERM);
  Result r = service.Finish();
  // Logged at warning level or above: seen with OSTRIM_LOG_LEVEL=warning.
  EXPECT_NE(r.err.find("error: degraded: compras (4GL) ended while the service was running: "
                       "killed by signal 9"),
            std::string::npos)
      << r.err;
}

// Mended: -PAUSE said "done" and exited 0 when a stop command could not run
// or failed; `ostrim -PAUSE && backup` would copy live databases.
TEST_F(Health, APauseWhoseStopsFailExitsOneNamingThem) {
  struct Case {
    const char* stop;
    std::string problem;
  };
  const Case cases[] = {
      {"/no/such/para",
       "ostrim: ventas, stop: launch failed: cannot run \"/no/such/para\": No "
       "such file or directory\n"},
      {"recorder stop @exit=3", "ostrim: ventas, stop: exit status 3\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stop);
    site.Ombrel(std::string("[start]\n1=recorder start\n[stop]\n1=") + c.stop +
                "\n[bases4GL]\nventas=v\ncompras=c\n");
    Background service(site.program(), {}, Env());
    ASSERT_TRUE(Served()) << service.Err();
    Result r = Run("-PAUSE");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("pause: done in "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("(was running, now paused)"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find(c.problem), std::string::npos) << r.err;
    EXPECT_EQ(Count(r.err, "ostrim: "), 2) << r.err;  // ventas and compras
    int status = -1;
    const tests::json::Value s = Status(&status);
    EXPECT_EQ(status, 0);  // paused: it serves
    EXPECT_EQ(s["state"].text, "paused");
    EXPECT_EQ(s["last_request"]["problems"].size(), 2u);
    service.Signal(SIGTERM);
    service.Finish();
  }
}

// Engines still running after a pause are named, shown as left running, and
// the pause exits 1.
TEST_F(Health, EnginesLeftRunningAfterAPauseAreNamed) {
  site.Ombrel(
      "[start]\n1=recorder start\n[stop]\n1=recorder stop\n"
      "[bases4GL]\nmotor=m @sleep=60000\nrapida=r\n");
  Background service(site.program(), {}, Env());
  ASSERT_TRUE(Served()) << service.Err();
  Result r = Run("-PAUSE");
  EXPECT_EQ(r.status, 1);
  const std::string pid = PidOf("start|m");
  EXPECT_NE(r.err.find("ostrim: motor, 4GL: its engine, pid " + pid +
                       ", still runs after its stop command\n"),
            std::string::npos)
      << r.err;
  const tests::json::Value s = Status();
  EXPECT_EQ(Database(s, "motor", "4GL")["state"].text, "left_running");
  EXPECT_EQ(Database(s, "rapida", "4GL")["state"].text, "start_ended");
  EXPECT_EQ(Database(s, "motor", "stop")["state"].text, "stop_ran");
  // Retried (`until ostrim -PAUSE; do ...; done && backup`): the engine
  // still runs, and the retry says so too.
  Result again = Run("-PAUSE");
  EXPECT_EQ(again.status, 1) << again.out;
  EXPECT_NE(again.err.find("ostrim: motor, 4GL: its engine, pid " + pid + ", still runs"),
            std::string::npos)
      << again.err;
  service.Signal(SIGTERM);
  Result end = service.Finish();
  EXPECT_NE(end.err.find("warning: motor (4GL): its engine, pid " + pid + ", still runs after "),
            std::string::npos)
      << end.err;
  EXPECT_NE(end.err.find("warning: stop ended short of its aim: 1 engine left running: motor"),
            std::string::npos)
      << end.err;
  ::kill(std::stoi(pid), SIGKILL);
}

// Mended: a database removed from [bases4GL] while its engine ran was never
// stopped; it is stopped as it was started.
// Mended too: one a selection made while it ran leaves out was never stopped
// by the service's stop, and one whose 4GL entry a continue had dropped was
// stopped with no argument at all.
TEST_F(Health, ADatabaseRemovedWhileRunningIsStillStopped) {
  const std::string before =
      "[start]\n1=recorder start\n[stop]\n1=recorder stop\n"
      "[bases4GL]\nventas=v1 -s 5\ncompras=c1 -x\n";
  const std::string without =
      "[start]\n1=recorder start\n[stop]\n1=recorder stop\n[bases4GL]\nventas=v2\n";
  struct Case {
    const char* what;
    std::string sql;  // [basesSQL]
    bool deselect;    // a selection of ventas alone, instead of removing compras
    bool resume;      // a continue comes before the stop
    Lines launched;
    std::string why;
  };
  const Case cases[] = {
      {"removed from [bases4GL]",
       "",
       false,
       false,
       {"start|v1|-s|5|-z", "start|c1|-x|-z", "stop|v2", "stop|c1"},
       "is no longer in [bases4GL] of " + site / "Ombrel.ini"},
      {"left out by a selection made while it ran",
       "",
       true,
       false,
       {"start|v1|-s|5|-z", "start|c1|-x|-z", "stop|v1", "stop|c1"},
       "is left out by [seleccion] of " + site / "bases/tmp.ini"},
      {"removed, its SQL engine running, a continue before the stop",
       "[basesSQL]\ncompras=sq @ignore-term @sleep=60000\n",
       false,
       true,
       {"start|sq|@ignore-term|@sleep=60000|-z", "start|v1|-s|5|-z", "start|c1|-x|-z",
        "start|v2|-z", "stop|v2", "stop|c1"},
       "is no longer in [bases4GL] of " + site / "Ombrel.ini"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove(site / "bases/tmp.ini");
    std::filesystem::remove(site.log());
    site.Ombrel(before + c.sql);
    Background service(site.program(), {}, Env());
    ASSERT_TRUE(Served()) << service.Err();
    if (c.deselect) {
      site.Seleccion("[seleccion]\nventas=\n");
    } else {
      site.Ombrel(without + c.sql);
    }
    if (c.resume) {
      EXPECT_EQ(Run("-CONTINUE").status, 0);
    }
    service.Signal(SIGTERM);
    Result r = service.Finish();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(site.Launched(), c.launched);
    EXPECT_NE(r.err.find("compras " + c.why +
                         ", but this service started it: stopped with the argument it was "
                         "started with"),
              std::string::npos)
        << r.err;
    if (!c.sql.empty()) ::kill(std::stoi(PidOf("start|sq")), SIGKILL);
  }
}

// A pause narrows to the selection, as sites use it, but names each engine
// it leaves running so; the service's stop stops it all the same.
TEST_F(Health, APauseNamesTheEnginesItsSelectionLeavesRunning) {
  site.Ombrel(
      "[start]\n1=recorder start\n[stop]\n1=recorder stop\n"
      "[bases4GL]\nventas=v @sleep=60000\ncompras=c\n");
  Background service(site.program(), {}, Env());
  ASSERT_TRUE(Served()) << service.Err();
  site.Seleccion("[seleccion]\ncompras=\n");
  const std::string pid = PidOf("start|v");
  const std::string note = "ventas, 4GL: left out of the pause by [seleccion] of " +
                           site / "bases/tmp.ini" + "; its engine, pid " + pid + ", still runs";
  // -CHECK says it beforehand, and nothing fails for it.
  Result check = Check();
  EXPECT_EQ(check.status, 0) << check.err;
  EXPECT_NE(check.err.find("[seleccion] leaves out ventas, whose engine (pid " + pid +
                           ") the running service started: a pause leaves it running"),
            std::string::npos)
      << check.err;
  Result r = Run("-PAUSE");
  EXPECT_EQ(r.status, 0) << r.err;  // the selection narrows on purpose
  EXPECT_NE(r.err.find("ostrim: note: " + note + "\n"), std::string::npos) << r.err;
  const tests::json::Value s = Status();
  EXPECT_EQ(s["last_request"]["notes"].Strings(), std::vector<std::string>{note});
  EXPECT_EQ(Database(s, "ventas", "4GL")["state"].text, "running");
  service.Signal(SIGTERM);
  service.Finish();
  EXPECT_EQ(site.Launched(),
            (Lines{"start|v|@sleep=60000|-z", "start|c|-z", "stop|c", "stop|c", "stop|v"}));
  ::kill(std::stoi(pid), SIGKILL);
}

// Mended: a selection naming a database [bases4GL] lacks launched the start
// command with no database ("arranca  -z") and left it running.
TEST_F(Health, ASelectionTypoIsSkippedAndSaid) {
  site.Ombrel(
      "[start]\n1=recorder start\n[stop]\n1=recorder stop\n"
      "[bases4GL]\nventas=v\ncompras=c\n");
  site.Seleccion("[seleccion]\nVENTAS=\nventaz=\n");
  Result check = Check();
  EXPECT_EQ(check.status, 3);
  EXPECT_NE(check.err.find("[seleccion] ventaz: no such database in [bases4GL]"), std::string::npos)
      << check.err;
  Background service(site.program(), {}, Env());
  ASSERT_TRUE(Served()) << service.Err();
  int status = -1;
  const tests::json::Value s = Status(&status);
  EXPECT_EQ(status, 4);
  EXPECT_EQ(Database(s, "ventaz", "4GL")["state"].text, "not_launched");
  EXPECT_EQ(Database(s, "ventaz", "4GL")["detail"].text, "not in [bases4GL]");
  service.Signal(SIGTERM);
  Result r = service.Finish();
  EXPECT_EQ(site.Launched(), (Lines{"start|v|-z", "stop|v"}));
  EXPECT_EQ(Count(r.err, "[seleccion] ventaz: no such database in [bases4GL]"), 2) << r.err;
}

// -STATUS as scripts read it: one line per database and pass, and the same
// facts as JSON; complete however large.
TEST_F(Health, StatusListsEveryDatabaseWhateverItsSize) {
  // 40 databases with 120 KB arguments (the system's limit on one argument
  // is 128 KiB): an answer of about 4.8 MB.
  const std::string big(120000, 'x');
  std::string ombrel = "[start]\n1=recorder start\n[stop]\n1=recorder stop\n[bases4GL]\n";
  for (int i = 0; i < 40; ++i) ombrel += "b" + std::to_string(i) + "=" + big + "\n";
  site.Ombrel(ombrel);
  Background service(site.program(), {}, Env());
  ASSERT_TRUE(Served(1, 60s)) << service.Err();
  Result text = Run("-STATUS");
  EXPECT_EQ(text.status, 0);
  EXPECT_GT(text.out.size(), 40u * big.size());
  int lines = 0;
  for (std::size_t at = text.out.find("\ndatabase\t"); at != std::string::npos;
       at = text.out.find("\ndatabase\t", at + 1)) {
    const std::size_t eol = text.out.find('\n', at + 1);
    ASSERT_NE(eol, std::string::npos);
    const std::string line = text.out.substr(at + 1, eol - at - 1);
    EXPECT_EQ(line.rfind("database\tb" + std::to_string(lines) + "\t4GL\tstart_ended\t0\t", 0), 0u);
    EXPECT_NE(line.find("\texit status 0; what it started is not watched by the service"
                        "\trecorder start " +
                        big + " -z"),
              std::string::npos);
    ++lines;
  }
  EXPECT_EQ(lines, 40);
  const tests::json::Value s = Status();
  ASSERT_EQ(s["databases"].size(), 40u);
  EXPECT_EQ(s["databases"][39]["command"].text, "recorder start " + big + " -z");
  EXPECT_EQ(s["pid"].number, service.pid());
  EXPECT_EQ(s["last_request"]["lines"].number, 40);
  service.Signal(SIGTERM);
  EXPECT_EQ(service.Finish(60s).status, 0);
}

// Restarts ([opciones] reinicia): the site's engines for the tests below,
// each waited for half a second, so that one is watched soon.
std::string Restartable(const std::string& opciones, const std::string& stop = "recorder stop") {
  return "[start]\n1=recorder start\n[stop]\n1=" + stop +
         "\n[bases4GL]\nuno=1 @sleep=60000\n[opciones]\nespera_arranque=0.5\n" + opciones;
}

// The start launches the recorder noted, in order: their pid, when (its
// monotonic milliseconds) and their arguments.
struct Begin {
  pid_t pid;
  long long ms;
  std::string args;
};
std::vector<Begin> Begins(const tests::Site& site) {
  std::vector<Begin> begins;
  for (const auto& r : site.Records()) {
    if (r[0] == "begin" && r[3].rfind("start", 0) == 0) {
      begins.push_back({std::stoi(r[2]), std::stoll(r[1]), r[3]});
    }
  }
  return begins;
}

long long MonotonicMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// A crashed engine is started again with the same command line, 1 s after
// its crash, then 2 s after the next; past reinicia it is given up on: no
// further launch, the service degraded (exit status 4), an error line.
TEST_F(Health, ACrashedEngineIsStartedAgainThenGivenUp) {
  site.Ombrel(Restartable("reinicia=2\n"));
  Background service(site.program(), {}, Env());
  ASSERT_TRUE(Served()) << service.Err();
  auto restarts = [&] { return Database(Status(), "uno", "4GL")["restarts"].number; };
  const std::chrono::milliseconds waits[] = {1000ms, 2000ms};
  for (int i = 0; i < 2; ++i) {
    const Begin engine = Begins(site).back();
    const long long killed = MonotonicMs();
    ::kill(engine.pid, SIGKILL);
    ASSERT_TRUE(site.WaitForLaunches(static_cast<std::size_t>(i) + 2, 20s)) << service.Err();
    const Begin again = Begins(site).back();
    EXPECT_GE(again.ms - killed, waits[i].count() - 2) << "restart " << i + 1;
    EXPECT_EQ(again.args, engine.args);
    // Until it is watched as an engine again, counted.
    for (int tries = 0; tries < 1000 && restarts() < i + 1; ++tries)
      std::this_thread::sleep_for(20ms);
    EXPECT_EQ(restarts(), i + 1);
  }
  ::kill(Begins(site).back().pid, SIGKILL);
  int status = 0;
  for (int tries = 0; tries < 1000; ++tries) {
    if (Database(Status(&status), "uno", "4GL")["state"].text == "given_up") break;
    std::this_thread::sleep_for(20ms);
  }
  const tests::json::Value s = Status(&status);
  EXPECT_EQ(status, 4);
  EXPECT_EQ(Database(s, "uno", "4GL")["state"].text, "given_up");
  EXPECT_EQ(Database(s, "uno", "4GL")["restarts"].number, 2);
  std::this_thread::sleep_for(1500ms);  // past the wait a third restart would have had
  EXPECT_EQ(Begins(site).size(), 3u);
  service.Signal(SIGTERM);
  const Result r = service.Finish();
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.err.find("error: uno, 4GL: "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("; ended 3 times in 10 minutes; not started again\n"), std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("warning: uno, 4GL: ended with signal 9; starting it again in 1 s (restart "
                       "1 of at most 2 in 10 minutes)\n"),
            std::string::npos)
      << r.err;
}

// Only a crash while the service runs is started again: never an engine
// that ended with status 0 (stopped on purpose), none without reinicia, and
// none that its pause's stop command ended, however it ended.
TEST_F(Health, OnlyACrashWhileTheServiceRunsIsStartedAgain) {
  struct Case {
    const char* what;
    std::string profile;
    bool kill;          // the test kills the engine
    bool pause;         // the engine ends by its pause's stop command
    const char* state;  // its state then
    int status;         // -STATUS's exit status then
  };
  const Case cases[] = {
      {"an engine that ends with status 0",
       "[start]\n1=recorder start\n[stop]\n1=recorder stop\n[bases4GL]\nuno=1 @sleep=1500\n"
       "[opciones]\nespera_arranque=0.5\nreinicia=3\n",
       false, false, "ended", 4},
      {"a crash without reinicia", Restartable(""), true, false, "ended", 4},
      {"an engine its pause's stop command killed", Restartable("reinicia=3\n"), false, true,
       "stopped", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    tests::WriteFile(site.log(), "");
    site.Ombrel(c.profile);
    Background service(site.program(), {}, Env());
    ASSERT_TRUE(Served()) << service.Err();
    const pid_t engine = Begins(site).back().pid;
    if (c.pause) {
      // The stop line is the stop command and the database's first word:
      // "/bin/kill -KILL PID 1 ", which kills the engine (and fails on "1").
      site.Ombrel(Restartable("reinicia=3\n", "/bin/kill -KILL " + std::to_string(engine)));
      Run("-PAUSE");
    } else if (c.kill) {
      ::kill(engine, SIGKILL);
    }
    int status = -1;
    for (int tries = 0; tries < 1000; ++tries) {
      if (Database(Status(&status), "uno", "4GL")["state"].text == c.state) break;
      std::this_thread::sleep_for(20ms);
    }
    EXPECT_EQ(Database(Status(&status), "uno", "4GL")["state"].text, c.state);
    EXPECT_EQ(status, c.status);
    std::this_thread::sleep_for(1500ms);  // past the wait a first restart would have had
    EXPECT_EQ(Begins(site).size(), 1u) << service.Err();
    service.Signal(SIGTERM);
    const Result r = service.Finish();
    EXPECT_EQ(r.err.find("starting it again"), std::string::npos) << r.err;
  }
}

// A pause or stop never waits for a restart's time: the restart waiting is
// cancelled at once, and said.
TEST_F(Health, AStopCancelsARestartWaitingForItsTime) {
  site.Ombrel(Restartable("reinicia=3\n"));
  Background service(site.program(), {}, Env());
  ASSERT_TRUE(Served()) << service.Err();
  ::kill(Begins(site).back().pid, SIGKILL);
  for (int tries = 0; tries < 1000; ++tries) {
    if (Database(Status(), "uno", "4GL")["detail"].text.find("starting it again at") !=
        std::string::npos) {
      break;
    }
    std::this_thread::sleep_for(20ms);
  }
  service.Signal(SIGTERM);
  const Result r = service.Finish();
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.err.find("uno, 4GL: not started again: the stop came first"), std::string::npos)
      << r.err;
  EXPECT_EQ(Begins(site).size(), 1u);
}

}  // namespace
}  // namespace ostrim
