#include "failover/zv_fodb.h"
#include "failover/zv_fodb_memory.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "runtime/zv_globals.h"
#include "tests/failover/failover_test_util.h"
#include "tests/support/zv_test_support.h"

namespace {

using fot::data_dbt;
using fot::key_dbt;

struct Record {
  int rc = -1;
  std::string key;   // the key text, without its NUL
  std::string data;
};

// One cursor read into a caller key buffer of `buf` bytes, as the replay makes it.
Record read_one(DB *db, bool last, size_t buf = FODB_KEY_BUFFER_SIZE) {
  std::vector<char> keybuf(buf, 'x');
  DBT k;
  memset(&k, 0, sizeof k);
  k.data = keybuf.data();
  k.ulen = static_cast<u_int32_t>(buf);
  k.flags = DB_DBT_USERMEM;
  DBT d;
  DBC *dbc = nullptr;
  Record r;
  r.rc = last ? get_last_key_fodb(db, &dbc, &k, &d) : retrieve_fodb2(db, &dbc, &k, &d, 1);
  EXPECT_EQ(dbc, nullptr) << "the cursor must be closed again";
  if (r.rc == 0) {
    EXPECT_GE(k.size, 1u);
    EXPECT_EQ(keybuf[k.size - 1], '\0') << "stored key keeps its NUL";
    r.key.assign(keybuf.data(), k.size - 1);
    r.data.assign(static_cast<char *>(d.data), d.size);
    free(d.data);
  } else {
    EXPECT_EQ(d.data, nullptr);
  }
  return r;
}

std::string payload(int i) {
  std::string s = "ISA*00*" + std::to_string(i) + "*";
  s.push_back('\0');
  s.push_back(static_cast<char>(0xff));
  s.append(static_cast<size_t>(i % 97) * 13, static_cast<char>('a' + i % 26));
  return s;
}

std::string seq_key(int i) {
  char buf[64];
  snprintf(buf, sizeof buf, "s1_ACME_%09d", i);
  return buf;
}

// Keys of the store as Berkeley DB's own db_dump lists them, NUL included, in the order
// of the file.
std::vector<std::string> dumped_keys(const std::string &dir, std::string *header = nullptr) {
  std::vector<std::string> keys;
  for (auto &[k, v] : fot::db_dump_records(dir, nullptr, header)) keys.push_back(k);
  return keys;
}

void expect_verified(const std::string &dir) {
  std::string out;
  EXPECT_EQ(fot::db_verify_status(dir, &out), 0) << out;
}

class FodbTest : public ::testing::Test {
 protected:
  void SetUp() override {
    debug_level = 0;
    dir_ = zvtest::scratch_dir("fodb");
    ASSERT_NO_FATAL_FAILURE(fot::open_store(dir_, &env_, &db_));
  }
  void TearDown() override { close_store(); }

  void close_store() {
    if (db_ != nullptr) {
      EXPECT_EQ(close_fodb(db_, 0), 0);
    }
    if (env_ != nullptr) {
      EXPECT_EQ(fodb_close_env(env_), 0);
    }
    db_ = nullptr;
    env_ = nullptr;
  }
  void reopen() {
    close_store();
    ASSERT_EQ(init_fodb(&env_), 0);
    ASSERT_EQ(open_fodb1(env_, &db_), 0);
  }
  int put(const std::string &key, const std::string &data) {
    DBT k = key_dbt(key);
    DBT d = data_dbt(data);
    return store_fodb(db_, &k, &d);
  }
  int del(const std::string &key) {
    DBT k = key_dbt(key);
    return remove_fodb(db_, &k);
  }

