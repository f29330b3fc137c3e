#include "failover/zv_failover.h"

#include <mm.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>

#include <openssl/conf.h>
#include <openssl/err.h>

#include "failover/zv_backend.h"
#include "failover/zv_fodb.h"
#include "runtime/zv_globals.h"
#include "runtime/zv_log.h"
#include "runtime/zv_process.h"
#include "runtime/zv_segment_lock.h"
#include "transport/zv_transport_services.h"

int zv_min_failover_threshold = FO_DEFAULT_MIN_THRESHOLD;
int zv_max_failover_limit = FO_DEFAULT_MAX_LIMIT;
int failoverd_reconnect_delay = FO_DEFAULT_RECONNECT_DELAY;

int *pFo_state;
long long *pFo_key;
int *pFo_reccount;
int *pFo_full_flag;
DB_ENV *pFo_dbenv;
DB *pFo_db;

namespace {

constexpr char kAssertFormat[] = "ASSERT Failed: %s: line %d\n";
constexpr char kKeySource[] = "failoverd_main";
constexpr char kProgram[] = "failoverd";
constexpr int kIsaReceiverOffset = 54;  // ISA08
constexpr int kIsaControlOffset = 90;   // ISA13
constexpr int kIsaReceiverLength = 15;
constexpr int kIsaControlLength = 9;
// How often a message whose key is taken already gets a fresh sequence number.
constexpr int kKeyTakenRetries = 3;
// How often one call closes and opens the store again after FODB_RUNRECOVERY before it
// gives up (another process may recover it again in between).
constexpr int kReopenAttempts = 3;

// Pauses of the main loop, in seconds. Each runs to its end on the monotonic clock
// whatever signals arrive; those of the state loop end early once shutdown is set, the
// one at stop does not.
constexpr int kNormalPause = 120;
constexpr int kRecoveryPause = 1;
constexpr int kRecoveryDonePause = 90;
constexpr int kJailPause = 3600;
constexpr int kShutdownPause = 6;

// Each cell's mutex for zv_segment_lock.
std::mutex state_mutex, key_mutex, count_mutex, flag_mutex;

// Reads made without the lock, as the state and limit tests are.
template <typename T>
T peek(const T *cell) {
  return cell ? __atomic_load_n(cell, __ATOMIC_RELAXED) : 0;
}
template <typename T>
void put(T *cell, T v) {
  __atomic_store_n(cell, v, __ATOMIC_RELAXED);
}

void between_steps();

// Waits `seconds` on the monotonic clock; `until_shutdown` ends the wait once the
// shutdown flag is set. Such a wait goes in steps of a second, after each of which
// failoverd looks at what may not wait for the end of a long pause: its directory and a
// log reopen asked for.
void pause_seconds(int seconds, bool until_shutdown = true) {
  for (int left = seconds; until_shutdown && left > 0 && zv_shutdown != 1; --left) {
    millisleep(1000u);
    between_steps();
  }
  if (until_shutdown) return;
  timespec end;
  clock_gettime(CLOCK_MONOTONIC, &end);
  end.tv_sec += seconds;
  // A signal ends the sleep early (EINTR): it sleeps on to the same end.
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &end, nullptr) == EINTR) {
  }
}

// Whether the back end was away at the last replay: the outage is said once, when it
// begins, and once more when the back end answers again.
bool backend_away = false;

int records_in_store();

// The records waiting are those of the store, whoever stored them: this process's count
// knows only its own.
void note_backend(const Trans_ctl_rec &rec, bool answered) {
  if (answered == !backend_away) return;
  backend_away = !answered;
  if (backend_away) {
    zv_log(-1,
           "%s: cannot connect to BES socket server: Connection refused (%s, %d records "
           "waiting; said once until it answers)\n",
           soc_word(&rec), zv_socaddr, records_in_store());
  } else {
    zv_log(-1, "NOTE: BES socket server at %s answers again (%d records waiting)\n", zv_socaddr,
           records_in_store());
  }
}

bool mode_off() { return failoverd[0] == 'N' || failoverd[0] == 'n'; }
bool mode_std_only() { return failoverd[0] == 'S' || failoverd[0] == 's'; }

// Every use of the store handles, a reopen included, holds the store's lock: the
// threads of a delivering process share pFo_db and pFo_dbenv, and a reopen replaces them.
using StoreHold = std::lock_guard<std::recursive_mutex>;

// The library's lines carry the name of the process that writes them: failoverd's own, or
// a delivering process's.
void route_store_errors() {
  StoreHold hold(fodb_mutex());
  if (!pFo_db) return;
  pFo_db->set_errfile(pFo_db, stderr);
  pFo_db->set_errpfx(pFo_db, program);
}

// Set by failoverd_main: this process is failoverd, which cannot go on without its
// store. The writer side of a delivering process reports each message not stored instead.
bool replaying = false;

// What failoverd's failover directory was when it took the hold on it.
std::optional<struct stat> held_dir;
void check_failover_dir();

// A record delivered to the back end whose removal failed: replay waits, without
// delivering it again, until its removal succeeds (remove_delivered).
std::optional<std::string> undeleted_key;  // the key's bytes as read, its NUL included

void say_what_to_do() {
  zv_log(-1,
         "To start failoverd again on a store that cannot be opened: make room if the file "
         "system of %s is full; otherwise stop every process that uses the store and run "
         "\"db_recover -h %s\" (with its log files lost: \"db_load -r lsn -h %s "
         "failover.db\"), or move the directory's files aside.\n",
         failoverPath, failoverPath, failoverPath);
}

