// Shared pieces of the failover tests: an in-process working directory with what the
// transaction logger writes into, server-side transaction records, and the transaction
// log lines read back.
#ifndef ZV_TESTS_FAILOVER_FAILOVER_TEST_UTIL_H
#define ZV_TESTS_FAILOVER_FAILOVER_TEST_UTIL_H

#include <gtest/gtest.h>

#include <string>
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

}  // namespace fot

#endif
