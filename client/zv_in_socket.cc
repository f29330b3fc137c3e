#include "client/zv_interfaces.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "client/zv_client_util.h"
#include "client/zv_input.h"
#include "partners/zv_address.h"
#include "runtime/zv_backend_records.h"
#include "runtime/zv_errors.h"
#include "runtime/zv_globals.h"
#include "runtime/zv_handles.h"
#include "runtime/zv_log.h"
#include "runtime/zv_process.h"
#include "runtime/zv_translog.h"

using namespace zv_input;

namespace {

constexpr const char *kSource = "zv_in_socket";

size_t read_soc(int fd, void *buf, size_t least, size_t n, int idle_ms,
                steady::time_point deadline) {
  return read_at_least(fd, buf, least, n, true, idle_ms, deadline);
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

}  // namespace

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
  if (err == ETIME) return soc_fault::overdue;
  if (err == EINTR && zv_shutdown) return soc_fault::stopped;
  return soc_fault::cut;
}

}  // namespace

request_t *read_soc_request(int fd, int idle_ms, soc_fault *fault) {
  soc_fault ignored;
  if (fault == nullptr) fault = &ignored;
  *fault = soc_fault::none;
  // The length and the priority in one read when both have come; the length alone is
  // enough to go on, so that a body too big is refused without waiting for more. The
  // record's time is counted from its first byte: before it only the silence bound holds.
  unsigned char head[ZV_BE_SOCKET_HEADER_SIZE];
  size_t have = read_soc(fd, head, 1, sizeof head, idle_ms, steady::time_point::max());
  const steady::time_point start = steady::now();
  if (have >= 1 && have < ZV_BE_SOCKET_LENGTH_SIZE)
    have += read_soc(fd, head + have, ZV_BE_SOCKET_LENGTH_SIZE - have, sizeof head - have,
                     idle_ms, record_deadline(start, 0));
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
  const steady::time_point deadline = record_deadline(start, size);
  if (have < sizeof head) {
    size_t rest = sizeof head - have;
    have += read_soc(fd, head + have, rest, rest, idle_ms, deadline);
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
    size_t n = read_soc(fd, r->buf + got, size - got, size - got, idle_ms, deadline);
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
    case soc_fault::overdue:
      zv_log(-1,
             "ERROR: Socket peer on socket = %d did not complete its record within %d seconds "
             "and one second for each %lld bytes of it - connection reset\n",
             fd, ZV_TRANS_IDLE_SECONDS, ZV_RECORD_MIN_RATE);
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
  // As written or not at all: "6500abc" is no port (start-up has refused it already).
  int port = 0;
  std::string why;
  if (!zv_read_port(port_text, &port, &why)) {
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
    int e = errno;
    zv_log(-1, "ERROR: cannot bind to local address 0.0.0.0 port %d: %s (errno %d)\n", port,
           strerror(e), e);
    return -1;
  }
  if (listen(s.get(), 16) != 0) {
    zv_log(-1, "ERROR: cannot listen on port %d: %s\n", port, strerror(errno));
    return -1;
  }
  zv_started();
  for (;;) {
    if (zv_shutdown) return 0;
    if (pvAcceptSocRequests(s.get(), tctlp) != 0) return -1;
    if (oneshot_flag == 1 && !zv_shutdown) {
      zv_log(-2, "Done with socket OneShot loop in ZVclient\n");
      zv_shutdown = 1;
    }
  }
}
