// The service manager's requests, as both service-host layers queue them.
#pragma once

namespace ostrim::platform {

enum class Request { kStart, kContinue, kPause, kStop };

inline const char* RequestName(Request request) {
  switch (request) {
    case Request::kStart:
      return "start";
    case Request::kContinue:
      return "continue";
    case Request::kPause:
      return "pause";
    case Request::kStop:
      return "stop";
  }
  return "?";
}

}  // namespace ostrim::platform
