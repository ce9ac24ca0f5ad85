// The renderings of the reports: one Renderer per output format, each in a file of its own
// (render_text.cc, render_json.cc, render_svg.cc). A renderer writes a report value of report.h
// in its format on one stream; a report it does not render is null.
#pragma once

#include <ostream>
#include <string_view>

#include "image/failure.h"
#include "ops/report.h"

namespace blkswap {

struct Renderer {
  std::string_view name;  // "text", "json", "svg"
  void (*info)(std::ostream& out, const InfoReport& report);
  void (*verify)(std::ostream& out, const VerifyReport& report);
  void (*merge)(std::ostream& out, const MergeReport& report);
  void (*diff)(std::ostream& out, const DiffReport& report);
  void (*written)(std::ostream& out, const WrittenReport& report);
  // A command that failed before it had a report to give: what standard output carries (the
  // message itself goes to standard error); `kind` and `number` as failure_text takes them,
  // `file` the image it failed on when a command reads several (else empty).
  void (*failure)(std::ostream& out, const Failure& failure, std::string_view kind, int number,
                  std::string_view file);
};

extern const Renderer kTextRenderer;
extern const Renderer kJsonRenderer;
extern const Renderer kSvgRenderer;

// A failure as every rendering says it: "MESSAGE (KIND error N)", KIND saying whose codes the
// number is (the list's, the merge's, ...).
std::string failure_text(const Failure& failure, std::string_view kind, int number);

// A position or size as every report shows it ("0x00030000"), and a block's name made printable.
std::string hex_field(uint64_t value);
std::string name_of(const FlashImage& image, size_t i);

// "id:0x%x name:%s\n" for each block, in block order, the name as its raw bytes.
void print_block_list(const FlashImage& image, std::ostream& out);

}  // namespace blkswap
