#include "runtime/zv_statsdb.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <mm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "runtime/zv_globals.h"
#include "tests/support/zv_test_support.h"

namespace {

void set_partner(int i, const char *isaid, int active) {
  snprintf(partner[i].isaid, sizeof partner[i].isaid, "%s", isaid);
  partner[i].active = active;
}

// The private lock directories of `prog`'s process `pid` in `parent`.
std::vector<std::string> lock_dirs_in(const std::string &parent, const std::string &prog, pid_t pid) {
  std::vector<std::string> found;
  const std::string prefix = prog + "." + std::to_string(pid) + ".";
  for (const std::string &f : zvtest::list_dir(parent))
    if (f.rfind(prefix, 0) == 0) found.push_back(f);
  return found;
}

// Runs `body` in a child process named `prog` that makes tables of its own (the
// parent's are not its to delete) with $TMPDIR `tmpdir` and its standard error in
// `err_path`, and deletes them after. The child's exit status: body's result, 10 to 12
// when the tables could not be made; -1 when it did not exit. Its pid in *child.
int in_child_with_tables(const std::string &prog, const std::string &tmpdir,
                         const std::string &err_path, const std::function<int()> &body,
                         pid_t *child = nullptr) {
  fflush(nullptr);
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (err < 0 || dup2(err, 2) != 2) _exit(10);
    snprintf(program, sizeof program, "%s", prog.c_str());
    if (setenv("TMPDIR", tmpdir.c_str(), 1) != 0) _exit(11);
    ptZvStatus = nullptr;
    ptZvErrors = nullptr;
    ptZvTpActive = nullptr;
    if (vInitDBs() != 0) _exit(12);
    int rc = body();
    vCleanupDBs();
    fflush(nullptr);
    _exit(rc);
  }
  if (child != nullptr) *child = pid;
  int st = 0;
  if (waitpid(pid, &st, 0) != pid || !WIFEXITED(st)) return -1;
  return WEXITSTATUS(st);
}

class StatsDb : public ::testing::Test {
 protected:
  void SetUp() override {
    memset(partner, 0, sizeof partner);
    set_partner(0, "AB", 1);
    set_partner(1, "CDE", 0);
    set_partner(2, "FGHIJKLMNOPQRST", 1);
    ASSERT_EQ(vInitDBs(), 0);
  }
  void TearDown() override {
    vCleanupDBs();
    memset(partner, 0, sizeof partner);
  }
};

TEST(StatsDbLayout, RecordsKeepTheirFieldOrder) {
  EXPECT_EQ(offsetof(zv_stats_t, iMsgCounts), 0u);
  EXPECT_EQ(offsetof(zv_stats_t, iMsgErrors), 14 * sizeof(int));
  EXPECT_EQ(offsetof(zv_stats_t, lStartTime), 28 * sizeof(int));
  EXPECT_LT(offsetof(zv_stats_t, lRunSeconds), offsetof(zv_stats_t, iConnections));
  EXPECT_LT(offsetof(zv_stats_t, iConnections), offsetof(zv_stats_t, iActTP));
  EXPECT_LT(offsetof(zv_stats_t, iCacheHits), offsetof(zv_stats_t, iActCache));
  EXPECT_EQ(sizeof(zv_errors_t), 6u);
  EXPECT_EQ(offsetof(zv_errors_t, psDesc), 5u);
  EXPECT_EQ(offsetof(zv_tpactive_t, tTimestamp), 16u);
  EXPECT_LT(offsetof(zv_tpactive_t, iStatus), offsetof(zv_tpactive_t, iActiveConnections));
}

TEST_F(StatsDb, EachSegmentHasExactlyItsTablesSize) {
  ASSERT_NE(ptZvStatus, nullptr);
  ASSERT_NE(ptZvErrors, nullptr);
  ASSERT_NE(ptZvTpActive, nullptr);
  EXPECT_EQ(mm_core_size(ptZvStatus), sizeof(zv_stats_t));
  EXPECT_EQ(mm_core_size(ptZvErrors), 6u * 256u);
  EXPECT_EQ(mm_core_size(ptZvTpActive), sizeof(zv_tpactive_t) * 64u);
}

