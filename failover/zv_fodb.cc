#include "failover/zv_fodb.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "failover/zv_fodb_memory.h"
#include "runtime/zv_globals.h"
#include "runtime/zv_handles.h"
#include "runtime/zv_log.h"
#include "runtime/zv_process.h"

namespace {

constexpr const char *kDbFile = "failover.db";
constexpr const char *kLockFile = "failover.lock";
// The library's process registry: without it an open recovers the environment.
constexpr const char *kRegistryFile = "__db.register";
constexpr u_int32_t kCacheBytes = 5242880;
constexpr int kAttempts = 7;
// How often a reopen closes and opens the store when a process ends inside a call
// between its two opens.
constexpr int kReopenAttempts = 3;
// A checkpoint once this much log (KiB) has been written since the last one keeps
// recovery short and lets the library remove log files it no longer needs.
constexpr u_int32_t kCheckpointKbytes = 1024;

#define FODB_ASSERT(cond)                                                       \
  do {                                                                          \
    if (!(cond)) fprintf(stderr, "ASSERT Failed: %s: line %d\n", "zv_fodb", __LINE__); \
  } while (0)

// ---- the lock that keeps processes out of each other's calls ---------------------------
//
// A process killed inside the library leaves its mutexes and locks held in the shared
// regions, and one that waited for them would wait for ever; recovery run while another
// process is inside a call breaks that process's writes. So every call that enters the
// library takes an exclusive flock on the lock file first. The file names the process
// inside and is blanked on the way out: a pid found there on the way in belongs to a
// process that ended inside, and the environment is recovered before anyone uses it
// again. The flock goes with the process however it ends.
//
// The mark is a record of fixed size written in place, so that after the first call
// (which sizes a new file) no call needs new space on disk: a full file system leaves
// the lock working.
constexpr size_t kMarkSize = 24;  // the pid, blanks, a newline
struct StoreLock {
  // The threads of this process (fodb_mutex); a call made inside another (a failed open
  // closing its handle, a reopen) holds it again without touching the file.
  std::recursive_mutex mutex;
  int depth = 0;
  int fd = -1;
  pid_t opened_by = 0;  // a forked child opens a description of its own
  char path[ZV_PATH_SIZE + 32] = "";
  // A process ended inside the store and the environment is not yet recovered: calls
  // refuse with FODB_RUNRECOVERY and the lock file keeps the dead process's pid.
  bool recovery_due = false;
  // The lock file names this process (or still a recovered one): blanked when the
  // outermost call ends.
  bool marked = false;
  // The mark could not be written: said once until a write succeeds again.
  bool mark_failing = false;
  // A long wait for the lock was said; its end is said too.
  bool waiting_said = false;
};

StoreLock store_lock;

// A wait for the lock this long is said, once: another process holds it (a delivering
// process stuck inside a call, say), and only a stop ends the wait.
constexpr int kSayWaitMs = 2000;

void say_lock_wait(void *arg) {
  StoreLock &l = *static_cast<StoreLock *>(arg);
  struct stat st;
  long pid = fstat(l.fd, &st) == 0 ? zv_flock_holder(st) : 0;
  if (pid > 0) {
    zv_log(-1, "WARNING: waiting for the failover store lock %s, held by process %ld (SIGTERM "
               "ends the wait)\n",
           l.path, pid);
  } else {
    zv_log(-1, "WARNING: waiting for the failover store lock %s, held by another process "
               "(SIGTERM ends the wait)\n",
           l.path);
  }
  l.waiting_said = true;
}

// The pid a mark names, 0 for none (blank, empty, or not a number).
long marked_pid(const char *mark, ssize_t n) {
  std::string text(mark, n > 0 ? static_cast<size_t>(n) : 0);
  size_t at = text.find_first_not_of(" \n");
  if (at == std::string::npos) return 0;
  char *end = nullptr;
  long pid = strtol(text.c_str() + at, &end, 10);
  return end != text.c_str() + at && pid > 0 ? pid : 0;
}

// Writes the whole mark in place: `pid`, or blanks for 0.
bool write_mark(StoreLock &l, long pid) {
  char mark[kMarkSize + 1];
  if (pid != 0) {
    snprintf(mark, sizeof mark, "%-*ld\n", static_cast<int>(kMarkSize - 1), pid);
  } else {
    snprintf(mark, sizeof mark, "%*s\n", static_cast<int>(kMarkSize - 1), "");
  }
  if (pwrite(l.fd, mark, kMarkSize, 0) == static_cast<ssize_t>(kMarkSize)) {
    l.mark_failing = false;
    return true;
  }
  if (!l.mark_failing) {
    zv_log(-1, "ERROR: cannot write %s: %s\n", l.path, errno != 0 ? strerror(errno) : "short write");
    l.mark_failing = true;
  }
  return false;
}

// The environment home of a handle's store; null for a store without transactions,
// which no other process shares.
const char *home_of_env(DB_ENV *env) {
  u_int32_t flags = 0;
  const char *home = nullptr;
  if (env == nullptr || env->get_open_flags(env, &flags) != 0 || !(flags & DB_INIT_TXN) ||
      env->get_home(env, &home) != 0)
    return nullptr;
  return home;
}

// The library's own failure of a call: FODB_RUNRECOVERY when the store must be reopened.
int library_failure(int ret) { return ret == DB_RUNRECOVERY ? FODB_RUNRECOVERY : -1; }

// Each environment init_fodb opens carries the owner of the library's memory for it.
unsigned owner_of(DB_ENV *env) {
  return env == nullptr ? 0 : static_cast<unsigned>(reinterpret_cast<uintptr_t>(env->app_private));
}

using ErrCall = void (*)(const DB_ENV *, const char *, const char *);

void discard_message(const DB_ENV *, const char *, const char *) {}

// Sends the library's error lines of `env` to `call` alone while it lives; then they go
// where they went before again (the caller holds the store).
struct ErrorRoute {
  ErrorRoute(DB_ENV *env, ErrCall call) : env_(env) {
    env_->get_errcall(env_, &call_);
    env_->get_errfile(env_, &file_);
    env_->set_errfile(env_, nullptr);
    env_->set_errcall(env_, call);
  }
  ~ErrorRoute() {
    env_->set_errcall(env_, call_);
    env_->set_errfile(env_, file_);
  }
  ErrorRoute(const ErrorRoute &) = delete;
  ErrorRoute &operator=(const ErrorRoute &) = delete;

