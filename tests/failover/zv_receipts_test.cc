#include "failover/zv_receipts.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <future>
#include <string>
#include <vector>

#include "partners/zv_crypto.h"
#include "runtime/zv_globals.h"
#include "tests/support/zv_test_support.h"

namespace {

// An ISA segment of 105 characters (the segment terminator not included), its fields at
// their fixed offsets; `sep` is the element separator.
std::string isa(const std::string &receiver, const std::string &control = "000000123",
                char sep = '*') {
  auto pad = [](std::string s, size_t n) { return (s + std::string(n, ' ')).substr(0, n); };
  std::string s = "ISA*00*          *00*          *ZZ*" + pad("AB", 15) + "*ZZ*" +
                  pad(receiver, 15) + "*050101*1200*U*00401*" + control + "*0*P*>";
  for (char &c : s)
    if (c == '*') c = sep;
  return s;
}

std::string dump(const std::string &bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c >= 0x20 && c < 0x7f) {
      out += static_cast<char>(c);
    } else {
      char b[8];
      snprintf(b, sizeof b, "\\x%02x", c);
      out += b;
    }
  }
  return out;
}

int count_of(const std::string &text, const std::string &what) {
  int n = 0;
  for (size_t at = 0; (at = text.find(what, at)) != std::string::npos; at += what.size()) ++n;
  return n;
}

std::string digest40() { return "0123456789abcdef0123456789abcdef01234567"; }

class Receipts : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = zvtest::scratch_dir("receipts");
    ASSERT_EQ(getcwd(old_cwd_, sizeof old_cwd_), old_cwd_);
    ASSERT_EQ(chdir(dir_.c_str()), 0);
    ASSERT_EQ(mkdir("receipts", 0755), 0);
    ASSERT_EQ(mkdir("pending_receipts", 0755), 0);
    snprintf(pendingPath, sizeof pendingPath, "%s", "./pending_receipts");
    memset(partner, 0, sizeof partner);
    snprintf(partner[0].isaid, sizeof partner[0].isaid, "%s", "ACME");
    partner[0].svrZvReceiptType = INTEGRITY_RECEIPT;
    zv_ignoreDupeReceipts_flag = 0;
    zv_save_receipt_flag = 0;
    debug_level = 1;
    t_ = record(isa("ACME"), digest40());
  }
  void TearDown() override {
    debug_level = 0;
    zv_ignoreDupeReceipts_flag = 0;
    zv_save_receipt_flag = 0;
    pendingPath[0] = '\0';
    memset(partner, 0, sizeof partner);
    ASSERT_EQ(chdir(old_cwd_), 0);
  }

  Trans_ctl_rec record(const std::string &isa_line, const std::string &digest) {
    Trans_ctl_rec t;
    memset(&t, 0, sizeof t);
    t.who = ZV_WHO_STD_CLIENT;
    t.msg_type = ZV_MT_INTEGRITY_EDI;
    snprintf(t.isa_line, sizeof t.isa_line, "%s", isa_line.c_str());
    t.dest_ip = ip_;
    t.dest_port = 5000;
    memcpy(t.digest, digest.data(), digest.size());
    t.digest_length = static_cast<int>(digest.size());
    t.tp_index = 0;
    return t;
  }

  // The bytes a record file of these fields holds.
  static std::string file_bytes(int who, int msg_type, const std::string &isa_field,
                                const std::string &ip, int port, long long stamp,
                                const std::string &digest) {
    char head[512];
    snprintf(head, sizeof head, "%02d|%02d|%105s|%s|%d|%lld|%d|", who, msg_type,
             isa_field.c_str(), ip.c_str(), port, stamp, static_cast<int>(digest.size()));
    return head + digest + std::string(1, '\0') + "\n";
  }

  // The time field of a record file, checked to be near now.
  static long long stamp_of(const std::string &bytes) {
    size_t start = 0;
    for (int bars = 0; bars < 5; bars++) {
      size_t at = bars == 2 ? start + 105 : bytes.find('|', start);
      if (at == std::string::npos || at >= bytes.size()) return -1;
      start = at + 1;
    }
    long long v = atoll(bytes.c_str() + start);
    EXPECT_LE(llabs(v - static_cast<long long>(time(nullptr))), 5) << dump(bytes);
    return v;
  }

  std::string capture_stderr(const std::function<void()> &f) {
    testing::internal::CaptureStderr();
    f();
    return testing::internal::GetCapturedStderr();
  }

  std::string dir_;
  char old_cwd_[4096];
  char ip_[16] = "10.1.2.3";
  char bad_ip_[16] = "10.1|2.3";
  Trans_ctl_rec t_;
};

