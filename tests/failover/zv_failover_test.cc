// The failover state machine, the writer side, the key and the replay step in one
// process, against a real store in a scratch directory and a back-end stand-in; stored
// records are read back with Berkeley DB's own db_dump.
#include "failover/zv_failover.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "failover/zv_fodb.h"
#include "runtime/zv_globals.h"
#include "tests/failover/backend_standin.h"
#include "tests/failover/failover_test_util.h"
#include "tests/runtime/runtime_test_util.h"
#include "tests/support/zv_test_support.h"

namespace {

using fot::BackendStandin;
using rtt::capture;
using rtt::count_of;

using zvtest::set_text;

void store_raw(const std::string &key_text, const std::string &data) {
  fot::store_raw(pFo_db, key_text, data);
}

class Failover : public fot::WorkDirTest {
 protected:
  void SetUp() override {
    fot::WorkDirTest::SetUp();
    ASSERT_TRUE(be_.start());
    set_text(zv_socaddr, be_.address());
    zv_min_failover_threshold = FO_DEFAULT_MIN_THRESHOLD;
    zv_max_failover_limit = FO_DEFAULT_MAX_LIMIT;
    ASSERT_EQ(capture([] { EXPECT_EQ(init_failover(), 0); }).err.find("ERROR"),
              std::string::npos);
  }
  void TearDown() override {
    release_failover();
    be_.stop();
    fot::WorkDirTest::TearDown();
  }

  // A server message whose body names it.
  Trans_ctl_rec message(int priority, const std::string &receiver, std::string &body) {
    Trans_ctl_rec t = record(priority ? ZV_WHO_HPRI_SERVER : ZV_WHO_STD_SERVER, body, receiver);
    t.iPriority = priority;
    return t;
  }

  // The store as db_dump sees it; the environment stays open meanwhile, and every change
  // was flushed to the file before the call that made it returned.
  std::map<std::string, std::string> stored() {
    std::map<std::string, std::string> m;
    for (auto &[k, v] : fot::db_dump_records(dir_ + "/failover")) {
      EXPECT_TRUE(!k.empty() && k.back() == '\0') << "key stored without its NUL: " << k;
      m[k.substr(0, k.size() - 1)] = v;
    }
    return m;
  }

  int replay(int firsttime = 0) {
    DBC *dbc = nullptr;
    int rc = 0;
    last_err_ = capture([&] { rc = failover_recovery(&dbc, firsttime); }).err;
    return rc;
  }

  int write_fo(Trans_ctl_rec &t) {
    int rc = 0;
    last_err_ = capture([&] { rc = soc_write_fo(&t, zv_socaddr); }).err;
    return rc;
  }

