#include "runtime/zv_translog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "runtime/zv_globals.h"
#include "runtime/zv_log.h"
#include "runtime/zv_process.h"
#include "runtime/zv_services.h"
#include "runtime/zv_statsdb.h"
#include "tests/support/zv_test_support.h"

namespace {

const char *const kDirs[] = {"./to_remote_failed_messages", "./to_ssl_remote_failed_messages",
                             "./from_remote_failed_messages", "./from_ssl_remote_failed_messages",
                             "./invalid_messages"};
const char *const kLogs[8] = {"client_trans.log", "receipt_trans.log", "server_trans.log",
                              "hipri_trans.log",  "client_trans.log",  "receipt_trans.log",
                              "server_trans.log", "hipri_trans.log"};

const std::string kIsa =
    "ISA*00*          *00*          *ZZ*AB             *ZZ*LOCAL          *050101*1200*U*00401*"
    "000000001*0*P*>";

char kIp[] = "10.1.2.3";


std::string pad104(const std::string &s) {
  std::string out = s.substr(0, 104);
  return out + std::string(104 - out.size(), ' ');
}

// True when `stamp` is a "%Y%m%d %H%M%S" local time within a few seconds of now.
bool recent_stamp(const std::string &stamp) {
  struct tm tmv = {};
  const char *end = strptime(stamp.c_str(), "%Y%m%d %H%M%S", &tmv);
  if (end == nullptr || *end != '\0' || stamp.size() != 15) return false;
  tmv.tm_isdst = -1;
  return std::labs(static_cast<long>(mktime(&tmv) - time(nullptr))) <= 5;
}

// The tail of a transaction-log line after its 15-character time stamp and "|".
std::string log_tail(const std::string &line) {
  EXPECT_GE(line.size(), 16u) << line;
  if (line.size() < 16) return "";
  EXPECT_TRUE(recent_stamp(line.substr(0, 15))) << line;
  EXPECT_EQ(line[15], '|') << line;
  return line.substr(16);
}

class TransLog : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = zvtest::scratch_dir("translog");
    ASSERT_EQ(getcwd(old_cwd_, sizeof old_cwd_), old_cwd_);
    ASSERT_EQ(chdir(dir_.c_str()), 0);
    for (const char *d : kDirs) ASSERT_EQ(mkdir(d, 0755), 0) << d;
    for (int i = 0; i < 8; i++) zvtest::set_text(tran_logpath[i], kLogs[i]);
    zvtest::set_text(toRemoteFailedPath, kDirs[0]);
    zvtest::set_text(toSslRemoteFailedPath, kDirs[1]);
    zvtest::set_text(fromRemoteFailedPath, kDirs[2]);
    zvtest::set_text(fromSslRemoteFailedPath, kDirs[3]);
    zvtest::set_text(invalidPath, kDirs[4]);
    zvtest::set_text(alertFileName, "zolvar.alert");
    snprintf(zv_receipt_socaddr, sizeof zv_receipt_socaddr, "%s", "127.0.0.1:8000");
    memset(partner, 0, sizeof partner);
    snprintf(partner[0].isaid, sizeof partner[0].isaid, "%s", "AB");
    snprintf(partner[1].isaid, sizeof partner[1].isaid, "%s", "CDE");
    snprintf(partner[2].isaid, sizeof partner[2].isaid, "%s", "FGHIJ");
    partner[0].active = partner[1].active = partner[2].active = 1;
    ASSERT_EQ(vInitDBs(), 0);
  }
  void TearDown() override {
    vCleanupDBs();
    zv_services.send_transport_msg = nullptr;
    ASSERT_EQ(chdir(old_cwd_), 0);
  }

  // A record of partner 0 with input "IN-<who>" and, when asked, output "OUTPUT-<who>".
  Trans_ctl_rec record(int who, int msg_type, bool input, bool output) {
    Trans_ctl_rec t;
    memset(&t, 0, sizeof t);
    t.who = who;
    t.msg_type = msg_type;
    snprintf(t.isa_line, sizeof t.isa_line, "%s", kIsa.c_str());
    t.dest_ip = kIp;
    t.dest_port = 5000;
    t.tp_index = 0;
    // The message, NULs inside and all, then what else its buffer holds: a copy keeps
    // the message (imsg_length bytes), never the buffer behind it.
    in_ = "IN-" + std::to_string(who) + std::string(3, '\0') + "tail";
    in_buf_ = in_ + std::string(2, '\0') + "padding";
    out_ = "OUTPUT-" + std::to_string(who);
    if (input) {
      t.ibufferp = in_buf_.data();
      t.ibuf_length = static_cast<int>(in_buf_.size());
      t.imsg_length = static_cast<int>(in_.size());
    }
    if (output) {
      t.obufferp = out_.data();
      t.obuf_length = static_cast<int>(out_.size());
    }
    return t;
  }

  std::string read(const std::string &name) { return zvtest::read_file(name); }

  // Contents of every copy file, by directory.
  std::map<std::string, std::vector<std::string>> copies() {
    std::map<std::string, std::vector<std::string>> out;
    for (const char *d : kDirs) {
      for (const std::string &f : zvtest::list_dir(d)) {
        EXPECT_EQ(f.rfind("file", 0), 0u) << d << "/" << f;
        out[d].push_back(read(std::string(d) + "/" + f));
      }
    }
    return out;
  }

  std::string dir_;
  char old_cwd_[ZV_PATH_SIZE];
  std::string in_, in_buf_, out_;
};

