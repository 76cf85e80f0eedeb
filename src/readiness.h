// Whether a database is up: what its [puertos] value names, and how often a
// start looks. Apart from any socket, launch or clock, so that each rule is
// tested on its own.
//
// A [puertos] value, without the blanks the profile reader drops:
//
// | Value            | Address                                        |
// |------------------|------------------------------------------------|
// | `PORT`           | 127.0.0.1, that port                           |
// | `HOST:PORT`      | HOST (an IPv4 address or a name), that port    |
// | `[IPV6]:PORT`    | that IPv6 address, that port                   |
//
// PORT is 1 to 65535, in decimal digits only. HOST holds letters, digits,
// ".", "-" and "_"; an IPv6 address goes in brackets and holds hexadecimal
// digits, ":" and "." (an IPv4 tail). Anything else is refused with
// std::invalid_argument, whose text says what is wrong, for the warning
// that names the file, section and key.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ostrim {

struct Puerto {
  std::string host;  // as written: a name, an IPv4 or an IPv6 address
  std::uint16_t port = 0;
  bool ipv6 = false;
  // As -CHECK and -STATUS say it: "127.0.0.1:5432", "[::1]:5432".
  std::string Text() const;
  bool operator==(const Puerto&) const = default;
};

Puerto LeePuerto(std::string_view value);

// What says that a database is up: its check line (the [listo] command,
// built as its stop line is), its port ([puertos]), or both, each of which
// must then pass.
struct Chequeo {
  std::string base;
  std::string linea;             // empty: no check command
  std::optional<Puerto> puerto;  // none: no port
  // As -STATUS says it: "comprueba ventas", "127.0.0.1:5432", or both,
  // joined by " and ".
  std::string Que() const;
};

// How long one run of a check command may take (one still running then is
// ended and counts as not up), and how long a port has to accept.
inline constexpr std::chrono::milliseconds kLimiteComando{10000};
inline constexpr std::chrono::milliseconds kLimitePuerto{2000};
// How often a check in progress is looked at where no wait wakes for it (a
// connection being made, a round of watching): most are over at once.
inline constexpr std::chrono::milliseconds kVistazo{10};
// How long a stop waits, after a checked database's stop command, for its
// check to fail.
inline constexpr std::chrono::milliseconds kEsperaCaida{10000};

// The state of a checked database, as -STATUS says it.
enum class EstadoListo {
  kWaiting,  // a start waits for it to be up
  kUp,       // its check passed
  kDown,     // given up at a start, or found down while watched
  kStopped,  // down after a pause or stop, as expected
};
const char* NombreEstadoListo(EstadoListo estado);

// "1.240 s": how long a wait took, as the log and -STATUS say it.
std::string TextoSegundos(std::chrono::milliseconds ms);

// The gap before a start's next check: 100 ms after the first, then twice
// the gap before it, at most 1 s.
inline constexpr std::chrono::milliseconds kPrimeraEspera{100};
inline constexpr std::chrono::milliseconds kMayorEspera{1000};
std::chrono::milliseconds SiguienteEspera(std::chrono::milliseconds anterior);

}  // namespace ostrim