  BackendStandin be_;
  std::string last_err_;
};

// ---- the key -------------------------------------------------------------------------

TEST_F(Failover, KeyFormat) {
  struct Case {
    std::string receiver;
    int priority;
    int type;
    std::string key;
  };
  const Case cases[] = {
      {"", 1, 1, "h1__000000000"},
      {"ACME", 0, 1, "s1_ACME_000000001"},
      {"ACME CORP", 0, 2, "s2_ACME CORP_000000002"},
      {"ABCDEFGHIJKLMNO", 3, 3, "h3_ABCDEFGHIJKLMNO_000000003"},
      {" LEAD", 0, 9, "s9_ LEAD_000000004"},
  };
  int count = 0;
  for (const Case &c : cases) {
    std::string isa = fot::isa_line(c.receiver);
    char key[FO_KEY_SIZE];
    memset(key, 'X', sizeof key);
    std::string err =
        capture([&] { EXPECT_EQ(iGenerateKeyFromSeqNo(isa.data(), c.priority, c.type, key), 0); })
            .err;
    EXPECT_STREQ(key, c.key.c_str());
    EXPECT_NE(err.find("psISAline = [" + isa + "]\n"), std::string::npos) << err;
    EXPECT_NE(err.find("DEBUG: iGenKeyFromSeqNo:TEMPKEY=" + c.key + "\n"), std::string::npos);
    EXPECT_EQ(*pFo_reccount, ++count);
  }
  EXPECT_EQ(*pFo_key, 5);
  // Longest key of a one-digit type: 28 characters and the NUL.
  EXPECT_EQ(strlen("h3_ABCDEFGHIJKLMNO_000000003"), 28u);

  // The control number in place of the sequence; no cell moves.
  std::string isa = fot::isa_line("ZZTOP", "123456789");
  char key[FO_KEY_SIZE];
  std::string err =
      capture([&] { EXPECT_EQ(iGenerateKeyFromISA(isa.data(), 0, 1, key), 0); }).err;
  EXPECT_STREQ(key, "s1_ZZTOP_123456789");
  EXPECT_NE(err.find("DEBUG: iGenKeyFromISA:TEMPKEY=s1_ZZTOP_123456789\n"), std::string::npos);
  EXPECT_EQ(*pFo_key, 5);
  EXPECT_EQ(*pFo_reccount, count);

  // Missing arguments are reported with the builders' source name.
  err = capture([&] { EXPECT_EQ(iGenerateKeyFromSeqNo(nullptr, 0, 1, key), 0); }).err;
  EXPECT_TRUE(err.starts_with("ASSERT Failed: failoverd_main: line ")) << err;
  EXPECT_STREQ(key, "s1__000000005");
  err = capture([&] { EXPECT_EQ(iGenerateKeyFromSeqNo(isa.data(), 0, 1, nullptr), -1); }).err;
  EXPECT_TRUE(err.starts_with("ASSERT Failed: failoverd_main: line ")) << err;
  EXPECT_EQ(*pFo_key, 6);
  // A short ISA line gives what it has of the receiver.
  char shortline[] = "ISA*00*          *00*          *ZZ*SENDER         *ZZ*AB";
  EXPECT_EQ(iGenerateKeyFromSeqNo(shortline, 0, 1, key), 0);
  EXPECT_STREQ(key, "s1_AB_000000006");
}

// ---- the writer side in each state ---------------------------------------------------

TEST_F(Failover, NormalStateSendsDirectly) {
  ASSERT_EQ(change_state(FO_NORMAL), 0);
  std::string body = "ISA*direct";
  Trans_ctl_rec t = message(1, "ACME", body);
  EXPECT_EQ(write_fo(t), 0);
  EXPECT_NE(last_err_.find("In FO_NORMAL_STATE in fo_writer()\n"), std::string::npos);
  ASSERT_TRUE(be_.wait_count(1));
  EXPECT_EQ(be_.records()[0].body, body);
  EXPECT_EQ(be_.records()[0].priority, 1);
  EXPECT_EQ(*pFo_state, FO_NORMAL);
  EXPECT_TRUE(stored().empty());
}

TEST_F(Failover, SendFailureStoresAndSwitchesToFailover) {
  ASSERT_EQ(change_state(FO_NORMAL), 0);
  be_.stop();
  std::string body = "ISA*kept for later";
  Trans_ctl_rec t = message(0, "ACME", body);
  EXPECT_EQ(write_fo(t), 0);
  EXPECT_NE(last_err_.find("failoverd:ERROR: returned from soc_write()\n"), std::string::npos)
      << last_err_;
  EXPECT_NE(last_err_.find("failover_write: key = s1_ACME_000000000 len = 18\n"),
            std::string::npos)
      << last_err_;
  EXPECT_NE(last_err_.find("GOOD 0 from store_fodb()\n"), std::string::npos);
  EXPECT_NE(last_err_.find("DEBUG: Changing state from 0 to 1\n"), std::string::npos);
  EXPECT_EQ(*pFo_state, FO_FAILOVER);
  EXPECT_EQ(*pFo_reccount, 1);
  EXPECT_EQ(stored(), (std::map<std::string, std::string>{{"s1_ACME_000000000", body}}));

  // Further messages in FO_FAILOVER are stored without a send.
  std::string body2 = "ISA*second";
  Trans_ctl_rec t2 = message(1, "ACME", body2);
  ASSERT_TRUE(be_.start());
  EXPECT_EQ(write_fo(t2), 0);
  EXPECT_NE(last_err_.find("In FO_FAILOVER_STATE in fo_writer()\n"), std::string::npos);
  EXPECT_EQ(be_.count(), 0u);
  EXPECT_EQ(stored().size(), 2u);
  EXPECT_EQ(stored()["h1_ACME_000000001"], body2);
}

TEST_F(Failover, RecoveryDoneReturnsToNormalAndSends) {
  ASSERT_EQ(change_state(FO_RECOVERYDONE), 0);
  std::string body = "ISA*after recovery";
  Trans_ctl_rec t = message(0, "ACME", body);
  EXPECT_EQ(write_fo(t), 0);
  EXPECT_NE(last_err_.find("In FO_RECOVERYDONE_STATE in fo_writer()\n"), std::string::npos);
  EXPECT_NE(last_err_.find("In FO_NORMAL_STATE in fo_writer()\n"), std::string::npos);
  EXPECT_EQ(*pFo_state, FO_NORMAL);
  ASSERT_TRUE(be_.wait_count(1));
  EXPECT_TRUE(stored().empty());
}

TEST_F(Failover, RecoveryStateStores) {
  ASSERT_EQ(*pFo_state, FO_RECOVERY);  // the state at start
  std::string body = "ISA*during recovery";
  Trans_ctl_rec t = message(0, "B", body);
  EXPECT_EQ(write_fo(t), 0);
  EXPECT_NE(last_err_.find("In FO_RECOVERY_STATE in fo_writer()\n"), std::string::npos);
  EXPECT_EQ(be_.count(), 0u);
  EXPECT_EQ(stored(), (std::map<std::string, std::string>{{"s1_B_000000000", body}}));
}

TEST_F(Failover, ModeSIgnoresHighPriorityAndModeNStoresNothing) {
  ASSERT_EQ(change_state(FO_FAILOVER), 0);
  set_text(failoverd, "std_only");
  std::string hi = "ISA*hi", lo = "ISA*lo";
  Trans_ctl_rec th = message(1, "ACME", hi);
  Trans_ctl_rec tl = message(0, "ACME", lo);
  EXPECT_EQ(write_fo(th), 0);
  EXPECT_NE(last_err_.find("WARNING: failover_write: Ignoring hipri ZV message due to failover "
                           "mode (std_only)\n"),
            std::string::npos)
      << last_err_;
  EXPECT_EQ(write_fo(tl), 0);
  EXPECT_EQ(stored(), (std::map<std::string, std::string>{{"s1_ACME_000000000", lo}}));
  EXPECT_EQ(*pFo_reccount, 1);

  set_text(failoverd, "none");
  EXPECT_EQ(write_fo(th), 0);
  EXPECT_EQ(write_fo(tl), 0);
  EXPECT_EQ(stored().size(), 1u);
  EXPECT_EQ(*pFo_reccount, 1);
  EXPECT_EQ(*pFo_key, 1);
}

// ---- the full flag -------------------------------------------------------------------

TEST_F(Failover, FullFlagLimitsByState) {
  zv_max_failover_limit = 5;
  struct Case {
    int state;
    int set_at;  // the count whose store sets the flag
  };
  for (const Case c : {Case{FO_FAILOVER, 5}, Case{FO_RECOVERY, 6}}) {
    release_failover();
    ASSERT_EQ(zvtest::shell("rm -rf " + dir_ + "/failover/*"), 0);
    ASSERT_EQ(capture([] { EXPECT_EQ(init_failover(), 0); }).err.find("ERROR"), std::string::npos);
    ASSERT_EQ(change_state(c.state), 0);
    for (int n = 1; n <= 7; ++n) {
      std::string body = "ISA*" + std::to_string(n);
      Trans_ctl_rec t = message(0, "ACME", body);
      EXPECT_EQ(write_fo(t), 0);
      EXPECT_EQ(*pFo_reccount, n);
      EXPECT_EQ(*pFo_full_flag, n >= c.set_at ? 1 : 0) << "state " << c.state << " count " << n;
      if (n == c.set_at) {
        EXPECT_NE(last_err_.find("max failover limit of 5 reached\n"), std::string::npos);
        EXPECT_NE(last_err_.find("set fo_full_flag to 1\n"), std::string::npos);
      }
      if (n < c.set_at) {
        EXPECT_EQ(last_err_.find("max failover limit"), std::string::npos);
      }
    }
  }
}

TEST_F(Failover, MinimumThresholdClearsTheFlag) {
  zv_max_failover_limit = 5;
  zv_min_failover_threshold = 2;
  ASSERT_EQ(change_state(FO_FAILOVER), 0);
  for (int n = 0; n < 5; ++n) {
    std::string body = "ISA*" + std::to_string(n);
    Trans_ctl_rec t = message(0, "ACME", body);
    ASSERT_EQ(write_fo(t), 0);
  }
  ASSERT_EQ(*pFo_full_flag, 1);
  // 5 -> 4 -> 3: not yet; 3 -> 2 clears it.
  for (int left : {4, 3}) {
    ASSERT_EQ(replay(), 0);
    EXPECT_EQ(*pFo_reccount, left);
    EXPECT_NE(last_err_.find("min failover threshold of 2 NOT reached (" + std::to_string(left) +
                             ")\n"),
              std::string::npos)
        << last_err_;
    EXPECT_EQ(*pFo_full_flag, 1);
  }
  ASSERT_EQ(replay(), 0);
  EXPECT_NE(last_err_.find("min failover threshold of 2 reached\n"), std::string::npos);
  EXPECT_NE(last_err_.find("re-set fo_full_flag to 0\n"), std::string::npos);
  EXPECT_EQ(*pFo_full_flag, 0);
  ASSERT_EQ(replay(), 0);
  EXPECT_EQ(last_err_.find("min failover threshold"), std::string::npos);
}

// ---- the replay step -----------------------------------------------------------------

TEST_F(Failover, ReplayInKeyOrderWithPriorityFromTheKey) {
  store_raw("s1_B_000000001", "std B1");
  store_raw("h1_Z_000000009", "hi Z9");
  store_raw("s1_A_000000002", "std A2");
  store_raw("h2_A_000000003", "hi A3");
  store_raw("x1_Q_000000004", "other letter");
  *pFo_reccount = 5;
  const char *order[] = {"hi Z9", "hi A3", "std A2", "std B1", "other letter"};
  const char *keys[] = {"h1_Z_000000009", "h2_A_000000003", "s1_A_000000002", "s1_B_000000001",
                        "x1_Q_000000004"};
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(replay(i == 0 ? 1 : 0), 0) << last_err_;
    EXPECT_NE(last_err_.find(std::string("failoverd:fo KEY = ") + keys[i] + "\n"),
              std::string::npos);
    EXPECT_NE(last_err_.find(std::string("db: ") + keys[i] + ": key was deleted.\n"),
              std::string::npos)
        << last_err_;
    EXPECT_EQ(*pFo_reccount, 4 - i);
  }
  EXPECT_EQ(replay(), FODB_NOTFOUND);
  ASSERT_TRUE(be_.wait_count(5));
  auto got = be_.records();
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(got[i].body, order[i]) << i;
    EXPECT_EQ(got[i].priority, keys[i][0] == 's' ? 0 : 1) << i;
  }
  EXPECT_TRUE(stored().empty());
}

