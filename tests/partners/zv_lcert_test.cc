#include "partners/zv_lcert.h"

#include <gtest/gtest.h>
#include <openssl/conf.h>
#include <openssl/err.h>
#include <openssl/x509.h>

#include <cstring>
#include <memory>
#include <string>

#include "partners/zv_crypto.h"
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
using zvptest::test_key;

namespace {

struct ConfDel {
  void operator()(CONF *c) const { NCONF_free(c); }
};

class LocalCerts : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = zvtest::scratch_dir("lcert");
    debug_level = 0;
    keyFileName[0] = '\0';
    certificateFileName[0] = '\0';
    init_lcert_table();
    east_ = test_key(1024, "zvp-east", "US", "Acme Telecom");
    west_ = test_key(2048, "zvp-west");
  }
  void TearDown() override {
    init_lcert_table();
    debug_level = 0;
  }

  // Writes the configuration file and loads it as the configuration walk does.
  void conf(const std::string &text) {
    std::string path = dir_ + "/zolvar.conf";
    zvtest::write_file(path, text);
    conf_.reset(NCONF_new(nullptr));
    long eline = 0;
    ASSERT_EQ(NCONF_load(conf_.get(), path.c_str(), &eline), 1) << "line " << eline;
  }

  // load_lcert_table with its log lines captured (standard error, prefixes removed).
  int load(const char *section, int slot, const char *dflt = "127.0.0.1:8003") {
    CaptureStderr();
    int r = load_lcert_table(conf_.get(), section, dflt, slot);
    lines_ = log_messages(GetCapturedStderr());
    return r;
  }

  std::string zvp_section(const std::string &name, const std::string &extra,
                          const zvptest::KeyFiles &files) {
    return "[" + name + "]\nprocess_type = ZVP_PROCESS\nkey = " + files.key +
           "\ncert = " + files.cert + "\n" + extra;
  }

  std::string dir_;
  zvptest::KeyFiles east_;
  zvptest::KeyFiles west_;
  std::unique_ptr<CONF, ConfDel> conf_;
  std::vector<std::string> lines_;
};

struct Entry {
  int version = -7;
  X509 *cert = nullptr;
  EVP_PKEY *key = nullptr;
  char socaddr[64];
  int pacing = -7;
  int result = 0;
};

Entry entry(int slot) {
  Entry e;
  memset(e.socaddr, '#', sizeof e.socaddr);
  e.result = get_lcert_entry(slot, &e.version, &e.cert, &e.key, e.socaddr, &e.pacing);
  return e;
}

std::string subject(X509 *cert) {
  char buf[256];
  X509_NAME_oneline(X509_get_subject_name(cert), buf, sizeof buf);
  return buf;
}

}  // namespace

TEST_F(LocalCerts, LoadsAWholeIdentity) {
  conf("[default]\nprocess_names = ZVPEAST\n" +
       zvp_section("ZVPEAST", "zvversion = 3\ntransport_listen_port = 10.0.0.5:9100\n"
                              "pacing_delay = 250\n",
                   east_));
  ASSERT_EQ(load("ZVPEAST", 0), 0) << joined(lines_);
  EXPECT_TRUE(lines_.empty()) << joined(lines_);
  Entry e = entry(0);
  ASSERT_EQ(e.result, 0);
  EXPECT_EQ(e.version, 3);
  EXPECT_STREQ(e.socaddr, "10.0.0.5:9100");
  EXPECT_EQ(e.pacing, 250);
  ASSERT_NE(e.cert, nullptr);
  EXPECT_EQ(subject(e.cert), "/C=US/O=Acme Telecom/CN=zvp-east");
  // The key signs by the rule and the certificate's public key checks it.
  unsigned char data[] = "ISA*00*";
  char sig[ZV_DIGEST_SIZE];
  unsigned long len = 0;
  ASSERT_NE(hex_RSAsign(e.key, data, 7, &len, sig), nullptr);
  EXPECT_EQ(len, 128u);
  EXPECT_EQ(hex_RSAverify(X509_get0_pubkey(e.cert), data, 7,
                          reinterpret_cast<unsigned char *>(sig), static_cast<unsigned>(len)),
            1);
  EXPECT_STREQ(keyFileName, east_.key.c_str());
  EXPECT_STREQ(certificateFileName, east_.cert.c_str());
  EXPECT_EQ(get_lcert_index("ZVPEAST"), 0);

  // An issuer without country or organization leaves those fields of every signed
  // envelope empty: said once here, naming the identity, not at each document.
  conf("[default]\nprocess_names = ZVPWEST\n" + zvp_section("ZVPWEST", "zvversion = 2\n", west_));
  ASSERT_EQ(load("ZVPWEST", 1), 0) << joined(lines_);
  const std::string tail = "field of local cert [" + west_.cert +
                           "] for zvp process [ZVPWEST] - its signed envelopes carry that field "
                           "empty\n";
  EXPECT_EQ(lines_, (std::vector<std::string>{"WARNING: cannot parse issuerCountry " + tail,
                                              "WARNING: cannot parse issuerOrganization " + tail}));
}

