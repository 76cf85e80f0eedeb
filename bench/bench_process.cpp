// Whole-process figures: latency from a request to the exec of the first
// command it runs, the idle footprint against /bin/sleep, and -CHECK on the
// largest profile the list can hold. Prints one line per figure: the median
// of the runs, and the reference measured in the same run where there is one.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

long long NowNs() {
  struct timespec ts {};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

struct Dir {
  Dir() {
    std::string pattern = (fs::temp_directory_path() / "ostrim-bench-XXXXXX").string();
    path = ::mkdtemp(pattern.data());
  }
  ~Dir() { fs::remove_all(path); }
  std::string path;
};

void Write(const std::string& path, const std::string& text) {
  std::ofstream(path) << text;
}

std::string Read(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// A site holding a copy of ostrim and the stamp program.
struct Site : Dir {
  explicit Site(const std::string& ombrel) {
    fs::copy_file(OSTRIM_BINARY, path + "/ostrim");
    fs::copy_file(STAMP_BINARY, path + "/stamp");
    Write(path + "/Ombrel.ini", ombrel);
  }
};

class Notify {
 public:
  explicit Notify(const std::string& path) : path_(path) {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    path.copy(addr.sun_path, sizeof addr.sun_path - 1);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      throw std::runtime_error("bind " + path);
    }
  }
  ~Notify() { ::close(fd_); }
  void WaitFor(const std::string& text) {
    char buf[4096];
    for (;;) {
      ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
      if (n > 0 && std::string(buf, static_cast<std::size_t>(n)).find(text) != std::string::npos) {
        return;
      }
    }
  }
  // Receives one message per wake-up until one holds `text`; returns how
  // many came.
  std::size_t CountUntil(const std::string& text) {
    char buf[4096];
    for (std::size_t count = 1;; ++count) {
      ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
      if (n > 0 && std::string(buf, static_cast<std::size_t>(n)).find(text) != std::string::npos) {
        return count;
      }
    }
  }
  // Receives messages until process `pid` has ended and none is left.
  std::size_t CountUntilClosed(pid_t pid) {
    char buf[4096];
    std::size_t count = 0;
    for (;;) {
      ssize_t n = ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
      if (n > 0) {
        ++count;
        continue;
      }
      siginfo_t info{};
      if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
          info.si_pid == pid) {
        return count;
      }
      std::this_thread::sleep_for(1ms);
    }
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  int fd_;
};

pid_t Spawn(const std::vector<std::string>& args, const std::vector<std::string>& extra_env,
            const std::string& out = "/dev/null") {
  std::vector<std::string> env_text;
  for (char** e = environ; *e; ++e) env_text.push_back(*e);
  env_text.insert(env_text.end(), extra_env.begin(), extra_env.end());
  std::vector<char*> envp;
  for (auto& e : env_text) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<std::string> argv_text = args;
  std::vector<char*> argv;
  for (auto& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) abort();
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

int Reap(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return status;
}

long long WaitForStamp(const std::string& file) {
  for (;;) {
    std::string text = Read(file);
    if (!text.empty()) return std::stoll(text);
    std::this_thread::sleep_for(100us);
  }
}

long StatusField(pid_t pid, const std::string& field) {
  std::istringstream status(Read("/proc/" + std::to_string(pid) + "/status"));
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field + ":", 0) == 0) return std::atol(line.c_str() + field.size() + 1);
  }
  return -1;
}

void LatencyToFirstStart(int runs) {
  std::vector<double> ms;
  for (int i = 0; i < runs; ++i) {
    Site site("[start]\n1=stamp\n[stop]\n1=/bin/true\n[bases4GL]\nuno=1\n");
    const std::string stamps = site.path + "/stamps";
    long long t0 = NowNs();
    pid_t pid = Spawn({site.path + "/ostrim"}, {"STAMP_FILE=" + stamps});
    ms.push_back(static_cast<double>(WaitForStamp(stamps) - t0) / 1e6);
    kill(pid, SIGTERM);
    Reap(pid);
  }
  std::printf("latency process start -> exec of first start command: median %.3f ms (%d runs)\n",
              Median(ms), runs);
}

