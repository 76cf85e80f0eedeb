// The record's text and JSON forms: written and read here only.
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <optional>
#include <unordered_map>
#include <vector>

#include "json.h"
#include "log.h"
#include "record.h"

namespace ostrim {
namespace {

constexpr std::array<std::pair<DatabaseState, const char*>, 11> kStateNames = {{
    {DatabaseState::kNotLaunched, "not_launched"},
    {DatabaseState::kLaunchFailed, "launch_failed"},
    {DatabaseState::kRunning, "running"},
    {DatabaseState::kStartEnded, "start_ended"},
    {DatabaseState::kStartFailed, "start_failed"},
    {DatabaseState::kEnded, "ended"},
    {DatabaseState::kStopping, "stopping"},
    {DatabaseState::kStopRan, "stop_ran"},
    {DatabaseState::kStopped, "stopped"},
    {DatabaseState::kLeftRunning, "left_running"},
    {DatabaseState::kGivenUp, "given_up"},
}};

DatabaseState DatabaseStateFromName(std::string_view name) {
  for (const auto& [state, text] : kStateNames) {
    if (name == text) return state;
  }
  return DatabaseState::kNotLaunched;
}

// A value as one field: no TAB or line end can break the lines.
std::string Field(std::string_view text, ServiceRecord::Form form) {
  if (form == ServiceRecord::Form::kShown) return log::Visible(text);
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\\') {
      out.append("\\\\");
    } else if (byte < 0x20 || byte == 0x7f) {
      out.append(log::Visible(std::string_view(&c, 1)));
    } else {
      out.push_back(c);
    }
  }
  return out;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A wire field back into its value. An escape it does not know is kept as
// it is (what an older service sent: values with no escapes at all).
std::string Unfield(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c != '\\' || i + 1 == text.size()) {
      out.push_back(c);
      continue;
    }
    const char e = text[i + 1];
    if (e == '\\' || e == 't' || e == 'n' || e == 'r') {
      out.push_back(e == '\\' ? '\\' : e == 't' ? '\t' : e == 'n' ? '\n' : '\r');
      ++i;
    } else if (e == 'x' && i + 3 < text.size() && HexDigit(text[i + 2]) >= 0 &&
               HexDigit(text[i + 3]) >= 0) {
      out.push_back(static_cast<char>(HexDigit(text[i + 2]) * 16 + HexDigit(text[i + 3])));
      i += 3;
    } else {
      out.push_back(c);
    }
  }
  return out;
}

std::string Seconds(double seconds) {
  std::string text;
  log::detail::Append(text, seconds);
  return text;
}

long long Number(std::string_view text) {
  long long value = 0;
  bool negative = !text.empty() && text.front() == '-';
  if (negative) text.remove_prefix(1);
  for (char c : text) {
    if (c < '0' || c > '9') break;
    value = value * 10 + (c - '0');
  }
  return negative ? -value : value;
}

// "12.346" back into seconds.
double SecondsFrom(std::string_view value) {
  const std::size_t dot = value.find('.');
  double seconds = static_cast<double>(Number(value.substr(0, dot)));
  if (dot != std::string_view::npos) {
    std::string_view fraction = value.substr(dot + 1, 3);
    double scale = 0.1;
    for (char c : fraction) {
      if (c < '0' || c > '9') break;
      seconds += (c - '0') * scale;
      scale /= 10;
    }
  }
  return seconds;
}