TEST_F(LocalCerts, VersionAndDefaults) {
  struct Case {
    const char *value;  // nullptr: no zvversion key
    int version;
    bool warned;
  } cases[] = {
      {"3", 3, false}, {"2", 2, false},      {"4", 2, true},   {"three", 2, true},
      {nullptr, 2, true}, {"3abc", 3, false}, {"", 2, true},   {"03", 3, false},
  };
  for (const auto &c : cases) {
    std::string extra = c.value ? std::string("zvversion = ") + c.value + "\n" : "";
    conf("[default]\nprocess_names = Z\n" + zvp_section("Z", extra, east_));
    ASSERT_EQ(load("Z", 5), 0) << joined(lines_);
    Entry e = entry(5);
    EXPECT_EQ(e.version, c.version) << (c.value ? c.value : "(none)");
    EXPECT_EQ(has_line(lines_, "WARNING: Using 2 as the default ZV version for zvp process [Z]\n"),
              c.warned)
        << joined(lines_);
    // No transport_listen_port: the walk's default; no pacing_delay: 0.
    EXPECT_STREQ(e.socaddr, "127.0.0.1:8003");
    EXPECT_EQ(e.pacing, 0);
  }
}

TEST_F(LocalCerts, DefaultSectionStandsInForMissingKeys) {
  conf("[default]\nprocess_names = A B\nzvversion = 3\npacing_delay = 40\nkey = " + west_.key +
       "\ncert = " + west_.cert + "\n[A]\nprocess_type = ZVP_PROCESS\n" +
       zvp_section("B", "zvversion = 2\n", east_));
  ASSERT_EQ(load("A", 0, "127.0.0.1:8003"), 0) << joined(lines_);
  ASSERT_EQ(load("B", 1, "127.0.0.1:8004"), 0) << joined(lines_);
  Entry a = entry(0);
  Entry b = entry(1);
  EXPECT_EQ(a.version, 3);
  EXPECT_EQ(a.pacing, 40);
  EXPECT_EQ(subject(a.cert), "/CN=zvp-west");
  EXPECT_STREQ(a.socaddr, "127.0.0.1:8003");
  EXPECT_EQ(b.version, 2);
  EXPECT_EQ(subject(b.cert), "/C=US/O=Acme Telecom/CN=zvp-east");
  EXPECT_STREQ(b.socaddr, "127.0.0.1:8004");
  // The names of the last section loaded stay for the start-up file check.
  EXPECT_STREQ(keyFileName, east_.key.c_str());
  EXPECT_STREQ(certificateFileName, east_.cert.c_str());
}

TEST_F(LocalCerts, DefaultAddressNoteAtDebugLevelOne) {
  conf("[default]\nprocess_names = Z\n" + zvp_section("Z", "zvversion = 2\n", east_));
  debug_level = 1;
  ASSERT_EQ(load("Z", 0, "127.0.0.1:8005"), 0);
  EXPECT_EQ(lines_, (std::vector<std::string>{
                        "Using default transport socket [127.0.0.1:8005] for zvp process [Z]\n"}));
}

