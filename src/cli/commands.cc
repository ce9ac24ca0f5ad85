// The commands that read images and report on them or write parts of them: the list, --info,
// --verify, --extract, --unpack and --diff.
#include "cli/commands.h"

#include "cli/invocation.h"
#include "cli/merge_run.h"
#include "platform/files.h"

namespace blkswap {

namespace {

// The option commands read standard input at most once.
bool reads_standard_input_twice(const std::vector<const char*>& inputs) {
  return std::count_if(inputs.begin(), inputs.end(),
                       [](const char* a) { return std::string_view(a) == "-"; }) > 1;
}

}  // namespace

std::unique_ptr<FlashImage> load_or_say_why(const Invocation& call, const char* file, bool hint) {
  std::unique_ptr<FlashImage> image;
  const Failure failure = load_for_output(call, file, nullptr, image);
  if (!failure.failed()) return image;
  say_failure(call, failure);
  if (hint && failure.code == Code::flashfile_unreadable) hint_if_mistyped(call.err, file);
  return nullptr;
}

int run_list(const Invocation& call) {
  const auto image = load_or_say_why(call, call.operands[0], true);
  if (!image) return kExitFailed;
  print_block_list(*image, call.out);
  return kExitOk;
}

int run_info(const Invocation& call) {
  const auto image = load_or_say_why(call, stream_or_file(call.operands[0]));
  if (!image) return kExitFailed;
  call.renderer->info(call.out, info_report(*image, options_of(call)));
  return kExitOk;
}

// Each image in turn, its bytes let go once checked; one report of them all, the status the
// worst of them.
int run_verify(const Invocation& call) {
  if (reads_standard_input_twice(call.operands)) {
    return usage_error(call, "standard input can be read only once");
  }
  VerifyReport report;
  report.labelled = call.operands.size() > 1;
  int status = kExitOk;
  for (const char* file : call.operands) {
    VerifiedImage& verified = report.images.emplace_back();
    verified.file = file;
    const Failure failure = load_for_output(call, stream_or_file(file), nullptr, verified.image);
    if (failure.failed()) {
      verified.image.reset();
      verified.failure = failure;
      verified.number = number_of(call, failure);
      call.err << "blkswap: " << failure_text(failure, report.kind, verified.number) << '\n';
      status = kExitFailed;
      continue;
    }
    verified.checksums = check_checksums(*verified.image);
    verified.image->bytes = FileBytes{};
    verified.image->windows = WindowChecksums{};
    if (verified.checksums.of(ChecksumState::stale) > 0) status = kExitFailed;
  }
  call.renderer->verify(call.out, report);
  return status;
}

int run_extract(const Invocation& call) {
  const char* flashfile = stream_or_file(call.operands[0]);
  const char* blockname = call.operands[1];
  const char* outfile = stream_or_file(call.operands[2]);
  if (outfile == kStandardStream && call.renderer != &kTextRenderer) {
    return usage_error(call, "the document and OUTFILE - cannot both go to standard output");
  }
  const auto image = load_or_say_why(call, flashfile);
  if (!image) return kExitFailed;
  Failure failure;
  size_t index = 0;
  // The merge may write over its flash file, which it has read whole; a block written over
  // the image it comes from would leave one block where the image was.
  if (outfile != kStandardStream && outfile[0] != '\0' && names_the_flash_file(*image, outfile)) {
    failure = fail(Code::outfile_is_flashfile, outfile);
  } else if (blockname[0] == '\0') {
    failure = fail(Code::extract_blockname_empty, "");
  } else if (outfile[0] == '\0') {
    failure = fail(Code::outfile_empty, "");
  } else {
    failure = choose_block(*image, blockname, choice_of(call), Code::extract_no_match, index);
  }
  if (!failure.failed()) failure = extract_block(*image, index, outfile);
  if (failure.failed()) return say_failure(call, failure);
  *call.wrote = outfile != kStandardStream;
  call.renderer->written(call.out,
                         {image.get(), outfile == kStandardStream ? "standard output" : outfile,
                          static_cast<int>(index)});
  return kExitOk;
}

int run_unpack(const Invocation& call) {
  const auto image = load_or_say_why(call, stream_or_file(call.operands[0]));
  if (!image) return kExitFailed;
  const char* dir = call.operands[1];
  if (Failure failure = unpack_image(*image, dir); failure.failed()) {
    return say_failure(call, failure);
  }
  *call.wrote = true;
  call.renderer->written(call.out, {image.get(), dir, -1});
  return kExitOk;
}

int run_diff(const Invocation& call) {
  if (reads_standard_input_twice(call.operands)) {
    return usage_error(call, "standard input can be read only once");
  }
  std::unique_ptr<FlashImage> images[2];
  for (size_t k = 0; k < 2; ++k) {
    images[k] = load_or_say_why(call, stream_or_file(call.operands[k]));
    if (!images[k]) return kExitFailed;
  }
  DiffReport report{images[0].get(), images[1].get(), {}};
  compare_images(*images[0], *images[1], report.comparison);
  call.renderer->diff(call.out, report);
  return report.comparison.identical ? kExitOk : kExitFailed;
}

}  // namespace blkswap