  DB_ENV *env_;
  // Where the lines went before.
  ErrCall call_ = nullptr;
  FILE *file_ = nullptr;
};

// The library's error lines of one store call, bounded: on a full disk it writes one for
// each page and each write it tried. The first few go out as the library would write
// them, then a count of those left out and the last of them. Installed by the outermost
// gate of a call, under the store's lock.
class LineLimit {
 public:
  explicit LineLimit(DB_ENV *env) : route_(env, pass) { active_ = this; }
  ~LineLimit() {
    active_ = nullptr;
    // Where the library's lines go, so that a caller who sends them nowhere hears nothing.
    if (dropped_ > 1) {
      char note[96];
      snprintf(note, sizeof note, "(%d lines left out; the last:)", dropped_ - 1);
      write(route_.env_, last_prefix_.c_str(), note);
    }
    if (dropped_ > 0) write(route_.env_, last_prefix_.c_str(), last_.c_str());
  }
  LineLimit(const LineLimit &) = delete;
  LineLimit &operator=(const LineLimit &) = delete;

 private:
  static constexpr int kLines = 4;

  static void pass(const DB_ENV *env, const char *prefix, const char *msg) {
    LineLimit *l = active_;
    if (l == nullptr || msg == nullptr) return;
    if (l->passed_ < kLines) {
      ++l->passed_;
      l->write(env, prefix, msg);
      return;
    }
    ++l->dropped_;
    try {
      l->last_prefix_ = prefix != nullptr ? prefix : "";
      l->last_ = msg;
    } catch (...) {
    }
  }
  // As the library writes a line: to the caller's routine, and to its file or, when it
  // set neither, to standard error.
  void write(const DB_ENV *env, const char *prefix, const char *msg) const {
    ErrCall call = route_.call_;
    if (call != nullptr) call(env, prefix, msg);
    if (route_.file_ != nullptr || call == nullptr) {
      FILE *f = route_.file_ != nullptr ? route_.file_ : stderr;
      if (prefix != nullptr && prefix[0] != '\0') fprintf(f, "%s: ", prefix);
      fprintf(f, "%s\n", msg);
      fflush(f);
    }
  }

  static LineLimit *active_;

 public:
  static bool installed() { return active_ != nullptr; }

 private:
  ErrorRoute route_;
  int passed_ = 0;
  int dropped_ = 0;
  std::string last_prefix_;
  std::string last_;
};

LineLimit *LineLimit::active_ = nullptr;

class StoreGate {
 public:
  // Holds the store at `home` until the end of the scope; a null home holds nothing but
  // the other threads. What the library allocates meanwhile belongs to `owner`.
  StoreGate(const char *home, unsigned owner) : threads_(store_lock.mutex), memory_(owner) {
    enter(home);
  }
  // Holds the store of an open environment (only the other threads for one without
  // transactions). The handle is read once the other threads are held off.
  explicit StoreGate(DB_ENV *env) : threads_(store_lock.mutex), memory_(owner_of(env)) {
    enter_env(env);
  }
  // The same for the environment of a database handle.
  explicit StoreGate(DB *dbp)
      : threads_(store_lock.mutex), memory_(owner_of(dbp->get_env(dbp))) {
    enter_env(dbp->get_env(dbp));
  }
  ~StoreGate() {
    if (nested_) --store_lock.depth;
    if (!locked_) return;
    StoreLock &l = store_lock;
    l.depth = 0;
    if (l.marked && !l.recovery_due && write_mark(l, 0)) l.marked = false;
    flock(l.fd, LOCK_UN);
  }
  StoreGate(const StoreGate &) = delete;
  StoreGate &operator=(const StoreGate &) = delete;

  // 0 when the call may go into the library; -1 when the lock could not be had (logged);
  // FODB_RUNRECOVERY when a process ended inside and the store is not yet recovered. The
  // environment is then marked failed, so that no process, this one included, waits on
  // what the dead one held, and its handles can be closed without touching the shared
  // regions.
  int refusal() {
    if (!held_) return -1;
    if (!recovery_due()) return 0;
    if (env_ != nullptr) env_->set_flags(env_, DB_PANIC_ENVIRONMENT, 1);
    return FODB_RUNRECOVERY;
  }
  bool recovery_due() const { return (locked_ || nested_) && store_lock.recovery_due; }
  // Bounds the library's error lines of `env` for the rest of the call, unless an outer
  // call does already.
  void limit_lines(DB_ENV *env) {
    if (!LineLimit::installed()) lines_.emplace(env);
  }
  // Before the environment whose lines are bounded is closed.
  void end_lines() { lines_.reset(); }
  // The store is recovered: the lock file names this process again until the call ends.
  void recovered() {
    if (!store_lock.recovery_due) return;
    store_lock.recovery_due = false;
    write_mark(store_lock, static_cast<long>(getpid()));
    store_lock.marked = true;  // whatever the file holds now is blanked on the way out
  }

