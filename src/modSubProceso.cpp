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
// While a stop command runs: how often the service manager hears from us,
// and how much more time each report asks for.
constexpr milliseconds kIntervaloProgreso = 5s;
constexpr milliseconds kTiempoExtra = 15s;
// The first "still waiting" line comes after this; each next one after twice
// the previous interval.
constexpr milliseconds kPrimerAviso = 5s;

double Seconds(milliseconds ms) {
  return std::chrono::duration<double>(ms).count();
}

std::optional<platform::Process> Lanza(const std::string& comando, platform::ChildWatch& hijos,
                                       const std::string& etiqueta) {
  try {
    platform::Process process = platform::Launch(comando, hijos, etiqueta);
    log::Info("launched pid ", process.Id(), ": ", log::Quoted(comando));
    return process;
  } catch (const std::exception& e) {
    log::Error("launch failed: ", log::Quoted(comando), ": ", e.what());
    return std::nullopt;
  }
}

void InformaFin(const platform::Process& process, const platform::ProcessEnd& end) {
  if (end.by_signal || end.value != 0) {
    log::Warning("pid ", process.Id(), " ended: ", platform::DescribeEnd(end), " after ",
                 Seconds(end.ran), " s");
  } else {
    log::Info("pid ", process.Id(), " ended: ", platform::DescribeEnd(end), " after ",
              Seconds(end.ran), " s");
  }
}

}  // namespace

void EjecutaProceso(const std::string& comando, platform::ChildWatch& hijos,
                    const std::string& etiqueta) {
  std::optional<platform::Process> process = Lanza(comando, hijos, etiqueta);
  if (!process) return;
  if (std::optional<platform::ProcessEnd> end = process->Wait(kEsperaArranque)) {
    InformaFin(*process, *end);
  } else {
    log::Info("pid ", process->Id(), " still running after ", Seconds(kEsperaArranque),
              " s: left running");
  }
}

void EjecutaProcesoEspera(const std::string& comando, platform::ChildWatch& hijos,
                          const std::string& etiqueta) {
  std::optional<platform::Process> process = Lanza(comando, hijos, etiqueta);
  if (!process) return;
  milliseconds next_notice = kPrimerAviso;
  const auto pid = process->Id();
  std::optional<platform::ProcessEnd> end =
      process->Wait(std::nullopt, kIntervaloProgreso, [&](milliseconds waited) {
        hijos.ReportProgress("waiting for pid " + std::to_string(pid) + " to end: " + comando,
                             kTiempoExtra);
        if (waited >= next_notice) {
          log::Notice("still waiting for pid ", pid, " after ", Seconds(waited),
                      " s: ", log::Quoted(comando));
          next_notice *= 2;
        }
      });
  if (end) InformaFin(*process, *end);
}

}  // namespace ostrim::modSubProceso
