// Opening a library connection to a listening peer.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "runtime/zv_globals.h"
#include "transport/trans_priv.h"

namespace {

// The codes after which the peer may still come up: the connect is tried again.
bool retryable(int err) {
  return err == ECONNREFUSED || err == ETIMEDOUT || err == EINTR || err == EAGAIN ||
         err == ENOENT;
}

}  // namespace

int trans_connect(const char *name_addr_str, int port, trans_config_t config) {
  sockaddr_in addr;
  if (trans_resolve(name_addr_str, port, false, &addr) < 0) return -1;
  int fd;
  for (;;) {
    fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
      trans_trace(1, "socket: %s", strerror(errno));
      return -1;
    }
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0) break;
    int err = errno;
    close(fd);
    if (!retryable(err)) {
      trans_trace(1, "connect to port %d: %s", port, strerror(err));
      errno = err;
      return -1;
    }
    trans_trace(2, "connect to port %d: %s, retrying", port, strerror(err));
    // Without this a process whose peer never comes up could not be stopped.
    if (!zv_shutdown) {
      const timespec second{1, 0};
      nanosleep(&second, nullptr);
    }
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
  return fd;
}
