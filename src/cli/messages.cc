#include "cli/messages.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>

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
    {step_code(ReplaceCode::chosen_twice), -7, "names a block another BLOCKNAME already chose"},
    {step_code(WriteCode::empty_name), -1, "WFILE is an empty argument"},
    {step_code(WriteCode::does_not_fit), -2, "the blocks cannot be laid out into a whole image"},
    {step_code(WriteCode::no_memory), -3, "not enough memory for the new image"},
    {step_code(WriteCode::cannot_create), -4, "cannot be created or replaced whole"},
    {step_code(WriteCode::short_write), -5, "could not be written whole"},
    {step_code(UnpackCode::empty_name), -1, "DIR is an empty argument"},
    {step_code(UnpackCode::not_empty), -2, "exists and is not an empty folder"},
    {step_code(UnpackCode::no_memory), -3, "not enough memory for the manifest"},
    {step_code(UnpackCode::cannot_create), -4, "cannot be created whole"},
    {step_code(UnpackCode::short_write), -5, "could not be written whole"},
    {step_code(ManifestCode::empty_name), -1, "DIR is an empty argument"},
    {step_code(ManifestCode::cannot_open), -2, "its manifest cannot be opened or read whole"},
    {step_code(ManifestCode::malformed), -3, "its manifest is not one blkswap can read"},
    {step_code(ManifestCode::other_image), -4, "its manifest describes another image"},
    {step_code(ManifestCode::extra_file), -5, "holds a file its manifest does not name"},
    {step_code(ManifestCode::no_memory), -6, "not enough memory for the manifest"},
    {step_code(ManifestCode::conflict), -4,
     "a block changed both in its file and in FLASHFILE since the unpack"},
};

// The row of a code that has none: a success, which no message reports.
constexpr CodeRow kSuccess = {{Step::load, -1}, 1, "succeeded"};

const CodeRow& row_of(StepCode code) {
  for (const CodeRow& row : kCodes) {
    if (row.code == code) return row;
  }
  return kSuccess;
}

// An argument as a person can see it: '' when empty, and on one line whatever it holds.
void put_shown(std::ostream& out, const char* argument) {
  if (argument == nullptr || argument[0] == '\0') {
    out << "''";
  } else {
    put_printable(out, argument);
  }
}

void start(MessageTo to, const char* argument, StepCode code) {
  to.out << to.lead;
  put_shown(to.out, argument);
  to.out << ": " << row_of(code).meaning;
}

// The system's reason, except where its words would mislead: a terminal or a device is refused
// as a source of bytes, not for a call the user never asked for.
const char* system_reason(int error) {
  if (error == ENOTTY) return "it is a terminal; give it through a file or a pipe";
  if (error == ESPIPE) return "it is a device with no length to read up to";
  if (error == kIsSymbolicLink)
    return "it is a symbolic link, which is not followed out of a folder";
  if (error == kNotRegularFile) return "it is not a regular file";
  if (error == kInUse) return "another program has it open; close that program and try again";
  if (error == kChangedSize) return "it changed size while it was read";
  return std::strerror(error);
}

std::string_view kind_word(Kind kind) {
  switch (kind) {
    case Kind::list:
      return "list";
    case Kind::extract:
      return "extract";
    case Kind::merge:
      return "merge";
    case Kind::unpack:
      return "unpack";
    case Kind::repack:
      return "repack";
    case Kind::diff:
      break;
  }
  return "diff";
}

void finish(std::ostream& out, Kind kind, int number) {
  out << " (" << kind_word(kind) << " error " << number << ")\n";
}

// Why a read failed: the system's reason, or how much of the file a short read gave.
void put_read_failure(std::ostream& out, int error, uint64_t read, uint64_t length) {
  if (error != 0) {
    out << ": " << system_reason(error);
  } else {
    out << ": it gave " << read << " of its " << length << " bytes";
  }
}

// "block 1 (kernel)": its index and its name made printable. Built without heap allocation, as
// is every message, so that a message never fails for want of memory.
struct BlockLabel {
  char text[64] = {};
  const char* c_str() const { return text; }
};
BlockLabel block_label(const FlashImage& image, size_t index) {
  BlockLabel label;
  if (index < image.block_count) {
    std::snprintf(label.text, sizeof label.text, "block %zu (%s)", index,
                  printable_name(entry_name(image.records[index].entry)).text);
  } else {
    std::snprintf(label.text, sizeof label.text, "block %zu", index);
  }
  return label;
}

}  // namespace

