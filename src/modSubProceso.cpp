#include "modSubProceso.h"

#include <algorithm>
#include <chrono>
#include <list>
#include <optional>

#include "log.h"
#include "platform/platform.h"

namespace ostrim::modSubProceso {
namespace {

using namespace std::chrono_literals;
using std::chrono::milliseconds;

constexpr milliseconds kEsperaArranque = 2500ms;
// While a stop command runs: how often its caller hears from the wait.
constexpr milliseconds kIntervaloProgreso = 5s;
// The first "still waiting" line comes after this; each next one after twice
// the previous interval.
constexpr milliseconds kPrimerAviso = 5s;

double Seconds(milliseconds ms) {
  return std::chrono::duration<double>(ms).count();
}

// ": DATABASE, PASS" for the end of a line about a launch; nothing for a
// launch that belongs to no database.
std::string Sufijo(const LaunchTag& etiqueta) {
  if (etiqueta.database.empty()) return {};
  return ": " + etiqueta.database + ", " + etiqueta.pass;
}

std::optional<platform::Process> Lanza(const std::string& comando, platform::ChildWatch& hijos,
                                       const LaunchTag& etiqueta) {
  try {
    platform::Process process = hijos.Spawn(comando, etiqueta);
    log::Event(log::Kind::kLaunched, log::Level::kInfo, "launched pid ", process.Id(), ": ",
               TagPrefix(etiqueta), log::Quoted(comando));
    return process;
  } catch (const std::exception& e) {
    log::Event(log::Kind::kLaunchFailed, log::Level::kError, "launch failed: ", TagPrefix(etiqueta),
               log::Quoted(comando), ": ", e.what());
    hijos.LaunchFailed(etiqueta, comando, e.what());
    return std::nullopt;
  }
}

void InformaFin(const platform::Process& process, const ProcessEnd& end,
                const LaunchTag& etiqueta) {
  const bool bien = !end.by_signal && end.value == 0;
  log::Event(log::Kind::kChildEnded, bien ? log::Level::kInfo : log::Level::kWarning, "pid ",
             process.Id(), " ended: ", platform::DescribeEnd(end), " after ", Seconds(end.ran),
             " s", Sufijo(etiqueta));
}

}  // namespace

namespace {

using Clock = std::chrono::steady_clock;

// A job in progress: its current launch, and when its wait ends.
struct Activo {
  explicit Activo(std::size_t t) : trabajo(t) {}
  std::size_t trabajo;
  std::size_t paso = 0;
  std::optional<platform::Process> proceso;
  Clock::time_point lanzado{};
  Clock::time_point fin_espera = Clock::time_point::max();
  milliseconds siguiente_aviso = kPrimerAviso;
};

class Ejecucion {
 public:
  Ejecucion(const std::vector<Trabajo>& trabajos, platform::ChildWatch& hijos, const Plan& plan)
      : trabajos_(trabajos), hijos_(hijos), plan_(plan), empezado_(hijos.Now()) {}

  Inconcluso Ejecuta() {
    next_tick_ = empezado_ + kIntervaloProgreso;
    // Jobs begin while there is room (all at once when the time is nearly
    // out); each launch is waited for in turn.
    for (;;) {
      const bool tarde = Tarde();
      if (tarde && siguiente_ < trabajos_.size()) {
        const std::size_t quedan = trabajos_.size() - siguiente_;
        log::Warning("the time allowed is nearly out: ",
                     quedan == 1 ? "the 1 database not begun yet begins now"
                                 : "the " + std::to_string(quedan) +
                                       " databases not begun yet begin now, side by side");
      }
      while ((tarde || static_cast<int>(activos_.size()) < std::max(plan_.simultaneas, 1)) &&
             siguiente_ < trabajos_.size()) {
        activos_.emplace_back(siguiente_++);
        if (!Lanza(activos_.back())) activos_.pop_back();
      }
      if (Vencido()) return Deja();
      if (activos_.empty()) break;
      Clock::time_point hasta = FinDeEsperas();
      if (plan_.limite && siguiente_ < trabajos_.size()) {
        hasta = std::min(hasta, *plan_.limite - plan_.reserva);
      }
      Espera(activos_, hasta);
      Atiende();
    }
    // Then what outlived its wait (stop commands), to its end or the limit.
    while (!pendientes_.empty()) {
      if (Vencido()) return Deja();
      Espera(pendientes_, Clock::time_point::max());
      for (auto it = pendientes_.begin(); it != pendientes_.end();) {
        if (std::optional<ProcessEnd> end = it->proceso->Wait(0ms)) {
          InformaFin(*it->proceso, *end, Etiqueta(*it));
          it = pendientes_.erase(it);
        } else {
          ++it;
        }
      }
    }
    return {};
  }

