// Documents per second through clientd into the ZVP stand-in, both started as real
// programs in a scratch installation, for 8 KiB interchanges in basic, integrity and
// signed (RSA-2048) envelopes with pacing 0, and in the same run the bare rates of what
// a document's road is made of: an RSA-2048 signature by the signature rule, and a bare
// loopback loop written here with plain sockets (connect, one write of the same 8 KiB,
// a 4-byte answer, close). The ratios are printed at the end: basic and integrity
// against the bare loop, signed against the sequential ceiling of one signature and one
// bare transaction.
//
// Each document is one connection to clientd's socket interface, which closes it only
// once the stand-in has acknowledged the transaction, so one iteration is one whole road.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <openssl/evp.h>

#include "bench/bench_util.h"
#include "partners/zv_crypto.h"
#include "runtime/zv_backend_records.h"
#include "runtime/zv_common.h"
#include "runtime/zv_globals.h"
#include "tests/support/zv_test_support.h"
#include "transport/zv_transport.h"

namespace {

constexpr size_t kDoc = 8192;
std::map<std::string, double> g_rate;

std::string bench_dir() {
  static std::string dir = [] {
    std::string d = zvtest::scratch_dir("client-bench");
    for (const char *s : {"to_remote_failed_messages", "to_ssl_remote_failed_messages",
                          "from_remote_failed_messages", "from_ssl_remote_failed_messages",
                          "invalid_messages", "pending_receipts", "in_dir", "keys", "failover"})
      mkdir((d + "/" + s).c_str(), 0755);
    zvtest::CertSpec spec;
    spec.country = "US";
    spec.organization = "Bench Org";
    zvtest::make_key_and_cert(d + "/keys/zvp.key", d + "/keys/zvp.pem", spec);
    zvtest::write_file(d + "/ca_cert.pem", zvtest::read_file(d + "/keys/zvp.pem"));
    return d;
  }();
  return dir;
}

std::string isa(const std::string &sender, const std::string &receiver) {
  auto pad = [](std::string s) {
    s.resize(15, ' ');
    return s;
  };
  return "ISA*00*          *00*          *ZZ*" + pad(sender) + "*ZZ*" + pad(receiver) +
         "*240101*1200*U*00401*000000001*0*P*>";
}

std::string document(const std::string &sender, const std::string &receiver) {
  std::string s = isa(sender, receiver) + "\n";
  while (s.size() < kDoc - 17) s += "MSG*benchmark line of an eight kilobyte interchange\n";
  s.resize(kDoc - 17, 'x');
  return s + "\nIEA*1*000000001\n";
}

// The installation, the stand-in and the client, started once for all three kinds.
struct Programs {
  std::string dir;
  int socket_port = 0;
  pid_t stub = -1, client = -1;
  bool ok = false;