 private:
  // The store of an open environment, its library lines bounded.
  void enter_env(DB_ENV *env) {
    env_ = env;
    const char *home = home_of_env(env);
    enter(home);
    if (home != nullptr) limit_lines(env);
  }
  void enter(const char *home) {
    if (home == nullptr) {
      held_ = true;
      return;
    }
    if (store_lock.depth > 0) {
      ++store_lock.depth;
      nested_ = held_ = true;
      return;
    }
    char path[sizeof store_lock.path];
    snprintf(path, sizeof path, "%s/%s", home, kLockFile);
    StoreLock &l = store_lock;
    if (l.fd < 0 || l.opened_by != getpid() || strcmp(l.path, path) != 0) {
      if (l.fd >= 0) close(l.fd);
      l.fd = -1;
      l.recovery_due = false;
      l.marked = false;
      l.mark_failing = false;
      const char *why = nullptr;
      int fd = zv_open_regular_file(path, O_RDWR | O_CREAT, 0660, false, &why);
      if (fd < 0) {
        if (fd == -2) {
          zv_log(-1, "ERROR: refusing to open the failover store lock %s: it is %s\n", path,
                 why);
        } else {
          zv_log(-1, "ERROR: cannot open the failover store lock %s: %s\n", path,
                 strerror(errno));
        }
        l.path[0] = '\0';
        return;
      }
      l.fd = fd;
      l.opened_by = getpid();
      snprintf(l.path, sizeof l.path, "%s", path);
    }
    if (zv_flock_until_stop(l.fd, LOCK_EX, kSayWaitMs, say_lock_wait, &l) != 0) {
      if (errno != EINTR) {
        zv_log(-1, "ERROR: cannot lock %s: %s\n", l.path, strerror(errno));
      } else if (l.waiting_said) {
        zv_log(-1, "WARNING: the wait for the failover store lock %s ends: the process is "
                   "stopping\n",
               l.path);
      }
      l.waiting_said = false;
      return;
    }
    if (l.waiting_said) {
      l.waiting_said = false;
      zv_log(-1, "INFO: the failover store lock %s is taken again - going on\n", l.path);
    }
    locked_ = true;
    store_lock.depth = 1;
    char mark[kMarkSize];
    ssize_t n = pread(l.fd, mark, sizeof mark, 0);
    long inside = marked_pid(mark, n);
    const long mine = static_cast<long>(getpid());
    if (inside != 0 && inside != mine) {
      if (!l.recovery_due) {
        zv_log(-1, "WARNING: process %ld ended inside the failover store - recovering it\n",
               inside);
      }
      l.recovery_due = true;
      // A short mark (a new file, or one written in another form) is given its full size
      // now, naming the same process.
      if (n < static_cast<ssize_t>(kMarkSize)) write_mark(l, inside);
    } else {
      l.marked = write_mark(l, mine);
    }
    held_ = true;
  }