TEST_F(Failover, FailedReplayKeepsTheRecord) {
  store_raw("s1_A_000000000", "waiting");
  *pFo_reccount = 1;
  be_.stop();
  EXPECT_EQ(replay(1), -1);
  EXPECT_NE(last_err_.find("failoverd: socket retry failed\n"), std::string::npos) << last_err_;
  EXPECT_EQ(stored().size(), 1u);
  EXPECT_EQ(*pFo_reccount, 1);
  ASSERT_TRUE(be_.start());
  EXPECT_EQ(replay(1), 0);
  ASSERT_TRUE(be_.wait_count(1));
  EXPECT_EQ(be_.records()[0].body, "waiting");
  EXPECT_TRUE(stored().empty());
}

// The outage line counts the records of the store, also those another process stored,
// which this process's count does not know.
TEST_F(Failover, OutageLinesCountTheRecordsOfTheStore) {
  store_raw("s1_A_000000000", "one");
  store_raw("s1_A_000000001", "two");
  store_raw("s1_B_000000002", "three");
  *pFo_reccount = 0;
  be_.stop();
  EXPECT_EQ(replay(1), -1);
  EXPECT_NE(last_err_.find("WARNING: cannot connect to BES socket server: Connection refused (" +
                           be_.address() + ", 3 records waiting; said once until it answers)\n"),
            std::string::npos)
      << last_err_;
  ASSERT_TRUE(be_.start());
  EXPECT_EQ(replay(1), 0);
  EXPECT_NE(last_err_.find("NOTE: BES socket server at " + be_.address() +
                           " answers again (3 records waiting)\n"),
            std::string::npos)
      << last_err_;
}