TEST_F(StatsDb, CreationFillsFromThePartnerTable) {
  const zv_stats_t &s = *ptZvStatus;
  for (int i = 0; i < 14; i++) {
    EXPECT_EQ(s.iMsgCounts[i], 0) << i;
    EXPECT_EQ(s.iMsgErrors[i], 0) << i;
  }
  EXPECT_LE(std::labs(s.lStartTime - static_cast<long>(time(nullptr))), 2);
  EXPECT_EQ(s.iConnections, 0);
  EXPECT_EQ(s.iActCache, 2);
  EXPECT_EQ(iCountTPactive(), 2);

  const std::vector<std::pair<std::string, int>> want = {
      {"AB", 1}, {"CDE", 0}, {"FGHIJKLMNOPQRST", 1}};
  for (int i = 0; i < 64; i++) {
    const zv_tpactive_t &r = ptZvTpActive[i];
    std::string id(r.sTPid, strnlen(r.sTPid, sizeof r.sTPid));
    if (i < 3) {
      EXPECT_EQ(id, want[i].first) << i;
      EXPECT_EQ(r.iStatus, want[i].second) << i;
    } else {
      EXPECT_EQ(id, "") << i;
      EXPECT_EQ(r.iStatus, 0) << i;
    }
    EXPECT_EQ(r.tTimestamp, 0) << i;
    EXPECT_EQ(r.iActiveConnections, 0) << i;
  }
  for (int i = 0; i < 256; i++) {
    const zv_errors_t &e = ptZvErrors[i];
    EXPECT_EQ(e.psTimestamp | e.psMsgType | e.psTradingPartner | e.psIPaddr | e.psErrCode |
                  e.psDesc,
              0)
        << i;
  }
}

TEST_F(StatsDb, CreatingAgainWarnsAndRefillsTheSameSegments) {
  zv_stats_t *stats = ptZvStatus;
  zv_tpactive_t *tp = ptZvTpActive;
  ASSERT_EQ(iUpdateStatsDB(0, 1, 0), 0);
  ASSERT_EQ(iUpdateTPActiveDB("AB", -1), 0);
  debug_level = 1;
  testing::internal::CaptureStderr();
  EXPECT_EQ(iInitStatsDB(), 0);
  EXPECT_EQ(iInitErrorsDB(), 0);
  EXPECT_EQ(iInitTPActiveDB(), 0);
  std::string err = testing::internal::GetCapturedStderr();
  debug_level = 0;
  EXPECT_NE(err.find("WARNING: StatsDB already exists - cannot create\n"), std::string::npos)
      << err;
  EXPECT_NE(err.find("WARNING: ErrorsDB already exists - cannot create\n"), std::string::npos)
      << err;
  EXPECT_NE(err.find("WARNING: TPActiveDB already exists - cannot create\n"), std::string::npos)
      << err;
  EXPECT_EQ(ptZvStatus, stats);
  EXPECT_EQ(ptZvTpActive, tp);
  EXPECT_EQ(ptZvStatus->iMsgCounts[1], 0);
  EXPECT_EQ(ptZvStatus->iConnections, 0);
  EXPECT_EQ(ptZvTpActive[0].iStatus, 1);
}

TEST_F(StatsDb, CleanupReportsEachTableOnceAndClearsTheHandles) {
  testing::internal::CaptureStderr();
  vCleanupDBs();
  vCleanupDBs();
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err,
            "Destroying shared memory database StatsDB\n"
            "Destroying shared memory database ErrorsDB\n"
            "Destroying shared memory database TPactiveDB\n");
  EXPECT_EQ(ptZvStatus, nullptr);
  EXPECT_EQ(ptZvErrors, nullptr);
  EXPECT_EQ(ptZvTpActive, nullptr);
}