[[noreturn]] void store_lost();
bool remove_delivered();

void between_steps() {
  zv_log_reopen_if_asked();
  if (replaying) check_failover_dir();
}

// After FODB_RUNRECOVERY (or a reopen that failed before): the store closed and opened
// again. True when it is open; failoverd ends when it cannot be.
bool reopen_store() {
  StoreHold hold(fodb_mutex());
  if (fodb_reopen(&pFo_dbenv, &pFo_db) != 0) {
    zv_log(-1, "ERROR: cannot open the failover store in %s again\n", failoverPath);
    if (replaying) store_lost();
    return false;
  }
  route_store_errors();
  return true;
}

// Once the cells exist, a store that a failed reopen left closed is opened again.
bool store_ready() {
  StoreHold hold(fodb_mutex());
  return pFo_db != nullptr || (pFo_state != nullptr && reopen_store());
}

// Runs `op` on the open store, reopening it and running `op` again while it reports
// FODB_RUNRECOVERY; `*reopened` tells whether a reopen came between. The last result.
// No other thread of the process uses the store meanwhile.
template <typename Op>
int with_store(Op op, bool *reopened = nullptr) {
  StoreHold hold(fodb_mutex());
  if (reopened) *reopened = false;
  if (!store_ready()) return -1;
  int rc = op();
  for (int n = 0; rc == FODB_RUNRECOVERY && n < kReopenAttempts; ++n) {
    if (!reopen_store()) return -1;
    if (reopened) *reopened = true;
    rc = op();
  }
  return rc;
}

// Routes the library's error lines of the store away (a removal tried again) or back.
void quiet_store_errors(bool quiet) {
  StoreHold hold(fodb_mutex());
  if (!pFo_db) return;
  if (quiet) {
    pFo_db->set_errfile(pFo_db, nullptr);
    pFo_db->set_errcall(pFo_db, [](const DB_ENV *, const char *, const char *) {});
  } else {
    pFo_db->set_errcall(pFo_db, nullptr);
    route_store_errors();
  }
}

// The record a back end took the connection of but did not confirm (it reset it, or did
// not close it in order within the bound): said once, however often it is sent again.
std::optional<std::string> not_taken_key;  // the key's bytes as read

void note_not_taken(const Trans_ctl_rec &rec, const char *key, u_int32_t size,
                    const std::string &text, const soc_send_outcome &outcome) {
  std::string bytes(key, size);
  if (not_taken_key == bytes) return;
  not_taken_key = bytes;
  const char *word = soc_word(&rec);
  zv_log(-1, "%s: %s\n", word, outcome.failure.c_str());
  zv_log(-1,
         "%s: record %s not taken by the back end (%lld of its %lld bytes sent) - it stays in "
         "the failover store and is sent again at every pass until the back end reads it whole "
         "and closes the connection in order; said once for this record\n",
         word, text.c_str(), outcome.bytes_sent,
         static_cast<long long>(rec.obuf_length) +
             static_cast<long long>(ZV_BE_SOCKET_HEADER_SIZE));
}

std::string undeleted_text() {
  return std::string(undeleted_key->data(), strnlen(undeleted_key->data(), undeleted_key->size()));
}

void warn_undeleted() {
  if (undeleted_key) {
    zv_log(-1,
           "WARNING: delivered record %s is still in the failover store - the next replay "
           "delivers it again\n",
           undeleted_text().c_str());
  }
}

// Adds `delta` to the record count under its lock; false (logged) when a lock failed.
bool count_add(int delta) {
  zv_segment_lock lock(pFo_reccount, count_mutex);
  if (!lock.held()) {
    zv_log(-1, "ERROR: reccount locking failed (RW)\n");
    return false;
  }
  put(pFo_reccount, peek(pFo_reccount) + delta);
  zv_log(1, "fo_db reccount = %d\n", peek(pFo_reccount));
  if (!lock.release()) {
    zv_log(-1, "ERROR: reccount unlocking failed (RW)\n");
    return false;
  }
  return true;
}

// The records the store holds now; the count cell when the store cannot be walked.
int records_in_store() {
  long long highest = -1;
  int records = 0;
  if (with_store([&] { return fodb_scan(pFo_db, &highest, &records); }) != 0)
    return peek(pFo_reccount);
  return records;
}

// In a state that stores nothing (FO_NORMAL, FO_RECOVERYDONE) the store may still hold
// records: another process with cells of its own stored them. Then the count follows
// them and the replay starts again (FO_RECOVERY); true when it does.
bool replay_what_others_stored() {
  long long highest = -1;
  int records = 0;
  if (with_store([&] { return fodb_scan(pFo_db, &highest, &records); }) != 0 || records == 0)
    return false;
  zv_log(1, "DEBUG: %d records in the failover store so change state\n", records);
  {
    zv_segment_lock lock(pFo_reccount, count_mutex);
    if (lock.held()) {
      put(pFo_reccount, records);
      zv_log(1, "fo_db reccount = %d\n", records);
    }
  }
  change_state(FO_RECOVERY);
  return true;
}

void set_full_flag(int value, const char *note) {
  zv_segment_lock lock(pFo_full_flag, flag_mutex);
  if (!lock.held()) {
    zv_log(-1, "ERROR: failover full_flag locking failed - ignoring\n");
    return;
  }
  put(pFo_full_flag, value);
  zv_log(1, note, value);
  if (!lock.release()) zv_log(-1, "ERROR: failover full_flag unlocking failed - ignoring\n");
}

