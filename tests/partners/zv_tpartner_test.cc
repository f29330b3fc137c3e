#include "partners/zv_tpartner.h"

#include <gtest/gtest.h>
#include <openssl/conf.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "partners/zv_lcert.h"
#include "partners/zv_partner_services.h"
#include "runtime/zv_globals.h"
#include "runtime/zv_services.h"
#include "tests/partners/partners_test_util.h"
#include "tests/support/zv_test_support.h"

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;
using zvptest::has_line;
using zvptest::joined;
using zvptest::log_messages;

namespace {

// An endpoint section with every key given, so that a test's own keys show alone.
std::string endpoint(const std::string &isaid, const std::string &local_id,
                     const std::string &remote_id, const std::string &extra = "") {
  return "[" + isaid + "]\nlocal_partner_id = " + local_id + "\nremote_partner_id = " +
         remote_id +
         "\nip_address = 10.0.0.1\nstandard_ip_port = 7001\nhipri_ip_port = 7002\n"
         "zv_message_to_tp = SIGNED_EDI\nzv_message_from_tp = INTEGRITY_EDI\n"
         "zv_receipt_from_tp = SIGNED_RECEIPT\nzv_receipt_to_tp = BASIC_RECEIPT\n" +
         extra;
}

class TradingPartners : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = zvtest::scratch_dir("tpartner");
    debug_level = 0;
    verbose_flag = 0;
    init_lcert_table();
  }
  void TearDown() override {
    init_lcert_table();
    memset(partner, 0, sizeof partner);
    debug_level = 0;
    verbose_flag = 0;
  }

  // Loads local identities named `names` into slots 0, 1, ... as the configuration walk
  // would, all with the same key.
  void identities(const std::vector<std::string> &names) {
    const auto &files = zvptest::test_key(1024, "zvp");
    std::string text = "[default]\nkey = " + files.key + "\ncert = " + files.cert +
                       "\nzvversion = 2\n";
    for (const auto &n : names) text += "[" + n + "]\nprocess_type = ZVP_PROCESS\n";
    zvtest::write_file(dir_ + "/zolvar.conf", text);
    std::unique_ptr<CONF, decltype(&NCONF_free)> conf(NCONF_new(nullptr), NCONF_free);
    long eline = 0;
    ASSERT_EQ(NCONF_load(conf.get(), (dir_ + "/zolvar.conf").c_str(), &eline), 1);
    for (size_t i = 0; i < names.size(); ++i)
      ASSERT_EQ(load_lcert_table(conf.get(), names[i].c_str(), "127.0.0.1:8003",
                                 static_cast<int>(i)),
                0);
  }

  // Writes the partner file and loads it; the log lines on standard error are kept.
  int load(const std::string &text) {
    path_ = dir_ + "/tpartner.conf";
    zvtest::write_file(path_, text);
    CaptureStderr();
    int r = read_TPfile(path_.c_str());
    lines_ = log_messages(GetCapturedStderr());
    return r;
  }

  int entries() const {
    int n = 0;
    while (n < ZV_MAX_TP && partner[n].isaid[0] != '\0') ++n;
    return n;
  }

  std::string dir_;
  std::string path_;
  std::vector<std::string> lines_;
};

const char kSimple[] =
    "[default]\ntrading_partners = RC1\nlocal_certificates = LC1\n"
    "[LC1]\nzvp_name = ZVPA\nendpoints = EP1\n"
    "[RC1]\ncertificate_common_name = acme\nendpoints = EP1\n";

}  // namespace

TEST_F(TradingPartners, LoadsEveryField) {
  identities({"ZVPX", "ZVPA"});
  ASSERT_EQ(load(std::string(kSimple) +
                 endpoint("EP1", "LOCAL1", "REMOTE1",
                          "session_timeout = 30\nserver_status = 1\n")),
            0)
      << joined(lines_);
  EXPECT_TRUE(lines_.empty()) << joined(lines_);
  ASSERT_EQ(entries(), 1);
  const Tpartner_rec &p = partner[0];
  EXPECT_STREQ(p.isaid, "EP1");
  EXPECT_STREQ(p.local_id, "LOCAL1");
  EXPECT_STREQ(p.remote_id, "REMOTE1");
  EXPECT_STREQ(p.cname, "");
  EXPECT_STREQ(p.ip, "10.0.0.1");
  EXPECT_EQ(p.port, 7001);
  EXPECT_EQ(p.hipriport, 7002);
  EXPECT_EQ(p.timeout, 30);
  EXPECT_EQ(p.active, 1);
  EXPECT_EQ(p.svrZvMessageType, SIGNED_EDI);
  EXPECT_EQ(p.cliZvMessageType, INTEGRITY_EDI);
  EXPECT_EQ(p.svrZvReceiptType, SIGNED_RECEIPT);
  EXPECT_EQ(p.cliZvReceiptType, BASIC_RECEIPT);
  EXPECT_EQ(p.zvflavor, ECIC_12_98);
  EXPECT_EQ(p.custom_zv, 0);
  EXPECT_EQ(p.rcert_index, 0);
  EXPECT_EQ(p.lcert_index, 1);
  EXPECT_EQ(maxCertIndex(), 1);
  EXPECT_EQ(int_from_endpoint(0, EP_LOCAL_CERT), 1);
  EXPECT_EQ(int_from_endpoint(0, EP_REMOTE_CERT), 0);
  EXPECT_EQ(int_from_endpoint(0, EP_NOT_USED), -1);
  EXPECT_EQ(int_from_remote_cert(0, RC_INACTIVE_DUR), 3600);
  EXPECT_EQ(int_from_remote_cert(0, RC_LIFETIME_DUR), 14400);
  EXPECT_EQ(int_from_remote_cert(0, RC_MAX_INBOUND), 8);
  EXPECT_EQ(int_from_remote_cert(0, RC_BIDIRECTIONAL), 0);
  EXPECT_EQ(int_from_remote_cert(0, RC_NOT_USED), -1);
}