TEST(ErrorTable, OneRowPerCodeWithTheFlagsOfTheCode) {
  const std::set<int> fatal = {-16, -15, -14, -13, -8, -7, -5, -4, -3, -2, -1};
  std::set<int> seen;
  for (const zv_err_flags_t &row : zvErrors) {
    int code = row.eErrorCode;
    EXPECT_TRUE(seen.insert(code).second) << "duplicate " << code;
    EXPECT_GE(code, -40);
    EXPECT_LE(code, 23);
    EXPECT_EQ(row.iAlertFlag, code == -25 || code == 0 ? 0 : 1) << code;
    EXPECT_EQ(row.iStopServiceFlag, 0) << code;
    EXPECT_EQ(row.iStopRemoteZVFlag, 0) << code;
    EXPECT_EQ(row.iFatalError, fatal.count(code) ? 1 : 0) << code;
    size_t len = strnlen(row.sErrText, sizeof row.sErrText);
    EXPECT_LT(len, sizeof row.sErrText) << code;
    EXPECT_GT(len, 0u) << code;
    int index = -1;
    ASSERT_EQ(iFindErrorByCode(code, &index), 0);
    EXPECT_EQ(&zvErrors[index], &row);
  }
  EXPECT_EQ(seen.size(), 64u);
  int index = 77;
  EXPECT_EQ(iFindErrorByCode(ZV_ERRM_LAST__ENTRY__IN__TABLE, &index), -1);
  EXPECT_EQ(iFindErrorByCode(-41, &index), -1);
  EXPECT_EQ(index, 77);

  const std::map<int, std::string> texts = {
      {-40, "Cannot find a required local certificate for this message. Skipping message."},
      {-30, "This process cannot send the internal message to another process"},
      {-25, "Cannot build receipt for return"},
      {-1, "Cannot read own private key"},
      {0, "No Error"},
      {3, "Common Name (CN) found in certificate does not match any Trading Partner Common "
          "Name set in configuration file"},
      {7, "SSL client cannnot write message data to SSL server"},
      {17, "ZV EDI Message Signiture invalid, signitures do not match"},
      {23, "This Trading Partner has too many connections open, Cannot accept additional "
           "connections until active connections are closed."},
  };
  for (const auto &[code, text] : texts) {
    ASSERT_EQ(iFindErrorByCode(code, &index), 0);
    EXPECT_EQ(std::string(zvErrors[index].sErrText), text) << code;
  }
}

TEST_F(TransLog, SuccessWritesOnlyTheLogLineAndCounts) {
  Trans_ctl_rec t = record(0, 3, true, true);
  t.status = 99;
  ASSERT_EQ(transaction_logging(&t, 0), 0);
  std::vector<std::string> lines = zvtest::split_lines(read("client_trans.log"));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(log_tail(lines[0]), "3|" + pad104(kIsa) + "|10.1.2.3:5000|0");
  EXPECT_EQ(read("client_trans.log").back(), '\n');
  EXPECT_EQ(t.status, 0);
  EXPECT_EQ(ptZvStatus->iMsgCounts[5], 1);
  EXPECT_EQ(ptZvStatus->iConnections, 1);
  EXPECT_TRUE(copies().empty());
  EXPECT_FALSE(zvtest::file_exists("zolvar.alert"));
  EXPECT_EQ(tran_logfile[0], nullptr);
}

TEST_F(TransLog, EachRoleWritesItsOwnLogAndLinesAppend) {
  for (int who = 0; who < 8; who++) {
    Trans_ctl_rec t = record(who, 1, true, false);
    ASSERT_EQ(transaction_logging(&t, 0), 0);
  }
  EXPECT_EQ(zvtest::split_lines(read("client_trans.log")).size(), 2u);
  EXPECT_EQ(zvtest::split_lines(read("receipt_trans.log")).size(), 2u);
  EXPECT_EQ(zvtest::split_lines(read("server_trans.log")).size(), 2u);
  EXPECT_EQ(zvtest::split_lines(read("hipri_trans.log")).size(), 2u);
  for (int i = 0; i < 8; i++) EXPECT_EQ(tran_logfile[i], nullptr) << i;
}

TEST_F(TransLog, RecordWithoutPartnerHasEmptyAddressAndAlertFields) {
  Trans_ctl_rec t = record(2, 1, true, false);
  t.tp_index = -1;
  ASSERT_EQ(transaction_logging(&t, 5), 0);
  std::vector<std::string> lines = zvtest::split_lines(read("server_trans.log"));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(log_tail(lines[0]), "1|" + pad104(kIsa) + "||5");
  std::vector<std::string> alerts = zvtest::split_lines(read("zolvar.alert"));
  ASSERT_EQ(alerts.size(), 1u);
  EXPECT_EQ(log_tail(alerts[0]), "1|||5|Cannot connect to remote ZV server");
  EXPECT_EQ(ptZvStatus->iMsgErrors[0], 1);
}

TEST_F(TransLog, IsaLineIsCutOrPaddedTo104) {
  const std::string long_isa(105, 'Q');
  struct Case {
    std::string isa;
    std::string shown;
  };
  const Case cases[] = {{long_isa, std::string(104, 'Q')}, {"", std::string(104, ' ')},
                        {"ISA*short", pad104("ISA*short")}};
  for (const Case &c : cases) {
    Trans_ctl_rec t = record(3, 2, false, false);
    snprintf(t.isa_line, sizeof t.isa_line, "%s", c.isa.c_str());
    ASSERT_EQ(transaction_logging(&t, 0), 0);
  }
  std::vector<std::string> lines = zvtest::split_lines(read("hipri_trans.log"));
  ASSERT_EQ(lines.size(), 3u);
  for (size_t i = 0; i < 3; i++) {
    EXPECT_EQ(log_tail(lines[i]), "2|" + cases[i].shown + "|10.1.2.3:5000|0") << i;
  }
}

// A document's text and a partner's id never write a control character into a line:
// a short ISA segment followed by a line in the log's own format stays in its field,
// escaped, and the field keeps its 104 columns.
TEST_F(TransLog, TextFromOutsideIsEscapedSoEachRecordStaysOneLine) {
  const std::string forged = "ISA\n20260101 000000|1|ISA FORGED: order 4711 sent OK|10.0.0.5:7001|0";
  snprintf(partner[0].isaid, sizeof partner[0].isaid, "%s", "A\rB\x1b");
  struct Case {
    std::string isa;
    std::string shown;
  };
  const Case cases[] = {
      {forged, pad104("ISA\\n20260101 000000|1|ISA FORGED: order 4711 sent OK|10.0.0.5:7001|0")},
      // An escape that would run past the field's end is left out whole.
      {std::string(103, 'Q') + "\t", std::string(103, 'Q') + " "},
      {std::string(102, 'Q') + "\t", std::string(102, 'Q') + "\\t"},
  };
  for (const Case &c : cases) {
    Trans_ctl_rec t = record(0, 1, true, false);
    snprintf(t.isa_line, sizeof t.isa_line, "%s", c.isa.c_str());
    ASSERT_EQ(transaction_logging(&t, 5), 0);
  }
  std::vector<std::string> lines = zvtest::split_lines(read("client_trans.log"));
  ASSERT_EQ(lines.size(), 3u) << read("client_trans.log");
  for (size_t i = 0; i < 3; i++)
    EXPECT_EQ(log_tail(lines[i]), "1|" + cases[i].shown + "|10.1.2.3:5000|5") << i;
  std::vector<std::string> alerts = zvtest::split_lines(read("zolvar.alert"));
  ASSERT_EQ(alerts.size(), 3u) << read("zolvar.alert");
  EXPECT_EQ(log_tail(alerts[0]),
            "1|A\\rB\\x1b|10.1.2.3:5000|5|Cannot connect to remote ZV server");
}

