#include "client/zv_input.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>

#include "client/zv_clientd.h"
#include "client/zv_interfaces.h"
#include "runtime/zv_errors.h"
#include "runtime/zv_globals.h"
#include "runtime/zv_log.h"
#include "runtime/zv_tempfile.h"
#include "runtime/zv_translog.h"
#include "transport/zv_transport.h"

client_handler_t client_handler = clientd;

namespace zv_input {

void zero_buffers(Trans_ctl_rec *t) {
  if (t->ibufferp && t->ibuf_length > 0) memset(t->ibufferp, 0, static_cast<size_t>(t->ibuf_length));
  if (t->obufferp && t->obuf_length > 0) memset(t->obufferp, 0, static_cast<size_t>(t->obuf_length));
}

namespace {

long long ms_between(steady::time_point from, steady::time_point to) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count();
}

}  // namespace

size_t read_at_least(int fd, void *buf, size_t least, size_t n, bool is_socket, int idle_ms,
                     steady::time_point deadline) {
  size_t got = 0;
  bool wait = !is_socket;
  steady::time_point last = steady::now();
  while (got < least) {
    if (wait) {
      if (is_socket && zv_shutdown) {
        errno = EINTR;
        return got;
      }
      steady::time_point now = steady::now();
      long long slice = kShutdownPollMs;
      if (idle_ms >= 0) {
        long long quiet = ms_between(last, now);
        if (quiet >= idle_ms) {
          errno = ETIMEDOUT;
          return got;
        }
        if (idle_ms - quiet < slice) slice = idle_ms - quiet;
      }
      if (deadline != steady::time_point::max()) {
        long long left = ms_between(now, deadline);
        if (left <= 0) {
          errno = ETIME;
          return got;
        }
        if (left < slice) slice = left;
      }
      pollfd p{fd, POLLIN, 0};
      int ready = poll(&p, 1, static_cast<int>(slice));
      if (ready < 0 && errno != EINTR) return got;
      if (ready <= 0) {
        if (zv_shutdown) {
          errno = EINTR;
          return got;
        }
        continue;
      }
    }
    char *at = static_cast<char *>(buf) + got;
    ssize_t r = is_socket ? recv(fd, at, n - got, MSG_DONTWAIT) : read(fd, at, n - got);
    if (r > 0) {
      got += static_cast<size_t>(r);
      last = steady::now();
      wait = !is_socket;
      continue;
    }
    if (r == 0) {
      errno = 0;
      return got;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return got;
    wait = true;
  }
  return got;
}

int wait_readable(int fd, int ms) {
  const steady::time_point deadline = steady::now() + std::chrono::milliseconds(ms);
  for (;;) {
    if (zv_shutdown) return 0;
    long long left = ms_between(steady::now(), deadline);
    if (left <= 0) return 0;
    pollfd p{fd, POLLIN | POLLPRI, 0};
    int ready = poll(&p, 1, static_cast<int>(left < kShutdownPollMs ? left : kShutdownPollMs));
    if (ready > 0) return p.revents;
    if (ready < 0 && errno != EINTR) return -1;
  }
}

zv_file_ptr open_document(Trans_ctl_rec *t, const char *path) {
  int fd = zv_open_regular(path);
  zv_file_ptr f(fd >= 0 ? fdopen(fd, "r") : nullptr);
  if (f) return f;
  if (fd >= 0) close(fd);
  zero_buffers(t);
  if (fd == -2)
    zv_log(-1, "ERROR: %s is not a regular file - not read as a document\n", path);
  else
    zv_log(-1, "ERROR: Cannot open %s for reading\n", path);
  return nullptr;
}

int read_rest(FILE *f, char *buf, size_t room, size_t *n) {
  *n = fread(buf, 1, room, f);
  if (ferror(f)) return 1;
  if (*n < room) return 0;
  int c = fgetc(f);
  if (c == EOF) return ferror(f) ? 1 : 0;
  return 2;
}

int read_failed(Trans_ctl_rec *t, int read, int read_errno, const char *path,
                const char *reader) {
  if (read == 1) {
    zv_log(-1, "ERROR: Cannot read %s, returned errno %d\n", path, read_errno);
  } else {
    zv_log(-1, "INTERNAL ERROR: in %s(): EOF not found in %s\n", reader, path);
    // The line above is the one operators know; this one says what it means.
    zv_log(-1, "ERROR: %s is larger than the %d bytes the interface takes - message not sent\n",
           path, t->ibuf_length - 1);
    refuse_unread(t);
  }
  return -1;
}

void no_partner(Trans_ctl_rec *t) {
  t->msg_type = 0;
  t->isa_line[0] = '\0';
  t->tp_index = -1;
}

void refuse_unread(Trans_ctl_rec *t) {
  int ilen = t->ibuf_length;
  int olen = t->obuf_length;
  no_partner(t);
  t->ibuf_length = 0;
  t->obuf_length = 0;
  transaction_logging(t, ZV_ERRM_UNSUPPORTED_INPUT_MSG_FOUND);
  t->ibuf_length = ilen;
  t->obuf_length = olen;
}

// ---- the directory interface's file --------------------------------------------------

bool still_as_read(int dir_fd, const char *name, int fd, const zv_entry_stamp &stamp) {
  zv_entry_stamp now;
  if (!zv_stamp_fd(fd, &now) || !(now == stamp)) return false;
  zv_entry_stamp named;
  return zv_stamp_entry(dir_fd, name, &named) && named == stamp;
}

bool open_for_writing(int fd) {
  if (fcntl(fd, F_SETLEASE, F_RDLCK) == 0) {
    fcntl(fd, F_SETLEASE, F_UNLCK);
    return false;
  }
  return errno == EAGAIN || errno == EBUSY;
}

namespace {

bool same_file(const zv_entry_stamp &a, const zv_entry_stamp &b) {
  return a.dev == b.dev && a.ino == b.ino;
}

// Moves the file read from `name` to `to`, and checks that what moved is the file read:
// when another file slipped in under `name` before the rename, that one goes back.
// 0 moved; -1 with errno when the move failed; 1 when another file was moved and put
// back (or could not be: logged).
int move_checked(int dir_fd, const char *name, int to_dir, const char *to,
                 const zv_entry_stamp &read, const std::string &shown_to) {
  if (zv_move_new_at(dir_fd, name, to_dir, to) != 0) return -1;
  zv_entry_stamp moved;
  if (!zv_stamp_entry(to_dir, to, &moved) || same_file(moved, read)) return 0;
  if (zv_move_new_at(to_dir, to, dir_fd, name) != 0)
    zv_log(-1, "ERROR: %s is a file that was not read, put there in the instant of its rename "
               "from %s, and cannot go back (%s): it is a document not sent\n",
           shown_to.c_str(), name, strerror(errno));
  return 1;
}

// Six characters for a fresh name.
std::string fresh_suffix() {
  static const char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  unsigned char r[6];
  if (getrandom(r, sizeof r, 0) != static_cast<ssize_t>(sizeof r)) {
    for (unsigned char &c : r) c = static_cast<unsigned char>(random());
  }
  std::string s;
  for (unsigned char c : r) s.push_back(kChars[c % (sizeof kChars - 1)]);
  return s;
}

}  // namespace

rename_outcome rename_read(int dir_fd, const char *dir, const char *name,
                           const zv_entry_stamp &read, const char *target, const char *prefix) {
  const std::string full = std::string(dir) + "/" + name;
  const std::string wanted = std::string(dir) + "/" + target;
  auto replaced = [&] {
    zv_log(-1, "WARNING: %s now holds another file than the one read - not renamed, left for "
               "the next scan\n",
           full.c_str());
    return rename_outcome::replaced;
  };
  // After a rename that failed: true (said) when nothing is at the name any more.
  auto gone = [&](const std::string &to) {
    zv_entry_stamp now;
    if (zv_stamp_entry(dir_fd, name, &now) || errno != ENOENT) return false;
    zv_log(-1, "WARNING: %s is no longer there, not renamed to %s\n", full.c_str(), to.c_str());
    return true;
  };
  zv_entry_stamp named;
  if (zv_stamp_entry(dir_fd, name, &named) && !same_file(named, read)) return replaced();
  int rc = move_checked(dir_fd, name, dir_fd, target, read, wanted);
  if (rc == 0) return rename_outcome::renamed;
  if (rc == 1) return replaced();
  if (gone(wanted)) return rename_outcome::gone;
  // A fresh name in the directory, then in /tmp; a name someone else took is tried again.
  const struct {
    int fd;
    std::string dir;
  } places[] = {{dir_fd, dir}, {AT_FDCWD, "/tmp"}};
  for (const auto &place : places) {
    for (int attempt = 0; attempt < 16; ++attempt) {
      const std::string fresh = std::string(prefix) + fresh_suffix();
      const std::string shown = place.dir + "/" + fresh;
      const std::string to = place.fd == AT_FDCWD ? shown : fresh;
      if (place.fd != AT_FDCWD)
        zv_log(-1, "WARNING: Cannot rename %s to %s.  Will rename to %s\n", full.c_str(),
               wanted.c_str(), shown.c_str());
      rc = move_checked(dir_fd, name, place.fd, to.c_str(), read, shown);
      if (rc == 1) return replaced();
      if (rc == 0) {
        if (place.fd == AT_FDCWD)
          zv_log(-1, "WARNING: Error encountered in rename().  Must rename %s to %s.\n",
                 full.c_str(), shown.c_str());
        return rename_outcome::renamed;
      }
      if (errno != EEXIST) {
        if (gone(shown)) return rename_outcome::gone;
        break;
      }
    }
  }
  zv_log(-1, "FATAL ERROR: Error encountered in attempting to rename %s to %s.\n", full.c_str(),
         wanted.c_str());
  abort();
}

}  // namespace zv_input

namespace {

// The offset of the first NUL before the last of `len` bytes, or -1.
long inner_nul(const char *doc, size_t len) {
  if (doc == nullptr || len < 2) return -1;
  const void *at = memchr(doc, '\0', len - 1);
  return at != nullptr ? static_cast<const char *>(at) - doc : -1;
}

}  // namespace

bool zv_refuse_inner_nul(Trans_ctl_rec *t, size_t len, const char *interface, const char *source,
                         int *result) {
  long at = inner_nul(t->ibufferp, len);
  if (at < 0) return false;
  zv_log(-1, "ERROR: %s interface: document of %zu bytes from %s holds a NUL at byte %ld - "
             "message not sent\n",
         interface, len, source, at);
  zv_input::no_partner(t);
  int rc = zv_report_refusal(t, ZV_ERRM_UNSUPPORTED_INPUT_MSG_FOUND);
  if (result != nullptr) *result = rc;
  return true;
}