TEST_F(TradingPartners, RequiredKeysAndLists) {
  std::string ep = endpoint("EP1", "L", "R");
  struct Case {
    const char *name;
    std::string text;
    std::string error;  // with "%s" for the file name
  } cases[] = {
      {"no trading_partners", "[default]\nlocal_certificates = LC1\n" + ep,
       "ERROR: Cannot find REQUIRED field (trading_partners) in the Trading Partner "
       "configuration file (%s).\n"},
      {"no local_certificates", "[default]\ntrading_partners = RC1\n" + ep,
       "ERROR: Cannot find REQUIRED field (local_certificates) in the Trading Partner "
       "configuration file (%s).\n"},
      {"local_certificates only a comma", "[default]\ntrading_partners = RC1\nlocal_certificates = ,\n",
       "ERROR: Cannot find any local certs in the local_certificates field in the Trading Partner "
       "configuration file (%s).\n"},
      {"no zvp_name",
       "[default]\ntrading_partners = RC1\nlocal_certificates = LC1\n[LC1]\nendpoints = EP1\n" + ep,
       "ERROR: Required zvp_name entry for local Cert LC1 is missing\n"},
      {"no endpoints for a local cert",
       "[default]\ntrading_partners = RC1\nlocal_certificates = LC1\n[LC1]\nzvp_name = Z\n" + ep,
       "ERROR: Cannot find REQUIRED field (endpoints) in the Trading Partner configuration file "
       "(%s).\n"},
      {"local cert endpoints hold no name",
       "[default]\ntrading_partners = RC1\nlocal_certificates = LC1\n[LC1]\nzvp_name = Z\n"
       "endpoints = , ,\n",
       "ERROR: Cannot find any endpoints in the endpoints field in the Trading Partner "
       "configuration file (%s).\n"},
      {"no local_partner_id",
       "[default]\ntrading_partners = RC1\nlocal_certificates = LC1\n[LC1]\nzvp_name = Z\n"
       "endpoints = EP1\n[EP1]\nremote_partner_id = R\n",
       "ERROR: Required local_partner_id entry for endpoint EP1 is missing\n"},
      {"empty remote_partner_id",
       "[default]\ntrading_partners = RC1\nlocal_certificates = LC1\n[LC1]\nzvp_name = Z\n"
       "endpoints = EP1\n[EP1]\nlocal_partner_id = L\nremote_partner_id =\n",
       "ERROR: Required remote_partner_id entry for endpoint EP1 is missing\n"},
      {"trading_partners only blanks and commas",
       "[default]\ntrading_partners = \" , \"\nlocal_certificates = LC1\n[LC1]\nzvp_name = Z\n"
       "endpoints = EP1\n" + ep,
       "ERROR: Cannot find any remote certs in the trading_partners field in the Trading Partner "
       "configuration file (%s).\n"},
      {"no common name",
       "[default]\ntrading_partners = RC1\nlocal_certificates = LC1\n[LC1]\nzvp_name = Z\n"
       "endpoints = EP1\n[RC1]\nendpoints = EP1\n" + ep,
       "ERROR: Required certificate_common_name entry for  Cerificate RC1 is missing\n"},
      {"no endpoints for a remote cert",
       "[default]\ntrading_partners = RC1\nlocal_certificates = LC1\n[LC1]\nzvp_name = Z\n"
       "endpoints = EP1\n[RC1]\ncertificate_common_name = acme\n[EP1]\nlocal_partner_id = L\n"
       "remote_partner_id = R\n",
       "ERROR: Cannot find REQUIRED field (endpoints) in the Trading Partner configuration file "
       "(%s).\n"},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(load(c.text), -1) << c.name;
    char expected[1024];
    snprintf(expected, sizeof expected, c.error.c_str(), path_.c_str());
    EXPECT_TRUE(has_line(lines_, expected)) << c.name << "\n" << joined(lines_);
    EXPECT_EQ(lines_.back(), expected) << c.name << ": the load goes on after an error";
  }
}

TEST_F(TradingPartners, UnreadableFileSaysWhyOrReportsTheLine) {
  CaptureStderr();
  std::string missing = dir_ + "/none.conf";
  EXPECT_EQ(read_TPfile(missing.c_str()), -1);
  EXPECT_EQ(log_messages(GetCapturedStderr()),
            (std::vector<std::string>{"ERROR: The Trading Partner configuration file (" + missing +
                                      ") does not exist\n"}));
  EXPECT_EQ(load("[default]\ntrading_partners = RC1\n[LC1\nzvp_name = Z\n"), -1);
  EXPECT_EQ(lines_, (std::vector<std::string>{"ERROR: Error on line 3 of the Trading Partner "
                                              "configuration file (" + path_ + ")\n"}));
  EXPECT_EQ(entries(), 0);
}

