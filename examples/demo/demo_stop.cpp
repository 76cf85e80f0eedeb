// demo-stop: stops a demo-engine of the example site.
//
//   demo-stop NAME
//
// Sends SIGTERM to the engine whose pid is in NAME.pid in the run directory
// (pid_file.h), when that pid is still that engine, and waits until it has
// ended (at most 30 s), as a database's stop tool does.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "pid_file.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: demo-stop NAME\n");
    return 2;
  }
  const std::string name = argv[1];
  std::string why;
  const std::string dir = demo::RunDirectory(why);
  if (dir.empty()) {
    std::fprintf(stderr, "demo-stop %s: %s\n", name.c_str(), why.c_str());
    return 1;
  }
  const long pid = demo::ReadEngine(dir + "/" + name + ".pid");
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
