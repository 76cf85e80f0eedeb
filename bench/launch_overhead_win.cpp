// The launch overhead of the Windows build: N launches through
// EjecutaProceso (CreateProcessA with the service's settings, the wait, the
// log lines) against a bare loop of CreateProcessA, WaitForSingleObject and
// CloseHandle over the same command line, alternating, 5 rounds; prints the
// medians and their ratio. Run under Wine here, so that a regression shows;
// the figure is Wine's, not Windows'.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "modSubProceso.h"

namespace {

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

template <typename Work>
double Milliseconds(Work&& work) {
  auto begin = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin)
      .count();
}

}  // namespace

int main(int argc, char** argv) {
  const int n = argc > 1 ? std::atoi(argv[1]) : 200;
  char self[MAX_PATH];
  GetModuleFileNameA(nullptr, self, MAX_PATH);
  std::string dir = self;
  dir.resize(dir.find_last_of("\\/"));
  const std::string line = "\"" + dir + "\\noop.exe\" base1 -s 5 -z";

  std::unique_ptr<ostrim::platform::ChildWatch> hijos = ostrim::platform::CreateChildWatch();
  std::vector<double> bare, launcher;
  for (int round = 0; round < 5; ++round) {
    bare.push_back(Milliseconds([&] {
      for (int i = 0; i < n; ++i) {
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info{};
        std::vector<char> text(line.begin(), line.end());
        text.push_back('\0');
        if (!CreateProcessA(nullptr, text.data(), nullptr, nullptr, FALSE,
                            CREATE_NO_WINDOW | NORMAL_PRIORITY_CLASS, nullptr, nullptr, &startup,
                            &info)) {
          std::abort();
        }
        WaitForSingleObject(info.hProcess, INFINITE);
        CloseHandle(info.hProcess);
        CloseHandle(info.hThread);
      }
    }));
    launcher.push_back(Milliseconds([&] {
      for (int i = 0; i < n; ++i) ostrim::modSubProceso::EjecutaProceso(line, *hijos);
    }));
  }
  std::printf(
      "windows launch overhead, %d launches: bare %.1f ms, EjecutaProceso %.1f ms, ratio %.3f\n", n,
      Median(bare), Median(launcher), Median(launcher) / Median(bare));
  return 0;
}
