// demo-engine: a stand-in database engine for the example site.
//
//   demo-engine NAME [options...] -z
//
// Starts the engine NAME and keeps running, as a database engine does: it
// writes its pid to NAME.pid in its run directory (pid_file.h), says so on
// standard output, and shows a sign of life every 30 s. On SIGTERM (sent by demo-stop) it shuts down
// cleanly and removes its pid file. When NAME is running already it only says
// so and ends at once (a second start of the same database: its SQL and 4GL
// sides share one engine).
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "pid_file.h"

namespace {

volatile sig_atomic_t stop_requested = 0;
void OnTerm(int) {
  stop_requested = 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: demo-engine NAME [options...] -z\n");
    return 2;
  }
  const std::string name = argv[1];
  std::string options;
  for (int i = 2; i < argc; ++i) options += std::string(" ") + argv[i];
  std::string why;
  const std::string dir = demo::RunDirectory(why);
  if (dir.empty()) {
    std::fprintf(stderr, "demo-engine %s: %s\n", name.c_str(), why.c_str());
    return 1;
  }
  const std::string pid_file = dir + "/" + name + ".pid";

  if (const long pid = demo::ReadEngine(pid_file); pid > 0) {
    std::printf("demo-engine %s: already running as pid %ld; options%s taken\n", name.c_str(), pid,
                options.c_str());
    return 0;
  }

  struct sigaction action {};
  action.sa_handler = OnTerm;
  ::sigaction(SIGTERM, &action, nullptr);
  ::sigaction(SIGINT, &action, nullptr);

  if (!demo::WriteEngine(pid_file)) {
    std::fprintf(stderr, "demo-engine %s: cannot write %s: %s\n", name.c_str(), pid_file.c_str(),
                 std::strerror(errno));
    return 1;
  }
  const char* lang = std::getenv("DBLANG");
  std::printf("demo-engine %s: up as pid %ld (options%s, DBLANG=%s)\n", name.c_str(),
              static_cast<long>(::getpid()), options.c_str(), lang ? lang : "unset");
  std::fflush(stdout);

  for (int seconds = 1; !stop_requested; ++seconds) {
    ::sleep(1);
    if (seconds % 30 == 0 && !stop_requested) {
      std::printf("demo-engine %s: serving, up %d s\n", name.c_str(), seconds);
      std::fflush(stdout);
    }
  }
  std::printf("demo-engine %s: shutting down cleanly\n", name.c_str());
  ::unlink(pid_file.c_str());
  return 0;
}
