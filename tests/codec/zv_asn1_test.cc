// The records of the system's own envelopes: exact octets, both encoder passes, the
// decoders' rules and reasons, round trips, and `openssl asn1parse` over every envelope.
#include "codec/zv_asn1.h"

#include <gtest/gtest.h>
#include <openssl/objects.h>

#include <functional>
#include <regex>
#include <sstream>

#include "codec/zv_oids.h"
#include "tests/codec/der_test_util.h"

using dertest::bytes;
using dertest::cat;
using dertest::kIsa;
using dertest::kStamp;
using dertest::oid_text;
using dertest::set_obj;
using dertest::set_str;
using dertest::spaced;
using dertest::str_bytes;
using dertest::str_of;
using dertest::unhex;

namespace {

class Asn1 : public dertest::ErrorQueueTest {
 protected:
  static void SetUpTestSuite() { OBJ_create_objects2(zv_oid_table); }
};

const bytes kZvEdi1 = unhex("06 09 2B 06 01 04 01 9B 78 07 01");
const bytes kZvEdi2 = unhex("06 09 2B 06 01 04 01 9B 78 07 02");
const bytes kZvEdi3 = unhex("06 09 2B 06 01 04 01 9B 78 07 05");
const bytes kZvR1 = unhex("06 09 2B 06 01 04 01 9B 78 07 41");
const bytes kZvS1 = unhex("06 09 2B 06 01 04 01 9B 78 07 61");
const bytes kSha1 = unhex("06 05 2B 0E 03 02 1A");
const bytes kRsa = unhex("06 09 2A 86 48 86 F7 0D 01 01 01");

const std::string kDigest = "a9993e364706816aba3e25717850c26c9cd0d89d";

// ---------------------------------------------------------------------------------
// Builders in the shape the client's builders use.

ZV_EDI_MSGtype01 *make_edi01(const std::string *content) {
  ZV_EDI_MSGtype01 *m = ZV_EDI_MSG_01_new();
  set_obj(&m->ediMsgId, "ZV_EDI_1");
  if (content) {
    set_str(m->ediContent, *content);
  } else {
    ASN1_OCTET_STRING_free(m->ediContent);
    m->ediContent = nullptr;
  }
  return m;
}

ZV_EDI_MSGtype03 *make_integrity(const std::string &doc) {
  ZV_EDI_MSGtype03 *m = ZV_EDI_MSG_03_new();
  set_obj(&m->ediIntegrityMessageId, "ZV_EDI_3");
  ZV_EDI_MSGtype02 *c = m->ediIntegrityContent;
  ASN1_INTEGER_set(c->ediIntegrityVersion, 1);
  set_obj(&c->ediIntegrityAlgorithmId, "SHA1");
  set_obj(&c->ediInnerContent->ediMsgId, "ZV_EDI_1");
  set_str(c->ediInnerContent->ediContent, doc);
  set_str(c->ediIntegrityDigest, kDigest);
  return m;
}

ZV_EDI_MSGtype07A *make_07a(const char *name) {
  ZV_EDI_MSGtype07A *a = ZV_EDI_MSG_07A_new();
  set_obj(&a->algorithmIdentifier, name);
  return a;
}

void fill_issuer(ZV_EDI_MSGtype06 *is, const char *country, const char *org, long serial) {
  ZV_EDI_MSGtype04 *c = ZV_EDI_MSG_04_new();
  set_obj(&c->country, "countryName");
  set_str(c->countryValue, std::string(country));
  sk_ZV_EDI_MSGtype04_push(is->issuerCountryS->countryEntries, c);
  ZV_EDI_MSGtype05 *o = ZV_EDI_MSG_05_new();
  set_obj(&o->organizationName, "organizationName");
  set_str(o->organizationValue, std::string(org));
  sk_ZV_EDI_MSGtype05_push(is->issuerOrgS->orgEntries, o);
  ASN1_INTEGER_set(is->serialNumber, serial);
}

ZV_EDI_MSGtype09 *make_signed(const std::string &doc) {
  ZV_EDI_MSGtype09 *m = ZV_EDI_MSG_09_new();
  set_obj(&m->signedEDImessage, "ZV_EDI_2");
  ZV_EDI_MSGtype08 *s = m->signedContent;
  ASN1_INTEGER_set(s->signedVersion, 1);
  // Listed in the order opposite to DER order.
  sk_ZV_EDI_MSGtype07A_push(s->signedDigestAlgorithmS, make_07a("ZV_X12"));
  sk_ZV_EDI_MSGtype07A_push(s->signedDigestAlgorithmS, make_07a("SHA1"));
  set_obj(&s->innerContent->ediMsgId, "ZV_EDI_1");
  set_str(s->innerContent->ediContent, doc);
  ZV_EDI_MSGtype07 *si = ZV_EDI_MSG_07_new();
  ASN1_INTEGER_set(si->signerVersion, 1);
  fill_issuer(si->issuerAndSerialNumber, "US", "ZV", 5);
  set_obj(&si->signedDigestAlgorithm, "SHA1");
  set_obj(&si->digestEncryptionAlgorithm, "rsaEncryption");
  set_str(si->encryptedDigest, bytes(128, 0xA5));
  sk_ZV_EDI_MSGtype07_push(s->signerInfoS, si);
  return m;
}

ZV_RECEIPT_MSGtype04 *make_receipt(int selector) {
  ZV_RECEIPT_MSGtype04 *r = ZV_RECEIPT_MSG_04_new();
  set_obj(&r->zvReceiptMessage, "ZV_R_1");
  set_str(r->receiptContent->isaSegment, kIsa);
  set_str(r->receiptContent->dateTimeStamp, kStamp);
  ZV_RECEIPT_ENHANCEMENTS *e = r->receiptContent->Enhancements;
  if (selector == ZV_ENHANCEMENT_DIGEST) {
    e->d.WithDigest = ZV_RECEIPT_MSG_01_new();
    set_obj(&e->d.WithDigest->receiptDigestAlgorithm, "SHA1");
    set_str(e->d.WithDigest->receiptMessageDigest, kDigest);
    e->tag = selector;
  } else if (selector == ZV_ENHANCEMENT_SIGNATURE) {
    e->d.WithDigSig = ZV_RECEIPT_MSG_02_new();
    set_obj(&e->d.WithDigSig->receiptSignitureAlgorithm, "rsaEncryption");
    set_str(e->d.WithDigSig->receiptDigitalSigniture, bytes(128, 0x5A));
    e->tag = selector;
  }
  return r;
}

ZV_STATUS_MSGtype *make_status(const std::string *pattern) {
  ZV_STATUS_MSGtype *s = ZV_STATUS_MSG_new();
  set_obj(&s->zvStatusMessage, "ZV_S_1");
  if (pattern) {
    ASN1_BIT_STRING_set(s->zvStatus, reinterpret_cast<unsigned char *>(
                                         const_cast<char *>(pattern->data())),
                        static_cast<int>(pattern->size()));
  } else {
    ASN1_BIT_STRING_free(s->zvStatus);
    s->zvStatus = nullptr;
  }
  return s;
}

// ---------------------------------------------------------------------------------
// Exact octets

TEST_F(Asn1, PlainContentVectors) {
  ZV_EDI_MSGtype01 *m = make_edi01(nullptr);
  EXPECT_EQ(spaced(dertest::encode(i2d_ZV_EDI_MSG_basic, m)), spaced(cat({{0x30, 0x0B}, kZvEdi1})));
  ZV_EDI_MSG_01_free(m);
  std::string abc = "abc";
  m = make_edi01(&abc);
  EXPECT_EQ(spaced(dertest::encode(i2d_ZV_EDI_MSG_basic, m)),
            "30 12 06 09 2B 06 01 04 01 9B 78 07 01 A0 05 04 03 61 62 63");
  ZV_EDI_MSG_01_free(m);
  EXPECT_EQ(i2d_ZV_EDI_MSG_basic(nullptr, nullptr), 0);
}

TEST_F(Asn1, ListsAndIssuerVectors) {
  ZV_EDI_MSGtype04S *c = ZV_EDI_MSG_04S_new();
  EXPECT_EQ(spaced(dertest::encode(i2d_ZV_EDI_MSG_04S, c)), "30 02 31 00");
  ZV_EDI_MSG_04S_free(c);
  ZV_EDI_MSGtype05S *o = ZV_EDI_MSG_05S_new();
  EXPECT_EQ(spaced(dertest::encode(i2d_ZV_EDI_MSG_05S, o)), "30 02 31 00");
  ZV_EDI_MSG_05S_free(o);

  ZV_EDI_MSGtype06 *is = ZV_EDI_MSG_06_new();
  fill_issuer(is, "US", "ZV", 5);
  EXPECT_EQ(spaced(dertest::encode(i2d_ZV_EDI_MSG_06, is)),
            "30 21 30 0D 31 0B 30 09 06 03 55 04 06 13 02 55 53 "
            "30 0D 31 0B 30 09 06 03 55 04 0A 13 02 5A 56 02 01 05");
  // A PrintableString field is written 0x13 whatever type its value carries.
  ZV_EDI_MSGtype04 *entry = sk_ZV_EDI_MSGtype04_value(is->issuerCountryS->countryEntries, 0);
  ASN1_STRING_free(entry->countryValue);
  entry->countryValue = ASN1_UTF8STRING_new();
  set_str(entry->countryValue, std::string("U*"));
  EXPECT_EQ(spaced(dertest::encode(i2d_ZV_EDI_MSG_04, entry)), "30 09 06 03 55 04 06 13 02 55 2A");
  ZV_EDI_MSG_06_free(is);
}

TEST_F(Asn1, AlgorithmIdentifierIsBareAndSetIsSorted) {
  ZV_EDI_MSGtype07A *a = make_07a("SHA1");
  EXPECT_EQ(dertest::encode(i2d_ZV_EDI_MSG_07A, a), kSha1);
  ZV_EDI_MSG_07A_free(a);

  for (bool reversed : {false, true}) {
    ZV_EDI_MSGtype08 *s = ZV_EDI_MSG_08_new();
    ASN1_INTEGER_set(s->signedVersion, 1);
    const char *first = reversed ? "SHA1" : "ZV_X12";
    const char *second = reversed ? "ZV_X12" : "SHA1";
    sk_ZV_EDI_MSGtype07A_push(s->signedDigestAlgorithmS, make_07a(first));
    sk_ZV_EDI_MSGtype07A_push(s->signedDigestAlgorithmS, make_07a(second));
    ASN1_OCTET_STRING_free(s->innerContent->ediContent);
    s->innerContent->ediContent = nullptr;
    set_obj(&s->innerContent->ediMsgId, "ZV_EDI_1");
    bytes want = cat({unhex("30 25 02 01 01 31 11"), kSha1, unhex("06 08 2B 06 01 04 01 9B 78 07"),
                      unhex("30 0B"), kZvEdi1, unhex("31 00")});
    EXPECT_EQ(spaced(dertest::encode(i2d_ZV_EDI_MSG_08, s)), spaced(want));
    ZV_EDI_MSG_08_free(s);
  }
}

TEST_F(Asn1, StatusPatternVectors) {
  std::string ends0 = "10000000000000000000000000000000";
  std::string ends1 = "00000000000000000000000000000001";
  struct {
    const std::string *pattern;
    bytes want;
  } cases[] = {
      {&ends0, cat({{0x30, 0x30}, kZvS1, {0xA0, 0x23, 0x03, 0x21, 0x04}, str_bytes(ends0)})},
      {&ends1, cat({{0x30, 0x30}, kZvS1, {0xA0, 0x23, 0x03, 0x21, 0x00}, str_bytes(ends1)})},
      {nullptr, cat({{0x30, 0x0B}, kZvS1})},
  };
  for (const auto &c : cases) {
    ZV_STATUS_MSGtype *s = make_status(c.pattern);
    EXPECT_EQ(spaced(dertest::encode(i2d_ZV_STATUS_MSG, s)), spaced(c.want));
    ZV_STATUS_MSG_free(s);
  }
}

TEST_F(Asn1, ReceiptVectors) {
  bytes content_start = cat({{0x04, 0x69}, str_bytes(kIsa), {0x13, 0x0F}, str_bytes(kStamp)});
  bytes none = cat({{0x30, 0x81, 0x8B}, kZvR1, {0xA0, 0x7E, 0x30, 0x7C}, content_start});
  bytes digest = cat({{0x30, 0x81, 0xC2}, kZvR1, {0xA0, 0x81, 0xB4, 0x30, 0x81, 0xB1},
                      content_start, {0xA1, 0x33, 0x30, 0x31}, kSha1, {0x04, 0x28},
                      str_bytes(kDigest)});
  bytes sig = cat({{0x30, 0x82, 0x01, 0x23}, kZvR1, {0xA0, 0x82, 0x01, 0x14, 0x30, 0x82, 0x01, 0x10},
                   content_start,
                   {0xA2, 0x81, 0x91, 0x30, 0x81, 0x8E}, kRsa, {0x04, 0x81, 0x80}, bytes(128, 0x5A)});
  struct {
    int selector;
    const bytes *want;
  } cases[] = {{ZV_ENHANCEMENT_NONE, &none},
               {ZV_ENHANCEMENT_DIGEST, &digest},
               {ZV_ENHANCEMENT_SIGNATURE, &sig}};
  for (const auto &c : cases) {
    ZV_RECEIPT_MSGtype04 *r = make_receipt(c.selector);
    bytes out = dertest::encode(i2d_ZV_RECEIPT_MSG_basic, r);
    EXPECT_EQ(spaced(out), spaced(*c.want)) << c.selector;
    // Each layer's passes agree, and the enhancement is counted once.
    ZV_RECEIPT_MSGtype03 *content = r->receiptContent;
    bytes enc3 = dertest::encode(i2d_ZV_RECEIPT_MSG_basic2, content);
    bytes enh = dertest::encode(i2d_ZV_RECEIPT_ENHANCEMENTS, content->Enhancements);
    EXPECT_EQ(enc3.size(), zv_der_header_size(content_start.size() + enh.size()) +
                               content_start.size() + enh.size());
    ZV_RECEIPT_MSG_04_free(r);
  }
  // Selector 1 without a member, and selectors that name nothing: no enhancement bytes.
  for (int sel : {ZV_ENHANCEMENT_DIGEST, ZV_ENHANCEMENT_SIGNATURE, 0, 3, 129}) {
    ZV_RECEIPT_MSGtype04 *r = make_receipt(ZV_ENHANCEMENT_NONE);
    r->receiptContent->Enhancements->tag = sel;
    EXPECT_EQ(spaced(dertest::encode(i2d_ZV_RECEIPT_MSG_basic, r)), spaced(none)) << sel;
    EXPECT_EQ(i2d_ZV_RECEIPT_ENHANCEMENTS(r->receiptContent->Enhancements, nullptr), 0);
    r->receiptContent->Enhancements->tag = ZV_ENHANCEMENT_NONE;
    ZV_RECEIPT_MSG_04_free(r);
  }
}

TEST_F(Asn1, FreshRecordsEncodeTheirEmptyValues) {
  struct {
    const char *name;
    std::function<bytes()> enc;
    const char *want;
  } cases[] = {
      {"01", [] { auto *r = ZV_EDI_MSG_01_new(); auto b = dertest::encode(i2d_ZV_EDI_MSG_basic, r); ZV_EDI_MSG_01_free(r); return b; },
       "30 04 A0 02 04 00"},
      {"04", [] { auto *r = ZV_EDI_MSG_04_new(); auto b = dertest::encode(i2d_ZV_EDI_MSG_04, r); ZV_EDI_MSG_04_free(r); return b; },
       "30 02 13 00"},
      {"06", [] { auto *r = ZV_EDI_MSG_06_new(); auto b = dertest::encode(i2d_ZV_EDI_MSG_06, r); ZV_EDI_MSG_06_free(r); return b; },
       "30 0B 30 02 31 00 30 02 31 00 02 01 00"},
      {"07A", [] { auto *r = ZV_EDI_MSG_07A_new(); int n = i2d_ZV_EDI_MSG_07A(r, nullptr); ZV_EDI_MSG_07A_free(r); return bytes(static_cast<size_t>(n)); },
       ""},
      {"status", [] { auto *r = ZV_STATUS_MSG_new(); auto b = dertest::encode(i2d_ZV_STATUS_MSG, r); ZV_STATUS_MSG_free(r); return b; },
       "30 05 A0 03 03 01 00"},
      {"receipt", [] { auto *r = ZV_RECEIPT_MSG_04_new(); auto b = dertest::encode(i2d_ZV_RECEIPT_MSG_basic, r); ZV_RECEIPT_MSG_04_free(r); return b; },
       "30 08 A0 06 30 04 04 00 13 00"},
  };
  for (const auto &c : cases) EXPECT_EQ(spaced(c.enc()), c.want) << c.name;
  ZV_RECEIPT_ENHANCEMENTS *e = ZV_RECEIPT_ENHANCEMENTS_new();
  EXPECT_EQ(e->tag, -1);
  EXPECT_EQ(e->d.ptr, nullptr);
  ZV_RECEIPT_ENHANCEMENTS_free(e);
  ZV_RECEIPT_ENHANCEMENTS_free(nullptr);
}

// ---------------------------------------------------------------------------------
// Decoders

struct decoded {
  bool ok;
  long used;
  std::vector<dertest::queued> errors;
};

template <class T, class D>
decoded decode_into(D d2i, T **target, const bytes &in, long length = -1) {
  const unsigned char *p = in.data();
  long len = length < 0 ? static_cast<long>(in.size()) : length;
  T *r = d2i(target, &p, len);
  decoded out{r != nullptr, static_cast<long>(p - in.data()), dertest::drain_errors()};
  if (!r) {
    EXPECT_EQ(p, in.data()) << "cursor moved on failure";
  }
  return out;
}

TEST_F(Asn1, EveryEnvelopeRoundTrips) {
  std::string doc = "ISA*00*...~IEA*1*000000001~";
  std::vector<std::pair<std::string, std::function<void()>>> cases;
  auto check = [](auto i2d, auto d2i, auto free_fn, auto *rec, const char *name) {
    bytes out = dertest::encode(i2d, rec);
    decltype(rec) back = nullptr;
    decoded d = decode_into(d2i, &back, out);
    ASSERT_TRUE(d.ok) << name << " " << spaced(out) << dertest::describe(d.errors);
    EXPECT_EQ(d.used, static_cast<long>(out.size())) << name;
    EXPECT_EQ(spaced(dertest::encode(i2d, back)), spaced(out)) << name;
    free_fn(back);
    free_fn(rec);
  };
  std::string abc = "abc";
  check(i2d_ZV_EDI_MSG_basic, d2i_ZV_EDI_MSG_basic, ZV_EDI_MSG_01_free, make_edi01(&abc), "01");
  check(i2d_ZV_EDI_MSG_integrity, d2i_ZV_EDI_MSG_integrity, ZV_EDI_MSG_03_free,
        make_integrity(doc), "03");
  check(i2d_ZV_EDI_MSG_signed, d2i_ZV_EDI_MSG_signed, ZV_EDI_MSG_09_free, make_signed(doc), "09");
  for (int sel : {ZV_ENHANCEMENT_NONE, ZV_ENHANCEMENT_DIGEST, ZV_ENHANCEMENT_SIGNATURE})
    check(i2d_ZV_RECEIPT_MSG_basic, d2i_ZV_RECEIPT_MSG_basic, ZV_RECEIPT_MSG_04_free,
          make_receipt(sel), "04");
  std::string pattern = "00000000000000000000000000000010";
  check(i2d_ZV_STATUS_MSG, d2i_ZV_STATUS_MSG, ZV_STATUS_MSG_free, make_status(&pattern), "status");
}

TEST_F(Asn1, IntegrityEnvelopeDecoderEdges) {
  bytes bare = cat({{0x30, 0x0B}, kZvEdi3});
  ZV_EDI_MSGtype03 *m = nullptr;
  decoded d = decode_into(d2i_ZV_EDI_MSG_integrity, &m, bare);
  ASSERT_TRUE(d.ok);
  // Without the [0] the content keeps the empty value it was created with.
  ASSERT_NE(m->ediIntegrityContent, nullptr);
  EXPECT_EQ(ASN1_STRING_length(m->ediIntegrityContent->ediIntegrityDigest), 0);
  EXPECT_EQ(oid_text(m->ediIntegrityMessageId), "1.3.6.1.4.1.3576.7.5");
  ZV_EDI_MSG_03_free(m);

  ZV_EDI_MSGtype03 *full = make_integrity("ISA");
  bytes enc = dertest::encode(i2d_ZV_EDI_MSG_integrity, full);
  ZV_EDI_MSG_03_free(full);
  bytes longer = enc;
  longer.push_back(0x05);
  longer[1] = static_cast<unsigned char>(longer[1] + 1);
  struct {
    const char *name;
    bytes in;
    long length;
    int reason;
  } cases[] = {
      {"byte after [0]", longer, -1, ZV_DER_R_LENGTH_MISMATCH},
      {"length 0", enc, 0, ZV_DER_R_BAD_GET_OBJECT},
      {"not a SEQUENCE", unhex("31 00"), -1, ZV_DER_R_NOT_SEQUENCE},
      {"header past input", enc, static_cast<long>(enc.size()) - 1, ZV_DER_R_BAD_GET_OBJECT},
      {"identifier missing", unhex("30 04 A0 02 30 00"), -1, ZV_DER_R_NESTED},
      {"[0] header cut", cat({{0x30, 0x0D}, kZvEdi3, {0xA0, 0x05}}), -1, ZV_DER_R_BAD_HEADER},
      {"[0] without end-of-contents",
       cat({{0x30, 0x80}, kZvEdi3, {0xA0, 0x80}, bytes(enc.begin() + 15, enc.end()), {0, 0}}), -1,
       ZV_DER_R_MISSING_EOS},
  };
  for (const auto &c : cases) {
    ZV_EDI_MSGtype03 *r = nullptr;
    decoded e = decode_into(d2i_ZV_EDI_MSG_integrity, &r, c.in, c.length);
    EXPECT_FALSE(e.ok) << c.name;
    EXPECT_EQ(r, nullptr) << c.name;
    ASSERT_FALSE(e.errors.empty()) << c.name;
    EXPECT_EQ(e.errors.back().lib, 13) << c.name;
    EXPECT_EQ(e.errors.back().func, "d2i_ZV_EDI_MSG_integrity") << c.name;
    EXPECT_EQ(e.errors.back().reason, c.reason) << c.name << dertest::describe(e.errors);
    EXPECT_EQ(e.errors.back().data.rfind("offset=", 0), 0u) << c.name;
  }
  // Indefinite SEQUENCE and [0], with the end-of-contents where they belong.
  bytes indef = cat({{0x30, 0x80}, kZvEdi3, {0xA0, 0x80}, bytes(enc.begin() + 15, enc.end()),
                     {0, 0, 0, 0}, {0xFF}});
  ZV_EDI_MSGtype03 *r = nullptr;
  d = decode_into(d2i_ZV_EDI_MSG_integrity, &r, indef);
  ASSERT_TRUE(d.ok) << spaced(indef) << dertest::describe(d.errors);
  EXPECT_EQ(d.used, static_cast<long>(indef.size()) - 1);
  EXPECT_EQ(spaced(dertest::encode(i2d_ZV_EDI_MSG_integrity, r)), spaced(enc));
  ZV_EDI_MSG_03_free(r);
}

TEST_F(Asn1, NestedFailureQueuesEachLevel) {
  // The inner content's INTEGER is missing: 02, then 03 report, innermost first.
  bytes in = cat({{0x30, 0x13}, kZvEdi3, {0xA0, 0x06, 0x30, 0x04, 0x06, 0x01, 0x2A, 0x05}});
  in.resize(in.size());
  ZV_EDI_MSGtype03 *r = nullptr;
  decoded d = decode_into(d2i_ZV_EDI_MSG_integrity, &r, in);
  EXPECT_FALSE(d.ok);
  auto inner = dertest::by_func(d.errors, "d2i_ZV_EDI_MSG_integrity2");
  auto outer = dertest::by_func(d.errors, "d2i_ZV_EDI_MSG_integrity");
  ASSERT_EQ(inner.size(), 1u) << dertest::describe(d.errors);
  ASSERT_EQ(outer.size(), 1u);
  EXPECT_EQ(inner[0].reason, ZV_DER_R_NESTED);
  EXPECT_EQ(inner[0].data, "offset=2");
  EXPECT_EQ(outer[0].reason, ZV_DER_R_NESTED);
  EXPECT_EQ(outer[0].data, "offset=13");
}

TEST_F(Asn1, BareIdentifierDecoder) {
  bytes in = cat({kSha1, {0x04, 0x00, 0xFF}});
  ZV_EDI_MSGtype07A *a = nullptr;
  decoded d = decode_into(d2i_ZV_EDI_MSG_07A, &a, in);
  ASSERT_TRUE(d.ok);
  EXPECT_EQ(d.used, 7);
  EXPECT_EQ(oid_text(a->algorithmIdentifier), "1.3.14.3.2.26");
  ZV_EDI_MSG_07A_free(a);
  for (const bytes &bad : {unhex("04 01 00"), bytes{}}) {
    a = nullptr;
    static const unsigned char nothing = 0;
    const unsigned char *p = bad.empty() ? &nothing : bad.data();
    EXPECT_EQ(d2i_ZV_EDI_MSG_07A(&a, &p, static_cast<long>(bad.size())), nullptr);
    auto q = dertest::drain_errors();
    ASSERT_FALSE(q.empty());
    EXPECT_EQ(q.back().func, "d2i_ZV_EDI_MSG_07A");
    EXPECT_EQ(q.back().reason, ZV_DER_R_NESTED);
  }
}

TEST_F(Asn1, CallersRecordKeptListsClearedThenAppended) {
  ZV_EDI_MSGtype06 *is = ZV_EDI_MSG_06_new();
  fill_issuer(is, "US", "ZV", 5);
  bytes one = dertest::encode(i2d_ZV_EDI_MSG_06, is);
  fill_issuer(is, "CA", "QQ", 7);  // a second entry in each list
  ZV_EDI_MSGtype06 *mine = is;
  decoded d = decode_into(d2i_ZV_EDI_MSG_06, &mine, one);
  ASSERT_TRUE(d.ok);
  EXPECT_EQ(mine, is);
  EXPECT_EQ(sk_ZV_EDI_MSGtype04_num(is->issuerCountryS->countryEntries), 1);
  EXPECT_EQ(sk_ZV_EDI_MSGtype05_num(is->issuerOrgS->orgEntries), 1);
  EXPECT_EQ(ASN1_INTEGER_get(is->serialNumber), 5);
  EXPECT_EQ(dertest::encode(i2d_ZV_EDI_MSG_06, is), one);

  // A failure into the caller's record leaves it the caller's.
  bytes bad = one;
  bad.back() = 0x09;
  bad[bad.size() - 3] = 0x04;  // the serial number is now an OCTET STRING
  d = decode_into(d2i_ZV_EDI_MSG_06, &mine, bad);
  EXPECT_FALSE(d.ok);
  EXPECT_EQ(mine, is);
  EXPECT_EQ(d.errors.back().reason, ZV_DER_R_NESTED);
  EXPECT_EQ(d.errors.back().data, "offset=32");
  ZV_EDI_MSG_06_free(is);

  // A SET entry that is not a country entry fails the list (58 from the list's owner).
  ZV_EDI_MSGtype04S *c = nullptr;
  d = decode_into(d2i_ZV_EDI_MSG_04S, &c, unhex("30 06 31 04 30 02 05 00"));
  EXPECT_FALSE(d.ok);
  EXPECT_EQ(dertest::by_func(d.errors, "d2i_ZV_EDI_MSG_04").size(), 1u);
  EXPECT_EQ(d.errors.back().func, "d2i_ZV_EDI_MSG_04S");
  EXPECT_EQ(d.errors.back().reason, ZV_DER_R_NESTED);
  // A SEQUENCE where the SET belongs.
  d = decode_into(d2i_ZV_EDI_MSG_04S, &c, unhex("30 02 30 00"));
  EXPECT_FALSE(d.ok);
  EXPECT_EQ(d.errors.back().reason, ZV_DER_R_NESTED);
}

TEST_F(Asn1, PrintableStringOnly) {
  ZV_RECEIPT_MSGtype03 *r = nullptr;
  decoded d = decode_into(d2i_ZV_RECEIPT_MSG_basic2, &r, unhex("30 05 04 00 16 01 41"));
  EXPECT_FALSE(d.ok);
  EXPECT_EQ(d.errors.back().func, "d2i_ZV_RECEIPT_MSG_basic2");
  EXPECT_EQ(d.errors.back().reason, ZV_DER_R_NESTED);
  EXPECT_EQ(d.errors.back().data, "offset=4");
  d = decode_into(d2i_ZV_RECEIPT_MSG_basic2, &r, unhex("30 05 04 00 13 01 2A"));
  ASSERT_TRUE(d.ok);  // no character check
  EXPECT_EQ(str_of(r->dateTimeStamp), "*");
  EXPECT_EQ(r->Enhancements->tag, ZV_ENHANCEMENT_NONE);
  ZV_RECEIPT_MSG_03_free(r);
}

TEST_F(Asn1, EnhancementDecoder) {
  ZV_RECEIPT_MSGtype04 *sig = make_receipt(ZV_ENHANCEMENT_SIGNATURE);
  ZV_RECEIPT_MSGtype04 *dig = make_receipt(ZV_ENHANCEMENT_DIGEST);
  bytes digest_enh = dertest::encode(i2d_ZV_RECEIPT_ENHANCEMENTS, dig->receiptContent->Enhancements);
  ZV_RECEIPT_ENHANCEMENTS *e = sig->receiptContent->Enhancements;

  // Decoding into a record that holds a signature releases it first.
  bytes trailing = cat({digest_enh, {0x05, 0x00}});
  decoded d = decode_into(d2i_ZV_RECEIPT_ENHANCEMENTS, &e, trailing);
  ASSERT_TRUE(d.ok);
  EXPECT_EQ(d.used, static_cast<long>(digest_enh.size()));  // what follows is the caller's
  EXPECT_EQ(e->tag, ZV_ENHANCEMENT_DIGEST);
  EXPECT_EQ(str_of(e->d.WithDigest->receiptMessageDigest), kDigest);

  // Zero length: no enhancement, nothing read.
  d = decode_into(d2i_ZV_RECEIPT_ENHANCEMENTS, &e, digest_enh, 0);
  ASSERT_TRUE(d.ok);
  EXPECT_EQ(d.used, 0);
  EXPECT_EQ(e->tag, ZV_ENHANCEMENT_NONE);
  EXPECT_EQ(e->d.ptr, nullptr);

  // Indefinite [2], then without its end-of-contents.
  bytes sig_enh = cat({{0xA2, 0x80, 0x30, 0x0E}, kRsa, {0x04, 0x01, 0x07, 0x00, 0x00}});
  d = decode_into(d2i_ZV_RECEIPT_ENHANCEMENTS, &e, sig_enh);
  ASSERT_TRUE(d.ok) << dertest::describe(d.errors);
  EXPECT_EQ(e->tag, ZV_ENHANCEMENT_SIGNATURE);
  EXPECT_EQ(d.used, static_cast<long>(sig_enh.size()));
  struct {
    const char *name;
    bytes in;
    int reason;
  } bad[] = {
      {"no end-of-contents", cat({{0xA2, 0x80, 0x30, 0x0E}, kRsa, {0x04, 0x01, 0x07, 0x05, 0x00}}),
       ZV_DER_R_MISSING_EOS},
      {"unreadable [1]", unhex("A1 05 30"), ZV_DER_R_BAD_HEADER},
      {"member fails", unhex("A1 02 30 00"), ZV_DER_R_NESTED},
  };
  for (const auto &c : bad) {
    d = decode_into(d2i_ZV_RECEIPT_ENHANCEMENTS, &e, c.in);
    EXPECT_FALSE(d.ok) << c.name;
    EXPECT_EQ(e->tag, ZV_ENHANCEMENT_NONE) << c.name;
    EXPECT_EQ(e->d.ptr, nullptr) << c.name;
    ASSERT_FALSE(d.errors.empty());
    EXPECT_EQ(d.errors.back().func, "d2i_ZV_RECEIPT_ENHANCEMENTS") << c.name;
    EXPECT_EQ(d.errors.back().reason, c.reason) << c.name;
    EXPECT_EQ(d.errors.back().data, "") << c.name;  // no position note
  }
  // Any other first octet: the standard-error line and reason 104.
  testing::internal::CaptureStderr();
  d = decode_into(d2i_ZV_RECEIPT_ENHANCEMENTS, &e, unhex("A3 00"));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Enhansement get ERROR. . . . . . . .\n");
  EXPECT_FALSE(d.ok);
  EXPECT_EQ(d.errors.back().reason, ZV_DER_R_UNKNOWN_CHOICE);
  ZV_RECEIPT_MSG_04_free(sig);
  ZV_RECEIPT_MSG_04_free(dig);

  // A new record made by a failing decode is released (the sanitizer checks the leak).
  ZV_RECEIPT_ENHANCEMENTS *fresh = nullptr;
  d = decode_into(d2i_ZV_RECEIPT_ENHANCEMENTS, &fresh, unhex("A1 02 30 00"));
  EXPECT_EQ(fresh, nullptr);
  ZV_RECEIPT_ENHANCEMENTS_dfree(nullptr);  // reported, not a crash
}

TEST_F(Asn1, ReceiptContentDecoderEdges) {
  ZV_RECEIPT_MSGtype04 *dig = make_receipt(ZV_ENHANCEMENT_DIGEST);
  bytes content = dertest::encode(i2d_ZV_RECEIPT_MSG_basic2, dig->receiptContent);
  ZV_RECEIPT_MSG_04_free(dig);

  // Enhancement [3]: the line, 104 from the enhancement, 58 from the content.
  bytes a3 = cat({{0x30, 0x07, 0x04, 0x00, 0x13, 0x00, 0xA3, 0x01, 0x00}});
  a3[1] = 0x07;
  ZV_RECEIPT_MSGtype03 *r = nullptr;
  testing::internal::CaptureStderr();
  decoded d = decode_into(d2i_ZV_RECEIPT_MSG_basic2, &r, a3);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Enhansement get ERROR. . . . . . . .\n");
  EXPECT_FALSE(d.ok);
  auto enh = dertest::by_func(d.errors, "d2i_ZV_RECEIPT_ENHANCEMENTS");
  ASSERT_EQ(enh.size(), 1u) << dertest::describe(d.errors);
  EXPECT_EQ(enh[0].reason, 104);
  EXPECT_EQ(d.errors.back().func, "d2i_ZV_RECEIPT_MSG_basic2");
  EXPECT_EQ(d.errors.back().reason, ZV_DER_R_NESTED);

  // One byte after the [1] enhancement, inside the SEQUENCE.
  bytes extra = content;
  extra.push_back(0x00);
  extra[2] = static_cast<unsigned char>(extra[2] + 1);  // 30 81 LL
  d = decode_into(d2i_ZV_RECEIPT_MSG_basic2, &r, extra);
  EXPECT_FALSE(d.ok);
  EXPECT_EQ(d.errors.back().reason, ZV_DER_R_LENGTH_MISMATCH);

  // An indefinite content without enhancement ends at its end-of-contents.
  bytes indef = unhex("30 80 04 01 41 13 01 42 00 00");
  d = decode_into(d2i_ZV_RECEIPT_MSG_basic2, &r, indef);
  ASSERT_TRUE(d.ok) << dertest::describe(d.errors);
  EXPECT_EQ(r->Enhancements->tag, ZV_ENHANCEMENT_NONE);
  EXPECT_EQ(spaced(dertest::encode(i2d_ZV_RECEIPT_MSG_basic2, r)), "30 06 04 01 41 13 01 42");
  ZV_RECEIPT_MSG_03_free(r);
}

TEST_F(Asn1, ReleaseWithoutLentValues) {
  // The lent values survive the free2 operations (the sanitizer checks the rest).
  ASN1_OCTET_STRING *lent = ASN1_OCTET_STRING_new();
  ZV_EDI_MSGtype01 *m = ZV_EDI_MSG_01_new();
  ASN1_OCTET_STRING_free(m->ediContent);
  m->ediContent = lent;
  ZV_EDI_MSG_01_free2(m);
  set_str(lent, std::string("still mine"));
  ASN1_OCTET_STRING_free(lent);

  ZV_RECEIPT_MSGtype04 *r = make_receipt(ZV_ENHANCEMENT_DIGEST);
  ASN1_OCTET_STRING *isa = r->receiptContent->isaSegment;
  ASN1_STRING *stamp = r->receiptContent->dateTimeStamp;
  ZV_RECEIPT_MSG_04_free2(r);
  EXPECT_EQ(str_of(isa), kIsa);
  EXPECT_EQ(str_of(stamp), kStamp);
  ASN1_OCTET_STRING_free(isa);
  ASN1_STRING_free(stamp);
  ZV_EDI_MSG_01_free(nullptr);
  ZV_RECEIPT_MSG_04_free2(nullptr);
}

// ---------------------------------------------------------------------------------
// The independent parser

struct element {
  long offset, depth, hl, len;
  bool cons;
  bool operator==(const element &o) const {
    return offset == o.offset && depth == o.depth && hl == o.hl && len == o.len && cons == o.cons;
  }
};

std::string show(const std::vector<element> &v) {
  std::ostringstream s;
  for (const auto &e : v)
    s << e.offset << ":d=" << e.depth << " hl=" << e.hl << " l=" << e.len
      << (e.cons ? " cons" : " prim") << "\n";
  return s.str();
}

// What asn1parse should show: every element, descending into constructed ones.
void structure(const unsigned char *base, zv_der_reader r, long depth, std::vector<element> *out) {
  while (!r.empty()) {
    zv_der_header h;
    const unsigned char *at = r.data();
    ASSERT_EQ(r.read_header(&h), zv_der_status::ok);
    out->push_back({static_cast<long>(at - base), depth, h.header_length, h.length, h.constructed});
    if (h.constructed) structure(base, r.first(h.length), depth + 1, out);
    r.skip(h.length);
  }
}

std::vector<element> parse_asn1parse(const std::string &text) {
  std::vector<element> v;
  std::regex line(R"(^\s*(\d+):d=(\d+)\s+hl=(\d+)\s+l=\s*(\d+)\s+(cons|prim):)");
  std::istringstream in(text);
  std::string l;
  while (std::getline(in, l)) {
    std::smatch m;
    if (std::regex_search(l, m, line))
      v.push_back({std::stol(m[1]), std::stol(m[2]), std::stol(m[3]), std::stol(m[4]),
                   m[5] == "cons"});
  }
  return v;
}

TEST_F(Asn1, OpensslAsn1parseAgreesWithEveryEnvelope) {
  std::string doc(300, 'E');
  std::string pattern = "00000000000000000000000000000010";
  std::vector<std::pair<std::string, bytes>> envelopes;
  auto add = [&](const char *name, auto i2d, auto free_fn, auto *rec) {
    envelopes.push_back({name, dertest::encode(i2d, rec)});
    free_fn(rec);
  };
  add("integrity", i2d_ZV_EDI_MSG_integrity, ZV_EDI_MSG_03_free, make_integrity(doc));
  add("signed", i2d_ZV_EDI_MSG_signed, ZV_EDI_MSG_09_free, make_signed(doc));
  add("receipt", i2d_ZV_RECEIPT_MSG_basic, ZV_RECEIPT_MSG_04_free, make_receipt(-1));
  add("receipt_digest", i2d_ZV_RECEIPT_MSG_basic, ZV_RECEIPT_MSG_04_free, make_receipt(1));
  add("receipt_signature", i2d_ZV_RECEIPT_MSG_basic, ZV_RECEIPT_MSG_04_free, make_receipt(2));
  add("status", i2d_ZV_STATUS_MSG, ZV_STATUS_MSG_free, make_status(&pattern));
  std::string abc = "abc";
  add("plain", i2d_ZV_EDI_MSG_basic, ZV_EDI_MSG_01_free, make_edi01(&abc));
  for (const auto &[name, der] : envelopes) {
    std::string out;
    int st = dertest::asn1parse(der, &out, name);
    EXPECT_EQ(st, 0) << name << "\n" << out;
    EXPECT_EQ(out.find("rror"), std::string::npos) << name << "\n" << out;
    std::vector<element> want;
    structure(der.data(), zv_der_reader(der.data(), static_cast<long>(der.size())), 0, &want);
    std::vector<element> got = parse_asn1parse(out);
    EXPECT_EQ(show(got), show(want)) << name << "\n" << out;
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got[0].hl + got[0].len, static_cast<long>(der.size())) << name;
  }
}

}  // namespace
