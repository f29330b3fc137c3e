// The descriptor table, opening and closing, and the read state machine of the
// framed-socket library.
#include "transport/transport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

#include "partners/zv_address.h"
#include "runtime/zv_globals.h"
#include "runtime/zv_log.h"
#include "transport/trans_priv.h"

int trans_debug = 0;
io_table_t *fd_table_ptrs[TRANS_MAX_FD];
pthread_mutex_t table_mutex = PTHREAD_MUTEX_INITIALIZER;

namespace {

// A connection's buffer never exceeds this; it keeps the size arithmetic in int range.
constexpr int max_frame_bytes = 16 * 1024 * 1024;

bool fd_in_range(int fd) { return fd >= 0 && fd < TRANS_MAX_FD; }

struct entry_free {
  void operator()(io_table_t *e) const { free(e); }
};
using entry_ptr = std::unique_ptr<io_table_t, entry_free>;

int frame_size(const io_table_t *e) { return e->hdr_size + e->max_data_size + e->trailer_size; }

// Waits for an operation in progress on the entry to end, then frees it and closes the
// socket. The entry must already be out of the table.
int release_entry(int fd, io_table_t *raw) {
  entry_ptr e(raw);
  int rc = pthread_mutex_lock(&e->conn_mutex);
  if (rc == 0) rc = pthread_mutex_unlock(&e->conn_mutex);
  pthread_mutex_destroy(&e->conn_mutex);
  trans_drop_socket(fd);
  if (rc != 0) {
    errno = rc;
    return -1;
  }
  return 0;
}

// The entry of fd with its conn_mutex held, or nullptr with errno set.
io_table_t *lock_entry(int fd) {
  if (!fd_in_range(fd)) {
    errno = TRANS_ERR_NOT_OPEN;
    return nullptr;
  }
  int rc = pthread_mutex_lock(&table_mutex);
  if (rc != 0) {
    errno = rc;
    return nullptr;
  }
  io_table_t *e = fd_table_ptrs[fd];
  if (e == nullptr) {
    pthread_mutex_unlock(&table_mutex);
    errno = TRANS_ERR_NOT_OPEN;
    return nullptr;
  }
  rc = pthread_mutex_lock(&e->conn_mutex);
  pthread_mutex_unlock(&table_mutex);
  if (rc != 0) {
    trans_close(fd);
    errno = rc;
    return nullptr;
  }
  return e;
}

// Ends a connection from inside a read or write whose caller holds the entry's
// conn_mutex. errno is kept. The entry is freed only if it is still the one in the
// table, so a concurrent trans_close of the same descriptor is not doubled.
void close_locked(int fd, io_table_t *e) {
  int saved = errno;
  pthread_mutex_unlock(&e->conn_mutex);
  bool ours = false;
  if (pthread_mutex_lock(&table_mutex) == 0) {
    ours = fd_table_ptrs[fd] == e;
    if (ours) fd_table_ptrs[fd] = nullptr;
    pthread_mutex_unlock(&table_mutex);
  }
  if (ours) release_entry(fd, e);
  errno = saved;
}

int unlock_entry(io_table_t *e, int result) {
  int rc = pthread_mutex_unlock(&e->conn_mutex);
  if (rc != 0) {
    errno = rc;
    return -1;
  }
  return result;
}

void trace_header(int fd, const unsigned char *hdr, int len) {
  if (trans_debug < 3) return;
  char hex[16 * 3 + 1] = "";
  int n = len < 16 ? len : 16;
  for (int i = 0; i < n; ++i) snprintf(hex + 3 * i, sizeof hex - 3 * i, "%02x ", hdr[i]);
  trans_trace(3, "fd %d header %s", fd, hex);
}

bool valid_config(const trans_config_t *c) {
  if (c->hdr_size < 1 || c->trailer_size < 0 || c->max_data_size < 0) return false;
  if (c->length_from_msg == nullptr || c->length_to_msg == nullptr) return false;
  long long total = static_cast<long long>(c->hdr_size) + c->max_data_size + c->trailer_size;
  return total <= max_frame_bytes;
}

}  // namespace