TEST_F(Failover, RecordStaysUntilTheBackEndClosesAfterReadingItWhole) {
  // Bodies of 1,959 bytes and of 4 MiB: the small one fits the socket buffers at once, the
  // large one is still on its way when a back end gives up on it.
  std::string small(1959, 's'), large(4 << 20, 'L');
  for (size_t i = 0; i < large.size(); i += 4096) large[i] = static_cast<char>('a' + i / 4096 % 26);
  store_raw("s1_A_000000000", small);
  store_raw("s1_A_000000001", large);
  *pFo_reccount = 2;
  using Fault = BackendStandin::Fault;
  const std::map<std::string, std::string> both = {{"s1_A_000000000", small},
                                                    {"s1_A_000000001", large}};
  // A back end that resets after reading the record whole, one that reads half and closes,
  // one that never reads: each time the record stays, whole, for the next pass. That the
  // back end did not take it is said once for the record, with its key, the bytes sent
  // and what the back end did, however often it is sent again.
  std::string said;
  for (Fault f : {Fault::reset_after_record, Fault::close_after_half, Fault::never_read}) {
    be_.add_faults({f});
    EXPECT_EQ(replay(), -1) << static_cast<int>(f) << "\n" << last_err_;
    EXPECT_NE(last_err_.find("failoverd: socket retry failed\n"), std::string::npos) << last_err_;
    EXPECT_EQ(stored(), both) << static_cast<int>(f);
    EXPECT_EQ(*pFo_reccount, 2);
    said += last_err_;
  }
  EXPECT_EQ(count_of(said, "WARNING: record s1_A_000000000 not taken by the back end (1965 of "
                           "its 1965 bytes sent) - it stays in the failover store and is sent "
                           "again at every pass until the back end reads it whole and closes "
                           "the connection in order; said once for this record\n"),
            1)
      << said;
  EXPECT_EQ(count_of(said, "WARNING: BES socket server did not confirm the message (length of "
                           "1959 bytes) by closing the connection ("),
            1)
      << said;
  // The large record, read half by a back end that then closes.
  store_raw("h1_A_000000002", large);
  be_.add_faults({Fault::close_after_half});
  EXPECT_EQ(replay(), -1) << last_err_;
  EXPECT_EQ(stored().size(), 3u);
  EXPECT_EQ(stored()["h1_A_000000002"], large);
  EXPECT_EQ(be_.count(), 0u);
  EXPECT_EQ(be_.faults_left(), 0u);

  // A back end that reads each whole and closes gets each once, whole, in key order.
  while (replay() == 0) {
  }
  EXPECT_EQ(replay(), FODB_NOTFOUND) << last_err_;
  ASSERT_TRUE(be_.wait_count(3));
  auto got = be_.records();
  ASSERT_EQ(got.size(), 3u);
  EXPECT_TRUE(got[0].body == large && got[0].priority == 1);
  EXPECT_TRUE(got[1].body == small && got[1].priority == 0);
  EXPECT_TRUE(got[2].body == large && got[2].priority == 0);
  EXPECT_TRUE(stored().empty());
}

