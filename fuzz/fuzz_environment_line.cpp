// Any text as an [arranque] line: it is either rejected with an
// EnvironmentLineError or gives a name with no "=" in it and a value that
// together make up the line without its SET prefix.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "Torvale.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string line(reinterpret_cast<const char*>(data), size);
  const std::string original = line;
  try {
    auto variable = ostrim::PreparaLineaEntorno(line);
    if (!variable) {
      if (!original.empty()) std::abort();
      return 0;
    }
    const auto& [name, value] = *variable;
    if (name.empty() || name.find('=') != std::string::npos) std::abort();
    if (line != name + "=" + value) std::abort();
    if (line.size() > original.size()) std::abort();
  } catch (const ostrim::EnvironmentLineError&) {
  }
  return 0;
}
