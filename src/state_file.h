// What a serving instance keeps of its engines so that its own death loses
// none of them: the state file, written whole each time an engine's life
// changes, read back by the next instance of the same site, which adopts
// every engine still running instead of starting it again.
//
// Its text (the platform keeps it beside the site's guard, private to the
// service's user):
//
//   ostrim-engines<TAB>1
//   state<TAB>paused
//   engine<TAB>ventas<TAB>4GL<TAB>4107<TAB>IDENTITY<TAB>2026-12-09T10:02:11Z<TAB>ARGUMENT<TAB>COMMAND
//
// The state line only when the service was paused (or pausing): a service
// that dies paused comes back paused, and starts nothing until it is asked
// to continue (`ostrim -PAUSE && backup` stays safe when it dies meanwhile).
// Then one line per engine: its database, pass, pid, what identifies the process
// beyond its pid (the platform's ProcessIdentity: a pid reused by another
// process never matches), when it was launched (UTC), the database's
// argument text and the command line. Values are escaped as the record's
// wire form escapes them (record.h: WireField), so a name may hold any byte.
//
// ParseState refuses (StateError, saying which line and why) anything else:
// another header, another state line, a line of another kind or field count, a pass that is no
// start pass, a pid that is no positive number, an empty identity, a time
// that is no UTC time. A file it refuses is not believed at all.
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "launch.h"
#include "record.h"

namespace ostrim {

struct KeptEngine {
  LaunchTag tag;  // database, pass ("SQL", "4GL"), argument text
  std::int64_t pid = 0;
  std::string identity;
  std::string launched;  // UTC
  std::string command;
};

class StateError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct KeptState {
  bool paused = false;
  std::vector<KeptEngine> engines;
  // Nothing to keep: no file.
  bool Empty() const { return !paused && engines.empty(); }
};

std::string StateText(const KeptState& state);
KeptState ParseState(std::string_view text);

// What the state file keeps of `record`: whether it is paused or pausing,
// and its engines, each with its identity as `identity(pid)` gives it (an
// engine whose identity cannot be had is left out: it has ended).
KeptState StateToKeep(const ServiceRecord& record,
                      const std::function<std::string(std::int64_t)>& identity);

}  // namespace ostrim
