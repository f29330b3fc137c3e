// Shared pieces of the failover tests: an in-process working directory with what the
// transaction logger writes into, server-side transaction records, the transaction log
// lines read back, the store opened and filled, and the store read back with Berkeley
// DB's own tools.
#ifndef ZV_TESTS_FAILOVER_FAILOVER_TEST_UTIL_H
#define ZV_TESTS_FAILOVER_FAILOVER_TEST_UTIL_H

#include <db.h>
#include <gtest/gtest.h>

#include <sys/types.h>

#include <atomic>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "runtime/zv_common.h"

namespace fot {

// An ISA segment (106 characters with its terminator) with the given receiver id in
// ISA08 (15 columns, blank-padded) and interchange control number in ISA13.
std::string isa_line(const std::string &receiver, const std::string &control = "000000001");

// A test that runs in its own scratch directory as working directory, with the
// failed-message directories, the transaction-log names and the shared tables that
// transaction_logging needs, debug level 1 and the option defaults.
class WorkDirTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // A server record (who 2 or 3) whose output buffer is `out` (kept by the test).
  Trans_ctl_rec record(int who, std::string &out, const std::string &receiver = "ACME");

  // Lines of the transaction log of `who` (relative to the scratch directory).
  std::vector<std::string> trans_lines(int who) const;

  std::string dir_;

 private:
  char old_cwd_[4096] = {};
};

// ---- the store in this process ---------------------------------------------------------

// A key as the failover logic stores it: the text and its NUL. The DBT points into
// `text`, so no temporaries.
DBT key_dbt(std::string &&text) = delete;
inline DBT key_dbt(const std::string &text) {
  DBT k;
  memset(&k, 0, sizeof k);
  k.data = const_cast<char *>(text.c_str());
  k.size = static_cast<u_int32_t>(text.size() + 1);
  return k;
}

// The bytes as they are; the DBT points into `bytes`.
DBT data_dbt(std::string &&bytes) = delete;
inline DBT data_dbt(const std::string &bytes) {
  DBT d;
  memset(&d, 0, sizeof d);
  d.data = const_cast<char *>(bytes.data());
  d.size = static_cast<u_int32_t>(bytes.size());
  return d;
}

// Points `failoverPath` at `home` and opens the store there as failoverd does (a fatal
// failure when it cannot). The caller closes both.
void open_store(const std::string &home, DB_ENV **env, DB **db);

// Stores one record under the key text (its NUL added) and the data as they are.
void store_raw(DB *db, const std::string &key_text, const std::string &data);

// A message for fill_store: its priority (0 or 1), the receiver of its ISA segment and
// its body.
struct StoreMsg {
  int priority;
  std::string receiver;
  std::string body;
};

// Fills the store of the installation `dir` through the writer side, as a delivering
// process would while the back end is away, and closes it again.
void fill_store(const std::string &dir, const std::vector<StoreMsg> &msgs);

// ---- Berkeley DB's own tools over a failover directory ---------------------------------

// The records of "failover.db" in `home` as db_dump prints them (key and data decoded),
// in key order; *ok false when db_dump failed; the lines before the data in *header.
std::vector<std::pair<std::string, std::string>> db_dump_records(const std::string &home,
                                                                 bool *ok = nullptr,
                                                                 std::string *header = nullptr);
// Just the keys, without their trailing NUL.
std::vector<std::string> db_dump_keys(const std::string &home, bool *ok = nullptr);
// db_verify's exit status on "failover.db" in `home`, its output in *output.
int db_verify_status(const std::string &home, std::string *output = nullptr);
// db_recover's exit status on the environment in `home` (what the daemon's own open does
// with recovery), its output in *output.
int db_recover_status(const std::string &home, std::string *output = nullptr);

// The region files ("__db.001" ...) of the environment in `home`, each once (by inode):
// those the directory holds now, or those process `pid` (0: this one) has mapped, with
// how many of the mapped ones were removed since.
struct RegionFiles {
  std::set<unsigned long> inodes;
  int deleted = 0;
};
RegionFiles region_files_on_disk(const std::string &home);
RegionFiles region_files_mapped(pid_t pid, const std::string &home);

// ---- failoverd as a real process -------------------------------------------------------

// A failoverd daemon in an installation directory. Its pauses run to their end whatever
// signals arrive, so it runs with the fast clock preloaded (libfo_fast_clock.so: ten
// thousand times faster while it sleeps) unless the test needs real time. Poking
// (SIGHUP, which failoverd catches and ignores) once its handlers are in place is a
// storm of signals the daemon must ride out.
class Failoverd {
 public:
  enum class Clock { fast, real };
  explicit Failoverd(std::string dir, Clock clock = Clock::fast)
      : dir_(std::move(dir)), clock_(clock) {}
  ~Failoverd();
  Failoverd(const Failoverd &) = delete;
  Failoverd &operator=(const Failoverd &) = delete;

  // Starts the program (a stale pid file is removed first) and waits for the daemon's
  // pid. False when the parent did not leave with 0 or no pid appeared; *parent_status
  // receives the parent's status.
  bool start(const std::vector<std::string> &args = {}, const std::string &tag = "run",
             int *parent_status = nullptr);
  pid_t pid() const { return pid_; }
  // True once the daemon catches SIGHUP (its signal handlers are installed).
  bool handlers_ready() const;
  // Waits until a daemon started with "-d 1" says it opened an empty store; false when
  // it never does.
  bool opened_empty_store(const std::string &tag = "run") const;
  // Sends SIGHUP every `interval_us` (10 ms at least) from a thread of the test while
  // running; stop, kill9 and wait end it once the daemon is gone, whose pid may then be
  // another process's.
  void start_poking(int interval_us = 1000);
  void stop_poking();
  // SIGTERM, with pokes, and the exit status (128 + signal).
  int stop(int timeout_ms = 20000);
  // SIGKILL and the exit status.
  int kill9();
  // Waits for the daemon to end by itself.
  int wait(int timeout_ms = 20000);
  std::string err(const std::string &tag = "run") const;
  std::string out(const std::string &tag = "run") const;

 private:
  std::string dir_;
  Clock clock_;
  pid_t pid_ = -1;
  std::atomic<bool> poking_{false};
  std::thread poker_;
};

// An installation for failoverd in a fresh scratch directory whose [default] section
// names the back end at `outsocket` and holds `extra_default`, and whose [failoverd]
// section holds `extra_own`.
std::string failoverd_installation(const std::string &name, const std::string &outsocket,
                                   const std::string &extra_default = "",
                                   const std::string &extra_own = "");

}  // namespace fot

#endif