void LatencyToFirstStop(int runs, int signo, const char* name) {
  std::vector<double> ms;
  for (int i = 0; i < runs; ++i) {
    Site site("[start]\n1=/bin/true\n[stop]\n1=stamp\n[bases4GL]\nuno=1\n");
    const std::string stamps = site.path + "/stamps";
    Notify notify(site.path + "/notify");
    pid_t pid =
        Spawn({site.path + "/ostrim"}, {"STAMP_FILE=" + stamps, "NOTIFY_SOCKET=" + notify.path()});
    notify.WaitFor("READY=1");
    long long t0 = NowNs();
    kill(pid, signo);
    ms.push_back(static_cast<double>(WaitForStamp(stamps) - t0) / 1e6);
    kill(pid, SIGTERM);
    Reap(pid);
  }
  std::printf("latency %s -> exec of first stop command: median %.3f ms (%d runs)\n", name,
              Median(ms), runs);
}

void Footprint() {
  Site site("[arranque]\n1=A=1\n[start]\n1=/bin/true\n[stop]\n1=/bin/true\n[bases4GL]\nuno=1\n");
  Notify notify(site.path + "/notify");
  pid_t service = Spawn({site.path + "/ostrim"}, {"NOTIFY_SOCKET=" + notify.path()});
  notify.WaitFor("READY=1");
  pid_t sleeper = Spawn({"/bin/sleep", "100"}, {});
  std::this_thread::sleep_for(500ms);
  long rss_service = StatusField(service, "VmRSS");
  long rss_sleep = StatusField(sleeper, "VmRSS");
  long switches_before = StatusField(service, "voluntary_ctxt_switches");
  std::this_thread::sleep_for(10s);
  long switches_after = StatusField(service, "voluntary_ctxt_switches");
  struct stat st {};
  ::stat(OSTRIM_BINARY, &st);
  std::printf("idle resident memory: ostrim %ld kB, /bin/sleep %ld kB (ratio %.2f)\n", rss_service,
              rss_sleep, static_cast<double>(rss_service) / static_cast<double>(rss_sleep));
  std::printf("idle wake-ups over 10 s: %ld voluntary context switches\n",
              switches_after - switches_before);
  std::printf("binary size: %lld bytes\n", static_cast<long long>(st.st_size));
  kill(sleeper, SIGKILL);
  Reap(sleeper);
  kill(service, SIGTERM);
  Reap(service);
}

// The start sequence over 1,000 databases (2,000 launches of /bin/true),
// whole process, with a notification socket drained the way systemd drains
// it (one receive per wake-up), side by side with a bare loop that spawns and
// waits for the same command lines; then the stop. Counts the notification
// messages of each sequence.
void StartSequenceUnderSystemd(int runs) {
  constexpr int kBases = 1000;
  std::string ini = "[arranque]\n1=A=1\n[start]\n1=/bin/true\n[stop]\n1=/bin/true\n[basesSQL]\n";
  for (int i = 0; i < kBases; ++i) ini += "base" + std::to_string(i) + "=sql -q\n";
  ini += "[bases4GL]\n";
  for (int i = 0; i < kBases; ++i) ini += "base" + std::to_string(i) + "=b -s 5\n";
  Site site(ini);
  std::vector<double> service_ms, bare_ms, ratios;
  std::size_t start_messages = 0, stop_messages = 0;
  for (int run = 0; run < runs; ++run) {
    // The bare reference: the same command lines, already split.
    long long t0 = NowNs();
    for (int i = 0; i < 2 * kBases; ++i) {
      const bool sql = i < kBases;
      std::vector<std::string> args =
          sql ? std::vector<std::string>{"/bin/true", "sql", "-q", "-z"}
              : std::vector<std::string>{"/bin/true", "b", "-s", "5", "-z"};
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      pid_t pid;
      if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) abort();
      Reap(pid);
    }
    bare_ms.push_back(static_cast<double>(NowNs() - t0) / 1e6);

    // The service, its socket drained one message per wake-up.
    Notify notify(site.path + "/notify" + std::to_string(run));
    t0 = NowNs();
    pid_t pid = Spawn({site.path + "/ostrim"}, {"NOTIFY_SOCKET=" + notify.path()});
    start_messages = notify.CountUntil("READY=1");
    service_ms.push_back(static_cast<double>(NowNs() - t0) / 1e6);
    ratios.push_back(service_ms.back() / bare_ms.back());  // each run against its own reference
    kill(pid, SIGTERM);
    stop_messages = notify.CountUntilClosed(pid);
    Reap(pid);
  }
  const double ratio = Median(ratios);
  std::printf(
      "start sequence, %d databases (%d launches) under a notify socket: median %.1f ms, bare "
      "spawn "
      "loop %.1f ms, ratio %.3f (median of the runs' ratios); notify messages: %zu for the start, "
      "%zu for the stop (%d runs)\n",
      kBases, 2 * kBases, Median(service_ms), Median(bare_ms), ratio, start_messages, stop_messages,
      runs);
}

