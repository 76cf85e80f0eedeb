#include "log.h"

#include <cstdlib>

#include "platform/platform.h"

namespace ostrim::log {
namespace {

Level ThresholdFromEnvironment() {
  const char* value = std::getenv("OSTRIM_LOG_LEVEL");
  if (value != nullptr && std::string_view(value) == "debug") return Level::kDebug;
  return Level::kInfo;
}

Level& Threshold() {
  static Level threshold = ThresholdFromEnvironment();
  return threshold;
}

std::string* capture = nullptr;

}  // namespace

void SetThreshold(Level level) {
  Threshold() = level;
}

bool Enabled(Level level) {
  return static_cast<int>(level) <= static_cast<int>(Threshold());
}

void Write(Level level, std::string_view line) {
  if (capture != nullptr) {
    capture->append(line);
    capture->push_back('\n');
    return;
  }
  platform::WriteLogLine(static_cast<int>(level), line);
}

void SetCaptureForTesting(std::string* sink) {
  capture = sink;
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
