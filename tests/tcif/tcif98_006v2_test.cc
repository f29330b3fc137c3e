// The Issue 2 records: the worked octets of the basic EDI and receipt envelopes, length
// forms, what the constructors hold, the family's encoder and decoder rules and their
// error entries, round trips of populated records checked by `openssl asn1parse`, and
// the error-string table.
#include "tcif/tcif98-006v2.h"

#include <gtest/gtest.h>
#include <openssl/objects.h>

#include <cstring>
#include <memory>

#include "tests/codec/der_test_util.h"
#include "tests/tcif/tcif_test_util.h"

using dertest::bytes;
using dertest::by_func;
using dertest::cat;
using dertest::describe;
using dertest::drain_errors;
using dertest::kIsa;
using dertest::kStamp;
using dertest::owned;
using dertest::spaced;
using dertest::str_bytes;
using dertest::unhex;
using tciftest::set_obj;
using tciftest::set_str;
using tciftest::str_of;

namespace {

const char kZvEdi1[] = "1.3.6.1.4.1.3576.7.1";
const char kZvR1[] = "1.3.6.1.4.1.3576.7.65";
const bytes kZvEdi1Der = unhex("06 09 2B 06 01 04 01 9B 78 07 01");
const bytes kZvR1Der = unhex("06 09 2B 06 01 04 01 9B 78 07 41");
class V2 : public dertest::ErrorQueueTest {};

using plain_ptr = owned<PlainEDImessage, PlainEDImessage_free>;
using receipt_ptr = owned<ZvReceiptMessage, ZvReceiptMessage_free>;

bytes enc_plain(const PlainEDImessage *m) { return dertest::encode(i2d_PlainEDImessage, m); }
bytes enc_receipt(const ZvReceiptMessage *m) { return dertest::encode(i2d_ZvReceiptMessage, m); }

// The basic EDI envelope as the client builds it: the record's own content is replaced
// by the payload for the encoding and put back before the release.
bytes basic_envelope(const bytes &payload) {
  plain_ptr m(PlainEDImessage_new());
  EXPECT_NE(m, nullptr);
  if (!m) return {};
  set_obj(&m->plainEDImessage, kZvEdi1);
  ASN1_OCTET_STRING *own = m->ediContent;
  ASN1_OCTET_STRING *lent = ASN1_OCTET_STRING_new();
  set_str(lent, payload);
  m->ediContent = lent;
  bytes out = enc_plain(m.get());
  m->ediContent = own;
  ASN1_OCTET_STRING_free(lent);
  return out;
}

receipt_ptr basic_receipt(const std::string &isa, const std::string &stamp) {
  receipt_ptr m(ZvReceiptMessage_new());
  EXPECT_NE(m, nullptr);
  set_obj(&m->zvReceiptMessage, kZvR1);
  set_str(m->receiptContent->isaSegment, isa);
  set_str(m->receiptContent->dateTimeStamp, stamp);
  return m;
}

// ---------------------------------------------------------------------------------
// Worked encodings

TEST_F(V2, PlainMessageOverIsa) {
  bytes got = basic_envelope(str_bytes("ISA"));
  EXPECT_EQ(spaced(got), "30 12 06 09 2B 06 01 04 01 9B 78 07 01 A0 05 04 03 49 53 41");
}

TEST_F(V2, PlainMessageLengthForms) {
  struct row {
    size_t payload;
    const char *head;  // outer header, object identifier, [0] header, OCTET STRING header
    size_t total;
  };
  const row rows[] = {
      {0, "30 0F 06 09 2B 06 01 04 01 9B 78 07 01 A0 02 04 00", 17},
      {112, "30 7F 06 09 2B 06 01 04 01 9B 78 07 01 A0 72 04 70", 129},
      {113, "30 81 80 06 09 2B 06 01 04 01 9B 78 07 01 A0 73 04 71", 131},
      {125, "30 81 8C 06 09 2B 06 01 04 01 9B 78 07 01 A0 7F 04 7D", 143},
      {126, "30 81 8E 06 09 2B 06 01 04 01 9B 78 07 01 A0 81 80 04 7E", 145},
      {127, "30 81 8F 06 09 2B 06 01 04 01 9B 78 07 01 A0 81 81 04 7F", 146},
      {128, "30 81 91 06 09 2B 06 01 04 01 9B 78 07 01 A0 81 83 04 81 80", 148},
      {1000, "30 82 03 FB 06 09 2B 06 01 04 01 9B 78 07 01 A0 82 03 EC 04 82 03 E8", 1023},
      {65536, "30 83 01 00 15 06 09 2B 06 01 04 01 9B 78 07 01 A0 83 01 00 05 04 83 01 00 00",
       65562},
  };
  for (const row &r : rows) {
    bytes payload(r.payload);
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<unsigned char>('A' + i % 26);
    bytes got = basic_envelope(payload);
    bytes head = unhex(r.head);
    ASSERT_EQ(got.size(), r.total) << "payload " << r.payload;
    EXPECT_EQ(spaced(bytes(got.begin(), got.begin() + head.size())), r.head)
        << "payload " << r.payload;
    EXPECT_EQ(bytes(got.begin() + head.size(), got.end()), payload) << "payload " << r.payload;
  }
}

TEST_F(V2, BasicReceiptIs142Octets) {
  receipt_ptr m = basic_receipt(kIsa, kStamp);
  ASSERT_EQ(kIsa.size(), 105u);
  bytes want = cat({unhex("30 81 8B"), kZvR1Der, unhex("A0 7E 30 7C 04 69"), str_bytes(kIsa),
                    unhex("13 0F"), str_bytes(kStamp)});
  bytes got = enc_receipt(m.get());
  EXPECT_EQ(got.size(), 142u);
  EXPECT_EQ(spaced(got), spaced(want));
}

TEST_F(V2, BuilderLendsAndRestoresReceiptValues) {
  receipt_ptr m(ZvReceiptMessage_new());
  ASSERT_NE(m, nullptr);
  set_obj(&m->zvReceiptMessage, kZvR1);
  ReceiptContent *rc = m->receiptContent;
  ASN1_OCTET_STRING *own_isa = rc->isaSegment;
  ASN1_PRINTABLESTRING *own_stamp = rc->dateTimeStamp;
  std::string isa = kIsa, stamp = kStamp;  // the lender's buffers
  ASN1_OCTET_STRING lent_isa{};
  ASN1_STRING lent_stamp{};
  lent_isa.type = V_ASN1_OCTET_STRING;
  lent_isa.length = static_cast<int>(isa.size());
  lent_isa.data = reinterpret_cast<unsigned char *>(isa.data());
  lent_stamp.type = V_ASN1_PRINTABLESTRING;
  lent_stamp.length = static_cast<int>(stamp.size());
  lent_stamp.data = reinterpret_cast<unsigned char *>(stamp.data());
  rc->isaSegment = &lent_isa;
  rc->dateTimeStamp = &lent_stamp;
  bytes got = enc_receipt(m.get());
  rc->isaSegment = own_isa;
  rc->dateTimeStamp = own_stamp;
  EXPECT_EQ(got.size(), 142u);
  EXPECT_EQ(bytes(got.begin() + 20, got.begin() + 125), str_bytes(kIsa));
}

// ---------------------------------------------------------------------------------
// Constructors and the encoder's rules

TEST_F(V2, FreshRecordsOfEveryType) {
  const char *want[ZOLVARv2_TYPE_COUNT] = {
      "30 04 A0 02 04 00",                                // PlainEDImessage
      "30 0E A0 0C 30 0A 02 00 30 04 A0 02 04 00 04 00",  // IntegrityEDImessage
      "30 0A 02 00 30 04 A0 02 04 00 04 00",              // IntegrityContent
      "30 04 A0 02 04 00",                                // InnerContent
      "30 0C A0 0A 30 08 02 00 30 04 A0 02 04 00",        // SignedEDImessage
      "30 00",                                            // AlgorithmIdentifierX
      "30 00",                                            // SignerInfosX
      "30 08 02 00 30 04 A0 02 04 00",                    // SignedContent
      "30 08 02 00 30 02 02 00 04 00",                    // SignerInfos
      "30 00",                                            // IssuerCountryXX
      "30 00",                                            // IssuerOrgXX
      "30 02 02 00",                                      // IssuerAndSerialNumber
      "30 00",                                            // IssuerCountryX
      "30 02 13 00",                                      // IssuerCountry
      "30 00",                                            // IssuerOrgX
      "30 02 13 00",                                      // IssuerOrg
      "30 05 A0 03 03 01 00",                             // ZvStatusMessage
      "30 08 A0 06 30 04 04 00 13 00",                    // ZvReceiptMessage
      "30 04 04 00 13 00",                                // ReceiptContent
      "",                                                 // Enhancements
      "30 02 04 00",                                      // WithDigest
      "30 02 04 00",                                      // WithDigSig
  };
  for (int i = 0; i < ZOLVARv2_TYPE_COUNT; ++i)
    EXPECT_EQ(spaced(tciftest::fresh_encoding(ZOLVARv2_types[i])), want[i])
        << ZOLVARv2_types[i]->name;
  EXPECT_TRUE(drain_errors().empty());
}

TEST_F(V2, NamedOperationsOverFreshRecords) {
  plain_ptr p(PlainEDImessage_new());
  EXPECT_EQ(spaced(enc_plain(p.get())), "30 04 A0 02 04 00");
  receipt_ptr r(ZvReceiptMessage_new());
  EXPECT_EQ(spaced(enc_receipt(r.get())), "30 08 A0 06 30 04 04 00 13 00");
  EXPECT_EQ(r->receiptContent->enhancements->tag, ENHANCEMENTS_NONE);
  EXPECT_EQ(r->receiptContent->enhancements->d.ptr, nullptr);
  EXPECT_EQ(i2d_PlainEDImessage(nullptr, nullptr), 0);
  unsigned char buf[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  unsigned char *w = buf;
  EXPECT_EQ(i2d_ZvReceiptMessage(nullptr, &w), 0);
  EXPECT_EQ(w, buf);
  EXPECT_EQ(buf[0], 0xEE);
  PlainEDImessage_free(nullptr);
  Enhancements_free(nullptr);
  Enhancements_dfree(nullptr);
}

TEST_F(V2, EnhancementsWritesOnlyItsAlternative) {
  owned<Enhancements, Enhancements_free> e(Enhancements_new());
  ASSERT_NE(e, nullptr);
  const bytes digest = unhex("A9993E364706816ABA3E25717850C26C9CD0D89D");
  // Selector without its alternative, or naming none, writes nothing.
  for (int sel : {ENHANCEMENTS_WITH_DIGEST, ENHANCEMENTS_WITH_DIGSIG, -1, 0, 1, 2, 128, 131}) {
    e->tag = sel;
    EXPECT_EQ(i2d_Enhancements(e.get(), nullptr), 0) << sel;
  }
  WithDigest *wd = WithDigest_new();
  set_obj(&wd->receiptDigestAlgorithm, "1.3.14.3.2.26");
  set_str(wd->receiptMessageDigest, digest);
  e->tag = ENHANCEMENTS_WITH_DIGEST;
  e->d.withDigest = wd;
  EXPECT_EQ(spaced(dertest::encode(i2d_Enhancements, e.get())),
            spaced(cat({unhex("A1 1F 30 1D 06 05 2B 0E 03 02 1A 04 14"), digest})));
  e->tag = 131;  // a selector of no alternative writes nothing even with a pointer
  EXPECT_EQ(i2d_Enhancements(e.get(), nullptr), 0);
  e->tag = ENHANCEMENTS_WITH_DIGEST;
  Enhancements_dfree(e.get());
  EXPECT_EQ(e->tag, -1);
  EXPECT_EQ(e->d.ptr, nullptr);

  WithDigSig *ws = WithDigSig_new();
  set_obj(&ws->receiptSignatureAlgorithm, "1.2.840.113549.1.1.5");
  set_str(ws->receiptDigitalSignature, bytes(3, 0x5A));
  e->tag = ENHANCEMENTS_WITH_DIGSIG;
  e->d.withDigSig = ws;
  EXPECT_EQ(spaced(dertest::encode(i2d_Enhancements, e.get())),
            "A2 12 30 10 06 09 2A 86 48 86 F7 0D 01 01 05 04 03 5A 5A 5A");
  // Released through the record's destructor (the leak checker watches).
}

IssuerCountry *country(const char *oid, const std::string &value) {
  IssuerCountry *c = IssuerCountry_new();
  set_obj(&c->country, oid);
  set_str(c->countryValue, value);
  return c;
}

TEST_F(V2, SetOfSortsSequenceOfKeepsOrder) {
  // The empty entry sorts first on its length octet, "CA" before "US" on the value.
  const char *oid = "2.5.4.6";
  const std::string us = "30 09 06 03 55 04 06 13 02 55 53";
  const std::string ca = "30 09 06 03 55 04 06 13 02 43 41";
  const std::string empty = "30 07 06 03 55 04 06 13 00";
  owned<IssuerCountryX, IssuerCountryX_free> set(
      IssuerCountryX_new());
  sk_IssuerCountry_push(set->IssuerCountry, country(oid, "US"));
  EXPECT_EQ(spaced(dertest::encode(i2d_IssuerCountryX, set.get())), "30 0D 31 0B " + us);
  sk_IssuerCountry_push(set->IssuerCountry, country(oid, ""));
  sk_IssuerCountry_push(set->IssuerCountry, country(oid, "CA"));
  EXPECT_EQ(spaced(dertest::encode(i2d_IssuerCountryX, set.get())),
            "30 21 31 1F " + empty + " " + ca + " " + us);
  // The stack itself is not reordered.
  EXPECT_EQ(str_of(sk_IssuerCountry_value(set->IssuerCountry, 0)->countryValue), "US");

  owned<IssuerCountryXX, IssuerCountryXX_free> seq(
      IssuerCountryXX_new());
  sk_IssuerCountry_push(seq->IssuerCountry, country(oid, "US"));
  sk_IssuerCountry_push(seq->IssuerCountry, country(oid, ""));
  sk_IssuerCountry_push(seq->IssuerCountry, country(oid, "CA"));
  EXPECT_EQ(spaced(dertest::encode(i2d_IssuerCountryXX, seq.get())),
            "30 21 30 1F " + us + " " + empty + " " + ca);
}

TEST_F(V2, NullFieldsAndEmptyStacksAreLeftOut) {
  owned<SignedContent, SignedContent_free> s(SignedContent_new());
  InnerContent_free(s->innerContent);
  s->innerContent = nullptr;
  EXPECT_EQ(spaced(dertest::encode(i2d_SignedContent, s.get())), "30 02 02 00");
  sk_SignerInfos_pop_free(s->SignerInfos, SignerInfos_free);
  s->SignerInfos = nullptr;
  ASN1_INTEGER_set(s->signedVersion, 1);
  EXPECT_EQ(spaced(dertest::encode(i2d_SignedContent, s.get())), "30 03 02 01 01");
}

TEST_F(V2, StatusBitStringCountsUnusedBits) {
  owned<ZvStatusMessage, ZvStatusMessage_free> m(
      ZvStatusMessage_new());
  set_obj(&m->zvStatusMessage, "1.3.6.1.4.1.3576.7.97");
  struct row {
    bytes value;
    const char *bits;  // the BIT STRING element
  };
  const row rows[] = {
      {unhex("30"), "03 02 04 30"},
      {unhex("31"), "03 02 00 31"},
      {unhex("80 00 00"), "03 02 07 80"},  // trailing zero octets dropped
      {unhex(""), "03 01 00"},
  };
  for (const row &r : rows) {
    set_str(m->zvStatus, r.value);
    bytes got = dertest::encode(i2d_ZvStatusMessage, m.get());
    bytes bits = unhex(r.bits);
    ASSERT_GE(got.size(), bits.size());
    EXPECT_EQ(spaced(bytes(got.end() - static_cast<long>(bits.size()), got.end())), r.bits)
        << spaced(r.value);
  }
}

X509_ALGOR *algor(int nid) {
  X509_ALGOR *a = X509_ALGOR_new();
  X509_ALGOR_set0(a, OBJ_nid2obj(nid), V_ASN1_NULL, nullptr);
  return a;
}

SignerInfos *signer(long version) {
  SignerInfos *s = SignerInfos_new();
  ASN1_INTEGER_set(s->signerVersion, version);
  IssuerCountryX *cx = IssuerCountryX_new();
  sk_IssuerCountry_push(cx->IssuerCountry, country("2.5.4.6", "US"));
  sk_IssuerCountryX_push(s->issuerAndSerialNumber->IssuerCountryX, cx);
  IssuerOrgX *ox = IssuerOrgX_new();
  IssuerOrg *org = IssuerOrg_new();
  set_obj(&org->organizationName, "2.5.4.10");
  set_str(org->organizationValue, std::string("Zolvar"));
  sk_IssuerOrg_push(ox->IssuerOrg, org);
  sk_IssuerOrgX_push(s->issuerAndSerialNumber->IssuerOrgX, ox);
  ASN1_INTEGER_set(s->issuerAndSerialNumber->serialNumber, 0x1234);
  X509_ALGOR_free(s->signedDigestAlgorithm);
  s->signedDigestAlgorithm = algor(NID_sha1);
  X509_ALGOR_free(s->digestEncryptionAlgorithm);
  s->digestEncryptionAlgorithm = algor(NID_rsaEncryption);
  set_str(s->encryptedDigest, bytes(128, 0xC3));
  return s;
}

// ---------------------------------------------------------------------------------
// Decoders

TEST_F(V2, PlainMessageDecodesAndKeepsWhatIsMissing) {
  bytes in = basic_envelope(str_bytes("ISA"));
  const unsigned char *p = in.data();
  plain_ptr m(d2i_PlainEDImessage(nullptr, &p, static_cast<long>(in.size())));
  ASSERT_NE(m, nullptr) << describe(drain_errors());
  EXPECT_EQ(p, in.data() + in.size());
  EXPECT_EQ(tciftest::oid_text(m->plainEDImessage), kZvEdi1);
  EXPECT_EQ(str_of(m->ediContent), "ISA");
  EXPECT_EQ(enc_plain(m.get()), in);

  // Only the identifier: the content keeps its fresh value and is written again.
  bytes only = cat({unhex("30 0B"), kZvEdi1Der});
  p = only.data();
  plain_ptr o(d2i_PlainEDImessage(nullptr, &p, static_cast<long>(only.size())));
  ASSERT_NE(o, nullptr) << describe(drain_errors());
  EXPECT_EQ(ASN1_STRING_length(o->ediContent), 0);
  EXPECT_EQ(spaced(enc_plain(o.get())), spaced(cat({unhex("30 0F"), kZvEdi1Der, unhex("A0 02 04 00")})));
}

TEST_F(V2, ReceiptDecodesWithoutEnhancements) {
  receipt_ptr m = basic_receipt(kIsa, kStamp);
  bytes in = enc_receipt(m.get());
  const unsigned char *p = in.data();
  receipt_ptr d(d2i_ZvReceiptMessage(nullptr, &p, static_cast<long>(in.size())));
  ASSERT_NE(d, nullptr) << describe(drain_errors());
  EXPECT_EQ(d->receiptContent->enhancements, nullptr);
  EXPECT_EQ(str_of(d->receiptContent->isaSegment), kIsa);
  EXPECT_EQ(str_of(d->receiptContent->dateTimeStamp), kStamp);
  EXPECT_EQ(enc_receipt(d.get()), in);

  // ReceiptContent by itself, and with an enhancement.
  bytes content = cat({unhex("30 7C 04 69"), str_bytes(kIsa), unhex("13 0F"), str_bytes(kStamp)});
  p = content.data();
  ReceiptContent *rc = d2i_ReceiptContent(nullptr, &p, static_cast<long>(content.size()));
  ASSERT_NE(rc, nullptr);
  EXPECT_EQ(rc->enhancements, nullptr);
  EXPECT_EQ(dertest::encode(i2d_ReceiptContent, rc), content);
  ReceiptContent_free(rc);

  bytes sig = unhex("A2 0B 30 09 06 03 2B 0E 03 04 02 AB CD");
  bytes with = cat({unhex("30 23 04 03 41 42 43 13 0F"), str_bytes(kStamp), sig});
  p = with.data();
  rc = d2i_ReceiptContent(nullptr, &p, static_cast<long>(with.size()));
  ASSERT_NE(rc, nullptr) << describe(drain_errors());
  ASSERT_NE(rc->enhancements, nullptr);
  EXPECT_EQ(rc->enhancements->tag, ENHANCEMENTS_WITH_DIGSIG);
  EXPECT_EQ(str_of(rc->enhancements->d.withDigSig->receiptDigitalSignature), "\xAB\xCD");
  EXPECT_EQ(dertest::encode(i2d_ReceiptContent, rc), with);
  ReceiptContent_free(rc);
}

TEST_F(V2, DecodingAppendsToStacksThatHoldElements) {
  const char *oid = "2.5.4.6";
  owned<IssuerCountryX, IssuerCountryX_free> src(
      IssuerCountryX_new());
  sk_IssuerCountry_push(src->IssuerCountry, country(oid, "CA"));
  sk_IssuerCountry_push(src->IssuerCountry, country(oid, "MX"));
  bytes in = dertest::encode(i2d_IssuerCountryX, src.get());

  const unsigned char *p = in.data();
  IssuerCountryX *fresh = d2i_IssuerCountryX(nullptr, &p, static_cast<long>(in.size()));
  ASSERT_NE(fresh, nullptr);
  EXPECT_EQ(sk_IssuerCountry_num(fresh->IssuerCountry), 2);
  IssuerCountryX_free(fresh);

  IssuerCountryX *held = IssuerCountryX_new();
  sk_IssuerCountry_push(held->IssuerCountry, country(oid, "US"));
  IssuerCountryX *target = held;
  p = in.data();
  ASSERT_EQ(d2i_IssuerCountryX(&target, &p, static_cast<long>(in.size())), held);
  ASSERT_EQ(sk_IssuerCountry_num(held->IssuerCountry), 3);
  EXPECT_EQ(str_of(sk_IssuerCountry_value(held->IssuerCountry, 0)->countryValue), "US");
  EXPECT_EQ(str_of(sk_IssuerCountry_value(held->IssuerCountry, 1)->countryValue), "CA");
  EXPECT_EQ(str_of(sk_IssuerCountry_value(held->IssuerCountry, 2)->countryValue), "MX");
  IssuerCountryX_free(held);

  // The same through a nested record: the SET OF inside a SignedContent.
  SignedContent *src2 = SignedContent_new();
  sk_SignerInfos_push(src2->SignerInfos, signer(5));
  sk_SignerInfos_push(src2->SignerInfos, signer(4));
  bytes two = dertest::encode(i2d_SignedContent, src2);
  SignedContent_free(src2);
  SignedContent *sc = SignedContent_new();
  sk_SignerInfos_push(sc->SignerInfos, signer(9));
  p = two.data();
  ASSERT_EQ(d2i_SignedContent(&sc, &p, static_cast<long>(two.size())), sc)
      << describe(drain_errors());
  ASSERT_EQ(sk_SignerInfos_num(sc->SignerInfos), 3);
  EXPECT_EQ(ASN1_INTEGER_get(sk_SignerInfos_value(sc->SignerInfos, 0)->signerVersion), 9);
  EXPECT_EQ(ASN1_INTEGER_get(sk_SignerInfos_value(sc->SignerInfos, 1)->signerVersion), 4);
  EXPECT_EQ(ASN1_INTEGER_get(sk_SignerInfos_value(sc->SignerInfos, 2)->signerVersion), 5);
  SignedContent_free(sc);
}

struct failing {
  const char *name;
  const char *hex;
  const char *func;  // the outermost entry
  int reason;
  long offset;
};

void expect_failure(const zv_der_type *t, const failing &c) {
  bytes in = unhex(c.hex);
  const unsigned char *p = in.data();
  ERR_clear_error();
  void *r = zv_der_d2i(t, nullptr, &p, static_cast<long>(in.size()));
  auto q = drain_errors();
  EXPECT_EQ(r, nullptr) << c.name;
  zv_der_free(t, r);
  EXPECT_EQ(p, in.data()) << c.name << ": cursor moved";
  ASSERT_FALSE(q.empty()) << c.name;
  const auto &last = q.back();
  EXPECT_EQ(last.lib, ZV_DER_LIB) << c.name;
  EXPECT_EQ(last.func, c.func) << c.name << " " << describe(q);
  EXPECT_EQ(last.reason, c.reason) << c.name << " " << describe(q);
  EXPECT_EQ(last.data, "offset=" + std::to_string(c.offset)) << c.name << " " << describe(q);
}

TEST_F(V2, DecoderReasons) {
  const failing plain[] = {
      {"stray element after the last field",
       "30 14 06 09 2B 06 01 04 01 9B 78 07 01 A0 05 04 03 49 53 41 05 00",
       "d2i_PlainEDImessage", ZV_DER_R_LENGTH_MISMATCH, 20},
      {"element matching no field in its place", "30 0D 04 00 06 09 2B 06 01 04 01 9B 78 07 01",
       "d2i_PlainEDImessage", ZV_DER_R_LENGTH_MISMATCH, 2},
      {"[0] of indefinite length without its end-of-contents",
       "30 12 06 09 2B 06 01 04 01 9B 78 07 01 A0 80 04 01 41 05 00",
       "d2i_PlainEDImessage", ZV_DER_R_MISSING_EOS, 13},
      {"indefinite SEQUENCE without its end-of-contents",
       "30 80 06 09 2B 06 01 04 01 9B 78 07 01 A0 02 04 00 05 00",
       "d2i_PlainEDImessage", ZV_DER_R_MISSING_EOS, 17},
      {"header claims more than given", "30 13 06 09 2B 06 01 04 01 9B 78 07 01 A0 05 04 03 49 53 41",
       "d2i_PlainEDImessage", ZV_DER_R_BAD_GET_OBJECT, 0},
      {"not a SEQUENCE", "31 02 04 00", "d2i_PlainEDImessage", ZV_DER_R_NOT_SEQUENCE, 0},
      {"bad inner value", "30 06 A0 04 04 05 41 42", "d2i_PlainEDImessage", ZV_DER_R_NESTED, 2},
      {"unreadable [0] header", "30 03 A0 85 01", "d2i_PlainEDImessage", ZV_DER_R_BAD_HEADER, 2},
  };
  for (const auto &c : plain) expect_failure(&PlainEDImessage_type, c);

  const failing receipt[] = {
      {"enhancement matching no alternative", "30 08 04 00 13 00 A3 02 30 00",
       "d2i_ReceiptContent", ZV_DER_R_NESTED, 6},
      {"enhancement failing inside", "30 08 04 00 13 00 A1 02 04 00", "d2i_ReceiptContent",
       ZV_DER_R_NESTED, 6},
  };
  for (const auto &c : receipt) expect_failure(&ReceiptContent_type, c);

  // The enhancement's own entries carry no offset; the one that matched nothing queues
  // nothing of its own.
  bytes in = unhex("30 08 04 00 13 00 A3 02 30 00");
  const unsigned char *p = in.data();
  EXPECT_EQ(d2i_ReceiptContent(nullptr, &p, static_cast<long>(in.size())), nullptr);
  auto q = drain_errors();
  EXPECT_TRUE(by_func(q, "d2i_Enhancements").empty()) << describe(q);
  in = unhex("30 08 04 00 13 00 A1 02 04 00");
  p = in.data();
  EXPECT_EQ(d2i_ReceiptContent(nullptr, &p, static_cast<long>(in.size())), nullptr);
  q = drain_errors();
  auto enh = by_func(q, "d2i_Enhancements");
  ASSERT_EQ(enh.size(), 1u) << describe(q);
  EXPECT_EQ(enh[0].reason, ZV_DER_R_NESTED);
  EXPECT_EQ(enh[0].data, "");
  auto wd = by_func(q, "d2i_WithDigest");
  ASSERT_EQ(wd.size(), 1u) << describe(q);
  EXPECT_EQ(wd[0].reason, ZV_DER_R_NOT_SEQUENCE);
}

TEST_F(V2, ZeroLengthFailsWithReason60) {
  static const unsigned char one = 0x30;
  for (int i = 0; i < ZOLVARv2_TYPE_COUNT; ++i) {
    const zv_der_type *t = ZOLVARv2_types[i];
    const unsigned char *p = &one;
    ERR_clear_error();
    EXPECT_EQ(zv_der_d2i(t, nullptr, &p, 0), nullptr) << t->name;
    EXPECT_EQ(p, &one);
    auto q = drain_errors();
    if (t == &Enhancements_type) {
      EXPECT_TRUE(q.empty()) << describe(q);  // a CHOICE reports no octets by NULL alone
      continue;
    }
    ASSERT_EQ(q.size(), 1u) << t->name << describe(q);
    EXPECT_EQ(q[0].reason, ZV_DER_R_BAD_GET_OBJECT) << t->name;
    EXPECT_EQ(q[0].func, std::string("d2i_") + t->name);
  }
}

TEST_F(V2, EnhancementsDecoderRules) {
  // First octets that open no alternative: NULL, nothing queued, cursor and *a unmoved.
  for (const char *hex : {"A0 02 30 00", "30 00", "A3 00", "04 00"}) {
    bytes in = unhex(hex);
    const unsigned char *p = in.data();
    Enhancements *out = nullptr;
    EXPECT_EQ(d2i_Enhancements(&out, &p, static_cast<long>(in.size())), nullptr) << hex;
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(p, in.data());
    EXPECT_TRUE(drain_errors().empty()) << hex;
  }
  // An alternative followed by more octets: the cursor stops right after it.
  bytes in = unhex("A1 06 30 04 06 02 2A 03 13 00");
  const unsigned char *p = in.data();
  Enhancements *e = d2i_Enhancements(nullptr, &p, static_cast<long>(in.size()));
  ASSERT_NE(e, nullptr) << describe(drain_errors());
  EXPECT_EQ(e->tag, ENHANCEMENTS_WITH_DIGEST);
  EXPECT_EQ(p, in.data() + 8);
  EXPECT_EQ(tciftest::oid_text(e->d.withDigest->receiptDigestAlgorithm), "1.2.3");

  // Decoding into it again releases the alternative it held; no match leaves it empty.
  bytes none = unhex("30 00");
  p = none.data();
  Enhancements *target = e;
  EXPECT_EQ(d2i_Enhancements(&target, &p, 2), nullptr);
  EXPECT_EQ(target, e);
  EXPECT_EQ(e->tag, -1);
  EXPECT_EQ(e->d.ptr, nullptr);

  // An alternative that fails to decode: selector -1 again, one entry.
  bytes bad = unhex("A2 02 04 00");
  p = bad.data();
  EXPECT_EQ(d2i_Enhancements(&target, &p, 4), nullptr);
  EXPECT_EQ(e->tag, -1);
  EXPECT_EQ(e->d.ptr, nullptr);
  EXPECT_EQ(p, bad.data());
  EXPECT_EQ(by_func(drain_errors(), "d2i_Enhancements").size(), 1u);

  // Indefinite alternative, cursor behind its end-of-contents.
  bytes indef = unhex("A2 80 30 04 06 02 2A 03 00 00 FF");
  p = indef.data();
  EXPECT_EQ(d2i_Enhancements(&target, &p, static_cast<long>(indef.size())), e);
  EXPECT_EQ(e->tag, ENHANCEMENTS_WITH_DIGSIG);
  EXPECT_EQ(p, indef.data() + 10);
  Enhancements_free(e);
}

TEST_F(V2, IndefiniteLengthsAndTrailingOctets) {
  bytes payload = unhex("04 03 49 53 41");
  bytes def = cat({unhex("30 12"), kZvEdi1Der, unhex("A0 05"), payload});
  struct row {
    const char *name;
    bytes in;
    size_t used;
  };
  const row rows[] = {
      {"[0] indefinite", cat({unhex("30 14"), kZvEdi1Der, unhex("A0 80"), payload, unhex("00 00")}),
       22},
      {"SEQUENCE indefinite", cat({unhex("30 80"), kZvEdi1Der, unhex("A0 05"), payload, unhex("00 00")}),
       22},
      {"both indefinite",
       cat({unhex("30 80"), kZvEdi1Der, unhex("A0 80"), payload, unhex("00 00 00 00")}), 24},
      {"octets after the SEQUENCE", cat({def, unhex("05 00 FF")}), 20},
  };
  for (const row &r : rows) {
    const unsigned char *p = r.in.data();
    plain_ptr m(d2i_PlainEDImessage(nullptr, &p, static_cast<long>(r.in.size())));
    ASSERT_NE(m, nullptr) << r.name << describe(drain_errors());
    EXPECT_EQ(static_cast<size_t>(p - r.in.data()), r.used) << r.name;
    EXPECT_EQ(enc_plain(m.get()), def) << r.name;
  }
}

TEST_F(V2, FailureKeepsCallersRecordAndCursor) {
  plain_ptr m(PlainEDImessage_new());
  set_obj(&m->plainEDImessage, "1.2.3");
  set_str(m->ediContent, std::string("old"));
  // The identifier decodes, then the [0] content fails.
  bytes in = cat({unhex("30 10"), kZvEdi1Der, unhex("A0 03 04 05 41")});
  in[1] = static_cast<unsigned char>(in.size() - 2);
  const unsigned char *p = in.data();
  PlainEDImessage *target = m.get();
  EXPECT_EQ(d2i_PlainEDImessage(&target, &p, static_cast<long>(in.size())), nullptr);
  EXPECT_EQ(target, m.get());
  EXPECT_EQ(p, in.data());
  EXPECT_EQ(tciftest::oid_text(m->plainEDImessage), kZvEdi1);  // replaced before the failure
  EXPECT_EQ(str_of(m->ediContent), "old");
  EXPECT_FALSE(drain_errors().empty());
}

TEST_F(V2, FreshEncodingsThatDecodeBack) {
  // A fresh record whose algorithm identifier is missing does not decode back: the
  // algorithm field takes whatever follows the version.
  for (int i = 0; i < ZOLVARv2_TYPE_COUNT; ++i) {
    const zv_der_type *t = ZOLVARv2_types[i];
    bytes in = tciftest::fresh_encoding(t);
    if (in.empty()) continue;
    const unsigned char *p = in.data();
    void *r = zv_der_d2i(t, nullptr, &p, static_cast<long>(in.size()));
    bool algorithm_gap = t == &IntegrityContent_type || t == &IntegrityEDImessage_type ||
                         t == &SignerInfos_type;
    if (algorithm_gap) {
      EXPECT_EQ(r, nullptr) << t->name;
    } else {
      ASSERT_NE(r, nullptr) << t->name << describe(drain_errors());
      EXPECT_EQ(tciftest::encode_desc(t, r), in) << t->name;
    }
    zv_der_free(t, r);
    ERR_clear_error();
  }
}

// ---------------------------------------------------------------------------------
// Populated records: round trips, truncation and the independent parser

SignedEDImessage *signed_message() {
  SignedEDImessage *m = SignedEDImessage_new();
  set_obj(&m->signedEDImessage, "1.3.6.1.4.1.3576.7.5");
  SignedContent *c = m->signedContent;
  ASN1_INTEGER_set(c->signedVersion, 1);
  sk_X509_ALGOR_push(c->X509_ALGOR, algor(NID_sha1));
  set_obj(&c->innerContent->plainEDImessage, kZvEdi1);
  set_str(c->innerContent->ediContent, kIsa);
  sk_SignerInfos_push(c->SignerInfos, signer(1));
  return m;
}

IntegrityEDImessage *integrity_message() {
  IntegrityEDImessage *m = IntegrityEDImessage_new();
  set_obj(&m->integrityEDImessage, "1.3.6.1.4.1.3576.7.2");
  IntegrityContent *c = m->integrityContent;
  ASN1_INTEGER_set(c->integrityVersion, 1);
  X509_ALGOR_free(c->integrityAlgorithmIdentifier);
  c->integrityAlgorithmIdentifier = algor(NID_sha1);
  set_obj(&c->innerContent->plainEDImessage, kZvEdi1);
  set_str(c->innerContent->ediContent, kIsa);
  set_str(c->integrityDigest, bytes(20, 0x11));
  return m;
}

TEST_F(V2, SignedMessageRoundTripAndParser) {
  SignedEDImessage *m = signed_message();
  bytes once = dertest::encode(i2d_SignedEDImessage, m);
  SignedEDImessage_free(m);
  const unsigned char *p = once.data();
  SignedEDImessage *d = d2i_SignedEDImessage(nullptr, &p, static_cast<long>(once.size()));
  ASSERT_NE(d, nullptr) << describe(drain_errors());
  EXPECT_EQ(p, once.data() + once.size());
  EXPECT_EQ(dertest::encode(i2d_SignedEDImessage, d), once);
  SignerInfos *s = sk_SignerInfos_value(d->signedContent->SignerInfos, 0);
  IssuerCountry *c = sk_IssuerCountry_value(
      sk_IssuerCountryX_value(s->issuerAndSerialNumber->IssuerCountryX, 0)->IssuerCountry, 0);
  EXPECT_EQ(str_of(c->countryValue), "US");
  EXPECT_EQ(ASN1_INTEGER_get(s->issuerAndSerialNumber->serialNumber), 0x1234);
  SignedEDImessage_free(d);

  std::vector<std::string> want = {
      "0:SEQUENCE:367", "1:OBJECT:9", "1:cont [ 0 ]:352", "2:SEQUENCE:348",
      "3:INTEGER:1", "3:SET:11", "4:SEQUENCE:9", "5:OBJECT:5", "5:NULL:0",
      "3:SEQUENCE:120", "4:OBJECT:9", "4:cont [ 0 ]:107", "5:OCTET STRING:105",
      "3:SET:207", "4:SEQUENCE:204", "5:INTEGER:1", "5:SEQUENCE:42", "6:SEQUENCE:15",
      "7:SEQUENCE:13", "8:SET:11", "9:SEQUENCE:9", "10:OBJECT:3", "10:PRINTABLESTRING:2",
      "6:SEQUENCE:19", "7:SEQUENCE:17", "8:SET:15", "9:SEQUENCE:13", "10:OBJECT:3",
      "10:PRINTABLESTRING:6", "6:INTEGER:2", "5:SEQUENCE:9", "6:OBJECT:5", "6:NULL:0",
      "5:SEQUENCE:13", "6:OBJECT:9", "6:NULL:0", "5:OCTET STRING:128"};
  EXPECT_EQ(tciftest::asn1_shape(once, "v2_signed"), want);
}

TEST_F(V2, OtherMessagesThroughTheParser) {
  IntegrityEDImessage *im = integrity_message();
  bytes integrity = dertest::encode(i2d_IntegrityEDImessage, im);
  IntegrityEDImessage_free(im);
  EXPECT_EQ(tciftest::asn1_shape(integrity, "v2_integrity"),
            (std::vector<std::string>{"0:SEQUENCE:175", "1:OBJECT:9", "1:cont [ 0 ]:161",
                                      "2:SEQUENCE:158", "3:INTEGER:1", "3:SEQUENCE:9",
                                      "4:OBJECT:5", "4:NULL:0", "3:SEQUENCE:120", "4:OBJECT:9",
                                      "4:cont [ 0 ]:107", "5:OCTET STRING:105",
                                      "3:OCTET STRING:20"}));
  const unsigned char *p = integrity.data();
  IntegrityEDImessage *back = d2i_IntegrityEDImessage(nullptr, &p, static_cast<long>(integrity.size()));
  ASSERT_NE(back, nullptr) << describe(drain_errors());
  EXPECT_EQ(dertest::encode(i2d_IntegrityEDImessage, back), integrity);
  IntegrityEDImessage_free(back);

  receipt_ptr r = basic_receipt(kIsa, kStamp);
  EXPECT_EQ(tciftest::asn1_shape(enc_receipt(r.get()), "v2_receipt"),
            (std::vector<std::string>{"0:SEQUENCE:139", "1:OBJECT:9", "1:cont [ 0 ]:126",
                                      "2:SEQUENCE:124", "3:OCTET STRING:105",
                                      "3:PRINTABLESTRING:15"}));
  EXPECT_EQ(tciftest::asn1_shape(basic_envelope(bytes(1000, 'x')), "v2_plain"),
            (std::vector<std::string>{"0:SEQUENCE:1019", "1:OBJECT:9", "1:cont [ 0 ]:1004",
                                      "2:OCTET STRING:1000"}));

  owned<ZvStatusMessage, ZvStatusMessage_free> st(
      ZvStatusMessage_new());
  set_obj(&st->zvStatusMessage, "1.3.6.1.4.1.3576.7.97");
  set_str(st->zvStatus, std::string("00001000000000000000000000000000"));
  bytes status = dertest::encode(i2d_ZvStatusMessage, st.get());
  EXPECT_EQ(tciftest::asn1_shape(status, "v2_status"),
            (std::vector<std::string>{"0:SEQUENCE:48", "1:OBJECT:9", "1:cont [ 0 ]:35",
                                      "2:BIT STRING:33"}));
}

TEST_F(V2, EveryTruncationFailsCleanly) {
  SignedEDImessage *m = signed_message();
  bytes full = dertest::encode(i2d_SignedEDImessage, m);
  SignedEDImessage_free(m);
  receipt_ptr r = basic_receipt(kIsa, kStamp);
  bytes receipt = enc_receipt(r.get());
  for (const bytes *in : {&full, &receipt}) {
    for (size_t n = 0; n < in->size(); ++n) {
      bytes cut(in->begin(), in->begin() + static_cast<long>(n));
      const unsigned char *p = cut.empty() ? in->data() : cut.data();
      const unsigned char *start = p;
      const zv_der_type *t = in == &full ? &SignedEDImessage_type : &ZvReceiptMessage_type;
      void *d = zv_der_d2i(t, nullptr, &p, static_cast<long>(n));
      EXPECT_EQ(d, nullptr) << "length " << n;
      EXPECT_EQ(p, start) << "length " << n;
      zv_der_free(t, d);
      EXPECT_FALSE(drain_errors().empty()) << "length " << n;
    }
  }
}

// ---------------------------------------------------------------------------------
// Error strings

TEST_F(V2, StringTableNamesEveryOperationInCodeOrder) {
  for (int i = 0; i < ZOLVARv2_TYPE_COUNT; ++i) {
    const zv_der_type *t = ZOLVARv2_types[i];
    const std::string name = t->name;
    const ERR_STRING_DATA *e = &ZOLVARv2_str_funcs[3 * i];
    EXPECT_EQ(ERR_GET_REASON(e[0].error), 100 + 3 * i);
    EXPECT_EQ(ERR_GET_REASON(e[1].error), 101 + 3 * i);
    EXPECT_EQ(ERR_GET_REASON(e[2].error), 102 + 3 * i);
    EXPECT_STREQ(e[0].string, (name + "_NEW").c_str());
    EXPECT_STREQ(e[1].string, ("d2i_" + name).c_str());
    EXPECT_STREQ(e[2].string, ("i2d_" + name).c_str());
    // The walker's entries carry these same names.
    EXPECT_STREQ(t->new_func, e[0].string);
    EXPECT_STREQ(t->d2i_func, e[1].string);
    EXPECT_EQ(ERR_GET_LIB(e[0].error), ZV_TCIF_ERR_LIB);
  }
  EXPECT_STREQ(ZOLVARv2_str_funcs[51].string, "ZvReceiptMessage_NEW");
  EXPECT_STREQ(ZOLVARv2_str_funcs[52].string, "d2i_ZvReceiptMessage");
  EXPECT_STREQ(ZOLVARv2_str_funcs[53].string, "i2d_ZvReceiptMessage");
  EXPECT_EQ(ZOLVARv2_str_funcs[66].error, 0u);
  EXPECT_EQ(ZOLVARv2_str_funcs[66].string, nullptr);
}

TEST_F(V2, LoaderRegistersTheTableUnderLibrary129) {
  const unsigned long first = ERR_PACK(ZV_TCIF_ERR_LIB, 0, 100);
  const unsigned long last = ERR_PACK(ZV_TCIF_ERR_LIB, 0, 165);
  EXPECT_EQ(ERR_reason_error_string(first), nullptr);
  ERR_load_ZOLVARv2_strings();
  ERR_load_ZOLVARv2_strings();
  ASSERT_NE(ERR_reason_error_string(first), nullptr);
  EXPECT_STREQ(ERR_reason_error_string(first), "PlainEDImessage_NEW");
  EXPECT_STREQ(ERR_reason_error_string(ERR_PACK(ZV_TCIF_ERR_LIB, 0, 152)),
               "d2i_ZvReceiptMessage");
  EXPECT_STREQ(ERR_reason_error_string(last), "i2d_WithDigSig");
}

}  // namespace
