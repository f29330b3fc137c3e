#include "runtime/zv_log.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <cwchar>
#include <regex>
#include <thread>
#include <vector>

#include <fcntl.h>

#include <openssl/crypto.h>
#include <openssl/x509.h>

#include "runtime/zv_globals.h"
#include "runtime/zv_services.h"
#include "tests/runtime/runtime_test_util.h"
#include "tests/support/zv_test_support.h"

namespace {

using rtt::capture;
using rtt::count_of;
using rtt::strip_prefix;

class ZvLog : public testing::Test {
 protected:
  void SetUp() override {
    rtt::reset_globals();
    zv_init_thr_list();
    zv_set_thread(0);
  }
  void TearDown() override {
    THREAD_cleanup();
    rtt::reset_globals();
  }
};

// ---- prefix ------------------------------------------------------------------------

TEST_F(ZvLog, PrefixCarriesTimeProgramPidAndSlot) {
  mypid = 7;
  char line[ZV_LOG_LINE_SIZE];
  int n = zv_logme2(line);
  EXPECT_EQ(n, static_cast<int>(strlen(line)));
  EXPECT_TRUE(std::regex_match(line, std::regex(R"(\d{8} \d{6}\.\d{3}:clientd\(00007:00\):)")))
      << line;
  // The time is local time of this second.
  time_t now = time(nullptr);
  struct tm tmv;
  localtime_r(&now, &tmv);
  char day[16];
  strftime(day, sizeof day, "%Y%m%d", &tmv);
  EXPECT_EQ(std::string(line, 8), day);
}

TEST_F(ZvLog, PrefixShowsTheThreadSlotAndZeroForUnregisteredThreads) {
  std::string registered, unregistered;
  std::thread a([&] {
    zv_set_thread(1);
    char line[ZV_LOG_LINE_SIZE];
    zv_logme2(line);
    registered = line;
    zv_done_thread(1);
  });
  a.join();
  std::thread b([&] {
    char line[ZV_LOG_LINE_SIZE];
    zv_logme2(line);
    unregistered = line;
  });
  b.join();
  EXPECT_NE(registered.find("clientd(04242:01):"), std::string::npos) << registered;
  EXPECT_NE(unregistered.find("clientd(04242:00):"), std::string::npos) << unregistered;
}

TEST_F(ZvLog, MessageFollowsThePrefixDirectlyAndNoNewlineIsAdded) {
  auto c = capture([] { zv_log(-1, "ERROR: x=%d", 5); });
  ASSERT_TRUE(rtt::has_prefix(c.err, "clientd", 4242, 0)) << c.err;
  EXPECT_EQ(c.err.substr(c.err.find("):") + 2), "ERROR: x=5");
}

// A file name or a peer's text with control characters in it stays on its one line,
// escaped; the newline that ends the message is kept, and the banner level is left as
// it is.
TEST_F(ZvLog, ControlCharactersOfAMessageAreEscapedOnItsOneLine) {
  const std::string name = std::string("in_dir/a.edi\n20260101 000000.000:clientd(00001:00):"
                                       "FORGED\r\t\x01\x7f\\x") +
                           "\xc3\xa9";
  auto c = capture([&] {
    zv_log(-1, "WARNING: %s is not a regular file\n", name.c_str());
    zv_log(0, "%s", "no newline\x1b[2J");
    zv_log(-3, "\n%s\n\tline two\n", "banner");
  });
  std::vector<std::string> err = zvtest::split_lines(c.err);
  ASSERT_EQ(err.size(), 1u) << c.err;
  EXPECT_EQ(strip_prefix(err[0]),
            std::vector<std::string>{
                "WARNING: in_dir/a.edi\\n20260101 000000.000:clientd(00001:00):FORGED"
                "\\r\\t\\x01\x7f\\x\xc3\xa9 is not a regular file"});
  EXPECT_EQ(c.err.back(), '\n');
  std::string out = c.out.substr(c.out.find("):") + 2);
  EXPECT_EQ(out, "no newline\\x1b[2J\nbanner\n\tline two\n");
}

// ---- level table -------------------------------------------------------------------

struct LevelCase {
  int level;
  int debug;
  int verbose;
  int out_lines;  // prefixed lines on standard output
  int err_lines;  // prefixed lines on standard error
};

TEST_F(ZvLog, LevelTableRoutesEachLevel) {
  const LevelCase cases[] = {
      {-5, 0, 0, 0, 1},      {-4, 0, 0, 1, 0},      {-1, 0, 0, 0, 1},
      {0, 0, 0, 1, 0},       {-2, 0, 0, 0, 0},      {-2, 0, 1, 1, 0},
      {-2, 1, 0, 0, 1},      {-2, 1, 1, 1, 1},      {-2, 2, 0, 0, 0},
      {1, 1, 0, 0, 1},       {1, 0, 0, 0, 0},       {1, 2, 0, 0, 0},
      {2, 2, 0, 0, 1},       {4, 4, 0, 0, 1},       {8, 8, 0, 0, 1},
      {16, 16, 0, 0, 1},     {32, 32, 0, 0, 1},     {64, 64, 0, 0, 1},
      {128, 128, 0, 0, 1},   {512, 512, 0, 0, 1},   {1024, 1024, 0, 0, 1},
      {2048, 2048, 0, 0, 1}, {2048, 1024, 0, 0, 0}, {256, 0x7fffffff, 1, 0, 0},
      {3, 0x7fffffff, 1, 0, 0},  {-6, 0x7fffffff, 1, 0, 0}, {4096, 0x7fffffff, 1, 0, 0},
      {-100, 0x7fffffff, 1, 0, 0}, {9, 0x7fffffff, 1, 0, 0},
  };
  for (const LevelCase &k : cases) {
    debug_level = k.debug;
    verbose_flag = k.verbose;
    auto c = capture([&] { zv_log(k.level, "line at %d\n", k.level); });
    int out_prefixed = 0, err_prefixed = 0;
    auto out = strip_prefix(c.out, &out_prefixed);
    auto err = strip_prefix(c.err, &err_prefixed);
    SCOPED_TRACE("level " + std::to_string(k.level) + " debug " + std::to_string(k.debug) +
                 " verbose " + std::to_string(k.verbose) + "\nout: " + c.out +
                 "\nerr: " + c.err);
    EXPECT_EQ(static_cast<int>(out.size()), k.out_lines);
    EXPECT_EQ(out_prefixed, k.out_lines);
    EXPECT_EQ(static_cast<int>(err.size()), k.err_lines);
    EXPECT_EQ(err_prefixed, k.err_lines);
    for (const auto &l : out) EXPECT_EQ(l, "line at " + std::to_string(k.level));
    for (const auto &l : err) EXPECT_EQ(l, "line at " + std::to_string(k.level));
  }
}

TEST_F(ZvLog, BannerLevelWritesWithoutPrefixAndFlushes) {
  auto c = capture([] { zv_log(-3, "\nbanner %s\n", "text"); });
  EXPECT_EQ(c.out, "\nbanner text\n");
  EXPECT_EQ(c.err, "");
}

TEST_F(ZvLog, LongMessageIsCutAtTheLineBufferAndKeepsItsNewline) {
  std::string big(100000, 'x');
  auto c = capture([&] {
    zv_log(-1, "%s\n", big.c_str());
    zv_log(-1, "next\n");
  });
  std::vector<std::string> lines = zvtest::split_lines(c.err);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].size(), static_cast<size_t>(ZV_LOG_LINE_SIZE - 2));
  EXPECT_EQ(lines[0].back(), 'x');
  EXPECT_EQ(strip_prefix(lines[1]), std::vector<std::string>{"next"});
  // A dump line that long, as the raw-input and ASN.1 dumps pass it on.
  debug_level = 1;
  std::string raw = big + "\nshort";
  c = capture([&] { dump_raw_input(raw.data(), static_cast<int>(raw.size())); });
  lines = zvtest::split_lines(c.err);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(c.err[ZV_LOG_LINE_SIZE - 2], '\n');
  EXPECT_EQ(strip_prefix(lines[1]), std::vector<std::string>{"  short"});
  c = capture([&] { zv_log(1, "  %s", (big + "\n").c_str()); });
  EXPECT_EQ(c.err.size(), static_cast<size_t>(ZV_LOG_LINE_SIZE - 1));
  EXPECT_EQ(c.err.back(), '\n');
}