 private:
  const LaunchTag& Etiqueta(const Activo& a) const { return trabajos_[a.trabajo][a.paso].etiqueta; }

  std::vector<std::size_t> EnCurso() const {
    std::vector<std::size_t> en_curso;
    for (const Activo& a : activos_) en_curso.push_back(a.trabajo);
    return en_curso;
  }

  bool Vencido() const { return plan_.limite && hijos_.Now() >= *plan_.limite; }
  bool Tarde() const { return plan_.limite && hijos_.Now() >= *plan_.limite - plan_.reserva; }

  // Launches the job's current step, or the next one that launches; false
  // when the job has no step left.
  bool Lanza(Activo& a) {
    for (; a.paso < trabajos_[a.trabajo].size(); ++a.paso) {
      const Paso& paso = trabajos_[a.trabajo][a.paso];
      if (plan_.al_lanzar) plan_.al_lanzar(a.trabajo, a.paso, EnCurso());
      std::optional<platform::Process> lanzado =
          modSubProceso::Lanza(paso.comando, hijos_, paso.etiqueta);
      if (!lanzado) continue;
      a.proceso.emplace(std::move(*lanzado));
      a.lanzado = hijos_.Now();
      a.fin_espera = plan_.espera ? a.lanzado + *plan_.espera : Clock::time_point::max();
      a.siguiente_aviso = kPrimerAviso;
      return true;
    }
    return false;
  }

  Clock::time_point FinDeEsperas() const {
    Clock::time_point fin = Clock::time_point::max();
    for (const Activo& a : activos_) fin = std::min(fin, a.fin_espera);
    return fin;
  }

  // Waits for any launch of `quienes` to end, until `hasta`, the next tick
  // or the limit; ticks when it is time.
  void Espera(std::list<Activo>& quienes, Clock::time_point hasta) {
    std::vector<platform::Process*> procesos;
    for (Activo& a : quienes) procesos.push_back(&*a.proceso);
    Clock::time_point until = std::min(hasta, next_tick_);
    if (plan_.limite) until = std::min(until, *plan_.limite);
    // And no later than the next "still waiting" line is due.
    for (const std::list<Activo>* lista : {&activos_, &pendientes_}) {
      for (const Activo& a : *lista) {
        if (Avisable(a)) until = std::min(until, a.lanzado + a.siguiente_aviso);
      }
    }
    hijos_.WaitForAny(procesos, until);
    const Clock::time_point now = hijos_.Now();
    for (std::list<Activo>* lista : {&activos_, &pendientes_}) {
      for (Activo& a : *lista) Avisa(a, now);
    }
    if (now < next_tick_) return;
    next_tick_ = now + kIntervaloProgreso;
    if (plan_.al_esperar) {
      plan_.al_esperar(std::chrono::duration_cast<milliseconds>(now - empezado_), EnCurso());
    }
  }

  // Whether "still waiting" lines are said of `a`: a launch waited for
  // without a limit (an engine's short wait says nothing).
  bool Avisable(const Activo& a) const {
    return a.proceso && (!plan_.espera || plan_.esperar_al_final);
  }