TEST_F(Receipts, FileNameFromReceiverAndControlNumber) {
  struct Case {
    std::string isa_line;
    std::string want;  // empty: refused
  };
  std::string full(15, 'R');
  std::string short_line = isa("ACME").substr(0, 98);
  const std::vector<Case> cases = {
      {isa("ACME"), "./pending_receipts/ACME_000000123.recpt"},
      {isa(full, "987654321"), "./pending_receipts/" + full + "_987654321.recpt"},
      {isa("A B"), "./pending_receipts/A B_000000123.recpt"},  // inner blanks stay
      {isa(""), "./pending_receipts/ _000000123.recpt"},       // cutting stops at the first
      {isa("ACME").substr(0, 99), "./pending_receipts/ACME_000000123.recpt"},
      {short_line, ""},
      {isa("../../etc"), ""},
      {isa("AC/ME"), ""},
      {isa(".."), ""},
      {isa("A..B"), ""},
      {isa("ACME", "00/000123"), ""},
      {isa("ACME", "0000..123"), ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.isa_line);
    char name[ZV_PATH_SIZE] = "stale";
    std::vector<char> line(c.isa_line.begin(), c.isa_line.end());
    line.push_back('\0');
    char ext[] = "recpt", dir[] = "./pending_receipts";
    std::string err =
        capture_stderr([&] { EXPECT_EQ(iGenerateFilename(name, line.data(), ext, dir),
                                       c.want.empty() ? -1 : 0); });
    EXPECT_EQ(std::string(name), c.want);
    if (c.want.empty()) {
      EXPECT_NE(err.find("ERROR: "), std::string::npos);
    }
  }
}

TEST_F(Receipts, ExistenceDecidesWhetherTheNameIsKept) {
  char line[ZV_ISA_LINE_SIZE];
  snprintf(line, sizeof line, "%s", isa("ACME").c_str());
  char ext[] = "recpt", dir[] = "./receipts", name[ZV_PATH_SIZE];
  EXPECT_EQ(iGenerateFile(name, line, ext, dir), 0);
  EXPECT_STREQ(name, "./receipts/ACME_000000123.recpt");
  EXPECT_EQ(iFindFile(line, ext, dir, name), 2);
  EXPECT_STREQ(name, "");
  zvtest::write_file("receipts/ACME_000000123.recpt", "x");
  EXPECT_EQ(iGenerateFile(name, line, ext, dir), -1);
  EXPECT_STREQ(name, "");
  EXPECT_EQ(iFindFile(line, ext, dir, name), 1);
  EXPECT_STREQ(name, "./receipts/ACME_000000123.recpt");

  snprintf(line, sizeof line, "%s", isa("../x").c_str());
  testing::internal::CaptureStderr();
  EXPECT_EQ(iGenerateFile(name, line, ext, dir), -2);
  EXPECT_EQ(iFindFile(line, ext, dir, name), 2);
  testing::internal::GetCapturedStderr();
  EXPECT_STREQ(name, "");
}

TEST_F(Receipts, PendingRecordIsWrittenByteForByte) {
  char name[ZV_PATH_SIZE] = "";
  ASSERT_EQ(store_pending(&t_, name), 0);
  EXPECT_STREQ(name, "./pending_receipts/ACME_000000123.recpt");
  EXPECT_EQ(zvtest::list_dir("pending_receipts"),
            std::vector<std::string>{"ACME_000000123.recpt"});
  std::string got = zvtest::read_file(name);
  long long stamp = stamp_of(got);
  EXPECT_EQ(dump(got), dump(file_bytes(0, 5, isa("ACME"), "10.1.2.3", 5000, stamp, digest40())));

  // The expected kind follows the partner's receipt type.
  const std::vector<std::pair<zvrt, int>> kinds = {
      {BASIC_RECEIPT, 4}, {INTEGRITY_RECEIPT, 5}, {SIGNED_RECEIPT, 6}};
  int n = 0;
  for (auto [type, kind] : kinds) {
    partner[0].svrZvReceiptType = type;
    Trans_ctl_rec t = record(isa("KIND", "00000000" + std::to_string(n++)), "");
    t.who = ZV_WHO_SSL_STD_CLIENT;
    ASSERT_EQ(store_pending(&t, name), 0);
    PendReceipt_rec r;
    ASSERT_EQ(iFile2Pend(name, &r), 0);
    EXPECT_EQ(r.msg_type, kind);
    EXPECT_EQ(r.who, 4);
    EXPECT_EQ(r.digest_length, 0);
    EXPECT_STREQ(r.digest, "");
  }
}

TEST_F(Receipts, DuplicatePendingIsRefusedOrIgnoredAndTheFirstKept) {
  char name[ZV_PATH_SIZE];
  ASSERT_EQ(store_pending(&t_, name), 0);
  const std::string first = zvtest::read_file(name);
  Trans_ctl_rec again = record(isa("ACME"), std::string(40, 'f'));

  char second[ZV_PATH_SIZE] = "untouched";
  std::string err = capture_stderr([&] { EXPECT_EQ(store_pending(&again, second), -1); });
  EXPECT_NE(err.find("ERROR: Cannot add pending receipt - Duplicate record found in the Pending "
                     "Receipt DB\n"),
            std::string::npos)
      << err;
  EXPECT_STREQ(second, "untouched");

  zv_ignoreDupeReceipts_flag = 1;
  err = capture_stderr([&] { EXPECT_EQ(store_pending(&again, second), 0); });
  EXPECT_NE(err.find("NOTE: Cannot add pending receipt - Duplicate record found in the Pending "
                     "Receipt DB\n"),
            std::string::npos)
      << err;
  EXPECT_EQ(err.find("ERROR"), std::string::npos) << err;
  EXPECT_EQ(zvtest::read_file(name), first);
  EXPECT_EQ(zvtest::list_dir("pending_receipts"),
            std::vector<std::string>{"ACME_000000123.recpt"});
}

