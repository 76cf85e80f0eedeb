// recorder: a stand-in for the start and stop tools, used by the tests.
//
//   recorder ARG...
//
// Appends one line to the file named by $RECORDER_LOG when it starts:
//   begin <TAB> ms <TAB> pid <TAB> arg1|arg2|... <TAB> T_A=...;T_B=... <TAB> exe <TAB> argv0
// (every environment variable whose name starts with "T_", and NOTIFY_SOCKET
// if set; the program file it runs as, and its argv[0]), and, when it
// ends of its own accord, "end <TAB> ms <TAB> pid". ms is CLOCK_MONOTONIC in
// milliseconds. Arguments that start with "@" tell it how to behave:
//   @sleep=MS       run for MS milliseconds before ending (default: end at once)
//   @ignore-term    ignore SIGTERM
//   @exit=N         end with exit status N
//   @fork           leave a child of its own running (as engines do), which
//                   keeps standard output open, then end
//   @close-stdout   close its standard output and error first
//   @probe=FILE     write what a child sees of itself to FILE: its session,
//                   its open descriptors, its signal mask and ignored signals
//   @replace=A:B    first rename file A to B (a profile edited mid-request)
//   @say=TEXT       write "TEXT out" to its standard output and "TEXT err" to
//                   its standard error
//   @listen=PORT:MS accept connections on 127.0.0.1:PORT from MS milliseconds
//                   after it starts (an engine that takes that long to be up);
//                   @listen=PORT:FILE, from when FILE exists
//   @touch=FILE     create FILE; @remove=FILE removes it
//   @exists=FILE    end with status 0 when FILE exists, else 1 (a check)
//   @hang-if=FILE   run for ten minutes when FILE exists (a check that hangs)
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

extern char** environ;

namespace {

long long NowMs() {
  struct timespec ts {};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void Append(const std::string& line) {
  const char* path = std::getenv("RECORDER_LOG");
  if (path == nullptr) return;
  int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  std::string text = line + "\n";
  [[maybe_unused]] ssize_t n = ::write(fd, text.data(), text.size());
  ::close(fd);
}

void Probe(const std::string& file) {
  std::ostringstream out;
  out << "sid_is_pid=" << (::getsid(0) == ::getpid()) << "\n";
  out << "has_ctty=" << (::open("/dev/tty", O_RDONLY | O_CLOEXEC) >= 0) << "\n";
  char target[256] = {};
  ssize_t n = ::readlink("/proc/self/fd/0", target, sizeof target - 1);
  out << "stdin=" << (n > 0 ? std::string(target, static_cast<std::size_t>(n)) : "") << "\n";
  out << "fds=";
  if (DIR* dir = ::opendir("/proc/self/fd")) {
    int own = ::dirfd(dir);
    while (struct dirent* e = ::readdir(dir)) {
      if (e->d_name[0] == '.') continue;
      int fd = std::atoi(e->d_name);
      if (fd != own) out << fd << ",";
    }
    ::closedir(dir);
  }
  out << "\n";
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("SigBlk:", 0) == 0 || line.rfind("SigIgn:", 0) == 0) out << line << "\n";
  }
  std::ofstream(file) << out.str();
}

// Accepts connections on 127.0.0.1:`port` from `delay_ms` on, closing each
// at once, for as long as the process lives.
void Listen(int port, long delay_ms, std::string gate) {
  std::thread([port, delay_ms, gate] {
    struct timespec ts = {delay_ms / 1000, (delay_ms % 1000) * 1000000};
    while (nanosleep(&ts, &ts) != 0) {
    }
    while (!gate.empty() && ::access(gate.c_str(), F_OK) != 0) ::usleep(10000);
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 64) != 0) {
      Append("listen-failed\t" + std::to_string(port));
      return;
    }
    Append("listening\t" + std::to_string(NowMs()) + "\t" + std::to_string(port));
    for (;;) {
      int c = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
      if (c >= 0) ::close(c);
    }
  }).detach();
}

}  // namespace

int main(int argc, char** argv) {
  long sleep_ms = 0;
  int exit_status = 0;
  bool fork_child = false;
  std::string args;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    args += (i > 1 ? "|" : "") + arg;
    if (arg.rfind("@sleep=", 0) == 0) sleep_ms = std::atol(arg.c_str() + 7);
    if (arg == "@ignore-term") ::signal(SIGTERM, SIG_IGN);
    if (arg.rfind("@exit=", 0) == 0) exit_status = std::atoi(arg.c_str() + 6);
    if (arg == "@fork") fork_child = true;
    if (arg == "@close-stdout") {
      ::close(1);
      ::close(2);
    }
    if (arg.rfind("@probe=", 0) == 0) Probe(arg.substr(7));
    if (arg.rfind("@say=", 0) == 0) {
      const std::string text = arg.substr(5);
      [[maybe_unused]] ssize_t o = ::write(1, (text + " out\n").data(), text.size() + 5);
      [[maybe_unused]] ssize_t e = ::write(2, (text + " err\n").data(), text.size() + 5);
    }
    if (arg.rfind("@listen=", 0) == 0) {
      const std::string port_and_when = arg.substr(8);
      const std::size_t colon = port_and_when.find(':');
      const std::string after = colon == std::string::npos ? "0" : port_and_when.substr(colon + 1);
      const bool ms = after.find_first_not_of("0123456789") == std::string::npos;
      Listen(std::atoi(port_and_when.c_str()), ms ? std::atol(after.c_str()) : 0, ms ? "" : after);
    }
    if (arg.rfind("@touch=", 0) == 0) std::ofstream(arg.substr(7)) << "up\n";
    if (arg.rfind("@remove=", 0) == 0) std::remove(arg.substr(8).c_str());
    if (arg.rfind("@hang-if=", 0) == 0 && ::access(arg.substr(9).c_str(), F_OK) == 0) {
      sleep_ms = 600000;
    }
    if (arg.rfind("@exists=", 0) == 0) {
      exit_status = ::access(arg.substr(8).c_str(), F_OK) == 0 ? 0 : 1;
    }
    if (arg.rfind("@replace=", 0) == 0) {
      const std::string files = arg.substr(9);
      const std::size_t colon = files.find(':');
      std::rename(files.substr(0, colon).c_str(), files.substr(colon + 1).c_str());
    }
  }
  std::string env;
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::strncmp(*e, "T_", 2) == 0 || std::strncmp(*e, "NOTIFY_SOCKET=", 14) == 0)
      env += (env.empty() ? "" : ";") + std::string(*e);
  }
  char exe[4096] = {};
  ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
  Append("begin\t" + std::to_string(NowMs()) + "\t" + std::to_string(::getpid()) + "\t" + args +
         "\t" + env + "\t" + std::string(exe, n > 0 ? static_cast<std::size_t>(n) : 0) + "\t" +
         argv[0]);
  if (fork_child && ::fork() == 0) {
    ::sleep(3);  // holds stdout open after its parent has ended
    _exit(0);
  }
  if (sleep_ms > 0) {
    struct timespec ts = {sleep_ms / 1000, (sleep_ms % 1000) * 1000000};
    while (nanosleep(&ts, &ts) != 0) {
    }
  }
  Append("end\t" + std::to_string(NowMs()) + "\t" + std::to_string(::getpid()));
  return exit_status;
}
