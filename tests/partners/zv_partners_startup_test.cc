// The local identities and the trading-partner file as start-up loads them: a real
// clientd started in a scratch installation, and the same files walked in this process
// to find partners by every mode and sign for them, checked with the openssl command.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include <string>
#include <vector>

#include "partners/zv_crypto.h"
#include "partners/zv_lcert.h"
#include "partners/zv_partner_services.h"
#include "partners/zv_tpartner.h"
#include "runtime/zv_globals.h"
#include "runtime/zv_options.h"
#include "tests/partners/partners_test_util.h"
#include "tests/support/zv_test_support.h"

using zvptest::has_line;
using zvptest::joined;
using zvptest::log_messages;

namespace {

const zvptest::KeyFiles &east() {
  return zvptest::test_key(1024, "zvp-east.example", "US", "Our Company");
}
const zvptest::KeyFiles &west() { return zvptest::test_key(2048, "zvp-west.example"); }
const zvptest::KeyFiles &south() { return zvptest::test_key(1024, "zvp-south.example"); }

std::string keys(const zvptest::KeyFiles &f) {
  return "key = " + f.key + "\ncert = " + f.cert + "\n";
}

// Three identities, listed second, fourth and sixth among the process names.
std::string zolvar_conf(const std::string &west_keys) {
  return "process_names = clientd, ZVP_EAST, rclientd, ZVP_WEST, failoverd, ZVP_SOUTH\n"
         "TPconfig = tpartner.conf\nfailover_path = ./failover\ninterface = dir\n"
         "indir = in_dir\n"
         "[clientd]\nprocess_type = CLIENT_PROCESS\n"
         "[rclientd]\nprocess_type = RECEIPT_PROCESS\n"
         "[failoverd]\nprocess_type = FAILOVER_PROCESS\n"
         "[ZVP_EAST]\nprocess_type = ZVP_PROCESS\nzvversion = 3\n" +
         keys(east()) +
         "transport_listen_port = 127.0.0.1:18103\npacing_delay = 100\n"
         "[ZVP_WEST]\nprocess_type = ZVP_PROCESS\nzvversion = 2\n" +
         west_keys + "[ZVP_SOUTH]\nprocess_type = ZVP_PROCESS\n" + keys(south());
}

std::string endpoint(int n, const std::string &ip, const std::string &to) {
  std::string i = std::to_string(n);
  return "[PARTNER" + i + "]\nlocal_partner_id = OURID" + i + "\nremote_partner_id = THEIRID" +
         i + "\nip_address = " + ip + "\nstandard_ip_port = 16" + i + "01\nhipri_ip_port = 16" +
         i + "02\nsession_timeout = 30\nserver_status = 1\nzv_message_to_tp = " + to +
         "\nzv_message_from_tp = " + to +
         "\nzv_receipt_from_tp = NO_RECEIPT\nzv_receipt_to_tp = NO_RECEIPT\n";
}

// Entries in file order: PARTNER1 and PARTNER2 of ZVP_EAST (protocol version 3, which
// has no integrity envelope), PARTNER3 of ZVP_WEST, PARTNER4 and PARTNER2 again of
// ZVP_SOUTH.
std::string tpartner_conf(const std::string &extra_endpoints = "") {
  return "trading_partners = RC_P1 RC_P2 RC_P4\n"
         "local_certificates = LC_EAST LC_WEST LC_SOUTH\n"
         "[LC_EAST]\nzvp_name = ZVP_EAST\nendpoints = PARTNER1 PARTNER2\n"
         "[LC_WEST]\nzvp_name = ZVP_WEST\nendpoints = PARTNER3\n"
         "[LC_SOUTH]\nzvp_name = ZVP_SOUTH\nendpoints = PARTNER4, PARTNER2" +
         extra_endpoints + "\n" + endpoint(1, "10.0.0.1", "BASIC_EDI") +
         endpoint(2, "010.000.000.002", "SIGNED_EDI") + endpoint(3, "10.0.0.3", "SIGNED_EDI") +
         endpoint(4, "10.0.0.4", "BASIC_EDI") +
         "[RC_P1]\ncertificate_common_name = partner1.example\nendpoints = PARTNER1\n"
         "[RC_P2]\ncertificate_common_name = partner2.example\nendpoints = PARTNER2 PARTNER3\n"
         "[RC_P4]\ncertificate_common_name = partner4.example\nendpoints = PARTNER4\n"
         "bidirectional_flag = yes\n";
}

class PartnerStartup : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = zvtest::scratch_dir("partners-startup");
    for (const char *d : {"to_remote_failed_messages", "to_ssl_remote_failed_messages",
                          "from_remote_failed_messages", "from_ssl_remote_failed_messages",
                          "invalid_messages", "pending_receipts", "in_dir", "failover"})
      mkdir((dir_ + "/" + d).c_str(), 0755);
  }

  void files(const std::string &zolvar, const std::string &tpartner) {
    zvtest::write_file(dir_ + "/zolvar.conf", zolvar);
    zvtest::write_file(dir_ + "/tpartner.conf", tpartner);
  }

  struct Daemon {
    pid_t pid = -1;
    std::vector<std::string> out;
    std::vector<std::string> err;
  };

  // Starts clientd; the parent must leave with `status` (0: started, and the daemon's pid
  // is read from its pid file).
  Daemon start(const std::vector<std::string> &args,
               const std::function<bool()> &before_exec = {}, int status = 0) {
    Daemon d;
    unlink((dir_ + "/clientd.pid").c_str());  // left by an earlier run in this directory
    pid_t parent = zvtest::start_program(zvtest::program_path("client/clientd"), "clientd",
                                         args, dir_, "clientd", before_exec);
    zvtest::RunResult r = zvtest::wait_program(parent, dir_, "clientd");
    EXPECT_EQ(r.status, status) << r.err;
    if (status != 0) return d;
    d.pid = zvtest::wait_pid_file(dir_ + "/clientd.pid");
    EXPECT_GT(d.pid, 0) << r.err;
    return d;
  }

  void read_output(Daemon &d) {
    d.out = log_messages(zvtest::read_file(dir_ + "/clientd.out"));
    d.err = log_messages(zvtest::read_file(dir_ + "/clientd.err"));
  }

  // A daemon that must stop during start-up: the launcher leaves with its status, 255;
  // what it wrote.
  Daemon start_and_fail(const std::function<bool()> &before_exec = {}) {
    Daemon d = start({}, before_exec, 255);
    read_output(d);
    return d;
  }

  std::string dir_;
};

}  // namespace

