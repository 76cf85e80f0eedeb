// The service record: each database's state as the requests and children
// move it, and its text and JSON forms read back as written.
#include "record.h"

#include <gtest/gtest.h>

#include "helpers/files.h"
#include "helpers/json.h"

namespace ostrim {
namespace {

// Ends as the watch gives them, worded as the platform words them.
ProcessEnd Status(int value) {
  return {false, value, {}, "exit status " + std::to_string(value)};
}
ProcessEnd Signal(int value) {
  return {true, value, {}, "killed by signal " + std::to_string(value)};
}

const DatabaseRecord* Find(const ServiceRecord& r, const std::string& name,
                           const std::string& pass) {
  for (const DatabaseRecord& d : r.Databases()) {
    if (d.name == name && PassName(d.pass) == pass) return &d;
  }
  return nullptr;
}

std::string StateOf(const ServiceRecord& r, const std::string& name, const std::string& pass) {
  const DatabaseRecord* d = Find(r, name, pass);
  return d == nullptr ? "(none)" : DatabaseStateName(d->state);
}

class RecordTest : public testing::Test {
 protected:
  void Begin(std::string_view request) { r.BeginRequest(KindOf(request)); }
  void End(std::string_view request, ServiceState after) {
    r.EndRequest(KindOf(request), true, "", 0.5, after);
  }
  ServiceRecord r;
};

TEST_F(RecordTest, FollowsEachDatabaseThroughAStartAndAPause) {
  Begin("start");
  r.Launched({"ventas", "SQL", "v -q"}, 10, "arranca v -q -z");
  r.LeftRunning({"ventas", "SQL", "v -q"}, 10);
  r.Launched({"ventas", "4GL", "v"}, 11, "arranca v -z");
  EXPECT_FALSE(r.Ended({"ventas", "4GL", "v"}, 11, Status(0), true));  // daemonized at once
  r.LaunchFailed({"compras", "4GL", "c"}, "/no/arranca c -z", "cannot run \"/no/arranca\": No");
  End("start", ServiceState::kRunning);
  EXPECT_EQ(StateOf(r, "ventas", "SQL"), "running");
  EXPECT_EQ(Find(r, "ventas", "SQL")->pid, 10);
  EXPECT_EQ(StateOf(r, "ventas", "4GL"), "start_ended");
  EXPECT_EQ(Find(r, "ventas", "4GL")->detail,
            "exit status 0; what it started is not watched by the service");
  EXPECT_EQ(StateOf(r, "compras", "4GL"), "launch_failed");
  EXPECT_EQ(r.last_tally.lines, 3);
  EXPECT_EQ(r.last_tally.failed, 1);
  EXPECT_TRUE(r.degraded);  // a launch of the last start failed
  EXPECT_EQ(r.last_problems.size(), 1u);

  // What a stop must stop: the launches that made a process.
  std::vector<std::string> started;
  for (const DatabaseRecord& d : r.Started()) started.push_back(d.name + " " + PassName(d.pass));
  EXPECT_EQ(started, (std::vector<std::string>{"ventas SQL", "ventas 4GL"}));

  Begin("pause");
  r.Launched({"ventas", "stop", "v"}, 20, "para v");
  EXPECT_FALSE(r.Ended({"ventas", "stop", "v"}, 20, Status(1), true));
  r.LaunchFailed({"compras", "stop", "c"}, "/no/para c", "cannot run");
  const std::vector<DatabaseRecord> left = r.EndOfStop();
  End("pause", ServiceState::kPaused);
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0].name, "ventas");
  EXPECT_EQ(StateOf(r, "ventas", "SQL"), "left_running");
  EXPECT_EQ(StateOf(r, "ventas", "stop"), "stop_ran");
  EXPECT_EQ(Find(r, "ventas", "stop")->detail, "exit status 1");
  EXPECT_EQ(StateOf(r, "compras", "stop"), "launch_failed");
  EXPECT_EQ(r.last_tally.ended_badly, 1);
  // The failed stop, the stop that could not run, the engine left running.
  EXPECT_EQ(r.last_problems.size(), 3u);

