// What another local user (nobody, here) can do against a root service, and
// what a stalled log reader, a profile near the size cap or a replaced
// notification socket can do: the guard and the control channel cannot be
// taken, blocked or flooded, and the service keeps serving.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stddef.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "helpers/site_test.h"

namespace ostrim {
namespace {

using namespace std::chrono_literals;
using tests::Background;
using tests::Count;
using tests::Result;
using tests::RunProgram;
namespace fs = std::filesystem;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

bool Root() {
  return ::geteuid() == 0;
}

// Runs `work` in a child process as nobody; the child's exit status is what
// `work` returns. The child lives until `work` returns.
class AsNobody {
 public:
  explicit AsNobody(const std::function<int()>& work) {
    pid_ = ::fork();
    if (pid_ == 0) {
      if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) _exit(99);
      _exit(work());
    }
  }
  ~AsNobody() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  pid_t pid() const { return pid_; }
  int Wait() {
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

 private:
  pid_t pid_ = -1;
};

struct sockaddr_un Named(const std::string& path, socklen_t& len, bool abstract = false) {
  struct sockaddr_un addr {};
  addr.sun_family = AF_UNIX;
  path.copy(addr.sun_path + (abstract ? 1 : 0), sizeof addr.sun_path - 2);
  len = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + path.size() + 1);
  return addr;
}

class Adversary : public tests::SiteTest {
 protected:
  void SetUp() override {
    if (!Root()) GTEST_SKIP() << "needs root, to be the service and become another user";
    ::chmod(site.path().c_str(), 0755);
    site.Ombrel("[start]\n1=recorder start\n[stop]\n1=recorder stop\n[bases4GL]\nuno=1\n");
  }
  // The site's names in root's runtime directory: its directory's device
  // and inode.
  std::string Key() const {
    struct stat st {};
    ::stat(site.path().c_str(), &st);
    char key[64];
    std::snprintf(key, sizeof key, "%llx-%llx", static_cast<unsigned long long>(st.st_dev),
                  static_cast<unsigned long long>(st.st_ino));
    return key;
  }
  std::string Socket() const { return "/run/ostrim/" + Key() + ".sock"; }
  // CPU the process has used, in seconds.
  static double CpuSeconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
      if (i == 14) utime = std::stoll(field);
      if (i == 15) stime = std::stoll(field);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
  }
};

// A squatter of every name and path the service uses, started before it:
// the old abstract name bound and its backlog filled, the runtime directory,
// the guard and the socket tried. Nothing of it can be had; the service
// serves, answers, and still keeps a second instance out.
TEST_F(Adversary, ASquatterOfEveryNameCannotStopTheService) {
  const std::string key = Key();
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  AsNobody squatter([&] {
    ::close(ready[0]);
    int taken = 0;
    // The abstract name the service once used: bound, listening, full.
    char old_name[32];
    std::uint64_t hash = 1469598103934665603ULL;
    for (unsigned char c : site.path()) hash = (hash ^ c) * 1099511628211ULL;
    std::snprintf(old_name, sizeof old_name, "ostrim/%016llx",
                  static_cast<unsigned long long>(hash));
    socklen_t len = 0;
    struct sockaddr_un abstract = Named(old_name, len, true);
    int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (::bind(listener, reinterpret_cast<sockaddr*>(&abstract), len) == 0 &&
        ::listen(listener, 0) == 0) {
      int filler = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
      ::connect(filler, reinterpret_cast<sockaddr*>(&abstract), len);
    }
    // Everything in root's runtime directory: none of it may be had.
    taken += ::mkdir("/run/ostrim", 0777) == 0;
    taken += ::open(("/run/ostrim/" + key + ".lock").c_str(), O_CREAT | O_RDWR, 0666) >= 0;
    struct sockaddr_un path = Named("/run/ostrim/" + key + ".sock", len);
    int squat = ::socket(AF_UNIX, SOCK_STREAM, 0);
    taken += ::bind(squat, reinterpret_cast<sockaddr*>(&path), len) == 0;
    char byte = static_cast<char>(taken);
    [[maybe_unused]] ssize_t n = ::write(ready[1], &byte, 1);
    ::pause();
    return 0;
  });
  ::close(ready[1]);
  char taken = -1;
  ASSERT_EQ(::read(ready[0], &taken, 1), 1);
  ::close(ready[0]);
  EXPECT_EQ(taken, 0) << "nobody took a name in root's runtime directory";

  Background service(site.program(), {}, Env());
  ASSERT_TRUE(Served(1, 10s)) << service.Err();
  const auto asked = std::chrono::steady_clock::now();
  int status = -1;
  const tests::json::Value s = Status(&status);
  EXPECT_LT(std::chrono::steady_clock::now() - asked, 5s);  // well before the client's 10 s
  EXPECT_EQ(status, 0);
  EXPECT_EQ(s["state"].text, "running");
  Result second = RunProgram(site.program(), {}, Env());
  EXPECT_EQ(second.status, 1);
  EXPECT_NE(second.err.find("another ostrim serves the site"), std::string::npos) << second.err;
  service.Signal(SIGTERM);
  EXPECT_EQ(service.Finish().status, 0);
  EXPECT_EQ(site.Launched(), (std::vector<std::string>{"start|1|-z", "stop|1"}));
}