void trans_trace(int level, const char *format, ...) {
  if (trans_debug < level) return;
  char line[512];
  int n = snprintf(line, sizeof line, "trans: ");
  va_list ap;
  va_start(ap, format);
  vsnprintf(line + n, sizeof line - n - 1, format, ap);
  va_end(ap);
  size_t len = strlen(line);
  line[len] = '\n';
  fwrite(line, 1, len + 1, stderr);
}

void trans_drop_socket(int fd) {
  int saved = errno;
  shutdown(fd, SHUT_RDWR);
  close(fd);
  errno = saved;
}

int trans_resolve(const char *name_addr_str, int port, bool for_listen, sockaddr_in *addr) {
  memset(addr, 0, sizeof *addr);
  addr->sin_family = AF_INET;
  if (port < 0 || port > 65535) {
    trans_trace(1, "port %d out of range", port);
    errno = EINVAL;
    return -1;
  }
  addr->sin_port = htons(static_cast<uint16_t>(port));
  if (name_addr_str == nullptr || name_addr_str[0] == '\0') {
    addr->sin_addr.s_addr = htonl(for_listen ? INADDR_ANY : INADDR_LOOPBACK);
    return 0;
  }
  // Read whole and in decimal, as every address setting is: inet_aton would take
  // "010.0.0.1" for 8.0.0.1, "1.2.3" for 1.2.0.3 and "10.0.0.44 junk" for 10.0.0.44.
  if (isdigit(static_cast<unsigned char>(name_addr_str[0]))) {
    zv_ipv4 dotted;
    std::string why;
    if (zv_read_ipv4(name_addr_str, &dotted, &why)) {
      memcpy(&addr->sin_addr.s_addr, dotted.octet, sizeof dotted.octet);
      return 0;
    }
    trans_trace(1, "bad dotted address %s: %s", name_addr_str, why.c_str());
    errno = TRANS_ERR_NO_HOST;
    return -1;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo *res = nullptr;
  int rc = getaddrinfo(name_addr_str, nullptr, &hints, &res);
  if (rc != 0 || res == nullptr) {
    trans_trace(1, "cannot resolve %s: %s", name_addr_str, gai_strerror(rc));
    errno = TRANS_ERR_NO_HOST;
    return -1;
  }
  std::unique_ptr<addrinfo, void (*)(addrinfo *)> owner(res, freeaddrinfo);
  addr->sin_addr = reinterpret_cast<sockaddr_in *>(res->ai_addr)->sin_addr;
  return 0;
}

int trans_complete_open(int fd, trans_config_t *config_p) {
  if (!fd_in_range(fd)) {
    trans_trace(1, "descriptor %d outside the table of %d", fd, TRANS_MAX_FD);
    // Said whatever the debug setting: a process that holds that many descriptors
    // refuses every connection it accepts or opens, and nothing else would say why.
    if (fd >= TRANS_MAX_FD)
      zv_log(-1, "ERROR: Connection on socket descriptor %d refused: the transport serves "
                 "descriptors below %d only\n", fd, TRANS_MAX_FD);
    if (fd >= 0) trans_drop_socket(fd);
    errno = fd < 0 ? EBADF : EMFILE;
    return -1;
  }
  if (config_p == nullptr || !valid_config(config_p)) {
    trans_trace(1, "fd %d: unusable framing configuration", fd);
    trans_drop_socket(fd);
    errno = EINVAL;
    return -1;
  }
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || ((flags & O_NONBLOCK) == 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0)) {
    trans_trace(1, "fd %d: fcntl: %s", fd, strerror(errno));
    trans_drop_socket(fd);
    return -1;
  }
  int rc = pthread_mutex_lock(&table_mutex);
  if (rc != 0) {
    trans_drop_socket(fd);
    errno = rc;
    return -1;
  }
  if (fd_table_ptrs[fd] != nullptr) {
    pthread_mutex_unlock(&table_mutex);
    trans_trace(1, "fd %d already open", fd);
    trans_close(fd);
    errno = TRANS_ERR_ALREADY_OPEN;
    return -1;
  }
  int message = config_p->hdr_size + config_p->max_data_size + config_p->trailer_size;
  int buffer_size = message > TRANS_READ_AHEAD ? message : TRANS_READ_AHEAD;
  size_t bytes = sizeof(io_table_t) + static_cast<size_t>(buffer_size);
  // Only the record is cleared: no byte of the buffer is read before a read has put it there.
  entry_ptr e(static_cast<io_table_t *>(malloc(bytes)));
  if (!e) {
    pthread_mutex_unlock(&table_mutex);
    trans_trace(1, "fd %d: no memory for %zu bytes", fd, bytes);
    trans_drop_socket(fd);
    errno = ENOMEM;
    return -1;
  }
  memset(e.get(), 0, sizeof(io_table_t));
  e->buffer = reinterpret_cast<unsigned char *>(e.get() + 1);
  e->buffer_size = buffer_size;
  e->hdr_size = config_p->hdr_size;
  e->trailer_size = config_p->trailer_size;
  e->max_data_size = config_p->max_data_size;
  e->length_from_msg = config_p->length_from_msg;
  e->length_to_msg = config_p->length_to_msg;
  e->read_state = e->trailer_size != 0 ? RS_SYNC_START : RS_START;
  rc = pthread_mutex_init(&e->conn_mutex, nullptr);
  if (rc != 0) {
    pthread_mutex_unlock(&table_mutex);
    trans_drop_socket(fd);
    errno = rc;
    return -1;
  }
  fd_table_ptrs[fd] = e.release();
  pthread_mutex_unlock(&table_mutex);
  return 0;
}