  // The engine left running ends later, while paused: no surprise.
  EXPECT_FALSE(r.Ended({"ventas", "SQL", "v -q"}, 10, Status(0), false));
  EXPECT_EQ(StateOf(r, "ventas", "SQL"), "stopped");

  // The next start replaces what the last one ran, and the stop's entries.
  Begin("continue");
  EXPECT_FALSE(r.degraded);
  EXPECT_TRUE(r.Databases().empty());
}

TEST_F(RecordTest, AnEngineThatEndsWhileRunningDegradesTheService) {
  struct Case {
    ProcessEnd end;
    ServiceState state;  // the service's state when it ends
    bool during_stop;    // a pause is running
    bool unexpected;
    const char* db_state;
  };
  const Case cases[] = {
      {Signal(9), ServiceState::kRunning, false, true, "ended"},
      {Status(0), ServiceState::kRunning, false, true, "ended"},
      {Status(0), ServiceState::kRunning, true, false, "stopped"},
      {Signal(15), ServiceState::kPaused, false, false, "stopped"},
  };
  for (const Case& c : cases) {
    ServiceRecord record;
    record.BeginRequest(KindOf("start"));
    record.Launched({"compras", "4GL", "c"}, 7, "arranca c -z");
    record.EndRequest(KindOf("start"), true, "", 2.5, ServiceState::kRunning);
    if (c.state == ServiceState::kPaused) {
      record.BeginRequest(KindOf("pause"));
      record.EndRequest(KindOf("pause"), true, "", 1, ServiceState::kPaused);
    }
    if (c.during_stop) record.BeginRequest(KindOf("pause"));
    EXPECT_EQ(record.Ended({"compras", "4GL", "c"}, 7, c.end, false), c.unexpected);
    EXPECT_EQ(StateOf(record, "compras", "4GL"), c.db_state);
    EXPECT_EQ(record.degraded, c.unexpected);
    if (c.unexpected) {
      EXPECT_EQ(record.health_reason, "compras ended: " + c.end.text);
    }
  }
}

// With restarts allowed ([opciones] reinicia), a crash is kept for the form
// instead of degrading the service; an end with status 0 still degrades
// (stopped on purpose: never started again). A restart is counted on its
// entry, an engine given up on degrades, and a start begins the counts anew.
TEST_F(RecordTest, CrashesAreKeptForTheirRestartsAndCounted) {
  r.SetRestartLimit(2);
  Begin("start");
  r.Launched({"ventas", "4GL", "v"}, 10, "arranca v -z");
  r.LeftRunning({"ventas", "4GL", "v"}, 10);
  r.Launched({"compras", "4GL", "c"}, 11, "arranca c -z");
  r.LeftRunning({"compras", "4GL", "c"}, 11);
  End("start", ServiceState::kRunning);

  EXPECT_TRUE(r.Ended({"ventas", "4GL", "v"}, 10, Signal(9), false));
  EXPECT_FALSE(r.degraded);
  const std::vector<ServiceRecord::Crash> crashes = r.TakeCrashes();
  ASSERT_EQ(crashes.size(), 1u);
  EXPECT_EQ(crashes[0].tag.database, "ventas");
  EXPECT_EQ(crashes[0].command, "arranca v -z");
  EXPECT_TRUE(r.TakeCrashes().empty());
  EXPECT_EQ(StateOf(r, "ventas", "4GL"), "ended");

  r.Restarting({"ventas", "4GL", "v"});
  r.Launched({"ventas", "4GL", "v"}, 12, "arranca v -z");
  EXPECT_EQ(Find(r, "ventas", "4GL")->restarts, 1);
  EXPECT_EQ(StateOf(r, "ventas", "4GL"), "running");
  EXPECT_TRUE(r.Runs({"ventas", "4GL", "v"}));

  EXPECT_TRUE(r.Ended({"compras", "4GL", "c"}, 11, Status(0), false));
  EXPECT_TRUE(r.TakeCrashes().empty());
  EXPECT_TRUE(r.degraded);

  EXPECT_TRUE(r.Ended({"ventas", "4GL", "v"}, 12, Signal(9), false));
  EXPECT_EQ(r.TakeCrashes().size(), 1u);
  r.GiveUp({"ventas", "4GL", "v"}, "ended 3 times in 10 minutes; not started again");
  EXPECT_EQ(StateOf(r, "ventas", "4GL"), "given_up");
  EXPECT_NE(r.health_reason.find("ventas, 4GL: given up: ended 3 times"), std::string::npos)
      << r.health_reason;
  EXPECT_EQ(Find(ServiceRecord::Parse(r.Text()), "ventas", "4GL")->restarts, 1);

  Begin("continue");
  EXPECT_FALSE(r.degraded);
  r.Launched({"ventas", "4GL", "v"}, 13, "arranca v -z");
  EXPECT_EQ(Find(r, "ventas", "4GL")->restarts, 0);
}