std::span<const CodeRow> code_table() {
  return kCodes;
}

namespace {

// Each step's title, as --help and the documents give it, and its word in a JSON document.
struct StepNames {
  Step step;
  std::string_view title;
  std::string_view word;
};
constexpr StepNames kSteps[] = {
    {Step::load, "loading FLASHFILE", "load"},
    {Step::replace, "taking in BLOCKFILE", "replace"},
    {Step::write, "rebuilding and writing WFILE", "write"},
    {Step::unpack, "unpacking into DIR", "unpack"},
    {Step::manifest, "reading DIR for a repack", "manifest"},
};

const StepNames& names_of(Step step) {
  for (const StepNames& names : kSteps) {
    if (names.step == step) return names;
  }
  return kSteps[0];
}

}  // namespace

std::string_view step_title(Step step) {
  return names_of(step).title;
}

std::string_view step_word(Step step) {
  return names_of(step).word;
}

int code_number(StepCode code) {
  return row_of(code).number;
}

StepCode merge_step_code(ReplaceCode code, const char* wfile) {
  if (code != ReplaceCode::too_long) return step_code(code);
  return step_code(wfile != nullptr && wfile[0] == '\0' ? WriteCode::empty_name
                                                        : WriteCode::does_not_fit);
}

int list_code_number(LoadCode code) {
  return code == LoadCode::no_table ? code_number(step_code(LoadCode::no_memory))
                                    : code_number(step_code(code));
}

int load_code_number(Kind kind, LoadCode code) {
  return kind == Kind::list ? list_code_number(code) : code_number(step_code(code));
}

void print_list_error_line(std::ostream& out, int number) {
  out << "List flash block error with " << number << '\n';
}

void print_merge_error_line(std::ostream& out, int number) {
  out << "Merge flash file error with " << number << '\n';
}

void print_code_help(std::ostream& out) {
  out << "Error codes. The list and the merge print \"List flash block error with CODE\"\n"
         "or \"Merge flash file error with CODE\" on standard output; every command says\n"
         "why on standard error as \"blkswap: ARGUMENT: message (KIND error CODE)\". A\n"
         "merge runs steps 1 to 3, and the same code means different things in each:\n";
  int step_number = 0;
  for (size_t i = 0; i < std::size(kCodes); ++i) {
    const CodeRow& row = kCodes[i];
    if (i == 0 || row.code.step != kCodes[i - 1].code.step) {
      out << "  " << ++step_number << ". " << step_title(row.code.step) << '\n';
    }
    out << "     " << row.number << "  " << row.meaning << '\n';
  }
  out << "The list gives the loading codes, but -3 for -5. --info and --verify give\n"
         "the list's codes. --extract gives the loading codes, -1 for an empty BLOCKNAME\n"
         "or OUTFILE, -6 for BLOCKNAME, and -4 or -5 for OUTFILE. --dry-run and --merge\n"
         "give the merge's codes. --unpack gives the loading codes, then step 4's.\n"
         "--repack gives the loading codes, step 5's, step 2's for a block file, and\n"
         "step 3's. --diff gives the loading codes.\n";
}

void report_refusal(MessageTo to, Kind kind, const char* file, std::string_view message,
                    StepCode code) {
  to.out << to.lead;
  put_shown(to.out, file);
  to.out << ": " << message;
  finish(to.out, kind, code_number(code));
}

void report_load_failure(MessageTo to, Kind kind, const char* flashfile, LoadCode code,
                         const LoadFailure& why) {
  start(to, flashfile, step_code(code));
  switch (code) {
    case LoadCode::ok:
    case LoadCode::empty_name:
    case LoadCode::no_memory:
      break;
    case LoadCode::cannot_open:
      put_read_failure(to.out, why.error, why.read, why.length);
      break;
    case LoadCode::bad_length:
      to.out << ": it is " << why.length << " bytes";
      break;
    case LoadCode::no_table: {
      char where[64];
      std::snprintf(where, sizeof where, "the table at 0x%08x", why.scan.table_pos);
      switch (why.scan.fault) {
        case ScanFault::none:
        case ScanFault::no_table:
          to.out << ": no table header found";
          break;
        case ScanFault::entries_past_end:
          to.out << ": " << where << " announces entries past the end of the image";
          break;
        case ScanFault::block_outside:
          to.out << ": block " << why.scan.slot << " of " << where << " lies outside the image";
          break;
        case ScanFault::too_many_blocks:
          to.out << ": block " << why.scan.slot << " of " << where
                 << " is the 65th; an image holds at most 64";
          break;
      }
      break;
    }
  }
  finish(to.out, kind, load_code_number(kind, code));
}

