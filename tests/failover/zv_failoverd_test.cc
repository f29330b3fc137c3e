// failoverd as a real daemon in scratch installations, replaying to a back-end stand-in
// over loopback: order, priorities, a back end that goes away and comes back, the
// settings and the seeding it logs, the jail of mode "N", a store it cannot open, and one
// failoverd to a store.
#include <gtest/gtest.h>
#include <limits.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "failover/zv_failover.h"
#include "failover/zv_fodb.h"
#include "runtime/zv_globals.h"
#include "tests/failover/backend_standin.h"
#include "tests/failover/failover_test_util.h"
#include "tests/failover/fo_writer.h"
#include "tests/runtime/runtime_test_util.h"
#include "tests/support/zv_test_support.h"

namespace {

using fot::BackendStandin;
using fot::Failoverd;
using rtt::count_of;

using Msg = fot::StoreMsg;
using fot::fill_store;

void store_raw(const std::string &dir, const std::vector<std::pair<std::string, std::string>> &recs) {
  DB_ENV *env = nullptr;
  DB *db = nullptr;
  ASSERT_NO_FATAL_FAILURE(fot::open_store(dir + "/failover", &env, &db));
  for (const auto &[k, v] : recs) ASSERT_NO_FATAL_FAILURE(fot::store_raw(db, k, v));
  EXPECT_EQ(close_fodb(db, 0), 0);
  EXPECT_EQ(env->close(env, 0), 0);
}

std::vector<Msg> mixed_messages(int n) {
  std::vector<Msg> msgs;
  const char *receivers[] = {"ACME", "", "ZULU CARRIER", "BETA"};
  for (int i = 0; i < n; ++i)
    msgs.push_back({i % 3 == 0 ? 1 : 0, receivers[i % 4], "ISA*message " + std::to_string(i)});
  return msgs;
}

TEST(Failoverd, ReplaysTheStoreInKeyOrderAfterARestart) {
  BackendStandin be;
  ASSERT_TRUE(be.start());
  std::string dir = fot::failoverd_installation("fod-replay", be.address());
  std::vector<Msg> msgs = mixed_messages(24);
  fill_store(dir, msgs);
  std::vector<std::pair<std::string, std::string>> before = fot::db_dump_records(dir + "/failover");
  ASSERT_EQ(before.size(), msgs.size());

  Failoverd fo(dir);
  ASSERT_TRUE(fo.start({"-d", "1"})) << fo.err();
  fo.start_poking();
  ASSERT_TRUE(be.wait_count(msgs.size(), 20000)) << be.count() << "\n" << fo.err();
  ASSERT_TRUE(zvtest::wait_for([&] {
    return fo.err().find("In FO_RECOVERYDONE_STATE in failoverd()\n") != std::string::npos;
  }));
  // The orderly stop writes the partner-activity cache. The shared segments keep no lock
  // file on disk, at mm's own name in /tmp or in the working directory.
  ASSERT_NE(access((dir + "/tpacache.db").c_str(), F_OK), 0);
  std::string lock_file = "/tmp/mm.core." + std::to_string(fo.pid()) + ".sem";
  EXPECT_NE(access(lock_file.c_str(), F_OK), 0) << lock_file;
  EXPECT_EQ(fo.stop(), 0);
  EXPECT_EQ(access((dir + "/tpacache.db").c_str(), F_OK), 0);
  EXPECT_NE(access(lock_file.c_str(), F_OK), 0) << lock_file;
  for (const std::string &f : zvtest::list_dir(dir))
    EXPECT_EQ(f.find(".sem"), std::string::npos) << f;
  EXPECT_NE(fo.err().find("Process exit with vZVExit()\n"), std::string::npos);

  auto got = be.records();
  ASSERT_EQ(got.size(), before.size());
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].body, before[i].second) << i;  // db_dump lists in key order
    EXPECT_EQ(got[i].priority, before[i].first[0] == 'h' ? 1 : 0) << before[i].first;
  }
  EXPECT_EQ(be.malformed(), 0);
  std::string err = fo.err(), out = fo.out();
  EXPECT_NE(err.find("failoverd:fo reccount_START = 24\n"), std::string::npos) << err;
  EXPECT_EQ(count_of(err, "In FO_RECOVERY_STATE in failoverd()\n"), 25);
  EXPECT_EQ(count_of(err, "DB_EMPTY from failover_recovery so change state\n"), 1);
  EXPECT_NE(out.find("Closing failover subsystem . . .\n"), std::string::npos) << out;
  EXPECT_NE(out.find("Failover subsystem closed.\n"), std::string::npos) << out;
  EXPECT_TRUE(fot::db_dump_keys(dir + "/failover").empty());
  std::string verify;
  EXPECT_EQ(fot::db_verify_status(dir + "/failover", &verify), 0) << verify;
}

