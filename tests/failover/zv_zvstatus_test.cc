#include "failover/zv_zvstatus.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <string>
#include <vector>

#include "runtime/zv_globals.h"
#include "runtime/zv_statsdb.h"
#include "runtime/zv_status_code.h"
#include "tests/support/zv_test_support.h"

namespace {

const std::string kStop("Received an ZV Status STOP request\0", 35);
const std::string kStart("Received an ZV Status RESTART request\0", 38);

std::string line_for(const char *keyword) {
  return std::string("INFO: Received an ZV Status ") + keyword + " message from ACME\n";
}


class ZvStatus : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = zvtest::scratch_dir("zvstatus");
    work_ = dir_ + "/work";
    ASSERT_EQ(mkdir(work_.c_str(), 0755), 0);
    ASSERT_EQ(getcwd(old_cwd_, sizeof old_cwd_), old_cwd_);
    ASSERT_EQ(chdir(work_.c_str()), 0);
    // The transaction log and message copies live beside the working directory, so that
    // the working directory holds only what the status handling writes.
    for (int i = 0; i < 8; i++) zvtest::set_text(tran_logpath[i], dir_ + "/server_trans.log");
    for (auto *p : {&toRemoteFailedPath, &toSslRemoteFailedPath, &fromRemoteFailedPath,
                    &fromSslRemoteFailedPath, &invalidPath})
      zvtest::set_text(*p, dir_);
    zvtest::set_text(alertFileName, dir_ + "/zolvar.alert");
    memset(partner, 0, sizeof partner);
    snprintf(partner[0].isaid, sizeof partner[0].isaid, "%s", "OTHER");
    snprintf(partner[1].isaid, sizeof partner[1].isaid, "%s", "ACME");
    partner[0].active = partner[1].active = 1;
    ASSERT_EQ(vInitDBs(), 0);
    debug_level = 1;
    memset(&t_, 0, sizeof t_);
    t_.who = ZV_WHO_STD_SERVER;
    t_.msg_type = ZV_MT_STATUS;
    t_.tp_index = 1;
  }
  void TearDown() override {
    debug_level = 0;
    vCleanupDBs();
    memset(partner, 0, sizeof partner);
    ASSERT_EQ(chdir(old_cwd_), 0);
  }

  // Runs the handler on `text` and returns what it logged.
  std::string process(const std::string &text) {
    std::string copy = text;
    testing::internal::CaptureStderr();
    EXPECT_EQ(processZVstatusMsg(&t_, copy.data(), static_cast<int>(copy.size())), 0);
    return testing::internal::GetCapturedStderr();
  }
  int activity(const char *id) {
    int status = 99;
    time_t when;
    EXPECT_EQ(iQueryTPActiveDB(id, &status, &when), 0);
    return status;
  }
  std::string read(const std::string &name) { return zvtest::read_file(work_ + "/" + name); }
  std::vector<std::string> files() { return zvtest::list_dir(work_); }

  std::string dir_, work_;
  char old_cwd_[4096];
  Trans_ctl_rec t_;
};

// Each pattern with the lines it logs, in order, and the files it leaves.
struct PatternCase {
  int code;
  std::vector<std::string> lines;
  std::vector<std::string> files;
  int activity;  // the partner's activity afterwards; 1 unchanged
};

TEST_F(ZvStatus, EachPatternLogsMarksAndWritesItsFile) {
  const std::vector<PatternCase> cases = {
      {ZV_STATUS_TEST, {line_for("TEST")}, {}, 1},
      {ZV_STATUS_STOP_WAN, {line_for("STOP_WAN"), line_for("STOP_OSS")}, {"ACME.stop"}, -1},
      {ZV_STATUS_STOP_OSS, {line_for("STOP_OSS")}, {"ACME.stop"}, -1},
      {ZV_STATUS_RESTART, {line_for("RESTART")}, {"ACME.start"}, 1},
      {ZV_STATUS_PING_REQUEST, {line_for("PING_REQUEST")}, {}, 1},
      {ZV_STATUS_PING_RESPONSE, {line_for("PING_RESPONSE")}, {}, 1},
  };
  for (const PatternCase &c : cases) {
    SCOPED_TRACE(zv_status_code[c.code]);
    for (const std::string &f : files()) ASSERT_EQ(unlink((work_ + "/" + f).c_str()), 0);
    ASSERT_EQ(iUpdateTPActiveDB("ACME", 1), 0);
    std::string err = process(zv_status_code[c.code]);

    size_t at = 0;
    for (const std::string &line : c.lines) {
      size_t found = err.find(line, at);
      ASSERT_NE(found, std::string::npos) << line << " in:\n" << err;
      at = found + line.size();
    }
    EXPECT_EQ(err.find("INFO: Received", at), std::string::npos) << err;
    EXPECT_EQ(files(), c.files);
    for (const std::string &f : c.files)
      EXPECT_EQ(read(f), f == "ACME.stop" ? kStop : kStart);
    EXPECT_EQ(activity("ACME"), c.activity);
    EXPECT_EQ(activity("OTHER"), 1);
  }
}