TEST_F(ZvLog, FormattingFailureIsReportedAndTheReopenWaits) {
  // A wide character that the C locale cannot convert makes the formatter fail.
  setlocale(LC_ALL, "C");
  zv_flushlogs = 1;
  auto c = capture([] { zv_log(-1, "%ls", L"\x00e9"); });
  EXPECT_EQ(c.err, "ERROR: logging, vsprintf error, ret = -1.\n");
  EXPECT_EQ(zv_flushlogs.load(), 1);
}

// ---- log files and the reopen ------------------------------------------------------

class ZvLogFiles : public ZvLog {
 protected:
  void SetUp() override {
    ZvLog::SetUp();
    dir_ = zvtest::scratch_dir("logfiles");
    set(logFileName, dir_ + "/zolvar.log");
    set(errorFileName, dir_ + "/zolvar.err");
    set(alertFileName, dir_ + "/zolvar.alert");
  }
  static void set(char *dst, const std::string &v) {
    snprintf(dst, ZV_PATH_SIZE, "%s", v.c_str());
  }
  std::string dir_;
};

TEST_F(ZvLogFiles, InitCreatesTheThreeFilesAndLogsTheStartLines) {
  auto c = capture([] { zv_log_init(logFileName, errorFileName, alertFileName); });
  for (const char *f : {"zolvar.log", "zolvar.err", "zolvar.alert"}) {
    EXPECT_TRUE(zvtest::file_exists(dir_ + "/" + f)) << f;
  }
  EXPECT_EQ(strip_prefix(c.err), std::vector<std::string>{"Starting clientd Process ==================" });
  EXPECT_EQ(strip_prefix(c.out), std::vector<std::string>{"Starting clientd Process ==================" });
  ASSERT_NE(logfile, nullptr);
  ASSERT_NE(errlogfile, nullptr);
  ASSERT_NE(alertfile, nullptr);
  EXPECT_NE(logfile, stderr);
  EXPECT_NE(errlogfile, stderr);
  // Nothing is ever written to the log and error-log files.
  debug_level = 0x7fffffff;
  verbose_flag = 1;
  capture([] {
    for (int level : {-5, -4, -3, -2, -1, 0, 1, 2048}) zv_log(level, "some text\n");
  });
  zv_log_close();
  EXPECT_EQ(zvtest::read_file(dir_ + "/zolvar.log"), "");
  EXPECT_EQ(zvtest::read_file(dir_ + "/zolvar.err"), "");
  EXPECT_EQ(zvtest::read_file(dir_ + "/zolvar.alert"), "");
}

