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

#include <chrono>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "platform/children.h"
#include "platform/owned.h"

namespace ostrim::platform::win32 {

struct HandleTraits {
  using Value = HANDLE;
  static HANDLE None() { return nullptr; }
  static bool Valid(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
  static void Close(HANDLE h) { ::CloseHandle(h); }
};
// An owned kernel handle, closed once.
using Handle = Owned<HandleTraits>;

// The system's text for an error code, with the code: "Access is denied. (5)".
std::string ErrorText(DWORD code = ::GetLastError());

// The path of the running program file.
std::string ExecutablePath();

// The children of the service on Windows: a wait is a wait on the child's
// process handle (requests arrive on the dispatcher's thread meanwhile, and
// are queued there); children left running keep their handle until the
// service loop sees them end.
class Children final : public ChildWatch {
 public:
  // `progress` tells the service manager how long the current step may take.
  explicit Children(std::function<void(std::chrono::milliseconds)> progress = {})
      : progress_(std::move(progress)) {}

  // The process handles of the children still watched, for the service loop
  // to wait on together with its request queue.
  std::vector<HANDLE> WatchedHandles() const;

  void ReapEnded() override;
  void ReportProgress(std::string_view status, std::chrono::milliseconds more_time) override;

 protected:
  void WaitForEvent(Process& child, int timeout_ms) override;

 private:
  std::function<void(std::chrono::milliseconds)> progress_;
};

// Turns the Windows Application event log on for the log (only the service
// writes there; a command run from a console writes to its console alone).
void UseEventLog(bool on);

}  // namespace ostrim::platform::win32