void report_replace_failure(MessageTo to, Kind kind, const FlashImage& image, const char* blockname,
                            const char* blockfile, ReplaceCode code, const ReplaceFailure& why) {
  const bool about_name = code == ReplaceCode::no_match || code == ReplaceCode::chosen_twice ||
                          (code == ReplaceCode::empty_argument && blockname[0] == '\0');
  const StepCode reported = merge_step_code(code, nullptr);
  start(to, about_name ? blockname : blockfile, reported);
  switch (code) {
    case ReplaceCode::cannot_open:
      if (why.error != 0) to.out << ": " << system_reason(why.error);
      break;
    case ReplaceCode::short_read:
      put_read_failure(to.out, why.error, why.read, why.length);
      break;
    case ReplaceCode::no_memory:
      to.out << ": it is " << why.length << " bytes";
      break;
    case ReplaceCode::chosen_twice:
      to.out << ": " << block_label(image, static_cast<size_t>(why.block)).c_str();
      break;
    case ReplaceCode::no_match:
      if (why.choice == BlockChoice::name_or_id) {
        std::array<std::string_view, kMaxBlocks> names;
        size_t distinct = 0;
        for (size_t i = 0; i < image.block_count; ++i) {
          const std::string_view name = entry_name(image.records[i].entry);
          if (std::find(names.begin(), names.begin() + distinct, name) ==
              names.begin() + distinct) {
            names[distinct++] = name;
          }
        }
        const size_t named =
            put_close_names(to.out, blockname, {names.data(), distinct}, "; did you mean ", true);
        to.out << (named > 0 ? "? " : " ") << "('blkswap FLASHFILE' lists them)";
      } else if (why.choice == BlockChoice::index) {
        to.out << ": with --index, BLOCKNAME is a block's place, 0 to "
               << (image.block_count > 0 ? image.block_count - 1 : 0) << " here";
      } else if (why.choice == BlockChoice::slot) {
        to.out << ": with --slot, BLOCKNAME is TABLE:SLOT as --info shows them (0x1000:0)";
      }
      break;
    case ReplaceCode::too_long:
      to.out << ": " << (why.at_least ? "at least " : "") << why.length << " bytes, but "
             << block_label(image, static_cast<size_t>(why.block)).c_str() << " can hold at most "
             << why.room;
      break;
    default:
      break;
  }
  finish(to.out, kind, code_number(reported));
}

void describe_rebuild_fault(std::ostream& out, const FlashImage& image, const MergeRefusal& why) {
  const BlockLabel block = block_label(image, why.block);
  char text[200] = "";
  switch (why.fault) {
    case MergeFault::none:
      break;
    case MergeFault::field_overflow:
      std::snprintf(text, sizeof text, "%s would not fit its 32-bit offset or size", block.c_str());
      break;
    case MergeFault::past_end:
      std::snprintf(text, sizeof text, "%s would end at 0x%08llx, past the image's end at 0x%08x",
                    block.c_str(), static_cast<unsigned long long>(why.at), image.length);
      break;
    case MergeFault::last_at_end:
      std::snprintf(text, sizeof text,
                    "%s would end at 0x%08llx; the last block must end before the image's end "
                    "at 0x%08x",
                    block.c_str(), static_cast<unsigned long long>(why.at), image.length);
      break;
    case MergeFault::covers_table:
      std::snprintf(text, sizeof text, "%s would cover the table at 0x%08x", block.c_str(),
                    why.table_pos);
      break;
    case MergeFault::covers_block:
      std::snprintf(text, sizeof text, "%s would cover %s", block.c_str(),
                    block_label(image, why.other).c_str());
      break;
    case MergeFault::written_over:
      std::snprintf(text, sizeof text,
                    "the new bytes of %s would not stand: %s, written later, lands on them at "
                    "0x%08llx",
                    block.c_str(), block_label(image, why.other).c_str(),
                    static_cast<unsigned long long>(why.at));
      break;
    case MergeFault::checksum_cycle:
      std::snprintf(text, sizeof text,
                    "%s holds its own checksum field, so no checksum of it can be true",
                    block.c_str());
      break;
    case MergeFault::reads_back_wrong:
      std::snprintf(text, sizeof text,
                    "the merged image would not load back as laid out (the table at 0x%08x)",
                    why.table_pos);
      break;
  }
  if (why.too_big) {
    out << block_label(image, why.grown).c_str() << " is given " << why.grown_size
        << " bytes but can hold at most " << why.room << " (" << text << ")";
  } else {
    out << text;
  }
}