int trans_close(int fd) {
  if (!fd_in_range(fd)) return 0;
  int rc = pthread_mutex_lock(&table_mutex);
  if (rc != 0) {
    errno = rc;
    return -1;
  }
  io_table_t *e = fd_table_ptrs[fd];
  fd_table_ptrs[fd] = nullptr;
  pthread_mutex_unlock(&table_mutex);
  if (e == nullptr) return 0;
  return release_entry(fd, e);
}

int readSock(int fd, unsigned char *buffer, int len) {
  ssize_t r = read(fd, buffer, static_cast<size_t>(len));
  if (r > 0) return static_cast<int>(r);
  if (r == 0) {
    errno = EPIPE;
    return -1;
  }
  if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) return 0;
  return -1;
}

namespace {

// Waits until the socket takes bytes again; a socket in error is reported ready, and the
// next write then fails with its code. 0, or -1 with errno (EINTR for the stop).
int wait_writable(int fd) { return trans_wait(fd, POLLOUT, -1) > 0 ? 0 : -1; }

// What a send that took nothing or part of its bytes does next: 0 to write again, -1 with
// errno to give up.
int after_short_send(int fd, ssize_t sent) {
  if (sent < 0) {
    if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) return -1;
    if (zv_shutdown) {
      errno = EINTR;
      return -1;
    }
    if (errno == EINTR) return 0;
  }
  return wait_writable(fd);
}

}  // namespace

int writeSock(int fd, const unsigned char *data, int len) {
  int done = 0;
  while (done < len) {
    // MSG_NOSIGNAL: a peer's close is reported as EPIPE, never as a signal.
    ssize_t w = send(fd, data + done, static_cast<size_t>(len - done), MSG_NOSIGNAL);
    if (w > 0) done += static_cast<int>(w);
    if (done < len && after_short_send(fd, w) < 0) return -1;
  }
  return len;
}

// Writes all bytes of the iovecs (at most IOV_MAX of them), which it moves on as it goes;
// *written counts the bytes the kernel took, also when it fails.
int writevSock(int fd, iovec *iov, int iovcnt, size_t *written) {
  *written = 0;
  while (iovcnt > 0) {
    msghdr m{};
    m.msg_iov = iov;
    m.msg_iovlen = static_cast<size_t>(iovcnt);
    ssize_t w = sendmsg(fd, &m, MSG_NOSIGNAL);
    size_t left = w > 0 ? static_cast<size_t>(w) : 0;
    *written += left;
    while (iovcnt > 0 && left >= iov->iov_len) {
      left -= iov->iov_len;
      ++iov;
      --iovcnt;
    }
    if (iovcnt == 0) break;
    iov->iov_base = static_cast<char *>(iov->iov_base) + left;
    iov->iov_len -= left;
    if (after_short_send(fd, w) < 0) return -1;
  }
  return 0;
}

