// The option commands through the real program: --help, --version, --info, --verify,
// --extract, --dry-run and "--", and that every other argument list is a list or a merge.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "image/crc.h"
#include "image/format.h"
#include "image/load.h"
#include "image_builder.h"
#include "json_flat.h"
#include "run_tool.h"
#include "temp_dir.h"

namespace blkswap {
namespace {

namespace fs = std::filesystem;
using testing::pattern;
using testing::read_file;
using testing::run_tool;
using testing::TempDir;
using testing::write_file;

const std::string kOddName = std::string("\x01q\"\\\x80\xff", 6);

// Three tables, one of them empty; blocks whose checksums are ok, stale and absent, a name of
// bytes that are not text, and an empty block.
std::vector<uint8_t> mixed_image() {
  return testing::build_image(
      kImageUnit,
      {{0x1000,
        {{.id = 0xA4, .name = "bootload", .offset = 0x10000, .data = pattern(0x800, 1)},
         {.id = 0x02,
          .name = "kernel",
          .offset = 0x10800,
          .data = pattern(0x1000, 2),
          .checksum = 0x12345678},
         {.id = 0x03,
          .name = "dtb",
          .offset = 0x11800,
          .data = pattern(0x100, 3),
          .checksum = testing::kNcrc},
         {.id = 0xFF, .name = kOddName, .offset = 0x11900, .data = pattern(0x40, 4)},
         {.id = 0x07, .name = "empty", .offset = 0x11940}}},
       {0x40000, {}},
       {0x60000, {{.id = 0x05, .name = "rootfs", .offset = 0x100, .data = pattern(0x1000, 5)}}}},
      0xFF);
}

testing::Workspace workspace() {
  return {mixed_image(), pattern(0x900, 9)};
}

// The words of each line, the human units beside a hex size ("0x00000800 (2 KiB)") left out.
std::vector<std::vector<std::string>> rows_of(const std::string& text) {
  static const std::regex human(R"( \(~?[0-9.]+ [KMG]?i?B\)|, ~?[0-9.]+ [KMG]?i?B(?=\)))");
  std::vector<std::vector<std::string>> rows;
  std::istringstream lines(std::regex_replace(text, human, ""));
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    rows.emplace_back();
    for (std::string w; words >> w;) rows.back().push_back(w);
  }
  return rows;
}

TEST(Options, HelpAndVersion) {
  const auto help = run_tool({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.err, "");
  EXPECT_EQ(help.out.rfind("Usage: blkswap [flashfile] [blockname] [blockfile] [wfile]\n"
                           "eg:blkswap flash.bin bootload bootloader.bin merge.bin\n",
                           0),
            0u);
  // One screen that names every command and flag; each command's help has its codes.
  for (const char* line : {
           "  blkswap FLASHFILE BLOCKNAME BLOCKFILE WFILE\n",
           "  blkswap --info FLASHFILE [--json|--svg] [--keep-offsets]\n",
           "  blkswap --repack FLASHFILE DIR WFILE|-|--dry-run [--json|--svg]\n",
           "  blkswap --help, -h [COMMAND]\n",
           "  --slot  ",
       }) {
    EXPECT_NE(help.out.find(line), std::string::npos) << line;
  }
  const auto merge = run_tool({"--help", "merge"});
  EXPECT_EQ(merge.status, 0);
  EXPECT_EQ(run_tool({"--merge", "--help"}).out, merge.out);
  EXPECT_EQ(run_tool({"--help", "--merge"}).out, merge.out);
  const auto list = run_tool({"--help", "list"});
  for (const auto& [text, line] : std::vector<std::pair<std::string, std::string>>{
           {help.out, "  1. loading FLASHFILE\n"},  // the codes are a command's
           {merge.out, "Usage:\n  blkswap FLASHFILE BLOCKNAME BLOCKFILE WFILE\n"},
           {merge.out,
            "  blkswap --merge FLASHFILE BLOCKNAME BLOCKFILE [BLOCKNAME BLOCKFILE ...]\n"},
           {merge.out, "    -7  names a block another BLOCKNAME already chose\n"},
           {merge.out, "  --keep-offsets  every block keeps"},
           {list.out, "    -3  no usable block table (-5 elsewhere)\n"},
       }) {
    EXPECT_EQ(text.find(line) != std::string::npos, text != help.out) << line;
  }
  EXPECT_LE(std::count(help.out.begin(), help.out.end(), '\n'), 45);
  for (const std::string* text : {&help.out, &merge.out, &list.out}) {
    std::istringstream lines(*text);
    for (std::string line; std::getline(lines, line);) EXPECT_LE(line.size(), 80u) << line;
  }
  EXPECT_EQ(run_tool({"--help", "nothing"}).status, 2);
  EXPECT_EQ(run_tool({"-h"}).out, help.out);

  const auto version = run_tool({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "blkswap " BLKSWAP_VERSION "\n");
}

TEST(Options, WrongArgumentsForAnOptionGoToStandardError) {
  const testing::Workspace ws = workspace();
  const std::string wrong = "blkswap: wrong arguments for ";
  const struct {
    std::vector<std::string> args;
    std::string first_line;  // "" for "wrong arguments for " and the option
  } cases[] = {
      {{"--info"}, ""},
      {{"--info", ws.flash(), "--xml"}, "blkswap: --info: unknown flag '--xml'"},
      {{"--info", "--jsn", ws.flash()},
       "blkswap: --info: unknown flag '--jsn'; did you mean --json?"},
      {{"--info", ws.flash(), "--json", "x"}, ""},
      {{"--verify"}, ""},
      {{"--verify", "-", ws.flash(), "-"},
       wrong + "--verify: standard input can be read only once"},
      {{"--extract", ws.flash(), "kernel"}, ""},
      {{"--extract", ws.flash(), "0", ws.out(), "--index", "--slot"},
       wrong + "--extract: --index and --slot exclude each other"},
      {{"--dry-run", ws.flash(), "kernel", ws.block(), ws.out()}, ""},
      {{"--dry-run", "-", "kernel", "-"},
       wrong + "--dry-run: standard input can be read only once"},
      {{"--repack", ws.flash(), ws.dir.dir, ws.out(), "--svg"},
       wrong + "--repack: --svg goes with --dry-run"},
      {{"--merge", ws.flash(), "kernel", ws.block(), "-", "--json"},
       wrong + "--merge: the document and WFILE - cannot both go to standard output"},
      {{"--version", "-q"}, "blkswap: --version: unknown flag '-q'; it takes no flags"},
      {{"--help", "x"}, wrong + "--help: no command is called 'x'"},
      {{"--help", "x\n"}, wrong + "--help: no command is called 'x\\x0a'"},
      {{"-h", "x", "y", "z"}, ""},  // four arguments, but the first is an option
      {{"--version", "x"}, ""},
  };
  for (const auto& c : cases) {
    const auto run = run_tool(c.args);
    const std::string line = c.first_line.empty() ? wrong + c.args[0] : c.first_line;
    EXPECT_EQ(run.status, 2) << c.args[0] << " " << c.args.size();
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err.rfind(line + "\n", 0), 0u) << run.err;
    std::string topic = c.args[0];
    while (topic.starts_with('-')) topic.erase(0, 1);
    EXPECT_TRUE(run.err.ends_with("Try 'blkswap --help" +
                                  (topic == "help" || topic == "h" ? "" : " " + topic) +
                                  "' for more.\n"))
        << run.err;
  }
  EXPECT_EQ(ws.files(), (std::vector<std::string>{"block.bin", "flash.bin"}));
}

TEST(Options, ArgumentListsWithoutAnOptionMeanWhatTheyDid) {
  const testing::Workspace ws = workspace();
  const std::string list_missing = "List flash block error with -2\n";
  const struct {
    std::vector<std::string> args;
    int status;
    std::string out;
  } cases[] = {
      {{"--foo"}, 1, list_missing},
      {{"--json"}, 2, ""},  // an option's name is never taken for a file, unless after "--"
      {{ws.flash(), "bootload", ws.block(), "--dry-run"}, 2, ""},
      {{ws.flash(), "--index", ws.block(), ws.out()}, 2, ""},
      {{"-x"}, 1, list_missing},
      {{"--"}, 2, std::string(kUsageText)},
      {{"--", "--info"}, 1, list_missing},
      {{"--", "a", "b"}, 2, std::string(kUsageText)},
      {{"--info", "b", "c", "d", "e"}, 2, ""},
      {{"--foo", "b", "c", "d"}, 1, "Merge flash file error with -2\n"},
  };
  for (const auto& c : cases) {
    const auto run = run_tool(c.args);
    EXPECT_EQ(run.status, c.status) << c.args[0] << " " << c.args.size();
    EXPECT_EQ(run.out, c.out) << c.args[0] << " " << c.args.size();
  }
  EXPECT_EQ(ws.files(), (std::vector<std::string>{"block.bin", "flash.bin"}));
  EXPECT_EQ(run_tool({ws.flash(), "bootload", ws.block(), "--dry-run"}).err,
            "blkswap: '--dry-run' is an option's name, not a file: options come first (see "
            "'blkswap --help'); for a file of that name: blkswap -- " +
                ws.flash() + " bootload " + ws.block() + " --dry-run\n");

  // "--" lets files named like the options be listed and merged, and ends an option's flags;
  // the four-argument merge takes "-" for a file.
  fs::copy_file(ws.flash(), ws.dir.path("--info"));
  fs::copy_file(ws.flash(), ws.dir.path("--json"));
  const fs::path started_in = fs::current_path();
  fs::current_path(ws.dir.dir);
  const auto list = run_tool({"--", "--info"});
  const auto merge = run_tool({"--", "--info", "kernel", "block.bin", "--verify"});
  const auto info = run_tool({"--info", "--", "--json"});
  const auto dash = run_tool({"--", "--info", "kernel", "block.bin", "-"});
  fs::current_path(started_in);
  EXPECT_TRUE(info.out.starts_with("image: 524288 bytes")) << info.out << info.err;
  EXPECT_EQ(dash.status, 0) << dash.err;
  EXPECT_EQ(read_file(ws.dir.path("-")).size(), kImageUnit);
  EXPECT_EQ(list.status, 0);
  EXPECT_EQ(list.out.rfind("id:0xa4 name:bootload\nid:0x2 name:kernel\n", 0), 0u) << list.out;
  EXPECT_EQ(merge.status, 0) << merge.out;
  EXPECT_EQ(merge.out, "");
  EXPECT_TRUE(fs::exists(ws.dir.path("--verify")));
}

TEST(Options, InfoShowsTablesAndBlocksAsLoaded) {
  const testing::Workspace ws = workspace();
  const auto run = run_tool({"--info", ws.flash()});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  const auto rows = rows_of(run.out);
  ASSERT_EQ(rows.size(), 1 + 1 + 4 + 1 + 7u) << run.out;
  EXPECT_EQ(rows[0], (std::vector<std::string>{"image:", "524288", "bytes", "(0x00080000),", "3",
                                               "tables,", "6", "blocks"}));
  EXPECT_NE(run.out.find(" 0x00000800 (2 KiB) "), std::string::npos);  // bootload's size
  EXPECT_EQ(rows[3], (std::vector<std::string>{"0x00001000", "5"}));
  EXPECT_EQ(rows[4], (std::vector<std::string>{"0x00040000", "0"}));
  EXPECT_EQ(rows[5], (std::vector<std::string>{"0x00060000", "1"}));
  EXPECT_EQ(rows[7],
            (std::vector<std::string>{"index", "table", "slot", "id", "name", "offset", "size",
                                      "start", "end", "checksum", "state", "room"}));
  const std::vector<std::vector<std::string>> blocks = {
      {"0", "0x00001000", "0", "0xa4", "bootload", "0x00010000", "0x00000800", "0x00011000",
       "0x00011800"},
      {"1", "0x00001000", "1", "0x02", "kernel", "0x00010800", "0x00001000", "0x00011800",
       "0x00012800", "0x12345678", "stale"},
      {"2", "0x00001000", "2", "0x03", "dtb", "0x00011800", "0x00000100", "0x00012800",
       "0x00012900", "0x4352434e", "none"},
      {"3", "0x00001000", "3", "0xff", "\\x01q\"\\\\\\x80\\xff", "0x00011900", "0x00000040"},
      {"4", "0x00001000", "4", "0x07", "empty", "0x00011940", "0x00000000", "0x00012940",
       "0x00012940", "0xffffffff", "ok"},
      {"5", "0x00060000", "0", "0x05", "rootfs", "0x00000100", "0x00001000", "0x00060100",
       "0x00061100"},
  };
  for (size_t i = 0; i < blocks.size(); ++i) {
    const auto& row = rows[8 + i];
    ASSERT_EQ(row.size(), 12u) << i;
    EXPECT_EQ(std::vector<std::string>(row.begin(), row.begin() + blocks[i].size()), blocks[i]);
  }
  EXPECT_EQ(rows[8][10], "ok");
  EXPECT_EQ(rows[11][10], "ok");
  EXPECT_EQ(rows[13][10], "ok");
}

TEST(Options, InfoJsonIsOneDocumentThatAnyParserReads) {
  const testing::Workspace ws = workspace();
  const auto run = run_tool({"--info", ws.flash(), "--json"});
  ASSERT_EQ(run.status, 0) << run.err;
  const auto json = testing::parse_json(run.out);
  ASSERT_TRUE(json.ok) << json.error << run.out;
  const auto& v = json.values;
  EXPECT_EQ(v.at(".schema"), "i:1");
  EXPECT_EQ(v.at(".length"), "i:524288");
  EXPECT_EQ(v.at(".tables.#"), "i:3");
  EXPECT_EQ(v.at(".tables.1.position"), "i:262144");
  EXPECT_EQ(v.at(".tables.1.entries"), "i:0");
  EXPECT_EQ(v.at(".blocks.#"), "i:6");

  // The blocks as mixed_image() lays them out.
  build_crc_table();
  const struct {
    uint64_t table, slot, id, offset, size, checksum;
    const char* state;
  } blocks[] = {
      {0x1000, 0, 0xA4, 0x10000, 0x800, block_crc(pattern(0x800, 1)), "ok"},
      {0x1000, 1, 0x02, 0x10800, 0x1000, 0x12345678, "stale"},
      {0x1000, 2, 0x03, 0x11800, 0x100, testing::kNcrc, "none"},
      {0x1000, 3, 0xFF, 0x11900, 0x40, block_crc(pattern(0x40, 4)), "ok"},
      {0x1000, 4, 0x07, 0x11940, 0, 0xFFFFFFFF, "ok"},
      {0x60000, 0, 0x05, 0x100, 0x1000, block_crc(pattern(0x1000, 5)), "ok"},
  };
  for (size_t i = 0; i < std::size(blocks); ++i) {
    const std::string at = ".blocks." + std::to_string(i) + ".";
    const auto& b = blocks[i];
    auto number = [](uint64_t value) { return "i:" + std::to_string(value); };
    EXPECT_EQ(v.at(at + "#"), "i:14");
    EXPECT_EQ(v.at(at + "index"), number(i));
    EXPECT_EQ(v.at(at + "table"), number(b.table));
    EXPECT_EQ(v.at(at + "slot"), number(b.slot));
    EXPECT_EQ(v.at(at + "id"), number(b.id));
    char id_hex[8];
    std::snprintf(id_hex, sizeof id_hex, "s:0x%02x", static_cast<unsigned>(b.id));
    EXPECT_EQ(v.at(at + "id_hex"), id_hex);
    EXPECT_EQ(v.at(at + "offset"), number(b.offset));
    EXPECT_EQ(v.at(at + "size"), number(b.size));
    EXPECT_EQ(v.at(at + "start"), number(b.table + b.offset));
    EXPECT_EQ(v.at(at + "end"), number(b.table + b.offset + b.size));
    EXPECT_EQ(v.at(at + "checksum"), number(b.checksum));
    EXPECT_EQ(v.at(at + "state"), std::string("s:") + b.state);
  }
  // The room is the merge's own figure: a kernel of that size merges, one byte more is refused,
  // and the refusal names the kernel and its room.
  const uint64_t room = std::stoull(v.at(".blocks.1.room").substr(2));
  EXPECT_EQ(
      run_tool({ws.flash(), "kernel", ws.dir.file("fits.bin", pattern(room, 6)), ws.out()}).status,
      0);
  const auto over = run_tool(
      {"--merge", ws.flash(), "kernel", ws.dir.file("over.bin", pattern(room + 1, 6)), ws.out()});
  EXPECT_NE(over.err.find("block 1 (kernel) is given " + std::to_string(room + 1) +
                          " bytes but can hold at most " + std::to_string(room) + " ("),
            std::string::npos)
      << over.err;
  EXPECT_EQ(v.at(".blocks.0.name"), "s:bootload");
  EXPECT_EQ(v.at(".blocks.0.name_hex"), "s:626f6f746c6f6164");
  // Every byte of a name that is not text comes back as the character of the same code.
  EXPECT_EQ(v.at(".blocks.3.name"), "s:\\u{0001}q\"\\u{005c}\\u{0080}\\u{00ff}");
  EXPECT_EQ(v.at(".blocks.3.name_hex"), "s:0171225c80ff");
}

TEST(Options, InfoJsonOfAnImageWithoutBlocks) {
  TempDir dir;
  ASSERT_TRUE(write_file(dir.path("f.bin"), testing::build_image(kImageUnit, {{0x10, {}}})));
  const auto run = run_tool({"--info", dir.path("f.bin"), "--json"});
  ASSERT_EQ(run.status, 0);
  const auto json = testing::parse_json(run.out);
  ASSERT_TRUE(json.ok) << json.error << run.out;
  EXPECT_EQ(json.values.at(".tables.#"), "i:1");
  EXPECT_EQ(json.values.at(".blocks.#"), "i:0");
}

TEST(Options, VerifyNamesStaleBlocks) {
  const testing::Workspace ws = workspace();
  const auto stale = run_tool({"--verify", ws.flash()});
  EXPECT_EQ(stale.status, 1);
  EXPECT_EQ(
      stale.out,
      "stale: block 1 (id 0x02, name kernel) at 0x00011800: stored 0x12345678, computed 0x" +
          [] {
            char hex[9];
            build_crc_table();
            std::snprintf(hex, sizeof hex, "%08x", block_crc(pattern(0x1000, 2)));
            return std::string(hex);
          }() +
          "\n6 blocks: 4 ok, 1 stale, 1 none\n");
  EXPECT_EQ(stale.err, "");

  // A merge recomputes every checksum, so its output verifies.
  ASSERT_EQ(run_tool({ws.flash(), "kernel", ws.block(), ws.out()}).status, 0);
  const auto fresh = run_tool({"--verify", ws.out()});
  EXPECT_EQ(fresh.status, 0);
  EXPECT_EQ(fresh.out, "6 blocks: 5 ok, 0 stale, 1 none\n");

  // Several images: one summary each, named, and the worst status.
  const auto several = run_tool({"--verify", ws.out(), ws.out(), ws.path("none.bin")});
  EXPECT_EQ(several.status, 1);
  EXPECT_EQ(several.out, ws.out() + ": 6 blocks: 5 ok, 0 stale, 1 none\n" + ws.out() +
                             ": 6 blocks: 5 ok, 0 stale, 1 none\n");
  EXPECT_NE(several.err.find(ws.path("none.bin") + ": cannot be opened"), std::string::npos);
  EXPECT_EQ(run_tool({"--verify", ws.out(), ws.out()}).status, 0);
}

TEST(Options, InfoAndVerifyReportLoadFailuresWithTheListCode) {
  TempDir dir;
  ASSERT_TRUE(write_file(dir.path("odd.bin"), std::vector<uint8_t>(kImageUnit + 1, 0)));
  ASSERT_TRUE(write_file(dir.path("blank.bin"), std::vector<uint8_t>(kImageUnit, 0)));
  const struct {
    std::string file;
    std::string message;
  } cases[] = {
      {"", "blkswap: '': FLASHFILE is an empty argument (list error -1)\n"},
      {dir.path("missing.bin"), "blkswap: " + dir.path("missing.bin") +
                                    ": cannot be opened or read whole: No such file or "
                                    "directory (list error -2)\n"},
      {dir.path("blank.bin"), "blkswap: " + dir.path("blank.bin") +
                                  ": no usable block table: no table header found (list error "
                                  "-3)\n"},
      {dir.path("odd.bin"), "blkswap: " + dir.path("odd.bin") +
                                ": its length is not a multiple of 512 KiB, or is 4 GiB or "
                                "more: it is 524289 bytes (list error -4)\n"},
  };
  for (const auto& c : cases) {
    for (const char* command : {"--info", "--verify"}) {
      const auto run = run_tool({command, c.file});
      EXPECT_EQ(run.status, 1) << command << c.file;
      EXPECT_EQ(run.out, "");
      EXPECT_EQ(run.err, c.message);
      // With --json, a document says the same.
      const auto json = run_tool({command, "--json", c.file});
      EXPECT_EQ(json.status, 1);
      EXPECT_EQ(json.err, c.message);
      const auto doc = testing::parse_json(json.out);
      ASSERT_TRUE(doc.ok) << json.out;
      EXPECT_EQ(doc.values.at(".error.step"), "s:load");
      EXPECT_EQ(doc.values.at(".error.code"), "i:" + c.message.substr(c.message.size() - 4, 2));
      EXPECT_EQ("blkswap: " + doc.values.at(".error.message").substr(2) + "\n", c.message);
    }
  }
}

TEST(Options, ExtractWritesTheBlockAsTheMergeChoosesIt) {
  const testing::Workspace ws = workspace();
  const auto image = mixed_image();
  const struct {
    std::string blockname;
    uint32_t start;
    uint32_t size;
    std::string flag = "--";
  } cases[] = {
      {"kernel", 0x11800, 0x1000},
      {"0x2", 0x11800, 0x1000},
      {"A4", 0x11000, 0x800},
      {"bootloader", 0x11000, 0x800},
      {"rootfs", 0x60100, 0x1000},
      {kOddName, 0x12900, 0x40},
      {"empty", 0x12940, 0},
      {"3", 0x12900, 0x40, "--index"},
      {"0x60000:0", 0x60100, 0x1000, "--slot"},
      {"4096:1", 0x11800, 0x1000, "--slot"},
  };
  for (const auto& c : cases) {
    const auto run = run_tool({"--extract", c.flag, ws.flash(), c.blockname, ws.out()});
    EXPECT_EQ(run.status, 0) << c.blockname << run.err;
    EXPECT_EQ(run.out + run.err, "");
    EXPECT_EQ(read_file(ws.out()),
              std::vector<uint8_t>(image.begin() + c.start, image.begin() + c.start + c.size))
        << c.blockname;
  }
  EXPECT_EQ(read_file(ws.flash()), image);

  // Two blocks of one name in two tables: the second is reached by its place, for a merge too.
  TempDir dir;
  const std::string twins = dir.file(
      "twins.bin",
      testing::build_image(
          kImageUnit, {{0x1000, {{.name = "dup", .offset = 0x100, .data = pattern(0x10, 1)}}},
                       {0x40000, {{.name = "dup", .offset = 0x100, .data = pattern(0x20, 2)}}}}));
  const std::string a = dir.file("a.bin", pattern(0x30, 3)), b = dir.file("b.bin", pattern(8, 4));
  ASSERT_EQ(run_tool({"--merge", twins, "0x1000:0", a, "262144:0", b, dir.path("m.bin"), "--slot"})
                .status,
            0);
  for (const auto& [index, bytes] : {std::pair{"0", pattern(0x30, 3)}, {"1", pattern(8, 4)}}) {
    ASSERT_EQ(
        run_tool({"--extract", "--index", dir.path("m.bin"), index, dir.path("x.bin")}).status, 0);
    EXPECT_EQ(read_file(dir.path("x.bin")), bytes) << index;
  }
}

TEST(Options, ExtractFailuresLeaveTheOutputAlone) {
  const testing::Workspace ws = workspace();
  ASSERT_TRUE(write_file(ws.dir.path("blank.bin"), std::vector<uint8_t>(kImageUnit, 0)));
#ifndef _WIN32
  fs::create_symlink("flash.bin", ws.dir.path("link.bin"));
#endif
  const std::vector<uint8_t> old_output = {'o', 'l', 'd'};
  const struct {
    std::string flash, blockname, outfile, message, prefix;
  } cases[] = {
      {ws.dir.path("missing.bin"), "kernel", ws.out(), "(extract error -2)", ""},
      {ws.dir.path("blank.bin"), "kernel", ws.out(), "(extract error -5)", ""},
      {ws.flash(), "kernal", ws.out(),
       "kernal: no block has this name or id; did you mean kernel? ('blkswap FLASHFILE' lists "
       "them) (extract error -6)",
       ""},
      {ws.flash(), "", ws.out(), "(extract error -1)", ""},
      {ws.flash(), "kernel", "", "(extract error -1)", ""},
      {ws.flash(), "kernel", ws.dir.path("no/such/dir"),
       "cannot be created or replaced whole: its folder does not exist (extract error -4)", ""},
      {ws.flash(), "kernel", ws.flash(),
       "is the flash file itself; refusing to write one block over it (extract error -4)", ""},
#ifndef _WIN32  // a full device, a file-size limit and a symbolic link are POSIX's
      {ws.flash(), "kernel", "/dev/full",
       "/dev/full: could not be written whole: the write failed: No space left on device "
       "(extract error -5)",
       ""},
      {ws.flash(), "kernel", ws.out(),
       "could not be written whole: the write failed: File too large (extract error -5)",
       "ulimit -f 2"},
      {ws.flash(), "kernel", ws.dir.path("link.bin"),
       "is the flash file itself; refusing to write one block over it (extract error -4)", ""},
#endif
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(write_file(ws.out(), old_output));
    ASSERT_EQ(read_file(ws.flash()), mixed_image());
    const auto run = run_tool({"--extract", c.flash, c.blockname, c.outfile}, c.prefix);
    EXPECT_EQ(run.status, 1) << c.message;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err.rfind("blkswap: ", 0), 0u) << run.err;
    EXPECT_NE(run.err.find(c.message + "\n"), std::string::npos) << run.err;
    EXPECT_EQ(read_file(ws.out()), old_output) << c.message;
  }
  std::vector<std::string> files = {"blank.bin", "block.bin", "flash.bin", "out.bin"};
#ifndef _WIN32
  files.insert(files.begin() + 3, "link.bin");
#endif
  EXPECT_EQ(ws.files(), files);
  EXPECT_EQ(read_file(ws.flash()), mixed_image());
}

// The dry run's new places are the real merge's, and it writes nothing.
TEST(Options, DryRunForetellsTheMerge) {
  const testing::Workspace ws = workspace();
  const auto files = ws.files();
  const auto run = run_tool({"--dry-run", ws.flash(), "kernel", ws.block()});
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(ws.files(), files);
  EXPECT_EQ(read_file(ws.flash()), mixed_image());

  ASSERT_EQ(run_tool({ws.flash(), "kernel", ws.block(), ws.out()}).status, 0);
  FlashImage before, after;
  ASSERT_EQ(load_image_bytes(before, testing::to_bytes(mixed_image())).code, Code::ok);
  ASSERT_EQ(load_image_bytes(after, testing::to_bytes(read_file(ws.out()))).code, Code::ok);
  const auto rows = rows_of(run.out);
  ASSERT_EQ(rows.size(), 1 + 6 + 3 + 1u) << run.out;
  EXPECT_NE(run.out.find("\nmoved: 3 blocks, the first block 2 (dtb)\n"), std::string::npos);
  // With the offsets kept nothing moves, and the kernel's room is what it has in place.
  EXPECT_NE(run_tool({"--dry-run", ws.flash(), "kernel", ws.block(), "--keep-offsets"})
                .out.find("\nmoved: no block\n"),
            std::string::npos);
  const auto in_place = rows_of(run_tool({"--info", "--keep-offsets", ws.flash()}).out);
  ASSERT_GE(in_place.size(), 10u);
  EXPECT_EQ(in_place[9].back(), "0x00001000");  // the kernel, up to the dtb
  // The kernel shrinks by 0x700 bytes and the blocks after it move up: the 0x700 bytes from the
  // new end of the last one keep their old contents.
  EXPECT_NE(run.out.find("\nerased: 0 bytes outside every block, from the table at 0x00060000 on, "
                         "become 0xFF\nstale: 1792 bytes where blocks shrank or moved keep their "
                         "old contents before that table (the first at 0x00012240)\nThe merge "
                         "would succeed. Nothing was written.\n"),
            std::string::npos)
      << run.out;
  // Data after the last table is erased, and the rehearsal says so, in text and JSON.
  auto with_tail = mixed_image();
  std::fill_n(with_tail.begin() + 0x7f000, 16, 0x42);
  const std::string tail = ws.dir.file("tail.bin", with_tail);
  EXPECT_NE(run_tool({"--dry-run", tail, "kernel", ws.block()})
                .out.find("erased: 16 bytes outside every block, from the table at 0x00060000 on, "
                          "become 0xFF (the first at 0x0007f000)\n"),
            std::string::npos);
  const auto erased =
      testing::parse_json(run_tool({"--dry-run", tail, "kernel", ws.block(), "--json"}).out);
  ASSERT_TRUE(erased.ok) << erased.error;
  EXPECT_EQ(erased.values.at(".erased.count"), "i:16");
  EXPECT_EQ(erased.values.at(".erased.first"), "i:" + std::to_string(0x7f000));
  const char* states[] = {"ok", "stale", "none", "ok", "ok", "ok"};
  auto hex = [](uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", value);
    return std::string(text);
  };
  for (size_t i = 0; i < 6; ++i) {
    const auto& row = rows[1 + i];
    ASSERT_GE(row.size(), 11u) << i;
    EXPECT_EQ(row[0], std::to_string(i));
    EXPECT_EQ(row[5], hex(entry_offset(before.records[i].entry)));
    EXPECT_EQ(row[6], hex(entry_size(before.records[i].entry)));
    EXPECT_EQ(row[7], hex(entry_offset(after.records[i].entry)));
    EXPECT_EQ(row[8], hex(entry_size(after.records[i].entry)));
    const uint32_t old_sum = entry_checksum(before.records[i].entry);
    const uint32_t new_sum = entry_checksum(after.records[i].entry);
    EXPECT_EQ(row[9], states[i]);
    EXPECT_EQ(row[10], old_sum == new_sum ? "same" : "changes");
    EXPECT_EQ(row.size() == 12 && row[11] == "(replaced)", i == 1) << i;
  }
}

// Whatever the merge would print and exit with, the dry run prints and exits with too.
TEST(Options, DryRunFailsWithTheMergesCode) {
  const testing::Workspace ws = workspace();
  ASSERT_TRUE(write_file(ws.dir.path("blank.bin"), std::vector<uint8_t>(kImageUnit, 0)));
  ASSERT_TRUE(write_file(ws.dir.path("odd.bin"), std::vector<uint8_t>(kImageUnit + 1, 0)));
  ASSERT_TRUE(write_file(ws.dir.path("none.bin"), {}));
  ASSERT_TRUE(write_file(ws.dir.path("huge.bin"), pattern(0x70000, 7)));
  const std::vector<std::vector<std::string>> cases = {
      {ws.dir.path("missing.bin"), "kernel", ws.block()},
      {ws.dir.path("odd.bin"), "kernel", ws.block()},
      {ws.dir.path("blank.bin"), "kernel", ws.block()},
      {ws.flash(), "kernal", ws.block()},
      {ws.flash(), "", ws.block()},
      {ws.flash(), "kernel", ws.dir.path("missing.bin")},
      {ws.flash(), "kernel", ws.dir.path("none.bin")},
      {ws.flash(), "kernel", ws.dir.path("huge.bin")},
  };
  const auto files = ws.files();
  for (const auto& args : cases) {
    const auto merge = run_tool({args[0], args[1], args[2], ws.out()});
    ASSERT_EQ(merge.status, 1) << args[1] << " " << args[2];
    const auto dry_run = run_tool({"--dry-run", args[0], args[1], args[2]});
    EXPECT_EQ(dry_run.status, 1);
    // The table as far as it got, the reason under it, and the merge's own line.
    EXPECT_EQ(
        dry_run.out.substr(dry_run.out.size() - std::min(dry_run.out.size(), merge.out.size())),
        merge.out);
    EXPECT_NE(dry_run.out.find("The merge would fail: "), std::string::npos);
    const std::string code = merge.out.substr(merge.out.rfind(' ') + 1, 2);
    EXPECT_EQ(dry_run.err.rfind("blkswap: ", 0), 0u) << dry_run.err;
    EXPECT_NE(dry_run.err.find("(merge error " + code + ")\n"), std::string::npos) << dry_run.err;
  }
  EXPECT_EQ(ws.files(), files);
}

}  // namespace
}  // namespace blkswap
