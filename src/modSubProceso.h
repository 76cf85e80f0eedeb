// The process launcher: runs one command line as a hidden child and waits
// for it.
//
// The command line is one text, as Windows' CreateProcessA takes it: the
// program is taken from its start (a quoted name, or the text up to a blank),
// the rest are the program's arguments. The child gets no console or window,
// runs at normal priority, inherits the service's environment (with the
// variables the start sequence set) and current directory, and inherits no
// other handle or descriptor.
//
// A launch that fails is logged with the program and the reason, and the
// launcher returns normally: the calling sequence goes on with its next
// database. Every launch is logged with its pid, and every end with the exit
// status (or the signal) and how long the child ran.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/children.h"
#include "readiness.h"

namespace ostrim::modSubProceso {

// Both launch through `hijos`, the service's watch of its children: while
// they wait, requests that arrive are queued and children that end are
// reaped, and the watch tells the service record what became of the launch.
// `etiqueta` names the child in every log line about it and in the record
// (the database and the pass: "ventas, 4GL").

// Launches `comando` and waits up to 2500 ms for it to end. A child still
// running then (a database engine) is left running; it is reaped and its end
// logged whenever it ends.
void EjecutaProceso(const std::string& comando, platform::ChildWatch& hijos,
                    const LaunchTag& etiqueta = {});

// Launches `comando` and waits until it ends, however long that takes,
// logging "still waiting" (naming the database) at growing intervals.
void EjecutaProcesoEspera(const std::string& comando, platform::ChildWatch& hijos,
                          const LaunchTag& etiqueta = {});

// --- Several launches at once, every wait in the one event loop.

// One launch of a sequence.
struct Paso {
  std::string comando;
  LaunchTag etiqueta;
};
// One database's launches, run in order: each begins when the one before it
// has ended or its wait is over.
using Trabajo = std::vector<Paso>;

// --- Whether a database is up

// One run of a database's check: its port first (a connection accepted
// within 2 s), then its check line, launched as any command line is (its
// output to the database's own stream, never through a shell) and given at
// most 10 s; one still running then is ended, it and its process group, and
// counts as not up. A run destroyed while its check line runs ends it so.
class Prueba {
 public:
  using Clock = std::chrono::steady_clock;
  Prueba(const Chequeo& chequeo, platform::ChildWatch& hijos);
  ~Prueba();
  Prueba(const Prueba&) = delete;
  Prueba& operator=(const Prueba&) = delete;

  // Its outcome once known: empty when up, else why not ("exit status 1",
  // "connection refused"); none while its check line runs within its limit.
  std::optional<std::string> Resultado();
  // Whether the outcome is known without waiting.
  bool Sabido() const { return resultado_.has_value(); }
  // The check line's process while it runs (to wait for), or null.
  platform::Process* Proceso() { return resultado_ || !proceso_ ? nullptr : &*proceso_; }
  // When to look at it again: soon while its port is being connected to
  // (no wait wakes for that), else when its check line's time is up.
  Clock::time_point Proxima() const;

 private:
  // Its port accepted: its check line next, or it is up.
  void LanzaLinea();

  const Chequeo& chequeo_;
  platform::ChildWatch& hijos_;
  std::optional<platform::ConnectAttempt> conexion_;
  std::optional<platform::Process> proceso_;
  Clock::time_point limite_;
  std::optional<std::string> resultado_;
};

// Runs each check once, side by side, and gives each outcome, in order
// (empty: up).
std::vector<std::string> PruebaTodos(const std::vector<const Chequeo*>& chequeos,
                                     platform::ChildWatch& hijos);

// What became of a checked database at a start.
struct Listo {
  enum class Como {
    kYa,      // up before its first launch: none of its launches was run
    kArriba,  // up, `tras` after its first launch
    kNo,      // given up: `detalle` says why (the last check's outcome)
  };
  Como como;
  std::chrono::milliseconds tras{0};
  std::string detalle;
};

// How EjecutaTrabajos runs its jobs.
struct Plan {
  // How long each launch is waited for; none: until it ends.
  std::optional<std::chrono::milliseconds> espera;
  // A launch still running when its wait is over: false, it is left
  // running, watched (an engine); true, it goes on, watched, the log names
  // its database at warning, and the sequence waits for it again once every
  // job has begun (a stop command).
  bool esperar_al_final = false;
  // How many jobs run at once; jobs begin in their order.
  int simultaneas = 1;
  // When the whole sequence must end (none: no limit): what still runs then
  // is left running. Once no more than `reserva` is left before it (or it
  // has passed), every job not begun yet begins at once, side by side, so
  // that each gets its launch within the limit, whatever came before it.
  std::optional<std::chrono::steady_clock::time_point> limite;
  std::chrono::milliseconds reserva{0};
  // Called before each launch, with the job and step, and the jobs in
  // progress (indexes, in the order they began).
  std::function<void(std::size_t trabajo, std::size_t paso,
                     const std::vector<std::size_t>& en_curso)>
      al_lanzar;
  // Called about every 5 s while the sequence waits, with the time since it
  // began, and the jobs in progress.
  std::function<void(std::chrono::milliseconds, const std::vector<std::size_t>& en_curso)>
      al_esperar;

  // Whether a database is up (none: no launch is checked, as ever). The
  // check of a launch's database (null: none); a database's launches are
  // those with the same check. Its check is tried right before its first
  // launch: when it passes, none of its launches runs. After each launch it
  // is tried at once, then after 100 ms, the gap doubling to 1 s, and the
  // launch's wait ends as soon as it passes. After its last launch, the job
  // keeps its place until the check passes, or `espera_listo` from its first
  // launch has passed, or that launch ends with an error (a non-zero status
  // or a signal: the engine died).
  std::function<const Chequeo*(const LaunchTag&)> chequeo;
  std::chrono::milliseconds espera_listo{60000};
  // Told once of each checked database whose turn came.
  std::function<void(const Chequeo&, const Listo&)> al_listo;
};

// What a sequence did not finish when its limit passed.
struct Inconcluso {
  struct Sigue {
    LaunchTag etiqueta;
    std::int64_t pid;
  };
  std::vector<Sigue> siguen;             // launches still running, left running
  std::vector<std::size_t> sin_empezar;  // jobs not begun
};

// Runs `trabajos` as `plan` says: at most `plan.simultaneas` at once,
// beginning them in order, each one's launches in order; every launch is
// logged with its pid, waited for, and its end or its being left running
// logged. EjecutaProceso and EjecutaProcesoEspera are one launch of it.
Inconcluso EjecutaTrabajos(const std::vector<Trabajo>& trabajos, platform::ChildWatch& hijos,
                           const Plan& plan);

}  // namespace ostrim::modSubProceso