// "h" or "s", the type, "_", the receiver id without trailing blanks, "_": the part of
// a key before its number. `psISAline` may be missing (no receiver then).
std::string key_stem(const char *psISAline, int iPriority, int messageType) {
  char head[24];
  snprintf(head, sizeof head, "%s%01d_", iPriority != 0 ? "h" : "s", messageType);
  std::string stem = head;
  if (psISAline) {
    size_t len = strnlen(psISAline, ZV_ISA_LINE_SIZE);
    if (len > static_cast<size_t>(kIsaReceiverOffset)) {
      std::string recv(psISAline + kIsaReceiverOffset,
                       std::min<size_t>(kIsaReceiverLength, len - kIsaReceiverOffset));
      size_t end = recv.find_last_not_of(' ');
      recv.resize(end == std::string::npos ? 0 : end + 1);
      stem += recv;
    }
  }
  return stem + "_";
}

void log_isa(const char *psISAline) {
  if (psISAline) {
    zv_log(1, "psISAline = [%.*s]\n", static_cast<int>(strnlen(psISAline, ZV_ISA_LINE_SIZE)),
           psISAline);
  } else {
    zv_log(1, "psISAline = [%s]\n", "");
  }
}

// Takes the next sequence number (under the key cell's lock) into *seqno. The count never
// passes FODB_SEQNO_MAX: at its end (which no store reaches) no number is given.
bool take_seqno(long long *seqno) {
  zv_segment_lock lock(pFo_key, key_mutex);
  if (!lock.held()) {
    zv_log(-1, "ERROR: key locking failed (RW)\n");
    return false;
  }
  long long n = peek(pFo_key);
  bool left = n >= 0 && n <= FODB_SEQNO_MAX;
  if (left) {
    put(pFo_key, n + 1);
    zv_log(1, "fo_db key = %lld\n", n + 1);
  }
  if (!lock.release()) {
    zv_log(-1, "ERROR: key unlocking failed (RW)\n");
    return false;
  }
  if (!left) {
    zv_log(-1, "ERROR: the failover sequence number is at its end (%lld)\n", n);
    return false;
  }
  *seqno = n;
  return true;
}

// A key with the next sequence number, into psKey; the count is raised when asked.
int build_key(const char *psISAline, int iPriority, int messageType, char *psKey,
              bool raise_count) {
  std::string stem = key_stem(psISAline, iPriority, messageType);
  long long n;
  if (!take_seqno(&n)) return -1;
  char digits[FODB_SEQNO_TEXT_SIZE];
  fodb_seqno_text(n, digits);
  zv_log(1, "fo_db key2 = [%s]\n", digits);
  if (raise_count && !count_add(1)) return -1;
  std::string key = stem + digits;
  snprintf(psKey, FO_KEY_SIZE, "%s", key.c_str());
  zv_log(1, "DEBUG: iGenKeyFromSeqNo:TEMPKEY=%s\n", psKey);
  return 0;
}

// After a key was found taken: the sequence continues above the highest number stored.
void reseed_after_taken_key() {
  long long highest = -1;
  int records = 0;
  if (with_store([&] { return fodb_scan(pFo_db, &highest, &records); }) != 0) return;
  zv_segment_lock lock(pFo_key, key_mutex);
  if (!lock.held()) {
    zv_log(-1, "ERROR: key locking failed (RW)\n");
    return;
  }
  if (peek(pFo_key) <= highest) put(pFo_key, highest + 1);
  if (!lock.release()) zv_log(-1, "ERROR: key unlocking failed (RW)\n");
}

// Makes the cell `*Cell` (a segment of its type's size) holding `initial`; false when it
// cannot be made.
template <typename T, T **Cell>
bool make_cell(int initial) {
  *Cell = static_cast<T *>(zv_segment_create(sizeof(T)));
  if (!*Cell) return false;
  put(*Cell, static_cast<T>(initial));
  return true;
}

template <typename T, T **Cell>
void drop_cell() {
  if (*Cell) mm_core_delete(*Cell);
  *Cell = nullptr;
}

// The four cells; the key cell holds a 64-bit count, so that the sequence never runs out.
struct CellSpec {
  bool (*make)(int initial);
  void (*drop)();
  std::mutex *mutex;
  int initial;
  const char *error;
};

const CellSpec kCells[] = {
    {make_cell<int, &pFo_state>, drop_cell<int, &pFo_state>, &state_mutex, FO_RECOVERY,
     "ERROR: Creating failover state - cannot create\n"},
    {make_cell<long long, &pFo_key>, drop_cell<long long, &pFo_key>, &key_mutex, 0,
     "ERROR: Creating failover cache key - cannot create\n"},
    {make_cell<int, &pFo_reccount>, drop_cell<int, &pFo_reccount>, &count_mutex, 0,
     "ERROR: Creating failover record count - cannot create\n"},
    {make_cell<int, &pFo_full_flag>, drop_cell<int, &pFo_full_flag>, &flag_mutex, 0,
     "ERROR: Creating failover full_flag - cannot create\n"},
};

struct conf_free {
  void operator()(CONF *c) const { NCONF_free(c); }
};

