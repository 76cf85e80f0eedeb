// Paths, the environment, the profile call and the log on Windows.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/platform.h"
#include "platform/win32/win32.h"

namespace ostrim::platform {
namespace {

constexpr DWORD kMessageText = 0x1;  // the message table's one message: "%1"

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

std::size_t GetPrivateProfileString(const char* section, const char* key, const char* defecto,
                                    char* buffer, std::size_t size, const std::string& file) {
  return ::GetPrivateProfileStringA(section, key, defecto, buffer, static_cast<DWORD>(size),
                                    file.c_str());
}

void SetEnvironmentVariable(const std::string& name, const std::string& value) {
  if (name.empty() || name.find('=') != std::string::npos) {
    throw Error("invalid environment variable name \"" + name + "\"");
  }
  if (!::SetEnvironmentVariableA(name.c_str(), value.c_str())) {
    throw Error("cannot set environment variable \"" + name + "\": " + win32::ErrorText());
  }
}

void WriteLogLine(int priority, std::string_view line) {
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
  ::ReportEventA(EventSource(), type, 0, kMessageText, nullptr, 1, 0, strings, nullptr);
}

void WriteStdout(std::string_view text) {
  WriteAll(::GetStdHandle(STD_OUTPUT_HANDLE), text);
}
void WriteStderr(std::string_view text) {
  WriteAll(::GetStdHandle(STD_ERROR_HANDLE), text);
}

}  // namespace ostrim::platform
