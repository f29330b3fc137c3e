#include "client/zv_interfaces.h"

#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "client/zv_client_util.h"
#include "client/zv_clientd.h"
#include "client/zv_message.h"
#include "partners/zv_tpartner.h"
#include "runtime/zv_backend_records.h"
#include "runtime/zv_errors.h"
#include "runtime/zv_globals.h"
#include "runtime/zv_handles.h"
#include "runtime/zv_log.h"
#include "runtime/zv_process.h"
#include "runtime/zv_translog.h"

client_handler_t client_handler = clientd;

const char zv_test_message[ZV_TEST_MESSAGE_LENGTH + 1] =
    "ISA^00^ZOLVAR    ^00^TEST      ^ZZ^DXC7           ^ZZ^DXC_TEST       "
    "^990629^1248^U^00303^000000001^0^T^>\n"
    "GS^PO^CLECAPP^DXC^990629^1248^000001^X^003030\n"
    "ST^864^000000001\n"
    "BMG^28\n"
    "DTM^097^990629^124849^21^19\n"
    "MIT^000000001\n"
    "MSG^This is test message from DXC7 to DXC_TEST over Zolvar\n"
    "MSG^This is test message line 2\n"
    "MSG^This is test message line 3\n"
    "MSG^This is test message line 4\n"
    "MSG^This is test message line 5\n"
    "MSG^This is test message line 6\n"
    "MSG^This is test message line 7\n"
    "MSG^This is test message line 8\n"
    "MSG^This is test message line 9\n"
    "CTT^0\n"
    "SE^14^000000001\n"
    "GE^1^000001\n"
    "IEA^1^000000001\n";
static_assert(sizeof zv_test_message == ZV_TEST_MESSAGE_LENGTH + 1);

namespace {

constexpr const char *kSource = "zv_interfaces";

// How often a blocked read or wait looks at zv_shutdown.
constexpr int kShutdownPollMs = 250;
// The directory's scan interval when the setting is unusable.
constexpr long kDefaultPollSeconds = 5;
// The longest id or priority line a packet file may have.
constexpr size_t kMaxPacketLine = 1024;

void zero_buffers(Trans_ctl_rec *t) {
  if (t->ibufferp && t->ibuf_length > 0) memset(t->ibufferp, 0, static_cast<size_t>(t->ibuf_length));
  if (t->obufferp && t->obuf_length > 0) memset(t->obufferp, 0, static_cast<size_t>(t->obuf_length));
}

// Reads until at least `least` of at most `n` bytes have come, the stream ends, or a read
// fails. A socket is read first and waited for only when it has nothing, so a record that
// has arrived is taken in as few reads as its bytes allow; a pipe, whose reads may block,
// is waited for first. A wait gives up with EINTR when it sees zv_shutdown (a socket's
// before it begins, so that a peer that trickles cannot hold a stop off), and with
// ETIMEDOUT once nothing has come for idle_ms (-1: no bound) since the last byte or the
// call. Returns the bytes read (errno set when fewer than `least`, 0 for the end of the
// stream).
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

size_t read_soc(int fd, void *buf, size_t least, size_t n, int idle_ms) {
  return read_at_least(fd, buf, least, n, true, idle_ms);
}

// The rest of `f`, at most `room` bytes, into `buf`. 0 at its end (*n the bytes read),
// 1 on a read error, 2 when more follows.
int read_rest(FILE *f, char *buf, size_t room, size_t *n) {
  *n = fread(buf, 1, room, f);
  if (ferror(f)) return 1;
  if (*n < room) return 0;
  int c = fgetc(f);
  if (c == EOF) return ferror(f) ? 1 : 0;
  return 2;
}

// One line of a packet file without its line end. False at the end of the file before
// anything was read; a line longer than kMaxPacketLine sets *too_long.
bool packet_line(FILE *f, std::string *line, bool *too_long) {
  line->clear();
  *too_long = false;
  int c;
  bool any = false;
  while ((c = fgetc(f)) != EOF) {
    any = true;
    if (c == '\n') break;
    if (line->size() >= kMaxPacketLine) {
      *too_long = true;
      continue;
    }
    line->push_back(static_cast<char>(c));
  }
  if (!line->empty() && line->back() == '\r') line->pop_back();
  return any;
}

// An id that is empty or begins with a blank agrees with every partner.
bool usable_id(const std::string &id) { return !id.empty() && id[0] != ' '; }

void sleep_ms_unless_shutdown(long ms) {
  while (ms > 0 && !zv_shutdown) {
    long step = ms < kShutdownPollMs ? ms : kShutdownPollMs;
    millisleep(static_cast<unsigned>(step));
    ms -= step;
  }
}

}  // namespace

