// Files written whole under a unique temporary name and moved into place in one step, so
// that a reader in another process sees either no file or the complete one.
//
// No state; any thread may call these.
#ifndef ZV_RUNTIME_ZV_TEMPFILE_H
#define ZV_RUNTIME_ZV_TEMPFILE_H

#include <cstddef>

// The mode a new unique file gets: what a plain fopen would give it (0666 less the
// umask), or mkstemp's own owner-only mode.
enum zv_temp_mode { ZV_TEMP_FOPEN_MODE, ZV_TEMP_OWNER_ONLY };

// Creates a new file named `prefix` (directory included), six random characters and
// `suffix` (mkstemps), so that the name is the caller's alone. Returns its descriptor,
// which the caller closes, with the name in `name`; -1 with errno set when the name does
// not fit in `size` bytes or the file cannot be made (nothing is left behind then).
int zv_open_temp(const char *prefix, char *name, size_t size, const char *suffix = "",
                 zv_temp_mode mode = ZV_TEMP_FOPEN_MODE);

// Writes all `len` bytes to `fd`, going on after a signal and a partial write: false
// with errno set when the descriptor takes no more (EIO for a write that took nothing).
bool zv_write_all(int fd, const void *data, size_t len);

// Writes the `len` bytes into a temporary file beside `path` (same directory, the name
// of `path` as prefix) and moves it to `path`. With `replace` 0 an existing `path` is
// kept untouched, also when another process creates it meanwhile (through zv_move_new,
// so with its one window where the file system has neither a no-replace rename nor hard
// links). Results: 0 written; 1 `path` exists and was kept; -1 the temporary file could
// not be made; -2 writing or moving failed. On -1 and -2, *perrno (when given) holds the errno of the failing call;
// no temporary file is left behind.
int zv_put_file(const char *path, const void *data, size_t len, int replace, int *perrno);

// Moves `src` to `dst` in one step, never replacing a file, directory or link already
// at `dst`: 0 moved; -1 with errno set (EEXIST when `dst` is taken). Where the file
// system cannot rename without replacing, a regular file is linked to `dst` and its old
// name removed; should that removal fail, the link is taken back, so the file never ends
// up under both names. Where it has hard links neither, `dst` is looked at and, when
// nothing is there, `src` renamed to it: only what appears at `dst` in the instant
// between the look and the rename can be replaced.
int zv_move_new(const char *src, const char *dst);
// The same, from `src` in the directory `src_dir` to `dst` in `dst_dir` (AT_FDCWD for
// paths): works through directories a caller holds open.
int zv_move_new_at(int src_dir, const char *src, int dst_dir, const char *dst);

#endif
