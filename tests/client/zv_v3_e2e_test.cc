// One installation with a version-2 and a version-3 local identity, each served by its
// own ZVP stand-in: clientd and the receipt client as real processes send every partner
// the envelopes of its identity's version, the stand-ins decode and verify them, and the
// envelopes are checked again here (Issue 3 octets, the basic receipt's nested message,
// `openssl asn1parse`, the signed envelope against the version-2 builder). A partner whose
// settings Issue 3 cannot carry stops the start of each process.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstdio>
#include <string>
#include <vector>

#include "client/zv_message.h"
#include "partners/zv_crypto.h"
#include "runtime/zv_errors.h"
#include "runtime/zv_status_code.h"
#include "tcif/tcif98-006v3a.h"
#include "tcif/tcif98-006v3b.h"
#include "tests/client/client_test_util.h"
#include "tests/runtime/runtime_test_util.h"
#include "tests/support/zv_test_support.h"

namespace {

using ctu::bytes;
using ctu::StubLine;
using ctu::tlv;

constexpr char kStamp[] = "20240101120000Z";

class V3E2E : public ::testing::Test {
 protected:
  void start(const std::string &name, bool v2_stub, bool integrity_partner = false) {
    ctu::InstallOptions opt;
    opt.v3_identity = true;
    opt.v3_integrity_partner = integrity_partner;
    in_ = ctu::make_installation(name, opt);
    if (v2_stub) {
      stub2_.reset(ctu::start_stub(in_, "izvp_a"));
      ASSERT_GT(stub2_.pid(), 0) << zvtest::read_file(in_.dir + "/stub.err");
    }
    stub3_.reset(ctu::start_stub(in_, "izvp_b"));
    ASSERT_GT(stub3_.pid(), 0) << zvtest::read_file(in_.dir + "/stub_izvp_b.err");
  }
  // The program under `argv0` (clientd or rclientd), tagged with its name.
  void run(rtt::Daemon &d, const std::string &argv0, const std::vector<std::string> &args) {
    d.reset(ctu::start_daemon(in_, ctu::clientd_exe(), argv0, args, argv0));
    ASSERT_GT(d.pid(), 0) << err(argv0);
  }
  int exit_status(rtt::Daemon &d) {
    int st = zvtest::wait_daemon(d.pid(), 15000);
    d.reset(-1);
    return st;
  }
  std::string err(const std::string &tag) { return zvtest::read_file(in_.dir + "/" + tag + ".err"); }
  void TearDown() override {
    for (rtt::Daemon *d : {&client_, &rclient_})
      if (d->alive()) d->stop();
    // The stand-ins end cleanly too (a sanitizer report would change their status).
    for (rtt::Daemon *d : {&stub2_, &stub3_}) {
      if (d->alive()) {
        EXPECT_EQ(d->stop(), 0);
      }
    }
  }

