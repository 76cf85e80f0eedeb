// The service-host layer on Windows: the running service, on the Service
// Control Manager. (Registering it: registration.cpp; the operator's
// commands: client.cpp.)
//
// The main thread hands itself to StartServiceCtrlDispatcherA at once. The
// dispatcher calls ServiceMain on a thread of its own: that thread runs the
// form's handlers, one request at a time, in arrival order, taking them from
// a queue. The control handler, called on the dispatcher's thread, only puts
// a request in the queue and returns; which control is which request is the
// request table's (requests.h):
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
//
// The engines it watches are kept in the "Engines" value of the same key
// (state_file.h: the state file's text; only the system and Administrators
// can write there), at each change and before each wait for the children;
// removed when none runs. At start-up, each engine there that still runs,
// with the same creation time, is adopted: watched through a handle of its
// own as if this run had launched it. Its output pipe was the dead
// service's: what it writes from then on reaches no log file.
//
// The service record is published as the "Status" value of the service's
// Parameters key, where -STATUS, -PAUSE and -CONTINUE read it: after each
// change of state, at most every kPublishInterval while a request runs, and
// at once for any change between requests.
#include <algorithm>
#include <chrono>
#include <deque>
#include <optional>
#include <string>

#include "log.h"
#include "platform/platform.h"
#include "platform/win32/win32.h"
#include "record.h"
#include "requests.h"
#include "state_file.h"

namespace ostrim::platform {
namespace {

// Windows' control codes are the request table's.
static_assert(SERVICE_CONTROL_STOP == 0x1 && SERVICE_CONTROL_PAUSE == 0x2 &&
              SERVICE_CONTROL_CONTINUE == 0x3 && SERVICE_CONTROL_SHUTDOWN == 0x5 &&
              SERVICE_CONTROL_PRESHUTDOWN == 0xF);

constexpr DWORD kPublishInterval = 250;  // ms

DWORD ScmStateOf(ServiceState state) {
  for (const auto& [ours, scm] : win32::kScmStates) {
    if (ours == state) return scm;
  }
  return SERVICE_RUNNING;
}

bool IsPending(DWORD state) {
  return state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING ||
         state == SERVICE_PAUSE_PENDING || state == SERVICE_CONTINUE_PENDING;
}

class Win32ServiceHost;
Win32ServiceHost* active_host = nullptr;

class Win32ServiceHost final : public ServiceHost {
 public:
  explicit Win32ServiceHost(const ServiceSettings& settings) : settings_(settings) {
    ::InitializeCriticalSection(&lock_);
    queued_.Reset(::CreateEventA(nullptr, FALSE, FALSE, nullptr));
    children_.SetObserver(&record_);
    children_.SetBeforeWait([this] { KeepState(); });
  }
  ~Win32ServiceHost() override {
    if (active_host == this) active_host = nullptr;
    ::DeleteCriticalSection(&lock_);
  }