TEST_F(Receipts, ReceiptLogKeepsTheFirstOfDuplicates) {
  t_.who = ZV_WHO_STD_SERVER;
  t_.msg_type = ZV_MT_INTEGRITY_RECEIPT;
  ASSERT_EQ(store_receipt(&t_), 0);
  const std::string path = "receipts/ACME_000000123.recpt";
  std::string first = zvtest::read_file(path);
  EXPECT_EQ(dump(first),
            dump(file_bytes(2, 5, isa("ACME"), "10.1.2.3", 5000, stamp_of(first), digest40())));

  Trans_ctl_rec again = t_;
  again.digest_length = 3;
  std::string err = capture_stderr([&] { EXPECT_EQ(store_receipt(&again), -1); });
  EXPECT_NE(err.find("ERROR: Cannot save receipt - Duplicate receipt found in the Receipt Log\n"),
            std::string::npos)
      << err;
  zv_ignoreDupeReceipts_flag = 1;
  err = capture_stderr([&] { EXPECT_EQ(store_receipt(&again), 0); });
  EXPECT_NE(err.find("NOTE: Cannot save receipt - Duplicate receipt found in the Receipt Log\n"),
            std::string::npos)
      << err;
  EXPECT_EQ(zvtest::read_file(path), first);
  EXPECT_EQ(zvtest::list_dir("receipts"), std::vector<std::string>{"ACME_000000123.recpt"});
}

TEST_F(Receipts, ProcessReceiptStoresOnlyWithSaveReceipts) {
  char buffer[] = "receipt";
  t_.who = ZV_WHO_STD_SERVER;
  t_.msg_type = ZV_MT_BASIC_RECEIPT;
  EXPECT_EQ(processReceipt(&t_, buffer, 7), 0);
  EXPECT_TRUE(zvtest::list_dir("receipts").empty());
  zv_save_receipt_flag = 1;
  EXPECT_EQ(processReceipt(&t_, buffer, 7), 0);
  PendReceipt_rec r;
  char name[] = "receipts/ACME_000000123.recpt";
  ASSERT_EQ(iFile2Pend(name, &r), 0);
  EXPECT_EQ(r.msg_type, 4);
  EXPECT_EQ(r.who, 2);
}

TEST_F(Receipts, ReceiptThatCannotBeStoredEndsTheProcess) {
  zv_save_receipt_flag = 1;
  char buffer[] = "receipt";
  t_.who = ZV_WHO_STD_SERVER;
  snprintf(tran_logpath[ZV_WHO_STD_SERVER], ZV_PATH_SIZE, "%s/server_trans.log", dir_.c_str());
  snprintf(fromRemoteFailedPath, ZV_PATH_SIZE, "%s", dir_.c_str());
  snprintf(alertFileName, ZV_PATH_SIZE, "%s/zolvar.alert", dir_.c_str());
  ASSERT_EQ(processReceipt(&t_, buffer, 7), 0);
  // The duplicate is refused, reported as the fatal -14, and the process ends with it.
  EXPECT_EXIT(processReceipt(&t_, buffer, 7), ::testing::ExitedWithCode(256 - 14),
              "ERROR: Cannot store inbound receipt, Logging as error and skipping");
  std::string log = zvtest::read_file(dir_ + "/server_trans.log");
  EXPECT_NE(log.find("|-14\n"), std::string::npos) << log;
}

TEST_F(Receipts, NoPendingFileWhereNoReceiptIsExpected) {
  struct Case {
    int who;
    int msg_type;
    zvrt type;
  };
  const std::vector<Case> cases = {
      {0, ZV_MT_STATUS, SIGNED_RECEIPT},     {0, ZV_MT_BASIC_RECEIPT, SIGNED_RECEIPT},
      {0, ZV_MT_INTEGRITY_RECEIPT, BASIC_RECEIPT}, {4, ZV_MT_SIGNED_RECEIPT, BASIC_RECEIPT},
      {0, ZV_MT_BASIC_EDI, NO_RECEIPT},      {4, ZV_MT_SIGNED_EDI, NO_RECEIPT},
      {1, ZV_MT_BASIC_EDI, SIGNED_RECEIPT},  {2, ZV_MT_BASIC_EDI, SIGNED_RECEIPT},
      {3, ZV_MT_BASIC_EDI, SIGNED_RECEIPT},  {5, ZV_MT_BASIC_EDI, SIGNED_RECEIPT},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::to_string(c.who) + "/" + std::to_string(c.msg_type));
    t_.who = c.who;
    t_.msg_type = c.msg_type;
    partner[0].svrZvReceiptType = c.type;
    char name[ZV_PATH_SIZE] = "untouched";
    EXPECT_EQ(store_pending(&t_, name), 0);
    EXPECT_STREQ(name, "untouched");
    EXPECT_TRUE(zvtest::list_dir("pending_receipts").empty());
  }
}

