// Transactions per second of the transport exchange for an 8 KiB input over loopback,
// against a bare loop in this file that does the least any such exchange must: connect,
// send the same bytes with a length in front, wait for a one-byte answer, close. The
// ratio of the two is printed at the end.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "runtime/zv_common.h"
#include "runtime/zv_globals.h"
#include "transport/zv_transport.h"

namespace {

constexpr int kInput = 8192;
std::atomic<bool> g_stop{false};
double g_rate_transport = 0, g_rate_bare = 0;

int listening_socket(int *port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(fd, 64) != 0) {
    perror("bench listen");
    exit(1);
  }
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
  *port = ntohs(a.sin_port);
  return fd;
}

bool read_all(int fd, char *p, size_t n) {
  while (n > 0) {
    ssize_t r = read(fd, p, n);
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

bool write_all(int fd, const char *p, size_t n) {
  while (n > 0) {
    ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

// The bare peer: a u32 length, that many bytes, a one-byte answer, close.
void bare_server(int lfd) {
  std::vector<char> buf(1 << 20);
  while (!g_stop) {
    pollfd p{lfd, POLLIN, 0};
    if (poll(&p, 1, 100) != 1) continue;
    int fd = accept(lfd, nullptr, nullptr);
    if (fd < 0) continue;
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    unsigned char h[4];
    if (read_all(fd, reinterpret_cast<char *>(h), 4)) {
      size_t n = (size_t{h[0]} << 24) | (size_t{h[1]} << 16) | (size_t{h[2]} << 8) | h[3];
      if (n <= buf.size() && read_all(fd, buf.data(), n)) write_all(fd, "A", 1);
    }
    close(fd);
  }
  close(lfd);
}

void BM_BareConnectSendAck(benchmark::State &state) {
  int port;
  int lfd = listening_socket(&port);
  g_stop = false;
  std::thread server(bare_server, lfd);
  // The same bytes the exchange carries: the control record and the input.
  std::string payload(4 + TRANS_TCTL_SIZE + kInput, 'x');
  uint32_t n = TRANS_TCTL_SIZE + kInput;
  payload[0] = static_cast<char>(n >> 24);
  payload[1] = static_cast<char>(n >> 16);
  payload[2] = static_cast<char>(n >> 8);
  payload[3] = static_cast<char>(n);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  auto t0 = std::chrono::steady_clock::now();
  for (auto _ : state) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    char ack = 0;
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
        !write_all(fd, payload.data(), payload.size()) || !read_all(fd, &ack, 1)) {
      state.SkipWithError("bare exchange failed");
      close(fd);
      break;
    }
    close(fd);
  }
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  g_rate_bare = static_cast<double>(state.iterations()) / secs;
  state.SetItemsProcessed(state.iterations());
  g_stop = true;
  server.join();
}

int receive_and_free(int fd, int, char *) {
  Trans_ctl_rec rec;
  memset(&rec, 0, sizeof rec);
  st_ipaddr_t ip;
  receive_transport_msg(&rec, fd, &ip);
  free(rec.ibufferp);
  free(rec.obufferp);
  return 0;
}

void BM_TransportSend8KiB(benchmark::State &state) {
  // A port taken from the kernel and released for listen_transport, which needs a number.
  int port;
  close(listening_socket(&port));
  st_socaddr_t addr = {};
  snprintf(addr, sizeof addr, "127.0.0.1:%d", port);
  zv_shutdown = 0;
  std::thread server([&] { listen_transport(&addr, receive_and_free); });

  snprintf(partner[0].isaid, sizeof partner[0].isaid, "ISA0");
  snprintf(partner[0].local_id, sizeof partner[0].local_id, "ABC");
  snprintf(partner[0].remote_id, sizeof partner[0].remote_id, "XYZ");
  std::string input(kInput, 'e');
  Trans_ctl_rec rec;
  memset(&rec, 0, sizeof rec);
  rec.msg_type = ZV_MT_BASIC_EDI;
  rec.zvp_version = 2;
  rec.tp_index = 0;
  rec.ibufferp = input.data();
  rec.imsg_length = rec.ibuf_length = rec.ibuf_alloc_length = kInput;
  snprintf(rec.isa_line, sizeof rec.isa_line, "%s", "ISA*00*          *00*");

  // Not timed: the first send waits for the listener to come up (the connect retries).
  if (send_transport_msg(&rec, &addr) != 0) state.SkipWithError("no listener");
  auto t0 = std::chrono::steady_clock::now();
  for (auto _ : state) {
    if (send_transport_msg(&rec, &addr) != 0) {
      state.SkipWithError("send_transport_msg failed");
      break;
    }
  }
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  g_rate_transport = static_cast<double>(state.iterations()) / secs;
  state.SetItemsProcessed(state.iterations());
  zv_shutdown = 1;
  server.join();
}

BENCHMARK(BM_BareConnectSendAck)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_TransportSend8KiB)->UseRealTime()->MinTime(1.0);

}  // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (g_rate_bare > 0 && g_rate_transport > 0)
    printf("transport %.0f tx/s, bare loop %.0f tx/s, ratio transport/bare = %.2f\n",
           g_rate_transport, g_rate_bare, g_rate_transport / g_rate_bare);
  return 0;
}
