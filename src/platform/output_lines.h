// A database's output as it is kept in a file of its own (Windows'
// logs\DATABASE.log): each line begins with the local time it was read at,
// as the Linux journal gives each line its time.
#pragma once

#include <string>
#include <string_view>

namespace ostrim::platform {

// Puts `stamp` in front of each line that begins in `chunk`, as output comes
// in pieces: `at_line_start` says whether the piece before ended a line, and
// is left saying whether this one did. Bytes are kept as they are (a CR LF
// stays a CR LF); a line cut across pieces gets one stamp, at its beginning.
std::string StampLines(std::string_view chunk, std::string_view stamp, bool& at_line_start);

// The local time as each line of such a file begins with it: ISO 8601 with
// milliseconds and a blank after it ("2026-12-09T15:51:35.123 ").
struct LocalTime {
  int year, month, day, hour, minute, second, millisecond;
};
std::string StampOf(const LocalTime& t);

}  // namespace ostrim::platform
