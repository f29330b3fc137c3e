// The dumps of encoded envelopes (hex-dump layout, ASN.1 printout through the log) and
// the message-type sniffer.
#include "codec/zv_dump.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "codec/zv_asn1.h"
#include "codec/zv_oids.h"
#include "runtime/zv_globals.h"
#include "tests/codec/der_test_util.h"
#include "tests/support/zv_test_support.h"

using dertest::bytes;
using dertest::unhex;

namespace {

struct captured {
  std::vector<std::string> lines;  // without the log prefix
  std::string raw;
};

template <class F>
captured capture(int level_bits, F f) {
  int saved = debug_level;
  debug_level = level_bits;
  testing::internal::CaptureStderr();
  f();
  captured c;
  c.raw = testing::internal::GetCapturedStderr();
  debug_level = saved;
  std::regex prefix(R"(^\d{8} \d{6}\.\d{3}:[^(]*\(\d{5}:\d{2}\):)");
  for (const auto &l : zvtest::split_lines(c.raw)) c.lines.push_back(std::regex_replace(l, prefix, ""));
  return c;
}

class Dump : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { OBJ_create_objects2(zv_oid_table); }
};

bytes integrity_envelope() {
  ZV_EDI_MSGtype03 *m = ZV_EDI_MSG_03_new();
  ASN1_OBJECT_free(m->ediIntegrityMessageId);
  m->ediIntegrityMessageId = OBJ_txt2obj("ZV_EDI_3", 0);
  ASN1_INTEGER_set(m->ediIntegrityContent->ediIntegrityVersion, 1);
  ASN1_OBJECT_free(m->ediIntegrityContent->ediIntegrityAlgorithmId);
  m->ediIntegrityContent->ediIntegrityAlgorithmId = OBJ_txt2obj("SHA1", 0);
  ZV_EDI_MSGtype01 *in = m->ediIntegrityContent->ediInnerContent;
  ASN1_OBJECT_free(in->ediMsgId);
  in->ediMsgId = OBJ_txt2obj("ZV_EDI_1", 0);
  ASN1_STRING_set(in->ediContent, "ISA*00", 6);
  bytes out = dertest::encode(i2d_ZV_EDI_MSG_integrity, m);
  ZV_EDI_MSG_03_free(m);
  return out;
}

TEST_F(Dump, HexLines) {
  struct {
    std::string in;
    std::vector<std::string> want;
  } cases[] = {
      {"", {}},
      {"ABCDEFGHIJKLMNOPQ",
       {"0x0000 41424344 45464748 494a4b4c 4d4e4f50  ABCD EFGH IJKL MNOP",
        "0x0010 51000000 00000000 00000000 00000000  Q... .... .... ...."}},
      {std::string("\x7f\x1f\x80 ~\x00", 6),
       {"0x0000 7f1f8020 7e000000 00000000 00000000  \x7f..  ~... .... ...."}},
      {std::string(32, 'z'),
       {"0x0000 7a7a7a7a 7a7a7a7a 7a7a7a7a 7a7a7a7a  zzzz zzzz zzzz zzzz",
        "0x0010 7a7a7a7a 7a7a7a7a 7a7a7a7a 7a7a7a7a  zzzz zzzz zzzz zzzz"}},
  };
  for (const auto &c : cases) {
    // A heap copy of exactly the length: a read past it shows under the sanitizer.
    std::vector<unsigned char> buf(c.in.begin(), c.in.end());
    auto *data = new unsigned char[buf.size() + 1];
    std::copy(buf.begin(), buf.end(), data);
    int rc = 1;
    captured got = capture(1, [&] { rc = dump_hex_char(data, static_cast<int>(buf.size())); });
    delete[] data;
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(got.lines, c.want) << got.raw;
  }
  // Offsets past 0xffff keep going in more digits.
  std::vector<unsigned char> big(0x10010, 'a');
  captured got = capture(1, [&] { dump_hex_char(big.data(), static_cast<int>(big.size())); });
  ASSERT_EQ(got.lines.size(), 0x1001u);
  EXPECT_EQ(got.lines.back().substr(0, 8), "0x10000 ");
  // Nothing without debug bit 1.
  EXPECT_TRUE(capture(0, [&] { dump_hex_char(big.data(), 16); }).lines.empty());
}