dir_wait_t dir_poll_wait = sleep_ms_unless_shutdown;

namespace {

bool ends_with(const char *name, const char *suffix) {
  size_t n = strlen(name), s = strlen(suffix);
  return n >= s && strcmp(name + n - s, suffix) == 0;
}

// A document refused before its partner is known: its report names no kind, no
// interchange and no partner, whichever interface refused it and whatever document the
// record carried before (message type 0 everywhere).
void no_partner(Trans_ctl_rec *t) {
  t->msg_type = 0;
  t->isa_line[0] = '\0';
  t->tp_index = -1;
}

// A file longer than the record's input buffer, reported as a refused document about no
// partner. Only its beginning is in the buffer, which is not the document: the lengths
// are hidden from the report so that no copy of it is kept.
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

// The offset of the first NUL before the last of `len` bytes, or -1.
long inner_nul(const char *doc, size_t len) {
  if (doc == nullptr || len < 2) return -1;
  const void *at = memchr(doc, '\0', len - 1);
  return at != nullptr ? static_cast<const char *>(at) - doc : -1;
}

// A connection ends with a reset unless it is closed in order on purpose: the peer's next
// read or write then fails with ECONNRESET. The back-end system reads an orderly close as
// "taken", so an accepted connection is set to reset at once, and only a document handed
// over or kept undoes that; one that ends any other way, the process's own end inside a
// refusal included, tells its sender to send again.
bool reset_on_close(int fd, bool reset) {
  linger l{reset ? 1 : 0, 0};
  if (setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l) == 0) return true;
  zv_log(-1, "ERROR: cannot set SO_LINGER on socket = %d: %s\n", fd, strerror(errno));
  return false;
}

// The request counters of the socket interface.
int count = 0;
int old_count = 0;
int max_count = 0;
request_t *requests = nullptr;

void free_request(request_t *r) {
  if (r == nullptr) return;
  free(r->buf);
  free(r);
}

// The open file `f` (named `path` in the log) as a document of the interface named
// `interface` (the file interface, or the directory interface for each of its files).
int file_document(Trans_ctl_rec *tctlp, FILE *f, const char *path, const char *interface);
// The open packet file `f`, named `path`.
int packet_document(Trans_ctl_rec *tctlp, FILE *f, const char *path);

}  // namespace

bool zv_refuse_inner_nul(Trans_ctl_rec *t, size_t len, const char *interface, const char *source,
                         int *result) {
  long at = inner_nul(t->ibufferp, len);
  if (at < 0) return false;
  zv_log(-1, "ERROR: %s interface: document of %zu bytes from %s holds a NUL at byte %ld - "
             "message not sent\n",
         interface, len, source, at);
  no_partner(t);
  int rc = zv_report_refusal(t, ZV_ERRM_UNSUPPORTED_INPUT_MSG_FOUND);
  if (result != nullptr) *result = rc;
  return true;
}

// ---- directory -----------------------------------------------------------------------

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

// ---- file ----------------------------------------------------------------------------

int file_in_buf(Trans_ctl_rec *tctlp, const char *path) {
  if (tctlp == nullptr || path == nullptr) {
    zv_client::soft_assert(kSource, __LINE__);
    return -1;
  }
  zv_file_ptr f(fopen(path, "r"));
  if (!f) {
    // Not read: the buffers of the last document must not look like this one's.
    zero_buffers(tctlp);
    zv_log(-1, "ERROR: Cannot open %s for reading\n", path);
    return -1;
  }
  return file_document(tctlp, f.get(), path, "file");
}