// Nobody cannot even connect (the socket is 0600); should an administrator
// open it to others, 5,000 refused connections cost a few log lines, never
// thousands.
TEST_F(Adversary, RefusedConnectionsAreSaidOnceAMinute) {
  Background service(site.program(), {}, Env());
  ASSERT_TRUE(Served(1, 10s)) << service.Err();
  Result denied = RunProgram(
      "/usr/bin/setpriv",
      {"--reuid=65534", "--regid=65534", "--clear-groups", site.program(), "-STATUS"}, Env());
  EXPECT_EQ(denied.status, 1);
  EXPECT_NE(denied.err.find("permission denied"), std::string::npos) << denied.err;

  ASSERT_EQ(::chmod(Socket().c_str(), 0666), 0);  // an administrator's mistake
  const std::string socket_path = Socket();
  AsNobody flood([&] {
    socklen_t len = 0;
    struct sockaddr_un addr = Named(socket_path, len);
    int refused = 0;
    for (int i = 0; i < 5000; ++i) {
      int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
      if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), len) == 0) {
        char answer[16] = {};
        refused += ::read(fd, answer, sizeof answer - 1) > 0 && std::string(answer) == "denied\n";
      }
      ::close(fd);
    }
    return refused > 4000 ? 0 : 1;
  });
  EXPECT_EQ(flood.Wait(), 0) << "the connections were not refused";
  service.Signal(SIGTERM);
  Result r = service.Finish();
  EXPECT_EQ(r.status, 0);
  EXPECT_GE(Count(r.err, "control request refused: uid 65534"), 1) << r.err;
  EXPECT_LE(Count(r.err, "uid 65534"), 10) << r.err;
}