TEST_F(Dump, Asn1Printout) {
  bytes env = integrity_envelope();
  int rc = -1;
  captured got = capture(1, [&] { rc = dump_asn1(env.data(), static_cast<int>(env.size())); });
  EXPECT_EQ(rc, 0);
  ASSERT_GE(got.lines.size(), 4u) << got.raw;
  EXPECT_EQ(got.lines.front(), "ASN1 Data +++++++++++++++++++++++++++++++++");
  EXPECT_EQ(got.lines[got.lines.size() - 2], "++++++ End of ASN1 Data +++++++++++++++++++");
  EXPECT_EQ(got.lines.back(), "ASN1_parse returned a 1");
  // Every printed element is a line of its own, indented, identifiers by their names.
  std::string body;
  for (size_t i = 1; i + 2 < got.lines.size(); ++i) {
    EXPECT_EQ(got.lines[i].substr(0, 2), "  ") << got.lines[i];
    body += got.lines[i] + "\n";
  }
  EXPECT_NE(body.find(":integrityEDImessage "), std::string::npos) << body;
  EXPECT_NE(body.find(":plainEDImessage "), std::string::npos) << body;
  EXPECT_NE(body.find("cont [ 0 ]"), std::string::npos) << body;
  EXPECT_NE(body.find("INTEGER"), std::string::npos) << body;

  // A printout that cannot complete still returns 0 and shows the printer's result.
  bytes broken(env.begin(), env.begin() + 20);
  got = capture(1, [&] { rc = dump_asn1(broken.data(), static_cast<int>(broken.size())); });
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(got.lines.back(), "ASN1_parse returned a 0");
  EXPECT_EQ(dump_asn1(nullptr, 3), -1);
  ERR_clear_error();

  // A long readable body is one printer line and comes out whole, not cut at the
  // certificate printouts' line length.
  std::string text(3000, 'X');
  text.replace(0, 3, "ISA");
  bytes longer = unhex("04820BB8");
  for (char c : text) longer.push_back(static_cast<unsigned char>(c));
  got = capture(1, [&] { rc = dump_asn1(longer.data(), static_cast<int>(longer.size())); });
  EXPECT_EQ(rc, 0);
  ASSERT_EQ(got.lines.size(), 4u) << got.raw;
  EXPECT_NE(got.lines[1].find("OCTET STRING"), std::string::npos);
  EXPECT_EQ(got.lines[1].substr(got.lines[1].size() - text.size() - 1), ":" + text);
}

TEST_F(Dump, Sniffer) {
  bytes env = integrity_envelope();
  struct {
    const char *name;
    bytes in;
    int want;
    const char *oname;  // null: left unchanged
  } cases[] = {
      {"integrity", env, 0, "integrityEDImessage "},
      {"octet string", unhex("04 03 61 62 63 00"), 1, "v3zvReceiptMessage"},
      {"bit string", unhex("03 02 00 41 00 00"), 1, "v3zvStatusMessage"},
      {"ia5", unhex("16 03 49 53 41 00"), 1, "v3basicMessageEDI"},
      {"only an integer", unhex("30 04 02 02 01 05"), 1, nullptr},
      {"indefinite, end-of-contents first", unhex("30 80 00 00 00 00"), 2, nullptr},
      {"indefinite with identifier", unhex("30 80 30 80 06 02 2A 03 00 00 00 00"), 0, "1.2.3"},
      {"identifier after a nested set", unhex("30 0A 31 03 02 01 01 06 03 55 04 06"), 0,
       "countryName"},
      {"broken header", unhex("30 05 02 01 05 04 09 00"), -1, nullptr},
      {"bad identifier", unhex("30 04 06 02 2A 80 00 00"), -1, nullptr},
  };
  for (const auto &c : cases) {
    char oname[64];
    snprintf(oname, sizeof oname, "%s", "untouched");
    auto *data = new unsigned char[c.in.size()];
    std::copy(c.in.begin(), c.in.end(), data);
    int rc = 99;
    captured got = capture(0, [&] {
      rc = mk_ASN1_parse(data, static_cast<long>(c.in.size()), oname, sizeof oname);
    });
    delete[] data;
    EXPECT_EQ(rc, c.want) << c.name << "\n" << got.raw;
    EXPECT_STREQ(oname, c.oname ? c.oname : "untouched") << c.name;
    char first[64];
    snprintf(first, sizeof first, "pp = %x %x %x %x %x %x", c.in[0], c.in[1], c.in[2], c.in[3],
             c.in[4], c.in[5]);
    ASSERT_FALSE(got.lines.empty());
    EXPECT_EQ(got.lines[0], first) << c.name;
  }
  ERR_clear_error();

  char oname[32] = "";
  bytes refused = unhex("02 01 05 00 00 00");
  captured got = capture(0, [&] { EXPECT_EQ(mk_ASN1_parse(refused.data(), 6, oname, 32), -1); });
  ASSERT_EQ(got.lines.size(), 2u) << got.raw;
  EXPECT_EQ(got.lines[1],
            "Cannot determine ASN.1 message type - cannot continue with this message");
  got = capture(0, [&] {
    bytes bad = unhex("30 05 02 01 05 04 09 00");
    mk_ASN1_parse(bad.data(), static_cast<long>(bad.size()), oname, 32);
  });
  EXPECT_EQ(got.lines.back(), "ERROR: Error in ASN1 encoding");

  // A name is cut to fit the caller's buffer.
  char small[8];
  capture(0, [&] { mk_ASN1_parse(env.data(), static_cast<long>(env.size()), small, 8); });
  EXPECT_STREQ(small, "integri");
  bytes octets = unhex("04 03 61 62 63 00");
  capture(0, [&] { mk_ASN1_parse(octets.data(), 6, small, 8); });
  EXPECT_STREQ(small, "v3zvRec");
}

}  // namespace
