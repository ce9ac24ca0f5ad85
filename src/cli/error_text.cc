#include "cli/error_text.h"

#include <cstring>

#include "image/load.h"
#include "ops/list.h"
#include "ops/rebuild.h"
#include "ops/replace.h"

namespace blkswap {

void print_merge_error_line(std::ostream& out, int code) {
  out << "Merge flash file error with " << code << '\n';
}

void print_list_error_line(std::ostream& out, int code) {
  out << "List flash block error with " << code << '\n';
}

std::string_view load_failure(int code) {
  switch (code) {
    case kLoadEmptyName:
      return "no flash file named";
    case kLoadCannotOpen:
      return "cannot be opened or read";
    case kLoadNoMemory:
      return "not enough memory for the image";
    case kLoadBadLength:
      return "length is not a multiple of 512 KiB, or is 4 GiB or more";
    case kLoadNoTable:
      return "no block table, more than 64 blocks, or a table or block outside the image";
  }
  return "cannot be loaded";
}

std::string_view replace_failure(int code) {
  switch (code) {
    case kReplaceEmptyArgument:
      return "no block name or block file named";
    case kReplaceCannotOpen:
      return "cannot be opened";
    case kReplaceEmptyFile:
      return "is empty";
    case kReplaceNoMemory:
      return "not enough memory for the block";
    case kReplaceShortRead:
      return "could not be read whole";
    case kReplaceNoMatch:
      return "no block has this name or id";
  }
  return "cannot be taken in";
}

std::string_view write_failure(int code) {
  switch (code) {
    case kWriteEmptyName:
      return "no output file named";
    case kWriteDoesNotFit:
      return "the blocks would not fit the image or would cover a table or another block, or "
             "the image would not load back as laid out with every checksum true";
    case kWriteNoMemory:
      return "not enough memory for the new image";
    case kWriteCannotCreate:
      return "cannot be created";
    case kWriteShortWrite:
      return "could not be written whole";
  }
  return "cannot be written";
}

int list_code(int load_code) {
  return load_code == kLoadNoTable ? kListScanFailed : load_code;
}

void report_failure(std::ostream& err, std::string_view file, std::string_view message,
                    std::string_view kind, int code) {
  err << "blkswap: " << file << ": " << message << " (" << kind << " error " << code << ")\n";
}

void report_write_failure(std::ostream& err, std::string_view file, const WriteFailure& why,
                          std::string_view kind, int code) {
  err << "blkswap: " << file << ": " << write_failure(code) << ": " << why.what;
  if (why.error != 0) err << ": " << std::strerror(why.error);
  err << " (" << kind << " error " << code << ")\n";
}

}  // namespace blkswap