TEST_F(Failover, EmptyStore) {
  EXPECT_EQ(replay(1), FODB_NOTFOUND);
  EXPECT_EQ(last_err_.find("ERROR"), std::string::npos) << last_err_;
}

TEST_F(Failover, KeyLongerThanTheReadBufferStopsReplayAndStartUp) {
  // Only a foreign writer makes such a key; the replay cannot read it and leaves it.
  store_raw("a" + std::string(64, 'K'), "foreign");
  store_raw("s1_A_000000001", "behind it");
  EXPECT_EQ(replay(1), -1);
  EXPECT_NE(last_err_.find("ERROR: from retrieve_fodb2()\n"), std::string::npos) << last_err_;
  EXPECT_EQ(stored().size(), 2u);
  EXPECT_EQ(be_.count(), 0u);

  // Start-up reads the last key in key order, "s1_A_000000001", which fits.
  release_failover();
  ASSERT_EQ(capture([] { EXPECT_EQ(init_failover(), 0); }).err.find("ERROR"), std::string::npos);
  EXPECT_EQ(*pFo_key, 2);
  EXPECT_EQ(*pFo_reccount, 2);

  // A long last key makes start-up fail, with nothing left open.
  // Appended, not "z" + ...: g++ 12 takes that insert for an overlapping copy at -O3.
  std::string long_key = "z";
  long_key.append(64, 'Z');
  store_raw(long_key, "last in order");
  release_failover();
  std::string err = capture([] { EXPECT_EQ(init_failover(), -1); }).err;
  EXPECT_NE(err.find("ERROR: from get_last_key_fodb()\n"), std::string::npos) << err;
  EXPECT_EQ(pFo_state, nullptr);
  EXPECT_EQ(pFo_db, nullptr);
  EXPECT_EQ(pFo_dbenv, nullptr);
}

// The library's own lines carry the name of the process that writes them, a delivering
// process's as well as failoverd's.
TEST_F(Failover, StoreLinesCarryTheProcessName) {
  set_text(program, "sdeliver");
  store_raw("a" + std::string(64, 'K'), "foreign");
  std::string body = "ISA*routes the lines";
  Trans_ctl_rec t = message(0, "ACME", body);
  EXPECT_EQ(write_fo(t), 0) << last_err_;
  EXPECT_EQ(replay(1), -1);
  EXPECT_NE(last_err_.find("sdeliver: DBcursor->get: "), std::string::npos) << last_err_;
  EXPECT_EQ(last_err_.find("failoverd: DBcursor->get"), std::string::npos) << last_err_;
  set_text(program, "failoverd");
}

TEST_F(Failover, CellsKeepNoLockFileAndTheirLocksStillWork) {
  EXPECT_FALSE(zvtest::file_exists("/tmp/mm.core." + std::to_string(getpid()) + ".sem"));
  for (const std::string &f : zvtest::list_dir(dir_))
    EXPECT_EQ(f.find(".sem"), std::string::npos) << f;
  EXPECT_EQ(change_state(FO_NORMAL), 0);
  EXPECT_EQ(*pFo_state, FO_NORMAL);
}

// ---- change_state --------------------------------------------------------------------

TEST_F(Failover, ChangeStateAndTheResetOnRecoveryDone) {
  *pFo_key = 17;
  *pFo_reccount = 4;
  *pFo_full_flag = 1;
  std::string err = capture([] { EXPECT_EQ(change_state(7), 0); }).err;
  EXPECT_NE(err.find("DEBUG: Changing state from 2 to 7\n"), std::string::npos);
  EXPECT_NE(err.find("ERROR: In UNKNOWN FO_STATE in change_state()\n"), std::string::npos);
  EXPECT_EQ(*pFo_state, FO_RECOVERY);
  for (int s : {FO_NORMAL, FO_FAILOVER, FO_RECOVERY}) {
    EXPECT_EQ(change_state(s), 0);
    EXPECT_EQ(*pFo_state, s);
    EXPECT_EQ(*pFo_key, 17);
  }
  err = capture([] { EXPECT_EQ(change_state(FO_RECOVERYDONE), 0); }).err;
  EXPECT_EQ(*pFo_state, FO_RECOVERYDONE);
  EXPECT_EQ(*pFo_key, 0);
  EXPECT_EQ(*pFo_reccount, 0);
  EXPECT_EQ(*pFo_full_flag, 0);
  size_t a = err.find("re-set fo_db key to 0\n"), b = err.find("re-set fo_db reccount to 0\n"),
         c = err.find("re-set fo_full_flag to 0\n");
  ASSERT_NE(c, std::string::npos) << err;
  EXPECT_LT(a, b);
  EXPECT_LT(b, c);
}

// ---- sound behaviour where a message could be lost -----------------------------------

