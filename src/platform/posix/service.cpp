// The service-host layer on Linux: systemd in place of the Windows service
// control.
//
// Linux: systemd (sd_notify, the unit); the calls of the loop and the
// control channel are named in their headers.
//
// | Service control                | Here                                                       |
// |--------------------------------|------------------------------------------------------------|
// | register, unregister           | the unit file and systemctl (systemd_unit.h)               |
// | accepted controls 2            | the signals and verbs of the request table (requests.h):   |
// |                                | SIGUSR1 or ostrim -PAUSE pause, SIGUSR2 or -CONTINUE       |
// |                                | continue (control.h)                                       |
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
#include "record.h"
#include "requests.h"

namespace ostrim::platform {
namespace {

// The signals that ask for a request, as operators know them: "SIGTERM or
// Ctrl-C".
std::string Signals(const RequestKind& kind) {
  std::string text;
  for (std::string_view signal : kind.signals) {
    if (signal.empty()) continue;
    text += (text.empty() ? "" : " or ") + std::string(signal == "SIGINT" ? "Ctrl-C" : signal);
  }
  return text;
}

class PosixServiceHost final : public ServiceHost {
 public:
  explicit PosixServiceHost(const ServiceSettings& settings) : settings_(settings) {}

  std::string Install() override { return posix::InstallUnit(settings_, loop_); }
  std::string Uninstall() override { return posix::UninstallUnit(settings_, loop_); }

  void SetControlsAccepted(std::int16_t controls) override { controls_ = controls; }

  void StartService() override {
    const bool pause_and_continue = (controls_ & kAcceptPauseContinue) != 0;
    loop_.AcceptRequests(pause_and_continue, ProgramDirectory());
    connected_ = true;
    log::Info(settings_.name, " (", settings_.display_name, ") serving, pid ", ::getpid(),
              loop_.notifier().active() ? ", under systemd" : ", in the foreground", "; ",
              HowToAsk(pause_and_continue, Signals));
    if (loop_.ResumesPaused()) {
      // It died paused (a backup may be running): it comes back paused,
      // starting nothing, until it is asked to continue.
      loop_.record().EnterState(ServiceState::kPaused);
      log::Notice("the earlier run of the service died paused: it stays paused and starts ",
                  "nothing; ostrim -CONTINUE starts the databases");
      loop_.notifier().State("READY=1");
      loop_.notifier().State("STATUS=paused (as the earlier run was when it died)");
      return;
    }
    loop_.Queue(FirstRequest(), "service started");
  }

  int RunEventLoop(ServiceEvents& events) override {
    if (!connected_) return 0;
    return loop_.Serve([&](const RequestKind& request) { return Run(events, request); }, events);
  }

  ChildWatch& Children() override { return loop_; }
  ServiceRecord& Record() override { return loop_.record(); }

  // systemd learns how long a stop may take from the progress reports: the
  // form never asks for time past the stop's limit.
  void SetStopTimeLimit(std::optional<std::chrono::milliseconds>) override {}

  void ReportProgress(std::string_view status, std::chrono::milliseconds more_time) override {
    // A status that asks for no more time is where a request ended: a state.
    if (more_time.count() > 0) {
      loop_.notifier().Progress(status, more_time);
    } else {
      loop_.notifier().State("STATUS=" + std::string(status));
    }
  }

  ControlReply Control(const RequestKind& request) override {
    ControlReply reply;
    const posix::ControlAnswer answer =
        Ask(std::string(request.verb), false, StatusForm::kText, reply);
    if (answer.outcome != posix::ControlAnswer::Outcome::kAnswered) return reply;
    return ReplyToRequest(ServiceRecord::Parse(answer.text), "\n");
  }

  ControlReply Status(StatusForm form) override {
    ControlReply reply;
    const posix::ControlAnswer answer = Ask("STATUS", true, form, reply);
    if (answer.outcome != posix::ControlAnswer::Outcome::kAnswered) return reply;
    return ReplyToStatus(ServiceRecord::Parse(answer.text), form, "\n");
  }

 private:
  // Asks the service of this site; fills `reply` for every way of not
  // getting an answer.
  posix::ControlAnswer Ask(const std::string& verb, bool status, StatusForm form,
                           ControlReply& reply) {
    posix::ControlAnswer answer;
    std::string directory;
    try {
      directory = ProgramDirectory();
    } catch (const std::exception& e) {
      reply.err = std::string("ostrim: cannot tell which site this is: ") + e.what() + "\n";
      return answer;
    }
    answer = posix::AskService(directory, verb);
    switch (answer.outcome) {
      case posix::ControlAnswer::Outcome::kAnswered:
        break;
      case posix::ControlAnswer::Outcome::kNoService:
        reply = ReplyNoService(status, form, directory, answer.text, "\n");
        break;
      case posix::ControlAnswer::Outcome::kDenied:
      case posix::ControlAnswer::Outcome::kFailed:
        reply.err = "ostrim: " + answer.text + "\n";
        break;
    }
    return answer;
  }

  // One request, and what systemd is told of it.
  RequestOutcome Run(ServiceEvents& events, const RequestKind& kind) {
    posix::Notifier& notifier = loop_.notifier();
    if (!kind.on_begin.empty()) notifier.State(std::string(kind.on_begin));
    const RequestOutcome outcome = RunRequest(events, kind, loop_.record());
    if (!outcome.succeeded) {
      notifier.State("STATUS=" + std::string(kind.name) + " failed: " + outcome.failure);
    } else if (kind.after_success == ServiceState::kRunning) {
      notifier.State("READY=1");
    }
    return outcome;
  }

  const ServiceSettings settings_;
  posix::EventLoop loop_;  // requests, children and waits (event_loop.h)
  std::int16_t controls_ = 0;
  bool connected_ = false;  // StartService was called: RunEventLoop serves
};

}  // namespace

std::string ServiceUsage(const ServiceSettings&) {
  return UsageEntry("(nothing)",
                    "run as the service (systemd starts it so; in a terminal it runs in the "
                    "foreground): it starts every database now; " +
                        HowToAsk(true, Signals));
}

std::unique_ptr<ServiceHost> CreateServiceHost(const ServiceSettings& settings) {
  return std::make_unique<PosixServiceHost>(settings);
}

}  // namespace ostrim::platform
