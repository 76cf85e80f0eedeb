#include "modSubProceso.h"

#include <chrono>
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

std::optional<platform::Process> Lanza(const std::string& comando, platform::ChildWatch& hijos,
                                       const platform::LaunchTag& etiqueta) {
  try {
    platform::Process process = platform::Launch(comando, hijos, etiqueta);
    log::Event(log::Kind::kLaunched, log::Level::kInfo, "launched pid ", process.Id(), ": ",
               platform::TagPrefix(etiqueta), log::Quoted(comando));
    return process;
  } catch (const std::exception& e) {
    log::Event(log::Kind::kLaunchFailed, log::Level::kError,
               "launch failed: ", platform::TagPrefix(etiqueta), log::Quoted(comando), ": ",
               e.what());
    hijos.LaunchFailed(etiqueta, comando, e.what());
    return std::nullopt;
  }
}

Resultado InformaFin(const platform::Process& process, const platform::ProcessEnd& end,
                     const platform::LaunchTag& etiqueta) {
  const bool bien = !end.by_signal && end.value == 0;
  log::Event(log::Kind::kChildEnded, bien ? log::Level::kInfo : log::Level::kWarning, "pid ",
             process.Id(), " ended: ", platform::DescribeEnd(end), " after ", Seconds(end.ran),
             " s", etiqueta.database.empty() ? "" : ": ", etiqueta.database,
             etiqueta.database.empty() ? "" : ", ", etiqueta.pass);
  return bien ? Resultado::kTermino : Resultado::kTerminoMal;
}

}  // namespace

Resultado EjecutaProceso(const std::string& comando, platform::ChildWatch& hijos,
                         const platform::LaunchTag& etiqueta) {
  std::optional<platform::Process> process = Lanza(comando, hijos, etiqueta);
  if (!process) return Resultado::kNoLanzado;
  if (std::optional<platform::ProcessEnd> end = process->Wait(kEsperaArranque)) {
    return InformaFin(*process, *end, etiqueta);
  }
  log::Info("pid ", process->Id(), " still running after ", Seconds(kEsperaArranque),
            " s: left running", etiqueta.database.empty() ? "" : ": ", etiqueta.database,
            etiqueta.database.empty() ? "" : ", ", etiqueta.pass);
  return Resultado::kSigue;
}

Resultado EjecutaProcesoEspera(const std::string& comando, platform::ChildWatch& hijos,
                               const platform::LaunchTag& etiqueta, const AlEsperar& al_esperar) {
  std::optional<platform::Process> process = Lanza(comando, hijos, etiqueta);
  if (!process) return Resultado::kNoLanzado;
  milliseconds next_notice = kPrimerAviso;
  const auto pid = process->Id();
  std::optional<platform::ProcessEnd> end =
      process->Wait(std::nullopt, kIntervaloProgreso, [&](milliseconds waited) {
        if (al_esperar) al_esperar(waited);
        if (waited >= next_notice) {
          log::Notice("still waiting for pid ", pid, " after ", Seconds(waited),
                      " s: ", platform::TagPrefix(etiqueta), log::Quoted(comando));
          next_notice *= 2;
        }
      });
  return end ? InformaFin(*process, *end, etiqueta) : Resultado::kTerminoMal;
}

}  // namespace ostrim::modSubProceso
