// The service-host layer on Windows, on the Service Control Manager.
//
// The main thread hands itself to StartServiceCtrlDispatcherA at once. The
// dispatcher calls ServiceMain on a thread of its own: that thread runs the
// form's handlers, one request at a time, in arrival order, taking them from
// a queue. The control handler, called on the dispatcher's thread, only puts
// a request in the queue and returns. The start request is the first in it.
//
// | Control                  | Request                                       |
// |--------------------------|-----------------------------------------------|
// | (the service started)    | start                                         |
// | PAUSE / CONTINUE         | pause / continue                              |
// | STOP                     | stop                                          |
// | SHUTDOWN, PRESHUTDOWN    | stop: the stop commands run before Windows    |
// |                          | goes down, so no database is cut off mid-write |
//
// While a handler runs the service is START_, CONTINUE_, PAUSE_ or
// STOP_PENDING and accepts no control; every progress report raises the
// checkpoint with a new wait hint, so a long sequence never trips the
// manager's time-outs. A start that fails ends in STOPPED with a
// service-specific exit code.
#include <cstdio>
#include <deque>
#include <string>

#include "log.h"
#include "platform/platform.h"
#include "platform/requests.h"
#include "platform/win32/win32.h"

namespace ostrim::platform {
namespace {

class ServiceManager {
 public:
  explicit ServiceManager(DWORD access) : h_(::OpenSCManagerA(nullptr, nullptr, access)) {
    if (h_ == nullptr) throw Error("cannot open the service manager: " + win32::ErrorText());
  }
  ~ServiceManager() { ::CloseServiceHandle(h_); }
  SC_HANDLE get() const { return h_; }

 private:
  SC_HANDLE h_;
};

struct ServiceHandleTraits {
  using Value = SC_HANDLE;
  static SC_HANDLE None() { return nullptr; }
  static bool Valid(SC_HANDLE h) { return h != nullptr; }
  static void Close(SC_HANDLE h) { ::CloseServiceHandle(h); }
};
using ServiceHandle = Owned<ServiceHandleTraits>;

// The service control's start-mode setting as the Service Control Manager's
// start type: 2, automatic, is SERVICE_AUTO_START (also 2).
DWORD StartTypeOf(int start_mode) {
  return start_mode == kStartAutomatic ? SERVICE_AUTO_START : SERVICE_DEMAND_START;
}

std::string ParametersKey(const std::string& name) {
  return "SYSTEM\\CurrentControlSet\\Services\\" + name + "\\Parameters";
}

// What the service last recorded of itself (see Record).
ServiceReport ReadReport(const std::string& name) {
  char text[65536];
  DWORD size = sizeof text;
  if (::RegGetValueA(HKEY_LOCAL_MACHINE, ParametersKey(name).c_str(), "Status", RRF_RT_REG_SZ,
                     nullptr, text, &size) != ERROR_SUCCESS) {
    return {};
  }
  return ServiceReport::Parse(text);
}

const char* NameOf(DWORD state) {
  switch (state) {
    case SERVICE_START_PENDING:
      return StateName(ServiceState::kStarting);
    case SERVICE_RUNNING:
      return StateName(ServiceState::kRunning);
    case SERVICE_PAUSE_PENDING:
      return StateName(ServiceState::kPausing);
    case SERVICE_PAUSED:
      return StateName(ServiceState::kPaused);
    case SERVICE_CONTINUE_PENDING:
      return StateName(ServiceState::kContinuing);
    case SERVICE_STOP_PENDING:
      return StateName(ServiceState::kStopping);
    default:
      return "none";
  }
}

bool Query(SC_HANDLE service, SERVICE_STATUS_PROCESS& status) {
  DWORD needed = 0;
  return ::QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                sizeof status, &needed) != 0;
}

constexpr const char* kEventLogKey = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";

class Win32ServiceHost;
Win32ServiceHost* active_host = nullptr;

class Win32ServiceHost final : public ServiceHost {
 public:
  explicit Win32ServiceHost(const ServiceSettings& settings)
      : settings_(settings), children_([this](std::chrono::milliseconds more_time) {
          Progress(static_cast<DWORD>(more_time.count()));
        }) {
    ::InitializeCriticalSection(&lock_);
    queued_.Reset(::CreateEventA(nullptr, FALSE, FALSE, nullptr));
  }
  ~Win32ServiceHost() override {
    if (active_host == this) active_host = nullptr;
    ::DeleteCriticalSection(&lock_);
  }