// The transaction log at the file-size limit: no signal ends the process; the write
// fails with EFBIG and is reported as a full disk is, the part of the line that fitted
// is taken back, and the document's copy and alert are still written.
TEST_F(TransLog, FileSizeLimitIsAnErrorAndLeavesNoHalfLine) {
  Trans_ctl_rec first = record(0, 1, true, false);
  ASSERT_EQ(transaction_logging(&first, 0), 0);
  const std::string before = read("client_trans.log");
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    int err = open("child.err", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (err < 0 || dup2(err, 2) != 2) _exit(3);
    signal(SIGXFSZ, SIG_DFL);
    init_signal_handlers();
    // The next line fits only in part.
    rlim_t limit = static_cast<rlim_t>(before.size() + 40);
    rlimit small{limit, limit};
    if (setrlimit(RLIMIT_FSIZE, &small) != 0) _exit(4);
    Trans_ctl_rec t = record(0, 1, true, false);
    _exit(transaction_logging(&t, 5) == 0 ? 0 : 1);
  }
  int st = -1;
  ASSERT_EQ(waitpid(child, &st, 0), child);
  ASSERT_TRUE(WIFEXITED(st)) << "ended by signal " << (WIFSIGNALED(st) ? WTERMSIG(st) : 0);
  EXPECT_EQ(WEXITSTATUS(st), 0);
  EXPECT_EQ(read("client_trans.log"), before);
  std::string err = read("child.err");
  EXPECT_NE(err.find("ERROR: Cannot write the transaction log line to client_trans.log: " +
                     std::string(strerror(EFBIG)) + "\n"),
            std::string::npos)
      << err;
  EXPECT_EQ(copies()[kDirs[0]], std::vector<std::string>{in_});
  std::vector<std::string> alerts = zvtest::split_lines(read("zolvar.alert"));
  ASSERT_EQ(alerts.size(), 1u);
  EXPECT_EQ(log_tail(alerts[0]), "1|AB|10.1.2.3:5000|5|Cannot connect to remote ZV server");
}

TEST_F(TransLog, ReceiptFailureCopiesWithoutAlert) {
  Trans_ctl_rec t = record(0, 4, true, true);
  ASSERT_EQ(transaction_logging(&t, -25), 0);
  EXPECT_EQ(log_tail(zvtest::split_lines(read("client_trans.log")).at(0)),
            "4|" + pad104(kIsa) + "|10.1.2.3:5000|-25");
  auto c = copies();
  ASSERT_EQ(c.size(), 1u);
  ASSERT_EQ(c[kDirs[0]].size(), 1u);
  EXPECT_EQ(zvtest::hex(c[kDirs[0]][0]), zvtest::hex(in_));
  EXPECT_FALSE(zvtest::file_exists("zolvar.alert"));
  EXPECT_EQ(t.status, -25);
  EXPECT_EQ(ptZvStatus->iMsgErrors[9], 1);
}

// Which buffer each kind of failure keeps, and where.
TEST_F(TransLog, CopiesFollowTheRoleAndTheCode) {
  struct Case {
    int who;
    int code;
    bool input, output;
    const char *dir;  // nullptr: no copy at all
    bool keeps_output;
  };
  const Case cases[] = {
      {0, 5, true, true, kDirs[0], false},   {1, 5, true, false, kDirs[0], false},
      {0, 5, false, true, nullptr, false},   {2, 8, true, true, kDirs[2], false},
      {3, 8, false, true, kDirs[2], true},   {4, 7, true, true, kDirs[1], true},
      {5, 7, true, false, kDirs[1], false},  {6, 8, true, true, kDirs[3], false},
      {7, 8, false, true, kDirs[3], true},   {0, 17, true, true, kDirs[4], true},
      {1, 16, true, false, kDirs[4], false}, {2, 18, true, true, kDirs[4], false},
      {3, 19, false, true, kDirs[4], true},  {4, 17, true, true, nullptr, false},
      {6, 16, true, true, nullptr, false},   {2, 99, true, false, kDirs[2], false},
  };
  for (const Case &c : cases) {
    for (const char *d : kDirs) zvtest::shell(std::string("rm -f ") + d + "/*");
    Trans_ctl_rec t = record(c.who, 1, c.input, c.output);
    ASSERT_EQ(transaction_logging(&t, c.code), 0);
    auto got = copies();
    std::string label = "who " + std::to_string(c.who) + " code " + std::to_string(c.code);
    if (c.dir == nullptr) {
      EXPECT_TRUE(got.empty()) << label;
      continue;
    }
    ASSERT_EQ(got.size(), 1u) << label;
    ASSERT_EQ(got[c.dir].size(), 1u) << label;
    EXPECT_EQ(zvtest::hex(got[c.dir][0]), zvtest::hex(c.keeps_output ? out_ : in_)) << label;
  }
}

TEST_F(TransLog, SignatureFailureOfAClientRecordGoesToInvalidMessagesOnly) {
  Trans_ctl_rec t = record(0, 3, true, true);
  ASSERT_EQ(transaction_logging(&t, 17), 0);
  EXPECT_TRUE(zvtest::list_dir(kDirs[0]).empty());
  std::vector<std::string> files = zvtest::list_dir(kDirs[4]);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(read(std::string(kDirs[4]) + "/" + files[0]), out_);
  std::vector<std::string> alerts = zvtest::split_lines(read("zolvar.alert"));
  ASSERT_EQ(alerts.size(), 1u);
  EXPECT_EQ(log_tail(alerts[0]),
            "3|AB|10.1.2.3:5000|17|ZV EDI Message Signiture invalid, signitures do not match");
}

TEST_F(TransLog, EmptyCopiesWriteNothingAndSayNothing) {
  testing::internal::CaptureStderr();
  char byte = 'x';
  EXPECT_EQ(log_failed_transaction(&byte, 0, kDirs[0]), 0);
  EXPECT_EQ(log_failed_transaction(nullptr, 10, kDirs[0]), 0);
  EXPECT_EQ(log_sslfailed_transaction(&byte, -1, kDirs[1]), 0);
  EXPECT_EQ(log_invalid_message(nullptr, 5, nullptr), 0);
  Trans_ctl_rec t = record(0, 1, false, false);
  EXPECT_EQ(log_failed_sending(&t, "ignored"), 0);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "");
  EXPECT_TRUE(copies().empty());

  ASSERT_EQ(transaction_logging(&t, 5), 0);
  EXPECT_TRUE(copies().empty());
}

