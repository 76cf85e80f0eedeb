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
// |                 | when it passes, the request ends, naming each stop    |                      |
// |                 | command still running                                 |                      |
// | simultaneas     | how many databases are started, or stopped, at the    | 1: one after another |
// |                 | same time: a whole number from 1 to 64                |                      |
//
// A value that is not a number, or out of its range, is a problem (said with
// the file, section, key and value) and its default is used.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace ostrim::modOpciones {

struct Opciones {
  std::chrono::milliseconds espera_arranque{2500};
  std::optional<std::chrono::milliseconds> espera_parada;  // none: until it ends
  std::optional<std::chrono::milliseconds> parada_total;   // none: no limit
  int simultaneas = 1;
  // The values that could not be used, one line each ("... [opciones]
  // simultaneas=x: not a whole number from 1 to 64; 1 is used").
  std::vector<std::string> problemas;
};

// The settings of [opciones] of `fichero`, each checked.
Opciones LeeOpciones(const std::string& fichero);

// The settings in effect, as -CHECK prints them: key and value, seconds
// without needless decimals ("2.5", "0": absent).
std::vector<std::pair<std::string, std::string>> EnTexto(const Opciones& opciones);

// A number of seconds as the profile writes it ("2.5", "2,5", "30"), in
// milliseconds; none when `texto` is not one (no sign, no exponent, at most
// three decimals read).
std::optional<std::chrono::milliseconds> LeeSegundos(const std::string& texto);

}  // namespace ostrim::modOpciones