TEST_F(ZvLogFiles, UnopenableFilesFallBackWithTheirMessages) {
  std::string bad = dir_ + "/no/such/dir";
  set(logFileName, bad + "/zolvar.log");
  set(errorFileName, bad + "/zolvar.err");
  set(alertFileName, bad + "/zolvar.alert");
  auto c = capture([] { zv_log_init(logFileName, errorFileName, alertFileName); });
  EXPECT_EQ(errlogfile, stderr);
  EXPECT_EQ(logfile, stderr);
  EXPECT_EQ(alertfile, stderr);
  // Each fallback text is a line of its own.
  EXPECT_EQ(strip_prefix(c.err),
            (std::vector<std::string>{
                "Can't open " + bad + "/zolvar.err, error Log to stderr",
                "Can't open " + bad + "/zolvar.log, Log to stderr",
                "Can't open " + bad + "/zolvar.alert, Logging all alerts to " + bad +
                    "/zolvar.err"}))
      << c.err;
  EXPECT_FALSE(zv_log_refused());
  EXPECT_EQ(c.out, "");
  // A reopen and the final close leave standard error open.
  zv_flushlogs = 1;
  capture([] { zv_log(256, "nothing\n"); });
  zv_log_close();
  EXPECT_NE(fcntl(2, F_GETFD), -1);
  auto after = capture([] { zv_log(-1, "still here\n"); });
  EXPECT_EQ(strip_prefix(after.err), std::vector<std::string>{"still here"});
}

