// Registration with the Service Control Manager: -INSTALL creates (or
// updates) the service and registers its event-log source; -UNINSTALL
// deletes both, and the record the service kept.
#include <iterator>
#include <string>

#include "log.h"
#include "platform/platform.h"
#include "platform/win32/win32.h"

#include <sddl.h>

namespace ostrim::platform {
namespace {

constexpr const char* kEventLogKey = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";

// The service control's start-mode setting as the Service Control Manager's
// start type: 2, automatic, is SERVICE_AUTO_START (also 2).
DWORD StartTypeOf(int start_mode) {
  return start_mode == kStartAutomatic ? SERVICE_AUTO_START : SERVICE_DEMAND_START;
}

// The event-log source, so that Event Viewer shows each event's text (the
// message table is in the program file).
void RegisterEventSource(const std::string& name, const std::string& executable) {
  HKEY key = nullptr;
  const std::string path = std::string(kEventLogKey) + name;
  if (::RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                        &key, nullptr) != ERROR_SUCCESS) {
    log::Warning("cannot register the event-log source ", name, "; its entries will ",
                 "show without their text");
    return;
  }
  DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
  ::RegSetValueExA(key, "EventMessageFile", 0, REG_EXPAND_SZ,
                   reinterpret_cast<const BYTE*>(executable.c_str()),
                   static_cast<DWORD>(executable.size() + 1));
  ::RegSetValueExA(key, "TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types),
                   sizeof types);
  ::RegCloseKey(key);
}

// The pre-shutdown time without a stop limit: Windows' default has been 10 s
// since Windows 10 version 1703, too short for most stop commands.
constexpr std::chrono::milliseconds kPreshutdownWithoutLimit = std::chrono::minutes(10);

DWORD PreshutdownOf(std::optional<std::chrono::milliseconds> stop_limit) {
  return static_cast<DWORD>(stop_limit.value_or(kPreshutdownWithoutLimit).count());
}

// Sets it on an open service; false (with the reason in GetLastError) when
// it cannot be.
bool SetPreshutdown(SC_HANDLE service, DWORD ms) {
  SERVICE_PRESHUTDOWN_INFO info{ms};
  return ::ChangeServiceConfig2A(service, SERVICE_CONFIG_PRESHUTDOWN_INFO, &info) != 0;
}

// What the Service Control Manager does when the service's process ends
// without having said it stopped (a crash, the process ended from Task
// Manager): it starts it again after a few seconds, and the service adopts
// the engines its state file names. The count of failures is reset after a
// day without one. A start that fails says it stopped (with its error), so
// it is never started again in a loop.
constexpr DWORD kRestartAfterMs = 5000;
constexpr DWORD kFailureCountResetS = 24 * 60 * 60;

// Sets them on an open service (with SERVICE_START access, which restart
// actions need); false (with the reason in GetLastError) when they cannot
// be.
bool SetFailureActions(SC_HANDLE service) {
  SC_ACTION actions[] = {{SC_ACTION_RESTART, kRestartAfterMs},
                         {SC_ACTION_RESTART, kRestartAfterMs},
                         {SC_ACTION_RESTART, kRestartAfterMs}};
  SERVICE_FAILURE_ACTIONSA info{};
  info.dwResetPeriod = kFailureCountResetS;
  info.cActions = static_cast<DWORD>(std::size(actions));
  info.lpsaActions = actions;
  return ::ChangeServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS, &info) != 0;
}

// Who may do what with the service: Windows' defaults for a new service
// (the system and Administrators everything, interactive and service users
// to query it), and besides the built-in Performance Monitor Users
// (S-1-5-32-558; its SID, as Wine knows no "MU") to query it, so that a
// monitoring agent's account may ask -STATUS without being an administrator.
// Pausing, continuing and stopping stay the system's and the
// Administrators'. (The record -STATUS reads is under the service's key,
// which the Users may read.)
constexpr const char* kServiceAccess =
    "D:(A;;CCLCSWRPWPDTLOCRRC;;;SY)(A;;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;BA)(A;;CCLCSWLOCRRC;;;IU)"
    "(A;;CCLCSWLOCRRC;;;SU)(A;;CCLCSWLORC;;;S-1-5-32-558)";

// Sets it on an open service; false (with the reason in GetLastError) when
// it cannot be.
bool SetAccess(SC_HANDLE service) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorA(kServiceAccess, SDDL_REVISION_1,
                                                              &descriptor, nullptr)) {
    return false;
  }
  const bool set = ::SetServiceObjectSecurity(service, DACL_SECURITY_INFORMATION, descriptor) != 0;
  const DWORD error = ::GetLastError();
  ::LocalFree(descriptor);
  ::SetLastError(error);
  return set;
}

}  // namespace

