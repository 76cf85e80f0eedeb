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

// The name of a database's output file, without its ".log": never a device
// (CON, NUL, COM1, COM¹, CONIN$... with any extension, trailing dots or
// blanks, in any case), never a name Windows would change (trailing dots or
// blanks), never a character Windows refuses (< > : " / \ | ? * and control
// characters); and two different databases never share one. A byte that
// would do any of that, and "%" itself, is written "%XX" (its value in hex);
// a device's name gets its first letter so written ("%4EUL" for NUL).
std::string OutputFileName(std::string_view database);

// The local time as each line of such a file begins with it: ISO 8601 with
// milliseconds and a blank after it ("2026-12-09T15:51:35.123 ").
struct LocalTime {
  int year, month, day, hour, minute, second, millisecond;
};
std::string StampOf(const LocalTime& t);

}  // namespace ostrim::platform