// A key's value in `section`, else in [default]; an empty value counts as missing, as
// it does for every other key. Null when neither has one.
const char *setting(CONF *conf, const char *section, const char *name) {
  for (const char *s : {section, "default"}) {
    const char *v = NCONF_get_string(conf, s, name);
    if (!v) ERR_clear_error();
    if (v && *v) return v;
  }
  return nullptr;
}

// A number key by the rule of every number key of the configuration file: its leading
// decimal number (after blanks and a sign); no number, one below `lowest` or beyond an
// int takes the built-in default with a warning that names the key and the value.
int leading_number(const char *key, const char *v, int dflt, int lowest = 1) {
  errno = 0;
  char *end = nullptr;
  long n = strtol(v, &end, 10);
  if (end == v || errno == ERANGE || n < lowest || n > INT_MAX) {
    zv_log(-1, "WARNING: Using %d as default for %s, found [%s] (not a number from %d to %d)\n",
           dflt, key, v, lowest, INT_MAX);
    return dflt;
  }
  return static_cast<int>(n);
}

// The failover mode is judged by its first letter; any other text than these stores
// every message, as the empty text does.
bool known_mode(const char *v) {
  return v[0] == '\0' || strchr("NnSs", v[0]) != nullptr;
}

}  // namespace

int failover_read_settings(const char *file, const char *section) {
  failoverd[0] = '\0';
  zv_min_failover_threshold = FO_DEFAULT_MIN_THRESHOLD;
  zv_max_failover_limit = FO_DEFAULT_MAX_LIMIT;
  failoverd_reconnect_delay = FO_DEFAULT_RECONNECT_DELAY;
  std::unique_ptr<CONF, conf_free> conf(NCONF_new(nullptr));
  long eline = 0;
  if (!conf || !file || NCONF_load(conf.get(), file, &eline) <= 0) {
    ERR_clear_error();
    zv_log(-1, "ERROR: Error on line %ld of the Zolvar configuration file (%s)\n", eline,
           file ? file : "");
    return -1;
  }
  const char *sect = section && *section ? section : "default";
  if (const char *v = setting(conf.get(), sect, FO_KEY_MODE)) {
    if (known_mode(v)) {
      snprintf(failoverd, sizeof failoverd, "%s", v);
    } else {
      zv_log(-1,
             "WARNING: Using the default (empty: every message stored) for %s, found [%s] "
             "(accepted: empty, N... for none, S... for standard priority only)\n",
             FO_KEY_MODE, v);
    }
  }
  // A threshold of 0 has a meaning: the flag clears only once the store is empty.
  if (const char *v = setting(conf.get(), sect, FO_KEY_MIN_THRESHOLD))
    zv_min_failover_threshold =
        leading_number(FO_KEY_MIN_THRESHOLD, v, FO_DEFAULT_MIN_THRESHOLD, 0);
  if (const char *v = setting(conf.get(), sect, FO_KEY_MAX_LIMIT))
    zv_max_failover_limit = leading_number(FO_KEY_MAX_LIMIT, v, FO_DEFAULT_MAX_LIMIT);
  if (const char *v = setting(conf.get(), sect, FO_KEY_RECONNECT_DELAY))
    failoverd_reconnect_delay =
        leading_number(FO_KEY_RECONNECT_DELAY, v, FO_DEFAULT_RECONNECT_DELAY);
  if (zv_min_failover_threshold > zv_max_failover_limit) {
    zv_log(-1,
           "WARNING: Using %d as default for %s and %d for %s, found %d above %d (the "
           "threshold must not be above the limit)\n",
           FO_DEFAULT_MIN_THRESHOLD, FO_KEY_MIN_THRESHOLD, FO_DEFAULT_MAX_LIMIT,
           FO_KEY_MAX_LIMIT, zv_min_failover_threshold, zv_max_failover_limit);
    zv_min_failover_threshold = FO_DEFAULT_MIN_THRESHOLD;
    zv_max_failover_limit = FO_DEFAULT_MAX_LIMIT;
  }
  zv_log(1,
         "DEBUG: failover settings: %s = [%s], %s = %d, %s = %d, %s = %d\n", FO_KEY_MODE,
         failoverd, FO_KEY_MIN_THRESHOLD, zv_min_failover_threshold, FO_KEY_MAX_LIMIT,
         zv_max_failover_limit, FO_KEY_RECONNECT_DELAY, failoverd_reconnect_delay);
  return 0;
}

