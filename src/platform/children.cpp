#include "platform/children.h"

#include <algorithm>

#include "log.h"

namespace ostrim::platform {

using std::chrono::milliseconds;

Process::Process(std::unique_ptr<Impl> impl, ChildWatch& watch)
    : impl_(std::move(impl)), watch_(&watch) {}

Process::Process(Process&& other) noexcept
    : impl_(std::move(other.impl_)), watch_(other.watch_), end_(std::move(other.end_)) {}

Process::~Process() {
  if (!impl_ || end_) return;
  const std::int64_t pid = impl_->pid;
  watch_->Adopt(pid, std::move(impl_));
}

std::int64_t Process::Id() const {
  return impl_->pid;
}

std::optional<ProcessEnd> Process::Wait(std::optional<milliseconds> limit) {
  if (end_) return end_;
  return watch_->Wait(*this, limit);
}

std::vector<std::pair<std::int64_t, const ChildWatch::Child*>> ChildWatch::WatchedChildren() const {
  std::vector<std::pair<std::int64_t, const Child*>> children;
  for (const auto& [pid, impl] : watched_) {
    if (auto it = children_.find(pid); it != children_.end())
      children.emplace_back(pid, &it->second);
  }
  return children;
}

std::string ChildWatch::IdentityOf(std::int64_t pid) {
  auto it = children_.find(pid);
  if (it == children_.end() || ended_.count(pid) != 0) return {};
  if (it->second.identity.empty()) it->second.identity = ProcessIdentity(pid);
  return it->second.identity;
}

Process ChildWatch::Spawn(const std::string& command_line, LaunchTag tag) {
  return Launch(command_line, *this, std::move(tag));
}

void ChildWatch::Launched(std::int64_t pid, Child child) {
  child.started = Now();
  if (observer_ != nullptr) observer_->Launched(child.tag, pid, child.command);
  children_[pid] = std::move(child);
}

void ChildWatch::AdoptRunning(std::int64_t pid, Child child, milliseconds ran,
                              std::unique_ptr<Process::Impl> impl) {
  child.started = Now() - ran;
  child.watched = true;
  children_[pid] = std::move(child);
  watched_[pid] = std::move(impl);
}

void ChildWatch::LaunchFailed(const LaunchTag& tag, const std::string& command,
                              const std::string& why) {
  if (observer_ != nullptr) observer_->LaunchFailed(tag, command, why);
}

bool ChildWatch::Collect(Process& process) {
  const std::int64_t pid = process.impl_->pid;
  auto it = ended_.find(pid);
  if (it == ended_.end()) return false;
  process.end_ = it->second;
  ended_.erase(it);
  if (auto child = children_.find(pid); child != children_.end()) {
    if (observer_ != nullptr) observer_->Ended(child->second.tag, pid, *process.end_, true);
    children_.erase(child);
  }
  return true;
}

int ChildWatch::TimeoutUntil(Clock::time_point now, Clock::time_point until) {
  if (until == Clock::time_point::max()) return -1;
  // Rounded up, so that a wake-up never comes a little before its time.
  const auto left = std::chrono::ceil<milliseconds>(until - now).count();
  return static_cast<int>(std::clamp<long long>(left, 0, 1 << 30));
}

std::optional<ProcessEnd> ChildWatch::Wait(Process& process, std::optional<milliseconds> limit) {
  const Clock::time_point deadline = limit ? Now() + *limit : Clock::time_point::max();
  Process* const waited[] = {&process};
  for (;;) {
    if (Collect(process)) return process.end_;
    const Clock::time_point now = Now();
    if (limit && now >= deadline) return std::nullopt;
    WaitForEvent(waited, TimeoutUntil(now, deadline));
  }
}

Process* ChildWatch::WaitForAny(std::span<Process* const> children, Clock::time_point until) {
  for (;;) {
    for (Process* child : children) {
      if (child->end_ || Collect(*child)) return child;
    }
    const Clock::time_point now = Now();
    if (now >= until) return nullptr;
    WaitForEvent(children, TimeoutUntil(now, until));
  }
}

void ChildWatch::WaitWhile(const std::function<bool()>& condition, milliseconds limit) {
  const Clock::time_point deadline = Now() + limit;
  while (condition()) {
    const Clock::time_point now = Now();
    if (now >= deadline) return;
    WaitForEvent({}, TimeoutUntil(now, deadline));
  }
}

void ChildWatch::Ended(std::int64_t pid, ProcessEnd end) {
  auto it = children_.find(pid);
  if (it == children_.end()) {
    log::Debug("pid ", pid, " ended, not launched by this watch: ", DescribeEnd(end));
    return;
  }
  end.ran = std::chrono::duration_cast<milliseconds>(Now() - it->second.started);
  end.text = DescribeEnd(end);
  if (it->second.watched) {
    const bool unexpected =
        observer_ != nullptr && observer_->Ended(it->second.tag, pid, end, false);
    LogEnd(pid, it->second, end, unexpected);
    watched_.erase(pid);
    children_.erase(it);
  } else {
    ended_[pid] = end;  // for its Wait; the record stays until then
  }
}

void ChildWatch::Adopt(std::int64_t pid, std::unique_ptr<Process::Impl> impl) {
  auto it = children_.find(pid);
  if (it == children_.end()) return;
  if (auto e = ended_.find(pid); e != ended_.end()) {
    // It ended as its wait ended, before anyone asked: an end within the
    // wait, logged now.
    if (observer_ != nullptr) observer_->Ended(it->second.tag, pid, e->second, true);
    LogEnd(pid, it->second, e->second, false);
    ended_.erase(e);
    children_.erase(it);
    return;
  }
  log::Debug("pid ", pid, " keeps running; watched until it ends");
  it->second.watched = true;
  if (observer_ != nullptr) observer_->LeftRunning(it->second.tag, pid);
  watched_[pid] = std::move(impl);
}

void ChildWatch::LogEnd(std::int64_t pid, const Child& child, const ProcessEnd& end,
                        bool unexpected) const {
  // An engine that nobody stopped: a warning when it ended well, an error
  // when by a signal or with another status.
  const bool well = !end.by_signal && end.value == 0;
  const log::Level level = !unexpected ? log::Level::kInfo
                           : well      ? log::Level::kWarning
                                       : log::Level::kError;
  log::Event(log::Kind::kChildEnded, level, "pid ", pid, " ended: ", DescribeEnd(end), " after ",
             std::chrono::duration<double>(end.ran).count(), " s: ", TagPrefix(child.tag),
             log::Quoted(child.command), unexpected ? " (while the service was running)" : "");
}

}  // namespace ostrim::platform
