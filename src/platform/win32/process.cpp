// Child processes on Windows: CreateProcessA with no application name, the
// command line, no security attributes, handles not inherited,
// CREATE_NO_WINDOW | NORMAL_PRIORITY_CLASS, no environment block and no
// current directory (both inherited), a zeroed startup record holding only
// its size; WaitForSingleObject on the process handle.
//
// A launch for a database gives its child two handles, and those alone: NUL
// as its standard input, and the writing end of a pipe as its standard
// output and error. A thread of the service reads the pipe and appends what
// comes to logs\DATABASE.log beside the program, each line stamped with its
// local time, so that each database's output is where an operator looks and
// tells when it was written; the thread ends when every process holding
// the pipe (the child, and any engine it left running) has closed it; what
// an engine writes after the service itself has ended is lost (the engine
// runs on: a write to a closed pipe fails, it ends nothing). A file
// past 10 MB is renamed DATABASE.log.1 (the one before it goes) when the
// next launch opens it.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "log.h"
#include "platform/children.h"
#include "platform/command_line.h"
#include "platform/output_lines.h"
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

// Its creation time (100 ns since 1601, as GetProcessTimes gives it), while
// it runs; empty once it has ended.
std::string CreationOf(HANDLE process) {
  FILETIME created{}, exited{}, kernel{}, user{};
  DWORD code = 0;
  if (!::GetProcessTimes(process, &created, &exited, &kernel, &user) ||
      !::GetExitCodeProcess(process, &code) || code != STILL_ACTIVE) {
    return {};
  }
  const unsigned long long ticks =
      (static_cast<unsigned long long>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
  return std::to_string(ticks);
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

constexpr ULONGLONG kLargestOutput = 10ULL * 1000 * 1000;
// What a child may write before it waits for the copying thread.
constexpr DWORD kPipeSize = 64 * 1024;

// The handles a database's child gets: NUL, and the pipe to its output
// file. Made inheritable, and handed to that child alone.
struct ChildStreams {
  win32::Handle input;
  win32::Handle output;
};

// What a copying thread owns: the pipe's reading end, and the output file.
struct OutputCopy {
  win32::Handle pipe;
  win32::Handle file;
};

std::string Now() {
  SYSTEMTIME t;
  ::GetLocalTime(&t);
  return StampOf({t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds});
}

// Copies what comes through the pipe to the file, line by line stamped,
// until every writer has closed it.
DWORD WINAPI CopyOutput(void* parameter) {
  const std::unique_ptr<OutputCopy> copy(static_cast<OutputCopy*>(parameter));
  bool at_line_start = true;
  char buffer[4096];
  DWORD n = 0;
  while (::ReadFile(copy->pipe.get(), buffer, sizeof buffer, &n, nullptr) && n > 0) {
    const std::string stamped = StampLines(std::string_view(buffer, n), Now(), at_line_start);
    DWORD written = 0;
    ::WriteFile(copy->file.get(), stamped.data(), static_cast<DWORD>(stamped.size()), &written,
                nullptr);
  }
  return 0;
}

std::optional<ChildStreams> OpenStreams(const std::string& database) {
  static bool said = false;
  const std::string directory = ProgramDirectory() + "\\logs";
  const std::string file = directory + "\\" + OutputFileName(database) + ".log";
  ::CreateDirectoryA(directory.c_str(), nullptr);
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (::GetFileAttributesExA(file.c_str(), GetFileExInfoStandard, &data) &&
      ((ULONGLONG{data.nFileSizeHigh} << 32) | data.nFileSizeLow) > kLargestOutput) {
    ::MoveFileExA(file.c_str(), (file + ".1").c_str(), MOVEFILE_REPLACE_EXISTING);
  }
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  ChildStreams streams;
  auto copy = std::make_unique<OutputCopy>();
  // The file stays the service's: only the pipe's writing end is inherited.
  copy->file.Reset(::CreateFileA(file.c_str(), FILE_APPEND_DATA,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  HANDLE read_end = nullptr, write_end = nullptr;
  if (copy->file && ::CreatePipe(&read_end, &write_end, &inherit, kPipeSize)) {
    copy->pipe.Reset(read_end);
    streams.output.Reset(write_end);
    ::SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
  }
  streams.input.Reset(::CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    &inherit, OPEN_EXISTING, 0, nullptr));
  if (!copy->pipe || !streams.output || !streams.input) {
    if (!said) {
      log::Warning("cannot open ", file, " for the output of ", database,
                   "'s launches: ", win32::ErrorText(), "; their output is discarded; said once");
      said = true;
    }
    return std::nullopt;
  }
  // The thread owns the reading end and the file from here on.
  win32::Handle thread(::CreateThread(nullptr, 64 * 1024, CopyOutput, copy.get(),
                                      STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
  if (!thread) {
    if (!said) {
      log::Warning("cannot start copying the output of ", database, "'s launches to ", file, ": ",
                   win32::ErrorText(), "; their output is discarded; said once");
      said = true;
    }
    return std::nullopt;
  }
  copy.release();
  said = false;
  return streams;
}

// The startup record of a launch: zeroed but for its size, or, with
// streams, the handles and the list that limits inheritance to them.
class Startup {
 public:
  explicit Startup(const std::optional<ChildStreams>& streams) {
    ::ZeroMemory(&info_, sizeof info_);
    info_.StartupInfo.cb = sizeof info_.StartupInfo;  // 68 on 32-bit Windows
    if (!streams) return;
    handles_[0] = streams->input.get();
    handles_[1] = streams->output.get();
    SIZE_T size = 0;
    ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    list_.resize(size);
    info_.lpAttributeList = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list_.data());
    if (!::InitializeProcThreadAttributeList(info_.lpAttributeList, 1, 0, &size)) {
      info_.lpAttributeList = nullptr;
      return;
    }
    if (!::UpdateProcThreadAttribute(info_.lpAttributeList, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                     handles_, sizeof handles_, nullptr, nullptr)) {
      ::DeleteProcThreadAttributeList(info_.lpAttributeList);
      info_.lpAttributeList = nullptr;
      return;
    }
    info_.StartupInfo.cb = sizeof info_;
    info_.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    info_.StartupInfo.hStdInput = handles_[0];
    info_.StartupInfo.hStdOutput = handles_[1];
    info_.StartupInfo.hStdError = handles_[1];
  }
  ~Startup() {
    if (info_.lpAttributeList != nullptr) ::DeleteProcThreadAttributeList(info_.lpAttributeList);
  }
  Startup(const Startup&) = delete;
  Startup& operator=(const Startup&) = delete;

  bool inherits() const { return info_.lpAttributeList != nullptr; }
  DWORD flags() const { return inherits() ? EXTENDED_STARTUPINFO_PRESENT : 0; }
  STARTUPINFOA* get() { return &info_.StartupInfo; }

 private:
  STARTUPINFOEXA info_;
  HANDLE handles_[2] = {};
  std::vector<char> list_;
};

}  // namespace

// Windows judges no program's owner (see WhyUntrusted), and CreateProcessA
// looks each program up itself at its launch: a request has nothing to
// remember.
TrustView::TrustView() = default;
TrustView::~TrustView() = default;

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
  std::optional<ChildStreams> streams;
  if (!tag.database.empty()) streams = OpenStreams(tag.database);
  Startup startup(streams);
  PROCESS_INFORMATION info;
  ::ZeroMemory(&info, sizeof info);
  std::vector<char> line(command_line.begin(), command_line.end());
  line.push_back('\0');  // CreateProcessA may write into its command line
  if (!::CreateProcessA(nullptr, line.data(), nullptr, nullptr, startup.inherits(),
                        kCreationFlags | startup.flags(), nullptr, nullptr, startup.get(), &info)) {
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
  if (before_wait_) before_wait_();
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

std::string ProcessIdentity(std::int64_t pid) {
  if (pid <= 0) return {};
  const win32::Handle process(
      ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid)));
  return process ? CreationOf(process.get()) : std::string();
}

void Process::Kill() {
  // Its handle keeps its id from being reused until it is closed.
  if (Wait(std::chrono::milliseconds(0))) return;
  ::TerminateProcess(HandleOf(*impl_), 1);
}

std::unique_ptr<Process::Impl> win32::OpenRunning(std::int64_t pid, const std::string& identity) {
  if (pid <= 0) return nullptr;
  // The handle first, then the identity: while it is open, the pid cannot
  // pass to another process.
  HANDLE process = ::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                                 static_cast<DWORD>(pid));
  if (process == nullptr) return nullptr;
  if (CreationOf(process) != identity) {
    ::CloseHandle(process);
    return nullptr;
  }
  return std::make_unique<Process::Impl>(pid, Process::Impl::Handle(process, &CloseProcessHandle));
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
