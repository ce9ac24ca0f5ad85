// The round trip through the real command line: --unpack, --repack, --merge with several pairs,
// --diff, and the JSON documents of --verify, --dry-run and --diff.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "image/crc.h"
#include "image/format.h"
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
using testing::read_text;
using testing::run_tool;
using testing::TempDir;
using testing::write_file;

// Names a file system could misread: a slash, a parent folder, bytes that are not text, the
// escape character itself, and none at all.
const std::string kAwkwardNames[] = {"a/b", "..", std::string("\x01\xff%", 3), ""};

// One table, blocks back to back: the shape where merges one after another equal one merge.
std::vector<uint8_t> single_table_image() {
  std::vector<EntryPlan> blocks = testing::numbered_blocks(4, 0x200, 0x300);
  for (size_t k = 0; k < std::size(kAwkwardNames); ++k) {
    blocks.push_back({.id = static_cast<uint8_t>(0x20 + k),
                      .name = kAwkwardNames[k],
                      .offset = static_cast<uint32_t>(0xE00 + 0x40 * k),
                      .data = pattern(0x40, static_cast<uint32_t>(20 + k))});
  }
  blocks[1].checksum = testing::kNcrc;
  return testing::build_image(kImageUnit, {{0x1000, blocks}}, 0xFF);
}

// Two tables, an empty block, and bytes between the blocks that a merge keeps.
std::vector<uint8_t> two_table_image() {
  return testing::build_image(
      kImageUnit,
      {{0x1000,
        {{.id = 0xA4, .name = "bootload", .offset = 0x10000, .data = pattern(0x800, 1)},
         {.id = 0x02, .name = "kernel", .offset = 0x10900, .data = pattern(0x1000, 2)},
         {.id = 0x03, .name = "empty", .offset = 0x11900}}},
       {0x40000, {{.id = 0x05, .name = "rootfs", .offset = 0x100, .data = pattern(0x1000, 3)}}}},
      0x5A);
}

// `image` as a merge writes it: one of its blocks merged back unchanged.
std::string merge_written(const TempDir& dir, const std::vector<uint8_t>& image,
                          const std::string& blockname) {
  const std::string flash = dir.file("source.bin", image);
  const std::string block = dir.path("block.bin");
  EXPECT_EQ(run_tool({"--extract", flash, blockname, block}).status, 0);
  const std::string merged = dir.path("merged.bin");
  EXPECT_EQ(run_tool({flash, blockname, block, merged}).status, 0);
  return merged;
}