  // First: nothing of the gate, the handle included, is read before it is held.
  std::unique_lock<std::recursive_mutex> threads_;
  fodb_memory::Scope memory_;
  // The library's lines are bounded until the gate has gone.
  std::optional<LineLimit> lines_;
  DB_ENV *env_ = nullptr;
  bool held_ = false;
  bool locked_ = false;
  bool nested_ = false;
};

// Closes an environment and gives back what the library left of it (all of it when the
// environment had been marked failed). The close's result.
int close_env(DB_ENV *env) {
  unsigned owner = owner_of(env);
  int ret = env->close(env, 0);
  fodb_memory::release(owner);
  return ret;
}

// Said once a process: a file system that cannot reserve blocks leaves the regions'
// growth unreserved.
void warn_no_reservation(const char *home) {
  static bool said = false;
  if (said) return;
  said = true;
  zv_log(-1,
         "WARNING: the file system of %s cannot reserve disk space - should it fill up, a "
         "process using the failover store may be killed by SIGBUS\n",
         home);
}

struct EnvCloser {
  void operator()(DB_ENV *env) const { close_env(env); }
};
using EnvPtr = std::unique_ptr<DB_ENV, EnvCloser>;

// The library's codes for the three outcomes callers test become the store's own.
int store_code(int ret) {
  switch (ret) {
    case DB_NOTFOUND: return FODB_NOTFOUND;
    case DB_KEYEXIST: return FODB_KEYEXIST;
    case DB_LOCK_DEADLOCK: return FODB_DEADLOCK;
    case DB_RUNRECOVERY: return FODB_RUNRECOVERY;
    default: return ret;
  }
}

// Keys are printed bounded by what the descriptor holds: a caller's buffer need not
// hold a NUL.
int key_len(const DBT *key) {
  if (key == nullptr || key->data == nullptr) return 0;
  size_t cap = (key->flags & DB_DBT_USERMEM) ? key->ulen : key->size;
  if (cap > INT_MAX) cap = INT_MAX;
  return static_cast<int>(strnlen(static_cast<const char *>(key->data), cap));
}

const char *key_text(const DBT *key) {
  return (key == nullptr || key->data == nullptr) ? "" : static_cast<const char *>(key->data);
}

bool transactional(DB *dbp) {
  DB_ENV *env = dbp->get_env(dbp);
  u_int32_t flags = 0;
  return env != nullptr && env->get_open_flags(env, &flags) == 0 && (flags & DB_INIT_TXN);
}

// A flush of a transactional store failed, and no later one has succeeded yet.
bool flush_failing = false;
// The same for a flush of the log (the store's lock held for both).
bool log_failing = false;

// After a change: the database flushed to disk and, now and then, a checkpoint. In a
// transactional environment the commit already made the change durable, so a flush that
// fails (a full disk) costs nothing but the space the log keeps: it is said once until
// a flush succeeds again, not once per page and call as the library would.
void after_change(DB *dbp) {
  if (!transactional(dbp)) {
    int ret = dbp->sync(dbp, 0);
    if (ret != 0) dbp->err(dbp, ret, "DB->sync");
    return;
  }
  DB_ENV *env = dbp->get_env(dbp);
  int ret = 0;
  {
    ErrorRoute quiet(env, discard_message);
    ret = dbp->sync(dbp, 0);
    int checkpoint = env->txn_checkpoint(env, kCheckpointKbytes, 0, 0);
    if (ret == 0) ret = checkpoint;
  }
  if (ret != 0 && !flush_failing) {
    zv_log(-1,
           "WARNING: cannot write the failover store %s to disk (%s) - what it holds stays "
           "in its log until it can\n",
           kDbFile, db_strerror(ret));
  } else if (ret == 0 && flush_failing) {
    zv_log(-1, "INFO: the failover store %s is written to disk again\n", kDbFile);
  }
  flush_failing = ret != 0;
}

// Data dirs are taken relative to the environment home, so a relative failover path
// would name a directory inside itself: both are given as one absolute path.
void env_home(char *out, size_t size) {
  char resolved[PATH_MAX];
  if (realpath(failoverPath, resolved) != nullptr) {
    snprintf(out, size, "%s", resolved);
  } else {
    snprintf(out, size, "%s", failoverPath);
  }
}

// Whether the files in `home` that the library opens by name (its regions and registry
// "__db.*", its logs "log.*", the database) are the store's own: regular files with no
// other name. The library follows a link there and waits in the open of a FIFO, so a user
// who may write the directory could otherwise make it write any file, or hold it. The
// settings file "DB_CONFIG" it only reads, and may be a link (as the configuration may),
// but to a regular file. True when they are; otherwise a line names the first that is
// not.
bool store_files_are_own(const char *home) {
  zv_dir_ptr dir(opendir(home));
  if (!dir) return true;  // the open says what is wrong with the directory
  while (struct dirent *e = readdir(dir.get())) {
    const char *name = e->d_name;
    bool config = strcmp(name, "DB_CONFIG") == 0;
    if (!config && strncmp(name, "__db.", 5) != 0 && strncmp(name, "log.", 4) != 0 &&
        strcmp(name, kDbFile) != 0)
      continue;
    struct stat st;
    if (fstatat(dirfd(dir.get()), name, &st, config ? 0 : AT_SYMLINK_NOFOLLOW) != 0) continue;
    const char *why = zv_not_own_reason(st);
    if (config && S_ISREG(st.st_mode)) why = nullptr;
    if (why != nullptr) {
      zv_log(-1, "ERROR: refusing to open the failover store: %s/%s is %s - move it away\n",
             home, name, why);
      return false;
    }
  }
  return true;
}

// Whether the store takes a change: one made and taken back in a transaction, with the
// log written. A store whose log files were removed refuses every change (its log
// cannot be opened, or its database names log records past the end of a new one): that
// is found as it is opened, not after a record was delivered that cannot be removed.
// 0, or the failing call's code (reported).
int takes_changes(DB_ENV *env, DB *dbp) {
  DB_TXN *txn = nullptr;
  int ret = env->txn_begin(env, nullptr, &txn, 0);
  if (ret != 0) {
    env->err(env, ret, "DB_ENV->txn_begin");
    return ret;
  }
  char probe = '\0';
  DBT key, data;
  memset(&key, 0, sizeof key);
  memset(&data, 0, sizeof data);
  key.data = &probe;
  key.size = 1;
  data.data = &probe;
  ret = dbp->put(dbp, txn, &key, &data, 0);
  if (ret != 0) dbp->err(dbp, ret, "DB->put");
  int aborted = txn->abort(txn);
  if (aborted != 0) {
    env->err(env, aborted, "DB_TXN->abort");
    if (ret == 0) ret = aborted;
  }
  if (ret == 0 && (ret = env->log_flush(env, nullptr)) != 0)
    env->err(env, ret, "DB_ENV->log_flush");
  return ret;
}

int open_db(DB_ENV *dbenvp, DB **ppdb) {
  FODB_ASSERT(ppdb != nullptr);
  if (ppdb == nullptr) return -1;
  *ppdb = nullptr;
  StoreGate gate(dbenvp);
  if (int refused = gate.refusal()) return refused;
  DB *dbp = nullptr;
  int ret = db_create(&dbp, dbenvp, 0);
  if (ret != 0) {
    zv_log(-1, "db_create: %s\n", db_strerror(ret));
    return -1;
  }
  u_int32_t flags = DB_CREATE;
  u_int32_t env_flags = 0;
  if (dbenvp != nullptr && dbenvp->get_open_flags(dbenvp, &env_flags) == 0 &&
      (env_flags & DB_INIT_TXN)) {
    flags |= DB_AUTO_COMMIT;
  }
  // A store file that is not there is made anew, empty: said, since it may have held
  // records before (removed by hand, say).
  char file[ZV_PATH_SIZE + 32];
  const char *home = home_of_env(dbenvp);
  snprintf(file, sizeof file, "%s%s%s", home != nullptr ? home : "", home != nullptr ? "/" : "",
           kDbFile);
  struct stat st;
  bool existed = lstat(file, &st) == 0 || errno != ENOENT;
  // Its records are whole business documents: readable by the store's group, as every
  // other file of the store, and by no one else.
  ret = dbp->open(dbp, nullptr, kDbFile, nullptr, DB_BTREE, flags, 0660);
  if (ret != 0) {
    zv_log(-1, "db: dbp->open got error %d\n", ret);
    dbp->err(dbp, ret, "%s", kDbFile);
    return close_fodb(dbp, store_code(ret));
  }
  if (!existed) zv_log(-1, "WARNING: a new, empty failover store was created: %s\n", file);
  if (flags & DB_AUTO_COMMIT) {
    if (int refused = takes_changes(dbenvp, dbp)) {
      zv_log(-1, "ERROR: the failover store %s cannot be written\n", file);
      return close_fodb(dbp, store_code(refused));
    }
  }
  zv_log(1, "db_create: good\n");
  *ppdb = dbp;
  return 0;
}

// Whether all that is committed is in the log on disk: the library can report a commit
// as done whose log record it could not write (seen when a full disk keeps the log from
// going on into a new file), so a change counts only once the whole log is written.
// 0; or, for a change (`what` its word) whose log could not be written, the flush's
// failure code, reported, and said once until the log is written again.
int log_unwritten(DB *dbp, const DBT *pKey, const char *what) {
  if (!transactional(dbp)) return 0;
  DB_ENV *env = dbp->get_env(dbp);
  int ret = env->log_flush(env, nullptr);
  if (ret == 0) {
    if (log_failing) zv_log(-1, "INFO: the failover store's log is written again\n");
    log_failing = false;
    return 0;
  }
  dbp->err(dbp, ret, "DB_ENV->log_flush");
  if (!log_failing) {
    zv_log(-1, "ERROR: db: %.*s: the failover store's log cannot be written - key not %s\n",
           key_len(pKey), key_text(pKey), what);
    log_failing = true;
  }
  return library_failure(ret);
}

int store(DB *dbp, DBT *pKey, DBT *pData) {
  FODB_ASSERT(dbp != nullptr);
  FODB_ASSERT(pKey != nullptr);
  FODB_ASSERT(pData != nullptr);
  if (dbp == nullptr || pKey == nullptr || pData == nullptr) return -1;
  StoreGate gate(dbp);
  if (int refused = gate.refusal()) return refused;
  int ret = 0;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    ret = dbp->put(dbp, nullptr, pKey, pData, DB_NOOVERWRITE);
    if (ret != DB_LOCK_DEADLOCK) break;
    zv_log(1, "store_fodb: fail = %d pKey.data = %.*s\n", attempt, key_len(pKey),
           key_text(pKey));
  }
  switch (ret) {
    case 0:
      if (int failed = log_unwritten(dbp, pKey, "stored")) return failed;
      zv_log(1, "db: %.*s: key stored.\n", key_len(pKey), key_text(pKey));
      after_change(dbp);
      return 0;
    case DB_KEYEXIST:
      zv_log(-1, "WARNING:db: %.*s: key previously stored.\n", key_len(pKey), key_text(pKey));
      return FODB_KEYEXIST;
    case DB_LOCK_DEADLOCK:
      return -1;
    default:
      zv_log(-1, "db: error in switch in store_fodb\n");
      dbp->err(dbp, ret, "DB->put");
      return library_failure(ret);
  }
}

