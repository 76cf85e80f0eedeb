// stamp: appends CLOCK_MONOTONIC in nanoseconds, taken as soon as it runs, to
// the file named by $STAMP_FILE (when set). The latency benchmarks use it as
// the start or stop command: its stamp is the moment the command was
// executed. With an argument "@sleep=MS" it then runs that long: an engine
// that stays in the foreground, or a stop command that takes its time.
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
  struct timespec ts {};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  long sleep_ms = 0;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "@sleep=", 7) == 0) sleep_ms = std::atol(argv[i] + 7);
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
