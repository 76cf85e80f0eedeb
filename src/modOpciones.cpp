#include "modOpciones.h"

#include <cstdint>

#include "modINI.h"

namespace ostrim::modOpciones {
namespace {

using namespace std::chrono_literals;
using std::chrono::milliseconds;

constexpr milliseconds kMasEsperaArranque = 3600s;
constexpr milliseconds kMasParada = 86400s;
constexpr int kMasSimultaneas = 64;

std::string Segundos(milliseconds ms) {
  std::string texto = std::to_string(ms.count() / 1000);
  if (const auto resto = ms.count() % 1000; resto != 0) {
    std::string decimales = std::to_string(1000 + resto).substr(1);
    while (decimales.back() == '0') decimales.pop_back();
    texto += "." + decimales;
  }
  return texto;
}

}  // namespace

std::optional<milliseconds> LeeSegundos(const std::string& texto) {
  std::int64_t enteros = 0;
  std::int64_t milesimas = 0;
  int decimales = -1;  // none read yet; -1: no separator seen
  bool cifras = false;
  for (char c : texto) {
    if (c >= '0' && c <= '9') {
      cifras = true;
      if (decimales < 0) {
        if (enteros > 10'000'000) return std::nullopt;  // far past every range
        enteros = enteros * 10 + (c - '0');
      } else if (decimales < 3) {
        milesimas = milesimas * 10 + (c - '0');
        ++decimales;
      }
    } else if ((c == '.' || c == ',') && decimales < 0) {
      decimales = 0;
    } else {
      return std::nullopt;
    }
  }
  if (!cifras) return std::nullopt;
  for (int d = std::max(decimales, 0); d < 3; ++d) milesimas *= 10;
  return milliseconds(enteros * 1000 + milesimas);
}

Opciones LeeOpciones(const std::string& fichero) {
  Opciones o;
  auto problema = [&](const char* clave, const std::string& valor, const std::string& que,
                      const std::string& defecto) {
    o.problemas.push_back(fichero + " [opciones] " + clave + "=" + valor + ": not " + que + "; " +
                          defecto + " is used");
  };
  // Seconds in [0, most]; 0 and absence read as none.
  auto segundos = [&](const char* clave, milliseconds mas, const std::string& defecto,
                      bool cero_vale) -> std::optional<milliseconds> {
    const std::string valor = modINI::LeeValorINI("opciones", clave, "", fichero);
    if (valor.empty()) return std::nullopt;
    const std::optional<milliseconds> leido = LeeSegundos(valor);
    if (!leido || *leido > mas || (!cero_vale && leido->count() == 0)) {
      problema(clave, valor,
               std::string("a number of seconds ") + (cero_vale ? "from 0" : "above 0") + " to " +
                   Segundos(mas),
               defecto);
      return std::nullopt;
    }
    if (leido->count() == 0) return std::nullopt;
    return leido;
  };
  if (auto espera = segundos("espera_arranque", kMasEsperaArranque, "2.5", false)) {
    o.espera_arranque = *espera;
  }
  o.espera_parada = segundos("espera_parada", kMasParada, "0 (until it ends)", true);
  o.parada_total = segundos("parada_total", kMasParada, "0 (no limit)", true);
  const std::string simultaneas = modINI::LeeValorINI("opciones", "simultaneas", "", fichero);
  if (!simultaneas.empty()) {
    const std::optional<milliseconds> leido = LeeSegundos(simultaneas);
    const bool entero = simultaneas.find_first_of(".,") == std::string::npos;
    if (!leido || !entero || leido->count() < 1000 || leido->count() > kMasSimultaneas * 1000) {
      problema("simultaneas", simultaneas,
               "a whole number from 1 to " + std::to_string(kMasSimultaneas), "1");
    } else {
      o.simultaneas = static_cast<int>(leido->count() / 1000);
    }
  }
  return o;
}

std::vector<std::pair<std::string, std::string>> EnTexto(const Opciones& o) {
  return {{"espera_arranque", Segundos(o.espera_arranque)},
          {"espera_parada", Segundos(o.espera_parada.value_or(0ms))},
          {"parada_total", Segundos(o.parada_total.value_or(0ms))},
          {"simultaneas", std::to_string(o.simultaneas)}};
}

}  // namespace ostrim::modOpciones