int trans_wait(int fd, short events, int time_out) {
  pollfd p{};
  p.fd = fd;
  p.events = events;
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    int slice = TRANS_STOP_SLICE_MS;
    if (time_out >= 0) {
      auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::steady_clock::now() - start)
                       .count();
      if (spent >= time_out) return 0;
      if (time_out - spent < slice) slice = static_cast<int>(time_out - spent);
    }
    trans_trace(3, "poll fd %d (events 0x%x) for %d ms", fd, events, slice);
    int r = poll(&p, 1, slice);
    if (r > 0) return 1;
    if (r < 0 && errno != EINTR && errno != EAGAIN) return -1;
    // The stop signal may have gone to another thread, so the flag is looked at after
    // every slice, not only after an interrupted poll.
    if (zv_shutdown) {
      errno = EINTR;
      return -1;
    }
  }
}

int waitOneFD(int fd, int time_out) { return trans_wait(fd, POLLIN, time_out); }

namespace {

void drop_front(io_table_t *e, int n) {
  e->start += n;
  e->bytes_so_far -= n;
  if (e->bytes_so_far == 0) e->start = 0;
}

}  // namespace

// The data length of the message that begins the buffered bytes, read in as needed. On
// any failure but TRANS_ERR_INCOMPLETE the connection is closed and the entry freed (its
// conn_mutex released); on TRANS_ERR_INCOMPLETE and on success the entry is still held.
// Nothing is read while a complete message is buffered, so the messages a read brought
// are handed out before a close of the peer (or another read failure) that follows them
// ends the connection. A read that could fill all the room left is followed by another
// before 1001 is reported; a shorter one means the socket had no more.
int readSync(int fd, io_table_t *e) {
  const bool sync_mode = e->trailer_size != 0;
  const int message = frame_size(e);
  bool drained = false;
  for (;;) {
    unsigned char *front = e->buffer + e->start;
    const int have = e->bytes_so_far;
    if (!sync_mode) {
      if (e->read_state != RS_DATA && have >= e->hdr_size) {
        int v = e->length_from_msg(front, e->hdr_size);
        if (v == -2) {
          drop_front(e, 1);
          continue;
        }
        if (v > e->max_data_size) {
          trace_header(fd, front, e->hdr_size);
          trans_trace(1, "fd %d: length %d above %d", fd, v, e->max_data_size);
          close_locked(fd, e);
          errno = TRANS_ERR_BAD_LENGTH;
          return -1;
        }
        // More bytes wanted once a whole header is in: the message can never be completed.
        if (v < 0) {
          trans_trace(1, "fd %d: no usable length in a header", fd);
          close_locked(fd, e);
          errno = TRANS_ERR_BAD_LENGTH;
          return -1;
        }
        trace_header(fd, front, e->hdr_size);
        e->curr_data_size = v;
        e->read_state = RS_DATA;
      }
      if (e->read_state == RS_DATA) {
        trans_trace(2, "fd %d: state %d, data %d of %d", fd, e->read_state,
                    have - e->hdr_size, e->curr_data_size);
        if (have >= e->hdr_size + e->curr_data_size) return e->curr_data_size;
      } else {
        e->read_state = RS_HEADER;
      }
    } else if (have >= e->hdr_size) {
      // The framing never sees more than one whole message's worth, as if the buffer
      // held no more.
      int seen = have < message ? have : message;
      int v = e->length_from_msg(front, seen);
      if (v == -2) {
        drop_front(e, 1);
        continue;
      }
      if (v > e->max_data_size) {
        trace_header(fd, front, seen);
        trans_trace(1, "fd %d: length %d above %d", fd, v, e->max_data_size);
        close_locked(fd, e);
        errno = TRANS_ERR_BAD_LENGTH;
        return -1;
      }
      if (v >= 0) {
        trace_header(fd, front, e->hdr_size);
        // A framing that names a length before the whole message is buffered would
        // otherwise hand on bytes that never came.
        if (have >= e->hdr_size + v + e->trailer_size) return v;
      } else if (seen >= message) {
        trans_trace(1, "fd %d: no usable length in %d buffered bytes", fd, seen);
        close_locked(fd, e);
        errno = TRANS_ERR_BAD_LENGTH;
        return -1;
      }
    }

    if (drained) {
      errno = TRANS_ERR_INCOMPLETE;
      return -1;
    }
    // The message at the front is incomplete: it needs at most `message` bytes from
    // `start`, so moving it to the front of the buffer always leaves room.
    if (e->start > 0 && e->start + message > e->buffer_size) {
      memmove(e->buffer, front, static_cast<size_t>(have));
      e->start = 0;
    }
    int room = e->buffer_size - e->start - have;
    int got = readSock(fd, e->buffer + e->start + have, room);
    if (got < 0) {
      int err = errno;
      e->read_state = sync_mode ? RS_SYNC_START : RS_START;
      trans_trace(1, "fd %d read: %s", fd, strerror(err));
      close_locked(fd, e);
      errno = err;
      return -1;
    }
    e->bytes_so_far += got;
    drained = got < room;
  }
}

