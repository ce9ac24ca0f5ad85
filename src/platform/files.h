// What blkswap asks of the system, and the only place that knows which system it runs on: owned
// byte buffers, reading a whole file, writing an output file or folder so that a failure never
// leaves a truncated one behind and no output costs the user a file, listing a folder, and the
// process's standard streams. One implementation per system (*_posix.cc, *_windows.cc); file
// names are UTF-8 on both.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace blkswap {

// An owned, fixed-length byte buffer whose allocation failure is a value, not an abort.
struct Bytes {
  std::unique_ptr<uint8_t[]> ptr;
  size_t size = 0;
};

// Replaces `out` with `size` uninitialised bytes. Returns false, leaving `out` empty, when the
// memory cannot be had. Uninitialised on purpose: every caller overwrites the whole buffer, and
// touching fresh pages twice costs as much as reading the file.
bool allocate_bytes(Bytes& out, size_t size);

inline std::span<uint8_t> as_span(Bytes& b) {
  return {b.ptr.get(), b.size};
}
inline std::span<const uint8_t> as_span(const Bytes& b) {
  return {b.ptr.get(), b.size};
}

// A file mapped into memory (one implementation per system), unmapped when it goes.
struct Mapping;
struct Unmap {
  void operator()(Mapping* mapping) const;
};

// A file's bytes, read-only: a private mapping of a regular file (the page cache's own pages,
// not a copy of them), or a buffer they were read into (a pipe, a FIFO, a device, anything that
// cannot be mapped). Nothing above the platform layer tells them apart.
struct FileBytes {
  std::span<const uint8_t> view;
  Bytes buffer;                             // the bytes, when they were read
  std::unique_ptr<Mapping, Unmap> mapping;  // the mapping, when they are mapped
};
inline std::span<const uint8_t> as_span(const FileBytes& b) {
  return b.view;
}

// Bytes already in memory, held as a file's are.
FileBytes held_bytes(Bytes bytes);

// This process needs `part` of `bytes` no more for now: a mapping's pages go back to the page
// cache, where a later access finds them again; a buffer keeps its bytes.
void release_pages(const FileBytes& bytes, std::span<const uint8_t> part);

// Copies `part` of `bytes` into `into` (of part's size). For a mapping the bytes are read from
// the file rather than touched through it: a read copies them through the system's own view of
// memory, which on many machines costs far less than reaching each page of a mapping once, when
// the page cache holds the file in small pieces. A mapped file that has become shorter ends the
// command as its report says.
void copy_bytes(const FileBytes& bytes, std::span<const uint8_t> part, std::span<uint8_t> into);

// Calls visit(window) for the bytes of `part` (of `bytes`) a window at a time, in order, each
// window starting kWindow bytes after the one before and reaching `overlap` bytes into the next
// (but not past `part`): `part` itself, whole, when it is in memory; else copied (copy_bytes)
// into one small buffer, which stays in the processor's cache while it is visited. False, with
// nothing visited, when there is no memory for the buffer; false too when a visit is false,
// which stops the walk.
inline constexpr size_t kWindow = size_t{1} << 18;
struct WindowVisitor {
  bool (*visit)(void* context, std::span<const uint8_t> window);
  void* context;
};
bool walk_windows(const FileBytes& bytes, std::span<const uint8_t> part, size_t overlap,
                  WindowVisitor visitor);
template <typename Visit>
bool for_each_window(const FileBytes& bytes, std::span<const uint8_t> part, size_t overlap,
                     Visit visit) {
  const WindowVisitor visitor{[](void* context, std::span<const uint8_t> window) {
                                return (*static_cast<Visit*>(context))(window);
                              },
                              &visit};
  return walk_windows(bytes, part, overlap, visitor);
}

// The same for two parts of one size, of two files, side by side: visit(window_a, window_b).
// Parts of different sizes are not walked (false).
struct WindowPairVisitor {
  bool (*visit)(void* context, std::span<const uint8_t> a, std::span<const uint8_t> b);
  void* context;
};
bool walk_window_pairs(const FileBytes& a, std::span<const uint8_t> part_a, const FileBytes& b,
                       std::span<const uint8_t> part_b, WindowPairVisitor visitor);
template <typename Visit>
bool for_each_window_pair(const FileBytes& a, std::span<const uint8_t> part_a, const FileBytes& b,
                          std::span<const uint8_t> part_b, Visit visit) {
  const WindowPairVisitor visitor{
      [](void* context, std::span<const uint8_t> x, std::span<const uint8_t> y) {
        return (*static_cast<Visit*>(context))(x, y);
      },
      &visit};
  return walk_window_pairs(a, part_a, b, part_b, visitor);
}