TEST_F(ZvLogFiles, AlertStandInFollowsTheErrorLogThroughReopens) {
  set(alertFileName, dir_ + "/missing/zolvar.alert");
  capture([] { zv_log_init(logFileName, errorFileName, alertFileName); });
  ASSERT_NE(errlogfile, stderr);
  EXPECT_EQ(alertfile, errlogfile);
  for (int i = 0; i < 3; ++i) {
    zv_flushlogs = 1;
    capture([] { zv_log(256, "x\n"); });
    EXPECT_EQ(alertfile, errlogfile);
  }
  // Writing through the stand-in reaches the error-log file; closing never closes a
  // stream twice (the sanitizer build would report it).
  fputs("alert via stand-in\n", alertfile);
  zv_close_alertfile();
  EXPECT_EQ(alertfile, nullptr);
  ASSERT_NE(errlogfile, nullptr);
  zv_log_close();
  EXPECT_EQ(zvtest::read_file(dir_ + "/zolvar.err"), "alert via stand-in\n");
}

TEST_F(ZvLogFiles, PendingReopenIsCarriedOutByTheNextCallEvenWhenItWritesNothing) {
  capture([] { zv_log_init(logFileName, errorFileName, alertFileName); });
  for (const char *f : {"zolvar.log", "zolvar.err", "zolvar.alert"})
    ASSERT_EQ(unlink((dir_ + "/" + f).c_str()), 0);
  zv_flushlogs = 1;
  auto c = capture([] { zv_log(256, "never written\n"); });
  EXPECT_EQ(zv_flushlogs.load(), 0);
  for (const char *f : {"zolvar.log", "zolvar.err", "zolvar.alert"})
    EXPECT_TRUE(zvtest::file_exists(dir_ + "/" + f)) << f;
  EXPECT_EQ(count_of(c.err, "Starting clientd Process"), 1);
  EXPECT_EQ(count_of(c.out, "Starting clientd Process"), 1);
  EXPECT_EQ(c.err.find("never written"), std::string::npos);
  // Without a request, no reopen.
  auto again = capture([] { zv_log(256, "x\n"); });
  EXPECT_EQ(again.out, "");
  EXPECT_EQ(again.err, "");
}

TEST_F(ZvLogFiles, EachRequestGivesExactlyOneReopenAcrossThreads) {
  capture([] { zv_log_init(logFileName, errorFileName, "" ); });
  constexpr int kRounds = 20;
  std::atomic<bool> stop{false};
  auto c = capture([&] {
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t)
      threads.emplace_back([&] {
        while (!stop) zv_log(256, "x\n");
      });
    for (int r = 0; r < kRounds; ++r) {
      zv_flushlogs = 1;
      ASSERT_TRUE(zvtest::wait_for([] { return zv_flushlogs.load() == 0; }, 10000));
    }
    stop = true;
    for (auto &t : threads) t.join();
  });
  EXPECT_EQ(count_of(c.out, "Starting clientd Process"), kRounds);
  EXPECT_EQ(count_of(c.err, "Starting clientd Process"), kRounds);
}

// ---- texts -------------------------------------------------------------------------

TEST_F(ZvLog, PrintVersionNamesTheLinkedCryptoLibrary) {
  auto c = capture([] { print_version(); });
  std::string using_line =
      std::string("\tusing OpenSSL ") + OpenSSL_version(OPENSSL_VERSION_STRING) + " \n";
  EXPECT_NE(c.out.find(using_line), std::string::npos) << c.out;
  EXPECT_NE(c.out.find("3.1.1"), std::string::npos);
  std::string tail =
      "\n\tThis version supports both TCIF-98-006 Issue 2 Revision 1 (06/2001)\n"
      "\tand TCIF-98-006 Issue 3 Revision 2 (12/2001)\n\n\nStarting in COMBINED mode\n";
  ASSERT_GE(c.out.size(), tail.size());
  EXPECT_EQ(c.out.substr(c.out.size() - tail.size()), tail);
  int prefixed = 0;
  strip_prefix(c.out, &prefixed);
  EXPECT_EQ(prefixed, 0);
  EXPECT_EQ(c.err, "");
}