  std::string dir_;
  DB_ENV *env_ = nullptr;
  DB *db_ = nullptr;
};

TEST_F(FodbTest, ReplayOrderIsKeyByteOrderHighBeforeStandard) {
  // Stored out of order; the expected order is written out by hand from the byte values
  // ('A' 0x41 < 'B' 0x42 < '_' 0x5f < 'a' 0x61; 'h' < 's'; type digit before receiver).
  const std::vector<std::string> expected = {
      "h1_B_000000007", "h1__000000000", "h2_A_000000001", "s1_AB_000000009",
      "s1_A_000000003", "s1_A_000000010", "s1__000000002", "s1_a_000000001",
      "s9_A_000000000"};
  std::vector<std::string> shuffled = {expected[5], expected[8], expected[0], expected[3],
                                       expected[7], expected[2], expected[6], expected[1],
                                       expected[4]};
  for (const auto &k : shuffled) ASSERT_EQ(put(k, "data of " + k), 0) << k;

  EXPECT_EQ(dumped_keys(dir_).size(), expected.size());
  std::vector<std::string> replayed;
  for (;;) {
    Record r = read_one(db_, false);
    if (r.rc == FODB_NOTFOUND) break;
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(r.data, "data of " + r.key);
    replayed.push_back(r.key);
    ASSERT_EQ(del(r.key), 0);
    ASSERT_LE(replayed.size(), expected.size());
  }
  EXPECT_EQ(replayed, expected);
}

TEST_F(FodbTest, DataRoundTripsByteForByte) {
  std::string big(70000, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + 3);
  const std::vector<std::string> bodies = {std::string("\0\0\xff\x01", 4), "ISA*00*x~", big,
                                           std::string()};
  for (const std::string &body : bodies) {
    ASSERT_EQ(put("s1_X_000000001", body), 0);
    reopen();
    Record r = read_one(db_, false);
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(r.key, "s1_X_000000001");
    EXPECT_EQ(r.data.size(), body.size());
    EXPECT_TRUE(r.data == body) << zvtest::hex(r.data.substr(0, 32));
    ASSERT_EQ(del("s1_X_000000001"), 0);
  }
}

TEST_F(FodbTest, ExistingKeyKeepsTheFirstRecord) {
  ASSERT_EQ(put("s1_A_000000001", "first"), 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(put("s1_A_000000001", "second"), 0);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("WARNING:db: s1_A_000000001: key previously stored.\n"), std::string::npos)
      << err;

  const std::string k_text = "s1_A_000000001";
  DBT k = key_dbt(k_text);
  const std::string d_text = "third";
  DBT d = data_dbt(d_text);
  testing::internal::CaptureStderr();
  EXPECT_EQ(fodb_store_new(db_, &k, &d), FODB_KEYEXIST);
  testing::internal::GetCapturedStderr();
  const std::string k2_text = "s1_A_000000002";
  DBT k2 = key_dbt(k2_text);
  EXPECT_EQ(fodb_store_new(db_, &k2, &d), 0);

  reopen();
  Record r = read_one(db_, false);
  ASSERT_EQ(r.rc, 0);
  EXPECT_EQ(r.key, "s1_A_000000001");
  EXPECT_EQ(r.data, "first");
  EXPECT_EQ(read_one(db_, true).data, "third");
  EXPECT_EQ(dumped_keys(dir_), (std::vector<std::string>{std::string("s1_A_000000001\0", 15),
                                                         std::string("s1_A_000000002\0", 15)}));
}

TEST_F(FodbTest, MissingKeyAndEmptyStore) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(del("s1_A_000000001"), FODB_NOTFOUND);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("db: s1_A_000000001: key not found.\n"), std::string::npos) << err;

  EXPECT_EQ(read_one(db_, false).rc, FODB_NOTFOUND);
  EXPECT_EQ(read_one(db_, true).rc, FODB_NOTFOUND);
  long long highest = 99;
  int records = 99;
  EXPECT_EQ(fodb_scan(db_, &highest, &records), 0);
  EXPECT_EQ(highest, -1);
  EXPECT_EQ(records, 0);

  // A key removed twice: the second time it is missing.
  ASSERT_EQ(put("h1_A_000000004", "x"), 0);
  EXPECT_EQ(del("h1_A_000000004"), 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(del("h1_A_000000004"), FODB_NOTFOUND);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(read_one(db_, false).rc, FODB_NOTFOUND);
}

