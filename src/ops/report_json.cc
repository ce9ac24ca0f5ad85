// The reports as JSON documents, for scripts: the same fields under the same names as --info.
#include "ops/json_doc.h"
#include "ops/report.h"

namespace blkswap {

bool print_image_info_json(const FlashImage& image, std::ostream& out) {
  return print_document(out, [&] { return image_info_document(image); });
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
      block["state"] = checksum_state_name(checksum_state(before, block_bytes(*image, i)));
      block["replaced"] = planned != nullptr && planned->replaced;
      block["written_over_by"] =
          planned && planned->written_over_by >= 0 ? Json(planned->written_over_by) : Json();
      blocks.push_back(std::move(block));
    }
    doc["erased"] = byte_count(run, &MergePlan::erased);
    doc["stale"] = byte_count(run, &MergePlan::stale);
    return doc;
  });
}

}  // namespace blkswap
