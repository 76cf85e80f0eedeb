// The form: the service's one object.
//
// It holds the program directory, the path of the main profile file, the
// working list of databases (`List1`) and the service-host control
// (`NTService`), and carries the handlers through which the service manager's
// requests reach the start and stop sequences:
//
//   start, continue  ->  ArrancaBases: rebuild the list, apply the two
//                        environment lines, launch every start command line
//                        (the basesSQL pass, then the bases4GL pass), each
//                        given 2500 ms
//   pause, stop      ->  ParaBases: rebuild the list, run every stop command
//                        line to its end, one after another
//
// Everything is read afresh from the profile files at every request.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "ListBox.h"
#include "modOpciones.h"
#include "modSubProceso.h"
#include "platform/children.h"
#include "platform/platform.h"
#include "readiness.h"
#include "record.h"
#include "restarts.h"

namespace ostrim {

// `text` with its ASCII letters in capitals: names compare so, as the
// profiles' own names do.
std::string Upper(std::string text);

// Raised by variableEntorno for a line that cannot be applied.
class EnvironmentLineError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// An environment line made ready to apply: its "SET " prefix removed from
// `line`, and the name and value it sets. Empty for an empty line, which sets
// nothing. Throws EnvironmentLineError for a line without "=" or with an
// empty name.
//
// | Line                     | Sets                | `line` afterwards      |
// |--------------------------|---------------------|------------------------|
// | SET DBDIR=/datos         | DBDIR = /datos      | DBDIR=/datos           |
// | set DBDIR=/datos         | DBDIR = /datos      | DBDIR=/datos           |
// |   Set DBDIR=/datos       | DBDIR = /datos      | DBDIR=/datos           |
// | X=PRESET 1               | X = PRESET 1        | X=PRESET 1             |
// | A=B=C                    | A = B=C             | A=B=C                  |
// | A=                       | A = (empty)         | A=                     |
// | (empty)                  | nothing             | (empty)                |
// | DBDIR                    | error: no "="       |                        |
// | =x                       | error: empty name   |                        |
std::optional<std::pair<std::string, std::string>> PreparaLineaEntorno(std::string& line);

// PreparaLineaEntorno, and then whether the variable may be set for the
// commands a service with full privileges runs (a loader variable naming
// what another user could change is refused): what the start and -CHECK
// both apply. Throws EnvironmentLineError.
std::optional<std::pair<std::string, std::string>> LineaEntornoAplicable(std::string& line);

// The command lines, built in this one place for the sequences and -CHECK:
// start: the start command, a blank, the argument text and " -z".
std::string LineaArranque(const std::string& comando, const std::string& argumento);
// stop: the stop command, a blank, and the first word of the bases4GL value
// with the blank after it; a value without a blank is used whole. A check
// line ([listo]) is built the same way.
std::string LineaParada(const std::string& comando, const std::string& valor4GL);

// The checks of a request's databases: [listo]'s check command and each
// database's [puertos] value, read once for the request.
struct Chequeos {
  Chequeos() = default;
  Chequeos(Chequeos&&) = default;  // moved, its checks stay where they are
  Chequeos(const Chequeos&) = delete;

  std::deque<Chequeo> lista;  // in list order; their addresses never move
  // A value that cannot be used, or a key naming no database: one line each,
  // naming the file, section and key.
  std::vector<std::string> problemas;
  // Adds the check of a database.
  void Pon(Chequeo chequeo);
  // The check of `base` (any letter case), or null.
  const Chequeo* De(const std::string& base) const;

 private:
  std::unordered_map<std::string, const Chequeo*> por_base_;  // names in upper case
};

class Torvale final : public ServiceEvents {
 public:
  // The settings the service is registered under.
  static const platform::ServiceSettings kServiceSettings;

  // One launch of a sequence, as the sequences and -CHECK see it.
  struct Launch {
    Pass pass;
    const std::string& base;
    const std::string& line;
    int number;  // 1-based position in the pass
    int total;   // entries in the pass
    // Where the line's program comes from, "[start] 1", or, with an empty
    // start or stop command, the database's own value, "[bases4GL] ventas".
    const std::string& origen;
    // The database's argument text for this pass (its bases4GL value for
    // the stop).
    const std::string& argumento;
  };
  using Launcher = std::function<void(const Launch&)>;
  // Told of a listed name that is skipped: one the selection names and
  // [bases4GL] lacks.
  using Omision = std::function<void(const std::string& base)>;

