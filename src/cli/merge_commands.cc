// The commands that merge or rehearse a merge: the four-argument merge, --merge, --dry-run and
// --repack, all through one run of load, replace, plan and write (or compose).
#include "cli/commands.h"
#include "cli/merge_run.h"
#include "platform/files.h"

namespace blkswap {

const char* stream_or_file(const char* operand) {
  return std::string_view(operand) == "-" ? kStandardStream : operand;
}

BlockChoice choice_of(const Invocation& call) {
  if (call.has(kFlagIndex)) return BlockChoice::index;
  return call.has(kFlagSlot) ? BlockChoice::slot : BlockChoice::name_or_id;
}

MergeOptions options_of(const Invocation& call) {
  return {.keep_offsets = call.has(kFlagKeepOffsets)};
}

Failure load_for_output(const Invocation& call, const char* flashfile, const char* wfile,
                        std::unique_ptr<FlashImage>& image, DraftPtr* draft) {
  expect_changed_size(call, flashfile, Code::flashfile_unreadable);
  image = allocate_flash_image();
  if (!image) return fail(Code::image_no_memory, flashfile);
  FileContents contents;
  if (Failure read = read_image_file(flashfile, contents); read.failed()) return read;
  if (draft != nullptr && wfile != nullptr && wfile[0] != '\0') {
    *draft = start_draft(wfile, contents.bytes);
  }
  return load_image_contents(*image, std::move(contents), flashfile);
}

Failure take_pairs(const Invocation& call, MergeRun& run, std::span<const char* const> pairs) {
  for (size_t k = 0; k + 1 < pairs.size(); k += 2) {
    expect_changed_size(call, pairs[k + 1], Code::blockfile_short);
    Failure failure = replace_block(*run.image, pairs[k], pairs[k + 1], run.replacements,
                                    choice_of(call), run.options);
    if (failure.failed()) return failure;
  }
  return {};
}

namespace {

// The checksums of the blocks as loaded are taken on two threads, before the plan needs them.
Failure plan(MergeRun& run) {
  if (!run.loaded_checksums) run.loaded_checksums = block_checksums(*run.image);
  run.planned = true;
  run.report.image = run.image.get();
  run.report.plan = &run.plan;
  if (plan_merge(*run.image, run.replacements, run.plan, run.options, &*run.loaded_checksums)) {
    return {};
  }
  return refusal_failure(*run.image, run.plan.refusal);
}

// What a rehearsal found, in the command's format; why it would fail on standard error too.
int finish_rehearsal(const Invocation& call, const MergeReport& report) {
  call.renderer->merge(call.out, report);
  if (!report.failure.failed()) return kExitOk;
  call.err << "blkswap: "
           << failure_text(report.failure, report.kind, code_number(report.failure.code)) << '\n';
  return kExitFailed;
}

// The option commands' "-" as WFILE: standard output, unless that is a terminal, which no image
// is for, or the command's document goes there.
bool take_output(const Invocation& call, const char*& wfile, int& status) {
  if (std::string_view(wfile) != "-") return true;
  if (standard_output_is_terminal()) {
    status = usage_error(call,
                         "WFILE - is standard output, which is a terminal; redirect it to a file "
                         "or a pipe");
    return false;
  }
  if (call.renderer != &kTextRenderer) {
    status = usage_error(call, "the document and WFILE - cannot both go to standard output");
    return false;
  }
  wfile = kStandardStream;
  return true;
}

// FLASHFILE, then BLOCKNAME BLOCKFILE pairs up to `pairs_end`: the flash file and the block files
// as inputs. False when more than one of them is standard input.
bool take_merge_inputs(std::vector<const char*>& operands, size_t pairs_end) {
  size_t dashes = 0;
  for (size_t k = 0; k < pairs_end; k += 2) {
    dashes += std::string_view(operands[k]) == "-";
    operands[k] = stream_or_file(operands[k]);
  }
  return dashes <= 1;
}

// After a merge written whole: what it changed unasked on standard error, and its result in the
// command's format (a repack's summary in text) where the image itself does not go.
int finish_written(const Invocation& call, MergeRun& run, const char* wfile) {
  *call.wrote = wfile != kStandardStream;
  say_warnings(call, run.report);
  call.renderer->merge(wfile == kStandardStream ? call.err : call.out, run.report);
  return kExitOk;
}

// The merge of one or more pairs: FLASHFILE, then BLOCKNAME BLOCKFILE pairs, then WFILE.
int merge_blocks(const Invocation& call, std::vector<const char*> operands, const char* wfile,
                 bool hint) {
  const char* flashfile = operands[0];
  MergeRun run;
  run.options = options_of(call);
  Failure failure = load_for_output(call, flashfile, wfile, run.image, &run.draft);
  if (failure.failed()) {
    say_failure(call, failure);
    if (hint && failure.code == Code::flashfile_unreadable) hint_if_mistyped(call.err, flashfile);
    return kExitFailed;
  }
  failure = take_pairs(call, run, std::span(operands).subspan(1, operands.size() - 2));
  // A block file too long for any place is refused before it is read; the merge would have
  // stopped at an empty WFILE first.
  if (failure.code == Code::does_not_fit && wfile[0] == '\0') failure = fail(Code::wfile_empty, "");
  if (!failure.failed()) failure = write_merged(run, wfile);
  if (failure.failed()) return say_failure(call, failure);
  return finish_written(call, run, wfile);
}

}  // namespace

Failure write_merged(MergeRun& run, const char* wfile) {
  if (wfile[0] == '\0') return fail(Code::wfile_empty, "");
  if (Failure refused = plan(run); refused.failed()) return refused;
  Failure written = write_merged_image(*run.image, run.plan, wfile, run.replacements,
                                       &run.checksums, run.draft.get());
  if (written.failed()) return written;
  run.report.checksums = &run.checksums;
  run.report.output = wfile == kStandardStream ? "standard output" : wfile;
  complete_merge_report(run.report, &*run.loaded_checksums);
  return {};
}

void rehearse(MergeRun& run, Failure failure) {
  run.report.image = run.image.get();
  if (!failure.failed() && run.image) {
    failure = plan(run);
    if (!failure.failed()) failure = compose(*run.image, run.plan, run.composed);
    if (!failure.failed()) run.report.checksums = &run.composed.checksums;
  }
  run.report.failure = std::move(failure);
  complete_merge_report(run.report, run.loaded_checksums ? &*run.loaded_checksums : nullptr);
}

int run_merge(const Invocation& call) {
  return merge_blocks(call, call.operands, call.operands.back(), true);
}

// --merge: the merge with several pairs.
int run_merge_several(const Invocation& call) {
  if (call.operands.size() % 2 != 0) return usage_error(call);
  std::vector<const char*> operands = call.operands;
  if (!take_merge_inputs(operands, operands.size() - 1)) {
    return usage_error(call, "standard input can be read only once");
  }
  const char* wfile = operands.back();
  int status = kExitOk;
  if (!take_output(call, wfile, status)) return status;
  return merge_blocks(call, operands, wfile, false);
}

int run_dry_run(const Invocation& call) {
  std::vector<const char*> operands = call.operands;
  if (!take_merge_inputs(operands, operands.size())) {
    return usage_error(call, "standard input can be read only once");
  }
  MergeRun run;
  run.options = options_of(call);
  Failure failure = load_for_output(call, operands[0], nullptr, run.image);
  if (failure.failed()) {
    run.image.reset();  // it did not load
  } else {
    failure = take_pairs(call, run, std::span(operands).subspan(1));
  }
  rehearse(run, std::move(failure));
  return finish_rehearsal(call, run.report);
}

// --repack FLASHFILE DIR WFILE, or FLASHFILE DIR --dry-run to rehearse it: each block judged
// against what its file held at the unpack (the manifest), its file now and FLASHFILE's.
int run_repack(const Invocation& call) {
  const bool dry_run = call.has(kFlagDryRun);
  if (call.has(kFlagSvg) && !dry_run) return usage_error(call, "--svg goes with --dry-run");
  const char* wfile = dry_run ? "" : call.operands[2];
  int status = kExitOk;
  if (!take_output(call, wfile, status)) return status;
  const char* flashfile = stream_or_file(call.operands[0]);
  const char* dir = call.operands[1];
  MergeRun run;
  run.options = options_of(call);
  run.report.kind = "repack";
  Failure failure = load_for_output(call, flashfile, wfile, run.image, &run.draft);
  if (failure.failed()) return say_failure(call, failure);
  run.loaded_checksums = block_checksums(*run.image);
  UnpackedBlocks unpacked;
  failure = check_manifest(*run.image, *run.loaded_checksums, dir, &unpacked);
  if (failure.failed()) return say_failure(call, failure);
  RepackVerdicts verdicts;
  expect_changed_size(call, nullptr, Code::blockfile_short, dir);
  failure = take_changed_blocks(*run.image, *run.loaded_checksums, unpacked, dir, run.replacements,
                                verdicts, run.options);
  if (failure.failed()) return say_failure(call, failure);
  const RepackReport repack{&verdicts, &unpacked, &*run.loaded_checksums,
                            flashfile == kStandardStream ? "standard input" : flashfile};
  run.report.repack = &repack;
  if (verdicts.of(Verdict::conflict) > 0) failure = conflict_failure(*run.image, dir, repack);
  if (dry_run) {
    rehearse(run, std::move(failure));
    return finish_rehearsal(call, run.report);
  }
  if (!failure.failed()) failure = write_merged(run, wfile);
  if (failure.failed()) return say_failure(call, failure);
  return finish_written(call, run, wfile);
}

}  // namespace blkswap