// The fields of a database line, in their places after "database" (and the
// keys of its JSON object, in the same order): a new field is a row here.
struct DatabaseField {
  std::string_view key;
  bool number;  // JSON: a number, else a string
  // Its value as text (`scratch` holds it when it is not a member's).
  std::string_view (*get)(const DatabaseRecord&, std::string& scratch);
  void (*set)(DatabaseRecord&, std::string value);
  // Its metric's help, when it is one per database and pass (a counter,
  // "ostrim_database_KEY_total"); empty: none.
  std::string_view counter_help = {};
};
constexpr DatabaseField kDatabaseFields[] = {
    {"name", false,
     [](const DatabaseRecord& d, std::string&) -> std::string_view { return d.name; },
     [](DatabaseRecord& d, std::string v) { d.name = std::move(v); }},
    {"pass", false,
     [](const DatabaseRecord& d, std::string&) -> std::string_view { return PassName(d.pass); },
     [](DatabaseRecord& d, std::string v) { d.pass = PassFromName(v).value_or(Pass::k4GL); }},
    {"state", false,
     [](const DatabaseRecord& d, std::string&) -> std::string_view {
       return DatabaseStateName(d.state);
     },
     [](DatabaseRecord& d, std::string v) { d.state = DatabaseStateFromName(v); }},
    {"pid", true,
     [](const DatabaseRecord& d, std::string& scratch) -> std::string_view {
       return scratch = std::to_string(d.pid);
     },
     [](DatabaseRecord& d, std::string v) { d.pid = Number(v); }},
    {"since", false,
     [](const DatabaseRecord& d, std::string&) -> std::string_view { return d.since; },
     [](DatabaseRecord& d, std::string v) { d.since = std::move(v); }},
    {"detail", false,
     [](const DatabaseRecord& d, std::string&) -> std::string_view { return d.detail; },
     [](DatabaseRecord& d, std::string v) { d.detail = std::move(v); }},
    {"command", false,
     [](const DatabaseRecord& d, std::string&) -> std::string_view { return d.command; },
     [](DatabaseRecord& d, std::string v) { d.command = std::move(v); }},
    {"restarts", true,
     [](const DatabaseRecord& d, std::string& scratch) -> std::string_view {
       return scratch = std::to_string(d.restarts);
     },
     [](DatabaseRecord& d, std::string v) { d.restarts = static_cast<int>(Number(v)); },
     "How often a crashed engine of the database and pass was started again since the last start "
     "or continue."},
};

// The fields of a check line, in their places after "check", and the keys
// of its JSON object.
const std::pair<std::string_view, std::string ReadinessRecord::*> kCheckFields[] = {
    {"name", &ReadinessRecord::name},   {"state", &ReadinessRecord::state},
    {"since", &ReadinessRecord::since}, {"detail", &ReadinessRecord::detail},
    {"what", &ReadinessRecord::what},
};

}  // namespace

std::optional<std::int64_t> UnixSeconds(std::string_view iso) {
  if (iso.size() != 20 || iso[4] != '-' || iso[7] != '-' || iso[10] != 'T' || iso[13] != ':' ||
      iso[16] != ':' || iso[19] != 'Z') {
    return std::nullopt;
  }
  using namespace std::chrono;
  const year_month_day date{year(static_cast<int>(Number(iso.substr(0, 4)))),
                            month(static_cast<unsigned>(Number(iso.substr(5, 2)))),
                            day(static_cast<unsigned>(Number(iso.substr(8, 2))))};
  if (!date.ok()) return std::nullopt;
  return sys_days(date).time_since_epoch() / seconds(1) + Number(iso.substr(11, 2)) * 3600 +
         Number(iso.substr(14, 2)) * 60 + Number(iso.substr(17, 2));
}

namespace {

// A label value as the exposition format writes it: valid UTF-8, with
// backslash, double quote and line feed escaped.
std::string LabelValue(std::string_view text) {
  std::string out;
  for (char c : json::AsUtf8(text)) {
    if (c == '\\') {
      out.append("\\\\");
    } else if (c == '"') {
      out.append("\\\"");
    } else if (c == '\n') {
      out.append("\\n");
    } else {
      out.push_back(c);
    }
  }
  return out;
}

// One metric family's heading.
void Family(std::string& out, std::string_view name, std::string_view type, std::string_view help) {
  out.append("# HELP ").append(name).append(" ").append(help).append("\n");
  out.append("# TYPE ").append(name).append(" ").append(type).append("\n");
}

}  // namespace

