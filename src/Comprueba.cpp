// -CHECK: what the next start and stop would read and run, each line
// resolved by the launcher's own code, and everything they depend on
// checked, running nothing; said as lines, or as one JSON object.
#include <unordered_set>

#include "Torvale.h"
#include "json.h"
#include "log.h"
#include "modINI.h"
#include "modOpciones.h"
#include "record.h"

namespace ostrim {
namespace {

// -CHECK's findings as one JSON object; its keys are documented in the
// manual page and stay stable.
std::string ComprobacionJson(const Torvale::Comprobacion& c) {
  json::Writer w;
  w.BeginObject().Key("status").Number(std::int64_t{c.estado});
  w.Key("databases").BeginArray();
  for (const std::string& base : c.bases) w.String(base);
  w.EndArray().Key("environment").BeginArray();
  for (const std::string& linea : c.entorno) w.String(linea);
  w.EndArray().Key("options").BeginObject();
  for (const modOpciones::Ajuste& a : c.opciones) {
    w.Key(a.clave);
    if (a.entero) {
      w.Number(static_cast<std::int64_t>(a.numero));
    } else {
      w.Number(a.numero);
    }
  }
  w.EndObject();
  for (const auto* lineas : {&c.arranque, &c.parada}) {
    w.Key(lineas == &c.parada ? "stop" : "start").BeginArray();
    for (const Torvale::Comprobacion::Linea& l : *lineas) {
      w.BeginObject().Key("database").String(l.base).Key("pass").String(l.pase);
      w.Key("line").String(l.linea).Key("program").String(l.check.program);
      w.Key("path").String(l.check.found).Key("arguments").BeginArray();
      for (const std::string& arg : l.check.arguments) w.String(arg);
      w.EndArray().Key("would_launch").Bool(l.check.problem.empty());
      w.Key("problem").String(l.check.Text()).EndObject();
    }
    w.EndArray();
  }
  w.Key("problems").BeginArray();
  for (const std::string& p : c.problemas) w.String(p);
  w.EndArray().EndObject();
  return w.Text();
}

}  // namespace

int Torvale::Comprueba(bool json) {
  platform::ProfileView vista;
  Comprobacion c;
  // What would be logged is said as -CHECK's own findings, and only what is
  // worth a look (warnings and errors), unless OSTRIM_LOG_LEVEL asks for
  // more: nothing at all when all is fine.
  std::string registro;
  log::SetCapture(&registro);
  if (!log::LevelFromEnvironmentWasSet()) log::SetThreshold(log::Level::kWarning);
  struct FinCaptura {
    ~FinCaptura() { log::SetCapture(nullptr); }
  } fin_captura;
  // Problems, one each; `falla`: something the next start or stop depends
  // on would fail or is missing.
  bool falla = false;
  auto problema = [&c](std::string text) { c.problemas.push_back(std::move(text)); };
  bool start_fails = false;
  try {
    LecturaBases();  // warns of a missing Ombrel.ini and of permissions itself
  } catch (const std::exception& e) {
    // The start would fail here; the stop goes on with the entries read.
    problema(e.what());
    start_fails = true;
  }
  // Without its main profile, or with profiles another user could change,
  // the start refuses to run anything: said as a start that would fail.
  if (!sin_perfil_.empty()) start_fails = true;
  if (desconfianzas_ > 0) falla = true;  // said in the log lines below
  for (std::int16_t i = 0; i < List1.ListCount(); ++i) {
    List1.SetListIndex(i);
    c.bases.push_back(List1.Text());
  }
  // The environment lines are applied to this process, as the start applies
  // them to the service's before its first launch: a line may set PATH, and
  // the programs below must be looked up as the launches would look them up.
  // (-CHECK launches nothing, so nothing else sees them.)
  const std::vector<std::string> lineas = LeeLineasEntorno();
  for (std::size_t k = 0; k < lineas.size() && !start_fails; ++k) {
    std::string linea = lineas[k];
    try {
      if (auto variable = LineaEntornoAplicable(linea)) {
        platform::SetEnvironmentVariable(variable->first, variable->second);
        c.entorno.push_back(linea);
      }
    } catch (const std::exception& e) {
      problema(RutaINI + " [arranque] " + std::to_string(k + 1) + ": " + e.what() +
               ": the start would fail");
      start_fails = true;
    }
  }

  // The settings in effect; a value that cannot be used fails the check.
  const modOpciones::Opciones opciones = modOpciones::LeeOpciones(RutaINI);
  c.opciones = modOpciones::EnEfecto(opciones);
  for (const std::string& p : opciones.problemas) {
    problema(p);
    falla = true;
  }

  // Worth a look, but nothing fails for it.
  const std::string seleccion = platform::PathInDirectory(conexion_activa_, "\\bases\\tmp.ini");
  if (List1.ListCount() == 0) {
    problema("no database to start or stop: neither [seleccion] of " + seleccion +
             " nor [bases4GL] of " + RutaINI + " names one");
  } else {
    // A selected name that [bases4GL] lacks is skipped, start and stop: a
    // typo that leaves a database unhandled.
    for (const std::string& base : c.bases) {
      if (EnBases4GL(base)) continue;
      problema(seleccion + " [seleccion] " + base + ": no such database in [bases4GL] of " +
               RutaINI + ": it is neither started nor stopped");
      falla = true;
    }
  }

  // A database the selection leaves out whose engine the running service
  // started still runs through a pause (its stop still stops it): said, as
  // the pause says it.
  if (desde_seleccion_ && List1.ListCount() > 0) {
    const ControlReply estado = NTService->Status(StatusForm::kText);
    if (estado.status == 0 || estado.status == 4) {
      std::unordered_set<std::string> listadas;
      for (const std::string& base : c.bases) listadas.insert(Upper(base));
      std::unordered_set<std::string> dichas;
      const ServiceRecord servido = ServiceRecord::Parse(estado.out);
      for (const DatabaseRecord& d : servido.Databases()) {
        if (d.pass == Pass::kStop || !StillRuns(d) || listadas.count(Upper(d.name)) > 0 ||
            !dichas.insert(Upper(d.name)).second) {
          continue;
        }
        problema(seleccion + " [seleccion] leaves out " + d.name + ", whose engine (pid " +
                 std::to_string(d.pid) + ") the running service started: a pause leaves it " +
                 "running; the service's stop still stops it");
      }
    }
  }

  // Missing commands, and what every line would run, resolved by the
  // launcher's own code. A program that cannot run is said once.
  for (const char* seccion : {"start", "stop"}) {
    if (!modINI::LeeValorINI(seccion, "1", "", RutaINI).empty()) continue;
    if (List1.ListCount() == 0 || (start_fails && std::string(seccion) == "start")) continue;
    problema(RutaINI + " [" + seccion + "] 1: no " + seccion + " command: each database's " +
             "value is run as the program");
    falla = true;
  }
  std::unordered_set<std::string> vistos;
  auto comprueba = [&](const Launch& l) {
    Comprobacion::Linea linea{PassName(l.pass), l.base, l.line, platform::CheckCommandLine(l.line)};
    // (A program another user could have changed or put in its way is
    // one of the problems: the launch refuses it as -CHECK says.)
    if (!linea.check.problem.empty()) {
      falla = true;
      if (vistos.insert(linea.check.program).second) {
        problema(RutaINI + " " + l.origen + ": " + linea.check.Text());
      }
    }
    (l.pass == Pass::kStop ? c.parada : c.arranque).push_back(std::move(linea));
  };
  if (!start_fails) RecorreArranque(comprueba);
  RecorreParada(comprueba);
  // Whether the stops can fit the time a stop may take, when each is waited
  // for a bounded time: worth a look.
  if (opciones.parada_total && opciones.espera_parada && !c.parada.empty()) {
    const auto rondas = static_cast<long long>((c.parada.size() + opciones.simultaneas - 1) /
                                               static_cast<std::size_t>(opciones.simultaneas));
    const auto hace_falta = *opciones.espera_parada * rondas;
    if (hace_falta > *opciones.parada_total) {
      problema(
          RutaINI + " [opciones] parada_total=" + modOpciones::Texto(opciones, "parada_total") +
          ": the stops may not fit it: " + std::to_string(c.parada.size()) +
          " stop commands, each waited for up to " + modOpciones::Texto(opciones, "espera_parada") +
          " s, " + std::to_string(opciones.simultaneas) + " at a time, can take " +
          std::to_string(std::chrono::duration_cast<std::chrono::seconds>(hace_falta).count()) +
          " s");
    }
  }
  c.estado = start_fails ? 1 : falla ? 3 : 0;
  // What the reading and the checks logged, first, as -CHECK's own lines.
  std::vector<std::string> registradas;
  for (std::string_view resto = registro; !resto.empty();) {
    const std::size_t fin = resto.find('\n');
    registradas.emplace_back(resto.substr(0, fin));
    resto.remove_prefix(fin == std::string_view::npos ? resto.size() : fin + 1);
  }
  c.problemas.insert(c.problemas.begin(), registradas.begin(), registradas.end());
  if (json) {
    platform::WriteStdout(ComprobacionJson(c) + "\n");
  } else {
    std::string out, err;
    // Each field with its control characters written visibly: a TAB in a
    // name never adds a field, an ESC never reaches the terminal.
    using log::Visible;
    for (const std::string& base : c.bases) out += "database\t" + Visible(base) + "\n";
    for (const std::string& linea : c.entorno) out += "environment\t" + Visible(linea) + "\n";
    for (const modOpciones::Ajuste& a : c.opciones) {
      out += "option\t" + a.clave + "\t" + Visible(a.texto) + "\n";
    }
    for (const auto* lineas : {&c.arranque, &c.parada}) {
      for (const Comprobacion::Linea& l : *lineas) {
        out += std::string(lineas == &c.parada ? "stop" : "start") + "\t" + Visible(l.linea) + "\n";
      }
    }
    for (const std::string& p : c.problemas) err += "ostrim: " + p + "\n";
    platform::WriteStdout(out);
    platform::WriteStderr(err);
  }
  return c.estado;
}

}  // namespace ostrim
