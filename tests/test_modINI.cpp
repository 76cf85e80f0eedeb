// The profile reader, against golden files (tests/profiles/NAME.ini beside
// NAME.expected) and against the cases that only a live file shows: growth
// past the 2048-character buffer, changes on disk, names in other letter
// case. The same tests run on Windows, against GetPrivateProfileStringA.
#include "modINI.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <thread>

#include "helpers/files.h"
#include "platform/platform.h"

namespace ostrim {
namespace {

using tests::ReadFile;
using tests::TempDir;
using tests::WriteFile;

std::string Joined(const ListBox& list) {
  ListBox copy = list;
  std::string joined;
  for (std::int16_t i = 0; i < copy.ListCount(); ++i) {
    copy.SetListIndex(i);
    joined += (i ? "|" : "") + copy.Text();
  }
  return joined;
}

std::string Keys(const std::string& section, const std::string& file) {
  ListBox list;
  modINI::LeeSeccionINI(list, section, file);
  return Joined(list);
}

class GoldenProfile : public testing::TestWithParam<std::string> {};

TEST_P(GoldenProfile, ReadsAsExpected) {
  const std::string base = std::string(TESTS_SOURCE_DIR) + "/profiles/" + GetParam();
  std::istringstream expected(ReadFile(base + ".expected"));
  std::string line;
  int checked = 0;
  while (std::getline(expected, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::size_t tab1 = line.find('\t');
    std::size_t tab2 = line.find('\t', tab1 + 1);
    ASSERT_NE(tab2, std::string::npos) << line;
    std::string section = line.substr(0, tab1);
    std::string key = line.substr(tab1 + 1, tab2 - tab1 - 1);
    std::string want = line.substr(tab2 + 2, line.size() - tab2 - 3);  // inside the quotes
    std::string got = key == "*" ? Keys(section, base + ".ini")
                                 : modINI::LeeValorINI(section, key, "", base + ".ini");
    EXPECT_EQ(got, want) << GetParam() << ": [" << section << "] " << key;
    ++checked;
  }
  EXPECT_GT(checked, 0);
}

INSTANTIATE_TEST_SUITE_P(Profiles, GoldenProfile,
                         testing::Values("basics", "brackets_quotes", "crlf", "cr_only", "utf8_bom",
                                         "utf16le_bom", "nul_and_ctrlz"));

TEST(SacaElemento, TakesNamesOneByOne) {
  struct Case {
    std::string_view buffer;
    std::string taken;
    std::string_view left;
  };
  using namespace std::string_view_literals;
  const Case cases[] = {
      {"a\0b\0"sv, "a", "b\0"sv}, {"b\0"sv, "b", ""sv}, {"no nul"sv, "", "no nul"sv},
      {"\0x\0"sv, "", "x\0"sv},   {""sv, "", ""sv},
  };
  for (const Case& c : cases) {
    std::string_view buffer = c.buffer;
    EXPECT_EQ(modINI::SacaElemento(buffer), c.taken);
    EXPECT_EQ(buffer, c.left);
  }
}

TEST(LeeSeccionINI, AppendsWithoutClearingAndReturnsTheCount) {
  TempDir dir;
  WriteFile(dir / "a.ini", "[s]\none=1\ntwo=2\nthree=3\n");
  ListBox list;
  list.AddItem("kept");
  EXPECT_EQ(modINI::LeeSeccionINI(list, "s", dir / "a.ini"), 4);
  EXPECT_EQ(Joined(list), "kept|one|two|three");
  EXPECT_EQ(modINI::LeeSeccionINI(list, "missing", dir / "a.ini"), 4);
  EXPECT_EQ(modINI::LeeSeccionINI(list, "s", dir / "absent.ini"), 4);
}

// The fixed 2048-character buffer cut long values and long key lists (and a
// cut key list made the listing loop run forever); the reader now grows it.
TEST(LeeValorINI, NeverCutsAtTheBufferSize) {
  TempDir dir;
  for (std::size_t size : {2046u, 2047u, 2048u, 5000u, 70000u}) {
    std::string value(size, 'v');
    value.back() = 'Z';
    WriteFile(dir / "long.ini", "[s]\nk=" + value + "\n");
    EXPECT_EQ(modINI::LeeValorINI("s", "k", "", dir / "long.ini"), value) << size;
  }
}

TEST(LeeSeccionINI, NeverCutsALongKeyList) {
  TempDir dir;
  for (int count : {100, 341, 342, 3000}) {  // names of 5 characters and a NUL: 6 each
    std::string text = "[bases4GL]\n";
    std::string want;
    for (int i = 0; i < count; ++i) {
      char name[16];
      std::snprintf(name, sizeof name, "b%04d", i);
      text += std::string(name) + "=x\n";
      want += (i ? "|" : "") + std::string(name);
    }
    WriteFile(dir / "many.ini", text);
    EXPECT_EQ(Keys("bases4GL", dir / "many.ini"), want) << count;
  }
}

TEST(LeeValorINI, SeesTheFileAsItIsNow) {
  TempDir dir;
  const std::string file = dir / "live.ini";
  WriteFile(file, "[s]\nk=first\n");
  EXPECT_EQ(modINI::LeeValorINI("s", "k", "", file), "first");
  // Same size, rewritten at once: the change times tell the difference.
  WriteFile(file, "[s]\nk=secnd\n");
  EXPECT_EQ(modINI::LeeValorINI("s", "k", "", file), "secnd");
  // Replaced by another file (a new inode), as editors save.
  WriteFile(dir / "new.ini", "[s]\nk=third\n");
  std::filesystem::rename(dir / "new.ini", file);
  EXPECT_EQ(modINI::LeeValorINI("s", "k", "", file), "third");
  std::filesystem::remove(file);
  EXPECT_EQ(modINI::LeeValorINI("s", "k", "", file), "");
  WriteFile(file, "[s]\nk=back\n");
  EXPECT_EQ(modINI::LeeValorINI("s", "k", "", file), "back");
}

// Inside a ProfileView (one request) a file is read once: edits, removals
// and new files wait for the next view.
TEST(LeeValorINI, AViewSeesEachFileAsItWasAtItsFirstLookup) {
  TempDir dir;
  const std::string file = dir / "view.ini";
  const std::string later = dir / "later.ini";
  WriteFile(file, "[s]\nk=first\nj=one\n");
  {
    platform::ProfileView view;
    EXPECT_EQ(modINI::LeeValorINI("s", "k", "", file), "first");
    EXPECT_EQ(modINI::LeeValorINI("s", "k", "", later), "");
    WriteFile(file, "[s]\nk=second, longer\n");
    WriteFile(later, "[s]\nk=new\n");
    EXPECT_EQ(modINI::LeeValorINI("s", "k", "", file), "first");
    EXPECT_EQ(modINI::LeeValorINI("s", "j", "", file), "one");
    EXPECT_EQ(modINI::LeeValorINI("s", "k", "", later), "");
    {
      platform::ProfileView joined;  // joins the view in force
      EXPECT_EQ(modINI::LeeValorINI("s", "k", "", file), "first");
    }
    std::filesystem::remove(file);
    EXPECT_EQ(modINI::LeeValorINI("s", "k", "", file), "first");
  }
  EXPECT_EQ(modINI::LeeValorINI("s", "k", "", file), "");
  EXPECT_EQ(modINI::LeeValorINI("s", "k", "", later), "new");
}

TEST(LeeValorINI, FindsAFileNamedInAnotherLetterCase) {
  TempDir dir;
  WriteFile(dir / "OMBREL.INI", "[stop]\n1=para\n");
  WriteFile(dir / "Bases/TMP.ini", "[seleccion]\nventas=1\n");
  EXPECT_EQ(modINI::LeeValorINI("stop", "1", "", dir / "Ombrel.ini"), "para");
  EXPECT_EQ(Keys("seleccion", dir / "bases/tmp.ini"), "ventas");
  // The exact name wins once it exists.
  WriteFile(dir / "Ombrel.ini", "[stop]\n1=exact\n");
  EXPECT_EQ(modINI::LeeValorINI("stop", "1", "", dir / "Ombrel.ini"), "exact");
}

}  // namespace
}  // namespace ostrim
