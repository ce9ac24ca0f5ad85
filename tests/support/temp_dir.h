// A fresh directory per test, removed with everything in it afterwards.
#pragma once

#include <string>

namespace blkswap::testing {

struct TempDir {
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string path(const std::string& name) const { return dir + "/" + name; }
  std::string dir;
};

}  // namespace blkswap::testing