TEST_F(TransLog, EachCopyIsANewFileAndFailedSendingIgnoresItsPath) {
  Trans_ctl_rec t = record(0, 1, true, false);
  for (int i = 0; i < 3; i++) EXPECT_EQ(log_failed_sending(&t, kDirs[3]), 0);
  EXPECT_EQ(zvtest::list_dir(kDirs[0]).size(), 3u);
  EXPECT_TRUE(zvtest::list_dir(kDirs[3]).empty());
}

TEST_F(TransLog, CopyThatCannotBeSavedIsReported) {
  struct Case {
    int (*writer)(const char *, int, const char *);
    const char *what;
  };
  const Case cases[] = {{log_failed_transaction, "failed transaction"},
                        {log_sslfailed_transaction, "ssl failed transaction"}};
  for (const Case &c : cases) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(c.writer("data", 4, "./missing_dir"), -1);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(std::string("ERROR: fopen(): Can't save ") + c.what +
                       " to file ./missing_dir/file"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find(", skipping message\n"), std::string::npos) << err;
  }
  // A copy the disk takes only part of (a file-size limit stands in for a full disk) is
  // removed: a copy is whole or absent.
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);
    rlimit small{12288, 12288};
    setrlimit(RLIMIT_FSIZE, &small);
    const std::string big(30000, 'x');
    _exit(log_failed_transaction(big.data(), static_cast<int>(big.size()), kDirs[2]) == -1 ? 0 : 1);
  }
  int st = -1;
  ASSERT_EQ(waitpid(child, &st, 0), child);
  EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
  EXPECT_TRUE(zvtest::list_dir(kDirs[2]).empty());

  ASSERT_EQ(rmdir(kDirs[4]), 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(log_invalid_message("data", 4, nullptr), -1);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("ERROR: fopen(): Can't save invalid message/receipt to file "
                     "./invalid_messages/file"),
            std::string::npos)
      << err;

  // The outcome tells its caller that the copy is lost; the line and the alert still say
  // what happened.
  ASSERT_EQ(rmdir(kDirs[0]), 0);
  Trans_ctl_rec t = record(0, 1, true, false);
  testing::internal::CaptureStderr();
  EXPECT_EQ(transaction_logging(&t, 5), -1);
  err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("ERROR: fopen(): Can't save failed transaction to file "
                     "./to_remote_failed_messages/file"),
            std::string::npos)
      << err;
  EXPECT_EQ(log_tail(zvtest::split_lines(read("client_trans.log")).at(0)),
            "1|" + pad104(kIsa) + "|10.1.2.3:5000|5");
  std::vector<std::string> alerts = zvtest::split_lines(read("zolvar.alert"));
  ASSERT_EQ(alerts.size(), 1u);
  EXPECT_EQ(log_tail(alerts[0]), "1|AB|10.1.2.3:5000|5|Cannot connect to remote ZV server");
  EXPECT_EQ(t.status, 5);
}

TEST_F(TransLog, UnknownCodeIsLoggedAndCopiedWithoutAlert) {
  Trans_ctl_rec t = record(1, 9, true, false);
  ASSERT_EQ(transaction_logging(&t, 1234), 0);
  EXPECT_EQ(log_tail(zvtest::split_lines(read("receipt_trans.log")).at(0)),
            "9|" + pad104(kIsa) + "|10.1.2.3:5000|1234");
  EXPECT_EQ(copies()[kDirs[0]].size(), 1u);
  EXPECT_FALSE(zvtest::file_exists("zolvar.alert"));
  EXPECT_EQ(ptZvStatus->iMsgErrors[7], 1);
}

TEST_F(TransLog, NoTransactionWritesTheAlertLineOnly) {
  Trans_ctl_rec t = record(-1, 0, true, true);
  t.tp_index = -1;
  t.status = 42;
  ASSERT_EQ(transaction_logging(&t, ZV_ERRM_CANNOT_START_PROCESS), 0);
  std::vector<std::string> alerts = zvtest::split_lines(read("zolvar.alert"));
  ASSERT_EQ(alerts.size(), 1u);
  EXPECT_EQ(log_tail(alerts[0]), "0|||-32|Cannot start process due to an internal error");
  EXPECT_EQ(t.status, 42);
  EXPECT_EQ(ptZvStatus->iConnections, 0);
  EXPECT_TRUE(copies().empty());
  for (const char *log : {"client_trans.log", "server_trans.log"}) {
    EXPECT_FALSE(zvtest::file_exists(log)) << log;
  }
}

TEST_F(TransLog, RoleOutsideTheTableIsRefused) {
  Trans_ctl_rec t = record(8, 1, true, false);
  testing::internal::CaptureStderr();
  EXPECT_EQ(transaction_logging(&t, 5), -1);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("ERROR: transaction_logging: unknown role 8"), std::string::npos) << err;
  EXPECT_EQ(ptZvStatus->iConnections, 0);
  EXPECT_TRUE(copies().empty());
}

TEST_F(TransLog, LogThatCannotBeOpenedGoesToStandardError) {
  ASSERT_EQ(mkdir("client_trans.log", 0755), 0);  // a directory cannot be opened for append
  Trans_ctl_rec t = record(0, 1, false, false);
  testing::internal::CaptureStderr();
  ASSERT_EQ(transaction_logging(&t, 0), 0);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Can't open client_trans.log, Log to stderr\n"), std::string::npos) << err;
  EXPECT_NE(err.find("|1|" + pad104(kIsa) + "|10.1.2.3:5000|0\n"), std::string::npos) << err;
  EXPECT_EQ(tran_logfile[0], nullptr);
  EXPECT_EQ(ptZvStatus->iConnections, 1);
}

TEST_F(TransLog, AlertThatCannotBeOpenedGoesToStandardError) {
  ASSERT_EQ(mkdir("zolvar.alert", 0755), 0);
  Trans_ctl_rec t = record(0, 1, false, false);
  testing::internal::CaptureStderr();
  ASSERT_EQ(alert_logging(&t, 5), 0);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Can't open zolvar.alert, Log to stderr\n"), std::string::npos) << err;
  EXPECT_NE(err.find("|1|AB|10.1.2.3:5000|5|Cannot connect to remote ZV server\n"),
            std::string::npos)
      << err;
  EXPECT_EQ(alertfile, nullptr);
}