TEST_F(ZvLog, MakeMessageGrowsUntilTheTextFits) {
  for (size_t len : {0u, 10u, 2047u, 2048u, 5000u, 70000u}) {
    std::string arg(len, 'q');
    char *m = make_message("<%s|%d>", arg.c_str(), 42);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(std::string(m), "<" + arg + "|42>") << len;
    free(m);
  }
}

TEST_F(ZvLog, LogErrnoAppendsTheSystemError) {
  auto c = capture([] {
    errno = ENOENT;
    zv_logerrno("open %s failed", "x.conf");
  });
  EXPECT_EQ(strip_prefix(c.err),
            std::vector<std::string>{"open x.conf failed (No such file or directory #2)"});
  EXPECT_EQ(c.err.back(), ')');
}

// ---- raw input dump ----------------------------------------------------------------

TEST_F(ZvLog, DumpRawInputSplitsLines) {
  struct Case {
    std::string bytes;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {std::string("a\n\nb"), {"  a", "  b"}},
      {std::string("abc\nd"), {"  abc", "  d"}},
      {std::string("one\n"), {"  one"}},
      {std::string("\n\n\n"), {}},
      {std::string("x\0y\nz", 5), {"  x"}},
      {std::string("\0abc", 4), {}},
      {std::string("tail without newline"), {"  tail without newline"}},
      {std::string("ISA*00*\r\nGS*\r\n"), {"  ISA*00*\\r", "  GS*\\r"}},
  };
  debug_level = 1;
  for (const Case &k : cases) {
    auto c = capture([&] { dump_raw_input(k.bytes.data(), static_cast<int>(k.bytes.size())); });
    int prefixed = 0;
    EXPECT_EQ(strip_prefix(c.err, &prefixed), k.lines) << zvtest::hex(k.bytes);
    EXPECT_EQ(prefixed, static_cast<int>(k.lines.size()));
  }
  // A length shorter than the text dumps only that much.
  auto c = capture([] { dump_raw_input("abc\ndef", 2); });
  EXPECT_EQ(strip_prefix(c.err), std::vector<std::string>{"  ab"});
  debug_level = 0;
  auto off = capture([] { dump_raw_input("a\nb", 3); });
  EXPECT_EQ(off.err, "");
}

// ---- record dumps ------------------------------------------------------------------

int fake_dump_calls = 0;
int fake_dump_X509(X509 *) {
  ++fake_dump_calls;
  zv_log(1, "CERTIFICATE PRINTOUT\n");
  return 0;
}

Trans_ctl_rec sample_record() {
  Trans_ctl_rec t{};
  t.who = 1;
  t.msg_type = 2;
  t.iPriority = 1;
  snprintf(t.isa_line, sizeof t.isa_line, "%s", "ISA*00*          *00*");
  static char ip[] = "10.1.2.3";
  t.dest_ip = ip;
  t.dest_port = 6998;
  t.status = -30;
  t.ibuf_length = 12;
  t.obuf_length = 34;
  snprintf(t.digest, sizeof t.digest, "%s", "0a1b2c");
  t.tp_index = 0;
  t.zvp_version = 3;
  return t;
}

TEST_F(ZvLog, DumpTctlpWritesTheRecordAtTheGivenLevel) {
  snprintf(partner[0].isaid, sizeof partner[0].isaid, "%s", "PARTNERA");
  Trans_ctl_rec t = sample_record();
  debug_level = 8;
  auto c = capture([&] { EXPECT_EQ(dump_tctlp(8, &t), 0); });
  std::vector<std::string> want = {
      "-- dump_tctlp -----------------------------",
      "  who= Receipt Client, clientd(4242)",
      "  tp_index= 0, iPriority= 1, zvp_version= 3",
      "  dest_ip_port= 10.1.2.3:6998",
      "  isa_line= " + std::string("ISA*00*          *00*") + std::string(104 - 21, ' '),
      "  msg_type= 2",
      "  status= -30",
      "  ibuf_length= 12",
      "  obuf_length= 34",
      "  digest= 0a1b2c",
      "  isaid= PARTNERA",
      "-- END of dump_tctlp ----------------------",
  };
  EXPECT_EQ(strip_prefix(c.err), want);

  // Without a partner and an ISA line those lines are left out; unknown roles are named.
  t.tp_index = -1;
  t.isa_line[0] = '\0';
  t.who = 9;
  auto d = capture([&] { dump_tctlp(8, &t); });
  auto lines = strip_prefix(d.err);
  ASSERT_EQ(lines.size(), 9u) << d.err;
  EXPECT_EQ(lines[1], "  who= Unknown process (9), clientd(4242)");
  EXPECT_EQ(lines[3], "  msg_type= 2");

  // A level not set in debug_level writes nothing.
  debug_level = 1;
  auto none = capture([&] { dump_tctlp(8, &t); });
  EXPECT_EQ(none.err, "");
}

