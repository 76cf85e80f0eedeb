#include "Torvale.h"

#include <algorithm>
#include <chrono>
#include <unordered_set>

#include "log.h"
#include "modINI.h"
#include "modOpciones.h"
#include "modSubProceso.h"
#include "record.h"
#include "requests.h"
#include "version.h"

namespace ostrim {
namespace {

using namespace std::chrono_literals;

std::string Usage() {
  std::string verbs;
  std::string lines;
  for (const RequestKind& kind : Requests()) {
    if (kind.verb.empty()) continue;
    verbs += " | -" + std::string(kind.verb);
    lines += UsageEntry("-" + std::string(kind.verb), kind.usage);
  }
  return "usage: ostrim [-INSTALL | -UNINSTALL | -CHECK [-JSON] |\n"
         "               -STATUS [-JSON | -PROMETHEUS [FILE]]" +
         verbs + " |\n               --help | --version]\n\n" +
         platform::ServiceUsage(Torvale::kServiceSettings) +
         "  -INSTALL     register ostrim as a system service that starts at boot\n"
         "  -UNINSTALL   unregister it\n"
         "  -CHECK       print what the next start and stop would run, and check what\n"
         "               they depend on; run nothing (exit status 0: nothing would fail,\n"
         "               1: the start would fail, 3: something in the sequences would);\n"
         "               with -JSON, all of it as one JSON object\n"
         "  -STATUS      print what the running service is doing, as key<TAB>value\n"
         "               lines, or with -JSON as one JSON object (exit status 0: serving\n"
         "               and healthy, 4: serving but degraded, 3: none is, 1: cannot tell);\n"
         "               with -PROMETHEUS, as Prometheus metrics, written to FILE (whole,\n"
         "               through a new file renamed over it) when one is named\n" +
         lines +
         "\n"
         "The databases and commands come from Ombrel.ini and bases/tmp.ini in the\n"
         "program's directory. Options are read in any letter case.\n"
         "OSTRIM_LOG_LEVEL sets how much the service logs: " +
         log::LevelNames() + " (info if unset).\n";
}

// Runs one statement of a sequence that goes on past failures: an error is
// logged with what was being done, and the sequence continues.
template <typename Statement>
void SkipIfFails(std::string_view what, Statement&& statement) {
  try {
    statement();
  } catch (const std::exception& e) {
    log::Error("stop sequence: ", what, " failed: ", e.what(), "; going on");
  }
}

// Timing the service manager is told to allow for one start launch (its
// 2500 ms wait, with room to spare), and at each tick of a stop command's
// wait (every 5 s) for the next one.
constexpr auto kTimePerStartLaunch = 10s;
constexpr auto kTimePerStopTick = 15s;
// The state a stop sequence leaves, as the service manager's status says it
// ("stopped", "paused"): the state its request's row leads to.
std::string Terminado(const ServiceRecord& registro) {
  const RequestKind* pedido = registro.CurrentKind();
  return pedido != nullptr ? StateName(pedido->after_success) : "stopped";
}

// How long engines get to end after the last stop command has, before those
// still running are said to be left running.
constexpr auto kGraciaMotores = 1s;
// What is kept of parada_total for the stop commands whose turn would not
// come in time: a tenth of it, within these bounds.
constexpr std::chrono::milliseconds kReservaMenor = 1s;
constexpr std::chrono::milliseconds kReservaMayor = 30s;

// "ended with signal 9", "ended with exit status 1", "ended by exception
// 0xC0000005": how a crash reads in the restart's log line.
std::string EndedWith(const ProcessEnd& end) {
  if (end.by_signal) return "ended with signal " + std::to_string(end.value);
  if (end.text.rfind("ended ", 0) == 0) return end.text;
  return "ended with " + end.text;
}

}  // namespace

std::string Upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

const platform::ServiceSettings Torvale::kServiceSettings = {"ostrim", "Bases de Datos Tarquesa",
                                                             platform::kStartAutomatic};

std::optional<std::pair<std::string, std::string>> PreparaLineaEntorno(std::string& line) {
  if (line.empty()) return std::nullopt;
  std::size_t start = line.find_first_not_of(' ');
  if (start != std::string::npos && line.size() - start >= 4 &&
      Upper(line.substr(start, 4)) == "SET ") {
    line.erase(0, start + 4);
  }
  std::size_t equals = line.find('=');
  if (equals == std::string::npos) {
    throw EnvironmentLineError("environment line " + log::Quoted(line) +
                               " has no \"=\": expected NAME=value");
  }
  if (equals == 0) {
    throw EnvironmentLineError("environment line " + log::Quoted(line) +
                               " has no variable name before \"=\"");
  }
  return std::make_pair(line.substr(0, equals), line.substr(equals + 1));
}

std::optional<std::pair<std::string, std::string>> LineaEntornoAplicable(std::string& line) {
  auto variable = PreparaLineaEntorno(line);
  if (!variable) return variable;
  if (std::string why = platform::WhyUntrustedEnvironment(variable->first, variable->second);
      !why.empty()) {
    throw EnvironmentLineError(why);
  }
  return variable;
}

std::string LineaArranque(const std::string& comando, const std::string& argumento) {
  return comando + " " + argumento + " -z";
}

std::string LineaParada(const std::string& comando, const std::string& valor4GL) {
  std::size_t p = valor4GL.find(' ');
  return comando + " " + (p == std::string::npos ? valor4GL : valor4GL.substr(0, p + 1));
}

void Chequeos::Pon(Chequeo chequeo) {
  const std::string clave = Upper(chequeo.base);
  por_base_[clave] = &lista.emplace_back(std::move(chequeo));
}

const Chequeo* Chequeos::De(const std::string& base) const {
  const auto it = por_base_.find(Upper(base));
  return it == por_base_.end() ? nullptr : it->second;
}

Torvale::Torvale(std::unique_ptr<platform::ServiceHost> host) : NTService(std::move(host)) {}

int Torvale::Run(const std::vector<std::string>& args) {
  if (std::optional<int> status = Form_Load(args)) return *status;
  return NTService->RunEventLoop(*this);
}

std::optional<int> Torvale::Form_Load(const std::vector<std::string>& args) {
  // Without its directory the program cannot know which profiles are its
  // own: it then serves nothing and checks nothing, rather than read
  // profiles from a directory nobody chose.
  std::string sin_directorio;
  try {
    ConexionActiva(platform::ProgramDirectory());
  } catch (const std::exception& e) {
    sin_directorio = e.what();
  }

  std::string text;
  for (const std::string& arg : args) text += (text.empty() ? "" : " ") + arg;
  text = Upper(text);

  if (!sin_directorio.empty() && (text.empty() || text.rfind("-CHECK", 0) == 0)) {
    const std::string why = "the program's directory is unknown (" + sin_directorio +
                            "), so its profile files cannot be found; nothing is read or run";
    if (text.empty()) {
      log::Error("cannot serve: ", why);
    } else {
      platform::WriteStderr("ostrim: cannot check: " + why + "\n");
    }
    return 1;
  }

  if (text == "-INSTALL" || text == "-UNINSTALL") {
    try {
      if (text == "-INSTALL" && !sin_directorio.empty()) {
        // Without the site's profile no stop limit is known: the default.
      } else if (text == "-INSTALL") {
        platform::ProfileView vista;
        RutaINI = platform::PathInDirectory(conexion_activa_, "\\Ombrel.ini");
        NTService->SetStopTimeLimit(LeeOpciones().parada_total);
      }
      std::string done = text == "-INSTALL" ? NTService->Install() : NTService->Uninstall();
      platform::WriteStdout(done + "\n");
      return 0;
    } catch (const std::exception& e) {
      platform::WriteStderr(std::string("ostrim: cannot ") +
                            (text == "-INSTALL" ? "install" : "uninstall") +
                            " the service: " + e.what() + "\n");
      return 1;
    }
  }
  if (text == "-CHECK" || text == "-CHECK -JSON") return Comprueba(text != "-CHECK");
  const RequestKind* pedido =
      text.size() > 1 && text[0] == '-' ? KindOfVerb(text.substr(1)) : nullptr;
  // -STATUS -PROMETHEUS FILE: the metrics written to FILE (its path as
  // given, in any case), whole or not at all, for a collector that reads it
  // at any moment.
  const std::string metricas = "-STATUS -PROMETHEUS";
  std::string fichero;
  if (text.rfind(metricas + " ", 0) == 0 && args.size() > 2) {
    for (std::size_t i = 2; i < args.size(); ++i) fichero += (i == 2 ? "" : " ") + args[i];
    text = metricas;
  }
  if (text == "-STATUS" || text == "-STATUS -JSON" || text == metricas || pedido != nullptr) {
    const StatusForm forma = text == "-STATUS"  ? StatusForm::kText
                             : text == metricas ? StatusForm::kMetrics
                                                : StatusForm::kJson;
    const ControlReply reply =
        pedido != nullptr ? NTService->Control(*pedido) : NTService->Status(forma);
    if (fichero.empty()) {
      platform::WriteStdout(reply.out);
    } else {
      try {
        platform::WriteFileWhole(fichero, reply.out);
      } catch (const std::exception& e) {
        platform::WriteStderr(reply.err + "ostrim: cannot write " + fichero + ": " + e.what() +
                              "\n");
        return 1;
      }
    }
    platform::WriteStderr(reply.err);
    return reply.status;
  }
  if (text.empty()) {
    try {
      NTService->SetControlsAccepted(platform::kAcceptPauseContinue);
      NTService->StartService();
    } catch (const std::exception& e) {
      log::Error("cannot serve: ", e.what());
      return 1;
    }
    return std::nullopt;
  }
  if (text == "--HELP" || text == "-H") {
    platform::WriteStdout(Usage());
    return 0;
  }
  if (text == "--VERSION") {
    platform::WriteStdout(std::string("ostrim ") + kVersion + "\n");
    return 0;
  }
  platform::WriteStderr("ostrim: unknown argument " + log::Quoted(text) + "\n\n" + Usage());
  return 2;
}

void Torvale::NTService_Start(std::int16_t& success) {
  ArrancaBases();
  success = kTrue;
}

std::optional<std::chrono::steady_clock::time_point> Torvale::NextWork() {
  ServiceRecord& registro = NTService->Record();
  for (const ServiceRecord::Crash& c : registro.TakeCrashes()) {
    Caida(c.tag, c.command, EndedWith(c.end), c.end.text, c.end.ran);
  }
  // A round of watching in progress is looked at soon; else the next is due.
  std::optional<std::chrono::steady_clock::time_point> siguiente =
      ronda_.empty() ? proxima_vigilancia_ : std::optional(NTService->Children().Now() + kVistazo);
  for (const Reinicio& r : pendientes_) {
    if (!siguiente || r.cuando < *siguiente) siguiente = r.cuando;
  }
  return siguiente;
}

void Torvale::Caida(const LaunchTag& etiqueta, const std::string& comando,
                    const std::string& que_paso, const std::string& como,
                    std::chrono::milliseconds corrio) {
  ServiceRecord& registro = NTService->Record();
  const auto ahora = NTService->Children().Now();
  const RestartPolicy::Decision d =
      reinicios_.Crashed(etiqueta.database + '\0' + etiqueta.pass, ahora, corrio, reinicia_);
  const std::string cuenta = std::to_string(reinicia_) + " in 10 minutes";
  if (!d.again) {
    const std::string texto =
        "ended " + std::to_string(d.number) + " times in 10 minutes; not started again";
    log::Event(log::Kind::kDegraded, log::Level::kError, TagPrefix(etiqueta), que_paso, "; ",
               texto);
    registro.GiveUp(etiqueta, como + "; " + texto + " (at most " + cuenta + ")");
    return;
  }
  const auto segundos = std::chrono::duration_cast<std::chrono::seconds>(d.wait).count();
  const std::string numero = "restart " + std::to_string(d.number) + " of at most " + cuenta;
  log::Warning(TagPrefix(etiqueta), que_paso, "; starting it again in ", segundos, " s (", numero,
               ")");
  registro.Detail(etiqueta, como + " at " + UtcNow() + "; starting it again at " +
                                UtcAfter(d.wait) + " (" + numero + ")");
  pendientes_.push_back({etiqueta, comando, como, ahora + d.wait, d.number});
}

void Torvale::DoWork() {
  ServiceRecord& registro = NTService->Record();
  const auto ahora = NTService->Children().Now();
  std::vector<Reinicio> llegados;
  std::erase_if(pendientes_, [&](const Reinicio& r) {
    if (r.cuando > ahora) return false;
    llegados.push_back(r);
    return true;
  });
  if (!ronda_.empty() || (proxima_vigilancia_ && *proxima_vigilancia_ <= ahora)) Vigila();
  for (const Reinicio& r : llegados) {
    if (registro.Runs(r.etiqueta)) {
      log::Info(TagPrefix(r.etiqueta), "an engine of it runs already: not started again");
      continue;
    }
    log::Info(TagPrefix(r.etiqueta), "starting it again (restart ", r.numero, " of at most ",
              reinicia_, " in 10 minutes)");
    registro.Restarting(r.etiqueta);
    modSubProceso::Plan plan;
    plan.espera = espera_arranque_;
    modSubProceso::EjecutaTrabajos({{{r.comando, r.etiqueta}}}, NTService->Children(), plan);
    // A restart that could not be launched, or that failed within its
    // wait, crashed again.
    const DatabaseRecord* ultimo = registro.Latest(r.etiqueta);
    if (ultimo != nullptr && (ultimo->state == DatabaseState::kLaunchFailed ||
                              ultimo->state == DatabaseState::kStartFailed)) {
      const std::string como = ultimo->detail;
      Caida(r.etiqueta, r.comando, "its restart failed: " + como, como,
            std::chrono::milliseconds(0));
    }
  }
}

void Torvale::CancelaReinicios(const std::string& por_que) {
  ServiceRecord& registro = NTService->Record();
  // Crashes not taken yet are taken now: they are not started again either.
  for (const ServiceRecord::Crash& c : registro.TakeCrashes()) {
    pendientes_.push_back({c.tag, c.command, c.end.text, {}, 0});
  }
  for (const Reinicio& r : pendientes_) {
    log::Info(TagPrefix(r.etiqueta), "not started again: the ", por_que, " came first");
    registro.Detail(r.etiqueta, r.como + "; not started again: the " + por_que + " came first");
  }
  pendientes_.clear();
}

void Torvale::NTService_Continue(std::int16_t& success) {
  ArrancaBases();
  success = kTrue;
}

void Torvale::NTService_Pause(std::int16_t& success) {
  ParaBases();
  success = kTrue;
}

void Torvale::NTService_Stop() {
  ParaBases(true);
}

void Torvale::LecturaBases() {
  List1.Clear();
  RutaINI = platform::PathInDirectory(conexion_activa_, "\\Ombrel.ini");
  const std::string seleccion = platform::PathInDirectory(conexion_activa_, "\\bases\\tmp.ini");
  // Refused, not only warned (a deliberate change): a profile another user
  // could change says what runs as root. The request reads nothing from
  // them, as if the main profile were missing; the fix is in the words.
  desconfianzas_ = 0;
  std::string desconfianza;
  for (const std::string& path :
       {conexion_activa_, RutaINI, platform::PathInDirectory(conexion_activa_, "\\bases"),
        seleccion}) {
    if (std::string why = platform::WhyUntrusted(path); !why.empty()) {
      log::Warning(why);
      if (desconfianza.empty()) desconfianza = why;
      ++desconfianzas_;
    }
  }
  // A missing main profile means nothing to start, stop or set: worth a
  // warning at every request. The selection file is optional; only one that
  // is there but cannot be read is worth one.
  sin_perfil_ =
      desconfianza.empty() ? platform::ProfileProblem(RutaINI) : "refused: " + desconfianza;
  if (!sin_perfil_.empty()) {
    log::Warning("profile ", RutaINI, ": ", sin_perfil_, "; no database, command or environment ",
                 "line can be read from it");
  }
  if (std::string why = platform::ProfileProblem(seleccion);
      !why.empty() && why.rfind("no such file", 0) != 0) {
    log::Warning("profile ", seleccion, ": ", why, "; every database of [bases4GL] is handled");
  }
  modINI::LeeSeccionINI(List1, "seleccion", seleccion);
  desde_seleccion_ = List1.ListCount() > 0;
  // The names [bases4GL] knows, in any letter case: to find at once a
  // selected name it lacks (a typo), and a database this service started
  // that it no longer lists, however long the lists are.
  ListBox leidas;
  ListBox& conocidas = desde_seleccion_ ? leidas : List1;
  modINI::LeeSeccionINI(conocidas, "bases4GL", RutaINI);
  en_bases4GL_.clear();
  for (std::int16_t i = 0; i < conocidas.ListCount(); ++i) {
    conocidas.SetListIndex(i);
    en_bases4GL_.insert(Upper(conocidas.Text()));
  }
  if (desde_seleccion_) {
    log::Info("databases: ", List1.ListCount(), " selected in [seleccion] of ", seleccion);
  } else {
    log::Info("databases: ", List1.ListCount(), " from [bases4GL] of ", RutaINI);
  }
}

std::vector<std::string> Torvale::LeeLineasEntorno() {
  return {modINI::LeeValorINI("arranque", "1", "", RutaINI),
          modINI::LeeValorINI("arranque", "2", "", RutaINI)};
}

void Torvale::variableEntorno(std::string& linea) {
  auto variable = LineaEntornoAplicable(linea);
  if (!variable) return;
  if (!entorno_original_.count(variable->first)) {
    entorno_original_[variable->first] = platform::GetEnvironmentVariable(variable->first);
  }
  platform::SetEnvironmentVariable(variable->first, variable->second);
  log::Info("environment: ", variable->first, "=", variable->second);
}

bool Torvale::EnBases4GL(const std::string& base) const {
  return en_bases4GL_.count(Upper(base)) > 0;
}

bool Torvale::EntradaEnBases4GL(const std::string& base) const {
  return !desde_seleccion_ || EnBases4GL(base);
}

void Torvale::RecorreArranque(const Launcher& launch, const Omision& omite) {
  const std::string comando = modINI::LeeValorINI("start", "1", "", RutaINI);
  // With no start command, each value's first word is the program.
  auto origen = [&comando](const char* seccion, const std::string& base) {
    return comando.empty() ? "[" + std::string(seccion) + "] " + base : std::string("[start] 1");
  };
  const std::int16_t bases = List1.ListCount();  // the bound is taken once
  for (std::int16_t i = 0; i < bases; ++i) {
    List1.SetListIndex(i);
    const std::string base = List1.Text();
    // A selected name that [bases4GL] lacks is no database: no line without
    // one (mended: it was launched with an empty argument and never stopped).
    if (!EntradaEnBases4GL(base)) continue;
    const std::string argumento = modINI::LeeValorINI("basesSQL", base, "", RutaINI);
    if (argumento.empty()) continue;
    launch({Pass::kSQL, base, LineaArranque(comando, argumento), i + 1, bases,
            origen("basesSQL", base), argumento});
  }
  const std::int16_t bases4GL = List1.ListCount();
  for (std::int16_t i = 0; i < bases4GL; ++i) {
    List1.SetListIndex(i);
    const std::string base = List1.Text();
    if (!EntradaEnBases4GL(base)) {
      if (omite) omite(base);
      continue;
    }
    const std::string argumento = modINI::LeeValorINI("bases4GL", base, "", RutaINI);
    launch({Pass::k4GL, base, LineaArranque(comando, argumento), i + 1, bases4GL,
            origen("bases4GL", base), argumento});
  }
}

void Torvale::RecorreParada(const Launcher& launch, const Omision& omite, bool fin) {
  std::string comando;
  SkipIfFails("reading the stop command",
              [&] { comando = modINI::LeeValorINI("stop", "1", "", RutaINI); });
  const std::int16_t bases = List1.ListCount();
  for (std::int16_t i = 0; i < bases; ++i) {
    SkipIfFails("entry " + std::to_string(i + 1) + " of the list", [&] {
      List1.SetListIndex(i);
      const std::string base = List1.Text();
      if (!EntradaEnBases4GL(base)) {
        if (omite) omite(base);
        return;
      }
      const std::string valor = modINI::LeeValorINI("bases4GL", base, "", RutaINI);
      launch({Pass::kStop, base, LineaParada(comando, valor), i + 1, bases,
              comando.empty() ? "[bases4GL] " + base : std::string("[stop] 1"), valor});
    });
  }
  // A database this service started that [bases4GL] no longer lists is
  // stopped all the same, as it was started: never left running unseen. One
  // the selection leaves out is stopped so too when the service ends; a
  // pause narrows to the selection, as sites use it.
  const std::vector<Retirada> retiradas = Retiradas(fin);
  for (std::size_t k = 0; k < retiradas.size(); ++k) {
    const Retirada& r = retiradas[k];
    SkipIfFails("stopping " + r.base, [&] {
      launch({Pass::kStop, r.base, LineaParada(comando, r.valor), static_cast<int>(bases + k + 1),
              static_cast<int>(bases + retiradas.size()), "(started by this service) " + r.base,
              r.valor});
    });
  }
}

void Torvale::NombraOmitidas() {
  if (!desde_seleccion_) return;
  std::unordered_set<std::string> listadas;
  for (std::int16_t i = 0; i < List1.ListCount(); ++i) {
    List1.SetListIndex(i);
    listadas.insert(Upper(List1.Text()));
  }
  ServiceRecord& registro = NTService->Record();
  const std::string seleccion = platform::PathInDirectory(conexion_activa_, "\\bases\\tmp.ini");
  for (const DatabaseRecord& d : registro.Databases()) {
    if (d.pass == Pass::kStop || !StillRuns(d) || listadas.count(Upper(d.name)) > 0 ||
        !EnBases4GL(d.name)) {
      continue;
    }
    const std::string texto = d.name + ", " + PassName(d.pass) + ": left out of the " +
                              registro.Current() + " by [seleccion] of " + seleccion +
                              "; its engine, pid " + std::to_string(d.pid) + ", still runs";
    log::Warning(texto);
    registro.Note(texto);
  }
}

std::vector<Torvale::Retirada> Torvale::Retiradas(bool fin) {
  std::unordered_set<std::string> listadas;
  for (std::int16_t i = 0; fin && i < List1.ListCount(); ++i) {
    List1.SetListIndex(i);
    listadas.insert(Upper(List1.Text()));
  }
  std::vector<Retirada> retiradas;
  std::unordered_set<std::string> vistas;
  const ServiceRecord& registro = NTService->Record();
  for (const DatabaseRecord& d : registro.Started()) {
    const std::string clave = Upper(d.name);
    if (!vistas.insert(clave).second) continue;
    std::string motivo;
    if (en_bases4GL_.count(clave) == 0) {
      motivo = "is no longer in [bases4GL] of " + RutaINI;
    } else if (fin && listadas.count(clave) == 0) {
      motivo = "is left out by [seleccion] of " +
               platform::PathInDirectory(conexion_activa_, "\\bases\\tmp.ini");
    } else {
      continue;
    }
    // Stopped with the first word of the [bases4GL] value it was started
    // with, kept by the record whatever became of its entries.
    retiradas.push_back({d.name, registro.StartedWith(d.name), motivo});
  }
  return retiradas;
}

void Torvale::ArrancaBases() {
  // Every command line of this request is built from one version of each
  // profile file, read when the request begins.
  platform::ProfileView vista;
  platform::TrustView confianza;  // each program judged once, as each file is read once
  ServiceRecord& registro = NTService->Record();
  // It starts every database anew: a restart still waiting is not needed.
  CancelaReinicios(registro.Current());
  LecturaBases();
  // Mended: without its main profile a start ran nothing and said "done".
  if (!sin_perfil_.empty()) {
    throw std::runtime_error("profile " + RutaINI + ": " + sin_perfil_ + "; nothing was started");
  }
  // Mended: a line removed from [arranque] stayed in force. Each start's
  // environment is the service's own at start-up plus the lines in effect
  // now: what earlier lines set is set back first.
  for (const auto& [nombre, original] : entorno_original_) {
    if (original) {
      platform::SetEnvironmentVariable(nombre, *original);
    } else {
      platform::UnsetEnvironmentVariable(nombre);
    }
  }
  const std::vector<std::string> lineas = LeeLineasEntorno();
  for (std::size_t k = 0; k < lineas.size(); ++k) {
    std::string linea = lineas[k];
    try {
      variableEntorno(linea);
    } catch (const std::exception& e) {
      throw EnvironmentLineError("[arranque] key " + std::to_string(k + 1) + " of " + RutaINI +
                                 ": " + e.what() + "; nothing was started");
    }
  }
  const modOpciones::Opciones opciones = LeeOpciones();
  NTService->SetStopTimeLimit(opciones.parada_total);
  // Crashes from now on are started again as this request's [opciones]
  // say, their counts begun anew.
  reinicia_ = opciones.reinicia;
  espera_arranque_ = opciones.espera_arranque;
  registro.SetRestartLimit(reinicia_);
  reinicios_.Forget();
  // Whether each database is up: read once for the request. Nothing is
  // watched until the start is over.
  CancelaVigilancia();
  const Chequeos chequeos = LeeChequeos();
  for (const std::string& p : chequeos.problemas) log::Warning(p);
  std::unordered_set<std::string> chequeadas;
  for (const Chequeo& c : chequeos.lista) chequeadas.insert(c.base);
  registro.KeepReadiness(chequeadas);
  // Every launch of the sequence, in pass order (the SQL pass, then the 4GL
  // pass), then run as jobs: one at a time, each launch its own job, in that
  // order, as always; with more at once, one job per database, its SQL
  // launch before its 4GL launch, databases beginning in list order.
  std::vector<Lanzamiento> lanzamientos;
  // A database one of whose engines an earlier run of the service launched
  // and this one adopted still runs: starting it again could start a second
  // engine on the same files. Its launches are left out, said once.
  std::unordered_set<std::string> siguen;
  RecorreArranque(
      [&](const Launch& l) {
        if (!registro.AdoptedRuns(l.base)) {
          lanzamientos.push_back(Lanzamiento::De(l));
        } else if (siguen.insert(l.base).second) {
          log::Notice(l.base, ": its engine still runs: its start commands were not run");
          registro.NotStartedAgain();
        }
      },
      [&](const std::string& base) { Omite(base, "started"); });
  for (const Lanzamiento& l : lanzamientos) {
    if (const Chequeo* c = chequeos.De(l.paso.etiqueta.database)) {
      registro.Readiness(c->base, EstadoListo::kWaiting, "its start is running", c->Que());
    }
  }
  const Trabajos trabajos = AgrupaTrabajos(lanzamientos, opciones.simultaneas);
  const auto mas_tiempo = std::max<std::chrono::milliseconds>(
      kTimePerStartLaunch, opciones.espera_arranque + kTimePerStartLaunch / 2);
  modSubProceso::Plan plan;
  plan.espera = opciones.espera_arranque;
  plan.simultaneas = opciones.simultaneas;
  plan.al_lanzar = [&](std::size_t t, std::size_t k, const std::vector<std::size_t>& en_curso) {
    const Lanzamiento& l = *trabajos.origen[t][k];
    NTService->ReportProgress(
        EnCurso("starting", l, trabajos, en_curso, opciones.simultaneas, k == 0), mas_tiempo);
  };
  if (!chequeos.lista.empty()) {
    plan.chequeo = [&chequeos](const LaunchTag& t) { return chequeos.De(t.database); };
    plan.espera_listo = opciones.espera_listo;
    plan.al_listo = [&](const Chequeo& c, const modSubProceso::Listo& listo) {
      using Como = modSubProceso::Listo::Como;
      switch (listo.como) {
        case Como::kYa:
          log::Notice(c.base, " is up already: its start commands were not run");
          registro.UpAlready();
          registro.Readiness(c.base, EstadoListo::kUp,
                             "up already: its start commands were not run");
          break;
        case Como::kArriba:
          log::Info(c.base, " is up after ", TextoSegundos(listo.tras));
          registro.Readiness(c.base, EstadoListo::kUp, "up after " + TextoSegundos(listo.tras));
          break;
        case Como::kNo:
          log::Event(log::Kind::kDegraded, log::Level::kWarning, c.base, " is not up",
                     listo.tras.count() > 0 ? " after " + TextoSegundos(listo.tras) : "", ": ",
                     listo.detalle, "; going on with the next database");
          registro.Readiness(c.base, EstadoListo::kDown, listo.detalle);
          break;
      }
    };
    // While databases are awaited: which, and how long so far; the service
    // manager is given more time at each tick.
    plan.al_esperar = [&](std::chrono::milliseconds esperado, const std::vector<std::size_t>&) {
      std::string esperadas;
      for (const ReadinessRecord& r : registro.Checks()) {
        if (r.state != NombreEstadoListo(EstadoListo::kWaiting)) continue;
        esperadas += (esperadas.empty() ? "" : ", ") + r.name;
      }
      NTService->ReportProgress("starting: waiting for " + esperadas + " to be up (" +
                                    std::to_string(esperado.count() / 1000) + " s; at most " +
                                    modOpciones::Texto(opciones, "espera_listo") + " s each)",
                                kTimePerStopTick);
    };
  }
  modSubProceso::EjecutaTrabajos(trabajos.trabajos, NTService->Children(), plan);
  // From now on, each checked database is checked every [opciones] vigila.
  vigilados_ = chequeos.lista;
  fallos_.assign(vigilados_.size(), 0);
  vigila_ = opciones.vigila;
  if (vigila_ && !vigilados_.empty()) proxima_vigilancia_ = NTService->Children().Now() + *vigila_;
  // Mended: a start that launched nothing of what it had to launch, or
  // whose every start command failed within its wait (a non-zero status or
  // a signal), is a failed start, never a quiet success (the service
  // manager sees it fail).
  const SequenceTally& cuenta = registro.Tally();
  if (cuenta.lines > 0 && cuenta.failed + cuenta.ended_badly == cuenta.lines) {
    const std::string lineas =
        std::to_string(cuenta.lines) + (cuenta.lines == 1 ? " command line" : " command lines");
    if (cuenta.ended_badly == 0) {
      throw std::runtime_error("none of its " + lineas + " could be launched: no database runs");
    }
    std::string como;
    if (cuenta.failed > 0) como = std::to_string(cuenta.failed) + " could not be launched, ";
    throw std::runtime_error("none of its " + lineas + " started a database: " + como +
                             std::to_string(cuenta.ended_badly) +
                             " ended with an error within its wait; no database runs");
  }
  NTService->ReportProgress(registro.degraded ? "degraded: " + registro.health_reason
                                              : "running: " + std::to_string(List1.ListCount()) +
                                                    " databases, " + DescribeTally(cuenta),
                            0ms);
}

void Torvale::ParaBases(bool fin) {
  platform::ProfileView vista;  // one version of each file, as for the start
  platform::TrustView confianza;
  ServiceRecord& registro = NTService->Record();
  // A pause or stop never waits for a restart's time: each one waiting is
  // cancelled at once.
  SkipIfFails("cancelling the restarts", [&] { CancelaReinicios(registro.Current()); });
  // Nothing is watched while paused or stopped: a database down then is
  // down as expected.
  CancelaVigilancia();
  SkipIfFails("rebuilding the database list", [&] { LecturaBases(); });
  // Mended: without its main profile there is no stop command, and each
  // database this service started was "stopped" with its value's first
  // word as the program (a database named after a system tool ran it).
  // Nothing runs; the request fails, so that `ostrim -PAUSE && backup`
  // never copies a live database.
  if (!sin_perfil_.empty()) {
    throw std::runtime_error("profile " + RutaINI + ": " + sin_perfil_ +
                             "; no stop command can be read: nothing was stopped");
  }
  modOpciones::Opciones opciones;
  SkipIfFails("reading [opciones]", [&] { opciones = LeeOpciones(); });
  const auto empezada = std::chrono::steady_clock::now();
  std::optional<std::chrono::steady_clock::time_point> limite;
  if (opciones.parada_total) limite = empezada + *opciones.parada_total;
  std::vector<Lanzamiento> lanzamientos;
  std::vector<Retirada> retiradas;
  SkipIfFails("looking for databases no longer listed", [&] { retiradas = Retiradas(fin); });
  for (const Retirada& r : retiradas) {
    log::Warning(r.base, " ", r.motivo, ", but this service started it: stopped with the ",
                 "argument it was started with");
  }
  // A pause narrows to the selection: each engine it leaves running so is
  // named, in the log and in the operator's reply.
  if (!fin) SkipIfFails("looking for engines the pause leaves out", [&] { NombraOmitidas(); });
  RecorreParada([&](const Launch& l) { lanzamientos.push_back(Lanzamiento::De(l)); },
                [&](const std::string& base) { Omite(base, "stopped"); }, fin);
  const Trabajos trabajos = AgrupaTrabajos(lanzamientos, opciones.simultaneas);
  // Told to the service manager while a stop command runs: never past the
  // stop's own limit, so that a stop that outlives it ends.
  auto queda = [&] {
    return std::chrono::duration_cast<std::chrono::milliseconds>(*limite -
                                                                 std::chrono::steady_clock::now());
  };
  auto mas_tiempo = [&](std::chrono::milliseconds quiere) {
    if (!limite) return quiere;
    return std::max(std::min(quiere, queda()), 1ms);
  };
  modSubProceso::Plan plan;
  plan.espera = opciones.espera_parada;
  plan.esperar_al_final = true;
  plan.simultaneas = opciones.simultaneas;
  plan.limite = limite;
  // The last part of the time is kept for the databases whose turn would
  // not come: their stop commands then begin at once.
  if (opciones.parada_total) {
    plan.reserva = std::clamp<std::chrono::milliseconds>(*opciones.parada_total / 10, kReservaMenor,
                                                         kReservaMayor);
  }
  std::string en_curso_ahora;
  plan.al_lanzar = [&](std::size_t t, std::size_t k, const std::vector<std::size_t>& en_curso) {
    en_curso_ahora =
        EnCurso("stopping", *trabajos.origen[t][k], trabajos, en_curso, opciones.simultaneas, true);
    NTService->ReportProgress(en_curso_ahora, mas_tiempo(kTimePerStartLaunch));
  };
  plan.al_esperar = [&](std::chrono::milliseconds esperado, const std::vector<std::size_t>&) {
    NTService->ReportProgress(
        en_curso_ahora + ": waited " +
            std::to_string(std::chrono::duration_cast<std::chrono::seconds>(esperado).count()) +
            " s",
        mas_tiempo(kTimePerStopTick));
  };
  modSubProceso::Inconcluso inconcluso;
  SkipIfFails("running the stop commands", [&] {
    inconcluso = modSubProceso::EjecutaTrabajos(trabajos.trabajos, NTService->Children(), plan);
  });
  // The stop's time ran out: what it did not finish is said, by database.
  const std::string agotado = "the " + registro.Current() + "'s time (parada_total, " +
                              modOpciones::Texto(opciones, "parada_total") + " s) ran out";
  for (const auto& sigue : inconcluso.siguen) {
    log::Warning(sigue.etiqueta.database, ": its stop command, pid ", sigue.pid,
                 ", still runs: ", agotado, "; the ", registro.Current(), " ends without it");
    registro.Problem(sigue.etiqueta.database + ", stop: its stop command, pid " +
                     std::to_string(sigue.pid) + ", still runs: " + agotado);
  }
  for (std::size_t t : inconcluso.sin_empezar) {
    const modSubProceso::Paso& paso = trabajos.trabajos[t].front();
    log::Warning(paso.etiqueta.database, ": not stopped: ", agotado, " before its turn");
    registro.NotLaunched(paso.etiqueta, agotado + " before its turn");
  }
  // Mended: a stop whose commands had all ended just before the limit was
  // said to have been ended by it, and its engines got no grace.
  if (!inconcluso.siguen.empty() || !inconcluso.sin_empezar.empty()) {
    SkipIfFails("looking for engines left running", [&] { registro.EndOfStop(); });
    Termina("ended by its time limit, " + DescribeTally(registro.Tally()));
    return;
  }
  // A checked database is down once its check fails: one still up is left
  // running, whether its engine is the service's child or runs apart.
  SkipIfFails("checking that the databases are down", [&] {
    std::vector<std::string> paradas;
    for (const Lanzamiento& l : lanzamientos) paradas.push_back(l.paso.etiqueta.database);
    EsperaCaidas(paradas,
                 limite ? std::optional(std::clamp(queda(), 0ms, kEsperaCaida)) : std::nullopt);
  });
  SkipIfFails("looking for engines left running", [&] {
    // An engine ends a moment after its stop command: a short grace before
    // one still running is said to be left so.
    // Within the stop's own limit.
    const auto gracia = limite ? std::clamp(queda(), 0ms, std::chrono::milliseconds(kGraciaMotores))
                               : std::chrono::milliseconds(kGraciaMotores);
    NTService->Children().WaitWhile([&] { return registro.EnginesRunning(); }, gracia);
    for (const DatabaseRecord& d : registro.EndOfStop()) {
      log::Warning(d.name, " (", PassName(d.pass), "): its engine, pid ", d.pid,
                   ", still runs after its stop command; the service leaves it running");
    }
  });
  Termina(DescribeTally(registro.Tally()));
}

void Torvale::Termina(const std::string& como) {
  // Mended: a stop whose stop commands failed or left engines running
  // ended with a bare count as the service manager's last word on it.
  const ServiceRecord& registro = NTService->Record();
  const std::string falta = registro.StopShortfall();
  const std::string terminado = Terminado(registro);
  if (!falta.empty()) log::Warning(registro.Current(), " ended short of its aim: ", falta);
  NTService->ReportProgress(terminado + ": " + (falta.empty() ? como : falta), 0ms);
}

Torvale::Lanzamiento Torvale::Lanzamiento::De(const Launch& l) {
  return {{l.line, {l.base, PassName(l.pass), l.argumento}}, l.number, l.total};
}

Torvale::Trabajos Torvale::AgrupaTrabajos(std::vector<Lanzamiento>& lanzamientos, int simultaneas) {
  // The command line and argument text pass to the job, never copied: a
  // huge value is held once. The launch keeps its names for the progress.
  auto toma = [](Lanzamiento& l) {
    LaunchTag& tag = l.paso.etiqueta;
    return modSubProceso::Paso{std::move(l.paso.comando),
                               {tag.database, tag.pass, std::move(tag.argument)}};
  };
  Trabajos t;
  if (simultaneas <= 1) {
    for (Lanzamiento& l : lanzamientos) {
      t.trabajos.push_back({toma(l)});
      t.origen.push_back({&l});
    }
    return t;
  }
  // One job per position in the list (its SQL launch, then its 4GL launch),
  // jobs in list order, whichever pass came first.
  std::size_t ultima = 0;
  for (const Lanzamiento& l : lanzamientos) {
    ultima = std::max(ultima, static_cast<std::size_t>(l.numero));
  }
  std::vector<modSubProceso::Trabajo> por_posicion(ultima + 1);
  std::vector<std::vector<const Lanzamiento*>> origen(ultima + 1);
  for (Lanzamiento& l : lanzamientos) {
    por_posicion[static_cast<std::size_t>(l.numero)].push_back(toma(l));
    origen[static_cast<std::size_t>(l.numero)].push_back(&l);
  }
  for (std::size_t p = 0; p <= ultima; ++p) {
    if (por_posicion[p].empty()) continue;
    t.trabajos.push_back(std::move(por_posicion[p]));
    t.origen.push_back(std::move(origen[p]));
  }
  return t;
}

std::string Torvale::EnCurso(const char* que, const Lanzamiento& l, const Trabajos& trabajos,
                             const std::vector<std::size_t>& en_curso, int simultaneas,
                             bool empieza) {
  if (simultaneas <= 1) {
    return std::string(que) + " " + l.paso.etiqueta.database +
           (l.paso.etiqueta.pass == PassName(Pass::kStop) ? "" : ", " + l.paso.etiqueta.pass) +
           " (" + std::to_string(l.numero) + " of " + std::to_string(l.total) + ")";
  }
  std::string nombres;
  for (std::size_t t : en_curso) {
    nombres += (nombres.empty() ? "" : ", ") + trabajos.origen[t].front()->paso.etiqueta.database;
  }
  if (empieza) {
    log::Info(que, " ", l.paso.etiqueta.database, " (", l.numero, " of ", l.total,
              "); in progress: ", nombres);
  }
  return std::string(que) + ": " + nombres + " (" + std::to_string(en_curso.size()) +
         " in progress)";
}

modOpciones::Opciones Torvale::LeeOpciones() {
  modOpciones::Opciones opciones = modOpciones::LeeOpciones(RutaINI);
  for (const std::string& problema : opciones.problemas) log::Warning(problema);
  return opciones;
}

Chequeos Torvale::LeeChequeos() {
  Chequeos chequeos;
  const std::string comando = modINI::LeeValorINI("listo", "1", "", RutaINI);
  ListBox puertos;
  modINI::LeeSeccionINI(puertos, "puertos", RutaINI);
  // A key of [puertos] that names no database of [bases4GL] checks nothing:
  // a typo, said.
  for (std::int16_t i = 0; i < puertos.ListCount(); ++i) {
    puertos.SetListIndex(i);
    if (!EnBases4GL(puertos.Text())) {
      chequeos.problemas.push_back(RutaINI + " [puertos] " + puertos.Text() +
                                   ": no such database in [bases4GL]: it checks nothing");
    }
  }
  if (comando.empty() && puertos.ListCount() == 0) return chequeos;
  std::unordered_set<std::string> vistas;
  for (std::int16_t i = 0; i < List1.ListCount(); ++i) {
    List1.SetListIndex(i);
    const std::string base = List1.Text();
    if (!EntradaEnBases4GL(base) || !vistas.insert(Upper(base)).second) continue;
    Chequeo c{base, {}, std::nullopt};
    if (!comando.empty()) {
      c.linea = LineaParada(comando, modINI::LeeValorINI("bases4GL", base, "", RutaINI));
    }
    if (const std::string valor = modINI::LeeValorINI("puertos", base, "", RutaINI);
        !valor.empty()) {
      try {
        c.puerto = LeePuerto(valor);
      } catch (const std::invalid_argument& e) {
        chequeos.problemas.push_back(
            RutaINI + " [puertos] " + base + "=" + valor + ": " + e.what() +
            (c.linea.empty() ? ": " + base + " is not checked" : ": only its check command is"));
      }
    }
    if (!c.linea.empty() || c.puerto) chequeos.Pon(std::move(c));
  }
  return chequeos;
}

void Torvale::EsperaCaidas(const std::vector<std::string>& paradas,
                           std::optional<std::chrono::milliseconds> plazo) {
  ServiceRecord& registro = NTService->Record();
  const Chequeos chequeos = LeeChequeos();
  std::vector<const Chequeo*> arriba;
  std::unordered_set<std::string> vistas;
  for (const std::string& base : paradas) {
    const Chequeo* c = chequeos.De(base);
    if (c != nullptr && vistas.insert(Upper(base)).second) arriba.push_back(c);
  }
  if (arriba.empty()) return;
  platform::ChildWatch& hijos = NTService->Children();
  const auto limite = hijos.Now() + plazo.value_or(kEsperaCaida);
  auto hueco = kPrimeraEspera;
  for (;;) {
    const std::vector<std::string> resultados = modSubProceso::PruebaTodos(arriba, hijos);
    std::vector<const Chequeo*> siguen;
    for (std::size_t k = 0; k < arriba.size(); ++k) {
      const Chequeo& c = *arriba[k];
      if (resultados[k].empty()) {
        siguen.push_back(&c);
        continue;
      }
      log::Info(c.base, " is down after its stop command (", resultados[k], ")");
      registro.Readiness(c.base, EstadoListo::kStopped, resultados[k], c.Que());
    }
    arriba = std::move(siguen);
    const auto ahora = hijos.Now();
    if (arriba.empty() || ahora >= limite) break;
    const auto espera =
        std::min(hueco, std::chrono::duration_cast<std::chrono::milliseconds>(limite - ahora));
    hijos.WaitWhile([] { return true; }, espera);
    hueco = SiguienteEspera(hueco);
  }
  for (const Chequeo* c : arriba) {
    const std::string por_que = "its check still passes " +
                                TextoSegundos(plazo.value_or(kEsperaCaida)) +
                                " after its stop command ended (" + c->Que() + ")";
    log::Warning(c->base, " is still up: ", por_que, "; the service leaves it running");
    registro.StillUp(c->base, por_que);
    registro.Readiness(c->base, EstadoListo::kUp, "still up after its stop command", c->Que());
  }
}

void Torvale::CancelaVigilancia() {
  ronda_.clear();
  proxima_vigilancia_.reset();
}

void Torvale::Vigila() {
  ServiceRecord& registro = NTService->Record();
  platform::ChildWatch& hijos = NTService->Children();
  if (ronda_.empty()) {
    proxima_vigilancia_.reset();
    if (!vigila_ || vigilados_.empty() || registro.state != ServiceState::kRunning) return;
    for (const Chequeo& c : vigilados_) ronda_.emplace_back(c, hijos);
  }
  std::vector<std::string> resultados;
  for (modSubProceso::Prueba& p : ronda_) {
    std::optional<std::string> resultado = p.Resultado();
    if (!resultado) return;  // looked at again soon
    resultados.push_back(std::move(*resultado));
  }
  ronda_.clear();
  bool cambio = false;  // a database went down, or came up again
  for (std::size_t k = 0; k < vigilados_.size(); ++k) {
    const Chequeo& c = vigilados_[k];
    const ReadinessRecord* antes = registro.ReadinessOf(c.base);
    const bool caida = antes != nullptr && antes->state == NombreEstadoListo(EstadoListo::kDown);
    if (resultados[k].empty()) {
      fallos_[k] = 0;
      if (caida) {
        cambio = true;
        log::Notice(c.base, " is up again");
        registro.Readiness(c.base, EstadoListo::kUp, "up again", c.Que());
      }
      continue;
    }
    // Three failed checks in a row: one may fail while the engine is busy.
    if (++fallos_[k] < 3 || caida) {
      if (caida) registro.Readiness(c.base, EstadoListo::kDown, resultados[k], c.Que());
      continue;
    }
    cambio = true;
    log::Warning(c.base, " is down: ", resultados[k], " (3 checks in a row)");
    registro.Readiness(c.base, EstadoListo::kDown, resultados[k], c.Que());
  }
  // The service manager's status text follows the databases' health; a
  // round that changed nothing says nothing.
  if (cambio) {
    NTService->ReportProgress(registro.degraded ? "degraded: " + registro.health_reason
                                                : "running: every checked database is up",
                              0ms);
  }
  proxima_vigilancia_ = hijos.Now() + *vigila_;
}

void Torvale::Omite(const std::string& base, const char* que) {
  const std::string seleccion = platform::PathInDirectory(conexion_activa_, "\\bases\\tmp.ini");
  log::Warning(seleccion, " [seleccion] ", base, ": no such database in [bases4GL] of ", RutaINI,
               ": not ", que);
  NTService->Record().NotLaunched({base, PassName(Pass::k4GL), ""}, "not in [bases4GL]");
}

}  // namespace ostrim
