#pragma once
// A private folder under the system's temporary folder, removed with its content at scope end.

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>

namespace kova::test {

class TTempDir {
 public:
  TTempDir() {
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
      const auto candidate = std::filesystem::temp_directory_path() /
                             ("kovatest-" + std::to_string(random()) + std::to_string(random()));
      std::error_code ec;
      if (std::filesystem::create_directory(candidate, ec)) {
        std::filesystem::permissions(candidate, std::filesystem::perms::owner_all, ec);
        path_ = candidate.generic_string();
        return;
      }
    }
    throw std::runtime_error("cannot make a temporary folder");
  }
  ~TTempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;

  const std::string& Path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

// Reproducible bytes that do not compress, for file contents.
inline std::string Bytes(std::size_t size, unsigned seed) {
  std::string s(size, '\0');
  std::uint32_t x = seed * 2654435761u + 7;
  for (auto& c : s) {
    x = x * 1664525u + 1013904223u;
    c = static_cast<char>(x >> 24);
  }
  return s;
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace kova::test
