#include "client/zv_interfaces.h"

#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>

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

void sleep_ms_unless_shutdown(long ms) {
  while (ms > 0 && !zv_shutdown) {
    long step = ms < kShutdownPollMs ? ms : kShutdownPollMs;
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

// What the scans remember between them: the documents seen but not yet taken, and the
// entries that are no documents, each with what the last scan saw of it. Only the entries
// of the last scan are kept, so nothing grows with the directory's history.
using stamps_t = std::map<std::string, zv_entry_stamp>;

// One document of the directory: read from its open descriptor and handed over (or, in
// packet mode, read as a packet file). The interface's result for it.
int take_document(Trans_ctl_rec *tctlp, int fd, const char *full) {
  zv_file_ptr f(fdopen(fd, "r"));
  if (!f) {
    close(fd);
    zv_log(-1, "ERROR: Cannot open %s for reading\n", full);
    return -1;
  }
  return zv_packet_mode_flag ? packet_document(tctlp, f.get(), full)
                             : file_document(tctlp, f.get(), full, "directory");
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
  }

  stamps_t waiting, odd;
  bool processed = false;
  for (;;) {
    if (zv_shutdown) return 0;
    if (oneshot_flag == 1 && processed) {
      zv_log(-2, "Done with readdir OneShot loop\n");
      return 0;
    }
    zv_dir_ptr d(opendir(path));
    if (!d) {
      zv_log(-1, "ERROR: cannot open %s - exiting\n", path);
      return -1;
    }
    stamps_t still_waiting, still_odd;
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
      if (!zv_stamp_entry(dirfd(d.get()), name, &now)) continue;  // gone since the listing
      if (!now.regular()) {
        // A FIFO would hold the scan in its open, a directory is no document, a link may
        // lead anywhere: left where they are, said once.
        auto was = odd.find(name);
        if (was == odd.end() || !(was->second == now))
          zv_log(-1, "WARNING: %s is not a regular file - left where it is\n", full);
        still_odd.emplace(name, now);
        continue;
      }
      // Taken only once a whole scan has passed without a change: a writer may still be
      // at a file whose size or time moved since the scan before.
      auto was = waiting.find(name);
      if (was == waiting.end() || !(was->second == now)) {
        if (debug_level & 0x400) zv_log(1, "DEBUG: %s is new or still changing\n", name);
        still_waiting.emplace(name, now);
        continue;
      }
      int fd = zv_open_unchanged(dirfd(d.get()), name, now);
      if (fd < 0 && errno == ENOENT) continue;
      if (fd < 0 && errno == ESTALE) {
        // Changed since this scan looked at it: looked at again by the next.
        if (zv_stamp_entry(dirfd(d.get()), name, &now)) still_waiting.emplace(name, now);
        continue;
      }
      tctlp->iPriority = priority;
      if (debug_level & 0x400) zv_log(1, "DEBUG: processing %s\n", name);
      std::string base(name, strlen(name) - suffix);
      // The outcome of this document alone decides whether a high-priority one stays.
      tctlp->status = -999;
      int rc;
      if (fd < 0) {
        zv_log(-1, "ERROR: Cannot open %s for reading\n", full);
        rc = -1;
      } else {
        rc = take_document(tctlp, fd, full);
      }
      if (rc == 0) {
        safe_rename_new(full, (base + ".sent").c_str(), path, "sent_", 1);
      } else {
        zv_log(-1, "ERROR: cannot continue processing %s - skipping\n", full);
        if (!(priority == HIPRI_PORT && tctlp->status == ZV_ERRM_CANNOT_CONNECT_TO_REMOTE_SERVER))
          safe_rename_new(full, (base + ".notsent").c_str(), path, "nots_", 1);
        else if (zv_stamp_entry(dirfd(d.get()), name, &now))
          still_waiting.emplace(name, now);  // tried again by the next scan
      }
      processed = true;
      if (zv_pacing_delay >= 1) {
        zv_log(1, "dir_in_buf: pacing delay of %d msec\n", zv_pacing_delay);
        millisleep(static_cast<unsigned>(zv_pacing_delay));
      }
    }
    d.reset();
    waiting.swap(still_waiting);
    odd.swap(still_odd);
    zv_client::idle_log_call();
    // A poll delay below one second would make the scan spin.
    long delay = dir_poll_delay >= 1 ? dir_poll_delay : kDefaultPollSeconds;
    dir_poll_wait(delay * 1000);
  }
}