TEST_F(ZvLog, DumpTctlpPrintsCertificatesUnderBit128) {
  zv_services_t saved = zv_services;
  zv_services.dump_X509 = fake_dump_X509;
  Trans_ctl_rec t = sample_record();
  X509 *cert = X509_new();
  t.pLocalCert = cert;
  debug_level = 8 | 128 | 1;
  fake_dump_calls = 0;
  auto c = capture([&] { dump_tctlp(8, &t); });
  auto lines = strip_prefix(c.err);
  std::vector<std::string> certs(lines.begin() + 6, lines.begin() + 10);
  EXPECT_EQ(certs, (std::vector<std::string>{
                       "== Local X.509 Cert =======================",
                       "CERTIFICATE PRINTOUT",
                       "== END of Local X.509 Cert ================",
                       "Remote Cert is NULL",
                   }))
      << c.err;
  EXPECT_EQ(fake_dump_calls, 1);
  X509_free(cert);
  zv_services = saved;
}

TEST_F(ZvLog, DumpTctlpAllAddsBufferDetailsBetweenTaggedLines) {
  Trans_ctl_rec t = sample_record();
  char in[] = "ABC";
  t.ibufferp = in;
  t.ibuf_length = 3;
  t.ibuf_alloc_length = 3;
  t.imsg_length = 3;
  debug_level = 8;
  auto c = capture([&] { dump_tctlp_all(8, &t, 7); });
  auto lines = strip_prefix(c.err);
  ASSERT_GE(lines.size(), 8u);
  EXPECT_EQ(lines.front(), "-- dump_tctlp_all 07 ------------------------");
  EXPECT_EQ(lines.back(), "-- END of dump_tctlp_all 07 -----------------");
  size_t n = lines.size();
  EXPECT_EQ(lines[n - 7], "  ibuf_alloc_length = 3");
  EXPECT_EQ(lines[n - 6], "  imsg_length = 3");
  EXPECT_TRUE(std::regex_match(lines[n - 5], std::regex(R"(  ibufferp = 0x[0-9A-F]+ \[41 42 43 0 0 0\])")))
      << lines[n - 5];
  EXPECT_EQ(lines[n - 2], "  obufferp = 0x0 NULL");
}

// ---- thread registry ---------------------------------------------------------------

TEST_F(ZvLog, RegistryHandsOutSlotsAndCountsByType) {
  EXPECT_EQ(zv_get_thread(), 0u);
  EXPECT_EQ(zv_set_thread(0), 2);  // registered again in SetUp's slot, counted twice
  EXPECT_EQ(zv_get_thread(), 0u);
  unsigned first = 99, second = 99;
  int count_first = 0, left = 0;
  std::thread a([&] {
    count_first = zv_set_thread(1);
    first = zv_get_thread();
    left = zv_done_thread(1);
    EXPECT_EQ(zv_get_thread(), first);  // the key keeps its value
  });
  a.join();
  std::thread b([&] {
    zv_set_thread(1);
    second = zv_get_thread();
    zv_done_thread(1);
  });
  b.join();
  EXPECT_EQ(count_first, 1);
  EXPECT_EQ(left, 0);
  EXPECT_EQ(first, 1u);
  EXPECT_EQ(second, 1u);  // the freed slot is handed out again
  EXPECT_EQ(zv_set_thread(10), -1);
  EXPECT_EQ(zv_set_thread(-1), -1);
}

