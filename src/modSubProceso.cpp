#include "modSubProceso.h"

#include <algorithm>
#include <chrono>
#include <list>
#include <optional>
#include <unordered_map>

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

bool TerminoMal(const ProcessEnd& end) {
  return end.by_signal || end.value != 0;
}

// A job in progress: its current launch, and when its wait ends.
struct Activo {
  explicit Activo(std::size_t t) : trabajo(t) {}
  std::size_t trabajo;
  std::size_t paso = 0;
  std::optional<platform::Process> proceso;
  Clock::time_point lanzado{};
  Clock::time_point fin_espera = Clock::time_point::max();
  milliseconds siguiente_aviso = kPrimerAviso;
  // With a check: where the step is (its check before the first launch, its
  // launch, or the wait for its database to be up after the last), the run
  // of its check in progress, and when the next begins.
  enum class Fase { kPrevia, kLanzado, kEsperaListo };
  Fase fase = Fase::kLanzado;
  bool previa_hecha = false;
  std::optional<Prueba> prueba;
  Clock::time_point proxima = Clock::time_point::max();
  milliseconds hueco = kPrimeraEspera;
};

class Ejecucion {
 public:
  Ejecucion(const std::vector<Trabajo>& trabajos, platform::ChildWatch& hijos, const Plan& plan)
      : trabajos_(trabajos), hijos_(hijos), plan_(plan), empezado_(hijos.Now()) {
    // Each checked database's first and last launch, in the order they run.
    if (!plan_.chequeo) return;
    for (std::size_t t = 0; t < trabajos_.size(); ++t) {
      for (std::size_t p = 0; p < trabajos_[t].size(); ++p) {
        if (const Chequeo* c = plan_.chequeo(trabajos_[t][p].etiqueta)) {
          Base& base = bases_[c];
          if (!base.primero_paso) base.primero_paso = {t, p};
          base.ultimo_paso = {t, p};
        }
      }
    }
  }

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
  // A checked database: where its launches are, when the first ran, and
  // what its last check said.
  struct Base {
    std::optional<std::pair<std::size_t, std::size_t>> primero_paso, ultimo_paso;
    std::optional<Clock::time_point> primer_lanzamiento;
    bool arriba_ya = false;  // up before its first launch
    bool dicho = false;      // al_listo was told
    std::string ultimo = "not checked yet";
  };

  const Paso& PasoDe(const Activo& a) const { return trabajos_[a.trabajo][a.paso]; }
  const LaunchTag& Etiqueta(const Activo& a) const { return PasoDe(a).etiqueta; }
  const Chequeo* ChequeoDe(const Activo& a) const {
    return plan_.chequeo ? plan_.chequeo(Etiqueta(a)) : nullptr;
  }
  bool EsUltimo(const Activo& a, const Chequeo* c) {
    return c != nullptr && bases_[c].ultimo_paso == std::make_pair(a.trabajo, a.paso);
  }

  std::vector<std::size_t> EnCurso() const {
    std::vector<std::size_t> en_curso;
    for (const Activo& a : activos_) en_curso.push_back(a.trabajo);
    return en_curso;
  }

  bool Vencido() const { return plan_.limite && hijos_.Now() >= *plan_.limite; }
  bool Tarde() const { return plan_.limite && hijos_.Now() >= *plan_.limite - plan_.reserva; }

  void Dice(const Chequeo& c, Listo listo) {
    Base& base = bases_[&c];
    if (base.dicho) return;
    base.dicho = true;
    if (plan_.al_listo) plan_.al_listo(c, listo);
  }

