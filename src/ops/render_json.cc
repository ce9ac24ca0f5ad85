// The reports as JSON documents for scripts (schema 1): numbers in bytes, every block named by
// the same fields in every document.
#include <cstdio>

#include "ops/json_doc.h"
#include "ops/render.h"

namespace blkswap {

std::string name_text(std::string_view bytes) {
  std::string text;
  for (const char c : bytes) {
    const auto byte = static_cast<uint8_t>(c);
    if (byte < 0x80) {
      text.push_back(c);
    } else {
      text.push_back(static_cast<char>(0xC0 | byte >> 6));
      text.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
    }
  }
  return text;
}

std::string hex_text(std::string_view bytes) {
  constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (const char c : bytes) {
    const auto byte = static_cast<uint8_t>(c);
    text.push_back(kDigits[byte >> 4]);
    text.push_back(kDigits[byte & 0xF]);
  }
  return text;
}

Json block_identity(const FlashImage& image, size_t index) {
  const BlockRecord& record = image.records[index];
  const std::string_view name = entry_name(record.entry);
  char id_hex[8];
  // Scripts that hand an id back as BLOCKNAME need it as BLOCKNAME reads it: hexadecimal.
  std::snprintf(id_hex, sizeof id_hex, "0x%02x", entry_id(record.entry));
  return Json{{"index", index},
              {"table", record.table_pos},
              {"slot", record.slot},
              {"id", entry_id(record.entry)},
              {"id_hex", id_hex},
              {"name", name_text(name)},
              {"name_hex", hex_text(name)}};
}

Json info_document(const InfoReport& report) {
  const FlashImage& image = *report.image;
  Json doc{{"schema", kSchemaVersion}, {"length", image.length}};
  Json& tables = doc["tables"] = Json::array();
  for_each_table(image, [&](uint32_t position, uint8_t entries) {
    tables.push_back(Json{{"position", position}, {"entries", entries}});
  });
  Json& blocks = doc["blocks"] = Json::array();
  for (size_t i = 0; i < image.block_count; ++i) {
    const BlockEntry& entry = image.records[i].entry;
    Json block = block_identity(image, i);
    block["offset"] = entry_offset(entry);
    block["size"] = entry_size(entry);
    block["start"] = block_start(image, i);
    block["end"] = block_end(image, i);
    block["checksum"] = entry_checksum(entry);
    block["state"] = checksum_state_name(report.checksums.state[i]);
    block["room"] = report.room[i];
    blocks.push_back(std::move(block));
  }
  return doc;
}

std::string document_text(const Json& doc) {
  return doc.dump(2, ' ', true, Json::error_handler_t::replace) + "\n";
}

namespace {

void print(std::ostream& out, const Json& doc) {
  out << document_text(doc);
}

Json error_json(const Failure& failure, std::string_view kind, int number) {
  return Json{{"step", step_word(row_of(failure.code).step)},
              {"code", number},
              {"message", failure_text(failure, kind, number)}};
}

Json maybe(bool known, uint64_t value) {
  return known ? Json(value) : Json();
}

void render_info(std::ostream& out, const InfoReport& report) {
  print(out, info_document(report));
}

Json verify_document(const VerifiedImage& verified, bool labelled, std::string_view kind) {
  Json doc{{"schema", kSchemaVersion}};
  if (labelled) doc["file"] = name_text(verified.file);
  if (!verified.image) {
    doc["error"] = error_json(verified.failure, kind, verified.number);
    return doc;
  }
  const FlashImage& image = *verified.image;
  const ChecksumCheck& check = verified.checksums;
  doc["length"] = image.length;
  Json& blocks = doc["blocks"] = Json::array();
  for (size_t i = 0; i < image.block_count; ++i) {
    Json block = block_identity(image, i);
    block["checksum"] = entry_checksum(image.records[i].entry);
    block["computed"] = maybe(check.state[i] != ChecksumState::none, check.crcs[i]);
    block["state"] = checksum_state_name(check.state[i]);
    blocks.push_back(std::move(block));
  }
  for (const ChecksumState state : {ChecksumState::ok, ChecksumState::stale, ChecksumState::none}) {
    doc[std::string(checksum_state_name(state))] = check.of(state);
  }
  return doc;
}

// One image: its document. Several: one document holding each image's, in the order given.
void render_verify(std::ostream& out, const VerifyReport& report) {
  if (!report.labelled && report.images.size() == 1) {
    print(out, verify_document(report.images[0], false, report.kind));
    return;
  }
  Json doc{{"schema", kSchemaVersion}, {"images", Json::array()}};
  for (const VerifiedImage& verified : report.images) {
    Json one = verify_document(verified, true, report.kind);
    one.erase("schema");
    doc["images"].push_back(std::move(one));
  }
  print(out, doc);
}

Json byte_count(bool known, const ByteCount& bytes) {
  if (!known) return Json();
  return Json{{"count", bytes.count}, {"first", maybe(bytes.count > 0, bytes.first)}};
}

Json warnings_json(const FlashImage& image, const MergeWarnings& warnings) {
  Json list = Json::array();
  for (const WarningKind kind : kWarningKinds) {
    const size_t count = warning_count(warnings, kind);
    if (count == 0) continue;
    Json item{{"kind", warning_word(kind)}, {"count", count}};
    switch (kind) {
      case WarningKind::erased:
        item["first"] = warnings.erased.first;
        item["after_table"] = warnings.erased_after;
        break;
      case WarningKind::dropped_tables:
        item["first"] = warnings.dropped_tables.first;
        break;
      case WarningKind::stale_checksums:
        item["first"] = warnings.stale_checksums.first;
        item["stored"] = warnings.stale_checksums.stored;
        item["written"] = warnings.stale_checksums.written;
        break;
    }
    item["message"] = warning_text(image, warnings, kind);
    list.push_back(std::move(item));
  }
  return list;
}

Json repack_json(const FlashImage& image, const RepackReport& repack) {
  Json doc;
  Json& blocks = doc["blocks"] = Json::array();
  for (size_t i = 0; i < image.block_count; ++i) {
    const UnpackedBlock& base = (*repack.unpacked)[i];
    const RepackBlock& block = repack.verdicts->blocks[i];
    blocks.push_back(Json{{"index", i},
                          {"verdict", verdict_word(block.verdict)},
                          {"folder_checksum", block.folder_checksum},
                          {"flashfile_checksum", (*repack.flashfile)[i]},
                          {"unpacked_checksum", maybe(base.known, base.checksum)}});
  }
  for (const Verdict verdict :
       {Verdict::from_folder, Verdict::kept, Verdict::unchanged, Verdict::conflict}) {
    doc[std::string(verdict_word(verdict))] = repack.verdicts->of(verdict);
  }
  return doc;
}

// A dry run's document, or a merge's result: schema, (the file written), "merge" ("succeeds" or
// "fails" for a rehearsal, "written"), the code (0 on success) and the error; then, when the
// image loaded, every block as loaded and as merged, what moves, is erased and left stale, and
// the warnings.
void render_merge(std::ostream& out, const MergeReport& report) {
  const bool failed = report.failure.failed();
  const int number = failed ? code_number(report.failure.code) : 0;
  Json doc{{"schema", kSchemaVersion}};
  if (!report.output.empty()) doc["output"] = name_text(report.output);
  doc["merge"] = failed ? "fails" : report.output.empty() ? "succeeds" : "written";
  doc["code"] = number;
  if (failed) doc["error"] = error_json(report.failure, report.kind, number);
  if (report.image != nullptr) {
    const FlashImage& image = *report.image;
    const MergePlan* plan = report.plan;
    const bool whole = plan != nullptr && report.checksums != nullptr;
    doc["length"] = image.length;
    doc["at_fault"] = report.failure.block >= 0 ? Json(report.failure.block) : Json();
    Json& blocks = doc["blocks"] = Json::array();
    for (size_t i = 0; i < image.block_count; ++i) {
      const BlockEntry& before = image.records[i].entry;
      const PlannedBlock* planned = plan != nullptr ? &plan->blocks[i] : nullptr;
      Json block = block_identity(image, i);
      block["offset"] = entry_offset(before);
      block["size"] = entry_size(before);
      block["new_offset"] = planned && i < plan->placed ? Json(planned->offset) : Json();
      block["new_size"] = planned ? Json(planned->size) : Json();
      block["checksum"] = entry_checksum(before);
      block["new_checksum"] = whole ? Json((*report.checksums)[i]) : Json();
      block["state"] = checksum_state_name(report.states[i]);
      block["replaced"] = planned != nullptr && planned->replaced;
      block["written_over_by"] =
          planned && planned->written_over_by >= 0 ? Json(planned->written_over_by) : Json();
      blocks.push_back(std::move(block));
    }
    doc["moved"] = byte_count(whole, report.moved);
    doc["erased"] = byte_count(whole, whole ? plan->erased : ByteCount{});
    doc["stale"] = byte_count(whole, whole ? plan->stale : ByteCount{});
    doc["warnings"] = whole ? warnings_json(image, report.warnings) : Json();
    if (report.repack != nullptr) doc["repack"] = repack_json(image, *report.repack);
  }
  print(out, doc);
}

Json side_of_block(const FlashImage& image, int index) {
  if (index < 0) return Json();
  const auto i = static_cast<size_t>(index);
  const BlockEntry& entry = image.records[i].entry;
  Json side = block_identity(image, i);
  side.erase("table");  // the pair's own fields
  side.erase("slot");
  side["offset"] = entry_offset(entry);
  side["size"] = entry_size(entry);
  side["checksum"] = entry_checksum(entry);
  return side;
}

Json side_value(int64_t value, int64_t none) {
  return value == none ? Json() : Json(value);
}

Json differences_json(const ByteDifferences& d) {
  Json ranges = Json::array();
  for (size_t r = 0; r < d.shown; ++r) {
    ranges.push_back(Json{{"offset", d.ranges[r].start}, {"length", d.ranges[r].size}});
  }
  return Json{{"count", d.count}, {"ranges", std::move(ranges)}, {"more_ranges", d.runs - d.shown}};
}

void render_diff(std::ostream& out, const DiffReport& report) {
  const FlashImage& a = *report.a;
  const FlashImage& b = *report.b;
  const ImageComparison& cmp = report.comparison;
  Json doc{{"schema", kSchemaVersion},
           {"identical", cmp.identical},
           {"length", Json{{"a", a.length}, {"b", b.length}}}};
  Json& tables = doc["tables"] = Json::array();
  for (const TablePair& t : cmp.tables) {
    tables.push_back(Json{
        {"position", t.position_a != kNoTable ? t.position_a : t.position_b},
        {"entries", Json{{"a", side_value(t.entries_a, -1)}, {"b", side_value(t.entries_b, -1)}}},
        {"header_differs", t.header_differs},
        {"moved_to", t.moved() ? Json(t.position_b) : Json()}});
  }
  Json& blocks = doc["blocks"] = Json::array();
  static constexpr std::pair<DiffField, const char*> kFields[] = {
      {kDiffId, "id"},     {kDiffName, "name"},         {kDiffOffset, "offset"},
      {kDiffSize, "size"}, {kDiffChecksum, "checksum"}, {kDiffOther, "other"}};
  for (const BlockPair& pair : cmp.blocks) {
    Json fields = Json::array();
    for (const auto& [field, name] : kFields) {
      if ((pair.fields & field) != 0) fields.push_back(name);
    }
    const BlockRecord& first = pair.a >= 0 ? a.records[pair.a] : b.records[pair.b];
    Json item{{"table", first.table_pos}, {"slot", first.slot}};
    if (pair.a >= 0 && pair.b >= 0) {
      item["table_b"] = b.records[pair.b].table_pos;
      item["slot_b"] = b.records[pair.b].slot;
    }
    item["a"] = side_of_block(a, pair.a);
    item["b"] = side_of_block(b, pair.b);
    item["differ"] = std::move(fields);
    item["bytes_differ"] = pair.bytes.count > 0;
    item["bytes"] = differences_json(pair.bytes);
    blocks.push_back(std::move(item));
  }
  const ByteDifferences& outside = cmp.outside;
  doc["outside"] = differences_json(outside);
  doc["outside"]["bytes_differ"] = outside.count;
  doc["outside"]["first"] = maybe(outside.count > 0, outside.ranges[0].start);
  print(out, doc);
}

void render_written(std::ostream& out, const WrittenReport& report) {
  const FlashImage& image = *report.image;
  Json doc{{"schema", kSchemaVersion}, {"output", name_text(report.output)}};
  auto placed = [&](size_t i) {
    Json block = block_identity(image, i);
    block["offset"] = entry_offset(image.records[i].entry);
    block["size"] = entry_size(image.records[i].entry);
    block["start"] = block_start(image, i);
    block["end"] = block_end(image, i);
    return block;
  };
  if (report.block >= 0) {
    doc["block"] = placed(static_cast<size_t>(report.block));
  } else {
    Json& blocks = doc["blocks"] = Json::array();
    for (size_t i = 0; i < image.block_count; ++i) {
      Json block = placed(i);
      block["file"] = block_file_name(i, entry_name(image.records[i].entry));
      blocks.push_back(std::move(block));
    }
    doc["manifest"] = kManifestName;
  }
  print(out, doc);
}

void render_failure(std::ostream& out, const Failure& failure, std::string_view kind, int number,
                    std::string_view file) {
  Json doc{{"schema", kSchemaVersion}};
  if (!file.empty()) doc["file"] = name_text(file);
  doc["error"] = error_json(failure, kind, number);
  print(out, doc);
}

}  // namespace

const Renderer kJsonRenderer = {"json",      render_info,    render_verify, render_merge,
                                render_diff, render_written, render_failure};

}  // namespace blkswap
