// Whether each database is up ([listo], [puertos]): the service is ready when
// its databases are, a database up already is not started again, one that
// never comes up is named, a watched one going down is seen, and a pause
// whose database stays up is no success.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <thread>

#include "helpers/site_test.h"

namespace ostrim {
namespace {

using namespace std::chrono_literals;
using tests::Background;
using tests::Result;

// A port nothing listens on now (the system picked it).
int FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    ::close(fd);
    return 0;
  }
  ::close(fd);
  return ntohs(address.sin_port);
}

class Checks : public tests::SiteTest {
 protected:
  // The check entry of `name` in a -STATUS -JSON answer (null when none).
  static const tests::json::Value& CheckOf(const tests::json::Value& status,
                                           const std::string& name) {
    static const tests::json::Value none;
    for (std::size_t i = 0; i < status["checks"].size(); ++i) {
      if (status["checks"][i]["name"].text == name) return status["checks"][i];
    }
    return none;
  }
  // Waits until -STATUS says `name`'s check is in `state`.
  bool WaitForCheck(const std::string& name, const std::string& state,
                    std::chrono::milliseconds limit = 20s) const {
    for (auto end = std::chrono::steady_clock::now() + limit;
         std::chrono::steady_clock::now() < end; std::this_thread::sleep_for(20ms)) {
      if (CheckOf(Status(), name)["state"].text == state) return true;
    }
    return false;
  }
  // The environment of a service run under systemd's notify socket.
  tests::Environment EnvWith(const tests::NotifySocket& notify) const {
    tests::Environment env = Env();
    env.emplace_back("NOTIFY_SOCKET", notify.path());
    return env;
  }
  std::string File(const std::string& name) const { return site / name; }
  bool Exists(const std::string& name) const { return std::filesystem::exists(File(name)); }
  void Touch(const std::string& name) const { tests::WriteFile(File(name), "up\n"); }
  // The pids of the recorders begun with arguments that start with `args`.
  std::vector<pid_t> PidsOf(const std::string& args) const {
    std::vector<pid_t> pids;
    for (const auto& r : site.Records()) {
      if (r[0] == "begin" && r[3].rfind(args, 0) == 0) pids.push_back(std::stoi(r[2]));
    }
    return pids;
  }
};

// READY=1 only once every checked database accepts connections; -STATUS
// says "waiting" until then and "up" after; a launch's wait ends as soon as
// its check passes, not after its 2.5 s.
TEST_F(Checks, TheServiceIsReadyOnlyOnceItsDatabasesAreUp) {
  const int ventas = FreePort();
  const int compras = FreePort();
  ASSERT_NE(ventas, 0);
  site.Ombrel(
      "[start]\n1=recorder start\n[stop]\n1=recorder stop\n[bases4GL]\nventas=v\n"
      "compras=c\n[basesSQL]\nventas=@listen=" +
      std::to_string(ventas) + ":" + File("gate") + " @sleep=60000\ncompras=@listen=" +
      std::to_string(compras) + ":200 @sleep=60000\n[puertos]\nventas=" + std::to_string(ventas) +
      "\ncompras=127.0.0.1:" + std::to_string(compras) + "\n");
  tests::NotifySocket notify;
  Background service(site.program(), {}, EnvWith(notify));
  ASSERT_TRUE(WaitForCheck("ventas", "waiting")) << service.Err();
  const tests::json::Value waiting = Status();
  EXPECT_EQ(CheckOf(waiting, "ventas")["what"].text, "127.0.0.1:" + std::to_string(ventas));
  for (const std::string& m : notify.Messages()) EXPECT_EQ(m.find("READY=1"), std::string::npos);
  Touch("gate");
  ASSERT_TRUE(notify.WaitFor("READY=1", 20s)) << service.Err();
  // Each engine's port accepted before the service said it was ready.
  int listening = 0;
  for (const auto& r : site.Records()) listening += r[0] == "listening";
  EXPECT_EQ(listening, 2);
  int status = -1;
  const tests::json::Value up = Status(&status);
  EXPECT_EQ(status, 0) << up["health_reason"].text << service.Err();
  for (const char* name : {"ventas", "compras"}) {
    EXPECT_EQ(CheckOf(up, name)["state"].text, "up") << name;
    EXPECT_EQ(CheckOf(up, name)["detail"].text.rfind("up after ", 0), 0u) << name;
  }
  const std::string err = service.Err();
  EXPECT_NE(err.find("ventas is up after "), std::string::npos) << err;
  // Each SQL launch's wait ended by its check, not by its 2.5 s.
  EXPECT_NE(err.find("still running as compras is up: left running"), std::string::npos) << err;
  EXPECT_EQ(err.find("still running after 2.500 s"), std::string::npos) << err;
  EXPECT_NE(notify.Messages().front().find("STATUS="), std::string::npos);
  site.KillRecorders();  // down before the stop, which checks that they are
  service.Signal(SIGTERM);
  EXPECT_EQ(service.Finish().status, 0);
}

