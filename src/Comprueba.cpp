// -CHECK: what the next start and stop would read and run, each line
// resolved by the launcher's own code, and everything they depend on
// checked, running nothing; said as lines, or as one JSON object.
#include <algorithm>
#include <string_view>
#include <unordered_set>

#include "Torvale.h"
#include "json.h"
#include "log.h"
#include "modINI.h"
#include "modOpciones.h"
#include "record.h"

namespace ostrim {
namespace {

// Standard output in pieces: small ones gathered, a huge one (a command line
// built from a huge value) written as it is, never copied into a larger
// text. -CHECK says each command line as it is walked, so that it holds one
// at a time whatever their sizes.
class Salida {
 public:
  ~Salida() { Vacia(); }
  Salida& operator<<(std::string_view pieza) {
    if (reunido_.size() + pieza.size() > kReunido) Vacia();
    if (pieza.size() > kReunido) {
      platform::WriteStdout(pieza);
    } else {
      reunido_.append(pieza);
    }
    return *this;
  }
  void Vacia() {
    if (!reunido_.empty()) platform::WriteStdout(reunido_);
    reunido_.clear();
  }

 private:
  static constexpr std::size_t kReunido = 64 * 1024;
  std::string reunido_;
};

// `text` with its control characters written visibly: a TAB in a name never
// adds a field, an ESC never reaches the terminal. Copied only when it has
// one.
void EscribeVisible(Salida& out, std::string_view text) {
  const bool limpio = std::none_of(text.begin(), text.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7f;
  });
  if (limpio) {
    out << text;
  } else {
    out << log::Visible(text);
  }
}

// The head of -CHECK -JSON's object, up to the command lines: its keys are
// documented in the manual page and stay stable.
std::string CabezaJson(const Torvale::Comprobacion& c) {
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
  return w.Text();
}

// One command line as an element of -CHECK -JSON's "start" or "stop" list,
// its line and arguments written piece by piece.
void LineaJson(Salida& out, const Torvale::Launch& l, bool primera) {
  const platform::ProgramCheck check = platform::CheckCommandLine(l.line);
  out << (primera ? "{" : ",{") << "\"database\":" << json::Quote(l.base)
      << ",\"pass\":" << json::Quote(PassName(l.pass)) << ",\"line\":";
  out << json::Quote(l.line);
  out << ",\"program\":" << json::Quote(check.program) << ",\"path\":" << json::Quote(check.found)
      << ",\"arguments\":[";
  for (std::size_t k = 0; k < check.arguments.size(); ++k) {
    if (k > 0) out << ",";
    out << json::Quote(check.arguments[k]);
  }
  out << "],\"would_launch\":" << (check.problem.empty() ? "true" : "false")
      << ",\"problem\":" << json::Quote(check.Text()) << "}";
}

}  // namespace

