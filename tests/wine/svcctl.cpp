// svcctl.exe: sends a control to a service and waits for the state it leads
// to, as an administrator's tool would.
//
//   svcctl.exe pause|continue|state NAME
//
// Prints the service's state at the end; exits 0 when it reached the
// expected one within 60 s.
//
//   svcctl.exe quiet-uninstall NAME
//
// Runs the command line registered as NAME's QuietUninstallString, as a
// deployment tool does (CreateProcess, then a wait for that process alone),
// and exits with its exit status.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const char* StateName(DWORD state) {
  switch (state) {
    case SERVICE_STOPPED:
      return "STOPPED";
    case SERVICE_START_PENDING:
      return "START_PENDING";
    case SERVICE_STOP_PENDING:
      return "STOP_PENDING";
    case SERVICE_RUNNING:
      return "RUNNING";
    case SERVICE_CONTINUE_PENDING:
      return "CONTINUE_PENDING";
    case SERVICE_PAUSE_PENDING:
      return "PAUSE_PENDING";
    case SERVICE_PAUSED:
      return "PAUSED";
  }
  return "?";
}

int QuietUninstall(const char* name) {
  const std::string key =
      std::string("Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\") + name;
  char line[4096] = {};
  DWORD size = sizeof line - 1;
  if (RegGetValueA(HKEY_LOCAL_MACHINE, key.c_str(), "QuietUninstallString", RRF_RT_REG_SZ, nullptr,
                   line, &size) != ERROR_SUCCESS) {
    std::fprintf(stderr, "svcctl: no QuietUninstallString for %s\n", name);
    return 1;
  }
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(nullptr, line, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process)) {
    std::fprintf(stderr, "svcctl: cannot run %s (%lu)\n", line, GetLastError());
    return 1;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 1;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  std::printf("%s: exit status %lu\n", line, code);
  return static_cast<int>(code);
}

// Prints the service's failure actions as the Service Control Manager
// keeps them: "reset=SECONDS restart:MS restart:MS ...".
int FailureActions(const char* name) {
  SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE service = scm ? OpenServiceA(scm, name, SERVICE_QUERY_CONFIG) : nullptr;
  BYTE buffer[8192];
  DWORD needed = 0;
  if (service == nullptr || !QueryServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS, buffer,
                                                  sizeof buffer, &needed)) {
    std::fprintf(stderr, "svcctl: cannot query the failure actions of %s (%lu)\n", name,
                 GetLastError());
    return 1;
  }
  const auto* info = reinterpret_cast<const SERVICE_FAILURE_ACTIONSA*>(buffer);
  std::printf("reset=%lu", info->dwResetPeriod);
  for (DWORD i = 0; i < info->cActions; ++i) {
    const SC_ACTION& a = info->lpsaActions[i];
    std::printf(" %s:%lu", a.Type == SC_ACTION_RESTART ? "restart" : "other", a.Delay);
  }
  std::printf("\n");
  CloseServiceHandle(service);
  CloseServiceHandle(scm);
  return 0;
}

// Ends process PID at once, as Task Manager's "End task" does, and waits
// until it has ended.
int Kill(const char* pid) {
  HANDLE process =
      OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, std::strtoul(pid, nullptr, 10));
  if (process == nullptr || !TerminateProcess(process, 1) ||
      WaitForSingleObject(process, 10000) != WAIT_OBJECT_0) {
    std::fprintf(stderr, "svcctl: cannot end pid %s (%lu)\n", pid, GetLastError());
    return 1;
  }
  CloseHandle(process);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr,
                 "usage: svcctl pause|continue|state|failure-actions|quiet-uninstall NAME\n"
                 "       svcctl kill PID\n");
    return 2;
  }
  if (std::strcmp(argv[1], "quiet-uninstall") == 0) return QuietUninstall(argv[2]);
  if (std::strcmp(argv[1], "failure-actions") == 0) return FailureActions(argv[2]);
  if (std::strcmp(argv[1], "kill") == 0) return Kill(argv[2]);
  SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE service =
      scm ? OpenServiceA(scm, argv[2], SERVICE_PAUSE_CONTINUE | SERVICE_QUERY_STATUS) : nullptr;
  if (service == nullptr) {
    std::fprintf(stderr, "svcctl: cannot open service %s (%lu)\n", argv[2], GetLastError());
    return 1;
  }
  DWORD control = 0, want = 0;
  if (std::strcmp(argv[1], "pause") == 0) {
    control = SERVICE_CONTROL_PAUSE;
    want = SERVICE_PAUSED;
  } else if (std::strcmp(argv[1], "continue") == 0) {
    control = SERVICE_CONTROL_CONTINUE;
    want = SERVICE_RUNNING;
  }
  SERVICE_STATUS status{};
  if (control != 0 && !ControlService(service, control, &status)) {
    std::fprintf(stderr, "svcctl: %s failed (%lu)\n", argv[1], GetLastError());
    return 1;
  }
  for (int i = 0; i < 600; ++i) {
    QueryServiceStatus(service, &status);
    if (want == 0 || status.dwCurrentState == want) break;
    Sleep(100);
  }
  std::printf("%s\n", StateName(status.dwCurrentState));
  CloseServiceHandle(service);
  CloseServiceHandle(scm);
  return want == 0 || status.dwCurrentState == want ? 0 : 1;
}
