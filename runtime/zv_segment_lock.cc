#include "runtime/zv_segment_lock.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "runtime/zv_globals.h"
#include "runtime/zv_log.h"

namespace {

constexpr size_t kNameSize = 1024;

const char *program_name() { return program[0] != '\0' ? program : "zolvar"; }

const char *temp_dir() {
  const char *dir = getenv("TMPDIR");
  return dir != nullptr && dir[0] == '/' ? dir : "/tmp";
}

}  // namespace

void *zv_segment_create(size_t size) {
  char dir[kNameSize], base[kNameSize], lock_file[kNameSize];
  const char *prog = program_name();
  int n = snprintf(dir, sizeof dir, "%s/%s.XXXXXX", temp_dir(), prog);
  // mm appends ".sem" to the base name it is given.
  int m = n < 0 ? -1 : snprintf(base, sizeof base, "%s/%s.mm", dir, prog);
  int k = m < 0 ? -1 : snprintf(lock_file, sizeof lock_file, "%s.sem", base);
  if (k < 0 || static_cast<size_t>(k) >= sizeof lock_file) {
    zv_log(-1, "ERROR: The directory %s is too deep for a segment lock file\n", temp_dir());
    return nullptr;
  }
  // The names above were made from the template; mkdtemp fills in its six characters,
  // which the two others repeat at the same place.
  if (mkdtemp(dir) == nullptr) {
    zv_log(-1, "ERROR: Cannot make a directory for a segment lock file (%s): %s\n", dir,
           strerror(errno));
    return nullptr;
  }
  memcpy(base, dir, static_cast<size_t>(n));
  memcpy(lock_file, dir, static_cast<size_t>(n));
  void *segment = mm_core_create(size, base);
  // A build of mm that keeps the segment in a file makes it at `base`; the mapping, like
  // the lock file's descriptor, outlives the name.
  unlink(lock_file);
  unlink(base);
  if (rmdir(dir) != 0)
    zv_log(-1, "ERROR: Cannot remove the segment lock directory %s: %s\n", dir,
           strerror(errno));
  return segment;
}
