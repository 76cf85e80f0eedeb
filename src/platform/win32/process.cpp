// Child processes on Windows: CreateProcessA with no application name, the
// command line, no security attributes, handles not inherited,
// CREATE_NO_WINDOW | NORMAL_PRIORITY_CLASS, no environment block and no
// current directory (both inherited), a zeroed startup record holding only
// its size; WaitForSingleObject on the process handle.
#include <chrono>
#include <cstdio>
#include <list>
#include <string>
#include <vector>

#include "log.h"
#include "platform/platform.h"
#include "platform/win32/win32.h"

namespace ostrim::platform {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr DWORD kCreationFlags = 0x08000020;  // CREATE_NO_WINDOW | NORMAL_PRIORITY_CLASS

struct Watched {
  win32::Handle process;
  DWORD pid;
  std::string command;
  Clock::time_point started;
};

std::list<Watched>& WatchList() {
  static std::list<Watched> list;
  return list;
}

ProcessEnd EndOf(HANDLE process, Clock::time_point started) {
  DWORD code = 0;
  ::GetExitCodeProcess(process, &code);
  ProcessEnd end;
  end.value = static_cast<int>(code);
  end.ran = std::chrono::duration_cast<milliseconds>(Clock::now() - started);
  return end;
}

}  // namespace

std::vector<HANDLE> win32::WatchedHandles() {
  std::vector<HANDLE> handles;
  for (const Watched& w : WatchList()) handles.push_back(w.process.get());
  return handles;
}

std::string DescribeEnd(const ProcessEnd& end) {
  const auto code = static_cast<DWORD>(end.value);
  if (code >= 0xC0000000u) {
    char text[40];
    std::snprintf(text, sizeof text, "ended by exception 0x%08lX",
                  static_cast<unsigned long>(code));
    return text;
  }
  return "exit status " + std::to_string(code);
}

class Process::Impl {
 public:
  win32::Handle process;
  DWORD pid = 0;
  std::string command;
  Clock::time_point started;
  bool ended = false;
};

Process::Process(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Process::Process(Process&&) noexcept = default;
Process& Process::operator=(Process&&) noexcept = default;

Process::~Process() {
  if (!impl_ || impl_->ended) return;
  WatchList().push_back(
      Watched{std::move(impl_->process), impl_->pid, std::move(impl_->command), impl_->started});
}

std::int64_t Process::Id() const {
  return impl_->pid;
}

std::optional<ProcessEnd> Process::Wait(std::optional<milliseconds> limit, milliseconds tick,
                                        const std::function<void(milliseconds)>& on_tick) {
  if (impl_->ended) return std::nullopt;
  const Clock::time_point deadline = limit ? Clock::now() + *limit : Clock::time_point::max();
  for (;;) {
    DWORD step = on_tick ? static_cast<DWORD>(tick.count()) : INFINITE;
    if (limit) {
      auto remaining = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
      if (remaining < 0) remaining = 0;
      if (step == INFINITE || static_cast<DWORD>(remaining) < step) {
        step = static_cast<DWORD>(remaining);
      }
    }
    DWORD result = ::WaitForSingleObject(impl_->process.get(), step);
    if (result == WAIT_OBJECT_0) {
      impl_->ended = true;
      ProcessEnd end = EndOf(impl_->process.get(), impl_->started);
      impl_->process.Reset();
      return end;
    }
    if (result == WAIT_FAILED) {
      throw Error("waiting for pid " + std::to_string(impl_->pid) + ": " + win32::ErrorText());
    }
    if (limit && Clock::now() >= deadline) return std::nullopt;
    if (on_tick) on_tick(std::chrono::duration_cast<milliseconds>(Clock::now() - impl_->started));
  }
}

Process Launch(const std::string& command_line) {
  STARTUPINFOA startup;
  ::ZeroMemory(&startup, sizeof startup);
  startup.cb = sizeof startup;  // 68 on 32-bit Windows
  PROCESS_INFORMATION info;
  ::ZeroMemory(&info, sizeof info);
  std::vector<char> line(command_line.begin(), command_line.end());
  line.push_back('\0');  // CreateProcessA may write into its command line
  if (!::CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, kCreationFlags, nullptr,
                        nullptr, &startup, &info)) {
    throw LaunchError("cannot run it: " + win32::ErrorText());
  }
  win32::Handle thread(info.hThread);  // not needed: closed at once
  auto impl = std::make_unique<Process::Impl>();
  impl->process.Reset(info.hProcess);
  impl->pid = info.dwProcessId;
  impl->command = command_line;
  impl->started = Clock::now();
  return Process(std::move(impl));
}

void ReapEndedChildren() {
  auto& list = WatchList();
  for (auto it = list.begin(); it != list.end();) {
    if (::WaitForSingleObject(it->process.get(), 0) == WAIT_OBJECT_0) {
      ProcessEnd end = EndOf(it->process.get(), it->started);
      log::Info("pid ", static_cast<std::uint64_t>(it->pid), " ended: ", DescribeEnd(end),
                " after ", std::chrono::duration<double>(end.ran).count(),
                " s: ", log::Quoted(it->command));
      it = list.erase(it);
    } else {
      ++it;
    }
  }
}

std::size_t WatchedChildren() {
  return WatchList().size();
}

}  // namespace ostrim::platform