TEST_F(Receipts, UnusableRecordsAreRefusedWithoutAFile) {
  char name[ZV_PATH_SIZE];
  struct Case {
    const char *what;
    std::function<void(Trans_ctl_rec &)> change;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"receiver leaves the directory",
       [](Trans_ctl_rec &t) { snprintf(t.isa_line, sizeof t.isa_line, "%s", isa("../up").c_str()); },
       "cannot name a receipt file"},
      {"digest too long", [](Trans_ctl_rec &t) { t.digest_length = 2049; }, "digest length 2049"},
      {"negative digest", [](Trans_ctl_rec &t) { t.digest_length = -1; }, "digest length -1"},
      {"no partner", [](Trans_ctl_rec &t) { t.tp_index = 7; }, "no Trading Partner for index 7"},
      {"unknown receipt type",
       [](Trans_ctl_rec &t) { partner[t.tp_index].svrZvReceiptType = UNSUPPORTED_RT; },
       "unknown receipt type -1 for ACME"},
      {"separator in the address", [this](Trans_ctl_rec &t) { t.dest_ip = bad_ip_; },
       "unusable address text"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    partner[0].svrZvReceiptType = INTEGRITY_RECEIPT;
    Trans_ctl_rec t = t_;
    c.change(t);
    std::string err = capture_stderr([&] { EXPECT_EQ(store_pending(&t, name), -1); });
    EXPECT_NE(err.find(c.message), std::string::npos) << err;
    if (c.what != std::string("no partner") && c.what != std::string("unknown receipt type")) {
      t.who = ZV_WHO_STD_SERVER;
      err = capture_stderr([&] { EXPECT_EQ(store_receipt(&t), -1); });
      EXPECT_NE(err.find(c.message), std::string::npos) << err;
    }
  }
  EXPECT_TRUE(zvtest::list_dir("pending_receipts").empty());
  EXPECT_TRUE(zvtest::list_dir("receipts").empty());
  EXPECT_EQ(zvtest::list_dir("."), (std::vector<std::string>{"pending_receipts", "receipts"}));
}

TEST_F(Receipts, RecordsRoundTripThroughTheirFiles) {
  auto rec = [](int who, int type, const std::string &isa_line, const std::string &ip, int port,
                long long stamp, const std::string &digest) {
    PendReceipt_rec r;
    memset(&r, 0, sizeof r);
    r.who = who;
    r.msg_type = type;
    snprintf(r.isa_line, sizeof r.isa_line, "%s", isa_line.c_str());
    snprintf(r.dest_ip, sizeof r.dest_ip, "%s", ip.c_str());
    r.dest_port = port;
    r.time_sent = static_cast<time_t>(stamp);
    memcpy(r.digest, digest.data(), digest.size());
    r.digest_length = static_cast<int>(digest.size());
    return r;
  };
  std::string pipe_isa = isa("ACME", "000000123", '|');
  const std::vector<PendReceipt_rec> cases = {
      rec(0, 5, pipe_isa, "10.1.2.3", 5000, 1700000000, digest40()),
      rec(4, 6, isa("X"), "255.255.255.255:", 65535, 0, std::string(2048, 'a')),
      rec(-1, 99, isa("Y"), "", -7, -5, ""),
      rec(7, 4, "ISA short", "h", 1, 4102444800LL, "|\n|"),
  };
  for (const PendReceipt_rec &want : cases) {
    SCOPED_TRACE(want.isa_line);
    char name[] = "pending_receipts/rt.recpt";
    ASSERT_EQ(iPend2file(const_cast<PendReceipt_rec *>(&want), name), 0);
    std::string isa_field = want.isa_line;
    std::string bytes = zvtest::read_file(name);
    EXPECT_EQ(dump(bytes), dump(file_bytes(want.who, want.msg_type, isa_field, want.dest_ip,
                                           want.dest_port, want.time_sent,
                                           std::string(want.digest, want.digest_length))));
    PendReceipt_rec got;
    memset(&got, 0x5a, sizeof got);
    ASSERT_EQ(iFile2Pend(name, &got), 0);
    EXPECT_EQ(got.who, want.who);
    EXPECT_EQ(got.msg_type, want.msg_type);
    // A shorter ISA line comes back padded with leading blanks to its 105 columns.
    char padded[ZV_ISA_LINE_SIZE];
    snprintf(padded, sizeof padded, "%105s", want.isa_line);
    EXPECT_STREQ(got.isa_line, padded);
    EXPECT_STREQ(got.dest_ip, want.dest_ip);
    EXPECT_EQ(got.dest_port, want.dest_port);
    EXPECT_EQ(got.time_sent, want.time_sent);
    EXPECT_EQ(got.digest_length, want.digest_length);
    EXPECT_EQ(std::string(got.digest, strlen(got.digest)),
              std::string(want.digest, want.digest_length));
  }
  EXPECT_EQ(zvtest::list_dir("pending_receipts"), std::vector<std::string>{"rt.recpt"});
}

TEST_F(Receipts, PipeSeparatedIsaComesBackThroughTheLookup) {
  t_ = record(isa("ACME", "000000123", '|'), digest40());
  char name[ZV_PATH_SIZE];
  ASSERT_EQ(store_pending(&t_, name), 0);
  PendReceipt_rec r;
  char file[ZV_PATH_SIZE];
  std::string line = isa("ACME", "000000123", '|');
  ASSERT_EQ(iFindPending(line.data(), &r, file), 1);
  EXPECT_STREQ(file, name);
  EXPECT_EQ(std::string(r.isa_line), line);
  EXPECT_EQ(std::string(r.digest), digest40());
  EXPECT_STREQ(r.dest_ip, "10.1.2.3");
  EXPECT_EQ(r.dest_port, 5000);
}

