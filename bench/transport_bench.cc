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

#include "bench/bench_util.h"
#include "runtime/zv_byteorder.h"
#include "runtime/zv_common.h"
#include "transport/zv_transport.h"

namespace {

constexpr int kInput = 8192;
std::atomic<bool> g_stop{false};
double g_rate_transport = 0, g_rate_bare = 0;

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
    if (zvbench::read_all(fd, reinterpret_cast<char *>(h), 4)) {
      size_t n = zv_be_get32(h);
      if (n <= buf.size() && zvbench::read_all(fd, buf.data(), n)) zvbench::write_all(fd, "A", 1);
    }
    close(fd);
  }
  close(lfd);
}

void BM_BareConnectSendAck(benchmark::State &state) {
  int port;
  int lfd = zvbench::loopback_listener(&port);
  g_stop = false;
  std::thread server(bare_server, lfd);
  // The same bytes the exchange carries: the control record and the input.
  std::string payload(4 + TRANS_TCTL_SIZE + kInput, 'x');
  zv_be_put32(reinterpret_cast<unsigned char *>(payload.data()), TRANS_TCTL_SIZE + kInput);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  g_rate_bare = zvbench::timed_rate(state, "bare exchange failed", [&] {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    char ack = 0;
    bool ok = connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
              zvbench::write_all(fd, payload.data(), payload.size()) && zvbench::read_all(fd, &ack, 1);
    close(fd);
    return ok;
  });
  g_stop = true;
  server.join();
}

void BM_TransportSend8KiB(benchmark::State &state) {
  g_rate_transport = zvbench::transport_rate(state, "ISA0", "ABC", "XYZ", std::string(kInput, 'e'),
                                             "ISA*00*          *00*");
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