TEST_F(TradingPartners, SixtyFourEndpointsLoadAndSixtyFiveDoNot) {
  for (int n : {64, 65}) {
    std::string list;
    std::string sections;
    for (int i = 0; i < n; ++i) {
      std::string number = std::to_string(i);
      std::string name = "EP" + number;
      list += (i % 2 ? ", " : " ") + name;
      sections += endpoint(name, "L" + number, "R" + number);
    }
    std::string text = "[default]\ntrading_partners = RC1\nlocal_certificates = LC1\n"
                       "[LC1]\nzvp_name = Z\nendpoints = " + list +
                       "\n[RC1]\ncertificate_common_name = acme\nendpoints = EP0\n" + sections;
    if (n == 64) {
      EXPECT_EQ(load(text), 0) << joined(lines_);
      EXPECT_EQ(entries(), 64);
      EXPECT_STREQ(partner[63].isaid, "EP63");
      EXPECT_EQ(tpLookup("L63", "R63", 0), 63);
      EXPECT_EQ(int_from_endpoint(63, EP_LOCAL_CERT), -1);  // zvp_name Z was never loaded
    } else {
      EXPECT_EQ(load(text), -1);
      EXPECT_EQ(lines_, (std::vector<std::string>{
                            "ERROR: Too many endpoints in Trading Partner configuration file: " +
                            path_ + "\n"}));
    }
  }
}

TEST_F(TradingPartners, AddressesPortsAndTypesWithTheirDefaults) {
  std::string text =
      "[default]\ntrading_partners = RC1\nlocal_certificates = LC1\n[LC1]\nzvp_name = Z\n"
      "endpoints = A C F\n[RC1]\ncertificate_common_name = acme\nendpoints = A\n"
      "[A]\nlocal_partner_id = LA\nremote_partner_id = RA\nip_address = 010.001.002.003\n"
      "standard_ip_port = 0\nhipri_ip_port = 08080\n"
      "zv_message_from_tp = SIGNED_EDI\nzv_receipt_from_tp = INTEGRITY_RECEIPT\n"
      "zv_receipt_to_tp = NO_RECEIPT\n"
      "[C]\nlocal_partner_id = LC\nremote_partner_id = RC\n"
      "zv_message_from_tp =\nzv_receipt_from_tp =\n"
      "[F]\nlocal_partner_id = LF\nremote_partner_id = RF\nip_address = 255.255.255.255\n"
      "standard_ip_port = 65535\nhipri_ip_port = 1\n";
  ASSERT_EQ(load(text), 0) << joined(lines_);
  ASSERT_EQ(entries(), 3);
  struct Expect {
    const char *ip;
    int port, hipriport;
    zvmt to, from;
    zvrt rfrom, rto;
  } expect[] = {
      {"10.1.2.3", 6999, 8080, BASIC_EDI, SIGNED_EDI, INTEGRITY_RECEIPT, NO_RECEIPT},
      {"127.000.000.001", 6999, 6998, BASIC_EDI, BASIC_EDI, NO_RECEIPT, NO_RECEIPT},
      {"255.255.255.255", 65535, 1, BASIC_EDI, BASIC_EDI, NO_RECEIPT, NO_RECEIPT},
  };
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(partner[i].isaid);
    EXPECT_STREQ(partner[i].ip, expect[i].ip);
    EXPECT_EQ(partner[i].port, expect[i].port);
    EXPECT_EQ(partner[i].hipriport, expect[i].hipriport);
    EXPECT_EQ(partner[i].svrZvMessageType, expect[i].to);
    EXPECT_EQ(partner[i].cliZvMessageType, expect[i].from);
    EXPECT_EQ(partner[i].svrZvReceiptType, expect[i].rfrom);
    EXPECT_EQ(partner[i].cliZvReceiptType, expect[i].rto);
    EXPECT_EQ(partner[i].timeout, 0);
    EXPECT_EQ(partner[i].active, 0);
  }
  std::vector<std::string> expected_lines = {
      // A
      "WARNING: Using 6999 as default standard server IP port for endpoint [A]\n",
      "WARNING: Using BASIC_EDI as default ZV EDI message format for endpoint [A]\n",
      // C
      "WARNING: Using localhost (127.0.0.1) as default IP address for endpoint [C]\n",
      "WARNING: Using 6999 as default standard server IP port for endpoint [C]\n",
      "WARNING: Using 6998 as default high priority server IP port for endpoint [C]\n",
      "WARNING: Using BASIC_EDI as default ZV EDI message format for endpoint [C]\n",
      "WARNING: Using BASIC_EDI as default ZV EDI message format for endpoint partner [C]\n",
      "WARNING: Using NO_RECEIPT as default ZV receipt format required for endpoint [C]\n",
      "WARNING: Using NO_RECEIPT as default ZV receipt format required for endpoint [C]\n",
  };
  ASSERT_GE(lines_.size(), expected_lines.size());
  EXPECT_EQ(std::vector<std::string>(lines_.begin(), lines_.begin() + expected_lines.size()),
            expected_lines);

  // An address or port is used as written or refuses the whole file, naming the section,
  // the key and the value: never some other address made of its leading digits, never
  // localhost in its place.
  struct Refused {
    const char *key, *value, *why;
  } refused[] = {
      {"ip_address", "edi.acme.example.com", "it has a part (edi) that is not a decimal"},
      {"ip_address", "a.b.c.d", "it has a part (a) that is not"},
      {"ip_address", "::ffff:10.0.0.5", "it has a part (::ffff:10) that is not"},
      {"ip_address", "::1", "it is not four decimal numbers joined by dots"},
      {"ip_address", "localhost", "it is not four decimal numbers joined by dots"},
      {"ip_address", "1.2.3", "it is not four decimal numbers joined by dots"},
      {"ip_address", "1.2.3.4.5", "it is not four decimal numbers joined by dots"},
      {"ip_address", "1000000000.1.1.1", "it has a part (1000000000) that is not"},
      {"ip_address", "-1.2.3.4", "it has a part (-1) that is not"},
      {"ip_address", "10.0.0.300", "it has a part (300) above 255"},
      {"ip_address", "999.999.999.999", "it has a part (999) above 255"},
      {"ip_address", "10.0.0.44 junk", "it has a part (44 junk) that is not"},
      {"standard_ip_port", "65536", "it is not from 1 to 65535"},
      {"standard_ip_port", "99999", "it is not from 1 to 65535"},
      {"standard_ip_port", "1e3", "it is not a plain decimal number"},
      {"standard_ip_port", "8003abc", "it is not a plain decimal number"},
      {"hipri_ip_port", "7001.5", "it is not a plain decimal number"},
      {"hipri_ip_port", "-1", "it is not a plain decimal number"},
      {"hipri_ip_port", "+8003", "it is not a plain decimal number"},
  };
  for (const Refused &r : refused) {
    SCOPED_TRACE(std::string(r.key) + " = " + r.value);
    EXPECT_EQ(load(text + r.key + " = " + r.value + "\n"), -1);
    ASSERT_FALSE(lines_.empty());
    const std::string head = "ERROR: Value (" + std::string(r.value) + ") of " + r.key +
                             " in section [F] of the Trading Partner configuration file (" +
                             path_ + ") cannot be used: ";
    EXPECT_EQ(lines_.back().substr(0, head.size()), head) << joined(lines_);
    EXPECT_NE(lines_.back().find(r.why, head.size()), std::string::npos) << lines_.back();
  }

  // An unknown word, lower case included, refuses the file instead of falling back to
  // the default: a partner meant to get signed envelopes must never get basic ones.
  const char *kMessages = "BASIC_EDI, INTEGRITY_EDI, SIGNED_EDI";
  const char *kReceipts = "NO_RECEIPT, BASIC_RECEIPT, INTEGRITY_RECEIPT, SIGNED_RECEIPT";
  struct Unknown {
    const char *key, *word, *valid;
  } unknown[] = {{"zv_message_to_tp", "signed_edi", kMessages},
                 {"zv_message_from_tp", "SINGED_EDI", kMessages},
                 {"zv_receipt_from_tp", "no_receipt", kReceipts},
                 {"zv_receipt_to_tp", "SIGNED_EDI", kReceipts}};
  for (const auto &u : unknown) {
    SCOPED_TRACE(u.key);
    // The last section is [F], which has none of the four keys.
    EXPECT_EQ(load(text + u.key + " = " + u.word + "\n"), -1);
    ASSERT_FALSE(lines_.empty());
    EXPECT_EQ(lines_.back(), "ERROR: Unknown value (" + std::string(u.word) + ") of " + u.key +
                                 " for endpoint [F] in the Trading Partner configuration file (" +
                                 path_ + "), valid values are: " + u.valid + ".\n")
        << joined(lines_);
  }
}