namespace {

int file_document(Trans_ctl_rec *tctlp, FILE *f, const char *path, const char *interface) {
  if (tctlp == nullptr || path == nullptr || tctlp->ibufferp == nullptr || tctlp->ibuf_length < 1) {
    zv_client::soft_assert(kSource, __LINE__);
    return -1;
  }
  zero_buffers(tctlp);
  size_t n = 0;
  switch (read_rest(f, tctlp->ibufferp, static_cast<size_t>(tctlp->ibuf_length) - 1, &n)) {
    case 0: {
      tctlp->imsg_length = static_cast<int>(n);
      int refused;
      if (zv_refuse_inner_nul(tctlp, n, interface, path, &refused)) return refused;
      return client_handler(tctlp, static_cast<zvPortType>(tctlp->iPriority));
    }
    case 1:
      zv_log(-1, "ERROR: Cannot read %s, returned errno %d\n", path, errno);
      return -1;
    default:
      zv_log(-1, "INTERNAL ERROR: in file_in_buf(): EOF not found in %s\n", path);
      refuse_too_long(tctlp);
      return -1;
  }
}

}  // namespace

// ---- packet files --------------------------------------------------------------------

int packet_in_buf(Trans_ctl_rec *tctlp, const char *path) {
  if (tctlp == nullptr || path == nullptr) {
    zv_client::soft_assert(kSource, __LINE__);
    return -1;
  }
  zv_file_ptr f(fopen(path, "r"));
  if (!f) {
    zero_buffers(tctlp);
    zv_log(-1, "ERROR: Cannot open %s for reading\n", path);
    return -1;
  }
  return packet_document(tctlp, f.get(), path);
}

namespace {

// A packet refused as a document about no partner: line 1 stands for its interchange, and
// the packet read (imsg_length bytes of the input) is its copy.
int refuse_packet(Trans_ctl_rec *t, int code, int capacity) {
  t->msg_type = 0;
  t->tp_index = -1;
  t->obuf_length = 0;
  int rc = zv_report_refusal(t, code);
  t->obuf_length = capacity;
  return rc;
}

int packet_document(Trans_ctl_rec *tctlp, FILE *f, const char *path) {
  if (tctlp == nullptr || path == nullptr || tctlp->ibufferp == nullptr ||
      tctlp->obufferp == nullptr || tctlp->ibuf_length < 1) {
    zv_client::soft_assert(kSource, __LINE__);
    return -1;
  }
  // The output capacity is the record's own; the packet's length only lives for the send.
  int capacity = tctlp->obuf_length;
  zero_buffers(tctlp);
  tctlp->imsg_length = 0;
  std::string local, remote, prio;
  bool too_long = false;
  struct Line {
    std::string *text;
    const char *eof_msg;
    int number;
  } lines[] = {
      {&local, "ERROR: Cannot read local trading partner (line 1) in packet file %s, returned errno %d\n", 1},
      {&remote, "ERROR: Cannot read remote trading partner (line 2) in packet file %s, returned errno %d\n", 2},
      {&prio, "ERROR: Cannot read priority flag (line 3) in packet file %s, returned errno %d\n", 3},
  };
  // Of a packet for no known partner the rest is still read, so that its copy holds it.
  bool unknown = false, header_whole = true;
  for (Line &l : lines) {
    bool got = packet_line(f, l.text, &too_long);
    if (unknown && (!got || too_long)) {
      header_whole = false;
      break;
    }
    if (!got) {
      zv_log(-1, l.eof_msg, path, errno);
      return -1;
    }
    if (too_long) {
      zv_log(-1, "ERROR: line %d of packet file %s is longer than %zu characters\n", l.number,
             path, kMaxPacketLine);
      return -1;
    }
    if (l.number != 2) continue;
    // Both ids are known now: find the partner before reading on.
    snprintf(tctlp->isa_line, sizeof tctlp->isa_line, "%.*s", ZV_ISA_SEGMENT_LENGTH,
             local.c_str());
    tctlp->tp_index = usable_id(local) && usable_id(remote)
                          ? tpLookup(local.c_str(), remote.c_str(), 0)
                          : -1;
    unknown = tctlp->tp_index == -1;
  }
  size_t n = 0;
  int read = header_whole ? read_rest(f, tctlp->ibufferp,
                                      static_cast<size_t>(tctlp->ibuf_length) - 1, &n)
                          : 1;
  if (unknown) {
    zv_log(-1, "WARNING: Unknown ISA_ID of [%s] found in input message - skipping message\n",
           local.c_str());
    // The packet is its copy when it was read whole; the file itself is kept anyway.
    int ilen = tctlp->ibuf_length;
    tctlp->imsg_length = read == 0 ? static_cast<int>(n) : 0;
    if (read != 0) tctlp->ibuf_length = 0;
    int rc = refuse_packet(tctlp, ZV_ERRM_UNKNOWN_ISAID_FOUND, capacity);
    tctlp->ibuf_length = ilen;
    return rc;
  }
  tctlp->iPriority = atoi(prio.c_str()) > 0 ? HIPRI_PORT : STD_PORT;
  switch (read) {
    case 0:
      break;
    case 1:
      zv_log(-1, "ERROR: Cannot read %s, returned errno %d\n", path, errno);
      return -1;
    default:
      zv_log(-1, "INTERNAL ERROR: in packet_in_buf(): EOF not found in %s\n", path);
      refuse_too_long(tctlp);
      return -1;
  }
  tctlp->imsg_length = static_cast<int>(n);
  if (n == 0) {
    // Nothing the ZVP process could decode: refused as bad input, the file kept.
    zv_log(-1, "ERROR: packet file %s holds no packet after its three lines - message not sent\n",
           path);
    return refuse_packet(tctlp, ZV_ERRM_UNSUPPORTED_INPUT_MSG_FOUND, capacity);
  }
  zv_log(0, "WARNING: sending RAW ZV packet message to server\n");
  // Whole, NULs and all: a packet is a ready envelope, whose octets may be 0.
  size_t len = n;
  if (len > static_cast<size_t>(capacity)) {
    zv_log(-1, "ERROR: packet of %zu bytes does not fit the output buffer of %d bytes\n", len,
           capacity);
    return -1;
  }
  memcpy(tctlp->obufferp, tctlp->ibufferp, len);
  tctlp->obuf_length = static_cast<int>(len);
  transaction_logging(tctlp, ZV_SUCCESSFUL_TRANSMISSION);
  int rc = client_handler(tctlp, static_cast<zvPortType>(tctlp->iPriority));
  tctlp->obuf_length = capacity;
  return rc;
}

}  // namespace