std::string WireField(std::string_view text) {
  return Field(text, ServiceRecord::Form::kWire);
}

std::string FromWireField(std::string_view text) {
  return Unfield(text);
}

std::vector<std::string_view> WireFields(std::string_view text) {
  std::vector<std::string_view> fields;
  for (;;) {
    const std::size_t tab = text.find('\t');
    fields.push_back(text.substr(0, tab));
    if (tab == std::string_view::npos) return fields;
    text.remove_prefix(tab + 1);
  }
}

const char* DatabaseStateName(DatabaseState state) {
  for (const auto& [s, text] : kStateNames) {
    if (s == state) return text;
  }
  return "?";
}

std::string UtcNow() {
  return UtcAfter(std::chrono::milliseconds(0));
}

std::string UtcAfter(std::chrono::milliseconds after) {
  using namespace std::chrono;
  const auto now = floor<seconds>(system_clock::now() + after);
  const auto day = floor<days>(now);
  const year_month_day date{day};
  const hh_mm_ss time{now - day};
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02lld:%02lld:%02lldZ",
                static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                static_cast<unsigned>(date.day()), static_cast<long long>(time.hours().count()),
                static_cast<long long>(time.minutes().count()),
                static_cast<long long>(time.seconds().count()));
  return text;
}

std::string ServiceRecord::Text(Form form) const {
  std::string out;
  auto line = [&out, form](std::string_view key, std::string_view value) {
    out.append(key).append("\t").append(Field(value, form)).append("\n");
  };
  line("state", StateName(state));
  line("directory", directory);
  if (state == ServiceState::kNone) return out;
  line("pid", std::to_string(pid));
  line("since", since);
  line("health", degraded ? "degraded" : "healthy");
  line("health_reason", health_reason);
  line("requests", std::to_string(requests));
  if (!last_request.empty()) {
    line("last_request", last_request);
    line("last_result", last_result);
    line("last_state_before", StateName(last_state_before));
    line("last_lines", std::to_string(last_tally.lines));
    line("last_launched", std::to_string(last_tally.lines - last_tally.failed));
    line("last_failed", std::to_string(last_tally.failed));
    line("last_ended_badly", std::to_string(last_tally.ended_badly));
    if (last_tally.still_running > 0) {
      line("last_still_running", std::to_string(last_tally.still_running));
    }
    if (last_tally.up_already > 0) {
      line("last_up_already", std::to_string(last_tally.up_already));
    }
    line("last_seconds", Seconds(last_seconds));
    for (const std::string& p : last_problems) line("last_problem", p);
    for (const std::string& n : last_notes) line("last_note", n);
  }
  std::string scratch;
  for (const DatabaseRecord& d : databases_) {
    out.append("database");
    for (const DatabaseField& field : kDatabaseFields) {
      out.append("\t").append(Field(field.get(d, scratch), form));
    }
    out.append("\n");
  }
  for (const ReadinessRecord& c : checks_) {
    out.append("check");
    for (const auto& field : kCheckFields) out.append("\t").append(Field(c.*field.second, form));
    out.append("\n");
  }
  return out;
}