int Torvale::Comprueba(bool json) {
  platform::ProfileView vista;
  platform::TrustView confianza;  // what the start and the stop would judge, once each
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
      if (EntradaEnBases4GL(base)) continue;
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
  // Each line is checked as it is built, and forgotten: the lines are
  // built again to be said (below), so that a huge value is held once.
  std::unordered_set<std::string> vistos;
  auto comprueba = [&](const Launch& l) {
    const platform::ProgramCheck check = platform::CheckCommandLine(l.line);
    // (A program another user could have changed or put in its way is
    // one of the problems: the launch refuses it as -CHECK says.)
    if (!check.problem.empty()) {
      falla = true;
      if (vistos.insert(check.program).second) {
        problema(RutaINI + " " + l.origen + ": " + check.Text());
      }
    }
    ++(l.pass == Pass::kStop ? c.paradas : c.arranques);
  };
  if (!start_fails) RecorreArranque(comprueba);
  RecorreParada(comprueba);
  // Whether each database is up ([listo], [puertos]): its check line is
  // checked as the others are; nothing is run or connected to.
  const Chequeos chequeos = LeeChequeos();
  for (const std::string& p : chequeos.problemas) {
    problema(p);
    falla = true;
  }
  for (const Chequeo& ch : chequeos.lista) {
    if (ch.linea.empty()) continue;
    const platform::ProgramCheck check = platform::CheckCommandLine(ch.linea);
    if (!check.problem.empty()) {
      falla = true;
      if (vistos.insert(check.program).second) problema(RutaINI + " [listo] 1: " + check.Text());
    }
  }
  // Whether the stops can fit the time a stop may take, when each is waited
  // for a bounded time: worth a look.
  if (opciones.parada_total && opciones.espera_parada && c.paradas > 0) {
    const auto rondas = static_cast<long long>((c.paradas + opciones.simultaneas - 1) /
                                               static_cast<std::size_t>(opciones.simultaneas));
    const auto hace_falta = *opciones.espera_parada * rondas;
    if (hace_falta > *opciones.parada_total) {
      problema(
          RutaINI + " [opciones] parada_total=" + modOpciones::Texto(opciones, "parada_total") +
          ": the stops may not fit it: " + std::to_string(c.paradas) +
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
  // The command lines are built again as they are said, one at a time.
  Salida out;
  if (json) {
    out << CabezaJson(c) << ",\"start\":[";
    bool primera = true;
    auto linea_json = [&](const Launch& l) {
      LineaJson(out, l, primera);
      primera = false;
    };
    if (!start_fails) RecorreArranque(linea_json);
    out << "],\"stop\":[";
    primera = true;
    RecorreParada(linea_json);
    json::Writer lista;
    lista.BeginArray();
    for (const Chequeo& ch : chequeos.lista) {
      lista.BeginObject().Key("database").String(ch.base).Key("line").String(ch.linea);
      lista.Key("port").String(ch.puerto ? ch.puerto->Text() : "");
      const platform::ProgramCheck check =
          ch.linea.empty() ? platform::ProgramCheck{} : platform::CheckCommandLine(ch.linea);
      lista.Key("would_launch").Bool(check.problem.empty());
      lista.Key("problem").String(check.Text()).EndObject();
    }
    lista.EndArray();
    out << "],\"checks\":" << lista.Text();
    json::Writer problemas;
    problemas.BeginArray();
    for (const std::string& p : c.problemas) problemas.String(p);
    problemas.EndArray();
    out << ",\"problems\":" << problemas.Text() << "}\n";
  } else {
    for (const std::string& base : c.bases) {
      out << "database\t";
      EscribeVisible(out, base);
      out << "\n";
    }
    for (const std::string& linea : c.entorno) {
      out << "environment\t";
      EscribeVisible(out, linea);
      out << "\n";
    }
    for (const modOpciones::Ajuste& a : c.opciones) {
      out << "option\t" << a.clave << "\t";
      EscribeVisible(out, a.texto);
      out << "\n";
    }
    auto linea = [&out](const Launch& l) {
      out << (l.pass == Pass::kStop ? "stop\t" : "start\t");
      EscribeVisible(out, l.line);
      out << "\n";
    };
    if (!start_fails) RecorreArranque(linea);
    RecorreParada(linea);
    for (const Chequeo& ch : chequeos.lista) {
      if (ch.linea.empty()) continue;
      out << "check\t";
      EscribeVisible(out, ch.linea);
      out << "\n";
    }
    for (const Chequeo& ch : chequeos.lista) {
      if (!ch.puerto) continue;
      out << "port\t";
      EscribeVisible(out, ch.base);
      out << "\t" << ch.puerto->Text() << "\n";
    }
  }
  out.Vacia();
  if (!json) {
    std::string err;
    for (const std::string& p : c.problemas) err += "ostrim: " + p + "\n";
    platform::WriteStderr(err);
  }
  return c.estado;
}

}  // namespace ostrim
