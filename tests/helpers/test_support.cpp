#include "helpers/test_support.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace ostrim::tests {
namespace fs = std::filesystem;

Site::Site() {
  fs::copy_file(OSTRIM_BINARY, program());
  fs::copy_file(RECORDER_BINARY, *this / "recorder");
}

std::vector<std::vector<std::string>> Site::Records() const {
  std::vector<std::vector<std::string>> records;
  std::istringstream lines(ReadFile(log()));
  std::string line;
  while (std::getline(lines, line)) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (;;) {
      std::size_t tab = line.find('\t', start);
      fields.push_back(line.substr(start, tab - start));
      if (tab == std::string::npos) break;
      start = tab + 1;
    }
    records.push_back(std::move(fields));
  }
  return records;
}

int Site::KillRecorders() const {
  std::set<std::string> running;
  for (const auto& r : Records()) {
    if (r.size() < 3) continue;
    if (r[0] == "begin") running.insert(r[2]);
    if (r[0] == "end") running.erase(r[2]);
  }
  // Only a process that is this site's recorder: the pid may be another's.
  // (An ended one, not yet reaped, has no program file any more.)
  auto still_ours = [this](const std::string& pid) {
    std::error_code error;
    return fs::read_symlink("/proc/" + pid + "/exe", error) == fs::path(*this / "recorder");
  };
  int killed = 0;
  for (const std::string& pid : running) {
    if (still_ours(pid)) killed += ::kill(std::stoi(pid), SIGKILL) == 0;
  }
  // A signal is delivered when the process next runs: each is waited for
  // until it has ended, so that nothing started next finds it still running.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  for (const std::string& pid : running) {
    while (still_ours(pid) && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  return killed;
}

std::vector<std::string> Site::Launched() const {
  std::vector<std::string> launched;
  for (const auto& r : Records()) {
    if (r[0] == "begin" && r.size() > 3) launched.push_back(r[3]);
  }
  return launched;
}

bool Site::WaitForLaunches(std::size_t count, std::chrono::milliseconds limit) const {
  auto deadline = std::chrono::steady_clock::now() + limit;
  std::size_t seen = 0;
  for (;;) {
    // Counted in the raw file, without parsing it: thousands of launches
    // are watched without taking the machine from the service.
    const std::string text = ReadFile(log());
    std::size_t begun = text.rfind("begin\t", 0) == 0 ? 1 : 0;
    for (std::size_t at = 0; (at = text.find("\nbegin\t", at)) != std::string::npos; ++at) ++begun;
    if (begun >= count) return true;
    // The limit counts from the last launch seen: a slow machine that
    // keeps launching is never taken for a service that stopped.
    if (begun > seen) {
      seen = begun;
      deadline = std::chrono::steady_clock::now() + limit;
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

namespace {

pid_t Spawn(const std::string& program, const std::vector<std::string>& args,
            const Environment& env, const Streams& streams, const std::string& cwd,
            const std::string& out, const std::string& err) {
  std::vector<std::string> envs;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry = *e;
    bool replaced = false;
    for (const auto& [name, value] : env) replaced |= entry.rfind(name + "=", 0) == 0;
    if (!replaced && entry.rfind("NOTIFY_SOCKET=", 0) != 0 &&
        entry.rfind("JOURNAL_STREAM=", 0) != 0) {
      envs.push_back(entry);
    }
  }
  for (const auto& [name, value] : env) envs.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (auto& e : envs) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<std::string> argv_text = {program};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const int given[3] = {streams.in, streams.out, streams.err};
  const std::string* files[3] = {nullptr, &out, &err};
  for (int fd = 0; fd < 3; ++fd) {
    if (given[fd] == Streams::kClosed) {
      posix_spawn_file_actions_addclose(&actions, fd);
    } else if (given[fd] >= 0) {
      posix_spawn_file_actions_adddup2(&actions, given[fd], fd);
    } else if (fd == 0) {
      posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    } else {
      posix_spawn_file_actions_addopen(&actions, fd, files[fd]->c_str(),
                                       O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
  }
  if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
  pid_t pid = -1;
  int error = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) throw std::runtime_error("cannot run " + program);
  return pid;
}

int WaitStatus(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

Result RunProgram(const std::string& program, const std::vector<std::string>& args,
                  const Environment& env, const std::string& cwd) {
  Background running(program, args, env, {}, cwd);
  return running.Finish();
}

Background::Background(const std::string& program, const std::vector<std::string>& args,
                       const Environment& env, const Streams& streams, const std::string& cwd)
    : pid_(Spawn(program, args, env, streams, cwd, files_ / "out", files_ / "err")) {}

Background::~Background() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    WaitStatus(pid_);
  }
}

void Background::Signal(int signo) const {
  ::kill(pid_, signo);
}

std::string Background::Err() const {
  return ReadFile(files_ / "err");
}

bool Background::WaitForErr(std::string_view text, std::chrono::milliseconds limit) const {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (Err().find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

bool Background::WaitForErrCount(std::string_view text, int count,
                                 std::chrono::milliseconds limit) const {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (Count(Err(), std::string(text)) >= count) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

Result Background::Finish(std::chrono::milliseconds limit) {
  Result result;
  auto deadline = std::chrono::steady_clock::now() + limit;
  int status = 0;
  for (;;) {
    pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_) break;
    if (std::chrono::steady_clock::now() >= deadline) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  pid_ = -1;
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.out = ReadFile(files_ / "out");
  result.err = ReadFile(files_ / "err");
  return result;
}

NotifySocket::NotifySocket() : NotifySocket(std::string()) {}

NotifySocket::NotifySocket(const std::string& path) : path_(path.empty() ? dir_ / "notify" : path) {
  ::unlink(path_.c_str());
  fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  struct sockaddr_un addr {};
  addr.sun_family = AF_UNIX;
  path_.copy(addr.sun_path, sizeof addr.sun_path - 1);
  if (::bind(fd_, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0) {
    throw std::runtime_error("cannot bind " + path_);
  }
}

NotifySocket::~NotifySocket() {
  ::close(fd_);
}

const std::vector<std::string>& NotifySocket::Messages() {
  char buffer[4096];
  for (;;) {
    ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n < 0) break;
    messages_.emplace_back(buffer, static_cast<std::size_t>(n));
  }
  return messages_;
}

std::size_t NotifySocket::Fill() {
  // A sender can have only so much in flight (its own send buffer), which may
  // be less than the reader's queue holds (net.unix.max_dgram_qlen): one
  // sender that stops would leave room for the service's messages. So new
  // senders are taken until one cannot send even its first datagram; then it
  // is the reader's queue that is full, whatever the kernel's settings.
  struct sockaddr_un addr {};
  addr.sun_family = AF_UNIX;
  path_.copy(addr.sun_path, sizeof addr.sun_path - 1);
  std::size_t sent = 0;
  for (;;) {
    int sender = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (sender < 0) throw std::runtime_error("cannot make a sending socket");
    std::size_t by_this = 0;
    while (::sendto(sender, "FILL", 4, 0, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) ==
           4) {
      ++by_this;
    }
    const int error = errno;
    ::close(sender);  // what it sent stays queued at the reader
    sent += by_this;
    if (error != EAGAIN && error != EWOULDBLOCK) {
      throw std::runtime_error(std::string("cannot fill the notify socket: ") +
                               std::strerror(error));
    }
    if (by_this == 0) return sent;
  }
}

bool NotifySocket::WaitFor(std::string_view text, std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  std::size_t seen = 0;
  for (;;) {
    const std::vector<std::string>& all = Messages();
    for (; seen < all.size(); ++seen) {
      if (all[seen].find(text) != std::string::npos) return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
    struct pollfd fd = {fd_, POLLIN, 0};
    ::poll(&fd, 1, 10);
  }
}

}  // namespace ostrim::tests