  ctu::Installation in_;
  rtt::Daemon stub2_, stub3_, client_, rclient_;
};

// The version-2 signed envelope of `doc`, made in this process with the installation's
// key and certificate.
bytes v2_signed_envelope(const ctu::Installation &in, const std::string &doc) {
  ctu::InProcessEnv env("v3-e2e-v2signed");
  EVP_PKEY *key = nullptr;
  X509 *cert = nullptr;
  if (load_private_key_from_file(in.key_path.c_str(), &key) != 0 ||
      load_cert_struct_from_file(&cert, in.cert_path.c_str()) != 0)
    return "";
  ctu::Rec r(doc);
  r.t.pLocalCert = cert;
  int n = -1;
  rtt::capture([&] { n = AsciiEDI_2_EDIwNR(&r.t, doc.c_str(), r.t.obufferp, r.t.obuf_length, key); });
  X509_free(cert);
  EVP_PKEY_free(key);
  return n > 0 ? bytes(r.t.obufferp, static_cast<size_t>(n)) : "";
}

void expect_parses(const bytes &der, const std::string &line) {
  std::string out;
  EXPECT_EQ(ctu::asn1parse(der, &out), 0) << line << "\n" << out;
}

TEST_F(V3E2E, EachPartnerGetsTheEnvelopesOfItsIdentitysVersion) {
  start("v3e2e-both", true);
  const std::string basic2 = ctu::interchange("BLOCAL", "BREMOTE", 400);
  const std::string signed2 = ctu::interchange("SLOCAL", "SREMOTE", 600);
  const std::string basic3 = ctu::interchange("B3LOCAL", "B3REMOTE", 1000);
  const std::string signed3 = ctu::interchange("S3LOCAL", "S3REMOTE", 2500);
  zvtest::write_file(in_.dir + "/in_dir/a.edi", basic2);
  zvtest::write_file(in_.dir + "/in_dir/b.edi", signed2);
  zvtest::write_file(in_.dir + "/in_dir/c.edi", basic3);
  zvtest::write_file(in_.dir + "/in_dir/d.hpri", signed3);
  run(client_, "clientd", {"-O"});
  EXPECT_EQ(exit_status(client_), 0) << err("clientd");
  EXPECT_EQ(zvtest::list_dir(in_.dir + "/in_dir"),
            (std::vector<std::string>{"a.sent", "b.sent", "c.sent", "d.sent"}));

  // The receipt client: receipts and a status for each keyword to version-3 partners,
  // one status to a version-2 partner.
  run(rclient_, "rclientd", {});
  const std::string isa_b3 = ctu::isa_segment("B3REMOTE", "B3LOCAL");
  const std::string isa_s3 = ctu::isa_segment("S3REMOTE", "S3LOCAL");
  ASSERT_EQ(ctu::send_request(in_.receipt_port, ctu::receipt_request(isa_b3, kStamp, "")), 0);
  ASSERT_EQ(ctu::send_request(in_.receipt_port, ctu::receipt_request(isa_s3, kStamp, "a0b1c2")), 0);
  auto pattern = [](int code) { return std::string(zv_status_code[code]); };
  struct Status {
    std::string keyword;
    bytes bits;  // the BIT STRING
  } statuses[] = {
      {"TEST", "\x03\x21\x04" + pattern(ZV_STATUS_TEST)},
      {"STOP_WAN", "\x03\x21\x04" + pattern(ZV_STATUS_STOP_WAN)},
      {"STOP_OSS", "\x03\x21\x04" + pattern(ZV_STATUS_STOP_OSS)},
      {"RESTART", "\x03\x21\x04" + pattern(ZV_STATUS_RESTART)},
      {"PING_REQUEST", "\x03\x21\x04" + pattern(ZV_STATUS_PING_REQUEST)},
      {"PING_RESPONSE", std::string("\x03\x21\x00", 3) + pattern(ZV_STATUS_PING_RESPONSE)},
      {"CUSTOM", std::string("\x03\x07\x00", 3) + "CUSTOM"},
  };
  for (const Status &s : statuses)
    ASSERT_EQ(ctu::send_request(in_.receipt_port, ctu::status_request("B3P", s.keyword)), 0);
  ASSERT_EQ(ctu::send_request(in_.receipt_port, ctu::status_request("BASICP", "STOP_WAN")), 0);

  // Version 2: what it always was.
  std::vector<std::string> v2 = ctu::wait_stub_lines(in_, 3, 15000, "izvp_a");
  ASSERT_EQ(v2.size(), 3u) << err("clientd") << err("rclientd");
  for (const std::string &l : v2) {
    StubLine s = ctu::parse_stub_line(l);
    EXPECT_EQ(s.version, 2) << l;
    EXPECT_TRUE((s.kind == "basic-edi" && s.partner == "BASICP" && s.verdict == "consistent") ||
                (s.kind == "signed-edi" && s.partner == "SIGNP" && s.verdict == "verified") ||
                (s.kind == "status" && s.partner == "BASICP" && s.verdict == "consistent"))
        << l;
  }

  // Version 3.
  const size_t n3 = 4 + sizeof statuses / sizeof statuses[0];
  std::vector<std::string> v3 = ctu::wait_stub_lines(in_, n3, 15000, "izvp_b");
  ASSERT_EQ(v3.size(), n3) << err("clientd") << err("rclientd");
  size_t next_status = 0;
  for (const std::string &l : v3) {
    SCOPED_TRACE(l);
    StubLine s = ctu::parse_stub_line(l);
    bytes der = ctu::saved_envelope(in_, s, "izvp_b");
    EXPECT_EQ(s.version, 3);
    EXPECT_EQ(static_cast<int>(der.size()), s.env_len);
    expect_parses(der, l);
    if (s.kind == "basic-edi") {
      EXPECT_EQ(s.partner, "B3P");
      EXPECT_EQ(s.verdict, "consistent");
      EXPECT_EQ(zvtest::hex(der.substr(0, 4)), "168203e8");
      EXPECT_EQ(der, tlv(0x16, basic3));
    } else if (s.kind == "signed-edi") {
      EXPECT_EQ(s.partner, "S3P");
      EXPECT_EQ(s.verdict, "verified");
      EXPECT_EQ(s.priority, 1);
      EXPECT_EQ(s.dig_len, 512);
      bytes v2_form = v2_signed_envelope(in_, signed3);
      ASSERT_FALSE(v2_form.empty());
      EXPECT_EQ(zvtest::hex(der), zvtest::hex(v2_form));
    } else if (s.kind == "basic-receipt") {
      EXPECT_EQ(s.verdict, "consistent");
      ASSERT_EQ(der.size(), 131u);
      EXPECT_EQ(zvtest::hex(der.substr(0, 9)), "048180a27e307c0469");
      // The OCTET STRING is a complete v3_SecureMessage of its own.
      const unsigned char *p = reinterpret_cast<const unsigned char *>(der.data());
      v3_ZvMessage *m = d2i_v3_ZvMessage(nullptr, &p, static_cast<long>(der.size()));
      ASSERT_NE(m, nullptr);
      ASSERT_EQ(m->tag, V3_ZVMESSAGE_ENHANCED_MESSAGE);
      const unsigned char *q = ASN1_STRING_get0_data(m->d.enhancedMessage);
      const long inner_len = ASN1_STRING_length(m->d.enhancedMessage);
      const unsigned char *inner = q;
      v3_SecureMessage *sm = d2i_v3_SecureMessage(nullptr, &q, inner_len);
      ASSERT_NE(sm, nullptr);
      EXPECT_EQ(q, inner + inner_len);
      ASSERT_EQ(sm->tag, V3_SECUREMESSAGE_MESSAGE_RECEIPT);
      const v3_ZvReceiptMessage *r = sm->d.messageReceipt;
      ASSERT_EQ(r->uniqueIdentifier->tag, V3_UNIQUEIDENTIFIER_ISA_SEGMENT);
      auto text = [](const ASN1_STRING *a) {
        return std::string(reinterpret_cast<const char *>(ASN1_STRING_get0_data(a)),
                           static_cast<size_t>(ASN1_STRING_length(a)));
      };
      EXPECT_EQ(text(r->uniqueIdentifier->d.isaSegment), isa_b3);
      EXPECT_EQ(text(r->dateTimeStamp), kStamp);
      EXPECT_EQ(r->enhancements, nullptr);
      v3_SecureMessage_free(sm);
      v3_ZvMessage_free(m);
      // The independent parser reads the inner message out of the OCTET STRING too.
      std::string out;
      EXPECT_EQ(ctu::asn1parse(der, &out, "-strparse 3"), 0) << out;
      EXPECT_NE(out.find("cont [ 2 ]"), std::string::npos) << out;
      EXPECT_NE(out.find("PRINTABLESTRING   :" + std::string(kStamp)), std::string::npos) << out;
    } else if (s.kind == "signed-receipt") {
      EXPECT_EQ(s.partner, "S3P");
      EXPECT_EQ(s.verdict, "consistent");
      EXPECT_EQ(s.in_len, 106);  // ended after the ISA segment, as version 2 does
      EXPECT_NE(s.detail.find("signature=3"), std::string::npos);
    } else {
      ASSERT_EQ(s.kind, "status");
      ASSERT_LT(next_status, sizeof statuses / sizeof statuses[0]);
      const Status &want = statuses[next_status++];
      EXPECT_EQ(s.verdict, "consistent");
      EXPECT_EQ(s.partner, "B3P");
      EXPECT_EQ(zvtest::hex(der), zvtest::hex(want.bits)) << want.keyword;
    }
  }
  EXPECT_EQ(next_status, sizeof statuses / sizeof statuses[0]);
  EXPECT_TRUE(ctu::client_log(in_).empty());
  EXPECT_TRUE(ctu::receipt_log(in_).empty());
}

// What every document or request of the partner would be refused for, with a fatal code
// that ends the process at the first one and at each start after it, is refused at start,
// before anything is taken.
TEST_F(V3E2E, SettingsIssue3CannotCarryStopTheStart) {
  start("v3e2e-fatal", false, true);
  const std::string doc = ctu::interchange("I3LOCAL", "I3REMOTE", 400);
  const std::string other = ctu::interchange("B3LOCAL", "B3REMOTE", 400);
  zvtest::write_file(in_.dir + "/in_dir/i.edi", doc);
  zvtest::write_file(in_.dir + "/in_dir/b.edi", other);
  auto line = [](const std::string &value, const std::string &key) {
    return "ERROR: Value (" + value + ") of " + key +
           " for endpoint [I3P] in the Trading Partner configuration file (tpartner.conf) "
           "cannot be used: its local identity [izvp_b] speaks protocol version 3, which has no "
           "such envelope - cannot start\n";
  };
  for (const std::string argv0 : {"clientd", "rclientd"}) {
    SCOPED_TRACE(argv0);
    int parent = -1;
    EXPECT_EQ(ctu::start_daemon(in_, ctu::clientd_exe(), argv0, {"-O"}, argv0, &parent), -1);
    EXPECT_EQ(parent, 255);
    EXPECT_NE(err(argv0).find(line("INTEGRITY_EDI", "zv_message_to_tp")), std::string::npos)
        << err(argv0);
    EXPECT_NE(err(argv0).find(line("INTEGRITY_RECEIPT", "zv_receipt_to_tp")), std::string::npos)
        << err(argv0);
  }
  // Nothing was taken: no line, no copy, the documents where they were.
  EXPECT_TRUE(ctu::client_log(in_).empty());
  EXPECT_TRUE(ctu::receipt_log(in_).empty());
  EXPECT_TRUE(zvtest::list_dir(in_.dir + "/to_remote_failed_messages").empty());
  EXPECT_EQ(zvtest::read_file(in_.dir + "/in_dir/i.edi"), doc);
  EXPECT_EQ(zvtest::read_file(in_.dir + "/in_dir/b.edi"), other);
  EXPECT_TRUE(ctu::stub_lines(in_, "izvp_b").empty());

  // A request refused with a fatal code still ends the process: on the socket it ends
  // inside the refusal, its copy lost, and the sender sees a reset, never the orderly
  // close that says "taken".
  std::string tp = zvtest::read_file(in_.dir + "/tpartner.conf");
  for (size_t at; (at = tp.find("B3P, I3P, S3P")) != std::string::npos;)
    tp.replace(at, 13, "B3P, S3P");
  zvtest::write_file(in_.dir + "/tpartner.conf", tp);
  const std::string request = ctu::receipt_request(ctu::isa_segment("DXC_TEST", "DXC7"), kStamp, "ab");
  const int port = ctu::free_port();
  client_.reset(ctu::start_daemon(in_, ctu::clientd_exe(), "clientd",
                                  {"-i", "socket", "-g", std::to_string(port)}, "socket"));
  ASSERT_GT(client_.pid(), 0) << err("socket");
  const std::string failed = in_.dir + "/to_remote_failed_messages";
  ASSERT_EQ(rename(failed.c_str(), (failed + ".gone").c_str()), 0);
  EXPECT_EQ(ctu::soc_send(port, ctu::soc_header(request.size(), 0) + request), "reset");
  EXPECT_EQ(exit_status(client_), 256 + ZV_ERRM_UNKNOWN_RECEIPT_MSG_TYPE_IN_TPFILE);
  ASSERT_EQ(rename((failed + ".gone").c_str(), failed.c_str()), 0);
  EXPECT_NE(err("socket").find("ERROR: fopen(): Can't save failed transaction to file"),
            std::string::npos)
      << err("socket");
}

}  // namespace