ServiceRecord ServiceRecord::Parse(std::string_view text) {
  ServiceRecord r;
  r.state = ServiceState::kNone;
  while (!text.empty()) {
    std::string_view line = text.substr(0, text.find('\n'));
    text.remove_prefix(std::min(text.size(), line.size() + 1));
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const std::vector<std::string_view> f = WireFields(line);
    if (f.size() < 2) continue;
    const std::string_view key = f[0];
    const std::string value = Unfield(f[1]);
    if (key == "state") {
      r.state = StateFromName(value).value_or(ServiceState::kNone);
    } else if (key == "pid") {
      r.pid = Number(value);
    } else if (key == "since") {
      r.since = value;
    } else if (key == "directory") {
      r.directory = value;
    } else if (key == "health") {
      r.degraded = value == "degraded";
    } else if (key == "health_reason") {
      r.health_reason = value;
    } else if (key == "requests") {
      r.requests = static_cast<std::uint64_t>(Number(value));
    } else if (key == "last_request") {
      r.last_request = value;
    } else if (key == "last_result") {
      r.last_result = value;
    } else if (key == "last_state_before") {
      r.last_state_before = StateFromName(value).value_or(ServiceState::kNone);
    } else if (key == "last_lines") {
      r.last_tally.lines = static_cast<int>(Number(value));
    } else if (key == "last_failed") {
      r.last_tally.failed = static_cast<int>(Number(value));
    } else if (key == "last_ended_badly") {
      r.last_tally.ended_badly = static_cast<int>(Number(value));
    } else if (key == "last_still_running") {
      r.last_tally.still_running = static_cast<int>(Number(value));
    } else if (key == "last_up_already") {
      r.last_tally.up_already = static_cast<int>(Number(value));
    } else if (key == "last_seconds") {
      r.last_seconds = SecondsFrom(value);
    } else if (key == "last_problem") {
      r.last_problems.push_back(value);
    } else if (key == "last_note") {
      r.last_notes.push_back(value);
    } else if (key == "database") {
      // Fields a service of an earlier version did not send (it keeps
      // running across a package upgrade) read as their defaults.
      DatabaseRecord d;
      for (std::size_t i = 0; i < std::size(kDatabaseFields) && i + 1 < f.size(); ++i) {
        kDatabaseFields[i].set(d, Unfield(f[i + 1]));
      }
      r.AddDatabase(std::move(d));
    } else if (key == "check") {
      ReadinessRecord c;
      for (std::size_t i = 0; i < std::size(kCheckFields) && i + 1 < f.size(); ++i) {
        c.*kCheckFields[i].second = Unfield(f[i + 1]);
      }
      r.AddReadiness(std::move(c));
    }
  }
  return r;
}

std::string ServiceRecord::Json() const {
  json::Writer w;
  w.BeginObject().Key("state").String(StateName(state)).Key("directory").String(directory);
  w.Key("pid").Number(std::int64_t{pid});
  if (state != ServiceState::kNone) {
    w.Key("since").String(since).Key("health").String(degraded ? "degraded" : "healthy");
    w.Key("health_reason").String(health_reason);
    w.Key("requests").Number(static_cast<std::int64_t>(requests));
    w.Key("last_request");
    if (last_request.empty()) {
      w.Null();
    } else {
      w.BeginObject().Key("name").String(last_request).Key("result").String(last_result);
      w.Key("state_before").String(StateName(last_state_before));
      w.Key("lines").Number(std::int64_t{last_tally.lines});
      w.Key("launched").Number(std::int64_t{last_tally.lines - last_tally.failed});
      w.Key("failed").Number(std::int64_t{last_tally.failed});
      w.Key("ended_badly").Number(std::int64_t{last_tally.ended_badly});
      w.Key("still_running").Number(std::int64_t{last_tally.still_running});
      w.Key("up_already").Number(std::int64_t{last_tally.up_already});
      w.Key("seconds").Number(last_seconds).Key("problems").BeginArray();
      for (const std::string& p : last_problems) w.String(p);
      w.EndArray().Key("notes").BeginArray();
      for (const std::string& n : last_notes) w.String(n);
      w.EndArray().EndObject();
    }
  }
  w.Key("databases").BeginArray();
  std::string scratch;
  for (const DatabaseRecord& d : databases_) {
    w.BeginObject();
    for (const DatabaseField& field : kDatabaseFields) {
      w.Key(field.key);
      if (field.number) {
        w.Number(static_cast<std::int64_t>(Number(field.get(d, scratch))));
      } else {
        w.String(field.get(d, scratch));
      }
    }
    w.EndObject();
  }
  w.EndArray().Key("checks").BeginArray();
  for (const ReadinessRecord& c : checks_) {
    w.BeginObject();
    for (const auto& field : kCheckFields) w.Key(field.first).String(c.*field.second);
    w.EndObject();
  }
  w.EndArray().EndObject();
  return w.Text();
}