  explicit Torvale(std::unique_ptr<platform::ServiceHost> host);

  // Runs the program: Form_Load, then (when serving) the service's event
  // loop. Returns the process's exit status.
  int Run(const std::vector<std::string>& args);

  // Start-up: sets the program directory and acts on the command line.
  // Returns the exit status when the program ends at once, or nothing when
  // it now serves requests.
  std::optional<int> Form_Load(const std::vector<std::string>& args);

  const std::string& ConexionActiva() const { return conexion_activa_; }
  void ConexionActiva(std::string directory) { conexion_activa_ = std::move(directory); }

  void NTService_Start(std::int16_t& success) override;
  // Between requests: a crashed engine started again when its wait is over
  // ([opciones] reinicia; restarts.h says when), or given up on.
  std::optional<std::chrono::steady_clock::time_point> NextWork() override;
  void DoWork() override;
  void LecturaBases();
  void ArrancaBases();
  // `fin`: the service ends after it (a stop, not a pause).
  void ParaBases(bool fin = false);
  // The service manager's last word on a pause or stop: "stopped: 4 command
  // lines, all launched", or what it failed to do, naming the databases
  // (then warned too).
  void Termina(const std::string& como);
  void variableEntorno(std::string& linea);

  // What -CHECK finds: what the next start and stop would read, and the
  // problems. Not the command lines: it builds them again as it says them,
  // so that a huge value is never held once per line.
  struct Comprobacion {
    std::vector<std::string> bases;
    std::vector<std::string> entorno;           // the environment lines, "SET " removed
    std::vector<modOpciones::Ajuste> opciones;  // [opciones] in effect
    std::size_t arranques = 0, paradas = 0;     // start and stop command lines
    std::vector<std::string> problemas;         // one line each, naming file, section and key
    int estado = 0;                             // the exit status
  };

  // -CHECK: prints what the next start and stop would read and run, and
  // checks everything they depend on, running nothing: as "kind<TAB>value"
  // lines, problems on standard error, one line each; or, with `json`, all
  // of it as one JSON object on standard output. Returns the exit status: 0
  // when nothing would fail, 1 when the start would fail before launching
  // anything, 3 when the sequences would run but something in them would
  // fail or is missing.
  int Comprueba(bool json = false);

  ListBox List1;
  std::unique_ptr<platform::ServiceHost> NTService;

 private:
  void NTService_Continue(std::int16_t& success) override;
  void NTService_Pause(std::int16_t& success) override;
  void NTService_Stop() override;

  // The environment lines, keys "1" and "2" of [arranque], as read.
  std::vector<std::string> LeeLineasEntorno();
  // The start sequence's launches in order, after the list is rebuilt.
  void RecorreArranque(const Launcher& launch, const Omision& omite = {});
  // The stop sequence's launches in order; a step that fails is logged and
  // skipped, and the next one runs. After the listed databases, each one
  // this service started that [bases4GL] no longer lists; with `fin` (the
  // service ends), also each one it started that the list leaves out.
  void RecorreParada(const Launcher& launch, const Omision& omite = {}, bool fin = false);
  // Whether `base` has its [bases4GL] entry.
  bool EnBases4GL(const std::string& base) const;
  // Whether the entry of List1 `base` is a database: every entry is one when
  // the list is [bases4GL]'s own names, so a walk of a long list asks no
  // lookup of each.
  bool EntradaEnBases4GL(const std::string& base) const;
  // The databases this service started (its record says so) that [bases4GL]
  // no longer lists (with `fin`: or that the list leaves out), each with its
  // bases4GL value of then and why it is stopped though not listed.
  struct Retirada {
    std::string base;
    std::string valor;
    std::string motivo;  // "is no longer in [bases4GL] of ...", "is left out by ..."
  };
  std::vector<Retirada> Retiradas(bool fin);
  // Each engine of a database the selection leaves out of this pause that
  // still runs: warned, and a note of the request.
  void NombraOmitidas();
  // A selected name [bases4GL] lacks: warned, and recorded as not launched.
  void Omite(const std::string& base, const char* que);
  // The settings of [opciones] for this request; a value that cannot be used
  // is warned about, and its default used.
  modOpciones::Opciones LeeOpciones();
  // The checks of the listed databases of [bases4GL], after LecturaBases. A
  // [puertos] value that cannot be used leaves that database without a
  // port (its problem says so).
  Chequeos LeeChequeos();
  // After a pause or stop: each checked database it stopped is checked
  // until its check fails, for at most 10 s together (`plazo`: less, what
  // is left of the stop's own limit); one still up then is left running,
  // warned, and a problem of the request.
  void EsperaCaidas(const std::vector<std::string>& paradas,
                    std::optional<std::chrono::milliseconds> plazo = std::nullopt);

