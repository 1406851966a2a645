#include "TempDir.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <system_error>
#include <vector>

namespace vantrel::test {

TempDir::TempDir(const std::string& prefix) {
  std::error_code ec;
  std::filesystem::path base = std::filesystem::temp_directory_path(ec);
  if (ec) return;
  // Seeded from the clock: the C runtime's random_device holds handles for the process's life.
  static std::atomic<std::uint64_t> made{0};
  std::mt19937_64 random(
      static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) +
      made++);
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::filesystem::path dir = base / (prefix + std::to_string(random() % 1000000000000ULL));
    // create_directory says false, without an error, when the name already exists.
    if (!std::filesystem::create_directory(dir, ec)) {
      if (ec) return;
      continue;
    }
    path_ = dir.generic_string();
    // Servers may drop privileges to another user when run as root: let them read the folder.
    std::filesystem::permissions(dir, std::filesystem::perms(0755), ec);
    return;
  }
}

TempDir::~TempDir() {
  if (path_.empty()) return;
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

bool WriteFile(const std::string& path, const std::string& contents) {
  std::error_code ec;
  auto parent = std::filesystem::path(path).parent_path();
  if (!parent.empty()) std::filesystem::create_directories(parent, ec);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
  return static_cast<bool>(out.flush());
}

}  // namespace vantrel::test