std::string ServiceRecord::Metrics() const {
  std::string out;
  auto sample = [&out](std::string_view name, std::string_view labels, std::string_view value) {
    out.append(name);
    if (!labels.empty()) out.append("{").append(labels).append("}");
    out.append(" ").append(value).append("\n");
  };
  Family(out, "ostrim_up", "gauge", "1 when a service serves the site, else 0.");
  sample("ostrim_up", "", state == ServiceState::kNone ? "0" : "1");
  if (state == ServiceState::kNone) return out;
  Family(out, "ostrim_healthy", "gauge", "1 when the service is healthy, 0 when it is degraded.");
  sample("ostrim_healthy", "", degraded ? "0" : "1");
  Family(out, "ostrim_state", "gauge", "The service's state: 1 for the one it is in, else 0.");
  for (ServiceState s : {ServiceState::kStarting, ServiceState::kRunning, ServiceState::kPausing,
                         ServiceState::kPaused, ServiceState::kContinuing, ServiceState::kStopping,
                         ServiceState::kStopped}) {
    sample("ostrim_state", "state=\"" + std::string(StateName(s)) + "\"", s == state ? "1" : "0");
  }
  if (const std::optional<std::int64_t> at = UnixSeconds(since)) {
    Family(out, "ostrim_state_since_timestamp_seconds", "gauge",
           "When the service entered its state, in seconds since 1970 (UTC).");
    sample("ostrim_state_since_timestamp_seconds", "", std::to_string(*at));
  }
  Family(out, "ostrim_requests_total", "counter",
         "Requests (start, pause, continue, stop) that have ended since the service started.");
  sample("ostrim_requests_total", "", std::to_string(requests));
  if (!last_request.empty()) {
    Family(out, "ostrim_last_request_success", "gauge",
           "1 when the last request that ended was done, 0 when it failed.");
    sample("ostrim_last_request_success", "", last_result == "done" ? "1" : "0");
    Family(out, "ostrim_last_request_duration_seconds", "gauge",
           "How long the last request that ended took.");
    sample("ostrim_last_request_duration_seconds", "", Seconds(last_seconds));
  }
  // Each database and pass once, in the record's order, however many
  // engines it has: its engines counted by state, each counter as its
  // latest launch has it (the highest: a launch takes the count in force).
  struct Entry {
    std::string labels;
    std::array<int, kStateNames.size()> states{};
    std::vector<std::int64_t> counters;
  };
  std::vector<Entry> entries;
  std::unordered_map<std::string, std::size_t> at;
  std::string scratch;
  for (const DatabaseRecord& d : databases_) {
    std::string labels =
        "database=\"" + LabelValue(d.name) + "\",pass=\"" + PassName(d.pass) + "\"";
    auto [it, fresh] = at.emplace(labels, entries.size());
    if (fresh) {
      entries.push_back(
          {std::move(labels), {}, std::vector<std::int64_t>(std::size(kDatabaseFields))});
    }
    Entry& e = entries[it->second];
    for (std::size_t k = 0; k < kStateNames.size(); ++k) {
      if (kStateNames[k].first == d.state) ++e.states[k];
    }
    for (std::size_t f = 0; f < std::size(kDatabaseFields); ++f) {
      if (!kDatabaseFields[f].counter_help.empty()) {
        e.counters[f] =
            std::max<std::int64_t>(e.counters[f], Number(kDatabaseFields[f].get(d, scratch)));
      }
    }
  }
  Family(out, "ostrim_database_state", "gauge",
         "How many engines (or launches) of the database and pass are in the state.");
  for (const Entry& e : entries) {
    for (std::size_t k = 0; k < kStateNames.size(); ++k) {
      sample("ostrim_database_state", e.labels + ",state=\"" + kStateNames[k].second + "\"",
             std::to_string(e.states[k]));
    }
  }
  for (std::size_t f = 0; f < std::size(kDatabaseFields); ++f) {
    const DatabaseField& field = kDatabaseFields[f];
    if (field.counter_help.empty()) continue;
    const std::string name = "ostrim_database_" + std::string(field.key) + "_total";
    Family(out, name, "counter", field.counter_help);
    for (const Entry& e : entries) sample(name, e.labels, std::to_string(e.counters[f]));
  }
  // Each checked database's readiness: a sample per state, 1 for its own.
  if (!checks_.empty()) {
    Family(out, "ostrim_check_state", "gauge",
           "1 for the state of the database's check (waiting, up, down, stopped), else 0.");
  }
  for (const ReadinessRecord& c : checks_) {
    for (const EstadoListo e :
         {EstadoListo::kWaiting, EstadoListo::kUp, EstadoListo::kDown, EstadoListo::kStopped}) {
      const std::string_view nombre = NombreEstadoListo(e);
      sample("ostrim_check_state",
             "database=\"" + LabelValue(c.name) + "\",state=\"" + std::string(nombre) + "\"",
             c.state == nombre ? "1" : "0");
    }
  }
  return out;
}

