// Child processes on Windows: CreateProcessA with no application name, the
// command line, no security attributes, handles not inherited,
// CREATE_NO_WINDOW | NORMAL_PRIORITY_CLASS, no environment block and no
// current directory (both inherited), a zeroed startup record holding only
// its size; WaitForSingleObject on the process handle.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "log.h"
#include "platform/children.h"
#include "platform/command_line.h"
#include "platform/platform.h"
#include "platform/win32/win32.h"

namespace ostrim::platform {
namespace {

constexpr DWORD kCreationFlags = CREATE_NO_WINDOW | NORMAL_PRIORITY_CLASS;

void CloseProcessHandle(void* handle) {
  ::CloseHandle(static_cast<HANDLE>(handle));
}

HANDLE HandleOf(const Process::Impl& impl) {
  return static_cast<HANDLE>(impl.handle.get());
}

ProcessEnd EndOf(HANDLE process) {
  DWORD code = 0;
  ::GetExitCodeProcess(process, &code);
  ProcessEnd end;
  end.value = static_cast<int>(code);
  return end;
}

// Where CreateProcessA would find `name`: SearchPathA with the default
// search order (the program's directory, the current one, the system's,
// then PATH), ".exe" added to a name without an extension, as
// CreateProcessA does. Empty when it is nowhere.
std::string Find(const std::string& name) {
  char found[MAX_PATH + 1];
  DWORD n = ::SearchPathA(nullptr, name.c_str(), ".exe", sizeof found, found, nullptr);
  if (n == 0 || n > MAX_PATH) return {};
  DWORD attributes = ::GetFileAttributesA(found);
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) return {};
  return found;
}

}  // namespace

ProgramCheck CheckCommandLine(const std::string& command_line) {
  // The program as CreateProcessA takes it from a line with no application
  // name (a quoted name, or the text up to each blank in turn), each
  // candidate looked up as CreateProcessA looks it up.
  ProgramCheck check;
  SplitLine split = SplitCommandLine(command_line, [&check](const std::string& name) {
    check.found = Find(name);
    return !check.found.empty();
  });
  check.program = std::move(split.program);
  if (check.program.empty()) {
    check.found.clear();
    check.problem = "the command line names no program";
    return check;
  }
  // The child's C runtime reads its arguments from the whole line, whichever
  // candidate CreateProcessA ran.
  std::vector<std::string> argv = CRuntimeArgv(command_line);
  check.arguments.assign(argv.begin() + 1, argv.end());
  if (check.found.empty()) {
    check.problem = "not found in the program directory, the system directories or PATH";
  }
  return check;
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

Process Launch(const std::string& command_line, ChildWatch& watch, LaunchTag tag) {
  STARTUPINFOA startup;
  ::ZeroMemory(&startup, sizeof startup);
  startup.cb = sizeof startup;  // 68 on 32-bit Windows
  PROCESS_INFORMATION info;
  ::ZeroMemory(&info, sizeof info);
  std::vector<char> line(command_line.begin(), command_line.end());
  line.push_back('\0');  // CreateProcessA may write into its command line
  if (!::CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, kCreationFlags, nullptr,
                        nullptr, &startup, &info)) {
    // Said as -CHECK says it, with the system's own words.
    const std::string error = win32::ErrorText();
    ProgramCheck check = CheckCommandLine(command_line);
    if (check.problem.empty())
      check.problem = error;
    else
      check.problem += " (" + error + ")";
    throw LaunchError(check.Text());
  }
  win32::Handle thread(info.hThread);  // not needed: closed at once
  const std::int64_t pid = info.dwProcessId;
  watch.Launched(pid, ChildWatch::Child{command_line, std::move(tag), {}, false});
  return Process(std::make_unique<Process::Impl>(
                     pid, Process::Impl::Handle(info.hProcess, &CloseProcessHandle)),
                 watch);
}

std::unique_ptr<ChildWatch> CreateChildWatch() {
  return std::make_unique<win32::Children>();
}

std::vector<HANDLE> win32::Children::WatchedHandles() const {
  std::vector<HANDLE> handles;
  for (const auto& [pid, impl] : Watchers()) handles.push_back(HandleOf(*impl));
  return handles;
}

void win32::Children::WaitForEvent(std::span<Process* const> children, int timeout_ms) {
  // The handles of `children`, or of every watched child when there are
  // none; at most MAXIMUM_WAIT_OBJECTS at once: with more, the wait is cut
  // short and the caller comes back to it.
  std::vector<HANDLE> handles;
  for (Process* child : children) handles.push_back(HandleOf(ImplOf(*child)));
  if (children.empty()) handles = WatchedHandles();
  DWORD timeout = timeout_ms < 0 ? INFINITE : DWORD(timeout_ms);
  if (handles.size() > MAXIMUM_WAIT_OBJECTS) {
    handles.resize(MAXIMUM_WAIT_OBJECTS);
    timeout = std::min<DWORD>(timeout, 100);
  }
  if (handles.empty()) {
    ::Sleep(timeout == INFINITE ? 1000 : timeout);
    return;
  }
  const DWORD result =
      ::WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), FALSE, timeout);
  if (result == WAIT_FAILED) throw Error("waiting for the children: " + win32::ErrorText());
  // Every one that has ended, not only the first.
  for (Process* child : children) {
    HANDLE handle = HandleOf(ImplOf(*child));
    if (::WaitForSingleObject(handle, 0) == WAIT_OBJECT_0) Ended(child->Id(), EndOf(handle));
  }
  if (children.empty()) ReapEnded();
}

void win32::Children::ReapEnded() {
  std::vector<std::pair<std::int64_t, ProcessEnd>> ended;
  for (const auto& [pid, impl] : Watchers()) {
    if (::WaitForSingleObject(HandleOf(*impl), 0) == WAIT_OBJECT_0) {
      ended.emplace_back(pid, EndOf(HandleOf(*impl)));
    }
  }
  for (const auto& [pid, end] : ended) Ended(pid, end);
}

}  // namespace ostrim::platform
