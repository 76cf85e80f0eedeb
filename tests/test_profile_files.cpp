// The POSIX profile reader against files that are not what they should be:
// unreadable, directories, FIFOs, devices, very large, or damaged.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "helpers/files.h"
#include "modINI.h"

namespace ostrim {
namespace {

using tests::TempDir;
using tests::WriteFile;

TEST(LeeValorINI, AnUnreadableFileReadsAsMissing) {
  TempDir dir;
  std::filesystem::create_directories(dir / "Ombrel.ini");  // a directory
  EXPECT_EQ(modINI::LeeValorINI("stop", "1", "", dir / "Ombrel.ini"), "");
  WriteFile(dir / "locked.ini", "[stop]\n1=para\n");
  ::chmod((dir / "locked.ini").c_str(), 0);
  if (::geteuid() != 0) {  // root reads it all the same
    EXPECT_EQ(modINI::LeeValorINI("stop", "1", "", dir / "locked.ini"), "");
  }
}

TEST(LeeValorINI, NeverBlocksOnAFifoOrReadsADevice) {
  TempDir dir;
  ASSERT_EQ(::mkfifo((dir / "Ombrel.ini").c_str(), 0644), 0);
  EXPECT_EQ(modINI::LeeValorINI("stop", "1", "", dir / "Ombrel.ini"), "");  // returns at once
  std::filesystem::create_symlink("/dev/zero", dir / "zero.ini");
  EXPECT_EQ(modINI::LeeValorINI("stop", "1", "", dir / "zero.ini"), "");
}

TEST(LeeValorINI, ReadsLargeAndDamagedFiles) {
  TempDir dir;
  std::string big = "[bases4GL]\n";
  while (big.size() < (10u << 20)) big += "b" + std::to_string(big.size()) + "=x\n";
  big += "last=found\n";
  WriteFile(dir / "big.ini", big);
  EXPECT_EQ(modINI::LeeValorINI("bases4GL", "last", "", dir / "big.ini"), "found");

  std::string garbage;
  unsigned seed = 12345;
  for (int i = 0; i < 100000; ++i) {
    seed = seed * 1103515245 + 12345;
    garbage.push_back(static_cast<char>(seed >> 16));
  }
  WriteFile(dir / "garbage.ini", garbage + "\n[s]\nk=v\n");
  EXPECT_EQ(modINI::LeeValorINI("s", "k", "", dir / "garbage.ini"), "v");
  ListBox list;
  modINI::LeeSeccionINI(list, "s", dir / "garbage.ini");
  EXPECT_GE(list.ListCount(), 1);
}

// A UTF-16 file reads as the system's 8-bit text, which here is UTF-8 (on
// Windows it is the ANSI code page).
TEST(LeeValorINI, ReadsUtf16FilesAsUtf8) {
  TempDir dir;
  static const char kText[] = "\xff\xfe[\0s\0]\0\n\0k\0=\0\xf1\0\n\0";
  WriteFile(dir / "u16.ini", std::string(kText, sizeof kText - 1));
  EXPECT_EQ(modINI::LeeValorINI("s", "k", "", dir / "u16.ini"), "\xc3\xb1");
}

}  // namespace
}  // namespace ostrim
