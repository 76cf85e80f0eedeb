// stamp: appends CLOCK_MONOTONIC in nanoseconds, taken as soon as it runs, to
// the file named by $STAMP_FILE. The latency benchmarks use it as the start
// or stop command: its stamp is the moment the command was executed.
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

int main() {
  struct timespec ts {};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  const char* path = std::getenv("STAMP_FILE");
  if (path == nullptr) return 1;
  char line[32];
  int n = std::snprintf(line, sizeof line, "%lld\n",
                        static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec);
  int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return 1;
  [[maybe_unused]] ssize_t w = ::write(fd, line, static_cast<std::size_t>(n));
  ::close(fd);
  return 0;
}