TEST(RoundTrip, RepackGivesBackTheImageOrTheMergeOfTheChangedFile) {
  const struct {
    const char* what;
    std::vector<uint8_t> image;
    std::vector<std::string> files;
    std::string changed_file, blockname;
  } cases[] = {
      {"one table, awkward names",
       single_table_image(),
       {"00-b0.bin", "01-b1.bin", "02-b2.bin", "03-b3.bin", "04-a%2Fb.bin", "05-...bin",
        "06-%01%FF%25.bin", "07-.bin", "manifest.json"},
       "02-b2.bin",
       "b2"},
      {"two tables",
       two_table_image(),
       {"00-bootload.bin", "01-kernel.bin", "02-empty.bin", "03-rootfs.bin", "manifest.json"},
       "00-bootload.bin",
       "bootload"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    const std::string merged = merge_written(dir, c.image, c.blockname);
    const std::string unpacked = dir.path("unpacked");
    const auto unpack = run_tool({"--unpack", merged, unpacked});
    ASSERT_EQ(unpack.status, 0) << unpack.err;
    EXPECT_EQ(testing::files_in(unpacked), c.files);
    const auto manifest = testing::parse_json(read_text(unpacked + "/manifest.json"));
    ASSERT_TRUE(manifest.ok) << manifest.error;
    build_crc_table();
    EXPECT_EQ(manifest.values.at(".image_checksum"),
              "i:" + std::to_string(block_crc(read_file(merged))));
    EXPECT_EQ(manifest.values.at(".blocks.1.file"), "s:" + c.files[1]);

    const auto same = run_tool({"--repack", merged, unpacked, dir.path("same.bin")});
    ASSERT_EQ(same.status, 0) << same.err;
    EXPECT_EQ(read_file(dir.path("same.bin")), read_file(merged));

    const auto grown = pattern(0x480, 77);
    ASSERT_TRUE(write_file(unpacked + "/" + c.changed_file, grown));
    const std::string grown_file = dir.file("grown.bin", grown);
    ASSERT_EQ(run_tool({merged, c.blockname, grown_file, dir.path("single.bin")}).status, 0);
    // The repack's rehearsal is each block's verdict, then the dry run of the same merge; it
    // writes nothing.
    const auto files = testing::files_in(dir.dir);
    const std::string rehearsal = run_tool({"--repack", merged, unpacked, "--dry-run"}).out;
    EXPECT_NE(rehearsal.find("(" + c.blockname + "): taken from the folder\n"), std::string::npos);
    EXPECT_TRUE(rehearsal.ends_with(run_tool({"--dry-run", merged, c.blockname, grown_file}).out));
    EXPECT_EQ(testing::files_in(dir.dir), files);
    const auto repack = run_tool({"--repack", merged, unpacked, dir.path("repacked.bin")});
    ASSERT_EQ(repack.status, 0) << repack.err;
    const std::string blocks = std::to_string(c.files.size() - 1);
    EXPECT_EQ(repack.out, "repacked " + blocks + " blocks into " + dir.path("repacked.bin") +
                              ": 1 from the folder, " + std::to_string(c.files.size() - 2) +
                              " unchanged\n");
    EXPECT_EQ(read_file(dir.path("repacked.bin")), read_file(dir.path("single.bin")));

    // The folder repacks the image it made, whose places and checksums have changed: every file
    // is that image's block. A file changed again since then changed on both sides of the
    // unpack: refused, with the three checksums, and nothing written.
    const std::string repacked = dir.path("repacked.bin");
    const auto again = run_tool({"--repack", repacked, unpacked, repacked});
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_TRUE(again.out.ends_with(": " + blocks + " unchanged\n")) << again.out;
    EXPECT_EQ(read_file(repacked), read_file(dir.path("single.bin")));
    ASSERT_TRUE(write_file(unpacked + "/" + c.changed_file, pattern(0x100, 78)));
    const auto conflict = run_tool({"--repack", repacked, unpacked, repacked});
    EXPECT_EQ(conflict.status, 1);
    EXPECT_NE(conflict.err.find(": a block changed both in its file and in FLASHFILE since the "
                                "unpack: block "),
              std::string::npos)
        << conflict.err;
    EXPECT_NE(conflict.err.find(" when unpacked; to repack onto "), std::string::npos);
    EXPECT_EQ(read_file(repacked), read_file(dir.path("single.bin")));
  }

  // Images whose tables list no block unpack to a manifest alone and repack to themselves: one
  // table, and as many as fit (a manifest of over 1 MiB).
  TempDir dir;
  std::vector<testing::TablePlan> tables;
  for (uint32_t pos = 0; pos + kHeaderSize <= kImageUnit; pos += kHeaderSize)
    tables.push_back({pos});
  for (const auto& image : {testing::build_image(kImageUnit, {{0x100, {}}}, 0x5A),
                            testing::build_image(kImageUnit, tables)}) {
    const std::string bare = dir.file("bare.bin", image);
    fs::remove_all(dir.path("bare"));
    ASSERT_EQ(run_tool({"--unpack", bare, dir.path("bare")}).status, 0);
    EXPECT_EQ(testing::files_in(dir.path("bare")), std::vector<std::string>{"manifest.json"});
    const auto repack = run_tool({"--repack", bare, dir.path("bare"), dir.path("out.bin")});
    ASSERT_EQ(repack.status, 0) << repack.err;
    EXPECT_EQ(read_file(dir.path("out.bin")), read_file(bare));
  }
}

// FLASHFILE's changes since the unpack stay; the folder's are taken; a block both changed is
// refused, its three checksums named.
TEST(RoundTrip, RepackIsAThreeWayMerge) {
  TempDir dir;
  const std::string flash = dir.file("flash.bin", two_table_image());
  const std::string parts = dir.path("parts"), merged = dir.path("merged.bin");
  ASSERT_EQ(run_tool({"--unpack", flash, parts}).status, 0);
  const std::string boot = dir.file("boot.bin", pattern(0x900, 40));
  ASSERT_EQ(run_tool({flash, "bootload", boot, merged}).status, 0);
  const std::string kernel = dir.file("kernel.bin", pattern(0x1000, 41));
  ASSERT_TRUE(write_file(parts + "/01-kernel.bin", read_file(kernel)));

  const auto rehearsal = run_tool({"--repack", merged, parts, "--dry-run"});
  EXPECT_EQ(rehearsal.status, 0) << rehearsal.err;
  EXPECT_TRUE(rehearsal.out.starts_with(
      "block 0 (bootload): kept from " + merged +
      "\nblock 1 (kernel): taken from the folder\n"
      "block 2 (empty): unchanged\nblock 3 (rootfs): unchanged\nwould repack 4 blocks: 1 from "
      "the folder, 1 kept from " +
      merged + ", 2 unchanged\n\n"))
      << rehearsal.out;
  const auto json =
      testing::parse_json(run_tool({"--repack", merged, parts, "--dry-run", "--json"}).out);
  ASSERT_TRUE(json.ok) << json.error;
  build_crc_table();
  for (const auto& [path, value] : std::vector<std::pair<std::string, std::string>>{
           {".repack.blocks.0.verdict", "s:kept"},
           {".repack.blocks.0.unpacked_checksum",
            "i:" + std::to_string(block_crc(pattern(0x800, 1)))},
           {".repack.blocks.0.flashfile_checksum",
            "i:" + std::to_string(block_crc(read_file(boot)))},
           {".repack.blocks.1.verdict", "s:from_folder"},
           {".repack.blocks.1.folder_checksum",
            "i:" + std::to_string(block_crc(read_file(kernel)))},
           {".repack.from_folder", "i:1"},
           {".repack.conflict", "i:0"},
       }) {
    EXPECT_EQ(json.values.at(path), value) << path;
  }
  const auto repack = run_tool({"--repack", merged, parts, dir.path("out.bin")});
  ASSERT_EQ(repack.status, 0) << repack.err;
  EXPECT_EQ(repack.out, "repacked 4 blocks into " + dir.path("out.bin") +
                            ": 1 from the folder, 1 kept from " + merged + ", 2 unchanged\n");
  ASSERT_EQ(run_tool({merged, "kernel", kernel, dir.path("want.bin")}).status, 0);
  EXPECT_EQ(read_file(dir.path("out.bin")), read_file(dir.path("want.bin")));

  ASSERT_TRUE(write_file(parts + "/00-bootload.bin", pattern(0x700, 42)));
  const auto both = run_tool({"--repack", merged, parts, dir.path("both.bin")});
  EXPECT_EQ(both.status, 1);
  char expected[200];
  std::snprintf(expected, sizeof expected,
                "block 0 (bootload) is 0x%08x in the folder, 0x%08x in %s, 0x%08x when unpacked; ",
                block_crc(pattern(0x700, 42)), block_crc(read_file(boot)), merged.c_str(),
                block_crc(pattern(0x800, 1)));
  EXPECT_NE(both.err.find(expected), std::string::npos) << both.err;
  EXPECT_TRUE(both.err.ends_with("(repack error -4)\n"));
  EXPECT_FALSE(fs::exists(dir.path("both.bin")));
  const auto refused = run_tool({"--repack", merged, parts, "--dry-run"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.out.find("block 0 (bootload): conflict: "), std::string::npos) << refused.out;

  // A recorded checksum wider than 32 bits is refused, not cut to one that may match.
  std::string manifest = testing::read_text(parts + "/manifest.json");
  const size_t value = manifest.find("\"file_checksum\": ") + 17;
  const size_t digits = manifest.find_first_not_of("0123456789", value) - value;
  manifest.replace(
      value, digits,
      std::to_string(std::stoull(manifest.substr(value, digits)) + (uint64_t{1} << 32)));
  ASSERT_TRUE(write_file(parts + "/manifest.json", {manifest.begin(), manifest.end()}));
  EXPECT_NE(run_tool({"--repack", merged, parts, "--dry-run"})
                .err.find("block 0's \"file_checksum\" is not a 32-bit checksum (repack error -3)"),
            std::string::npos);
}

// Inside its private folder an unpack writes plain files: one sync each, one for the folder,
// one for the folder it lands in, and a single rename.
TEST(RoundTrip, UnpackSyncsEachFileOnceAndRenamesOnce) {
  if (std::system("strace -V >/dev/null 2>&1") != 0) GTEST_SKIP() << "needs strace";
  TempDir dir;
  const std::string flash = dir.file("flash.bin", two_table_image());
  const std::string trace = dir.path("trace");
  // LeakSanitizer cannot run under a tracer; the leak checks are the other tests' business.
  const std::string command =
      "ASAN_OPTIONS=detect_leaks=0 strace -f -e trace=fsync,fdatasync,rename,renameat,renameat2 "
      "-o '" +
      trace + "' '" BLKSWAP_EXE "' --unpack '" + flash + "' '" + dir.path("parts") + "' >/dev/null";
  ASSERT_EQ(std::system(command.c_str()), 0);
  const std::string calls = read_text(trace);  // one system call a line
  auto count_in = [](const std::string& text, const std::string& name) {
    size_t n = 0;
    for (size_t at = 0; (at = text.find(name, at)) != std::string::npos; at += name.size()) ++n;
    return n;
  };
  auto count = [&](const std::string& name) { return count_in(calls, name); };
  const size_t syncs = count("sync("), renames = count("rename");
  const size_t files = testing::files_in(dir.path("parts")).size();  // the blocks and manifest
  EXPECT_EQ(syncs, files + 2);
  EXPECT_EQ(renames, 1u);
  // A merge syncs its temporary file before the rename, and the folder after it.
  const std::string merge = command.substr(0, command.find(" --unpack")) + " '" + flash +
                            "' rootfs '" + dir.file("rootfs.bin", pattern(0x1000, 4)) + "' '" +
                            dir.path("out.bin") + "' >/dev/null";
  ASSERT_EQ(std::system(merge.c_str()), 0);
  const std::string merged = read_text(trace);
  EXPECT_NE(merged.find("fsync("), std::string::npos);
  EXPECT_LT(merged.find("fsync("), merged.find("rename"));
  EXPECT_EQ(count_in(merged, "sync("), 2u);
}

TEST(RoundTrip, MergeOfSeveralPairs) {
  TempDir dir;
  const std::string flash = dir.file("flash.bin", single_table_image());
  const std::string one = dir.file("one.bin", pattern(0x500, 1));
  const std::string two = dir.file("two.bin", pattern(0x20, 2));

  // One pair: the four-argument merge, bytes and codes alike.
  for (const auto& pair : std::vector<std::vector<std::string>>{
           {"b1", one}, {"missing", one}, {"b1", dir.path("none.bin")}, {"b3", flash}}) {
    fs::remove(dir.path("option.bin"));
    const auto four = run_tool({flash, pair[0], pair[1], dir.path("four.bin")});
    const auto option = run_tool({"--merge", flash, pair[0], pair[1], dir.path("option.bin")});
    EXPECT_EQ(option.status, four.status) << pair[0];
    EXPECT_EQ(option.out, four.out) << pair[0];
    EXPECT_EQ(fs::exists(dir.path("option.bin")), four.status == 0);
    if (four.status == 0) {
      EXPECT_EQ(read_file(dir.path("option.bin")), read_file(dir.path("four.bin")));
    }
  }

  // Several pairs on one table: the merges one after another.
  ASSERT_EQ(run_tool({flash, "b1", one, dir.path("step.bin")}).status, 0);
  ASSERT_EQ(run_tool({dir.path("step.bin"), "0x21", two, dir.path("steps.bin")}).status, 0);
  const auto both = run_tool({"--merge", flash, "b1", one, "0x21", two, dir.path("both.bin")});
  ASSERT_EQ(both.status, 0) << both.err;
  EXPECT_EQ(read_file(dir.path("both.bin")), read_file(dir.path("steps.bin")));

  // With two tables they differ only in bytes outside every table and block, before the last
  // table: the intermediate image's bytes where a block used to be.
  const std::string tables = dir.file("tables.bin", two_table_image());
  const std::string small = dir.file("small.bin", pattern(0x100, 3));
  ASSERT_EQ(run_tool({tables, "bootload", small, dir.path("t1.bin")}).status, 0);
  ASSERT_EQ(run_tool({dir.path("t1.bin"), "kernel", small, dir.path("t2.bin")}).status, 0);
  ASSERT_EQ(
      run_tool({"--merge", tables, "bootload", small, "kernel", small, dir.path("t.bin")}).status,
      0);
  const auto diff = testing::parse_json(
      run_tool({"--diff", dir.path("t2.bin"), dir.path("t.bin"), "--json"}).out);
  ASSERT_TRUE(diff.ok) << diff.error;
  EXPECT_EQ(diff.values.at(".tables.#"), "i:0");
  EXPECT_EQ(diff.values.at(".blocks.#"), "i:0");
  EXPECT_NE(diff.values.at(".outside.bytes_differ"), "i:0");
  // The dry run rehearses them together.
  const auto rehearsal = run_tool({"--dry-run", tables, "bootload", small, "kernel", small});
  EXPECT_EQ(rehearsal.status, 0) << rehearsal.err;
  size_t replaced = 0;
  for (size_t at = 0; (at = rehearsal.out.find("(replaced)", at)) != std::string::npos; ++at) {
    ++replaced;
  }
  EXPECT_EQ(replaced, 2u) << rehearsal.out;

  // Each name chooses against the blocks as loaded; one block chosen twice is refused.
  const auto twice = run_tool({"--merge", flash, "b1", one, "1", two, dir.path("twice.bin")});
  EXPECT_EQ(twice.status, 1);
  EXPECT_EQ(twice.out, "Merge flash file error with -7\n");
  EXPECT_EQ(twice.err,
            "blkswap: 1: names a block another BLOCKNAME already chose: block 1 (b1) (merge "
            "error -7)\n");
  EXPECT_FALSE(fs::exists(dir.path("twice.bin")));
  EXPECT_TRUE(run_tool({"--dry-run", flash, "b1", one, "1", two})
                  .out.ends_with("Merge flash file error with -7\n"));
  EXPECT_EQ(run_tool({"--merge", flash, "b1", one, "b2", dir.path("odd.bin")}).status, 2);

  // "-" as WFILE is standard output, for --merge and --repack; never a terminal.
  EXPECT_EQ(testing::run_tool_process({"--merge", flash, "b1", one, "-"}).out,
            read_text(dir.path("step.bin")));
#ifndef _WIN32
  if (std::system("script --version >/dev/null 2>&1") == 0) {
    const std::string command = "script -qec \"'" BLKSWAP_EXE "' --merge '" + flash + "' b1 '" +
                                one + "' -\" /dev/null >/dev/null";
    const int status = std::system(command.c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << status;
  }
#endif
}

// Every refusal names what is wrong and leaves DIR, FLASHFILE and WFILE as they were.
TEST(RoundTrip, HostileFoldersAreRefusedWithNothingLost) {
  const std::vector<uint8_t> image = two_table_image();
  const struct {
    const char* what;
    std::string manifest;  // replaces manifest.json when not empty
    const char* extra;     // a file added to DIR
    const char* removed;   // a file removed from DIR
    std::string err;
    std::pair<std::string, std::string> edit = {};  // a text of manifest.json, and its edit
    const char* link = nullptr;  // a file made a symbolic link to one outside DIR
  } cases[] = {
      {"not JSON", "{\"schema\": 1,", nullptr, nullptr,
       "its manifest is not one blkswap can read: it is not JSON, or not one JSON document "
       "alone (repack error -3)"},
      {"deeply nested", std::string(100000, '[') + std::string(100000, ']'), nullptr, nullptr,
       "it is not a JSON object (repack error -3)"},
      {"deeply nested in an object",
       "{\"a\": " + std::string(100000, '[') + std::string(100000, ']') + ", \"b\": 0}", nullptr,
       nullptr, "it nests lists and objects deeper than a manifest does (repack error -3)"},
      {"another schema", "{\"schema\": 2}", nullptr, nullptr, "its \"schema\" is not 1"},
      {"another length", "{\"schema\": 1, \"length\": 1048576}", nullptr, nullptr,
       "its manifest describes another image: the manifest has length 1048576 (0x100000); "
       "FLASHFILE's is 524288 (0x80000) (repack error -4)"},
      {"missing file", "", nullptr, "01-kernel.bin",
       "01-kernel.bin: cannot be opened: No such file or directory (repack error -2)"},
      {"extra file", "", "01-kernel.bin~", nullptr,
       "holds a file its manifest does not name: 01-kernel.bin~ (repack error -5)"},
      // An edit a repack would not apply is named, never ignored.
      {"a name edited",
       "",
       nullptr,
       nullptr,
       "describes another image: block 1 has name \"kernal\"; FLASHFILE's is \"kernel\"",
       {"\"name\": \"kernel\"", "\"name\": \"kernal\""}},
      {"a key given twice, the second one right",
       "",
       nullptr,
       nullptr,
       "it has the key \"name\" twice in one object (repack error -3)",
       {"\"name\": \"kernel\"", "\"name\": \"kernal\", \"name\": \"kernel\""}},
      {"an id edited",
       "",
       nullptr,
       nullptr,
       "describes another image: block 1 has id 3 (0x3); FLASHFILE's is 2 (0x2)",
       {"\"id\": 2,", "\"id\": 3,"}},
      {"a key added",
       "",
       nullptr,
       nullptr,
       "block 0 has the key \"note\", which a repack does not read (repack error -3)",
       {"\"index\": 0,", "\"note\": \"x\", \"index\": 0,"}},
      {"a NUL and more after the document",
       "",
       nullptr,
       nullptr,
       "it holds a NUL byte at ",
       {"\n}\n", std::string("\n}\n\0{}", 6)}},
      {"a second document",
       "",
       nullptr,
       nullptr,
       "not one JSON document alone",
       {"\n}\n", "\n}\n{}"}},
      // A folder from someone else pulls in no file from outside it.
      {"a block file linked out",
       "",
       nullptr,
       nullptr,
       "01-kernel.bin: cannot be opened: it is a symbolic link, which is not followed out of a "
       "folder (repack error -2)",
       {},
       "01-kernel.bin"},
      {"the manifest linked out",
       "",
       nullptr,
       nullptr,
       "its manifest cannot be opened or read whole: it is a symbolic link",
       {},
       "manifest.json"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    const std::string flash = dir.file("flash.bin", image);
    const std::string unpacked = dir.path("unpacked");
    ASSERT_EQ(run_tool({"--unpack", flash, unpacked}).status, 0);
    if (!c.manifest.empty()) {
      ASSERT_TRUE(write_file(unpacked + "/manifest.json", {c.manifest.begin(), c.manifest.end()}));
    }
    if (c.extra != nullptr) {
      ASSERT_TRUE(write_file(unpacked + "/" + c.extra, {1}));
    }
    if (c.removed != nullptr) fs::remove(unpacked + "/" + c.removed);
    if (!c.edit.first.empty()) {
      std::string text = read_text(unpacked + "/manifest.json");
      const size_t at = text.find(c.edit.first);
      ASSERT_NE(at, std::string::npos);
      text.replace(at, c.edit.first.size(), c.edit.second);
      ASSERT_TRUE(write_file(unpacked + "/manifest.json", {text.begin(), text.end()}));
    }
    if (c.link != nullptr) {
#ifdef _WIN32
      continue;  // a symbolic link needs a privilege on Windows
#endif
      const std::string outside = dir.file("outside", {read_file(unpacked + "/" + c.link)});
      fs::remove(unpacked + "/" + c.link);
      fs::create_symlink(outside, unpacked + "/" + c.link);
    }
    const auto before = testing::files_in(unpacked);
    const std::string wfile = dir.file("out.bin", {7});
    const auto run = run_tool({"--repack", flash, unpacked, wfile});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find(c.err), std::string::npos) << run.err;
    EXPECT_EQ(read_file(wfile), std::vector<uint8_t>{7});
    EXPECT_EQ(read_file(flash), image);
    EXPECT_EQ(testing::files_in(unpacked), before);
  }

  // The manifest of another image: the first difference is named, tables before bytes.
  TempDir dir;
  const std::string flash = dir.file("flash.bin", image);
  const std::string other = dir.file("other.bin", single_table_image());
  std::vector<uint8_t> touched = image;
  touched[0x1000 + 28 + 48 + 20] ^= 1;  // a byte of the kernel's entry that blkswap never reads
  const std::string changed = dir.file("changed.bin", touched);
  for (const auto& [source, detail] : std::vector<std::pair<std::string, std::string>>{
           {other, "the manifest lists 1 table; FLASHFILE has 2"},
           {changed, "block 1 has entry_hex \"02"}}) {
    const std::string unpacked = dir.path("from-" + fs::path(source).stem().string());
    ASSERT_EQ(run_tool({"--unpack", source, unpacked}).status, 0);
    const auto run = run_tool({"--repack", flash, unpacked, dir.path("out.bin")});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("its manifest describes another image: " + detail), std::string::npos)
        << run.err;
    EXPECT_FALSE(fs::exists(dir.path("out.bin")));
  }

  // A manifest without the keys an earlier blkswap did not write still repacks its own image,
  // and only that one.
  const std::string old_style = dir.path("old-style");
  ASSERT_EQ(run_tool({"--unpack", flash, old_style}).status, 0);
  std::istringstream lines(read_text(old_style + "/manifest.json"));
  std::string kept;
  for (std::string line; std::getline(lines, line);) {
    if (line.find("\"entry_hex\"") == std::string::npos &&
        line.find("\"id_hex\"") == std::string::npos) {
      kept += line + "\n";
    }
  }
  ASSERT_TRUE(write_file(old_style + "/manifest.json", {kept.begin(), kept.end()}));
  EXPECT_NE(run_tool({"--repack", flash, old_style, dir.path("out.bin")}).out.find(": 4 unchanged"),
            std::string::npos);
  touched = image;
  touched[0x11000] ^= 1;  // a block's byte: the image's checksum changes
  EXPECT_NE(run_tool({"--repack", dir.file("touched.bin", touched), old_style, dir.path("o2.bin")})
                .err.find("without every block's \"entry_hex\" it describes only the image"),
            std::string::npos);
}

TEST(RoundTrip, UnpackRefusesOrFailsWithNothingLeftBehind) {
  TempDir dir;
  const std::string flash = dir.file("flash.bin", two_table_image());
  const std::string file = dir.file("file", {1});
  ASSERT_TRUE(fs::create_directory(dir.path("full")));
  write_file(dir.path("full/keep"), {2});
#ifndef _WIN32
  fs::create_directory_symlink("full", dir.path("link"));
#endif
  const struct {
    std::string target;
    std::string err;
  } cases[] = {
      {file, file + ": exists and is not an empty folder: it is not a folder (unpack error -2)\n"},
      {dir.path("full"), dir.path("full") +
                             ": exists and is not an empty folder: it is not empty (unpack "
                             "error -2)\n"},
#ifndef _WIN32
      {dir.path("link"), dir.path("link") +
                             ": exists and is not an empty folder: it is a symbolic link; name "
                             "the folder itself (unpack error -2)\n"},
#endif
      {"", "'': DIR is an empty argument (unpack error -1)\n"},
  };
  for (const auto& c : cases) {
    const auto before = testing::files_in(dir.dir);
    const auto run = run_tool({"--unpack", flash, c.target});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "blkswap: " + c.err);
    EXPECT_EQ(testing::files_in(dir.dir), before);
    EXPECT_EQ(testing::files_in(dir.path("full")), std::vector<std::string>{"keep"});
  }

  // An empty folder is filled; a write that fails half way (a file-size limit of 4 KiB: the
  // second block is larger) leaves neither the folder nor its hidden temporary.
  ASSERT_TRUE(fs::create_directory(dir.path("empty")));
  ASSERT_EQ(run_tool({"--unpack", flash, dir.path("empty")}).status, 0);
  EXPECT_EQ(testing::files_in(dir.path("empty")).size(), 5u);
#ifndef _WIN32  // a file-size limit is POSIX's
  const auto before = testing::files_in(dir.dir);
  const auto limited = run_tool({"--unpack", flash, dir.path("limited")}, "ulimit -f 4");
  EXPECT_EQ(limited.status, 1);
  EXPECT_EQ(limited.err, "blkswap: " + dir.path("limited") +
                             ": could not be written whole: 01-kernel.bin: the write failed: File "
                             "too large (unpack error -5)\n");
  EXPECT_EQ(testing::files_in(dir.dir), before);
#endif
}

TEST(RoundTrip, DiffNamesEveryDifference) {
  TempDir dir;
  const std::vector<uint8_t> image = two_table_image();
  const std::string a = dir.file("a.bin", image);
  std::vector<uint8_t> changed = testing::build_image(
      kImageUnit,
      {{0x1000,
        {{.id = 0xA4, .name = "bootload", .offset = 0x10000, .data = pattern(0x800, 1)},
         {.id = 0x02, .name = "kern", .offset = 0x10800, .data = pattern(0x1000, 9)}}},
       {0x50000, {{.id = 0x05, .name = "rootfs", .offset = 0x100, .data = pattern(0x1000, 3)}}}},
      0x5A);
  changed[0x30] = 0;
  changed[0x31] = 0;
  changed[0x50100 + 0x10] ^= 1;  // one byte of rootfs, in the table that moved
  const std::string b = dir.file("b.bin", changed);

  const auto same = run_tool({"--diff", a, a});
  EXPECT_EQ(same.status, 0);
  EXPECT_EQ(same.out, "");

  const auto text = run_tool({"--diff", a, b});
  EXPECT_EQ(text.status, 1);
  for (const char* line : {
           "table 0x00001000: 3 entries in A, 2 in B\n"
           "table 0x00040000 in A is at 0x00050000 in B, with 1 entry\n",
           "table 0x00001000 slot 1 (kernel): name kernel in A, kern in B; offset 0x00010900 in "
           "A, 0x00010800 in B; checksum 0x",
           " more ranges\ntable 0x00001000 slot 2 (empty): only in A\n"
           "table 0x00040000 slot 0 (rootfs), table 0x00050000 slot 0 in B: 1 byte differs: at "
           "+0x00000010 (1 byte)\n"
           "outside tables and blocks: 2 bytes differ: at 0x00000030 (2 bytes)\n",
       }) {
    EXPECT_NE(text.out.find(line), std::string::npos) << line << text.out;
  }

  const auto json = run_tool({"--diff", a, b, "--json"});
  EXPECT_EQ(json.status, 1);
  const auto doc = testing::parse_json(json.out);
  ASSERT_TRUE(doc.ok) << doc.error;
  const std::pair<const char*, const char*> fields[] = {
      {".schema", "i:1"},
      {".identical", "b:false"},
      {".length.a", "i:524288"},
      {".tables.#", "i:2"},
      {".tables.0.entries.a", "i:3"},
      {".tables.0.entries.b", "i:2"},
      {".tables.0.moved_to", "n:"},
      {".tables.1.position", "i:262144"},
      {".tables.1.moved_to", "i:327680"},
      {".tables.1.entries.b", "i:1"},
      {".blocks.#", "i:3"},
      {".blocks.0.slot", "i:1"},
      {".blocks.0.a.name", "s:kernel"},
      {".blocks.0.b.name_hex", "s:6b65726e"},
      {".blocks.0.b.offset", "i:67584"},
      {".blocks.0.differ.#", "i:3"},
      {".blocks.0.differ.1", "s:offset"},
      {".blocks.0.bytes_differ", "b:true"},
      {".blocks.1.b", "n:"},
      {".blocks.2.table_b", "i:327680"},
      {".blocks.2.differ.#", "i:0"},
      {".blocks.2.bytes.count", "i:1"},
      {".blocks.2.bytes.ranges.0.offset", "i:16"},
      {".outside.bytes_differ", "i:2"},
      {".outside.first", "i:48"},
  };
  for (const auto& [path, value] : fields) EXPECT_EQ(doc.values.at(path), value) << path;

  const auto missing = run_tool({"--diff", a, dir.path("none.bin")});
  EXPECT_EQ(missing.status, 1);  // a failure, as in every command
  EXPECT_EQ(missing.err, "blkswap: " + dir.path("none.bin") +
                             ": cannot be opened or read whole: No such file or directory (diff "
                             "error -2)\n");
}

TEST(RoundTrip, VerifyAndDryRunDocuments) {
  TempDir dir;
  std::vector<uint8_t> image = single_table_image();
  image[0x1200] ^= 1;  // block b0's first byte: its checksum is stale
  const std::string flash = dir.file("flash.bin", image);
  const auto verify = run_tool({"--verify", flash, "--json"});
  EXPECT_EQ(verify.status, 1);
  const auto v = testing::parse_json(verify.out);
  ASSERT_TRUE(v.ok) << v.error;
  for (const auto& [path, value] : std::vector<std::pair<std::string, std::string>>{
           {".blocks.#", "i:8"},
           {".blocks.0.state", "s:stale"},
           {".blocks.1.state", "s:none"},
           {".blocks.1.computed", "n:"},
           {".blocks.5.name", "s:.."},
           {".ok", "i:6"},
           {".stale", "i:1"},
           {".none", "i:1"},
       }) {
    EXPECT_EQ(v.values.at(path), value) << path;
  }
  EXPECT_NE(v.values.at(".blocks.0.computed"), v.values.at(".blocks.0.checksum"));

  const std::string grown = dir.file("grown.bin", pattern(0x400, 5));
  const auto succeeds = run_tool({"--dry-run", flash, "b0", grown, "--json"});
  EXPECT_EQ(succeeds.status, 0);
  const auto s = testing::parse_json(succeeds.out);
  ASSERT_TRUE(s.ok) << s.error;
  for (const auto& [path, value] : std::vector<std::pair<std::string, std::string>>{
           {".merge", "s:succeeds"},
           {".code", "i:0"},
           {".at_fault", "n:"},
           {".blocks.0.replaced", "b:true"},
           {".blocks.0.size", "i:768"},
           {".blocks.0.new_size", "i:1024"},
           {".blocks.1.new_offset", "i:1536"},
           {".blocks.1.new_checksum", "i:1129464654"},
       }) {
    EXPECT_EQ(s.values.at(path), value) << path;
  }

  const std::string huge = dir.file("huge.bin", pattern(kImageUnit, 6));
  const auto fails = run_tool({"--dry-run", flash, "b0", huge, "--json"});
  EXPECT_EQ(fails.status, 1);
  const auto f = testing::parse_json(fails.out);
  ASSERT_TRUE(f.ok) << f.error << fails.out;
  EXPECT_EQ(f.values.at(".merge"), "s:fails");
  EXPECT_EQ(f.values.at(".code"), "i:-2");
  EXPECT_EQ(f.values.at(".at_fault"), "i:0");
  EXPECT_EQ(f.values.at(".blocks.0.new_offset"), "n:");
  EXPECT_NE(fails.err.find("(merge error -2)"), std::string::npos);
  // The document carries the reason standard error gives, with its step.
  EXPECT_EQ(f.values.at(".error.step"), "s:write");  // a block file too long for any place
  EXPECT_EQ("blkswap: " + f.values.at(".error.message").substr(2) + "\n", fails.err);
  // So does a repack's rehearsal that cannot start.
  const auto no_folder = run_tool({"--repack", "--json", flash, dir.path("none"), "--dry-run"});
  EXPECT_EQ(no_folder.status, 1);
  const auto n = testing::parse_json(no_folder.out);
  ASSERT_TRUE(n.ok) << no_folder.out;
  EXPECT_EQ(n.values.at(".error.step"), "s:manifest");
  EXPECT_EQ(n.values.at(".error.code"), "i:-2");
  // Several images verified, and the commands that write: one document each, what was written
  // where (a merge's warnings with it).
  const std::string unpacked = dir.path("unpacked");
  const struct {
    std::vector<std::string> args;
    std::vector<std::pair<std::string, std::string>> fields;
  } documents[] = {
      {{"--verify", flash, dir.path("none.bin"), "--json"},
       {{".images.#", "i:2"}, {".images.0.stale", "i:1"}, {".images.1.error.code", "i:-2"}}},
      {{"--extract", flash, "b1", dir.path("b1.bin"), "--json"},
       {{".output", "s:" + dir.path("b1.bin")}, {".block.index", "i:1"}, {".block.size", "i:768"}}},
      {{"--merge", flash, "b1", grown, dir.path("merged.bin"), "--json"},
       {{".merge", "s:written"},
        {".blocks.1.new_size", "i:1024"},
        {".warnings.0.kind", "s:stale_checksums"}}},
      {{"--unpack", flash, unpacked, "--json"},
       {{".blocks.#", "i:8"}, {".blocks.3.file", "s:03-b3.bin"}, {".manifest", "s:manifest.json"}}},
      {{"--repack", flash, unpacked, dir.path("repacked.bin"), "--json"},
       {{".merge", "s:written"}, {".repack.unchanged", "i:8"}}},
  };
  for (const auto& d : documents) {
    const auto run = run_tool(d.args);
    const auto doc = testing::parse_json(run.out);
    ASSERT_TRUE(doc.ok) << d.args[0] << ": " << run.out << run.err;
    for (const auto& [path, value] : d.fields) {
      EXPECT_EQ(doc.values.count(path) ? doc.values.at(path) : "(none)", value) << path;
    }
  }
  // An argument that is not UTF-8 still gives a document, the byte escaped.
  const std::string odd = "\xff-missing.bin";
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"--info", odd, "--json"},
           {"--verify", odd, "--json"},
           {"--dry-run", odd, "b0", grown, "--json"},
           {"--repack", odd, dir.path("none"), "--dry-run", "--json"},
           {"--diff", odd, flash, "--json"}}) {
    const auto run = run_tool(args);
    const auto doc = testing::parse_json(run.out);
    ASSERT_TRUE(doc.ok) << args[0] << ": " << run.out << run.err;
    EXPECT_TRUE(doc.values.at(".error.message").starts_with("s:\\u{005c}xff-missing.bin: "))
        << args[0];
  }
}

