// stamp: appends CLOCK_MONOTONIC in nanoseconds, taken as soon as it runs, to
// the file named by $STAMP_FILE (when set). The latency benchmarks use it as
// the start or stop command: its stamp is the moment the command was
// executed. With an argument "@sleep=MS" it then runs that long: an engine
// that stays in the foreground, or a stop command that takes its time. With
// "@listen=PORT:MS" it accepts connections on 127.0.0.1:PORT from MS
// milliseconds after it runs (an engine that takes that long to be up), and
// appends "listen NS" when it does.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

void Append(const char* text) {
  const char* path = std::getenv("STAMP_FILE");
  if (path == nullptr) return;
  int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  [[maybe_unused]] ssize_t w = ::write(fd, text, std::strlen(text));
  ::close(fd);
}

long long Now() {
  struct timespec ts {};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

void Listen(int port, long delay_ms) {
  std::thread([port, delay_ms] {
    struct timespec pause = {delay_ms / 1000, (delay_ms % 1000) * 1000000};
    while (nanosleep(&pause, &pause) != 0) {
    }
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<unsigned short>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 128) != 0) {
      return;
    }
    char line[48];
    std::snprintf(line, sizeof line, "listen %lld\n", Now());
    Append(line);
    for (;;) {
      int c = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
      if (c >= 0) ::close(c);
    }
  }).detach();
}

}  // namespace

int main(int argc, char** argv) {
  struct timespec ts {};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  long sleep_ms = 0;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "@sleep=", 7) == 0) sleep_ms = std::atol(argv[i] + 7);
    if (std::strncmp(argv[i], "@listen=", 8) == 0) {
      const char* colon = std::strchr(argv[i] + 8, ':');
      Listen(std::atoi(argv[i] + 8), colon != nullptr ? std::atol(colon + 1) : 0);
    }
  }
  if (sleep_ms > 0) {
    struct timespec pause = {sleep_ms / 1000, (sleep_ms % 1000) * 1000000};
    while (nanosleep(&pause, &pause) != 0) {
    }
  }
  const char* path = std::getenv("STAMP_FILE");
  if (path == nullptr) return sleep_ms > 0 ? 0 : 1;
  char line[32];
  int n = std::snprintf(line, sizeof line, "%lld\n",
                        static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec);
  int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return 1;
  [[maybe_unused]] ssize_t w = ::write(fd, line, static_cast<std::size_t>(n));
  ::close(fd);
  return 0;
}
