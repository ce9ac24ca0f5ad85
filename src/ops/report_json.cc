// The reports as JSON documents, for scripts: the same fields under the same names as --info.
#include <sstream>

#include "ops/json_doc.h"
#include "ops/report.h"

namespace blkswap {

bool print_image_info_json(const FlashImage& image, std::ostream& out,
                           const MergeOptions& options) {
  return print_document(out, [&] {
    const BlockChecksums crcs = block_checksums(image);
    return image_info_document(image, {crcs.data(), image.block_count}, options);
  });
}

namespace {

Json error_json(const ErrorNote& error) {
  return Json{{"step", error.step}, {"code", error.code}, {"message", error.message}};
}

}  // namespace

bool print_error_json(std::ostream& out, const ErrorNote& error, const char* file) {
  return print_document(out, [&] {
    Json doc;
    doc["schema"] = kSchemaVersion;
    if (file != nullptr) doc["file"] = name_text(file);
    doc["error"] = error_json(error);
    return doc;
  });
}

bool print_verify_json(const FlashImage& image, std::ostream& out, size_t& stale,
                       const char* file) {
  return print_document(out, [&] {
    Json doc;
    doc["schema"] = kSchemaVersion;
    if (file != nullptr) doc["file"] = name_text(file);
    doc["length"] = image.length;
    Json& blocks = doc["blocks"] = Json::array();
    const ChecksumReport report = check_every_checksum(image);
    for (size_t i = 0; i < image.block_count; ++i) {
      Json block = block_identity(image, i);
      block["checksum"] = entry_checksum(image.records[i].entry);
      block["computed"] =
          report.state[i] == ChecksumState::none ? Json() : Json(report.computed[i]);
      block["state"] = checksum_state_name(report.state[i]);
      blocks.push_back(std::move(block));
    }
    stale = report.of(ChecksumState::stale);
    for (const ChecksumState state :
         {ChecksumState::ok, ChecksumState::stale, ChecksumState::none}) {
      doc[std::string(checksum_state_name(state))] = report.of(state);
    }
    return doc;
  });
}

namespace {

Json byte_count(const DryRun& run, const ByteCount MergePlan::*which) {
  if (run.plan == nullptr || run.composed == nullptr) return Json();
  const ByteCount& bytes = run.plan->*which;
  return Json{{"count", bytes.count}, {"first", bytes.count > 0 ? Json(bytes.first) : Json()}};
}

}  // namespace

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
    std::ostringstream message;
    put_warning(message, image, warnings, kind);
    item["message"] = message.str();
    list.push_back(std::move(item));
  }
  return list;
}

namespace {

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
                          {"unpacked_checksum", base.known ? Json(base.checksum) : Json()}});
  }
  for (const Verdict verdict :
       {Verdict::from_folder, Verdict::kept, Verdict::unchanged, Verdict::conflict}) {
    doc[std::string(verdict_word(verdict))] = repack.verdicts->of(verdict);
  }
  return doc;
}

}  // namespace

bool print_dry_run_json(const FlashImage* image, const DryRun& run, int code, std::ostream& out,
                        const ErrorNote* error) {
  return print_document(out, [&] {
    Json doc;
    doc["schema"] = kSchemaVersion;
    doc["merge"] = code == 0 ? "succeeds" : "fails";
    doc["code"] = code;
    if (error != nullptr) doc["error"] = error_json(*error);
    if (image == nullptr) return doc;  // the flash file did not load
    const MergePlan* plan = run.plan;
    doc["length"] = image->length;
    doc["at_fault"] = run.at_fault == kNoBlock ? Json() : Json(run.at_fault);
    Json& blocks = doc["blocks"] = Json::array();
    for (size_t i = 0; i < image->block_count; ++i) {
      const BlockEntry& before = image->records[i].entry;
      const PlannedBlock* planned = plan != nullptr ? &plan->blocks[i] : nullptr;
      Json block = block_identity(*image, i);
      block["offset"] = entry_offset(before);
      block["size"] = entry_size(before);
      block["new_offset"] = planned && i < plan->placed ? Json(planned->offset) : Json();
      block["new_size"] = planned ? Json(planned->size) : Json();
      block["checksum"] = entry_checksum(before);
      block["new_checksum"] = run.composed ? Json(run.composed->checksums[i]) : Json();
      block["state"] = checksum_state_name(checksum_state(*image, i));
      block["replaced"] = planned != nullptr && planned->replaced;
      block["written_over_by"] =
          planned && planned->written_over_by >= 0 ? Json(planned->written_over_by) : Json();
      blocks.push_back(std::move(block));
    }
    if (run.plan != nullptr && run.composed != nullptr) {
      const ByteCount moved = moved_blocks(*image, *run.plan);
      doc["moved"] =
          Json{{"count", moved.count}, {"first", moved.count > 0 ? Json(moved.first) : Json()}};
    } else {
      doc["moved"] = Json();
    }
    doc["erased"] = byte_count(run, &MergePlan::erased);
    doc["stale"] = byte_count(run, &MergePlan::stale);
    doc["warnings"] = run.warnings != nullptr ? warnings_json(*image, *run.warnings) : Json();
    if (run.repack != nullptr) doc["repack"] = repack_json(*image, *run.repack);
    return doc;
  });
}

}  // namespace blkswap