// ---- named pipe ----------------------------------------------------------------------

namespace {

// Reads one part of a pipe record: true when all `n` bytes came. A record once begun must
// go on arriving; quiet for the transport's bound means its writer gave up on it.
bool read_pipe_part(int fd, void *buf, size_t n, size_t *got) {
  *got = read_at_least(fd, buf, n, n, false, ZV_TRANS_IDLE_SECONDS * 1000);
  return *got == n;
}

// A record that ended before it was whole: a stop in its middle, its writer gone quiet, or
// the pipe no longer readable. What came of its body is kept as the copy of a failed
// message, with its transaction-log line and alert. 0 at a stop, else -1: the stream's
// framing is lost, so nothing after it can be read as records.
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
  if (!read_pipe_part(fd, length_field, sizeof length_field, &got)) {
    int e = errno;
    // A stop before the record began ends nothing.
    if (got == 0 && zv_shutdown && e == EINTR) return 0;
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
  // Read and write, so that the pipe stays open while no writer has it.
  zv_fd fd(open(path, O_RDWR));
  if (fd.get() < 0) {
    zv_log(-1, "FATAL ERROR: cannot open %s for reading\n", path);
    return -1;
  }
  for (int pass = 0;; ++pass) {
    if (zv_shutdown) return 0;
    fd_set rd, ex;
    FD_ZERO(&rd);
    FD_ZERO(&ex);
    FD_SET(fd.get(), &rd);
    FD_SET(fd.get(), &ex);
    timeval tv{1, 0};
    int rc = select(fd.get() + 1, &rd, nullptr, &ex, &tv);
    if (rc < 0 && errno != EINTR) {
      zv_log(-1, "ERROR: in select in fifo condition encountered!\n");
      zv_log(-1, "select: %s\n", strerror(errno));
      return -1;
    }
    if (rc <= 0) {
      // A signal counts as a time-out: the stop flag is looked at next.
      zv_log(1, "WARNING: Timeout fifo condition encountered!\n");
    } else {
      if (FD_ISSET(fd.get(), &ex))
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

// ---- socket --------------------------------------------------------------------------

void vCountSocRequests(int n) {
  count += n;
  if (count - old_count > 999 || old_count - count > 999) {
    zv_log(1, "SocServer Processed %d requests.\n", count);
    old_count = count;
  }
  if (count > max_count) max_count = count;
}

int soc_request_count() { return count; }

void vPrintSocRequests() {
  for (request_t *r = requests; r != nullptr; r = r->next) zv_log(-2, "<SocRequest: %d>\n", r->socket_fd);
}

namespace {

// Why a read of a record's part came short, from the errno read_soc left.
soc_fault short_read_fault(int err) {
  if (err == ETIMEDOUT) return soc_fault::stalled;
  if (err == EINTR && zv_shutdown) return soc_fault::stopped;
  return soc_fault::cut;
}

}  // namespace

request_t *read_soc_request(int fd, int idle_ms, soc_fault *fault) {
  soc_fault ignored;
  if (fault == nullptr) fault = &ignored;
  *fault = soc_fault::none;
  // The length and the priority in one read when both have come; the length alone is
  // enough to go on, so that a body too big is refused without waiting for more.
  unsigned char head[ZV_BE_SOCKET_HEADER_SIZE];
  size_t have = read_soc(fd, head, ZV_BE_SOCKET_LENGTH_SIZE, sizeof head, idle_ms);
  if (have < ZV_BE_SOCKET_LENGTH_SIZE) {
    *fault = short_read_fault(errno);
    zv_log(-1, "ERROR: cannot read message size bytes(4) from socket\n");
    return nullptr;
  }
  unsigned size = zv_be_get32(head);
  zv_log(1, "DEBUG: found message size of %d bytes\n", static_cast<int>(size));
  // Checked before anything is allocated.
  if (size > static_cast<unsigned>(ZV_MAX_SOCKET_BODY)) {
    zv_log(-1,
           "ERROR: cannot read message (of %u bytes) from socket - message too big, cannot "
           "continue\n",
           size);
    *fault = soc_fault::too_big;
    return nullptr;
  }
  request_t *r = static_cast<request_t *>(calloc(1, sizeof(request_t)));
  if (r == nullptr || (r->buf = static_cast<char *>(calloc(size + 1, 1))) == nullptr) {
    zv_log(-1, "ERROR: cannot allocate a request of %u bytes\n", size);
    free_request(r);
    *fault = soc_fault::no_memory;
    return nullptr;
  }
  r->socket_fd = fd;
  r->uiSize = size;
  if (have < sizeof head) {
    size_t rest = sizeof head - have;
    have += read_soc(fd, head + have, rest, rest, idle_ms);
  }
  if (have < sizeof head) {
    *fault = short_read_fault(errno);
    zv_log(-1, "ERROR: cannot read message priority bytes(2) from socket\n");
    free_request(r);
    return nullptr;
  }
  r->iPriority = static_cast<int>(zv_be_get16(head + ZV_BE_SOCKET_LENGTH_SIZE));
  zv_log(1, "DEBUG: found message priority of %d bytes\n", r->iPriority);
  size_t got = 0;
  while (got < size) {
    size_t n = read_soc(fd, r->buf + got, size - got, size - got, idle_ms);
    int err = errno;
    got += n;
    zv_log(1, "DEBUG: ptGetSocRequest: buf_size = %d nbytes = %d left = %d\n",
           static_cast<int>(size), static_cast<int>(n), static_cast<int>(size - got));
    if (got < size) {
      *fault = short_read_fault(err);
      zv_log(-1, "ERROR: cannot read message (of %d bytes) from socket\n", static_cast<int>(size));
      free_request(r);
      return nullptr;
    }
  }
  vCountSocRequests(1);
  return r;
}

request_t *ptGetSocRequest(int fd) {
  return read_soc_request(fd, ZV_TRANS_IDLE_SECONDS * 1000, nullptr);
}

int iProcessSocRequest(request_t *request, Trans_ctl_rec *tctlp) {
  if (request == nullptr || tctlp == nullptr) {
    zv_client::soft_assert(kSource, __LINE__);
    free_request(request);
    return -1;
  }
  tctlp->ibufferp = request->buf;
  // The buffer's own size, its NUL included, so that the NUL is sent with the text.
  tctlp->ibuf_length = static_cast<int>(request->uiSize) + 1;
  tctlp->imsg_length = static_cast<int>(request->uiSize);
  long want = 2L * static_cast<long>(request->uiSize) + 2048;
  int osize = want < ZV_MAX_SOCKET_OUTPUT ? static_cast<int>(want) : ZV_MAX_SOCKET_OUTPUT;
  char *out = static_cast<char *>(calloc(static_cast<size_t>(osize), 1));
  int rc;
  if (out == nullptr) {
    zv_log(-1, "ERROR: cannot allocate ASN1 buffer (of  %d bytes), cannot continue\n", osize);
    rc = -99;
  } else {
    tctlp->obufferp = out;
    tctlp->obuf_length = osize;
    char source[32];
    snprintf(source, sizeof source, "socket = %d", request->socket_fd);
    if (request->iPriority != STD_PORT && request->iPriority != HIPRI_PORT) {
      zv_log(-1,
             "ERROR: cannot set message priority (with value of %d) from socket - message "
             "invalid, cannot continue\n",
             request->iPriority);
      // Refused as any document: the body is still the input buffer, so its copy is kept.
      no_partner(tctlp);
      rc = zv_report_refusal(tctlp, ZV_ERRM_UNSUPPORTED_INPUT_MSG_FOUND) == -1 ? -98
                                                                              : ZV_REFUSED_NOT_KEPT;
    } else if (!zv_refuse_inner_nul(tctlp, request->uiSize, "socket", source, &rc)) {
      rc = client_handler(tctlp, static_cast<zvPortType>(request->iPriority));
    }
    memset(out, 0xFA, static_cast<size_t>(osize));
    free(out);
  }
  tctlp->ibufferp = nullptr;
  tctlp->obufferp = nullptr;
  tctlp->ibuf_length = tctlp->obuf_length = 0;
  free_request(request);
  return rc;
}

void vProducer(int fd, Trans_ctl_rec *tctlp) {
  Trans_ctl_rec rec;
  memset(&rec, 0, sizeof rec);
  rec.who = tctlp->who;
  rec.iPriority = tctlp->iPriority;
  rec.dest_ip = tctlp->dest_ip;
  rec.dest_port = tctlp->dest_port;
  memcpy(rec.digest, tctlp->digest, sizeof rec.digest);
  rec.digest_length = tctlp->digest_length;
  rec.pssl = tctlp->pssl;
  rec.pctx = tctlp->pctx;
  rec.msg_type = -1;
  rec.status = -999;
  rec.tp_index = -1;
  zv_log(1, "SocServer Accepting on socket: %d\n", fd);
  reset_on_close(fd, true);
  soc_fault fault = soc_fault::none;
  request_t *r = read_soc_request(fd, ZV_TRANS_IDLE_SECONDS * 1000, &fault);
  // Handed over, or refused with its copy kept: every result but a missing output buffer
  // and a refusal whose copy could not be saved.
  int rc = r != nullptr ? iProcessSocRequest(r, &rec) : -99;
  bool taken = rc != -99 && rc != ZV_REFUSED_NOT_KEPT;
  if (rc == ZV_REFUSED_NOT_KEPT)
    zv_log(-1, "ERROR: document refused on socket = %d could not be kept - connection reset\n",
           fd);
  switch (fault) {
    case soc_fault::too_big:
      // Nothing of the body was read: the line and the alert say that a document was
      // refused, and there is no copy to keep.
      no_partner(&rec);
      transaction_logging(&rec, ZV_ERRM_UNSUPPORTED_INPUT_MSG_FOUND);
      break;
    case soc_fault::stalled:
      zv_log(-1,
             "ERROR: Socket peer on socket = %d sent nothing for %d seconds with its record "
             "incomplete - connection reset\n",
             fd, ZV_TRANS_IDLE_SECONDS);
      break;
    case soc_fault::stopped:
      zv_log(-1, "WARNING: stopping with the record on socket = %d incomplete - connection reset\n",
             fd);
      break;
    default:
      break;
  }
  if (taken) reset_on_close(fd, false);
  close(fd);
  zv_log(1, "SocServer Done Processing. \n");
}

int pvAcceptSocRequests(int listen_fd, Trans_ctl_rec *tctlp) {
  int failures = 0;
  while (!zv_shutdown) {
    pollfd p{listen_fd, POLLIN, 0};
    int ready = poll(&p, 1, kShutdownPollMs);
    if (ready == 0 || (ready < 0 && errno == EINTR)) {
      zv_client::idle_log_call();
      continue;
    }
    int fd = ready > 0 ? accept(listen_fd, nullptr, nullptr) : -1;
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED || errno == EAGAIN) continue;
      if (++failures >= 3) {
        zv_log(-1, "ERROR: accept error in ZVclient\n");
        return -1;
      }
      zv_log(-1, "ERROR: accept error in ZVclient - retrying\n");
      continue;
    }
    vProducer(fd, tctlp);
    return 0;
  }
  return 0;
}

int iSoc_in_buf(Trans_ctl_rec *tctlp, const char *port_text) {
  if (tctlp == nullptr || port_text == nullptr) {
    zv_client::soft_assert(kSource, __LINE__);
    return -1;
  }
  long port = strtol(port_text, nullptr, 10);
  if (port <= 0 || port > 65535) {
    zv_log(-1, "ERROR: cannot find port in IP address (%s) - cannot read from socket\n",
           port_text);
    return -1;
  }
  zv_fd s(socket(AF_INET, SOCK_STREAM, 0));
  if (s.get() < 0) {
    zv_log(-1, "ERROR: cannot open stream socket for reading\n");
    return -1;
  }
  int one = 1;
  setsockopt(s.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (bind(s.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
    zv_log(-1, "ERROR: cannot bind to local address\n");
    return -1;
  }
  if (listen(s.get(), 16) != 0) {
    zv_log(-1, "ERROR: cannot listen on port %ld: %s\n", port, strerror(errno));
    return -1;
  }
  for (;;) {
    if (zv_shutdown) return 0;
    if (pvAcceptSocRequests(s.get(), tctlp) != 0) return -1;
    if (oneshot_flag == 1 && !zv_shutdown) {
      zv_log(-2, "Done with socket OneShot loop in ZVclient\n");
      zv_shutdown = 1;
    }
  }
}

// ---- test message and SOAP -----------------------------------------------------------

int test_in_buf(Trans_ctl_rec *tctlp) {
  if (tctlp == nullptr || tctlp->ibufferp == nullptr ||
      tctlp->ibuf_length < ZV_TEST_MESSAGE_LENGTH + 1) {
    zv_client::soft_assert(kSource, __LINE__);
    return -1;
  }
  tctlp->iPriority = STD_PORT;
  zero_buffers(tctlp);
  zv_log(-1, "WARNING: loading test message in client\n");
  memcpy(tctlp->ibufferp, zv_test_message, sizeof zv_test_message);
  tctlp->imsg_length = ZV_TEST_MESSAGE_LENGTH;
  if (zv_packet_mode_flag == 1) {
    // In packet mode the test message is itself the ready packet, for the partner its
    // ISA ids name (DXC7 to DXC_TEST).
    int capacity = tctlp->obuf_length;
    char local[ZV_ISA_ID_LENGTH + 1], remote[ZV_ISA_ID_LENGTH + 1];
    snprintf(local, sizeof local, "%.*s", ZV_ISA_ID_LENGTH, zv_test_message + ZV_ISA06_OFFSET);
    snprintf(remote, sizeof remote, "%.*s", ZV_ISA_ID_LENGTH, zv_test_message + ZV_ISA08_OFFSET);
    snprintf(tctlp->isa_line, sizeof tctlp->isa_line, "%.*s", ZV_ISA_SEGMENT_LENGTH,
             zv_test_message);
    tctlp->tp_index = tpLookup(local, remote, 0);
    if (capacity < ZV_TEST_MESSAGE_LENGTH || tctlp->obufferp == nullptr) {
      zv_client::soft_assert(kSource, __LINE__);
      return -1;
    }
    memcpy(tctlp->obufferp, zv_test_message, ZV_TEST_MESSAGE_LENGTH);
    tctlp->obuf_length = ZV_TEST_MESSAGE_LENGTH;
    int rc = client_handler(tctlp, STD_PORT);
    tctlp->obuf_length = capacity;
    return rc;
  }
  return client_handler(tctlp, STD_PORT);
}

int iSoap_in_buf() { return 0; }