void close_cursor(DB *dbp, DBC **ppdbc, bool *open) {
  if (*ppdbc != nullptr) {
    int ret = (*ppdbc)->close(*ppdbc);
    if (ret != 0) dbp->err(dbp, ret, "DBcursor->close");
  }
  *ppdbc = nullptr;
  *open = false;
}

struct Reader {
  const char *name;         // for the deadlock line
  const char *notfound_fmt; // takes the position name
  bool *cursor_open;
};

bool retrieve_cursor_open = false;
bool last_cursor_open = false;

int read_at(const Reader &reader, DB *dbp, DBC **ppdbc, DBT *pKey, DBT *pData,
            u_int32_t position, const char *position_name) {
  FODB_ASSERT(dbp != nullptr);
  FODB_ASSERT(ppdbc != nullptr);
  FODB_ASSERT(pKey != nullptr);
  FODB_ASSERT(pData != nullptr);
  if (dbp == nullptr || ppdbc == nullptr || pKey == nullptr || pData == nullptr) return -1;
  memset(pData, 0, sizeof *pData);
  pData->flags = DB_DBT_MALLOC;
  StoreGate gate(dbp);
  if (int refused = gate.refusal()) return refused;
  if (!*reader.cursor_open) {
    *ppdbc = nullptr;
    int ret = dbp->cursor(dbp, nullptr, ppdbc, 0);
    if (ret != 0) {
      dbp->err(dbp, ret, "DB->cursor");
      *ppdbc = nullptr;
      return library_failure(ret);
    }
    *reader.cursor_open = true;
  }
  int result = -1;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    int ret = (*ppdbc)->get(*ppdbc, pKey, pData, position);
    if (ret == 0) {
      result = 0;
      break;
    }
    if (ret == DB_NOTFOUND) {
      zv_log(1, reader.notfound_fmt, position_name);
      result = FODB_NOTFOUND;
      break;
    }
    if (ret == DB_LOCK_DEADLOCK) {
      zv_log(1, "%s: fail = %d pKey.data = %.*s\n", reader.name, attempt, key_len(pKey),
             key_text(pKey));
      continue;
    }
    dbp->err(dbp, ret, "DBcursor->get");
    result = library_failure(ret);
    break;
  }
  if (result != 0 && pData->data != nullptr) {
    free(pData->data);
    pData->data = nullptr;
    pData->size = 0;
  }
  close_cursor(dbp, ppdbc, reader.cursor_open);
  return result;
}

}  // namespace

