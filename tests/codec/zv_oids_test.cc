// The object-identifier table and its registration: the table text, the parsing rules,
// the count, the names that resolve afterwards, and the crypto library's own
// identifiers still working.
#include "codec/zv_oids.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/objects.h>

#include <cstring>
#include <regex>
#include <string>

#include "codec/zv_codec_services.h"
#include "partners/zv_crypto.h"
#include "runtime/zv_globals.h"
#include "runtime/zv_services.h"
#include "tests/codec/der_test_util.h"
#include "tests/support/zv_test_support.h"

namespace {

struct row {
  const char *oid, *sn, *ln;
};
const row kRows[] = {
    {"1.2.840.113549.1.1.5", "RSA_SHA1", "receiptSignitureAlgorthm "},
    {"1.3.6.1.4.1.3576.7", "ZV_X12", "eczvAscX12Edi "},
    {"1.3.6.1.4.1.3576.8", "ZV_EDIFACT", "eczvEdifact "},
    {"1.3.6.1.4.1.3576.9", "ZV_NON_EDI", "eczvNonEdi "},
    {"1.3.6.1.4.1.3576.7.1", "ZV_EDI_1", "plainEDImessage "},
    {"1.3.6.1.4.1.3576.7.2", "ZV_EDI_2", "signedEDImessage "},
    {"1.3.6.1.4.1.3576.7.5", "ZV_EDI_3", "integrityEDImessage "},
    {"1.3.6.1.4.1.3576.7.65", "ZV_R_1", "zvReceiptMessage "},
    {"1.3.6.1.4.1.3576.7.97", "ZV_S_1", "zvStatusMessage "},
    {"1.3.14.3.2.26", "SHA1", "SHA1digestAlgorthm "},
    {"1.2.840.10067.32", "ZV_V3_BASIC", "basicZVmessage "},
    {"1.2.840.10068.32", "ZV_V3_ENHAN", "zvEnhancedMessage "},
};

std::string dotted(const ASN1_OBJECT *o) {
  char buf[128];
  OBJ_obj2txt(buf, sizeof buf, o, 1);
  return buf;
}
std::string named(const char *oid) {
  ASN1_OBJECT *o = OBJ_txt2obj(oid, 1);
  char buf[128];
  OBJ_obj2txt(buf, sizeof buf, o, 0);
  ASN1_OBJECT_free(o);
  return buf;
}

// The log lines of a call, without their prefixes.
template <class F>
std::vector<std::string> logged(int level_bits, F f) {
  int saved = debug_level;
  debug_level = level_bits;
  testing::internal::CaptureStderr();
  f();
  std::string err = testing::internal::GetCapturedStderr();
  debug_level = saved;
  std::vector<std::string> lines;
  std::regex prefix(R"(^\d{8} \d{6}\.\d{3}:[^(]*\(\d{5}:\d{2}\):)");
  for (const auto &l : zvtest::split_lines(err)) lines.push_back(std::regex_replace(l, prefix, ""));
  return lines;
}

bool has(const std::vector<std::string> &lines, const std::string &l) {
  return std::find(lines.begin(), lines.end(), l) != lines.end();
}

TEST(OidTable, TextAndColumns) {
  ASSERT_EQ(strlen(zv_oid_table), 671u);
  std::vector<std::string> lines;
  std::string text = zv_oid_table;
  size_t start = 0;
  for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
    lines.push_back(text.substr(start, nl - start));
  ASSERT_EQ(lines.size(), 13u);
  EXPECT_EQ(lines[12], "");  // the empty line that ends the table
  for (size_t i = 0; i < 12; ++i) {
    const std::string &l = lines[i];
    EXPECT_EQ(l.back(), ' ') << i;
    if (i < 10) {
      EXPECT_EQ(l.substr(0, strlen(kRows[i].oid)), kRows[i].oid) << i;
      EXPECT_EQ(l.substr(27, strlen(kRows[i].sn)), kRows[i].sn) << i;
      EXPECT_EQ(l.substr(40), kRows[i].ln) << i;
      EXPECT_EQ(l.find('\t'), std::string::npos) << i;
    } else {
      EXPECT_EQ(l, std::string(kRows[i].oid) + "\t" + kRows[i].sn + "\t" + kRows[i].ln) << i;
    }
  }
}

TEST(OidRegistration, TwelveRowsEveryNameResolves) {
  std::vector<std::string> lines = logged(16 | 1, [] {
    zv_register_codec_services();
    ASSERT_NE(zv_services.load_zvObjectIdentifiers, nullptr);
    zv_services.load_zvObjectIdentifiers();
  });
  EXPECT_TRUE(has(lines, "++ ZV specific ASN.1 Object Identifiers +++")) << lines.size();
  EXPECT_TRUE(has(lines, "  1.3.6.1.4.1.3576.7.65      ZV_R_1       zvReceiptMessage "));
  EXPECT_TRUE(has(lines, "++++++ End of ZV ASN.1 OIDs +++++++++++++++"));
  EXPECT_TRUE(has(lines, "Adding ASN.1 Object Identifiers"));
  EXPECT_TRUE(has(lines, "oid = 1.2.840.10068.32"));
  EXPECT_TRUE(has(lines, "  short name = ZV_V3_ENHAN"));
  EXPECT_TRUE(has(lines, "  long name = zvEnhancedMessage "));
  EXPECT_TRUE(has(lines, "Number of new ASN.1 Objects added = 12"));
  EXPECT_TRUE(dertest::drain_errors().empty());

  for (const row &r : kRows) {
    ASN1_OBJECT *o = OBJ_txt2obj(r.sn, 0);
    ASSERT_NE(o, nullptr) << r.sn;
    EXPECT_EQ(dotted(o), r.oid) << r.sn;
    ASN1_OBJECT_free(o);
    int nid = OBJ_ln2nid(r.ln);
    ASSERT_NE(nid, NID_undef) << r.ln;
    EXPECT_EQ(dotted(OBJ_nid2obj(nid)), r.oid) << r.ln;
  }
  // The system's own identifiers are named by the system's long names.
  EXPECT_EQ(named("1.3.6.1.4.1.3576.7.5"), "integrityEDImessage ");
  EXPECT_EQ(named("1.2.840.10067.32"), "basicZVmessage ");
  // The library's identifiers keep answering as the library's.
  EXPECT_EQ(OBJ_txt2nid("SHA1"), NID_sha1);
  ASN1_OBJECT *rsa_sha1 = OBJ_txt2obj("1.2.840.113549.1.1.5", 1);
  EXPECT_EQ(OBJ_obj2nid(rsa_sha1), NID_sha1WithRSAEncryption);
  ASN1_OBJECT_free(rsa_sha1);

  // A second registration finds everything in place.
  EXPECT_EQ(OBJ_create_objects2(zv_oid_table), 12);
}

TEST(OidRegistration, SignaturesStillVerifyAfterRegistration) {
  OBJ_create_objects2(zv_oid_table);
  std::string dir = zvtest::scratch_dir("oids_rsa");
  zvtest::make_key_and_cert(dir + "/k.pem", dir + "/c.pem", {1024, "zv", "", ""});
  EVP_PKEY *key = nullptr;
  ASSERT_EQ(load_private_key_from_file((dir + "/k.pem").c_str(), &key), 0);
  unsigned char data[] = "ISA*00*payload";
  char sig[512];
  unsigned long siglen = 0;
  ASSERT_NE(hex_RSAsign(key, data, sizeof data - 1, &siglen, sig), nullptr);
  EXPECT_EQ(hex_RSAverify(key, data, sizeof data - 1, reinterpret_cast<unsigned char *>(sig),
                          static_cast<unsigned>(siglen)),
            1);
  EVP_PKEY_free(key);
  // Identifiers read from DER still map to the library's own entries.
  const unsigned char sha1[] = {0x06, 0x05, 0x2B, 0x0E, 0x03, 0x02, 0x1A};
  const unsigned char rsa_sha1[] = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x05};
  const unsigned char *p = sha1;
  ASN1_OBJECT *o = d2i_ASN1_OBJECT(nullptr, &p, sizeof sha1);
  ASSERT_NE(o, nullptr);
  EXPECT_EQ(OBJ_obj2nid(o), NID_sha1);
  EXPECT_NE(EVP_get_digestbyobj(o), nullptr);
  ASN1_OBJECT_free(o);
  p = rsa_sha1;
  o = d2i_ASN1_OBJECT(nullptr, &p, sizeof rsa_sha1);
  ASSERT_NE(o, nullptr);
  EXPECT_EQ(OBJ_obj2nid(o), NID_sha1WithRSAEncryption);
  ASN1_OBJECT_free(o);
}

