// Paths, the environment, the profile call and the log on Windows.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "log.h"
#include "platform/platform.h"
#include "platform/win32/win32.h"

namespace ostrim::platform {
namespace {

HANDLE& EventSource() {
  static HANDLE source = nullptr;
  return source;
}

bool& EventLogOn() {
  static bool on = false;
  return on;
}

void WriteAll(HANDLE handle, std::string_view text) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
  while (!text.empty()) {
    DWORD written = 0;
    if (!::WriteFile(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) ||
        written == 0) {
      return;
    }
    text.remove_prefix(written);
  }
}

}  // namespace

std::string win32::ErrorText(DWORD code) {
  char* text = nullptr;
  DWORD n = ::FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string message = n > 0 ? std::string(text, n) : "error";
  if (text != nullptr) ::LocalFree(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                              message.back() == ' ' || message.back() == '.')) {
    message.pop_back();
  }
  return message + " (" + std::to_string(code) + ")";
}

std::string win32::ExecutablePath() {
  std::string path(MAX_PATH, '\0');
  for (;;) {
    DWORD n = ::GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) throw Error("cannot find the program file: " + ErrorText());
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

void win32::UseEventLog(bool on) {
  EventLogOn() = on;
}

std::string ProgramDirectory() {
  std::string path = win32::ExecutablePath();
  std::size_t separator = path.find_last_of("\\/");
  return separator == std::string::npos ? std::string(".") : path.substr(0, separator);
}

std::string PathInDirectory(const std::string& directory, std::string_view windows_relative) {
  return directory + std::string(windows_relative);
}

std::string WhyUntrusted(const std::string&) {
  // Windows protects the program's directory with its ACLs; that an
  // administrator set them right is checked when the service is installed
  // under Program Files, not here.
  return {};
}

namespace {

// The profile files of the ProfileView in force: each file's private copy,
// taken at its first lookup in the view, by its path in upper case (Windows
// paths match in any case). An empty copy path: the file could not be
// copied (it is missing), and reads as missing for the whole view.
struct View {
  int open = 0;
  std::map<std::string, std::string> copies;
};

View& TheView() {
  static View view;
  return view;
}

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(::toupper(static_cast<unsigned char>(c)));
  return text;
}

// The file that lookups of `file` read: `file` itself outside a view, else
// its private copy.
std::string FileToRead(const std::string& file) {
  View& view = TheView();
  if (view.open == 0) return file;
  auto [it, added] = view.copies.try_emplace(Upper(file));
  if (!added) return it->second.empty() ? file + "\\ (missing)" : it->second;
  char directory[MAX_PATH + 1];
  char copy[MAX_PATH + 1];
  DWORD n = ::GetTempPathA(sizeof directory, directory);
  if (n == 0 || n > MAX_PATH || ::GetTempFileNameA(directory, "osi", 0, copy) == 0) {
    log::Warning("cannot take a private copy of ", file, ": ", win32::ErrorText(),
                 "; reading it as it is");
    view.copies.erase(it);
    return file;
  }
  if (!::CopyFileA(file.c_str(), copy, FALSE)) {
    ::DeleteFileA(copy);
    return file + "\\ (missing)";  // no such file for the whole view
  }
  it->second = copy;
  return it->second;
}

}  // namespace

