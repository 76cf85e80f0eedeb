// The service-host layer on Linux: systemd in place of the Windows service
// control.
//
// | Service control                | Here                                                       |
// |--------------------------------|------------------------------------------------------------|
// | register, unregister           | the unit file and systemctl (systemd_unit.h)               |
// | accepted controls 2            | SIGUSR1 is a pause request, SIGUSR2 a continue request     |
// | stop request                   | SIGTERM or SIGINT                                          |
// | connect                        | the start request is queued at once: systemd starting the  |
// |                                | process is the start request                               |
// | events on the form's thread    | the event loop (event_loop.h), one request at a time       |
// | outcome                        | sd_notify: READY=1 after a successful start or continue,   |
// |                                | STOPPING=1 when the stop begins, STATUS= lines throughout  |
#include <unistd.h>

#include "log.h"
#include "platform/platform.h"
#include "platform/posix/event_loop.h"
#include "platform/posix/systemd_unit.h"
#include "platform/requests.h"

namespace ostrim::platform {
namespace {

class PosixServiceHost final : public ServiceHost {
 public:
  explicit PosixServiceHost(const ServiceSettings& settings) : settings_(settings) {}

  std::string Install() override { return posix::InstallUnit(settings_, loop_); }
  std::string Uninstall() override { return posix::UninstallUnit(settings_, loop_); }

  void SetControlsAccepted(std::int16_t controls) override { controls_ = controls; }

  void StartService() override {
    const bool pause_and_continue = (controls_ & kAcceptPauseContinue) != 0;
    loop_.AcceptRequests(pause_and_continue);
    connected_ = true;
    log::Info(settings_.name, " (", settings_.display_name, ") serving, pid ", ::getpid(),
              loop_.notifier().active() ? ", under systemd" : ", in the foreground",
              pause_and_continue ? "; SIGUSR1 pauses, SIGUSR2 continues" : "",
              "; SIGTERM or Ctrl-C stops");
    loop_.Queue(Request::kStart, "service started");
  }

  int RunEventLoop(ServiceEvents& events) override {
    if (!connected_) return 0;
    return loop_.Serve([&](Request request) { return Run(events, request); });
  }

  ChildWatch& Children() override { return loop_; }

 private:
  // One request, and what systemd is told of it.
  std::optional<int> Run(ServiceEvents& events, Request request) {
    posix::Notifier& notifier = loop_.notifier();
    if (request == Request::kStop) notifier.State("STOPPING=1\nSTATUS=stopping");
    const RequestOutcome outcome = RunRequest(events, request);
    if (!outcome.succeeded) {
      notifier.State(std::string("STATUS=") + RequestName(request) + " failed: " + outcome.failure);
    } else if (request == Request::kStart || request == Request::kContinue) {
      notifier.State("READY=1");
    }
    return outcome.exit_status;
  }

  const ServiceSettings settings_;
  posix::EventLoop loop_;  // requests, children and waits (event_loop.h)
  std::int16_t controls_ = 0;
  bool connected_ = false;  // StartService was called: RunEventLoop serves
};

}  // namespace

std::unique_ptr<ServiceHost> CreateServiceHost(const ServiceSettings& settings) {
  return std::make_unique<PosixServiceHost>(settings);
}

}  // namespace ostrim::platform