// Every engine the service watches has its own entry: a second launch of a
// database whose first engine still runs never hides the first one from a
// pause, from -STATUS or from the end of a stop.
TEST_F(RecordTest, ALaunchBesideARunningEngineKeepsBoth) {
  struct Case {
    const char* what;
    std::string_view second;  // the request that launches it again
    bool first_ends;          // the first engine ends after the second launch
  };
  const Case cases[] = {
      {"a continue sent to a running service", "continue", false},
      {"a database selected twice", "start", false},
      {"the earlier engine ends afterwards", "continue", true},
  };
  for (const Case& c : cases) {
    r = ServiceRecord();
    Begin("start");
    r.Launched({"ventas", "4GL", "v"}, 10, "arranca v -z");
    if (c.second == "start") r.Launched({"ventas", "4GL", "v"}, 11, "arranca v -z");
    End("start", ServiceState::kRunning);
    if (c.second == "continue") {
      Begin("continue");
      r.Launched({"ventas", "4GL", "v"}, 11, "arranca v -z");
      End("continue", ServiceState::kRunning);
    }
    std::vector<std::int64_t> pids;
    for (const DatabaseRecord& d : r.Databases()) pids.push_back(d.pid);
    EXPECT_EQ(pids, (std::vector<std::int64_t>{10, 11})) << c.what;
    if (c.first_ends) {
      EXPECT_TRUE(r.Ended({"ventas", "4GL", "v"}, 10, Status(1), false)) << c.what;
      EXPECT_EQ(r.Databases()[0].state, DatabaseState::kEnded) << c.what;
      EXPECT_EQ(r.Databases()[1].state, DatabaseState::kRunning) << c.what;
    }
    // A pause whose stop command leaves both running names both.
    Begin("pause");
    r.Launched({"ventas", "stop", "v"}, 20, "para v");
    r.Ended({"ventas", "stop", "v"}, 20, Status(0), true);
    EXPECT_TRUE(r.EnginesRunning()) << c.what;
    EXPECT_EQ(r.EndOfStop().size(), c.first_ends ? 1u : 2u) << c.what;
  }
}

// A retried pause: an engine left running by the first is still running at
// the second, which must not say that everything stopped.
// The engines the state file keeps are found without a walk of every
// entry; whatever moves the record (launches, ends, stop commands, the
// requests that drop old entries), they are the entries a walk would find,
// in the record's order. 2,000 random steps over eight databases.
TEST_F(RecordTest, ItsEnginesAreAlwaysTheEntriesThatRunEngines) {
  std::uint32_t seed = 12345;
  auto next = [&seed](std::uint32_t n) {
    seed = seed * 1664525u + 1013904223u;
    return (seed >> 8) % n;
  };
  const char* requests[] = {"start", "pause", "continue", "stop"};
  const char* passes[] = {"SQL", "4GL", "stop"};
  std::int64_t pid = 100;
  std::vector<std::pair<LaunchTag, std::int64_t>> running;
  for (int step = 0; step < 2000; ++step) {
    SCOPED_TRACE(step);
    switch (next(5)) {
      case 0:
        Begin(requests[next(4)]);
        break;
      case 1:
      case 2: {
        LaunchTag tag{"base" + std::to_string(next(8)), passes[next(3)], "x"};
        r.Launched(tag, ++pid, "arranca x -z");
        running.emplace_back(tag, pid);
        if (next(2) == 0) r.LeftRunning(tag, pid);
        break;
      }
      default:
        if (running.empty()) break;
        const std::size_t k = next(static_cast<std::uint32_t>(running.size()));
        r.Ended(running[k].first, running[k].second, Status(static_cast<int>(next(2))), next(2));
        running.erase(running.begin() + static_cast<std::ptrdiff_t>(k));
    }
    std::vector<const DatabaseRecord*> walked;
    for (const DatabaseRecord& d : r.Databases()) {
      if (d.pid != 0 && d.pass != Pass::kStop && StillRuns(d)) walked.push_back(&d);
    }
    ASSERT_EQ(r.Engines(), walked);
  }
}