TEST_F(Failover, RestartSeedsFromTheHighestNumberAndTheRecordCount) {
  store_raw("h1_B_000000007", "hi B7");
  store_raw("s1_A_000000003", "std A3");
  release_failover();
  std::string err = capture([] { EXPECT_EQ(init_failover(), 0); }).err;
  EXPECT_NE(err.find("failoverd:fo KEY_START = s1_A_000000003\n"), std::string::npos) << err;
  EXPECT_NE(err.find("failoverd:fo seqno_START = 7\n"), std::string::npos) << err;
  EXPECT_NE(err.find("failoverd:fo reccount_START = 2\n"), std::string::npos) << err;
  EXPECT_EQ(*pFo_key, 8);
  EXPECT_EQ(*pFo_reccount, 2);
  ASSERT_EQ(change_state(FO_FAILOVER), 0);
  // Message after message, none is dropped: the numbers 4 to 7 that the last key would
  // have given are not taken again.
  std::vector<std::string> bodies;
  for (int i = 0; i < 6; ++i) {
    bodies.push_back("ISA*new " + std::to_string(i));
    Trans_ctl_rec t = message(i % 2, "B", bodies.back());
    EXPECT_EQ(write_fo(t), 0);
    EXPECT_EQ(last_err_.find("previously stored"), std::string::npos) << last_err_;
  }
  auto m = stored();
  EXPECT_EQ(m.size(), 8u);
  EXPECT_EQ(m["h1_B_000000007"], "hi B7");
  EXPECT_EQ(m["s1_A_000000003"], "std A3");
  for (int i = 0; i < 6; ++i) {
    char k[32];
    snprintf(k, sizeof k, "%c1_B_%09d", i % 2 ? 'h' : 's', 8 + i);
    EXPECT_EQ(m[k], bodies[i]) << k;
  }
  EXPECT_EQ(*pFo_reccount, 8);
}

// Records stored across the nine-digit boundary and over restarts keep the order in
// which they were stored, in the store and at the back end, which receives each record as
// it was stored; records stored before under nine-digit keys keep their keys and place.
TEST_F(Failover, SequencePastNineDigitsKeepsTheOrderAcrossRestarts) {
  store_raw("s1_ACME_999999997", "stored before");
  std::vector<std::string> bodies = {"stored before"};
  std::vector<std::string> keys = {"s1_ACME_999999997"};
  auto restart = [&](const std::string &seqno_start) {
    release_failover();
    std::string err = capture([] { EXPECT_EQ(init_failover(), 0); }).err;
    EXPECT_NE(err.find("failoverd:fo seqno_START = " + seqno_start + "\n"), std::string::npos)
        << err;
    ASSERT_EQ(change_state(FO_FAILOVER), 0);
  };
  auto store = [&](const std::string &key) {
    bodies.push_back("ISA*body " + std::to_string(bodies.size()));
    keys.push_back(key);
    Trans_ctl_rec t = message(0, "ACME", bodies.back());
    EXPECT_EQ(write_fo(t), 0) << last_err_;
    EXPECT_EQ(last_err_.find("stored already"), std::string::npos) << last_err_;
  };
  restart("999999997");
  store("s1_ACME_999999998");
  store("s1_ACME_999999999");
  restart("999999999");
  store("s1_ACME_A1000000000");
  store("s1_ACME_A1000000001");
  *pFo_key = 9999999999LL;
  store("s1_ACME_A9999999999");
  store("s1_ACME_B10000000000");
  restart("10000000000");
  store("s1_ACME_B10000000001");
  std::vector<std::string> dumped;
  for (const std::string &k : fot::db_dump_keys(dir_ + "/failover")) dumped.push_back(k);
  EXPECT_EQ(dumped, keys);

  while (replay() == 0) {
  }
  EXPECT_EQ(replay(), FODB_NOTFOUND) << last_err_;
  ASSERT_TRUE(be_.wait_count(bodies.size()));
  auto got = be_.records();
  ASSERT_EQ(got.size(), bodies.size());
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].body, bodies[i]) << i;
    EXPECT_EQ(got[i].length, bodies[i].size()) << i;
    EXPECT_EQ(got[i].priority, 0) << i;
  }

  // The count ends at its last number without running over: nothing is stored under a
  // number that would sort first.
  *pFo_key = FODB_SEQNO_MAX;
  store("s1_ACME_J9223372036854775806");
  std::string body = "ISA*past the end";
  Trans_ctl_rec t = message(0, "ACME", body);
  EXPECT_EQ(write_fo(t), -1);
  EXPECT_NE(last_err_.find("ERROR: the failover sequence number is at its end"),
            std::string::npos)
      << last_err_;
  EXPECT_EQ(stored().size(), 1u);
}

TEST_F(Failover, TakenKeyGetsTheNextNumber) {
  ASSERT_EQ(change_state(FO_FAILOVER), 0);
  store_raw("s1_ACME_000000000", "already here");
  store_raw("s1_ACME_000000001", "and here");
  std::string body = "ISA*must not be lost";
  Trans_ctl_rec t = message(0, "ACME", body);
  EXPECT_EQ(write_fo(t), 0);
  EXPECT_NE(last_err_.find("WARNING: failover_write: key s1_ACME_000000000 is stored already, "
                           "taking the next number\n"),
            std::string::npos)
      << last_err_;
  auto m = stored();
  EXPECT_EQ(m.size(), 3u);
  EXPECT_EQ(m["s1_ACME_000000000"], "already here");
  EXPECT_EQ(m["s1_ACME_000000001"], "and here");
  EXPECT_EQ(m["s1_ACME_000000002"], body);
  EXPECT_EQ(*pFo_reccount, 1);  // the two raw records were not counted by the writer
  EXPECT_EQ(*pFo_key, 3);
}

