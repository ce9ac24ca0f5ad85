#include "cli/messages.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "ops/report.h"

namespace blkswap {

namespace {

constexpr CodeRow kCodes[] = {
    {step_code(LoadCode::empty_name), -1, "FLASHFILE is an empty argument"},
    {step_code(LoadCode::cannot_open), -2, "cannot be opened or read whole"},
    {step_code(LoadCode::no_memory), -3, "not enough memory for the image"},
    {step_code(LoadCode::bad_length), -4,
     "its length is not a multiple of 512 KiB, or is 4 GiB or more"},
    {step_code(LoadCode::no_table), -5, "no usable block table"},
    {step_code(ReplaceCode::empty_argument), -1, "BLOCKNAME or BLOCKFILE is an empty argument"},
    {step_code(ReplaceCode::cannot_open), -2, "cannot be opened"},
    {step_code(ReplaceCode::empty_file), -3, "is empty"},
    {step_code(ReplaceCode::no_memory), -4, "not enough memory for the block"},
    {step_code(ReplaceCode::short_read), -5, "could not be read whole"},
    {step_code(ReplaceCode::no_match), -6, "no block has this name or id"},
    {step_code(WriteCode::empty_name), -1, "WFILE is an empty argument"},
    {step_code(WriteCode::does_not_fit), -2, "the blocks cannot be laid out into a whole image"},
    {step_code(WriteCode::no_memory), -3, "not enough memory for the new image"},
    {step_code(WriteCode::cannot_create), -4, "cannot be created or replaced whole"},
    {step_code(WriteCode::short_write), -5, "could not be written whole"},
};

// What a code without a row (a success) would show; never printed.
constexpr CodeRow kUnknown = {{Step::write, -1}, -1, "failed"};

const CodeRow& row_of(StepCode code) {
  for (const CodeRow& row : kCodes) {
    if (row.code == code) return row;
  }
  return kUnknown;
}

// An argument as a person can see it: '' when empty.
std::string_view shown(const char* argument) {
  return argument == nullptr || argument[0] == '\0' ? "''" : argument;
}

void start(std::ostream& err, std::string_view argument, StepCode code) {
  err << "blkswap: " << argument << ": " << row_of(code).meaning;
}

void finish(std::ostream& err, std::string_view kind, int number) {
  err << " (" << kind << " error " << number << ")\n";
}

// The system's reason, except where its words would mislead: a file that cannot seek fails
// for want of a length, not for a seek the user never asked for.
const char* system_reason(int error) {
  if (error == ESPIPE) return "it is a pipe, socket or terminal, which has no length to read up to";
  return std::strerror(error);
}

std::string block_label(const FlashImage& image, size_t index) {
  std::string label = "block " + std::to_string(index);
  if (index < image.block_count) {
    label += " (";
    label += printable_name(entry_name(image.records[index].entry)).view();
    label += ")";
  }
  return label;
}

}  // namespace

std::span<const CodeRow> code_table() {
  return kCodes;
}

std::string_view step_title(Step step) {
  switch (step) {
    case Step::load:
      return "loading FLASHFILE";
    case Step::replace:
      return "taking in BLOCKFILE";
    case Step::write:
      break;
  }
  return "rebuilding and writing WFILE";
}

int code_number(StepCode code) {
  return row_of(code).number;
}

int list_code_number(LoadCode code) {
  return code == LoadCode::no_table ? code_number(step_code(LoadCode::no_memory))
                                    : code_number(step_code(code));
}

void print_list_error_line(std::ostream& out, int number) {
  out << "List flash block error with " << number << '\n';
}

void print_merge_error_line(std::ostream& out, int number) {
  out << "Merge flash file error with " << number << '\n';
}

void print_code_help(std::ostream& out) {
  out << "Error codes. The list and the merge print \"List flash block error with CODE\"\n"
         "or \"Merge flash file error with CODE\" on standard output; the other commands\n"
         "print \"blkswap: ARGUMENT: message (KIND error CODE)\" on standard error. A\n"
         "merge runs three steps, and the same code means different things in each:\n";
  int step_number = 0;
  for (size_t i = 0; i < std::size(kCodes); ++i) {
    const CodeRow& row = kCodes[i];
    if (i == 0 || row.code.step != kCodes[i - 1].code.step) {
      out << "  " << ++step_number << ". " << step_title(row.code.step) << '\n';
    }
    out << "     " << row.number << "  " << row.meaning << '\n';
  }
  out << "The list gives the loading codes, but -3 for -5. --info and --verify give the\n"
         "list's codes; --extract those of loading, -6 for BLOCKNAME, and -1, -4, -5 of\n"
         "writing for OUTFILE; --dry-run the code the merge would give.\n";
}

void report_refusal(std::ostream& err, std::string_view kind, const char* file,
                    std::string_view message, StepCode code) {
  err << "blkswap: " << shown(file) << ": " << message;
  finish(err, kind, code_number(code));
}

void report_load_failure(std::ostream& err, std::string_view kind, const char* flashfile,
                         LoadCode code, const LoadFailure& why) {
  start(err, shown(flashfile), step_code(code));
  switch (code) {
    case LoadCode::ok:
    case LoadCode::empty_name:
    case LoadCode::no_memory:
      break;
    case LoadCode::cannot_open:
      if (why.error != 0) {
        err << ": " << system_reason(why.error);
      } else {
        err << ": it gave " << why.read << " of its " << why.length << " bytes";
      }
      break;
    case LoadCode::bad_length:
      err << ": it is " << why.length << " bytes";
      break;
    case LoadCode::no_table: {
      char where[64];
      std::snprintf(where, sizeof where, "the table at 0x%08x", why.scan.table_pos);
      switch (why.scan.fault) {
        case ScanFault::none:
        case ScanFault::no_table:
          err << ": no table header found";
          break;
        case ScanFault::entries_past_end:
          err << ": " << where << " announces entries past the end of the image";
          break;
        case ScanFault::block_outside:
          err << ": block " << why.scan.slot << " of " << where << " lies outside the image";
          break;
        case ScanFault::too_many_blocks:
          err << ": block " << why.scan.slot << " of " << where
              << " is the 65th; an image holds at most 64";
          break;
        case ScanFault::no_memory:
          err << ": no memory to copy block " << why.scan.slot << " of " << where;
          break;
      }
      break;
    }
  }
  finish(err, kind, kind == "list" ? list_code_number(code) : code_number(step_code(code)));
}

void report_replace_failure(std::ostream& err, std::string_view kind, const FlashImage& image,
                            const char* blockname, const char* blockfile, ReplaceCode code,
                            const ReplaceFailure& why) {
  const bool about_name = code == ReplaceCode::no_match ||
                          (code == ReplaceCode::empty_argument && blockname[0] == '\0');
  if (code == ReplaceCode::too_long) {
    const auto chosen = static_cast<size_t>(why.block);
    char text[160];
    std::snprintf(text, sizeof text,
                  "%llu bytes, but %s can hold at most %llu before the image's end",
                  static_cast<unsigned long long>(why.length), block_label(image, chosen).c_str(),
                  static_cast<unsigned long long>(why.room));
    start(err, shown(blockfile), step_code(WriteCode::does_not_fit));
    err << ": " << text;
    finish(err, kind, code_number(step_code(WriteCode::does_not_fit)));
    return;
  }
  start(err, shown(about_name ? blockname : blockfile), step_code(code));
  switch (code) {
    case ReplaceCode::cannot_open:
      if (why.error != 0) err << ": " << system_reason(why.error);
      break;
    case ReplaceCode::short_read:
      if (why.error != 0) {
        err << ": " << system_reason(why.error);
      } else {
        err << ": it gave " << why.read << " of its " << why.length << " bytes";
      }
      break;
    case ReplaceCode::no_memory:
      err << ": it is " << why.length << " bytes";
      break;
    default:
      break;
  }
  finish(err, kind, code_number(step_code(code)));
}

void describe_rebuild_fault(std::ostream& out, const FlashImage& image, const RebuildReport& why) {
  const std::string block = block_label(image, why.block);
  char text[200] = "";
  switch (why.fault) {
    case RebuildFault::none:
      break;
    case RebuildFault::no_blocks:
      std::snprintf(text, sizeof text, "the image lists no block");
      break;
    case RebuildFault::field_overflow:
      std::snprintf(text, sizeof text, "%s would not fit its 32-bit offset or size", block.c_str());
      break;
    case RebuildFault::past_end:
      std::snprintf(text, sizeof text, "%s would end at 0x%08llx, past the image's end at 0x%08x",
                    block.c_str(), static_cast<unsigned long long>(why.end), image.length);
      break;
    case RebuildFault::last_at_end:
      std::snprintf(text, sizeof text,
                    "%s would end at 0x%08llx; the last block must end before the image's end "
                    "at 0x%08x",
                    block.c_str(), static_cast<unsigned long long>(why.end), image.length);
      break;
    case RebuildFault::covers_table:
      std::snprintf(text, sizeof text, "%s would cover the table at 0x%08x", block.c_str(),
                    why.table_pos);
      break;
    case RebuildFault::covers_block:
      std::snprintf(text, sizeof text, "%s would cover %s", block.c_str(),
                    block_label(image, why.other).c_str());
      break;
    case RebuildFault::checksum_cycle:
      std::snprintf(text, sizeof text,
                    "%s holds its own checksum field, so no checksum of it can be true",
                    block.c_str());
      break;
    case RebuildFault::reads_back_wrong:
      std::snprintf(text, sizeof text,
                    "the merged image would not load back as laid out (the table at 0x%08x)",
                    why.table_pos);
      break;
  }
  out << text;
}

void report_rebuild_failure(std::ostream& err, std::string_view kind, const FlashImage& image,
                            const char* file, WriteCode code, const RebuildReport& why) {
  start(err, shown(file), step_code(code));
  if (code == WriteCode::does_not_fit) {
    err << ": ";
    describe_rebuild_fault(err, image, why);
  } else if (code == WriteCode::no_memory) {
    err << ": it is " << image.length << " bytes";
  }
  finish(err, kind, code_number(step_code(code)));
}

void report_write_failure(std::ostream& err, std::string_view kind, std::string_view role,
                          const char* file, WriteCode code, const WriteFailure& why) {
  if (code == WriteCode::empty_name) {
    err << "blkswap: '': " << role << " is an empty argument";
  } else {
    start(err, shown(file), step_code(code));
    if (!why.what.empty()) err << ": " << why.what;
    if (why.error != 0) err << ": " << system_reason(why.error);
  }
  finish(err, kind, code_number(step_code(code)));
}

namespace {

// Letters only, in lower case: "--dry-run" and "--dryrun" are the same word.
std::string letters_of(std::string_view text) {
  std::string letters;
  for (const char c : text) {
    if (c != '-') letters += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  }
  return letters;
}

size_t edit_distance(std::string_view a, std::string_view b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
      diagonal = above;
    }
  }
  return row[b.size()];
}

}  // namespace

void hint_at_option(std::ostream& err, std::string_view first_argument,
                    std::span<const std::string_view> options) {
  if (first_argument.size() < 2 || first_argument[0] != '-' || first_argument.size() > 32) return;
  const std::string typed = letters_of(first_argument);
  if (typed.empty()) return;
  std::string close;
  for (const std::string_view option : options) {
    const std::string word = letters_of(option);
    if (word.rfind(typed, 0) == 0 || edit_distance(typed, word) <= 2) {
      close += close.empty() ? "" : " or ";
      close += option;
    }
  }
  if (close.empty()) return;
  err << "blkswap: hint: '" << first_argument << "' is no file; did you mean " << close
      << "? See 'blkswap --help'.\n";
}

}  // namespace blkswap