int init_failover() {
  for (const CellSpec &c : kCells) {
    if (!c.make(c.initial)) {
      fprintf(stderr, "%s", c.error);
      const char *why = mm_error();
      if (why) zv_log(-1, "ERROR: mm_core_create: %s\n", why);
      release_failover();
      return -1;
    }
  }

  StoreHold hold(fodb_mutex());
  if (init_fodb(&pFo_dbenv) != 0) {
    fprintf(stderr, "ERROR: cannot open failover DB environment\n");
    pFo_dbenv = nullptr;
    release_failover();
    return -1;
  }
  int opened = open_fodb1(pFo_dbenv, &pFo_db);
  // Another process may end inside the store between the two opens; the reopen tries
  // again itself when that happens once more.
  if (opened == FODB_RUNRECOVERY) opened = fodb_reopen(&pFo_dbenv, &pFo_db);
  if (opened != 0) {
    fprintf(stderr, "ERROR: cannot open failover DB\n");
    pFo_db = nullptr;
    release_failover();
    return -1;
  }

  char keybuf[FODB_KEY_BUFFER_SIZE];
  DBT key, data;
  memset(&key, 0, sizeof key);
  memset(&data, 0, sizeof data);
  key.data = keybuf;
  key.ulen = sizeof keybuf;
  key.flags = DB_DBT_USERMEM;
  DBC *dbc = nullptr;
  int rc = with_store([&] { return get_last_key_fodb(pFo_db, &dbc, &key, &data); });
  if (rc == 0) {
    free(data.data);
    std::string last(keybuf, strnlen(keybuf, key.size));
    // The last key in key order need not carry the highest number ("h" keys sort before
    // "s" keys), and the count must be the records, not a number: both come from a walk.
    long long highest = -1;
    int records = 0;
    if (with_store([&] { return fodb_scan(pFo_db, &highest, &records); }) != 0) {
      zv_log(-1, "ERROR: from get_last_key_fodb()\n");
      put(pFo_key, 0LL);
      release_failover();
      return -1;
    }
    put(pFo_key, highest + 1);
    put(pFo_reccount, records);
    zv_log(1, "%s:fo KEY_START = %s\n", kProgram, last.c_str());
    zv_log(1, "%s:fo seqno_START = %lld\n", kProgram, highest < 0 ? 0 : highest);
    zv_log(1, "%s:fo reccount_START = %d\n", kProgram, records);
    if (records > zv_max_failover_limit) {
      zv_log(1, "max failover limit of %d reached\n", zv_max_failover_limit);
      put(pFo_full_flag, 1);
    }
  } else if (rc == FODB_NOTFOUND) {
    put(pFo_key, 0LL);
    zv_log(1, "%s:fo KEY_START = %s\n", kProgram, "");
    zv_log(1, "%s:fo seqno_START = %lld\n", kProgram, 0LL);
  } else {
    zv_log(-1, "ERROR: from get_last_key_fodb()\n");
    put(pFo_key, 0LL);
    release_failover();
    return rc;
  }
  return 0;
}

void release_failover() {
  {
    StoreHold hold(fodb_mutex());
    // A last try, so that a record delivered is not delivered again at the next start.
    if (undeleted_key && pFo_db) remove_delivered();
    warn_undeleted();
    undeleted_key.reset();
    if (pFo_db) close_fodb(pFo_db, 0);
    pFo_db = nullptr;
    if (pFo_dbenv) fodb_close_env(pFo_dbenv);
    pFo_dbenv = nullptr;
  }
  // Under each cell's mutex, so that a locked update in another thread finds the cell
  // there or gone, never going.
  for (const CellSpec &c : kCells) {
    std::lock_guard<std::mutex> guard(*c.mutex);
    c.drop();
  }
}

namespace {

[[noreturn]] void store_lost() {
  zv_log(-1, "FATAL ERROR: the failover store in %s cannot be opened again - cannot continue.\n",
         failoverPath);
  say_what_to_do();
  replaying = false;
  release_failover();
  vZvExit(-1);
}

// One failoverd replays a store: it holds the failover directory itself (an flock on
// the directory, whatever path names it) for its whole life. Another failoverd already
// holding it ends this one, with the pid file left as it was. Delivering processes do
// not ask for the hold and store beside it.
void hold_failover_dir() {
  char real[PATH_MAX];
  const char *path = realpath(failoverPath, real) != nullptr ? real : failoverPath;
  int fd = zv_hold_dir(failoverPath);
  if (fd >= 0) {
    // Held until the process ends.
    struct stat st;
    if (fstat(fd, &st) == 0) held_dir = st;
    return;
  }
  int error = errno;
  if (error == EWOULDBLOCK) {
    struct stat st;
    long pid = stat(failoverPath, &st) == 0 ? zv_flock_holder(st) : 0;
    if (pid > 0) {
      zv_log(-1,
             "FATAL ERROR: failover directory %s is held by another failoverd (pid %ld) - "
             "cannot start\n",
             path, pid);
    } else {
      zv_log(-1, "FATAL ERROR: failover directory %s is held by another failoverd - cannot start\n",
             path);
    }
  } else if (error == ENOLCK || error == EOPNOTSUPP) {
    zv_log(-1, "WARNING: cannot lock failover directory %s (%s), replaying it without a lock\n",
           path, strerror(error));
    struct stat st;
    if (stat(failoverPath, &st) == 0) held_dir = st;
    return;
  } else {
    zv_log(-1, "FATAL ERROR: cannot open failover directory %s: %s - cannot start\n", path,
           strerror(error));
  }
  pid_file_give_back();
  vZvExit(-1);
}

// Ends failoverd when `failoverPath` no longer names the directory it holds (moved away,
// removed and made again, a link turned elsewhere): replaying the old store beside a new
// one that writers fill, and letting a second failoverd hold the new one, would split
// the store in two.
void check_failover_dir() {
  if (!held_dir) return;
  struct stat st;
  bool same = stat(failoverPath, &st) == 0 && st.st_dev == held_dir->st_dev &&
              st.st_ino == held_dir->st_ino;
  if (same) return;
  zv_log(-1,
         "FATAL ERROR: failover directory %s no longer names the directory this failoverd "
         "holds - cannot continue.\n",
         failoverPath);
  replaying = false;
  held_dir.reset();
  release_failover();
  vZvExit(-1);
}

}  // namespace

void failover_jail() {
  zv_log(1, "in failover_jail\n");
  while (zv_shutdown != 1) pause_seconds(kJailPause);
  zv_log(1, "leaving failover_jail\n");
  vZvExit(0);
}