  std::string Install() override {
    ServiceManager scm(SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE);
    const std::string executable = win32::ExecutablePath();
    const std::string command = "\"" + executable + "\"";
    bool existed = false;
    ServiceHandle service(::CreateServiceA(
        scm.get(), settings_.name.c_str(), settings_.display_name.c_str(), SERVICE_ALL_ACCESS,
        SERVICE_WIN32_OWN_PROCESS, StartTypeOf(settings_.start_mode), SERVICE_ERROR_NORMAL,
        command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    if (!service) {
      if (::GetLastError() != ERROR_SERVICE_EXISTS) {
        throw Error("cannot register the service: " + win32::ErrorText());
      }
      existed = true;
      ServiceHandle old(::OpenServiceA(scm.get(), settings_.name.c_str(), SERVICE_CHANGE_CONFIG));
      if (!old || !::ChangeServiceConfigA(old.get(), SERVICE_WIN32_OWN_PROCESS,
                                          StartTypeOf(settings_.start_mode), SERVICE_ERROR_NORMAL,
                                          command.c_str(), nullptr, nullptr, nullptr, nullptr,
                                          nullptr, settings_.display_name.c_str())) {
        throw Error("cannot update the registered service: " + win32::ErrorText());
      }
    }
    RegisterEventSource(executable);
    return settings_.name + ": service " + (existed ? "updated" : "installed") + " (" + executable +
           "); it starts with Windows. Start it now with: net start " + settings_.name;
  }

  // The registered service, opened for `access`; on failure, `reply` says
  // why (3 when it is not installed, for -STATUS's sake; else 1).
  ServiceHandle Open(DWORD access, ControlReply& reply) {
    SC_HANDLE scm = ::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (scm == nullptr) {
      reply.err = "ostrim: cannot open the service manager: " + win32::ErrorText() + "\r\n";
      return ServiceHandle(nullptr);
    }
    ServiceHandle service(::OpenServiceA(scm, settings_.name.c_str(), access));
    const DWORD error = ::GetLastError();
    ::CloseServiceHandle(scm);
    if (!service) {
      if (error == ERROR_SERVICE_DOES_NOT_EXIST) {
        reply.status = 3;
        reply.out = "state\tnone\r\n";
        reply.err = "ostrim: the service " + settings_.name + " is not installed\r\n";
      } else if (error == ERROR_ACCESS_DENIED) {
        reply.err = "ostrim: permission denied: run it from an administrator's command prompt\r\n";
      } else {
        reply.err = "ostrim: cannot open the service: " + win32::ErrorText(error) + "\r\n";
      }
    }
    return service;
  }

  std::string Uninstall() override {
    ServiceManager scm(SC_MANAGER_CONNECT);
    ServiceHandle service(::OpenServiceA(scm.get(), settings_.name.c_str(), DELETE));
    if (!service) {
      if (::GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST) {
        throw Error("service " + settings_.name + " is not installed");
      }
      throw Error("cannot open the service: " + win32::ErrorText());
    }
    if (!::DeleteService(service.get())) {
      throw Error("cannot unregister the service: " + win32::ErrorText());
    }
    ::RegDeleteKeyA(HKEY_LOCAL_MACHINE, (std::string(kEventLogKey) + settings_.name).c_str());
    ::RegDeleteKeyA(HKEY_LOCAL_MACHINE, ParametersKey(settings_.name).c_str());
    return settings_.name + ": service uninstalled";
  }

  void SetControlsAccepted(std::int16_t controls) override { controls_ = controls; }

  void StartService() override { connect_ = true; }

  int RunEventLoop(ServiceEvents& events) override {
    if (!connect_) return 0;
    events_ = &events;
    active_host = this;
    SERVICE_TABLE_ENTRYA table[] = {{settings_.name.data(), &ServiceMainThunk}, {nullptr, nullptr}};
    if (!::StartServiceCtrlDispatcherA(table)) {
      DWORD error = ::GetLastError();
      if (error == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) {
        WriteStderr(
            "ostrim runs as a Windows service, started by the service manager.\r\n"
            "Install it with:  ostrim -INSTALL\r\n"
            "then start it:    net start " +
            settings_.name + "\r\nor see what it would run with:  ostrim -CHECK\r\n");
        return 1;
      }
      log::Error("cannot connect to the service manager: ", win32::ErrorText(error));
      return 1;
    }
    return exit_code_;
  }

  ChildWatch& Children() override { return children_; }

  ControlReply Control(Request request) override {
    ControlReply reply;
    const DWORD control =
        request == Request::kPause ? SERVICE_CONTROL_PAUSE : SERVICE_CONTROL_CONTINUE;
    ServiceHandle service = Open(SERVICE_PAUSE_CONTINUE | SERVICE_QUERY_STATUS, reply);
    if (!service) return reply;
    SERVICE_STATUS_PROCESS status{};
    if (!Query(service.get(), status) || status.dwCurrentState == SERVICE_STOPPED) {
      reply.err = "ostrim: the service " + settings_.name + " is not running\r\n";
      return reply;
    }
    const std::string before = NameOf(status.dwCurrentState);
    const std::uint64_t done_before = ReadReport(settings_.name).requests;
    SERVICE_STATUS answer{};
    if (!::ControlService(service.get(), control, &answer)) {
      reply.err = "ostrim: the service did not take the request: " + win32::ErrorText() + "\r\n";
      return reply;
    }
    // Until the service has recorded the end of a request after this one.
    for (;;) {
      ServiceReport after = ReadReport(settings_.name);
      if (after.requests > done_before && after.last_request == RequestName(request)) {
        reply.out = OutcomeLine(after, before) + "\r\n";
        reply.status = after.last_result == "done" ? 0 : 1;
        return reply;
      }
      if (!Query(service.get(), status) || status.dwCurrentState == SERVICE_STOPPED) {
        reply.err = "ostrim: the service ended before the request ran\r\n";
        return reply;
      }
      ::Sleep(100);
    }
  }

  ControlReply Status() override {
    ControlReply reply;
    ServiceHandle service = Open(SERVICE_QUERY_STATUS, reply);
    if (!service) return reply;
    SERVICE_STATUS_PROCESS status{};
    if (!Query(service.get(), status)) {
      reply.err = "ostrim: cannot query the service: " + win32::ErrorText() + "\r\n";
      return reply;
    }
    if (status.dwCurrentState == SERVICE_STOPPED) {
      reply.status = 3;
      reply.out = "state\tnone\r\n";
      return reply;
    }
    // The manager's state and pid are the freshest; the rest is what the
    // service recorded.
    ServiceReport report = ReadReport(settings_.name);
    report.state = NameOf(status.dwCurrentState);
    report.pid = static_cast<std::int64_t>(status.dwProcessId);
    for (char c : report.Text()) {
      if (c == '\n') reply.out += '\r';
      reply.out += c;
    }
    reply.status = 0;
    return reply;
  }

  void Progress(DWORD more_time_ms) {
    ::EnterCriticalSection(&lock_);
    if (status_handle_ != nullptr && IsPending(status_.dwCurrentState)) {
      ++status_.dwCheckPoint;
      status_.dwWaitHint = more_time_ms;
      ::SetServiceStatus(status_handle_, &status_);
    }
    ::LeaveCriticalSection(&lock_);
  }

 private:
  static bool IsPending(DWORD state) {
    return state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING ||
           state == SERVICE_PAUSE_PENDING || state == SERVICE_CONTINUE_PENDING;
  }

  static void WINAPI ServiceMainThunk(DWORD, LPSTR*) { active_host->ServiceMain(); }

  static DWORD WINAPI HandlerThunk(DWORD control, DWORD, LPVOID, LPVOID context) {
    return static_cast<Win32ServiceHost*>(context)->Handler(control);
  }

  void RegisterEventSource(const std::string& executable) {
    HKEY key = nullptr;
    const std::string path = std::string(kEventLogKey) + settings_.name;
    if (::RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                          &key, nullptr) != ERROR_SUCCESS) {
      log::Warning("cannot register the event-log source ", settings_.name, "; its entries will ",
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

  // Called on the dispatcher's thread: queue, answer, return.
  DWORD Handler(DWORD control) {
    switch (control) {
      case SERVICE_CONTROL_STOP:
      case SERVICE_CONTROL_SHUTDOWN:
      case SERVICE_CONTROL_PRESHUTDOWN:
        Queue(Request::kStop);
        return NO_ERROR;
      case SERVICE_CONTROL_PAUSE:
        Queue(Request::kPause);
        return NO_ERROR;
      case SERVICE_CONTROL_CONTINUE:
        Queue(Request::kContinue);
        return NO_ERROR;
      case SERVICE_CONTROL_INTERROGATE:
        ::EnterCriticalSection(&lock_);
        ::SetServiceStatus(status_handle_, &status_);
        ::LeaveCriticalSection(&lock_);
        return NO_ERROR;
      default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
  }

  void Queue(Request request) {
    ::EnterCriticalSection(&lock_);
    if (request == Request::kStop) {
      if (stop_queued_) {
        ::LeaveCriticalSection(&lock_);
        return;  // a shutdown after a stop: the stop is on its way
      }
      stop_queued_ = true;
    }
    queue_.push_back(request);
    ::LeaveCriticalSection(&lock_);
    ::SetEvent(queued_.get());
  }

  // Waits for the next request; children that end meanwhile are reaped.
  Request Take() {
    for (;;) {
      ::EnterCriticalSection(&lock_);
      if (!queue_.empty()) {
        Request request = queue_.front();
        queue_.pop_front();
        ::LeaveCriticalSection(&lock_);
        return request;
      }
      ::LeaveCriticalSection(&lock_);
      std::vector<HANDLE> handles = {queued_.get()};
      for (HANDLE h : children_.WatchedHandles()) {
        if (handles.size() == MAXIMUM_WAIT_OBJECTS) break;
        handles.push_back(h);
      }
      ::WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), FALSE,
                               handles.size() < MAXIMUM_WAIT_OBJECTS ? INFINITE : 1000);
      children_.ReapEnded();
    }
  }

  void SetState(DWORD state, DWORD exit_code = NO_ERROR, DWORD specific = 0) {
    ::EnterCriticalSection(&lock_);
    status_.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status_.dwCurrentState = state;
    status_.dwControlsAccepted = 0;  // none while a request is pending
    if (state == SERVICE_RUNNING || state == SERVICE_PAUSED) {
      status_.dwControlsAccepted =
          SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_PRESHUTDOWN |
          ((controls_ & kAcceptPauseContinue) ? SERVICE_ACCEPT_PAUSE_CONTINUE : 0);
    }
    status_.dwWin32ExitCode = exit_code;
    status_.dwServiceSpecificExitCode = specific;
    status_.dwCheckPoint = IsPending(state) ? 1 : 0;
    status_.dwWaitHint = IsPending(state) ? 10000 : 0;
    ::SetServiceStatus(status_handle_, &status_);
    ::LeaveCriticalSection(&lock_);
  }

  void ServiceMain() {
    status_handle_ = ::RegisterServiceCtrlHandlerExA(settings_.name.c_str(), &HandlerThunk, this);
    if (status_handle_ == nullptr) {
      log::Error("cannot register the service's control handler: ", win32::ErrorText());
      exit_code_ = 1;
      return;
    }
    win32::UseEventLog(true);
    log::Info(settings_.name, " (", settings_.display_name, ") serving, pid ",
              static_cast<std::uint64_t>(::GetCurrentProcessId()));
    report_.pid = static_cast<std::int64_t>(::GetCurrentProcessId());
    try {
      report_.directory = ProgramDirectory();
    } catch (const std::exception&) {
    }
    Queue(Request::kStart);
    for (;;) {
      const Request request = Take();
      SetState(StateOf(PendingState(request)));
      Record(PendingState(request));
      const RequestOutcome outcome = RunRequest(*events_, request);
      ++report_.requests;
      report_.last_request = RequestName(request);
      report_.last_result = outcome.succeeded ? "done" : "failed: " + outcome.failure;
      report_.last_tally = outcome.tally;
      report_.last_seconds = std::chrono::duration<double>(outcome.took).count();
      Record(outcome.state);
      if (outcome.exit_status) {
        exit_code_ = *outcome.exit_status;
        if (exit_code_ != 0) {
          SetState(SERVICE_STOPPED, ERROR_SERVICE_SPECIFIC_ERROR, static_cast<DWORD>(exit_code_));
        } else {
          SetState(SERVICE_STOPPED);
        }
        return;
      }
      SetState(StateOf(outcome.state));
    }
  }

  // Records what the service is doing where -STATUS, -PAUSE and -CONTINUE
  // read it: the "Status" value of the service's Parameters key.
  void Record(ServiceState state) {
    report_.state = StateName(state);
    SYSTEMTIME now;
    ::GetSystemTime(&now);
    char since[32];
    std::snprintf(since, sizeof since, "%04u-%02u-%02uT%02u:%02u:%02uZ", now.wYear, now.wMonth,
                  now.wDay, now.wHour, now.wMinute, now.wSecond);
    report_.since = since;
    ServiceReport report = report_;
    for (const auto& [pid, child] : children_.WatchedChildren()) {
      report.engines.emplace_back(pid, LabelPrefix(child->label) + child->command);
    }
    const std::string text = report.Text();
    HKEY key = nullptr;
    if (::RegCreateKeyExA(HKEY_LOCAL_MACHINE, ParametersKey(settings_.name).c_str(), 0, nullptr, 0,
                          KEY_SET_VALUE, nullptr, &key, nullptr) != ERROR_SUCCESS) {
      return;
    }
    ::RegSetValueExA(key, "Status", 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                     static_cast<DWORD>(text.size() + 1));
    ::RegCloseKey(key);
  }

  static DWORD StateOf(ServiceState state) {
    switch (state) {
      case ServiceState::kStarting:
        return SERVICE_START_PENDING;
      case ServiceState::kRunning:
        return SERVICE_RUNNING;
      case ServiceState::kPausing:
        return SERVICE_PAUSE_PENDING;
      case ServiceState::kPaused:
        return SERVICE_PAUSED;
      case ServiceState::kContinuing:
        return SERVICE_CONTINUE_PENDING;
      case ServiceState::kStopping:
        return SERVICE_STOP_PENDING;
      case ServiceState::kStopped:
        return SERVICE_STOPPED;
    }
    return SERVICE_RUNNING;
  }

  ServiceSettings settings_;
  std::int16_t controls_ = 0;
  bool connect_ = false;
  ServiceEvents* events_ = nullptr;
  int exit_code_ = 0;
  SERVICE_STATUS_HANDLE status_handle_ = nullptr;
  SERVICE_STATUS status_{};
  CRITICAL_SECTION lock_;
  win32::Handle queued_;
  std::deque<Request> queue_;
  bool stop_queued_ = false;
  win32::Children children_;
  ServiceReport report_;
};

}  // namespace

std::unique_ptr<ServiceHost> CreateServiceHost(const ServiceSettings& settings) {
  return std::make_unique<Win32ServiceHost>(settings);
}

const char* ServiceUsage() {
  return "  (nothing)    run as the service, started by the Service Control Manager\n"
         "               (net start ostrim): start every database; net stop ostrim (and\n"
         "               Windows shutting down) stops them; -PAUSE (or sc pause ostrim)\n"
         "               stops them, -CONTINUE (or sc continue ostrim) starts them again\n";
}

}  // namespace ostrim::platform