// Run as root in a directory another user may write, a link, a FIFO or a second name
// planted where the logs are written must neither be written through nor hold the
// process: each is refused with a line naming it, and the line goes to standard error.
TEST_F(TransLog, NamesPlantedWhereLinesAreWrittenAreRefusedAndNothingWaits) {
  const std::string victim = dir_ + "/victim";
  zvtest::write_file(victim, "keep\n");
  ASSERT_EQ(symlink(victim.c_str(), "zolvar.log"), 0);
  ASSERT_EQ(link(victim.c_str(), "zolvar.err"), 0);
  ASSERT_EQ(mkfifo("zolvar.alert", 0600), 0);
  ASSERT_EQ(symlink(victim.c_str(), "client_trans.log"), 0);
  testing::internal::CaptureStderr();
  zv_log_init("zolvar.log", "zolvar.err", "zolvar.alert");
  EXPECT_TRUE(zv_log_refused());
  Trans_ctl_rec t = record(0, 1, true, false);
  EXPECT_EQ(transaction_logging(&t, 5), 0);
  zv_log_close();
  std::string err = testing::internal::GetCapturedStderr();
  for (const char *line :
       {"ERROR: refusing to open zolvar.log for writing: it is a symbolic link\n",
        "ERROR: refusing to open zolvar.err for writing: it is a file with other names (hard "
        "links)\n",
        "ERROR: refusing to open zolvar.alert for writing: it is not a regular file\n",
        "ERROR: refusing to open client_trans.log for writing: it is a symbolic link\n",
        "Can't open client_trans.log, Log to stderr\n"})
    EXPECT_NE(err.find(line), std::string::npos) << line << "\n" << err;
  // The line and the alert went to standard error, the copy where it belongs.
  EXPECT_NE(err.find("|1|" + pad104(kIsa) + "|10.1.2.3:5000|5\n"), std::string::npos) << err;
  EXPECT_NE(err.find("|1|AB|10.1.2.3:5000|5|Cannot connect to remote ZV server\n"),
            std::string::npos)
      << err;
  EXPECT_EQ(copies()[kDirs[0]], std::vector<std::string>{in_});
  EXPECT_EQ(read(victim), "keep\n");
  struct stat st;
  ASSERT_EQ(lstat("zolvar.alert", &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  // A reopen while running refuses the same way and goes on.
  zv_log_init("zolvar.log", nullptr, nullptr);
  EXPECT_TRUE(zv_log_refused());
  EXPECT_EQ(logfile, stderr);
  zv_log_close();
}

// A copy is written under a temporary name and given its name only once it is whole: a
// kill at any moment of the write leaves no part of a copy under a copy's name. The kills
// go on until one has cut a copy in the middle (a temporary file left behind).
TEST_F(TransLog, CopyCutByAKillIsNeverUnderACopysName) {
  const std::string doc(61041, 'd');
  const std::string dir = kDirs[2];
  bool cut = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  for (int round = 0; !cut && std::chrono::steady_clock::now() < deadline; ++round) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      for (;;) log_failed_transaction(doc.data(), static_cast<int>(doc.size()), dir.c_str());
    }
    usleep(static_cast<useconds_t>(1000 + round % 7 * 1500));
    kill(child, SIGKILL);
    int st = 0;
    ASSERT_EQ(waitpid(child, &st, 0), child);
    for (const std::string &f : zvtest::list_dir(dir)) {
      std::string path = dir + "/" + f;
      if (f.size() > 4 && f.compare(f.size() - 4, 4, ".tmp") == 0) {
        cut = true;
        unlink(path.c_str());
        continue;
      }
      ASSERT_EQ(f.rfind("file", 0), 0u) << f;
      ASSERT_EQ(read(path).size(), doc.size()) << path << " is cut under a copy's name";
      unlink(path.c_str());
    }
  }
  EXPECT_TRUE(cut) << "no kill fell inside the write of a copy within 60 s";
}

TEST_F(TransLog, OpenAlertStreamIsUsedOnceAndAStandInIsNotClosed) {
  // The stream opened at start-up takes the first alert and is closed after it.
  alertfile = fopen("startup.alert", "a");
  ASSERT_NE(alertfile, nullptr);
  Trans_ctl_rec t = record(0, 1, false, false);
  ASSERT_EQ(alert_logging(&t, 6), 0);
  EXPECT_EQ(alertfile, nullptr);
  ASSERT_EQ(alert_logging(&t, 6), 0);
  EXPECT_EQ(zvtest::split_lines(read("startup.alert")).size(), 1u);
  EXPECT_EQ(zvtest::split_lines(read("zolvar.alert")).size(), 1u);

  // The error-log stream standing in for the alert file stays usable.
  FILE *err_stream = fopen("zolvar.err", "a");
  ASSERT_NE(err_stream, nullptr);
  errlogfile = err_stream;
  alertfile = err_stream;
  ASSERT_EQ(alert_logging(&t, 6), 0);
  EXPECT_EQ(alertfile, nullptr);
  EXPECT_GT(fprintf(err_stream, "still open\n"), 0);
  EXPECT_EQ(fclose(err_stream), 0);
  errlogfile = nullptr;
  std::vector<std::string> lines = zvtest::split_lines(read("zolvar.err"));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(log_tail(lines[0]), "1|AB|10.1.2.3:5000|6|Cannot start SSL client handshake");
  EXPECT_EQ(lines[1], "still open");
}

TEST_F(TransLog, AlertLoggingAsksTheTable) {
  Trans_ctl_rec t = record(0, 1, false, false);
  for (int code : {0, -25, 24, 500}) ASSERT_EQ(alert_logging(&t, code), 0);
  EXPECT_FALSE(zvtest::file_exists("zolvar.alert"));
  t.tp_index = 2;
  ASSERT_EQ(alert_logging(&t, -13), 0);
  std::vector<std::string> alerts = zvtest::split_lines(read("zolvar.alert"));
  ASSERT_EQ(alerts.size(), 1u);
  EXPECT_EQ(log_tail(alerts[0]),
            "1|FGHIJ|10.1.2.3:5000|-13|Cannot save EDI message as a file - Cannot continue");
}

