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
#include "ops/report.h"

namespace blkswap {

namespace {

// A manifest lists at most 64 blocks; no honest one comes near this.
constexpr uint64_t kLongestManifest = 1 << 20;

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

// The checksums cost more than the rest of an unpack but the writes, so a second thread takes
// about half of the bytes; when it cannot be started, this thread takes them all.
BlockChecksums block_checksums(const FlashImage& image) {
  BlockChecksums crcs{};
  std::array<bool, kMaxBlocks> second{};
  uint64_t load[2] = {};
  for (size_t i = 0; i < image.block_count; ++i) {
    second[i] = load[1] < load[0];
    load[second[i] ? 1 : 0] += entry_size(image.records[i].entry);
  }
  auto take = [&](bool half) {
    for (size_t i = 0; i < image.block_count; ++i) {
      if (second[i] == half) crcs[i] = block_crc(block_bytes(image, i));
    }
  };
  std::thread helper;
  try {
    helper = std::thread(take, true);
  } catch (const std::exception&) {  // no thread (system_error) or no memory for one
    take(true);
  }
  take(false);
  if (helper.joinable()) helper.join();
  return crcs;
}

// The whole image's checksum from its blocks' (their bytes, as loaded, are the image's at their
// places) and the bytes between them, so that the blocks are not read twice. Blocks that
// overlap (a table nested in a block) are read again with the rest.
uint32_t image_checksum(const FlashImage& image, const BlockChecksums& crcs) {
  const std::span<const uint8_t> bytes(image.bytes.ptr.get(), image.length);
  std::array<size_t, kMaxBlocks> order{};
  const size_t n = image.block_count;
  for (size_t i = 0; i < n; ++i) order[i] = i;
  std::sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(n),
            [&](size_t a, size_t b) { return block_start(image, a) < block_start(image, b); });
  for (size_t k = 1; k < n; ++k) {
    if (block_start(image, order[k]) < block_end(image, order[k - 1])) return block_crc(bytes);
  }
  uint32_t crc = block_crc({});
  uint64_t at = 0;
  for (size_t k = 0; k < n; ++k) {
    const uint64_t start = block_start(image, order[k]);
    const uint64_t size = block_end(image, order[k]) - start;
    const auto gap = bytes.subspan(at, start - at);
    crc = block_crc_concat(crc, block_crc(gap), gap.size());
    crc = block_crc_concat(crc, crcs[order[k]], size);
    at = start + size;
  }
  const auto tail = bytes.subspan(at);
  return block_crc_concat(crc, block_crc(tail), tail.size());
}

bool manifest_text(const FlashImage& image, std::string& text) {
  try {
    const BlockChecksums crcs = block_checksums(image);
    Json doc = image_info_document(image, {crcs.data(), image.block_count});
    Json blocks = std::move(doc["blocks"]);
    doc.erase("blocks");  // put back after the image's checksum, each with its file
    doc["image_checksum"] = image_checksum(image, crcs);
    for (size_t i = 0; i < image.block_count; ++i) {
      blocks[i]["file"] = block_file_name(i, entry_name(image.records[i].entry));
    }
    doc["blocks"] = std::move(blocks);
    text = doc.dump(2, ' ', true) + "\n";
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

UnpackCode unpack_image(const FlashImage& image, const char* dir, UnpackFailure* why) {
  UnpackFailure ignored;
  UnpackFailure& failure = why != nullptr ? *why : ignored;
  if (dir == nullptr || dir[0] == '\0') return UnpackCode::empty_name;
  std::vector<FolderFile> files;
  std::string manifest;
  if (!manifest_text(image, manifest)) return UnpackCode::no_memory;
  try {
    for (size_t i = 0; i < image.block_count; ++i) {
      files.push_back(
          {block_file_name(i, entry_name(image.records[i].entry)), block_bytes(image, i)});
    }
    files.push_back({std::string(kManifestName),
                     {reinterpret_cast<const uint8_t*>(manifest.data()), manifest.size()}});
  } catch (const std::bad_alloc&) {
    return UnpackCode::no_memory;
  }
  size_t failed = files.size();
  const FolderResult result = write_folder_safely(dir, files, &failure.write, &failed);
  if (failed < files.size()) failure.file = files[failed].name;
  switch (result) {
    case FolderResult::ok:
      return UnpackCode::ok;
    case FolderResult::not_empty:
      return UnpackCode::not_empty;
    case FolderResult::cannot_create:
      return UnpackCode::cannot_create;
    case FolderResult::short_write:
      break;
  }
  return UnpackCode::short_write;
}

namespace {

ManifestCode refuse(ManifestFailure& why, ManifestCode code, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
ManifestCode refuse(ManifestFailure& why, ManifestCode code, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vsnprintf(why.detail, sizeof why.detail, format, args);
  va_end(args);
  return code;
}

// A field the manifest must have, as a whole number; null when missing or of another kind.
const Json* number_field(const Json& object, const char* key, uint64_t& value) {
  const auto it = object.find(key);
  if (it == object.end() || !it->is_number_unsigned()) return nullptr;
  value = it->get<uint64_t>();
  return &*it;
}

const std::string* text_field(const Json& object, const char* key) {
  const auto it = object.find(key);
  return it == object.end() || !it->is_string() ? nullptr : it->get_ptr<const std::string*>();
}

const Json* array_field(const Json& object, const char* key) {
  const auto it = object.find(key);
  return it == object.end() || !it->is_array() ? nullptr : &*it;
}

// Compares one whole-number field of the manifest with the image's value.
struct FieldCheck {
  const char* key;
  uint64_t image_value;
};

ManifestCode check_fields(const Json& object, const char* where, std::span<const FieldCheck> checks,
                          ManifestFailure& why) {
  for (const FieldCheck& check : checks) {
    uint64_t value = 0;
    if (number_field(object, check.key, value) == nullptr) {
      return refuse(why, ManifestCode::malformed, "%s has no whole-number \"%s\"", where,
                    check.key);
    }
    if (value != check.image_value) {
      return refuse(why, ManifestCode::other_image,
                    "%s has %s %llu (0x%llx); FLASHFILE's is %llu (0x%llx)", where, check.key,
                    static_cast<unsigned long long>(value), static_cast<unsigned long long>(value),
                    static_cast<unsigned long long>(check.image_value),
                    static_cast<unsigned long long>(check.image_value));
    }
  }
  return ManifestCode::ok;
}

ManifestCode check_tables(const FlashImage& image, const Json& tables, ManifestFailure& why) {
  size_t t = 0;
  ManifestCode code = ManifestCode::ok;
  for_each_table(image, [&](uint32_t position, uint8_t entries) {
    if (code != ManifestCode::ok) return;
    if (t >= tables.size()) {
      code = refuse(why, ManifestCode::other_image,
                    "the manifest lists %zu tables; FLASHFILE has one more at 0x%08x", t, position);
      return;
    }
    char where[32];
    std::snprintf(where, sizeof where, "table %zu", t);
    const FieldCheck checks[] = {{"position", position}, {"entries", entries}};
    code = check_fields(tables[t++], where, checks, why);
  });
  if (code == ManifestCode::ok && t != tables.size()) {
    code = refuse(why, ManifestCode::other_image,
                  "the manifest lists %zu tables; FLASHFILE has %zu", tables.size(), t);
  }
  return code;
}

ManifestCode check_blocks(const FlashImage& image, const Json& blocks, ManifestFailure& why) {
  if (blocks.size() != image.block_count) {
    return refuse(why, ManifestCode::other_image, "the manifest lists %zu blocks; FLASHFILE has %u",
                  blocks.size(), unsigned{image.block_count});
  }
  for (size_t i = 0; i < image.block_count; ++i) {
    const BlockRecord& record = image.records[i];
    const BlockEntry& entry = record.entry;
    char where[32];
    std::snprintf(where, sizeof where, "block %zu", i);
    const FieldCheck checks[] = {
        {"index", i},
        {"table", record.table_pos},
        {"slot", record.slot},
        {"id", entry_id(entry)},
        {"offset", entry_offset(entry)},
        {"size", entry_size(entry)},
        {"checksum", entry_checksum(entry)},
    };
    const ManifestCode code = check_fields(blocks[i], where, checks, why);
    if (code != ManifestCode::ok) return code;
    const std::string_view name = entry_name(entry);
    const std::string* name_hex = text_field(blocks[i], "name_hex");
    if (name_hex == nullptr) {
      return refuse(why, ManifestCode::malformed, "%s has no text \"name_hex\"", where);
    }
    if (*name_hex != hex_text(name)) {
      return refuse(why, ManifestCode::other_image,
                    "%s has name_hex \"%.40s\"; FLASHFILE's is \"%s\"", where, name_hex->c_str(),
                    hex_text(name).c_str());
    }
    const std::string* file = text_field(blocks[i], "file");
    const std::string expected = block_file_name(i, name);
    if (file == nullptr || *file != expected) {
      return refuse(why, ManifestCode::malformed, "%s's \"file\" is not \"%s\"", where,
                    expected.c_str());
    }
  }
  return ManifestCode::ok;
}

// Every name in DIR must be the manifest or a block's file.
ManifestCode check_folder(const FlashImage& image, const std::string& dir, ManifestFailure& why) {
  std::vector<std::string> expected;
  for (size_t i = 0; i < image.block_count; ++i) {
    expected.push_back(block_file_name(i, entry_name(image.records[i].entry)));
  }
  std::vector<std::string> names;
  if (!list_directory(dir, names)) {
    why.error = errno;
    return ManifestCode::cannot_open;
  }
  for (const std::string& name : names) {
    if (name == kManifestName || std::ranges::find(expected, name) != expected.end()) continue;
    return refuse(why, ManifestCode::extra_file, "%.200s", name.c_str());
  }
  return ManifestCode::ok;
}

ManifestCode check_document(const FlashImage& image, const BlockChecksums& crcs, const Json& doc,
                            ManifestFailure& why) {
  if (!doc.is_object()) return refuse(why, ManifestCode::malformed, "it is not a JSON object");
  uint64_t schema = 0;
  if (number_field(doc, "schema", schema) == nullptr || schema != kSchemaVersion) {
    return refuse(why, ManifestCode::malformed, "its \"schema\" is not %d", kSchemaVersion);
  }
  const FieldCheck length[] = {{"length", image.length}};
  ManifestCode code = check_fields(doc, "the manifest", length, why);
  if (code != ManifestCode::ok) return code;
  const Json* tables = array_field(doc, "tables");
  const Json* blocks = array_field(doc, "blocks");
  if (tables == nullptr || blocks == nullptr) {
    return refuse(why, ManifestCode::malformed, "it has no \"tables\" or no \"blocks\" list");
  }
  if ((code = check_tables(image, *tables, why)) != ManifestCode::ok) return code;
  if ((code = check_blocks(image, *blocks, why)) != ManifestCode::ok) return code;
  const FieldCheck checksum[] = {{"image_checksum", image_checksum(image, crcs)}};
  return check_fields(doc, "the manifest", checksum, why);
}

}  // namespace

ManifestCode check_manifest_text(const FlashImage& image, const BlockChecksums& blocks,
                                 std::string_view text, ManifestFailure* why) {
  ManifestFailure ignored;
  ManifestFailure& failure = why != nullptr ? *why : ignored;
  try {
    const Json doc = Json::parse(text.begin(), text.end(), nullptr, false);
    if (doc.is_discarded()) return refuse(failure, ManifestCode::malformed, "it is not JSON");
    return check_document(image, blocks, doc, failure);
  } catch (const std::bad_alloc&) {
    return ManifestCode::no_memory;
  }
}

ManifestCode check_manifest(const FlashImage& image, const BlockChecksums& blocks, const char* dir,
                            ManifestFailure* why) {
  ManifestFailure ignored;
  ManifestFailure& failure = why != nullptr ? *why : ignored;
  if (dir == nullptr || dir[0] == '\0') return ManifestCode::empty_name;
  try {
    const std::string folder = dir;
    FileContents contents;
    const std::string path = folder + "/" + std::string(kManifestName);
    switch (read_whole_file(path.c_str(), kLongestManifest, contents)) {
      case ReadResult::ok:
        break;
      case ReadResult::too_long:
        return refuse(failure, ManifestCode::malformed, "it is %llu bytes, too long for one",
                      static_cast<unsigned long long>(contents.file_length));
      case ReadResult::no_memory:
        return ManifestCode::no_memory;
      case ReadResult::cannot_open:
      case ReadResult::read_error:
        failure.error = contents.error;
        return ManifestCode::cannot_open;
    }
    if (contents.bytes.size != contents.file_length) {
      return refuse(failure, ManifestCode::cannot_open, "it gave %zu of its %llu bytes",
                    contents.bytes.size, static_cast<unsigned long long>(contents.file_length));
    }
    const ManifestCode code = check_manifest_text(
        image, blocks,
        {reinterpret_cast<const char*>(contents.bytes.ptr.get()), contents.bytes.size}, &failure);
    return code != ManifestCode::ok ? code : check_folder(image, folder, failure);
  } catch (const std::bad_alloc&) {
    return ManifestCode::no_memory;
  }
}

ReplaceCode take_changed_blocks(const FlashImage& image, const char* dir,
                                Replacements& replacements, RepackFailure* why) {
  RepackFailure ignored;
  RepackFailure& failure = why != nullptr ? *why : ignored;
  try {
    for (size_t i = 0; i < image.block_count; ++i) {
      const std::span<const uint8_t> loaded = block_bytes(image, i);
      failure.file =
          std::string(dir) + "/" + block_file_name(i, entry_name(image.records[i].entry));
      Bytes data;
      failure.replace = ReplaceFailure{};
      const ReplaceCode code =
          read_block_file(image, i, failure.file.c_str(), replacements, data, failure.replace);
      if (code == ReplaceCode::empty_file && loaded.empty()) continue;  // an empty block
      if (code != ReplaceCode::ok) return code;
      if (std::ranges::equal(as_span(data), loaded)) continue;
      replacements.add(i, std::move(data));
    }
  } catch (const std::bad_alloc&) {
    return ReplaceCode::no_memory;
  }
  failure.file.clear();
  return ReplaceCode::ok;
}

}  // namespace blkswap