std::recursive_mutex &fodb_mutex() { return store_lock.mutex; }

int init_fodb(DB_ENV **ppdbenv) {
  FODB_ASSERT(ppdbenv != nullptr);
  if (ppdbenv == nullptr) return -1;
  *ppdbenv = nullptr;
  fodb_memory::install();
  const unsigned owner = fodb_memory::new_owner();
  fodb_memory::Scope memory(owner);
  DB_ENV *raw = nullptr;
  int ret = db_env_create(&raw, 0);
  if (ret != 0) {
    fprintf(stderr, "db_env_create: %s\n", db_strerror(ret));
    return -1;
  }
  raw->app_private = reinterpret_cast<void *>(static_cast<uintptr_t>(owner));
  EnvPtr env(raw);
  // Records handed to the caller come from malloc, whatever the library's own blocks do.
  ret = env->set_alloc(env.get(), malloc, realloc, free);
  if (ret != 0) {
    env->err(env.get(), ret, "set_alloc");
    return -1;
  }
  ret = env->set_cachesize(env.get(), 0, kCacheBytes, 0);
  if (ret != 0) {
    env->err(env.get(), ret, "set_cachesize");
    return store_code(ret);
  }
  char home[ZV_PATH_SIZE];
  env_home(home, sizeof home);
  ret = env->set_data_dir(env.get(), home);
  if (ret != 0) {
    env->err(env.get(), ret, "set_data_dir: %s", home);
    return store_code(ret);
  }
  ret = env->set_lk_detect(env.get(), DB_LOCK_DEFAULT);
  if (ret != 0) {
    env->err(env.get(), ret, "set_lk_detect: DB_LOCK_DEFAULT");
    return -1;
  }
  ret = env->log_set_config(env.get(), DB_LOG_AUTO_REMOVE, 1);
  if (ret != 0) {
    env->err(env.get(), ret, "log_set_config: DB_LOG_AUTO_REMOVE");
    return -1;
  }
  // A full file system must be an error of a call, never a signal. The regions are
  // memory-mapped files: each is written whole when it is created (and its growth is
  // reserved once it is open, below), so that no page of it is a hole to be filled on
  // first touch. A log file is written whole when it is begun, so that the records put
  // into it need no new space either; a log file that cannot be begun fails the put.
  ret = env->set_flags(env.get(), DB_REGION_INIT, 1);
  if (ret != 0) {
    env->err(env.get(), ret, "set_flags: DB_REGION_INIT");
    return -1;
  }
  ret = env->log_set_config(env.get(), DB_LOG_ZERO, 1);
  if (ret != 0) {
    env->err(env.get(), ret, "log_set_config: DB_LOG_ZERO");
    return -1;
  }
  StoreGate gate(home, owner);
  gate.limit_lines(env.get());
  // A store due for recovery is what this open is for.
  if (gate.refusal() == -1) return -1;
  if (!store_files_are_own(home)) return -1;
  if (gate.recovery_due()) {
    // The registry may not show the process that ended inside (it can end before its
    // open registered it); without a registry the open recovers.
    char registry[ZV_PATH_SIZE + 32];
    snprintf(registry, sizeof registry, "%s/%s", home, kRegistryFile);
    if (unlink(registry) != 0 && errno != ENOENT)
      zv_log(-1, "ERROR: cannot remove %s: %s\n", registry, strerror(errno));
  }
  // With the registry, recovery runs only when a process that had the environment open
  // ended without closing it; the processes still in it then see FODB_RUNRECOVERY.
  ret = env->open(env.get(), home,
                  DB_CREATE | DB_RECOVER | DB_REGISTER | DB_INIT_LOCK | DB_INIT_MPOOL |
                      DB_INIT_TXN | DB_INIT_LOG,
                  0660);
  if (ret != 0) {
    zv_log(-1, "db: dbenv->open got error %d\n", ret);
    env->err(env.get(), ret, "%s", kDbFile);
    return store_code(ret);
  }
  gate.recovered();
  fodb_memory::note_regions(owner, home);
  if (int error = fodb_memory::reserve_regions(owner)) {
    if (error != EOPNOTSUPP) {
      zv_log(-1, "ERROR: cannot reserve the disk space of the failover store's regions in %s: %s\n",
             home, strerror(error));
      // Closed while the store is still held, as it was opened.
      gate.end_lines();
      close_env(env.release());
      return -1;
    }
    warn_no_reservation(home);
  }
  zv_log(1, "db_env_create: good\n");
  *ppdbenv = env.release();
  return 0;
}

int open_fodb1(DB_ENV *dbenvp, DB **ppdb) {
  FODB_ASSERT(dbenvp != nullptr);
  if (dbenvp == nullptr) {
    if (ppdb != nullptr) *ppdb = nullptr;
    return -1;
  }
  return open_db(dbenvp, ppdb);
}