void CheckAtTheListLimit(int runs) {
  std::string ini = "[arranque]\n1=A=1\n2=B=2\n[start]\n1=/bin/true\n[stop]\n1=/bin/true\n";
  ini += "[basesSQL]\n";
  for (int i = 0; i < 32767; ++i) ini += "base" + std::to_string(i) + "=sql -q\n";
  ini += "[bases4GL]\n";
  for (int i = 0; i < 32767; ++i)
    ini += "base" + std::to_string(i) + "=b" + std::to_string(i) + " -s 5\n";
  Site site(ini);
  std::vector<double> ms;
  for (int i = 0; i < runs; ++i) {
    long long t0 = NowNs();
    Reap(Spawn({site.path + "/ostrim", "-CHECK"}, {}));
    ms.push_back(static_cast<double>(NowNs() - t0) / 1e6);
  }
  std::printf("-CHECK on 32767 databases (131070 lines): median %.1f ms (%d runs)\n", Median(ms),
              runs);
  // What it asks the system about its one program (/bin/true, which is
  // /usr/bin/true on a merged /usr), counted by strace where it is
  // installed: each program and place is judged once per request.
  if (!fs::exists("/usr/bin/strace")) {
    std::printf("-CHECK's system calls naming its program: not counted (no strace)\n");
    return;
  }
  const std::string trace = site.path + "/trace";
  Reap(Spawn(
      {"/usr/bin/strace", "-qq", "-o", trace, "-e", "trace=%file", site.path + "/ostrim", "-CHECK"},
      {}));
  std::istringstream lines(Read(trace));
  std::size_t stats = 0, others = 0;
  for (std::string line; std::getline(lines, line);) {
    if (line.find("/bin/true\"") == std::string::npos) continue;
    ++(line.find("stat") != std::string::npos ? stats : others);
  }
  std::printf("-CHECK's system calls naming its program: %zu stats, %zu others\n", stats, others);
}

// Every process running `program`, killed (the engines a benchmark left).
void KillAll(const std::string& program) {
  for (const auto& entry : fs::directory_iterator("/proc")) {
    std::error_code error;
    const fs::path exe = fs::read_symlink(entry.path() / "exe", error);
    if (!error && exe == program) kill(std::atoi(entry.path().filename().c_str()), SIGKILL);
  }
}

