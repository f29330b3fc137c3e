// failoverd as a real daemon in scratch installations, replaying to a back-end stand-in
// over loopback: order, priorities, a back end that goes away and comes back, the
// settings and the seeding it logs, the jail of mode "N", and a store it cannot open.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "failover/zv_failover.h"
#include "failover/zv_fodb.h"
#include "runtime/zv_globals.h"
#include "tests/failover/backend_standin.h"
#include "tests/failover/failover_test_util.h"
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
  EXPECT_NE(fo.err().find("WARNING: cannot connect to BES socket server: Connection refused\n"),
            std::string::npos);
  EXPECT_NE(fo.err().find("ERROR returned from failover_recovery\n"), std::string::npos);
  EXPECT_EQ(fo.err().find("DB_EMPTY"), std::string::npos);
  ASSERT_TRUE(be.start());
  ASSERT_TRUE(be.wait_count(5, 20000)) << fo.err();
  ASSERT_TRUE(zvtest::wait_for([&] {
    return fo.err().find("DB_EMPTY from failover_recovery so change state\n") != std::string::npos;
  }));
  EXPECT_EQ(fo.stop(), 0);
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
  EXPECT_NE(err.find("DEBUG: failover settings: failover_mode = [all], min_failover_threshold = "
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

}  // namespace
