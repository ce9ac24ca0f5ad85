// The real program, run through a shell: exit statuses, exact output, and what it leaves on disk.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "image/crc.h"
#include "image/load.h"
#include "image_builder.h"
#include "json_flat.h"
#include "run_tool.h"
#include "temp_dir.h"

namespace blkswap {
namespace {

namespace fs = std::filesystem;
using testing::EntryPlan;
using testing::pattern;
using testing::read_file;
using testing::run_tool;
using testing::TempDir;
using testing::write_file;

const std::string kUsage =
    "Usage: blkswap [flashfile] [blockname] [blockfile] [wfile]\n"
    "eg:blkswap flash.bin bootload bootloader.bin merge.bin\n";

// A boot table at 0x1000 (the boot loader `boot`, then the kernel right behind it) and a second
// table at 0x40000.
std::vector<uint8_t> two_table_image(const std::vector<uint8_t>& boot = pattern(0x800, 1)) {
  return testing::build_image(
      kImageUnit,
      {{0x1000,
        {{.id = 0xA4, .name = "bootload", .offset = 0x10000, .data = boot},
         {.id = 0x02,
          .name = "kernel",
          .offset = static_cast<uint32_t>(0x10000 + boot.size()),
          .data = pattern(0x4000, 2)}}},
       {0x40000, {{.id = 0x05, .name = "rootfs", .offset = 0x100, .data = pattern(0x1000, 3)}}}},
      0xFF);
}

// flash.bin (the image above) and block.bin (a new boot loader).
testing::Workspace workspace() {
  return {two_table_image(), pattern(0x900, 9)};
}

std::string merge_error(int code) {
  return "Merge flash file error with " + std::to_string(code) + "\n";
}
std::string list_error(int code) {
  return "List flash block error with " + std::to_string(code) + "\n";
}

TEST(Cli, WrongArgumentCountsPrintTheUsage) {
  for (size_t count : {0u, 2u, 3u, 5u, 6u}) {
    const auto run = run_tool(std::vector<std::string>(count, "x"));
    EXPECT_EQ(run.status, 2) << count;
    EXPECT_EQ(run.out, kUsage) << count;
    // A bare blkswap points to the help as well.
    EXPECT_EQ(run.err, count == 0 ? "blkswap: 'blkswap --help' says more\n" : "");
  }
}

TEST(Cli, ListPrintsIdAndNamePerBlock) {
  TempDir dir;
  auto image = two_table_image();
  testing::put_table(image, {0x60000,
                             {{.id = 0x00, .name = std::string("\0junk", 5)},
                              {.id = 0xFF, .name = "\x01\x80\xff", .offset = 0x200},
                              {.id = 0x10, .name = "ABCDEFGH", .offset = 0x300, .opaque = 'Z'}}});
  ASSERT_TRUE(write_file(dir.path("f.bin"), image));
  const auto run = run_tool({dir.path("f.bin")});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out,
            "id:0xa4 name:bootload\n"
            "id:0x2 name:kernel\n"
            "id:0x5 name:rootfs\n"
            "id:0x0 name:\n"
            "id:0xff name:\x01\x80\xff\n"
            "id:0x10 name:ABCDEFGH\n");
}

TEST(Cli, OutputThatCannotBeWrittenFailsAndSaysWhy) {
#ifdef _WIN32
  GTEST_SKIP() << "POSIX only: a shell, /dev/full, and a pipe whose reader has gone";
#else
  const testing::Workspace ws = workspace();
  const std::string tool = std::string("'") + BLKSWAP_EXE + "' ", flash = "'" + ws.flash() + "'";
  const std::string err = ws.path("err");
  // A full device, and a pipe whose reader has gone before anything was written.
  const std::string full = " >/dev/full", gone = " | true";
  // A command whose product is a file or folder, written whole, keeps its status: only its
  // summary is lost.
  ASSERT_EQ(run_tool({"--unpack", ws.flash(), ws.path("parts")}).status, 0);
  const std::string summary_lost = "; the output was written whole, only its summary is lost";
  const struct {
    std::string args, into, reason;
    std::string status = "1\n";
  } cases[] = {
      {flash, full, "No space left on device"},
      {"--unpack " + flash + " '" + ws.path("unpacked") + "'", full,
       "No space left on device" + summary_lost, "0\n"},
      {"--repack " + flash + " '" + ws.path("parts") + "' '" + ws.path("re.bin") + "'", gone,
       "Broken pipe" + summary_lost, "0\n"},
      {"--info " + flash, full, "No space left on device"},
      {"--verify " + flash, full, "No space left on device"},
      {"--help", full, "No space left on device"},
      {flash, gone, "Broken pipe"},
      {"--info " + flash, gone, "Broken pipe"},
      {"--verify " + flash, gone, "Broken pipe"},
      {flash + " bootload '" + ws.block() + "' /dev/stdout", gone, "Broken pipe"},
  };
  for (const auto& c : cases) {
    const std::string command = "{ sleep 0.2; " + tool + c.args + " 2>'" + err + "'; echo $? >'" +
                                err + ".status'; }" + c.into;
    const std::string script =
        ws.dir.file("run.sh", std::vector<uint8_t>(command.begin(), command.end()));
    ASSERT_EQ(std::system(("bash '" + script + "'").c_str()), 0) << command;
    EXPECT_EQ(testing::read_text(err + ".status"), c.status) << c.args << c.into;
    const std::string said = testing::read_text(err);
    EXPECT_TRUE(said.ends_with("blkswap: standard output cannot be written: " + c.reason + "\n"))
        << c.args << c.into << ": " << said;
  }
#endif
}

TEST(Cli, ListOfATableWithoutEntriesPrintsNothing) {
  TempDir dir;
  ASSERT_TRUE(write_file(dir.path("f.bin"), testing::build_image(kImageUnit, {{0x10, {}}})));
  const auto run = run_tool({dir.path("f.bin")});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "");
}

