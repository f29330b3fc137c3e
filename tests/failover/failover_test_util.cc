#include "tests/failover/failover_test_util.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "runtime/zv_globals.h"
#include "runtime/zv_log.h"
#include "runtime/zv_options.h"
#include "runtime/zv_statsdb.h"
#include "tests/runtime/runtime_test_util.h"
#include "tests/support/zv_test_support.h"

namespace fot {

namespace {

template <size_t N>
void set_text(char (&dst)[N], const std::string &v) {
  snprintf(dst, N, "%s", v.c_str());
}

const char *const kLogs[4] = {"client_trans.log", "receipt_trans.log", "server_trans.log",
                              "hipri_trans.log"};

}  // namespace

std::string isa_line(const std::string &receiver, const std::string &control) {
  std::string recv = (receiver + std::string(15, ' ')).substr(0, 15);
  std::string ctl = (control + std::string(9, '0')).substr(0, 9);
  std::string isa = "ISA*00*          *00*          *ZZ*SENDER         *ZZ*" + recv +
                    "*050101*1200*U*00401*" + ctl + "*0*P*>";
  EXPECT_EQ(isa.substr(54, 15), recv);
  EXPECT_EQ(isa.substr(90, 9), ctl);
  return isa;
}

void WorkDirTest::SetUp() {
  rtt::reset_globals();
  snprintf(program, sizeof program, "%s", "failoverd");
  debug_level = 1;
  dir_ = zvtest::scratch_dir("fo");
  ASSERT_EQ(getcwd(old_cwd_, sizeof old_cwd_), old_cwd_);
  ASSERT_EQ(chdir(dir_.c_str()), 0);
  rtt::make_work_dirs(dir_, "failover");
  for (int i = 0; i < 8; ++i) {
    set_text(tran_logpath[i], kLogs[i % 4]);
    tran_logfile[i] = nullptr;
  }
  set_text(toRemoteFailedPath, "./to_remote_failed_messages");
  set_text(toSslRemoteFailedPath, "./to_ssl_remote_failed_messages");
  set_text(fromRemoteFailedPath, "./from_remote_failed_messages");
  set_text(fromSslRemoteFailedPath, "./from_ssl_remote_failed_messages");
  set_text(invalidPath, "./invalid_messages");
  set_text(alertFileName, "zolvar.alert");
  set_text(failoverPath, "./failover");
  memset(partner, 0, sizeof partner);
  failoverd[0] = '\0';
  iFdReceiptPipe = -1;
  ASSERT_EQ(vInitDBs(), 0);
}

void WorkDirTest::TearDown() {
  vCleanupDBs();
  for (FILE *&f : tran_logfile) {
    if (f && f != stderr) fclose(f);
    f = nullptr;
  }
  if (iFdReceiptPipe >= 0) close(iFdReceiptPipe);
  iFdReceiptPipe = -1;
  ASSERT_EQ(chdir(old_cwd_), 0);
}

Trans_ctl_rec WorkDirTest::record(int who, std::string &out, const std::string &receiver) {
  Trans_ctl_rec t;
  memset(&t, 0, sizeof t);
  t.who = who;
  t.msg_type = ZV_MT_BASIC_EDI;
  t.iPriority = who == ZV_WHO_HPRI_SERVER ? 1 : 0;
  set_text(t.isa_line, isa_line(receiver));
  t.status = -999;
  t.tp_index = -1;
  t.obufferp = out.data();
  t.obuf_length = static_cast<int>(out.size());
  return t;
}

std::vector<std::string> WorkDirTest::trans_lines(int who) const {
  for (FILE *f : tran_logfile)
    if (f && f != stderr) fflush(f);
  return zvtest::split_lines(zvtest::read_file(dir_ + "/" + kLogs[who % 4]));
}

}  // namespace fot
