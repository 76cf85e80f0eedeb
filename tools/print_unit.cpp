// print-unit PROGRAM: prints the systemd unit that "PROGRAM -INSTALL" writes,
// as the Debian package ships it (the same text, but for its first comment,
// which says who wrote it).
#include <cstdio>
#include <string>

#include "Torvale.h"
#include "platform/posix/systemd_unit.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: print-unit PROGRAM\n", stderr);
    return 2;
  }
  const std::string unit = ostrim::platform::posix::UnitText(
      ostrim::Torvale::kServiceSettings, argv[1], ostrim::platform::posix::UnitOrigin::kPackage);
  std::fputs(unit.c_str(), stdout);
  return 0;
}
