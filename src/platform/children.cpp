#include "platform/children.h"

#include "log.h"

namespace ostrim::platform {

using std::chrono::milliseconds;

std::string LabelPrefix(const std::string& label) {
  return label.empty() ? std::string() : label + ": ";
}

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

std::optional<ProcessEnd> Process::Wait(std::optional<milliseconds> limit, milliseconds tick,
                                        const std::function<void(milliseconds)>& on_tick) {
  if (end_) return end_;
  return watch_->Wait(*this, limit, tick, on_tick);
}

std::vector<std::pair<std::int64_t, const ChildWatch::Child*>> ChildWatch::WatchedChildren() const {
  std::vector<std::pair<std::int64_t, const Child*>> children;
  for (const auto& [pid, impl] : watched_) {
    if (auto it = children_.find(pid); it != children_.end())
      children.emplace_back(pid, &it->second);
  }
  return children;
}

void ChildWatch::Launched(std::int64_t pid, Child child) {
  child.started = Clock::now();
  children_[pid] = std::move(child);
}

std::optional<ProcessEnd> ChildWatch::Wait(Process& process, std::optional<milliseconds> limit,
                                           milliseconds tick,
                                           const std::function<void(milliseconds)>& on_tick) {
  const std::int64_t pid = process.impl_->pid;
  const Clock::time_point begun = Clock::now();
  const Clock::time_point deadline = limit ? begun + *limit : Clock::time_point::max();
  Clock::time_point next_tick = on_tick ? begun + tick : Clock::time_point::max();
  for (;;) {
    if (auto it = ended_.find(pid); it != ended_.end()) {
      process.end_ = it->second;
      ended_.erase(it);
      children_.erase(pid);
      return process.end_;
    }
    const Clock::time_point now = Clock::now();
    if (limit && now >= deadline) return std::nullopt;
    if (now >= next_tick) {
      auto started = children_.count(pid) ? children_[pid].started : begun;
      on_tick(std::chrono::duration_cast<milliseconds>(now - started));
      next_tick = now + tick;
      continue;
    }
    const Clock::time_point until = std::min(deadline, next_tick);
    int timeout_ms = -1;
    if (until != Clock::time_point::max()) {
      // Rounded up, so that a wake-up never comes a little before its time.
      auto left = std::chrono::ceil<milliseconds>(until - now).count();
      timeout_ms = static_cast<int>(std::min<long long>(left, 1 << 30));
    }
    WaitForEvent(process, timeout_ms);
  }
}

void ChildWatch::Ended(std::int64_t pid, ProcessEnd end) {
  auto it = children_.find(pid);
  if (it == children_.end()) {
    log::Debug("pid ", pid, " ended, not launched by this watch: ", DescribeEnd(end));
    return;
  }
  end.ran = std::chrono::duration_cast<milliseconds>(Clock::now() - it->second.started);
  if (it->second.watched) {
    LogEnd(pid, it->second, end);
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
    // It ended while nobody waited any more: its end is logged now.
    LogEnd(pid, it->second, e->second);
    ended_.erase(e);
    children_.erase(it);
    return;
  }
  log::Debug("pid ", pid, " keeps running; watched until it ends");
  it->second.watched = true;
  watched_[pid] = std::move(impl);
}

void ChildWatch::LogEnd(std::int64_t pid, const Child& child, const ProcessEnd& end) const {
  log::Info("pid ", pid, " ended: ", DescribeEnd(end), " after ",
            std::chrono::duration<double>(end.ran).count(), " s: ", LabelPrefix(child.label),
            log::Quoted(child.command));
}

}  // namespace ostrim::platform
