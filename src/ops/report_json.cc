// The reports as JSON documents, for scripts: the same fields under the same names as --info.
#include "ops/json_doc.h"
#include "ops/report.h"

namespace blkswap {

bool print_image_info_json(const FlashImage& image, std::ostream& out) {
  return print_document(out, [&] { return image_info_document(image); });
}

bool print_verify_json(const FlashImage& image, std::ostream& out, size_t& stale) {
  return print_document(out, [&] {
    Json doc;
    doc["schema"] = kSchemaVersion;
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

bool print_dry_run_json(const FlashImage* image, const RebuildReport& report, int at_fault,
                        int code, std::ostream& out) {
  return print_document(out, [&] {
    Json doc;
    doc["schema"] = kSchemaVersion;
    doc["merge"] = code == 0 ? "succeeds" : "fails";
    doc["code"] = code;
    if (image == nullptr) return doc;  // the flash file did not load
    doc["length"] = image->length;
    doc["at_fault"] = at_fault == kNoBlock ? Json() : Json(at_fault);
    Json& blocks = doc["blocks"] = Json::array();
    for (size_t i = 0; i < image->block_count; ++i) {
      const BlockRecord& record = image->records[i];
      const BlockEntry& before = image->snapshot[i];
      Json block = block_identity(*image, i);
      block["offset"] = entry_offset(before);
      block["size"] = entry_size(before);
      block["new_offset"] = i < report.placed ? Json(report.offsets[i]) : Json();
      block["new_size"] = record.data.size;
      block["checksum"] = entry_checksum(before);
      block["new_checksum"] = report.composed ? Json(entry_checksum(record.entry)) : Json();
      block["state"] = checksum_state_name(checksum_state(before, loaded_block_bytes(*image, i)));
      block["replaced"] = record.replaced;
      blocks.push_back(std::move(block));
    }
    return doc;
  });
}

}  // namespace blkswap