  // Launches the job's current step, or the next one that launches (a
  // checked database's first launch after its check found it down); false
  // when the job has no step left.
  bool Lanza(Activo& a) {
    for (; a.paso < trabajos_[a.trabajo].size(); ++a.paso, a.previa_hecha = false) {
      const Paso& paso = trabajos_[a.trabajo][a.paso];
      const Chequeo* c = ChequeoDe(a);
      if (c != nullptr && bases_[c].arriba_ya) continue;
      if (c != nullptr && !a.previa_hecha &&
          bases_[c].primero_paso == std::make_pair(a.trabajo, a.paso)) {
        a.fase = Activo::Fase::kPrevia;
        a.prueba.emplace(*c, hijos_);
        return true;
      }
      if (plan_.al_lanzar) plan_.al_lanzar(a.trabajo, a.paso, EnCurso());
      std::optional<platform::Process> lanzado =
          modSubProceso::Lanza(paso.comando, hijos_, paso.etiqueta);
      if (!lanzado) {
        // Its last launch failed: waited for all the same when an earlier
        // one of it ran, else given up at once.
        if (EsUltimo(a, c)) {
          if (bases_[c].primer_lanzamiento) {
            a.fase = Activo::Fase::kEsperaListo;
            a.proxima = hijos_.Now();
            return true;
          }
          Dice(*c, {Listo::Como::kNo, 0ms, "none of its start commands could be launched"});
        }
        continue;
      }
      a.proceso.emplace(std::move(*lanzado));
      a.lanzado = hijos_.Now();
      a.fin_espera = plan_.espera ? a.lanzado + *plan_.espera : Clock::time_point::max();
      a.siguiente_aviso = kPrimerAviso;
      a.fase = Activo::Fase::kLanzado;
      if (c != nullptr) {
        Base& base = bases_[c];
        if (!base.primer_lanzamiento) base.primer_lanzamiento = a.lanzado;
        a.proxima = a.lanzado;  // tried at once
        a.hueco = kPrimeraEspera;
      }
      return true;
    }
    return false;
  }

  // When `a` next needs attention.
  Clock::time_point Siguiente(const Activo& a) {
    Clock::time_point fin = Clock::time_point::max();
    if (a.proceso) fin = a.fin_espera;
    const Chequeo* c = ChequeoDe(a);
    if (c == nullptr) return fin;
    if (a.prueba) {
      fin = std::min(fin, a.prueba->Proxima());
    } else if (a.fase != Activo::Fase::kPrevia) {
      fin = std::min(fin, a.proxima);
    }
    if (EsUltimo(a, c) && bases_[c].primer_lanzamiento) {
      fin = std::min(fin, *bases_[c].primer_lanzamiento + plan_.espera_listo);
    }
    return fin;
  }

  Clock::time_point FinDeEsperas() {
    Clock::time_point fin = Clock::time_point::max();
    for (const Activo& a : activos_) fin = std::min(fin, Siguiente(a));
    return fin;
  }

