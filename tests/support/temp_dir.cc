#include "temp_dir.h"

#include <algorithm>
#include <filesystem>
#include <random>
#include <stdexcept>

#include "image_builder.h"

namespace blkswap::testing {

namespace {

// A directory of a fresh name, made by this call alone (create_directory is false for one that
// is there already). Its name has forward slashes on every system, as the tests' own names do.
std::string make_directory_in(const std::filesystem::path& base) {
  static std::mt19937_64 names{std::random_device{}()};
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::filesystem::path dir = base / ("blkswap-test-" + std::to_string(names()));
    if (std::filesystem::create_directory(dir)) return dir.generic_string();
  }
  throw std::runtime_error("no scratch directory can be made in " + base.string());
}

}  // namespace

TempDir::TempDir() : dir(make_directory_in(std::filesystem::temp_directory_path())) {}

TempDir::TempDir(InMemory) {
  std::error_code ignored;
  const bool shm = std::filesystem::is_directory("/dev/shm", ignored);
  dir = make_directory_in(shm ? "/dev/shm" : std::filesystem::temp_directory_path());
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
}

std::string TempDir::file(const std::string& name, const std::vector<uint8_t>& bytes) const {
  if (!write_file(path(name), bytes)) throw std::runtime_error("cannot write " + path(name));
  return path(name);
}

std::vector<std::string> files_in(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    names.push_back(e.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

Workspace::Workspace(const std::vector<uint8_t>& image, const std::vector<uint8_t>& block) {
  std::filesystem::permissions(dir.dir, std::filesystem::perms(0755));
  if (!write_file(flash(), image) || !write_file(this->block(), block)) {
    throw std::runtime_error("cannot write the workspace's files");
  }
}

}  // namespace blkswap::testing
