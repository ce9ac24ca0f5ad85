// Scratch directories for tests: a fresh one per test, removed with everything in it afterwards,
// and a workspace that starts with a flash image and a block file in it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace blkswap::testing {

// The device that gives nothing and takes everything: /dev/null, or NUL on Windows.
#ifdef _WIN32
inline constexpr char kNullDevice[] = "NUL";
#else
inline constexpr char kNullDevice[] = "/dev/null";
#endif

struct TempDir {
  TempDir();
  // In memory (/dev/shm, where there is one), for tests whose many syncs would only wait for a
  // disk.
  struct InMemory {};
  explicit TempDir(InMemory);
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string path(const std::string& name) const { return dir + "/" + name; }
  // Writes `bytes` to the file `name` in the directory and returns its path.
  std::string file(const std::string& name, const std::vector<uint8_t>& bytes) const;
  std::string dir;
};

// The names in `dir`, sorted.
std::vector<std::string> files_in(const std::string& dir);

// flash.bin and block.bin in a directory every user may enter (tests run the tool as another
// user too); out.bin is where a merge or an extraction writes.
struct Workspace {
  Workspace(const std::vector<uint8_t>& image, const std::vector<uint8_t>& block);
  std::string path(const std::string& name) const { return dir.path(name); }
  std::string flash() const { return dir.path("flash.bin"); }
  std::string block() const { return dir.path("block.bin"); }
  std::string out() const { return dir.path("out.bin"); }
  std::vector<std::string> files() const { return files_in(dir.dir); }
  TempDir dir;
};

}  // namespace blkswap::testing