TEST_F(LocalCerts, FailuresEmptyTheSlotWithTheirMessages) {
  std::string bad = dir_ + "/bad.pem";
  zvtest::write_file(bad, "not pem\n");
  struct Case {
    const char *name;
    std::string keys;
    std::vector<std::string> expected;  // every line on standard error, in order
  } cases[] = {
      {"no key", "cert = " + east_.cert + "\n",
       {"ERROR: Cannot find REQUIRED field (key) for zvp process [Z]\n"}},
      {"empty key", "key =\ncert = " + east_.cert + "\n",
       {"ERROR: Cannot find REQUIRED field (key) for zvp process [Z]\n"}},
      {"no cert", "key = " + east_.key + "\n",
       {"ERROR: Cannot find REQUIRED field (cert) for zvp process [Z]\n"}},
      {"bad key", "key = " + bad + "\ncert = " + east_.cert + "\n",
       {"unable to load Private Key\n",
        "ERROR: Cannot load local private key [" + bad +
            "]. Format may not be supported or the file may be invalid\n"}},
      {"missing key file", "key = " + dir_ + "/none.pem\ncert = " + east_.cert + "\n",
       {dir_ + "/none.pem: No such file or directory\n", "unable to load Private Key\n",
        "ERROR: Cannot load local private key [" + dir_ +
            "/none.pem]. Format may not be supported or the file may be invalid\n"}},
      {"bad cert", "key = " + east_.key + "\ncert = " + bad + "\n",
       {"unable to load certificate\n",
        "ERROR: Cannot load local cert [" + bad +
            "] The format may not be supported or the file may be invalid\n"}},
      {"bad key and bad cert: only the key is reported", "key = " + bad + "\ncert = " + bad + "\n",
       {"unable to load Private Key\n",
        "ERROR: Cannot load local private key [" + bad +
            "]. Format may not be supported or the file may be invalid\n"}},
      {"key too short to sign: reported before the certificate is read",
       "key = " + test_key(512).key + "\ncert = " + bad + "\n",
       {"ERROR: Local private key [" + test_key(512).key +
        "] for zvp process [Z] cannot sign: its RSA key modulus of 64 bytes must be 66 to 2048 "
        "bytes\n"}},
      {"key of another certificate", "key = " + west_.key + "\ncert = " + east_.cert + "\n",
       {"ERROR: Local private key [" + west_.key + "] does not belong to local cert [" +
        east_.cert + "] for zvp process [Z]\n"}},
      {"certificate given as key", "key = " + east_.cert + "\ncert = " + east_.cert + "\n",
       {"unable to load Private Key\n",
        "ERROR: Cannot load local private key [" + east_.cert +
            "]. Format may not be supported or the file may be invalid\n"}},
      {"address too long",
       "key = " + east_.key + "\ncert = " + east_.cert +
           "\ntransport_listen_port = " + std::string(60, 'h') + ":8003\n",
       {"ERROR: Value of field (transport_listen_port) for zvp process [Z] is longer than 63 "
        "characters\n"}},
  };
  for (const auto &c : cases) {
    // Fill the slot first: a failed load must leave it empty, not as it was.
    conf("[default]\nprocess_names = Z\n[OK]\nzvversion = 2\nkey = " + west_.key +
         "\ncert = " + west_.cert + "\n[Z]\nzvversion = 3\n" + c.keys);
    ASSERT_EQ(load("OK", 3), 0) << joined(lines_);
    ASSERT_EQ(entry(3).result, 0);
    EXPECT_EQ(load("Z", 3), -1) << c.name;
    EXPECT_EQ(lines_, c.expected) << c.name << "\n" << joined(lines_);
    Entry e = entry(3);
    EXPECT_EQ(e.result, -1) << c.name;
    EXPECT_EQ(e.version, -7);
    EXPECT_EQ(e.pacing, -7);
    EXPECT_EQ(e.socaddr[0], '#');
    EXPECT_EQ(get_lcert_index("Z"), -1) << c.name;
    EXPECT_EQ(get_lcert_index("OK"), -1) << c.name;
    EXPECT_EQ(ERR_peek_error(), 0u) << c.name;
  }
}

