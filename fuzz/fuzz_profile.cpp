// Any bytes as a profile file: parsing and every lookup end, without a
// crash or a read out of bounds, and the lookups agree with each other.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string_view>

#include "platform/posix/profile_text.h"

using ostrim::platform::posix::ProfileText;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::optional<ProfileText> parsed;
  try {
    parsed.emplace(std::string(reinterpret_cast<const char*>(data), size));
  } catch (const ostrim::platform::posix::ProfileTooLarge&) {
    return 0;  // refused whole: nothing to look up
  }
  const ProfileText& text = *parsed;
  for (std::size_t s = 1; s < text.SectionCount(); ++s) {
    const std::string_view section = text.SectionName(s);
    if (!text.HasSection(section)) continue;  // a name with blanks around it
    for (std::string_view name : text.KeyNames(section)) {
      // Every listed key reads as a value (the first key of that name may
      // be one without "=", which reads as missing).
      const std::optional<std::string_view> value = text.FindValue(section, name);
      if (value) {
        std::string_view unquoted = ostrim::platform::posix::WithoutQuotes(*value);
        if (unquoted.size() > value->size()) std::abort();
      }
      if (name.find('\0') != std::string_view::npos) std::abort();
    }
  }
  // Memory linear in the input: its text (UTF-16 grows by half as UTF-8),
  // and per key or section (at most one per input byte) a bounded cost.
  if (text.Footprint() > 2 * size + 1024 + (ProfileText::kBytesPerKey + 48) * (size + 1)) {
    std::abort();
  }
  return 0;
}
