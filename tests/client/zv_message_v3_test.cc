// The version-3 dispatcher and builders in process: the exact octets of every Issue 3
// envelope the client sends (built here by hand) with `openssl asn1parse` over each and
// the refusal of one byte too little room, the signed envelopes octet for octet those of
// version 2, and each refusal of the version-3 table with its text, code and exit status.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstring>
#include <string>
#include <vector>

#include "client/zv_message.h"
#include "partners/zv_crypto.h"
#include "runtime/zv_errors.h"
#include "runtime/zv_globals.h"
#include "runtime/zv_status_code.h"
#include "tests/client/client_test_util.h"
#include "tests/runtime/runtime_test_util.h"
#include "tests/support/zv_test_support.h"

using ctu::bytes;
using ctu::Rec;
using ctu::tlv;

namespace {

constexpr char kStamp[] = "20240101120000Z";

class MessageV3 : public ::testing::Test {
 protected:
  void SetUp() override {
    env_ = std::make_unique<ctu::InProcessEnv>("message-v3");
    ctu::set_partner(0, "P3BASIC", "BLOC", "BREM", BASIC_EDI, BASIC_RECEIPT);
    ctu::set_partner(1, "P3SIGN", "SLOC", "SREM", SIGNED_EDI, SIGNED_RECEIPT);
    ctu::set_partner(2, "P3INTEG", "ILOC", "IREM", INTEGRITY_EDI, INTEGRITY_RECEIPT);
    ctu::set_partner(3, "P3NONE", "NLOC", "NREM", UNSUPPORTED_MT, NO_RECEIPT);
  }
  void TearDown() override { env_.reset(); }

  struct Built {
    int rc = 99;
    bytes der;
    std::string log;
  };
  // Classifies and builds for version 3; `msg_type`, when not 0, replaces what the
  // classification found (no input is classified as text or XML).
  Built build(Rec &r, int msg_type = 0, int status = 0, EVP_PKEY *key = nullptr) {
    Built b;
    rtt::Captured cap = rtt::capture([&] {
      b.rc = findPartner(&r.t);
      if (b.rc != 0) return;
      if (msg_type != 0) r.t.msg_type = msg_type;
      b.rc = process_rawInputData_v3(&r.t, key, status);
    });
    b.log = cap.out + cap.err;
    if (b.rc == 0) b.der = r.envelope();
    return b;
  }
  int last_code() {
    std::vector<std::string> log = env_->client_log();
    return log.empty() ? 99 : ctu::log_code(log.back());
  }