// A monitoring agent's user in the group adm may ask a root service for its
// status, read-only, and for nothing else; a user outside it for nothing.
TEST_F(Adversary, TheStatusGroupMayAskForTheStatusAndNothingElse) {
  const struct group* adm = ::getgrnam("adm");
  if (adm == nullptr || !fs::exists("/usr/bin/setpriv")) GTEST_SKIP() << "needs adm and setpriv";
  const std::string gid = std::to_string(adm->gr_gid);
  Background service(site.program(), {}, Env());
  ASSERT_TRUE(Served(1, 10s)) << service.Err();
  struct Case {
    std::vector<std::string> who;  // setpriv's group options
    const char* request;
    int status;
    const char* says;  // on standard output when answered, else on standard error
  };
  const Case cases[] = {
      {{"--regid=65534", "--groups=" + gid}, "-STATUS", 0, "state\trunning\n"},
      {{"--regid=" + gid, "--clear-groups"}, "-STATUS", 0, "state\trunning\n"},
      {{"--regid=65534", "--groups=" + gid}, "-PAUSE", 1, "ostrim: permission denied"},
      {{"--regid=65534", "--groups=" + gid}, "-CONTINUE", 1, "ostrim: permission denied"},
      {{"--regid=65534", "--clear-groups"}, "-STATUS", 1, "ostrim: permission denied"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.who[0] + " " + c.who[1] + " " + c.request);
    std::vector<std::string> args = {"--reuid=65534"};
    args.insert(args.end(), c.who.begin(), c.who.end());
    args.push_back(site.program());
    args.push_back(c.request);
    Result r = RunProgram("/usr/bin/setpriv", args, Env());
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_NE((c.status == 0 ? r.out : r.err).find(c.says), std::string::npos) << r.out << r.err;
  }
  int status = -1;
  EXPECT_EQ(Status(&status)["state"].text, "running");  // no pause ran
  EXPECT_EQ(status, 0);
  service.Signal(SIGTERM);
  Result r = service.Finish();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(Count(r.err, "request pause: begins"), 0) << r.err;
  EXPECT_EQ(Count(r.err, "request continue: begins"), 0) << r.err;
  EXPECT_GE(Count(r.err, "control request refused: uid 65534"), 1) << r.err;
}

// A user's instance keeps its guard in its own private runtime directory
// ($XDG_RUNTIME_DIR/ostrim, else /tmp/ostrim-UID). Mended: when another user
// had made /tmp/ostrim-UID first, the instance served without its guard, and
// a second one started every engine again; now it refuses to serve.
TEST_F(Adversary, AUsersInstanceNeverServesWithoutItsGuard) {
  if (!fs::exists("/usr/bin/setpriv")) GTEST_SKIP() << "needs setpriv";
  // A throwaway user, of no account; one of its own for each test run, so
  // that runs side by side never share its /tmp/ostrim-UID.
  const uid_t kUser = 50000 + static_cast<uid_t>(::getpid() % 10000);
  const std::string squatted = "/tmp/ostrim-" + std::to_string(kUser);
  fs::remove_all(squatted);
  const std::string own = site / "run-user";  // its own runtime directory
  ASSERT_EQ(::mkdir(own.c_str(), 0700), 0);
  ASSERT_EQ(::chown(own.c_str(), kUser, kUser), 0);
  const std::vector<std::string> as_user = {"--reuid=" + std::to_string(kUser),
                                            "--regid=" + std::to_string(kUser), "--clear-groups"};
  auto run = [&](const std::vector<std::string>& args, const std::string& xdg) {
    std::vector<std::string> all = as_user;
    all.push_back(site.program());
    all.insert(all.end(), args.begin(), args.end());
    tests::Environment env = Env();
    if (!xdg.empty()) env.emplace_back("XDG_RUNTIME_DIR", xdg);
    return std::make_unique<Background>("/usr/bin/setpriv", all, env);
  };

  // Another user made /tmp/ostrim-UID first: refused, nothing started.
  AsNobody squatter([&] { return ::mkdir(squatted.c_str(), 0700) == 0 ? 0 : 1; });
  ASSERT_EQ(squatter.Wait(), 0);
  Result refused = run({}, "")->Finish(20s);
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find(squatted + " is owned by uid 65534, not " + std::to_string(kUser)),
            std::string::npos)
      << refused.err;
  EXPECT_NE(refused.err.find("nothing was started"), std::string::npos) << refused.err;
  EXPECT_EQ(Count(refused.err, "launched pid"), 0) << refused.err;

  // Its own runtime directory: it serves, guarded there, and a second
  // instance is refused.
  auto first = run({}, own);
  ASSERT_TRUE(first->WaitForErr("request start: done", 20s)) << first->Err();
  EXPECT_TRUE(fs::exists(own + "/ostrim/" + Key() + ".lock"));
  Result second = run({}, own)->Finish(20s);
  EXPECT_EQ(second.status, 1);
  EXPECT_NE(second.err.find("another ostrim serves the site"), std::string::npos) << second.err;
  Result status = run({"-STATUS"}, own)->Finish(20s);
  EXPECT_EQ(status.status, 0) << status.err;
  EXPECT_NE(status.out.find("state\trunning\n"), std::string::npos) << status.out;
  first->Signal(SIGTERM);
  EXPECT_EQ(first->Finish().status, 0);
  fs::remove_all(squatted);
}

