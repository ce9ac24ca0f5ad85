// The one table of codes against what README and man page say of each code, and the messages
// the option commands give for the mistakes people make.
#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "image/failure.h"
#include "image/format.h"
#include "image_builder.h"
#include "run_tool.h"
#include "temp_dir.h"

namespace blkswap {
namespace {

using testing::numbered_blocks;
using testing::pattern;
using Row = std::tuple<std::string, int, std::string>;  // step title, number, meaning

std::set<Row> rows_of_table() {
  std::set<Row> rows;
  for (const CodeRow& row : code_table()) {
    rows.insert({std::string(step_title(row.step)), row.number, std::string(row.meaning)});
  }
  return rows;
}

std::vector<std::string> lines_of(const std::string& file) {
  std::istringstream in(testing::read_text(std::string(BLKSWAP_SOURCE_DIR) + "/" + file));
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// README: the rows "| loading FLASHFILE | -2 | cannot be opened or read whole |".
std::set<Row> rows_of_readme() {
  std::set<Row> rows;
  for (const std::string& line : lines_of("README.md")) {
    std::vector<std::string> cells;
    std::istringstream in(line);
    for (std::string cell; std::getline(in, cell, '|');) {
      const size_t first = cell.find_first_not_of(' '), last = cell.find_last_not_of(' ');
      cells.push_back(first == std::string::npos ? "" : cell.substr(first, last - first + 1));
    }
    if (cells.size() != 4 || cells[2].size() < 2 || cells[2][0] != '-' || !isdigit(cells[2][1])) {
      continue;
    }
    rows.insert({cells[1], std::stoi(cells[2]), cells[3]});
  }
  return rows;
}

// The man page: `.SS "Step N: loading FLASHFILE"`, then `.TP`, `.B \-2` and the meaning.
std::set<Row> rows_of_man_page() {
  std::set<Row> rows;
  const auto lines = lines_of("doc/blkswap.1");
  std::string step;
  for (size_t i = 0; i + 1 < lines.size(); ++i) {
    const std::string& line = lines[i];
    if (line.rfind(".SS \"Step ", 0) == 0) step = line.substr(line.find(": ") + 2);
    if (line.rfind(".SH", 0) == 0) step.clear();
    if (!step.empty() && line.rfind(".B \\-", 0) == 0 && line.size() > 5 && isdigit(line[5])) {
      if (step.back() == '"') step.pop_back();
      rows.insert({step, -std::stoi(line.substr(5)), lines[i + 1]});
    }
  }
  return rows;
}

TEST(CodeTable, ReadmeAndManPageSayWhatTheTableSays) {
  EXPECT_EQ(rows_of_table().size(), 35u);
  EXPECT_EQ(rows_of_readme(), rows_of_table());
  EXPECT_EQ(rows_of_man_page(), rows_of_table());
}

// The synopses the help gives from the command table, one line each however it wraps them, are
// the README's and the man page's.
TEST(CodeTable, ReadmeAndManPageShowEverySynopsisAsTheHelpDoes) {
  std::vector<std::string> help;
  std::istringstream lines(testing::run_tool({"--help"}).out);
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with("  blkswap")) help.push_back(line.substr(2));
    if (line.starts_with("        ") && !help.empty()) help.back() += line.substr(7);
  }
  ASSERT_EQ(help.size(), 13u);
  std::vector<std::string> readme, man_page;
  bool in_block = false;
  for (const std::string& line : lines_of("README.md")) {
    if (line == "## Command line") in_block = true;
    if (in_block && line.starts_with("blkswap")) readme.push_back(line);
    if (in_block && line == "```" && !readme.empty()) in_block = false;
  }
  in_block = false;
  for (std::string line : lines_of("doc/blkswap.1")) {
    if (line == ".SH SYNOPSIS") in_block = true;
    if (line.starts_with(".SH DESCRIPTION")) in_block = false;
    if (!in_block || line.starts_with(".")) continue;
    for (const char* font : {"\\fB", "\\fI", "\\fP"}) {
      for (size_t at; (at = line.find(font)) != std::string::npos;) line.erase(at, 3);
    }
    for (size_t at; (at = line.find("\\-")) != std::string::npos;) line.erase(at, 1);
    man_page.push_back(line);
  }
  EXPECT_EQ(readme, help);
  EXPECT_EQ(man_page, help);
}

// What a person sees for the mistakes people make, word for word.
TEST(Messages, SayWhatWentWrongAndWhere) {
  testing::TempDir dir;
  const std::string two =
      dir.file("two.bin", testing::build_image(kImageUnit, {{0x100, numbered_blocks(2, 0x100)}}));
  const std::string tables = dir.file(
      "tables.bin", testing::build_image(kImageUnit, {{0x100, numbered_blocks(1, 0x100)},
                                                      {0x1000, numbered_blocks(1, 0x100)}}));
  auto past_end = testing::build_image(kImageUnit, {});
  testing::put_table(past_end, {kImageUnit - 40, {}, 1});
  const std::string entries = dir.file("entries.bin", past_end);
  const std::string outside = dir.file(
      "outside.bin",
      testing::build_image(kImageUnit, {{0x100, {{.offset = kImageUnit, .data = {}, .size = 1}}}}));
  const std::string many = dir.file(
      "many.bin", testing::build_image(kImageUnit, {{0x100, numbered_blocks(65, 0x1000)}}));
  const std::string last = dir.file("last.bin", pattern(kImageUnit - 0x210, 1));
  const std::string grown = dir.file("grown.bin", pattern(kImageUnit - 0x200, 2));
  const std::string wide = dir.file("wide.bin", pattern(0x1000, 3));
  const std::string big = dir.file("big.bin", pattern(kImageUnit - 0xFF, 4));
  const std::string huge = dir.file("huge.bin", pattern(kImageUnit - 0x1100, 5));
  const std::string small = dir.file("small.bin", pattern(0x10, 6));
  const std::string missing = dir.path("missing.bin");
  const std::string no_file = "cannot be opened or read whole: No such file or directory";
  const std::string layout = ": the blocks cannot be laid out into a whole image: ";
  const struct {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{"--info", entries},
       "blkswap: " + entries +
           ": no usable block table: the table at 0x0007ffd8 announces entries past the end of "
           "the image (list error -3)\n"},
      {{"--verify", outside},
       "blkswap: " + outside +
           ": no usable block table: block 0 of the table at 0x00000100 lies outside the image "
           "(list error -3)\n"},
      {{"--info", many},
       "blkswap: " + many +
           ": no usable block table: block 64 of the table at 0x00000100 is the 65th; an image "
           "holds at most 64 (list error -3)\n"},
      {{"--extract", two, "", dir.path("out.bin")},
       "blkswap: '': BLOCKNAME is an empty argument (extract error -1)\n"},
      {{"--extract", two, "b0", ""},
       "blkswap: '': OUTFILE is an empty argument (extract error -1)\n"},
      {{"--dry-run", two, "b0", missing},
       "blkswap: " + missing + ": cannot be opened: No such file or directory (merge error -2)\n"},
      {{"--dry-run", two, "b1", last},
       "blkswap: " + two + layout +
           "block 1 (b1) is given 523760 bytes but can hold at most 523759 (block 1 (b1) would "
           "end at 0x00080000; the last block must end before the image's end at 0x00080000) "
           "(merge error -2)\n"},
      {{"--dry-run", two, "b0", grown},
       "blkswap: " + two + layout +
           "block 0 (b0) is given 523776 bytes but can hold at most 523759 (block 1 (b1) would "
           "end at 0x00080010, past the image's end at 0x00080000) (merge error -2)\n"},
      {{"--dry-run", tables, "b0", wide},
       "blkswap: " + tables + layout +
           "block 0 (b0) is given 4096 bytes but can hold at most 3584 (block 0 (b0) would cover "
           "the table at 0x00001000) (merge error -2)\n"},
      {{"--dry-run", two, "b0", big},
       "blkswap: " + big + layout +
           "524033 bytes, but block 0 (b0) can hold at most 523759 (merge error -2)\n"},
      {{"--dry-run", two, "", big},
       "blkswap: '': BLOCKNAME or BLOCKFILE is an empty argument (merge error -1)\n"},
      // With several pairs, the block too big even with the others as loaded is named.
      {{"--dry-run", "--index", tables, "0", small, "1", huge},
       "blkswap: " + tables + layout +
           "block 1 (b0) is given 519936 bytes but can hold at most 519935 (block 1 (b0) would "
           "end at 0x00080000; the last block must end before the image's end at 0x00080000) "
           "(merge error -2)\n"},
      {{two, "b", wide, dir.path("out.bin")},
       "blkswap: b: no block has this name or id; did you mean b0 or b1? ('blkswap FLASHFILE' "
       "lists them) (merge error -6)\n"},
      {{two, "a4\n", wide, dir.path("out.bin")},
       "blkswap: a4\\x0a: no block has this name or id ('blkswap FLASHFILE' lists them) (merge "
       "error -6)\n"},
      {{"--extract", "--index", two, "2", missing},
       "blkswap: 2: no block has this name or id: with --index, BLOCKNAME is a block's place, 0 "
       "to 1 here (extract error -6)\n"},
      // The list and the merge say why on standard error too.
      {{missing, "b0", big, dir.path("out.bin")},
       "blkswap: " + missing + ": " + no_file + " (merge error -2)\n"},
      {{two, "b0", wide, dir.path("no/out.bin")},
       "blkswap: " + dir.path("no/out.bin") +
           ": cannot be created or replaced whole: its folder does not exist (merge error -4)\n"},
      // A mistyped option: the reason, and a hint, for any number of arguments.
      {{"--inf"},
       "blkswap: --inf: " + no_file +
           " (list error -2)\n"
           "blkswap: hint: '--inf' is no file; did you mean --info? See 'blkswap --help'.\n"},
      {{"--inf", two},
       "blkswap: hint: '--inf' is no file; did you mean --info? See 'blkswap --help'.\n"},
      {{"--dryrun", two, "b0", big},
       "blkswap: --dryrun: " + no_file +
           " (merge error -2)\n"
           "blkswap: hint: '--dryrun' is no file; did you mean --dry-run? See 'blkswap --help'.\n"},
      {{"-v"},
       "blkswap: -v: " + no_file +
           " (list error -2)\n"
           "blkswap: hint: '-v' is no file; did you mean --verify or --version? See 'blkswap "
           "--help'.\n"},
      {{"-x"}, "blkswap: -x: " + no_file + " (list error -2)\n"},
  };
  for (const auto& c : cases) {
    const auto run = testing::run_tool(c.args);
    EXPECT_EQ(run.err, c.err) << c.args[0] << " " << c.args.size();
    EXPECT_NE(run.status, 0);
  }
  // The dry run marks the block at fault and gives the reason under its table.
  const auto dry_run = testing::run_tool({"--dry-run", two, "b0", grown});
  EXPECT_NE(dry_run.out.find("0x00000100  0x0007fe00 (~511.5 KiB)  ok     -  (replaced)\n"),
            std::string::npos)
      << dry_run.out;
  EXPECT_NE(dry_run.out.find("-           0x00000010 (16 B)        ok     -  (at fault)\nThe merge "
                             "would fail: " +
                             two + layout + "block 0 (b0) is given 523776 bytes"),
            std::string::npos)
      << dry_run.out;
}

}  // namespace
}  // namespace blkswap