  std::unique_ptr<ctu::InProcessEnv> env_;
};

size_t count(const std::string &text, const std::string &what) {
  size_t n = 0;
  for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
  return n;
}

// A status BIT STRING: the count octet is the number of zero bits at the low end of
// the last character.
bytes status_bits(const std::string &content, char count) {
  return tlv(0x03, std::string(1, count) + content);
}

TEST_F(MessageV3, EnvelopeOctetsAndTheirRefusalWithOneByteTooLittle) {
  const std::string doc200 = ctu::interchange("BLOC", "BREM", 200);
  const std::string doc1000 = ctu::interchange("BLOC", "BREM", 1000);
  const std::string isa = ctu::isa_segment("BREM", "BLOC");
  const std::string status = "ZVS:        P3BASIC:";
  auto pattern = [](int code) { return std::string(zv_status_code[code]); };
  struct Case {
    std::string name;
    std::string input;
    int force_type;  // replaces the classification's msg_type (0: keep)
    int status;      // the dispatcher's status argument
    int msg_type;    // as sent
    bytes want;
    std::string head;  // the leading octets in hex
    std::string log;   // the builder's line, without the length
    bool dumped;       // ASN.1 dump after every build
    int refusal;       // code when the output buffer is one byte short
  } cases[] = {
      {"basic EDI of 200", doc200, 0, 0, ZV_MT_BASIC_EDI, tlv(0x16, doc200), "1681c8",
       "AE2BEv3:i2d_v3_ZvMessage() returned a ", false, ZV_ERRM_CANNOT_GENERATE_EDI_MSG_FILE},
      {"basic EDI of 1000", doc1000, 0, 0, ZV_MT_BASIC_EDI, tlv(0x16, doc1000), "168203e8",
       "AE2BEv3:i2d_v3_ZvMessage() returned a ", false, ZV_ERRM_CANNOT_GENERATE_EDI_MSG_FILE},
      // Text and XML take the [0] and [1] IA5String alternatives.
      {"text", doc200, ZV_MT_TEXT, 0, ZV_MT_TEXT, tlv(0xA0, tlv(0x16, doc200)), "a081cb1681c8",
       "AT2BEv3:i2d_v3_ZvMessage() returned a ", true, ZV_ERRM_CANNOT_GENERATE_EDI_MSG_FILE},
      {"XML", doc200, ZV_MT_XML, 0, ZV_MT_XML, tlv(0xA1, tlv(0x16, doc200)), "a181cb1681c8",
       "AX2BEv3:i2d_v3_ZvMessage() returned a ", true, ZV_ERRM_CANNOT_GENERATE_EDI_MSG_FILE},
      {"basic receipt", ctu::receipt_request(isa, kStamp, "ignored"), 0, 0, ZV_MT_BASIC_RECEIPT,
       tlv(0x04, tlv(0xA2, tlv(0x30, tlv(0x04, isa) + tlv(0x13, kStamp)))), "048180a27e307c0469",
       "AE2BRv3:i2d_v3_ZvMessage() returned a ", true, ZV_ERRM_CANNOT_GENERATE_RECEIPT},
      {"TEST", status + "TEST", 0, 0, ZV_MT_STATUS, status_bits(pattern(0), 4), "032104",
       "GZVSv3:i2d_v3_ZvMessage() returned a ", true, ZV_ERRM_CANNOT_GENERATE_ZV_STATUS_MSG},
      {"STOP_WAN", status + "STOP_WAN", 0, 0, ZV_MT_STATUS, status_bits(pattern(1), 4), "032104",
       "GZVSv3:", true, ZV_ERRM_CANNOT_GENERATE_ZV_STATUS_MSG},
      {"STOP_OSS", status + "STOP_OSS", 0, 0, ZV_MT_STATUS, status_bits(pattern(2), 4), "032104",
       "GZVSv3:", true, ZV_ERRM_CANNOT_GENERATE_ZV_STATUS_MSG},
      {"RESTART by its leading characters", status + "RESTART_NOW", 0, 0, ZV_MT_STATUS,
       status_bits(pattern(3), 4), "032104", "GZVSv3:", true, ZV_ERRM_CANNOT_GENERATE_ZV_STATUS_MSG},
      {"PING_REQUEST", status + "PING_REQUEST", 0, 0, ZV_MT_STATUS, status_bits(pattern(4), 4),
       "032104", "GZVSv3:", true, ZV_ERRM_CANNOT_GENERATE_ZV_STATUS_MSG},
      {"PING_RESPONSE", status + "PING_RESPONSE", 0, 0, ZV_MT_STATUS, status_bits(pattern(5), 0),
       "032100", "GZVSv3:", true, ZV_ERRM_CANNOT_GENERATE_ZV_STATUS_MSG},
      {"other text carried", status + "HELLO", 0, 0, ZV_MT_STATUS, status_bits("HELLO", 0),
       "030600", "GZVSv3:", true, ZV_ERRM_CANNOT_GENERATE_ZV_STATUS_MSG},
      {"code 4 given by the caller", status + "TEST", 0, ZV_STATUS_PING_REQUEST, ZV_MT_STATUS,
       status_bits(pattern(4), 4), "032104", "GZVSv3:", true, ZV_ERRM_CANNOT_GENERATE_ZV_STATUS_MSG},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Rec r(c.input);
    debug_level = 1;
    Built b = build(r, c.force_type, c.status);
    debug_level = 0;
    ASSERT_EQ(b.rc, 0) << b.log;
    EXPECT_EQ(r.t.msg_type, c.msg_type);
    EXPECT_EQ(zvtest::hex(b.der), zvtest::hex(c.want));
    EXPECT_EQ(zvtest::hex(b.der.substr(0, c.head.size() / 2)), c.head);
    EXPECT_TRUE(r.untouched_after(b.der.size()));
    EXPECT_EQ(r.t.digest_length, 0);
    EXPECT_NE(b.log.find(c.log), std::string::npos) << b.log;
    EXPECT_EQ(count(b.log, ":ASN1 Data +++"), c.dumped ? 1u : 0u) << b.log;
    std::string parsed;
    EXPECT_EQ(ctu::asn1parse(b.der, &parsed), 0) << parsed;

    Rec small(c.input, static_cast<int>(b.der.size()) - 1);
    Built refused = build(small, c.force_type, c.status);
    EXPECT_EQ(refused.rc, -1);
    EXPECT_TRUE(small.untouched_after(0));
    EXPECT_EQ(small.t.tp_index, -1);
    EXPECT_NE(refused.log.find("does not fit the output buffer of " +
                               std::to_string(b.der.size() - 1) + " bytes"),
              std::string::npos)
        << refused.log;
    EXPECT_EQ(last_code(), c.refusal);
  }
  // The inner receipt has its own line; the request is copied, not ended in place.
  Rec r(ctu::receipt_request(isa, kStamp, ""));
  debug_level = 1 | 32;
  Built b = build(r);
  debug_level = 0;
  EXPECT_NE(b.log.find("AE2BRv3:i2d_v3_SecureMessage() returned a 128\n"), std::string::npos);
  EXPECT_NE(b.log.find("AE2BRv3:i2d_v3_ZvMessage() returned a 131\n"), std::string::npos);
  EXPECT_EQ(count(b.log, ":ASN1 Data +++"), 2u);  // after the build and for bit 32
  EXPECT_EQ(std::string(r.t.ibufferp), "ZVR:" + isa + "|" + kStamp + "xxx");
}

TEST_F(MessageV3, SignedEnvelopesAreTheVersion2OnesOctetForOctet) {
  EVP_PKEY *key = nullptr;
  X509 *cert = nullptr;
  ASSERT_NO_FATAL_FAILURE(ctu::signing_identity("v3key", &key, &cert));

  const std::string inputs[] = {
      ctu::interchange("SLOC", "SREM", 900),
      ctu::receipt_request(ctu::isa_segment("SREM", "SLOC"), kStamp, "00ff10a0b1"),
  };
  for (const std::string &input : inputs) {
    Rec v2(input), v3(input);
    v2.t.pLocalCert = v3.t.pLocalCert = cert;
    debug_level = 1 | 64 | 128;
    rtt::Captured c2 = rtt::capture([&] {
      ASSERT_EQ(findPartner(&v2.t), 0);
      ASSERT_EQ(process_rawInputData(&v2.t, key), 0);
    });
    Built b3 = build(v3, 0, 0, key);
    debug_level = 0;
    ASSERT_EQ(b3.rc, 0) << b3.log;
    EXPECT_EQ(zvtest::hex(b3.der), zvtest::hex(v2.envelope()));
    EXPECT_EQ(v3.t.msg_type, v2.t.msg_type);
    EXPECT_EQ(std::string(v3.t.digest), std::string(v2.t.digest));
    EXPECT_EQ(v3.t.digest_length, v2.t.digest_length);
    EXPECT_EQ(v3.in, v2.in);  // both leave the input as it came
    if (v3.t.msg_type == ZV_MT_SIGNED_EDI) {
      EXPECT_EQ(v3.t.digest_length, 512);
      EXPECT_NE(b3.log.find("AE2ENR:i2d_ZV_EDI_MSG_signed() returned a "), std::string::npos);
      for (const char *line : {"AsciiEDI_2_EDIwNR_v3: Using Local X.509 Cert\n",
                               "AsciiEDI_2_EDIwNR_v3: Using RSA Private Key\n"}) {
        EXPECT_NE(b3.log.find(line), std::string::npos) << line;
        EXPECT_EQ(c2.err.find(line), std::string::npos) << line;
      }
      EXPECT_NE(c2.err.find("AsciiEDI_2_EDIwNR: Using RSA Private Key\n"), std::string::npos);
    } else {
      EXPECT_EQ(v3.t.msg_type, ZV_MT_SIGNED_RECEIPT);
      EXPECT_NE(b3.log.find("AE2RNR:i2d_ZV_RECEIPT_MSG_basic() returned a "), std::string::npos);
    }
  }
  X509_free(cert);
  EVP_PKEY_free(key);
}

// Every refusal of a setting that Issue 3 cannot carry is fatal: the process ends with
// the code as its exit status after the transaction-log line.
TEST_F(MessageV3, RefusedSettingsEndTheProcessWithTheirCode) {
  const std::string receipt_i = ctu::receipt_request(ctu::isa_segment("IREM", "ILOC"), kStamp, "ab");
  const std::string receipt_n = ctu::receipt_request(ctu::isa_segment("NREM", "NLOC"), kStamp, "ab");
  struct Case {
    std::string input;
    int force_type;
    std::string text;  // a regular expression
    int code;
    std::string isaid;  // the partner the alert names
  } cases[] = {
      {ctu::interchange("ILOC", "IREM", 300), 0,
       "WARNING: EDI message type of INTEGRITY_EDI \\[2\\] found \\(but not supported in ZVv3\\) in "
       "Trading Partner configuration for \\[P3INTEG\\]",
       ZV_ERRM_UNKNOWN_MSG_TYPE_IN_TPFILE, "P3INTEG"},
      {ctu::interchange("NLOC", "NREM", 300), 0,
       "WARNING: Unknown EDI message type of \\[-1\\] found in Trading Partner configuration for "
       "\\[P3NONE\\]",
       ZV_ERRM_UNKNOWN_MSG_TYPE_IN_TPFILE, "P3NONE"},
      {ctu::interchange("ILOC", "IREM", 300), ZV_MT_TEXT,
       "WARNING: Text message type of INTEGRITY_TXT or SIGNED_TXT \\[2\\] found \\(but not supported "
       "in ZVv3\\) in Trading Partner configuration for \\[P3INTEG\\]",
       ZV_ERRM_UNKNOWN_MSG_TYPE_IN_TPFILE, "P3INTEG"},
      {ctu::interchange("SLOC", "SREM", 300), ZV_MT_XML,
       "WARNING: EDI message type of INTEGRITY_TXT or SIGNED_TXT \\[3\\] found \\(but not supported "
       "in ZVv3\\) in Trading Partner configuration for \\[P3SIGN\\]",
       ZV_ERRM_UNKNOWN_MSG_TYPE_IN_TPFILE, "P3SIGN"},
      {ctu::interchange("NLOC", "NREM", 300), ZV_MT_XML,
       "WARNING: Unknown EDI message type of \\[-1\\] found", ZV_ERRM_UNKNOWN_MSG_TYPE_IN_TPFILE,
       "P3NONE"},
      // An integrity receipt is refused with the message-type code, not the receipt one.
      {receipt_i, 0,
       "WARNING: EDI receipt type of INTEGRITY_RECEIPT \\[3\\] found \\(but not supported in "
       "ZVv3\\) in Trading Partner configuration for \\[P3INTEG\\]",
       ZV_ERRM_UNKNOWN_MSG_TYPE_IN_TPFILE, "P3INTEG"},
      {receipt_n, 0,
       "WARNING: Unknown Receipt message type of \\[1\\] found in Trading Partner configuration "
       "for \\[P3NONE\\]",
       ZV_ERRM_UNKNOWN_RECEIPT_MSG_TYPE_IN_TPFILE, "P3NONE"},
  };
  size_t lines = 0;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EXIT(
        {
          Rec r(c.input);
          if (findPartner(&r.t) == 0) {
            if (c.force_type != 0) r.t.msg_type = c.force_type;
            process_rawInputData_v3(&r.t, nullptr, 0);
          }
          exit(0);
        },
        ::testing::ExitedWithCode(256 + c.code), c.text);
    std::vector<std::string> log = env_->client_log();
    ASSERT_EQ(log.size(), ++lines);
    EXPECT_EQ(ctu::log_code(log.back()), c.code);
    // The refusal names the partner it refuses for.
    std::vector<std::string> alerts = env_->alerts();
    ASSERT_EQ(alerts.size(), lines);
    EXPECT_EQ(ctu::fields(alerts.back())[2], c.isaid) << alerts.back();
  }

