// Text as every message and report shows it: bounded formatting, names and arguments made
// printable on one line, and sizes in units a person reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <span>
#include <string>
#include <string_view>

#include "image/format.h"

namespace blkswap {

// Formats like printf into a bounded buffer (256 bytes; longer output is cut) and writes it.
void put_format(std::ostream& out, const char* format, ...) __attribute__((format(printf, 2, 3)));
// The same into a string.
std::string format_text(const char* format, ...) __attribute__((format(printf, 1, 2)));

// A block name with every byte outside printable ASCII, and the backslash, written as \xNN or
// \\ so that it stays on one line and in its column. At most four characters per stored byte.
struct PrintableName {
  char text[4 * kNameSize + 1] = {};
  size_t size = 0;
  std::string_view view() const { return {text, size}; }
};
PrintableName printable_name(std::string_view name);

// An argument (a file's name, a BLOCKNAME) as a message shows it: UTF-8 as it is, every control
// character and every byte that is not UTF-8 as \xNN, so that a message stays one line of text.
void put_printable(std::ostream& out, std::string_view text);
std::string printable(std::string_view text);
// Whether put_printable shows `text` as it is.
bool is_printable(std::string_view text);

// A size in the largest binary unit it reaches: "16 B", "192 KiB", "~511.5 KiB" (a tilde when
// one decimal does not give it exactly).
struct HumanSize {
  char text[48] = {};  // room for any 64-bit count, as the compiler counts it
  std::string_view view() const { return text; }
};
HumanSize human_size(uint64_t bytes);

// Writes `before`, then the names among `names` that `typed` is close to (names it begins, or
// else names a slip or two away, case and dashes aside), joined by " or "; nothing when it is
// close to none. Block names are shown as every block name is. Returns how many it named.
size_t put_close_names(std::ostream& out, std::string_view typed,
                       std::span<const std::string_view> names, std::string_view before,
                       bool block_names = false);

}  // namespace blkswap