TEST_F(PartnerStartup, ClientStartsWithSeveralIdentitiesAndPartners) {
  files(zolvar_conf(keys(west())), tpartner_conf());
  Daemon d = start({"-v"});
  ASSERT_GT(d.pid, 0);
  bool up = zvtest::wait_for([&] {
    return zvtest::read_file(dir_ + "/clientd.out").find("TCIF-98-006 Issue 3") !=
           std::string::npos;
  });
  kill(d.pid, SIGTERM);
  EXPECT_EQ(zvtest::wait_daemon(d.pid), 0);
  read_output(d);
  ASSERT_TRUE(up) << joined(d.err);

  // The verbose dump of every partner, with the identity that serves it.
  const std::vector<std::pair<std::string, std::vector<std::string>>> expected = {
      {"PARTNER1",
       {"  zvp_reference = ZVP_EAST, zvp_version = 3\n", "  transport socaddr = 127.0.0.1:18103\n",
        "  outbound pacing delay = 100\n",
        "  cert subject = /C=US/O=Our Company/CN=zvp-east.example\n",
        "  common name = partner1.example\n", "  lcert index = 0, rcert index = 0\n",
        "  ip = 10.0.0.1, stdport = 16101, hipriport = 16102\n"}},
      {"PARTNER2",
       {"  zvp_reference = ZVP_EAST, zvp_version = 3\n", "  common name = partner2.example\n",
        "  lcert index = 0, rcert index = 1\n",
        "  EDI message type to TP = EDI with Non-repudiation (signiture)\n",
        "  ip = 10.0.0.2, stdport = 16201, hipriport = 16202\n"}},
      {"PARTNER3",
       {"  zvp_reference = ZVP_WEST, zvp_version = 2\n", "  transport socaddr = 127.0.0.1:8004\n",
        "  outbound pacing delay = 0\n", "  cert subject = /CN=zvp-west.example\n",
        "  lcert index = 1, rcert index = 1\n"}},
      {"PARTNER4",
       {"  zvp_reference = ZVP_SOUTH, zvp_version = 2\n", "  transport socaddr = 127.0.0.1:8005\n",
        "  max_inbound = 8, bidirect = TRUE\n", "  lcert index = 2, rcert index = 2\n"}},
  };
  for (const auto &[isaid, lines] : expected) {
    auto begin = std::find(d.out.begin(), d.out.end(), "======= Configuartion for " + isaid + "\n");
    ASSERT_NE(begin, d.out.end()) << isaid << "\n" << joined(d.out);
    auto end = std::find(begin, d.out.end(), "======= END Configuartion for " + isaid + "\n");
    ASSERT_NE(end, d.out.end()) << isaid;
    std::vector<std::string> section(begin, end);
    for (const auto &l : lines) EXPECT_TRUE(has_line(section, l)) << isaid << ": " << l << joined(section);
  }
  // PARTNER2 is served twice; its second entry belongs to ZVP_SOUTH.
  EXPECT_EQ(std::count(d.out.begin(), d.out.end(), "======= Configuartion for PARTNER2\n"), 2);
  EXPECT_TRUE(has_line(d.err, "WARNING: Using 2 as the default ZV version for zvp process "
                              "[ZVP_SOUTH]\n"))
      << joined(d.err);
  EXPECT_FALSE(has_line(d.err, "FATAL ERROR: Error detected, exiting\n"));
}

