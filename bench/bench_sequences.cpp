// In-process figures: what the start sequence adds to the launches
// themselves, and what one profile lookup costs as the profile grows.
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Torvale.h"
#include "helpers/no_host.h"
#include "modINI.h"

extern char** environ;

namespace {

using ostrim::tests::NoHost;

// A temporary site with `n` databases, each with an SQL and a 4GL argument,
// whose start and stop commands end at once.
class BenchSite {
 public:
  explicit BenchSite(int n, const std::string& command = "/bin/true") {
    std::string pattern = (std::filesystem::temp_directory_path() / "ostrim-bench-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
    std::ofstream ini(path_ + "/Ombrel.ini");
    ini << "[arranque]\n1=SET BENCH_A=1\n2=BENCH_B=2\n[start]\n1=" << command
        << "\n[stop]\n1=" << command << "\n[basesSQL]\n";
    for (int i = 0; i < n; ++i) ini << "base" << i << "=sql" << i << " -q\n";
    ini << "[bases4GL]\n";
    for (int i = 0; i < n; ++i) ini << "base" << i << "=b" << i << " -s 5\n";
  }
  ~BenchSite() { std::filesystem::remove_all(path_); }
  const std::string& path() const { return path_; }
  std::string ini() const { return path_ + "/Ombrel.ini"; }

 private:
  std::string path_;
};

// The bare reference: posix_spawn and wait the same command lines, already
// split, with nothing else around them.
void BareSpawnLoop(std::vector<std::vector<std::string>>& lines) {
  for (auto& line : lines) {
    std::vector<char*> argv;
    for (auto& arg : line) argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) abort();
    int status;
    waitpid(pid, &status, 0);
  }
}

double MillisecondsOf(const std::function<void()>& work) {
  auto begin = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin)
      .count();
}

// The start sequence as a request runs it (list, environment lines, 2N
// launches of /bin/true, with lookups, splitting, logging and bookkeeping)
// against the bare loop over the same 2N command lines. Each iteration runs
// both, one after the other, so that drift on the machine touches both
// alike; "ratio" is sequence time over bare time.
void BM_LaunchOverhead(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  BenchSite site(n);
  ostrim::Torvale form(std::make_unique<NoHost>());
  form.ConexionActiva(site.path());
  std::vector<std::vector<std::string>> lines;
  for (int i = 0; i < n; ++i) lines.push_back({"/bin/true", "sql" + std::to_string(i), "-q", "-z"});
  for (int i = 0; i < n; ++i) {
    lines.push_back({"/bin/true", "b" + std::to_string(i), "-s", "5", "-z"});
  }
  double bare = 0, sequence = 0;
  for (auto _ : state) {
    bare += MillisecondsOf([&] { BareSpawnLoop(lines); });
    sequence += MillisecondsOf([&] { form.ArrancaBases(); });
  }
  state.counters["bare_ms"] = bare / static_cast<double>(state.iterations());
  state.counters["sequence_ms"] = sequence / static_cast<double>(state.iterations());
  state.counters["ratio"] = sequence / bare;
  state.counters["launches"] = 2.0 * n;
}

// One value lookup in a profile of `n` databases: must not grow with n.
void BM_LookupValue(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  BenchSite site(n);
  const std::string file = site.ini();
  const std::string key = "base" + std::to_string(n / 2);
  for (auto _ : state) {
    benchmark::DoNotOptimize(ostrim::modINI::LeeValorINI("bases4GL", key, "", file));
  }
}

// Rebuilding the list of `n` databases, as every request does.
void BM_RebuildList(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  BenchSite site(n);
  ostrim::Torvale form(std::make_unique<NoHost>());
  form.ConexionActiva(site.path());
  for (auto _ : state) form.LecturaBases();
}

BENCHMARK(BM_LaunchOverhead)
    ->Arg(1000)
    ->Arg(10000)
    ->Iterations(1)
    ->Repetitions(5)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_LookupValue)
    ->Arg(10)
    ->Arg(1000)
    ->Arg(32767)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_RebuildList)
    ->Arg(10)
    ->Arg(1000)
    ->Arg(32767)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
