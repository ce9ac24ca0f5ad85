#include "ops/safe_write.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "image_builder.h"
#include "temp_dir.h"

namespace blkswap {
namespace {

namespace fs = std::filesystem;
using testing::read_file;
using testing::TempDir;
using testing::write_file;

const std::vector<uint8_t> kNew = {1, 2, 3, 4, 5};
const std::vector<uint8_t> kOld = {9, 9, 9};

mode_t mode_of(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

size_t entries_in(const std::string& dir) {
  return static_cast<size_t>(std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
}

TEST(SafeWrite, NewFileGetsTheModeCreatingItWouldGive) {
  TempDir dir;
  for (mode_t mask : {mode_t{022}, mode_t{077}}) {
    const mode_t saved = ::umask(mask);
    const std::string path = dir.path("new-" + std::to_string(mask));
    EXPECT_EQ(write_file_safely(path.c_str(), kNew), WriteResult::ok);
    ::umask(saved);
    EXPECT_EQ(mode_of(path), 0666 & ~mask);
    EXPECT_EQ(read_file(path), kNew);
  }
  EXPECT_EQ(entries_in(dir.dir), 2u);  // no temporary file left
}

TEST(SafeWrite, ReplacesARegularFileKeepingItsModeAndOwner) {
  TempDir dir;
  const std::string path = dir.path("out.bin");
  ASSERT_TRUE(write_file(path, kOld));
  ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
  ASSERT_EQ(::chown(path.c_str(), 1234, 5678) == 0, ::geteuid() == 0);
  EXPECT_EQ(write_file_safely(path.c_str(), kNew), WriteResult::ok);
  EXPECT_EQ(read_file(path), kNew);
  EXPECT_EQ(mode_of(path), 0640u);
  if (::geteuid() == 0) {
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 1234u);
    EXPECT_EQ(st.st_gid, 5678u);
  }
  EXPECT_EQ(entries_in(dir.dir), 1u);
}

TEST(SafeWrite, ASymbolicLinkStaysAndItsTargetIsReplaced) {
  TempDir dir;
  fs::create_directory(dir.path("real"));
  ASSERT_TRUE(write_file(dir.path("real/image.bin"), kOld));
  fs::create_symlink("real/image.bin", dir.path("link"));
  fs::create_symlink("link", dir.path("link2"));                // a chain of links
  fs::create_symlink("real/absent.bin", dir.path("dangling"));  // a target not there yet

  EXPECT_EQ(write_file_safely(dir.path("link2").c_str(), kNew), WriteResult::ok);
  EXPECT_TRUE(fs::is_symlink(dir.path("link")));
  EXPECT_TRUE(fs::is_symlink(dir.path("link2")));
  EXPECT_EQ(read_file(dir.path("real/image.bin")), kNew);

  EXPECT_EQ(write_file_safely(dir.path("dangling").c_str(), kNew), WriteResult::ok);
  EXPECT_TRUE(fs::is_symlink(dir.path("dangling")));
  EXPECT_EQ(read_file(dir.path("real/absent.bin")), kNew);
  EXPECT_EQ(entries_in(dir.path("real")), 2u);
}

TEST(SafeWrite, LinkLoopCannotBeCreated) {
  TempDir dir;
  fs::create_symlink("b", dir.path("a"));
  fs::create_symlink("a", dir.path("b"));
  EXPECT_EQ(write_file_safely(dir.path("a").c_str(), kNew), WriteResult::cannot_create);
  EXPECT_EQ(entries_in(dir.dir), 2u);
}

TEST(SafeWrite, FailuresLeaveNothingBehind) {
  TempDir dir;
  fs::create_directory(dir.path("sub"));
  EXPECT_EQ(write_file_safely(dir.path("missing/out.bin").c_str(), kNew),
            WriteResult::cannot_create);
  EXPECT_EQ(write_file_safely(dir.path("sub").c_str(), kNew), WriteResult::cannot_create);
  EXPECT_EQ(write_file_safely(dir.path("sub/").c_str(), kNew), WriteResult::cannot_create);
  EXPECT_EQ(write_file_safely("/dev/full", kNew), WriteResult::short_write);  // written directly
  EXPECT_EQ(write_file_safely("/dev/null", kNew), WriteResult::ok);
  ASSERT_EQ(::mkfifo(dir.path("fifo").c_str(), 0600), 0);
  EXPECT_EQ(write_file_safely(dir.path("fifo").c_str(), kNew),
            WriteResult::cannot_create);  // no reader: no wait
  EXPECT_EQ(entries_in(dir.dir), 2u);
  EXPECT_TRUE(fs::is_fifo(dir.path("fifo")));
  EXPECT_EQ(entries_in(dir.path("sub")), 0u);
}

// A file whose directory takes no new file is never rewritten in place: a write that then
// failed would destroy what may be the user's only image.
TEST(SafeWrite, ADirectoryThatTakesNoNewFileLeavesItsFilesAlone) {
  TempDir dir;
  const std::string locked = dir.path("locked"), path = dir.path("locked/out.bin");
  fs::create_directory(locked);
  ASSERT_TRUE(write_file(path, kOld));
  // An immutable directory refuses new entries, even to root, but its files stay writable.
  if (std::system(("chattr +i '" + locked + "' 2>/dev/null").c_str()) != 0) {
    GTEST_SKIP() << "no chattr on this file system";
  }
  WriteFailure why;
  const WriteResult existing = write_file_safely(path.c_str(), kNew, &why);
  const WriteResult fresh = write_file_safely((locked + "/new.bin").c_str(), kNew);
  ASSERT_EQ(std::system(("chattr -i '" + locked + "'").c_str()), 0);
  EXPECT_EQ(existing, WriteResult::cannot_create);
  EXPECT_EQ(why.what, "no temporary file can be made beside it");
  EXPECT_EQ(read_file(path), kOld);
  EXPECT_EQ(fresh, WriteResult::cannot_create);
  EXPECT_EQ(entries_in(locked), 1u);
}

}  // namespace
}  // namespace blkswap
