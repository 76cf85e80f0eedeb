// Each engine's output in the journal under a name of its own: when the
// service's own log is the journal, every launch for a database gets a
// journal stream of its own, identified "ostrim/DATABASE", as its standard
// output and error, so that `journalctl -u ostrim -t ostrim/ventas` shows
// one database's lines (the unit's field is journald's, from the writer's
// process, or from the stream's header, which journald believes from root
// only: another user's `systemd-cat -t ostrim/ventas` lacks it). The
// service only hands the stream over: it never reads
// or relays what an engine writes, so no engine ever depends on the service
// to be able to write.
//
// Linux: systemd-journald's stream socket, /run/systemd/journal/stdout, and
// its protocol (a header of seven lines, then the output itself).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/posix/posix.h"

namespace ostrim::platform::posix {

// Whether the service's standard error is the journal (JOURNAL_STREAM names
// it).
bool LogIsJournal();

// A stream to the journal for the output of `database`'s launches, blocking
// as a child expects its standard output to be; an invalid Fd when none can
// be had (said once in the log: the child then writes where the service
// does).
Fd JournalStream(const std::string& database);

// The identifier a database's stream announces: "ostrim/" and its name, with
// every character that cannot be in one line (a line end, a control
// character) written as "_". journald refuses a header line of about 2 KB
// and closes the stream, and the engine's first write then killed it
// (SIGPIPE): a longer identifier is cut to kLongestIdentifier bytes, at a
// character's beginning, and ends in "~" and eight hex digits of a hash of
// the whole name, so that two long names still differ, and each always
// gets the same.
constexpr std::size_t kLongestIdentifier = 200;
std::string JournalIdentifier(const std::string& database);

// The unit a process runs in, from its /proc/PID/cgroup text: the first
// step of its path below the slices ("ostrim.service" for
// "0::/system.slice/ostrim.service"), when that is a service's or a scope's
// name; else empty. A database's stream names the service's unit in its
// header, so that a line read after its writer has ended (a stop command's
// last line, which journald can no longer place by its process) is still
// the unit's: `journalctl -u ostrim` shows it.
std::string UnitOfCgroup(std::string_view cgroup);

}  // namespace ostrim::platform::posix