TEST_F(FodbTest, DebugLinesCarryTheKey) {
  debug_level = 1;
  struct Case {
    const char *what;
    std::function<int()> op;
    int rc;
    const char *line;
  };
  const std::vector<Case> cases = {
      {"empty first", [&] { return read_one(db_, false).rc; }, FODB_NOTFOUND,
       "retrieve_fodb2:db: FIRST key not found.\n"},
      {"empty last", [&] { return read_one(db_, true).rc; }, FODB_NOTFOUND,
       "get_last_key_fodb:db: LAST key not found.\n"},
      {"store", [&] { return put("h3_Z_000000005", "m"); }, 0, "db: h3_Z_000000005: key stored.\n"},
      {"remove", [&] { return del("h3_Z_000000005"); }, 0,
       "db: h3_Z_000000005: key was deleted.\n"},
  };
  for (const Case &c : cases) {
    testing::internal::CaptureStderr();
    int rc = c.op();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(rc, c.rc) << c.what;
    EXPECT_NE(err.find(c.line), std::string::npos) << c.what << ": " << err;
  }
  debug_level = 0;
  testing::internal::CaptureStderr();
  EXPECT_EQ(put("h3_Z_000000006", "m"), 0);
  EXPECT_EQ(read_one(db_, true).rc, 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(FodbTest, KeyLongerThanTheCallerBufferIsRefused) {
  const std::string fits(FODB_KEY_BUFFER_SIZE - 1, 'h');     // 60 bytes with the NUL
  const std::string too_long(FODB_KEY_BUFFER_SIZE, 's');     // 61 bytes with the NUL
  ASSERT_EQ(put(fits, "fits"), 0);
  Record r = read_one(db_, false);
  ASSERT_EQ(r.rc, 0);
  EXPECT_EQ(r.key, fits);
  EXPECT_EQ(r.data, "fits");

  ASSERT_EQ(put(too_long, "too long"), 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(read_one(db_, true).rc, -1);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("DBcursor->get"), std::string::npos) << err;
  // A larger buffer reads it; the record is still there.
  Record big = read_one(db_, true, 128);
  ASSERT_EQ(big.rc, 0);
  EXPECT_EQ(big.key, too_long);
  EXPECT_EQ(del(fits), 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(read_one(db_, false).rc, -1);
  testing::internal::GetCapturedStderr();
}

TEST_F(FodbTest, RestartSeedingFindsHighestSequenceAndRecordCount) {
  ASSERT_EQ(put("h1_B_000000007", "high"), 0);
  ASSERT_EQ(put("s1_A_000000003", "std"), 0);
  reopen();
  // The last key in key order is the "s" key, whose number is not the highest.
  Record last = read_one(db_, true);
  ASSERT_EQ(last.rc, 0);
  EXPECT_EQ(last.key, "s1_A_000000003");
  EXPECT_EQ(last.data, "std");

  long long highest = -5;
  int records = -5;
  ASSERT_EQ(fodb_scan(db_, &highest, &records), 0);
  EXPECT_EQ(highest, 7);
  EXPECT_EQ(records, 2);

  ASSERT_EQ(put("s2_Q_999999999", "max"), 0);
  ASSERT_EQ(put("s2_notanumber", "odd"), 0);
  ASSERT_EQ(fodb_scan(db_, &highest, &records), 0);
  EXPECT_EQ(highest, 999999999);
  EXPECT_EQ(records, 4);
}

TEST(FodbKey, SequenceNumberOfAKey) {
  struct Case {
    std::string key;
    size_t size;
    int seqno;
  };
  const std::vector<Case> cases = {
      {std::string("s1_A_000000042\0", 15), 15, 42},
      {std::string("h1__000000000\0", 14), 14, 0},
      {"s1_A_123456789", 14, 123456789},          // no NUL stored
      {std::string("s1_A_000000042\0xx", 17), 17, 42},
      {"s1_A_00000004x", 14, -1},
      {"12345678", 8, -1},
      {"s1_A_000000042", 10, -1},                 // size cuts the digits
      {"", 0, -1},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(fodb_key_seqno(c.key.data(), c.size), c.seqno) << zvtest::hex(c.key);
  }
  EXPECT_EQ(fodb_key_seqno(nullptr, 10), -1);

  // Past nine digits a letter gives the count of digits, so that in byte order every
  // number follows the smaller ones: the keys stored before keep their form and place.
  struct Text {
    long long seqno;
    const char *text;
  };
  const Text texts[] = {
      {0, "000000000"},
      {42, "000000042"},
      {999999999, "999999999"},
      {1000000000, "A1000000000"},
      {2147483647, "A2147483647"},
      {2147483648LL, "A2147483648"},
      {9999999999LL, "A9999999999"},
      {10000000000LL, "B10000000000"},
      {FODB_SEQNO_MAX, "J9223372036854775806"},
  };
  std::string previous;
  for (const Text &t : texts) {
    char text[FODB_SEQNO_TEXT_SIZE];
    fodb_seqno_text(t.seqno, text);
    EXPECT_STREQ(text, t.text) << t.seqno;
    std::string key = std::string("s1_A_") + text;
    EXPECT_EQ(fodb_key_seqno(key.c_str(), key.size() + 1), t.seqno) << key;
    EXPECT_LT(previous, key);
    previous = key;
  }
  for (const char *bad : {"s1_A_A100000000", "s1_A_A0100000000", "s1_A_B1000000000",
                          "s1_A_J9223372036854775807", "s1_A_K10000000000000000000",
                          "s1_A_1000000000", "s1_A_A"}) {
    EXPECT_EQ(fodb_key_seqno(bad, strlen(bad)), -1) << bad;
  }
  // The number is what follows the last "_", whatever the receiver id holds.
  EXPECT_EQ(fodb_key_seqno("s1_A_B_000000001", 16), 1);
}

TEST_F(FodbTest, StoreFileIsAVerifiedBtreeNamedFailoverDb) {
  for (int i = 0; i < 50; ++i) ASSERT_EQ(put(seq_key(i), payload(i)), 0);
  close_store();
  EXPECT_TRUE(zvtest::file_exists(dir_ + "/failover.db"));
  struct stat st;
  ASSERT_EQ(stat((dir_ + "/failover.db").c_str(), &st), 0);
  // Every file of the store, the database of whole business documents included, is
  // created 0660 less the umask: shared through its group, readable by no one else.
  const mode_t mask = umask(0);
  umask(mask);
  for (const std::string &f : zvtest::list_dir(dir_)) {
    ASSERT_EQ(stat((dir_ + "/" + f).c_str(), &st), 0) << f;
    EXPECT_EQ(st.st_mode & 07777, 0660 & ~mask) << f;
  }
  expect_verified(dir_);
  std::string header;
  std::vector<std::string> keys = dumped_keys(dir_, &header);
  EXPECT_NE(header.find("type=btree\n"), std::string::npos) << header;
  EXPECT_EQ(header.find("duplicates=1"), std::string::npos) << header;
  ASSERT_EQ(keys.size(), 50u);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(keys[i], seq_key(i) + std::string(1, '\0'));
}

TEST_F(FodbTest, KeyedReadPrintsToStandardOutput) {
  ASSERT_EQ(put("s1_A_000000001", "ISA*00"), 0);
  const std::string k_text = "s1_A_000000001";
  DBT k = key_dbt(k_text);
  DBT d;
  memset(&d, 0, sizeof d);
  testing::internal::CaptureStdout();
  EXPECT_EQ(retrieve_fodb(db_, &k, &d), 0);
  const std::string missing_text = "s1_A_000000002";
  DBT missing = key_dbt(missing_text);
  EXPECT_EQ(retrieve_fodb(db_, &missing, &d), 0);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out,
            "db: s1_A_000000001: key retrieved: data was ISA*00.\n"
            "db: s1_A_000000002: key not found.\n");
}

// Lost deadlocks cannot be provoked on demand in one single-threaded process, so the
// handle's own entry points are wrapped: the first `deadlocks` calls lose, the rest go
// through to the library.
namespace lose {
int deadlocks = 0;
int calls = 0;
int (*real_put)(DB *, DB_TXN *, DBT *, DBT *, u_int32_t);
int (*real_del)(DB *, DB_TXN *, DBT *, u_int32_t);
int (*real_cursor)(DB *, DB_TXN *, DBC **, u_int32_t);
int (*real_get)(DBC *, DBT *, DBT *, u_int32_t);

bool lost() {
  ++calls;
  if (deadlocks == 0) return false;
  --deadlocks;
  return true;
}
int put(DB *db, DB_TXN *t, DBT *k, DBT *d, u_int32_t f) {
  return lost() ? DB_LOCK_DEADLOCK : real_put(db, t, k, d, f);
}
int del(DB *db, DB_TXN *t, DBT *k, u_int32_t f) {
  return lost() ? DB_LOCK_DEADLOCK : real_del(db, t, k, f);
}
int get(DBC *c, DBT *k, DBT *d, u_int32_t f) {
  return lost() ? DB_LOCK_DEADLOCK : real_get(c, k, d, f);
}
int cursor(DB *db, DB_TXN *t, DBC **c, u_int32_t f) {
  int ret = real_cursor(db, t, c, f);
  // The library keeps closed cursors for reuse; one already wrapped stays as it is.
  if (ret == 0 && (*c)->get != get) {
    real_get = (*c)->get;
    (*c)->get = get;
  }
  return ret;
}
}  // namespace lose

TEST_F(FodbTest, LostDeadlocksAreRetriedSevenAttemptsInAll) {
  lose::real_put = db_->put;
  lose::real_del = db_->del;
  lose::real_cursor = db_->cursor;
  db_->put = lose::put;
  db_->del = lose::del;
  db_->cursor = lose::cursor;
  const std::string key = "s1_A_000000001";
  struct Case {
    const char *name;
    int deadlocks;
    std::function<int()> op;
    int rc;
    bool stored_after;
  };
  const std::vector<Case> cases = {
      {"store_fodb", 6, [&] { return put(key, "m"); }, 0, true},
      {"retrieve_fodb2", 6, [&] { return read_one(db_, false).rc; }, 0, true},
      {"get_last_key_fodb", 6, [&] { return read_one(db_, true).rc; }, 0, true},
      {"retrieve_fodb2", 7, [&] { return read_one(db_, false).rc; }, -1, true},
      {"get_last_key_fodb", 9, [&] { return read_one(db_, true).rc; }, -1, true},
      {"remove_fodb", 7, [&] { return del(key); }, -1, true},
      {"remove_fodb", 6, [&] { return del(key); }, 0, false},
      {"store_fodb", 7, [&] { return put(key, "m"); }, -1, false},
      {"store_fodb", 30, [&] { return put(key, "m"); }, -1, false},
  };
  debug_level = 1;
  for (const Case &c : cases) {
    lose::deadlocks = c.deadlocks;
    lose::calls = 0;
    testing::internal::CaptureStderr();
    int rc = c.op();
    std::string err = testing::internal::GetCapturedStderr();
    lose::deadlocks = 0;
    std::string what = std::string(c.name) + " losing " + std::to_string(c.deadlocks);
    EXPECT_EQ(rc, c.rc) << what << ": " << err;
    EXPECT_EQ(lose::calls, 7) << what;
    int lines = 0;
    for (int attempt = 0; attempt < 7; ++attempt) {
      if (err.find(std::string(c.name) + ": fail = " + std::to_string(attempt) +
                   " pKey.data = ") != std::string::npos) {
        ++lines;
      }
    }
    EXPECT_EQ(lines, std::min(c.deadlocks, 7)) << what << ": " << err;
    debug_level = 0;
    Record r = read_one(db_, false);
    debug_level = 1;
    EXPECT_EQ(r.rc == 0, c.stored_after) << what;
  }
  debug_level = 0;
}

TEST(FodbOpen, FailedEnvironmentOpenReturnsACodeAndNoHandle) {
  debug_level = 0;
  const std::string base = zvtest::scratch_dir("fodb-open");
  zvtest::write_file(base + "/plainfile", "x");
  for (const std::string &path : {base + "/missing", base + "/plainfile"}) {
    snprintf(failoverPath, sizeof failoverPath, "%s", path.c_str());
    DB_ENV *env = reinterpret_cast<DB_ENV *>(0x1);
    testing::internal::CaptureStderr();
    int rc = init_fodb(&env);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(rc, 0) << path;
    EXPECT_EQ(env, nullptr) << path;
    // The lock that every call holds is the first thing made in the directory.
    EXPECT_NE(err.find("ERROR: cannot open the failover store lock " + path + "/failover.lock: "),
              std::string::npos)
        << err;
  }
}

// Names planted in the failover directory by a user who may write it: the library would
// follow a link at any of its files (writing its log into the target) and wait in the
// open of a FIFO, holding the lock file. Each is refused before the library opens
// anything, with a line naming it; the open runs in a child, so that a wait is seen as
// one instead of holding the test.
TEST(FodbOpen, NamesPlantedInTheStoreDirectoryAreRefusedAndNothingWaits) {
  debug_level = 0;
  struct Case {
    std::string name;
    char kind;  // 'l' symbolic link, 'h' hard link, 'f' FIFO
    std::string line;
  };
  const Case cases[] = {
      {"__db.register", 'l', "ERROR: refusing to open the failover store: %s/__db.register is a "
                             "symbolic link - move it away\n"},
      {"log.0000000001", 'l', "ERROR: refusing to open the failover store: %s/log.0000000001 is "
                              "a symbolic link - move it away\n"},
      {"log.0000000001", 'f', "ERROR: refusing to open the failover store: %s/log.0000000001 is "
                              "not a regular file - move it away\n"},
      {"__db.001", 'h', "ERROR: refusing to open the failover store: %s/__db.001 is a file with "
                        "other names (hard links) - move it away\n"},
      {"failover.db", 'l', "ERROR: refusing to open the failover store: %s/failover.db is a "
                           "symbolic link - move it away\n"},
      {"failover.lock", 'l', "ERROR: refusing to open the failover store lock %s/failover.lock: "
                             "it is a symbolic link\n"},
      {"failover.lock", 'f', "ERROR: refusing to open the failover store lock %s/failover.lock: "
                             "it is not a regular file\n"},
  };
  for (const Case &c : cases) {
    const std::string base = zvtest::scratch_dir("fodb-planted");
    const std::string dir = base + "/failover", victim = base + "/victim";
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    zvtest::write_file(victim, "keep");
    const std::string at = dir + "/" + c.name;
    int made = c.kind == 'l'   ? symlink(victim.c_str(), at.c_str())
               : c.kind == 'h' ? link(victim.c_str(), at.c_str())
                               : mkfifo(at.c_str(), 0600);
    ASSERT_EQ(made, 0) << at;
    snprintf(failoverPath, sizeof failoverPath, "%s", dir.c_str());
    const std::string err_file = base + "/open.err";
    fflush(nullptr);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      int err = open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (err < 0 || dup2(err, 2) != 2) _exit(2);
      DB_ENV *env = nullptr;
      bool refused = init_fodb(&env) != 0 && env == nullptr;
      fflush(stderr);
      _exit(refused ? 0 : 1);
    }
    int status = -1;
    bool ended = zvtest::wait_for([&] { return waitpid(child, &status, WNOHANG) == child; }, 20000);
    if (!ended) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
    }
    ASSERT_TRUE(ended) << "the store's open waited on " << at;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << at << " was not refused";
    char line[512];
    snprintf(line, sizeof line, c.line.c_str(), dir.c_str());
    std::string err = zvtest::read_file(err_file);
    EXPECT_NE(err.find(line), std::string::npos) << line << "\n" << err;
    EXPECT_EQ(zvtest::read_file(victim), "keep") << at;
    // Nothing of the store was made beside the refused name but the lock file.
    for (const std::string &f : zvtest::list_dir(dir))
      EXPECT_TRUE(f == c.name || f == "failover.lock") << f;
  }
}