win32::ScHandle win32::OpenServiceManager(DWORD access) {
  ScHandle scm(::OpenSCManagerA(nullptr, nullptr, access));
  if (!scm) throw Error("cannot open the service manager: " + ErrorText());
  return scm;
}

std::string win32::InstallService(const ServiceSettings& settings,
                                  std::optional<std::chrono::milliseconds> stop_limit) {
  const ScHandle scm = OpenServiceManager(SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE);
  const std::string executable = ExecutablePath();
  const std::string command = "\"" + executable + "\"";
  bool existed = false;
  ScHandle service(::CreateServiceA(scm.get(), settings.name.c_str(), settings.display_name.c_str(),
                                    SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                    StartTypeOf(settings.start_mode), SERVICE_ERROR_NORMAL,
                                    command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
  if (!service) {
    if (::GetLastError() != ERROR_SERVICE_EXISTS) {
      throw Error("cannot register the service: " + ErrorText());
    }
    existed = true;
    service.Reset(::OpenServiceA(scm.get(), settings.name.c_str(),
                                 SERVICE_CHANGE_CONFIG | SERVICE_START | WRITE_DAC));
    if (!service || !::ChangeServiceConfigA(service.get(), SERVICE_WIN32_OWN_PROCESS,
                                            StartTypeOf(settings.start_mode), SERVICE_ERROR_NORMAL,
                                            command.c_str(), nullptr, nullptr, nullptr, nullptr,
                                            nullptr, settings.display_name.c_str())) {
      throw Error("cannot update the registered service: " + ErrorText());
    }
  }
  if (!SetPreshutdown(service.get(), PreshutdownOf(stop_limit))) {
    log::Warning("cannot set the service's pre-shutdown time: ", ErrorText(),
                 "; at shutdown Windows may end it before its stop commands have run");
  }
  if (!SetFailureActions(service.get())) {
    log::Warning("cannot set the service's failure actions: ", ErrorText(),
                 "; if its process dies, Windows will not start it again");
  }
  if (!SetAccess(service.get())) {
    log::Warning("cannot let Performance Monitor Users query the service: ", ErrorText(),
                 "; -STATUS needs an administrator or an interactive user");
  }
  RegisterEventSource(settings.name, executable);
  // What to do next depends on whether it runs already.
  SERVICE_STATUS status{};
  ScHandle query(::OpenServiceA(scm.get(), settings.name.c_str(), SERVICE_QUERY_STATUS));
  const bool running = query && ::QueryServiceStatus(query.get(), &status) &&
                       status.dwCurrentState != SERVICE_STOPPED;
  return settings.name + ": service " + (existed ? "updated" : "installed") + " (" + executable +
         "); it starts with Windows. " +
         (running ? "It is running: the new registration takes effect at its next start (net "
                    "stop " +
                        settings.name + ", then net start " + settings.name + ")"
                  : "Start it now with: net start " + settings.name);
}

void win32::SetPreshutdownTime(const ServiceSettings& settings,
                               std::optional<std::chrono::milliseconds> stop_limit) {
  ScHandle scm(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
  ScHandle service(scm ? ::OpenServiceA(scm.get(), settings.name.c_str(), SERVICE_CHANGE_CONFIG)
                       : nullptr);
  if (!service || !SetPreshutdown(service.get(), PreshutdownOf(stop_limit))) {
    log::Warning("cannot set the service's pre-shutdown time: ", ErrorText(),
                 "; at shutdown Windows may end it before its stop commands have run");
  }
}

std::string win32::UninstallService(const ServiceSettings& settings) {
  const ScHandle scm = OpenServiceManager(SC_MANAGER_CONNECT);
  ScHandle service(::OpenServiceA(scm.get(), settings.name.c_str(), DELETE));
  if (!service) {
    if (::GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST) {
      throw Error("service " + settings.name + " is not installed");
    }
    throw Error("cannot open the service: " + ErrorText());
  }
  if (!::DeleteService(service.get())) {
    throw Error("cannot unregister the service: " + ErrorText());
  }
  ::RegDeleteKeyA(HKEY_LOCAL_MACHINE, (std::string(kEventLogKey) + settings.name).c_str());
  ::RegDeleteKeyA(HKEY_LOCAL_MACHINE, ParametersKey(settings.name).c_str());
  return settings.name + ": service uninstalled";
}

}  // namespace ostrim::platform
