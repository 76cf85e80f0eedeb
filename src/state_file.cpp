#include "state_file.h"

#include <charconv>

namespace ostrim {
namespace {

constexpr std::string_view kHeader = "ostrim-engines\t1";
constexpr std::size_t kFields = 8;

}  // namespace

std::string StateText(const KeptState& state) {
  std::string text(kHeader);
  text += '\n';
  if (state.paused) text += "state\tpaused\n";
  for (const KeptEngine& e : state.engines) {
    const std::string pid = std::to_string(e.pid);
    text += "engine";
    for (const std::string* field : {&e.tag.database, &e.tag.pass, &pid, &e.identity, &e.launched,
                                     &e.tag.argument, &e.command}) {
      text += '\t';
      text += WireField(*field);
    }
    text += '\n';
  }
  return text;
}

KeptState ParseState(std::string_view text) {
  KeptState state;
  std::size_t number = 0;
  while (!text.empty()) {
    const std::string_view line = text.substr(0, text.find('\n'));
    if (line.size() == text.size()) throw StateError("its last line is cut short");
    text.remove_prefix(line.size() + 1);
    ++number;
    const std::string where = "line " + std::to_string(number) + ": ";
    if (number == 1) {
      if (line != kHeader) throw StateError(where + "it is not a state file of ostrim");
      continue;
    }
    const std::vector<std::string_view> f = WireFields(line);
    if (number == 2 && f.size() == 2 && f[0] == "state") {
      if (f[1] != "paused") throw StateError(where + "no state it keeps: " + std::string(f[1]));
      state.paused = true;
      continue;
    }
    if (f.size() != kFields || f[0] != "engine") throw StateError(where + "not an engine's line");
    KeptEngine e;
    e.tag.database = FromWireField(f[1]);
    e.tag.pass = FromWireField(f[2]);
    if (e.tag.pass != PassName(Pass::kSQL) && e.tag.pass != PassName(Pass::k4GL)) {
      throw StateError(where + "no start pass: " + e.tag.pass);
    }
    const auto [end, error] = std::from_chars(f[3].data(), f[3].data() + f[3].size(), e.pid);
    if (error != std::errc() || end != f[3].data() + f[3].size() || e.pid <= 0) {
      throw StateError(where + "no pid: " + std::string(f[3]));
    }
    e.identity = FromWireField(f[4]);
    if (e.identity.empty()) throw StateError(where + "no identity of its process");
    e.launched = FromWireField(f[5]);
    if (!UnixSeconds(e.launched)) throw StateError(where + "no time: " + e.launched);
    e.tag.argument = FromWireField(f[6]);
    e.command = FromWireField(f[7]);
    state.engines.push_back(std::move(e));
  }
  if (number == 0) throw StateError("it is empty");
  return state;
}

KeptState StateToKeep(const ServiceRecord& record,
                      const std::function<std::string(std::int64_t)>& identity) {
  KeptState state;
  state.paused = record.state == ServiceState::kPaused || record.state == ServiceState::kPausing;
  std::vector<KeptEngine>& engines = state.engines;
  for (const DatabaseRecord* d : record.Engines()) {
    KeptEngine e;
    e.identity = identity(d->pid);
    if (e.identity.empty()) continue;
    e.tag = {d->name, PassName(d->pass), d->argument};
    e.pid = d->pid;
    e.launched = d->launched.empty() ? d->since : d->launched;
    e.command = d->command;
    engines.push_back(std::move(e));
  }
  return state;
}

}  // namespace ostrim