  // A kind of message no version-3 builder makes is refused, and the process goes on.
  Rec r(ctu::interchange("BLOC", "BREM", 300));
  Built b = build(r, ZV_MT_INTEGRITY_RECEIPT);
  EXPECT_EQ(b.rc, -1);
  EXPECT_NE(b.log.find("WARNING: Unknown message (type not known) found for Trading Partner "
                       "[P3BASIC]\n"),
            std::string::npos)
      << b.log;
  EXPECT_EQ(last_code(), ZV_ERRM_UNKNOWN_TYPE_OF_MSG_FOR_TP);
  EXPECT_TRUE(r.untouched_after(0));
}

TEST_F(MessageV3, RawModeSendsTheInputItself) {
  const std::string doc = ctu::interchange("ILOC", "IREM", 250);
  rawMessage_flag = 1;
  Rec r(doc);
  Built b = build(r);
  Rec small(doc, static_cast<int>(doc.size()) - 1);
  Built refused = build(small);
  rawMessage_flag = 0;
  ASSERT_EQ(b.rc, 0) << b.log;
  EXPECT_EQ(b.der, doc);
  EXPECT_NE(b.log.find("WARNING: sending RAW data message to server\n"), std::string::npos);
  EXPECT_EQ(refused.rc, -1);
  EXPECT_TRUE(small.untouched_after(0));
  std::vector<std::string> log = env_->client_log();
  // The success line is the hand-over's (clientd), not the builder's.
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(ctu::log_code(log[0]), ZV_ERRM_CANNOT_GENERATE_EDI_MSG_FILE);
}

}  // namespace