TEST(Failoverd, BackEndAwayThenBackLosesNothing) {
  BackendStandin be;
  ASSERT_TRUE(be.start());
  be.stop();
  std::string dir = fot::failoverd_installation("fod-away", be.address());
  std::vector<Msg> msgs = mixed_messages(5);
  fill_store(dir, msgs);
  Failoverd fo(dir);
  ASSERT_TRUE(fo.start({"-d", "1"})) << fo.err();
  fo.start_poking(2000);
  ASSERT_TRUE(zvtest::wait_for([&] {
    return count_of(fo.err(), "failoverd: socket retry failed\n") >= 3;
  })) << fo.err();
  // The outage is said once, with the address and the records that wait, however often
  // the replay tries; and once more when the back end answers.
  const std::string away = "WARNING: cannot connect to BES socket server: Connection refused (" +
                           be.address() + ", 5 records waiting; said once until it answers)\n";
  const std::string back = "NOTE: BES socket server at " + be.address() +
                           " answers again (5 records waiting)\n";
  EXPECT_EQ(count_of(fo.err(), away), 1) << fo.err();
  EXPECT_EQ(count_of(fo.err(), "cannot connect"), 1);
  EXPECT_NE(fo.err().find("ERROR returned from failover_recovery\n"), std::string::npos);
  EXPECT_EQ(fo.err().find("DB_EMPTY"), std::string::npos);
  ASSERT_TRUE(be.start());
  ASSERT_TRUE(be.wait_count(5, 20000)) << fo.err();
  ASSERT_TRUE(zvtest::wait_for([&] {
    return fo.err().find("DB_EMPTY from failover_recovery so change state\n") != std::string::npos;
  }));
  EXPECT_EQ(fo.stop(), 0);
  EXPECT_EQ(count_of(fo.err(), away), 1) << fo.err();
  EXPECT_EQ(count_of(fo.err(), back), 1) << fo.err();
  EXPECT_LT(fo.err().find(away), fo.err().find(back));
  std::vector<std::string> bodies;
  for (const auto &r : be.records()) bodies.push_back(r.body);
  std::vector<std::string> want;
  for (const Msg &m : msgs) want.push_back(m.body);
  std::sort(bodies.begin(), bodies.end());
  std::sort(want.begin(), want.end());
  EXPECT_EQ(bodies, want);
  EXPECT_TRUE(fot::db_dump_keys(dir + "/failover").empty());
}

