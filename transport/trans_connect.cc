// Opening a library connection to a listening peer.
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "runtime/zv_globals.h"
#include "runtime/zv_process.h"
#include "transport/trans_priv.h"

namespace {

// The codes after which the peer may still come up: the connect is tried again.
bool retryable(int err) {
  return err == ECONNREFUSED || err == ETIMEDOUT || err == EINTR || err == EAGAIN ||
         err == ENOENT;
}

// One connect attempt on a non-blocking socket: 0, or the code it failed with. A connect
// still in progress (a peer whose backlog is full) ends on zv_shutdown; the attempt
// itself keeps the system's own limit.
int connect_once(int fd, const sockaddr_in &addr) {
  if (connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) == 0) return 0;
  if (errno != EINPROGRESS) return errno;
  if (trans_wait(fd, POLLOUT, -1) < 0) return errno;
  int err = 0;
  socklen_t len = sizeof err;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) < 0) return errno;
  return err;
}

}  // namespace

int trans_connect(const char *name_addr_str, int port, trans_config_t config) {
  return trans_connect_noting(name_addr_str, port, config, nullptr, nullptr);
}

int trans_connect_noting(const char *name_addr_str, int port, trans_config_t config,
                         trans_connect_note_t note, void *arg) {
  bool noted = false;
  sockaddr_in addr;
  if (trans_resolve(name_addr_str, port, false, &addr) < 0) return -1;
  int fd;
  for (;;) {
    fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    if (fd < 0) {
      trans_trace(1, "socket: %s", strerror(errno));
      return -1;
    }
    int err = connect_once(fd, addr);
    if (err == 0) break;
    close(fd);
    if (!retryable(err)) {
      trans_trace(1, "connect to port %d: %s", port, strerror(err));
      errno = err;
      return -1;
    }
    trans_trace(2, "connect to port %d: %s, retrying", port, strerror(err));
    if (note != nullptr && !noted) {
      noted = true;
      note(arg, err);
    }
    // A whole second between attempts whatever signals arrive, cut short only by a stop:
    // without that a process whose peer never comes up could not be stopped.
    millisleep(1000);
    if (zv_shutdown) {
      trans_trace(1, "connect to port %d given up: stop requested", port);
      errno = err;
      return -1;
    }
  }
  int one = 1;
  if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) < 0) {
    trans_trace(1, "TCP_NODELAY: %s", strerror(errno));
    trans_drop_socket(fd);
    return -1;
  }
  if (trans_complete_open(fd, &config) < 0) return -1;
  if (noted) note(arg, 0);
  return fd;
}