TEST_F(PartnerStartup, BadIdentitiesStopTheConfigurationWalk) {
  std::string bad = dir_ + "/bad.pem";
  zvtest::write_file(bad, "garbage\n");
  const zvptest::KeyFiles &short_key = zvptest::test_key(512, "zvp-short.example");
  std::string sealed = dir_ + "/sealed.pem";
  std::string sealed_rsa = dir_ + "/sealed-rsa.pem";
  ASSERT_EQ(zvtest::shell("openssl pkey -in '" + west().key + "' -aes256 -passout pass:x -out '" +
                          sealed + "'"),
            0);
  ASSERT_EQ(zvtest::shell("openssl rsa -in '" + west().key +
                          "' -traditional -aes256 -passout pass:x -out '" + sealed_rsa +
                          "' 2>/dev/null"),
            0);
  ASSERT_NE(zvtest::read_file(sealed).find("BEGIN ENCRYPTED PRIVATE KEY"), std::string::npos);
  ASSERT_NE(zvtest::read_file(sealed_rsa).find("Proc-Type: 4,ENCRYPTED"), std::string::npos);
  // An encrypted PEM block under the certificate's label asks for a pass phrase too.
  std::string sealed_cert = dir_ + "/sealed-cert.pem";
  std::string text = zvtest::read_file(sealed_rsa);
  for (size_t at; (at = text.find("RSA PRIVATE KEY")) != std::string::npos;)
    text.replace(at, 15, "CERTIFICATE");
  zvtest::write_file(sealed_cert, text);
  auto unreadable = [](const std::string &key) {
    return std::vector<std::string>{
        "unable to load Private Key\n",
        "ERROR: Cannot load local private key [" + key +
            "]. Format may not be supported or the file may be invalid\n",
        "ERROR: Cannot load the local identity of zvp process [ZVP_WEST]\n"};
  };
  struct Case {
    const char *name;
    std::string west_keys;
    std::vector<std::string> lines;  // in this order on standard error
  } cases[] = {
      {"unreadable key", "key = " + bad + "\ncert = " + west().cert + "\n",
       {"unable to load Private Key\n",
        "ERROR: Cannot load local private key [" + bad +
            "]. Format may not be supported or the file may be invalid\n",
        "ERROR: Cannot load the local identity of zvp process [ZVP_WEST]\n"}},
      {"missing certificate file", "key = " + west().key + "\ncert = " + dir_ + "/none.pem\n",
       {dir_ + "/none.pem: No such file or directory\n", "unable to load certificate\n",
        "ERROR: Cannot load local cert [" + dir_ +
            "/none.pem] The format may not be supported or the file may be invalid\n",
        "ERROR: Cannot load the local identity of zvp process [ZVP_WEST]\n"}},
      {"no cert key", "key = " + west().key + "\n",
       {"ERROR: Cannot find REQUIRED field (cert) for zvp process [ZVP_WEST]\n",
        "ERROR: Cannot load the local identity of zvp process [ZVP_WEST]\n"}},
      {"a key too short to sign", keys(short_key),
       {"ERROR: Local private key [" + short_key.key +
            "] for zvp process [ZVP_WEST] cannot sign: its RSA key modulus of 64 bytes must be "
            "66 to 2048 bytes\n",
        "ERROR: Cannot load the local identity of zvp process [ZVP_WEST]\n"}},
      {"the key of another certificate", "key = " + west().key + "\ncert = " + east().cert + "\n",
       {"ERROR: Local private key [" + west().key + "] does not belong to local cert [" +
            east().cert + "] for zvp process [ZVP_WEST]\n",
        "ERROR: Cannot load the local identity of zvp process [ZVP_WEST]\n"}},
      {"an address the connect would read otherwise",
       keys(west()) + "transport_listen_port = 127.0.0.1:8003abc\n",
       {"ERROR: Value (127.0.0.1:8003abc) of transport_listen_port for zvp process [ZVP_WEST] "
        "in the configuration file (zolvar.conf) cannot be used: its port is not a plain "
        "decimal number.\n",
        "ERROR: Cannot load the local identity of zvp process [ZVP_WEST]\n"}},
      {"an encrypted key", "key = " + sealed + "\ncert = " + west().cert + "\n",
       unreadable(sealed)},
      {"an encrypted traditional key", "key = " + sealed_rsa + "\ncert = " + west().cert + "\n",
       unreadable(sealed_rsa)},
      {"an encrypted certificate", "key = " + west().key + "\ncert = " + sealed_cert + "\n",
       {"unable to load certificate\n",
        "ERROR: Cannot load local cert [" + sealed_cert +
            "] The format may not be supported or the file may be invalid\n",
        "ERROR: Cannot load the local identity of zvp process [ZVP_WEST]\n"}},
  };
  // Standard input is an open pipe that never delivers, in a session without a terminal,
  // as under a supervisor: nothing at start-up may wait on it for a pass phrase.
  int in[2];
  ASSERT_EQ(pipe2(in, O_CLOEXEC), 0);
  auto stdin_pipe = [&in] { return dup2(in[0], 0) == 0 && setsid() > 0; };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    files(zolvar_conf(c.west_keys), tpartner_conf());
    Daemon d = start_and_fail(stdin_pipe);
    auto it = d.err.begin();
    for (const auto &l : c.lines) {
      it = std::find(it, d.err.end(), l);
      EXPECT_NE(it, d.err.end()) << l << joined(d.err);
    }
    // Start-up ends right there; the partner file is never read.
    EXPECT_EQ(d.err.back(), "FATAL ERROR: Errors in \"zolvar.conf\" (above) - cannot continue.\n")
        << joined(d.err);
  }
  close(in[0]);
  close(in[1]);
}

