#include "cli/arguments.h"

#include <algorithm>
#include <iterator>

#include "cli/messages.h"
#include "ops/report.h"

namespace blkswap {

namespace {

constexpr FlagName kFlags[] = {
    {"--json", kFlagJson, "print one JSON document instead of text (a failure too)"},
    {"--dry-run", kFlagDryRun, "--repack: show what the repack would change, write nothing"},
    {"--index", kFlagIndex, "every BLOCKNAME is a block's index, as --info shows it (0, 1, ...)"},
    {"--slot", kFlagSlot,
     "every BLOCKNAME is TABLE:SLOT, a table's position and an entry's place in it (0x1000:2)"},
    {"--keep-offsets", kFlagKeepOffsets,
     "every block keeps the offset its entry holds; only the replaced blocks change\n"
     "      (for --info: each block's room in place)"},
};

}  // namespace

std::span<const FlagName> flag_names() {
  return kFlags;
}

bool is_flag_name(std::string_view arg) {
  return std::any_of(std::begin(kFlags), std::end(kFlags),
                     [&](const FlagName& f) { return f.name == arg; });
}

bool split_arguments(std::string_view option, unsigned allowed, std::span<const char* const> args,
                     Arguments& out, std::ostream& err) {
  out = Arguments{};
  bool flags_ended = false;
  for (const char* arg : args) {
    const std::string_view text = arg;
    if (flags_ended || text.size() < 2 || text[0] != '-') {
      out.operands.push_back(arg);
      continue;
    }
    if (text == "--") {
      flags_ended = true;
      continue;
    }
    const auto known = std::find_if(std::begin(kFlags), std::end(kFlags), [&](const FlagName& f) {
      return f.name == text && (allowed & f.flag) != 0;
    });
    if (known != std::end(kFlags)) {
      out.flags |= known->flag;
      continue;
    }
    std::string_view own[std::size(kFlags)];
    size_t count = 0;
    for (const FlagName& f : kFlags) {
      if ((allowed & f.flag) != 0) own[count++] = f.name;
    }
    err << "blkswap: " << option << ": unknown flag '";
    put_printable(err, text);
    err << "'";
    if (put_close_names(err, text, {own, count}, "; did you mean ") > 0) err << '?';
    if (count == 0) err << "; it takes no flags";
    err << '\n';
    return false;
  }
  return true;
}

}  // namespace blkswap
