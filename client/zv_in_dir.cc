#include "client/zv_interfaces.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "client/zv_client_util.h"
#include "client/zv_input.h"
#include "runtime/zv_errors.h"
#include "runtime/zv_globals.h"
#include "runtime/zv_handles.h"
#include "runtime/zv_log.h"
#include "runtime/zv_process.h"

using namespace zv_input;

namespace {

constexpr const char *kSource = "zv_in_dir";
// The directory's scan interval when the setting is unusable.
constexpr long kDefaultPollSeconds = 5;

// To the end of the time on the monotonic clock, whatever signals arrive; only a stop
// ends it early.
void sleep_ms_unless_shutdown(long ms) {
  constexpr long kLongest = 1000000000L;  // what one millisleep takes
  while (ms > 0 && !zv_shutdown) {
    long step = ms < kLongest ? ms : kLongest;
    millisleep(static_cast<unsigned>(step));
    ms -= step;
  }
}

bool ends_with(const char *name, const char *suffix) {
  size_t n = strlen(name), s = strlen(suffix);
  return n >= s && strcmp(name + n - s, suffix) == 0;
}

}  // namespace

dir_wait_t dir_poll_wait = sleep_ms_unless_shutdown;

namespace {

// What the scans remember between them, each with what the last scan saw: the documents
// seen but not yet taken, the entries that are no documents, the documents a writer
// still holds open and the entries that could not be examined (each said once). Only the
// entries of the last scan are kept, so nothing grows with the directory's history.
using stamps_t = std::map<std::string, zv_entry_stamp>;
struct scan_memory {
  stamps_t waiting;
  stamps_t odd;
  stamps_t held_open;
  std::map<std::string, int> unexamined;  // with the errno
  bool unsearchable = false;              // said once until a scan can search it again
};

// One document of the directory: read from its open descriptor (-1 when it could not be
// opened) and handed over (or, in packet mode, read as a packet file). The interface's
// result for it.
int take_document(Trans_ctl_rec *tctlp, int fd, const char *full, read_check *check) {
  zv_file_ptr f(fd >= 0 ? fdopen(fd, "r") : nullptr);
  if (!f) {
    if (fd >= 0) close(fd);
    zv_log(-1, "ERROR: Cannot open %s for reading\n", full);
    return -1;
  }
  return zv_packet_mode_flag ? packet_document(tctlp, f.get(), full, check)
                             : file_document(tctlp, f.get(), full, "directory", check);
}

// True while `path` still names the directory held (`held`). The client never reads
// another directory by that name: it may be another client's.
bool still_named(const char *path, const struct stat &held) {
  struct stat st;
  if (stat(path, &st) != 0) {
    zv_log(-1, "ERROR: input directory %s can no longer be found by its name: %s - cannot "
               "continue\n",
           path, strerror(errno));
    return false;
  }
  if (st.st_dev != held.st_dev || st.st_ino != held.st_ino) {
    zv_log(-1, "ERROR: %s no longer names the input directory this client holds - cannot "
               "continue\n",
           path);
    return false;
  }
  return true;
}

}  // namespace

