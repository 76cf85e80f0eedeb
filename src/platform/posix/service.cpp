// The service-host layer on Linux: systemd in place of the Windows service
// control.
//
// | Service control                | Here                                                       |
// |--------------------------------|------------------------------------------------------------|
// | register, unregister           | the unit file and systemctl (systemd_unit.h)               |
// | accepted controls 2            | SIGUSR1 or ostrim -PAUSE is a pause request, SIGUSR2 or    |
// |                                | ostrim -CONTINUE a continue request (control.h)            |
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
    loop_.AcceptRequests(pause_and_continue, ProgramDirectory());
    connected_ = true;
    log::Info(settings_.name, " (", settings_.display_name, ") serving, pid ", ::getpid(),
              loop_.notifier().active() ? ", under systemd" : ", in the foreground",
              pause_and_continue ? "; ostrim -PAUSE or SIGUSR1 pauses, ostrim -CONTINUE or "
                                   "SIGUSR2 continues"
                                 : "",
              "; SIGTERM or Ctrl-C stops");
    loop_.Queue(Request::kStart, "service started");
  }

  int RunEventLoop(ServiceEvents& events) override {
    if (!connected_) return 0;
    return loop_.Serve([&](Request request) { return Run(events, request); });
  }

  ChildWatch& Children() override { return loop_; }

  ControlReply Control(Request request) override {
    ControlReply reply;
    const std::string verb = request == Request::kPause ? "PAUSE" : "CONTINUE";
    posix::ControlAnswer answer = Ask(verb, reply);
    if (answer.outcome != posix::ControlAnswer::Outcome::kAnswered) return reply;
    // "before<TAB>state", then the report after the request.
    std::string_view text = answer.text;
    std::string before = "?";
    if (text.rfind("before\t", 0) == 0) {
      const std::size_t eol = text.find('\n');
      before = std::string(text.substr(7, eol - 7));
      text.remove_prefix(eol + 1);
    }
    const ServiceReport after = ServiceReport::Parse(text);
    reply.out = OutcomeLine(after, before) + "\n";
    reply.status = after.last_result == "done" ? 0 : 1;
    return reply;
  }

  ControlReply Status() override {
    ControlReply reply;
    posix::ControlAnswer answer = Ask("STATUS", reply);
    if (answer.outcome == posix::ControlAnswer::Outcome::kAnswered) {
      reply.out = answer.text;
      reply.status = 0;
    }
    return reply;
  }

 private:
  // Asks the service of this site; fills `reply` for every way of not
  // getting an answer (3 with a "none" report when none serves; 1 else).
  posix::ControlAnswer Ask(const std::string& verb, ControlReply& reply) {
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
        reply.status = verb == "STATUS" ? 3 : 1;
        if (verb == "STATUS") reply.out = "state\tnone\ndirectory\t" + directory + "\n";
        reply.err = "ostrim: " + answer.text + "\n";
        break;
      case posix::ControlAnswer::Outcome::kDenied:
      case posix::ControlAnswer::Outcome::kFailed:
        reply.err = "ostrim: " + answer.text + "\n";
        break;
    }
    return answer;
  }

  // One request, and what systemd is told of it.
  RequestOutcome Run(ServiceEvents& events, Request request) {
    posix::Notifier& notifier = loop_.notifier();
    if (request == Request::kStop) notifier.State("STOPPING=1\nSTATUS=stopping");
    const RequestOutcome outcome = RunRequest(events, request);
    if (!outcome.succeeded) {
      notifier.State(std::string("STATUS=") + RequestName(request) + " failed: " + outcome.failure);
    } else if (request == Request::kStart || request == Request::kContinue) {
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

const char* ServiceUsage() {
  return "  (nothing)    run as the service (systemd starts it so; in a terminal it runs in\n"
         "               the foreground): start every database now, stop them on SIGTERM\n"
         "               or Ctrl-C; -PAUSE (or SIGUSR1) stops them, -CONTINUE (or\n"
         "               SIGUSR2) starts them again\n";
}

std::unique_ptr<ServiceHost> CreateServiceHost(const ServiceSettings& settings) {
  return std::make_unique<PosixServiceHost>(settings);
}

}  // namespace ostrim::platform