  std::string Install() override { return win32::InstallService(settings_, stop_limit_); }
  std::string Uninstall() override { return win32::UninstallService(settings_); }
  ControlReply Control(const RequestKind& request) override {
    return win32::ControlRunningService(settings_, request);
  }
  ControlReply Status(StatusForm form) override {
    return win32::QueryRunningService(settings_, form);
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
  ServiceRecord& Record() override { return record_; }

  void SetStopTimeLimit(std::optional<std::chrono::milliseconds> limit) override {
    // At -INSTALL it goes with the registration; while serving, to the
    // Service Control Manager at once (each start reads it afresh).
    const bool changed = limit != stop_limit_ || !limit_given_;
    stop_limit_ = limit;
    limit_given_ = true;
    if (status_handle_ != nullptr && changed) win32::SetPreshutdownTime(settings_, limit);
  }

  void ReportProgress(std::string_view, std::chrono::milliseconds more_time) override {
    if (more_time.count() > 0) {
      ::EnterCriticalSection(&lock_);
      if (status_handle_ != nullptr && IsPending(status_.dwCurrentState)) {
        ++status_.dwCheckPoint;
        status_.dwWaitHint = static_cast<DWORD>(more_time.count());
        ::SetServiceStatus(status_handle_, &status_);
      }
      ::LeaveCriticalSection(&lock_);
    }
    Publish(false);
  }

 private:
  static void WINAPI ServiceMainThunk(DWORD, LPSTR*) { active_host->ServiceMain(); }

  static DWORD WINAPI HandlerThunk(DWORD control, DWORD, LPVOID, LPVOID context) {
    return static_cast<Win32ServiceHost*>(context)->Handler(control);
  }

  // Called on the dispatcher's thread: queue, answer, return.
  DWORD Handler(DWORD control) {
    if (control == SERVICE_CONTROL_INTERROGATE) {
      ::EnterCriticalSection(&lock_);
      ::SetServiceStatus(status_handle_, &status_);
      ::LeaveCriticalSection(&lock_);
      return NO_ERROR;
    }
    const RequestKind* kind = KindOfControl(control);
    if (kind == nullptr) return ERROR_CALL_NOT_IMPLEMENTED;
    Queue(*kind);
    return NO_ERROR;
  }

  void Queue(const RequestKind& request) {
    ::EnterCriticalSection(&lock_);
    if (EndsService(request)) {
      if (stop_queued_) {
        ::LeaveCriticalSection(&lock_);
        return;  // a shutdown after a stop: the stop is on its way
      }
      stop_queued_ = true;
      // A pause or continue still waiting can no longer matter: the stop
      // runs next, as on Linux.
      std::erase_if(queue_, [](const RequestKind* r) { return r->pause_continue; });
    } else if (stop_queued_) {
      ::LeaveCriticalSection(&lock_);
      return;  // the service is stopping: a pause or continue can no longer matter
    }
    queue_.push_back(&request);
    ::LeaveCriticalSection(&lock_);
    ::SetEvent(queued_.get());
  }

  // Waits for the next request; children that end meanwhile are reaped,
  // and the form's work between requests is done when it is due.
  const RequestKind& Take() {
    for (;;) {
      ::EnterCriticalSection(&lock_);
      if (!queue_.empty()) {
        const RequestKind& request = *queue_.front();
        queue_.pop_front();
        ::LeaveCriticalSection(&lock_);
        return request;
      }
      ::LeaveCriticalSection(&lock_);
      const std::optional<ChildWatch::Clock::time_point> due = events_->NextWork();
      // Between requests every change is published at once (an engine that
      // ended, one given up on): nothing may wake the loop again to publish
      // a change held back.
      if (record_changed_ || record_.TakeChanged()) Publish(true);
      const ChildWatch::Clock::time_point now = children_.Now();
      if (due && now >= *due) {
        events_->DoWork();
        Publish(true);
        continue;
      }
      std::vector<HANDLE> handles = {queued_.get()};
      for (HANDLE h : children_.WatchedHandles()) {
        if (handles.size() == MAXIMUM_WAIT_OBJECTS) break;
        handles.push_back(h);
      }
      DWORD timeout = handles.size() < MAXIMUM_WAIT_OBJECTS ? INFINITE : 1000;
      if (due) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(*due - now).count();
        timeout = std::min<DWORD>(timeout, static_cast<DWORD>(std::max<long long>(left, 0)));
      }
      ::WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), FALSE, timeout);
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
    record_.pid = static_cast<std::int64_t>(::GetCurrentProcessId());
    try {
      record_.directory = ProgramDirectory();
    } catch (const std::exception&) {
    }
    if (AdoptEngines()) {
      // It died paused (a backup may be running): it comes back paused,
      // starting nothing, until it is asked to continue.
      log::Notice("the earlier run of the service died paused: it stays paused and starts ",
                  "nothing; ostrim -CONTINUE or sc continue ", settings_.name,
                  " starts the databases");
      record_.EnterState(ServiceState::kPaused);
      // Started first, then paused: a service manager may wait for the
      // start to end in RUNNING (Wine's does).
      SetState(SERVICE_RUNNING);
      SetState(SERVICE_PAUSED);
      Publish(true);
    } else {
      Queue(FirstRequest());
    }
    for (;;) {
      const RequestKind& request = Take();
      SetState(ScmStateOf(request.pending));
      const RequestOutcome outcome = RunRequest(*events_, request, record_);
      Publish(true);
      if (outcome.exit_status) {
        exit_code_ = *outcome.exit_status;
        if (exit_code_ != 0) {
          SetState(SERVICE_STOPPED, ERROR_SERVICE_SPECIFIC_ERROR, static_cast<DWORD>(exit_code_));
        } else {
          SetState(SERVICE_STOPPED);
        }
        return;
      }
      SetState(ScmStateOf(outcome.state));
    }
  }

  // The engines an earlier run left in the "Engines" value that still run,
  // adopted.
  // Returns whether that run died paused.
  bool AdoptEngines() {
    KeptState kept;
    try {
      const std::optional<std::string> text = ReadValue(kEnginesValue);
      if (!text) return false;
      kept = ParseState(*text);
    } catch (const std::exception& e) {
      log::Warning("the engines kept by an earlier run are not believed: ", e.what(),
                   "; no engine is adopted, the databases are started as usual");
      return false;
    }
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    for (const KeptEngine& e : kept.engines) {
      const std::string who = TagPrefix(e.tag) + "engine pid " + std::to_string(e.pid) +
                              " from an earlier run (since " + e.launched + ")";
      std::unique_ptr<Process::Impl> impl = win32::OpenRunning(e.pid, e.identity);
      if (!impl) {
        log::Info(who, " no longer runs");
        continue;
      }
      const auto ran = std::chrono::duration_cast<std::chrono::milliseconds>(
          now - std::chrono::seconds(UnixSeconds(e.launched).value_or(0)));
      children_.AdoptRunning(e.pid, ChildWatch::Child{e.command, e.tag, {}, true, e.identity},
                             std::max(std::chrono::milliseconds(0), ran), std::move(impl));
      record_.Adopted(e.tag, e.pid, e.command, e.launched);
      log::Notice(who, " still runs: adopted");
    }
    return kept.paused;
  }