TEST_F(TradingPartners, RemoteCertificateSettings) {
  std::string text =
      "[default]\ntrading_partners = RC1 RC2 RC3\nlocal_certificates = LC1\n"
      "[LC1]\nzvp_name = Z\nendpoints = A B C\n"
      "[RC1]\ncertificate_common_name = one\nendpoints = A\nbidirectional_flag = 0\n"
      "msg_retry_limit = 3\nreceipt_timeout = 45\ninactivity_dur = 60\nlifetime_dur = 600\n"
      "max_inbound_connections = 2\n"
      "[RC2]\ncertificate_common_name = two\nendpoints = B\nbidirectional_flag = FALSE\n"
      "inactivity_dur = 0\n"
      "[RC3]\ncertificate_common_name = three\nendpoints = C\n" +
      endpoint("A", "LA", "RA") + endpoint("B", "LB", "RB") + endpoint("C", "LC", "RC");
  ASSERT_EQ(load(text), 0) << joined(lines_);
  EXPECT_EQ(maxCertIndex(), 3);
  struct Expect {
    int bidirectional, inactive, lifetime, inbound;
  } expect[] = {{1, 60, 600, 2}, {1, 3600, 14400, 8}, {0, 3600, 14400, 8}};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(int_from_remote_cert(i, RC_BIDIRECTIONAL), expect[i].bidirectional) << i;
    EXPECT_EQ(int_from_remote_cert(i, RC_INACTIVE_DUR), expect[i].inactive) << i;
    EXPECT_EQ(int_from_remote_cert(i, RC_LIFETIME_DUR), expect[i].lifetime) << i;
    EXPECT_EQ(int_from_remote_cert(i, RC_MAX_INBOUND), expect[i].inbound) << i;
    EXPECT_EQ(int_from_endpoint(i, EP_REMOTE_CERT), i);
  }
  CaptureStdout();
  EXPECT_EQ(dump_remoteCertRec(0, 0), 0);
  EXPECT_EQ(log_messages(GetCapturedStdout()),
            (std::vector<std::string>{
                "=== Remote Cert Entry Settings for [0] ====\n",
                "  common name = one\n",
                "  max_inbound = 2, bidirect = TRUE\n",
                "  inactive = 60 sec, lifetime  = 600 sec\n",
                "  msg_retry = 3, rcpt_timeout = 45 sec\n",
                "== END Remote Cert Entry Settings =========\n",
            }));
  CaptureStdout();
  dump_remoteCertRec(0, 2);
  EXPECT_TRUE(has_line(log_messages(GetCapturedStdout()), "  max_inbound = 8, bidirect = FALSE\n"));
}