// Mended: nothing another user can plant runs as root, and -CHECK says so
// with the launch's own words. Each site below passed -CHECK (exit 0) and
// ran nobody's program as root, or loaded nobody's library into every
// command; now the launch, the profile or the environment line is refused.
TEST_F(Adversary, NothingAnotherUserPlantsRunsAsRoot) {
  const std::string pub = site / "pub";  // as /srv/pub: root's, anyone may write, sticky
  const std::string marker = site / "nobody-ran";
  const std::string planted = "#!/bin/sh\n: >" + marker + "\n";
  auto plant = [&](const std::string& path) {  // nobody's program, made by nobody
    AsNobody nobody([&] {
      const int fd = ::open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY, 0755);
      if (fd < 0) return 1;
      const bool written =
          ::write(fd, planted.data(), planted.size()) == static_cast<ssize_t>(planted.size());
      ::close(fd);
      return written ? 0 : 1;
    });
    ASSERT_EQ(nobody.Wait(), 0) << path;
  };
  const std::string ok_stop = "[stop]\n1=recorder stop\n";
  struct Case {
    const char* what;
    std::function<void()> setup;
    std::string ombrel;  // empty: Ombrel.ini is set up by `setup`
    bool start_fails;    // else the start runs and the pause fails
    std::string said;    // by the service and by -CHECK alike
    int check = 3;       // -CHECK's exit status (1: the start would fail at once)
  };
  const std::vector<Case> cases = {
      {"an unquoted name's earlier reading in a sticky directory",
       [&] {
         fs::create_directories(pub + "/Mis Bases");
         fs::copy_file(RECORDER_BINARY, pub + "/Mis Bases/arranca");
         plant(pub + "/Mis");
       },
       "[start]\n1=" + pub + "/Mis Bases/arranca start\n" + ok_stop + "[bases4GL]\nuno=1\n", true,
       pub + "/Mis is owned by uid 65534"},
      {"the same, before anyone planted anything",
       [&] {
         fs::create_directories(pub + "/Mis Bases");
         fs::copy_file(RECORDER_BINARY, pub + "/Mis Bases/arranca");
       },
       "[start]\n1=" + pub + "/Mis Bases/arranca start\n" + ok_stop + "[bases4GL]\nuno=1\n", true,
       pub + " can be written by anyone (fix: chmod go-w " + pub +
           "): whoever can change it can create " + pub +
           "/Mis, which would run as root in place of the program meant (or quote the program's "
           "name in the line)"},
      {"a PATH directory searched before the one the program is in", [&] { plant(pub + "/true"); },
       "[arranque]\n1=PATH=" + pub +
           ":/usr/bin:/bin\n[start]\n1=recorder start\n[stop]\n1=true\n"
           "[bases4GL]\nuno=1\n",
       false, pub + "/true is owned by uid 65534"},
      {"a profile that is a link into a directory another user owns",
       [&] {
         fs::create_directories(site / "theirs");
         ASSERT_EQ(::chown((site / "theirs").c_str(), 65534, 65534), 0);
         tests::WriteFile(site / "theirs/real.ini",
                          "[start]\n1=recorder start\n" + ok_stop + "[bases4GL]\nuno=1\n");
         fs::create_symlink(site / "theirs/real.ini", site / "Ombrel.ini");
       },
       "", true, site / "theirs is owned by uid 65534", 1},
      {"a loader variable naming a library anyone could put there", [] {},
       "[arranque]\n1=LD_PRELOAD=/tmp/ostrim-no-such-evil.so\n[start]\n1=recorder start\n" +
           ok_stop + "[bases4GL]\nuno=1\n",
       true, "LD_PRELOAD names /tmp/ostrim-no-such-evil.so: /tmp can be written by anyone", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(pub);
    fs::remove_all(site / "theirs");
    fs::remove(site / "Ombrel.ini");
    fs::remove(site.log());
    fs::remove(marker);
    fs::create_directory(pub);
    ASSERT_EQ(::chmod(pub.c_str(), 01777), 0);
    c.setup();
    if (!c.ombrel.empty()) site.Ombrel(c.ombrel);

    Result check = Check();
    EXPECT_EQ(check.status, c.check) << check.err;
    EXPECT_NE(check.err.find(c.said), std::string::npos) << check.err;

    Background service(site.program(), {}, Env());
    if (c.start_fails) {
      Result r = service.Finish(20s);
      EXPECT_EQ(r.status, 1) << r.err;
      EXPECT_NE(r.err.find(c.said), std::string::npos) << r.err;
    } else {
      ASSERT_TRUE(Served(1, 20s)) << service.Err();
      Result pause = Run("-PAUSE");
      EXPECT_EQ(pause.status, 1) << pause.err;
      EXPECT_NE(pause.err.find(c.said), std::string::npos) << pause.err;
      service.Signal(SIGTERM);
      service.Finish();
    }
    EXPECT_FALSE(fs::exists(marker)) << "nobody's program ran as root";
  }

  // The fix in one line: the name quoted, root's program in root's directory
  // in the sticky one runs, whatever nobody planted beside it.
  site.Ombrel("[start]\n1=\"" + pub + "/Mis Bases/arranca\" start\n" + ok_stop +
              "[bases4GL]\nuno=1\n");
  fs::remove_all(pub);
  fs::create_directories(pub + "/Mis Bases");
  ASSERT_EQ(::chmod(pub.c_str(), 01777), 0);
  fs::copy_file(RECORDER_BINARY, pub + "/Mis Bases/arranca");
  plant(pub + "/Mis");
  fs::remove(marker);
  EXPECT_EQ(Check().status, 0);
  Result r = StartThenStop(tests::ReadFile(site / "Ombrel.ini"));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(site.Launched(), (std::vector<std::string>{"start|1|-z", "stop|1"}));
  EXPECT_FALSE(fs::exists(marker));
}

