// print-unit PROGRAM: prints the systemd unit that "PROGRAM -INSTALL" writes,
// so that the Debian package ships the very same text.
#include <cstdio>
#include <string>

#include "Torvale.h"
#include "platform/posix/systemd_unit.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: print-unit PROGRAM\n", stderr);
    return 2;
  }
  const std::string unit =
      ostrim::platform::posix::UnitText(ostrim::Torvale::kServiceSettings, argv[1]);
  std::fputs(unit.c_str(), stdout);
  return 0;
}