// A start of 50 databases whose engines stay in the foreground, one at a
// time and all at once: one at a time it takes 50 waits of 2.5 s; at once,
// one wait (the goal: 3.0 s or less). Then a stop of 50 databases whose stop
// commands take 1 s each, one at a time and all at once (the goal: 1.5 s or
// less).
void SideBySide(int runs) {
  constexpr int kBases = 50;
  std::string bases = "[bases4GL]\n";
  for (int i = 0; i < kBases; ++i)
    bases += "base" + std::to_string(i) + "=b" + std::to_string(i) + "\n";
  for (int at_once : {1, kBases}) {
    const int n = at_once == 1 ? 1 : runs;  // one at a time is 125 s, always the same
    std::vector<double> ms;
    for (int run = 0; run < n; ++run) {
      Site site("[opciones]\nsimultaneas=" + std::to_string(at_once) +
                "\n[start]\n1=stamp @sleep=600000\n[stop]\n1=/bin/true\n" + bases);
      Notify notify(site.path + "/notify");
      const long long t0 = NowNs();
      pid_t pid = Spawn({site.path + "/ostrim"}, {"NOTIFY_SOCKET=" + notify.path()});
      notify.WaitFor("READY=1");
      ms.push_back(static_cast<double>(NowNs() - t0) / 1e6);
      kill(pid, SIGTERM);
      Reap(pid);
      KillAll(site.path + "/stamp");
    }
    std::printf(
        "start of %d databases whose engines stay in the foreground, simultaneas=%d: "
        "median %.0f ms (%d runs)\n",
        kBases, at_once, Median(ms), n);
  }
  for (int at_once : {1, kBases}) {
    const int n = at_once == 1 ? 1 : runs;
    std::vector<double> ms;
    for (int run = 0; run < n; ++run) {
      Site site("[opciones]\nsimultaneas=" + std::to_string(at_once) +
                "\n[start]\n1=/bin/true\n[stop]\n1=stamp @sleep=1000\n" + bases);
      Notify notify(site.path + "/notify");
      pid_t pid = Spawn({site.path + "/ostrim"}, {"NOTIFY_SOCKET=" + notify.path()});
      notify.WaitFor("READY=1");
      const long long t0 = NowNs();
      kill(pid, SIGTERM);
      Reap(pid);
      ms.push_back(static_cast<double>(NowNs() - t0) / 1e6);
    }
    std::printf(
        "stop of %d databases whose stop commands take 1 s, simultaneas=%d: median %.0f "
        "ms (%d runs)\n",
        kBases, at_once, Median(ms), n);
  }
}

// A TCP port nothing listens on now (the system picked it), never the same
// one twice in a run.
int FreePort() {
  static std::set<int> given;
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    abort();
  }
  ::close(fd);
  const int port = ntohs(address.sin_port);
  return given.insert(port).second ? port : FreePort();
}

// A site of `bases` databases whose foreground engines accept connections
// on their own port `delay_ms` after launch, each checked by its port.
std::string PortSite(int bases, int delay_ms, const std::string& opciones) {
  std::string ini = "[opciones]\n" + opciones +
                    "\n[start]\n1=stamp @sleep=600000\n[stop]\n1=/bin/true\n[bases4GL]\n";
  std::string puertos = "[puertos]\n";
  for (int i = 0; i < bases; ++i) {
    const std::string port = std::to_string(FreePort());
    ini += "base" + std::to_string(i) + "=@listen=" + port + ":" + std::to_string(delay_ms) + " b" +
           std::to_string(i) + "\n";
    puertos += "base" + std::to_string(i) + "=" + port + "\n";
  }
  return ini + puertos;
}

// CPU time of process `pid` in milliseconds: its own (user + system), and
// its reaped children's.
std::pair<double, double> CpuMs(pid_t pid) {
  std::string stat = Read("/proc/" + std::to_string(pid) + "/stat");
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  std::vector<long long> v;
  std::string f;
  while (fields >> f) v.push_back(std::atoll(f.c_str()));
  // After the state (field 3): utime is field 14, stime 15, cutime 16, cstime 17.
  const double tick = 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
  return {static_cast<double>(v[11] + v[12]) * tick, static_cast<double>(v[13] + v[14]) * tick};
}