void report_rebuild_failure(MessageTo to, Kind kind, const FlashImage& image, const char* file,
                            WriteCode code, const MergeRefusal& why) {
  start(to, file, step_code(code));
  if (code == WriteCode::does_not_fit) {
    to.out << ": ";
    describe_rebuild_fault(to.out, image, why);
  } else if (code == WriteCode::no_memory) {
    to.out << ": it is " << image.length << " bytes";
  }
  finish(to.out, kind, code_number(step_code(code)));
}

void report_write_failure(MessageTo to, Kind kind, std::string_view role, const char* file,
                          WriteCode code, const WriteFailure& why) {
  if (code == WriteCode::empty_name) {
    to.out << to.lead << "'': " << role << " is an empty argument";
  } else {
    start(to, file, step_code(code));
    if (!why.what.empty()) to.out << ": " << why.what;
    if (why.error != 0) to.out << ": " << system_reason(why.error);
  }
  finish(to.out, kind, code_number(step_code(code)));
}

void report_unpack_failure(MessageTo to, const char* dir, UnpackCode code,
                           const UnpackFailure& why) {
  start(to, dir, step_code(code));
  if (!why.file.empty()) to.out << ": " << why.file;
  if (!why.write.what.empty()) to.out << ": " << why.write.what;
  if (why.write.error != 0) to.out << ": " << system_reason(why.write.error);
  finish(to.out, Kind::unpack, code_number(step_code(code)));
}

void report_manifest_failure(MessageTo to, const char* dir, ManifestCode code,
                             const ManifestFailure& why) {
  start(to, dir, step_code(code));
  if (why.error != 0) to.out << ": " << system_reason(why.error);
  if (why.detail[0] != '\0') to.out << ": " << why.detail;
  finish(to.out, Kind::repack, code_number(step_code(code)));
}

void report_repack_conflict(MessageTo to, const char* dir, const FlashImage& image,
                            const RepackReport& repack) {
  start(to, dir, step_code(ManifestCode::conflict));
  to.out << ": ";
  put_repack_conflicts(to.out, image, repack);
  to.out << "; to repack onto ";
  put_shown(to.out, repack.flashfile_name);
  to.out << ", unpack it again and make the change there";
  finish(to.out, Kind::repack, code_number(step_code(ManifestCode::conflict)));
}

namespace {

constexpr size_t kLongestHint = 32;  // longer first arguments are not taken for options

// Letters only, in lower case: "--dry-run" and "--dryrun" are the same word.
struct Letters {
  char text[kLongestHint + 1] = {};
  size_t size = 0;
  std::string_view view() const { return {text, size}; }
};
Letters letters_of(std::string_view word) {
  Letters letters;
  for (const char c : word.substr(0, kLongestHint)) {
    if (c != '-') letters.text[letters.size++] = c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c;
  }
  return letters;
}

size_t edit_distance(std::string_view a, std::string_view b) {
  size_t row[kLongestHint + 1];
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

size_t put_close_names(std::ostream& out, std::string_view typed,
                       std::span<const std::string_view> names, std::string_view before,
                       bool block_names) {
  if (typed.size() > kLongestHint) return 0;
  const Letters letters = letters_of(typed);
  if (letters.size == 0) return 0;
  // Names the letters begin; only when none does, names a slip or two away.
  auto begins = [&](std::string_view name) {
    return letters_of(name).view().substr(0, letters.size) == letters.view();
  };
  const bool any_begins = std::any_of(names.begin(), names.end(), begins);
  size_t named = 0;
  for (const std::string_view name : names) {
    const bool close =
        any_begins ? begins(name) : edit_distance(letters.view(), letters_of(name).view()) <= 2;
    if (!close) continue;
    out << (named++ == 0 ? before : " or ");
    if (block_names) {
      out << printable_name(name).view();
    } else {
      out << name;
    }
  }
  return named;
}

void hint_at_option(std::ostream& err, std::string_view first_argument,
                    std::span<const std::string_view> options) {
  if (first_argument.size() < 2 || first_argument[0] != '-') return;
  std::ostringstream line;
  line << "blkswap: hint: '";
  put_printable(line, first_argument);
  line << "' is no file; did you mean ";
  if (put_close_names(err, first_argument, options, line.str()) > 0) {
    err << "? See 'blkswap --help'.\n";
  }
}

}  // namespace blkswap
