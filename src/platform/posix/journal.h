// Each engine's output in the journal under a name of its own: when the
// service's own log is the journal, every launch for a database gets a
// journal stream of its own, identified "ostrim/DATABASE", as its standard
// output and error, so that `journalctl -t ostrim/ventas` shows one
// database's lines. The service only hands the stream over: it never reads
// or relays what an engine writes, so no engine ever depends on the service
// to be able to write.
//
// Linux: systemd-journald's stream socket, /run/systemd/journal/stdout, and
// its protocol (a header of seven lines, then the output itself).
#pragma once

#include <string>

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
// character) written as "_".
std::string JournalIdentifier(const std::string& database);

}  // namespace ostrim::platform::posix
