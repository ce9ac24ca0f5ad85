#include "ops/report.h"

#include "image/text.h"

namespace blkswap {

ChecksumState checksum_state_of(const BlockEntry& entry, uint32_t crc) {
  if (!has_checksum(entry)) return ChecksumState::none;
  return crc == entry_checksum(entry) ? ChecksumState::ok : ChecksumState::stale;
}

std::string_view checksum_state_name(ChecksumState state) {
  constexpr std::string_view kNames[] = {"ok", "stale", "none"};
  return kNames[static_cast<size_t>(state)];
}

ChecksumCheck check_checksums(const FlashImage& image, const BlockChecksums* crcs) {
  ChecksumCheck check;
  check.crcs = crcs != nullptr ? *crcs : block_checksums(image);
  for (size_t i = 0; i < image.block_count; ++i) {
    check.state[i] = checksum_state_of(image.records[i].entry, check.crcs[i]);
    ++check.count[static_cast<size_t>(check.state[i])];
  }
  return check;
}

InfoReport info_report(const FlashImage& image, const MergeOptions& options,
                       const BlockChecksums* crcs) {
  InfoReport report{&image, check_checksums(image, crcs), {}};
  const Replacements none;
  for (size_t i = 0; i < image.block_count; ++i) {
    report.room[i] = block_room(image, none, i, options);
  }
  return report;
}

Failure conflict_failure(const FlashImage& image, const char* dir, const RepackReport& repack) {
  std::string detail = ": ";
  for (size_t i = 0; i < image.block_count; ++i) {
    const RepackBlock& block = repack.verdicts->blocks[i];
    if (block.verdict != Verdict::conflict) continue;
    const UnpackedBlock& base = (*repack.unpacked)[i];
    if (detail.size() > 2) detail += "; ";
    detail += format_text("%s is 0x%08x in the folder, 0x%08x in ", block_label(image, i).c_str(),
                          block.folder_checksum, (*repack.flashfile)[i]) +
              printable(repack.flashfile_name) +
              (base.known ? format_text(", 0x%08x when unpacked", base.checksum)
                          : ", not recorded when unpacked");
  }
  detail += "; to repack onto " + printable(repack.flashfile_name) +
            ", unpack it again and make the change there";
  return fail(Code::conflict, dir, detail);
}

ByteCount moved_blocks(const FlashImage& image, const MergePlan& plan) {
  ByteCount moved;
  for (size_t i = 0; i < image.block_count && i < plan.placed; ++i) {
    if (plan.blocks[i].offset == entry_offset(image.records[i].entry)) continue;
    if (moved.count++ == 0) moved.first = i;
  }
  return moved;
}

void complete_merge_report(MergeReport& report, const BlockChecksums* loaded) {
  if (report.image == nullptr) return;
  report.states = check_checksums(*report.image, loaded).state;
  if (report.plan == nullptr || report.checksums == nullptr) return;
  report.moved = moved_blocks(*report.image, *report.plan);
  report.warnings = merge_warnings(*report.image, *report.plan, *report.checksums);
}

std::string_view warning_word(WarningKind kind) {
  constexpr std::string_view kWords[] = {"erased", "dropped_tables", "stale_checksums"};
  return kWords[static_cast<size_t>(kind)];
}

size_t warning_count(const MergeWarnings& warnings, WarningKind kind) {
  switch (kind) {
    case WarningKind::erased:
      return warnings.erased.count;
    case WarningKind::dropped_tables:
      return warnings.dropped_tables.count;
    case WarningKind::stale_checksums:
      break;
  }
  return warnings.stale_checksums.count;
}

std::string warning_text(const FlashImage& image, const MergeWarnings& warnings, WarningKind kind) {
  const auto count = static_cast<unsigned long long>(warning_count(warnings, kind));
  const bool one = count == 1;
  switch (kind) {
    case WarningKind::erased:
      return format_text(
          "%llu %s after the table at 0x%08x %s not carried over and become%s 0xFF (%s 0x%08llx); "
          "'blkswap --dry-run' shows them",
          count, one ? "byte" : "bytes", warnings.erased_after, one ? "is" : "are", one ? "s" : "",
          one ? "at" : "the first at", static_cast<unsigned long long>(warnings.erased.first));
    case WarningKind::dropped_tables: {
      const auto first = static_cast<unsigned long long>(warnings.dropped_tables.first);
      if (one) {
        return format_text(
            "the header of the table at 0x%08llx, which lists no blocks, is not carried over",
            first);
      }
      return format_text(
          "the headers of %llu tables that list no blocks are not carried over (the first at "
          "0x%08llx)",
          count, first);
    }
    case WarningKind::stale_checksums:
      break;
  }
  const StaleChecksums& stale = warnings.stale_checksums;
  const PrintableName name = printable_name(entry_name(image.records[stale.first].entry));
  if (one) {
    return format_text(
        "block %zu (%s) had a stale checksum 0x%08x; the merged image stores its computed checksum "
        "0x%08x",
        stale.first, name.text, stale.stored, stale.written);
  }
  return format_text(
      "%llu blocks had stale checksums, the first block %zu (%s) 0x%08x; the merged image stores "
      "their computed checksums, 0x%08x for block %zu; 'blkswap --verify' names them",
      count, stale.first, name.text, stale.stored, stale.written, stale.first);
}

}  // namespace blkswap