TEST(FodbOpen, DatabaseThatIsNotABtreeFileIsRefused) {
  debug_level = 0;
  const std::string dir = zvtest::scratch_dir("fodb-bad");
  zvtest::write_file(dir + "/failover.db", std::string(8192, 'Z'));
  snprintf(failoverPath, sizeof failoverPath, "%s", dir.c_str());
  DB_ENV *env = nullptr;
  ASSERT_EQ(init_fodb(&env), 0);
  DB *db = reinterpret_cast<DB *>(0x1);
  testing::internal::CaptureStderr();
  int rc = open_fodb1(env, &db);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(rc, 0);
  EXPECT_EQ(db, nullptr);
  EXPECT_NE(err.find("db: dbp->open got error "), std::string::npos) << err;
  EXPECT_EQ(zvtest::read_file(dir + "/failover.db"), std::string(8192, 'Z'));
  EXPECT_EQ(env->close(env, 0), 0);
}

TEST(FodbOpen, RelativeFailoverPathHoldsTheStore) {
  debug_level = 0;
  const std::string base = zvtest::scratch_dir("fodb-rel");
  ASSERT_EQ(mkdir((base + "/data").c_str(), 0755), 0);
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(base.c_str()), 0);
  snprintf(failoverPath, sizeof failoverPath, "%s", "data");
  DB_ENV *env = nullptr;
  DB *db = nullptr;
  int env_rc = init_fodb(&env);
  int db_rc = env_rc == 0 ? open_fodb1(env, &db) : -1;
  ASSERT_EQ(chdir(cwd), 0);
  ASSERT_EQ(env_rc, 0);
  ASSERT_EQ(db_rc, 0);
  EXPECT_EQ(close_fodb(db, 0), 0);
  EXPECT_EQ(env->close(env, 0), 0);
  EXPECT_TRUE(zvtest::file_exists(base + "/data/failover.db"));
}

