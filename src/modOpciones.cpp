#include "modOpciones.h"

#include <cstdint>
#include <stdexcept>

#include "modINI.h"

namespace ostrim::modOpciones {
namespace {

using namespace std::chrono_literals;
using std::chrono::milliseconds;

std::string Segundos(milliseconds ms) {
  std::string texto = std::to_string(ms.count() / 1000);
  if (const auto resto = ms.count() % 1000; resto != 0) {
    std::string decimales = std::to_string(1000 + resto).substr(1);
    while (decimales.back() == '0') decimales.pop_back();
    texto += "." + decimales;
  }
  return texto;
}

// The keys, in the order -CHECK prints them.
constexpr std::int64_t kDia = 86'400'000;
constexpr Clave kClaves[] = {
    {"espera_arranque", false, 1, 3'600'000, false, "2.5",
     "how long each start launch is waited for",
     [](Opciones& o, std::int64_t v) { o.espera_arranque = milliseconds(v); },
     [](const Opciones& o) -> std::int64_t { return o.espera_arranque.count(); }},
    {"espera_parada", false, 0, kDia, true, "0 (until it ends)",
     "how long each stop command is waited for before the next database's stop begins",
     [](Opciones& o, std::int64_t v) { o.espera_parada = milliseconds(v); },
     [](const Opciones& o) { return o.espera_parada.value_or(0ms).count(); }},
    {"parada_total", false, 0, kDia, true, "0 (no limit)",
     "how long a whole stop or pause may take",
     [](Opciones& o, std::int64_t v) { o.parada_total = milliseconds(v); },
     [](const Opciones& o) { return o.parada_total.value_or(0ms).count(); }},
    {"simultaneas", true, 1, 64, false, "1",
     "how many databases are started, or stopped, at the same time",
     [](Opciones& o, std::int64_t v) { o.simultaneas = static_cast<int>(v); },
     [](const Opciones& o) -> std::int64_t { return o.simultaneas; }},
    {"reinicia", true, 0, 100, true, "0 (never)",
     "how many times, in any 10 minutes, a database's crashed engine is started again",
     [](Opciones& o, std::int64_t v) { o.reinicia = static_cast<int>(v); },
     [](const Opciones& o) -> std::int64_t { return o.reinicia; }},
    {"espera_listo", false, 1, 3'600'000, false, "60",
     "how long a started database with a check is waited for to be up",
     [](Opciones& o, std::int64_t v) { o.espera_listo = milliseconds(v); },
     [](const Opciones& o) -> std::int64_t { return o.espera_listo.count(); }},
    {"vigila", false, 1000, 3'600'000, true, "0 (not watched)",
     "how often each database with a check is checked while the service runs",
     [](Opciones& o, std::int64_t v) { o.vigila = milliseconds(v); },
     [](const Opciones& o) { return o.vigila.value_or(0ms).count(); }},
};

// "a number of seconds above 0 to 3600", "a whole number from 1 to 64".
std::string Rango(const Clave& clave) {
  if (clave.entero) {
    return "a whole number from " + std::to_string(clave.menos) + " to " +
           std::to_string(clave.mas);
  }
  return std::string("a number of seconds ") +
         (clave.menos == 1 ? "above 0" : "from " + Segundos(milliseconds(clave.menos))) + " to " +
         Segundos(milliseconds(clave.mas));
}

}  // namespace

std::span<const Clave> Claves() {
  return kClaves;
}

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
  for (const Clave& clave : Claves()) {
    const std::string valor =
        modINI::LeeValorINI("opciones", std::string(clave.nombre), "", fichero);
    if (valor.empty()) continue;
    const std::optional<milliseconds> leido = LeeSegundos(valor);
    // A whole number is read as seconds would be, then checked for decimals.
    std::optional<std::int64_t> n;
    if (leido && !clave.entero) n = leido->count();
    if (leido && clave.entero && valor.find_first_of(".,") == std::string::npos) {
      n = leido->count() / 1000;
    }
    const bool cero = n && *n == 0 && clave.cero_es_ausente;
    if (!n || (!cero && (*n < clave.menos || *n > clave.mas))) {
      o.problemas.push_back(fichero + " [opciones] " + std::string(clave.nombre) + "=" + valor +
                            ": not " + Rango(clave) + "; " + std::string(clave.defecto) +
                            " is used");
      continue;
    }
    if (!cero) clave.pon(o, *n);
  }
  return o;
}

std::vector<Ajuste> EnEfecto(const Opciones& o) {
  std::vector<Ajuste> ajustes;
  for (const Clave& clave : Claves()) {
    const std::int64_t v = clave.valor(o);
    ajustes.push_back(
        {std::string(clave.nombre), clave.entero ? std::to_string(v) : Segundos(milliseconds(v)),
         clave.entero ? static_cast<double>(v) : static_cast<double>(v) / 1000.0, clave.entero});
  }
  return ajustes;
}

std::vector<std::pair<std::string, std::string>> EnTexto(const Opciones& o) {
  std::vector<std::pair<std::string, std::string>> texto;
  for (const Ajuste& a : EnEfecto(o)) texto.emplace_back(a.clave, a.texto);
  return texto;
}

std::string Texto(const Opciones& o, std::string_view nombre) {
  for (const Ajuste& a : EnEfecto(o)) {
    if (a.clave == nombre) return a.texto;
  }
  throw std::logic_error("no [opciones] key " + std::string(nombre));
}

}  // namespace ostrim::modOpciones
