#include "log.h"

#include <cstdio>
#include <cstdlib>
#include <utility>

namespace ostrim::log {
namespace {

Level& Threshold() {
  static Level threshold = Level::kInfo;
  return threshold;
}

std::string* capture = nullptr;
Writer writer = nullptr;
bool level_set = false;

}  // namespace

int EventId(Kind kind, Level level) {
  switch (kind) {
    case Kind::kRequestBegun:
      return 2;
    case Kind::kRequestEnded:
      return 3;
    case Kind::kLaunched:
      return 4;
    case Kind::kChildEnded:
      return 5;
    case Kind::kLaunchFailed:
      return 6;
    case Kind::kDegraded:
      return 9;
    case Kind::kGeneral:
      break;
  }
  if (level == Level::kError) return 8;
  if (level == Level::kWarning) return 7;
  return 1;
}

// The levels by name, most severe first.
constexpr std::pair<std::string_view, Level> kLevelNames[] = {{"error", Level::kError},
                                                              {"warning", Level::kWarning},
                                                              {"notice", Level::kNotice},
                                                              {"info", Level::kInfo},
                                                              {"debug", Level::kDebug}};

std::string LevelNames() {
  std::string names;
  for (const auto& [name, level] : kLevelNames) {
    names += (names.empty() ? "" : ", ") + std::string(name);
  }
  return names;
}

std::optional<Level> LevelFromText(std::string_view text) {
  std::string lower;
  for (char c : text) lower.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
  for (const auto& [name, level] : kLevelNames) {
    if (lower == name) return level;
  }
  return std::nullopt;
}

void ReadLevelFromEnvironment() {
  const char* value = std::getenv("OSTRIM_LOG_LEVEL");
  if (value == nullptr || *value == '\0') return;
  if (std::optional<Level> level = LevelFromText(value)) {
    SetThreshold(*level);
    level_set = true;
    return;
  }
  Warning("OSTRIM_LOG_LEVEL=", value, " is not a level (", LevelNames(), "); logging at info");
}

void SetThreshold(Level level) {
  Threshold() = level;
}

bool Enabled(Level level) {
  return static_cast<int>(level) <= static_cast<int>(Threshold());
}

std::string Visible(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte != 0x7f) {
      out.push_back(c);
    } else if (c == '\t') {
      out.append("\\t");
    } else if (c == '\n') {
      out.append("\\n");
    } else if (c == '\r') {
      out.append("\\r");
    } else {
      static const char kHex[] = "0123456789abcdef";
      out.append("\\x").push_back(kHex[byte >> 4]);
      out.push_back(kHex[byte & 15]);
    }
  }
  return out;
}

void Write(Level level, Kind kind, std::string_view unsafe) {
  // Most lines have no control character: only those are copied.
  std::string visible;
  std::string_view line = unsafe;
  for (char c : unsafe) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
      visible = Visible(unsafe);
      line = visible;
      break;
    }
  }
  std::string cut;
  if (line.size() > kLongestLine) {
    std::size_t end = kLongestLine;
    while (end > 0 && (static_cast<unsigned char>(line[end]) & 0xC0) == 0x80) --end;
    cut.assign(line.substr(0, end)).append("... (").append(std::to_string(line.size()));
    cut.append(" bytes in all)");
    line = cut;
  }
  if (capture != nullptr) {
    static const char* const kPrefix[] = {"", "", "", "error: ", "warning: ", "", "", "debug: "};
    capture->append(kPrefix[static_cast<int>(level)]).append(line);
    capture->push_back('\n');
    return;
  }
  if (writer != nullptr) {
    writer(static_cast<int>(level), line, EventId(kind, level));
    return;
  }
  std::string whole(line);
  whole.push_back('\n');
  std::fwrite(whole.data(), 1, whole.size(), stderr);
}

void SetWriter(Writer to) {
  writer = to;
}

void SetCapture(std::string* sink) {
  capture = sink;
}

bool LevelFromEnvironmentWasSet() {
  return level_set;
}

namespace detail {
void Append(std::string& out, double value) {
  // Three decimals, without printf's floating-point machinery: this runs for
  // every launch.
  if (value < 0) {
    out.push_back('-');
    value = -value;
  }
  const auto thousandths = static_cast<unsigned long long>(value * 1000.0 + 0.5);
  out.append(std::to_string(thousandths / 1000));
  out.push_back('.');
  const unsigned fraction = static_cast<unsigned>(thousandths % 1000);
  out.push_back(static_cast<char>('0' + fraction / 100));
  out.push_back(static_cast<char>('0' + fraction / 10 % 10));
  out.push_back(static_cast<char>('0' + fraction % 10));
}
}  // namespace detail

std::string Quoted(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('"');
  out.append(text);
  out.push_back('"');
  return out;
}

}  // namespace ostrim::log
