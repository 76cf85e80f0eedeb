// The control channel of a serving instance, and its one-instance guard: how
// `ostrim -PAUSE`, `-CONTINUE` and `-STATUS` reach the service of the same
// site, and how a second instance learns that the site is served already.
//
// Where they live: a runtime directory of the service's user, which no other
// user can write:
//   root         /run/ostrim (made by the service: owned by root, mode 0711:
//                others may look up a name in it, never list or create one)
//   another user $XDG_RUNTIME_DIR/ostrim when that is the user's private
//                directory (systemd's /run/user/UID, as another user looks
//                for it), else /tmp/ostrim-UID (made 0700); when that is
//                not the user's own private directory (another user made
//                it first), the user's instance refuses to serve: never
//                without its guard
// and in it, per site, two names made of the program directory's identity,
// its device and inode ("803-1a2b3c"), never its path: the same site reached
// through a symlink, a bind mount, a renamed path or from another network
// namespace is the same site.
//   DEV-INO.lock  the guard: held with flock by the serving instance for its
//                 whole life (the kernel lets it go however the process ends,
//                 kill -9 included: no stale lock), holding its pid
//   DEV-INO.sock  the control socket, mode 0600
//   DEV-INO.state the engines the serving instance watches, mode 0600, so
//                 that the next instance adopts those still running when
//                 this one dies (state_file.h)
// Nothing needs the program directory to be writable.
//
// Who can reach it, and why no one else can take it: only the directory's
// owner can create, replace or remove names in it, so no other user can
// bind the socket first, plant a lock file, or hold the lock (a lock needs
// the file open, and the file is 0600). The socket is 0600, so only its
// owner (and root) can connect; a root service's is 0660 and of the group
// adm (kStatusGroup), whose members may ask for the status (STATUS) and for
// nothing else. The kernel's peer credentials (SO_PEERCRED, SO_PEERGROUPS)
// are checked besides, by both sides: the service answers only root, its
// own user and, for the status, the group's members; and a client talks
// only to a socket held by the directory's owner.
//
// Nothing can block the service: every socket is non-blocking; a client
// must send its word within kTimeToSend and read its answer within
// kTimeToRead, or it is dropped; at most kMostClients at once; refusals are
// logged at most once a minute per user, with a count; when no descriptor is
// left to accept with, the listener rests a second instead of spinning. The
// operator's client connects and reads with time limits too, and gives up
// with a clear message when the service does not answer.
//
// The protocol: the client sends one line: "STATUS", or the word of a
// request of the request table ("PAUSE", "CONTINUE"). STATUS is answered at
// once with the service record's text (record.h). A request is queued with
// the requests that come from signals, in arrival order; until it has run the
// client gets "waiting" lines every kKeepAlive, then the record's text, which
// tells how the request went; a request that will not run (the service is
// stopping) is answered "refused<TAB>why". The server closes the connection
// after answering. A client that hangs up while its request waits in the
// queue has given up: the request is dropped.
//
// Linux: SO_PEERCRED, accept4, flock.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/posix.h"
#include "requests.h"

namespace ostrim::platform::posix {

// Where the channel and the guard of the site in `directory` are, for the
// user `uid`.
struct SitePaths {
  std::string runtime;  // the user's runtime directory for ostrim
  std::string lock;
  std::string socket;
  std::string state;  // DEV-INO.state: the engines it watches (state_file.h)
};
// Throws Error when the directory is not there, or no runtime directory can
// be had safely (`make`: it is created when missing).
SitePaths PathsOf(const std::string& directory, uid_t uid, bool make);

// What both sides of the channel use: the address of the socket at `path`
// (throws Error when the path is too long for one), and the credentials of
// the peer of a connected socket, as the kernel gives them.
struct SocketAddress {
  struct sockaddr_un addr {};
  socklen_t len = 0;
};
SocketAddress AddressOf(const std::string& path);
std::optional<struct ucred> PeerOf(int fd);

// A command read from a client: what it asks, and who it is.
struct ControlCommand {
  int client = -1;                    // the connection's id, to answer it
  const RequestKind* kind = nullptr;  // the request it asks for; null: STATUS
  pid_t pid = 0;
  uid_t uid = 0;
};

class ControlServer {
 public:
  ControlServer() = default;
  ControlServer(const ControlServer&) = delete;
  ControlServer& operator=(const ControlServer&) = delete;
  // Lets the guard go, and removes the socket and the lock file first.
  ~ControlServer();