int readMessage(int fd, io_message_t *msg_p) {
  io_table_t *e = lock_entry(fd);
  if (e == nullptr) return -1;
  switch (e->read_state) {
    case RS_START:
    case RS_HEADER:
    case RS_DATA:
    case RS_SYNC_START:
    case RS_SYNC:
      break;
    default:
      trans_trace(1, "fd %d: bad read state %d", fd, e->read_state);
      close_locked(fd, e);
      errno = TRANS_ERR_BAD_STATE;
      return -1;
  }
  if (e->read_state == RS_SYNC_START) e->read_state = RS_SYNC;
  int n = readSync(fd, e);
  if (n < 0) {
    if (errno != TRANS_ERR_INCOMPLETE) return -1;
    return unlock_entry(e, -1);
  }
  memcpy(msg_p, e->buffer + e->start, static_cast<size_t>(e->hdr_size + n));
  drop_front(e, e->hdr_size + n + e->trailer_size);
  if (e->trailer_size != 0) {
    trans_trace(2, "fd %d: sync message of %d, %d bytes left buffered", fd, n, e->bytes_so_far);
  } else {
    e->read_state = RS_START;
    if (n == 0) trans_trace(2, "fd %d: header-only message", fd);
  }
  return unlock_entry(e, n);
}

namespace {

using steady = std::chrono::steady_clock;

// Reads until a message is complete, waiting at most wait_ms (-1: no limit) each time
// nothing is there, and, with a `deadline`, never past it. A wait that runs out closes
// the connection: ETIMEDOUT for wait_ms, ETIME for the deadline.
int get_waiting(int fd, io_message_t *msg_p, int wait_ms, const steady::time_point *deadline) {
  for (;;) {
    int r = readMessage(fd, msg_p);
    if (r >= 0 || errno != TRANS_ERR_INCOMPLETE) return r;
    int wait = wait_ms;
    bool by_deadline = false;
    if (deadline != nullptr) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - steady::now()).count();
      if (left < 0) left = 0;
      if (wait < 0 || left <= wait) {
        wait = static_cast<int>(left < INT_MAX ? left : INT_MAX);
        by_deadline = true;
      }
    }
    int w = waitOneFD(fd, wait);
    if (w <= 0) {
      int saved = w < 0 ? errno : by_deadline ? ETIME : ETIMEDOUT;
      trans_trace(1, "fd %d poll: %s", fd, strerror(saved));
      trans_close(fd);
      errno = saved;
      return -1;
    }
  }
}

}  // namespace

int trans_get(int fd, io_message_t *msg_p, int /*buf_length*/, int time_out) {
  if (msg_p == nullptr) {
    errno = EINVAL;
    return -1;
  }
  if (time_out < 0) return get_waiting(fd, msg_p, -1, nullptr);
  int r = readMessage(fd, msg_p);
  if (time_out == 0 || r >= 0 || errno != TRANS_ERR_INCOMPLETE) return r;
  if (waitOneFD(fd, time_out) < 0) {
    int saved = errno;
    trans_trace(1, "fd %d poll: %s", fd, strerror(saved));
    trans_close(fd);
    errno = saved;
    return -1;
  }
  return readMessage(fd, msg_p);
}