TEST(Cli, ListFailures) {
  TempDir dir;
  ASSERT_TRUE(write_file(dir.path("odd.bin"), std::vector<uint8_t>(kImageUnit + 1, 0)));
  ASSERT_TRUE(write_file(dir.path("blank.bin"), std::vector<uint8_t>(kImageUnit, 0)));
  const struct {
    std::string flashfile;
    int code;
  } cases[] = {
      {"", -1},
      {dir.path("missing.bin"), -2},
      {dir.dir, -2},
      {dir.path("blank.bin"), -3},
      {testing::kNullDevice, -3},
      {dir.path("odd.bin"), -4},
  };
  for (const auto& c : cases) {
    const auto run = run_tool({c.flashfile});
    EXPECT_EQ(run.status, 1) << c.flashfile;
    EXPECT_EQ(run.out, list_error(c.code)) << c.flashfile;
  }
}

TEST(Cli, MergeWritesTheComposedImageAndPrintsNothing) {
  const testing::Workspace ws = workspace();
  const auto run = run_tool({ws.flash(), "bootload", ws.block(), ws.out()});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "");

  // What the merge must write, built independently: the boot loader grown to 0x900 bytes, the
  // kernel moved up behind it, every checksum taken again; the rest as it was.
  EXPECT_TRUE(read_file(ws.out()) == two_table_image(pattern(0x900, 9)));

  const auto list = run_tool({ws.out()});
  EXPECT_EQ(list.out, "id:0xa4 name:bootload\nid:0x2 name:kernel\nid:0x5 name:rootfs\n");
}

