#include "helpers/files.h"

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

namespace ostrim::tests {
namespace fs = std::filesystem;

TempDir::TempDir() {
  static std::mt19937_64 random{std::random_device{}()};
  for (;;) {
    fs::path candidate = fs::temp_directory_path() / ("ostrim-test-" + std::to_string(random()));
    if (fs::create_directory(candidate)) {
      path_ = candidate.generic_string();
      return;
    }
  }
}

TempDir::~TempDir() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

void WriteFile(const std::string& path, std::string_view content) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

int Count(std::string_view text, std::string_view needle) {
  int n = 0;
  for (std::size_t pos = text.find(needle); pos != std::string_view::npos;
       pos = text.find(needle, pos + needle.size())) {
    ++n;
  }
  return n;
}

}  // namespace ostrim::tests