// The slot of every (msg_type, who) pair, as operators' reports read them: rows by
// message type 1, 2, 3, 9, 4, 5, 6; servers (who 2, 3) first, clients (0, 1, 4, 5) second.
int expected_slot(int msg_type, int who) {
  static const int row_of[10] = {-1, 0, 1, 2, 4, 5, 6, -1, -1, 3};
  int row = msg_type >= 0 && msg_type < 10 ? row_of[msg_type] : -1;
  int column;
  if (who == 2 || who == 3) {
    column = 0;
  } else if (who == 0 || who == 1 || who == 4 || who == 5) {
    column = 1;
  } else {
    return -1;
  }
  return row < 0 ? -1 : row * 2 + column;
}

TEST_F(StatsDb, EveryPairCountsInItsOwnSlotOrNone) {
  EXPECT_EQ(expected_slot(3, 0), 5);  // the worked example: client, signed EDI
  for (int who = -2; who <= 8; who++) {
    for (int mt = -1; mt <= 10; mt++) {
      memset(ptZvStatus->iMsgCounts, 0, sizeof ptZvStatus->iMsgCounts);
      memset(ptZvStatus->iMsgErrors, 0, sizeof ptZvStatus->iMsgErrors);
      int before = ptZvStatus->iConnections;
      ASSERT_EQ(iUpdateStatsDB(who, mt, 0), 0);
      ASSERT_EQ(iUpdateStatsDB(who, mt, 4), 0);
      ASSERT_EQ(iUpdateStatsDB(who, mt, -30), 0);
      int slot = expected_slot(mt, who);
      for (int i = 0; i < 14; i++) {
        EXPECT_EQ(ptZvStatus->iMsgCounts[i], i == slot ? 1 : 0)
            << "who " << who << " msg_type " << mt << " slot " << i;
        EXPECT_EQ(ptZvStatus->iMsgErrors[i], i == slot ? 2 : 0)
            << "who " << who << " msg_type " << mt << " slot " << i;
      }
      EXPECT_EQ(ptZvStatus->iConnections, before + 3);
    }
  }
  EXPECT_EQ(ptZvStatus->iActCache, 2);
  EXPECT_GE(ptZvStatus->lRunSeconds, 0);
}

TEST_F(StatsDb, UpdateRecomputesActivePartners) {
  partner[1].active = 1;
  ASSERT_EQ(iUpdateStatsDB(0, 1, 0), 0);
  EXPECT_EQ(ptZvStatus->iActCache, 3);
}

TEST_F(StatsDb, ThreadsCountEveryTransaction) {
  constexpr int kThreads = 8, kEach = 2000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; t++) {
    threads.emplace_back([t] {
      for (int i = 0; i < kEach; i++) iUpdateStatsDB(t % 2 == 0 ? 0 : 2, 1, 0);
    });
  }
  for (auto &th : threads) th.join();
  EXPECT_EQ(ptZvStatus->iConnections, kThreads * kEach);
  EXPECT_EQ(ptZvStatus->iMsgCounts[1] + ptZvStatus->iMsgCounts[0], kThreads * kEach);
}

TEST_F(StatsDb, ProcessesSharingTheSegmentCountEveryTransaction) {
  constexpr int kEach = 3000;
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    for (int i = 0; i < kEach; i++) iUpdateStatsDB(2, 2, 0);
    _exit(0);
  }
  for (int i = 0; i < kEach; i++) iUpdateStatsDB(2, 2, 0);
  int st = 0;
  ASSERT_EQ(waitpid(child, &st, 0), child);
  ASSERT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
  EXPECT_EQ(ptZvStatus->iMsgCounts[2], 2 * kEach);
  EXPECT_EQ(ptZvStatus->iConnections, 2 * kEach);
}

TEST_F(StatsDb, StopForABlankPaddedIdSetsTheStatusAndTime) {
  const char padded[] = "AB             ";
  ASSERT_EQ(strlen(padded), 15u);
  time_t before = time(nullptr);
  ASSERT_EQ(iUpdateTPActiveDB(padded, -1), 0);
  EXPECT_EQ(ptZvTpActive[0].iStatus, -1);
  EXPECT_GE(ptZvTpActive[0].tTimestamp, before);
  EXPECT_LE(ptZvTpActive[0].tTimestamp, time(nullptr));
  int status = 0;
  time_t stamp = 0;
  ASSERT_EQ(iQueryTPActiveDB("AB", &status, &stamp), 0);
  EXPECT_EQ(status, -1);
  EXPECT_EQ(stamp, ptZvTpActive[0].tTimestamp);
  ASSERT_EQ(iUpdateTPActiveDB(padded, 1), 0);
  ASSERT_EQ(iQueryTPActiveDB(padded, &status, &stamp), 0);
  EXPECT_EQ(status, 1);
}