// Whether each database is up: a start of 50 databases whose engines accept
// 200 ms after launch, one at a time (goal: 50 x 0.35 s) and all at once
// (goal: 0.6 s); from an engine's port accepting to READY=1 (goals: median
// 120 ms, worst 1.1 s); and the cost of watching 50 databases every second
// for 60 s (goal: below 1% of one core).
void Readiness(int runs, int watch_seconds) {
  constexpr int kBases = 50;
  for (int at_once : {1, kBases}) {
    const int n = at_once == 1 ? 3 : runs;
    std::vector<double> ms;
    for (int run = 0; run < n; ++run) {
      Site site(PortSite(kBases, 200, "simultaneas=" + std::to_string(at_once)));
      Notify notify(site.path + "/notify");
      const long long t0 = NowNs();
      pid_t pid = Spawn({site.path + "/ostrim"}, {"NOTIFY_SOCKET=" + notify.path()});
      notify.WaitFor("READY=1");
      ms.push_back(static_cast<double>(NowNs() - t0) / 1e6);
      KillAll(site.path + "/stamp");  // down, so that the stop finds them down
      kill(pid, SIGTERM);
      Reap(pid);
    }
    std::printf(
        "readiness: start of %d databases accepting 200 ms after launch, port checks, "
        "simultaneas=%d: median %.0f ms (%d runs)\n",
        kBases, at_once, Median(ms), n);
  }
  std::vector<double> latency;
  for (int run = 0; run < 20; ++run) {
    Site site(PortSite(1, 200, ""));
    Notify notify(site.path + "/notify");
    const std::string stamps = site.path + "/stamps";
    pid_t pid =
        Spawn({site.path + "/ostrim"}, {"NOTIFY_SOCKET=" + notify.path(), "STAMP_FILE=" + stamps});
    notify.WaitFor("READY=1");
    const long long ready = NowNs();
    const std::string text = Read(stamps);
    const std::size_t at = text.find("listen ");
    if (at == std::string::npos) abort();
    latency.push_back(static_cast<double>(ready - std::stoll(text.substr(at + 7))) / 1e6);
    KillAll(site.path + "/stamp");
    kill(pid, SIGTERM);
    Reap(pid);
  }
  std::printf(
      "readiness latency, port accepting to READY=1: median %.1f ms, worst %.1f ms (20 "
      "runs)\n",
      Median(latency), *std::max_element(latency.begin(), latency.end()));
  for (const char* listo : {"", "[listo]\n1=/bin/true\n"}) {
    Site site(PortSite(kBases, 0, "simultaneas=50\nvigila=1\n") + listo);
    Notify notify(site.path + "/notify");
    pid_t pid = Spawn({site.path + "/ostrim"}, {"NOTIFY_SOCKET=" + notify.path()});
    notify.WaitFor("READY=1");
    const auto before = CpuMs(pid);
    std::this_thread::sleep_for(std::chrono::seconds(watch_seconds));
    const auto after = CpuMs(pid);
    const double own = after.first - before.first;
    const double children = after.second - before.second;
    std::printf(
        "watching %d databases every 1 s for %d s, %s: service CPU %.0f ms (%.2f%% of one "
        "core), its checks' processes %.0f ms\n",
        kBases, watch_seconds, *listo ? "port and check command /bin/true" : "port checks", own,
        own / (10.0 * watch_seconds), children);
    KillAll(site.path + "/stamp");
    kill(pid, SIGTERM);
    Reap(pid);
  }
}

}  // namespace

int main(int argc, char** argv) {
  int runs = argc > 1 ? std::atoi(argv[1]) : 21;
  // "bench_process RUNS systemd": only the start sequence under a notify socket.
  if (argc > 2 && std::string(argv[2]) == "systemd") {
    StartSequenceUnderSystemd(runs);
    return 0;
  }
  // "bench_process RUNS readiness [SECONDS]": only the readiness figures.
  if (argc > 2 && std::string(argv[2]) == "readiness") {
    Readiness(runs, argc > 3 ? std::atoi(argv[3]) : 60);
    return 0;
  }
  // "bench_process RUNS check": only -CHECK of a site at the list's limit.
  if (argc > 2 && std::string(argv[2]) == "check") {
    CheckAtTheListLimit(runs);
    return 0;
  }
  // "bench_process RUNS simultaneas": only the starts and stops side by side.
  if (argc > 2 && std::string(argv[2]) == "simultaneas") {
    SideBySide(runs);
    return 0;
  }
  LatencyToFirstStart(runs);
  LatencyToFirstStop(runs, SIGTERM, "SIGTERM");
  LatencyToFirstStop(runs, SIGUSR1, "SIGUSR1");
  StartSequenceUnderSystemd(std::max(3, runs / 4));
  CheckAtTheListLimit(5);
  SideBySide(5);
  Readiness(5, 60);
  Footprint();
  return 0;
}