TEST_F(TransLog, FatalCodeEndsTheProcessAfterEverythingIsWritten) {
  Trans_ctl_rec t = record(0, 2, true, false);
  fflush(nullptr);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    transaction_logging(&t, ZV_ERRM_CANNOT_READ_OWN_KEY);
    _exit(100);  // not reached
  }
  int st = 0;
  ASSERT_EQ(waitpid(child, &st, 0), child);
  ASSERT_TRUE(WIFEXITED(st)) << st;
  EXPECT_EQ(WEXITSTATUS(st), 255);

  std::vector<std::string> lines = zvtest::split_lines(read("client_trans.log"));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(log_tail(lines[0]), "2|" + pad104(kIsa) + "|10.1.2.3:5000|-1");
  auto c = copies();
  ASSERT_EQ(c[kDirs[0]].size(), 1u);
  EXPECT_EQ(zvtest::hex(c[kDirs[0]][0]), zvtest::hex(in_));
  std::string alert = read("zolvar.alert");
  std::vector<std::string> alerts = zvtest::split_lines(alert);
  ASSERT_EQ(alerts.size(), 1u);
  EXPECT_EQ(log_tail(alerts[0]),
            "2|AB|10.1.2.3:5000|-1|Cannot read own private key - Cannot continue");
  EXPECT_EQ(alert.substr(alert.size() - 19), " - Cannot continue\n");

  std::string cache = read("tpacache.db");
  std::string want = "Zolvar TPDB cache file v1.1\n1,AB\n1,CDE\n1,FGHIJ\n";
  for (int i = 3; i < 64; i++) want += "0,\n";
  EXPECT_EQ(cache, want);
}

// A process whose main thread reports a fatal code while six threads log, as clientd's
// receipt listener and its main thread may; on odd runs a second fatal code from one of
// the logging threads races it. Run in a forked child with its own tables.
void fatal_under_logging_threads(int run) {
  int fd = open("child.err", O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0 || dup2(fd, 2) < 0 || dup2(fd, 1) < 0) _exit(120);
  if (vInitDBs() != 0 || THREAD_setup() != 0) _exit(121);
  std::atomic<int> ops{0};
  std::atomic<bool> go{false};
  const bool second = run % 2 == 1;
  static std::string second_input = "SECOND-FATAL-INPUT";
  for (int n = 0; n < 6; n++) {
    std::thread([n, second, &ops, &go] {
      Trans_ctl_rec t;
      memset(&t, 0, sizeof t);
      t.who = n % 4;
      t.msg_type = 1;
      t.dest_ip = kIp;
      t.dest_port = 7000 + n;
      t.tp_index = n % 3;
      snprintf(t.isa_line, sizeof t.isa_line, "ISA*LOGGER%d", n);
      std::string input = "logger input " + std::to_string(n);
      t.ibufferp = input.data();
      t.ibuf_length = static_cast<int>(input.size());
      for (int i = 0;; i++) {
        if (n == 0 && second && go) {
          snprintf(t.isa_line, sizeof t.isa_line, "%s", "ISA*SECOND");
          t.who = ZV_WHO_STD_SERVER;
          t.ibufferp = second_input.data();
          t.ibuf_length = static_cast<int>(second_input.size());
          transaction_logging(&t, ZV_ERRM_CANNOT_READ_OWN_CERT);
        }
        if (n == 4) {
          iUpdateTPActiveDB(partner[i % 3].isaid, i % 2 == 0 ? 1 : -1);
          alert_logging(&t, 5);
        } else if (n == 5) {
          zv_log_init("zolvar.log", "zolvar.err", alertFileName);
        } else {
          transaction_logging(&t, i % 16 == 0 ? 5 : 0);
        }
        ops++;
      }
    }).detach();
  }
  // Until every thread is well under way; never longer than a generous bound.
  for (int i = 0; i < 20000 && ops < 600; i++) usleep(500);
  Trans_ctl_rec t;
  memset(&t, 0, sizeof t);
  t.who = ZV_WHO_STD_CLIENT;
  t.msg_type = 2;
  t.dest_ip = kIp;
  t.dest_port = 5000;
  t.tp_index = 1;
  snprintf(t.isa_line, sizeof t.isa_line, "%s", "ISA*FATAL");
  std::string input = "FATAL-INPUT";
  t.ibufferp = input.data();
  t.ibuf_length = static_cast<int>(input.size());
  go = true;
  transaction_logging(&t, ZV_ERRM_CANNOT_READ_OWN_KEY);
  _exit(100);  // not reached
}

TEST_F(TransLog, FatalCodeUnderLoggingThreadsEndsWithItsStatusEveryTime) {
  testing::internal::CaptureStderr();
  vCleanupDBs();  // each child makes its own tables
  testing::internal::GetCapturedStderr();
  constexpr int kRuns = 30;
  for (int run = 0; run < kRuns; run++) {
    std::string dir = dir_ + "/run" + std::to_string(run);
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    for (const char *d : kDirs) ASSERT_EQ(mkdir((dir + "/" + d).c_str(), 0755), 0) << d;
    fflush(nullptr);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      if (chdir(dir.c_str()) != 0) _exit(122);
      fatal_under_logging_threads(run);
    }
    int status = zvtest::wait_daemon(child, 60000);
    SCOPED_TRACE("run " + std::to_string(run) + " status " + std::to_string(status));
    if (run % 2 == 0) {
      ASSERT_EQ(status, 255);
    } else {
      ASSERT_TRUE(status == 255 || status == 254);
    }
    // The code the process ended with has its line, its alert and its copy.
    const bool first = status == 255;
    const std::string code = first ? "-1" : "-2";
    const std::string log = dir + "/" + (first ? "client_trans.log" : "server_trans.log");
    const std::string isa = pad104(first ? "ISA*FATAL" : "ISA*SECOND");
    int lines = 0;
    for (const std::string &l : zvtest::split_lines(read(log)))
      if (l.find("|" + isa + "|") != std::string::npos) {
        EXPECT_EQ(l.substr(l.size() - code.size() - 1), "|" + code) << l;
        lines++;
      }
    EXPECT_EQ(lines, 1);
    const std::string text = first ? "Cannot read own private key" : "Cannot read own certificate";
    const std::regex alert(R"(\d{8} \d{6}\|\d\|(AB|CDE|FGHIJ)\|10\.1\.2\.3:\d+\|)" + code +
                           "\\|" + text + " - Cannot continue");
    int alerts = 0;
    for (const std::string &l : zvtest::split_lines(read(dir + "/zolvar.alert")))
      alerts += std::regex_match(l, alert) ? 1 : 0;
    EXPECT_EQ(alerts, 1);
    const std::string copy_dir = dir + "/" + (first ? kDirs[0] : kDirs[2]);
    int copies = 0;
    for (const std::string &f : zvtest::list_dir(copy_dir))
      if (read(copy_dir + "/" + f) == (first ? "FATAL-INPUT" : "SECOND-FATAL-INPUT")) copies++;
    EXPECT_EQ(copies, 1);

    EXPECT_EQ(zvtest::split_lines(read(dir + "/tpacache.db")).size(), 65u);
    for (const std::string &f : zvtest::list_dir(dir))
      EXPECT_EQ(f.find(".sem"), std::string::npos) << f;
    EXPECT_FALSE(zvtest::file_exists("/tmp/mm.core." + std::to_string(child) + ".sem"));
    std::string err = read(dir + "/child.err");
    EXPECT_NE(err.find("Destroying shared memory database TPactiveDB\n"), std::string::npos);
    const std::string last = "Process exit with vZVExit()\n";
    ASSERT_GE(err.size(), last.size());
    EXPECT_EQ(err.substr(err.size() - last.size()), last);
    if (HasFailure()) break;
  }
}