int dir_in_buf(Trans_ctl_rec *tctlp, const char *dir) {
  if (tctlp == nullptr || dir == nullptr) {
    zv_client::soft_assert(kSource, __LINE__);
    return -1;
  }
  char path[ZV_PATH_SIZE];
  if (dir[0] == '/') {
    snprintf(path, sizeof path, "%s", dir);
  } else {
    char cwd[ZV_PATH_SIZE];
    const char *rel = strncmp(dir, "./", 2) == 0 ? dir + 2 : dir;
    if (getcwd(cwd, sizeof cwd) == nullptr ||
        snprintf(path, sizeof path, "%s/%s", cwd, rel) >= static_cast<int>(sizeof path)) {
      zv_log(-1, "FATAL_ERROR: Cannot determine absolute path for path fragment of %s\n", dir);
      abort();
    }
  }

  // One reader per directory: two would take the same document twice.
  zv_fd hold(zv_hold_dir(path));
  if (hold.get() < 0) {
    if (errno == EWOULDBLOCK) {
      zv_log(-1,
             "FATAL ERROR: input directory %s is held by another client process - cannot "
             "start\n",
             path);
      return ZV_INPUT_IN_USE;
    }
    if (errno != ENOLCK && errno != EOPNOTSUPP) {
      zv_log(-1, "ERROR: cannot open %s - exiting\n", path);
      return -1;
    }
    zv_log(-1, "WARNING: cannot lock input directory %s (%s), reading it without a lock\n",
           path, strerror(errno));
    hold.reset(open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  }
  // Every scan lists the directory held, through a descriptor of the same open directory
  // (closing it would not give up the lock), and every look, open and rename goes through
  // it: what the path names later is never read.
  struct stat held;
  int list_fd = hold.get() >= 0 && fstat(hold.get(), &held) == 0
                    ? fcntl(hold.get(), F_DUPFD_CLOEXEC, 0)
                    : -1;
  zv_dir_ptr d(list_fd >= 0 ? fdopendir(list_fd) : nullptr);
  if (!d) {
    if (list_fd >= 0) close(list_fd);
    zv_log(-1, "ERROR: cannot open %s - exiting\n", path);
    return -1;
  }
  const int dfd = dirfd(d.get());
  zv_started();

  scan_memory last;
  bool processed = false;
  for (;;) {
    if (zv_shutdown) return 0;
    if (oneshot_flag == 1 && processed) {
      zv_log(-2, "Done with readdir OneShot loop\n");
      return 0;
    }
    if (!still_named(path, held)) return -1;
    rewinddir(d.get());
    scan_memory next;
    // Entries refused a look (EACCES): the directory cannot be searched, unless others
    // could be looked at.
    std::vector<std::string> denied;
    bool searched = false;
    while (struct dirent *e = readdir(d.get())) {
      // Documents not yet begun stay for the next start.
      if (zv_shutdown) return 0;
      const char *name = e->d_name;
      if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) {
        if (debug_level & 0x400) zv_log(1, "skipping junk: %s\n", name);
        continue;
      }
      int priority;
      size_t suffix;
      if (ends_with(name, ".hpri")) {
        priority = HIPRI_PORT;
        suffix = 5;
      } else if (ends_with(name, ".edi")) {
        priority = STD_PORT;
        suffix = 4;
      } else {
        if (debug_level & 0x400) zv_log(1, "skipping junk2:%s\n", name);
        continue;
      }
      char full[ZV_PATH_SIZE];
      if (snprintf(full, sizeof full, "%s/%s", path, name) >= static_cast<int>(sizeof full)) {
        zv_log(-1, "ERROR: path of %s in %s is too long - skipping\n", name, path);
        continue;
      }
      zv_entry_stamp now;
      if (!zv_stamp_entry(dfd, name, &now)) {
        int err = errno;
        if (err == ENOENT) continue;  // gone since the listing
        next.unexamined.emplace(name, err);
        if (err == EACCES) {
          denied.emplace_back(name);
          continue;
        }
        auto was = last.unexamined.find(name);
        if (was == last.unexamined.end() || was->second != err)
          zv_log(-1, "ERROR: cannot examine %s: %s - left where it is\n", full, strerror(err));
        continue;
      }
      searched = true;
      if (!now.regular()) {
        // A FIFO would hold the scan in its open, a directory is no document, a link may
        // lead anywhere: left where they are, said once.
        auto was = last.odd.find(name);
        if (was == last.odd.end() || !(was->second == now))
          zv_log(-1, "WARNING: %s is not a regular file - left where it is\n", full);
        next.odd.emplace(name, now);
        continue;
      }
      // Taken only once a whole scan has passed without a change: a writer may still be
      // at a file whose size or time moved since the scan before.
      auto was = last.waiting.find(name);
      if (was == last.waiting.end() || !(was->second == now)) {
        if (debug_level & 0x400) zv_log(1, "DEBUG: %s is new or still changing\n", name);
        next.waiting.emplace(name, now);
        if (last.held_open.count(name) != 0) next.held_open.emplace(name, now);
        continue;
      }
      int fd = zv_open_unchanged(dfd, name, now);
      if (fd < 0 && errno == ENOENT) continue;
      if (fd < 0 && errno == ESTALE) {
        // Changed since this scan looked at it: looked at again by the next.
        if (zv_stamp_entry(dfd, name, &now)) next.waiting.emplace(name, now);
        continue;
      }
      // A writer that pauses longer than a scan still has its file open: not a document yet.
      if (fd >= 0 && open_for_writing(fd)) {
        close(fd);
        if (last.held_open.count(name) == 0)
          zv_log(-1, "WARNING: %s is still open for writing in another process - taken once "
                     "it is closed\n",
                 full);
        next.waiting.emplace(name, now);
        next.held_open.emplace(name, now);
        continue;
      }
      tctlp->iPriority = priority;
      if (debug_level & 0x400) zv_log(1, "DEBUG: processing %s\n", name);
      std::string base(name, strlen(name) - suffix);
      // The outcome of this document alone decides whether a high-priority one stays.
      tctlp->status = -999;
      read_check check;
      check.unchanged = [&] { return still_as_read(dfd, name, fd, now); };
      int rc = take_document(tctlp, fd, full, &check);
      if (check.changed) {
        // Neither handed over nor refused: what was read is not what the file holds.
        zv_log(-1, "WARNING: %s changed while it was read - not sent, looked at again at the "
                   "next scan\n",
               full);
        if (zv_stamp_entry(dfd, name, &now)) next.waiting.emplace(name, now);
        continue;
      }
      if (rc == 0) {
        rename_read(dfd, path, name, now, (base + ".sent").c_str(), "sent_");
      } else {
        zv_log(-1, "ERROR: cannot continue processing %s - skipping\n", full);
        if (!(priority == HIPRI_PORT && tctlp->status == ZV_ERRM_CANNOT_CONNECT_TO_REMOTE_SERVER))
          rename_read(dfd, path, name, now, (base + ".notsent").c_str(), "nots_");
        else if (zv_stamp_entry(dfd, name, &now))
          next.waiting.emplace(name, now);  // tried again by the next scan
      }
      processed = true;
      if (zv_pacing_delay >= 1) {
        zv_log(1, "dir_in_buf: pacing delay of %d msec\n", zv_pacing_delay);
        millisleep(static_cast<unsigned>(zv_pacing_delay));
      }
    }
    if (!denied.empty() && !searched) {
      next.unsearchable = true;
      if (!last.unsearchable)
        zv_log(-1, "ERROR: input directory %s cannot be searched (%s looking at %s) - no "
                   "document is taken from it until it can be\n",
               path, strerror(EACCES), denied.front().c_str());
    } else {
      for (const std::string &name : denied) {
        auto was = last.unexamined.find(name);
        if (was == last.unexamined.end() || was->second != EACCES)
          zv_log(-1, "ERROR: cannot examine %s/%s: %s - left where it is\n", path, name.c_str(),
                 strerror(EACCES));
      }
    }
    last = std::move(next);
    zv_client::idle_log_call();
    // A poll delay below one second would make the scan spin.
    long delay = dir_poll_delay >= 1 ? dir_poll_delay : kDefaultPollSeconds;
    dir_poll_wait(delay * 1000);
  }
}