// A merge says on standard error, one line per kind, what it changes that nobody asked for, and
// still writes the image the rules give; a merge that loses nothing says nothing.
TEST(Cli, AMergeSaysWhatItLoses) {
  TempDir dir;
  auto image =
      testing::build_image(kImageUnit,
                           {{0x1000,
                             {{.id = 1, .name = "boot", .offset = 0x100, .data = pattern(0x100, 1)},
                              {.id = 8,
                               .name = "factory",
                               .offset = 0x200,
                               .data = pattern(0x100, 2),
                               .checksum = 0x12345678}}},
                            {0x70000, {}}},
                           0xFF);
  const std::string signature = "a signature 29 bytes long....";
  std::copy(signature.begin(), signature.end(), image.begin() + 0x7F000);
  const std::string flash = dir.file("flash.bin", image),
                    boot = dir.file("boot.bin", pattern(0x100, 3));
  build_crc_table();
  char stale[160];
  std::snprintf(stale, sizeof stale,
                "blkswap: warning: block 1 (factory) had a stale checksum 0x12345678; the merged "
                "image stores its computed checksum 0x%08x\n",
                block_crc(pattern(0x100, 2)));
  const std::string warnings =
      "blkswap: warning: 57 bytes after the table at 0x00001000 are not carried over and become "
      "0xFF (the first at 0x00070000); 'blkswap --dry-run' shows them\n"
      "blkswap: warning: the header of the table at 0x00070000, which lists no blocks, is not "
      "carried over\n" +
      std::string(stale);
  ASSERT_EQ(run_tool({"--unpack", flash, dir.path("parts")}).status, 0);
  ASSERT_TRUE(write_file(dir.path("parts/00-boot.bin"), pattern(0x100, 3)));
  for (const auto& args : std::vector<std::vector<std::string>>{
           {flash, "boot", boot, dir.path("four.bin")},
           {"--merge", flash, "boot", boot, dir.path("merge.bin")},
           {"--repack", flash, dir.path("parts"), dir.path("repack.bin")}}) {
    const auto run = run_tool(args);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, warnings) << args[0];
    EXPECT_EQ(read_file(args.back()), read_file(dir.path("four.bin")));
  }
  EXPECT_EQ(run_tool({flash, "boot", boot, dir.path("four.bin")}).out, "");
  const auto json = testing::parse_json(run_tool({"--dry-run", flash, "boot", boot, "--json"}).out);
  ASSERT_TRUE(json.ok) << json.error;
  for (const auto& [path, value] : std::vector<std::pair<std::string, std::string>>{
           {".warnings.#", "i:3"},
           {".warnings.0.kind", "s:erased"},
           {".warnings.0.count", "i:57"},
           {".warnings.1.first", "i:458752"},
           {".warnings.2.kind", "s:stale_checksums"},
           {".warnings.2.stored", "i:305419896"},
       }) {
    EXPECT_EQ(json.values.at(path), value) << path;
  }
  // The image of this suite's other tests loses nothing: not a word.
  const testing::Workspace ws = workspace();
  const auto quiet = run_tool({ws.flash(), "bootload", ws.block(), ws.out()});
  EXPECT_EQ(quiet.status, 0);
  EXPECT_EQ(quiet.out + quiet.err, "");
}

TEST(Cli, OutputMayNameTheFlashFileOrTheBlockFile) {
  const testing::Workspace ws = workspace();
  ASSERT_EQ(run_tool({ws.flash(), "bootload", ws.block(), ws.out()}).status, 0);
  ASSERT_EQ(run_tool({ws.flash(), "bootload", ws.block(), ws.flash()}).status, 0);
  EXPECT_TRUE(read_file(ws.flash()) == read_file(ws.out()));
  ASSERT_EQ(run_tool({ws.flash(), "kernel", ws.block(), ws.block()}).status, 0);
  EXPECT_EQ(read_file(ws.block()).size(), kImageUnit);
  EXPECT_EQ(ws.files().size(), 3);
}