// A request judges each program once, and a launch looks at its program
// once more: a program given to another user between two launches of one
// start is refused at the second, as the next request would refuse it.
TEST_F(Adversary, AProgramChangedDuringAStartIsRefusedAtItsNextLaunch) {
  const std::string program = site / "arranca";
  const std::string ran = site / "ran";
  // The first launch hands the program to nobody, as a package upgrade
  // gone wrong or a careless chown -R would.
  tests::WriteFile(program, "#!/bin/sh\necho \"$1\" >>" + ran + "\nchown 65534 \"$0\"\n");
  ASSERT_EQ(::chmod(program.c_str(), 0755), 0);
  site.Ombrel("[start]\n1=" + program + "\n[stop]\n1=recorder stop\n[bases4GL]\nuno=1\ndos=2\n");
  Background service(site.program(), {}, Env());
  ASSERT_TRUE(Served(1, 20s)) << service.Err();
  service.Signal(SIGTERM);
  const Result r = service.Finish();
  EXPECT_EQ(tests::ReadFile(ran), "1\n") << r.err;
  EXPECT_NE(r.err.find(program + " is owned by uid 65534"), std::string::npos) << r.err;
}

// The guard holds for the site however it is reached: from another network
// namespace, through a bind mount, and after the directory was renamed.
TEST_F(Adversary, ASecondInstanceIsRefusedHoweverTheSiteIsReached) {
  if (!fs::exists("/usr/bin/unshare")) GTEST_SKIP() << "needs unshare";
  Background first(site.program(), {}, Env());
  ASSERT_TRUE(Served(1, 10s)) << first.Err();
  tests::TempDir other;
  struct Way {
    const char* what;
    std::vector<std::string> command;
  };
  const Way ways[] = {
      {"another network namespace", {"/usr/bin/unshare", "--net", site.program()}},
      {"a bind mount of the directory",
       {"/usr/bin/unshare", "--mount", "--", "/bin/sh", "-c",
        "mount --bind \"$0\" \"$1\" && exec \"$1/ostrim\"", site.path(), other.path()}},
  };
  for (const Way& way : ways) {
    Result second =
        RunProgram(way.command[0],
                   std::vector<std::string>(way.command.begin() + 1, way.command.end()), Env());
    EXPECT_EQ(second.status, 1) << way.what << second.err;
    EXPECT_NE(second.err.find("another ostrim serves the site"), std::string::npos)
        << way.what << second.err;
  }
  const std::string renamed = site.path() + "-renamed";
  fs::rename(site.path(), renamed);
  Result second = RunProgram(renamed + "/ostrim", {}, Env());
  fs::rename(renamed, site.path());
  EXPECT_EQ(second.status, 1) << second.err;
  EXPECT_NE(second.err.find("another ostrim serves the site"), std::string::npos) << second.err;
  first.Signal(SIGTERM);
  EXPECT_EQ(first.Finish().status, 0);
  EXPECT_EQ(site.Launched(), (std::vector<std::string>{"start|1|-z", "stop|1"}));  // once
}