TEST_F(TradingPartners, ValuesLongerThanTheirFieldRefuseTheFile) {
  std::string head = "[default]\ntrading_partners = RC1\nlocal_certificates = LC1\n[LC1]\n"
                     "zvp_name = Z\nendpoints = ";
  std::string id15(15, 'I');
  std::string id16(16, 'I');
  std::string cn64(64, 'c');
  std::string cn65(65, 'c');
  struct Case {
    std::string text;
    std::string error;  // empty: the file loads
  } cases[] = {
      {head + id15 + "\n[RC1]\ncertificate_common_name = " + cn64 + "\nendpoints = " + id15 +
           "\n" + endpoint(id15, id15, id15),
       ""},
      {head + id16 + "\n" + endpoint(id16, "L", "R"),
       "ERROR: Value (" + id16 + ") of endpoints in section [LC1] is longer than 15 characters "
       "in the Trading Partner configuration file (%s).\n"},
      {head + "EP\n" + endpoint("EP", id16, "R"),
       "ERROR: Value (" + id16 + ") of local_partner_id in section [EP] is longer than 15 "
       "characters in the Trading Partner configuration file (%s).\n"},
      {head + "EP\n" + endpoint("EP", "L", id16),
       "ERROR: Value (" + id16 + ") of remote_partner_id in section [EP] is longer than 15 "
       "characters in the Trading Partner configuration file (%s).\n"},
      {head + "EP\n[RC1]\ncertificate_common_name = " + cn65 + "\nendpoints = EP\n" +
           endpoint("EP", "L", "R"),
       "ERROR: Value (" + cn65 + ") of certificate_common_name in section [RC1] is longer than "
       "64 characters in the Trading Partner configuration file (%s).\n"},
      {head + "EP\n[EP]\nlocal_partner_id = L\nremote_partner_id = R\nip_address = 1.2.3." +
           std::string(26, '4') + "\n",
       "ERROR: Value (1.2.3." + std::string(26, '4') + ") of ip_address in section [EP] is longer "
       "than 31 characters in the Trading Partner configuration file (%s).\n"},
      {head + "EP\n[EP]\nlocal_partner_id = L\nremote_partner_id = R\n"
              "ip_address = 1000.1000.1000.1000\n",
       "ERROR: Value (1000.1000.1000.1000) of ip_address in section [EP] of the Trading "
       "Partner configuration file (%s) cannot be used: it has a part (1000) that is not a "
       "decimal number of one to three digits.\n"},
  };
  for (const auto &c : cases) {
    int r = load(c.text);
    if (c.error.empty()) {
      EXPECT_EQ(r, 0) << joined(lines_);
      EXPECT_STREQ(partner[0].isaid, id15.c_str());
      EXPECT_EQ(tpLookup(id15.c_str(), id15.c_str(), 0), 0);
      EXPECT_EQ(tpLookup(("/CN=" + cn64).c_str(), nullptr, 2), 0);
      continue;
    }
    EXPECT_EQ(r, -1) << c.error;
    char expected[1024];
    snprintf(expected, sizeof expected, c.error.c_str(), path_.c_str());
    EXPECT_EQ(lines_.back(), expected) << joined(lines_);
  }
}