TEST_F(RecordTest, AnEngineLeftRunningStaysAProblemOfEachStop) {
  Begin("start");
  r.Launched({"ventas", "4GL", "v"}, 10, "arranca v -z");
  End("start", ServiceState::kRunning);
  for (int pause = 1; pause <= 2; ++pause) {
    Begin("pause");
    r.Launched({"ventas", "stop", "v"}, 20 + pause, "para v");
    r.Ended({"ventas", "stop", "v"}, 20 + pause, Status(0), true);
    EXPECT_TRUE(r.EnginesRunning()) << pause;
    ASSERT_EQ(r.EndOfStop().size(), 1u) << pause;
    End("pause", ServiceState::kPaused);
    EXPECT_EQ(r.last_problems,
              (std::vector<std::string>{
                  "ventas, 4GL: its engine, pid 10, still runs after its stop command"}))
        << pause;
    EXPECT_TRUE(r.degraded) << pause;
    EXPECT_EQ(StateOf(r, "ventas", "4GL"), "left_running");
  }
}

// How a start command that ends within its wait reads, and how a pause's
// stop commands that fail leave the health.
TEST_F(RecordTest, ACommandThatFailsWithinItsWaitIsAFailureOfItsDatabase) {
  struct Case {
    std::string_view request;
    const char* pass;
    ProcessEnd end;
    const char* state;
    bool degraded;
    bool to_stop;  // a stop must still stop what it started
  };
  const Case cases[] = {
      {"start", "4GL", Status(0), "start_ended", false, true},
      {"start", "4GL", Status(1), "start_failed", true, false},
      {"start", "SQL", Signal(11), "start_failed", true, false},
      {"pause", "stop", Status(0), "stop_ran", false, false},
      {"pause", "stop", Status(2), "stop_ran", true, false},
  };
  for (const Case& c : cases) {
    r = ServiceRecord();
    Begin(c.request);
    r.Launched({"ventas", c.pass, "v"}, 10, "orden v");
    r.Ended({"ventas", c.pass, "v"}, 10, c.end, true);
    End(c.request, c.request == "start" ? ServiceState::kRunning : ServiceState::kPaused);
    const std::string what = std::string(c.pass) + " " + c.end.text;
    EXPECT_EQ(StateOf(r, "ventas", c.pass), c.state) << what;
    EXPECT_EQ(r.degraded, c.degraded) << what;
    EXPECT_EQ(r.Started().size(), c.to_stop ? 1u : 0u) << what;
    EXPECT_EQ(r.last_tally.ended_badly, c.degraded ? 1 : 0) << what;
  }
}

TEST_F(RecordTest, KeepsWhatEachDatabaseWasStartedWithPastItsEntries) {
  Begin("start");
  r.Launched({"ventas", "SQL", "v -q"}, 10, "arranca v -q -z");
  r.Launched({"ventas", "4GL", "v  x"}, 11, "arranca v  x -z");
  r.Ended({"ventas", "4GL", "v  x"}, 11, Status(0), true);
  End("start", ServiceState::kRunning);
  // The next start drops the ended entry; the SQL engine still runs.
  Begin("continue");
  End("continue", ServiceState::kRunning);
  EXPECT_EQ(StateOf(r, "ventas", "4GL"), "(none)");
  EXPECT_EQ(r.StartedWith("ventas"), "v  x");
  EXPECT_EQ(r.StartedWith("compras"), "");
}