int trans_get_idle(int fd, io_message_t *msg_p, int /*buf_length*/, int idle_ms) {
  if (msg_p == nullptr || idle_ms < 0) {
    errno = EINVAL;
    return -1;
  }
  return get_waiting(fd, msg_p, idle_ms, nullptr);
}

int trans_get_until(int fd, io_message_t *msg_p, int /*buf_length*/, int idle_ms,
                    std::chrono::steady_clock::time_point deadline) {
  if (msg_p == nullptr || idle_ms < 0) {
    errno = EINVAL;
    return -1;
  }
  return get_waiting(fd, msg_p, idle_ms, &deadline);
}

int trans_put(int fd, io_message_t *msg_p, int data_length) {
  if (msg_p == nullptr) {
    errno = EINVAL;
    return -1;
  }
  io_table_t *e = lock_entry(fd);
  if (e == nullptr) return -1;
  if (data_length < 0 || data_length > e->max_data_size) {
    trans_trace(1, "fd %d: put of %d bytes above %d", fd, data_length, e->max_data_size);
    close_locked(fd, e);
    errno = TRANS_ERR_BAD_LENGTH;
    return -1;
  }
  e->length_to_msg(msg_p, data_length);
  trace_header(fd, msg_p, e->hdr_size);
  trans_trace(2, "fd %d: put data length %d", fd, data_length);
  if (writeSock(fd, msg_p, e->hdr_size + data_length + e->trailer_size) < 0) {
    trans_trace(1, "fd %d write: %s", fd, strerror(errno));
    close_locked(fd, e);
    return -1;
  }
  return unlock_entry(e, 0);
}

int trans_put_frames(int fd, trans_frame_t *frames, int count, int *frames_done) {
  if (frames_done != nullptr) *frames_done = 0;
  if ((frames == nullptr && count != 0) || count < 0) {
    errno = EINVAL;
    return -1;
  }
  io_table_t *e = lock_entry(fd);
  if (e == nullptr) return -1;
  if (e->trailer_size != 0) {
    trans_trace(1, "fd %d: a vector of messages needs a framing without trailer", fd);
    errno = EINVAL;
    return unlock_entry(e, -1);
  }
  for (int i = 0; i < count; ++i) {
    int n = frames[i].data_length;
    if (n < 0 || n > e->max_data_size || frames[i].hdr == nullptr ||
        (n > 0 && frames[i].data == nullptr)) {
      trans_trace(1, "fd %d: put of %d bytes above %d", fd, n, e->max_data_size);
      close_locked(fd, e);
      errno = TRANS_ERR_BAD_LENGTH;
      return -1;
    }
  }
  // Batches of whole messages, as many as one call takes.
  iovec iov[IOV_MAX];
  for (int first = 0; first < count;) {
    int used = 0, end = first;
    for (; end < count && used + 2 <= IOV_MAX; ++end) {
      trans_frame_t &f = frames[end];
      e->length_to_msg(f.hdr, f.data_length);
      trace_header(fd, f.hdr, e->hdr_size);
      trans_trace(2, "fd %d: put data length %d", fd, f.data_length);
      iov[used++] = {f.hdr, static_cast<size_t>(e->hdr_size)};
      if (f.data_length > 0)
        iov[used++] = {const_cast<unsigned char *>(f.data), static_cast<size_t>(f.data_length)};
    }
    size_t written;
    if (writevSock(fd, iov, used, &written) < 0) {
      if (frames_done != nullptr) {
        for (int i = first; i < end; ++i) {
          size_t whole = static_cast<size_t>(e->hdr_size + frames[i].data_length);
          if (written < whole) break;
          written -= whole;
          *frames_done = i + 1;
        }
      }
      trans_trace(1, "fd %d write: %s", fd, strerror(errno));
      close_locked(fd, e);
      return -1;
    }
    first = end;
    if (frames_done != nullptr) *frames_done = first;
  }
  return unlock_entry(e, 0);
}