TEST_F(StatsDb, LookupMatchesTheWholeIdAndStopsAtAGap) {
  vCleanupDBs();
  memset(partner, 0, sizeof partner);
  set_partner(0, "AB", 1);
  set_partner(1, "ABC", 1);
  set_partner(2, "X", 0);
  set_partner(3, "Q  ", 1);  // blanks stored with the id do not count either
  set_partner(5, "Z", 1);    // after the unused entry 4: never reached
  ASSERT_EQ(vInitDBs(), 0);

  struct Case {
    const char *id;
    int matched;  // record that receives the update, -1 for none
  };
  const Case cases[] = {
      {"ABC            ", 1}, {"ABC", 1},  {"AB             ", 0}, {"AB", 0},
      {"ABCD", -1},           {"A", -1},   {"AB C", -1},            {"", -1},
      {"               ", -1}, {"X1", -1}, {"X ", 2},               {"Q", 3},
      {"Z", -1},              {"ab", -1},
  };
  int flag = 100;
  for (const Case &c : cases) {
    std::vector<zv_tpactive_t> before(ptZvTpActive, ptZvTpActive + 64);
    int rc = iUpdateTPActiveDB(c.id, ++flag);
    EXPECT_EQ(rc, c.matched < 0 ? -1 : 0) << "id '" << c.id << "'";
    for (int i = 0; i < 64; i++) {
      int want = i == c.matched ? flag : before[i].iStatus;
      EXPECT_EQ(ptZvTpActive[i].iStatus, want) << "id '" << c.id << "' record " << i;
    }
  }
  // The other lookups share the match.
  int status = 0;
  time_t stamp = 0;
  ASSERT_EQ(iUpdateTPActiveDB("AB", -1), 0);
  ASSERT_EQ(iUpdateTPActiveDB("ABC", 1), 0);
  ASSERT_EQ(iQueryTPActiveDB("AB             ", &status, &stamp), 0);
  EXPECT_EQ(status, -1);
  EXPECT_EQ(iModTPActiveCountDB("ABC", 8, 0), 0);
  EXPECT_EQ(ptZvTpActive[1].iActiveConnections, 1);
  EXPECT_EQ(ptZvTpActive[0].iActiveConnections, 0);
}

TEST_F(StatsDb, LookupTracesEachVisitedRecordUnderItsDebugBit) {
  debug_level = 1;
  testing::internal::CaptureStderr();
  iUpdateTPActiveDB("CDE", 1);
  std::string err = testing::internal::GetCapturedStderr();
  debug_level = 0;
  EXPECT_NE(err.find("zvTpActive[0].sTPid = AB psTpId = CDE\n"), std::string::npos) << err;
  EXPECT_NE(err.find("zvTpActive[1].sTPid = CDE psTpId = CDE\n"), std::string::npos) << err;
  EXPECT_EQ(err.find("zvTpActive[2]"), std::string::npos) << err;
}