std::string ProfileProblem(const std::string& file) {
  DWORD attributes = ::GetFileAttributesA(file.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return "no such file (" + win32::ErrorText() + ")";
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return "it is a directory";
  return {};
}

ProfileView::ProfileView() {
  ++TheView().open;
}

ProfileView::~ProfileView() {
  View& view = TheView();
  if (--view.open > 0) return;
  for (const auto& [file, copy] : view.copies) {
    if (!copy.empty()) ::DeleteFileA(copy.c_str());
  }
  view.copies.clear();
}

std::size_t GetPrivateProfileString(const char* section, const char* key, const char* defecto,
                                    char* buffer, std::size_t size, const std::string& file) {
  return ::GetPrivateProfileStringA(section, key, defecto, buffer, static_cast<DWORD>(size),
                                    FileToRead(file).c_str());
}

std::string WhyUntrustedEnvironment(const std::string&, const std::string&) {
  return {};  // Windows has no loader variables; its directories have their ACLs
}

void SetEnvironmentVariable(const std::string& name, const std::string& value) {
  if (name.empty() || name.find('=') != std::string::npos) {
    throw Error("invalid environment variable name \"" + name + "\"");
  }
  if (!::SetEnvironmentVariableA(name.c_str(), value.c_str())) {
    throw Error("cannot set environment variable \"" + name + "\": " + win32::ErrorText());
  }
}

std::optional<std::string> GetEnvironmentVariable(const std::string& name) {
  std::string value(256, '\0');
  for (;;) {
    ::SetLastError(ERROR_SUCCESS);
    const DWORD n =
        ::GetEnvironmentVariableA(name.c_str(), value.data(), static_cast<DWORD>(value.size()));
    if (n == 0) {
      if (::GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
      return std::string();
    }
    if (n < value.size()) {
      value.resize(n);
      return value;
    }
    value.resize(n);  // n counts the terminating NUL when it did not fit
  }
}

void UnsetEnvironmentVariable(const std::string& name) {
  ::SetEnvironmentVariableA(name.c_str(), nullptr);
}

void SecureStandardStreams() {
  // A Windows process's standard handles are handles, not the lowest free
  // numbers: nothing the service opens can take their place.
}

void WriteLogLine(int priority, std::string_view line, int event_id) {
  static const char* const kLevel[] = {"", "", "", "error: ", "warning: ", "", "", "debug: "};
  std::string out;
  SYSTEMTIME now;
  ::GetLocalTime(&now);
  char stamp[48];
  std::snprintf(stamp, sizeof stamp, "%02u:%02u:%02u.%03u ostrim[%lu]: ", now.wHour, now.wMinute,
                now.wSecond, now.wMilliseconds, ::GetCurrentProcessId());
  out = stamp;
  if (priority >= 0 && priority <= 7) out += kLevel[priority];
  out.append(line);
  out += "\r\n";
  WriteAll(::GetStdHandle(STD_ERROR_HANDLE), out);

  if (!EventLogOn()) return;
  if (EventSource() == nullptr) EventSource() = ::RegisterEventSourceA(nullptr, "ostrim");
  if (EventSource() == nullptr) return;
  WORD type = priority <= 3   ? EVENTLOG_ERROR_TYPE
              : priority == 4 ? EVENTLOG_WARNING_TYPE
                              : EVENTLOG_INFORMATION_TYPE;
  if (priority >= 7) return;  // debug lines stay out of the event log
  std::string text(line);
  const char* strings[] = {text.c_str()};
  ::ReportEventA(EventSource(), type, 0, static_cast<DWORD>(event_id), nullptr, 1, 0, strings,
                 nullptr);
}

void FinishLog(std::chrono::milliseconds) {
  // Lines are written as they come (the console, the event log): none waits.
}

void WriteFileWhole(const std::string& path, std::string_view text) {
  // A new file beside it, named after this process, then moved over it.
  const std::string fresh = path + ".new-" + std::to_string(::GetCurrentProcessId());
  win32::Handle file(::CreateFileA(fresh.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) throw Error("cannot create " + fresh + ": " + win32::ErrorText());
  bool written = true;
  for (std::string_view left = text; written && !left.empty();) {
    DWORD n = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(left.size(), 1 << 20));
    written = ::WriteFile(file.get(), left.data(), chunk, &n, nullptr) != 0;
    left.remove_prefix(n);
  }
  file.Reset();
  if (!written || !::MoveFileExA(fresh.c_str(), path.c_str(),
                                 MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    const std::string why = win32::ErrorText();
    ::DeleteFileA(fresh.c_str());
    throw Error("cannot write " + path + ": " + why);
  }
}

void WriteStdout(std::string_view text) {
  WriteAll(::GetStdHandle(STD_OUTPUT_HANDLE), text);
}
void WriteStderr(std::string_view text) {
  WriteAll(::GetStdHandle(STD_ERROR_HANDLE), text);
}

}  // namespace ostrim::platform