  // One launch of a sequence, kept for the launcher, with its place.
  struct Lanzamiento {
    modSubProceso::Paso paso;
    int numero;  // its database's place in the list
    int total;
    static Lanzamiento De(const Launch& l);
  };
  // The launches as the launcher's jobs, and each job's launches.
  struct Trabajos {
    std::vector<modSubProceso::Trabajo> trabajos;
    std::vector<std::vector<const Lanzamiento*>> origen;
  };
  // One at a time: each launch its own job, in their order (as the
  // sequences always ran). More: one job per database, in list order, its
  // launches in their order (SQL before 4GL).
  // Takes each launch's command line and argument text into its job.
  static Trabajos AgrupaTrabajos(std::vector<Lanzamiento>& lanzamientos, int simultaneas);
  // What is in progress, for the service manager ("starting ventas, SQL (1
  // of 3)"; with more at once, the databases in progress, and a log line
  // when one `empieza`).
  static std::string EnCurso(const char* que, const Lanzamiento& l, const Trabajos& trabajos,
                             const std::vector<std::size_t>& en_curso, int simultaneas,
                             bool empieza);

  std::string conexion_activa_;
  std::string RutaINI;
  bool desde_seleccion_ = false;                 // List1 came from bases/tmp.ini, not [bases4GL]
  std::unordered_set<std::string> en_bases4GL_;  // its names in upper case, then
  // The service's own environment, for each variable an [arranque] line
  // has set: its value before the first such line (none: it was not set).
  // Each start sets these back before applying the lines in effect now.
  std::map<std::string, std::optional<std::string>> entorno_original_;
  // Why Ombrel.ini cannot be read (missing, unreadable), as the request's
  // reading found it; empty when it can be.
  std::string sin_perfil_;
  int desconfianzas_ = 0;  // profiles and directories others can change, warned

  // Crashed engines to start again: the policy, the limit and the wait of
  // the last start or continue, and the restarts waiting for their time.
  struct Reinicio {
    LaunchTag etiqueta;
    std::string comando;
    std::string como;  // how it ended: "killed by signal 9 (Killed)"
    std::chrono::steady_clock::time_point cuando;
    int numero;  // which restart within the window
  };
  // A crash of an engine (or of its restart, within its wait): started
  // again after the policy's wait, or given up on.
  // `que_paso` says it in the log ("ended with signal 9"), `como` in the
  // record ("killed by signal 9 (Killed)").
  void Caida(const LaunchTag& etiqueta, const std::string& comando, const std::string& que_paso,
             const std::string& como, std::chrono::milliseconds corrio);
  // A request began: every restart still waiting is cancelled, said.
  void CancelaReinicios(const std::string& por_que);
  // While the service runs: the checks of the last start, each checked
  // every `vigila_` ([opciones] vigila), and how many times in a row each
  // has failed since it last passed.
  std::deque<Chequeo> vigilados_;
  std::vector<int> fallos_;
  std::optional<std::chrono::milliseconds> vigila_;
  std::optional<std::chrono::steady_clock::time_point> proxima_vigilancia_;
  // The round of checks in progress, one per watched database, in their
  // order: begun side by side, looked at between requests, never waited
  // for (a request that comes meanwhile runs at once). A round still in
  // progress is never begun again.
  std::list<modSubProceso::Prueba> ronda_;
  // Begins a round when it is due, or looks at the one in progress and,
  // once every check of it is over, says what it found.
  void Vigila();
  // A request began: the round in progress is dropped (its checks ended)
  // and none is due until a start says so.
  void CancelaVigilancia();
  RestartPolicy reinicios_;
  std::vector<Reinicio> pendientes_;
  int reinicia_ = 0;
  std::chrono::milliseconds espera_arranque_{2500};
};

}  // namespace ostrim
