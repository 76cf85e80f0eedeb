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
// "@exit=N" end with exit status N, "@exists=FILE" end with status 0 when
// FILE exists and 1 when not (a check), "@listen=PORT:FILE" accept
// connections on 127.0.0.1:PORT once FILE exists (an engine that takes
// that long to be up).
// It also says "recorder ARGS" on its standard output and "recorder err" on
// its standard error, where its database's output goes.
// Winsock first: windows.h would bring in its older header otherwise.
#include <winsock2.h>

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

// Accepts connections on 127.0.0.1:`port` once `gate` exists, closing each
// at once, for as long as the process lives.
struct Escucha {
  int port;
  std::string gate;
};
// A function of a library loaded at run time, as its own type (through the
// generic function type, which any function pointer converts to).
template <typename F>
F Get(HMODULE library, const char* name) {
  return reinterpret_cast<F>(reinterpret_cast<void (*)()>(GetProcAddress(library, name)));
}

DWORD WINAPI Listen(LPVOID parameter) {
  const Escucha* e = static_cast<const Escucha*>(parameter);
  while (GetFileAttributesA(e->gate.c_str()) == INVALID_FILE_ATTRIBUTES) Sleep(10);
  // Winsock loaded only here: every other recorder starts as it always did,
  // without it.
  HMODULE ws2 = LoadLibraryA("ws2_32.dll");
  if (ws2 == nullptr) return 1;
  auto startup = Get<int(WSAAPI*)(WORD, LPWSADATA)>(ws2, "WSAStartup");
  auto make = Get<SOCKET(WSAAPI*)(int, int, int)>(ws2, "socket");
  auto bind_to = Get<int(WSAAPI*)(SOCKET, const sockaddr*, int)>(ws2, "bind");
  auto listen_on = Get<int(WSAAPI*)(SOCKET, int)>(ws2, "listen");
  auto take = Get<SOCKET(WSAAPI*)(SOCKET, sockaddr*, int*)>(ws2, "accept");
  auto close = Get<int(WSAAPI*)(SOCKET)>(ws2, "closesocket");
  WSADATA data;
  startup(MAKEWORD(2, 2), &data);
  SOCKET s = make(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  // Network byte order: the port's high byte first; 127.0.0.1.
  address.sin_port = static_cast<u_short>(((e->port & 0xff) << 8) | ((e->port >> 8) & 0xff));
  address.sin_addr.s_addr = 0x0100007f;
  if (bind_to(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen_on(s, 64) != 0) {
    Append("listen-failed\t" + std::to_string(e->port));
    return 1;
  }
  Append("listening\t" + std::to_string(GetTickCount64()) + "\t" + std::to_string(e->port));
  for (;;) {
    SOCKET c = take(s, nullptr, nullptr);
    if (c != INVALID_SOCKET) close(c);
  }
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
    if (std::strncmp(argv[i], "@exists=", 8) == 0) {
      status = GetFileAttributesA(argv[i] + 8) == INVALID_FILE_ATTRIBUTES ? 1 : 0;
    }
    if (std::strncmp(argv[i], "@listen=", 8) == 0) {
      const char* colon = std::strchr(argv[i] + 8, ':');
      auto* e = new Escucha{std::atoi(argv[i] + 8), colon != nullptr ? colon + 1 : ""};
      CreateThread(nullptr, 0, Listen, e, 0, nullptr);
    }
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
