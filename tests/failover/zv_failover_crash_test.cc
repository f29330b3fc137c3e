// kill -9 of failoverd at many points of the replay of a 1,000-message store, a restart
// after each kill, and after each kill Berkeley DB's own db_recover, db_verify and db_dump
// on the store: no message is lost, at most one is delivered twice per kill, and the store
// always holds exactly the tail, in key order, of what was not yet delivered.
//
// The kill points cycle through the phases of one replay as the back end sees them: the
// connection accepted, the record's header read, the whole record read (before the
// store's delete), and a growing delay after the whole record (inside the delete, its
// commit and flush, the count update, the pause).
//
// The shared store under kills of failoverd and of a delivering process, and on a full
// disk (a small tmpfs of the test's own, where one can be mounted).
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "failover/zv_failover.h"
#include "runtime/zv_globals.h"
#include "tests/failover/backend_standin.h"
#include "tests/failover/failover_test_util.h"
#include "tests/failover/fo_writer.h"
#include "tests/support/zv_test_support.h"

namespace {

using fot::BackendStandin;
using fot::Failoverd;
using Event = BackendStandin::Event;

constexpr int kMessages = 1000;
constexpr int kKills = 110;

std::string body_of(int i) {
  // Bodies of different sizes, each naming its message.
  std::string b = "ISA*crash message " + std::to_string(i) + "*";
  b.append(static_cast<size_t>(40 + (i * 37) % 1500), static_cast<char>('a' + i % 26));
  return b;
}

// How often the back end got each shared-store document; every record must be one of
// them, whole.
void count_shared_deliveries(const BackendStandin &be, std::map<int, int> &deliveries) {
  for (const auto &r : be.records()) {
    int n = fot::shared_document_number(r.body);
    ASSERT_GE(n, 0) << r.body.substr(0, 40);
    EXPECT_EQ(r.body, fot::shared_document(n));
    ++deliveries[n];
  }
}

void fill_store(const std::string &dir) {
  const char *receivers[] = {"ACME", "", "CARRIER WEST", "B"};
  std::vector<fot::StoreMsg> msgs;
  for (int i = 0; i < kMessages; ++i)
    msgs.push_back({i % 5 == 0 ? 1 : 0, receivers[i % 4], body_of(i)});
  fot::fill_store(dir, msgs);
}

// A last failoverd of the installation `dir` runs (poked) until `drained`, then stops in
// order and leaves a store that db_verify finds sound and that holds nothing. However
// many records are left (a loaded machine makes more of them), the run is given up only
// once the back end has received nothing for 60 s.
void final_run(const std::string &dir, const std::vector<std::string> &args,
               const BackendStandin &be, const std::function<bool(Failoverd &)> &drained) {
  Failoverd fo(dir);
  ASSERT_TRUE(fo.start(args, "final")) << fo.err("final");
  fo.start_poking(500);
  bool done = false;
  for (size_t before = be.count(); !done;) {
    done = zvtest::wait_for([&] { return drained(fo) || be.count() != before; }, 60000) &&
           drained(fo);
    if (!done && be.count() == before) break;
    before = be.count();
  }
  ASSERT_TRUE(done) << "nothing reached the back end for 60 s, " << be.count() << " records";
  EXPECT_EQ(fo.stop(), 0);
  std::string verify;
  EXPECT_EQ(fot::db_verify_status(dir + "/failover", &verify), 0) << verify;
  EXPECT_TRUE(fot::db_dump_keys(dir + "/failover").empty());
}

TEST(FailoverCrash, KillNineDuringReplayLosesNothing) {
  BackendStandin be;
  ASSERT_TRUE(be.start());
  std::string dir = fot::failoverd_installation("fo-crash", be.address());
  std::string home = dir + "/failover";
  fill_store(dir);

  // The store's own listing is the reference: key order is replay order.
  auto records = fot::db_dump_records(home);
  ASSERT_EQ(records.size(), static_cast<size_t>(kMessages));
  std::vector<std::string> keys;
  std::map<std::string, std::string> key_of_body;
  for (auto &[k, v] : records) {
    keys.push_back(k.substr(0, k.size() - 1));
    key_of_body[v] = keys.back();
  }

  std::atomic<pid_t> victim{-1};
  std::atomic<bool> killed{false};
  std::atomic<int> phase{0};
  std::atomic<size_t> at_index{0};
  std::atomic<int> delay_us{0};
  be.set_hook([&](Event e, size_t index) {
    if (killed || index != at_index) return;
    int p = phase;
    bool now = (p == 0 && e == Event::accepted) || (p == 1 && e == Event::header) ||
               (p >= 2 && e == Event::record);
    if (!now) return;
    pid_t pid = victim;
    if (pid <= 0) {
      // The daemon got here before its pid was known: take the next record instead.
      at_index = index + 1;
      return;
    }
    if (p == 3) usleep(static_cast<useconds_t>(delay_us.load()));
    if (!killed.exchange(true)) kill(pid, SIGKILL);
  });

  int kills = 0;
  int verify_failures = 0;
  for (int i = 0; kills < kKills; ++i) {
    ASSERT_LT(i, kKills * 2) << "the replay ended before enough kills";
    killed = false;
    phase = i % 4;
    at_index = be.count() + static_cast<size_t>(i % 13);
    delay_us = (i * 397) % 6000;
    Failoverd fo(dir);
    ASSERT_TRUE(fo.start({}, "run" + std::to_string(i))) << fo.err("run" + std::to_string(i));
    victim = fo.pid();
    fo.start_poking();
    bool hit = zvtest::wait_for([&] { return killed.load(); }, 20000);
    ASSERT_TRUE(hit) << "no kill in pass " << i << ", " << be.count() << " records\n"
                     << fo.err("run" + std::to_string(i));
    EXPECT_EQ(fo.wait(10000), 128 + SIGKILL);
    fo.stop_poking();
    victim = -1;
    ++kills;

    // A kill in the middle of a flush or checkpoint may leave pages of the file behind its
    // log; the library promises a consistent file only after recovery, which the daemon's
    // next open runs. The store is judged as that open will find it.
    std::string recover;
    ASSERT_EQ(fot::db_recover_status(home, &recover), 0)
        << "after kill " << kills << ": " << recover;
    std::string verify;
    int vs = fot::db_verify_status(home, &verify);
    if (vs != 0) ++verify_failures;
    EXPECT_EQ(vs, 0) << "after kill " << kills << " (phase " << phase << "): " << verify;
    bool ok = false;
    std::vector<std::string> left = fot::db_dump_keys(home, &ok);
    ASSERT_TRUE(ok);

    std::set<std::string> delivered;
    for (const auto &r : be.records()) delivered.insert(key_of_body.at(r.body));
    // What is left is the tail of the key order, and it reaches back at most one record
    // into what the back end already has.
    ASSERT_LE(left.size(), keys.size());
    std::vector<std::string> tail(keys.end() - static_cast<long>(left.size()), keys.end());
    ASSERT_EQ(left, tail) << "after kill " << kills;
    int both = 0;
    for (const std::string &k : left) both += delivered.count(k) ? 1 : 0;
    EXPECT_LE(both, 1) << "after kill " << kills;
    for (size_t n = 0; n < keys.size() - left.size(); ++n)
      ASSERT_TRUE(delivered.count(keys[n])) << keys[n] << " lost after kill " << kills;
  }

  // A last run drains the store and stops in order.
  ASSERT_NO_FATAL_FAILURE(final_run(dir, {}, be, [&](Failoverd &) {
    std::set<std::string> got;
    for (const auto &r : be.records()) got.insert(r.body);
    return got.size() == static_cast<size_t>(kMessages);
  }));

  // Each message arrived; repeats are immediate (the record delivered just before a
  // kill comes first after the restart), and first arrivals follow the key order.
  auto got = be.records();
  std::vector<std::string> first_order;
  std::set<std::string> seen;
  int duplicates = 0;
  for (size_t n = 0; n < got.size(); ++n) {
    const std::string &k = key_of_body.at(got[n].body);
    EXPECT_EQ(got[n].priority, k[0] == 'h' ? 1 : 0) << k;
    if (seen.insert(k).second) {
      first_order.push_back(k);
    } else {
      ++duplicates;
      EXPECT_EQ(key_of_body.at(got[n - 1].body), k) << "a repeat that is not the last record";
    }
  }
  EXPECT_EQ(first_order, keys);
  EXPECT_LE(duplicates, kills);
  EXPECT_EQ(verify_failures, 0);
  printf("%d kills, %d duplicates, %d cut-off connections, %zu records received\n", kills,
         duplicates, be.malformed(), got.size());
}

// Occurrences of `what` in `text`.
int occurrences(const std::string &text, const std::string &what) {
  int n = 0;
  for (size_t at = 0; (at = text.find(what, at)) != std::string::npos; at += what.size()) ++n;
  return n;
}

// A delivering process (fo_writer, two threads storing at once) stores into the store
// that failoverd replays while failoverd is killed with SIGKILL at moments that fall
// anywhere in its work, and the delivering process is killed now and then too: every
// start of failoverd comes up, every document reported stored reaches the back end
// (again only where a kill fell between a delivery and its removal, or the writer was
// killed before its report), and Berkeley DB's own db_verify finds the store sound.
//
// The kills go on until the events the test needs have happened, within a time bound:
// failoverd killed at least kFailoverdKills times, and at least kWriterKills writers
// killed, each only once it has reopened its store twice (every other start of
// failoverd is let finish its open, which recovers the store its predecessor died
// holding, so the writer must reopen). Just before its kill, once it has stored again
// after failoverd's end, a writer maps exactly the region files of the one environment
// on disk and none that was deleted, however often it reopened.
TEST(FailoverShared, StoresFromAnotherProcessSurviveKillsOfBoth) {
  BackendStandin be;
  ASSERT_TRUE(be.start());
  std::string dir = fot::failoverd_installation("fo-shared", be.address());
  std::string home = dir + "/failover";
  constexpr int kFailoverdKills = 60;
  constexpr int kWriterKills = 3;
  constexpr int kReopensBeforeKill = 2;
  constexpr int kCyclesPerWriter = 7;
  constexpr int kThreads = 2;
  constexpr int kTail = 100;          // documents of the last writer, which runs to its end
  constexpr int kOpenEnd = 1 << 30;   // the writers killed never reach it
  const std::string kReopenLine = "must be recovered - closing it";
  const std::string writer_exe = zvtest::program_path("tests/failover/fo_writer");
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(300);

  std::set<int> stored;
  int next = 0, runs = 0, fo_kills = 0, writer_kills = 0, writer_reopens = 0, cycles = 0;
  pid_t writer = -1;
  std::string tag;
  auto out = [&] { return zvtest::read_file(dir + "/" + tag + ".out"); };
  auto reopens = [&] { return occurrences(zvtest::read_file(dir + "/" + tag + ".err"), kReopenLine); };
  // A writer that ended by itself (a crash) is reported at once.
  auto writer_alive = [&] {
    std::string stat = zvtest::read_file("/proc/" + std::to_string(writer) + "/stat");
    size_t at = stat.rfind(')');
    return at != std::string::npos && at + 2 < stat.size() && stat[at + 2] != 'Z';
  };
  auto collect = [&] {
    for (const std::string &line : zvtest::split_lines(out()))
      if (line.rfind("stored ", 0) == 0) stored.insert(atoi(line.c_str() + 7));
  };
  auto start_writer = [&](int last) {
    tag = "writer" + std::to_string(runs++);
    cycles = 0;
    writer = zvtest::start_program(
        writer_exe, "fo_writer",
        {home, std::to_string(next), std::to_string(last), "8000", std::to_string(kThreads)}, dir,
        tag);
  };
  auto kill_writer = [&] {
    kill(writer, SIGKILL);
    zvtest::RunResult r = zvtest::wait_program(writer, dir, tag);
    EXPECT_EQ(r.status, 128 + SIGKILL) << tag << " ended by itself\n" << r.err;
    writer_kills += r.status == 128 + SIGKILL ? 1 : 0;
    writer_reopens += occurrences(r.err, kReopenLine);
    collect();
    next = stored.empty() ? 0 : *stored.rbegin() + 1;
    writer = -1;
  };

  start_writer(kOpenEnd);
  for (int i = 0; fo_kills < kFailoverdKills || writer_kills < kWriterKills; ++i) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline)
        << fo_kills << " kills of failoverd and " << writer_kills << " of the writer in 300 s; "
        << tag << " has reopened its store " << reopens() << " times\n"
        << zvtest::read_file(dir + "/" + tag + ".err");
    const std::string run = "fo" + std::to_string(i);
    Failoverd fo(dir);
    bool let_open = i % 2 == 0;
    ASSERT_TRUE(fo.start(let_open ? std::vector<std::string>{"-d", "1"} : std::vector<std::string>{},
                         run))
        << fo.err(run);
    fo.start_poking(500);
    if (let_open) {
      ASSERT_TRUE(zvtest::wait_for(
          [&] { return fo.err(run).find("db_env_create: good\n") != std::string::npos; }, 30000))
          << "failoverd did not open its store\n"
          << fo.err(run);
    }
    usleep(static_cast<useconds_t>(2000 + (i * 7919) % 50000));
    fo.stop_poking();
    EXPECT_EQ(fo.kill9(), 128 + SIGKILL) << "failoverd ended by itself\n" << fo.err(run);
    ++fo_kills;
    ASSERT_TRUE(writer_alive()) << tag << " ended by itself\n"
                                << zvtest::read_file(dir + "/" + tag + ".err");
    if (++cycles < kCyclesPerWriter || reopens() < kReopensBeforeKill) continue;

