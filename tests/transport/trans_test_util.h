// Plain-socket peers for the transport tests: loopback listeners on ports the kernel
// picks, blocking reads and writes, and a frame reader that parses the wire format on its
// own (not through the library), so the tests check the library against an independent
// reading of the bytes.
#ifndef ZV_TESTS_TRANSPORT_TRANS_TEST_UTIL_H
#define ZV_TESTS_TRANSPORT_TRANS_TEST_UTIL_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace transtest {

// A listening socket on 127.0.0.1 with a kernel-chosen port.
class RawListener {
 public:
  RawListener() {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(fd_, 16) != 0) {
      close(fd_);
      fd_ = -1;
      return;
    }
    socklen_t len = sizeof a;
    getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
  ~RawListener() {
    if (fd_ >= 0) close(fd_);
  }
  RawListener(const RawListener &) = delete;
  RawListener &operator=(const RawListener &) = delete;

  int port() const { return port_; }
  int fd() const { return fd_; }
  // Blocks until a connection comes (or `timeout_ms` passes: -1).
  int accept_one(int timeout_ms = 10000) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) != 1) return -1;
    return accept(fd_, nullptr, nullptr);
  }

 private:
  int fd_ = -1;
  int port_ = 0;
};

// A port on which nothing listens right now (bound once, then released).
inline int free_port() {
  RawListener l;
  return l.port();
}

inline int raw_connect(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

inline bool write_all(int fd, const void *data, size_t len) {
  const char *p = static_cast<const char *>(data);
  while (len > 0) {
    ssize_t w = send(fd, p, len, MSG_NOSIGNAL);
    if (w <= 0) return false;
    p += w;
    len -= static_cast<size_t>(w);
  }
  return true;
}
inline bool write_all(int fd, const std::string &s) { return write_all(fd, s.data(), s.size()); }

inline bool wait_readable(int fd, int timeout_ms = 5000) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, timeout_ms) == 1;
}

// Exactly `len` bytes, or fewer when the peer closes or `timeout_ms` passes between reads.
inline std::string read_n(int fd, size_t len, int timeout_ms = 10000) {
  std::string out;
  char buf[4096];
  while (out.size() < len) {
    if (!wait_readable(fd, timeout_ms)) break;
    size_t want = len - out.size() < sizeof buf ? len - out.size() : sizeof buf;
    ssize_t r = read(fd, buf, want);
    if (r <= 0) break;
    out.append(buf, static_cast<size_t>(r));
  }
  return out;
}

// Everything until the peer closes (or an error, e.g. a reset).
inline std::string read_to_eof(int fd, int timeout_ms = 10000) {
  std::string out;
  char buf[4096];
  while (wait_readable(fd, timeout_ms)) {
    ssize_t r = read(fd, buf, sizeof buf);
    if (r <= 0) break;
    out.append(buf, static_cast<size_t>(r));
  }
  return out;
}

inline uint32_t be32(const std::string &s, size_t off) {
  const unsigned char *p = reinterpret_cast<const unsigned char *>(s.data()) + off;
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}
inline std::string be32_bytes(uint32_t v) {
  std::string s(4, '\0');
  s[0] = static_cast<char>(v >> 24);
  s[1] = static_cast<char>(v >> 16);
  s[2] = static_cast<char>(v >> 8);
  s[3] = static_cast<char>(v);
  return s;
}
// One frame of the exchange as it goes on the wire: type, size, data.
inline std::string frame(int type, const std::string &data) {
  std::string s;
  s += static_cast<char>(type >> 8);
  s += static_cast<char>(type & 0xff);
  s += static_cast<char>(data.size() >> 8);
  s += static_cast<char>(data.size() & 0xff);
  return s + data;
}

struct Frame {
  int type;
  std::string data;
};

// Reads one frame; false when the stream ends first.
inline bool read_frame(int fd, Frame *f) {
  std::string h = read_n(fd, 4);
  if (h.size() != 4) return false;
  f->type = (static_cast<unsigned char>(h[0]) << 8) | static_cast<unsigned char>(h[1]);
  size_t n = (static_cast<unsigned char>(h[2]) << 8) | static_cast<unsigned char>(h[3]);
  f->data = read_n(fd, n);
  return f->data.size() == n;
}

}  // namespace transtest

#endif
