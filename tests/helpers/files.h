// Temporary directories and files for the tests; portable, so that the
// Windows build's tests use them too.
#pragma once

#include <string>
#include <string_view>

namespace ostrim::tests {

// A fresh directory, removed with everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(std::string_view relative) const {
    return path_ + "/" + std::string(relative);
  }

 private:
  std::string path_;
};

// Writes `content` to `path`, creating its directories.
void WriteFile(const std::string& path, std::string_view content);
std::string ReadFile(const std::string& path);

// How many times `needle` occurs in `text`.
int Count(std::string_view text, std::string_view needle);

}  // namespace ostrim::tests
