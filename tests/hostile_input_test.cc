// Hostile and odd inputs through the real command line: each gives its code, never hangs, and
// neither writes nor loses a file.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <chrono>
#include <csignal>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "image/format.h"
#include "image_builder.h"
#include "run_tool.h"
#include "temp_dir.h"

namespace blkswap {
namespace {

namespace fs = std::filesystem;
using testing::EntryPlan;
using testing::numbered_blocks;
using testing::pattern;
using testing::run_tool;
using testing::TablePlan;

// Every file below `dir` with its bytes: what "nothing written, nothing lost" compares.
std::map<std::string, std::vector<uint8_t>> contents_of(const std::string& dir) {
  std::map<std::string, std::vector<uint8_t>> all;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    all[e.path().string()] =
        e.is_regular_file() ? testing::read_file(e.path().string()) : std::vector<uint8_t>{};
  }
  return all;
}

TEST(HostileInput, EachGivesItsCodeAndWritesNothing) {
  testing::TempDir dir;
  const std::string good =
      dir.file("good.bin", testing::build_image(kImageUnit, {{0x40, numbered_blocks(2, 0x200)}}));
  const std::string boot = dir.file("boot.bin", pattern(0x20, 1));
  const std::string out = dir.path("out.bin");
  fs::create_directory(dir.path("sub"));

  auto with_table = [](uint32_t pos, std::vector<EntryPlan> entries) {
    return testing::build_image(kImageUnit, {{pos, std::move(entries)}});
  };
  auto overlapping = with_table(0x100, numbered_blocks(3, 0x400));
  testing::put_table(overlapping,
                     {0x14C, numbered_blocks(1, 0x300)});  // over the first table's entries
  const struct {
    std::string what;
    std::string flash;  // as a file name, or one made from bytes below
    std::vector<uint8_t> bytes;
    int list_code;   // 0: lists fine
    int merge_code;  // 0: merges fine
  } cases[] = {
      {"a directory", dir.path("sub"), {}, -2, -2},
      {"the null device", testing::kNullDevice, {}, -3, -5},
#ifndef _WIN32
      {"/dev/zero", "/dev/zero", {}, -3, -5},
#endif
      {"one byte over 512 KiB", "", std::vector<uint8_t>(kImageUnit + 1, 0), -4, -4},
      {"one byte under 1 MiB", "", std::vector<uint8_t>(2 * kImageUnit - 1, 0), -4, -4},
      {"the magic with a wrong format mark", "",
       testing::build_image(kImageUnit,
                            {{.pos = 0, .entries = numbered_blocks(1, 0x100), .format_mark = '2'}}),
       -3, -5},
      {"an offset near 4 GiB", "", with_table(0x40, {{.offset = 0xFFFFFFFFu, .size = 1}}), -3, -5},
      {"a size near 4 GiB", "", with_table(0x40, {{.offset = 0x100, .size = 0xFFFFFFF0u}}), -3, -5},
      {"offset + size wrapping 32 bits", "",
       with_table(0x40, {{.offset = 0x100, .size = 0xFFFFFF00u}}), -3, -5},
      {"a 255-entry table", "", with_table(0x40, numbered_blocks(255, 0x4000)), -3, -5},
      {"65 blocks across tables", "",
       testing::build_image(kImageUnit, {{0x40, numbered_blocks(33, 0x1000)},
                                         {0x40000, numbered_blocks(32, 0x1000)}}),
       -3, -5},
      {"entries past the end", "",
       testing::build_image(kImageUnit, {{.pos = kImageUnit - 40, .count = 1}}), -3, -5},
      {"a table over another table's entries", "", overlapping, -3, -5},
      {"no block named so", good, {}, 0, -6},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string flash = c.flash.empty() ? dir.file("case.bin", c.bytes) : c.flash;
    const auto before = contents_of(dir.dir);
    const auto listed = run_tool({flash});
    const auto merged = run_tool({flash, "b0x", boot, out});
    EXPECT_EQ(listed.status, c.list_code ? 1 : 0);
    if (c.list_code) {
      EXPECT_EQ(listed.out, "List flash block error with " + std::to_string(c.list_code) + "\n");
    }
    EXPECT_EQ(merged.status, 1);
    EXPECT_EQ(merged.out, "Merge flash file error with " + std::to_string(c.merge_code) + "\n");
    EXPECT_TRUE(contents_of(dir.dir) == before);
  }

  // Block files that are not files.
  for (const auto& [blockfile, code] : std::vector<std::pair<std::string, int>>{
           {dir.path("sub"), -2},
           {testing::kNullDevice, -3},
#ifndef _WIN32
           {"/dev/zero", -3},
#endif
       }) {
    SCOPED_TRACE(blockfile);
    const auto before = contents_of(dir.dir);
    EXPECT_EQ(run_tool({good, "b0", blockfile, out}).out,
              "Merge flash file error with " + std::to_string(code) + "\n");
    EXPECT_TRUE(contents_of(dir.dir) == before);
  }
}

TEST(HostileInput, OddButValidImages) {
  testing::TempDir dir;
  const std::string out = dir.path("out.bin"), boot = dir.path("boot.bin");
  ASSERT_TRUE(testing::write_file(boot, pattern(0x30, 2)));
  auto sixty_four = testing::build_image(
      kImageUnit, {{0x40, numbered_blocks(40, 0x1000)}, {0x40000, numbered_blocks(24, 0x1000)}});
  auto at_end = testing::build_image(
      kImageUnit,
      {{0x40, numbered_blocks(1, 0x100)}, {kImageUnit - 28, {}}});  // header ends at the end
  auto nested = testing::build_image(
      kImageUnit,
      {{0x40, {{.id = 7, .name = "outer", .offset = 0x40, .data = pattern(0x400, 3)}}}});
  testing::put_table(
      nested, {0x100, {{.id = 8, .name = "inner", .offset = 0x100, .data = pattern(0x10, 4)}}});
  const struct {
    std::string what;
    std::vector<uint8_t> image;
    std::string blockname;
    size_t lines;
  } cases[] = {
      {"64 blocks across tables", sixty_four, "b23", 64},
      {"a table header ending at the image's end", at_end, "b0", 1},
      {"a table nested in a block", nested, "inner", 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string flash = dir.path("flash.bin");
    ASSERT_TRUE(testing::write_file(flash, c.image));
    const auto listed = run_tool({flash});
    EXPECT_EQ(listed.status, 0);
    EXPECT_EQ(static_cast<size_t>(std::count(listed.out.begin(), listed.out.end(), '\n')), c.lines);
    const auto merged = run_tool({flash, c.blockname, boot, out});
    EXPECT_EQ(merged.status, 0) << merged.out;
    EXPECT_EQ(run_tool({out}).out, listed.out);
  }
}

#ifndef _WIN32
// Feeds `bytes` to the FIFO `path` from a thread, once a reader opens it (within ten seconds).
std::thread feed_fifo(const std::string& path, std::vector<uint8_t> bytes) {
  return std::thread([path, bytes = std::move(bytes)] {
    int fd = -1;
    for (int tries = 0; fd < 0 && tries < 1000; ++tries) {
      fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
      if (fd < 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (fd < 0) return;
    ::fcntl(fd, F_SETFL, 0);
    for (size_t done = 0; done < bytes.size();) {
      const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
      if (n <= 0) break;  // the reader took what it wanted
      done += static_cast<size_t>(n);
    }
    ::close(fd);
  });
}
#endif

TEST(HostileInput, PipesAndFifosAreReadToTheirEnd) {
  testing::TempDir dir;
  const auto image = testing::build_image(kImageUnit, {{0x40, numbered_blocks(2, 0x200)}});
  const std::string good = dir.file("good.bin", image),
                    boot = dir.file("boot.bin", pattern(0x20, 1));
#ifndef _WIN32
  std::signal(SIGPIPE, SIG_IGN);  // a reader that stops early must not end the test
  const std::string fifo = dir.path("fifo"), out = dir.path("out.bin"), merged = dir.path("m.bin");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  ASSERT_EQ(run_tool({good, "b0", boot, merged}).status, 0);
  const struct {
    std::string what;
    std::vector<std::string> args;
    std::vector<uint8_t> fed;
    std::string out;  // what the same command prints
    std::string err = "";
  } cases[] = {
      {"an image", {fifo}, image, "id:0x0 name:b0\nid:0x1 name:b1\n"},
      {"a writer that gives nothing", {fifo}, {}, "List flash block error with -3\n"},
      {"a merge of a FIFO", {fifo, "b0", boot, out}, image, ""},
      {"a block file", {good, "b0", fifo, out}, pattern(0x20, 1), ""},
      {"a block file longer than the image",
       {good, "b0", fifo, out},
       pattern(kImageUnit + 1, 1),
       "Merge flash file error with -2\n",
       "at least 524225 bytes, but block 0 (b0) can hold at most"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::thread writer = feed_fifo(fifo, c.fed);
    const auto run = run_tool(c.args);
    writer.join();
    EXPECT_EQ(run.out, c.out) << run.err;
    EXPECT_NE(run.err.find(c.err), std::string::npos) << run.err;
    EXPECT_EQ(run.status, c.out.empty() || c.out.starts_with("id:") ? 0 : 1);
    if (run.status == 0 && c.args.size() == 4) {
      EXPECT_EQ(testing::read_file(out), testing::read_file(merged));
    }
    fs::remove(out);
  }
  // "-" is standard input in the option commands (a pipe, here a FIFO fed as above), standard
  // output for --extract, and a file in the list.
  std::thread writer = feed_fifo(fifo, image);
  const auto piped = testing::run_tool_process({"--info", "-"}, "", fifo);
  writer.join();
#else
  // No FIFOs on Windows: standard input is the file itself, and output must stay binary.
  const auto piped = testing::run_tool_process({"--info", "-"}, "", good);
#endif
  EXPECT_EQ(piped.status, 0) << piped.err;
  EXPECT_EQ(piped.out, run_tool({"--info", good}).out);
  const auto b1 = pattern(16, 1);
  EXPECT_EQ(testing::run_tool_process({"--extract", good, "b1", "-"}).out,
            std::string(b1.begin(), b1.end()));
  EXPECT_EQ(testing::run_tool_process({"-"}, "", good).out, "List flash block error with -2\n");
}

// A flash file another program truncates while blkswap has it mapped: the pages past the new
// end vanish, and their read ends the command as a failed read, never by SIGBUS, with the output
// as it was and no temporary left. The block file is a FIFO, so that the truncation comes after
// the load and before the plan reads the blocks.
TEST(HostileInput, AFlashFileTruncatedWhileMappedIsAFailedRead) {
#ifdef _WIN32
  GTEST_SKIP() << "POSIX only: Windows refuses to shorten a mapped file";
#else
  testing::TempDir dir;
  const auto image = testing::build_image(
      2 * kImageUnit,
      {{0x40, numbered_blocks(2, 0x200)}, {kImageUnit + 0x40, numbered_blocks(2, 0x200)}});
  const std::string fifo = dir.path("fifo"), out = dir.file("out.bin", {'o', 'l', 'd'});
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string flash = dir.path("flash.bin");
  const std::string reason = ": cannot be opened or read whole: it changed size while it was read";
  const struct {
    std::vector<std::string> args;
    std::string out;
    std::string err;
  } cases[] = {
      {{flash, "b0", fifo, out},
       "Merge flash file error with -2\n",
       "blkswap: " + flash + reason + " (merge error -2)\n"},
      {{"--dry-run", flash, "b0", fifo, "--json"},
       "{\n  \"schema\": 1,\n  \"error\": {\n    \"step\": \"load\",\n    \"code\": -2,\n    "
       "\"message\": \"" +
           flash + reason + " (merge error -2)\"\n  }\n}\n",
       "blkswap: " + flash + reason + " (merge error -2)\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0]);
    ASSERT_TRUE(testing::write_file(flash, image));
    auto tool = testing::start_tool(c.args);
    ASSERT_GT(tool.pid, 0);
    // Once blkswap waits on the FIFO its image is loaded: the file is cut to its first half.
    int fd = -1;
    for (int tries = 0; fd < 0 && tries < 2000; ++tries) {
      fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
      if (fd < 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_GE(fd, 0) << "blkswap never opened its block file";
    ASSERT_EQ(::truncate(flash.c_str(), kImageUnit), 0);
    const auto bytes = pattern(0x10, 9);
    EXPECT_EQ(::write(fd, bytes.data(), bytes.size()), 0x10);
    ::close(fd);
    const auto run = testing::finish_tool(tool);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.err, c.err);
    EXPECT_EQ(testing::read_text(out), "old");
    EXPECT_EQ(testing::files_in(dir.dir),
              (std::vector<std::string>{"fifo", "flash.bin", "out.bin"}));
  }
#endif
}

TEST(HostileInput, OutputThroughASymbolicLinkReplacesItsTarget) {
#ifdef _WIN32
  GTEST_SKIP() << "POSIX only: a symbolic link needs a privilege on Windows";
#endif
  testing::TempDir dir;
  const std::string flash = dir.path("flash.bin"), boot = dir.path("boot.bin"),
                    target = dir.path("real.bin");
  ASSERT_TRUE(testing::write_file(
      flash, testing::build_image(kImageUnit, {{0x40, numbered_blocks(2, 0x200)}})));
  ASSERT_TRUE(testing::write_file(boot, pattern(0x30, 2)));
  ASSERT_TRUE(testing::write_file(target, {1, 2, 3}));
  fs::create_symlink("real.bin", dir.path("link.bin"));
  ASSERT_EQ(run_tool({flash, "b1", boot, dir.path("link.bin")}).status, 0);
  EXPECT_TRUE(fs::is_symlink(dir.path("link.bin")));
  EXPECT_EQ(fs::file_size(target), kImageUnit);
  EXPECT_EQ(testing::files_in(dir.dir).size(), 4);
}

}  // namespace
}  // namespace blkswap