TEST_F(PartnerStartup, BadPartnerFilesStopStartUp) {
  std::string many;
  std::string sections;
  for (int i = 5; i <= 64; ++i) {  // with the five entries of tpartner_conf: 65
    many += " P" + std::to_string(i);
    sections += "[P" + std::to_string(i) + "]\nlocal_partner_id = L" + std::to_string(i) +
                "\nremote_partner_id = R" + std::to_string(i) + "\n";
  }
  struct Case {
    const char *name;
    std::string tpartner;
    std::string error;
  } cases[] = {
      {"65 endpoints", tpartner_conf(many) + sections,
       "ERROR: Too many endpoints in Trading Partner configuration file: tpartner.conf\n"},
      {"no local certificates", "trading_partners = RC_P1\n",
       "ERROR: Cannot find REQUIRED field (local_certificates) in the Trading Partner "
       "configuration file (tpartner.conf).\n"},
      {"an id longer than its field", tpartner_conf(" PARTNERWITHLONGNAME"),
       "ERROR: Value (PARTNERWITHLONGNAME) of endpoints in section [LC_SOUTH] is longer than 15 "
       "characters in the Trading Partner configuration file (tpartner.conf).\n"},
      {"a certificate for an unknown endpoint",
       tpartner_conf() + "[RC_P4]\nendpoints = PARTNER4 PARTNER9\n",
       "ERROR: Endpoint PARTNER9 listed by remote cert RC_P4 is not an endpoint of any local "
       "cert in the Trading Partner configuration file (tpartner.conf).\n"},
      {"a misspelled envelope word",
       tpartner_conf() + "[PARTNER3]\nzv_message_to_tp = SINGED_EDI\n",
       "ERROR: Unknown value (SINGED_EDI) of zv_message_to_tp for endpoint [PARTNER3] in the "
       "Trading Partner configuration file (tpartner.conf), valid values are: BASIC_EDI, "
       "INTEGRITY_EDI, SIGNED_EDI.\n"},
      {"an address that is none", tpartner_conf() + "[PARTNER3]\nip_address = 10.0.0.300\n",
       "ERROR: Value (10.0.0.300) of ip_address in section [PARTNER3] of the Trading Partner "
       "configuration file (tpartner.conf) cannot be used: it has a part (300) above 255.\n"},
      {"syntax error", "trading_partners = RC_P1\n[LC_EAST\n",
       "ERROR: Error on line 2 of the Trading Partner configuration file (tpartner.conf)\n"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    files(zolvar_conf(keys(west())), c.tpartner);
    Daemon d = start_and_fail();
    auto it = std::find(d.err.begin(), d.err.end(), c.error);
    ASSERT_NE(it, d.err.end()) << joined(d.err);
    EXPECT_EQ(*(it + 1), "FATAL ERROR: Error detected, exiting\n") << joined(d.err);
  }
  SCOPED_TRACE("no partner file");
  files(zolvar_conf(keys(west())), "");
  unlink((dir_ + "/tpartner.conf").c_str());
  Daemon d = start_and_fail();
  EXPECT_TRUE(has_line(d.err, "ERROR: The Trading Partner configuration file (tpartner.conf) "
                              "does not exist\n"))
      << joined(d.err);
}

// The configuration walk and the partner file in this process, then every lookup mode
// and a signature for the partner, as the client will make them.
TEST_F(PartnerStartup, FindsPartnersAndSignsForThem) {
  files(zolvar_conf(keys(west())), tpartner_conf());
  std::string conf = dir_ + "/zolvar.conf";
  zv_register_partner_services();
  load_config_defaults();
  ASSERT_EQ(read_config_default_section(conf.c_str()), 0);
  testing::internal::CaptureStderr();
  ASSERT_EQ(read_ng_config(conf.c_str(), "clientd"), 0);
  std::string tpfile = dir_ + "/" + tpartnerFileName;
  int loaded = read_TPfile(tpfile.c_str());
  std::string log = testing::internal::GetCapturedStderr();
  ASSERT_EQ(loaded, 0) << log;
  EXPECT_STREQ(keyFileName, south().key.c_str());
  EXPECT_STREQ(certificateFileName, south().cert.c_str());

  auto pad = [](const std::string &s) { return s + std::string(15 - s.size(), ' '); };
  struct Case {
    std::string local, remote;
    int index;
    const zvptest::KeyFiles *identity;
    int version;
    const char *socaddr;
  } cases[] = {
      {"OURID1", "THEIRID1", 0, &east(), 3, "127.0.0.1:18103"},
      {"OURID2", "THEIRID2", 1, &east(), 3, "127.0.0.1:18103"},
      {"OURID3", "THEIRID3", 2, &west(), 2, "127.0.0.1:8004"},
      {"OURID4", "THEIRID4", 3, &south(), 2, "127.0.0.1:8005"},
  };
  std::string isa = "ISA*00*          *00*          *ZZ*OURID3         *ZZ*THEIRID3       "
                    "*010101*0101*U*00401*000000001*0*P*>~GS*...~";
  zvtest::write_file(dir_ + "/isa.bin", isa);
  std::string dgst;
  ASSERT_EQ(zvtest::shell("openssl dgst -sha1 -r '" + dir_ + "/isa.bin'", &dgst), 0);
  for (const auto &c : cases) {
    SCOPED_TRACE(c.local);
    int tp = tpLookup(pad(c.local).c_str(), pad(c.remote).c_str(), 0);
    ASSERT_EQ(tp, c.index);
    int slot = int_from_endpoint(tp, EP_LOCAL_CERT);
    int version = 0;
    X509 *cert = nullptr;
    EVP_PKEY *key = nullptr;
    char socaddr[64];
    int pacing = -1;
    ASSERT_EQ(get_lcert_entry(slot, &version, &cert, &key, socaddr, &pacing), 0);
    EXPECT_EQ(version, c.version);
    EXPECT_STREQ(socaddr, c.socaddr);

    char digest[ZV_HEX_DIGEST_SIZE];
    auto *data = reinterpret_cast<unsigned char *>(isa.data());
    ASSERT_NE(hex_digest(data, isa.size(), digest), nullptr);
    EXPECT_EQ(std::string(digest), dgst.substr(0, 40));
    char sig[ZV_DIGEST_SIZE];
    unsigned long len = 0;
    ASSERT_NE(hex_RSAsign(key, data, isa.size(), &len, sig), nullptr);
    zvtest::write_file(dir_ + "/sig.bin", std::string(sig, len));
    ASSERT_EQ(zvtest::shell("openssl pkeyutl -verifyrecover -certin -inkey '" + c.identity->cert +
                            "' -in '" + dir_ + "/sig.bin' -out '" + dir_ +
                            "/block.bin' -pkeyopt rsa_padding_mode:pkcs1"),
              0);
    EXPECT_EQ(zvtest::hex(zvtest::read_file(dir_ + "/block.bin")),
              "3035300906052b0e03021a05000428" + zvtest::hex(std::string(digest, 40)));
  }
  EXPECT_EQ(tpLookup("10.0.0.4:16401", nullptr, 1), 3);
  EXPECT_EQ(tpLookup("10.0.0.2", nullptr, 1), 1);
  EXPECT_EQ(tpLookup("/C=US/O=Partner Two/CN=partner2.example", nullptr, 2), 1);
  EXPECT_EQ(tpLookup("/CN=partner4.example", nullptr, 2), 3);
  EXPECT_EQ(tpLookup("PARTNER3", nullptr, 3), 2);
  EXPECT_EQ(int_from_endpoint(4, EP_LOCAL_CERT), 2);  // PARTNER2 again, served by ZVP_SOUTH
  EXPECT_EQ(int_from_remote_cert(int_from_endpoint(3, EP_REMOTE_CERT), RC_BIDIRECTIONAL), 1);
  EXPECT_EQ(maxCertIndex(), 3);
}