// The pictures parse as XML, run nothing, reach for nothing outside themselves, and draw each
// block once with the attributes that name it; rsvg-convert (where there is one) renders them.
TEST(RoundTrip, PicturesDrawEveryBlockOnce) {
  TempDir dir;
  const std::string sample = fs::path(BLKSWAP_EXE).parent_path().string() + "/sample/";
  const size_t big = size_t{64} << 20;  // three tables: small and large blocks, a stale one
  const std::string wide = dir.file(
      "wide.bin",
      testing::build_image(
          big, {{0x1000,
                 {{.id = 0xA4, .name = "bootload", .offset = 0x10000, .data = pattern(0x10000, 1)},
                  {.id = 2, .name = "kernel", .offset = 0x20000, .data = pattern(8 << 20, 2)},
                  {.id = 3,
                   .name = "dtb",
                   .offset = 0x820000,
                   .data = pattern(0x4000, 3),
                   .checksum = testing::kNcrc}}},
                {0x1000000,
                 {{.id = 5,
                   .name = "rootfs",
                   .offset = 0x100,
                   .data = pattern(40 << 20, 5),
                   .checksum = 0x1234}}},
                {0x3C00000,
                 {{.id = 6, .name = "config", .offset = 0x100, .data = pattern(0x800, 6)},
                  {.id = 7, .name = "log", .offset = 0x1000, .data = pattern(1 << 20, 7)}}}}));
  const std::string too_big = dir.file("too_big.bin", pattern(0x50000, 8));
  const struct {
    std::vector<std::string> args;
    int status;
    size_t blocks;
  } cases[] = {
      {{"--info", sample + "flash.bin", "--svg"}, 0, 5},
      {{"--info", wide, "--svg"}, 0, 6},
      {{"--dry-run", sample + "flash.bin", "bootload", sample + "bootloader.bin", "--svg"}, 0, 5},
      {{"--dry-run", sample + "flash.bin", "kernel", too_big, "--svg"}, 1, 5},
      {{"--diff", sample + "flash.bin", wide, "--svg"}, 1, 5 + 6},
  };
  const bool can_render = std::system("command -v rsvg-convert >/dev/null 2>&1") == 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args[1]);
    const auto run = run_tool(c.args);
    EXPECT_EQ(run.status, c.status) << run.err;