TEST_F(TransLog, ThreadsLoggingAtOnceWriteWholeLines) {
  constexpr int kThreads = 8, kEach = 150;
  ASSERT_EQ(THREAD_setup(), 0);  // the log lock becomes a real mutex, as in clientd
  std::vector<std::thread> threads;
  for (int n = 0; n < kThreads; n++) {
    threads.emplace_back([n] {
      Trans_ctl_rec t;
      memset(&t, 0, sizeof t);
      t.who = n % 2 == 0 ? 0 : 4;  // two roles sharing one log file
      t.msg_type = 1;
      t.dest_ip = kIp;
      t.dest_port = 7000 + n;
      t.tp_index = n % 3;
      std::string letters(80, static_cast<char>('a' + n));
      snprintf(t.isa_line, sizeof t.isa_line, "ISA*THREAD%d*%s", n, letters.c_str());
      for (int i = 0; i < kEach; i++) transaction_logging(&t, i % 2 == 0 ? 0 : 5);
    });
  }
  for (auto &th : threads) th.join();
  THREAD_cleanup();

  std::vector<std::string> lines = zvtest::split_lines(read("client_trans.log"));
  ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kEach));
  const std::regex shape(R"(\d{8} \d{6}\|1\|ISA\*THREAD(\d)\*([a-h])\2{79} {12})"
                         R"(\|10\.1\.2\.3:70(\d\d)\|(0|5))");
  std::map<int, int> per_thread;
  for (const std::string &line : lines) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, shape)) << line;
    int n = std::stoi(m[1]);
    EXPECT_EQ(m[2].str()[0], 'a' + n) << line;
    EXPECT_EQ(std::stoi(m[3]), n) << line;
    per_thread[n]++;
  }
  for (int n = 0; n < kThreads; n++) EXPECT_EQ(per_thread[n], kEach) << n;

  std::vector<std::string> alerts = zvtest::split_lines(read("zolvar.alert"));
  ASSERT_EQ(alerts.size(), static_cast<size_t>(kThreads * kEach / 2));
  const std::regex alert_shape(
      R"(\d{8} \d{6}\|1\|(AB|CDE|FGHIJ)\|10\.1\.2\.3:70\d\d\|5\|)"
      R"(Cannot connect to remote ZV server)");
  for (const std::string &line : alerts) EXPECT_TRUE(std::regex_match(line, alert_shape)) << line;
  EXPECT_EQ(ptZvStatus->iConnections, kThreads * kEach);
  EXPECT_EQ(ptZvStatus->iMsgCounts[1], kThreads * kEach / 2);
  EXPECT_EQ(ptZvStatus->iMsgErrors[1], kThreads * kEach / 2);
  EXPECT_EQ(zvtest::list_dir(kDirs[0]).size() + zvtest::list_dir(kDirs[1]).size(), 0u);
}

TEST_F(TransLog, AlertsWrittenWhileTheLogsAreReopenedAreAllKept) {
  // A SIGUSR1 reopen replaces the alert stream while other threads write alerts: no
  // write may reach a stream the reopen closed, and no line may be lost.
  constexpr int kThreads = 4, kEach = 200;
  ASSERT_EQ(THREAD_setup(), 0);
  std::atomic<bool> done{false};
  std::thread reopener([&] {
    while (!done) zv_log_init("", "", alertFileName);
  });
  std::vector<std::thread> writers;
  for (int n = 0; n < kThreads; n++) {
    writers.emplace_back([n] {
      Trans_ctl_rec t;
      memset(&t, 0, sizeof t);
      t.who = 0;
      t.msg_type = 1;
      t.dest_ip = kIp;
      t.dest_port = 7000 + n;
      t.tp_index = 0;
      for (int i = 0; i < kEach; i++) alert_logging(&t, 5);
    });
  }
  for (auto &th : writers) th.join();
  done = true;
  reopener.join();
  zv_close_alertfile();
  THREAD_cleanup();
  std::vector<std::string> alerts = zvtest::split_lines(read("zolvar.alert"));
  ASSERT_EQ(alerts.size(), static_cast<size_t>(kThreads * kEach));
  const std::regex shape(R"(\d{8} \d{6}\|1\|AB\|10\.1\.2\.3:700\d\|5\|)"
                         R"(Cannot connect to remote ZV server)");
  for (const std::string &line : alerts) EXPECT_TRUE(std::regex_match(line, shape)) << line;
}

// The send entry of the transport, recording what it was handed.
struct SentStatus {
  int calls = 0;
  Trans_ctl_rec rec;
  std::string input;
  std::string address;
  int result = 0;
};
SentStatus sent;

int fake_send(Trans_ctl_rec *t, st_socaddr_t *addr) {
  sent.calls++;
  sent.rec = *t;
  sent.input.assign(t->ibufferp, t->ibuf_length);
  sent.address = *addr;
  return sent.result;
}

