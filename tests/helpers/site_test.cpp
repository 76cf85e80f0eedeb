#include "helpers/site_test.h"

#include <signal.h>

#include <chrono>
#include <thread>

namespace ostrim::tests {

using namespace std::chrono_literals;

Result SiteTest::StartThenStop(const std::string& ombrel) {
  site.Ombrel(ombrel);
  Background service(site.program(), {}, Env());
  EXPECT_TRUE(Served()) << service.Err();
  service.Signal(SIGTERM);
  return service.Finish();
}

Result SiteTest::Check() const {
  return RunProgram(site.program(), {"-check"}, Env());
}

Result SiteTest::Run(const std::string& arg) const {
  return RunProgram(site.program(), {arg}, Env());
}

json::Value SiteTest::Status(int* status) const {
  const Result r = RunProgram(site.program(), {"-STATUS", "-JSON"}, Env());
  if (status != nullptr) *status = r.status;
  return json::Parse(r.out);
}

bool SiteTest::Served(int requests, std::chrono::milliseconds limit) const {
  const auto until = std::chrono::steady_clock::now() + limit;
  do {
    // A service that cannot answer yet (busy starting with few descriptors
    // left, say) is asked again.
    const Result r = RunProgram(site.program(), {"-STATUS", "-JSON"}, Env());
    if ((r.status == 0 || r.status == 4) && json::Parse(r.out)["requests"].number >= requests) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  } while (std::chrono::steady_clock::now() < until);
  return false;
}

const json::Value& SiteTest::Database(const json::Value& status, const std::string& name,
                                      const std::string& pass) {
  static const json::Value none;
  for (const json::Value& d : status["databases"].items) {
    if (d["name"].text == name && d["pass"].text == pass) return d;
  }
  return none;
}

std::vector<std::string> SiteTest::Begun(const std::string& err) {
  std::vector<std::string> begun;
  for (std::size_t pos = err.find("request "); pos != std::string::npos;
       pos = err.find("request ", pos + 1)) {
    std::size_t colon = err.find(": begins", pos);
    std::size_t eol = err.find('\n', pos);
    if (colon < eol) begun.push_back(err.substr(pos + 8, colon - pos - 8));
  }
  return begun;
}

}  // namespace ostrim::tests
