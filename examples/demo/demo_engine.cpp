// demo-engine: a stand-in database engine for the example site.
//
//   demo-engine NAME [options...] -z
//
// Starts the engine NAME and keeps running, as a database engine does: it
// writes its pid to $DBDIR/NAME.pid, says so on standard output, and shows a
// sign of life every 30 s. On SIGTERM (sent by demo-stop) it shuts down
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

namespace {

volatile sig_atomic_t stop_requested = 0;
void OnTerm(int) {
  stop_requested = 1;
}

std::string RunDirectory() {
  const char* dir = std::getenv("DBDIR");
  return dir != nullptr && *dir != '\0' ? dir : "/tmp/ostrim-demo";
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
  const std::string dir = RunDirectory();
  ::mkdir(dir.c_str(), 0755);
  const std::string pid_file = dir + "/" + name + ".pid";

  if (FILE* f = std::fopen(pid_file.c_str(), "r")) {
    long pid = 0;
    bool alive =
        std::fscanf(f, "%ld", &pid) == 1 && pid > 0 && ::kill(static_cast<pid_t>(pid), 0) == 0;
    std::fclose(f);
    if (alive) {
      std::printf("demo-engine %s: already running as pid %ld; options%s taken\n", name.c_str(),
                  pid, options.c_str());
      return 0;
    }
  }

  struct sigaction action {};
  action.sa_handler = OnTerm;
  ::sigaction(SIGTERM, &action, nullptr);
  ::sigaction(SIGINT, &action, nullptr);

  if (FILE* f = std::fopen(pid_file.c_str(), "w")) {
    std::fprintf(f, "%ld\n", static_cast<long>(::getpid()));
    std::fclose(f);
  } else {
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