// A receipt request's text: the ISA segment and whatever follows it.
std::string receipt_text(const std::string &isa_line) { return isa_line + "~20050101120000"; }

TEST_F(Receipts, BasicPendingMatchesAnyReceiptAndIsRemoved) {
  partner[0].svrZvReceiptType = BASIC_RECEIPT;
  ASSERT_EQ(store_pending(&t_, nullptr), 0);
  std::string text = receipt_text(isa("ACME"));
  char key[ZV_PATH_SIZE];
  char junk[] = "anything at all";
  EXPECT_EQ(iPendingReceiptLookup(text.data(), static_cast<int>(text.size()), junk, 3, key), 1);
  EXPECT_STREQ(key, "./pending_receipts/ACME_000000123.recpt");
  EXPECT_EQ(iPendingReceiptLookup(text.data(), static_cast<int>(text.size()), junk, 0, key), 1);

  EXPECT_EQ(iRemovePRDBentry(1, key), 0);
  EXPECT_TRUE(zvtest::list_dir("pending_receipts").empty());
  std::string err = capture_stderr([&] { EXPECT_EQ(iRemovePRDBentry(1, key), -1); });
  EXPECT_NE(err.find(std::string("Cannot remove entry ") + key + " - not found\n"),
            std::string::npos)
      << err;
  err = capture_stderr([&] { EXPECT_EQ(iRemovePRDBentry(2, key), -1); });
  EXPECT_NE(err.find("iDatabase of 2 not supported\n"), std::string::npos) << err;

  EXPECT_EQ(iPendingReceiptLookup(text.data(), static_cast<int>(text.size()), junk, 3, key), 2);
  EXPECT_STREQ(key, "");
}

TEST_F(Receipts, IntegrityPendingComparesTheDigestText) {
  ASSERT_EQ(store_pending(&t_, nullptr), 0);
  std::string text = receipt_text(isa("ACME"));
  int blen = static_cast<int>(text.size());
  char key[ZV_PATH_SIZE];
  struct Case {
    std::string hash;
    int hlen;
    int want;
  };
  std::string d = digest40();
  std::string one_off = d;
  one_off[39] = '8';
  const std::vector<Case> cases = {
      {d, 40, 1},
      {d + std::string(1, '\0'), 41, 1},  // its NUL included
      {one_off, 40, -1},
      {d.substr(0, 20), 20, -1},  // a shortened digest proves nothing
      {"", 0, -1},
      {d + "99", 42, -1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.hash + "/" + std::to_string(c.hlen));
    std::string hash = c.hash;
    std::string err = capture_stderr([&] {
      EXPECT_EQ(iPendingReceiptLookup(text.data(), blen, hash.data(), c.hlen, key), c.want);
    });
    EXPECT_NE(err.find("Pending digest = [" + d + "]\n"), std::string::npos) << err;
    EXPECT_EQ(err.find("ERROR: Digests do not match for receipt\n") != std::string::npos,
              c.want == -1)
        << err;
  }
  // A receipt for another interchange has no pending record.
  std::string other = receipt_text(isa("ACME", "000000124"));
  EXPECT_EQ(iPendingReceiptLookup(other.data(), static_cast<int>(other.size()), d.data(), 40, key),
            2);
  // The lookup never reads past `blen`: too short a text names no file.
  EXPECT_EQ(iPendingReceiptLookup(text.data(), 98, d.data(), 40, key), 2);
}

TEST_F(Receipts, SignedPendingComparesTheHexSignature) {
  std::string sig(128, '\0');
  for (size_t i = 0; i < sig.size(); i++) sig[i] = static_cast<char>(i * 37 + 11);
  std::string hex = zvtest::hex(sig);
  partner[0].svrZvReceiptType = SIGNED_RECEIPT;
  t_ = record(isa("ACME"), hex);
  ASSERT_EQ(store_pending(&t_, nullptr), 0);
  std::string text = receipt_text(isa("ACME"));
  int blen = static_cast<int>(text.size());
  char key[ZV_PATH_SIZE];
  auto lookup = [&](std::string s, int hlen) {
    return iPendingReceiptLookup(text.data(), blen, s.data(), hlen, key);
  };
  EXPECT_EQ(lookup(sig, 128), 1);

  // The stored text differing in one hex digit.
  std::string changed = hex;
  changed[77] = changed[77] == '0' ? '1' : '0';
  t_ = record(isa("ACME", "000000200"), changed);
  ASSERT_EQ(store_pending(&t_, nullptr), 0);
  std::string text2 = receipt_text(isa("ACME", "000000200"));
  std::string s = sig;
  std::string err = capture_stderr([&] {
    EXPECT_EQ(iPendingReceiptLookup(text2.data(), static_cast<int>(text2.size()), s.data(), 128,
                                    key),
              -1);
  });
  EXPECT_NE(err.find("ERROR: Signitures do not match for receipt\n"), std::string::npos) << err;
  EXPECT_NE(err.find("Message signature = [" + hex + "]\n"), std::string::npos) << err;
  EXPECT_NE(err.find("Pending signature = [" + changed + "]\n"), std::string::npos) << err;

  testing::internal::CaptureStderr();
  EXPECT_EQ(lookup(sig.substr(0, 127), 127), -1);   // a shortened signature
  EXPECT_EQ(lookup("", 0), -1);
  EXPECT_EQ(lookup(std::string(1024, 'x'), 1024), -1);  // more than the hex buffer holds
  EXPECT_EQ(lookup(std::string(1023, 'x'), 1023), -1);
  testing::internal::GetCapturedStderr();
}