TEST(Failoverd, SettingsAndSeedingAfterARestart) {
  BackendStandin be;
  ASSERT_TRUE(be.start());
  std::string dir = fot::failoverd_installation(
      "fod-seed", be.address(), "max_failover_limit = 1\nfailover_reconnect_delay = 30\n",
      "failover_mode = all\nmin_failover_threshold = 0\nfailover_reconnect_delay = 2\n");
  store_raw(dir, {{"h1_B_000000007", "hi B7"}, {"s1_A_000000003", "std A3"}});
  Failoverd fo(dir);
  ASSERT_TRUE(fo.start({"-d", "1"})) << fo.err();
  fo.start_poking();
  ASSERT_TRUE(be.wait_count(2)) << fo.err();
  ASSERT_TRUE(zvtest::wait_for([&] {
    return fo.err().find("DB_EMPTY from failover_recovery") != std::string::npos;
  }));
  EXPECT_EQ(fo.stop(), 0);
  std::string err = fo.err();
  // "all" is no mode: the default, every message stored, with a word.
  EXPECT_NE(err.find("WARNING: Using the default (empty: every message stored) for "
                     "failover_mode, found [all]"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("DEBUG: failover settings: failover_mode = [], min_failover_threshold = "
                     "0, max_failover_limit = 1, failover_reconnect_delay = 2\n"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("failoverd:fo KEY_START = s1_A_000000003\n"), std::string::npos);
  EXPECT_NE(err.find("failoverd:fo seqno_START = 7\n"), std::string::npos);
  EXPECT_NE(err.find("failoverd:fo reccount_START = 2\n"), std::string::npos);
  // The count of 2 is above the limit of 1; the first replay brings it to 1, still above
  // the threshold of 0, the second clears the flag.
  EXPECT_NE(err.find("max failover limit of 1 reached\n"), std::string::npos);
  EXPECT_NE(err.find("min failover threshold of 0 NOT reached (1)\n"), std::string::npos);
  EXPECT_NE(err.find("re-set fo_full_flag to 0\n"), std::string::npos);
  auto got = be.records();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].body, "hi B7");
  EXPECT_EQ(got[0].priority, 1);
  EXPECT_EQ(got[1].body, "std A3");
  EXPECT_EQ(got[1].priority, 0);
}

// The status a failoverd that stops at start ends with: its parent's once that waits for
// the start, the daemon's own otherwise.
int start_failure_status(Failoverd &fo) {
  int parent = 0;
  if (!fo.start({}, "run", &parent)) return parent;
  return fo.wait();
}

TEST(Failoverd, OutsocketIsCheckedAtStart) {
  const std::string values[] = {
      "",  // the option's default then, which has no port
      "127.0.0.1",
      "127.0.0.1:",
      "localhost:8000",
      "[::1]:8000",
      "127.0.0.1:0",
      "127.0.0.1:65536",
      "127.0.0.1:80x",
      "1.2.3:80",
      std::string(40, '1') + ".0.0.1:80",
  };
  int n = 0;
  for (const std::string &v : values) {
    std::string dir = fot::failoverd_installation("fod-outsocket" + std::to_string(n++), v);
    Failoverd fo(dir);
    EXPECT_EQ(start_failure_status(fo), 255) << v;
    std::string shown = v.empty() ? "127.0.0.1" : v;
    EXPECT_NE(fo.err().find("FATAL ERROR: outsocket [" + shown.substr(0, 30)),
              std::string::npos)
        << v << "\n"
        << fo.err();
    EXPECT_NE(fo.err().find("is not a dotted IPv4 address and a port from 1 to 65535 "
                            "(a.b.c.d:port) - cannot continue.\n"),
              std::string::npos)
        << fo.err();
    EXPECT_FALSE(zvtest::file_exists(dir + "/failover/failover.db")) << v;
  }
}

