#include "ops/replace.h"

#include <algorithm>
#include <sstream>
#include <utility>

#include "image/text.h"
#include "ops/merge.h"

namespace blkswap {

namespace {

bool is_space(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A bounded comparison of at most eight characters that stops at the first NUL in either.
bool name_matches(const BlockEntry& entry, std::string_view blockname) {
  const std::string_view name = entry_name(entry);
  const std::string_view wanted = blockname.substr(0, std::min(blockname.size(), kNameSize));
  return name == wanted.substr(0, wanted.find('\0'));
}

}  // namespace

bool parse_block_id(std::string_view text, uint32_t& id) {
  size_t i = 0;
  while (i < text.size() && is_space(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  // "0x" counts as a prefix only when a digit follows it; otherwise its 0 is the digit.
  if (text.size() - i > 2 && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X') &&
      hex_digit(text[i + 2]) >= 0) {
    i += 2;
  }
  if (i == text.size()) return false;
  uint64_t value = 0;
  for (; i < text.size(); ++i) {
    const int digit = hex_digit(text[i]);
    if (digit < 0) return false;
    value = std::min<uint64_t>(value * 16 + static_cast<uint64_t>(digit), UINT32_MAX);
  }
  id = static_cast<uint32_t>(negative ? 0u - value : value);
  return true;
}

namespace {

// A whole number, decimal or hexadecimal after 0x, and nothing else.
bool parse_number(std::string_view text, uint64_t& value) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty()) return false;
  value = 0;
  for (const char c : text) {
    const int digit = hex_digit(c);
    if (digit < 0 || digit >= base ||
        value > (UINT32_MAX - static_cast<uint64_t>(digit)) / static_cast<uint64_t>(base)) {
      return false;
    }
    value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
  }
  return true;
}

int find_by_place(const FlashImage& image, std::string_view text, BlockChoice how) {
  uint64_t index = 0;
  if (how == BlockChoice::index) {
    return parse_number(text, index) && index < image.block_count ? static_cast<int>(index)
                                                                  : kNoBlock;
  }
  const size_t colon = text.find(':');
  uint64_t table = 0, slot = 0;
  if (colon == std::string_view::npos || !parse_number(text.substr(0, colon), table) ||
      !parse_number(text.substr(colon + 1), slot)) {
    return kNoBlock;
  }
  for (size_t i = 0; i < image.block_count; ++i) {
    if (image.records[i].table_pos == table && image.records[i].slot == slot) {
      return static_cast<int>(i);
    }
  }
  return kNoBlock;
}

}  // namespace

int find_block(const FlashImage& image, std::string_view blockname, BlockChoice how) {
  if (how != BlockChoice::name_or_id) return find_by_place(image, blockname, how);
  uint32_t wanted_id = 0;
  const bool has_id = parse_block_id(blockname, wanted_id);
  for (size_t i = 0; i < image.block_count; ++i) {
    const BlockEntry& entry = image.records[i].entry;
    if (name_matches(entry, blockname) || (has_id && entry_id(entry) == wanted_id)) {
      return static_cast<int>(i);
    }
  }
  return kNoBlock;
}

const NewBlock* Replacements::find(size_t index) const {
  for (size_t i = 0; i < count; ++i) {
    if (items[i].block == index) return &items[i];
  }
  return nullptr;
}

bool Replacements::add(size_t index, FileBytes bytes) {
  if (find(index) != nullptr || count == items.size()) return false;
  items[count++] = {index, std::move(bytes)};
  return true;
}

Failure chosen_twice(const FlashImage& image, size_t index, const char* argument) {
  Failure twice = fail(Code::chosen_twice, argument, ": " + block_label(image, index));
  twice.block = static_cast<int>(index);
  return twice;
}

namespace {

// No block can be longer than the bytes from its table to the image's end; a longer file is
// refused before any memory is asked for it. What does fit is the merge plan's to decide.
uint64_t longest_conceivable(const FlashImage& image, size_t index) {
  return uint64_t{image.length} - image.records[index].table_pos;
}

}  // namespace

Failure length_refusal(const FlashImage& image, size_t index, const char* blockfile,
                       uint64_t length, bool at_least, const Replacements& others,
                       const MergeOptions& options) {
  Failure failure;
  if (length == 0) failure = fail(Code::blockfile_empty, blockfile);
  if (length > longest_conceivable(image, index)) {
    failure = fail(
        Code::does_not_fit, blockfile,
        format_text(": %s%llu bytes, but %s can hold at most %llu", at_least ? "at least " : "",
                    static_cast<unsigned long long>(length), block_label(image, index).c_str(),
                    static_cast<unsigned long long>(block_room(image, others, index, options))));
  }
  if (failure.failed()) failure.block = static_cast<int>(index);
  return failure;
}

Failure read_block_file(const FlashImage& image, size_t index, const char* blockfile,
                        const Replacements& others, FileBytes& data, Links links,
                        const MergeOptions& options) {
  FileContents contents;
  const ReadResult read =
      read_whole_file(blockfile, longest_conceivable(image, index), contents, links);
  const auto length = static_cast<unsigned long long>(contents.file_length);
  Failure failure;
  switch (read) {
    case ReadResult::ok:
    case ReadResult::too_long:
      failure = length_refusal(image, index, blockfile, contents.file_length,
                               contents.stopped_early, others, options);
      if (read == ReadResult::ok && contents.bytes.view.size() != contents.file_length) {
        failure = fail(
            Code::blockfile_short, blockfile,
            format_text(": it gave %zu of its %llu bytes", contents.bytes.view.size(), length));
      }
      break;
    case ReadResult::cannot_open:
      failure = fail(Code::blockfile_unopenable, blockfile, {}, contents.error);
      break;
    case ReadResult::no_memory:
      failure = fail(Code::block_no_memory, blockfile, format_text(": it is %llu bytes", length));
      break;
    case ReadResult::read_error:
      failure =
          fail(Code::blockfile_short, blockfile,
               contents.error != 0 ? "" : format_text(": it gave 0 of its %llu bytes", length),
               contents.error);
      break;
  }
  if (failure.failed()) {
    failure.block = static_cast<int>(index);
  } else {
    data = std::move(contents.bytes);
  }
  return failure;
}

Failure choose_block(const FlashImage& image, const char* blockname, BlockChoice how, Code none,
                     size_t& index) {
  const int found = find_block(image, blockname, how);
  if (found != kNoBlock) {
    index = static_cast<size_t>(found);
    return {};
  }
  std::string detail;
  if (how == BlockChoice::name_or_id) {
    std::array<std::string_view, kMaxBlocks> names;
    size_t distinct = 0;
    for (size_t i = 0; i < image.block_count; ++i) {
      const std::string_view name = entry_name(image.records[i].entry);
      if (std::find(names.begin(), names.begin() + distinct, name) == names.begin() + distinct) {
        names[distinct++] = name;
      }
    }
    std::ostringstream hint;
    const size_t named =
        put_close_names(hint, blockname, {names.data(), distinct}, "; did you mean ", true);
    detail = hint.str() + (named > 0 ? "? " : " ") + "('blkswap FLASHFILE' lists them)";
  } else if (how == BlockChoice::index) {
    detail = format_text(": with --index, BLOCKNAME is a block's place, 0 to %zu here",
                         image.block_count > 0 ? size_t{image.block_count} - 1 : size_t{0});
  } else {
    detail = ": with --slot, BLOCKNAME is TABLE:SLOT as --info shows them (0x1000:0)";
  }
  return fail(none, blockname, detail);
}

Failure replace_block(const FlashImage& image, const char* blockname, const char* blockfile,
                      Replacements& replacements, BlockChoice how, const MergeOptions& options) {
  if (blockname == nullptr || blockname[0] == '\0') return fail(Code::block_argument_empty, "");
  if (blockfile == nullptr || blockfile[0] == '\0') return fail(Code::block_argument_empty, "");
  size_t index = 0;
  if (Failure none = choose_block(image, blockname, how, Code::no_match, index); none.failed()) {
    return none;
  }
  // Several replacements in one merge each choose a block of their own.
  if (replacements.find(index) != nullptr) return chosen_twice(image, index, blockname);
  FileBytes data;
  Failure failure =
      read_block_file(image, index, blockfile, replacements, data, Links::follow, options);
  if (!failure.failed() && !replacements.add(index, std::move(data))) {
    return chosen_twice(image, index, blockname);
  }
  return failure;
}

bool names_the_flash_file(const FlashImage& image, const char* path) {
  const FileIdentity target = identify_file(path);
  return image.source.known && target.known && target.device == image.source.device &&
         target.inode == image.source.inode;
}

Failure extract_block(const FlashImage& image, size_t index, const char* outfile) {
  const Piece block{block_bytes(image, index), &image.bytes};
  WriteFailure why;
  return write_outcome(write_pieces_safely(outfile, {&block, 1}, {}, &why), why, outfile,
                       Code::outfile_cannot_create, Code::outfile_short_write);
}

}  // namespace blkswap