int change_state(int state) {
  zv_log(1, "DEBUG: Changing state from %d to %d\n", peek(pFo_state), state);
  if (state < FO_NORMAL || state > FO_RECOVERYDONE) {
    zv_log(-1, "ERROR: In UNKNOWN FO_STATE in change_state()\n");
    return 0;
  }
  {
    zv_segment_lock lock(pFo_state, state_mutex);
    if (!lock.held()) {
      zv_log(-1, "ERROR: state locking failed (RW)\n");
      return -1;
    }
    put(pFo_state, state);
    if (!lock.release()) {
      zv_log(-1, "ERROR: state unlocking failed (RW)\n");
      return -1;
    }
  }
  if (state != FO_RECOVERYDONE) return 0;

  struct Note {
    const char *note;
    const char *lock_error;
    const char *unlock_error;
  };
  // Each cell to 0 under its own lock; false when its lock cannot be taken (the later
  // resets are then skipped).
  auto reset = [](auto *const &cell, std::mutex &mutex, const Note &n) {
    zv_segment_lock lock(cell, mutex);
    if (!lock.held()) {
      zv_log(-1, "%s", n.lock_error);
      return false;
    }
    put(cell, static_cast<std::remove_reference_t<decltype(*cell)>>(0));
    zv_log(1, n.note, 0);
    if (!lock.release()) zv_log(-1, "%s", n.unlock_error);
    return true;
  };
  reset(pFo_key, key_mutex,
        {"re-set fo_db key to %d\n", "ERROR: key locking failed - ignoring\n",
         "ERROR: key unlocking failed - ignoring\n"}) &&
      reset(pFo_reccount, count_mutex,
            {"re-set fo_db reccount to %d\n", "ERROR: rec_count locking failed - ignoring\n",
             "ERROR: rec_count unlocking failed - ignoring\n"}) &&
      reset(pFo_full_flag, flag_mutex,
            {"re-set fo_full_flag to %d\n",
             "ERROR: failover full_flag locking failed - ignoring\n",
             "ERROR: failover full_flag unlocking failed - ignoring\n"});
  return 0;
}

namespace {

// A delivered record has left the store: the count follows, and the full flag is
// cleared once the count is down to the threshold. False when a cell lock failed.
bool removed_one() {
  if (!count_add(-1)) return false;
  if (peek(pFo_full_flag) == 1) {
    int count = peek(pFo_reccount);
    if (count > zv_min_failover_threshold) {
      zv_log(1, "min failover threshold of %d NOT reached (%d)\n", zv_min_failover_threshold,
             count);
    } else {
      zv_log(1, "min failover threshold of %d reached\n", zv_min_failover_threshold);
      set_full_flag(0, "re-set fo_full_flag to %d\n");
    }
  }
  return true;
}

// Tries again to remove the record delivered before whose removal failed (a full disk,
// say). True when there is none (any more); nothing is delivered while it is false, and
// the tries are silent: one line says when the removal failed, one when it succeeded.
bool remove_delivered() {
  if (!undeleted_key) return true;
  DBT del;
  memset(&del, 0, sizeof del);
  del.data = undeleted_key->data();
  del.size = static_cast<u_int32_t>(undeleted_key->size());
  int rc;
  {
    StoreHold hold(fodb_mutex());
    quiet_store_errors(true);
    rc = with_store([&] { return remove_fodb(pFo_db, &del); });
    quiet_store_errors(false);
  }
  // Not there: the delete made when the removal failed is written now.
  if (rc != 0 && rc != FODB_NOTFOUND) return false;
  zv_log(-1, "INFO: delivered record %s removed from the failover store - the replay goes on\n",
         undeleted_text().c_str());
  undeleted_key.reset();
  return removed_one();
}

}  // namespace

int failover_recovery(DBC **ppdbc, int firsttime) {
  if (!remove_delivered()) return -1;
  char keybuf[FODB_KEY_BUFFER_SIZE];
  DBT key, data;
  memset(&key, 0, sizeof key);
  memset(&data, 0, sizeof data);
  key.data = keybuf;
  key.ulen = sizeof keybuf;
  key.flags = DB_DBT_USERMEM;
  int rc = -1;
  {
    StoreHold hold(fodb_mutex());
    if (store_ready()) rc = retrieve_fodb2(pFo_db, ppdbc, &key, &data, firsttime);
    if (rc != 0 && rc != FODB_NOTFOUND) zv_log(-1, "ERROR: from retrieve_fodb2()\n");
    // Nothing was taken: the record is read again in the next pass, from the store
    // opened again.
    if (rc == FODB_RUNRECOVERY) {
      reopen_store();
      return -1;
    }
  }
  if (rc != 0) return rc;
  std::unique_ptr<void, decltype(&free)> owned(data.data, &free);
  std::string text(keybuf, strnlen(keybuf, key.size));
  zv_log(1, "%s:fo KEY = %s\n", kProgram, text.c_str());

  Trans_ctl_rec rec;
  memset(&rec, 0, sizeof rec);
  rec.status = -999;
  rec.tp_index = -1;
  bool standard = key.size > 0 && keybuf[0] == 's';
  rec.who = standard ? ZV_WHO_STD_SERVER : ZV_WHO_HPRI_SERVER;
  rec.iPriority = standard ? STD_PORT : HIPRI_PORT;
  rec.obufferp = static_cast<char *>(data.data);
  rec.obuf_length = static_cast<int>(data.size);
  soc_send_outcome outcome;
  int sent = soc_send(&rec, zv_socaddr, &outcome);
  note_backend(rec, sent != 1);
  if (sent != 0) {
    if (sent == -1) note_not_taken(rec, keybuf, key.size, text, outcome);
    zv_log(1, "%s: socket retry failed\n", kProgram);
    return -1;
  }
  not_taken_key.reset();
  // The exact bytes read, so a key without its NUL is removed too.
  DBT del;
  memset(&del, 0, sizeof del);
  del.data = keybuf;
  del.size = key.size;
  // The record is delivered: it goes, through a reopen if need be, so that it is not
  // delivered again. Not found after a reopen means the delete was committed before.
  bool reopened = false;
  rc = with_store([&] { return remove_fodb(pFo_db, &del); }, &reopened);
  if (rc != 0 && !(rc == FODB_NOTFOUND && reopened)) {
    // Kept by key and not delivered again: the replay waits until it is removed.
    undeleted_key.emplace(keybuf, key.size);
    zv_log(-1,
           "ERROR: delivered record %s cannot be removed from the failover store - the replay "
           "waits until it can\n",
           text.c_str());
    return -1;
  }
  owned.reset();
  return removed_one() ? 0 : -1;
}