// The ZVP process's address is connected to as written or refused at start: never read
// in octal, in part, or as a name that may not resolve.
TEST_F(LocalCerts, TransportAddressIsUsedAsWrittenOrRefused) {
  conf("[default]\nprocess_names = Z\n" +
       zvp_section("Z", "zvversion = 2\ntransport_listen_port = 010.000.000.001:08003\n", east_));
  ASSERT_EQ(load("Z", 0), 0) << joined(lines_);
  EXPECT_STREQ(entry(0).socaddr, "010.000.000.001:08003");
  const std::string kPart = " that is not a decimal number of one to three digits";
  struct Refused {
    std::string value, why;
  } refused[] = {
      {"localhost:8003", "its address is not four decimal numbers joined by dots"},
      {"no.such.host.invalid:8003", "its address has a part (no)" + kPart},
      {"[::1]:8003", "its address is not four decimal numbers joined by dots"},
      {"1.2.3:8003", "its address is not four decimal numbers joined by dots"},
      {"10.0.0.44 junk:8003", "its address has a part (44 junk)" + kPart},
      {"127.0.0.1", "it has no ':' before a port"},
      {"127.0.0.1:0", "its port is not from 1 to 65535"},
      {"127.0.0.1:65536", "its port is not from 1 to 65535"},
      {"127.0.0.1:8003abc", "its port is not a plain decimal number"},
      {"127.0.0.1:+8003", "its port is not a plain decimal number"},
      {"127.0.0.1: 8003", "its port is not a plain decimal number"},
      {":8003", "its address is empty"},
  };
  snprintf(configFileName, sizeof configFileName, "%s", "site.conf");
  for (const Refused &r : refused) {
    SCOPED_TRACE(r.value);
    conf("[default]\nprocess_names = Z\n" +
         zvp_section("Z", "zvversion = 2\ntransport_listen_port = " + r.value + "\n", east_));
    EXPECT_EQ(load("Z", 0), -1);
    EXPECT_EQ(entry(0).result, -1);
    EXPECT_EQ(lines_, (std::vector<std::string>{
                          "ERROR: Value (" + r.value +
                          ") of transport_listen_port for zvp process [Z] in the configuration "
                          "file (site.conf) cannot be used: " + r.why + ".\n"}));
  }
  configFileName[0] = '\0';
}

TEST_F(LocalCerts, SectionNameLongerThanTheFieldIsRefused) {
  std::string name(64, 'N');
  conf("[default]\nprocess_names = " + name + "\n" + zvp_section(name, "zvversion = 2\n", east_));
  EXPECT_EQ(load(name.c_str(), 0), -1);
  EXPECT_EQ(lines_, (std::vector<std::string>{"ERROR: The name of zvp process [" + name +
                                              "] is longer than 63 characters\n"}));
  EXPECT_EQ(entry(0).result, -1);
  EXPECT_EQ(get_lcert_index(name.c_str()), -1);
  EXPECT_EQ(get_lcert_index(name.substr(0, 63).c_str()), -1);
}

TEST_F(LocalCerts, IndexMatchesExactNamesOnly) {
  conf("[default]\nprocess_names = ZVP1 ZVP2\n" + zvp_section("ZVP1", "zvversion = 2\n", east_) +
       zvp_section("ZVP2", "zvversion = 3\n", west_));
  ASSERT_EQ(load("ZVP1", 0), 0);
  ASSERT_EQ(load("ZVP2", 1), 0);
  EXPECT_EQ(get_lcert_index("ZVP1"), 0);
  EXPECT_EQ(get_lcert_index("ZVP2"), 1);
  EXPECT_EQ(get_lcert_index("ZVP"), -1);
  EXPECT_EQ(get_lcert_index("ZVP10"), -1);
  EXPECT_EQ(get_lcert_index("zvp1"), -1);
  EXPECT_EQ(get_lcert_index(""), -1);
  init_lcert_table();
  EXPECT_EQ(get_lcert_index("ZVP1"), -1);
  EXPECT_EQ(entry(0).result, -1);
}

TEST_F(LocalCerts, BadSlotsAndArguments) {
  conf("[default]\nprocess_names = Z\n" + zvp_section("Z", "", east_));
  CaptureStderr();
  EXPECT_EQ(load_lcert_table(conf_.get(), "Z", "127.0.0.1:8003", 64), -1);
  EXPECT_EQ(load_lcert_table(conf_.get(), "Z", "127.0.0.1:8003", -1), -1);
  EXPECT_EQ(load_lcert_table(nullptr, "Z", "127.0.0.1:8003", 0), -1);
  Entry e = entry(64);
  EXPECT_EQ(entry(-1).result, -1);
  EXPECT_EQ(dump_localCertRec(0, 64), -1);
  auto lines = log_messages(GetCapturedStderr());
  EXPECT_EQ(e.result, -1);
  EXPECT_EQ(e.version, -7);
  ASSERT_EQ(lines.size(), 6u) << joined(lines);
  for (const auto &l : lines) EXPECT_EQ(l.rfind("ASSERT Failed: zv_lcert: line ", 0), 0u) << l;
}

