// Classification of the client's input and the version-2 envelopes built with the
// system's own codec: exact octets built here by hand, `openssl asn1parse` over each,
// the signature checked with `openssl pkeyutl`, the transaction-log lines of every
// refusal, and envelopes that would not fit the output buffer.
#include "client/zv_message.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "codec/zv_asn1.h"
#include "partners/zv_crypto.h"
#include "runtime/zv_errors.h"
#include "runtime/zv_globals.h"
#include "runtime/zv_status_code.h"
#include "tests/client/client_test_util.h"
#include "tests/runtime/runtime_test_util.h"
#include "tests/support/zv_test_support.h"

using ctu::bytes;
using ctu::tlv;

namespace {

using ctu::Rec;

class Message : public ::testing::Test {
 protected:
  void SetUp() override {
    env_ = std::make_unique<ctu::InProcessEnv>("message");
    // Entry 0 is a decoy: a lookup key that agrees with every entry would land here.
    ctu::set_partner(0, "ZZFIRST", "AAA", "BBB", INTEGRITY_EDI, INTEGRITY_RECEIPT);
    ctu::set_partner(1, "PARTNER1", "DXC7", "DXC_TEST", INTEGRITY_EDI, INTEGRITY_RECEIPT);
    ctu::set_partner(2, "RCPTP", "RLOC", "RREM", BASIC_EDI, SIGNED_RECEIPT);
    ctu::set_partner(3, "SIGNP", "SLOC", "SREM", SIGNED_EDI, NO_RECEIPT);
    ctu::set_partner(4, "PARTNER1X", "XLOC", "XREM", BASIC_EDI, BASIC_RECEIPT);
  }
  void TearDown() override { env_.reset(); }