TEST(Failoverd, SendToABackEndThatNeverReadsEndsOnStopAndTheRecordStays) {
  // A 16 MB record first in key order, to a back end that accepts it and reads nothing:
  // the send cannot finish, and SIGTERM ends it; the record stays whole in the store and
  // reaches the back end, with the records behind it, once it reads again.
  BackendStandin be;
  ASSERT_TRUE(be.start());
  be.add_faults({BackendStandin::Fault::never_read});
  std::string dir = fot::failoverd_installation("fod-stuck", be.address());
  std::string big(16 << 20, 'B');
  for (size_t i = 0; i < big.size(); i += 1000) big[i] = static_cast<char>('a' + i / 1000 % 26);
  fill_store(dir, {{1, "ACME", big}, {0, "ACME", "ISA*behind 1"}, {0, "BETA", "ISA*behind 2"}});
  auto before = fot::db_dump_records(dir + "/failover");
  ASSERT_EQ(before.size(), 3u);

  Failoverd fo(dir);
  ASSERT_TRUE(fo.start({"-d", "1"})) << fo.err();
  ASSERT_TRUE(zvtest::wait_for([&] {
    return fo.err().find("soc_write: Sending request on #") != std::string::npos;
  })) << fo.err();
  EXPECT_EQ(fo.stop(20000), 0) << fo.err();
  EXPECT_NE(fo.err().find("WARNING: cannot write message (length of "), std::string::npos)
      << fo.err();
  EXPECT_NE(fo.err().find(" to socket (the process is stopping)\n"), std::string::npos);
  EXPECT_EQ(be.count(), 0u);
  EXPECT_EQ(fot::db_dump_records(dir + "/failover"), before);

  Failoverd again(dir);
  ASSERT_TRUE(again.start({}, "again")) << again.err("again");
  ASSERT_TRUE(be.wait_count(3, 60000)) << again.err("again");
  EXPECT_EQ(again.stop(), 0);
  auto got = be.records();
  ASSERT_EQ(got.size(), 3u);
  EXPECT_TRUE(got[0].body == big);
  EXPECT_EQ(got[1].body, "ISA*behind 1");
  EXPECT_EQ(got[2].body, "ISA*behind 2");
  EXPECT_TRUE(fot::db_dump_keys(dir + "/failover").empty());
}

TEST(Failoverd, PausesRunToTheirEndWhateverSignalsArrive) {
  // An empty store: the replay finds nothing and failoverd waits 90 s before it looks
  // again. A storm of signals neither shortens that wait nor the 6 s pause at stop;
  // SIGTERM ends the first at once.
  std::string dir = fot::failoverd_installation("fod-pauses", "127.0.0.1:1");
  Failoverd fo(dir, Failoverd::Clock::real);
  ASSERT_TRUE(fo.start({"-d", "1"})) << fo.err();
  const std::string waiting = "In FO_RECOVERYDONE_STATE in failoverd()\n";
  ASSERT_TRUE(zvtest::wait_for([&] { return fo.err().find(waiting) != std::string::npos; }))
      << fo.err();
  fo.start_poking(10000);
  std::atomic<bool> storming{true};
  pid_t pid = fo.pid();
  std::thread usr1([&] {
    while (storming) {
      kill(pid, SIGUSR1);
      usleep(10000);
    }
  });
  usleep(2000000);
  EXPECT_EQ(count_of(fo.err(), waiting), 1) << fo.err();
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(fo.stop(30000), 0);
  auto took = std::chrono::steady_clock::now() - t0;
  storming = false;
  usr1.join();
  EXPECT_GE(took, std::chrono::seconds(6));
  EXPECT_EQ(count_of(fo.err(), waiting), 1) << fo.err();
  EXPECT_NE(fo.out().find("Failover subsystem closed.\n"), std::string::npos) << fo.out();
}

TEST(Failoverd, ModeNWaitsInTheJailWithoutAStore) {
  std::string dir = fot::failoverd_installation("fod-jail", "127.0.0.1:1", "",
                                                "failover_mode = No\n");
  Failoverd fo(dir);
  ASSERT_TRUE(fo.start({"-d", "1"})) << fo.err();
  ASSERT_TRUE(zvtest::wait_for([&] {
    return fo.err().find("in failover_jail\n") != std::string::npos && fo.handlers_ready();
  })) << fo.err();
  EXPECT_EQ(fo.stop(), 0);
  EXPECT_NE(fo.err().find("leaving failover_jail\n"), std::string::npos) << fo.err();
  EXPECT_FALSE(zvtest::file_exists(dir + "/failover/failover.db"));
}

