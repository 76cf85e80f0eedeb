// The fixture of the end-to-end tests: a site of its own, whose start and
// stop commands are the recorder, and the built program run on it.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "helpers/json.h"
#include "helpers/test_support.h"

namespace ostrim::tests {

class SiteTest : public testing::Test {
 protected:
  // The environment the program runs with: where the recorder writes.
  Environment Env() const { return {{"RECORDER_LOG", site.log()}}; }

  // Writes `ombrel`, starts the service, waits for its start request to end,
  // stops it with SIGTERM and returns what it gave.
  Result StartThenStop(const std::string& ombrel);

  // Runs -CHECK on the site.
  Result Check() const;
  // Runs the program on the site with one argument ("-PAUSE"...).
  Result Run(const std::string& arg) const;
  // -STATUS -JSON, parsed; `status` gets its exit status.
  json::Value Status(int* status = nullptr) const;
  // Waits until the service's record says `requests` requests have ended
  // (the first: its start), as -STATUS tells it; false after `limit`.
  bool Served(int requests = 1, std::chrono::milliseconds limit = std::chrono::seconds(20)) const;
  // The entry of `name` and `pass` in a -STATUS -JSON answer (a null value
  // when there is none).
  static const json::Value& Database(const json::Value& status, const std::string& name,
                                     const std::string& pass);

  // The requests the service began, in order, from its log.
  static std::vector<std::string> Begun(const std::string& err);

  Site site;
};

}  // namespace ostrim::tests
