// The settings of [opciones]: numbers as sites write them, their ranges, and
// the defaults used when a value cannot be.
#include "modOpciones.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "helpers/files.h"

namespace ostrim::modOpciones {
namespace {

using namespace std::chrono_literals;
using std::chrono::milliseconds;

TEST(LeeSegundos, ReadsSecondsAsSitesWriteThem) {
  struct Case {
    const char* text;
    std::optional<milliseconds> ms;
  };
  const Case cases[] = {
      {"2.5", 2500ms},
      {"2,5", 2500ms},
      {"30", 30s},
      {"0", 0ms},
      {"0.001", 1ms},
      {"1.23456", 1234ms},  // decimals past the third are not read
      {".5", 500ms},
      {"5.", 5s},
      {"", std::nullopt},
      {".", std::nullopt},
      {"-1", std::nullopt},
      {"+1", std::nullopt},
      {"1e3", std::nullopt},
      {"2.5.1", std::nullopt},
      {"1 0", std::nullopt},
      {"rapido", std::nullopt},
      {"99999999999999999999", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(LeeSegundos(c.text), c.ms) << c.text;
}

TEST(LeeOpciones, ChecksEachValueAndKeepsTheDefaultOfOneItCannotUse) {
  tests::TempDir dir;
  const std::string ini = dir / "Ombrel.ini";
  struct Case {
    const char* opciones;
    std::vector<std::pair<std::string, std::string>> in_effect;
    std::size_t problems;
  };
  const Case cases[] = {
      {"",
       {{"espera_arranque", "2.5"},
        {"espera_parada", "0"},
        {"parada_total", "0"},
        {"simultaneas", "1"},
        {"reinicia", "0"},
        {"espera_listo", "60"},
        {"vigila", "0"}},
       0},
      {"[opciones]\nespera_arranque=0.75\nespera_parada=30\nparada_total=600\nsimultaneas=64\n",
       {{"espera_arranque", "0.75"},
        {"espera_parada", "30"},
        {"parada_total", "600"},
        {"simultaneas", "64"},
        {"reinicia", "0"},
        {"espera_listo", "60"},
        {"vigila", "0"}},
       0},
      {"[OPCIONES]\nEspera_Parada = '12,5'\n",  // names in any case, a value in quotes
       {{"espera_arranque", "2.5"},
        {"espera_parada", "12.5"},
        {"parada_total", "0"},
        {"simultaneas", "1"},
        {"reinicia", "0"},
        {"espera_listo", "60"},
        {"vigila", "0"}},
       0},
      {"[opciones]\nespera_arranque=0\nespera_parada=86401\nparada_total=x\nsimultaneas=1.5\n",
       {{"espera_arranque", "2.5"},
        {"espera_parada", "0"},
        {"parada_total", "0"},
        {"simultaneas", "1"},
        {"reinicia", "0"},
        {"espera_listo", "60"},
        {"vigila", "0"}},
       4},
      {"[opciones]\nsimultaneas=0\n",
       {{"espera_arranque", "2.5"},
        {"espera_parada", "0"},
        {"parada_total", "0"},
        {"simultaneas", "1"},
        {"reinicia", "0"},
        {"espera_listo", "60"},
        {"vigila", "0"}},
       1},
      {"[opciones]\nreinicia=100\n",
       {{"espera_arranque", "2.5"},
        {"espera_parada", "0"},
        {"parada_total", "0"},
        {"simultaneas", "1"},
        {"reinicia", "100"},
        {"espera_listo", "60"},
        {"vigila", "0"}},
       0},
      {"[opciones]\nreinicia=101\n",
       {{"espera_arranque", "2.5"},
        {"espera_parada", "0"},
        {"parada_total", "0"},
        {"simultaneas", "1"},
        {"reinicia", "0"},
        {"espera_listo", "60"},
        {"vigila", "0"}},
       1},
      {"[opciones]\nreinicia=1.5\n",
       {{"espera_arranque", "2.5"},
        {"espera_parada", "0"},
        {"parada_total", "0"},
        {"simultaneas", "1"},
        {"reinicia", "0"},
        {"espera_listo", "60"},
        {"vigila", "0"}},
       1},
      {"[opciones]\nespera_listo=0,25\nvigila=1\n",
       {{"espera_arranque", "2.5"},
        {"espera_parada", "0"},
        {"parada_total", "0"},
        {"simultaneas", "1"},
        {"reinicia", "0"},
        {"espera_listo", "0.25"},
        {"vigila", "1"}},
       0},
      {"[opciones]\nespera_listo=0\nvigila=0\n",  // vigila 0: not watched, as absent
       {{"espera_arranque", "2.5"},
        {"espera_parada", "0"},
        {"parada_total", "0"},
        {"simultaneas", "1"},
        {"reinicia", "0"},
        {"espera_listo", "60"},
        {"vigila", "0"}},
       1},
      {"[opciones]\nespera_listo=3600.5\nvigila=0.5\n",
       {{"espera_arranque", "2.5"},
        {"espera_parada", "0"},
        {"parada_total", "0"},
        {"simultaneas", "1"},
        {"reinicia", "0"},
        {"espera_listo", "60"},
        {"vigila", "0"}},
       2},
      {"[opciones]\nsimultaneas=65\nespera_arranque=3600.001\n",
       {{"espera_arranque", "2.5"},
        {"espera_parada", "0"},
        {"parada_total", "0"},
        {"simultaneas", "1"},
        {"reinicia", "0"},
        {"espera_listo", "60"},
        {"vigila", "0"}},
       2},
  };
  for (const Case& c : cases) {
    tests::WriteFile(ini, c.opciones);
    const Opciones o = LeeOpciones(ini);
    EXPECT_EQ(EnTexto(o), c.in_effect) << c.opciones;
    EXPECT_EQ(o.problemas.size(), c.problems) << c.opciones;
  }
  tests::WriteFile(ini, "[opciones]\nsimultaneas=muchas\nvigila=4000\n");
  EXPECT_EQ(LeeOpciones(ini).problemas.at(0),
            ini + " [opciones] simultaneas=muchas: not a whole number from 1 to 64; 1 is used");
  EXPECT_EQ(LeeOpciones(ini).problemas.at(1),
            ini + " [opciones] vigila=4000: not a number of seconds from 1 to 3600; 0 (not " +
                "watched) is used");
}

// Each key of the table is said to operators, and -CHECK -JSON gets its
// number from the table, never by reading its text back.
TEST(Claves, EachKeyIsDocumentedAndItsSettingANumber) {
  const std::string man = tests::ReadFile(std::string(TESTS_SOURCE_DIR) + "/../doc/ostrim.8.in");
  const std::string readme = tests::ReadFile(std::string(TESTS_SOURCE_DIR) + "/../README.md");
  for (const Clave& clave : Claves()) {
    EXPECT_NE(man.find(clave.nombre), std::string::npos) << clave.nombre;
    EXPECT_NE(readme.find(clave.nombre), std::string::npos) << clave.nombre;
  }
  tests::TempDir dir;
  tests::WriteFile(dir / "Ombrel.ini", "[opciones]\nespera_arranque=0,75\nsimultaneas=3\n");
  const std::vector<Ajuste> ajustes = EnEfecto(LeeOpciones(dir / "Ombrel.ini"));
  ASSERT_EQ(ajustes.size(), Claves().size());
  EXPECT_EQ(ajustes.front(), (Ajuste{"espera_arranque", "0.75", 0.75, false}));
  EXPECT_NE(std::find(ajustes.begin(), ajustes.end(), Ajuste{"simultaneas", "3", 3, true}),
            ajustes.end());
  EXPECT_EQ(Texto(LeeOpciones(dir / "Ombrel.ini"), "parada_total"), "0");
}

}  // namespace
}  // namespace ostrim::modOpciones
