#include "client/zv_input.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "client/zv_clientd.h"
#include "client/zv_interfaces.h"
#include "runtime/zv_errors.h"
#include "runtime/zv_globals.h"
#include "runtime/zv_log.h"
#include "runtime/zv_translog.h"

client_handler_t client_handler = clientd;

namespace zv_input {

void zero_buffers(Trans_ctl_rec *t) {
  if (t->ibufferp && t->ibuf_length > 0) memset(t->ibufferp, 0, static_cast<size_t>(t->ibuf_length));
  if (t->obufferp && t->obuf_length > 0) memset(t->obufferp, 0, static_cast<size_t>(t->obuf_length));
}

size_t read_at_least(int fd, void *buf, size_t least, size_t n, bool is_socket, int idle_ms) {
  using clock = std::chrono::steady_clock;
  size_t got = 0;
  bool wait = !is_socket;
  clock::time_point last = clock::now();
  while (got < least) {
    if (wait) {
      if (is_socket && zv_shutdown) {
        errno = EINTR;
        return got;
      }
      int slice = kShutdownPollMs;
      if (idle_ms >= 0) {
        long long quiet =
            std::chrono::duration_cast<std::chrono::milliseconds>(clock::now() - last).count();
        if (quiet >= idle_ms) {
          errno = ETIMEDOUT;
          return got;
        }
        if (idle_ms - quiet < slice) slice = static_cast<int>(idle_ms - quiet);
      }
      pollfd p{fd, POLLIN, 0};
      int ready = poll(&p, 1, slice);
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
      last = clock::now();
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

int read_rest(FILE *f, char *buf, size_t room, size_t *n) {
  *n = fread(buf, 1, room, f);
  if (ferror(f)) return 1;
  if (*n < room) return 0;
  int c = fgetc(f);
  if (c == EOF) return ferror(f) ? 1 : 0;
  return 2;
}

void no_partner(Trans_ctl_rec *t) {
  t->msg_type = 0;
  t->isa_line[0] = '\0';
  t->tp_index = -1;
}

void refuse_too_long(Trans_ctl_rec *t) {
  int ilen = t->ibuf_length;
  int olen = t->obuf_length;
  no_partner(t);
  t->ibuf_length = 0;
  t->obuf_length = 0;
  transaction_logging(t, ZV_ERRM_UNSUPPORTED_INPUT_MSG_FOUND);
  t->ibuf_length = ilen;
  t->obuf_length = olen;
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
