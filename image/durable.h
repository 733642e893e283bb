// Writes to the eMMC that a power cut cannot undo or cut in half. What the
// console reports as written must be on the card, not in the page cache;
// and a small file the launcher rewrites (a key file, a version record, the
// install log, a header file) must read after a cut as the old file or the
// new one, never as a part of either.
#pragma once

#include <cstddef>
#include <cstdio>

enum class DurableResult {
    Written,
    OpenFailed,   // the file beside the target could not be created
    WriteFailed,  // a write, the sync or the rename failed (errno says why)
};

// Replaces the file at `path` with `length` bytes: they are written to a
// file beside it in the same directory, synced, renamed over `path`, and
// the directory is synced. After a cut the path holds the old bytes or the
// new ones. errno holds the cause of a failure.
DurableResult durable_replace(const char* path, const void* data, std::size_t length);

// Replaces the file at `path` with its old content followed by `length`
// bytes, as durable_replace does: for logs that a cut must not leave with
// half a line. A file that does not exist yet counts as empty.
DurableResult durable_append(const char* path, const void* data, std::size_t length);

// Flushes the stream, syncs its file to the card and closes it. false when
// any of the three failed (errno of the first failure); the stream is
// closed in every case.
bool durable_close(std::FILE* file);

// Syncs the directory that holds `path`, so that a file created or renamed
// there is found after a cut.
bool durable_sync_dir_of(const char* path);

// Syncs the file at `path` and its directory: for files an outside program
// wrote (a copy made with cp). false when it cannot be opened or synced.
bool durable_sync_path(const char* path);