  Programs() {
    dir = bench_dir();
    int zvp_port = zvtest::free_tcp_port();
    socket_port = zvtest::free_tcp_port();
    zvtest::write_file(dir + "/zolvar.conf",
                       "process_names = clientd, izvp_b\nfailover_path = ./failover\n"
                       "interface = socket\ninsocket = " + std::to_string(socket_port) +
                           "\n\n[clientd]\nprocess_type = CLIENT_PROCESS\n"
                           "\n[izvp_b]\nprocess_type = ZVP_PROCESS\nzvversion = 2\n"
                           "key = keys/zvp.key\ncert = keys/zvp.pem\n"
                           "transport_listen_port = 127.0.0.1:" + std::to_string(zvp_port) +
                           "\npacing_delay = 0\n");
    std::string tp = "trading_partners = rc\nlocal_certificates = lc\n\n[lc]\nzvp_name = izvp_b\n"
                     "endpoints = BASICP, INTEGP, SIGNP\n";
    const char *kinds[][4] = {{"BASICP", "BL", "BR", "BASIC_EDI"},
                              {"INTEGP", "IL", "IR", "INTEGRITY_EDI"},
                              {"SIGNP", "SL", "SR", "SIGNED_EDI"}};
    for (auto &k : kinds)
      tp += std::string("\n[") + k[0] + "]\nlocal_partner_id = " + k[1] +
            "\nremote_partner_id = " + k[2] +
            "\nip_address = 127.0.0.1\nstandard_ip_port = 17001\nhipri_ip_port = 17101\n"
            "zv_message_to_tp = " + k[3] + "\nzv_receipt_to_tp = NO_RECEIPT\n";
    tp += "\n[rc]\ncertificate_common_name = bench.invalid\nendpoints = BASICP, INTEGP, SIGNP\n";
    zvtest::write_file(dir + "/tpartner.conf", tp);

    stub = start(zvtest::program_path("tools/izvpstub"), "izvp_b", {"-F", "report.txt"}, "stub");
    if (stub > 0)
      zvtest::wait_for([&] {
        return zvtest::read_file(dir + "/stub.out").find("ZVP stand-in serving") != std::string::npos;
      });
    client = start(zvtest::program_path("client/clientd"), "clientd", {}, "client");
    ok = stub > 0 && client > 0;
  }
  ~Programs() { stop(); }
  void stop() {
    for (pid_t *p : {&client, &stub}) {
      if (*p <= 0) continue;
      kill(*p, SIGTERM);
      zvtest::wait_daemon(*p, 15000);
      *p = -1;
    }
  }
  pid_t start(const std::string &exe, const std::string &argv0,
              const std::vector<std::string> &args, const std::string &tag) {
    unlink((dir + "/" + argv0 + ".pid").c_str());
    pid_t p = zvtest::start_program(exe, argv0, args, dir, tag);
    if (zvtest::wait_program(p, dir, tag).status != 0) return -1;
    pid_t pid = zvtest::wait_pid_file(dir + "/" + argv0 + ".pid");
    zvtest::wait_for([&] {
      return zvtest::read_file(dir + "/" + tag + ".out").find("TCIF-98-006 Issue 2") != std::string::npos;
    });
    return pid;
  }
  size_t reported() const {
    return zvtest::split_lines(zvtest::read_file(dir + "/report.txt")).size();
  }
};

Programs &programs() {
  static Programs p;
  return p;
}

// One socket record; returns once clientd has closed the connection.
bool one_document(int port, const std::string &record) {
  for (int attempt = 0; attempt < 500; ++attempt) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
      close(fd);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    bool ok = zvbench::write_all(fd, record.data(), record.size());
    shutdown(fd, SHUT_WR);
    char c;
    while (read(fd, &c, 1) > 0) {
    }
    close(fd);
    return ok;
  }
  return false;
}

// A standard-priority socket record of the back-end framing.
std::string socket_record(const std::string &body) {
  unsigned char head[ZV_BE_SOCKET_HEADER_SIZE];
  zv_be_put32(head, static_cast<uint32_t>(body.size()));
  zv_be_put16(head + ZV_BE_SOCKET_LENGTH_SIZE, ZV_BE_PRIORITY_STD);
  return std::string(reinterpret_cast<char *>(head), sizeof head) + body;
}

void BM_Clientd(benchmark::State &state, const char *kind, const char *sender,
                const char *receiver) {
  Programs &p = programs();
  if (!p.ok) {
    state.SkipWithError("clientd or the stand-in did not start");
    return;
  }
  std::string record = socket_record(document(sender, receiver));
  size_t before = p.reported();
  one_document(p.socket_port, record);  // not timed: the first connect
  double rate = zvbench::timed_rate(state, "socket interface refused",
                                    [&] { return one_document(p.socket_port, record); });
  // Every document must have reached the stand-in.
  size_t want = before + 1 + static_cast<size_t>(state.iterations());
  if (!zvtest::wait_for([&] { return p.reported() >= want; }, 10000)) {
    state.SkipWithError("documents missing at the stand-in");
    return;
  }
  g_rate[kind] = rate;
}

