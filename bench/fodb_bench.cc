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

#include "failover/zv_fodb.h"
#include "runtime/zv_globals.h"

namespace {

std::string fresh_dir() {
  std::string base = std::string(ZV_BENCH_TMP);
  std::filesystem::create_directories(base);
  std::string templ = base + "/fodb-XXXXXX";
  if (mkdtemp(templ.data()) == nullptr) {
    perror("mkdtemp");
    abort();
  }
  return templ;
}

// The store as the failover process opens it.
struct Store {
  std::string dir = fresh_dir();
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

// The same environment and database made with the library alone.
struct Bare {
  std::string dir = fresh_dir();
  DB_ENV *env = nullptr;
  DB *db = nullptr;
  Bare() {
    if (db_env_create(&env, 0) != 0) abort();
    env->set_cachesize(env, 0, 5242880, 0);
    env->set_data_dir(env, dir.c_str());
    env->set_lk_detect(env, DB_LOCK_DEFAULT);
    env->log_set_config(env, DB_LOG_AUTO_REMOVE, 1);
    if (env->open(env, dir.c_str(),
                  DB_CREATE | DB_RECOVER | DB_INIT_LOCK | DB_INIT_MPOOL | DB_INIT_TXN |
                      DB_INIT_LOG,
                  0660) != 0) {
      abort();
    }
    if (db_create(&db, env, 0) != 0) abort();
    if (db->open(db, nullptr, "failover.db", nullptr, DB_BTREE, DB_CREATE | DB_AUTO_COMMIT,
                 0664) != 0) {
      abort();
    }
  }
  ~Bare() {
    db->close(db, 0);
    env->close(env, 0);
    std::filesystem::remove_all(dir);
  }
  int put(DBT *k, DBT *d) {
    int ret = db->put(db, nullptr, k, d, DB_NOOVERWRITE);
    if (ret == 0) db->sync(db, 0);
    return ret;
  }
  int del(DBT *k) {
    int ret = db->del(db, nullptr, k, 0);
    if (ret == 0) db->sync(db, 0);
    return ret;
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
  Bare b;
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
  Bare b;
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
