// The safe replace of an output, as the system lets it be checked. Most of what it keeps (modes,
// owners, extended attributes) and what it survives (signals, a reader that goes) are POSIX's;
// on Windows those tests are skipped with the reason, and windows_files_test.cc checks what
// Windows has instead.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "image/format.h"
#include "image_builder.h"
#include "platform/files.h"
#include "run_tool.h"
#include "temp_dir.h"

namespace blkswap {
namespace {

namespace fs = std::filesystem;
using testing::read_file;
using testing::TempDir;
using testing::write_file;

const std::vector<uint8_t> kNew = {1, 2, 3, 4, 5};
const std::vector<uint8_t> kOld = {9, 9, 9};

#ifndef _WIN32
mode_t mode_of(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

#endif

size_t entries_in(const std::string& dir) {
  return testing::files_in(dir).size();
}

TEST(SafeWrite, NewFileGetsTheModeCreatingItWouldGive) {
#ifdef _WIN32
  GTEST_SKIP() << "POSIX only: file modes and the umask";
#else
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
#endif
}

TEST(SafeWrite, ReplacesARegularFileKeepingItsModeAndOwner) {
#ifdef _WIN32
  GTEST_SKIP() << "POSIX only: file modes and owners";
#else
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
#endif
}

TEST(SafeWrite, ASymbolicLinkStaysAndItsTargetIsReplaced) {
#ifdef _WIN32
  GTEST_SKIP() << "POSIX only: a symbolic link needs a privilege on Windows";
#else
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
#endif
}

TEST(SafeWrite, LinkLoopCannotBeCreated) {
#ifdef _WIN32
  GTEST_SKIP() << "POSIX only: a symbolic link needs a privilege on Windows";
#else
  TempDir dir;
  fs::create_symlink("b", dir.path("a"));
  fs::create_symlink("a", dir.path("b"));
  EXPECT_EQ(write_file_safely(dir.path("a").c_str(), kNew), WriteResult::cannot_create);
  EXPECT_EQ(entries_in(dir.dir), 2u);
#endif
}

TEST(SafeWrite, FailuresLeaveNothingBehind) {
  TempDir dir;
  fs::create_directory(dir.path("sub"));
  EXPECT_EQ(write_file_safely(dir.path("missing/out.bin").c_str(), kNew),
            WriteResult::cannot_create);
  EXPECT_EQ(write_file_safely(dir.path("sub").c_str(), kNew), WriteResult::cannot_create);
  EXPECT_EQ(write_file_safely(dir.path("sub/").c_str(), kNew), WriteResult::cannot_create);
  EXPECT_EQ(write_file_safely(testing::kNullDevice, kNew), WriteResult::ok);  // written directly
#ifndef _WIN32
  EXPECT_EQ(write_file_safely("/dev/full", kNew), WriteResult::short_write);
  ASSERT_EQ(::mkfifo(dir.path("fifo").c_str(), 0600), 0);
  EXPECT_EQ(write_file_safely(dir.path("fifo").c_str(), kNew),
            WriteResult::cannot_create);  // no reader: no wait
  EXPECT_TRUE(fs::is_fifo(dir.path("fifo")));
  EXPECT_EQ(entries_in(dir.dir), 2u);
#else
  EXPECT_EQ(entries_in(dir.dir), 1u);
#endif
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

#ifndef _WIN32
// The program itself, writing its outputs: a flash file with the blocks b0 and b1 and a block
// file for b1, in a directory every user may read.
// Two blocks b0 and b1 in a table at 0x40, and a block file of 0x30 bytes.
testing::Workspace merge_files() {
  return {testing::build_image(kImageUnit, {{0x40, testing::numbered_blocks(2, 0x200)}}),
          testing::pattern(0x30, 2)};
}
#endif

#ifndef _WIN32
struct Owner {
  uid_t uid;
  gid_t gid;
  mode_t mode;
  bool operator==(const Owner&) const = default;
};

Owner owner_of(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return {st.st_uid, st.st_gid, st.st_mode & 07777};
}

#endif

// Where the file cannot be replaced by a rename with all it had, it is refused (-4, with the
// reason on standard error) and left exactly as it was: never rewritten in place, never given
// away to the caller.
TEST(SafeWrite, AnOutputThatCannotBeReplacedWholeIsLeftAlone) {
#ifdef _WIN32
  GTEST_SKIP() << "POSIX only: setpriv, file modes and owners";
#else
  if (!testing::can_run_as_nobody()) GTEST_SKIP() << "needs root and setpriv to act as user 65534";
  const testing::Workspace files = merge_files();
  const struct {
    std::string what;
    mode_t dir_mode;  // the directory belongs to root
    Owner file;
    std::string reason;
  } cases[] = {
      {"a directory the caller may not write",
       0755,
       {testing::kNobody, testing::kNobody, 0644},
       "no temporary file can be made beside it"},
      {"a file the caller may not write",
       0777,
       {testing::kNobody, testing::kNobody, 0444},
       "the caller may not write it: Permission denied"},
      {"a file of a group the caller is not in",
       0777,
       {testing::kNobody, 0, 0666},
       "owner and group of the file it replaces: Operation not permitted"},
      {"a sticky directory, a file of another owner",
       01777,
       {0, 0, 0666},
       "owner and group of the file it replaces: Operation not permitted"},
      // The new file takes the directory's group, so no chown is needed, but the system drops
      // the set-group-id bit that a caller outside the group sets.
      {"a set-group-id file of a group the caller is not in",
       02777,
       {testing::kNobody, 0, 02775},
       "cannot keep the mode of the file it replaces (its set-id bits)"},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    const auto& c = cases[i];
    SCOPED_TRACE(c.what);
    const std::string sub = files.path("case" + std::to_string(i)), out = sub + "/out.bin";
    fs::create_directory(sub);
    ASSERT_EQ(::chmod(sub.c_str(), c.dir_mode), 0);
    ASSERT_TRUE(write_file(out, kOld));
    ASSERT_EQ(::chown(out.c_str(), c.file.uid, c.file.gid), 0);
    ASSERT_EQ(::chmod(out.c_str(), c.file.mode), 0);
    const auto run = testing::run_tool_as_nobody({files.flash(), "b1", files.block(), out});
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_EQ(run.out, "Merge flash file error with -4\n");
    EXPECT_NE(run.err.find(c.reason), std::string::npos) << run.err;
    EXPECT_EQ(read_file(out), kOld);
    EXPECT_TRUE(owner_of(out) == c.file);
    EXPECT_EQ(entries_in(sub), 1u);
  }
#endif
}

#ifndef _WIN32
std::vector<std::pair<std::string, std::string>> attributes_of(const std::string& path) {
  std::vector<std::pair<std::string, std::string>> all;
  std::string names(4096, '\0');
  const ssize_t size = ::listxattr(path.c_str(), names.data(), names.size());
  EXPECT_GE(size, 0) << path;
  for (size_t at = 0; size > 0 && at < static_cast<size_t>(size);) {
    const std::string name(names.c_str() + at);
    at += name.size() + 1;
    std::string value(4096, '\0');
    const ssize_t got = ::getxattr(path.c_str(), name.c_str(), value.data(), value.size());
    value.resize(got > 0 ? static_cast<size_t>(got) : 0);
    all.emplace_back(name, value);
  }
  std::sort(all.begin(), all.end());
  return all;
}

#endif

TEST(SafeWrite, AReplacedOutputKeepsOwnerGroupModeAndExtendedAttributes) {
#ifdef _WIN32
  GTEST_SKIP() << "POSIX only: owners and extended attributes";
#else
  if (::geteuid() != 0) GTEST_SKIP() << "only root may give a file to another owner";
  const testing::Workspace files = merge_files();
  const std::string out = files.path("out.bin");
  ASSERT_TRUE(write_file(out, kOld));
  ASSERT_EQ(::chown(out.c_str(), 1234, 5678), 0);
  // An access ACL (owner rw, user 4321 r, group r, mask r, others nothing), as the kernel
  // stores it: a version word, then (tag, permissions, id) per entry.
  const uint8_t acl[] = {2,    0, 0, 0,                           // version 2
                         0x01, 0, 6, 0, 0xFF, 0xFF, 0xFF, 0xFF,   // owner
                         0x02, 0, 4, 0, 0xE1, 0x10, 0,    0,      // user 4321
                         0x04, 0, 4, 0, 0xFF, 0xFF, 0xFF, 0xFF,   // group
                         0x10, 0, 4, 0, 0xFF, 0xFF, 0xFF, 0xFF,   // mask
                         0x20, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF};  // others
  if (::setxattr(out.c_str(), "user.origin", "lab", 3, 0) != 0 ||
      ::setxattr(out.c_str(), "system.posix_acl_access", acl, sizeof acl, 0) != 0) {
    GTEST_SKIP() << "no extended attributes or ACLs on this file system";
  }
  const Owner before = owner_of(out);
  const auto attributes = attributes_of(out);
  ASSERT_EQ(attributes.size(), 2u);

  const auto run = testing::run_tool({files.flash(), "b1", files.block(), out});
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_EQ(read_file(out).size(), kImageUnit);
  EXPECT_TRUE(owner_of(out) == before);
  EXPECT_EQ(before.mode, 0640u);
  EXPECT_EQ(attributes_of(out), attributes);
#endif
}

// /dev/stdout and its kin on a pipe are written as they are, not mistaken for file names.
TEST(SafeWrite, StandardOutputOnAPipe) {
#ifdef _WIN32
  GTEST_SKIP() << "POSIX only: /dev/stdout, /proc and a shell";
#else
  const testing::Workspace files = merge_files();
  const std::string merged = files.path("merged.bin"), got = files.path("got.bin");
  ASSERT_EQ(testing::run_tool({files.flash(), "b1", files.block(), merged}).status, 0);
  const auto image = testing::build_image(kImageUnit, {{0x40, testing::numbered_blocks(2, 0x200)}});
  const std::vector<uint8_t> b0(image.begin() + 0x240, image.begin() + 0x250);
  // A file the caller's shell opened is written through its descriptor, never replaced: what
  // `>>` appends to keeps what it held.
  const std::vector<uint8_t> held = {'l', 'o', 'g', '\n'};
  std::vector<uint8_t> appended = held;
  appended.insert(appended.end(), b0.begin(), b0.end());
  const struct {
    std::vector<std::string> args;
    std::vector<uint8_t> expected;
    std::string into = " | cat >";
  } cases[] = {
      {{"--extract", files.flash(), "b0", "/dev/stdout"}, b0},
      {{"--extract", files.flash(), "b0", "/dev/fd/1"}, b0},
      {{"--extract", files.flash(), "b0", "/proc/self/fd/1"}, b0},
      {{files.flash(), "b1", files.block(), "/dev/stdout"}, read_file(merged)},
      {{"--extract", files.flash(), "b0", "/dev/stdout"}, appended, " >>"},
      {{"--extract", files.flash(), "b0", "/dev/fd/3"}, appended, " 3>>"},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(write_file(got, held));
    std::string command = "set -o pipefail; '" BLKSWAP_EXE "'";
    for (const auto& a : c.args) command += " '" + a + "'";
    command += c.into + "'" + got + "'";
    EXPECT_EQ(std::system(("bash -c \"" + command + "\"").c_str()), 0) << command;
    EXPECT_EQ(read_file(got), c.expected) << command;
  }
#endif
}

// A signal that ends the process during a merge's write or an unpack removes the temporary file
// or folder first and then ends the process as it would have; the old output stays.
TEST(SafeWrite, ASignalDuringTheWriteLeavesNoTemporaryFile) {
#ifdef _WIN32
  GTEST_SKIP() << "POSIX only: signals (Windows: windows_files_test.cc)";
#else
  const testing::Workspace files = merge_files();
  const std::string big = files.path("big.bin"), out = files.path("out.bin");
  fs::copy_file(files.flash(), big);
  ASSERT_EQ(::truncate(big.c_str(), 128 << 20), 0);  // long enough a write to be caught in
  // One block of 120 MiB (zeros, as the file is sparse there), for an unpack as long.
  const std::string wide = files.path("wide.bin");
  ASSERT_TRUE(write_file(
      wide, testing::build_image(kImageUnit, {{0x1000, {{.offset = 0x1000, .size = 120 << 20}}}})));
  ASSERT_EQ(::truncate(wide.c_str(), 128 << 20), 0);
  struct rlimit core {};
  ::getrlimit(RLIMIT_CORE, &core);
  const struct rlimit no_core = {0, core.rlim_max};
  ::setrlimit(RLIMIT_CORE, &no_core);  // SIGQUIT would leave a core file
  const struct {
    int signal_number;
    bool unpack;
  } cases[] = {{SIGINT, false},  {SIGTERM, false},      {SIGHUP, false}, {SIGQUIT, false},
               {SIGALRM, false}, {SIGUSR1, false},      {SIGUSR2, true}, {SIGXCPU, true},
               {SIGTERM, true},  {SIGRTMIN + 1, false}, {SIGRTMAX, true}};
  for (const auto& c : cases) {
    const int signal_number = c.signal_number;
    SCOPED_TRACE(std::to_string(signal_number) + (c.unpack ? " unpack" : " merge"));
    ASSERT_TRUE(write_file(out, kOld));
    auto tool = c.unpack ? testing::start_tool({"--unpack", wide, files.path("parts")})
                         : testing::start_tool({big, "b1", files.block(), out});
    ASSERT_GT(tool.pid, 0);  // kill(-1) would reach every process
    bool caught = false;
    for (int wait = 0; wait < 20000 && !caught; ++wait) {
      for (const std::string& name : files.files()) caught |= name.rfind(".blkswap-", 0) == 0;
      if (caught) ::kill(tool.pid, signal_number);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const auto run = testing::finish_tool(tool);
    EXPECT_TRUE(caught) << "the temporary file never showed";
    EXPECT_EQ(run.status, 128 + signal_number);
    EXPECT_EQ(read_file(out), kOld);
    EXPECT_EQ(files.files().size(), 5u);  // flash, block, big, wide and out
  }
  ::setrlimit(RLIMIT_CORE, &core);
#endif
}

TEST(SafeWrite, AReaderThatGoesAwayIsAShortWrite) {
#ifdef _WIN32
  GTEST_SKIP() << "POSIX only: FIFOs";
#else
  const testing::Workspace files = merge_files();
  const std::string fifo = files.path("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  auto tool = testing::start_tool({files.flash(), "b1", files.block(), fifo});
  ASSERT_GT(tool.pid, 0);
  struct pollfd ready = {reader, POLLIN, 0};
  ASSERT_EQ(::poll(&ready, 1, 20000), 1);
  char first = 0;
  EXPECT_EQ(::read(reader, &first, 1), 1);
  ::close(reader);  // with most of the image still to come
  const auto run = testing::finish_tool(tool);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "Merge flash file error with -5\n");
  EXPECT_NE(run.err.find("Broken pipe"), std::string::npos) << run.err;
#endif
}

}  // namespace
}  // namespace blkswap