void BM_RsaSign2048(benchmark::State &state) {
  EVP_PKEY *key = nullptr;
  if (load_private_key_from_file((bench_dir() + "/keys/zvp.key").c_str(), &key) != 0) {
    state.SkipWithError("no key");
    return;
  }
  std::string doc = document("SL", "SR");
  std::vector<char> sig(static_cast<size_t>(EVP_PKEY_get_size(key)));
  unsigned long len = 0;
  g_rate["sign"] = zvbench::timed_rate(state, "signing failed", [&] {
    return hex_RSAsign(key, reinterpret_cast<unsigned char *>(doc.data()), doc.size(), &len,
                       sig.data()) != nullptr;
  });
  EVP_PKEY_free(key);
}

// The least any one-transaction-per-connection exchange of 8 KiB must do, without a line
// of the project: a server thread that accepts, reads the 8 KiB, answers 4 bytes and
// closes; the client connects, writes the 8 KiB at once, reads the answer and closes.
void BM_BareLoop8KiB(benchmark::State &state) {
  int port;
  int lfd = zvbench::loopback_listener(&port);
  std::atomic<bool> stop{false};
  std::thread server([&] {
    std::vector<char> buf(kDoc);
    while (!stop) {
      pollfd p{lfd, POLLIN, 0};
      if (poll(&p, 1, 100) != 1) continue;
      int fd = accept(lfd, nullptr, nullptr);
      if (fd < 0) continue;
      if (zvbench::read_all(fd, buf.data(), kDoc)) zvbench::write_all(fd, "ACK!", 4);
      close(fd);
    }
  });
  std::string doc = document("BL", "BR");
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  g_rate["bare"] = zvbench::timed_rate(state, "bare loop failed", [&] {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    bool ok = connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
              write(fd, doc.data(), doc.size()) == static_cast<ssize_t>(doc.size());
    char ack[4];
    ok = ok && zvbench::read_all(fd, ack, sizeof ack);
    close(fd);
    return ok;
  });
  stop = true;
  server.join();
  close(lfd);
}

// The same 8 KiB as one transaction of the local transport, for comparison.
void BM_Transport8KiB(benchmark::State &state) {
  g_rate["transport"] = zvbench::transport_rate(state, "BASICP", "BL", "BR", document("BL", "BR"));
}

BENCHMARK_CAPTURE(BM_Clientd, basic, "basic", "BL", "BR")->UseRealTime()->MinTime(1.0);
BENCHMARK_CAPTURE(BM_Clientd, integrity, "integrity", "IL", "IR")->UseRealTime()->MinTime(1.0);
BENCHMARK_CAPTURE(BM_Clientd, signed, "signed", "SL", "SR")->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_RsaSign2048)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_BareLoop8KiB)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_Transport8KiB)->UseRealTime()->MinTime(1.0);

}  // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  programs().stop();
  auto rate = [](const char *k) { return g_rate.count(k) ? g_rate[k] : 0.0; };
  auto ratio = [](double a, double b) { return b > 0 ? a / b : 0.0; };
  double bare = rate("bare"), sign = rate("sign");
  double ceiling = bare > 0 && sign > 0 ? 1.0 / (1.0 / sign + 1.0 / bare) : 0.0;
  if (rate("transport") > 0)
    printf("transport 8 KiB   %.0f tx/s   ratio to the bare loop = %.2f\n", rate("transport"),
           ratio(rate("transport"), bare));
  for (const char *k : {"basic", "integrity"})
    printf("clientd %-9s %.0f docs/s   ratio to the bare loop (%.0f tx/s) = %.2f\n", k, rate(k),
           bare, ratio(rate(k), bare));
  printf("clientd signed    %.0f docs/s   ratio to the sequential ceiling (%.0f/s) = %.2f\n",
         rate("signed"), ceiling, ratio(rate("signed"), ceiling));
  return 0;
}