// What a command says when a file it has mapped changes size under it (the pages past the new
// end vanish, and a read of them would end the process by a signal): `out_text` on standard
// output, `err_text` on standard error, and the process ends with status 1, every temporary
// removed. Given before `path` is read (null: for any file no report names); forgotten by
// forget_changed_size_reports. On Windows a mapped file cannot change size, and nothing is kept.
void set_changed_size_report(const char* path, std::string_view out_text,
                             std::string_view err_text);
void forget_changed_size_reports();

// The option commands' "-": given this very pointer, read_whole_file reads standard input and
// write_file_safely writes standard output. Any other "-" names a file.
extern const char kStandardStream[];

// Reading. A regular file is read up to the length it has when opened; a pipe, FIFO, socket or
// device to its end, and refused once it gives more than the caller's limit. A directory or a
// terminal is refused at once.
enum class ReadResult {
  ok,           // `bytes` holds what was read (bytes.size may be below file_length at EOF)
  cannot_open,  // missing, a directory, or a terminal
  read_error,   // the system reported an error while reading
  too_long,     // file_length above the caller's limit (a stream: it gave more)
  no_memory,
};

// Which file was read, so that a later write can tell whether it would land on it.
struct FileIdentity {
  uint64_t device = 0;
  uint64_t inode = 0;
  bool known = false;
};

struct FileContents {
  FileBytes bytes;
  uint64_t file_length = 0;    // the length found by seeking to the end, or the bytes a stream gave
  bool stopped_early = false;  // too_long from a stream: it had file_length bytes, or more
  FileIdentity identity;
  int error = 0;  // the system's error number for cannot_open and read_error; 0 when it had none
};

// The identity of the file `path` names (links followed); unknown when it cannot be had.
FileIdentity identify_file(const char* path);

// Whether the file read may be reached through a symbolic link. A folder handed over by someone
// else is read with `refuse`: a link, or anything but a regular file, is cannot_open with one of
// the two error numbers below, which no system error has.
enum class Links { follow, refuse };
inline constexpr int kIsSymbolicLink = 0x10001;
inline constexpr int kNotRegularFile = 0x10002;
// A file another program holds open so that it cannot be replaced (Windows), after a few tries.
inline constexpr int kInUse = 0x10003;
// A mapped file that became shorter than it was mapped, while it was read.
inline constexpr int kChangedSize = 0x10004;

// A regular file is mapped (its pages come in as they are first touched; a pass over all of it
// is for_each_window's); anything else is read into a buffer.
ReadResult read_whole_file(const char* path, uint64_t max_length, FileContents& out,
                           Links links = Links::follow);

// Writing. `refused`: the read-back of the written file found it wrong; nothing was put in place.
enum class WriteResult { ok, cannot_create, short_write, refused };

// Why a write failed, for the message: what could not be done, and the system's error number
// (0 when there is none).
struct WriteFailure {
  std::string_view what;
  int error = 0;
};

// Records why in `why` (when given) and returns `result`: how every write says it failed.
template <typename Result>
Result fail(WriteFailure* why, Result result, std::string_view what, int error) {
  if (why != nullptr) *why = {what, error};
  return result;
}

// A regular file, or a name not yet taken, is only ever replaced through a new temporary file
// in the same directory: written, given the old file's owner, group, extended attributes (ACLs
// included) and mode (a new file: 0666 less the umask), synced and renamed over it. When any of
// that cannot be done, or the caller may not write the existing file, the result is
// cannot_create and the old file is as it was. Symbolic links are followed by hand to the
// file they end at, and stay links. A path whose file is anything else (a device, a FIFO, a
// socket, a terminal, a pipe behind /dev/stdout) is opened as given and written directly. A
// path that names one of the process's own open descriptors (/dev/stdout, /dev/fd/N, ...) is
// written through that descriptor, as kStandardStream is, never replaced.
// Any signal that would end the process while the temporary file exists removes it first. A
// reader that goes away is a short write, not a SIGPIPE. The new file must end with the old
// one's mode, set-id bits included, owner and group, or the write is refused.
// On Windows: the temporary file is marked for deletion while it is written, flushed, and put in
// place by ReplaceFileW (the old file's permissions, its DACL, kept) or, for a new name,
// MoveFileExW; a read-only file is refused, one another program holds is waited for, then
// refused with kInUse; Ctrl-C and the console's other events remove the temporary.
WriteResult write_file_safely(const char* path, std::span<const uint8_t> bytes,
                              WriteFailure* why = nullptr);

// One piece of a file to write, the pieces in order: bytes in memory, which may lie in a mapped
// file (`from`: then they are copied from that file by the system where it can, or their pages
// handed back once written), or `fill` bytes of 0xFF.
struct Piece {
  std::span<const uint8_t> bytes;
  const FileBytes* from = nullptr;
  uint64_t fill = 0;
};

