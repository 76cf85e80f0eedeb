#include "platform/output_lines.h"

#include <cstdio>

namespace ostrim::platform {

std::string StampLines(std::string_view chunk, std::string_view stamp, bool& at_line_start) {
  std::string out;
  out.reserve(chunk.size() + stamp.size());
  while (!chunk.empty()) {
    if (at_line_start) out += stamp;
    const std::size_t eol = chunk.find('\n');
    const std::size_t take = eol == std::string_view::npos ? chunk.size() : eol + 1;
    out += chunk.substr(0, take);
    at_line_start = eol != std::string_view::npos;
    chunk.remove_prefix(take);
  }
  return out;
}

namespace {

std::string Escaped(unsigned char byte) {
  static const char kHex[] = "0123456789ABCDEF";
  return {'%', kHex[byte >> 4], kHex[byte & 15]};
}

// Whether `stem` (the name up to its first dot, trailing blanks and dots
// gone, as Windows compares it) names a device.
bool IsDevice(std::string stem) {
  for (char& c : stem) c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
  for (const char* device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
    if (stem == device) return true;
  }
  if (stem.size() < 4 || (stem.compare(0, 3, "COM") != 0 && stem.compare(0, 3, "LPT") != 0)) {
    return false;
  }
  const std::string digit = stem.substr(3);
  // 0-9, and the superscript digits 1, 2 and 3 (Latin-1 and UTF-8).
  return (digit.size() == 1 && digit[0] >= '0' && digit[0] <= '9') || digit == "\xb9" ||
         digit == "\xb2" || digit == "\xb3" || digit == "\xc2\xb9" || digit == "\xc2\xb2" ||
         digit == "\xc2\xb3";
}

}  // namespace

std::string OutputFileName(std::string_view database) {
  if (database.empty()) return Escaped(0);  // "%00": no database name reads so
  std::string stem(database.substr(0, database.find('.')));
  while (!stem.empty() && (stem.back() == ' ' || stem.back() == '.')) stem.pop_back();
  const bool device = IsDevice(stem);
  // Trailing blanks and dots, which Windows drops from a name.
  std::size_t kept = database.size();
  while (kept > 0 && (database[kept - 1] == ' ' || database[kept - 1] == '.')) --kept;
  std::string name;
  for (std::size_t i = 0; i < database.size(); ++i) {
    const auto byte = static_cast<unsigned char>(database[i]);
    const bool refused =
        byte < 0x20 || byte == 0x7f ||
        std::string_view("<>:\"/\\|?*%").find(static_cast<char>(byte)) != std::string_view::npos;
    if (refused || i >= kept || (device && i == 0)) {
      name += Escaped(byte);
    } else {
      name.push_back(static_cast<char>(byte));
    }
  }
  return name;
}

std::string StampOf(const LocalTime& t) {
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d ", t.year, t.month, t.day,
                t.hour, t.minute, t.second, t.millisecond);
  return text;
}

}  // namespace ostrim::platform