// What a stop fell short of, as the service manager's last status says it.
TEST_F(RecordTest, AStopsShortfallNamesItsDatabases) {
  Begin("start");
  r.Launched({"almacen", "4GL", "a"}, 10, "arranca a -z");
  End("start", ServiceState::kRunning);
  Begin("stop");
  EXPECT_EQ(r.StopShortfall(), "");
  r.Launched({"ventas", "stop", "v"}, 20, "para v");
  r.Ended({"ventas", "stop", "v"}, 20, Status(2), true);
  r.LaunchFailed({"compras", "stop", "c"}, "/no/para c", "cannot run");
  r.Launched({"almacen", "stop", "a"}, 21, "para a");
  r.Ended({"almacen", "stop", "a"}, 21, Status(0), true);
  r.EndOfStop();
  EXPECT_EQ(r.StopShortfall(),
            "2 stop commands failed: ventas, compras; 1 engine left running: almacen");
}

// Reasons are counted as they come: a database's name may hold "; ".
TEST_F(RecordTest, TheHealthKeepsItsFirstReasonsWhateverTheNames) {
  Begin("start");
  for (int i = 0; i < 10; ++i) {
    r.LaunchFailed({"a; b" + std::to_string(i), "4GL", ""}, "x", "cannot run");
  }
  End("start", ServiceState::kRunning);
  std::size_t mores = 0;
  for (std::size_t at = 0; (at = r.health_reason.find("and more", at)) != std::string::npos; ++at)
    ++mores;
  EXPECT_EQ(mores, 1u) << r.health_reason;
  EXPECT_NE(r.health_reason.find("a; b7, 4GL: launch failed; and more"), std::string::npos)
      << r.health_reason;
}

// A checked database found down degrades the service only while it stays
// down; what a request found keeps it degraded whatever the checks say.
TEST_F(RecordTest, ADatabaseDownDegradesItUntilItIsUpAgain) {
  Begin("start");
  r.Readiness("ventas", EstadoListo::kWaiting, "its start is running", "comprueba ventas");
  r.Readiness("compras", EstadoListo::kWaiting, "", "127.0.0.1:5432");
  r.Readiness("ventas", EstadoListo::kUp, "up after 0.300 s");
  End("start", ServiceState::kRunning);
  EXPECT_FALSE(r.degraded);
  struct Step {
    const char* name;
    EstadoListo state;
    const char* detail;
    bool degraded;
    const char* reason;
  };
  const Step steps[] = {
      {"compras", EstadoListo::kDown, "connection refused", true,
       "compras is down: connection refused"},
      {"ventas", EstadoListo::kDown, "exit status 1", true,
       "ventas is down: exit status 1; compras is down: connection refused"},
      {"compras", EstadoListo::kUp, "up again", true, "ventas is down: exit status 1"},
      {"ventas", EstadoListo::kUp, "up again", false, ""},
  };
  for (const Step& s : steps) {
    r.Readiness(s.name, s.state, s.detail);
    EXPECT_EQ(r.degraded, s.degraded) << s.name << " " << s.detail;
    EXPECT_EQ(r.health_reason, s.reason);
  }
  EXPECT_EQ(r.ReadinessOf("ventas")->what, "comprueba ventas");  // kept when not given
  // A launch that failed keeps the service degraded with every check up.
  Begin("pause");
  r.LaunchFailed({"almacen", "4GL", ""}, "x", "cannot run");
  r.Readiness("compras", EstadoListo::kDown, "connection refused");
  r.Readiness("compras", EstadoListo::kUp, "up again");
  EXPECT_TRUE(r.degraded);
  EXPECT_EQ(r.health_reason, "almacen, 4GL: launch failed");
  // A database no longer checked takes its readiness with it.
  r.Readiness("ventas", EstadoListo::kDown, "exit status 1");
  r.KeepReadiness({"compras"});
  ASSERT_EQ(r.Checks().size(), 1u);
  EXPECT_EQ(r.health_reason, "almacen, 4GL: launch failed");
}

