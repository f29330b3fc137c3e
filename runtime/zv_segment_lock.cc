#include "runtime/zv_segment_lock.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "runtime/zv_globals.h"
#include "runtime/zv_handles.h"
#include "runtime/zv_log.h"

namespace {

constexpr size_t kNameSize = 1024;
constexpr char kFallbackDir[] = "/tmp";
// The characters mkdtemp puts in place of the template's Xs.
constexpr size_t kUniqueChars = 6;

const char *program_name() { return program[0] != '\0' ? program : "zolvar"; }

// $TMPDIR, or /tmp when it is unset or empty. A relative one is taken from the working
// directory, like every other relative path of an installation, and spelled out in `buf`
// (kNameSize bytes) so that the warnings and the once-per-place sweep name the directory
// itself; it stays as given when the working directory cannot be had or the whole does
// not fit (the system resolves it the same way then).
const char *temp_dir(char *buf) {
  const char *dir = getenv("TMPDIR");
  if (dir == nullptr || dir[0] == '\0') return kFallbackDir;
  if (dir[0] == '/') return dir;
  char cwd[kNameSize];
  if (getcwd(cwd, sizeof cwd) == nullptr) return dir;
  int n = snprintf(buf, kNameSize, "%s/%s", cwd, dir);
  return n > 0 && static_cast<size_t>(n) < kNameSize ? buf : dir;
}

// The names of one segment's lock file: its private directory (dir_length characters),
// the base name mm is given (mm appends ".sem") and the lock file itself. The two others
// begin with the directory's name.
struct lock_names {
  char dir[kNameSize];
  char base[kNameSize];
  char file[kNameSize];
  size_t dir_length;
};

// The names in `parent`, the directory still a mkdtemp template; false when they do not
// fit.
bool template_names(const char *parent, const char *prog, lock_names *n) {
  int d = snprintf(n->dir, sizeof n->dir, "%s/%s.%ld.XXXXXX", parent, prog,
                   static_cast<long>(getpid()));
  int b = d < 0 ? -1 : snprintf(n->base, sizeof n->base, "%s/%s.mm", n->dir, prog);
  int f = b < 0 ? -1 : snprintf(n->file, sizeof n->file, "%s.sem", n->base);
  if (f < 0 || static_cast<size_t>(f) >= sizeof n->file) return false;
  n->dir_length = static_cast<size_t>(d);
  return true;
}

bool is_ascii_alnum(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// Whether `name` is a private directory's name as template_names makes it for `prog`,
// "<prog>.<pid>.XXXXXX" once filled in; its pid in *pid.
bool leftover_name(const char *name, const char *prog, pid_t *pid) {
  size_t n = strlen(prog);
  if (strncmp(name, prog, n) != 0 || name[n] != '.') return false;
  const char *digits = name + n + 1;
  const char *p = digits;
  while (*p >= '0' && *p <= '9') ++p;
  if (p == digits || p - digits > 10 || *p != '.') return false;
  const char *unique = p + 1;
  for (size_t i = 0; i < kUniqueChars; ++i)
    if (!is_ascii_alnum(unique[i])) return false;
  if (unique[kUniqueChars] != '\0') return false;
  long v = strtol(digits, nullptr, 10);
  if (v <= 0 || v > INT_MAX) return false;
  *pid = static_cast<pid_t>(v);
  return true;
}

// A process of this program killed between the making of its private directory and
// its removal leaves the directory, perhaps with the lock file in it. Such leftovers in
// `parent` are removed here: only directories of this account whose process no longer
// exists, never through a symbolic link, and of each only the two names mm makes; a
// directory that still holds anything else stays.
void sweep_leftovers(const char *parent, const char *prog) {
  zv_dir_ptr dir(opendir(parent));
  if (!dir) return;
  char sem_name[kNameSize], mm_name[kNameSize];
  snprintf(mm_name, sizeof mm_name, "%s.mm", prog);
  snprintf(sem_name, sizeof sem_name, "%s.mm.sem", prog);
  const int parent_fd = dirfd(dir.get());
  while (dirent *e = readdir(dir.get())) {
    pid_t pid;
    if (!leftover_name(e->d_name, prog, &pid)) continue;
    // Only ESRCH says the process is gone; EPERM is another account's live process.
    if (kill(pid, 0) == 0 || errno != ESRCH) continue;
    struct stat named;
    if (fstatat(parent_fd, e->d_name, &named, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (!S_ISDIR(named.st_mode) || named.st_uid != geteuid()) continue;
    zv_fd inside(openat(parent_fd, e->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (inside.get() < 0) continue;
    // The directory opened must be the one looked at, not one put in its place since.
    struct stat opened;
    if (fstat(inside.get(), &opened) != 0 || opened.st_dev != named.st_dev ||
        opened.st_ino != named.st_ino)
      continue;
    unlinkat(inside.get(), sem_name, 0);
    unlinkat(inside.get(), mm_name, 0);
    inside.reset();
    // Not empty: something of its own was put there, and it is kept. Gone: another
    // start of the program was quicker.
    if (unlinkat(parent_fd, e->d_name, AT_REMOVEDIR) != 0 && errno != ENOTEMPTY &&
        errno != EEXIST && errno != ENOENT)
      zv_log(-1, "WARNING: Cannot remove the segment lock directory %s/%s of ended process %ld: %s\n",
             parent, e->d_name, static_cast<long>(pid), strerror(errno));
  }
}

// Makes the private directory in `parent` after clearing the leftovers there; false
// with errno set when it cannot be made (nothing is made then).
bool make_private_dir(const char *parent, const char *prog, lock_names *n) {
  // Once per place and program: what is left there is from before this start, and a
  // start makes several segments. Creation runs on the main thread only.
  static char swept[kNameSize] = "";
  char place[kNameSize];
  snprintf(place, sizeof place, "%s/%s", parent, prog);
  if (strcmp(swept, place) != 0) {
    sweep_leftovers(parent, prog);
    snprintf(swept, sizeof swept, "%s", place);
  }
  if (mkdtemp(n->dir) == nullptr) return false;
  // mkdtemp filled in the template's last characters, which the two others repeat at
  // the same place.
  memcpy(n->base, n->dir, n->dir_length);
  memcpy(n->file, n->dir, n->dir_length);
  return true;
}

}  // namespace

void *zv_segment_create(size_t size) {
  const char *prog = program_name();
  char tmpdir[kNameSize];
  const char *parent = temp_dir(tmpdir);
  lock_names names;
  bool fits = template_names(parent, prog, &names);
  bool made = fits && make_private_dir(parent, prog, &names);
  // A $TMPDIR that is missing, no directory, not writable or too deep would otherwise
  // stop every start; the system's own directory stands in for it.
  if (!made && strcmp(parent, kFallbackDir) != 0) {
    if (fits)
      zv_log(-1, "WARNING: Cannot make a directory for a segment lock file (%s): %s - using %s\n",
             names.dir, strerror(errno), kFallbackDir);
    else
      zv_log(-1, "WARNING: The directory %s is too deep for a segment lock file - using %s\n",
             parent, kFallbackDir);
    parent = kFallbackDir;
    fits = template_names(parent, prog, &names);
    made = fits && make_private_dir(parent, prog, &names);
  }
  if (!fits) {
    zv_log(-1, "ERROR: The directory %s is too deep for a segment lock file\n", parent);
    return nullptr;
  }
  if (!made) {
    zv_log(-1, "ERROR: Cannot make a directory for a segment lock file (%s): %s\n", names.dir,
           strerror(errno));
    return nullptr;
  }
  void *segment = mm_core_create(size, names.base);
  // A build of mm that keeps the segment in a file makes it at `base`; the mapping, like
  // the lock file's descriptor, outlives the name.
  unlink(names.file);
  unlink(names.base);
  if (rmdir(names.dir) != 0)
    zv_log(-1, "ERROR: Cannot remove the segment lock directory %s: %s\n", names.dir,
           strerror(errno));
  return segment;
}