int open_fodb(DB **ppdb) { return open_db(nullptr, ppdb); }

int store_fodb(DB *dbp, DBT *pKey, DBT *pData) {
  int ret = store(dbp, pKey, pData);
  return ret == FODB_KEYEXIST ? 0 : ret;
}

int fodb_store_new(DB *dbp, DBT *pKey, DBT *pData) { return store(dbp, pKey, pData); }

int remove_fodb(DB *dbp, DBT *pKey) {
  FODB_ASSERT(dbp != nullptr);
  FODB_ASSERT(pKey != nullptr);
  if (dbp == nullptr || pKey == nullptr) return -1;
  StoreGate gate(dbp);
  if (int refused = gate.refusal()) return refused;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    int ret = dbp->del(dbp, nullptr, pKey, 0);
    switch (ret) {
      case 0:
        if (int failed = log_unwritten(dbp, pKey, "removed")) return failed;
        zv_log(1, "db: %.*s: key was deleted.\n", key_len(pKey), key_text(pKey));
        after_change(dbp);
        return 0;
      case DB_NOTFOUND:
        // A delete made before whose log could not be written is not done yet either.
        if (int failed = log_unwritten(dbp, pKey, "removed")) return failed;
        zv_log(-1, "db: %.*s: key not found.\n", key_len(pKey), key_text(pKey));
        return FODB_NOTFOUND;
      case DB_LOCK_DEADLOCK:
        zv_log(1, "remove_fodb: fail = %d pKey.data = %.*s\n", attempt, key_len(pKey),
               key_text(pKey));
        break;
      default:
        dbp->err(dbp, ret, "DB->del");
        return library_failure(ret);
    }
  }
  return -1;
}

int retrieve_fodb2(DB *dbp, DBC **ppdbc, DBT *pKey, DBT *pData, int first) {
  static const Reader reader{"retrieve_fodb2", "retrieve_fodb2:db: %s key not found.\n",
                             &retrieve_cursor_open};
  bool from_first = first == 0 || first == 1;
  return read_at(reader, dbp, ppdbc, pKey, pData, from_first ? DB_FIRST : DB_NEXT,
                 from_first ? "FIRST" : "NEXT");
}

int get_last_key_fodb(DB *dbp, DBC **ppdbc, DBT *pKey, DBT *pData) {
  static const Reader reader{"get_last_key_fodb", "get_last_key_fodb:db: %s key not found.\n",
                             &last_cursor_open};
  return read_at(reader, dbp, ppdbc, pKey, pData, DB_LAST, "LAST");
}

int retrieve_fodb(DB *dbp, DBT *pKey, DBT *pData) {
  FODB_ASSERT(dbp != nullptr);
  FODB_ASSERT(pKey != nullptr);
  FODB_ASSERT(pData != nullptr);
  if (dbp == nullptr || pKey == nullptr || pData == nullptr) return -1;
  StoreGate gate(dbp);
  if (int refused = gate.refusal()) return refused;
  int ret = dbp->get(dbp, nullptr, pKey, pData, 0);
  if (ret == 0) {
    int data_len = 0;
    if (pData->data != nullptr) {
      data_len = static_cast<int>(
          strnlen(static_cast<const char *>(pData->data), pData->size > INT_MAX ? INT_MAX : pData->size));
    }
    fprintf(stdout, "db: %.*s: key retrieved: data was %.*s.\n", key_len(pKey), key_text(pKey),
            data_len, pData->data != nullptr ? static_cast<const char *>(pData->data) : "");
    fflush(stdout);
    return 0;
  }
  if (ret == DB_NOTFOUND) {
    fprintf(stdout, "db: %.*s: key not found.\n", key_len(pKey), key_text(pKey));
    fflush(stdout);
    return 0;
  }
  dbp->err(dbp, ret, "DB->get");
  close_fodb(dbp, 0);
  return store_code(ret);
}

int close_fodb(DB *dbp, int iRc) {
  FODB_ASSERT(dbp != nullptr);
  if (dbp == nullptr) return iRc != 0 ? iRc : -1;
  StoreGate gate(dbp);
  // Without the lock (another process holds it and this one is stopping) the library is
  // not entered: the handle is left to the process's end, and the next open recovers the
  // store. Otherwise the close goes on; an environment due for recovery is marked failed.
  if (gate.refusal() == -1) return iRc != 0 ? iRc : -1;
  int ret = dbp->close(dbp, 0);
  return iRc != 0 ? iRc : store_code(ret);
}

int fodb_close_env(DB_ENV *dbenvp) {
  FODB_ASSERT(dbenvp != nullptr);
  if (dbenvp == nullptr) return -1;
  StoreGate gate(dbenvp);
  // As close_fodb: not closed without the lock.
  if (gate.refusal() == -1) return -1;
  gate.end_lines();
  return store_code(close_env(dbenvp));
}

