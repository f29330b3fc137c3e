// What the benchmarks share: scratch directories, a loopback listener, whole writes, the
// timed loop that turns iterations into a rate, the bare transport exchange, and the
// Berkeley DB store made with the library alone that the store benchmarks measure
// against. Benchmarks run one at a time on the main thread; nothing here locks.
#ifndef ZV_BENCH_BENCH_UTIL_H
#define ZV_BENCH_BENCH_UTIL_H

#include <arpa/inet.h>
#include <db.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "runtime/zv_common.h"
#include "runtime/zv_globals.h"
#include "transport/zv_transport.h"

namespace zvbench {

// A new directory `name`-XXXXXX under the build's bench-tmp; the caller removes it.
inline std::string fresh_dir(const std::string &name) {
  std::string base = std::string(ZV_BENCH_TMP);
  std::filesystem::create_directories(base);
  std::string templ = base + "/" + name + "-XXXXXX";
  if (mkdtemp(templ.data()) == nullptr) {
    perror("mkdtemp");
    abort();
  }
  return templ;
}

// A socket listening on 127.0.0.1 at a port the kernel chose, returned in *port. A
// benchmark without it cannot run, so a failure ends the program.
inline int loopback_listener(int *port) {
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

inline bool write_all(int fd, const char *p, size_t n) {
  while (n > 0) {
    ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

// Reads exactly n bytes; false at the end of the stream or on a failure.
inline bool read_all(int fd, char *p, size_t n) {
  while (n > 0) {
    ssize_t r = read(fd, p, n);
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

// Runs `step` once an iteration until it returns false, which ends the benchmark with
// `error`. Returns the iterations per second of real time.
template <class Step>
double timed_rate(benchmark::State &state, const char *error, Step step) {
  auto t0 = std::chrono::steady_clock::now();
  for (auto _ : state) {
    if (!step()) {
      state.SkipWithError(error);
      break;
    }
  }
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  state.SetItemsProcessed(state.iterations());
  return static_cast<double>(state.iterations()) / secs;
}

inline int receive_and_free(int fd, int, char *) {
  Trans_ctl_rec rec;
  memset(&rec, 0, sizeof rec);
  st_ipaddr_t ip;
  receive_transport_msg(&rec, fd, &ip);
  free(rec.ibufferp);
  free(rec.obufferp);
  return 0;
}

// Basic transactions of `input` over the local transport to a listener in this process,
// for partner 0 with the given ids. Returns transactions per second.
inline double transport_rate(benchmark::State &state, const char *isaid, const char *local_id,
                             const char *remote_id, std::string input,
                             const char *isa_line = "") {
  // A port taken from the kernel and released for listen_transport, which needs a number.
  int port;
  close(loopback_listener(&port));
  st_socaddr_t addr = {};
  snprintf(addr, sizeof addr, "127.0.0.1:%d", port);
  zv_shutdown = 0;
  std::thread server([&] { listen_transport(&addr, receive_and_free); });

  snprintf(partner[0].isaid, sizeof partner[0].isaid, "%s", isaid);
  snprintf(partner[0].local_id, sizeof partner[0].local_id, "%s", local_id);
  snprintf(partner[0].remote_id, sizeof partner[0].remote_id, "%s", remote_id);
  Trans_ctl_rec rec;
  memset(&rec, 0, sizeof rec);
  rec.msg_type = ZV_MT_BASIC_EDI;
  rec.zvp_version = 2;
  rec.tp_index = 0;
  rec.ibufferp = input.data();
  rec.imsg_length = rec.ibuf_length = rec.ibuf_alloc_length = static_cast<int>(input.size());
  snprintf(rec.isa_line, sizeof rec.isa_line, "%s", isa_line);

  // Not timed: the first send waits for the listener to come up (the connect retries).
  if (send_transport_msg(&rec, &addr) != 0) state.SkipWithError("no listener");
  double rate = timed_rate(state, "send_transport_msg failed",
                           [&] { return send_transport_msg(&rec, &addr) == 0; });
  zv_shutdown = 1;
  server.join();
  zv_shutdown = 0;
  return rate;
}

// The failover store's environment and database made with the library alone: the same
// environment flags, auto-committed puts without overwrite and deletes, each followed by
// a flush of the database. Any failure to make it ends the program.
struct BareStore {
  std::string dir = fresh_dir("bare");
  DB_ENV *env = nullptr;
  DB *db = nullptr;
  BareStore() {
    if (db_env_create(&env, 0) != 0) abort();
    env->set_cachesize(env, 0, 5242880, 0);
    env->set_data_dir(env, dir.c_str());
    env->set_lk_detect(env, DB_LOCK_DEFAULT);
    env->log_set_config(env, DB_LOG_AUTO_REMOVE, 1);
    if (env->open(env, dir.c_str(),
                  DB_CREATE | DB_RECOVER | DB_INIT_LOCK | DB_INIT_MPOOL | DB_INIT_TXN |
                      DB_INIT_LOG,
                  0660) != 0)
      abort();
    if (db_create(&db, env, 0) != 0) abort();
    if (db->open(db, nullptr, "failover.db", nullptr, DB_BTREE, DB_CREATE | DB_AUTO_COMMIT,
                 0664) != 0)
      abort();
  }
  ~BareStore() {
    db->close(db, 0);
    env->close(env, 0);
    std::filesystem::remove_all(dir);
  }
  BareStore(const BareStore &) = delete;
  BareStore &operator=(const BareStore &) = delete;
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

}  // namespace zvbench

#endif