TEST(OidParsing, RowsFieldsAndStops) {
  struct {
    const char *text;
    int count;
    const char *sn_probe;   // a short name that must then resolve (or null)
    const char *ln_probe;   // a long name that must then resolve (or null)
  } cases[] = {
      {" 1.3.6.1.4.1.59999.1 T_BLANK x \n\n", 0, nullptr, nullptr},
      {"\t1.3.6.1.4.1.59999.1 T_TAB x \n\n", 0, nullptr, nullptr},
      {"T_LETTER 1.3.6.1.4.1.59999.1\n\n", 0, nullptr, nullptr},
      {"\n1.3.6.1.4.1.59999.2 T_AFTER_EMPTY x\n\n", 0, nullptr, nullptr},
      {"1.3.6.1.4.1.59999.3\tT_TABS\tlong name with  inner blanks  \n\n", 1, "T_TABS",
       "long name with  inner blanks  "},
      {"1.3.6.1.4.1.59999.4    T_ONLY_SHORT   \n\n", 1, "T_ONLY_SHORT", nullptr},
      {"1.3.6.1.4.1.59999.5 T_A a\n1.3.6.1.4.1.59999.6 T_B b\n\n", 2, "T_B", "b"},
      // A short name the registry gives to another identifier stops the table.
      {"1.3.6.1.4.1.59999.7 T_C c\n1.3.6.1.4.1.59999.8 SHA1 d\n1.3.6.1.4.1.59999.9 T_E e\n\n", 1,
       "T_C", "c"},
      // The last row without its newline still counts.
      {"1.3.6.1.4.1.59999.10 T_LAST last", 1, "T_LAST", "last"},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(OBJ_create_objects2(c.text), c.count) << c.text;
    if (c.sn_probe) {
      EXPECT_NE(OBJ_sn2nid(c.sn_probe), NID_undef) << c.text;
    }
    if (c.ln_probe) {
      EXPECT_NE(OBJ_ln2nid(c.ln_probe), NID_undef) << c.text;
    }
    EXPECT_TRUE(dertest::drain_errors().empty()) << c.text;
  }
  EXPECT_EQ(OBJ_sn2nid("T_E"), NID_undef);
  EXPECT_EQ(OBJ_create_objects2(""), 0);
  EXPECT_EQ(OBJ_create_objects2(nullptr), 0);

  std::vector<std::string> lines = logged(16, [] {
    EXPECT_EQ(OBJ_create_objects2("1.3.6.1.4.1.59999.11 T_LOGGED\n\n"), 1);
  });
  EXPECT_TRUE(has(lines, "oid = 1.3.6.1.4.1.59999.11"));
  EXPECT_TRUE(has(lines, "  short name = T_LOGGED"));
  EXPECT_TRUE(has(lines, "  long name = null"));

  // A line longer than the 511 characters of the line buffer is cut, not overrun.
  std::string longrow = "1.3.6.1.4.1.59999.12 T_LONG " + std::string(700, 'x') + "\n\n";
  EXPECT_EQ(OBJ_create_objects2(longrow.c_str()), 1);
  int nid = OBJ_sn2nid("T_LONG");
  ASSERT_NE(nid, NID_undef);
  EXPECT_EQ(strlen(OBJ_nid2ln(nid)), 511u - strlen("1.3.6.1.4.1.59999.12 T_LONG "));
}

}  // namespace