TEST_F(StatsDb, ConnectionCountStopsAtTheLimit) {
  for (int i = 1; i <= 8; i++) {
    ASSERT_EQ(iModTPActiveCountDB("CDE            ", 8, 0), 0) << i;
    EXPECT_EQ(ptZvTpActive[1].iActiveConnections, i);
  }
  testing::internal::CaptureStderr();
  EXPECT_EQ(iModTPActiveCountDB("CDE", 8, 0), -1);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("WARNING: Active connection limit reached for TP =  CDE\n"), std::string::npos)
      << err;
  EXPECT_EQ(ptZvTpActive[1].iActiveConnections, 8);

  EXPECT_EQ(iModTPActiveCountDB("CDE", 8, 1), 0);
  EXPECT_EQ(ptZvTpActive[1].iActiveConnections, 7);
  EXPECT_EQ(iModTPActiveCountDB("CDE", 8, 0), 0);
  EXPECT_EQ(iModTPActiveCountDB("CDE", 8, 2), -1);
  EXPECT_EQ(iModTPActiveCountDB("CDE", 8, -1), -1);
  EXPECT_EQ(iModTPActiveCountDB("QQ", 8, 0), -1);
  EXPECT_EQ(ptZvTpActive[1].iActiveConnections, 8);
  EXPECT_EQ(ptZvTpActive[0].iActiveConnections, 0);

  // Closing more than was opened leaves no room beyond the limit.
  EXPECT_EQ(iModTPActiveCountDB("AB", 1, 1), 0);
  EXPECT_EQ(ptZvTpActive[0].iActiveConnections, 0);
  EXPECT_EQ(iModTPActiveCountDB("AB", 1, 0), 0);
  EXPECT_EQ(iModTPActiveCountDB("AB", 1, 0), -1);
}

// mm's own lock-file name in /tmp is never used (a planted file there cannot stop the
// creation), and the tables' lock files leave nothing behind, in the private directory
// ($TMPDIR) or in the working directory, while the tables live or after.
TEST_F(StatsDb, SegmentsLeaveNoLockFileAndNeverUseMmsDefaultName) {
  const std::string dir = zvtest::scratch_dir("statsdb-lockfile");
  const std::string work = dir + "/work", tmp = dir + "/tmp";
  ASSERT_EQ(mkdir(work.c_str(), 0755), 0);
  ASSERT_EQ(mkdir(tmp.c_str(), 0755), 0);
  int go[2];
  ASSERT_EQ(pipe(go), 0);
  fflush(nullptr);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    char c;
    if (read(go[0], &c, 1) != 1 || chdir(work.c_str()) != 0) _exit(10);
    setenv("TMPDIR", tmp.c_str(), 1);
    // The parent's tables are not the child's to delete; it makes its own.
    ptZvStatus = nullptr;
    ptZvErrors = nullptr;
    ptZvTpActive = nullptr;
    if (vInitDBs() != 0 || iUpdateStatsDB(0, 1, 0) != 0 || iUpdateTPActiveDB("AB", -1) != 0)
      _exit(11);
    if (!zvtest::list_dir(work).empty() || !zvtest::list_dir(tmp).empty()) _exit(12);
    vCleanupDBs();
    _exit(0);
  }
  // mm's default name for the child, taken by something the child cannot remove.
  const std::string planted = "/tmp/mm.core." + std::to_string(child) + ".sem";
  ASSERT_EQ(mkdir(planted.c_str(), 0700), 0) << planted;
  ASSERT_EQ(write(go[1], "g", 1), 1);
  int st = 0;
  ASSERT_EQ(waitpid(child, &st, 0), child);
  rmdir(planted.c_str());
  close(go[0]);
  close(go[1]);
  ASSERT_TRUE(WIFEXITED(st)) << st;
  EXPECT_EQ(WEXITSTATUS(st), 0);
  EXPECT_TRUE(zvtest::list_dir(work).empty());
  EXPECT_TRUE(zvtest::list_dir(tmp).empty());

  // A $TMPDIR that is not there stands aside for /tmp: the tables are made, nothing is
  // left in /tmp or beside the missing directory, and the warning names the directory.
  const std::string missing = dir + "/missing", err_path = dir + "/fallback.err";
  pid_t fallback = -1;
  int fst = in_child_with_tables("statsd", missing, err_path, [] {
    if (iUpdateStatsDB(0, 1, 0) != 0) return 21;
    return lock_dirs_in("/tmp", "statsd", getpid()).empty() ? 0 : 22;
  }, &fallback);
  EXPECT_EQ(fst, 0) << zvtest::read_file(err_path);
  EXPECT_TRUE(lock_dirs_in("/tmp", "statsd", fallback).empty());
  EXPECT_EQ(zvtest::list_dir(dir), (std::vector<std::string>{"fallback.err", "tmp", "work"}));
  std::vector<std::string> warnings;
  for (const std::string &l : zvtest::split_lines(zvtest::read_file(err_path)))
    if (l.find("WARNING") != std::string::npos || l.find("ERROR") != std::string::npos)
      warnings.push_back(l);
  ASSERT_EQ(warnings.size(), 3u) << zvtest::read_file(err_path);  // one for each table
  const std::string head = "WARNING: Cannot make a directory for a segment lock file (" + missing +
                           "/statsd." + std::to_string(fallback) + ".";
  const std::string tail = "): No such file or directory - using /tmp";
  for (const std::string &w : warnings) {
    EXPECT_NE(w.find(head), std::string::npos) << w;
    EXPECT_EQ(w.size() - w.rfind(tail), tail.size()) << w;
  }
}