TEST_F(Receipts, LookupWithMissingArgumentsGoesOnSafely) {
  std::string text = receipt_text(isa("ACME"));
  std::string err = capture_stderr([&] {
    EXPECT_EQ(iPendingReceiptLookup(nullptr, 0, nullptr, -1, nullptr), 2);
    EXPECT_EQ(iFindPending(nullptr, nullptr, nullptr), 2);
    char ext[] = "recpt";
    EXPECT_EQ(iGenerateFilename(nullptr, text.data(), ext, nullptr), -1);
    EXPECT_EQ(processReceipt(nullptr, nullptr, 0), 0);
  });
  EXPECT_NE(err.find("ASSERT Failed: zv_receipt: line "), std::string::npos) << err;
  EXPECT_NE(err.find("ASSERT Failed: zv_server2: line "), std::string::npos) << err;
}

TEST_F(Receipts, IsaIdsAreTakenWithTheirBlanks) {
  std::string line = isa("LOCAL");
  char id[16];
  std::string err = capture_stderr([&] { EXPECT_EQ(iGetISAid(line.c_str(), id, 0), 0); });
  EXPECT_STREQ(id, "AB             ");
  EXPECT_NE(err.find("found ISA_ID of [AB             ] in message\n"), std::string::npos) << err;
  EXPECT_EQ(iGetISAid(line.c_str(), id, 1), 0);
  EXPECT_STREQ(id, "LOCAL          ");
  EXPECT_EQ(iGetISAid(line.c_str(), id, 2), -1);
  EXPECT_EQ(iGetISAid(line.c_str(), id, -1), -1);
  // A line that ends inside or before the field gives what it holds.
  EXPECT_EQ(iGetISAid(line.substr(0, 58).c_str(), id, 1), 0);
  EXPECT_STREQ(id, "LOCA");
  EXPECT_EQ(iGetISAid("ISA", id, 1), 0);
  EXPECT_STREQ(id, "");
  EXPECT_EQ(init_pending(), 0);
}

// ---- record files written by someone else ---------------------------------------------

class RecordFiles : public Receipts {
 protected:
  // Reads `bytes` as a record file: the result, and the record must stay untouched when
  // the result is -1.
  int read_back(const std::string &bytes, std::string *err = nullptr) {
    zvtest::write_file("pending_receipts/in.recpt", bytes);
    char name[] = "pending_receipts/in.recpt";
    PendReceipt_rec r, before;
    memset(&r, 0x5a, sizeof r);
    before = r;
    int rc = 0;
    std::string e = capture_stderr([&] { rc = iFile2Pend(name, &r); });
    if (rc != 0) {
      EXPECT_EQ(memcmp(&r, &before, sizeof r), 0) << dump(bytes);
    }
    if (err != nullptr) *err = e;
    return rc;
  }
  std::string valid_ = file_bytes(0, 5, isa("ACME", "000000123", '|'), "10.1.2.3", 5000,
                                  1700000000, digest40());
};

TEST_F(RecordFiles, EmptyFileGivesTheEofLine) {
  std::string err;
  EXPECT_EQ(read_back("", &err), -1);
  EXPECT_NE(err.find("ERROR: EOF encountered reading pending_receipts/in.recpt\n"),
            std::string::npos)
      << err;
  // Found by the lookup, the same file is reported unreadable.
  zvtest::write_file("pending_receipts/ACME_000000123.recpt", "");
  PendReceipt_rec r;
  std::string line = isa("ACME");
  err = capture_stderr([&] { EXPECT_EQ(iFindPending(line.data(), &r, nullptr), -1); });
  EXPECT_NE(err.find("ERROR: Cannot read pending receipt record\n"), std::string::npos) << err;
  char missing[] = "pending_receipts/none.recpt";
  err = capture_stderr([&] { EXPECT_EQ(iFile2Pend(missing, &r), -1); });
  EXPECT_NE(err.find("Cannot open pending_receipts/none.recpt for reading\n"), std::string::npos)
      << err;
}

TEST_F(RecordFiles, ValidFileIsLoggedUpToItsNulWithNewlinesAsBlanks) {
  std::string line = isa("ACME");
  line[100] = '\n';
  std::string bytes = file_bytes(0, 6, line, "10.1.2.3", 5000, 1700000000, "ab12");
  std::string err;
  ASSERT_EQ(read_back(bytes, &err), 0);
  std::string text = bytes.substr(0, bytes.find('\0'));
  text[6 + 100] = ' ';
  EXPECT_NE(err.find("DEBUG: pending receipt record = " + text + "\n"), std::string::npos) << err;
  PendReceipt_rec r;
  char name[] = "pending_receipts/in.recpt";
  ASSERT_EQ(iFile2Pend(name, &r), 0);
  EXPECT_EQ(std::string(r.isa_line), line);
  EXPECT_STREQ(r.digest, "ab12");
}