TEST_F(Failover, StoreFailureIsReportedToTheWriter) {
  // The database opened read-only in the same environment refuses every put.
  DB *rw = pFo_db;
  DB *ro = nullptr;
  ASSERT_EQ(db_create(&ro, pFo_dbenv, 0), 0);
  ASSERT_EQ(ro->open(ro, nullptr, "failover.db", nullptr, DB_BTREE, DB_RDONLY, 0), 0);
  pFo_db = ro;
  ASSERT_EQ(change_state(FO_NORMAL), 0);
  be_.stop();
  std::string body = "ISA*nowhere to go";
  Trans_ctl_rec t = message(0, "ACME", body);
  EXPECT_EQ(write_fo(t), -1);
  EXPECT_NE(last_err_.find("ERROR of -1 from store_fodb()\n"), std::string::npos) << last_err_;
  EXPECT_EQ(*pFo_state, FO_FAILOVER);
  EXPECT_EQ(*pFo_reccount, 0);
  EXPECT_EQ(write_fo(t), -1);
  pFo_db = rw;
  ro->close(ro, 0);
  EXPECT_TRUE(stored().empty());
  EXPECT_EQ(write_fo(t), 0);
  EXPECT_EQ(stored().size(), 1u);
  EXPECT_EQ(*pFo_reccount, 1);
}

TEST_F(Failover, EveryMessageStoredOrSentAcrossStateChanges) {
  // A writer through a whole outage: sent, stored while the back end is away, replayed
  // in order once it is back, sent again after the store ran empty.
  std::vector<std::string> bodies;
  auto send = [&](int i) {
    bodies.push_back("ISA*msg " + std::to_string(i));
    Trans_ctl_rec t = message(0, "ACME", bodies.back());
    EXPECT_EQ(write_fo(t), 0) << i;
  };
  ASSERT_EQ(change_state(FO_NORMAL), 0);
  send(0);
  ASSERT_TRUE(be_.wait_count(1));
  be_.stop();
  for (int i = 1; i <= 4; ++i) send(i);
  EXPECT_EQ(*pFo_state, FO_FAILOVER);
  EXPECT_EQ(replay(1), -1);  // still away
  ASSERT_TRUE(be_.start());
  EXPECT_EQ(replay(1), 0);
  ASSERT_EQ(change_state(FO_RECOVERY), 0);
  send(5);
  while (replay() == 0) {
  }
  EXPECT_EQ(replay(), FODB_NOTFOUND);
  ASSERT_EQ(change_state(FO_RECOVERYDONE), 0);
  send(6);
  EXPECT_EQ(*pFo_state, FO_NORMAL);
  ASSERT_TRUE(be_.wait_count(7));
  std::vector<std::string> got;
  for (const auto &r : be_.records()) got.push_back(r.body);
  EXPECT_EQ(got, bodies);
  EXPECT_TRUE(stored().empty());
}

// ---- set-up --------------------------------------------------------------------------

TEST(FailoverInit, FailedEnvironmentOpenReleasesEverything) {
  std::string dir = zvtest::scratch_dir("fo-init");
  snprintf(failoverPath, sizeof failoverPath, "%s/missing/dir", dir.c_str());
  rtt::Captured c = capture([] { EXPECT_NE(init_failover(), 0); });
  EXPECT_NE(c.err.find("ERROR: cannot open failover DB environment\n"), std::string::npos)
      << c.err;
  EXPECT_EQ(pFo_state, nullptr);
  EXPECT_EQ(pFo_key, nullptr);
  EXPECT_EQ(pFo_dbenv, nullptr);
  EXPECT_EQ(pFo_db, nullptr);

  // Not a database: the environment opens, the database does not.
  snprintf(failoverPath, sizeof failoverPath, "%s", dir.c_str());
  zvtest::write_file(dir + "/failover.db", std::string(8192, 'x'));
  c = capture([] { EXPECT_NE(init_failover(), 0); });
  EXPECT_NE(c.err.find("ERROR: cannot open failover DB\n"), std::string::npos) << c.err;
  EXPECT_EQ(pFo_dbenv, nullptr);
  EXPECT_EQ(pFo_full_flag, nullptr);
}