TEST(RecordText, ReadsBackWhatItWrites) {
  ServiceRecord r;
  r.state = ServiceState::kPaused;
  r.pid = 4321;
  r.since = "2026-12-08T23:17:36Z";
  r.directory = "C:\\Mis Bases";
  r.degraded = true;
  r.health_reason = "compras ended: killed";
  r.requests = 7;
  r.last_request = "pause";
  r.last_result = "failed: a\tTAB and\na line end";  // cannot break the lines, read back whole
  r.last_state_before = ServiceState::kRunning;
  r.last_tally = {5, 2, 1};
  r.last_seconds = 12.3456;
  r.last_problems = {"ventas, stop: exit status 1", "a; b"};
  r.last_notes = {"compras, 4GL: left out of the pause"};
  r.AddDatabase({"ventas", Pass::k4GL, DatabaseState::kLeftRunning, 10, "2026-12-08T23:17:30Z",
                 "still running", "arranca\tventas -z", "hidden"});
  r.AddDatabase({"", Pass::kStop, DatabaseState::kStopRan, 0, "", "", "", ""});
  r.AddReadiness({"ventas", "down", "2026-12-08T23:17:31Z", "exit status 1",
                  "comprueba\tventas and 127.0.0.1:5432"});
  const ServiceRecord back = ServiceRecord::Parse(r.Text());
  EXPECT_EQ(back.Text(), ServiceRecord::Parse(back.Text()).Text());
  EXPECT_EQ(back.state, ServiceState::kPaused);
  EXPECT_EQ(back.pid, 4321);
  EXPECT_EQ(back.since, r.since);
  EXPECT_EQ(back.directory, r.directory);
  EXPECT_TRUE(back.degraded);
  EXPECT_EQ(back.health_reason, r.health_reason);
  EXPECT_EQ(back.requests, 7u);
  EXPECT_EQ(back.last_request, "pause");
  // Mended: a TAB or line end read back as a blank, so that "tab<TAB>in"
  // and "tab in" read the same, in -STATUS -JSON too. Every value now
  // comes back exactly, backslashes and any byte included.
  EXPECT_EQ(back.last_result, r.last_result);
  EXPECT_EQ(back.last_state_before, ServiceState::kRunning);
  EXPECT_EQ(back.last_tally.lines, 5);
  EXPECT_EQ(back.last_tally.failed, 2);
  EXPECT_EQ(back.last_tally.ended_badly, 1);
  EXPECT_DOUBLE_EQ(back.last_seconds, 12.346);
  EXPECT_EQ(back.last_problems, r.last_problems);
  EXPECT_EQ(back.last_notes, r.last_notes);
  ASSERT_EQ(back.Databases().size(), 2u);
  EXPECT_EQ(back.Databases()[0].name, "ventas");
  EXPECT_EQ(back.Databases()[0].pass, Pass::k4GL);
  EXPECT_EQ(back.Databases()[0].state, DatabaseState::kLeftRunning);
  EXPECT_EQ(back.Databases()[0].pid, 10);
  EXPECT_EQ(back.Databases()[0].detail, "still running");
  EXPECT_EQ(back.Databases()[0].command, "arranca\tventas -z");
  EXPECT_EQ(back.Databases()[0].argument, "");  // kept by the service, never published
  EXPECT_EQ(back.Databases()[1].state, DatabaseState::kStopRan);
  ASSERT_EQ(back.Checks().size(), 1u);
  EXPECT_EQ(back.Checks()[0].what, "comprueba\tventas and 127.0.0.1:5432");
  EXPECT_EQ(back.Checks()[0].since, "2026-12-08T23:17:31Z");
  // With Windows line ends, and lines it does not know, it reads the same.
  EXPECT_EQ(ServiceRecord::Parse("state\trunning\r\nnew_key\tx\npid\t9\n").pid, 9);
  EXPECT_EQ(ServiceRecord::Parse("state\trunning\r\n").state, ServiceState::kRunning);
  // A database line of an earlier version, without its last fields (a
  // service that ran on across a package upgrade): read, with defaults.
  const ServiceRecord older = ServiceRecord::Parse(
      "state\trunning\ndatabase\tventas\t4GL\trunning\t7\tT\t\tarranca v -z\n");
  ASSERT_EQ(older.Databases().size(), 1u);
  EXPECT_EQ(older.Databases()[0].pid, 7);
  EXPECT_EQ(older.Databases()[0].command, "arranca v -z");
  EXPECT_EQ(older.Databases()[0].restarts, 0);

  struct Odd {
    std::string name;
  };
  const Odd odd[] = {{"tab\tin"},    {"tab in"},  {"tab\\tin"},
                     {"esc\x1b[2J"}, {"C:\\x41"}, {std::string("nul\0x", 5)},
                     {"\xff\xfe"},   {"end\\"}};
  for (const Odd& o : odd) {
    ServiceRecord one;
    one.AddDatabase({o.name, Pass::k4GL, DatabaseState::kRunning, 1, "", o.name, o.name, ""});
    const ServiceRecord read = ServiceRecord::Parse(one.Text());
    ASSERT_EQ(read.Databases().size(), 1u) << o.name;
    EXPECT_EQ(read.Databases()[0].name, o.name);
    EXPECT_EQ(read.Databases()[0].detail, o.name);
    EXPECT_EQ(read.Databases()[0].command, o.name);
  }

  // The database lines, as scripts read them: the values as the operator
  // sees them, each control character written visibly, so that a TAB never
  // adds a field; backslashes as they are.
  const std::string text = r.Text(ServiceRecord::Form::kShown);
  EXPECT_NE(text.find("\ndatabase\tventas\t4GL\tleft_running\t10\t2026-12-08T23:17:30Z\tstill "
                      "running\tarranca\\tventas -z\t0\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("\ndirectory\tC:\\Mis Bases\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\ncheck\tventas\tdown\t2026-12-08T23:17:31Z\texit status "
                      "1\tcomprueba\\tventas and 127.0.0.1:5432\n"),
            std::string::npos)
      << text;

  // The same facts as JSON.
  const tests::json::Value j = tests::json::Parse(r.Json());
  EXPECT_EQ(j["state"].text, "paused");
  EXPECT_EQ(j["pid"].number, 4321);
  EXPECT_EQ(j["health"].text, "degraded");
  EXPECT_EQ(j["last_request"]["name"].text, "pause");
  EXPECT_EQ(j["last_request"]["failed"].number, 2);
  EXPECT_EQ(j["last_request"]["problems"].Strings(), r.last_problems);
  EXPECT_EQ(j["last_request"]["notes"].Strings(), r.last_notes);
  ASSERT_EQ(j["databases"].size(), 2u);
  EXPECT_EQ(j["databases"][0]["name"].text, "ventas");
  EXPECT_EQ(j["databases"][0]["state"].text, "left_running");
  EXPECT_EQ(j["databases"][0]["pid"].number, 10);
  EXPECT_EQ(j["databases"][0]["command"].text, "arranca\tventas -z");
  EXPECT_FALSE(j["databases"][0].Has("argument"));
  ASSERT_EQ(j["checks"].size(), 1u);
  EXPECT_EQ(j["checks"][0]["name"].text, "ventas");
  EXPECT_EQ(j["checks"][0]["state"].text, "down");
  EXPECT_EQ(j["checks"][0]["detail"].text, "exit status 1");
  EXPECT_EQ(j["checks"][0]["what"].text, "comprueba\tventas and 127.0.0.1:5432");
  ServiceRecord fresh;
  EXPECT_EQ(tests::json::Parse(fresh.Json())["last_request"].type, tests::json::Value::Type::kNull);
}

