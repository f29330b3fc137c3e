#include "client/zv_interfaces.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "client/zv_client_util.h"
#include "client/zv_input.h"
#include "runtime/zv_backend_records.h"
#include "runtime/zv_errors.h"
#include "runtime/zv_globals.h"
#include "runtime/zv_handles.h"
#include "runtime/zv_log.h"
#include "runtime/zv_process.h"
#include "runtime/zv_translog.h"
#include "transport/zv_transport.h"

using namespace zv_input;

namespace {

constexpr const char *kSource = "zv_in_pipe";

// Reads one part of a pipe record: true when all `n` bytes came. A record once begun must
// go on arriving: quiet for the transport's bound means its writer gave up on it. A slow
// writer that is never quiet that long keeps its record, however long it takes: the
// socket interface's bound on a whole record keeps one sender from holding the interface
// from others, and a pipe has no others to protect.
bool read_pipe_part(int fd, void *buf, size_t n, size_t *got) {
  *got = read_at_least(fd, buf, n, n, false, ZV_TRANS_IDLE_SECONDS * 1000);
  return *got == n;
}

// A record that ended before it was whole: a stop in its middle, its writer gone quiet,
// or the pipe no longer readable. What came of its body is kept as the copy of a
// failed message, with its transaction-log line and alert. 0 at a stop, else -1: the
// stream's framing is lost, so nothing after it can be read as records.
int pipe_record_cut(Trans_ctl_rec *t, const char *path, int read_errno, size_t body, int size) {
  if (zv_shutdown && read_errno == EINTR)
    zv_log(-1, "WARNING: stopping with the record from %s incomplete - what was read is kept\n",
           path);
  else if (read_errno == ETIMEDOUT)
    zv_log(-1,
           "ERROR: record from %s cut short: nothing more came for %d seconds - what was read "
           "is kept, cannot continue\n",
           path, ZV_TRANS_IDLE_SECONDS);
  else
    zv_log(-1, "ERROR: cannot read %s any more: %s - what was read is kept, cannot continue\n",
           path, read_errno != 0 ? strerror(read_errno) : "end of input");
  if (size < 0)
    zv_log(-1, "ERROR: record from %s ends inside its length field\n", path);
  else
    zv_log(-1, "ERROR: record from %s ends after %zu of its %d body bytes\n", path, body, size);
  no_partner(t);
  t->imsg_length = static_cast<int>(body);
  transaction_logging(t, ZV_ERRM_CANNOT_RECV_INTERNAL_DATA);
  return zv_shutdown && read_errno == EINTR ? 0 : -1;
}

}  // namespace

int iReadableEvent(int fd, Trans_ctl_rec *tctlp, const char *path) {
  if (tctlp == nullptr || path == nullptr || tctlp->ibufferp == nullptr) {
    zv_client::soft_assert(kSource, __LINE__);
    return -1;
  }
  // Nothing of the document before this record may stand in for what this one left.
  zero_buffers(tctlp);
  tctlp->imsg_length = 0;
  size_t got = 0;
  unsigned char length_field[ZV_BE_PIPE_LENGTH_SIZE];
  bool begun = read_pipe_part(fd, length_field, 1, &got);
  if (!begun || !read_pipe_part(fd, length_field + 1, sizeof length_field - 1, &got)) {
    int e = errno;
    // A stop before the record began ends nothing.
    if (!begun && zv_shutdown && e == EINTR) return 0;
    zv_log(-1, "ERROR: cannot read message size bytes(2) from %s\n", path);
    return pipe_record_cut(tctlp, path, e, 0, -1);
  }
  int size = static_cast<int>(zv_be_get16(length_field));
  zv_log(1, "DEBUG: found message size of %d bytes\n", size);
  if (size > tctlp->ibuf_length - 1) {
    zv_log(-1,
           "ERROR: cannot read message (of %d bytes) from %s - message too big, cannot "
           "continue\n",
           size, path);
    return -1;
  }
  unsigned char priority_field[ZV_BE_PRIORITY_SIZE];
  if (!read_pipe_part(fd, priority_field, sizeof priority_field, &got)) {
    int e = errno;
    zv_log(-1, "ERROR: cannot read message priority bytes(2) from %s\n", path);
    return pipe_record_cut(tctlp, path, e, 0, size);
  }
  int priority = static_cast<int>(zv_be_get16(priority_field));
  zv_log(1, "DEBUG: found message priority of %d bytes\n", priority);
  // A record larger than the pipe's own buffer arrives in several pieces.
  if (!read_pipe_part(fd, tctlp->ibufferp, static_cast<size_t>(size), &got)) {
    int e = errno;
    zv_log(-1, "ERROR: cannot read message (of %d bytes) from %s\n", size, path);
    return pipe_record_cut(tctlp, path, e, got, size);
  }
  tctlp->imsg_length = size;
  zv_log(1, "DEBUG: buf_size = %d rc = %d\n", size, static_cast<int>(got));
  // A refused record is kept as a failed message and the records behind it are read on:
  // only a broken stream ends the interface.
  if (priority != STD_PORT && priority != HIPRI_PORT) {
    zv_log(-1,
           "ERROR: cannot set message priority (with value of %d) from %s - message invalid, "
           "cannot continue\n",
           priority, path);
    no_partner(tctlp);
    zv_report_refusal(tctlp, ZV_ERRM_UNSUPPORTED_INPUT_MSG_FOUND);
    return 0;
  }
  tctlp->iPriority = priority;
  if (zv_refuse_inner_nul(tctlp, got, "pipe", path, nullptr)) return 0;
  // Handed over, or refused and reported with its copy; a fatal refusal has ended the
  // process inside its report.
  client_handler(tctlp, static_cast<zvPortType>(priority));
  return 0;
}

int pipe_in_buf(Trans_ctl_rec *tctlp, const char *path, int /*mode*/) {
  if (tctlp == nullptr || path == nullptr) {
    zv_client::soft_assert(kSource, __LINE__);
    return -1;
  }
  // Read and write, so that the pipe stays open while no writer has it; without waiting,
  // so that nothing the path names can hold the open past a stop.
  zv_fd fd(open(path, O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (fd.get() < 0) {
    zv_log(-1, "FATAL ERROR: cannot open %s for reading\n", path);
    return -1;
  }
  struct stat st;
  if (fstat(fd.get(), &st) != 0 || !S_ISFIFO(st.st_mode)) {
    // A file would end at once, a device could hand over its bytes for ever.
    zv_log(-1, "FATAL ERROR: %s is not a named pipe - cannot read records from it\n", path);
    return -1;
  }
  zv_started();
  for (int pass = 0;; ++pass) {
    if (zv_shutdown) return 0;
    // A pass lasts its second, however often a signal cuts the wait short.
    int events = wait_readable(fd.get(), 1000);
    if (events < 0) {
      zv_log(-1, "ERROR: in select in fifo condition encountered!\n");
      zv_log(-1, "select: %s\n", strerror(errno));
      return -1;
    }
    if (events == 0) {
      zv_log(1, "WARNING: Timeout fifo condition encountered!\n");
    } else {
      if (events & (POLLPRI | POLLERR))
        zv_log(-1, "WARNING: Exceptional fifo condition encountered!\n");
      else
        zv_log(1, "Readable fifo condition triggered\n");
      if (iReadableEvent(fd.get(), tctlp, path) != 0) return -1;
    }
    if (oneshot_flag == 1 && pass == 1) {
      zv_log(-2, "Done with pipe OneShot loop\n");
      return 0;
    }
  }
}