TEST(Failoverd, StoreThatCannotBeOpenedEndsWithMinusOne) {
  std::string dir = fot::failoverd_installation("fod-bad", "127.0.0.1:1");
  zvtest::write_file(dir + "/failover/failover.db", std::string(8192, 'x'));
  Failoverd fo(dir);
  int parent = -1;
  EXPECT_FALSE(fo.start({}, "run", &parent));
  EXPECT_EQ(parent, 255);
  std::string err = fo.err();
  EXPECT_NE(err.find("ERROR: cannot open failover DB\n"), std::string::npos) << err;
  EXPECT_NE(err.find("FATAL ERROR: cannot start the failover subsystem in ./failover - cannot "
                     "continue.\n"),
            std::string::npos)
      << err;
  EXPECT_EQ(zvtest::read_file(dir + "/failover/failover.db"), std::string(8192, 'x'));
}

// The status a launcher sees of a failoverd started in `dir`: the parent's own when it
// reports a failure itself, else that of the daemon it left behind, which this process
// adopts. `running` is a failoverd that goes on meanwhile.
int start_status(const std::string &dir, const std::string &tag, pid_t running) {
  pid_t parent = zvtest::start_program(zvtest::program_path("failover/failoverd"), "failoverd",
                                       {}, dir, tag);
  zvtest::RunResult r = zvtest::wait_program(parent, dir, tag);
  if (r.status != 0) return r.status;
  int status = -1;
  bool ended = zvtest::wait_for(
      [&] {
        int st = 0;
        pid_t done = waitpid(-1, &st, WNOHANG);
        if (done <= 0 || done == running) return false;
        status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        return true;
      },
      20000);
  // One that runs after all is not left behind.
  pid_t daemon = atoi(zvtest::read_file(dir + "/failoverd.pid").c_str());
  if (!ended && daemon > 0 && daemon != running) zvtest::wait_daemon(daemon, 0);
  return status;
}

std::string real_path(const std::string &path) {
  char real[PATH_MAX];
  return realpath(path.c_str(), real) != nullptr ? real : path;
}

TEST(Failoverd, OneFailoverdReplaysAStore) {
  BackendStandin be;
  ASSERT_TRUE(be.start());
  std::string dir = fot::failoverd_installation("fod-one", be.address());
  Failoverd fo(dir);
  ASSERT_TRUE(fo.start({"-d", "1"})) << fo.err();
  // The directory is held before the store is opened.
  ASSERT_TRUE(fo.opened_empty_store()) << fo.err();
  const std::string held = "FATAL ERROR: failover directory " + real_path(dir + "/failover") +
                           " is held by another failoverd (pid " + std::to_string(fo.pid()) +
                           ") - cannot start\n";

  // A second one in the same working directory stops at start, and the pid file still
  // names the one that runs.
  EXPECT_EQ(start_status(dir, "second", fo.pid()), 255);
  std::string err = zvtest::read_file(dir + "/second.err");
  EXPECT_NE(err.find(held), std::string::npos) << err;
  EXPECT_EQ(zvtest::read_file(dir + "/failoverd.pid"), std::to_string(fo.pid()));

  // So does one in another working directory naming the same failover directory, which
  // leaves no pid file there.
  std::string other = fot::failoverd_installation("fod-other", be.address());
  std::string conf = zvtest::read_file(other + "/zolvar.conf");
  const std::string own_path = "failover_path = ./failover\n";
  ASSERT_NE(conf.find(own_path), std::string::npos) << conf;
  conf.replace(conf.find(own_path), own_path.size(), "failover_path = " + dir + "/failover\n");
  zvtest::write_file(other + "/zolvar.conf", conf);
  EXPECT_EQ(start_status(other, "run", fo.pid()), 255);
  err = zvtest::read_file(other + "/run.err");
  EXPECT_NE(err.find(held), std::string::npos) << err;
  EXPECT_FALSE(zvtest::file_exists(other + "/failoverd.pid"));

  // A delivering process stores beside it, and the one failoverd delivers each record once.
  zvtest::RunResult w = zvtest::wait_program(
      zvtest::start_program(zvtest::program_path("tests/failover/fo_writer"), "fo_writer",
                            {dir + "/failover", "0", "4", "0"}, dir, "writer"),
      dir, "writer");
  ASSERT_EQ(w.status, 0) << w.err;
  fo.start_poking();
  ASSERT_TRUE(be.wait_count(4, 20000)) << fo.err();
  ASSERT_TRUE(zvtest::wait_for([&] {
    return count_of(fo.err(), "DB_EMPTY from failover_recovery so change state\n") >= 2;
  })) << fo.err();
  std::vector<std::string> bodies, want;
  for (const auto &r : be.records()) bodies.push_back(r.body);
  for (int n = 0; n < 4; ++n) want.push_back(fot::shared_document(n));
  std::sort(bodies.begin(), bodies.end());
  std::sort(want.begin(), want.end());
  EXPECT_EQ(bodies, want);

  // The failover directory moved away and made again: the path no longer names the
  // directory it holds, and it stops rather than replay the old store beside a new one.
  ASSERT_EQ(rename((dir + "/failover").c_str(), (dir + "/failover.moved").c_str()), 0);
  ASSERT_EQ(mkdir((dir + "/failover").c_str(), 0755), 0);
  EXPECT_EQ(fo.wait(), 255) << fo.err();
  EXPECT_NE(fo.err().find("FATAL ERROR: failover directory ./failover no longer names the "
                          "directory this failoverd holds - cannot continue.\n"),
            std::string::npos)
      << fo.err();
}