// A database never up is given up after espera_listo, named, the service
// degraded; the start goes on and says READY=1 all the same.
TEST_F(Checks, ADatabaseNeverUpIsGivenUpAndNamed) {
  const int nunca = FreePort();
  site.Ombrel(
      "[start]\n1=recorder start\n[stop]\n1=recorder stop\n[bases4GL]\nventas=v\n"
      "compras=c\n[puertos]\nventas=" +
      std::to_string(nunca) + "\n[opciones]\nespera_listo=0.5\n");
  tests::NotifySocket notify;
  Background service(site.program(), {}, EnvWith(notify));
  ASSERT_TRUE(notify.WaitFor("READY=1", 20s)) << service.Err();
  int status = -1;
  const tests::json::Value s = Status(&status);
  EXPECT_EQ(status, 4);
  EXPECT_EQ(CheckOf(s, "ventas")["state"].text, "down");
  EXPECT_EQ(CheckOf(s, "ventas")["detail"].text, "connection refused");
  EXPECT_EQ(CheckOf(s, "compras").type, tests::json::Value::Type::kNull);  // not checked
  EXPECT_NE(s["health_reason"].text.find("ventas is down: connection refused"), std::string::npos);
  const std::string err = service.Err();
  EXPECT_NE(err.find("ventas is not up after 0."), std::string::npos) << err;
  // compras was launched after ventas was given up.
  EXPECT_EQ(site.Launched().size(), 2u);
  service.Signal(SIGTERM);
  EXPECT_EQ(service.Finish().status, 0);
}