TEST(FodbOpen, CloseKeepsTheCallersCode) {
  debug_level = 0;
  const std::string dir = zvtest::scratch_dir("fodb-close");
  DB_ENV *env = nullptr;
  DB *db = nullptr;
  ASSERT_NO_FATAL_FAILURE(fot::open_store(dir, &env, &db));
  EXPECT_EQ(close_fodb(db, -7), -7);
  EXPECT_EQ(env->close(env, 0), 0);
}

// --- Process death -------------------------------------------------------------------

// A forked child opens the same store, stores `key` and then closes it, or reports and
// waits to be killed with the store open. Returns the child's exit status.
int child_store(const std::string &dir, const std::string &key, bool die_open) {
  int ready[2];
  EXPECT_EQ(pipe(ready), 0);
  pid_t pid = fork();
  if (pid == 0) {
    close(ready[0]);
    snprintf(failoverPath, sizeof failoverPath, "%s", dir.c_str());
    DB_ENV *env = nullptr;
    DB *db = nullptr;
    if (init_fodb(&env) != 0 || open_fodb1(env, &db) != 0) _exit(3);
    DBT k = key_dbt(key);
    DBT d = data_dbt(key);
    if (store_fodb(db, &k, &d) != 0) _exit(4);
    if (die_open) {
      if (write(ready[1], "r", 1) != 1) _exit(5);
      pause();
    }
    close_fodb(db, 0);
    fodb_close_env(env);
    _exit(0);
  }
  close(ready[1]);
  char byte;
  if (die_open && read(ready[0], &byte, 1) == 1) kill(pid, SIGKILL);
  close(ready[0]);
  int status = 0;
  EXPECT_EQ(waitpid(pid, &status, 0), pid);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kHeapIsMallocs = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kHeapIsMallocs = false;
#else
constexpr bool kHeapIsMallocs = true;
#endif
#else
constexpr bool kHeapIsMallocs = true;
#endif

// Bytes malloc has handed out and not had back.
size_t heap_in_use() { return mallinfo2().uordblks; }

constexpr int kReopenRounds = 21;

TEST_F(FodbTest, OtherProcessesRecoverOnlyAfterADeathAndThisOneReopens) {
  // A second process that opens, stores and closes leaves this one's handles working,
  // and so does one killed with the store open, until the next open recovers the
  // environment: then this process is told to reopen, and nothing stored is lost.
  ASSERT_EQ(child_store(dir_, "s1_A_000000001", false), 0);
  EXPECT_EQ(put("s1_P_000000001", "p"), 0);
  ASSERT_EQ(child_store(dir_, "s1_B_000000001", true), 128 + SIGKILL);
  EXPECT_EQ(put("s1_P_000000002", "p"), 0);
  ASSERT_EQ(child_store(dir_, "s1_C_000000001", false), 0);
  EXPECT_EQ(put("s1_P_000000003", "p"), FODB_RUNRECOVERY);
  ASSERT_EQ(fodb_reopen(&env_, &db_), 0);
  EXPECT_EQ(put("s1_P_000000003", "p"), 0);

  // A pid left in the lock file is a process that ended inside a call: no call goes
  // into the library before the store is reopened, which recovers it.
  // The lock file holds one record of fixed size, written in place: blank between calls.
  const std::string lock = dir_ + "/failover.lock";
  const std::string blank = std::string(23, ' ') + "\n";
  const std::string dead = "99999999" + std::string(15, ' ') + "\n";
  EXPECT_EQ(zvtest::read_file(lock), blank);
  zvtest::write_file(lock, "99999999\n");
  debug_level = 0;
  testing::internal::CaptureStderr();
  EXPECT_EQ(put("s1_P_000000004", "p"), FODB_RUNRECOVERY);
  EXPECT_EQ(read_one(db_, false).rc, FODB_RUNRECOVERY);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(zvtest::read_file(lock), dead);
  EXPECT_NE(err.find("WARNING: process 99999999 ended inside the failover store - recovering it\n"),
            std::string::npos)
      << err;
  ASSERT_EQ(fodb_reopen(&env_, &db_), 0);
  EXPECT_EQ(zvtest::read_file(lock), blank);
  EXPECT_EQ(put("s1_P_000000004", "p"), 0);

  // However often it reopens, the process keeps nothing of the stores it closed: it maps
  // just the region files of the one it has open, the library holds no more memory, and
  // the heap in use does not grow (where the heap is malloc's own: the sanitizers bring
  // an allocator of their own, and LeakSanitizer judges it at the exit).
  fodb_memory::Usage after_first;
  size_t heap_after_first = 0;
  for (int round = 0; round < kReopenRounds; ++round) {
    zvtest::write_file(lock, "99999999\n");
    char key[32];
    snprintf(key, sizeof key, "s1_R_%09d", round);
    debug_level = 0;
    testing::internal::CaptureStderr();
    EXPECT_EQ(put(key, "p"), FODB_RUNRECOVERY);
    ASSERT_EQ(fodb_reopen(&env_, &db_), 0);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(put(key, "p"), 0);
    fot::RegionFiles mapped = fot::region_files_mapped(0, dir_);
    EXPECT_EQ(mapped.deleted, 0) << "round " << round;
    EXPECT_EQ(mapped.inodes, fot::region_files_on_disk(dir_).inodes) << "round " << round;
    EXPECT_FALSE(mapped.inodes.empty());
    fodb_memory::Usage now = fodb_memory::usage();
    EXPECT_GT(now.blocks, 0u);
    if (round == 0) {
      after_first = now;
      heap_after_first = heap_in_use();
    }
    EXPECT_EQ(now.blocks, after_first.blocks) << "round " << round;
    EXPECT_EQ(now.bytes, after_first.bytes) << "round " << round;
  }
  // What a closed store left on the heap would grow it by well over one open store's
  // part after this many reopens; the bound leaves room for the test's own allocations.
  if (kHeapIsMallocs) {
    size_t heap = heap_in_use();
    EXPECT_LT(heap, heap_after_first + after_first.bytes)
        << "the heap in use grew from " << heap_after_first << " to " << heap << " bytes over "
        << kReopenRounds - 1 << " reopens";
  }
  long long highest = 0;
  int records = 0;
  ASSERT_EQ(fodb_scan(db_, &highest, &records), 0);
  EXPECT_EQ(records, 7 + kReopenRounds);
  close_store();
  EXPECT_EQ(fodb_memory::usage().blocks, 0u) << "a normal close leaves nothing";
  EXPECT_TRUE(fot::region_files_mapped(0, dir_).inodes.empty());
  expect_verified(dir_);
}

// Runs in a forked child: opens the store (with recovery) and does `op` for each index
// from `from` to `to`, writing the index to `fd` once the call has returned 0 and then
// waiting for one byte on `go` before the next one, so that the parent decides how far a
// child gets however loaded the machine is. Never returns.
[[noreturn]] void child_loop(const std::string &dir, int from, int to, int fd, int go,
                             bool remove) {
  snprintf(failoverPath, sizeof failoverPath, "%s", dir.c_str());
  debug_level = 0;
  DB_ENV *env = nullptr;
  DB *db = nullptr;
  if (init_fodb(&env) != 0 || open_fodb1(env, &db) != 0) _exit(3);
  for (int i = from; i < to; ++i) {
    std::string key = seq_key(i);
    int rc;
    if (remove) {
      DBT k = key_dbt(key);
      rc = remove_fodb(db, &k);
      if (rc == FODB_NOTFOUND) rc = 0;  // removed before the previous kill, unreported
    } else {
      std::string body = payload(i);
      DBT k = key_dbt(key);
      DBT d = data_dbt(body);
      rc = store_fodb(db, &k, &d);
    }
    if (rc != 0) _exit(4);
    if (write(fd, &i, sizeof i) != static_cast<ssize_t>(sizeof i)) _exit(5);
    char byte;
    if (read(go, &byte, 1) != 1) _exit(6);
  }
  close_fodb(db, 0);
  env->close(env, 0);
  _exit(0);
}

// Starts children that work through indexes [0, n) and kills each with SIGKILL right
// after releasing it from its k-th report (k cycling 1..5), so the kill lands inside the
// next operation. Returns every index a child reported done.
std::set<int> run_killed(const std::string &dir, int n, bool remove, int *kills) {
  std::set<int> reported;
  int next = 0;
  int round = 0;
  while (next < n) {
    int fds[2], go[2];
    EXPECT_EQ(pipe(fds), 0);
    EXPECT_EQ(pipe(go), 0);
    pid_t pid = fork();
    if (pid == 0) {
      close(fds[0]);
      close(go[1]);
      child_loop(dir, next, n, fds[1], go[0], remove);
    }
    close(fds[1]);
    close(go[0]);
    int want = 1 + round % 5;
    int got = 0;
    int index;
    while (got < want && read(fds[0], &index, sizeof index) == static_cast<ssize_t>(sizeof index)) {
      reported.insert(index);
      ++got;
      EXPECT_EQ(write(go[1], "g", 1), 1);
    }
    kill(pid, SIGKILL);
    close(go[1]);
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    // Reports already in the pipe count as well.
    while (read(fds[0], &index, sizeof index) == static_cast<ssize_t>(sizeof index)) {
      reported.insert(index);
    }
    close(fds[0]);
    if (WIFEXITED(status)) {
      EXPECT_EQ(WEXITSTATUS(status), 0) << "child failed in round " << round;
      if (WEXITSTATUS(status) != 0) break;
    } else {
      EXPECT_EQ(WTERMSIG(status), SIGKILL);
      ++*kills;
    }
    next = reported.empty() ? 0 : *reported.rbegin() + 1;
    ++round;
  }
  return reported;
}

TEST(FodbCrash, ReportedStoresSurviveKill9) {
  debug_level = 0;
  const std::string dir = zvtest::scratch_dir("fodb-kill");
  constexpr int kRecords = 150;
  int kills = 0;
  std::set<int> reported = run_killed(dir, kRecords, false, &kills);
  EXPECT_GE(kills, 40);
  ASSERT_EQ(static_cast<int>(reported.size()), kRecords);

  DB_ENV *env = nullptr;
  DB *db = nullptr;
  ASSERT_NO_FATAL_FAILURE(fot::open_store(dir, &env, &db));
  long long highest = 0;
  int records = 0;
  ASSERT_EQ(fodb_scan(db, &highest, &records), 0);
  EXPECT_EQ(records, kRecords);
  EXPECT_EQ(highest, kRecords - 1);
  for (int i : reported) {
    std::string key = seq_key(i);
    std::vector<char> kb(key.begin(), key.end());
    kb.push_back('\0');
    DBT k;
    memset(&k, 0, sizeof k);
    k.data = kb.data();
    k.size = static_cast<u_int32_t>(kb.size());
    DBT d;
    memset(&d, 0, sizeof d);
    d.flags = DB_DBT_MALLOC;
    ASSERT_EQ(db->get(db, nullptr, &k, &d, 0), 0) << key;
    EXPECT_TRUE(std::string(static_cast<char *>(d.data), d.size) == payload(i)) << key;
    free(d.data);
  }
  EXPECT_EQ(close_fodb(db, 0), 0);
  EXPECT_EQ(env->close(env, 0), 0);
  expect_verified(dir);
  std::vector<std::string> keys = dumped_keys(dir);
  ASSERT_EQ(keys.size(), static_cast<size_t>(kRecords));
  for (int i = 0; i < kRecords; ++i) EXPECT_EQ(keys[i], seq_key(i) + std::string(1, '\0'));
}

TEST(FodbCrash, ReportedRemovalsSurviveKill9AndNothingElseIsLost) {
  debug_level = 0;
  const std::string dir = zvtest::scratch_dir("fodb-killrm");
  constexpr int kRecords = 120;
  constexpr int kRemoved = 90;
  {
    DB_ENV *env = nullptr;
    DB *db = nullptr;
    ASSERT_NO_FATAL_FAILURE(fot::open_store(dir, &env, &db));
    for (int i = 0; i < kRecords; ++i)
      ASSERT_NO_FATAL_FAILURE(fot::store_raw(db, seq_key(i), payload(i)));
    EXPECT_EQ(close_fodb(db, 0), 0);
    EXPECT_EQ(env->close(env, 0), 0);
  }
  int kills = 0;
  std::set<int> removed = run_killed(dir, kRemoved, true, &kills);
  EXPECT_GE(kills, 25);
  ASSERT_EQ(static_cast<int>(removed.size()), kRemoved);

  DB_ENV *env = nullptr;
  DB *db = nullptr;
  ASSERT_NO_FATAL_FAILURE(fot::open_store(dir, &env, &db));
  for (int i = kRemoved; i < kRecords; ++i) {
    Record r = read_one(db, false);
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(r.key, seq_key(i));
    EXPECT_TRUE(r.data == payload(i)) << r.key;
    DBT k = key_dbt(r.key);
    ASSERT_EQ(remove_fodb(db, &k), 0);
  }
  EXPECT_EQ(read_one(db, false).rc, FODB_NOTFOUND);
  EXPECT_EQ(close_fodb(db, 0), 0);
  EXPECT_EQ(env->close(env, 0), 0);
  expect_verified(dir);
  EXPECT_TRUE(dumped_keys(dir).empty());
}

}  // namespace
