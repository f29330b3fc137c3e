// Messages stored per second through the writer side (FO_FAILOVER: key, count, durable
// put) and replays per second (first record, socket record to a local sink, durable
// delete), next to a bare Berkeley DB loop of puts and deletes with the same
// durability: a transactional environment, auto-committed puts without overwrite and
// deletes, each followed by a flush of the database.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <db.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "bench/bench_util.h"
#include "failover/zv_failover.h"
#include "runtime/zv_globals.h"

namespace {

const std::string kBody = [] {
  std::string b = "ISA*00*          *00*          *ZZ*SENDER         *ZZ*ACME           *";
  b.resize(1024, 'x');
  return b;
}();

// A back end that takes every record and throws it away.
class Sink {
 public:
  Sink() {
    int port;
    fd_ = zvbench::loopback_listener(&port);
    address_ = "127.0.0.1:" + std::to_string(port);
    thread_ = std::thread([this] {
      char buf[65536];
      while (!stop_) {
        int c = accept(fd_, nullptr, nullptr);
        if (c < 0) continue;
        while (read(c, buf, sizeof buf) > 0) {
        }
        close(c);
      }
    });
  }
  ~Sink() {
    stop_ = true;
    shutdown(fd_, SHUT_RDWR);
    close(fd_);
    thread_.join();
  }
  const std::string &address() const { return address_; }

 private:
  int fd_;
  std::string address_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// The failover subsystem as failoverd opens it, in a fresh directory.
struct Subsystem {
  std::string dir = zvbench::fresh_dir("failover");
  Subsystem() {
    debug_level = 0;
    failoverd[0] = '\0';
    snprintf(failoverPath, sizeof failoverPath, "%s", dir.c_str());
    if (init_failover() != 0) abort();
    change_state(FO_FAILOVER);
  }
  ~Subsystem() {
    release_failover();
    std::filesystem::remove_all(dir);
  }
};

Trans_ctl_rec message(std::string &body) {
  Trans_ctl_rec t;
  memset(&t, 0, sizeof t);
  t.who = ZV_WHO_STD_SERVER;
  t.msg_type = ZV_MT_BASIC_EDI;
  snprintf(t.isa_line, sizeof t.isa_line, "%s", body.c_str());
  t.obufferp = body.data();
  t.obuf_length = static_cast<int>(body.size());
  return t;
}

void BM_StoreMessages(benchmark::State &state) {
  Subsystem fo;
  std::string body = kBody;
  char addr[] = "127.0.0.1:1";
  for (auto _ : state) {
    Trans_ctl_rec t = message(body);
    if (soc_write_fo(&t, addr) != 0) state.SkipWithError("store failed");
  }
  state.counters["messages/s"] = benchmark::Counter(static_cast<double>(state.iterations()),
                                                    benchmark::Counter::kIsRate);
}
BENCHMARK(BM_StoreMessages)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_Replays(benchmark::State &state) {
  Sink sink;
  Subsystem fo;
  snprintf(zv_socaddr, sizeof zv_socaddr, "%s", sink.address().c_str());
  std::string body = kBody;
  constexpr int kBatch = 200;
  int stored = 0;
  for (auto _ : state) {
    if (stored == 0) {
      state.PauseTiming();
      for (int i = 0; i < kBatch; ++i) {
        Trans_ctl_rec t = message(body);
        if (failover_write(&t) != 0) abort();
      }
      stored = kBatch;
      state.ResumeTiming();
    }
    DBC *dbc = nullptr;
    if (failover_recovery(&dbc, 0) != 0) state.SkipWithError("replay failed");
    --stored;
  }
  state.counters["replays/s"] = benchmark::Counter(static_cast<double>(state.iterations()),
                                                   benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Replays)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_BarePutDelete(benchmark::State &state) {
  zvbench::BareStore bare;
  std::string body = kBody;
  long n = 0;
  for (auto _ : state) {
    char k[32];
    int len = snprintf(k, sizeof k, "s1_ACME_%09ld", n++) + 1;
    DBT key, data;
    memset(&key, 0, sizeof key);
    memset(&data, 0, sizeof data);
    key.data = k;
    key.size = static_cast<u_int32_t>(len);
    data.data = body.data();
    data.size = static_cast<u_int32_t>(body.size());
    if (bare.put(&key, &data) != 0 || bare.del(&key) != 0) abort();
  }
  // One put is what a store costs the library, one delete what a replay costs it.
  state.counters["puts/s"] = benchmark::Counter(static_cast<double>(state.iterations()),
                                                benchmark::Counter::kIsRate);
  state.counters["deletes/s"] = benchmark::Counter(static_cast<double>(state.iterations()),
                                                   benchmark::Counter::kIsRate);
  state.counters["ops/s"] = benchmark::Counter(2.0 * static_cast<double>(state.iterations()),
                                               benchmark::Counter::kIsRate);
}
BENCHMARK(BM_BarePutDelete)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