TEST_F(TradingPartners, RemoteCertificateLinks) {
  std::string eps = endpoint("PARTNER1", "L1", "R1") + endpoint("PARTNER10", "L10", "R10") +
                    endpoint("SHARED", "LS", "RS");
  // PARTNER1 precedes PARTNER10: the certificate of PARTNER10 must not land on it.
  std::string text =
      "[default]\ntrading_partners = RC1 RC2\nlocal_certificates = LCA LCB\n"
      "[LCA]\nzvp_name = ZVPA\nendpoints = PARTNER1 SHARED\n"
      "[LCB]\nzvp_name = ZVPB\nendpoints = PARTNER10,SHARED\n"
      "[RC1]\ncertificate_common_name = first\nendpoints = PARTNER1\n"
      "[RC2]\ncertificate_common_name = second\nendpoints = PARTNER10 SHARED\n" + eps;
  identities({"ZVPB", "ZVPA"});
  ASSERT_EQ(load(text), 0) << joined(lines_);
  ASSERT_EQ(entries(), 4);
  struct Expect {
    const char *isaid;
    int rcert, lcert;
  } expect[] = {{"PARTNER1", 0, 1}, {"SHARED", 1, 1}, {"PARTNER10", 1, 0}, {"SHARED", 1, 0}};
  for (int i = 0; i < 4; ++i) {
    EXPECT_STREQ(partner[i].isaid, expect[i].isaid);
    EXPECT_EQ(partner[i].rcert_index, expect[i].rcert) << i;
    EXPECT_EQ(partner[i].lcert_index, expect[i].lcert) << i;
  }

  // A remote certificate naming no loaded endpoint, and a 65th certificate.
  EXPECT_EQ(load("[default]\ntrading_partners = RC1\nlocal_certificates = LCA\n"
                 "[LCA]\nzvp_name = ZVPA\nendpoints = PARTNER1\n"
                 "[RC1]\ncertificate_common_name = first\nendpoints = PARTNER1 PARTNER10\n" + eps),
            -1);
  EXPECT_EQ(lines_.back(), "ERROR: Endpoint PARTNER10 listed by remote cert RC1 is not an "
                           "endpoint of any local cert in the Trading Partner configuration "
                           "file (" + path_ + ").\n");
  std::string many;
  std::string sections;
  for (int i = 0; i < 65; ++i) {
    many += " RC" + std::to_string(i);
    sections += "[RC" + std::to_string(i) + "]\ncertificate_common_name = c" + std::to_string(i) +
                "\nendpoints = PARTNER1\n";
  }
  std::string head = "[default]\nlocal_certificates = LCA\n[LCA]\nzvp_name = ZVPA\n"
                     "endpoints = PARTNER1\n" + eps + sections;
  EXPECT_EQ(load("[default]\ntrading_partners =" + many.substr(0, many.rfind(' ')) + "\n" + head),
            0)
      << joined(lines_);
  EXPECT_EQ(maxCertIndex(), 64);
  EXPECT_EQ(partner[0].rcert_index, 63);
  EXPECT_EQ(load("[default]\ntrading_partners =" + many + "\n" + head), -1);
  EXPECT_EQ(lines_.back(), "ERROR: Too many remote certs in Trading Partner configuration file: " +
                               path_ + "\n");
}

TEST_F(TradingPartners, LookupModes) {
  std::string text =
      "[default]\ntrading_partners = RC1 RC2\nlocal_certificates = LC1\n"
      "[LC1]\nzvp_name = Z\nendpoints = E0 PARTNER1 E2 E3 E4\n"
      "[RC1]\ncertificate_common_name = acme\nendpoints = E0 PARTNER1\n"
      "[RC2]\ncertificate_common_name = acme-two\nendpoints = E2 E3 E4\n" +
      endpoint("E0", "AB", "XYZ", "ip_address = 10.1.2.30\n") +
      endpoint("PARTNER1", "ABCD", "XYZ", "ip_address = 10.1.2.3\n") +
      endpoint("E2", "ABCE", "XYZ") + endpoint("E3", "QQ", "XYZW") +
      endpoint("E4", "QQ", "XY");
  ASSERT_EQ(load(text), 0) << joined(lines_);
  std::string key_abc = "ABC            ";
  std::string key_xyz = "XYZ            ";
  ASSERT_EQ(key_abc.size(), 15u);
  struct Case {
    const char *name;
    std::string strp;
    const char *remote;
    int mode;
    int expected;
  } cases[] = {
      {"ids: a key that begins stored ids finds none", key_abc, key_xyz.c_str(), 0, -1},
      {"ids: the same ids, blank-padded", "ABCD           ", key_xyz.c_str(), 0, 1},
      {"ids: AB is the whole of an id", "AB             ", "XYZ", 0, 0},
      {"ids: the remote id must be the same too", "QQ", "XYZW ", 0, 3},
      {"ids: XY is an id of its own, not the beginning of XYZW", "QQ", "XY", 0, 4},
      {"ids: a key longer than every stored id", "ABCDE", "XYZ", 0, -1},
      {"ids: an inner blank is part of the id", "AB CD          ", "XYZ", 0, -1},
      {"ids: a key beginning with a blank finds none", " ABC", "XY", 0, -1},
      {"ids: empty keys find none", "", "", 0, -1},
      {"ids: all-blank keys find none", "               ", "               ", 0, -1},
      {"ids: no such local id", "NONE", "XYZ", 0, -1},
      {"address: exact", "10.1.2.3", nullptr, 1, 1},
      {"address: followed by a port", "10.1.2.3:6999", nullptr, 1, 1},
      {"address: 10.1.2.30 is not 10.1.2.3", "10.1.2.30", nullptr, 1, 0},
      {"address: none", "10.9.9.9", nullptr, 1, -1},
      {"subject: CN at the end", "/C=US/O=Acme Telecom/CN=acme", nullptr, 2, 0},
      {"subject: CN followed by more", "/CN=acme/emailAddress=x@y", nullptr, 2, 0},
      {"subject: the whole name", "/CN=acme-two", nullptr, 2, 2},
      {"subject: a name that begins stored names finds none", "/CN=acm", nullptr, 2, -1},
      {"subject: a stored name that begins the name is not it", "/CN=acme-twofold", nullptr, 2,
       -1},
      {"subject: empty name matches nothing", "/O=x/CN=", nullptr, 2, -1},
      {"subject: unknown name", "/CN=other", nullptr, 2, -1},
      {"isa id: begins the key", "PARTNER1EXTRA", nullptr, 3, 1},
      {"isa id: exact", "E3", nullptr, 3, 3},
      {"isa id: key shorter than every id", "E", nullptr, 3, -1},
  };
  for (const auto &c : cases) {
    CaptureStderr();
    EXPECT_EQ(tpLookup(c.strp.c_str(), c.remote, c.mode), c.expected) << c.name;
    EXPECT_EQ(GetCapturedStderr(), "") << c.name;
  }
  EXPECT_EQ(tpLookup(nullptr, "XYZ", 0), -1);
  EXPECT_EQ(tpLookup("ABC", nullptr, 0), -1);
  EXPECT_EQ(tpLookup(nullptr, nullptr, 3), -1);

  CaptureStderr();
  EXPECT_EQ(tpLookup("/O=nocn", nullptr, 2), -1);
  EXPECT_EQ(tpLookup("ABC", "XYZ", 4), -1);
  EXPECT_EQ(tpLookup("ABC", "XYZ", -1), -1);
  EXPECT_EQ(log_messages(GetCapturedStderr()),
            (std::vector<std::string>{
                "ERROR: Cannot find CN= in subject name [/O=nocn] in client certificate\n",
                "ERROR: internal error encountered in tpLookup(): unknown lookup_flag = 4 found\n",
                "ASSERT Failed: zv_tpdbsup_ng: line 664\n",
                "ERROR: internal error encountered in tpLookup(): unknown lookup_flag = -1 found\n",
            }));
}