  // "still waiting" for a launch waited for without a limit, at growing
  // intervals.
  void Avisa(Activo& a, Clock::time_point now) {
    if (!Avisable(a)) return;
    const auto waited = std::chrono::duration_cast<milliseconds>(now - a.lanzado);
    if (waited < a.siguiente_aviso) return;
    log::Notice("still waiting for pid ", a.proceso->Id(), " after ", Seconds(waited),
                " s: ", TagPrefix(Etiqueta(a)), log::Quoted(trabajos_[a.trabajo][a.paso].comando));
    a.siguiente_aviso *= 2;
  }

  // Each job whose launch ended, or whose wait is over, goes on with its
  // next step (or is done).
  void Atiende() {
    const Clock::time_point now = hijos_.Now();
    for (auto it = activos_.begin(); it != activos_.end();) {
      Activo& a = *it;
      if (std::optional<ProcessEnd> end = a.proceso->Wait(0ms)) {
        InformaFin(*a.proceso, *end, Etiqueta(a));
      } else if (now >= a.fin_espera) {
        const LaunchTag& etiqueta = Etiqueta(a);
        if (plan_.esperar_al_final) {
          log::Warning("pid ", a.proceso->Id(), " (", etiqueta.database, ", ", etiqueta.pass,
                       ") still runs after ", Seconds(*plan_.espera),
                       " s: going on with the next database; waited for again at the end");
          Activo& pendiente = pendientes_.emplace_back(a.trabajo);
          pendiente.paso = a.paso;
          pendiente.proceso.emplace(std::move(*a.proceso));
          pendiente.lanzado = a.lanzado;
          pendiente.siguiente_aviso = a.siguiente_aviso;
        } else {
          log::Info("pid ", a.proceso->Id(), " still running after ", Seconds(*plan_.espera),
                    " s: left running", Sufijo(etiqueta));
        }
      } else {
        ++it;
        continue;
      }
      a.proceso.reset();  // one still running is watched from now on
      ++a.paso;
      if (Lanza(a)) {
        ++it;
      } else {
        it = activos_.erase(it);
      }
    }
  }

  // The limit passed: what still runs is left running, watched.
  Inconcluso Deja() {
    Inconcluso inconcluso;
    for (std::list<Activo>* lista : {&activos_, &pendientes_}) {
      for (Activo& a : *lista) {
        inconcluso.siguen.push_back({Etiqueta(a), a.proceso->Id()});
      }
      lista->clear();
    }
    for (std::size_t t = siguiente_; t < trabajos_.size(); ++t) inconcluso.sin_empezar.push_back(t);
    return inconcluso;
  }

  const std::vector<Trabajo>& trabajos_;
  platform::ChildWatch& hijos_;
  const Plan& plan_;
  const Clock::time_point empezado_;
  Clock::time_point next_tick_;
  std::size_t siguiente_ = 0;
  std::list<Activo> activos_;
  std::list<Activo> pendientes_;  // stop commands that outlived their wait
};

}  // namespace

Inconcluso EjecutaTrabajos(const std::vector<Trabajo>& trabajos, platform::ChildWatch& hijos,
                           const Plan& plan) {
  return Ejecucion(trabajos, hijos, plan).Ejecuta();
}

void EjecutaProceso(const std::string& comando, platform::ChildWatch& hijos,
                    const LaunchTag& etiqueta) {
  Plan plan;
  plan.espera = kEsperaArranque;
  EjecutaTrabajos({{{comando, etiqueta}}}, hijos, plan);
}

void EjecutaProcesoEspera(const std::string& comando, platform::ChildWatch& hijos,
                          const LaunchTag& etiqueta) {
  EjecutaTrabajos({{{comando, etiqueta}}}, hijos, Plan{});
}

}  // namespace ostrim::modSubProceso