  std::unique_ptr<ctu::InProcessEnv> env_;
};

// ---- classification -------------------------------------------------------------------

TEST_F(Message, ClassificationFindsThePartnerOrRefusesWithItsCode) {
  const std::string isa = ctu::isa_segment("DXC7", "DXC_TEST");
  struct Case {
    std::string input;
    int rc;
    int msg_type;
    int tp_index;
    int code;            // result in the transaction log; 99 = no line
    std::string text;    // a diagnostic line that must appear ("" none)
    std::string rest;    // the input from the moved pointer on (rc 0)
  } cases[] = {
      {isa + "\nGS*...", 0, 1, 1, 99, "", isa + "\nGS*..."},
      // A receipt acknowledges an interchange from the partner: its receiver is local.
      {"ZVR:" + ctu::isa_segment("RREM", "RLOC") + "|stamp", 0, 4, 2, 99, "",
       ctu::isa_segment("RREM", "RLOC") + "|stamp"},
      // The id comes right-aligned; the partner is the one with that exact ISA id.
      {"ZVS:       PARTNER1:STOP_WAN", 0, 9, 1, 99, "", "STOP_WAN"},
      {"ZVS:PARTNER1X:TEST", 0, 9, 4, 99, "", "TEST"},
      {"ZVS:PARTNER1 :RESTART", 0, 9, 1, 99, "", "RESTART"},
      {"ZVS:PARTNER1STOP_WAN", -1, 9, -1, ZV_ERRM_TP_ID_MISSING_FROM_INPUT_ZV_STATUS_MSG,
       "ERROR: Cannot find Trading Partner ID in ZV Status input message - skipping message\n", ""},
      {"ZVS", -1, 9, -1, ZV_ERRM_TP_ID_MISSING_FROM_INPUT_ZV_STATUS_MSG, "", ""},
      {"ZVS:        NOSUCH:TEST", -1, 9, -1, ZV_ERRM_UNKNOWN_ISAID_FOUND,
       "WARNING: Unknown pair of ISA_IDs [        NOSUCH/] found in input message - skipping "
       "message\n",
       ""},
      {"ZVS:               :TEST", -1, 9, -1, ZV_ERRM_UNKNOWN_ISAID_FOUND, "", ""},
      {"ZVS:PARTNER1PARTNER1XX:TEST", -1, 9, -1, ZV_ERRM_UNKNOWN_ISAID_FOUND, "", ""},
      {"ZVR:" + ctu::isa_segment("RREM", "NOBODY") + "|stamp", -1, 4, -1,
       ZV_ERRM_UNKNOWN_ISAID_FOUND,
       "WARNING: Unknown pair of ISA_IDs [NOBODY         /RREM           ] found in input "
       "message - skipping message\n",
       ""},
      {"ZVR:XYZ", -1, 4, -1, ZV_ERRM_ISA_SEG_MISSING_FROM_INPUT_RECEIPT_MSG,
       "ERROR: Cannot find ISA segment in receipt input message - skipping message\n", ""},
      {"ZVR", -1, 4, -1, ZV_ERRM_ISA_SEG_MISSING_FROM_INPUT_RECEIPT_MSG, "", ""},
      {"UNH+1+ORDERS", -1, 0, -1, ZV_ERRM_UNSUPPORTED_INPUT_MSG_FOUND,
       "found EDIFACT Batch input message - Not supported\n", ""},
      {"UIB+x", -1, 0, -1, ZV_ERRM_UNSUPPORTED_INPUT_MSG_FOUND,
       "found EDIFACT Interactive input message - Not supported\n", ""},
      {"ASCII text", -1, 0, -1, ZV_ERRM_UNSUPPORTED_INPUT_MSG_FOUND,
       "found NonEDI input message - Not supported\n", ""},
      {"XYZ whatever", -1, 0, -1, ZV_ERRM_UNSUPPORTED_INPUT_MSG_FOUND, "", ""},
      // Too short to hold both ids: no id may stand for every partner.
      {"ISA*00*short", -1, 1, -1, ZV_ERRM_UNKNOWN_ISAID_FOUND,
       "WARNING: Unknown pair of ISA_IDs [/] found in input message - skipping message\n", ""},
      {ctu::isa_segment("DXC7", "NOBODY"), -1, 1, -1, ZV_ERRM_UNKNOWN_ISAID_FOUND,
       "WARNING: Unknown pair of ISA_IDs [DXC7           /NOBODY         ] found in input "
       "message - skipping message\n",
       ""},
      {ctu::isa_segment("", "DXC_TEST"), -1, 1, -1, ZV_ERRM_UNKNOWN_ISAID_FOUND, "", ""},
  };
  size_t lines = 0;
  const std::string copies = env_->dir() + "/to_remote_failed_messages";
  for (const Case &c : cases) {
    for (const std::string &f : zvtest::list_dir(copies)) unlink((copies + "/" + f).c_str());
    Rec r(c.input);
    char *start = r.t.ibufferp;
    int rc = 99;
    rtt::Captured cap = rtt::capture([&] { rc = findPartner(&r.t); });
    std::string both = cap.out + cap.err;
    EXPECT_EQ(rc, c.rc) << c.input;
    EXPECT_EQ(r.t.msg_type, c.msg_type) << c.input;
    EXPECT_EQ(r.t.tp_index, c.tp_index) << c.input;
    if (!c.text.empty()) {
      EXPECT_NE(both.find(c.text), std::string::npos) << c.input << "\n" << both;
    }
    // The input is left as it came; the part to encode is found in it.
    EXPECT_EQ(r.t.ibufferp, start) << c.input;
    EXPECT_EQ(r.t.ibuf_length, static_cast<int>(r.in.size())) << c.input;
    std::vector<std::string> log = env_->client_log();
    if (c.code == 99) {
      EXPECT_EQ(log.size(), lines) << c.input;
      EXPECT_EQ(std::string(zv_request_part(&r.t, nullptr)), c.rest);
      EXPECT_TRUE(zvtest::list_dir(copies).empty());
    } else {
      ASSERT_EQ(log.size(), lines + 1) << c.input;
      EXPECT_EQ(ctu::log_code(log.back()), c.code) << log.back();
      EXPECT_EQ(r.t.obuf_length, 0);
      ++lines;
      // The copy kept is the input as it came, the request's prefix included, and not
      // the buffer behind it.
      std::vector<std::string> kept = zvtest::list_dir(copies);
      ASSERT_EQ(kept.size(), 1u) << c.input;
      std::string copy = zvtest::read_file(copies + "/" + kept[0]);
      EXPECT_TRUE(copy == c.input)
          << c.input << "\nkept " << copy.size() << " bytes: " << copy.substr(0, 40);
    }
    if (c.code == ZV_ERRM_UNSUPPORTED_INPUT_MSG_FOUND) {
      EXPECT_NE(cap.err.find("RAW ibufferp = ["), std::string::npos);
    }
  }

  // A record that carried an interchange: a refusal of the next input names that input
  // only, neither the kind nor the ISA line of the one before.
  const std::string blank(104, ' ');
  struct Next {
    std::string input;
    std::string subject;
  } next[] = {
      {"UNH+1+ORDERS", "0|" + blank + "||" + std::to_string(ZV_ERRM_UNSUPPORTED_INPUT_MSG_FOUND)},
      {"ZVR:XYZ", "4|" + blank + "||" + std::to_string(ZV_ERRM_ISA_SEG_MISSING_FROM_INPUT_RECEIPT_MSG)},
  };
  for (const Next &n : next) {
    Rec r(isa + "\nGS*...");
    ASSERT_EQ(findPartner(&r.t), 0);
    ASSERT_EQ(r.t.msg_type, ZV_MT_BASIC_EDI);
    memset(r.in.data(), 0, r.in.size());
    memcpy(r.in.data(), n.input.data(), n.input.size());
    rtt::capture([&] { EXPECT_EQ(findPartner(&r.t), -1); });
    std::vector<std::string> log = env_->client_log();
    ASSERT_EQ(log.size(), ++lines);
    EXPECT_EQ(ctu::line_subject(log.back()), n.subject);
  }
}

TEST_F(Message, InterchangeIdsAndIsaLine) {
  Rec r(ctu::isa_segment("DXC7", "DXC_TEST") + "\nrest");
  debug_level = 1;
  rtt::Captured cap = rtt::capture([&] { ASSERT_EQ(findPartner(&r.t), 0); });
  debug_level = 0;
  EXPECT_EQ(std::string(r.t.isa_line), ctu::isa_segment("DXC7", "DXC_TEST"));
  std::vector<std::string> lines = rtt::strip_prefix(cap.err);
  EXPECT_NE(std::find(lines.begin(), lines.end(), "found local ISA_ID of [DXC7           ] in message"),
            lines.end())
      << cap.err;
  EXPECT_NE(std::find(lines.begin(), lines.end(),
                      "found remote ISA_ID of [DXC_TEST       ] in message"),
            lines.end());
  EXPECT_NE(cap.err.find("found ISA_LINE of [" + ctu::isa_segment("DXC7", "DXC_TEST").substr(0, 104) +
                         "] in message"),
            std::string::npos);
}

// ---- envelopes ------------------------------------------------------------------------

struct Built {
  int rc;
  bytes der;
  std::string err;
};

Built build(Rec &r, EVP_PKEY *key = nullptr) {
  Built b{};
  rtt::Captured cap = rtt::capture([&] {
    b.rc = findPartner(&r.t);
    if (b.rc == 0) b.rc = process_rawInputData(&r.t, key);
  });
  b.err = cap.out + cap.err;
  if (b.rc == 0) b.der = r.envelope();
  return b;
}

using ctu::expect_parses;

TEST_F(Message, BasicEnvelopesOfTheIssue2Codec) {
  ctu::set_partner(1, "PARTNER1", "DXC7", "DXC_TEST", BASIC_EDI, BASIC_RECEIPT);
  for (size_t size : {200, 5000}) {
    std::string doc = ctu::interchange("DXC7", "DXC_TEST", size);
    Rec r(doc);
    debug_level = 1;
    Built b = build(r);
    debug_level = 0;
    ASSERT_EQ(b.rc, 0) << b.err;
    EXPECT_EQ(r.t.msg_type, ZV_MT_BASIC_EDI);
    EXPECT_EQ(zvtest::hex(b.der),
              zvtest::hex(tlv(0x30, ctu::kOidZvEdi1 + tlv(0xA0, tlv(0x04, doc)))));
    EXPECT_TRUE(r.untouched_after(b.der.size()));
    EXPECT_EQ(r.t.digest_length, 0);
    EXPECT_NE(b.err.find("AE2BE:i2d_PlainEDImessage() returned a " + std::to_string(b.der.size())),
              std::string::npos)
        << b.err;
  }
  // The receipt of the worked example: 142 octets, no enhancement.
  const std::string isa = ctu::isa_segment("DXC_TEST", "DXC7");
  Rec r(ctu::receipt_request(isa, "20240101120000Z", "ffff"));
  Built b = build(r);
  ASSERT_EQ(b.rc, 0) << b.err;
  EXPECT_EQ(r.t.msg_type, ZV_MT_BASIC_RECEIPT);
  ASSERT_EQ(b.der.size(), 142u);
  EXPECT_EQ(zvtest::hex(b.der.substr(0, 20)), "30818b06092b060104019b780741a07e307c0469");
  EXPECT_EQ(b.der.substr(20, 105), isa);
  EXPECT_EQ(zvtest::hex(b.der.substr(125, 2)), "130f");
  EXPECT_EQ(b.der.substr(127), "20240101120000Z");
  expect_parses(b.der, {"1.3.6.1.4.1.3576.7.65", "PRINTABLESTRING"});
}

TEST_F(Message, IntegrityEnvelopeCarriesTheHexDigestOfTheWholeInput) {
  std::string doc = ctu::interchange("DXC7", "DXC_TEST", 700);
  Rec r(doc);
  Built b = build(r);
  ASSERT_EQ(b.rc, 0) << b.err;
  std::string hex = ctu::sha1_hex(doc);
  bytes want = tlv(0x30, ctu::kOidZvEdi3 +
                             tlv(0xA0, tlv(0x30, tlv(0x02, std::string(1, '\0')) + ctu::kOidSha1 +
                                                     tlv(0x30, ctu::kOidZvEdi1 + tlv(0xA0, tlv(0x04, doc))) +
                                                     tlv(0x04, hex))));
  EXPECT_EQ(zvtest::hex(b.der), zvtest::hex(want));
  EXPECT_TRUE(r.untouched_after(b.der.size()));
  EXPECT_EQ(r.t.msg_type, ZV_MT_INTEGRITY_EDI);
  EXPECT_EQ(std::string(r.t.digest), hex);
  EXPECT_EQ(r.t.digest_length, 40);
  EXPECT_TRUE(env_->client_log().empty());
  expect_parses(b.der, {"1.3.6.1.4.1.3576.7.5", "sha1", ":" + hex});
}

TEST_F(Message, SignedEnvelopeMatchesAnIndependentSignature) {
  EVP_PKEY *key = nullptr;
  X509 *cert = nullptr;
  std::string kd;
  ASSERT_NO_FATAL_FAILURE(ctu::signing_identity("sigkey", &key, &cert, &kd));

  std::string doc = ctu::interchange("SLOC", "SREM", 300);
  Rec r(doc);
  r.t.pLocalCert = cert;
  Built b = build(r, key);
  ASSERT_EQ(b.rc, 0) << b.err;
  EXPECT_EQ(r.t.msg_type, ZV_MT_SIGNED_EDI);

  // The signature made by the crypto tool itself over the block the rule defines.
  zvtest::write_file(kd + "/block", ctu::expected_signed_block(doc));
  std::string sig;
  ASSERT_EQ(zvtest::shell("openssl pkeyutl -sign -inkey '" + kd + "/k.pem' -in '" + kd +
                              "/block' -pkeyopt rsa_padding_mode:pkcs1",
                          &sig),
            0);
  ASSERT_EQ(sig.size(), 256u);
  bytes zero = tlv(0x02, std::string(1, '\0'));
  bytes issuer = tlv(0x30, tlv(0x30, tlv(0x31, tlv(0x30, ctu::kOidCountry + tlv(0x13, "US")))) +
                               tlv(0x30, tlv(0x31, tlv(0x30, ctu::kOidOrg + tlv(0x13, "Zolvar Test Org")))) +
                               tlv(0x02, "\x10\x92"));
  bytes signer = tlv(0x30, zero + issuer + ctu::kOidSha1 + ctu::kOidRsa + tlv(0x04, sig));
  bytes want = tlv(0x30, ctu::kOidZvEdi2 +
                             tlv(0xA0, tlv(0x30, zero + tlv(0x31, ctu::kOidSha1) +
                                                     tlv(0x30, ctu::kOidZvEdi1 + tlv(0xA0, tlv(0x04, doc))) +
                                                     tlv(0x31, signer))));
  EXPECT_EQ(zvtest::hex(b.der), zvtest::hex(want));
  EXPECT_TRUE(r.untouched_after(b.der.size()));
  EXPECT_EQ(std::string(r.t.digest), zvtest::hex(sig));
  EXPECT_EQ(r.t.digest_length, 512);
  EXPECT_EQ(ctu::recover_signed_block(sig, kd + "/c.pem"), ctu::expected_signed_block(doc));
  expect_parses(b.der, {"1.3.6.1.4.1.3576.7.2", "rsaEncryption", "countryName", ":US"});
  X509_free(cert);
  EVP_PKEY_free(key);
}

TEST_F(Message, SignedEnvelopeWithoutIssuerFieldsKeepsEmptyEntries) {
  std::string kd = zvtest::scratch_dir("sigkey2");
  zvtest::make_key_and_cert(kd + "/k.pem", kd + "/c.pem", {});  // CN only
  EVP_PKEY *key = nullptr;
  X509 *cert = nullptr;
  ASSERT_EQ(load_private_key_from_file((kd + "/k.pem").c_str(), &key), 0);
  ASSERT_EQ(load_cert_struct_from_file(&cert, (kd + "/c.pem").c_str()), 0);
  Rec r(ctu::interchange("SLOC", "SREM", 200));
  r.t.pLocalCert = cert;
  Built b = build(r, key);
  ASSERT_EQ(b.rc, 0) << b.err;
  // The identity's load says it once; each document says nothing of it.
  EXPECT_EQ(b.err.find("issuerCountry"), std::string::npos) << b.err;
  EXPECT_EQ(b.err.find("issuerOrganization"), std::string::npos) << b.err;
  bytes empty_c = tlv(0x30, tlv(0x31, tlv(0x30, ctu::kOidCountry + tlv(0x13, ""))));
  EXPECT_NE(b.der.find(empty_c), std::string::npos) << zvtest::hex(b.der);
  X509_free(cert);
  EVP_PKEY_free(key);
}

// A signed envelope without a signature would be refused by every partner: the document
// is refused instead, and nothing is written.
TEST_F(Message, SigningFailureRefusesTheDocument) {
  std::string kd = zvtest::scratch_dir("sigkey512");
  zvtest::CertSpec spec;
  spec.bits = 512;  // too short for the 55-byte block
  zvtest::make_key_and_cert(kd + "/k.pem", kd + "/c.pem", spec);
  EVP_PKEY *key = nullptr;
  ASSERT_EQ(load_private_key_from_file((kd + "/k.pem").c_str(), &key), 0);
  Rec r(ctu::interchange("SLOC", "SREM", 200));
  Built b = build(r, key);
  EXPECT_EQ(b.rc, -1);
  EXPECT_TRUE(r.untouched_after(0));
  EXPECT_EQ(r.t.digest_length, 0);
  EXPECT_EQ(r.t.digest[0], '\0');
  EXPECT_EQ(r.t.tp_index, -1);
  ASSERT_EQ(env_->client_log().size(), 1u);
  EXPECT_EQ(ctu::log_code(env_->client_log()[0]), ZV_ERRM_CANNOT_GENERATE_EDI_MSG_FILE);
  // Without any key the same.
  Rec r2(ctu::interchange("SLOC", "SREM", 200));
  EXPECT_EQ(build(r2, nullptr).rc, -1);
  EVP_PKEY_free(key);
}

TEST_F(Message, ReceiptsCarryTheRequestsSegmentStampAndEnhancement) {
  const std::string isa = ctu::isa_segment("RREM", "RLOC");
  const std::string stamp = "20240101120000Z";
  const std::string sig_hex = "00ff10A0b1";
  Rec r(ctu::receipt_request(isa, stamp, sig_hex));
  Built b = build(r);
  ASSERT_EQ(b.rc, 0) << b.err;
  EXPECT_EQ(r.t.msg_type, ZV_MT_SIGNED_RECEIPT);
  bytes want = tlv(0x30, ctu::kOidZvR1 +
                             tlv(0xA0, tlv(0x30, tlv(0x04, isa) + tlv(0x13, stamp) +
                                                     tlv(0xA2, tlv(0x30, ctu::kOidRsa +
                                                                             tlv(0x04, std::string("\x00\xff\x10\xa0\xb1", 5)))))));
  EXPECT_EQ(zvtest::hex(b.der), zvtest::hex(want));
  EXPECT_EQ(r.t.digest_length, 0);
  expect_parses(b.der, {"1.3.6.1.4.1.3576.7.65", "rsaEncryption"});

  ctu::set_partner(2, "RCPTP", "RLOC", "RREM", BASIC_EDI, INTEGRITY_RECEIPT);
  std::string hex = ctu::sha1_hex("whatever");
  Rec r2(ctu::receipt_request(isa, stamp, hex));
  b = build(r2);
  ASSERT_EQ(b.rc, 0) << b.err;
  EXPECT_EQ(r2.t.msg_type, ZV_MT_INTEGRITY_RECEIPT);
  want = tlv(0x30, ctu::kOidZvR1 +
                       tlv(0xA0, tlv(0x30, tlv(0x04, isa) + tlv(0x13, stamp) +
                                               tlv(0xA1, tlv(0x30, ctu::kOidSha1 + tlv(0x04, hex))))));
  EXPECT_EQ(zvtest::hex(b.der), zvtest::hex(want));
  expect_parses(b.der, {"sha1", ":" + hex});
  // The request is left as it came, so that a refusal after the build keeps it whole.
  EXPECT_EQ(std::string(r2.in.data()), ctu::receipt_request(isa, stamp, hex));
}

TEST_F(Message, ShortReceiptRequestIsRefused) {
  const std::string isa = ctu::isa_segment("RREM", "RLOC");
  Rec r("ZVR:" + isa + "|2024");
  Built b = build(r);
  EXPECT_EQ(b.rc, -1);
  EXPECT_TRUE(r.untouched_after(0));
  ASSERT_EQ(env_->client_log().size(), 1u);
  EXPECT_EQ(ctu::log_code(env_->client_log()[0]), ZV_ERRM_CANNOT_GENERATE_RECEIPT);
}

TEST_F(Message, ReceiptForAPartnerWithoutReceiptsEndsTheProcess) {
  EXPECT_EXIT(
      {
        Rec r(ctu::receipt_request(ctu::isa_segment("SREM", "SLOC"), "20240101120000Z", "ab"));
        if (findPartner(&r.t) == 0) process_rawInputData(&r.t, nullptr);
        exit(0);
      },
      ::testing::ExitedWithCode(256 + ZV_ERRM_UNKNOWN_RECEIPT_MSG_TYPE_IN_TPFILE),
      "WARNING: Unknown Receipt message type of \\[1\\] found in Trading Partner configuration "
      "for \\[SIGNP\\]");
}

TEST_F(Message, StatusKeywordsAndTheirPatterns) {
  struct Case {
    std::string keyword;
    std::string bits;
  } cases[] = {
      {"TEST", zv_status_code[ZV_STATUS_TEST]},
      {"STOP_WAN", zv_status_code[ZV_STATUS_STOP_WAN]},
      {"STOP_OSS", zv_status_code[ZV_STATUS_STOP_OSS]},
      {"RESTART", zv_status_code[ZV_STATUS_RESTART]},
      {"RESTARTING NOW", zv_status_code[ZV_STATUS_RESTART]},  // leading characters count
      {"TESTING", zv_status_code[ZV_STATUS_TEST]},
      {zv_status_code[ZV_STATUS_PING_REQUEST], zv_status_code[ZV_STATUS_PING_REQUEST]},
      {zv_status_code[ZV_STATUS_PING_RESPONSE], zv_status_code[ZV_STATUS_PING_RESPONSE]},
      {"HELLO", "HELLO"},
  };
  EXPECT_STREQ(zv_status_code[ZV_STATUS_STOP_WAN], "00001000000000000000000000000000");
  for (const Case &c : cases) {
    Rec r("ZVS:       PARTNER1:" + c.keyword);
    Built b = build(r);
    ASSERT_EQ(b.rc, 0) << c.keyword << b.err;
    EXPECT_EQ(r.t.msg_type, ZV_MT_STATUS);
    // The encoder counts the zero bits below the last octet's lowest set bit.
    unsigned char last = static_cast<unsigned char>(c.bits.back());
    int unused = 0;
    while (unused < 8 && !(last & (1 << unused))) ++unused;
    bytes want = tlv(0x30, ctu::kOidZvS1 + tlv(0xA0, tlv(0x03, std::string(1, static_cast<char>(unused)) + c.bits)));
    EXPECT_EQ(zvtest::hex(b.der), zvtest::hex(want)) << c.keyword;
    expect_parses(b.der, {"BIT STRING", "1.3.6.1.4.1.3576.7.97"});
  }
}

TEST_F(Message, EnvelopesThatWouldNotFitAreRefusedUnwritten) {
  struct Case {
    std::string input;
    int code;
  } cases[] = {
      {ctu::interchange("DXC7", "DXC_TEST", 400), ZV_ERRM_CANNOT_GENERATE_EDI_MSG_FILE},
      {ctu::receipt_request(ctu::isa_segment("RREM", "RLOC"), "20240101120000Z", "abcdef"),
       ZV_ERRM_CANNOT_GENERATE_RECEIPT},
      {"ZVS:PARTNER1:" + std::string(300, 'K'), ZV_ERRM_CANNOT_GENERATE_ZV_STATUS_MSG},
  };
  size_t n = 0;
  for (const Case &c : cases) {
    // First the size it needs, then one byte less.
    Rec probe(c.input);
    Built ok = build(probe);
    ASSERT_EQ(ok.rc, 0) << ok.err;
    Rec r(c.input, static_cast<int>(ok.der.size()) - 1);
    Built b = build(r);
    EXPECT_EQ(b.rc, -1) << c.input.substr(0, 20);
    EXPECT_TRUE(r.untouched_after(0));
    EXPECT_NE(b.err.find("does not fit the output buffer of " + std::to_string(ok.der.size() - 1) +
                         " bytes"),
              std::string::npos)
        << b.err;
    std::vector<std::string> log = env_->client_log();
    ASSERT_EQ(log.size(), ++n);
    EXPECT_EQ(ctu::log_code(log.back()), c.code);
    Rec exact(c.input, static_cast<int>(ok.der.size()));
    EXPECT_EQ(build(exact).der, ok.der);
    EXPECT_TRUE(exact.untouched_after(ok.der.size()));
  }
}

// The builder only copies: the success line waits for the hand-over (the Clientd suite).
TEST_F(Message, RawModeCopiesTheInput) {
  rawMessage_flag = 1;
  std::string doc = ctu::interchange("DXC7", "DXC_TEST", 250);
  Rec r(doc);
  Built b = build(r);
  rawMessage_flag = 0;
  ASSERT_EQ(b.rc, 0);
  EXPECT_EQ(b.der, doc);
  EXPECT_EQ(r.t.obuf_length, static_cast<int>(doc.size()));
  EXPECT_NE(b.err.find("WARNING: sending RAW data message to server\n"), std::string::npos);
  EXPECT_TRUE(env_->client_log().empty());

  rawMessage_flag = 1;
  Rec small(doc, static_cast<int>(doc.size()) - 1);
  EXPECT_EQ(build(small).rc, -1);
  rawMessage_flag = 0;
  EXPECT_TRUE(small.untouched_after(0));
}

TEST_F(Message, UnknownMessageTypeIsRefused) {
  Rec r(ctu::interchange("DXC7", "DXC_TEST", 200));
  ASSERT_EQ(findPartner(&r.t), 0);
  r.t.msg_type = ZV_MT_XML;
  int rc = 0;
  rtt::Captured cap = rtt::capture([&] { rc = process_rawInputData(&r.t, nullptr); });
  EXPECT_EQ(rc, -1);
  EXPECT_NE(cap.err.find("WARNING: Unknown message (type not known) found for Trading Partner [PARTNER1]\n"),
            std::string::npos);
  ASSERT_EQ(env_->client_log().size(), 1u);
  EXPECT_EQ(ctu::log_code(env_->client_log()[0]), ZV_ERRM_UNKNOWN_TYPE_OF_MSG_FOR_TP);
}

}  // namespace
