#include "ops/round_trip.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <system_error>
#include <thread>
#include <vector>

#include "image/crc.h"
#include "ops/json_doc.h"
#include "ops/replace.h"

namespace blkswap {

namespace {

// The longest manifest a repack reads: far more than unpack writes for the image (each table
// takes under 100 bytes, each block under 1,000), so that an editor's re-indenting still fits.
uint64_t longest_manifest(const FlashImage& image) {
  return (uint64_t{1} << 20) + 256 * uint64_t{image.table_count} +
         4096 * uint64_t{image.block_count};
}

bool is_plain(uint8_t byte) {
  return (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
         (byte >= '0' && byte <= '9') || byte == '.' || byte == '_' || byte == '-';
}

}  // namespace

std::string block_file_name(size_t index, std::string_view name) {
  char prefix[24];
  std::snprintf(prefix, sizeof prefix, "%02zu-", index);
  std::string file = prefix;
  for (const char c : name) {
    const auto byte = static_cast<uint8_t>(c);
    if (is_plain(byte)) {
      file.push_back(c);
    } else {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02X", byte);
      file += escaped;
    }
  }
  return file + ".bin";
}

namespace {

// Calls work(i) for every block of `image`, the blocks shared between this thread and a second
// one by their sizes; on this thread alone when no second one can be had. The passes over the
// blocks' bytes cost more than the rest of an unpack or a repack but the writes.
template <typename Work>
void for_each_block_on_two_threads(const FlashImage& image, Work work) {
  std::array<bool, kMaxBlocks> second{};
  uint64_t load[2] = {};
  for (size_t i = 0; i < image.block_count; ++i) {
    second[i] = load[1] < load[0];
    load[second[i] ? 1 : 0] += entry_size(image.records[i].entry);
  }
  auto take = [&](bool half) {
    for (size_t i = 0; i < image.block_count; ++i) {
      if (second[i] == half) work(i);
    }
  };
  std::thread helper;
  if (!start_thread(helper, [&] { take(true); })) take(true);
  take(false);
  if (helper.joinable()) helper.join();
}

}  // namespace

BlockChecksums block_checksums(const FlashImage& image) {
  BlockChecksums crcs{};
  for_each_block_on_two_threads(image, [&](size_t i) { crcs[i] = block_checksum(image, i); });
  return crcs;
}

// The whole image's checksum from its blocks' (their bytes, as loaded, are the image's at their
// places) and the bytes between them, so that the blocks are not read twice. Blocks that
// overlap (a table nested in a block) are read again with the rest.
uint32_t image_checksum(const FlashImage& image, const BlockChecksums& crcs) {
  const std::span<const uint8_t> bytes = image_bytes(image);
  std::array<size_t, kMaxBlocks> order{};
  const size_t n = image.block_count;
  for (size_t i = 0; i < n; ++i) order[i] = i;
  std::sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(n),
            [&](size_t a, size_t b) { return block_start(image, a) < block_start(image, b); });
  for (size_t k = 1; k < n; ++k) {
    if (block_start(image, order[k]) < block_end(image, order[k - 1])) {
      return checksum_of(image.bytes, bytes);
    }
  }
  uint32_t crc = block_crc({});
  uint64_t at = 0;
  for (size_t k = 0; k < n; ++k) {
    const uint64_t start = block_start(image, order[k]);
    const uint64_t size = block_end(image, order[k]) - start;
    const auto gap = bytes.subspan(at, start - at);
    crc = block_crc_concat(crc, checksum_of(image.bytes, gap), gap.size());
    crc = block_crc_concat(crc, crcs[order[k]], size);
    at = start + size;
  }
  const auto tail = bytes.subspan(at);
  return block_crc_concat(crc, checksum_of(image.bytes, tail), tail.size());
}

namespace {

// The manifest as a document: --info's, with every entry's bytes as loaded, the image's checksum
// after the tables and each block's file last in its block.
Json manifest_document(const FlashImage& image, const BlockChecksums& crcs) {
  Json doc = info_document(info_report(image, {}, &crcs));
  Json blocks = std::move(doc["blocks"]);
  doc.erase("blocks");  // put back after the image's checksum
  doc["image_checksum"] = image_checksum(image, crcs);
  for (size_t i = 0; i < image.block_count; ++i) {
    const BlockEntry& entry = image.records[i].entry;
    blocks[i]["entry_hex"] =
        hex_text({reinterpret_cast<const char*>(entry.raw.data()), entry.raw.size()});
    blocks[i]["file"] = block_file_name(i, entry_name(entry));
    // What the file holds, for the repack's three-way merge: the checksum of its bytes.
    blocks[i]["file_checksum"] = crcs[i];
  }
  doc["blocks"] = std::move(blocks);
  return doc;
}

}  // namespace

bool manifest_text(const FlashImage& image, std::string& text) {
  try {
    text = document_text(manifest_document(image, block_checksums(image)));
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

Failure unpack_image(const FlashImage& image, const char* dir) {
  if (dir == nullptr || dir[0] == '\0') return fail(Code::dir_empty, "");
  std::vector<FolderFile> files;
  std::string manifest;
  if (!manifest_text(image, manifest)) return fail(Code::unpack_no_memory, dir);
  try {
    for (size_t i = 0; i < image.block_count; ++i) {
      files.push_back({block_file_name(i, entry_name(image.records[i].entry)),
                       block_bytes(image, i), &image.bytes});
    }
    files.push_back({std::string(kManifestName),
                     {reinterpret_cast<const uint8_t*>(manifest.data()), manifest.size()}});
  } catch (const std::bad_alloc&) {
    return fail(Code::unpack_no_memory, dir);
  }
  size_t failed = files.size();
  WriteFailure why;
  const FolderResult result = write_folder_safely(dir, files, &why, &failed);
  if (result == FolderResult::ok) return {};
  const Code code = result == FolderResult::not_empty       ? Code::dir_not_empty
                    : result == FolderResult::cannot_create ? Code::dir_cannot_create
                                                            : Code::dir_short_write;
  std::string detail = failed < files.size() ? ": " + files[failed].name : "";
  if (!why.what.empty()) detail += ": " + std::string(why.what);
  return fail(code, dir, detail, why.error);
}

namespace {

// A manifest refused; check_manifest names the folder.
Failure refuse(Code code, const char* format, ...) __attribute__((format(printf, 2, 3)));
Failure refuse(Code code, const char* format, ...) {
  char detail[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(detail, sizeof detail, format, args);
  va_end(args);
  return fail(code, "", std::string(": ") + detail);
}

// The values that record where a block lay and what its checksum was when it was unpacked. A
// repack reads the image they describe, or one that a merge made of it since: then they are
// checked against each other, not against FLASHFILE, where a merge has changed them.
bool is_placement(std::string_view key) {
  for (const std::string_view k : {"offset", "size", "start", "end", "checksum", "state", "room",
                                   "image_checksum", "file_checksum"}) {
    if (key == k) return true;
  }
  return false;
}

// Keys an earlier blkswap did not write; a manifest without them is read, but then describes
// FLASHFILE only when it is the very image it was unpacked from.
bool is_optional(std::string_view key) {
  return key == "id_hex" || key == "entry_hex" || key == "file_checksum";
}

// A value as a message shows it: a whole number also in hexadecimal, anything else as JSON.
std::string shown_value(const Json& value) {
  if (value.is_number_unsigned()) {
    const auto n = static_cast<unsigned long long>(value.get<uint64_t>());
    char text[48];
    std::snprintf(text, sizeof text, "%llu (0x%llx)", n, n);
    return text;
  }
  std::string text = value.dump(-1, ' ', true);
  if (text.size() > 60) text = text.substr(0, 57) + "...";
  return text;
}

Failure refuse_value(const char* where, const std::string& key, const Json& value,
                     const Json& wanted) {
  return refuse(Code::other_image, "%s has %s %s; FLASHFILE's is %s", where, key.c_str(),
                shown_value(value).c_str(), shown_value(wanted).c_str());
}

// An entry from its 96 hex digits, which is_entry_hex has checked.
BlockEntry entry_of_hex(const std::string& entry_hex) {
  BlockEntry entry;
  for (size_t i = 0; i < kEntrySize; ++i) {
    entry.raw[i] = static_cast<uint8_t>(std::stoi(entry_hex.substr(2 * i, 2), nullptr, 16));
  }
  return entry;
}

// An entry's bytes with the fields a merge rewrites (offset, size, checksum) cleared.
std::string without_placement(const std::string& entry_hex) {
  BlockEntry entry = entry_of_hex(entry_hex);
  set_entry_offset(entry, 0);
  set_entry_size(entry, 0);
  set_entry_checksum(entry, 0);
  return hex_text({reinterpret_cast<const char*>(entry.raw.data()), entry.raw.size()});
}

bool is_entry_hex(const Json& value) {
  if (!value.is_string()) return false;
  const std::string& text = value.get_ref<const std::string&>();
  return text.size() == 2 * kEntrySize &&
         text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// Compares one object of the manifest with the one unpack would write for FLASHFILE: the same
// keys, each value of the same kind, and every value equal but the placement ones when the
// image has changed since (`same_image` false).
Failure check_object(const Json& object, const Json& wanted, const char* where, bool same_image) {
  if (!object.is_object()) return refuse(Code::manifest_malformed, "%s is not an object", where);
  for (const auto& [key, value] : object.items()) {
    if (!wanted.contains(key)) {
      return refuse(Code::manifest_malformed,
                    "%s has the key \"%.40s\", which a repack does not read", where, key.c_str());
    }
  }
  for (const auto& [key, want] : wanted.items()) {
    const auto found = object.find(key);
    if (found == object.end()) {
      if (is_optional(key)) continue;
      return refuse(Code::manifest_malformed, "%s has no \"%s\"", where, key.c_str());
    }
    const Json& value = *found;
    if (want.is_array()) {  // the tables and the blocks, each checked on its own
      if (!value.is_array()) {
        return refuse(Code::manifest_malformed, "its \"%s\" is not a list", key.c_str());
      }
      continue;
    }
    if (want.is_number() ? !value.is_number_unsigned() : value.type() != want.type()) {
      return refuse(Code::manifest_malformed, "%s has no %s \"%s\"", where,
                    want.is_number() ? "whole-number" : "text", key.c_str());
    }
    if (key == "entry_hex" && !is_entry_hex(value)) {
      return refuse(Code::manifest_malformed, "%s's \"entry_hex\" is not 48 bytes in hex", where);
    }
    if (value == want) continue;
    if (key == "file") {
      return refuse(Code::manifest_malformed, "%s's \"file\" is not \"%s\"", where,
                    want.get_ref<const std::string&>().c_str());
    }
    // Since the unpack a merge may have changed where the blocks lie and their checksums.
    if (!same_image && is_placement(key)) continue;  // checked against each other instead
    if (!same_image && key == "entry_hex" &&
        without_placement(value.get<std::string>()) == without_placement(want.get<std::string>())) {
      continue;
    }
    return refuse_value(where, key, value, want);
  }
  return {};
}

// The placement values of a block unpacked from an earlier state of the image, checked against
// each other: its place from its table and offset, its end from its size, and its entry's bytes.
Failure check_placement(const Json& block, const char* where) {
  const BlockEntry entry = entry_of_hex(block["entry_hex"].get_ref<const std::string&>());
  const struct {
    const char* key;
    uint64_t in_entry;
  } fields[] = {{"offset", entry_offset(entry)},
                {"size", entry_size(entry)},
                {"checksum", entry_checksum(entry)}};
  for (const auto& field : fields) {
    if (block[field.key].get<uint64_t>() != field.in_entry) {
      return refuse(Code::manifest_malformed, "%s's \"%s\" is not the one in its \"entry_hex\"",
                    where, field.key);
    }
  }
  // The table is FLASHFILE's and the offset and size are the entry's: 32-bit, so no sum wraps.
  const uint64_t table = block["table"].get<uint64_t>(), offset = block["offset"].get<uint64_t>(),
                 size = block["size"].get<uint64_t>();
  if (block["start"].get<uint64_t>() != table + offset) {
    return refuse(Code::manifest_malformed, "%s's \"start\" is not its table plus its offset",
                  where);
  }
  if (block["end"].get<uint64_t>() != table + offset + size) {
    return refuse(Code::manifest_malformed, "%s's \"end\" is not its start plus its size", where);
  }
  const std::string& state = block["state"].get_ref<const std::string&>();
  const bool none = !has_checksum(entry);
  if (none ? state != "none" : state != "ok" && state != "stale") {
    return refuse(Code::manifest_malformed, "%s's \"state\" cannot be \"%.20s\"", where,
                  state.c_str());
  }
  const auto file_checksum = block.find("file_checksum");
  if (file_checksum != block.end() && file_checksum->get<uint64_t>() > UINT32_MAX) {
    return refuse(Code::manifest_malformed, "%s's \"file_checksum\" is not a 32-bit checksum",
                  where);
  }
  if (state == "ok" && file_checksum != block.end() && *file_checksum != block["checksum"]) {
    return refuse(Code::manifest_malformed,
                  "%s's \"file_checksum\" is not its \"checksum\", which is \"ok\"", where);
  }
  return {};
}

// The tables or the blocks; the blocks of an image changed since also by check_placement.
Failure check_list(const Json& list, const Json& wanted, const char* kind, bool same_image,
                   bool blocks) {
  if (list.size() != wanted.size()) {
    return refuse(Code::other_image, "the manifest lists %zu %s%s; FLASHFILE has %zu", list.size(),
                  kind, list.size() == 1 ? "" : "s", wanted.size());
  }
  for (size_t i = 0; i < list.size(); ++i) {
    char where[32];
    std::snprintf(where, sizeof where, "%s %zu", kind, i);
    Failure failure = check_object(list[i], wanted[i], where, same_image);
    if (!failure.failed() && blocks && !same_image) failure = check_placement(list[i], where);
    if (failure.failed()) return failure;
  }
  return {};
}

// Every name in DIR must be the manifest or a block's file.
Failure check_folder(const FlashImage& image, const std::string& dir) {
  std::vector<std::string> expected;
  for (size_t i = 0; i < image.block_count; ++i) {
    expected.push_back(block_file_name(i, entry_name(image.records[i].entry)));
  }
  std::vector<std::string> names;
  if (!list_directory(dir, names)) return fail(Code::manifest_unreadable, "", {}, errno);
  for (const std::string& name : names) {
    if (name == kManifestName ||
        std::find(expected.begin(), expected.end(), name) != expected.end())
      continue;
    return refuse(Code::extra_file, "%.200s", name.c_str());
  }
  return {};
}

// What each block file held when it was unpacked: the manifest's record of its size and bytes'
// checksum; for an earlier manifest without "file_checksum", the stored checksum when it was
// "ok", or FLASHFILE's block when FLASHFILE is the very image unpacked.
void record_unpacked(const FlashImage& image, const BlockChecksums& crcs, const Json& blocks,
                     bool same_image, UnpackedBlocks& unpacked) {
  for (size_t i = 0; i < image.block_count; ++i) {
    const Json& block = blocks[i];
    UnpackedBlock& base = unpacked[i];
    base.size = block["size"].get<uint64_t>();
    if (const auto file = block.find("file_checksum"); file != block.end()) {
      base = {base.size, file->get<uint32_t>(), true};
    } else if (same_image) {
      base = {entry_size(image.records[i].entry), crcs[i], true};
    } else if (block["state"] == "ok") {
      base = {base.size, block["checksum"].get<uint32_t>(), true};
    }
  }
}

Failure check_document(const FlashImage& image, const BlockChecksums& crcs, const Json& doc,
                       UnpackedBlocks* unpacked) {
  if (!doc.is_object()) return refuse(Code::manifest_malformed, "it is not a JSON object");
  const auto schema = doc.find("schema");
  if (schema == doc.end() || !schema->is_number_unsigned() ||
      schema->get<uint64_t>() != kSchemaVersion) {
    return refuse(Code::manifest_malformed, "its \"schema\" is not %d", kSchemaVersion);
  }
  const Json wanted = manifest_document(image, crcs);
  // The image it was unpacked from, or one a merge has made of it since.
  const auto checksum = doc.find("image_checksum");
  const bool same_image = checksum != doc.end() && *checksum == wanted["image_checksum"];
  Failure failure = check_object(doc, wanted, "the manifest", same_image);
  if (failure.failed()) return failure;
  // Without every entry's bytes (an earlier blkswap's manifest) only the image's checksum can
  // tell the image it was unpacked from.
  const Json& blocks = doc["blocks"];
  if (!same_image && std::any_of(blocks.begin(), blocks.end(), [](const Json& block) {
        return !block.is_object() || !block.contains("entry_hex");
      })) {
    return refuse(Code::other_image,
                  "the manifest has image_checksum %s; FLASHFILE's is %s, and without every "
                  "block's \"entry_hex\" it describes only the image it was unpacked from",
                  shown_value(doc["image_checksum"]).c_str(),
                  shown_value(wanted["image_checksum"]).c_str());
  }
  failure = check_list(doc["tables"], wanted["tables"], "table", same_image, false);
  if (!failure.failed()) failure = check_list(blocks, wanted["blocks"], "block", same_image, true);
  if (!failure.failed() && unpacked != nullptr) {
    record_unpacked(image, crcs, blocks, same_image, *unpacked);
  }
  return failure;
}

// A manifest nests objects and lists three deep ({"blocks": [{...}]}); deeper values are never
// built (a value a hundred thousand deep would take the parser's recursion with it).
constexpr int kDeepestManifestValue = 2;

// What the parse saw that the document it builds cannot show: a value nested deeper than a
// manifest's, and a key given twice in one object (the library keeps one of them silently).
struct ParseWatch {
  bool too_deep = false;
  std::string duplicate;
  std::vector<std::vector<std::string>> keys;  // of every object open, outermost first
};

Failure read_manifest_text(const FlashImage& image, const BlockChecksums& blocks,
                           std::string_view text, UnpackedBlocks* unpacked) {
  try {
    // The JSON library would end the document at a NUL byte and take nothing after it.
    if (const size_t nul = text.find('\0'); nul != std::string_view::npos) {
      return refuse(Code::manifest_malformed,
                    "it holds a NUL byte at %zu; a manifest is one JSON document and nothing else",
                    nul);
    }
    ParseWatch watch;
    const auto watcher = [&watch](int depth, Json::parse_event_t event, Json& parsed) {
      using Event = Json::parse_event_t;
      const bool opens = event == Event::object_start || event == Event::array_start;
      if (opens && depth > kDeepestManifestValue) {
        watch.too_deep = true;
        return false;  // not built
      }
      if (event == Event::object_start) watch.keys.emplace_back();
      if (event == Event::object_end && depth <= kDeepestManifestValue) watch.keys.pop_back();
      if (event == Event::key && depth <= kDeepestManifestValue + 1 && !watch.keys.empty()) {
        std::vector<std::string>& seen = watch.keys.back();
        const std::string& key = parsed.get_ref<const std::string&>();
        if (std::find(seen.begin(), seen.end(), key) != seen.end() && watch.duplicate.empty()) {
          watch.duplicate = key;
        }
        seen.push_back(key);
      }
      return true;
    };
    const Json doc = Json::parse(text.begin(), text.end(), watcher, false);
    if (doc.is_discarded()) {
      return refuse(Code::manifest_malformed, "it is not JSON, or not one JSON document alone");
    }
    if (doc.is_object() && watch.too_deep) {
      return refuse(Code::manifest_malformed,
                    "it nests lists and objects deeper than a manifest does");
    }
    if (!watch.duplicate.empty()) {
      return refuse(Code::manifest_malformed, "it has the key \"%.40s\" twice in one object",
                    watch.duplicate.c_str());
    }
    return check_document(image, blocks, doc, unpacked);
  } catch (const std::bad_alloc&) {
    return fail(Code::manifest_no_memory, "");
  }
}

Failure read_manifest(const FlashImage& image, const BlockChecksums& blocks, const char* dir,
                      UnpackedBlocks* unpacked) {
  if (dir == nullptr || dir[0] == '\0') return fail(Code::repack_dir_empty, "");
  try {
    const std::string folder = dir;
    FileContents contents;
    const std::string path = folder + "/" + std::string(kManifestName);
    switch (read_whole_file(path.c_str(), longest_manifest(image), contents, Links::refuse)) {
      case ReadResult::ok:
        break;
      case ReadResult::too_long:
        return refuse(Code::manifest_malformed, "it is %llu bytes, too long for one",
                      static_cast<unsigned long long>(contents.file_length));
      case ReadResult::no_memory:
        return fail(Code::manifest_no_memory, "");
      case ReadResult::cannot_open:
      case ReadResult::read_error:
        return fail(Code::manifest_unreadable, "", {}, contents.error);
    }
    const std::span<const uint8_t> text = contents.bytes.view;
    if (text.size() != contents.file_length) {
      return refuse(Code::manifest_unreadable, "it gave %zu of its %llu bytes", text.size(),
                    static_cast<unsigned long long>(contents.file_length));
    }
    const Failure failure = read_manifest_text(
        image, blocks, {reinterpret_cast<const char*>(text.data()), text.size()}, unpacked);
    return failure.failed() ? failure : check_folder(image, folder);
  } catch (const std::bad_alloc&) {
    return fail(Code::manifest_no_memory, "");
  }
}

}  // namespace

Failure check_manifest_text(const FlashImage& image, const BlockChecksums& blocks,
                            std::string_view text, std::string_view dir, UnpackedBlocks* unpacked) {
  Failure failure = read_manifest_text(image, blocks, text, unpacked);
  failure.argument = dir;
  return failure;
}

Failure check_manifest(const FlashImage& image, const BlockChecksums& blocks, const char* dir,
                       UnpackedBlocks* unpacked) {
  Failure failure = read_manifest(image, blocks, dir, unpacked);
  if (dir != nullptr) failure.argument = dir;
  return failure;
}

std::string_view verdict_word(Verdict verdict) {
  switch (verdict) {
    case Verdict::unchanged:
      return "unchanged";
    case Verdict::from_folder:
      return "from_folder";
    case Verdict::kept:
      return "kept";
    case Verdict::conflict:
      break;
  }
  return "conflict";
}

Failure take_changed_blocks(const FlashImage& image, const BlockChecksums& crcs,
                            const UnpackedBlocks& unpacked, const char* dir,
                            Replacements& replacements, RepackVerdicts& verdicts,
                            const MergeOptions& options) {
  verdicts = RepackVerdicts{};
  try {
    // Every file opened first (a missing one stops the repack before anything is judged), then
    // judged on two threads, each block against its file.
    std::array<FileBytes, kMaxBlocks> files;
    for (size_t i = 0; i < image.block_count; ++i) {
      const std::string file =
          std::string(dir) + "/" + block_file_name(i, entry_name(image.records[i].entry));
      Failure failure =
          read_block_file(image, i, file.c_str(), replacements, files[i], Links::refuse, options);
      // An empty file is an empty block: one that was empty at the unpack, or is in FLASHFILE.
      if (failure.code == Code::blockfile_empty &&
          (block_bytes(image, i).empty() || (unpacked[i].known && unpacked[i].size == 0))) {
        failure = {};
      }
      if (failure.failed()) return failure;
    }
    for_each_block_on_two_threads(image, [&](size_t i) {
      const std::span<const uint8_t> loaded = block_bytes(image, i), read = as_span(files[i]);
      RepackBlock& block = verdicts.blocks[i];
      block.folder_size = read.size();
      const UnpackedBlock& base = unpacked[i];
      auto is_base = [&](uint64_t size, uint32_t crc) {
        return base.known && base.size == size && base.checksum == crc;
      };
      // A file as unpacked leaves FLASHFILE's block as it is, whatever it holds: only a file
      // that changed is compared with the block, byte for byte.
      const bool base_known = base.known && base.size == read.size();
      if (base_known) block.folder_checksum = checksum_of(files[i], read);
      if (base_known && base.checksum == block.folder_checksum) {
        block.verdict = is_base(loaded.size(), crcs[i]) ? Verdict::unchanged : Verdict::kept;
      } else if (same_bytes(image.bytes, loaded, files[i], read, &block.folder_checksum)) {
        block.verdict = Verdict::unchanged;
      } else if (is_base(read.size(), block.folder_checksum)) {
        block.verdict = Verdict::kept;
      } else if (is_base(loaded.size(), crcs[i])) {
        block.verdict = Verdict::from_folder;
      } else {
        block.verdict = Verdict::conflict;
      }
    });
    for (size_t i = 0; i < image.block_count; ++i) {
      const Verdict verdict = verdicts.blocks[i].verdict;
      ++verdicts.count[static_cast<size_t>(verdict)];
      if (verdict == Verdict::from_folder && !files[i].view.empty() &&
          !replacements.add(i, std::move(files[i]))) {
        return chosen_twice(image, i, dir);
      }
    }
  } catch (const std::bad_alloc&) {
    return fail(Code::block_no_memory, dir);
  }
  return {};
}

}  // namespace blkswap
