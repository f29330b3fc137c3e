// Serving a listening address, one accepted connection at a time.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "runtime/zv_globals.h"
#include "transport/trans_priv.h"

namespace {

int fail_listen(int lfd, const char *what) {
  int saved = errno;
  trans_trace(1, "listen: %s: %s", what, strerror(saved));
  close(lfd);
  errno = saved;
  return -1;
}

}  // namespace

int trans_listen(const char *name_addr_str, int port, trans_config_t config,
                 trans_accept_func_t accept_func) {
  return trans_listen_noting(name_addr_str, port, config, accept_func, nullptr, nullptr);
}

int trans_listen_noting(const char *name_addr_str, int port, trans_config_t config,
                        trans_accept_func_t accept_func, void (*listening)(void *), void *arg) {
  if (accept_func == nullptr) {
    errno = EINVAL;
    return -1;
  }
  sockaddr_in addr;
  if (trans_resolve(name_addr_str, port, true, &addr) < 0) return -1;
  int lfd = socket(AF_INET, SOCK_STREAM, 0);
  if (lfd < 0) {
    trans_trace(1, "listen: socket: %s", strerror(errno));
    return -1;
  }
  int one = 1;
  if (setsockopt(lfd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) < 0)
    return fail_listen(lfd, "SO_REUSEADDR");
  if (bind(lfd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0)
    return fail_listen(lfd, "bind");
  if (listen(lfd, 10) < 0) return fail_listen(lfd, "listen");
  // A connection its peer resets between the poll and the accept must not block the
  // accept, and with it the stop.
  int flags = fcntl(lfd, F_GETFL);
  if (flags < 0 || fcntl(lfd, F_SETFL, flags | O_NONBLOCK) < 0) return fail_listen(lfd, "fcntl");
  if (listening != nullptr) listening(arg);

  for (;;) {
    if (zv_shutdown) {
      errno = EINTR;
      return fail_listen(lfd, "stop requested");
    }
    sockaddr_in peer{};
    socklen_t peer_len = sizeof peer;
    // Accepted non-blocking, as the library's connections are; the poll only when no
    // connection is waiting.
    int fd = accept4(lfd, reinterpret_cast<sockaddr *>(&peer), &peer_len, SOCK_NONBLOCK);
    if (fd < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        pollfd p{};
        p.fd = lfd;
        p.events = POLLIN;
        if (poll(&p, 1, TRANS_STOP_SLICE_MS) < 0 && errno != EINTR) return fail_listen(lfd, "poll");
        continue;
      }
      // A connection that its peer aborted before the accept is that peer's loss only.
      if (errno == EINTR || errno == ECONNABORTED) continue;
      return fail_listen(lfd, "accept");
    }
    // What fails here concerns this connection only (a descriptor beyond the table, a
    // peer already gone): it is refused and the next one served.
    if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) < 0) {
      trans_trace(1, "listen: fd %d refused: TCP_NODELAY: %s", fd, strerror(errno));
      trans_drop_socket(fd);
      continue;
    }
    if (trans_complete_open(fd, &config) < 0) {
      trans_trace(1, "listen: fd %d refused: %s", fd, strerror(errno));
      continue;
    }
    const unsigned char *a = reinterpret_cast<const unsigned char *>(&peer.sin_addr.s_addr);
    char peer_addr[16];
    snprintf(peer_addr, sizeof peer_addr, "%d.%d.%d.%d", a[0], a[1], a[2], a[3]);
    trans_trace(2, "accepted fd %d from %s:%d", fd, peer_addr, ntohs(peer.sin_port));
    if (accept_func(fd, ntohs(peer.sin_port), peer_addr) != 0) {
      trans_close(fd);
      close(lfd);
      return -1;
    }
  }
}
