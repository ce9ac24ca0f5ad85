// The one registry of temporary files and folders that exist while an output is being made. A
// signal whose default action would end the process removes every one of them first (files,
// then folders), then ends the process as it would have; a signal the caller ignores, or
// handles itself, is left as it is. Each is created and registered with no signal in between.
#pragma once

namespace blkswap {

// Creates a file from `path_template`, whose last six characters are XXXXXX (replaced by the
// name chosen), open for writing. Returns the descriptor, or -1 with errno.
int make_temporary_file(char* path_template, int& slot);

// Creates `path`, which must not exist, for writing, with the mode a new file gets (0666 less
// the umask): a file inside a temporary folder. Returns the descriptor, or -1 with errno.
int make_temporary_file_at(const char* path, int& slot);

// Creates a folder from `path_template` as make_temporary_file does. False with errno.
bool make_temporary_folder(char* path_template, int& slot);

// Removes the temporary in `slot` now and forgets it.
void remove_temporary(int slot);

// Renames the temporary in `slot` to `target` and forgets it, with no signal in between. False
// (with errno, the temporary still registered) when the rename fails.
bool rename_temporary(int slot, const char* target);

// Forgets a temporary that is no longer there under its name (a file of a folder renamed into
// place).
void forget_temporary(int slot);

}  // namespace blkswap
