// demo-stop: stops a demo-engine of the example site.
//
//   demo-stop NAME
//
// Sends SIGTERM to the engine whose pid is in $DBDIR/NAME.pid and waits until
// it has ended (at most 30 s), as a database's stop tool does.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: demo-stop NAME\n");
    return 2;
  }
  const std::string name = argv[1];
  const char* dir = std::getenv("DBDIR");
  const std::string pid_file =
      std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp/ostrim-demo") + "/" + name + ".pid";
  long pid = 0;
  if (FILE* f = std::fopen(pid_file.c_str(), "r")) {
    if (std::fscanf(f, "%ld", &pid) != 1) pid = 0;
    std::fclose(f);
  }
  if (pid <= 0 || ::kill(static_cast<pid_t>(pid), SIGTERM) != 0) {
    std::printf("demo-stop %s: not running\n", name.c_str());
    return 0;
  }
  for (int tenths = 0; tenths < 300; ++tenths) {
    if (::kill(static_cast<pid_t>(pid), 0) != 0) {
      std::printf("demo-stop %s: stopped (pid %ld)\n", name.c_str(), pid);
      return 0;
    }
    ::usleep(100000);
  }
  std::fprintf(stderr, "demo-stop %s: pid %ld did not end within 30 s\n", name.c_str(), pid);
  return 1;
}