// Clients that connect and say nothing are dropped at their own deadline,
// whether or not anything else wakes the service; and an operator's client
// facing a service that does not answer gives up, saying so.
TEST_F(Adversary, SilentClientsExpireAndSilentServicesAreGivenUpOn) {
  Background service(site.program(), {}, Env());
  ASSERT_TRUE(Served(1, 10s)) << service.Err();
  socklen_t len = 0;
  struct sockaddr_un addr = Named(Socket(), len);
  std::vector<int> idle;
  for (int i = 0; i < 32; ++i) {  // as many as it takes at once
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), len), 0);
    idle.push_back(fd);
  }
  std::this_thread::sleep_for(5500ms);  // past their 5 s to say a word
  int status = -1;
  EXPECT_EQ(Status(&status)["state"].text, "running");
  EXPECT_EQ(status, 0);
  for (int fd : idle) ::close(fd);

  service.Signal(SIGSTOP);
  const auto asked = std::chrono::steady_clock::now();
  Result r = Run("-STATUS");
  const auto took = std::chrono::steady_clock::now() - asked;
  service.Signal(SIGCONT);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("ostrim: the service did not answer within 10 s"), std::string::npos)
      << r.err;
  EXPECT_LT(took, 15s);
  service.Signal(SIGTERM);
  EXPECT_EQ(service.Finish().status, 0);
}

// Out of descriptors, with connections waiting: accept cannot take them, and
// the listener rests a second instead of spinning the loop.
TEST_F(Adversary, AcceptFailingForWantOfDescriptorsDoesNotSpin) {
  if (!fs::exists("/usr/bin/prlimit")) GTEST_SKIP() << "needs prlimit";
  auto env = Env();
  env.emplace_back("ASAN_OPTIONS", "detect_leaks=0");
  Background service("/usr/bin/prlimit", {"--nofile=12:12", site.program()}, env);
  ASSERT_TRUE(Served(1, 10s)) << service.Err();
  pid_t pid = -1;
  for (int i = 0; i < 100 && pid < 0; ++i) {  // prlimit runs the service in its own place
    std::ifstream comm("/proc/" + std::to_string(service.pid()) + "/comm");
    std::string name;
    comm >> name;
    if (name == "ostrim") pid = service.pid();
    std::this_thread::sleep_for(10ms);
  }
  ASSERT_GT(pid, 0);
  // Six idle connections that never say a word: three take the descriptors
  // left, three wait in the backlog.
  std::vector<int> idle;
  socklen_t len = 0;
  struct sockaddr_un addr = Named(Socket(), len);
  for (int i = 0; i < 6; ++i) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
    ::connect(fd, reinterpret_cast<sockaddr*>(&addr), len);
    idle.push_back(fd);
  }
  std::this_thread::sleep_for(200ms);
  const double before = CpuSeconds(pid);
  std::this_thread::sleep_for(3s);
  const double used = CpuSeconds(pid) - before;
  EXPECT_LT(used, 0.3) << "the loop spun: " << used << " s of CPU in 3 s";
  for (int fd : idle) ::close(fd);
  service.Signal(SIGTERM);
  Result r = service.Finish();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(Count(r.err, "cannot take control connections"), 1) << r.err;
}

