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

std::string StampOf(const LocalTime& t) {
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d ", t.year, t.month, t.day,
                t.hour, t.minute, t.second, t.millisecond);
  return text;
}

}  // namespace ostrim::platform