  // Waits for any launch or check of `quienes` to end, until `hasta`, the
  // next tick or the limit; ticks when it is time.
  void Espera(std::list<Activo>& quienes, Clock::time_point hasta) {
    std::vector<platform::Process*> procesos;
    for (Activo& a : quienes) {
      if (a.proceso) procesos.push_back(&*a.proceso);
      if (a.prueba && a.prueba->Proceso() != nullptr) procesos.push_back(a.prueba->Proceso());
    }
    Clock::time_point until = std::min(hasta, next_tick_);
    if (plan_.limite) until = std::min(until, *plan_.limite);
    // And no later than the next "still waiting" line is due.
    for (const std::list<Activo>* lista : {&activos_, &pendientes_}) {
      for (const Activo& a : *lista) {
        if (Avisable(a)) until = std::min(until, a.lanzado + a.siguiente_aviso);
      }
    }
    if (until > hijos_.Now()) hijos_.WaitForAny(procesos, until);
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

  // The launch's wait is over with its engine still running: left running,
  // watched from now on.
  void DejaCorriendo(Activo& a, const std::string& por_que) {
    if (!a.proceso) return;
    if (std::optional<ProcessEnd> end = a.proceso->Wait(0ms)) {
      InformaFin(*a.proceso, *end, Etiqueta(a));
    } else {
      log::Info("pid ", a.proceso->Id(), " still running ", por_que, ": left running",
                Sufijo(Etiqueta(a)));
    }
    a.proceso.reset();
  }

  // The step is over: the job goes on with its next one; false when it has
  // none left.
  bool Sigue(Activo& a) {
    a.proceso.reset();  // one still running is watched from now on
    a.prueba.reset();
    a.proxima = Clock::time_point::max();
    ++a.paso;
    a.previa_hecha = false;
    return Lanza(a);
  }

  // What a checked step's check, launch and wait say now; whether the step
  // is over.
  bool AtiendeListo(Activo& a, const Chequeo& c, Clock::time_point now) {
    Base& base = bases_[&c];
    const bool ultimo = EsUltimo(a, &c);
    std::optional<std::string> resultado;
    if (a.prueba) resultado = a.prueba->Resultado();
    if (resultado) {
      a.prueba.reset();
      if (a.fase == Activo::Fase::kPrevia) {
        a.previa_hecha = true;
        if (resultado->empty()) {
          base.arriba_ya = true;
          Dice(c, {Listo::Como::kYa, 0ms, {}});
          return true;
        }
        base.ultimo = *resultado;
        // Down, as expected: its launch now.
        if (!Lanza(a)) return true;
        return false;
      }
      if (resultado->empty()) {
        DejaCorriendo(a, "as " + c.base + " is up");
        if (ultimo) {
          Dice(c, {Listo::Como::kArriba,
                   std::chrono::duration_cast<milliseconds>(now - *base.primer_lanzamiento),
                   {}});
        }
        return true;
      }
      base.ultimo = *resultado;
      a.proxima = now + a.hueco;
      a.hueco = SiguienteEspera(a.hueco);
    }
    if (a.fase == Activo::Fase::kPrevia) return false;
    if (a.proceso) {
      if (std::optional<ProcessEnd> end = a.proceso->Wait(0ms)) {
        InformaFin(*a.proceso, *end, Etiqueta(a));
        a.proceso.reset();
        if (!ultimo) return true;
        if (TerminoMal(*end)) {
          // Its engine died before it was up: no use waiting for it.
          Dice(c, {Listo::Como::kNo, 0ms,
                   "its start command ended (" + end->text + ") before its check passed; " +
                       base.ultimo});
          return true;
        }
        a.fase = Activo::Fase::kEsperaListo;
      } else if (now >= a.fin_espera) {
        if (!ultimo) {
          DejaCorriendo(a, "after " + TextoSegundos(*plan_.espera));
          return true;
        }
        // Its last launch: it keeps its place, and its engine is still
        // waited for, until it is up or given up.
        a.fase = Activo::Fase::kEsperaListo;
        a.fin_espera = Clock::time_point::max();
      }
    }
    if (ultimo && base.primer_lanzamiento && now >= *base.primer_lanzamiento + plan_.espera_listo) {
      Dice(c,
           {Listo::Como::kNo,
            std::chrono::duration_cast<milliseconds>(now - *base.primer_lanzamiento), base.ultimo});
      DejaCorriendo(a, "as " + c.base + " was given up");
      return true;
    }
    if (!a.prueba && now >= a.proxima) {
      a.prueba.emplace(c, hijos_);
      a.proxima = Clock::time_point::max();
    }
    return false;
  }

  // Each job whose launch ended, or whose wait is over, goes on with its
  // next step (or is done).
  void Atiende() {
    const Clock::time_point now = hijos_.Now();
    for (auto it = activos_.begin(); it != activos_.end();) {
      Activo& a = *it;
      if (const Chequeo* c = ChequeoDe(a)) {
        if (!AtiendeListo(a, *c, now)) {
          ++it;
        } else if (Sigue(a)) {
          ++it;
        } else {
          it = activos_.erase(it);
        }
        continue;
      }
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
      if (Sigue(a)) {
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
        if (a.proceso) inconcluso.siguen.push_back({Etiqueta(a), a.proceso->Id()});
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
  std::unordered_map<const Chequeo*, Base> bases_;
};

}  // namespace

Prueba::Prueba(const Chequeo& chequeo, platform::ChildWatch& hijos)
    : chequeo_(chequeo), hijos_(hijos), limite_(hijos.Now() + kLimiteComando) {
  if (chequeo.puerto) {
    conexion_.emplace(chequeo.puerto->host, chequeo.puerto->port, kLimitePuerto);
    Resultado();
  } else {
    LanzaLinea();
  }
}

void Prueba::LanzaLinea() {
  if (chequeo_.linea.empty()) {
    resultado_ = "";
    return;
  }
  const LaunchTag etiqueta{chequeo_.base, "check", ""};
  try {
    proceso_.emplace(hijos_.Spawn(chequeo_.linea, etiqueta));
    limite_ = hijos_.Now() + kLimiteComando;
    log::Debug("launched pid ", proceso_->Id(), ": ", TagPrefix(etiqueta),
               log::Quoted(chequeo_.linea));
  } catch (const std::exception& e) {
    resultado_ = std::string("its check command could not be launched: ") + e.what();
    log::Debug(TagPrefix(etiqueta), *resultado_);
  }
}

Prueba::Clock::time_point Prueba::Proxima() const {
  if (resultado_) return Clock::time_point::min();
  if (conexion_) return hijos_.Now() + kVistazo;
  return limite_;
}

Prueba::~Prueba() {
  // A check is the service's own: never left running past its use.
  if (proceso_ && !resultado_) proceso_->Kill();
}

std::optional<std::string> Prueba::Resultado() {
  if (resultado_) return resultado_;
  if (conexion_) {
    std::optional<std::string> por_que = conexion_->Outcome();
    if (!por_que) return std::nullopt;
    conexion_.reset();
    if (*por_que == "no answer") *por_que += " within " + TextoSegundos(kLimitePuerto);
    log::Debug(chequeo_.base, ", check: ", chequeo_.puerto->Text(), ": ",
               por_que->empty() ? "accepted" : *por_que);
    if (!por_que->empty()) {
      resultado_ = por_que;
      return resultado_;
    }
    LanzaLinea();
    if (resultado_ || !proceso_) return resultado_;
  }
  if (std::optional<ProcessEnd> end = proceso_->Wait(0ms)) {
    resultado_ = TerminoMal(*end) ? end->text : "";
  } else if (hijos_.Now() >= limite_) {
    proceso_->Kill();
    resultado_ = "its check command did not answer within " + TextoSegundos(kLimiteComando) +
                 ": ended, pid " + std::to_string(proceso_->Id());
    log::Warning(chequeo_.base, ", check: ", *resultado_);
  } else {
    return std::nullopt;
  }
  log::Debug(chequeo_.base, ", check: pid ", proceso_->Id(), ": ",
             resultado_->empty() ? "up" : *resultado_);
  return resultado_;
}

std::vector<std::string> PruebaTodos(const std::vector<const Chequeo*>& chequeos,
                                     platform::ChildWatch& hijos) {
  std::list<Prueba> pruebas;
  for (const Chequeo* c : chequeos) pruebas.emplace_back(*c, hijos);
  for (;;) {
    std::vector<platform::Process*> procesos;
    Clock::time_point hasta = Clock::time_point::max();
    bool quedan = false;
    for (Prueba& p : pruebas) {
      if (p.Resultado()) continue;
      quedan = true;
      if (platform::Process* proceso = p.Proceso()) procesos.push_back(proceso);
      hasta = std::min(hasta, p.Proxima());
    }
    if (!quedan) break;
    hijos.WaitForAny(procesos, hasta);
  }
  std::vector<std::string> resultados;
  for (Prueba& p : pruebas) resultados.push_back(*p.Resultado());
  return resultados;
}

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