// Every failure of every step, through the command line: its line, status 1, and no output file
// (or the old one untouched).
TEST(Cli, MergeFailuresWriteNothing) {
  const testing::Workspace ws = workspace();
  TempDir files;
  const std::string odd = files.path("odd.bin"), blank = files.path("blank.bin"),
                    empty = files.path("empty.bin"), tight = files.path("tight.bin"),
                    huge = files.path("huge.bin"), long_block = files.path("long.bin");
  ASSERT_TRUE(write_file(odd, std::vector<uint8_t>(kImageUnit - 1, 0)));
  ASSERT_TRUE(write_file(blank, std::vector<uint8_t>(kImageUnit, 0)));
  ASSERT_TRUE(write_file(empty, {}));
  // A last block that the new bytes push to exactly the image's end.
  ASSERT_TRUE(write_file(
      tight,
      testing::build_image(kImageUnit, {{0x100, {{.id = 1, .name = "last", .offset = 0x100}}}})));
  const std::string fits_exactly = files.path("fits.bin");
  ASSERT_TRUE(write_file(fits_exactly, pattern(kImageUnit - 0x200, 4)));
  ASSERT_TRUE(testing::write_file(huge, {}));
  fs::resize_file(huge, 0x100000001LL);  // sparse, longer than a size field holds
  ASSERT_TRUE(testing::write_file(long_block, {}));
  fs::resize_file(long_block, 2 * kImageUnit);  // holds in a size field, not in the image

  const struct {
    std::string what;
    std::vector<std::string> args;
    int code;
  } cases[] = {
      {"load: empty flashfile", {"", "bootload", ws.block(), ws.out()}, -1},
      {"load: missing flashfile",
       {files.path("none.bin"), "bootload", files.path("none2"), ws.out()},
       -2},
      {"load: flashfile is a directory", {files.dir, "bootload", ws.block(), ws.out()}, -2},
      {"load: length", {odd, "bootload", ws.block(), ws.out()}, -4},
      {"load: no table", {blank, "bootload", ws.block(), ws.out()}, -5},
#ifndef _WIN32
      {"load: /dev/zero has no length", {"/dev/zero", "bootload", ws.block(), ws.out()}, -5},
#endif
      {"replace: empty blockname", {ws.flash(), "", ws.block(), ws.out()}, -1},
      {"replace: empty blockfile", {ws.flash(), "bootload", "", ws.out()}, -1},
      {"replace: no match, before the block file",
       {ws.flash(), "boot", files.path("none"), ws.out()},
       -6},
      {"replace: a longer name matches nothing", {ws.flash(), "kernel0", ws.block(), ws.out()}, -6},
      {"replace: missing blockfile", {ws.flash(), "bootload", files.path("none"), ws.out()}, -2},
      {"replace: blockfile is a directory", {ws.flash(), "bootload", files.dir, ws.out()}, -2},
      {"replace: blockfile too long for a size field",
       {ws.flash(), "bootload", huge, ws.out()},
       -2},
      {"replace: empty block file", {ws.flash(), "bootload", empty, ws.out()}, -3},
      {"replace: the null device", {ws.flash(), "bootload", testing::kNullDevice, ws.out()}, -3},
      {"write: empty wfile", {ws.flash(), "bootload", ws.block(), ""}, -1},
      {"write: blockfile longer than the image",
       {ws.flash(), "bootload", long_block, ws.out()},
       -2},
      {"write: empty wfile comes first", {ws.flash(), "bootload", long_block, ""}, -1},
      {"write: last block ends at the end", {tight, "last", fits_exactly, ws.out()}, -2},
      {"write: missing directory",
       {ws.flash(), "bootload", ws.block(), files.path("no/such/out.bin")},
       -4},
      {"write: wfile is a directory", {ws.flash(), "bootload", ws.block(), files.dir}, -4},
#ifndef _WIN32
      {"write: disk full", {ws.flash(), "bootload", ws.block(), "/dev/full"}, -5},
#endif
  };
  const auto flash_before = read_file(ws.flash());
  for (const auto& c : cases) {
    const auto run = run_tool(c.args);
    EXPECT_EQ(run.status, 1) << c.what;
    EXPECT_EQ(run.out, merge_error(c.code)) << c.what;
    EXPECT_FALSE(fs::exists(ws.out())) << c.what;
  }
  EXPECT_TRUE(read_file(ws.flash()) == flash_before);
  EXPECT_EQ(testing::files_in(files.dir).size(), 7);
}