int fodb_reopen(DB_ENV **ppdbenv, DB **ppdb) {
  FODB_ASSERT(ppdbenv != nullptr);
  FODB_ASSERT(ppdb != nullptr);
  if (ppdbenv == nullptr || ppdb == nullptr) return -1;
  // One reopen at a time, and no call with the handles it closes.
  std::lock_guard<std::recursive_mutex> threads(store_lock.mutex);
  zv_log(-1, "WARNING: the failover store must be recovered - closing it and opening it again\n");
  int rc = FODB_RUNRECOVERY;
  // A process may end inside a call between the two opens, and the store is then due
  // for recovery again: it is closed and opened once more.
  for (int attempt = 0; rc == FODB_RUNRECOVERY && attempt < kReopenAttempts; ++attempt) {
    // Closing a failed environment releases this process's handles and its place in the
    // registry; the results say only that it had failed.
    if (*ppdb != nullptr) close_fodb(*ppdb, 0);
    *ppdb = nullptr;
    if (*ppdbenv != nullptr) fodb_close_env(*ppdbenv);
    *ppdbenv = nullptr;
    rc = init_fodb(ppdbenv);
    if (rc == 0) rc = open_fodb1(*ppdbenv, ppdb);
  }
  if (rc != 0) {
    if (*ppdbenv != nullptr) fodb_close_env(*ppdbenv);
    *ppdbenv = nullptr;
  }
  return rc;
}

int fodb_holds(DB *dbp, DBT *pKey, DBT *pData) {
  FODB_ASSERT(dbp != nullptr);
  FODB_ASSERT(pKey != nullptr);
  FODB_ASSERT(pData != nullptr);
  if (dbp == nullptr || pKey == nullptr || pData == nullptr) return -1;
  StoreGate gate(dbp);
  if (int refused = gate.refusal()) return refused;
  DBT stored;
  memset(&stored, 0, sizeof stored);
  stored.flags = DB_DBT_MALLOC;
  int ret = dbp->get(dbp, nullptr, pKey, &stored, 0);
  if (ret == DB_NOTFOUND) return 0;
  if (ret != 0) {
    dbp->err(dbp, ret, "DB->get");
    return library_failure(ret);
  }
  bool same = stored.size == pData->size &&
              (stored.size == 0 || memcmp(stored.data, pData->data, stored.size) == 0);
  free(stored.data);
  return same ? 1 : 0;
}

void fodb_seqno_text(long long n, char *out) {
  if (n < 0) n = 0;
  if (n > FODB_SEQNO_MAX) n = FODB_SEQNO_MAX;
  // Nineteen digits at most: the letter and they fill the text.
  int len = snprintf(out + 1, FODB_SEQNO_TEXT_SIZE - 1, "%0*lld", FODB_SEQNO_DIGITS, n);
  if (len == FODB_SEQNO_DIGITS) {
    memmove(out, out + 1, FODB_SEQNO_DIGITS + 1);
  } else {
    out[0] = static_cast<char>('A' + (len - FODB_SEQNO_DIGITS - 1));
  }
}

long long fodb_key_seqno(const void *key, size_t size) {
  if (key == nullptr) return -1;
  const char *text = static_cast<const char *>(key);
  size_t len = strnlen(text, size);
  const char *end = text + len;
  const char *number = static_cast<const char *>(memrchr(text, '_', len));
  number = number != nullptr ? number + 1 : text;
  size_t digits = static_cast<size_t>(end - number);
  if (digits == 0) return -1;
  if (number[0] >= 'A' && number[0] <= 'Z') {
    // A letter gives the count of the digits after it: A ten, B eleven...
    size_t wanted = static_cast<size_t>(number[0] - 'A') + FODB_SEQNO_DIGITS + 1;
    ++number;
    if (--digits != wanted || number[0] == '0') return -1;
  } else if (digits != static_cast<size_t>(FODB_SEQNO_DIGITS)) {
    return -1;
  }
  long long value = 0;
  for (const char *p = number; p < end; ++p) {
    if (*p < '0' || *p > '9') return -1;
    int d = *p - '0';
    if (value > (FODB_SEQNO_MAX - d) / 10) return -1;
    value = value * 10 + d;
  }
  return value;
}

int fodb_scan(DB *dbp, long long *pHighestSeqNo, int *pRecords) {
  FODB_ASSERT(dbp != nullptr);
  FODB_ASSERT(pHighestSeqNo != nullptr);
  FODB_ASSERT(pRecords != nullptr);
  if (dbp == nullptr || pHighestSeqNo == nullptr || pRecords == nullptr) return -1;
  StoreGate gate(dbp);
  if (int refused = gate.refusal()) return refused;
  DBC *dbc = nullptr;
  int ret = dbp->cursor(dbp, nullptr, &dbc, 0);
  if (ret != 0) {
    dbp->err(dbp, ret, "DB->cursor");
    return library_failure(ret);
  }
  DBT key;
  DBT data;
  memset(&key, 0, sizeof key);
  memset(&data, 0, sizeof data);
  key.flags = DB_DBT_REALLOC;
  data.flags = DB_DBT_PARTIAL;  // zero bytes of each message
  long long highest = -1;
  int records = 0;
  int result = 0;
  int deadlocks = 0;
  for (;;) {
    ret = dbc->get(dbc, &key, &data, DB_NEXT);
    if (ret == DB_NOTFOUND) break;
    if (ret == DB_LOCK_DEADLOCK && ++deadlocks < kAttempts) {
      zv_log(1, "fodb_scan: fail = %d pKey.data = %.*s\n", deadlocks - 1, key_len(&key),
             key_text(&key));
      continue;
    }
    if (ret != 0) {
      dbp->err(dbp, ret, "DBcursor->get");
      result = library_failure(ret);
      break;
    }
    deadlocks = 0;
    ++records;
    long long seqno = fodb_key_seqno(key.data, key.size);
    if (seqno > highest) highest = seqno;
  }
  free(key.data);
  ret = dbc->close(dbc);
  if (ret != 0) dbp->err(dbp, ret, "DBcursor->close");
  if (result == 0) {
    *pHighestSeqNo = highest;
    *pRecords = records;
  }
  return result;
}