  // Keeps the engines still running in the "Engines" value when an
  // engine's life changed (none: the value is removed).
  void KeepState() {
    if (!record_.TakeKeptChanged() && kept_) return;
    const KeptState kept =
        StateToKeep(record_, [this](std::int64_t pid) { return children_.IdentityOf(pid); });
    const std::string text = kept.Empty() ? std::string() : StateText(kept);
    if (kept_ && *kept_ == text) return;
    HKEY key = nullptr;
    LONG error = ::RegCreateKeyExA(HKEY_LOCAL_MACHINE, win32::ParametersKey(settings_.name).c_str(),
                                   0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr);
    if (error == ERROR_SUCCESS) {
      error = text.empty() ? ::RegDeleteValueA(key, kEnginesValue)
                           : ::RegSetValueExA(key, kEnginesValue, 0, REG_SZ,
                                              reinterpret_cast<const BYTE*>(text.c_str()),
                                              static_cast<DWORD>(text.size() + 1));
      if (error == ERROR_FILE_NOT_FOUND && text.empty()) error = ERROR_SUCCESS;
      ::RegCloseKey(key);
    }
    if (error == ERROR_SUCCESS) {
      kept_ = text;
      if (std::exchange(keep_failed_, false)) log::Info("the engines are kept again");
    } else if (!std::exchange(keep_failed_, true)) {
      log::Error("cannot keep the engines in the registry: ", win32::ErrorText(error),
                 ": if the service dies now, the next one cannot know which engines still run");
    }
  }

  // A string value of the Parameters key; none when it is not there.
  std::optional<std::string> ReadValue(const char* name) const {
    HKEY key = nullptr;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, win32::ParametersKey(settings_.name).c_str(), 0,
                        KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
      return std::nullopt;
    }
    DWORD type = 0, size = 0;
    std::optional<std::string> value;
    if (::RegQueryValueExA(key, name, nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
        type == REG_SZ) {
      std::string text(size, '\0');
      if (::RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text.data()),
                             &size) == ERROR_SUCCESS) {
        text.resize(std::min<std::size_t>(size, text.size()));
        while (!text.empty() && text.back() == '\0') text.pop_back();
        value = std::move(text);
      }
    }
    ::RegCloseKey(key);
    return value;
  }

  // Publishes the record where -STATUS, -PAUSE and -CONTINUE read it: at
  // once when `now`, else when it changed and the last publication is
  // older than kPublishInterval.
  void Publish(bool now) {
    KeepState();
    const DWORD tick = ::GetTickCount();
    const bool changed = record_.TakeChanged() || record_changed_;
    if (!changed && !now) return;
    if (!now && tick - published_ < kPublishInterval) {
      record_changed_ = true;
      return;
    }
    record_changed_ = false;
    published_ = tick;
    const std::string text = record_.Text();
    HKEY key = nullptr;
    if (::RegCreateKeyExA(HKEY_LOCAL_MACHINE, win32::ParametersKey(settings_.name).c_str(), 0,
                          nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) != ERROR_SUCCESS) {
      return;
    }
    ::RegSetValueExA(key, "Status", 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                     static_cast<DWORD>(text.size() + 1));
    ::RegCloseKey(key);
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
  std::deque<const RequestKind*> queue_;
  bool stop_queued_ = false;
  win32::Children children_;
  ServiceRecord record_;
  DWORD published_ = 0;
  static constexpr const char* kEnginesValue = "Engines";
  std::optional<std::string> kept_;  // the engines' text last kept (none: not yet)
  bool keep_failed_ = false;
  bool record_changed_ = false;  // a change not yet published
  std::optional<std::chrono::milliseconds> stop_limit_;
  bool limit_given_ = false;  // set at least once since the service started
};

}  // namespace

std::unique_ptr<ServiceHost> CreateServiceHost(const ServiceSettings& settings) {
  return std::make_unique<Win32ServiceHost>(settings);
}

std::string ServiceUsage(const ServiceSettings& settings) {
  // The Service Control Manager's controls that ask for each request, as
  // an operator sends them.
  auto controls = [&settings](const RequestKind& kind) {
    std::string text;
    for (std::uint32_t control : kind.controls) {
      std::string way;
      if (control == SERVICE_CONTROL_STOP) way = "net stop " + settings.name;
      if (control == SERVICE_CONTROL_PAUSE) way = "sc pause " + settings.name;
      if (control == SERVICE_CONTROL_CONTINUE) way = "sc continue " + settings.name;
      if (control == SERVICE_CONTROL_SHUTDOWN) way = "Windows shutting down";
      if (!way.empty()) text += (text.empty() ? "" : " or ") + way;
    }
    return text;
  };
  return UsageEntry("(nothing)",
                    "run as the service, started by the Service Control Manager (net "
                    "start " +
                        settings.name + "): it starts every database; " + HowToAsk(true, controls));
}

}  // namespace ostrim::platform