TEST_F(ZvLog, FullRegistryAnswersSlot98) {
  constexpr int kOthers = ZV_THR_SLOTS - 1;  // slot 0 is the main thread's
  std::atomic<int> registered{0};
  std::atomic<bool> release{false};
  std::vector<unsigned> slots(kOthers);
  std::vector<std::thread> threads;
  for (int i = 0; i < kOthers; ++i)
    threads.emplace_back([&, i] {
      zv_set_thread(2);
      slots[static_cast<size_t>(i)] = zv_get_thread();
      ++registered;
      while (!release) std::this_thread::yield();
      zv_done_thread(2);
    });
  ASSERT_TRUE(zvtest::wait_for([&] { return registered.load() == kOthers; }));
  unsigned late = 0;
  int count = 0;
  std::thread extra([&] {
    count = zv_set_thread(3);
    late = zv_get_thread();
  });
  extra.join();
  release = true;
  for (auto &t : threads) t.join();
  EXPECT_EQ(late, 98u);
  EXPECT_EQ(count, 1);
  std::vector<bool> seen(ZV_THR_SLOTS, false);
  for (unsigned s : slots) {
    ASSERT_GE(s, 1u);
    ASSERT_LT(s, 98u);
    EXPECT_FALSE(seen[s]) << "slot " << s << " given twice";
    seen[s] = true;
  }
}

// ---- crypto-library locks ----------------------------------------------------------

TEST_F(ZvLog, LogLockIsANoOpBeforeThreadSetup) {
  zv_log_lock();
  std::atomic<bool> done{false};
  std::thread t([&] {
    zv_log_lock();
    zv_log_unlock();
    done = true;
  });
  EXPECT_TRUE(zvtest::wait_for([&] { return done.load(); }, 5000));
  t.join();
  zv_log_unlock();
  EXPECT_EQ(THREAD_cleanup(), -1);
}

TEST_F(ZvLog, ThreadSetupMakesTheLogLockARealMutex) {
  debug_level = 1;
  int rc = 0;
  auto c = capture([&] { rc = THREAD_setup(); });
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(strip_prefix(c.err), std::vector<std::string>{"THREAD_setup: created 33 locks"});

  std::atomic<bool> banner_done{false};
  auto out = capture([&] {
    zv_log_lock();
    std::thread t([&] {
      zv_log(-3, "banner from another thread\n");
      banner_done = true;
    });
    // The banner needs the log lock, which this thread holds.
    EXPECT_FALSE(zvtest::wait_for([&] { return banner_done.load(); }, 300));
    zv_log_unlock();
    EXPECT_TRUE(zvtest::wait_for([&] { return banner_done.load(); }, 5000));
    t.join();
  });
  EXPECT_EQ(out.out, "banner from another thread\n");

  EXPECT_EQ(id_function(), static_cast<unsigned long>(pthread_self()));
  CRYPTO_dynlock_value *l = dyn_create_function(__FILE__, __LINE__);
  ASSERT_NE(l, nullptr);
  dyn_lock_function(ZV_CRYPTO_LOCK | ZV_CRYPTO_WRITE, l, __FILE__, __LINE__);
  EXPECT_EQ(pthread_mutex_trylock(&l->mutex), EBUSY);
  dyn_lock_function(ZV_CRYPTO_UNLOCK | ZV_CRYPTO_WRITE, l, __FILE__, __LINE__);
  EXPECT_EQ(pthread_mutex_trylock(&l->mutex), 0);
  pthread_mutex_unlock(&l->mutex);
  dyn_destroy_function(l, __FILE__, __LINE__);

  EXPECT_EQ(THREAD_cleanup(), 0);
  EXPECT_EQ(THREAD_cleanup(), -1);
  // After clean-up the log lock is a no-op again.
  zv_log_lock();
  std::atomic<bool> free_again{false};
  std::thread t([&] {
    zv_log_lock();
    zv_log_unlock();
    free_again = true;
  });
  EXPECT_TRUE(zvtest::wait_for([&] { return free_again.load(); }, 5000));
  t.join();
  zv_log_unlock();
}

}  // namespace
