// Stores and store+remove pairs per second through the failover store, next to a bare
// Berkeley DB loop with the same durability: the same environment flags, auto-committed
// puts without overwrite and deletes, each followed by a flush of the database.
#include <benchmark/benchmark.h>
#include <db.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "bench/bench_util.h"
#include "failover/zv_fodb.h"
#include "runtime/zv_globals.h"

namespace {

// The store as the failover process opens it.
struct Store {
  std::string dir = zvbench::fresh_dir("fodb");
  DB_ENV *env = nullptr;
  DB *db = nullptr;
  Store() {
    snprintf(failoverPath, sizeof failoverPath, "%s", dir.c_str());
    if (init_fodb(&env) != 0 || open_fodb1(env, &db) != 0) abort();
  }
  ~Store() {
    close_fodb(db, 0);
    env->close(env, 0);
    std::filesystem::remove_all(dir);
  }
};

struct Message {
  char key[FODB_KEY_BUFFER_SIZE];
  std::string body;
  DBT k;
  DBT d;
  explicit Message(size_t size) : body(size, 'x') {
    memset(&k, 0, sizeof k);
    memset(&d, 0, sizeof d);
    k.data = key;
    d.data = body.data();
    d.size = static_cast<u_int32_t>(body.size());
  }
  void set(int seq) {
    int n = snprintf(key, sizeof key, "s1_ACME_%09d", seq);
    k.size = static_cast<u_int32_t>(n + 1);
  }
};

void BM_store_fodb(benchmark::State &state) {
  Store s;
  Message m(static_cast<size_t>(state.range(0)));
  int seq = 0;
  for (auto _ : state) {
    m.set(seq++);
    if (store_fodb(s.db, &m.k, &m.d) != 0) state.SkipWithError("store_fodb failed");
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_bare_put(benchmark::State &state) {
  zvbench::BareStore b;
  Message m(static_cast<size_t>(state.range(0)));
  int seq = 0;
  for (auto _ : state) {
    m.set(seq++);
    if (b.put(&m.k, &m.d) != 0) state.SkipWithError("put failed");
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_store_remove_fodb(benchmark::State &state) {
  Store s;
  Message m(static_cast<size_t>(state.range(0)));
  int seq = 0;
  for (auto _ : state) {
    m.set(seq++);
    if (store_fodb(s.db, &m.k, &m.d) != 0 || remove_fodb(s.db, &m.k) != 0) {
      state.SkipWithError("store or remove failed");
    }
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_bare_put_del(benchmark::State &state) {
  zvbench::BareStore b;
  Message m(static_cast<size_t>(state.range(0)));
  int seq = 0;
  for (auto _ : state) {
    m.set(seq++);
    if (b.put(&m.k, &m.d) != 0 || b.del(&m.k) != 0) state.SkipWithError("put or del failed");
  }
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_store_fodb)->Arg(1024)->Arg(16384)->UseRealTime();
BENCHMARK(BM_bare_put)->Arg(1024)->Arg(16384)->UseRealTime();
BENCHMARK(BM_store_remove_fodb)->Arg(1024)->Arg(16384)->UseRealTime();
BENCHMARK(BM_bare_put_del)->Arg(1024)->Arg(16384)->UseRealTime();

}  // namespace