#ifdef _WIN32
    // No XML parser stands beside the Windows build; the parity check holds its pictures to the
    // Linux build's, byte for byte.
    continue;
#endif
    const auto svg = testing::parse_json(run.out);
    ASSERT_TRUE(svg.ok) << svg.error;
    EXPECT_EQ(svg.values.at(".root"), "s:svg");
    EXPECT_EQ(svg.values.at(".role"), "s:img");
    EXPECT_GT(svg.values.at(".title").size(), 10u);
    EXPECT_GT(svg.values.at(".desc").size(), 10u);
    EXPECT_EQ(svg.values.at(".scripts"), "i:0");
    EXPECT_EQ(svg.values.at(".external"), "i:0");
    EXPECT_EQ(svg.values.at(".blocks.#"), "i:" + std::to_string(c.blocks));
    for (size_t i = 0; i < c.blocks; ++i) {
      for (const char* key : {"index", "name", "id", "offset", "size"}) {
        EXPECT_TRUE(svg.values.count(".blocks." + std::to_string(i) + ".data-" + key)) << key;
      }
    }
    if (can_render) {
      write_file(dir.path("map.svg"), std::vector<uint8_t>(run.out.begin(), run.out.end()));
      EXPECT_EQ(std::system(
                    ("rsvg-convert -o '" + dir.path("map.png") + "' '" + dir.path("map.svg") + "'")
                        .c_str()),
                0);
    }
  }
  // The refusal marks the block at fault; the rehearsal that moves blocks, what moved.
  EXPECT_NE(run_tool(cases[3].args).out.find("data-at-fault=\"true\""), std::string::npos);
  EXPECT_NE(run_tool(cases[2].args).out.find("data-new-offset=\"95232\""), std::string::npos);
  // An image that does not load has no picture: only the reason, on standard error.
  const auto unloaded = run_tool({"--info", too_big, "--svg"});
  EXPECT_EQ(unloaded.status, 1);
  EXPECT_EQ(unloaded.out, "");
  EXPECT_NE(unloaded.err.find("its length is not a multiple of 512 KiB"), std::string::npos);
}

// The map the README shows is the tool's own, for the sample as the build makes it.
TEST(RoundTrip, TheReadmeShowsTheSampleAsItIs) {
  const std::string sample = fs::path(BLKSWAP_EXE).parent_path().string() + "/sample";
  const auto run = run_tool({"--info", "flash.bin", "--svg"}, "cd '" + sample + "'");
  if (run.status == -1) GTEST_SKIP() << "the built program cannot run through a shell here";
  ASSERT_EQ(run.status, 0) << run.err;
  write_file(sample + "/map.svg", std::vector<uint8_t>(run.out.begin(), run.out.end()));
  EXPECT_EQ(read_text(std::string(BLKSWAP_SOURCE_DIR) + "/doc/sample-map.svg"), run.out)
      << "to show the map as it is: cp " << sample << "/map.svg doc/sample-map.svg";
}

}  // namespace
}  // namespace blkswap