int soc_write_fo(Trans_ctl_rec *tctlp, char *servaddr) {
  if (!tctlp || !servaddr) {
    fprintf(stderr, kAssertFormat, kKeySource, __LINE__);
    return -1;
  }
  if (!pFo_state) {
    // Without the cells and the store nothing can be kept: the direct send is all there is.
    zv_log(-1, "ERROR: failover subsystem not initialised in fo_writer()\n");
    return soc_write(tctlp, servaddr);
  }
  route_store_errors();
  switch (peek(pFo_state)) {
    case FO_FAILOVER:
    case FO_RECOVERY: {
      bool failover = peek(pFo_state) == FO_FAILOVER;
      zv_log(1, failover ? "In FO_FAILOVER_STATE in fo_writer()\n"
                         : "In FO_RECOVERY_STATE in fo_writer()\n");
      int rc = failover_write(tctlp);
      int count = peek(pFo_reccount);
      if (failover ? count >= zv_max_failover_limit : count > zv_max_failover_limit) {
        zv_log(1, "max failover limit of %d reached\n", zv_max_failover_limit);
        set_full_flag(1, "set fo_full_flag to %d\n");
      }
      return rc;
    }
    case FO_RECOVERYDONE:
      zv_log(1, "In FO_RECOVERYDONE_STATE in fo_writer()\n");
      change_state(FO_NORMAL);
      [[fallthrough]];
    case FO_NORMAL: {
      zv_log(1, "In FO_NORMAL_STATE in fo_writer()\n");
      if (soc_write(tctlp, servaddr) == 0) return 0;
      zv_log(-1, "%s:ERROR: returned from soc_write()\n", kProgram);
      int rc = failover_write(tctlp);
      change_state(FO_FAILOVER);
      return rc;
    }
    default:
      zv_log(-1, "ERROR: In UNKNOWN FO_STATE in fo_writer()\n");
      return 0;
  }
}

int failover_write(Trans_ctl_rec *tctlp) {
  if (!tctlp || (!tctlp->obufferp && tctlp->obuf_length != 0) || tctlp->obuf_length < 0) {
    fprintf(stderr, kAssertFormat, kKeySource, __LINE__);
    return -1;
  }
  if (mode_off()) return 0;
  if (mode_std_only() && tctlp->iPriority != 0) {
    zv_log(1, "WARNING: failover_write: Ignoring hipri ZV message due to failover mode (%s)\n",
           failoverd);
    return 0;
  }
  if (!store_ready()) {
    zv_log(-1, "ERROR: failover_write: no failover store open, message not stored\n");
    return -1;
  }
  char key[FO_KEY_SIZE];
  if (iGenerateKeyFromSeqNo(tctlp->isa_line, tctlp->iPriority, tctlp->msg_type, key) != 0) {
    zv_log(-1, "ERROR: failover_write: cannot build a key, message not stored\n");
    return -1;
  }
  DBT k, d;
  int rc = FODB_KEYEXIST;
  for (int attempt = 0; rc == FODB_KEYEXIST && attempt <= kKeyTakenRetries; ++attempt) {
    if (attempt > 0) {
      zv_log(-1, "WARNING: failover_write: key %s is stored already, taking the next number\n",
             key);
      reseed_after_taken_key();
      if (build_key(tctlp->isa_line, tctlp->iPriority, tctlp->msg_type, key, false) != 0) {
        rc = -1;
        break;
      }
    }
    size_t len = strlen(key) + 1;
    zv_log(1, "failover_write: key = %s len = %d\n", key, static_cast<int>(len));
    memset(&k, 0, sizeof k);
    memset(&d, 0, sizeof d);
    k.data = key;
    k.size = static_cast<u_int32_t>(len);
    d.data = tctlp->obufferp;
    d.size = static_cast<u_int32_t>(tctlp->obuf_length);
    bool reopened = false;
    rc = with_store([&] { return fodb_store_new(pFo_db, &k, &d); }, &reopened);
    // A put committed just before the failure is this message, not a taken key: it is
    // stored once. The look survives a reopen as the put does; when it cannot tell, the
    // message is reported not stored rather than stored a second time.
    if (rc == FODB_KEYEXIST && reopened) {
      int held = with_store([&] { return fodb_holds(pFo_db, &k, &d); });
      if (held == 1) {
        rc = 0;
      } else if (held != 0) {
        rc = -1;
      }
    }
  }
  if (rc != 0) {
    zv_log(-1, "ERROR of %d from store_fodb()\n", rc);
    // The count follows the records: this message is not one of them.
    count_add(-1);
    return -1;
  }
  zv_log(1, "GOOD %d from store_fodb()\n", rc);
  return 0;
}