// Tables nested in blocks: a merge either writes an image that loads back as laid out, with
// every checksum true, or refuses with -2 and writes nothing; the dry run says which.
TEST(Cli, NestedTablesMergeWholeOrNotAtAll) {
  TempDir dir;
  // The outer block (0x200..0x1200) holds a second table at 0x400 and its inner block.
  auto nested = testing::build_image(
      kImageUnit,
      {{0x100, {{.id = 1, .name = "outer", .offset = 0x100, .data = pattern(0x1000, 1)}}}});
  testing::put_table(
      nested, {0x400, {{.id = 2, .name = "inner", .offset = 0x100, .data = pattern(0x10, 2)}}});
  std::vector<uint8_t> outer_grown(0x1800, 0x5A);
  std::copy(nested.begin() + 0x200, nested.begin() + 0x1200, outer_grown.begin());
  // Slot 0 covers its own table, so later entries land inside it, its checksum field too.
  const auto self_holding = testing::build_image(
      kImageUnit, {{0x1000,
                    {{.id = 1, .name = "head", .offset = 0, .size = 0x100},
                     {.id = 2, .name = "kern", .offset = 0x100, .data = pattern(0x100, 4)}}}});
  // A later table's block covers an earlier table's block: written later, its old bytes would
  // land over the new ones.
  const auto covered = testing::build_image(
      kImageUnit,
      {{0x1000, {{.id = 1, .name = "inner", .offset = 0x2000, .data = pattern(0x100, 8)}}},
       {0x1800, {{.id = 2, .name = "outer", .offset = 0x100, .data = pattern(0x8000, 9)}}}});
  // Three levels: the innermost block's new bytes change the middle block, whose checksum field
  // lies in the outer block: the middle block's checksum is taken first, then the outer one's.
  auto three = testing::build_image(
      kImageUnit,
      {{0x100, {{.id = 1, .name = "outer", .offset = 0x100, .data = pattern(0x4000, 11)}}}});
  testing::put_table(
      three, {0x400, {{.id = 2, .name = "middle", .offset = 0x100, .data = pattern(0x1000, 12)}}});
  testing::put_table(
      three, {0x800, {{.id = 3, .name = "inner", .offset = 0x100, .data = pattern(0x10, 13)}}});
  testing::put_table(three, {0x400,
                             {{.id = 2,
                               .name = "middle",
                               .offset = 0x100,
                               .data = {three.begin() + 0x500, three.begin() + 0x1500}}}});
  testing::put_table(three, {0x100,
                             {{.id = 1,
                               .name = "outer",
                               .offset = 0x100,
                               .data = {three.begin() + 0x200, three.begin() + 0x4200}}}});
  const struct {
    std::string what;
    std::vector<uint8_t> flash;
    std::string blockname;
    std::vector<uint8_t> block;
    int code;  // 0: merges
  } cases[] = {
      {"the inner block changes the outer one's bytes", nested, "inner", pattern(0x20, 5), 0},
      {"three levels settle from the inside out", three, "inner", pattern(0x10, 14), 0},
      {"outer bytes that still hold the inner table", nested, "outer", outer_grown, 0},
      {"outer bytes without the inner table", nested, "outer", pattern(0x1000, 6), -2},
      {"a block that holds its own checksum field", self_holding, "kern", pattern(0x80, 7), -2},
      {"new bytes that a later block's write would cover", covered, "inner", pattern(0x100, 10),
       -2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string flash = dir.path("flash.bin"), block = dir.path("block.bin"),
                      out = dir.path("out.bin");
    fs::remove(out);
    ASSERT_TRUE(write_file(flash, c.flash));
    ASSERT_TRUE(write_file(block, c.block));
    const auto dry_run = run_tool({"--dry-run", flash, c.blockname, block});
    const auto merge = run_tool({flash, c.blockname, block, out});
    EXPECT_EQ(merge.out, c.code ? merge_error(c.code) : "");
    EXPECT_EQ(dry_run.status, merge.status);
    EXPECT_EQ(fs::exists(out), c.code == 0);
    if (c.code != 0) {
      // The dry run's table and reason, then the merge's own line.
      EXPECT_TRUE(dry_run.out.ends_with("(merge error -2)\n" + merge.out)) << dry_run.out;
      continue;
    }
    const auto verify = run_tool({"--verify", out});
    EXPECT_EQ(verify.status, 0) << verify.out;
    EXPECT_EQ(run_tool({out}).out, run_tool({flash}).out);
  }
}

// A file that yields fewer bytes than its length was not read whole, whichever it is.
TEST(Cli, ShortReadsAreFailedReads) {
#ifdef _WIN32
  GTEST_SKIP() << "POSIX only: Windows has no file whose length lies (Wine's view of /sys maps one "
                  "whole, as a page)";
#endif
  // sysfs reports a length of a page for files that hold a few bytes.
  const std::string sysfs = "/sys/devices/system/cpu/online";
  struct stat st {};
  if (::stat(sysfs.c_str(), &st) != 0 || st.st_size != 4096)
    GTEST_SKIP() << "no sysfs file to read short";
  const testing::Workspace ws = workspace();
  const struct {
    std::vector<std::string> args;
    std::string out;
  } cases[] = {
      {{ws.flash(), "bootload", sysfs, ws.out()}, merge_error(-5)},
      {{sysfs, "bootload", ws.block(), ws.out()}, merge_error(-2)},
      {{sysfs}, list_error(-2)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(run_tool(c.args).out, c.out) << c.args[0];
    EXPECT_FALSE(fs::exists(ws.out()));
  }
}

TEST(Cli, OutOfMemoryBecomesTheStepsCode) {
#ifdef _WIN32
  GTEST_SKIP() << "POSIX only: a shell's ulimit -v";
#else
  if (testing::built_with_sanitizers())
    GTEST_SKIP() << "sanitizers reserve more address space than the limit";
  const testing::Workspace ws = workspace();
  // 128 MiB, sparse but for the tables at its start.
  const std::string big = ws.dir.path("big.bin");
  ASSERT_TRUE(write_file(big, two_table_image()));
  fs::resize_file(big, 128 << 20);
  const std::string limit_small = "ulimit -v 65536";  // not even the image fits
  const std::string limit_one = "ulimit -v 172032";   // the image fits, a second one does not

  EXPECT_EQ(run_tool({big}, limit_small).out, list_error(-3));
  EXPECT_EQ(run_tool({big, "bootload", ws.block(), ws.out()}, limit_small).out, merge_error(-3));
  // A block file longer than the image is refused from its length, before any memory is asked.
  EXPECT_EQ(run_tool({ws.flash(), "bootload", big, ws.out()}, limit_small).out, merge_error(-2));
  const std::string block = ws.path("huge-block.bin");  // fits the image, not beside it in memory
  ASSERT_TRUE(write_file(block, {1}));
  fs::resize_file(block, 100 << 20);
  EXPECT_EQ(run_tool({big, "bootload", block, ws.out()}, limit_one).out, merge_error(-4));
  const auto listed = run_tool({big}, limit_one);
  EXPECT_EQ(listed.status, 0);
  EXPECT_EQ(listed.out, "id:0xa4 name:bootload\nid:0x2 name:kernel\nid:0x5 name:rootfs\n");
  // A merge holds no second image: it is written from its pieces. The dry run composes it whole.
  EXPECT_EQ(run_tool({"--dry-run", big, "bootload", ws.block()}, limit_one).status, 1);
  EXPECT_FALSE(fs::exists(ws.out()));
  const auto merged = run_tool({big, "bootload", ws.block(), ws.out()}, limit_one);
  EXPECT_EQ(merged.status, 0) << merged.out << merged.err;
  EXPECT_EQ(fs::file_size(ws.out()), 128u << 20);

  // 64 blocks that fill 128 MiB: every report, and an unpack, holds the image once.
  const TempDir memory(TempDir::InMemory{});
  const std::string full = memory.file(
      "full.bin",
      testing::build_image(128 << 20,
                           {{0x1000, testing::numbered_blocks(64, 0x1000, (2 << 20) - 0x100)}}));
  for (const auto& args :
       std::vector<std::vector<std::string>>{{"--info", full, "--json"},
                                             {"--verify", full},
                                             {"--unpack", full, memory.path("parts")}}) {
    const auto run = run_tool(args, limit_one);
    EXPECT_EQ(run.status, 0) << args[0] << run.err;
  }
#endif
}

TEST(Cli, AWriteCutShortByAFileSizeLimitLeavesTheOldOutput) {
#ifdef _WIN32
  GTEST_SKIP() << "POSIX only: a shell's ulimit -f";
#else
  const testing::Workspace ws = workspace();
  const std::vector<uint8_t> old = {'o', 'l', 'd'};
  ASSERT_TRUE(write_file(ws.out(), old));
  // 100 blocks of 512 bytes: less than the image; the shell does not ignore SIGXFSZ, blkswap does.
  const auto run = run_tool({ws.flash(), "bootload", ws.block(), ws.out()}, "ulimit -f 100");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, merge_error(-5));
  EXPECT_EQ(read_file(ws.out()), old);
  EXPECT_EQ(ws.files().size(), 3);
#endif
}

}  // namespace
}  // namespace blkswap
