// The control channel of a serving instance: how `ostrim -PAUSE`,
// `-CONTINUE` and `-STATUS` reach the service of the same site, and how a
// second instance learns that the site is served already.
//
// Why an abstract Unix socket, named after the program's directory
// ("@ostrim/" and a hash of the directory):
// - Binding the name is the one-instance guard: the kernel gives it to one
//   socket at a time, and takes it back when the process ends, however it
//   ends (kill -9 included), so no stale lock can outlive a crash; and it
//   needs no writable file or directory.
// - Anyone on the machine can connect to an abstract socket, so the peer's
//   credentials (SO_PEERCRED, from the kernel, never from what the peer
//   sends) decide: only root and the service's own user may use it. The
//   client checks the server's credentials the same way, so that it never
//   takes another user's socket for the service.
//
// The protocol: the client sends one line: "STATUS", or the word of a
// request of the request table ("PAUSE", "CONTINUE"). STATUS is answered at
// once with the service record's text (record.h). A request is queued with
// the requests that come from signals, in arrival order; when it has run,
// the answer is the record's text, which tells how the request went; a
// request that will not run (the service is stopping) is answered at once,
// "refused<TAB>why". The server closes the connection after answering. A
// client that hangs up while its request waits in the queue has given up:
// the request is dropped.
//
// Linux: abstract socket names, SO_PEERCRED and accept4.
#pragma once

#include <poll.h>
#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/posix.h"
#include "platform/requests.h"

namespace ostrim::platform::posix {

// The abstract socket name of the site in `directory` (without the leading
// NUL), and the same for the log ("@ostrim/...").
std::string ControlName(const std::string& directory);

// A command read from a client: what it asks, and who it is.
struct ControlCommand {
  int client = -1;                    // the connection's id, to answer it
  const RequestKind* kind = nullptr;  // the request it asks for; null: STATUS
  pid_t pid = 0;
  uid_t uid = 0;
};

class ControlServer {
 public:
  // What happened when the name was bound.
  struct Holder {
    pid_t pid = 0;         // the serving instance that holds the name
    bool trusted = false;  // it runs as root or as this user
  };

  // Binds the site's name and listens. Returns nothing when it is ours now;
  // else who holds it. Throws Error when no socket can be had at all.
  std::optional<Holder> Open(const std::string& directory);

  bool active() const { return static_cast<bool>(listener_); }

  // For the event loop: the descriptors to wait on, and what came.
  void AddPollFds(std::vector<struct pollfd>& fds) const;
  // Takes new connections and what the clients sent, and sends what waits
  // to be sent; returns the commands complete. Connections from other users
  // are answered "denied" and closed.
  std::vector<ControlCommand> Take();

  // Answers client `client` with `text`, whatever its size: what the socket
  // cannot take at once is sent as the client reads it; then the connection
  // is closed. A client that does not read it within kTimeToRead is dropped.
  void Answer(int client, const std::string& text);
  // Answers that its request will not run, and why ("refused<TAB>why").
  void Refuse(int client, const std::string& why);
  // The clients whose request waits in the queue and who hung up since the
  // last call: their operator gave up (a `timeout` ended them, say).
  std::vector<int> TakeAbandoned();

 private:
  struct Client {
    int id;
    Fd fd;
    std::string received;
    std::chrono::steady_clock::time_point deadline;
    pid_t pid;
    uid_t uid;
    enum class Phase { kReading, kQueued, kAnswering } phase = Phase::kReading;
    std::string outgoing;  // what is left of its answer
  };
  // Sends what it can of `client`'s answer; false when it is done with (all
  // sent, or the client is gone).
  static bool Flush(Client& client);

  static constexpr std::size_t kMostClients = 32;
  static constexpr std::chrono::seconds kTimeToSend{5};
  static constexpr std::chrono::seconds kTimeToRead{30};

  Fd listener_;
  std::vector<Client> clients_;
  std::vector<int> abandoned_;
  int next_id_ = 0;
};

// The client's side: sends `verb` ("STATUS", or a request's word) to the
// service of the site in `directory`, and returns its whole answer.
struct ControlAnswer {
  enum class Outcome { kAnswered, kNoService, kDenied, kFailed } outcome = Outcome::kFailed;
  std::string text;  // the answer, or why there is none
};
ControlAnswer AskService(const std::string& directory, const std::string& verb);

}  // namespace ostrim::platform::posix