// A look at a written file before it is put in place, a window at a time, so that it is never
// all in memory at once: `check(context, window, offset, total)` gets the bytes of the file
// (`total` of them) from `offset` on, read back from it; each window starts where the one before
// it ends, but reaches `overlap` bytes further (up to the file's end). False refuses the file.
struct ReadBack {
  bool (*check)(void* context, std::span<const uint8_t> window, uint64_t offset,
                uint64_t total) = nullptr;
  void* context = nullptr;
  size_t overlap = 0;
};

// Whether write_pieces_safely writes `path` through a temporary file it can read back (a
// regular file, or a name not yet taken), rather than directly (a device, a FIFO, a stream).
bool is_written_through_temporary(const char* path);

// A head start on an output that is mostly a copy of a mapped file (a merged image is mostly the
// flash file's bytes at their own places): the temporary file beside `path`'s target made at once
// and `from` copied into it by the system, on a second thread, while the caller goes on. Null
// when none can be had (`path` is a stream or a device, `from` is not a mapped file, no
// temporary or thread can be made); nothing is lost then, write_pieces_safely does it all.
// Dropped unused, it stops its copy and removes its temporary.
struct Draft;
struct DropDraft {
  void operator()(Draft* draft) const;
};
using DraftPtr = std::unique_ptr<Draft, DropDraft>;
DraftPtr start_draft(const char* path, const FileBytes& from);

// write_file_safely for pieces: the same rules, with the temporary file read back by `read_back`
// (when given) and synced before the rename; a refusal leaves the target as it was. With a
// `draft` of the same target whose copy is whole, only the pieces that are not already in it
// (`from`'s bytes at their own places) are written, into its temporary file.
WriteResult write_pieces_safely(const char* path, std::span<const Piece> pieces,
                                ReadBack read_back = {}, WriteFailure* why = nullptr,
                                Draft* draft = nullptr);

// Whether standard output is a terminal, which takes no image.
bool standard_output_is_terminal();

// The names in `dir` but "." and "..". False (with errno) when it cannot be opened or read
// to its end.
bool list_directory(const std::string& dir, std::vector<std::string>& names);

// A folder written whole: `files` go into a new hidden directory beside `dir` as plain files,
// each synced, then the directory is synced and renamed to `dir`. `dir` must not exist, or be
// an empty directory (a link to one is refused: the rename would replace the link). On any
// failure, or a signal (a console event) that ends the process, nothing of it is left behind.
// On Windows an empty `dir` is removed just before the move, and made again should it fail.
// `failed` receives the index of the file a write failed on.
enum class FolderResult { ok, not_empty, cannot_create, short_write };
struct FolderFile {
  std::string name;  // a plain name: no '/', not "." or ".."
  std::span<const uint8_t> bytes;
  const FileBytes* from = nullptr;  // the file they lie in, as a Piece's
};
FolderResult write_folder_safely(const char* dir, std::span<const FolderFile> files,
                                 WriteFailure* why = nullptr, size_t* failed = nullptr);

// Whether this system can run a second thread at all: WebAssembly in a browser, without shared
// memory, cannot (and there a thread that cannot start would end the program).
#if defined(__EMSCRIPTEN__) && !defined(__EMSCRIPTEN_PTHREADS__)
inline constexpr bool kSystemHasThreads = false;
#else
inline constexpr bool kSystemHasThreads = true;
#endif

// Starts `work` on a second thread, `thread`. False, with nothing started, where the system gives
// none (no threads at all, or no memory for one): the caller then does the work itself.
template <typename Work>
bool start_thread(std::thread& thread, Work work) {
  if constexpr (!kSystemHasThreads) return false;
  try {
    thread = std::thread(std::move(work));
    return true;
  } catch (const std::exception&) {  // system_error, bad_alloc
    return false;
  }
}

// Where `needle` first occurs in `haystack`; haystack.size() when nowhere. The C library's search
// where it has one (it runs at memory speed), a Boyer-Moore-Horspool search where not.
size_t find_bytes(std::span<const uint8_t> haystack, std::span<const uint8_t> needle);

// Readies the process's standard streams before a command runs: on POSIX a write past a
// file-size limit or into a pipe whose reader has gone fails with an error instead of a signal;
// on Windows the three streams carry bytes as they are, with no CRLF made of a newline.
void prepare_standard_streams();

// Whether `error` is one a failed write to standard output can have left behind.
bool is_write_error(int error);

#ifdef _WIN32
// The arguments wmain was given, in UTF-8. False when one is not valid UTF-16.
bool arguments_in_utf8(int argc, wchar_t** argv, std::vector<std::string>& out);
#endif

}  // namespace blkswap
