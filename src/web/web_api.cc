#include "web/web_api.h"

#include <memory>
#include <new>
#include <sstream>
#include <string>

#include "image/crc.h"
#include "image/load.h"
#include "ops/merge.h"
#include "ops/render.h"
#include "ops/replace.h"
#include "ops/report.h"

namespace blkswap {

namespace {

// What the page has open: one image (its blocks' checksums taken once, when it was opened), the
// blocks chosen for it, and the last call's results.
struct Session {
  std::unique_ptr<FlashImage> image;
  BlockChecksums loaded{};
  Replacements replacements;
  std::string document;
  std::string picture;
  Bytes bytes;
};

Session& session() {
  static Session* const the_session = new Session;
  return *the_session;
}

// Bytes the page filled, taken over: web_alloc made them with new[].
Bytes taken(uint8_t* bytes, size_t length) {
  Bytes owned;
  owned.ptr.reset(bytes);
  owned.size = bytes != nullptr ? length : 0;
  return owned;
}

void clear_results() {
  Session& s = session();
  s.document.clear();
  s.picture.clear();
  s.bytes = Bytes{};
}

template <typename Render>
std::string rendered(Render render) {
  std::ostringstream out;
  render(out);
  return out.str();
}

// A failure's document, as the command `kind` numbers it; returns its number.
int failed(const Failure& failure, std::string_view kind, bool list_numbers = false) {
  const int number = code_number(failure.code, list_numbers);
  session().document =
      rendered([&](std::ostream& out) { kJsonRenderer.failure(out, failure, kind, number, {}); });
  return number;
}

Failure no_image() {
  return fail(Code::flashfile_empty, "");
}

// The merge of the chosen blocks, planned and composed in memory: its document (and for a
// rehearsal its picture) as the results, and for a merge its bytes.
int merge_chosen(bool keep_offsets, bool rehearsal) {
  clear_results();
  Session& s = session();
  if (!s.image) return failed(no_image(), "merge");
  MergePlan plan;
  Composed composed;
  MergeReport report;
  report.image = s.image.get();
  report.plan = &plan;
  const MergeOptions options{.keep_offsets = keep_offsets};
  report.failure = plan_merge(*s.image, s.replacements, plan, options, &s.loaded)
                       ? compose(*s.image, plan, composed)
                       : refusal_failure(*s.image, plan.refusal);
  if (!report.failure.failed()) report.checksums = &composed.checksums;
  complete_merge_report(report, &s.loaded);
  if (report.failure.failed() && !rehearsal) return failed(report.failure, "merge");
  if (!rehearsal) report.output = s.image->name;
  s.document = rendered([&](std::ostream& out) { kJsonRenderer.merge(out, report); });
  if (rehearsal) {
    s.picture = rendered([&](std::ostream& out) { kSvgRenderer.merge(out, report); });
    return report.failure.failed() ? code_number(report.failure.code) : 0;
  }
  s.bytes = std::move(composed.bytes);
  return 0;
}

}  // namespace

}  // namespace blkswap

using namespace blkswap;

uint8_t* web_alloc(size_t length) {
  return new (std::nothrow) uint8_t[length == 0 ? 1 : length];
}

void web_free(uint8_t* bytes) {
  delete[] bytes;
}

int web_open(uint8_t* bytes, size_t length, const char* name) {
  build_crc_table();
  clear_results();
  Session& s = session();
  s.replacements = Replacements{};
  s.image = allocate_flash_image();
  if (!s.image) {
    delete[] bytes;
    return failed(fail(Code::image_no_memory, name), "list", true);
  }
  const Failure failure = load_image_bytes(*s.image, taken(bytes, length), name);
  if (failure.failed()) {
    s.image.reset();
    return failed(failure, "list", true);
  }
  s.loaded = block_checksums(*s.image);
  const InfoReport info = info_report(*s.image, {}, &s.loaded);
  s.document = rendered([&](std::ostream& out) { kJsonRenderer.info(out, info); });
  s.picture = rendered([&](std::ostream& out) { kSvgRenderer.info(out, info); });
  return 0;
}

int web_choose(size_t index, uint8_t* bytes, size_t length, const char* name) {
  clear_results();
  Session& s = session();
  Bytes owned = taken(bytes, length);
  if (!s.image) return failed(no_image(), "merge");
  if (index >= s.image->block_count) {
    return failed(choose_block(*s.image, std::to_string(index).c_str(), BlockChoice::index,
                               Code::no_match, index),
                  "merge");
  }
  if (s.replacements.find(index) != nullptr) {
    return failed(chosen_twice(*s.image, index, name), "merge");
  }
  // As a block file read from disk: refused from its length when it cannot fit anywhere.
  const Failure refused = length_refusal(*s.image, index, name, owned.size, false, s.replacements);
  if (refused.failed()) return failed(refused, "merge");
  if (!s.replacements.add(index, held_bytes(std::move(owned)))) {
    return failed(chosen_twice(*s.image, index, name), "merge");
  }
  return 0;
}

void web_forget_choices() {
  session().replacements = Replacements{};
}

int web_dry_run(int keep_offsets) {
  return merge_chosen(keep_offsets != 0, true);
}

int web_merge(int keep_offsets) {
  return merge_chosen(keep_offsets != 0, false);
}

int web_extract(size_t index) {
  clear_results();
  Session& s = session();
  if (!s.image) return failed(no_image(), "extract");
  if (index >= s.image->block_count) {
    return failed(choose_block(*s.image, std::to_string(index).c_str(), BlockChoice::index,
                               Code::extract_no_match, index),
                  "extract");
  }
  const auto block = block_bytes(*s.image, index);
  if (!allocate_bytes(s.bytes, block.size())) {
    return failed(fail(Code::block_no_memory, s.image->name), "extract");
  }
  std::copy(block.begin(), block.end(), s.bytes.ptr.get());
  return 0;
}

int web_verify() {
  clear_results();
  Session& s = session();
  if (!s.image) return failed(no_image(), "list", true);
  VerifyReport report;
  VerifiedImage& verified = report.images.emplace_back();
  verified.file = s.image->name;
  verified.checksums = check_checksums(*s.image, &s.loaded);
  // The report holds an image of its own: the records, not the bytes.
  verified.image = allocate_flash_image();
  if (!verified.image) return failed(fail(Code::image_no_memory, s.image->name), "list", true);
  verified.image->records = s.image->records;
  verified.image->block_count = s.image->block_count;
  verified.image->length = s.image->length;
  s.document = rendered([&](std::ostream& out) { kJsonRenderer.verify(out, report); });
  return verified.checksums.of(ChecksumState::stale) > 0 ? 1 : 0;
}

const char* web_document() {
  return session().document.c_str();
}

const char* web_picture() {
  return session().picture.c_str();
}

const uint8_t* web_bytes() {
  return session().bytes.ptr.get();
}

size_t web_bytes_length() {
  return session().bytes.size;
}
