// recorder.exe: the Windows stand-in for the start and stop tools of the
// end-to-end test under Wine.
//
//   recorder.exe ARG...
//
// Appends "begin <TAB> ms <TAB> pid <TAB> arg1|arg2|... <TAB> T_A=...;T_B=...
// <TAB> exe <TAB> argv0" (the program file it runs as, and its argv[0]) to
// the file named by %T_LOG% (set by the site's [arranque] lines, so it also
// shows that the children see them) when it starts, and
// "end <TAB> ms <TAB> pid" when it ends. "@sleep=MS" makes it run that long,
// "@exit=N" end with exit status N.
// It also says "recorder ARGS" on its standard output and "recorder err" on
// its standard error, where its database's output goes.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

extern char** _environ;

namespace {

void Append(const std::string& line) {
  const char* path = std::getenv("T_LOG");
  if (path == nullptr) return;
  // One write, opened for appending only: each line lands whole at the
  // end, whatever other recorders write at once (fopen's "ab" seeks to the
  // end and then writes, and two of them tore each other's lines).
  HANDLE f = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) return;
  const std::string text = line + "\n";
  DWORD written = 0;
  WriteFile(f, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  CloseHandle(f);
}

}  // namespace

int main(int argc, char** argv) {
  long sleep_ms = 0;
  int status = 0;
  std::string args;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) args += '|';
    args += argv[i];
    if (std::strncmp(argv[i], "@sleep=", 7) == 0) sleep_ms = std::atol(argv[i] + 7);
    if (std::strncmp(argv[i], "@exit=", 6) == 0) status = std::atoi(argv[i] + 6);
  }
  std::string env;
  for (char** e = _environ; *e != nullptr; ++e) {
    if (std::strncmp(*e, "T_", 2) == 0 && std::strncmp(*e, "T_LOG=", 6) != 0) {
      if (!env.empty()) env += ';';
      env += *e;
    }
  }
  const std::string pid = std::to_string(GetCurrentProcessId());
  char exe[MAX_PATH + 1] = {};
  GetModuleFileNameA(nullptr, exe, MAX_PATH);
  Append("begin\t" + std::to_string(GetTickCount64()) + "\t" + pid + "\t" + args + "\t" + env +
         "\t" + exe + "\t" + argv[0]);
  std::printf("recorder %s\n", args.c_str());
  std::fflush(stdout);
  std::fprintf(stderr, "recorder err\n");
  if (sleep_ms > 0) Sleep(static_cast<DWORD>(sleep_ms));
  Append("end\t" + std::to_string(GetTickCount64()) + "\t" + pid);
  return status;
}
