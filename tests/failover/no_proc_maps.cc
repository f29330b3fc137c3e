// Preloaded into a program under test (LD_PRELOAD): its own mapping list,
// /proc/self/maps, cannot be opened, as on a system without /proc; every other file
// opens as usual.
#include <dlfcn.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

using Open = FILE *(*)(const char *, const char *);

FILE *open_unless_maps(const char *name, const char *path, const char *mode) {
  if (path != nullptr && strcmp(path, "/proc/self/maps") == 0) {
    errno = EACCES;
    return nullptr;
  }
  Open real = reinterpret_cast<Open>(dlsym(RTLD_NEXT, name));
  if (real == nullptr) {
    errno = ENOSYS;
    return nullptr;
  }
  return real(path, mode);
}

}  // namespace

extern "C" FILE *fopen(const char *path, const char *mode) {
  return open_unless_maps("fopen", path, mode);
}

extern "C" FILE *fopen64(const char *path, const char *mode) {
  return open_unless_maps("fopen64", path, mode);
}