// What a process killed while it made a segment leaves (its private directory, perhaps
// with the lock file) is removed by the next creation of the same program once that
// process is gone; nothing else is touched.
TEST_F(StatsDb, CreationRemovesLockDirectoriesOfEndedProcessesOnly) {
  const std::string dir = zvtest::scratch_dir("statsdb-leftovers");
  const std::string tmp = dir + "/tmp", elsewhere = dir + "/elsewhere";
  ASSERT_EQ(mkdir(tmp.c_str(), 0755), 0);
  ASSERT_EQ(mkdir(elsewhere.c_str(), 0755), 0);
  fflush(nullptr);
  pid_t dead = fork();
  ASSERT_GE(dead, 0);
  if (dead == 0) _exit(0);
  ASSERT_EQ(waitpid(dead, nullptr, 0), dead);
  const std::string d = std::to_string(dead), live = std::to_string(getpid());
  auto plant = [&](const std::string &name, const std::vector<std::string> &files) {
    ASSERT_EQ(mkdir((tmp + "/" + name).c_str(), 0700), 0) << name;
    for (const std::string &f : files) zvtest::write_file(tmp + "/" + name + "/" + f, "x");
  };
  plant("statsd." + d + ".aB3dE9", {"statsd.mm.sem", "statsd.mm"});  // removed
  plant("statsd." + d + ".Zz0000", {});                              // removed
  plant("statsd." + live + ".aB3dE9", {"statsd.mm.sem"});
  plant("statsd." + d + ".fOreig", {"statsd.mm.sem", "other"});
  plant("clientd." + d + ".aB3dE9", {"clientd.mm.sem"});
  plant("statsd." + d + ".toolong1", {"statsd.mm.sem"});
  zvtest::write_file(elsewhere + "/statsd.mm.sem", "x");
  ASSERT_EQ(symlink(elsewhere.c_str(), (tmp + "/statsd." + d + ".sYmLnk").c_str()), 0);

  const std::string err_path = dir + "/child.err";
  EXPECT_EQ(in_child_with_tables("statsd", tmp, err_path, [] { return 0; }), 0)
      << zvtest::read_file(err_path);
  const std::string err = zvtest::read_file(err_path);
  EXPECT_EQ(err.find("WARNING"), std::string::npos) << err;
  EXPECT_EQ(err.find("ERROR"), std::string::npos) << err;
  std::vector<std::string> kept = {"clientd." + d + ".aB3dE9", "statsd." + d + ".fOreig",
                                   "statsd." + d + ".sYmLnk", "statsd." + d + ".toolong1",
                                   "statsd." + live + ".aB3dE9"};
  std::sort(kept.begin(), kept.end());
  EXPECT_EQ(zvtest::list_dir(tmp), kept);
  EXPECT_EQ(zvtest::list_dir(tmp + "/statsd." + live + ".aB3dE9"),
            std::vector<std::string>{"statsd.mm.sem"});
  // Of a directory that holds something more only the lock file's names go.
  EXPECT_EQ(zvtest::list_dir(tmp + "/statsd." + d + ".fOreig"), std::vector<std::string>{"other"});
  EXPECT_EQ(zvtest::list_dir(tmp + "/clientd." + d + ".aB3dE9"),
            std::vector<std::string>{"clientd.mm.sem"});
  EXPECT_EQ(zvtest::list_dir(tmp + "/statsd." + d + ".toolong1"),
            std::vector<std::string>{"statsd.mm.sem"});
  EXPECT_EQ(zvtest::list_dir(elsewhere), std::vector<std::string>{"statsd.mm.sem"});
}

