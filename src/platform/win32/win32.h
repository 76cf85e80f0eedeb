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
#undef GetEnvironmentVariable
#undef StartService

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/children.h"
#include "platform/owned.h"
#include "platform/platform.h"
#include "requests.h"

namespace ostrim::platform::win32 {

struct HandleTraits {
  using Value = HANDLE;
  static HANDLE None() { return nullptr; }
  static bool Valid(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
  static void Close(HANDLE h) { ::CloseHandle(h); }
};
// An owned kernel handle, closed once.
using Handle = Owned<HandleTraits>;

struct ScHandleTraits {
  using Value = SC_HANDLE;
  static SC_HANDLE None() { return nullptr; }
  static bool Valid(SC_HANDLE h) { return h != nullptr; }
  static void Close(SC_HANDLE h) { ::CloseServiceHandle(h); }
};
// An owned handle of the Service Control Manager or of a service.
using ScHandle = Owned<ScHandleTraits>;

// The service manager, opened for `access`; throws Error when it cannot be.
ScHandle OpenServiceManager(DWORD access);

// The registry key under which the service keeps its record ("Status").
inline std::string ParametersKey(const std::string& name) {
  return "SYSTEM\\CurrentControlSet\\Services\\" + name + "\\Parameters";
}

// The service's states as the Service Control Manager names them.
inline constexpr std::pair<ServiceState, DWORD> kScmStates[] = {
    {ServiceState::kStarting, SERVICE_START_PENDING},
    {ServiceState::kRunning, SERVICE_RUNNING},
    {ServiceState::kPausing, SERVICE_PAUSE_PENDING},
    {ServiceState::kPaused, SERVICE_PAUSED},
    {ServiceState::kContinuing, SERVICE_CONTINUE_PENDING},
    {ServiceState::kStopping, SERVICE_STOP_PENDING},
    {ServiceState::kStopped, SERVICE_STOPPED},
};

// Registration (registration.cpp): -INSTALL and -UNINSTALL. The service's
// pre-shutdown time: how long Windows lets it stop at shutdown.
std::string InstallService(const ServiceSettings& settings,
                           std::optional<std::chrono::milliseconds> stop_limit);
void SetPreshutdownTime(const ServiceSettings& settings,
                        std::optional<std::chrono::milliseconds> stop_limit);
std::string UninstallService(const ServiceSettings& settings);

// The operator's client (client.cpp): -PAUSE, -CONTINUE and -STATUS, sent
// to the running service through the Service Control Manager and answered
// from the record it keeps in the registry.
ControlReply ControlRunningService(const ServiceSettings& settings, const RequestKind& request);
ControlReply QueryRunningService(const ServiceSettings& settings, StatusForm form);

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
  // Called before each wait for the children (the service keeps its state
  // of the engines there).
  void SetBeforeWait(std::function<void()> before) { before_wait_ = std::move(before); }
  // The process handles of the children still watched, for the service loop
  // to wait on together with its request queue.
  std::vector<HANDLE> WatchedHandles() const;

  void ReapEnded() override;

 protected:
  void WaitForEvent(std::span<Process* const> children, int timeout_ms) override;

 private:
  std::function<void()> before_wait_;
};

// A process an earlier run of the service launched, opened to be watched
// (SYNCHRONIZE, and its exit code), when it still runs and `identity` is
// still its own (ProcessIdentity); null otherwise.
std::unique_ptr<Process::Impl> OpenRunning(std::int64_t pid, const std::string& identity);

// Turns the Windows Application event log on for the log (only the service
// writes there; a command run from a console writes to its console alone).
void UseEventLog(bool on);

}  // namespace ostrim::platform::win32