TEST_F(ZvStatus, LogLinesNeedDebugLevelOne) {
  debug_level = 0;
  std::string err = process(zv_status_code[ZV_STATUS_STOP_WAN]);
  EXPECT_EQ(err, "");
  EXPECT_EQ(read("ACME.stop"), kStop);
}

TEST_F(ZvStatus, RestartAfterStopLeavesBothFiles) {
  process(zv_status_code[ZV_STATUS_STOP_OSS]);
  EXPECT_EQ(activity("ACME"), -1);
  process(zv_status_code[ZV_STATUS_RESTART]);
  EXPECT_EQ(activity("ACME"), 1);
  EXPECT_EQ(files(), (std::vector<std::string>{"ACME.start", "ACME.stop"}));
  EXPECT_EQ(read("ACME.stop"), kStop);
  EXPECT_EQ(read("ACME.start"), kStart);
  // A second stop replaces its file and still leaves the start file.
  process(zv_status_code[ZV_STATUS_STOP_WAN]);
  EXPECT_EQ(files(), (std::vector<std::string>{"ACME.start", "ACME.stop"}));
  EXPECT_EQ(activity("ACME"), -1);
}

TEST_F(ZvStatus, ComparisonCoversTheGivenLengthUpToThePattern) {
  struct Case {
    std::string text;
    std::vector<std::string> keywords;  // the lines logged, in order
  };
  const std::string wan = zv_status_code[ZV_STATUS_STOP_WAN];
  const std::string ping = zv_status_code[ZV_STATUS_PING_RESPONSE];
  const std::vector<Case> cases = {
      {"", {"TEST"}},                               // nothing compared: the first pattern
      {"0000", {"TEST"}},                           // a prefix of TEST, tried first
      {"00001", {"STOP_WAN", "STOP_OSS"}},          // differs from TEST at its end
      {"0000000000000000000000000000000", {"TEST"}},
      {ping.substr(0, 25), {"PING_RESPONSE"}},
      {wan + "trailing text", {"STOP_WAN", "STOP_OSS"}},  // nothing after 32 counts
  };
  for (const Case &c : cases) {
    SCOPED_TRACE("[" + c.text + "]");
    std::string want;
    for (const std::string &k : c.keywords) want += line_for(k.c_str());
    std::string err = process(c.text);
    // Only the handler's lines: each ends the log line that carries it.
    std::string got;
    for (const std::string &l : zvtest::split_lines(err)) {
      size_t at = l.find("INFO: Received");
      if (at != std::string::npos) got += l.substr(at) + "\n";
    }
    EXPECT_EQ(got, want);
  }
}

TEST_F(ZvStatus, UnknownPatternIsWrittenAsItCame) {
  std::string text = "01010101010101010101010101010101";
  std::string err = process(text);
  EXPECT_EQ(err.find("INFO: Received"), std::string::npos) << err;
  EXPECT_EQ(files(), std::vector<std::string>{"ACME.status"});
  EXPECT_EQ(read("ACME.status"), text);
  EXPECT_EQ(activity("ACME"), 1);

  // The next unknown status replaces the file, with its own length and bytes.
  std::string odd("1\0" "2|x\n", 6);
  process(odd);
  EXPECT_EQ(read("ACME.status"), odd);
  EXPECT_EQ(files(), std::vector<std::string>{"ACME.status"});
}

TEST_F(ZvStatus, UnknownFlagIsOnlyLogged) {
  for (int flag : {-1, 6, 99}) {
    testing::internal::CaptureStderr();
    update_zvstatus(&t_, flag);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("INFO: Received an unkown ZV Status message from ACME - skipping message\n"),
              std::string::npos)
        << err;
    EXPECT_TRUE(files().empty());
    EXPECT_EQ(activity("ACME"), 1);
  }
}