// Engines that run in the background: a check command says whether each is
// up. One up already is not started again; a pause is a success only when
// the check then fails, whether or not the stop command said so.
TEST_F(Checks, ACheckCommandFollowsAnEngineInTheBackground) {
  struct Case {
    const char* name;
    bool up_before;     // its engine runs already when the service starts
    bool stop_removes;  // its stop command brings it down
    int pause_status;   // what -PAUSE exits with
    const char* state_after;
  };
  const Case cases[] = {
      {"stopped by its stop command", false, true, 0, "stopped"},
      {"up already, then stopped", true, true, 0, "stopped"},
      {"still up after its stop command", false, false, 1, "up"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(site.log());
    std::filesystem::remove(File("ventas.up"));
    if (c.up_before) Touch("ventas.up");
    // The check line is the check command and the value's first word:
    // "recorder @exists=DIR/ventas.up ventas ".
    site.Ombrel(std::string("[start]\n1=recorder start @touch=") + File("ventas.up") +
                "\n[stop]\n1=recorder stop" +
                (c.stop_removes ? " @remove=" + File("ventas.up") : std::string()) +
                "\n[listo]\n1=recorder @exists=" + File("ventas.up") +
                "\n[bases4GL]\nventas=ventas x\n");
    tests::NotifySocket notify;
    Background service(site.program(), {}, EnvWith(notify));
    ASSERT_TRUE(notify.WaitFor("READY=1", 20s)) << service.Err();
    int status = -1;
    const tests::json::Value s = Status(&status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(CheckOf(s, "ventas")["state"].text, "up");
    EXPECT_EQ(CheckOf(s, "ventas")["what"].text,
              "recorder @exists=" + File("ventas.up") + " ventas ");
    EXPECT_EQ(PidsOf("start|").size(), c.up_before ? 0u : 1u);
    if (c.up_before) {
      EXPECT_EQ(s["last_request"]["up_already"].number, 1);
      EXPECT_NE(service.Err().find("ventas is up already: its start commands were not run"),
                std::string::npos);
    }
    const Result pause = Run("-PAUSE");
    EXPECT_EQ(pause.status, c.pause_status) << pause.out << pause.err;
    EXPECT_EQ(CheckOf(Status(), "ventas")["state"].text, c.state_after);
    if (c.pause_status != 0) {
      EXPECT_NE(pause.err.find("ventas, stop: left running: its check still passes 10.000 s "
                               "after its stop command ended"),
                std::string::npos)
          << pause.err;
    }
    service.Signal(SIGTERM);
    service.Finish(60s);
  }
}

// With vigila, three failed checks in a row: down, degraded; a check that
// passes again: up again, healthy.
TEST_F(Checks, AWatchedDatabaseGoingDownAndComingBackIsSeen) {
  Touch("ventas.up");
  site.Ombrel("[start]\n1=recorder start @touch=" + File("ventas.up") +
              "\n[stop]\n1=recorder stop @remove=" + File("ventas.up") +
              "\n[listo]\n1=recorder @exists=" + File("ventas.up") +
              "\n[bases4GL]\nventas=ventas\n[opciones]\nvigila=1\n");
  std::filesystem::remove(File("ventas.up"));
  Background service(site.program(), {}, Env());
  ASSERT_TRUE(service.WaitForErr("ventas is up after", 20s)) << service.Err();
  ASSERT_TRUE(Served());
  EXPECT_TRUE(WaitForCheck("ventas", "up"));
  std::filesystem::remove(File("ventas.up"));
  ASSERT_TRUE(service.WaitForErr("ventas is down: exit status 1 (3 checks in a row)", 30s))
      << service.Err();
  int status = -1;
  tests::json::Value s = Status(&status);
  EXPECT_EQ(status, 4);
  EXPECT_EQ(CheckOf(s, "ventas")["state"].text, "down");
  EXPECT_NE(s["health_reason"].text.find("ventas is down: exit status 1"), std::string::npos);
  Touch("ventas.up");
  ASSERT_TRUE(service.WaitForErr("ventas is up again", 30s)) << service.Err();
  s = Status(&status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(CheckOf(s, "ventas")["state"].text, "up");
  service.Signal(SIGTERM);
  EXPECT_EQ(service.Finish().status, 0);
}

// Watching never holds a request: a pause sent while a watched database's
// check hangs runs at once, and that check is ended with the round.
TEST_F(Checks, APauseDoesNotWaitForARoundOfWatching) {
  Touch("ventas.up");
  site.Ombrel("[start]\n1=recorder start\n[stop]\n1=recorder stop @remove=" + File("hang") +
              " @remove=" + File("ventas.up") +
              "\n[listo]\n1=recorder check @exists=" + File("ventas.up") +
              " @hang-if=" + File("hang") + "\n[bases4GL]\nventas=ventas\n[opciones]\nvigila=1\n");
  Background service(site.program(), {}, Env());
  ASSERT_TRUE(Served()) << service.Err();
  const std::size_t before = PidsOf("check|").size();
  Touch("hang");
  // The next round's check has begun, and hangs.
  for (int i = 0; i < 1000 && PidsOf("check|").size() <= before; ++i) {
    std::this_thread::sleep_for(10ms);
  }
  const std::vector<pid_t> checks = PidsOf("check|");
  ASSERT_GT(checks.size(), before);
  const Result pause = Run("-PAUSE");
  EXPECT_EQ(pause.status, 0) << pause.out << pause.err;
  const std::string err = service.Err();
  // It was never left to its 10 s: the pause ended it with its round.
  EXPECT_EQ(err.find("did not answer"), std::string::npos) << err;
  EXPECT_EQ(CheckOf(Status(), "ventas")["state"].text, "stopped");
  bool gone = false;
  for (int i = 0; i < 500 && !gone; ++i, std::this_thread::sleep_for(10ms)) {
    gone = ::kill(checks.back(), 0) != 0 && errno == ESRCH;
  }
  EXPECT_TRUE(gone) << checks.back();
  service.Signal(SIGTERM);
  EXPECT_EQ(service.Finish().status, 0);
}

// A check command that never answers is ended, it and its group, after
// 10 s, and counts as not up.
TEST_F(Checks, ACheckThatHangsIsEndedAfterTenSeconds) {
  site.Ombrel(
      "[start]\n1=recorder start\n[stop]\n1=recorder stop\n[listo]\n1=recorder check "
      "@sleep=600000\n[bases4GL]\nventas=ventas\n[opciones]\nespera_listo=2\n");
  tests::NotifySocket notify;
  Background service(site.program(), {}, EnvWith(notify));
  ASSERT_TRUE(notify.WaitFor("READY=1", 40s)) << service.Err();
  const std::string err = service.Err();
  EXPECT_NE(err.find("its check command did not answer within 10.000 s: ended"), std::string::npos)
      << err;
  EXPECT_NE(err.find("ventas is not up"), std::string::npos) << err;
  // Given up when espera_listo passed, whatever its check was doing then
  // (that check ended with it), not at the service's next tick (5 s).
  EXPECT_NE(err.find("ventas is not up after 2."), std::string::npos) << err;
  // Its check before the launch, and the one after it, given up with it.
  const std::vector<pid_t> checks = PidsOf("check|");
  EXPECT_EQ(checks.size(), 2u);
  EXPECT_EQ(PidsOf("start|").size(), 1u);
  for (pid_t pid : checks) {
    bool gone = false;
    for (int i = 0; i < 500 && !gone; ++i, std::this_thread::sleep_for(10ms)) {
      gone = ::kill(pid, 0) != 0 && errno == ESRCH;
    }
    EXPECT_TRUE(gone) << pid;
  }
  service.Signal(SIGTERM);
  EXPECT_EQ(service.Finish().status, 0);
}

// -CHECK says each check line and port, checks the check program, and
// exits 3 for a [puertos] value it cannot use or a key naming no database.
TEST_F(Checks, CheckSaysTheChecksAndRefusesWhatCannotBeUsed) {
  struct Case {
    const char* name;
    std::string extra;
    int status;
    std::vector<std::string> out;  // lines -CHECK prints
    std::string err;               // a problem it says
  };
  const Case cases[] = {
      {"a check command and a port",
       "[listo]\n1=recorder check\n[puertos]\nventas=5432\ncompras=[::1]:5433\n",
       0,
       {"check\trecorder check ventas \n", "check\trecorder check compras\n",
        "port\tventas\t127.0.0.1:5432\n", "port\tcompras\t[::1]:5433\n"},
       ""},
      {"a port out of range",
       "[puertos]\nventas=70000\n",
       3,
       {},
       "[puertos] ventas=70000: 70000 is not a port from 1 to 65535: ventas is not checked"},
      {"a key naming no database",
       "[puertos]\nventa=5432\n",
       3,
       {},
       "[puertos] venta: no such database in [bases4GL]: it checks nothing"},
      {"a check program that is missing",
       "[listo]\n1=/no/such/comprueba\n",
       3,
       {},
       "[listo] 1: cannot run \"/no/such/comprueba\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    site.Ombrel(
        "[start]\n1=recorder start\n[stop]\n1=recorder stop\n[bases4GL]\nventas=ventas "
        "x\ncompras=compras\n" +
        c.extra);
    const Result r = Check();
    EXPECT_EQ(r.status, c.status) << r.err;
    for (const std::string& line : c.out) EXPECT_NE(r.out.find(line), std::string::npos) << r.out;
    if (!c.err.empty()) {
      EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    }
    EXPECT_EQ(r.out.find("option\tespera_listo\t60\n") != std::string::npos, true) << r.out;
  }
  const Result j = Run("-CHECK -JSON");
  const tests::json::Value v = tests::json::Parse(j.out);
  ASSERT_EQ(v["checks"].size(), 2u);  // the last case's: no port, a missing program
  EXPECT_FALSE(v["checks"][0]["would_launch"].boolean);
  EXPECT_NE(v["checks"][0]["problem"].text.find("/no/such/comprueba"), std::string::npos);
  site.Ombrel(
      "[start]\n1=recorder start\n[stop]\n1=recorder stop\n[bases4GL]\nventas=ventas "
      "x\n[listo]\n1=recorder check\n[puertos]\nventas=db1:5432\n");
  const tests::json::Value w = tests::json::Parse(Run("-CHECK -JSON").out);
  ASSERT_EQ(w["checks"].size(), 1u);
  EXPECT_EQ(w["checks"][0]["database"].text, "ventas");
  EXPECT_EQ(w["checks"][0]["line"].text, "recorder check ventas ");
  EXPECT_EQ(w["checks"][0]["port"].text, "db1:5432");
  EXPECT_TRUE(w["checks"][0]["would_launch"].boolean);
  EXPECT_EQ(w["options"]["espera_listo"].number, 60);
}

}  // namespace
}  // namespace ostrim