TEST(RecordText, WritesEveryStateByItsName) {
  for (DatabaseState s :
       {DatabaseState::kNotLaunched, DatabaseState::kLaunchFailed, DatabaseState::kRunning,
        DatabaseState::kStartEnded, DatabaseState::kStartFailed, DatabaseState::kEnded,
        DatabaseState::kStopping, DatabaseState::kStopRan, DatabaseState::kStopped,
        DatabaseState::kLeftRunning}) {
    ServiceRecord r;
    r.AddDatabase({"b", Pass::k4GL, s, 0, "", "", "", ""});
    EXPECT_EQ(ServiceRecord::Parse(r.Text()).Databases().at(0).state, s) << DatabaseStateName(s);
  }
  EXPECT_EQ(UtcNow().size(), 20u);
  EXPECT_EQ(UtcNow().back(), 'Z');
}

// The record as Prometheus' text format: a family heading each, one sample
// per database and pass however many engines it has, names escaped as the
// format says whatever they hold, and with no service only ostrim_up 0.
TEST(RecordMetrics, TellTheRecordInPrometheusTextFormat) {
  ServiceRecord none;
  none.state = ServiceState::kNone;
  EXPECT_EQ(none.Metrics(),
            "# HELP ostrim_up 1 when a service serves the site, else 0.\n"
            "# TYPE ostrim_up gauge\nostrim_up 0\n");

  ServiceRecord r;
  r.state = ServiceState::kRunning;
  r.since = "2026-12-08T23:17:36Z";
  r.degraded = true;
  r.requests = 3;
  r.last_request = "continue";
  r.last_result = "failed: boom";
  r.last_seconds = 2.5;
  r.AddDatabase({"ventas", Pass::k4GL, DatabaseState::kRunning, 10, "", "", "arranca v", "", 2});
  // A second engine, launched before the last restart: the count is the
  // database's, not added up per engine.
  r.AddDatabase({"ventas", Pass::k4GL, DatabaseState::kRunning, 11, "", "", "arranca v", "", 1});
  r.AddDatabase({"ventas", Pass::kSQL, DatabaseState::kEnded, 0, "", "", "arranca v", "", 1});
  r.AddDatabase({"a\"b\\c\nd\xff", Pass::k4GL, DatabaseState::kGivenUp, 0, "", "", "", "", 3});
  r.AddReadiness({"ventas", "down", "", "exit status 1", "comprueba ventas "});
  const std::string m = r.Metrics();
  for (const char* line : {
           "ostrim_up 1\n",
           "ostrim_healthy 0\n",
           "ostrim_state{state=\"running\"} 1\n",
           "ostrim_state{state=\"paused\"} 0\n",
           "ostrim_state_since_timestamp_seconds 1796771856\n",
           "# TYPE ostrim_requests_total counter\nostrim_requests_total 3\n",
           "ostrim_last_request_success 0\n",
           "ostrim_last_request_duration_seconds 2.500\n",
           "ostrim_database_state{database=\"ventas\",pass=\"4GL\",state=\"running\"} 2\n",
           "ostrim_database_state{database=\"ventas\",pass=\"4GL\",state=\"ended\"} 0\n",
           "ostrim_database_state{database=\"ventas\",pass=\"SQL\",state=\"ended\"} 1\n",
           "ostrim_database_restarts_total{database=\"ventas\",pass=\"4GL\"} 2\n",
           "ostrim_check_state{database=\"ventas\",state=\"down\"} 1\n",
           "ostrim_check_state{database=\"ventas\",state=\"up\"} 0\n",
           // A quote, a backslash, a line end, and a byte that is no UTF-8
           // (its Latin-1 reading, as in JSON).
           "ostrim_database_state{database=\"a\\\"b\\\\c\\nd\xc3\xbf\",pass=\"4GL\",state=\"given_"
           "up\"} "
           "1\n",
       }) {
    EXPECT_NE(m.find(line), std::string::npos) << line << "\n" << m;
  }
  // Each family once, each series once.
  EXPECT_EQ(tests::Count(m, "# TYPE ostrim_database_state gauge"), 1);
  EXPECT_EQ(tests::Count(m, "ostrim_database_restarts_total{database=\"ventas\",pass=\"4GL\"}"), 1);
}

}  // namespace
}  // namespace ostrim