TEST_F(TransLog, StopStatusIsSentToTheReceiptClient) {
  sent = SentStatus{};
  zv_services.send_transport_msg = fake_send;
  Trans_ctl_rec t = record(2, 1, true, false);
  t.iPriority = 1;
  unsigned char buf[128];
  memset(buf, 0xee, sizeof buf);
  ASSERT_EQ(iGenerateZvStatus(&t, buf, nullptr), 0);
  const std::string text = "ZVS:             AB:STOP_WAN";
  EXPECT_EQ(std::string(reinterpret_cast<char *>(buf)), text);
  EXPECT_EQ(buf[29], 0xee);
  ASSERT_EQ(sent.calls, 1);
  EXPECT_EQ(zvtest::hex(sent.input), zvtest::hex(text + std::string(1, '\0')));
  EXPECT_EQ(sent.rec.who, 1);
  EXPECT_EQ(sent.rec.iPriority, 1);
  EXPECT_EQ(sent.rec.tp_index, 0);
  EXPECT_EQ(sent.rec.msg_type, 0);
  EXPECT_EQ(sent.rec.dest_port, 0);
  EXPECT_STREQ(sent.rec.dest_ip, "");
  EXPECT_EQ(sent.rec.ibuf_length, 29);
  EXPECT_EQ(sent.rec.imsg_length, 29);
  EXPECT_EQ(sent.rec.ibuf_alloc_length, 29);
  EXPECT_EQ(sent.rec.obufferp, nullptr);
  EXPECT_EQ(sent.rec.pLocalCert, nullptr);
  EXPECT_EQ(sent.rec.digest_length, 0);
  EXPECT_EQ(sent.address, "127.0.0.1:8000");
  EXPECT_FALSE(zvtest::file_exists("server_trans.log"));

  t.tp_index = 2;
  ASSERT_EQ(iGenerateZvStatus(&t, buf, nullptr), 0);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(buf)), "ZVS:          FGHIJ:STOP_WAN");
}

TEST_F(TransLog, StatusThatCannotBeSentIsReportedOnTheCallersRecord) {
  sent = SentStatus{};
  sent.result = -1;
  Trans_ctl_rec t = record(3, 1, true, false);
  unsigned char buf[128];
  for (bool with_transport : {true, false}) {
    zv_services.send_transport_msg = with_transport ? fake_send : nullptr;
    EXPECT_EQ(iGenerateZvStatus(&t, buf, nullptr), -1);
  }
  EXPECT_EQ(sent.calls, 1);
  EXPECT_EQ(t.status, -30);
  std::vector<std::string> lines = zvtest::split_lines(read("hipri_trans.log"));
  ASSERT_EQ(lines.size(), 2u);
  for (const std::string &line : lines) {
    EXPECT_EQ(log_tail(line), "1|" + pad104(kIsa) + "|10.1.2.3:5000|-30");
  }
  EXPECT_EQ(zvtest::split_lines(read("zolvar.alert")).size(), 2u);
}

TEST_F(TransLog, AlertRingKeepsTheLastTenLines) {
  Trans_ctl_rec t = record(0, 1, false, false);
  for (int i = 0; i < 13; i++) {
    t.msg_type = i;
    t.tp_index = i % 4 == 3 ? -1 : i % 3;
    ASSERT_EQ(alert_logging(&t, i % 2 == 0 ? 5 : 23), 0);
  }
  ASSERT_EQ(iReadAlertLines("zolvar.alert"), 0);
  EXPECT_EQ(tAlert.iEnd, 3);
  EXPECT_EQ(tAlert.iLoopedFlag, 1);
  EXPECT_EQ(iCalcAlertIndex(11), -1);
  EXPECT_EQ(iCalcAlertIndex(-1), -1);
  EXPECT_EQ(iCalcAlertIndex(0), 3);
  EXPECT_EQ(iCalcAlertIndex(7), 0);
  EXPECT_EQ(iCalcAlertIndex(9), 2);

  // The i-th oldest of the ring is line 3 + i of the file.
  const char *ids[] = {"AB", "CDE", "FGHIJ"};
  for (int i = 0; i < 10; i++) {
    int line = 3 + i;
    const cache_tag &e = tAlert.cache[iCalcAlertIndex(i)];
    bool no_partner = line % 4 == 3;
    EXPECT_TRUE(recent_stamp(e.sTimeStamp)) << i;
    EXPECT_EQ(e.iMessage, line) << i;
    EXPECT_STREQ(e.sTPisaID, no_partner ? "" : ids[line % 3]) << i;
    EXPECT_STREQ(e.sIPaddr, no_partner ? "" : "10.1.2.3:5000") << i;
    EXPECT_EQ(e.iErrNumber, line % 2 == 0 ? 5 : 23) << i;
    EXPECT_STREQ(e.sErrMsg, line % 2 == 0 ? "Cannot connect to remote ZV server\n"
                                          : "This Trading Partner has too many connections")
        << i;
  }
}

TEST_F(TransLog, AlertRingBeforeItWrapsAndWithoutAFile) {
  zvtest::write_file("alerts", "20240101 000000|1|AB|1.2.3.4:5|5|text\n"
                               "20240101 000001|2\n"
                               "20240101 000002|3|ABCDEFGHIJKLMNOPQRS|123456789012345678901234|7|"
                               "x|y|z");
  ASSERT_EQ(iReadAlertLines("alerts"), 0);
  EXPECT_EQ(tAlert.iEnd, 3);
  EXPECT_EQ(tAlert.iLoopedFlag, 0);
  EXPECT_EQ(iCalcAlertIndex(0), 0);
  EXPECT_EQ(iCalcAlertIndex(2), 2);
  EXPECT_EQ(iCalcAlertIndex(3), -1);
  EXPECT_EQ(iCalcAlertIndex(10), -1);
  EXPECT_STREQ(tAlert.cache[0].sErrMsg, "text\n");
  EXPECT_EQ(tAlert.cache[1].iMessage, 2);
  EXPECT_STREQ(tAlert.cache[1].sTPisaID, "");
  EXPECT_EQ(tAlert.cache[1].iErrNumber, 0);
  EXPECT_STREQ(tAlert.cache[2].sTPisaID, "ABCDEFGHIJKLMNO");
  EXPECT_STREQ(tAlert.cache[2].sIPaddr, "12345678901234567890");
  EXPECT_STREQ(tAlert.cache[2].sErrMsg, "x|y|z");

  ASSERT_EQ(iReadAlertLines("no-such-file"), 0);
  EXPECT_EQ(tAlert.iEnd, -1);
  EXPECT_EQ(tAlert.iLoopedFlag, 0);
  EXPECT_EQ(iCalcAlertIndex(0), -1);

  ASSERT_EQ(mkdir("a-directory", 0755), 0);  // opens, but every read fails
  EXPECT_EQ(iReadAlertLines("a-directory"), -1);
  EXPECT_EQ(is_failover_full(STD_PORT), 0);
  EXPECT_EQ(is_failover_full(HIPRI_PORT), 0);
}

}  // namespace
