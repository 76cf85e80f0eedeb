// The operator's client on Windows: -PAUSE and -CONTINUE send the service
// its control code and wait until it has recorded the request's end; -STATUS
// asks the Service Control Manager for the state and pid, and reads the rest
// from the record the service keeps in the registry. What is printed comes
// from the shared replies (requests.h).
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/win32/win32.h"
#include "record.h"
#include "requests.h"

namespace ostrim::platform {
namespace {

constexpr const char* kEol = "\r\n";

// The record the service last published (see service.cpp), whatever its
// size; an empty one when there is none.
ServiceRecord ReadRecord(const std::string& name) {
  const std::string key = win32::ParametersKey(name);
  std::vector<char> text(65536);
  for (;;) {
    DWORD size = static_cast<DWORD>(text.size());
    const LSTATUS status = ::RegGetValueA(HKEY_LOCAL_MACHINE, key.c_str(), "Status", RRF_RT_REG_SZ,
                                          nullptr, text.data(), &size);
    if (status == ERROR_SUCCESS) return ServiceRecord::Parse(text.data());
    if (status != ERROR_MORE_DATA) return {};
    text.resize(std::max<std::size_t>(size, text.size() * 2));
  }
}

ServiceState StateOf(DWORD state) {
  for (const auto& [ours, scm] : win32::kScmStates) {
    if (scm == state && ours != ServiceState::kStopped) return ours;
  }
  return ServiceState::kNone;
}

bool Query(SC_HANDLE service, SERVICE_STATUS_PROCESS& status) {
  DWORD needed = 0;
  return ::QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                sizeof status, &needed) != 0;
}

// The registered service, opened for `access`; on failure, `reply` says
// why (for -STATUS, 3 when it is not installed; else 1).
win32::ScHandle Open(const ServiceSettings& settings, DWORD access, bool status, StatusForm form,
                     ControlReply& reply) {
  win32::ScHandle scm(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!scm) {
    reply.err = "ostrim: cannot open the service manager: " + win32::ErrorText() + kEol;
    return {};
  }
  win32::ScHandle service(::OpenServiceA(scm.get(), settings.name.c_str(), access));
  if (service) return service;
  const DWORD error = ::GetLastError();
  if (error == ERROR_SERVICE_DOES_NOT_EXIST) {
    reply = ReplyNoService(status, form, ProgramDirectory(),
                           "the service " + settings.name + " is not installed", kEol);
  } else if (error == ERROR_ACCESS_DENIED) {
    reply.err = std::string(
                    "ostrim: permission denied: run it from an administrator's command "
                    "prompt") +
                kEol;
  } else {
    reply.err = "ostrim: cannot open the service: " + win32::ErrorText(error) + kEol;
  }
  return {};
}

}  // namespace

ControlReply win32::ControlRunningService(const ServiceSettings& settings,
                                          const RequestKind& kind) {
  ControlReply reply;
  const ScHandle service = Open(settings, SERVICE_PAUSE_CONTINUE | SERVICE_QUERY_STATUS, false,
                                StatusForm::kText, reply);
  if (!service) return reply;
  SERVICE_STATUS_PROCESS status{};
  if (!Query(service.get(), status) || status.dwCurrentState == SERVICE_STOPPED) {
    reply.err = "ostrim: the service " + settings.name + " is not running" + kEol;
    return reply;
  }
  const std::uint64_t done_before = ReadRecord(settings.name).requests;
  SERVICE_STATUS answer{};
  if (!::ControlService(service.get(), kind.controls[0], &answer)) {
    reply.err = "ostrim: the service did not take the request: " + ErrorText() + kEol;
    return reply;
  }
  // Until the service has recorded the end of a request after this one.
  for (;;) {
    const ServiceRecord after = ReadRecord(settings.name);
    if (after.requests > done_before && after.last_request == kind.name) {
      return ReplyToRequest(after, kEol);
    }
    if (!Query(service.get(), status) || status.dwCurrentState == SERVICE_STOPPED) {
      reply.err = std::string("ostrim: the service ended before the request ran") + kEol;
      return reply;
    }
    ::Sleep(100);
  }
}

ControlReply win32::QueryRunningService(const ServiceSettings& settings, StatusForm form) {
  ControlReply reply;
  const ScHandle service = Open(settings, SERVICE_QUERY_STATUS, true, form, reply);
  if (!service) return reply;
  SERVICE_STATUS_PROCESS status{};
  if (!Query(service.get(), status)) {
    reply.err = "ostrim: cannot query the service: " + ErrorText() + kEol;
    return reply;
  }
  if (status.dwCurrentState == SERVICE_STOPPED) {
    return ReplyNoService(true, form, ProgramDirectory(),
                          "the service " + settings.name + " is not running", kEol);
  }
  // The manager's state and pid are the freshest; the rest is what the
  // service recorded.
  ServiceRecord record = ReadRecord(settings.name);
  record.state = StateOf(status.dwCurrentState);
  record.pid = static_cast<std::int64_t>(status.dwProcessId);
  return ReplyToStatus(record, form, kEol);
}

}  // namespace ostrim::platform
