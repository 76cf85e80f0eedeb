// The settings of [opciones]: how long the sequences wait, how long a stop may
// take, and how many databases are handled at once; and requests that can no
// longer matter. Timings are read from the recorder's own timestamps.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <map>

#include "helpers/site_test.h"

using ostrim::tests::RunProgram;

namespace ostrim {
namespace {

using namespace std::chrono_literals;
using tests::Background;
using tests::Count;
using tests::Result;
using Lines = std::vector<std::string>;

// What the recorder saw of one launch.
struct Ran {
  std::string args;
  long long begin = -1, end = -1;  // ms; end -1: it never ended by itself
};

class Options : public tests::SiteTest {
 protected:
  // The launches, in the order they began.
  std::vector<Ran> Runs() const {
    std::vector<Ran> runs;
    std::map<std::string, std::size_t> by_pid;
    for (const auto& r : site.Records()) {
      if (r[0] == "begin") {
        by_pid[r[2]] = runs.size();
        runs.push_back({r[3], std::stoll(r[1]), -1});
      } else if (r[0] == "end" && by_pid.count(r[2])) {
        runs[by_pid[r[2]]].end = std::stoll(r[1]);
      }
    }
    return runs;
  }
  static const Ran& Find(const std::vector<Ran>& runs, const std::string& args) {
    static const Ran none;
    for (const Ran& r : runs) {
      if (r.args == args) return r;
    }
    return none;
  }
  static std::string Profile(const std::string& opciones, const std::string& stop,
                             const std::string& bases) {
    return "[opciones]\n" + opciones + "[start]\n1=recorder start\n[stop]\n1=" + stop +
           "\n[bases4GL]\n" + bases;
  }
};

TEST_F(Options, EsperaArranqueShortensAndLengthensEachStartWait) {
  struct Case {
    const char* espera;
    const char* engine;          // how long the engine runs, ms
    const char* state;           // its database's state after the start
    long long min_gap, max_gap;  // between its launch and the next, ms
  };
  const Case cases[] = {
      // Left running early: well before the 2.5 s it would wait by default,
      // and the engine still runs when -STATUS is asked.
      {"espera_arranque=0.5\n", "4000", "running", 400, 2400},
      // Waited past 2.5 s, until the engine ended, well before the 8 s.
      {"espera_arranque=8\n", "3000", "start_ended", 2900, 7000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.espera);
    std::filesystem::remove(site.log());
    site.Ombrel(Profile(c.espera, "recorder stop",
                        std::string("lento=l @sleep=") + c.engine + "\nrapido=r\n"));
    Background service(site.program(), {}, Env());
    ASSERT_TRUE(Served()) << service.Err();
    const std::vector<Ran> runs = Runs();
    ASSERT_GE(runs.size(), 2u);
    const long long gap = runs[1].begin - runs[0].begin;
    EXPECT_GE(gap, c.min_gap);
    EXPECT_LE(gap, c.max_gap);
    EXPECT_EQ(Database(Status(), "lento", "4GL")["state"].text, c.state);
    service.Signal(SIGTERM);
    EXPECT_EQ(service.Finish().status, 0);
    // The engine the stop left running would be adopted, not started, by
    // the next case's service.
    site.KillRecorders();
  }
}

// A stop command that outlives espera_parada goes on, is never killed, and
// the request waits for it at its end; the next database's stop begins.
TEST_F(Options, EsperaParadaMovesOnWithoutKillingTheSlowStop) {
  // The first word of a [bases4GL] value is its stop command's argument:
  // here, how long the recorder takes.
  site.Ombrel(Profile("espera_parada=0.5\n", "recorder stop", "lenta=@sleep=4000 l\nrapida=r\n"));
  Background service(site.program(), {}, Env());
  ASSERT_TRUE(Served()) << service.Err();
  service.Signal(SIGTERM);
  Result r = service.Finish();
  EXPECT_EQ(r.status, 0);
  const std::vector<Ran> runs = Runs();
  const Ran& lenta = Find(runs, "stop|@sleep=4000");
  const Ran& rapida = Find(runs, "stop|r");
  ASSERT_GE(lenta.begin, 0);
  ASSERT_GE(rapida.begin, 0);
  EXPECT_GE(rapida.begin - lenta.begin, 400);
  EXPECT_LT(rapida.begin, lenta.end);        // not after the slow stop's end
  EXPECT_GE(lenta.end - lenta.begin, 3900);  // it ran to its end: not killed
  EXPECT_NE(r.err.find("(lenta, stop) still runs after 0.500 s: going on with the next database"),
            std::string::npos)
      << r.err;
  // The request ended after it.
  const std::size_t ended = r.err.find("request stop: done");
  ASSERT_NE(ended, std::string::npos);
  EXPECT_NE(r.err.rfind("ended: exit status 0", ended), std::string::npos);
  EXPECT_NE(r.err.substr(0, ended).find(" s: lenta, stop\n"), std::string::npos) << r.err;
}

// parada_total ends the request, naming each stop command still running;
// the databases whose turn would not come before it get their stop command
// all the same, begun at once as the time runs out (mended: one hung stop
// command used the whole time and the next database was never stopped).
TEST_F(Options, ParadaTotalEndsThePauseNamingWhatStillRuns) {
  site.Ombrel(
      Profile("parada_total=3\n", "recorder stop", "atascada=@sleep=60000 a\nsiguiente=s\n"));
  Background service(site.program(), {}, Env());
  ASSERT_TRUE(Served()) << service.Err();
  const auto begun = std::chrono::steady_clock::now();
  Result r = Run("-PAUSE");
  const double took =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count();
  EXPECT_EQ(r.status, 1);
  EXPECT_LT(took, 30.0);  // not the 60 s its stop command runs
  EXPECT_NE(r.err.find("ostrim: atascada, stop: its stop command, pid "), std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("still runs: the pause's time (parada_total, 3 s) ran out"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(r.err.find("siguiente, stop: not launched"), std::string::npos) << r.err;
  const tests::json::Value s = Status();
  EXPECT_EQ(Database(s, "atascada", "stop")["state"].text, "stopping");
  EXPECT_NE(Database(s, "siguiente", "stop")["state"].text, "not_launched");
  // Begun before the time ran out (its recorder notes it once it runs).
  EXPECT_TRUE(site.WaitForLaunches(4, 20s));
  EXPECT_NE(Find(Runs(), "stop|s").begin, -1);
  service.Signal(SIGTERM);
  const Result end = service.Finish(60s);
  EXPECT_NE(end.err.find("the time allowed is nearly out: the 1 database not begun yet begins now"),
            std::string::npos)
      << end.err;
  for (const auto& rec : site.Records()) {
    if (rec[0] == "begin" && rec[3].find("@sleep=60000") != std::string::npos) {
      ::kill(std::stoi(rec[2]), SIGKILL);
    }
  }
}

// Mended: while a stop command ran, the service asked systemd for up to 5 s
// past parada_total; it never asks for more than the time the stop has left.
TEST_F(Options, AStopNeverAsksForMoreTimeThanParadaTotalLeaves) {
  site.Ombrel(Profile("parada_total=2\n", "recorder stop @sleep=500", "ventas=v\ncompras=c\n"));
  tests::NotifySocket notify;
  auto env = Env();
  env.emplace_back("NOTIFY_SOCKET", notify.path());
  Background service(site.program(), {}, env);
  ASSERT_TRUE(notify.WaitFor("READY=1", 20s)) << service.Err();
  service.Signal(SIGTERM);
  EXPECT_EQ(service.Finish().status, 0);
  bool stopping = false;
  int asked = 0;
  for (const std::string& m : notify.Messages()) {
    stopping = stopping || m.rfind("STOPPING=1", 0) == 0;
    const std::size_t at = m.find("EXTEND_TIMEOUT_USEC=");
    if (!stopping || at == std::string::npos) continue;
    ++asked;
    // (What it asks for is stretched by the notifier's 100 ms interval.)
    EXPECT_LE(std::stoll(m.substr(at + 20)), 2'100'000) << m;
  }
  EXPECT_GE(asked, 1);
}

// simultaneas: databases begin in list order, each database's launches stay
// in order (SQL before 4GL), and never more than N run at once.
TEST_F(Options, SimultaneasKeepsEachDatabasesOrderAndItsLimit) {
  std::string sql = "[basesSQL]\n";
  std::string bases;
  // b3 has no SQL launch: it still begins in its place in the list.
  for (int i = 0; i < 7; ++i) {
    if (i != 3) sql += "b" + std::to_string(i) + "=q" + std::to_string(i) + " @sleep=300\n";
    bases += "b" + std::to_string(i) + "=g" + std::to_string(i) + " @sleep=300\n";
  }
  site.Ombrel("[opciones]\nsimultaneas=3\n" + sql +
              "[start]\n1=recorder start\n[stop]\n1=recorder stop @sleep=300\n[bases4GL]\n" +
              bases);
  Background service(site.program(), {}, Env());
  ASSERT_TRUE(Served()) << service.Err();
  service.Signal(SIGTERM);
  Result r = service.Finish();
  EXPECT_EQ(r.status, 0) << r.err;
  const std::vector<Ran> runs = Runs();
  ASSERT_EQ(runs.size(), 20u);
  auto check_at_most = [&](const std::string& prefix, std::size_t most) {
    for (const Ran& a : runs) {
      if (a.args.rfind(prefix, 0) != 0) continue;
      std::size_t at_once = 0;
      for (const Ran& b : runs) {
        if (b.args.rfind(prefix, 0) == 0 && b.begin <= a.begin && b.end > a.begin) ++at_once;
      }
      EXPECT_LE(at_once, most) << a.args;
    }
  };
  check_at_most("start|", 3);
  check_at_most("stop|", 3);
  for (int i = 0; i < 7; ++i) {
    if (i == 3) continue;
    const std::string n = std::to_string(i);
    const Ran& q = Find(runs, "start|q" + n + "|@sleep=300|-z");
    const Ran& g = Find(runs, "start|g" + n + "|@sleep=300|-z");
    EXPECT_GE(g.begin, q.end) << "database " << n << ": its 4GL launch before its SQL one ended";
  }
  // Databases began in list order: the service's own launch lines say so (the
  // recorders of launches made a moment apart may note them the other way).
  std::size_t at = 0;
  for (int i = 0; i < 7; ++i) {
    const std::string pass = i == 3 ? ", 4GL" : ", SQL";
    const std::size_t next = r.err.find(": b" + std::to_string(i) + pass + ": \"recorder", at);
    EXPECT_NE(next, std::string::npos) << "b" << i << " began out of list order";
    at = next == std::string::npos ? at : next;
  }
  // Several at once, really: the start took less than one after another.
  EXPECT_NE(r.err.find("in progress: b0, b1, b2"), std::string::npos) << r.err;
}

// A value that is not a number, or out of range: warned with file, section,
// key and value; the default used; -CHECK says so and exits 3.
TEST_F(Options, InvalidValuesAreSaidAndTheirDefaultsUsed) {
  site.Ombrel(
      Profile("espera_arranque=rapido\nsimultaneas=100\nparada_total=-1\n"
              "espera_parada=2,5\nreinicia=101\n",
              "recorder stop", "uno=1\n"));
  Result check = Check();
  EXPECT_EQ(check.status, 3);
  const std::string ini = site / "Ombrel.ini";
  for (const std::string& line :
       {ini + " [opciones] espera_arranque=rapido: not a number of seconds above 0 to 3600; 2.5 "
              "is used",
        ini + " [opciones] simultaneas=100: not a whole number from 1 to 64; 1 is used",
        ini + " [opciones] parada_total=-1: not a number of seconds from 0 to 86400; 0 (no "
              "limit) is used",
        ini + " [opciones] reinicia=101: not a whole number from 0 to 100; 0 (never) is used"}) {
    EXPECT_NE(check.err.find("ostrim: " + line + "\n"), std::string::npos) << check.err;
  }
  EXPECT_NE(check.out.find("option\tespera_arranque\t2.5\n"), std::string::npos);
  EXPECT_NE(check.out.find("option\tespera_parada\t2.5\n"), std::string::npos);  // "2,5" reads
  EXPECT_NE(check.out.find("option\tsimultaneas\t1\n"), std::string::npos);
  EXPECT_NE(check.out.find("option\treinicia\t0\n"), std::string::npos);
  const tests::json::Value j =
      tests::json::Parse(RunProgram(site.program(), {"-CHECK", "-JSON"}, Env()).out);
  EXPECT_EQ(j["options"]["espera_parada"].number, 2.5);
  EXPECT_EQ(j["options"]["simultaneas"].number, 1);
  EXPECT_EQ(j["options"]["reinicia"].number, 0);
  // The service warns, and runs with the defaults.
  Background service(site.program(), {}, Env());
  ASSERT_TRUE(Served()) << service.Err();
  service.Signal(SIGTERM);
  Result r = service.Finish();
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.err.find("warning: " + ini + " [opciones] simultaneas=100"), std::string::npos);
  EXPECT_EQ(site.Launched(), (Lines{"start|1|-z", "stop|1"}));

  // And -CHECK warns when the stops cannot fit parada_total (status 0).
  site.Ombrel(Profile("espera_parada=10\nparada_total=15\nsimultaneas=2\n", "recorder stop",
                      "a=1\nb=2\nc=3\nd=4\ne=5\n"));
  check = Check();
  EXPECT_EQ(check.status, 0) << check.err;
  EXPECT_NE(check.err.find("[opciones] parada_total=15: the stops may not fit it: 5 stop commands, "
                           "each waited for up to 10 s, 2 at a time, can take 30 s"),
            std::string::npos)
      << check.err;
}

// A pause or continue that comes while a stop runs can no longer matter: it
// is answered at once, never queued behind the stop.
TEST_F(Options, APauseDuringAStopIsAnsweredAtOnce) {
  site.Ombrel(Profile("", "recorder stop @sleep=5000", "uno=1\n"));
  Background service(site.program(), {}, Env());
  ASSERT_TRUE(Served()) << service.Err();
  service.Signal(SIGTERM);
  ASSERT_TRUE(site.WaitForLaunches(2, 10s));
  Result r = Run("-PAUSE");
  // Answered while the stop command still runs: not queued behind it.
  const Ran stop = Find(Runs(), "stop|@sleep=5000|1");
  EXPECT_GE(stop.begin, 0);
  EXPECT_EQ(stop.end, -1);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("ostrim: the service is stopping; the pause was not run"), std::string::npos)
      << r.err;
  EXPECT_EQ(service.Finish().status, 0);
  EXPECT_EQ(site.Launched(), (Lines{"start|1|-z", "stop|@sleep=5000|1"}));
}

// An operator who gave up (`timeout 1 ostrim -CONTINUE`) before the request
// ran: the request is dropped, not run later for nobody.
TEST_F(Options, AnAbandonedContinueIsDropped) {
  site.Ombrel(Profile("", "recorder stop @sleep=5000", "uno=1\n"));
  Background service(site.program(), {}, Env());
  ASSERT_TRUE(Served()) << service.Err();
  service.Signal(SIGUSR1);  // a pause that takes 5 s
  ASSERT_TRUE(service.WaitForErr("request pause: begins", 10s));
  {
    // The operator gives up once the service has queued the request.
    Background client(site.program(), {"-CONTINUE"}, Env());
    ASSERT_TRUE(service.WaitForErr("request received: continue", 10s)) << service.Err();
    client.Signal(SIGKILL);
    EXPECT_EQ(client.Finish().status, 128 + SIGKILL);
  }
  ASSERT_TRUE(Served(2, 20s));
  ASSERT_TRUE(service.WaitForErr("dropped: its operator gave up before it ran", 10s))
      << service.Err();
  service.Signal(SIGTERM);
  Result r = service.Finish();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(Begun(r.err), (Lines{"start", "pause", "stop"}));
  EXPECT_EQ(site.Launched(), (Lines{"start|1|-z", "stop|@sleep=5000|1", "stop|@sleep=5000|1"}));
}

}  // namespace
}  // namespace ostrim