TEST_F(RecordFiles, EveryTruncationIsRefused) {
  for (size_t n = 1; n < valid_.size(); n++) {
    std::string err;
    EXPECT_EQ(read_back(valid_.substr(0, n), &err), -1) << n << ": " << dump(valid_.substr(0, n));
    EXPECT_NE(err.find("ERROR: Malformed pending receipt record in pending_receipts/in.recpt: "),
              std::string::npos)
        << err;
  }
}

TEST_F(RecordFiles, MalformedFilesAreRefusedWithTheirReason) {
  auto with_digest_length = [](const std::string &digest, const std::string &claimed) {
    return "00|05|" + isa("ACME") + "|10.1.2.3|5000|1700000000|" + claimed + "|" + digest +
           std::string(1, '\0') + "\n";
  };
  auto replace = [this](size_t at, size_t len, const std::string &by) {
    std::string s = valid_;
    return s.replace(at, len, by);
  };
  const size_t ip_at = 6 + 105 + 1;
  struct Case {
    std::string what;
    std::string bytes;
    std::string reason;
  };
  const std::vector<Case> cases = {
      {"who not numeric", replace(0, 2, "a1"), "who is not a number"},
      {"who empty", replace(0, 2, ""), "who is not a number"},
      {"msg_type not numeric", replace(3, 2, "0x"), "msg_type is not a number"},
      {"separator after who missing", replace(2, 1, "0"), "msg_type is not a number"},
      {"separator after the ISA field missing", replace(6 + 105, 1, "*"), "missing separator"},
      {"ISA field short", replace(6, 1, ""), "missing separator"},
      {"NUL inside the ISA field", replace(100, 1, std::string(1, '\0')),
       "NUL inside the ISA field"},
      {"address not closed", "00|05|" + isa("ACME") + "|10.1.2.3", "address field not closed"},
      {"address too long", replace(ip_at, 8, std::string(17, '1')), "address field too long"},
      {"port not numeric", replace(ip_at + 9, 4, "50x0"), "dest_port is not a number"},
      {"port overflowing", replace(ip_at + 9, 4, "99999999999"), "dest_port is not a number"},
      {"time not numeric", replace(ip_at + 14, 10, "17000000OO"), "time_sent is not a number"},
      {"time far too long", replace(ip_at + 14, 10, std::string(30, '9')),
       "time_sent is not a number"},
      {"digest longer than the file", with_digest_length(digest40(), "41"),
       "digest longer than the file holds"},
      {"digest length far beyond the file", with_digest_length("ab", "2000"),
       "digest longer than the file holds"},
      {"digest length above 2048", with_digest_length(std::string(2049, 'a'), "2049"),
       "digest_length is not a number between 0 and 2048"},
      {"digest length negative", with_digest_length("", "-1"),
       "digest_length is not a number between 0 and 2048"},
      {"digest length not numeric", with_digest_length("ab", "2b"),
       "digest_length is not a number between 0 and 2048"},
      {"digest shorter than claimed", with_digest_length(digest40(), "39"),
       "digest not ended by its NUL and newline"},
      {"no NUL after the digest", replace(valid_.size() - 2, 1, "x"),
       "digest not ended by its NUL and newline"},
      {"no newline at the end", replace(valid_.size() - 1, 1, "x"),
       "digest not ended by its NUL and newline"},
      {"data after the record", valid_ + valid_, "data after the record"},
      {"no separators at all", std::string(300, 'x'), "who is not a number"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what + ": " + dump(c.bytes.substr(0, 200)));
    std::string err;
    EXPECT_EQ(read_back(c.bytes, &err), -1);
    EXPECT_NE(err.find("ERROR: Malformed pending receipt record in pending_receipts/in.recpt: " +
                       c.reason + "\n"),
              std::string::npos)
        << err;
  }
}

TEST_F(RecordFiles, OversizedFilesAreRefused) {
  for (size_t size : {4096u, 4097u, 100000u}) {
    std::string bytes = valid_ + std::string(size - valid_.size(), 'z');
    std::string err;
    EXPECT_EQ(read_back(bytes, &err), -1) << size;
    EXPECT_NE(err.find("ERROR: Pending receipt record pending_receipts/in.recpt is 4096 bytes or "
                       "more - not a record\n"),
              std::string::npos)
        << err;
  }
  // The longest record there can be still fits.
  std::string longest = file_bytes(-1, -1, isa("ACME"), "255.255.255.255:", -2147483647,
                                   -999999999999999999LL, std::string(2048, 'f'));
  EXPECT_LT(longest.size(), 4096u);
  std::string err;
  EXPECT_EQ(read_back(longest, &err), 0) << err;
}