    // Judged once the writer has stored after failoverd's end: with one more report
    // than it has threads, a call that began after the kill has returned, so whatever
    // recovery failoverd ran is behind it.
    const int before = occurrences(out(), "stored ");
    ASSERT_TRUE(zvtest::wait_for(
        [&] { return !writer_alive() || occurrences(out(), "stored ") > before + kThreads; },
        60000) && writer_alive())
        << tag << " stores nothing more\n"
        << zvtest::read_file(dir + "/" + tag + ".err");
    fot::RegionFiles mapped = fot::region_files_mapped(writer, home);
    fot::RegionFiles on_disk = fot::region_files_on_disk(home);
    kill_writer();
    EXPECT_FALSE(mapped.inodes.empty()) << "writer " << writer_kills;
    EXPECT_EQ(mapped.deleted, 0) << "writer " << writer_kills;
    EXPECT_EQ(mapped.inodes, on_disk.inodes) << "writer " << writer_kills;
    start_writer(kOpenEnd);
  }
  // The writer of the last cycles stops where it is; a last one stores a tail to its end.
  kill_writer();
  const int last = next + kTail;
  start_writer(last);
  {
    zvtest::RunResult r = zvtest::wait_program(writer, dir, tag, 120000);
    ASSERT_EQ(r.status, 0) << r.err;
    collect();
  }
  ASSERT_EQ(*stored.rbegin(), last - 1);

  // The writer is done: a last failoverd replays what is left until the store is empty.
  ASSERT_NO_FATAL_FAILURE(final_run(dir, {"-d", "1"}, be, [](Failoverd &fo) {
    return fo.err("final").find("DB_EMPTY from failover_recovery so change state\n") !=
           std::string::npos;
  }));

  std::map<int, int> deliveries;
  ASSERT_NO_FATAL_FAILURE(count_shared_deliveries(be, deliveries));
  int repeats = 0;
  for (const auto &[n, times] : deliveries) repeats += times - 1;
  for (int n : stored) EXPECT_EQ(deliveries.count(n), 1u) << "document " << n << " lost";
  // A repeat: a kill of failoverd between a delivery and its removal, or a document
  // that a killed writer's thread stored but had not reported, stored again by the next.
  EXPECT_LE(repeats, fo_kills + kThreads * writer_kills);
  printf("%zu documents stored, %d failoverd kills, %d writer kills, %d writer reopens, "
         "%d repeats\n",
         stored.size(), fo_kills, writer_kills, writer_reopens, repeats);
}

