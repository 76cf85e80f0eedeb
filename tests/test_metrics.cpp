// -STATUS -PROMETHEUS as a fleet meets it: the exit statuses of -STATUS,
// "ostrim_up 0" when nothing serves, a file written whole for the node
// exporter's textfile collector, accepted by promtool whatever the names, and
// served by the real node exporter.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "helpers/site_test.h"

namespace ostrim {
namespace {

using namespace std::chrono_literals;
using tests::Background;
using tests::Result;
using tests::RunProgram;
namespace fs = std::filesystem;

class Metrics : public tests::SiteTest {
 protected:
  Result Prometheus(const std::vector<std::string>& more = {}) const {
    std::vector<std::string> args = {"-STATUS", "-PROMETHEUS"};
    args.insert(args.end(), more.begin(), more.end());
    return RunProgram(site.program(), args, Env());
  }
  // A site whose names hold what the format must escape or make UTF-8: a
  // quote, a backslash, a TAB, a letter in UTF-8, a byte that is no UTF-8.
  void HostileSite() const {
    site.Ombrel(
        "[start]\n1=recorder start\n[stop]\n1=recorder stop\n[bases4GL]\n"
        "a\"b\\c=1 @sleep=60000\ntab\tin=2 @sleep=60000\n\xc3\xb1"
        "and\xc3\xba=3\nlatin\xff"
        "=4\n[opciones]\nespera_arranque=0.5\n");
  }
};

const char* const kNone =
    "# HELP ostrim_up 1 when a service serves the site, else 0.\n"
    "# TYPE ostrim_up gauge\n"
    "ostrim_up 0\n";

TEST_F(Metrics, SayWhatServesAndExitAsStatusDoes) {
  // None serves: still ostrim_up 0, and -STATUS's exit status 3.
  Result r = Prometheus();
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.out, kNone);

  HostileSite();
  Background service(site.program(), {}, Env());
  ASSERT_TRUE(Served()) << service.Err();
  r = Prometheus();
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("\nostrim_up 1\n"), std::string::npos) << r.out;
  EXPECT_NE(
      r.out.find(
          "ostrim_database_state{database=\"a\\\"b\\\\c\",pass=\"4GL\",state=\"running\"} 1\n"),
      std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("{database=\"latin\xc3\xbf\",pass=\"4GL\",state=\"start_ended\"} 1\n"),
            std::string::npos)
      << r.out;

  // To a file: whole, readable by the collector, nothing left beside it;
  // the path as given, in any case.
  const std::string dir = site / "Node Exporter";
  fs::create_directory(dir);
  const std::string file = dir + "/Ostrim.prom";
  r = Prometheus({file});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(r.out.empty());
  const std::string written = tests::ReadFile(file);
  EXPECT_NE(written.find("\nostrim_up 1\n"), std::string::npos) << written;
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);

  service.Signal(SIGTERM);
  EXPECT_EQ(service.Finish().status, 0);
  // Written whatever the exit status: none serves now.
  r = Prometheus({file});
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(tests::ReadFile(file), kNone);
  // A directory that is not there: said, exit status 1.
  r = Prometheus({site / "nowhere/ostrim.prom"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("cannot write"), std::string::npos) << r.err;
}

TEST_F(Metrics, PromtoolAcceptsThemWithAndWithoutAService) {
  if (!fs::exists("/usr/bin/promtool")) {
    GTEST_SKIP() << "promtool is not installed (Debian package prometheus)";
  }
  auto check = [&](const std::string& file) {
    return RunProgram("/bin/sh", {"-c", "promtool check metrics < \"$0\"", file}, Env());
  };
  const std::string none = site / "none.prom";
  Prometheus({none});
  Result r = check(none);
  EXPECT_EQ(r.status, 0) << r.out << r.err;

  HostileSite();
  Background service(site.program(), {}, Env());
  ASSERT_TRUE(Served()) << service.Err();
  const std::string serving = site / "serving.prom";
  EXPECT_EQ(Prometheus({serving}).status, 0);
  r = check(serving);
  EXPECT_EQ(r.status, 0) << r.out << r.err << tests::ReadFile(serving);
  service.Signal(SIGTERM);
  service.Finish();
}

// A free port on the loopback interface, for a server the test starts.
int FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  int port = -1;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
    port = ntohs(addr.sin_port);
  }
  ::close(fd);
  return port;
}

// GET `path` from 127.0.0.1:`port`: the whole answer, or empty.
std::string Get(int port, const std::string& path) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  std::string answer;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
    const std::string request = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
        static_cast<ssize_t>(request.size())) {
      char buffer[65536];
      ssize_t n;
      while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0) answer.append(buffer, n);
    }
  }
  ::close(fd);
  return answer;
}

// The real node exporter, its textfile collector reading the file the
// package's timer writes, on a loopback port: scraped, ostrim's samples are
// there.
TEST_F(Metrics, TheNodeExporterServesThemFromItsTextfileDirectory) {
  const std::string exporter = "/usr/bin/prometheus-node-exporter";
  if (!fs::exists(exporter)) {
    GTEST_SKIP() << "the node exporter is not installed (Debian package prometheus-node-exporter)";
  }
  HostileSite();
  Background service(site.program(), {}, Env());
  ASSERT_TRUE(Served()) << service.Err();
  const std::string dir = site / "node-exporter";
  fs::create_directory(dir);
  // The timer's command, as the package's unit runs it.
  ASSERT_EQ(Prometheus({dir + "/ostrim.prom"}).status, 0);
  std::string scraped;
  for (int attempt = 0; attempt < 5 && scraped.find("ostrim_up") == std::string::npos; ++attempt) {
    const int port = FreePort();
    ASSERT_GT(port, 0);
    Background node(
        exporter,
        {"--web.listen-address=127.0.0.1:" + std::to_string(port), "--collector.disable-defaults",
         "--collector.textfile", "--collector.textfile.directory=" + dir},
        Env());
    for (int tries = 0; tries < 200 && scraped.find("ostrim_up") == std::string::npos; ++tries) {
      scraped = Get(port, "/metrics");
      if (scraped.empty()) std::this_thread::sleep_for(50ms);
      if (!scraped.empty() && scraped.find("ostrim_up") == std::string::npos) break;
    }
    node.Signal(SIGTERM);
    node.Finish();
  }
  EXPECT_NE(scraped.find("\nostrim_up 1\n"), std::string::npos) << scraped;
  EXPECT_NE(
      scraped.find("ostrim_database_state{database=\"tab\tin\",pass=\"4GL\",state=\"running\"} 1"),
      std::string::npos)
      << scraped;
  // The collector read the file without an error.
  EXPECT_NE(scraped.find("node_textfile_scrape_error 0"), std::string::npos) << scraped;
  service.Signal(SIGTERM);
  service.Finish();
}

}  // namespace
}  // namespace ostrim
