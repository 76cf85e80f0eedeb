// The optional settings of a site, in section [opciones] of Ombrel.ini: how
// long the sequences wait, and how many databases they handle at once. A
// site's file without the section behaves exactly as it always did (and
// earlier programs that read these files ignore an unknown section). They
// are read afresh at every request, like every other value.
//
// | Key             | Value (seconds may have decimals: 2.5 or 2,5)         | Absent, or 0         |
// |-----------------|-------------------------------------------------------|----------------------|
// | espera_arranque | how long each start launch is waited for: more than   | 2.5                  |
// |                 | 0, at most 3600                                       |                      |
// | espera_parada   | how long each stop command is waited for before the   | until it ends        |
// |                 | next database's stop begins (0 to 86400); one still   |                      |
// |                 | running then goes on, never killed, and the request   |                      |
// |                 | waits for it at its end                               |                      |
// | parada_total    | how long a whole stop or pause may take (0 to 86400); | no limit             |
// |                 | its last tenth (1 to 30 s) is kept for databases whose|                      |
// |                 | turn would not come: their stops then begin at once;  |                      |
// |                 | when it passes, the request ends, naming each stop    |                      |
// |                 | command still running                                 |                      |
// | simultaneas     | how many databases are started, or stopped, at the    | 1: one after another |
// |                 | same time: a whole number from 1 to 64                |                      |
// | reinicia        | how many times, in any 10 minutes, a database's       | 0: never             |
// |                 | crashed engine is started again: 0 to 100 (restarts.h |                      |
// |                 | says when)                                            |                      |
// | espera_listo    | how long a started database with a check ([listo],    | 60                   |
// |                 | [puertos]) is waited for to be up, from its first     |                      |
// |                 | launch: more than 0, at most 3600                     |                      |
// | vigila          | how often, while the service runs, each database with | 0: not watched       |
// |                 | a check is checked: 1 to 3600                         |                      |
//
// A value that is not a number, or out of its range, is a problem (said with
// the file, section, key and value) and its default is used.
//
// The keys are one table (Claves): its rows drive the reading, the problems,
// -CHECK's lines and JSON. A new key is a row there and its member here.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ostrim::modOpciones {

struct Opciones {
  std::chrono::milliseconds espera_arranque{2500};
  std::optional<std::chrono::milliseconds> espera_parada;  // none: until it ends
  std::optional<std::chrono::milliseconds> parada_total;   // none: no limit
  int simultaneas = 1;
  int reinicia = 0;  // restarts in any 10 minutes; 0: never
  std::chrono::milliseconds espera_listo{60000};
  std::optional<std::chrono::milliseconds> vigila;  // none: not watched
  // The values that could not be used, one line each ("... [opciones]
  // simultaneas=x: not a whole number from 1 to 64; 1 is used").
  std::vector<std::string> problemas;
};

// One key of [opciones]. Its value is a number of seconds (held in
// milliseconds) or a whole number; `menos` to `mas` is its range.
struct Clave {
  std::string_view nombre;
  bool entero;  // a whole number; else seconds
  std::int64_t menos;
  std::int64_t mas;
  bool cero_es_ausente;      // 0 reads as absent (its default)
  std::string_view defecto;  // the default, as a problem says it ("0 (no limit)")
  std::string_view doc;      // what it sets, in one line
  void (*pon)(Opciones&, std::int64_t);
  // The value in effect (0: absent).
  std::int64_t (*valor)(const Opciones&);
};

std::span<const Clave> Claves();

// The settings of [opciones] of `fichero`, each checked.
Opciones LeeOpciones(const std::string& fichero);

// One setting in effect, as -CHECK says it: its key, its text (seconds
// without needless decimals: "2.5", "0": absent) and the same as a number
// (seconds, or the whole number).
struct Ajuste {
  std::string clave;
  std::string texto;
  double numero;
  bool entero;
  bool operator==(const Ajuste&) const = default;
};
std::vector<Ajuste> EnEfecto(const Opciones& opciones);
// Key and text of each setting in effect.
std::vector<std::pair<std::string, std::string>> EnTexto(const Opciones& opciones);
// The text of one key's setting in effect ("600").
std::string Texto(const Opciones& opciones, std::string_view clave);

// A number of seconds as the profile writes it ("2.5", "2,5", "30"), in
// milliseconds; none when `texto` is not one (no sign, no exponent, at most
// three decimals read).
std::optional<std::chrono::milliseconds> LeeSegundos(const std::string& texto);

}  // namespace ostrim::modOpciones