// A delivering process that cannot read its own mapping list (no /proc) cannot note the
// region files of its store: it says so once at level -1, with what follows from it,
// however often it reopens the store, and goes on storing. Each reopen is brought about
// as a process that ended inside a store call would: its pid left in the lock file.
TEST(FailoverShared, AWriterWithoutItsMappingListSaysSoOnce) {
  std::string dir = fot::failoverd_installation("fo-noproc", "127.0.0.1:1");
  std::string home = dir + "/failover";
  constexpr int kReopens = 3;
  const std::string tag = "writer";
  const std::string kReopenLine = "must be recovered - closing it";
  const std::string shim = zvtest::program_path("tests/failover/libfo_no_proc_maps.so");
  // The sanitizers' runtime wants to come first among the preloaded files.
  const char *asan = getenv("ASAN_OPTIONS");
  const std::string asan_options =
      std::string(asan && *asan ? std::string(asan) + ":" : "") + "verify_asan_link_order=0";
  pid_t writer = zvtest::start_program(
      zvtest::program_path("tests/failover/fo_writer"), "fo_writer",
      {home, "0", std::to_string(1 << 30), "5000"}, dir, tag, [&] {
        return setenv("LD_PRELOAD", shim.c_str(), 1) == 0 &&
               setenv("ASAN_OPTIONS", asan_options.c_str(), 1) == 0;
      });
  auto err = [&] { return zvtest::read_file(dir + "/" + tag + ".err"); };
  auto stored = [&] { return occurrences(zvtest::read_file(dir + "/" + tag + ".out"), "stored "); };
  auto stores_on = [&] {
    int before = stored();
    return zvtest::wait_for([&] { return stored() > before; }, 30000);
  };
  for (int k = 0; k < kReopens; ++k) {
    ASSERT_TRUE(stores_on()) << "no store after " << k << " reopens\n" << err();
    {
      int fd = open((home + "/failover.lock").c_str(), O_RDWR);
      ASSERT_GE(fd, 0) << strerror(errno);
      ASSERT_EQ(flock(fd, LOCK_EX), 0);
      const std::string dead = "99999999\n";
      EXPECT_EQ(ftruncate(fd, 0), 0);
      EXPECT_EQ(pwrite(fd, dead.data(), dead.size(), 0), static_cast<ssize_t>(dead.size()));
      flock(fd, LOCK_UN);
      close(fd);
    }
    ASSERT_TRUE(zvtest::wait_for([&] { return occurrences(err(), kReopenLine) > k; }, 30000))
        << "reopen " << k + 1 << " did not come\n"
        << err();
  }
  ASSERT_TRUE(stores_on()) << "no store after the last reopen\n" << err();
  kill(writer, SIGKILL);
  zvtest::RunResult r = zvtest::wait_program(writer, dir, tag);
  EXPECT_EQ(r.status, 128 + SIGKILL) << r.err;
  EXPECT_EQ(occurrences(r.out, "lost "), 0) << r.out;
  EXPECT_EQ(occurrences(r.err, kReopenLine), kReopens) << r.err;
  EXPECT_EQ(occurrences(r.err, "WARNING: cannot note the failover store's region mappings in "), 1)
      << r.err;
  EXPECT_NE(r.err.find("(/proc/self/maps: " + std::string(strerror(EACCES)) +
                       ") - each reopen after another process recovered the store keeps the "
                       "old store's regions mapped\n"),
            std::string::npos)
      << r.err;
}