TEST(FailoverSettings, KeysFromTheOwnSectionThenDefault) {
  std::string dir = zvtest::scratch_dir("fo-settings");
  std::string file = dir + "/zolvar.conf";
  zvtest::write_file(file,
                     "process_names = failoverd\n"
                     "failover_mode = std\n"
                     "max_failover_limit = 40\n"
                     "min_failover_threshold = 12x\n"
                     "failover_reconnect_delay = 9\n"
                     "\n[failoverd]\nprocess_type = FAILOVER_PROCESS\n"
                     "failover_reconnect_delay = 3\nmax_failover_limit =\n"
                     "\n[other]\nfailover_mode = None\nmin_failover_threshold = abc\n");
  EXPECT_EQ(failover_read_settings(file.c_str(), "failoverd"), 0);
  EXPECT_STREQ(failoverd, "std");
  EXPECT_EQ(zv_max_failover_limit, 40);  // an empty value is ignored
  EXPECT_EQ(zv_min_failover_threshold, 12);
  EXPECT_EQ(failoverd_reconnect_delay, 3);

  std::string err =
      capture([&] { EXPECT_EQ(failover_read_settings(file.c_str(), "other"), 0); }).err;
  EXPECT_STREQ(failoverd, "None");
  EXPECT_EQ(zv_min_failover_threshold, FO_DEFAULT_MIN_THRESHOLD);  // no leading digits
  EXPECT_NE(err.find("WARNING: Using 1000 as default for min_failover_threshold, found [abc] "
                     "(not a number from 0 to 2147483647)\n"),
            std::string::npos)
      << err;
  EXPECT_EQ(failoverd_reconnect_delay, 9);

  zvtest::write_file(file, "process_names = failoverd\n");
  EXPECT_EQ(failover_read_settings(file.c_str(), "failoverd"), 0);
  EXPECT_STREQ(failoverd, "");
  EXPECT_EQ(zv_min_failover_threshold, FO_DEFAULT_MIN_THRESHOLD);
  EXPECT_EQ(zv_max_failover_limit, FO_DEFAULT_MAX_LIMIT);
  EXPECT_EQ(failoverd_reconnect_delay, FO_DEFAULT_RECONNECT_DELAY);

  std::string missing = dir + "/none.conf";
  err = capture([&] { EXPECT_EQ(failover_read_settings(missing.c_str(), "failoverd"), -1); }).err;
  EXPECT_NE(err.find("none.conf"), std::string::npos) << err;
}

TEST(FailoverSettings, ValuesThatMeanNothingTakeTheDefaultWithAWarning) {
  std::string file = zvtest::scratch_dir("fo-settings-bad") + "/zolvar.conf";
  struct Case {
    std::string lines;
    const char *mode;
    int min, max, delay;
    std::string warning;
  };
  const std::string range = " (not a number from 1 to 2147483647)\n";
  const Case cases[] = {
      {"failover_reconnect_delay = 0\n", "", 1000, 10000, 10,
       "WARNING: Using 10 as default for failover_reconnect_delay, found [0]" + range},
      {"failover_reconnect_delay = abc\n", "", 1000, 10000, 10,
       "WARNING: Using 10 as default for failover_reconnect_delay, found [abc]" + range},
      {"failover_reconnect_delay = -5\n", "", 1000, 10000, 10,
       "WARNING: Using 10 as default for failover_reconnect_delay, found [-5]" + range},
      {"failover_reconnect_delay = 99999999999\n", "", 1000, 10000, 10,
       "WARNING: Using 10 as default for failover_reconnect_delay, found [99999999999]" + range},
      {"max_failover_limit = 0\n", "", 1000, 10000, 10,
       "WARNING: Using 10000 as default for max_failover_limit, found [0]" + range},
      {"min_failover_threshold = 500\nmax_failover_limit = 400\n", "", 1000, 10000, 10,
       "WARNING: Using 1000 as default for min_failover_threshold and 10000 for "
       "max_failover_limit, found 500 above 400 (the threshold must not be above the limit)\n"},
      {"failover_mode = X\n", "", 1000, 10000, 10,
       "WARNING: Using the default (empty: every message stored) for failover_mode, found [X] "
       "(accepted: empty, N... for none, S... for standard priority only)\n"},
      // Values that mean something pass without a word.
      {"failover_mode = s\nmin_failover_threshold = 0\nmax_failover_limit = 1\n"
       "failover_reconnect_delay = 1\n",
       "s", 0, 1, 1, ""},
  };
  for (const Case &c : cases) {
    zvtest::write_file(file, "process_names = failoverd\n\n[failoverd]\n" + c.lines);
    std::string err =
        capture([&] { EXPECT_EQ(failover_read_settings(file.c_str(), "failoverd"), 0); }).err;
    EXPECT_STREQ(failoverd, c.mode) << c.lines;
    EXPECT_EQ(zv_min_failover_threshold, c.min) << c.lines;
    EXPECT_EQ(zv_max_failover_limit, c.max) << c.lines;
    EXPECT_EQ(failoverd_reconnect_delay, c.delay) << c.lines;
    if (c.warning.empty()) {
      EXPECT_EQ(err.find("WARNING"), std::string::npos) << err;
    } else {
      EXPECT_EQ(count_of(err, c.warning), 1) << c.lines << err;
      EXPECT_EQ(count_of(err, "WARNING"), 1) << err;
    }
  }
}

}  // namespace