// A document must never go to another partner whose id or certificate name merely begins
// with (or is the beginning of) its own, whichever comes first in the file.
TEST_F(TradingPartners, IdsAndCommonNamesMatchOnlyTheSameText) {
  std::string text =
      "[default]\ntrading_partners = RCW RC\nlocal_certificates = LC1\n"
      "[LC1]\nzvp_name = Z\nendpoints = DXC_TESTWEST DXC_TEST\n"
      "[RCW]\ncertificate_common_name = ACMEWEST\nendpoints = DXC_TESTWEST\n"
      "[RC]\ncertificate_common_name = ACME\nendpoints = DXC_TEST\n" +
      endpoint("DXC_TESTWEST", "DXC7", "DXC_TESTWEST") + endpoint("DXC_TEST", "DXC7", "DXC_TEST");
  ASSERT_EQ(load(text), 0) << joined(lines_);
  ASSERT_STREQ(partner[0].isaid, "DXC_TESTWEST");
  auto isa = [](const std::string &id) { return id + std::string(15 - id.size(), ' '); };
  struct Case {
    std::string strp, remote;
    int mode;
    int expected;
  } cases[] = {
      {isa("DXC7"), isa("DXC_TEST"), 0, 1},
      {isa("DXC7"), isa("DXC_TESTWEST"), 0, 0},
      {isa("DXC7"), isa("DXC_T"), 0, -1},
      {isa("DXC"), isa("DXC_TEST"), 0, -1},
      {"/O=x/CN=ACME", "", 2, 1},
      {"/CN=ACMEWEST/O=x", "", 2, 0},
      {"/CN=A", "", 2, -1},
  };
  for (const Case &c : cases)
    EXPECT_EQ(tpLookup(c.strp.c_str(), c.remote.c_str(), c.mode), c.expected)
        << c.strp << " / " << c.remote << " mode " << c.mode;
}

TEST_F(TradingPartners, EmptyTableFindsNothing) {
  memset(partner, 0, sizeof partner);
  EXPECT_EQ(tpLookup("", "", 0), -1);
  EXPECT_EQ(tpLookup("127.000.000.001", nullptr, 1), -1);
  EXPECT_EQ(tpLookup("/CN=acme", nullptr, 2), -1);
  EXPECT_EQ(tpLookup("PARTNER1", nullptr, 3), -1);
}

TEST_F(TradingPartners, AccessorsOutsideTheTable) {
  ASSERT_EQ(load(std::string(kSimple) + endpoint("EP1", "L", "R")), 0);
  CaptureStderr();
  EXPECT_EQ(int_from_endpoint(1, EP_LOCAL_CERT), -1);
  EXPECT_EQ(int_from_endpoint(-1, EP_LOCAL_CERT), -1);
  EXPECT_EQ(int_from_remote_cert(1, RC_MAX_INBOUND), -1);
  EXPECT_EQ(int_from_remote_cert(-1, RC_MAX_INBOUND), -1);
  EXPECT_EQ(log_messages(GetCapturedStderr()),
            (std::vector<std::string>{
                "ASSERT Failed: zv_tpdbsup_ng: line 595\n",
                "ASSERT Failed: zv_tpdbsup_ng: line 596\n",
                "ASSERT Failed: zv_tpdbsup_ng: line 619\n",
                "ASSERT Failed: zv_tpdbsup_ng: line 620\n",
            }));
}