// A tmpfs of its own mounted over a directory for the life of the object.
class SmallDisk {
 public:
  SmallDisk(const std::string &dir, const std::string &size) : dir_(dir) {
    mounted_ = mount("tmpfs", dir.c_str(), "tmpfs", 0, ("size=" + size).c_str()) == 0;
    error_ = mounted_ ? 0 : errno;
  }
  ~SmallDisk() {
    if (mounted_) umount2(dir_.c_str(), MNT_DETACH);
  }
  SmallDisk(const SmallDisk &) = delete;
  SmallDisk &operator=(const SmallDisk &) = delete;
  bool mounted() const { return mounted_; }
  int error() const { return error_; }

 private:
  std::string dir_;
  bool mounted_ = false;
  int error_ = 0;
};

// Writes `path` until its file system is full, to the last byte it takes.
void fill_up(const std::string &path) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0) << strerror(errno);
  std::string block(65536, 'f');
  for (size_t chunk = block.size(); chunk > 0; chunk /= 2) {
    while (write(fd, block.data(), chunk) == static_cast<ssize_t>(chunk)) {
    }
  }
  EXPECT_EQ(errno, ENOSPC);
  close(fd);
}

// On a full disk a writer that stores until the store's log cannot go on is told which
// documents were not stored and ends by itself; failoverd, which delivers a record it
// then cannot remove, waits without delivering it again, with one line, and goes on once
// there is room. Nobody dies of a signal, the lock file needs no space at any call, and
// every document reported stored reaches the back end once.
TEST(FailoverShared, AFullDiskIsAnErrorNeverASignal) {
  BackendStandin be;
  ASSERT_TRUE(be.start());
  be.stop();  // the records wait in the store while the disk fills
  std::string dir = fot::failoverd_installation("fo-full", be.address());
  std::string home = dir + "/failover";
  SmallDisk disk(home, "16m");
  if (!disk.mounted()) {
    GTEST_SKIP() << "no tmpfs can be mounted here (" << strerror(disk.error())
                 << "): the full disk is not tried";
  }
  // Log files of 256 KiB, so that the log reaches the end of one within some hundred
  // documents.
  zvtest::write_file(home + "/DB_CONFIG", "set_lg_max 262144\n");
  Failoverd fo(dir);
  ASSERT_TRUE(fo.start({"-d", "1"})) << fo.err();
  ASSERT_TRUE(fo.opened_empty_store()) << fo.err();
  fo.start_poking(2000);
  ASSERT_NO_FATAL_FAILURE(fill_up(home + "/filler"));

  // The writer ends with 1 at the first document not stored, killed by nothing.
  zvtest::RunResult w = zvtest::wait_program(
      zvtest::start_program(zvtest::program_path("tests/failover/fo_writer"), "fo_writer",
                            {home, "0", "100000", "0"}, dir, "writer"),
      dir, "writer", 120000);
  ASSERT_EQ(w.status, 1) << w.err.substr(0, 4000);
  std::set<int> stored;
  int lost = -1;
  for (const std::string &line : zvtest::split_lines(w.out)) {
    if (line.rfind("stored ", 0) == 0) stored.insert(atoi(line.c_str() + 7));
    if (line.rfind("lost ", 0) == 0) lost = atoi(line.c_str() + 5);
  }
  ASSERT_FALSE(stored.empty());
  ASSERT_EQ(lost, *stored.rbegin() + 1);

  // The back end answers: the first record is delivered and cannot be removed.
  ASSERT_TRUE(be.start());
  const std::string kWaits = "cannot be removed from the failover store - the replay waits until it can\n";
  ASSERT_TRUE(zvtest::wait_for([&] { return occurrences(fo.err(), kWaits) > 0; }, 30000))
      << fo.err().substr(0, 4000);
  ASSERT_TRUE(be.wait_count(1));
  // Passes go on meanwhile, and none delivers it again.
  const std::string kPass = "In FO_RECOVERY_STATE in failoverd()\n";
  const int passes = occurrences(fo.err(), kPass);
  ASSERT_TRUE(zvtest::wait_for([&] { return occurrences(fo.err(), kPass) > passes + 20; }, 30000));
  EXPECT_EQ(be.count(), 1u);
  EXPECT_EQ(occurrences(fo.err(), kWaits), 1);

  // Room again: the record is removed, and the replay goes on to the end.
  ASSERT_EQ(unlink((home + "/filler").c_str()), 0);
  ASSERT_TRUE(zvtest::wait_for(
      [&] {
        return fo.err().find("removed from the failover store - the replay goes on\n") !=
               std::string::npos;
      },
      30000))
      << fo.err().substr(0, 4000);
  const std::string kEmpty = "DB_EMPTY from failover_recovery so change state\n";
  ASSERT_TRUE(zvtest::wait_for([&] { return occurrences(fo.err(), kEmpty) >= 2; }, 60000))
      << be.count();
  EXPECT_EQ(fo.stop(), 0);

  std::map<int, int> deliveries;
  ASSERT_NO_FATAL_FAILURE(count_shared_deliveries(be, deliveries));
  for (int n : stored) EXPECT_EQ(deliveries[n], 1) << "document " << n;
  // The document reported not stored may still be delivered (its record was made, and
  // only its log could not be written), but once at most.
  for (const auto &[n, times] : deliveries) {
    EXPECT_TRUE(stored.count(n) == 1 || n == lost) << "document " << n;
    EXPECT_EQ(times, 1) << "document " << n;
  }
  for (const std::string &err : {w.err, fo.err()})
    EXPECT_EQ(err.find("failover.lock"), std::string::npos) << err.substr(0, 4000);
  std::string verify;
  EXPECT_EQ(fot::db_verify_status(home, &verify), 0) << verify;
  EXPECT_TRUE(fot::db_dump_keys(home).empty());
}

}  // namespace