TEST_F(ZvStatus, RecordWithoutPartnerIsSkipped) {
  for (int index : {-1, 2, ZV_MAX_TP, 1000}) {
    t_.tp_index = index;
    std::string err = process(zv_status_code[ZV_STATUS_STOP_OSS]);
    EXPECT_NE(err.find("no Trading Partner for index " + std::to_string(index)),
              std::string::npos)
        << err;
  }
  t_.tp_index = 1;
  testing::internal::CaptureStderr();
  EXPECT_EQ(processZVstatusMsg(&t_, nullptr, 5), 0);
  EXPECT_EQ(processZVstatusMsg(&t_, const_cast<char *>("0000"), -1), 0);
  EXPECT_EQ(processZVstatusMsg(nullptr, const_cast<char *>("0000"), 4), 0);
  testing::internal::GetCapturedStderr();
  EXPECT_TRUE(files().empty());
  EXPECT_EQ(activity("ACME"), 1);
}

// The last transaction-log line's result code.
int last_logged_code(const std::string &log) {
  std::vector<std::string> lines = zvtest::split_lines(log);
  if (lines.empty()) return 0;
  const std::string &l = lines.back();
  return std::stoi(l.substr(l.rfind('|') + 1));
}

TEST_F(ZvStatus, IdThatLeavesTheDirectoryIsRefusedAsNotOpened) {
  for (const char *id : {"../ACME", "AC/ME", "..", "", "A..B"}) {
    SCOPED_TRACE(id);
    char isaid[32], text[] = "abc", suffix[] = "stop";
    snprintf(isaid, sizeof isaid, "%s", id);
    testing::internal::CaptureStderr();
    EXPECT_EQ(status_file_out(&t_, isaid, text, 3, suffix), -1);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("ERROR: Cannot open " + std::string(id) + ".tmp for writing\n"),
              std::string::npos)
        << err;
    EXPECT_EQ(last_logged_code(zvtest::read_file(dir_ + "/server_trans.log")), -12);
  }
  EXPECT_TRUE(files().empty());
  EXPECT_EQ(zvtest::list_dir(dir_), (std::vector<std::string>{"server_trans.log", "work",
                                                               "zolvar.alert"}));
}

TEST_F(ZvStatus, UnopenableTemporaryFileReportsMinusTwelve) {
  // A working directory that no longer exists refuses every new file, even to root.
  std::string gone = dir_ + "/gone";
  ASSERT_EQ(mkdir(gone.c_str(), 0755), 0);
  ASSERT_EQ(chdir(gone.c_str()), 0);
  ASSERT_EQ(rmdir(gone.c_str()), 0);
  char isaid[] = "ACME", text[] = "abc", suffix[] = "stop";
  testing::internal::CaptureStderr();
  int rc = status_file_out(&t_, isaid, text, 3, suffix);
  std::string err = testing::internal::GetCapturedStderr();
  ASSERT_EQ(chdir(work_.c_str()), 0);
  EXPECT_EQ(rc, -1);
  EXPECT_NE(err.find("ERROR: Cannot open ACME.tmp for writing\n"), std::string::npos) << err;
  EXPECT_EQ(last_logged_code(zvtest::read_file(dir_ + "/server_trans.log")), -12);
}

TEST_F(ZvStatus, FailedWriteReportsMinusElevenAndLeavesNoFile) {
  // A child with a file-size limit below the text: the write fails with EFBIG. Its
  // standard error and transaction log go into a pipe, which the limit does not cover.
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  fflush(nullptr);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    close(fds[0]);
    dup2(fds[1], 2);
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit lim = {10, 10};
    setrlimit(RLIMIT_FSIZE, &lim);
    zvtest::set_text(tran_logpath[ZV_WHO_STD_SERVER], "/dev/stderr");
    char isaid[] = "ACME", suffix[] = "stop";
    char text[] = "Received an ZV Status STOP request";
    int rc = status_file_out(&t_, isaid, text, sizeof text, suffix);
    _exit(rc == -1 ? 0 : 1);
  }
  close(fds[1]);
  std::string err;
  char buf[4096];
  ssize_t n;
  while ((n = ::read(fds[0], buf, sizeof buf)) > 0) err.append(buf, static_cast<size_t>(n));
  close(fds[0]);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << err;
  EXPECT_NE(err.find("ERROR: Cannot write ACME.tmp"), std::string::npos) << err;
  EXPECT_NE(err.find(", returned errno " + std::to_string(EFBIG) + "\n"), std::string::npos)
      << err;
  EXPECT_NE(err.find("|-11\n"), std::string::npos) << err;
  EXPECT_TRUE(files().empty());
}

}  // namespace
