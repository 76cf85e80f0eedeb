// What a [puertos] value names, what it refuses and why, and how often a
// start looks whether a database is up.
#include "readiness.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace ostrim {
namespace {

using std::chrono::milliseconds;

TEST(Readiness, APortValueNamesOneAddress) {
  struct Case {
    std::string value;
    Puerto puerto;
    std::string text;
  };
  const std::vector<Case> cases = {
      {"5432", {"127.0.0.1", 5432}, "127.0.0.1:5432"},
      {"1", {"127.0.0.1", 1}, "127.0.0.1:1"},
      {"65535", {"127.0.0.1", 65535}, "127.0.0.1:65535"},
      {"00080", {"127.0.0.1", 80}, "127.0.0.1:80"},
      {"db1.example.com:5432", {"db1.example.com", 5432}, "db1.example.com:5432"},
      {"10.0.0.7:1526", {"10.0.0.7", 1526}, "10.0.0.7:1526"},
      {"mi_host-2:9088", {"mi_host-2", 9088}, "mi_host-2:9088"},
      {"[::1]:5432", {"::1", 5432, true}, "[::1]:5432"},
      {"[fe80::1:AB]:1", {"fe80::1:AB", 1, true}, "[fe80::1:AB]:1"},
      {"[::ffff:10.0.0.7]:80", {"::ffff:10.0.0.7", 80, true}, "[::ffff:10.0.0.7]:80"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    const Puerto p = LeePuerto(c.value);
    EXPECT_EQ(p, c.puerto);
    EXPECT_EQ(p.Text(), c.text);
  }
}

TEST(Readiness, AValueItCannotUseIsRefusedSayingWhy) {
  struct Case {
    std::string value;
    std::string why;
  };
  const std::vector<Case> cases = {
      {"", "no port"},
      {"0", "0 is not a port from 1 to 65535"},
      {"65536", "65536 is not a port from 1 to 65535"},
      {"99999999999999999999", "is not a port from 1 to 65535"},  // never overflows
      {"-1", "\"-1\" is not a port from 1 to 65535"},
      {"+80", "\"+80\" is not a port from 1 to 65535"},
      {"80 ", "\"80 \" is not a port from 1 to 65535"},
      {"ventas", "\"ventas\" is not a port from 1 to 65535"},
      {"host:", "\"\" is not a port from 1 to 65535"},
      {":80", "\"\" is not a host name or address"},
      {"mi host:80", "\"mi host\" is not a host name or address"},
      {"host\t:80", "is not a host name or address"},
      {"::1:80", "an IPv6 one is written [ADDRESS]:PORT"},
      {"[::1]80", "an IPv6 one is written [ADDRESS]:PORT"},
      {"[::1", "an IPv6 one is written [ADDRESS]:PORT"},
      {"[]:80", "\"\" is not an IPv6 address"},
      {"[10.0.0.7]:80", "\"10.0.0.7\" is not an IPv6 address"},
      {"[::g]:80", "\"::g\" is not an IPv6 address"},
      {"[::1]:0", "0 is not a port from 1 to 65535"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    try {
      LeePuerto(c.value);
      ADD_FAILURE() << "accepted";
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find(c.why), std::string::npos) << e.what();
    }
  }
}

TEST(Readiness, ChecksComeOftenAtFirstThenOnceASecond) {
  std::vector<long> gaps;
  for (milliseconds gap{0}; gaps.size() < 7;) {
    gap = SiguienteEspera(gap);
    gaps.push_back(static_cast<long>(gap.count()));
  }
  EXPECT_EQ(gaps, (std::vector<long>{100, 200, 400, 800, 1000, 1000, 1000}));
}

// A listening socket on the loopback address (IPv4 or IPv6), at a port of
// the system's choosing; not ok() where that family has no loopback.
class Listener {
 public:
  explicit Listener(int family = AF_INET, int backlog = 16) {
    fd_ = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_storage address{};
    socklen_t size = 0;
    if (family == AF_INET6) {
      auto* in6 = reinterpret_cast<sockaddr_in6*>(&address);
      in6->sin6_family = AF_INET6;
      in6->sin6_addr = in6addr_loopback;
      size = sizeof *in6;
    } else {
      auto* in = reinterpret_cast<sockaddr_in*>(&address);
      in->sin_family = AF_INET;
      in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      size = sizeof *in;
    }
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        ::listen(fd_, backlog) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
      Close();
      return;
    }
    port_ = ntohs(family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                                     : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
  }
  ~Listener() { Close(); }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  bool ok() const { return port_ != 0; }
  std::uint16_t port() const { return port_; }

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

TEST(Readiness, APortIsUpWhenItAcceptsAConnection) {
  Listener v4;
  ASSERT_TRUE(v4.ok());
  Listener v6(AF_INET6);
  struct Case {
    std::string host;
    std::uint16_t port;
    bool up;
  };
  std::vector<Case> cases = {
      {"127.0.0.1", v4.port(), true},
      // A name with several addresses: each is tried (localhost may be ::1
      // first, where nothing listens on this port).
      {"localhost", v4.port(), true},
  };
  if (v6.ok()) cases.push_back({"::1", v6.port(), true});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.host);
    EXPECT_EQ(platform::TryConnect(c.host, c.port, std::chrono::seconds(2)), "");
  }
  // Nothing listens there any more: refused at once, said so.
  const std::uint16_t closed = v4.port();
  v4.Close();
  EXPECT_EQ(platform::TryConnect("127.0.0.1", closed, std::chrono::seconds(2)),
            "connection refused");
}

// A port whose listener takes no more connections (its queue full, nobody
// accepting) never answers: said once the limit passes, while an attempt
// begun beside it is over at once.
TEST(Readiness, ConnectionAttemptsGoOnSideBySide) {
  Listener full(AF_INET, 0);
  ASSERT_TRUE(full.ok());
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(full.port());
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::vector<int> held;  // connections nobody accepts, filling its queue
  bool pending = false;
  for (int i = 0; i < 16 && !pending; ++i) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    pollfd p{fd, POLLOUT, 0};
    pending = ::poll(&p, 1, 200) == 0;
    held.push_back(fd);
  }
  struct Closer {
    std::vector<int>& fds;
    ~Closer() {
      for (int fd : fds) ::close(fd);
    }
  } closer{held};
  if (!pending) GTEST_SKIP() << "this system answers a full listener's queue";
  Listener open;
  platform::ConnectAttempt slow("127.0.0.1", full.port(), std::chrono::milliseconds(300));
  platform::ConnectAttempt quick("127.0.0.1", open.port(), std::chrono::milliseconds(300));
  EXPECT_EQ(quick.Outcome(std::chrono::seconds(1)), std::optional<std::string>(""));
  EXPECT_EQ(slow.Outcome(), std::nullopt);  // still going on
  std::optional<std::string> outcome;
  while (!(outcome = slow.Outcome(std::chrono::seconds(1)))) {
  }
  EXPECT_EQ(*outcome, "no answer");
  EXPECT_EQ(platform::TryConnect("127.0.0.1", full.port(), std::chrono::milliseconds(100)),
            "no answer");
}

}  // namespace
}  // namespace ostrim
