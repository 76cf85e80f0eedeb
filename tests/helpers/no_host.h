// A service host that is never connected, for tests and benchmarks of the
// form's own logic: its children go through a plain watch, its record is
// kept, its progress reports are remembered.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/children.h"
#include "platform/platform.h"
#include "record.h"

namespace ostrim::tests {

class NoHost : public platform::ServiceHost {
 public:
  NoHost() { watch_->SetObserver(&record_); }
  std::string Install() override { return "installed"; }
  std::string Uninstall() override { return "uninstalled"; }
  void SetControlsAccepted(std::int16_t) override {}
  void StartService() override {}
  int RunEventLoop(ServiceEvents&) override { return 0; }
  platform::ChildWatch& Children() override { return *watch_; }
  ServiceRecord& Record() override { return record_; }
  void ReportProgress(std::string_view status, std::chrono::milliseconds) override {
    progress.emplace_back(status);
  }
  void SetStopTimeLimit(std::optional<std::chrono::milliseconds> limit) override {
    stop_limit = limit;
  }
  ControlReply Control(const RequestKind&) override { return {}; }
  ControlReply Status(StatusForm) override { return {}; }

  std::vector<std::string> progress;  // every status reported, in order
  std::optional<std::chrono::milliseconds> stop_limit;

 private:
  ServiceRecord record_;
  std::unique_ptr<platform::ChildWatch> watch_ = platform::CreateChildWatch();
};

}  // namespace ostrim::tests