  // Takes the site's guard and opens its control socket. Returns nothing
  // when the site is this instance's now; else the pid of the instance that
  // serves it (and nothing is opened). Throws Error when it cannot be done
  // safely.
  std::optional<pid_t> Open(const std::string& directory);

  bool active() const { return static_cast<bool>(listener_); }
  const SitePaths& paths() const { return paths_; }

  // For the event loop: the descriptors to wait on, and how long until the
  // channel has something to do on its own (a client's deadline, a keep-
  // alive, the listener's rest; -1: nothing).
  void AddPollFds(std::vector<struct pollfd>& fds);
  int DueInMs() const;
  // Takes new connections (when the listener in `fds`, as poll left them, is
  // ready) and what the clients sent, sends what waits to be sent, drops
  // clients past their deadlines; returns the commands complete.
  std::vector<ControlCommand> Take(const std::vector<struct pollfd>& fds);

  // Answers client `client` with `text`, whatever its size: what the socket
  // cannot take at once is sent as the client reads it; then the connection
  // is closed.
  void Answer(int client, const std::string& text);
  // Answers that its request will not run, and why ("refused<TAB>why").
  void Refuse(int client, const std::string& why);
  // The clients whose request waits in the queue and who hung up since the
  // last call: their operator gave up (a `timeout` ended them, say).
  std::vector<int> TakeAbandoned();

  static constexpr std::size_t kMostClients = 32;
  static constexpr std::chrono::seconds kTimeToSend{5};
  static constexpr std::chrono::seconds kTimeToRead{30};
  static constexpr std::chrono::seconds kKeepAlive{5};
  static constexpr std::chrono::seconds kListenerRest{1};
  static constexpr std::chrono::seconds kRefusalWindow{60};
  // Its members may ask a root service for its status, and nothing else:
  // Debian's adm, whose members read the system's logs already.
  static constexpr const char* kStatusGroup = "adm";

 private:
  using Clock = std::chrono::steady_clock;
  struct Client {
    int id;
    Fd fd;
    std::string received;
    Clock::time_point deadline;  // to send its word, read its answer; its next keep-alive
    pid_t pid;
    uid_t uid;
    bool status_only;  // a member of kStatusGroup, neither root nor the service's user
    enum class Phase { kReading, kQueued, kAnswering } phase = Phase::kReading;
    std::string outgoing;  // what is left of its answer
  };
  // Sends what it can of `client`'s answer; false when it is done with (all
  // sent, or the client is gone).
  static bool Flush(Client& client);
  void Accept(Clock::time_point now);
  void Refused(uid_t uid, pid_t pid, Clock::time_point now);

  SitePaths paths_;
  Fd guard_;
  Fd listener_;
  std::vector<Client> clients_;
  std::vector<int> abandoned_;
  int next_id_ = 0;
  Clock::time_point listener_rests_until_{};
  std::size_t listener_at_ = static_cast<std::size_t>(-1);  // its place in the poll set
  bool said_no_descriptors_ = false;
  // Refusals by user: when the minute began, how many since, whether the
  // first was said.
  struct Refusals {
    Clock::time_point since;
    long count = 0;
  };
  std::map<uid_t, Refusals> refusals_;
  std::optional<gid_t> status_group_;  // kStatusGroup's id, when the socket is open to it
};

// The client's side (control_client.cpp): sends `verb` ("STATUS", or a
// request's word) to the service of the site in `directory`, and returns its
// whole answer.
struct ControlAnswer {
  enum class Outcome { kAnswered, kNoService, kDenied, kFailed } outcome = Outcome::kFailed;
  std::string text;  // the answer, or why there is none
};
ControlAnswer AskService(const std::string& directory, const std::string& verb);

}  // namespace ostrim::platform::posix
