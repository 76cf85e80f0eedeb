// ostrim: starts and stops a site's database engines as a system service.
#include <chrono>
#include <exception>
#include <string>
#include <vector>

#include "Torvale.h"
#include "log.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  // First of all: a closed standard stream must not be taken by a descriptor
  // the service opens (its log would be written into it).
  ostrim::platform::SecureStandardStreams();
  ostrim::log::SetWriter(&ostrim::platform::WriteLogLine);
  ostrim::log::ReadLevelFromEnvironment();
  std::vector<std::string> args(argv + 1, argv + argc);
  int status = 1;
  try {
    ostrim::Torvale form(ostrim::platform::CreateServiceHost(ostrim::Torvale::kServiceSettings));
    status = form.Run(args);
  } catch (const std::exception& e) {
    ostrim::log::Error("ostrim ends: ", e.what());
  }
  // Log lines a stalled reader has not taken yet get two seconds more.
  ostrim::platform::FinishLog(std::chrono::seconds(2));
  return status;
}
