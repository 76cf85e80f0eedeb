#include "readiness.h"

#include <algorithm>
#include <stdexcept>

namespace ostrim {
namespace {

bool Digito(char c) {
  return c >= '0' && c <= '9';
}

bool Hexadecimal(char c) {
  return Digito(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool DeNombre(char c) {
  return Digito(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '.' || c == '-' ||
         c == '_';
}

std::uint16_t LeeNumero(std::string_view text) {
  // At most five digits: a longer text is out of range, however it reads.
  if (text.empty() || text.size() > 5 || !std::all_of(text.begin(), text.end(), Digito)) {
    throw std::invalid_argument("\"" + std::string(text) + "\" is not a port from 1 to 65535");
  }
  long numero = 0;
  for (char c : text) numero = numero * 10 + (c - '0');
  if (numero < 1 || numero > 65535) {
    throw std::invalid_argument(std::string(text) + " is not a port from 1 to 65535");
  }
  return static_cast<std::uint16_t>(numero);
}

}  // namespace

std::string Puerto::Text() const {
  return (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

Puerto LeePuerto(std::string_view value) {
  if (value.empty()) throw std::invalid_argument("no port");
  if (std::all_of(value.begin(), value.end(), Digito)) return {"127.0.0.1", LeeNumero(value)};
  if (value.front() == '[') {
    const std::size_t cierre = value.find(']');
    if (cierre == std::string_view::npos || value.substr(cierre + 1, 1) != ":") {
      throw std::invalid_argument("\"" + std::string(value) +
                                  "\" is not an address: an IPv6 one is written [ADDRESS]:PORT");
    }
    const std::string_view host = value.substr(1, cierre - 1);
    if (host.find(':') == std::string_view::npos ||
        !std::all_of(host.begin(), host.end(),
                     [](char c) { return Hexadecimal(c) || c == ':' || c == '.'; })) {
      throw std::invalid_argument("\"" + std::string(host) + "\" is not an IPv6 address");
    }
    return {std::string(host), LeeNumero(value.substr(cierre + 2)), true};
  }
  const std::size_t dos_puntos = value.rfind(':');
  if (dos_puntos == std::string_view::npos) LeeNumero(value);  // says why it is no port
  const std::string_view host = value.substr(0, dos_puntos);
  if (host.find(':') != std::string_view::npos) {
    throw std::invalid_argument("\"" + std::string(value) +
                                "\" is not an address: an IPv6 one is written [ADDRESS]:PORT");
  }
  if (host.empty() || !std::all_of(host.begin(), host.end(), DeNombre)) {
    throw std::invalid_argument("\"" + std::string(host) + "\" is not a host name or address");
  }
  return {std::string(host), LeeNumero(value.substr(dos_puntos + 1))};
}

std::string Chequeo::Que() const {
  std::string que = linea;
  if (puerto) que += (que.empty() ? "" : " and ") + puerto->Text();
  return que;
}

const char* NombreEstadoListo(EstadoListo estado) {
  switch (estado) {
    case EstadoListo::kWaiting:
      return "waiting";
    case EstadoListo::kUp:
      return "up";
    case EstadoListo::kDown:
      return "down";
    case EstadoListo::kStopped:
      return "stopped";
  }
  return "waiting";
}

std::string TextoSegundos(std::chrono::milliseconds ms) {
  const auto n = ms.count() < 0 ? 0 : ms.count();
  std::string milesimas = std::to_string(1000 + n % 1000).substr(1);
  return std::to_string(n / 1000) + "." + milesimas + " s";
}

std::chrono::milliseconds SiguienteEspera(std::chrono::milliseconds anterior) {
  if (anterior <= std::chrono::milliseconds(0)) return kPrimeraEspera;
  return std::min(anterior * 2, kMayorEspera);
}

}  // namespace ostrim