namespace {

// `text` with "\n" written as `eol`.
std::string WithLineEnds(std::string_view text, std::string_view eol) {
  std::string out;
  for (char c : text) {
    if (c == '\n') {
      out.append(eol);
    } else {
      out.push_back(c);
    }
  }
  return out;
}

}  // namespace

std::string OutcomeLine(const ServiceRecord& after) {
  std::string seconds;
  log::detail::Append(seconds, after.last_seconds);
  return after.last_request + ": " + after.last_result + " in " + seconds +
         " s: " + DescribeTally(after.last_tally) + " (was " + StateName(after.last_state_before) +
         ", now " + StateName(after.state) + ")";
}

ControlReply ReplyToRequest(const ServiceRecord& after, std::string_view eol) {
  ControlReply reply;
  reply.out = OutcomeLine(after) + std::string(eol);
  // A script goes on only when the request did all it had to: a pause whose
  // stop command failed, or that left an engine running, is no success.
  reply.status = after.last_result == "done" && after.last_problems.empty() ? 0 : 1;
  for (const std::string& problem : after.last_problems) {
    reply.err += "ostrim: " + problem + std::string(eol);
  }
  for (const std::string& note : after.last_notes) {
    reply.err += "ostrim: note: " + note + std::string(eol);
  }
  return reply;
}

ControlReply ReplyToStatus(const ServiceRecord& record, StatusForm form, std::string_view eol) {
  ControlReply reply;
  switch (form) {
    case StatusForm::kText:
      reply.out = WithLineEnds(record.Text(ServiceRecord::Form::kShown), eol);
      break;
    case StatusForm::kJson:
      reply.out = record.Json() + std::string(eol);
      break;
    case StatusForm::kMetrics:  // the format's own line ends, on every platform
      reply.out = record.Metrics();
      break;
  }
  reply.status = record.degraded && record.state == ServiceState::kRunning ? 4 : 0;
  return reply;
}

ControlReply ReplyNoService(bool status, StatusForm form, const std::string& directory,
                            const std::string& why, std::string_view eol) {
  ControlReply reply;
  reply.status = status ? 3 : 1;
  if (status) {
    ServiceRecord none;
    none.state = ServiceState::kNone;
    none.directory = directory;
    reply.out = ReplyToStatus(none, form, eol).out;
  }
  reply.err = "ostrim: " + why + std::string(eol);
  return reply;
}

}  // namespace ostrim