TEST_F(LocalCerts, DumpTexts) {
  conf("[default]\nprocess_names = ZVPEAST\n" +
       zvp_section("ZVPEAST", "zvversion = 3\ntransport_listen_port = 127.0.0.1:8103\n"
                              "pacing_delay = 7\n",
                   east_));
  ASSERT_EQ(load("ZVPEAST", 2), 0);
  Entry e = entry(2);
  char handles[64];
  snprintf(handles, sizeof handles, "  cert = x%08x, key = x%08x\n",
           static_cast<unsigned>(reinterpret_cast<uintptr_t>(e.cert)),
           static_cast<unsigned>(reinterpret_cast<uintptr_t>(e.key)));
  std::vector<std::string> body = {
      "=== Local Cert Entry Settings for [2] =====\n",
      "  zvp_reference = ZVPEAST, zvp_version = 3\n",
      "  transport socaddr = 127.0.0.1:8103\n",
      "  outbound pacing delay = 7\n",
      handles,
      "  cert subject = /C=US/O=Acme Telecom/CN=zvp-east\n",
  };
  CaptureStdout();
  EXPECT_EQ(dump_localCertRec(0, 2), 0);
  auto out = log_messages(GetCapturedStdout());
  auto expected = body;
  expected.push_back("== END Local Cert Entry Settings ==========\n");
  EXPECT_EQ(out, expected);

  // With the certificate and key bits the printouts come between their headings.
  debug_level = 1 | 64 | 128;
  CaptureStderr();
  EXPECT_EQ(dump_localCertRec(1, 2), 0);
  auto err = log_messages(GetCapturedStderr());
  debug_level = 0;
  ASSERT_GT(err.size(), body.size() + 6);
  EXPECT_EQ(std::vector<std::string>(err.begin(), err.begin() + body.size()), body);
  auto at = [&](const std::string &l) { return std::find(err.begin(), err.end(), l) - err.begin(); };
  long c0 = at("== Local X.509 Cert =======================\n");
  long c1 = at("== END of Local X.509 Cert ================\n");
  long k0 = at("== Own RSA Private Key ====================\n");
  long k1 = at("== END of Own RSA Private Key =============\n");
  EXPECT_EQ(c0, static_cast<long>(body.size()));
  EXPECT_LT(c0 + 5, c1);
  EXPECT_EQ(err[c0 + 1], "  Certificate:\n");
  EXPECT_EQ(k0, c1 + 1);
  EXPECT_EQ(err[k0 + 1], "        Private-Key: (1024 bit, 2 primes)\n");
  EXPECT_LT(k0 + 5, k1);
  EXPECT_EQ(err.back(), "== END Local Cert Entry Settings ==========\n");
  EXPECT_EQ(k1 + 2, static_cast<long>(err.size()));
}

TEST_F(LocalCerts, ConfigurationBitPrintsTheEntryOnLoad) {
  conf("[default]\nprocess_names = Z\n" + zvp_section("Z", "zvversion = 2\n", east_));
  debug_level = 0x800;  // the entry is printed at level 1, so nothing shows yet
  ASSERT_EQ(load("Z", 0), 0);
  EXPECT_TRUE(lines_.empty()) << joined(lines_);
  debug_level = 0x801;
  ASSERT_EQ(load("Z", 0), 0);
  EXPECT_TRUE(has_line(lines_, "=== Local Cert Entry Settings for [0] =====\n")) << joined(lines_);
  EXPECT_TRUE(has_line(lines_, "== END Local Cert Entry Settings ==========\n"));
}

TEST_F(LocalCerts, ReachableThroughTheServiceTable) {
  zv_register_partner_services();
  ASSERT_NE(zv_services.load_lcert_table, nullptr);
  ASSERT_NE(zv_services.get_lcert_entry, nullptr);
  ASSERT_NE(zv_services.init_lcert_table, nullptr);
  EXPECT_EQ(zv_services.dump_X509, &dump_X509);
  conf("[default]\nprocess_names = Z\n" + zvp_section("Z", "zvversion = 3\n", west_));
  CaptureStderr();
  ASSERT_EQ(zv_services.load_lcert_table(conf_.get(), "Z", "127.0.0.1:8009", 4), 0);
  GetCapturedStderr();
  Entry e;
  ASSERT_EQ(zv_services.get_lcert_entry(4, &e.version, &e.cert, &e.key, e.socaddr, &e.pacing), 0);
  EXPECT_EQ(e.version, 3);
  EXPECT_STREQ(e.socaddr, "127.0.0.1:8009");
  EXPECT_EQ(zv_services.init_lcert_table(), 0);
  EXPECT_EQ(entry(4).result, -1);
}
