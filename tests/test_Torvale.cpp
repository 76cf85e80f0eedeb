// The form's own logic: the database list, the environment lines and the
// command lines the sequences build.
#include "Torvale.h"

#include <gtest/gtest.h>

#include "helpers/files.h"
#include "helpers/no_host.h"
#include "log.h"

namespace ostrim {
namespace {

using tests::NoHost;
using tests::TempDir;
using tests::WriteFile;

class FormTest : public testing::Test {
 protected:
  FormTest() : form(std::make_unique<NoHost>()) { form.ConexionActiva(site.path()); }

  std::vector<std::string> List() {
    std::vector<std::string> names;
    for (std::int16_t i = 0; i < form.List1.ListCount(); ++i) {
      form.List1.SetListIndex(i);
      names.push_back(form.List1.Text());
    }
    return names;
  }

  TempDir site;
  Torvale form;
};

using Names = std::vector<std::string>;

TEST_F(FormTest, ListComesFromTheSelectionWhenItNamesAny) {
  WriteFile(site / "Ombrel.ini", "[bases4GL]\nb1=x\nb2=x\nb3=x\nb4=x\nb5=x\nb6=x\n");
  WriteFile(site / "bases/tmp.ini", "[seleccion]\nb5=1\nnot_in_main=1\n");
  form.LecturaBases();
  EXPECT_EQ(List(), (Names{"b5", "not_in_main"}));
}

TEST_F(FormTest, ListFallsBackToBases4GL) {
  WriteFile(site / "Ombrel.ini", "[bases4GL]\nventas=a\ncompras=b\nventas=c\n=empty name\n");
  for (const char* seleccion : {"", "[seleccion]\n", "[otra]\nx=1\n", "[seleccion]\n; none\n"}) {
    if (*seleccion) WriteFile(site / "bases/tmp.ini", seleccion);
    form.LecturaBases();
    EXPECT_EQ(List(), (Names{"ventas", "compras", "ventas", ""})) << seleccion;
  }
}

TEST_F(FormTest, ListIsEmptyWithoutEitherSection) {
  WriteFile(site / "Ombrel.ini", "[start]\n1=x\n");
  form.LecturaBases();
  EXPECT_EQ(form.List1.ListCount(), 0);
}

TEST_F(FormTest, ListIsRebuiltAtEachCall) {
  WriteFile(site / "Ombrel.ini", "[bases4GL]\nventas=a\ncompras=b\n");
  form.LecturaBases();
  EXPECT_EQ(List(), (Names{"ventas", "compras"}));
  WriteFile(site / "bases/tmp.ini", "[seleccion]\ncompras=\n");
  form.LecturaBases();
  EXPECT_EQ(List(), (Names{"compras"}));
}

TEST_F(FormTest, AFullListIsAnErrorAndKeepsWhatFits) {
  std::string text = "[bases4GL]\n";
  for (int i = 0; i < 32768; ++i) text += "b" + std::to_string(i) + "=x\n";
  WriteFile(site / "Ombrel.ini", text);
  EXPECT_THROW(form.LecturaBases(), ListError);
  EXPECT_EQ(form.List1.ListCount(), 32767);
}

TEST(EnvironmentLine, PreparesAsOperatorsWriteThem) {
  struct Case {
    std::string line;
    bool sets;
    std::string name, value, line_after;
  };
  const Case cases[] = {
      {"SET DBDIR=/datos/base", true, "DBDIR", "/datos/base", "DBDIR=/datos/base"},
      {"DBDIR=/datos/base", true, "DBDIR", "/datos/base", "DBDIR=/datos/base"},
      // Mended: a lower-case prefix is a prefix, not part of the name.
      {"set DBDIR=/datos", true, "DBDIR", "/datos", "DBDIR=/datos"},
      {"  Set DBDIR=/datos", true, "DBDIR", "/datos", "DBDIR=/datos"},
      // Mended: "SET " inside the value stays.
      {"X=PRESET 1", true, "X", "PRESET 1", "X=PRESET 1"},
      {"SET X=SET Y", true, "X", "SET Y", "X=SET Y"},
      // Mended: the value keeps every "=" after the first.
      {"A=B=C", true, "A", "B=C", "A=B=C"},
      {"A=", true, "A", "", "A="},
      {"SETTING=1", true, "SETTING", "1", "SETTING=1"},
      // Mended: an empty (or missing) line sets nothing and is no error.
      {"", false, "", "", ""},
  };
  for (const Case& c : cases) {
    std::string line = c.line;
    auto variable = PreparaLineaEntorno(line);
    ASSERT_EQ(variable.has_value(), c.sets) << c.line;
    if (variable) {
      EXPECT_EQ(variable->first, c.name) << c.line;
      EXPECT_EQ(variable->second, c.value) << c.line;
    }
    EXPECT_EQ(line, c.line_after) << c.line;
  }
}

TEST(EnvironmentLine, RejectsLinesThatSetNothingSensible) {
  for (const char* bad : {"DBDIR", "SET DBDIR", "=value", "SET =x", "SET "}) {
    std::string line = bad;
    try {
      PreparaLineaEntorno(line);
      ADD_FAILURE() << "accepted " << bad;
    } catch (const EnvironmentLineError& e) {
      EXPECT_NE(std::string(e.what()).find(line), std::string::npos) << e.what();
    }
  }
}

TEST(CommandLines, AreBuiltAsTheSitesExpect) {
  struct Case {
    std::string command, value, start, stop;
  };
  const Case cases[] = {
      {"/opt/db/arranca", "base1", "/opt/db/arranca base1 -z", "/opt/db/arranca base1"},
      {"/opt/db/para", "base1 -s 5", "/opt/db/para base1 -s 5 -z", "/opt/db/para base1 "},
      // No value: the start line has two blanks before -z, the stop line ends in a blank.
      {"/opt/db/para", "", "/opt/db/para  -z", "/opt/db/para "},
      // Missing command: the line starts with a blank.
      {"", "base1 -s", " base1 -s -z", " base1 "},
      {"para", "two  blanks", "para two  blanks -z", "para two "},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(LineaArranque(c.command, c.value), c.start);
    // Mended: a one-word value is used whole, so that database is stopped too.
    EXPECT_EQ(LineaParada(c.command, c.value), c.stop);
  }
}

TEST(ListBox, KeepsOrderDuplicatesAndItsLimit) {
  ListBox list;
  list.AddItem("b");
  list.AddItem("a");
  list.AddItem("b");
  list.AddItem("");
  EXPECT_EQ(list.ListCount(), 4);
  list.SetListIndex(2);
  EXPECT_EQ(list.Text(), "b");
  EXPECT_THROW(list.SetListIndex(4), ListError);
  list.Clear();
  EXPECT_EQ(list.ListCount(), 0);
  EXPECT_EQ(list.Text(), "");
  for (int i = 0; i < ListBox::kMaxEntries; ++i) list.AddItem("x");
  EXPECT_THROW(list.AddItem("one too many"), ListError);
  EXPECT_EQ(list.ListCount(), ListBox::kMaxEntries);
}

}  // namespace
}  // namespace ostrim