TEST_F(RecordFiles, OnlyRegularFilesAreRead) {
  // A FIFO (which would hold an open until a writer comes), a link to a device, and a link
  // to a valid record outside the directory, each under the record's name.
  std::string outside = dir_ + "/elsewhere.recpt";
  zvtest::write_file(outside, valid_);
  struct Case {
    std::function<int(const char *)> make;
    std::string line;
  };
  const std::string name = "./pending_receipts/ACME_000000123.recpt";
  const Case cases[] = {
      {[](const char *n) { return mkfifo(n, 0600); },
       "ERROR: " + name + " is not a regular file - not read as a record\n"},
      {[](const char *n) { return symlink("/dev/null", n); },
       "ERROR: " + name + " is a symbolic link, not a regular file - not read as a record\n"},
      {[&](const char *n) { return symlink(outside.c_str(), n); },
       "ERROR: " + name + " is a symbolic link, not a regular file - not read as a record\n"},
  };
  std::string line = isa("ACME", "000000123", '|');
  std::string text = receipt_text(line);
  for (const Case &c : cases) {
    ASSERT_EQ(c.make(name.c_str()), 0) << strerror(errno);
    // Run aside: an open that waits for a FIFO's writer is ended by one, and fails here.
    std::string err;
    auto lookup = std::async(std::launch::async, [&] {
      return capture_stderr([&] {
        PendReceipt_rec r;
        EXPECT_EQ(iFindPending(line.data(), &r, nullptr), -1);
        char key[ZV_PATH_SIZE];
        std::string d = digest40();
        EXPECT_EQ(iPendingReceiptLookup(text.data(), static_cast<int>(text.size()), d.data(), 40,
                                        key),
                  2);
      });
    });
    if (lookup.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
      ADD_FAILURE() << c.line << ": the lookup waits on the file";
      int fd = open(name.c_str(), O_WRONLY | O_NONBLOCK);
      if (fd >= 0) close(fd);
    }
    err = lookup.get();
    EXPECT_EQ(count_of(err, c.line), 2) << err;
    EXPECT_EQ(count_of(err, "ERROR: Cannot read pending receipt record\n"), 2) << err;
    ASSERT_EQ(unlink(name.c_str()), 0);
  }
  // The valid record itself, in its place, is read.
  zvtest::write_file(name, valid_);
  PendReceipt_rec r;
  EXPECT_EQ(iFindPending(line.data(), &r, nullptr), 1);
}

TEST_F(Receipts, StartRemovesWhatDeadWritersLeft) {
  // What writers killed in the middle leave ("<record name>" and six letters or digits),
  // untouched for longer than a live writer takes, in both directories; beside it a
  // writer's fresh file, records, and names that only look alike.
  const time_t old_enough = time(nullptr) - 11 * 60;
  auto make = [&](const std::string &path, time_t when) {
    zvtest::write_file(path, "04|05|partial");
    struct timespec times[2] = {{when, 0}, {when, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
  };
  const std::vector<std::string> left = {"pending_receipts/ACME_000000123.recptAb3dE9",
                                         "pending_receipts/X_000000001.recptzzzzzz",
                                         "receipts/ACME_000000124.recpt0a1B2c"};
  const std::vector<std::string> kept = {
      "pending_receipts/ACME_000000125.recpt",        // a record
      "pending_receipts/ACME_000000126.recptabc",     // too short a tail
      "pending_receipts/ACME_000000127.recptab-d_f",  // not letters or digits
      "pending_receipts/.recptABCDEF",                // no record name before it
      "pending_receipts/notes.txt",
  };
  for (const std::string &p : left) make(p, old_enough);
  for (const std::string &p : kept) make(p, old_enough);
  make("pending_receipts/ACME_000000128.recptLive01", time(nullptr));  // a live writer's
  ASSERT_EQ(mkdir("pending_receipts/Dir_000000129.recptQWERTY", 0755), 0);
  ASSERT_EQ(symlink((dir_ + "/pending_receipts/notes.txt").c_str(),
                    "pending_receipts/Link_00000130.recptLINK01"),
            0);
  std::string err = capture_stderr([] { EXPECT_EQ(init_pending(), 0); });
  for (const std::string &p : left) {
    EXPECT_FALSE(zvtest::file_exists(p)) << p;
    EXPECT_EQ(count_of(err, "NOTE: removed ./" + p + ", a record a writer left unfinished\n"), 1)
        << err;
  }
  for (const std::string &p : kept) EXPECT_TRUE(zvtest::file_exists(p)) << p;
  EXPECT_TRUE(zvtest::file_exists("pending_receipts/ACME_000000128.recptLive01"));
  EXPECT_TRUE(zvtest::file_exists("pending_receipts/Dir_000000129.recptQWERTY"));
  struct stat st;
  EXPECT_EQ(lstat("pending_receipts/Link_00000130.recptLINK01", &st), 0);
  EXPECT_EQ(count_of(err, "NOTE: removed"), 3) << err;
  // Without a receipt log directory the pending one is still swept.
  make("pending_receipts/B_000000001.recpt000000", old_enough);
  ASSERT_EQ(zvtest::shell("rm -rf receipts"), 0);
  err = capture_stderr([] { EXPECT_EQ(init_pending(), 0); });
  EXPECT_FALSE(zvtest::file_exists("pending_receipts/B_000000001.recpt000000"));
  EXPECT_EQ(err.find("ERROR"), std::string::npos) << err;
}

}  // namespace
