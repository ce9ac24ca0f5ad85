#include "image/text.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

namespace blkswap {

void put_format(std::ostream& out, const char* format, ...) {
  char text[256];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (n > 0) out.write(text, std::min<std::streamsize>(n, sizeof text - 1));
}

std::string format_text(const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return n > 0 ? std::string(text, std::min<size_t>(static_cast<size_t>(n), sizeof text - 1)) : "";
}

PrintableName printable_name(std::string_view name) {
  PrintableName out;
  for (const char c : name.substr(0, kNameSize)) {
    const auto byte = static_cast<uint8_t>(c);
    char* at = out.text + out.size;
    if (byte == '\\') {
      at[0] = at[1] = '\\';
      out.size += 2;
    } else if (byte >= 0x20 && byte < 0x7F) {
      at[0] = c;
      out.size += 1;
    } else {
      std::snprintf(at, 5, "\\x%02x", byte);
      out.size += 4;
    }
  }
  out.text[out.size] = '\0';
  return out;
}

namespace {

// The length of the UTF-8 sequence that starts at text[at] (2 to 4), or 0 when the bytes there
// are not one (an overlong form, a surrogate, a code point above U+10FFFF, a cut sequence).
size_t utf8_sequence(std::string_view text, size_t at) {
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
  const uint8_t lead = byte(at);
  size_t length = 0;
  uint8_t low = 0x80, high = 0xBF;  // the second byte's range
  if (lead >= 0xC2 && lead <= 0xDF) length = 2;
  if (lead >= 0xE0 && lead <= 0xEF) length = 3;
  if (lead >= 0xF0 && lead <= 0xF4) length = 4;
  if (lead == 0xE0) low = 0xA0;
  if (lead == 0xED) high = 0x9F;
  if (lead == 0xF0) low = 0x90;
  if (lead == 0xF4) high = 0x8F;
  if (length == 0 || text.size() - at < length) return 0;
  if (byte(at + 1) < low || byte(at + 1) > high) return 0;
  for (size_t i = 2; i < length; ++i) {
    if (byte(at + i) < 0x80 || byte(at + i) > 0xBF) return 0;
  }
  return length;
}

// How many bytes from text[at] on a message shows as they are: one printable ASCII character,
// one UTF-8 sequence, or none (a byte shown as \xNN).
size_t shown_as_is(std::string_view text, size_t at) {
  const auto byte = static_cast<uint8_t>(text[at]);
  if (byte >= 0x80) return utf8_sequence(text, at);
  return byte < 0x20 || byte == 0x7F ? 0 : 1;
}

}  // namespace

void put_printable(std::ostream& out, std::string_view text) {
  out << printable(text);
}

std::string printable(std::string_view text) {
  std::string shown;
  for (size_t at = 0; at < text.size();) {
    const size_t sequence = shown_as_is(text, at);
    if (sequence > 0) {
      shown.append(text.substr(at, sequence));
      at += sequence;
    } else {
      shown += format_text("\\x%02x", static_cast<uint8_t>(text[at++]));
    }
  }
  return shown;
}

bool is_printable(std::string_view text) {
  for (size_t at = 0; at < text.size();) {
    const size_t sequence = shown_as_is(text, at);
    if (sequence == 0) return false;
    at += sequence;
  }
  return true;
}

HumanSize human_size(uint64_t bytes) {
  constexpr const char* kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  size_t unit = 0;
  uint64_t scale = 1;
  while (unit + 1 < std::size(kUnits) && bytes >= scale * 1024) {
    scale *= 1024;
    ++unit;
  }
  HumanSize out;
  const uint64_t whole = bytes / scale;
  const uint64_t tenths = (bytes % scale * 10 + scale / 2) / scale;  // rounded
  if (bytes % scale == 0) {
    std::snprintf(out.text, sizeof out.text, "%llu %s", static_cast<unsigned long long>(whole),
                  kUnits[unit]);
  } else {
    const uint64_t shown = whole * 10 + tenths;  // 10 tenths carry into the whole
    std::snprintf(out.text, sizeof out.text, "~%llu.%llu %s",
                  static_cast<unsigned long long>(shown / 10),
                  static_cast<unsigned long long>(shown % 10), kUnits[unit]);
  }
  return out;
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

}  // namespace blkswap