int iGenerateKeyFromSeqNo(char *psISAline, int iPriority, int messageType, char *psKey) {
  if (!psISAline) fprintf(stderr, kAssertFormat, kKeySource, __LINE__);
  if (!psKey) {
    fprintf(stderr, kAssertFormat, kKeySource, __LINE__);
    return -1;
  }
  log_isa(psISAline);
  return build_key(psISAline, iPriority, messageType, psKey, true);
}

int iGenerateKeyFromISA(char *psISAline, int iPriority, int messageType, char *psKey) {
  if (!psISAline) fprintf(stderr, kAssertFormat, kKeySource, __LINE__);
  if (!psKey) {
    fprintf(stderr, kAssertFormat, kKeySource, __LINE__);
    return 0;
  }
  log_isa(psISAline);
  std::string key = key_stem(psISAline, iPriority, messageType);
  if (psISAline) {
    size_t len = strnlen(psISAline, ZV_ISA_LINE_SIZE);
    if (len > static_cast<size_t>(kIsaControlOffset))
      key.append(psISAline + kIsaControlOffset,
                 std::min<size_t>(kIsaControlLength, len - kIsaControlOffset));
  }
  snprintf(psKey, FO_KEY_SIZE, "%s", key.c_str());
  zv_log(1, "DEBUG: iGenKeyFromISA:TEMPKEY=%s\n", psKey);
  return 0;
}

int failoverd_main(int iArgc, char **ppsArgv) {
  zv_register_all_services();
  if (init_zv_process(iArgc, ppsArgv) != 0) exit(-1);
  if (failover_read_settings(configFileName, program) != 0) {
    zv_log(-1, "FATAL ERROR: Could not read \"%s\" - cannot continue.\n", configFileName);
    vZvExit(-1);
  }
  if (mode_off()) zv_started();
  if (mode_off()) failover_jail();
  // Checked now, not at the first replay: a typo would otherwise keep every record in the
  // store, with an error every second.
  if (!backend_address_ok(zv_socaddr)) {
    zv_log(-1,
           "FATAL ERROR: outsocket [%s] is not a dotted IPv4 address and a port from 1 to 65535 "
           "(a.b.c.d:port) - cannot continue.\n",
           zv_socaddr);
    vZvExit(-1);
  }
  hold_failover_dir();
  if (init_failover() != 0) {
    if (zv_shutdown == 1) {
      // Stopped while it waited for the store (its lock held by another process): an
      // orderly stop of a process that never started, whose pid file is given back.
      zv_log(0, "Failover subsystem closed.\n");
      pid_file_give_back();
      vZvExit(0);
    }
    zv_log(-1, "FATAL ERROR: cannot start the failover subsystem in %s - cannot continue.\n",
           failoverPath);
    say_what_to_do();
    pid_file_give_back();
    vZvExit(-1);
  }
  replaying = true;
  route_store_errors();
  zv_started();

  while (zv_shutdown != 1) {
    DBC *dbc = nullptr;
    check_failover_dir();
    switch (peek(pFo_state)) {
      case FO_NORMAL:
        zv_log(1, "In FO_NORMAL_STATE in failoverd()\n");
        if (!replay_what_others_stored()) pause_seconds(kNormalPause);
        break;
      case FO_FAILOVER:
        zv_log(1, "In FO_FAILOVER_STATE in failoverd()\n");
        if (failover_recovery(&dbc, 1) == 0) {
          zv_log(1, "GOOD from failover_recovery so change state\n");
          change_state(FO_RECOVERY);
        } else {
          zv_log(1, "ERROR from failover_recovery so NO state change\n");
          pause_seconds(failoverd_reconnect_delay);
        }
        break;
      case FO_RECOVERY: {
        zv_log(1, "In FO_RECOVERY_STATE in failoverd()\n");
        int rc = failover_recovery(&dbc, 0);
        if (rc == FODB_NOTFOUND) {
          zv_log(1, "DB_EMPTY from failover_recovery so change state\n");
          change_state(FO_RECOVERYDONE);
        } else if (rc != 0) {
          zv_log(1, "ERROR returned from failover_recovery\n");
        }
        pause_seconds(kRecoveryPause);
        break;
      }
      case FO_RECOVERYDONE:
        zv_log(1, "In FO_RECOVERYDONE_STATE in failoverd()\n");
        if (!replay_what_others_stored()) pause_seconds(kRecoveryDonePause);
        break;
      default:
        zv_log(-1, "ERROR: In UNKNOWN FO_STATE in failoverd()\n");
        break;
    }
  }

  zv_log(0, "Closing failover subsystem . . .\n");
  pause_seconds(kShutdownPause, false);
  // The database, then its environment, then the cells; the tables, the activity cache
  // and the logs are vZvExit's, as for every orderly stop.
  release_failover();
  zv_log(0, "Failover subsystem closed.\n");
  vZvExit(0);
}