TEST_F(TradingPartners, EndpointDumpWordings) {
  ASSERT_EQ(load(std::string(kSimple) +
                 endpoint("EP1", "LOCAL1", "REMOTE1", "session_timeout = 9\nserver_status = 1\n")),
            0);
  CaptureStdout();
  EXPECT_EQ(dump_endpointRec(0, 0), 0);
  EXPECT_EQ(log_messages(GetCapturedStdout()),
            (std::vector<std::string>{
                "=== Endpoint Settings for [0] =============\n",
                "  isaid = EP1, local id = LOCAL1, remote id = REMOTE1\n",
                "  ip = 10.0.0.1, stdport = 7001, hipriport = 7002\n",
                "  session timeout = 9\n",
                "  lcert index = -1, rcert index = 0\n",
                "  EDI message type to TP = EDI with Non-repudiation (signiture)\n",
                "  EDI message type from TP = EDI with Message Integrity (digest)\n",
                "  Receipt message type from TP = Receipt with Non-repudiation (signiture) "
                "required\n",
                "  Receipt message type to TP = Basic Receipt required\n",
                "  Trading Partner's Active server flag = 1\n",
                "  ZV Standard \"Flavor\" default = ECIC 12/98\n",
                "== END Endpoint Settings ==================\n",
            }));

  // Values outside an enumeration's named ones, but inside the range its type can hold.
  struct Case {
    int mt, rt, fl;
    const char *to, *rfrom, *flavor;
  } cases[] = {
      {BASIC_EDI, NO_RECEIPT, ECIC_12_98, "Basic EDI Message", "No Receipt required",
       "ECIC 12/98"},
      {-1, -1, -1, "Unsupported EDI Message Type (-1)", "Unsupported Receipt Type (-1)",
       "Unsupported ZV Flavor (-1)"},
      {2, 2, 2, "EDI with Message Integrity (digest)", "Basic Receipt required",
       "TCIF/ECIC 98-006 v2 3/99"},
      {3, 3, 3, "EDI with Non-repudiation (signiture)",
       "Receipt with Message Integrity (digest) required", "ATIS T1.M1.5 3/99"},
      {0, 4, 4, "Unknown EDI Message Type (0)",
       "Receipt with Non-repudiation (signiture) required", "ITU Q.814/815 2/2000"},
      {-2, 5, 5, "Unknown EDI Message Type (-2)", "Unknown Receipt Message Type (5) found",
       "Unknown ZV Flavor (5)"},
      {-3, 0, 6, "Unknown EDI Message Type (-3)", "Unknown Receipt Message Type (0) found",
       "Unknown ZV Flavor (6)"},
      {1, -2, 0, "Basic EDI Message", "Unknown Receipt Message Type (-2) found",
       "Unknown ZV Flavor (0)"},
  };
  for (const auto &c : cases) {
    partner[0].svrZvMessageType = static_cast<zvmt>(c.mt);
    partner[0].svrZvReceiptType = static_cast<zvrt>(c.rt);
    partner[0].zvflavor = static_cast<zvfl>(c.fl);
    CaptureStdout();
    dump_endpointRec(0, 0);
    auto out = log_messages(GetCapturedStdout());
    ASSERT_EQ(out.size(), 12u);
    EXPECT_EQ(out[5], std::string("  EDI message type to TP = ") + c.to + "\n");
    EXPECT_EQ(out[7], std::string("  Receipt message type from TP = ") + c.rfrom + "\n");
    EXPECT_EQ(out[10], std::string("  ZV Standard \"Flavor\" default = ") + c.flavor + "\n");
  }
}

TEST_F(TradingPartners, VerboseLoadDumpsEveryPartner) {
  identities({"ZVPA"});
  verbose_flag = 1;
  CaptureStdout();
  ASSERT_EQ(load(std::string(kSimple) + endpoint("EP1", "L", "R")), 0);
  auto out = log_messages(GetCapturedStdout());
  verbose_flag = 0;
  ASSERT_FALSE(out.empty());
  EXPECT_EQ(out.front(), "======= Configuartion for EP1\n");
  EXPECT_EQ(out.back(), "======= END Configuartion for EP1\n");
  auto at = [&](const std::string &l) { return std::find(out.begin(), out.end(), l) - out.begin(); };
  long local = at("=== Local Cert Entry Settings for [0] =====\n");
  long remote = at("=== Remote Cert Entry Settings for [0] ====\n");
  long ep = at("=== Endpoint Settings for [0] =============\n");
  EXPECT_EQ(local, 1);
  EXPECT_LT(local, remote);
  EXPECT_LT(remote, ep);
  EXPECT_LT(ep, static_cast<long>(out.size()));
}

TEST_F(TradingPartners, ConfigurationBitDumpsWhileLoading) {
  debug_level = 2048;
  ASSERT_EQ(load(std::string(kSimple) + endpoint("EP1", "L", "R")), 0);
  debug_level = 0;
  EXPECT_EQ(lines_.front(), "=== Endpoint Settings for [0] =============\n");
  EXPECT_TRUE(has_line(lines_, "=== Remote Cert Entry Settings for [0] ====\n"));
  EXPECT_TRUE(has_line(lines_, "  common name = acme\n"));
}

TEST_F(TradingPartners, ReachableThroughTheServiceTable) {
  zv_register_partner_services();
  ASSERT_NE(zv_services.read_TPfile, nullptr);
  zvtest::write_file(dir_ + "/tp.conf", std::string(kSimple) + endpoint("EP1", "L", "R"));
  EXPECT_EQ(zv_services.read_TPfile((dir_ + "/tp.conf").c_str()), 0);
  EXPECT_EQ(tpLookup("EP1", nullptr, 3), 0);
}
