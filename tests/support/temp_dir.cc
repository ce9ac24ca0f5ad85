#include "temp_dir.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "image_builder.h"

namespace blkswap::testing {

namespace {

std::string make_directory_in(const std::filesystem::path& base) {
  std::string pattern = (base / "blkswap-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  return pattern;
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
    names.push_back(e.path().filename());
  }
  std::sort(names.begin(), names.end());
  return names;
}

Workspace::Workspace(const std::vector<uint8_t>& image, const std::vector<uint8_t>& block) {
  ::chmod(dir.dir.c_str(), 0755);
  if (!write_file(flash(), image) || !write_file(this->block(), block)) {
    throw std::runtime_error("cannot write the workspace's files");
  }
}

}  // namespace blkswap::testing
