// What the Win32 side of the platform layer shares between its files.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// windows.h names its A/W pairs with macros; these would rename the platform
// layer's own functions of the same names.
#undef GetPrivateProfileString
#undef SetEnvironmentVariable
#undef StartService

#include <string>
#include <utility>
#include <vector>

namespace ostrim::platform::win32 {

// An owned kernel handle, closed once.
class Handle {
 public:
  Handle() = default;
  explicit Handle(HANDLE h) : h_(h) {}
  Handle(Handle&& other) noexcept : h_(std::exchange(other.h_, nullptr)) {}
  Handle& operator=(Handle&& other) noexcept {
    if (this != &other) Reset(std::exchange(other.h_, nullptr));
    return *this;
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() { Reset(); }

  HANDLE get() const { return h_; }
  explicit operator bool() const { return h_ != nullptr && h_ != INVALID_HANDLE_VALUE; }
  void Reset(HANDLE h = nullptr) {
    if (h_ != nullptr && h_ != INVALID_HANDLE_VALUE) ::CloseHandle(h_);
    h_ = h;
  }

 private:
  HANDLE h_ = nullptr;
};

// The system's text for an error code, with the code: "Access is denied. (5)".
std::string ErrorText(DWORD code = ::GetLastError());

// The path of the running program file.
std::string ExecutablePath();

// The process handles of the children still watched, for the event loop to
// wait on together with its request queue.
std::vector<HANDLE> WatchedHandles();

// Turns the Windows Application event log on for the log (only the service
// writes there; a command run from a console writes to its console alone).
void UseEventLog(bool on);

}  // namespace ostrim::platform::win32
