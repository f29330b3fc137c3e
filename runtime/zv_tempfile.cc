#include "runtime/zv_tempfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "runtime/zv_common.h"

namespace {

// The umask without changing it (umask() would, for every thread, for a moment). Linux
// shows it in /proc/self/status; elsewhere the usual 022 is assumed.
mode_t current_umask() {
  mode_t mask = 022;
  FILE *f = fopen("/proc/self/status", "r");
  if (f == nullptr) return mask;
  char line[256];
  while (fgets(line, sizeof line, f) != nullptr) {
    if (strncmp(line, "Umask:", 6) == 0) {
      char *end = nullptr;
      long v = strtol(line + 6, &end, 8);
      if (end != line + 6 && v >= 0 && v <= 0777) mask = static_cast<mode_t>(v);
      break;
    }
  }
  fclose(f);
  return mask;
}

}  // namespace

bool zv_write_all(int fd, const void *data, size_t len) {
  const char *p = static_cast<const char *>(data);
  while (len > 0) {
    ssize_t n = write(fd, p, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    p += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

int zv_open_temp(const char *prefix, char *name, size_t size, const char *suffix,
                 zv_temp_mode mode) {
  if (prefix == nullptr || name == nullptr || size == 0 || suffix == nullptr) {
    errno = EINVAL;
    return -1;
  }
  int n = snprintf(name, size, "%sXXXXXX%s", prefix, suffix);
  if (n < 0 || static_cast<size_t>(n) >= size) {
    errno = ENAMETOOLONG;
    return -1;
  }
  int fd = mkstemps(name, static_cast<int>(strlen(suffix)));
  if (fd < 0) return -1;
  if (mode == ZV_TEMP_FOPEN_MODE && fchmod(fd, 0666 & ~current_umask()) != 0) {
    int e = errno;
    close(fd);
    unlink(name);
    errno = e;
    return -1;
  }
  return fd;
}

int zv_put_file(const char *path, const void *data, size_t len, int replace, int *perrno) {
  int dummy = 0;
  int &err = perrno != nullptr ? *perrno : dummy;
  err = 0;
  if (path == nullptr || (data == nullptr && len > 0)) {
    err = EINVAL;
    return -1;
  }
  char temp[ZV_PATH_SIZE + 8];
  int fd = zv_open_temp(path, temp, sizeof temp);
  if (fd < 0) {
    err = errno;
    return -1;
  }
  bool ok = zv_write_all(fd, data, len);
  if (!ok) err = errno;
  if (close(fd) != 0 && ok) {
    ok = false;
    err = errno;
  }
  int result = ok ? 0 : -2;
  // Without `replace` the move never replaces its target, which keeps a file another
  // process has just made.
  if (ok && (replace ? rename(temp, path) : zv_move_new(temp, path)) != 0) {
    if (!replace && errno == EEXIST) {
      result = 1;
    } else {
      err = errno;
      result = -2;
    }
  }
  if (result != 0) unlink(temp);
  return result;
}

int zv_move_new(const char *src, const char *dst) {
  return zv_move_new_at(AT_FDCWD, src, AT_FDCWD, dst);
}

namespace {

// Codes of a file system that lacks a call altogether, rather than refusing this move.
bool call_unsupported(int err) { return err == EINVAL || err == ENOSYS || err == EOPNOTSUPP; }
bool links_unsupported(int err) { return err == EPERM || err == ENOSYS || err == EOPNOTSUPP; }

}  // namespace

int zv_move_new_at(int src_dir, const char *src, int dst_dir, const char *dst) {
  if (src == nullptr || dst == nullptr) {
    errno = EINVAL;
    return -1;
  }
  if (renameat2(src_dir, src, dst_dir, dst, RENAME_NOREPLACE) == 0) return 0;
  if (!call_unsupported(errno)) return -1;
  // A file system without the no-replace rename: a link never replaces its target.
  if (linkat(src_dir, src, dst_dir, dst, 0) == 0) {
    if (unlinkat(src_dir, src, 0) == 0) return 0;
    int e = errno;
    unlinkat(dst_dir, dst, 0);
    errno = e;
    return -1;
  }
  if (!links_unsupported(errno)) return -1;
  // Neither (some network and user-space file systems): a look at the target through the
  // directory held, then a plain rename. What another process puts at `dst` in the
  // instant between the two is replaced: the one window left there.
  struct stat st;
  if (fstatat(dst_dir, dst, &st, AT_SYMLINK_NOFOLLOW) == 0) {
    errno = EEXIST;
    return -1;
  }
  if (errno != ENOENT) return -1;
  return renameat(src_dir, src, dst_dir, dst);
}