// A log reader that stalls until the service ends: what waits is flushed at
// exit (within two seconds), every line whole, and what was lost is counted.
TEST_F(Adversary, TheLogIsFlushedAtExitAndWhatWasLostCounted) {
  std::string ombrel = "[start]\n1=recorder start\n[stop]\n1=recorder stop\n[bases4GL]\n";
  // Far more log than the socket and the 64 KiB backlog hold: some 128 KB
  // at the start alone.
  constexpr int kBases = 800;
  for (int i = 0; i < kBases; ++i)
    ombrel += "b" + std::to_string(i) + "=" + std::to_string(i) + "\n";
  site.Ombrel(ombrel);
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  // The smallest buffer the kernel allows: it fills whatever its defaults.
  const int smallest = 1;
  ASSERT_EQ(::setsockopt(pair[1], SOL_SOCKET, SO_SNDBUF, &smallest, sizeof smallest), 0);
  ASSERT_EQ(::setsockopt(pair[0], SOL_SOCKET, SO_RCVBUF, &smallest, sizeof smallest), 0);
  tests::Streams streams;
  streams.err = pair[1];
  Background service(site.program(), {}, Env(), streams);
  ::close(pair[1]);
  ASSERT_TRUE(site.WaitForLaunches(kBases, 60s));
  service.Signal(SIGTERM);
  ASSERT_TRUE(site.WaitForLaunches(2 * kBases, 60s));
  std::this_thread::sleep_for(300ms);  // the service is at its end now
  std::string log;
  char buffer[65536];
  for (ssize_t n; (n = ::read(pair[0], buffer, sizeof buffer)) > 0;) {
    log.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(pair[0]);
  EXPECT_EQ(service.Finish().status, 0);
  EXPECT_NE(log.find("request stop: done"), std::string::npos) << log.substr(log.size() - 2000);
  EXPECT_NE(log.find(" log lines dropped: "), std::string::npos);
  // Every line whole: each begins as a log line does.
  std::size_t lines = 0;
  for (std::size_t at = 0; at < log.size(); ++lines) {
    const std::size_t eol = log.find('\n', at);
    ASSERT_NE(eol, std::string::npos) << "a line cut at its end";
    const std::string line = log.substr(at, eol - at);
    EXPECT_EQ(line.find(" ostrim["), 12u) << line;
    at = eol + 1;
  }
  EXPECT_GT(lines, 100u);
}

// A profile at the cap on keys is read within its bound on memory; one past
// it is refused with a clear reason, and -CHECK says so.
TEST_F(Adversary, AProfileAtTheCapOnKeysIsReadWithinItsMemoryBound) {
  constexpr std::size_t kKeys = 1000000;  // ProfileText::kMostKeys
  std::string ombrel = "[start]\n1=recorder start\n[stop]\n1=recorder stop\n[bases4GL]\nuno=1\n";
  ombrel += "[relleno]\n";
  // With the three keys above, exactly the cap.
  for (std::size_t i = 0; i + 3 < kKeys; ++i) ombrel += "k" + std::to_string(i) + "=v\n";
  site.Ombrel(ombrel);
  Result check = Check();
  EXPECT_EQ(check.status, 0) << check.err.substr(0, 2000);
  struct rusage usage {};
  ::getrusage(RUSAGE_CHILDREN, &usage);
  // The bound: the file and 36 bytes a key, with the program's own few
  // megabytes and the file's bytes while it is read.
  const double bound_kb =
      (2.0 * static_cast<double>(ombrel.size()) + 36.0 * kKeys) / 1024 + 16 * 1024;
  if (!kSanitized) {  // the sanitizers' own memory is not the profile's
    EXPECT_LT(static_cast<double>(usage.ru_maxrss), bound_kb);
  }
  testing::Test::RecordProperty("max_rss_kb", static_cast<int>(usage.ru_maxrss));
  testing::Test::RecordProperty("file_bytes", static_cast<int>(ombrel.size()));

  site.Ombrel(ombrel + "k_one=v\n");
  check = Check();
  EXPECT_EQ(check.status, 1);  // unreadable: the start would fail
  EXPECT_NE(check.err.find("Ombrel.ini cannot be read: it holds more than 1000000 keys, more "
                           "than a profile file may hold"),
            std::string::npos)
      << check.err.substr(0, 2000);
}

// A huge value costs its size only while it is worked with: -CHECK holds
// one command line at a time (it held every line, each split, and all its
// output at once: ten times the value), and the service keeps nothing of
// its profiles between requests (it kept the whole file).
TEST_F(Adversary, AHugeValueCostsItsSizeOnlyWhileItIsWorkedWith) {
  if (kSanitized) GTEST_SKIP() << "the sanitizers keep freed memory for their own checks";
  const std::string huge(std::size_t{48} << 20, 'x');
  const double huge_kb = static_cast<double>(huge.size()) / 1024;
  const std::string commands = "[start]\n1=recorder start\n[stop]\n1=recorder stop\n";

  site.Ombrel(commands + "[bases4GL]\nuno=1\ngrande=" + huge + " fin\n");
  for (const char* form : {"-CHECK", "-CHECK -JSON"}) {
    std::vector<std::string> args{"-CHECK"};
    if (std::string(form) != "-CHECK") args.push_back("-JSON");
    const Result check = RunProgram(site.program(), args, Env());
    // Its start line and its stop line, each said whole.
    EXPECT_GT(check.out.size(), 2 * huge.size()) << form;
    struct rusage usage {};
    ::getrusage(RUSAGE_CHILDREN, &usage);
    // The file, the value read from it, its line and that line split, with
    // the program's own few megabytes.
    EXPECT_LT(static_cast<double>(usage.ru_maxrss), 6 * huge_kb + 16 * 1024) << form;
    testing::Test::RecordProperty(
        std::string(form) == "-CHECK" ? "check_max_rss_kb" : "check_json_max_rss_kb",
        static_cast<int>(usage.ru_maxrss));
  }

  site.Ombrel(commands + "[bases4GL]\nuno=1\n[notas]\nlarga=" + huge + "\n");
  Background service(site.program(), {}, Env());
  ASSERT_TRUE(Served(1, 20s)) << service.Err();
  long rss_kb = 0;
  std::istringstream status(tests::ReadFile("/proc/" + std::to_string(service.pid()) + "/status"));
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) rss_kb = std::atol(line.c_str() + 6);
  }
  EXPECT_GT(rss_kb, 0);
  EXPECT_LT(static_cast<double>(rss_kb), huge_kb / 2) << "the profile was kept after the start";
  testing::Test::RecordProperty("between_requests_rss_kb", static_cast<int>(rss_kb));
  service.Signal(SIGTERM);
  EXPECT_EQ(service.Finish().status, 0);
}

// The notification socket replaced (systemd re-executed, say): the service
// connects to the new one.
TEST_F(Adversary, TheNotifySocketReplacedIsReachedAgain) {
  tests::TempDir dir;
  const std::string path = dir / "notify";
  auto notify = std::make_unique<tests::NotifySocket>(path);
  auto env = Env();
  env.emplace_back("NOTIFY_SOCKET", path);
  Background service(site.program(), {}, env);
  ASSERT_TRUE(notify->WaitFor("READY=1", 10s)) << service.Err();
  notify.reset();  // the old socket goes, and a new one is bound at its path
  auto replaced = std::make_unique<tests::NotifySocket>(path);
  EXPECT_EQ(Run("-PAUSE").status, 0);
  EXPECT_TRUE(replaced->WaitFor("STATUS=paused: ", 5s)) << service.Err();
  service.Signal(SIGTERM);
  EXPECT_EQ(service.Finish().status, 0);
  EXPECT_TRUE(replaced->WaitFor("STOPPING=1", 5s));
}

}  // namespace
}  // namespace ostrim
