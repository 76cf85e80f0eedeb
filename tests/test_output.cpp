// Where each database's output goes: under systemd, a journal stream of its
// own, named after the database, which the service hands over and never
// reads; tried in a private mount namespace with a stand-in journal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "helpers/site_test.h"
#include "platform/posix/journal.h"

extern char** environ;

namespace ostrim {
namespace {

using Output = tests::SiteTest;

// Mended: journald refuses a stream whose header line is about 2 KB long,
// and the engine's first write was then killed by SIGPIPE. A long name is
// cut, at a character's beginning, with a stable hash of the whole name.
TEST(JournalIdentifier, FitsJournaldsHeaderWhateverTheName) {
  using platform::posix::JournalIdentifier;
  using platform::posix::kLongestIdentifier;
  EXPECT_EQ(JournalIdentifier("ventas"), "ostrim/ventas");
  EXPECT_EQ(JournalIdentifier("com\x01pr\nas"), "ostrim/com_pr_as");
  const std::string exact(kLongestIdentifier - 7, 'a');  // "ostrim/" and it: the longest kept
  EXPECT_EQ(JournalIdentifier(exact), "ostrim/" + exact);
  struct Case {
    std::string name;
  };
  const Case cases[] = {
      {std::string(3000, 'a')},
      {std::string(3000, 'a') + "b"},
      {exact + "a"},
      {std::string(1500, '\xc3') + std::string(1500, '\xb1')},  // not a valid text either
  };
  std::vector<std::string> seen;
  for (const Case& c : cases) {
    const std::string id = JournalIdentifier(c.name);
    SCOPED_TRACE(id);
    EXPECT_LE(id.size(), kLongestIdentifier);
    ASSERT_GE(id.size(), 9u);
    EXPECT_EQ(id[id.size() - 9], '~');
    EXPECT_EQ(id.find_first_not_of("0123456789abcdef", id.size() - 8), std::string::npos);
    EXPECT_EQ(("ostrim/" + c.name).rfind(id.substr(0, id.size() - 9), 0), 0u);
    EXPECT_EQ(JournalIdentifier(c.name), id);  // the same name, the same identifier
    seen.push_back(id);
  }
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(std::unique(seen.begin(), seen.end()), seen.end()) << "two names, one identifier";
  // A name of two-byte characters is cut between two of them.
  std::string enes;
  for (int i = 0; i < 1500; ++i) enes += "\xc3\xb1";  // ñ
  const std::string id = JournalIdentifier(enes);
  const std::string kept = id.substr(7, id.size() - 16);
  EXPECT_EQ(kept.size() % 2, 0u) << "cut inside a character";
  EXPECT_EQ(enes.rfind(kept, 0), 0u);
}

// Mended: journald places a line by its writer's process, and a stop
// command that had ended before journald read its last line lost that line
// from `journalctl -u ostrim`. Each stream names the service's unit, read
// from its cgroup.
TEST(JournalUnit, IsTheServicesOwnFromItsCgroup) {
  using platform::posix::UnitOfCgroup;
  const struct {
    const char* cgroup;
    const char* unit;
  } cases[] = {
      {"0::/system.slice/ostrim.service\n", "ostrim.service"},
      {"0::/system.slice/ostrim.service/engines\n", "ostrim.service"},
      {"0::/system.slice/system-ostrim.slice/ostrim@ventas.service\n", "ostrim@ventas.service"},
      {"0::/user.slice/user-0.slice/session-3.scope\n", "session-3.scope"},
      {"0::/system.slice/_cpu.service\n", "cpu.service"},  // escaped by systemd
      // Old hierarchies beside the unified one, or alone: whichever places
      // the service (a systemd in a container may track it in either).
      {"12:cpuset:/\n1:name=systemd:/system.slice/ostrim.service\n0::/\n", "ostrim.service"},
      {"9:name=systemd:/\n8:pids:/\n0::/system.slice/ostrim.service\n", "ostrim.service"},
      {"12:cpuset:/\n1:name=systemd:/system.slice/ostrim.service\n", "ostrim.service"},
      // Not in a unit, or nothing a header line may carry.
      {"0::/\n", ""},
      {"0::/system.slice\n", ""},
      {"0::/docker/3f2a9c\n", ""},
      {"0::/system.slice/a b.service\n", ""},
      {"0::/system.slice/ostrim.mount\n", ""},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(UnitOfCgroup(c.cgroup), c.unit) << c.cgroup;
}

// In a child of its own: /run private, a journal stream socket there, the
// service run with a standard error the environment names as the journal;
// every stream it opens is read to its end. What each stream carried (its
// seven header lines, then the output) is written to `report`, one stream
// after another, separated by a form feed.
int StandInJournal(const tests::Site& site, int report) {
  if (::unshare(CLONE_NEWNS) != 0) return 90;
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return 91;
  if (::mount("tmpfs", "/run", "tmpfs", 0, "mode=0755") != 0) return 92;
  ::mkdir("/run/systemd", 0755);
  ::mkdir("/run/systemd/journal", 0755);
  int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_un addr {};
  addr.sun_family = AF_UNIX;
  std::string("/run/systemd/journal/stdout").copy(addr.sun_path, sizeof addr.sun_path - 1);
  if (::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listener, 16) != 0) {
    return 93;
  }
  const std::string err = site / "service.err";
  int err_fd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  struct stat st {};
  ::fstat(err_fd, &st);
  std::vector<std::string> env_text;
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::string(*e).rfind("JOURNAL_STREAM=", 0) != 0) env_text.emplace_back(*e);
  }
  env_text.push_back("JOURNAL_STREAM=" + std::to_string(st.st_dev) + ":" +
                     std::to_string(st.st_ino));
  env_text.push_back("RECORDER_LOG=" + site.log());
  std::vector<char*> envp;
  for (std::string& e : env_text) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string program = site.program();
  char* argv[] = {program.data(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, err_fd, 2);
  pid_t service = -1;
  if (::posix_spawn(&service, program.c_str(), &actions, nullptr, argv, envp.data()) != 0)
    return 94;
  // The start's two launches and the stop's two: four streams.
  int stream = 0;
  for (; stream < 4; ++stream) {
    if (stream == 2) ::kill(service, SIGTERM);
    struct pollfd p = {listener, POLLIN, 0};
    if (::poll(&p, 1, 10000) <= 0) break;
    int fd = ::accept(listener, nullptr, nullptr);
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, n);
    ::close(fd);
    text += '\f';
    [[maybe_unused]] ssize_t w = ::write(report, text.data(), text.size());
  }
  // Stopped already once all four came; a second SIGTERM then would find a
  // service past its stop, its handlers gone, and end it by the signal.
  if (stream < 4) ::kill(service, stream < 2 ? SIGTERM : SIGKILL);
  int status = 0;
  ::waitpid(service, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 95;
}

TEST_F(Output, EachDatabaseWritesToAJournalStreamOfItsOwn) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root for a mount namespace of its own";
  site.Ombrel(
      "[start]\n1=recorder start @say=hola\n[stop]\n1=recorder stop @say=adios\n"
      "[bases4GL]\nventas=v\ncom\x01pras=c\n");
  int report[2];
  ASSERT_EQ(::pipe(report), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(report[0]);
    _exit(StandInJournal(site, report[1]));
  }
  ::close(report[1]);
  std::string streams;
  char buffer[4096];
  for (ssize_t n; (n = ::read(report[0], buffer, sizeof buffer)) > 0;) streams.append(buffer, n);
  ::close(report[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  ASSERT_EQ(WEXITSTATUS(status), 0) << tests::ReadFile(site / "service.err");
  std::vector<std::string> each;
  for (std::size_t at = 0, ff; (ff = streams.find('\f', at)) != std::string::npos; at = ff + 1) {
    each.push_back(streams.substr(at, ff - at));
  }
  std::sort(each.begin(), each.end());
  // Its header (identifier, the service's unit: the test's own, perhaps
  // none; priority 6, level prefixes, journal only), then what the engine
  // wrote on both its outputs.
  const std::string unit =
      platform::posix::UnitOfCgroup(tests::ReadFile("/proc/self/cgroup")) + "\n";
  const std::vector<std::string> expected = {
      "ostrim/com_pras\n" + unit + "6\n1\n0\n0\n0\nadios out\nadios err\n",
      "ostrim/com_pras\n" + unit + "6\n1\n0\n0\n0\nhola out\nhola err\n",
      "ostrim/ventas\n" + unit + "6\n1\n0\n0\n0\nadios out\nadios err\n",
      "ostrim/ventas\n" + unit + "6\n1\n0\n0\n0\nhola out\nhola err\n",
  };
  EXPECT_EQ(each, expected);
  // The service's own log has none of it.
  const std::string log = tests::ReadFile(site / "service.err");
  EXPECT_EQ(log.find("hola out"), std::string::npos);
  EXPECT_EQ(log.find("hola err"), std::string::npos);
  EXPECT_NE(log.find("request stop: done"), std::string::npos) << log;
}

// Without the journal, as always: the engines write where the service does.
TEST_F(Output, WithoutTheJournalEnginesWriteWhereTheServiceDoes) {
  site.Ombrel("[start]\n1=recorder start @say=hola\n[stop]\n1=recorder stop\n[bases4GL]\nv=v\n");
  tests::Background service(site.program(), {}, Env());
  ASSERT_TRUE(Served(1, std::chrono::seconds(10)));
  service.Signal(SIGTERM);
  tests::Result r = service.Finish();
  EXPECT_NE(r.out.find("hola out\n"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("hola err\n"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace ostrim
