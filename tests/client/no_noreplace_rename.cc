// Preloaded into a program under test (LD_PRELOAD): a file system with neither the
// no-replace rename nor hard links, as some network and user-space file systems are.
// renameat2 with flags fails with EINVAL, linkat with EPERM; a plain rename works.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

extern "C" int renameat2(int olddirfd, const char *oldpath, int newdirfd, const char *newpath,
                         unsigned int flags) noexcept {
  if (flags != 0) {
    errno = EINVAL;
    return -1;
  }
  return renameat(olddirfd, oldpath, newdirfd, newpath);
}

extern "C" int linkat(int, const char *, int, const char *, int) noexcept {
  errno = EPERM;
  return -1;
}