std::string expected_cache(const std::vector<std::string> &lines) {
  std::string out = "Zolvar TPDB cache file v1.1\n";
  for (int i = 0; i < 64; i++) out += (i < static_cast<int>(lines.size()) ? lines[i] : "0,") + "\n";
  return out;
}

TEST_F(StatsDb, CacheFileHoldsEveryRecordForThreePartners) {
  std::string dir = zvtest::scratch_dir("statsdb-cache");
  std::string path = dir + "/tpacache.db";
  ASSERT_EQ(iCacheTPActiveDB_to_file(path.c_str()), 0);
  std::string text = zvtest::read_file(path);
  EXPECT_EQ(text, expected_cache({"1,AB", "0,CDE", "1,FGHIJKLMNOPQRST"})) << text;
  EXPECT_EQ(zvtest::split_lines(text).size(), 65u);

  ASSERT_EQ(iUpdateTPActiveDB("AB", -2), 0);
  ASSERT_EQ(iUpdateTPActiveDB("CDE", -1), 0);
  zvtest::write_file(path, std::string(5000, 'x'));  // an older, longer file is replaced
  ASSERT_EQ(iCacheTPActiveDB_to_file(path.c_str()), 0);
  EXPECT_EQ(zvtest::read_file(path), expected_cache({"-2,AB", "-1,CDE", "1,FGHIJKLMNOPQRST"}));
}

TEST_F(StatsDb, CacheFileThatCannotBeOpenedIsReported) {
  std::string dir = zvtest::scratch_dir("statsdb-cache-bad");
  std::string path = dir + "/no/such/dir/tpacache.db";
  testing::internal::CaptureStderr();
  EXPECT_EQ(iCacheTPActiveDB_to_file(path.c_str()), -1);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("ERROR: Cannot open " + path + " for writing of TPactive cache\n"),
            std::string::npos)
      << err;
  // A directory in the way cannot be replaced.
  std::string in_the_way = dir + "/tpacache.db";
  ASSERT_EQ(mkdir(in_the_way.c_str(), 0755), 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(iCacheTPActiveDB_to_file(in_the_way.c_str()), -1);
  err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("ERROR: Cannot write TP active cache file " + in_the_way + ": "),
            std::string::npos)
      << err;
  EXPECT_EQ(zvtest::list_dir(dir), std::vector<std::string>{"tpacache.db"});
}

TEST_F(StatsDb, WithoutTablesUpdatesFailAndNoCacheIsWritten) {
  vCleanupDBs();
  std::string dir = zvtest::scratch_dir("statsdb-none");
  std::string path = dir + "/tpacache.db";
  testing::internal::CaptureStderr();
  EXPECT_EQ(iUpdateStatsDB(0, 1, 0), -1);
  EXPECT_EQ(iUpdateTPActiveDB("AB", -1), -1);
  int status;
  time_t stamp;
  EXPECT_EQ(iQueryTPActiveDB("AB", &status, &stamp), -1);
  EXPECT_EQ(iModTPActiveCountDB("AB", 8, 0), -1);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("ERROR: statsDB is not initialized\n"), std::string::npos) << err;
  EXPECT_NE(err.find("ERROR: TPActiveDB is not initialized\n"), std::string::npos) << err;
  EXPECT_EQ(iCacheTPActiveDB_to_file(path.c_str()), 0);
  EXPECT_FALSE(zvtest::file_exists(path));
}

TEST_F(StatsDb, MissingArgumentsAreRefused) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(iUpdateTPActiveDB(nullptr, 1), -1);
  EXPECT_EQ(iQueryTPActiveDB("AB", nullptr, nullptr), -1);
  EXPECT_EQ(iModTPActiveCountDB(nullptr, 8, 0), -1);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("ASSERT Failed: zv_statsdb.cc: line "), std::string::npos) << err;
  EXPECT_EQ(ptZvTpActive[0].iStatus, 1);
}

}  // namespace
