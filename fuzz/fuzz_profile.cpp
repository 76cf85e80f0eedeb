// Any bytes as a profile file: parsing and every lookup end, without a
// crash or a read out of bounds, and the lookups agree with each other.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/posix/profile_text.h"

using ostrim::platform::posix::ProfileText;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ProfileText text(std::string_view(reinterpret_cast<const char*>(data), size));
  for (const ProfileText::Section& section : text.sections()) {
    const ProfileText::Section* found = text.FindSection(section.name);
    if (found == nullptr) continue;  // the nameless first section, or a name with blanks around
    for (std::string_view name : text.KeyNames(section.name)) {
      // Every listed key reads as a value (the first key of that name may
      // be one without "=", which reads as missing).
      const std::string* value = text.FindValue(section.name, name);
      if (value != nullptr) {
        std::string_view unquoted = ostrim::platform::posix::WithoutQuotes(*value);
        if (unquoted.size() > value->size()) std::abort();
      }
      if (name.find('\0') != std::string_view::npos) std::abort();
    }
  }
  return 0;
}