// A store lock held by another process (a delivering process stuck inside a call) is
// waited for, said once with who holds it, and a stop ends the wait within the usual
// bound. The next start recovers the store.
TEST(Failoverd, AHeldStoreLockIsSaidOnceAndAStopEndsTheWait) {
  BackendStandin be;
  ASSERT_TRUE(be.start());
  std::string dir = fot::failoverd_installation("fod-lockheld", be.address());
  Failoverd fo(dir);
  ASSERT_TRUE(fo.start({"-d", "1"})) << fo.err();
  ASSERT_TRUE(fo.opened_empty_store()) << fo.err();
  const std::string lock = real_path(dir + "/failover") + "/failover.lock";
  int fd = open(lock.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(flock(fd, LOCK_EX), 0);
  fo.start_poking(2000);
  const std::string waiting = "WARNING: waiting for the failover store lock " + lock +
                              ", held by process " + std::to_string(getpid()) +
                              " (SIGTERM ends the wait)\n";
  ASSERT_TRUE(zvtest::wait_for([&] { return fo.err().find(waiting) != std::string::npos; },
                               30000))
      << fo.err();
  EXPECT_EQ(fo.stop(), 0) << fo.err();
  EXPECT_EQ(count_of(fo.err(), "waiting for the failover store lock"), 1) << fo.err();
  EXPECT_NE(fo.err().find("WARNING: the wait for the failover store lock " + lock +
                          " ends: the process is stopping\n"),
            std::string::npos)
      << fo.err();
  close(fd);

  Failoverd again(dir);
  ASSERT_TRUE(again.start({"-d", "1"}, "again")) << again.err("again");
  ASSERT_TRUE(again.opened_empty_store("again")) << again.err("again");
  EXPECT_EQ(again.stop(), 0);
  std::string verify;
  EXPECT_EQ(fot::db_verify_status(dir + "/failover", &verify), 0) << verify;
}

// A store that cannot be opened ends failoverd with 255 and says what to do: when it
// breaks under a running failoverd (its log files gone, then a reopen), and at start,
// before anything is delivered. Done as it says, the store is replayed whole. A store
// file made anew is said at start.
TEST(Failoverd, AStoreThatCannotBeOpenedEndsItAndSaysWhatToDo) {
  BackendStandin be;
  ASSERT_TRUE(be.start());
  be.stop();
  std::string dir = fot::failoverd_installation("fod-broken", be.address());
  const std::string home = dir + "/failover";
  std::vector<Msg> msgs = mixed_messages(6);
  fill_store(dir, msgs);
  const std::string what_to_do =
      "To start failoverd again on a store that cannot be opened: make room if the file "
      "system of ./failover is full; otherwise stop every process that uses the store and run "
      "\"db_recover -h ./failover\" (with its log files lost: \"db_load -r lsn -h ./failover "
      "failover.db\"), or move the directory's files aside.\n";
  auto remove_logs = [&] {
    for (const std::string &f : zvtest::list_dir(home)) {
      if (f.rfind("log.", 0) == 0) {
        ASSERT_EQ(unlink((home + "/" + f).c_str()), 0) << f;
      }
    }
  };
  {
    // On the real clock: between its passes failoverd is out of the store for a second.
    Failoverd fo(dir, Failoverd::Clock::real);
    ASSERT_TRUE(fo.start({"-d", "1"}, "broken")) << fo.err("broken");
    ASSERT_TRUE(zvtest::wait_for([&] {
      return fo.err("broken").find("failoverd:fo reccount_START = 6\n") != std::string::npos;
    })) << fo.err("broken");
    // Its log files go, and a process ends inside a store call: the reopen that follows
    // finds a store that takes no change. failoverd's own calls write the lock file too,
    // so the dead process's mark is put back until failoverd has seen it.
    ASSERT_NO_FATAL_FAILURE(remove_logs());
    EXPECT_TRUE(zvtest::wait_for(
        [&] {
          zvtest::write_file(home + "/failover.lock", "99999999\n");
          return fo.err("broken").find("FATAL ERROR: the failover store") != std::string::npos;
        },
        30000))
        << fo.err("broken");
    EXPECT_EQ(fo.wait(), 255);
    std::string err = fo.err("broken");
    EXPECT_EQ(count_of(err, "ERROR: cannot open the failover store in ./failover again\n"), 1)
        << err;
    EXPECT_NE(err.find("FATAL ERROR: the failover store in ./failover cannot be opened again - "
                       "cannot continue.\n"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find(what_to_do), std::string::npos) << err;
  }
  {
    // Started on it, failoverd stops before it delivers anything.
    ASSERT_TRUE(be.start());
    Failoverd fo(dir);
    int parent = -1;
    EXPECT_FALSE(fo.start({}, "start", &parent)) << fo.err("start");
    EXPECT_EQ(parent, 255);
    std::string err = fo.err("start");
    EXPECT_NE(err.find("ERROR: the failover store " + real_path(home) +
                       "/failover.db cannot be written\n"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("FATAL ERROR: cannot start the failover subsystem in ./failover - cannot "
                       "continue.\n"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find(what_to_do), std::string::npos) << err;
    EXPECT_EQ(be.count(), 0u);
  }
  std::string out;
  ASSERT_EQ(zvtest::shell("db_load -r lsn -h " + home + " failover.db 2>&1", &out), 0) << out;
  {
    // Done as it says: every record is delivered, once.
    Failoverd fo(dir);
    ASSERT_TRUE(fo.start({"-d", "1"}, "again")) << fo.err("again");
    fo.start_poking();
    ASSERT_TRUE(zvtest::wait_for(
        [&] {
          return fo.err("again").find("DB_EMPTY from failover_recovery so change state\n") !=
                 std::string::npos;
        },
        20000))
        << fo.err("again");
    EXPECT_EQ(fo.stop(), 0);
    std::vector<std::string> bodies, want;
    for (const auto &r : be.records()) bodies.push_back(r.body);
    for (const Msg &m : msgs) want.push_back(m.body);
    std::sort(bodies.begin(), bodies.end());
    std::sort(want.begin(), want.end());
    EXPECT_EQ(bodies, want);
  }
  {
    // A store file removed is made anew, and that is said.
    ASSERT_EQ(unlink((home + "/failover.db").c_str()), 0);
    Failoverd fo(dir);
    ASSERT_TRUE(fo.start({"-d", "1"}, "anew")) << fo.err("anew");
    ASSERT_TRUE(fo.opened_empty_store("anew")) << fo.err("anew");
    EXPECT_EQ(fo.stop(), 0);
    EXPECT_EQ(count_of(fo.err("anew"), "WARNING: a new, empty failover store was created: " +
                                           real_path(home) + "/failover.db\n"),
              1)
        << fo.err("anew");
  }
}

}  // namespace
