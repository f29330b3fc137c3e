// The Issue 3 security module: the 131-octet basic receipt built as the client builds
// it and decoded layer by layer, the cursor rule of i2d_v3_SecureMessage, CHOICE fields
// inside SEQUENCEs, the receipt decoder's rules, the signed branch through the parser,
// and the string table.
#include "tcif/tcif98-006v3b.h"

#include <gtest/gtest.h>
#include <openssl/objects.h>

#include <memory>

#include "tcif/tcif98-006v2.h"
#include "tests/codec/der_test_util.h"
#include "tests/tcif/tcif_test_util.h"

using dertest::bytes;
using dertest::by_func;
using dertest::cat;
using dertest::describe;
using dertest::drain_errors;
using dertest::kIsa;
using dertest::kStamp;
using dertest::spaced;
using dertest::str_bytes;
using dertest::unhex;
using tciftest::set_obj;
using tciftest::set_str;
using tciftest::str_of;

namespace {

class V3b : public dertest::ErrorQueueTest {};

using secure_ptr = dertest::owned<v3_SecureMessage, v3_SecureMessage_free>;

// The basic receipt's security layer, as the client's builder makes it.
secure_ptr receipt_layer(const std::string &isa, const std::string &stamp) {
  secure_ptr sm(v3_SecureMessage_new());
  EXPECT_NE(sm, nullptr);
  v3_ZvReceiptMessage *r = v3_ZvReceiptMessage_new();
  v3_UniqueIdentifier_free(r->uniqueIdentifier);
  r->uniqueIdentifier = v3_UniqueIdentifier_new();
  r->uniqueIdentifier->tag = V3_UNIQUEIDENTIFIER_ISA_SEGMENT;
  r->uniqueIdentifier->d.isaSegment = ASN1_OCTET_STRING_new();
  set_str(r->uniqueIdentifier->d.isaSegment, isa);
  set_str(r->dateTimeStamp, stamp);
  v3_WithDigSig_free(r->enhancements);
  r->enhancements = nullptr;
  sm->tag = V3_SECUREMESSAGE_MESSAGE_RECEIPT;
  sm->d.messageReceipt = r;
  return sm;
}

// i2d_v3_SecureMessage into a buffer of exactly the measured size; its cursor stays.
bytes enc_secure(const v3_SecureMessage *m) {
  int n = i2d_v3_SecureMessage(m, nullptr);
  EXPECT_GE(n, 0);
  if (n <= 0) return {};
  bytes out(static_cast<size_t>(n));
  unsigned char *w = out.data();
  EXPECT_EQ(i2d_v3_SecureMessage(m, &w), n);
  EXPECT_EQ(w, out.data()) << "the cursor of i2d_v3_SecureMessage moved";
  return out;
}

bytes basic_receipt(const std::string &isa, const std::string &stamp) {
  bytes inner = enc_secure(receipt_layer(isa, stamp).get());
  v3_ZvMessage *m = v3_ZvMessage_new();
  m->tag = V3_ZVMESSAGE_ENHANCED_MESSAGE;
  m->d.enhancedMessage = ASN1_OCTET_STRING_new();
  set_str(m->d.enhancedMessage, inner);
  bytes out = dertest::encode(i2d_v3_ZvMessage, m);
  v3_ZvMessage_free(m);
  return out;
}

TEST_F(V3b, BasicReceiptIs131Octets) {
  bytes got = basic_receipt(kIsa, kStamp);
  bytes want = cat({unhex("04 81 80 A2 7E 30 7C 04 69"), str_bytes(kIsa), unhex("13 0F"),
                    str_bytes(kStamp)});
  EXPECT_EQ(got.size(), 131u);
  EXPECT_EQ(spaced(got), spaced(want));
  EXPECT_EQ(tciftest::asn1_shape(got, "v3b_receipt_outer"),
            std::vector<std::string>{"0:OCTET STRING:128"});
  EXPECT_EQ(tciftest::asn1_shape(bytes(got.begin() + 3, got.end()), "v3b_receipt_inner"),
            (std::vector<std::string>{"0:cont [ 2 ]:126", "1:SEQUENCE:124",
                                      "2:OCTET STRING:105", "2:PRINTABLESTRING:15"}));
}

TEST_F(V3b, BasicReceiptDecodesLayerByLayer) {
  bytes in = basic_receipt(kIsa, kStamp);
  const unsigned char *p = in.data();
  v3_ZvMessage *outer = d2i_v3_ZvMessage(nullptr, &p, static_cast<long>(in.size()));
  ASSERT_NE(outer, nullptr) << describe(drain_errors());
  EXPECT_EQ(p, in.data() + in.size());
  ASSERT_EQ(outer->tag, V3_ZVMESSAGE_ENHANCED_MESSAGE);
  const ASN1_OCTET_STRING *octets = outer->d.enhancedMessage;
  ASSERT_EQ(ASN1_STRING_length(octets), 128);

  const unsigned char *q = ASN1_STRING_get0_data(octets);
  secure_ptr sm(d2i_v3_SecureMessage(nullptr, &q, ASN1_STRING_length(octets)));
  ASSERT_NE(sm, nullptr) << describe(drain_errors());
  EXPECT_EQ(q, ASN1_STRING_get0_data(octets) + 128);
  ASSERT_EQ(sm->tag, V3_SECUREMESSAGE_MESSAGE_RECEIPT);
  const v3_ZvReceiptMessage *r = sm->d.messageReceipt;
  ASSERT_EQ(r->uniqueIdentifier->tag, V3_UNIQUEIDENTIFIER_ISA_SEGMENT);
  EXPECT_EQ(str_of(r->uniqueIdentifier->d.isaSegment), kIsa);
  EXPECT_EQ(str_of(r->dateTimeStamp), kStamp);
  EXPECT_EQ(r->enhancements, nullptr);

  // Encoding the decoded layers again gives the same octets.
  bytes inner = enc_secure(sm.get());
  EXPECT_EQ(inner, bytes(in.begin() + 3, in.end()));
  EXPECT_EQ(dertest::encode(i2d_v3_ZvMessage, outer), in);
  v3_ZvMessage_free(outer);
}

TEST_F(V3b, SecureMessageCursorStays) {
  secure_ptr sm = receipt_layer("ISA", "T");
  int n = i2d_v3_SecureMessage(sm.get(), nullptr);
  ASSERT_EQ(n, 12);
  bytes buf(20, 0xEE);
  unsigned char *w = buf.data();
  EXPECT_EQ(i2d_v3_SecureMessage(sm.get(), &w), n);
  bytes first = buf;
  EXPECT_EQ(i2d_v3_SecureMessage(sm.get(), &w), n);
  EXPECT_EQ(w, buf.data());
  EXPECT_EQ(buf, first);
  EXPECT_EQ(spaced(bytes(buf.begin(), buf.begin() + n)), "A2 0A 30 08 04 03 49 53 41 13 01 54");
  EXPECT_EQ(buf[static_cast<size_t>(n)], 0xEE);
  // The other encoders advance.
  w = buf.data();
  EXPECT_EQ(i2d_v3_ZvReceiptMessage(sm->d.messageReceipt, &w), 10);
  EXPECT_EQ(w, buf.data() + 10);
}

TEST_F(V3b, FreshRecordsOfEveryType) {
  const char *want[V3_SECURITY_MODULE_TYPE_COUNT] = {
      "30 02 05 00",                                                // v3_AlgorithmIdentifier
      "",                                                           // v3_SecureMessage
      "30 10 02 00 30 02 02 00 30 02 05 00 30 02 05 00 04 00",      // v3_SignerInfos
      "30 00",                                                      // v3_AlgorithmIdentifierX
      "30 00",                                                      // v3_SignerInfosX
      "30 02 02 00",                                                // v3_SignedMessage
      "30 02 13 00",                                                // v3_IssuerCountry
      "30 00",                                                      // v3_IssuerCountryX
      "30 00",                                                      // v3_IssuerCountryXX
      "30 02 13 00",                                                // v3_IssuerOrg
      "30 00",                                                      // v3_IssuerOrgX
      "30 00",                                                      // v3_IssuerOrgXX
      "30 02 02 00",                                                // v3_IssuerAndSerialNumber
      "30 06 13 00 30 02 04 00",                                    // v3_ZvReceiptMessage
      "",                                                           // v3_UniqueIdentifier
      "30 02 04 00",                                                // v3_WithDigSig
  };
  for (int i = 0; i < V3_SECURITY_MODULE_TYPE_COUNT; ++i)
    EXPECT_EQ(spaced(tciftest::fresh_encoding(v3__SecurityModule_types[i])), want[i])
        << v3__SecurityModule_types[i]->name;
  EXPECT_TRUE(drain_errors().empty());
}

TEST_F(V3b, UniqueIdentifierAlternatives) {
  bytes hash(20);
  for (size_t i = 0; i < hash.size(); ++i) hash[i] = static_cast<unsigned char>(i * 13);
  std::unique_ptr<v3_UniqueIdentifier, decltype(&v3_UniqueIdentifier_free)> u(
      v3_UniqueIdentifier_new(), v3_UniqueIdentifier_free);
  u->d.textHash = ASN1_OCTET_STRING_new();
  set_str(u->d.textHash, hash);
  const struct {
    int selector;
    const char *head;
  } rows[] = {{128, "A0 16 04 14"}, {129, "A1 16 04 14"}, {4, "04 14"}};
  for (const auto &r : rows) {
    u->tag = r.selector;
    EXPECT_EQ(spaced(dertest::encode(i2d_v3_UniqueIdentifier, u.get())),
              spaced(cat({unhex(r.head), hash})));
  }
  v3_UniqueIdentifier_dfree(u.get());
  EXPECT_EQ(u->tag, -1);
  EXPECT_EQ(u->d.ptr, nullptr);

  bytes in = unhex("04 03 41 42 43 13 00");
  const unsigned char *p = in.data();
  v3_UniqueIdentifier *d = d2i_v3_UniqueIdentifier(nullptr, &p, 7);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->tag, 4);
  EXPECT_EQ(str_of(d->d.isaSegment), "ABC");
  EXPECT_EQ(p, in.data() + 5);
  v3_UniqueIdentifier_free(d);
}

TEST_F(V3b, ChoiceDecodersWithNothingToMatch) {
  struct row {
    const zv_der_type *t;
    const char *hex;
    long length;
  };
  const row rows[] = {
      {&v3_SecureMessage_type, "A0 02 30 00", 4},  {&v3_SecureMessage_type, "30 00", 2},
      {&v3_SecureMessage_type, "A3 00", 2},        {&v3_SecureMessage_type, "A2 00", 0},
      {&v3_UniqueIdentifier_type, "13 00", 2},     {&v3_UniqueIdentifier_type, "A2 00", 2},
      {&v3_UniqueIdentifier_type, "04 00", 0},     {&v3_ZvMessage_type, "16 00", 0},
      {&v3_BasicMessage_type, "16 00", 0},
  };
  for (const row &r : rows) {
    bytes in = unhex(r.hex);
    const unsigned char *p = in.data();
    void *out = nullptr;
    EXPECT_EQ(zv_der_d2i(r.t, &out, &p, r.length), nullptr) << r.t->name << " " << r.hex;
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(p, in.data());
    auto q = drain_errors();
    EXPECT_TRUE(q.empty()) << r.t->name << " " << r.hex << describe(q);
  }
}

TEST_F(V3b, ReceiptDecoderRules) {
  const struct {
    const char *name;
    const char *hex;
    int reason;
    long offset;
  } failing[] = {
      {"no unique identifier", "30 02 13 00", ZV_DER_R_NESTED, 2},
      {"stamp followed by no SEQUENCE", "30 07 04 01 41 13 00 05 00", ZV_DER_R_LENGTH_MISMATCH, 7},
      {"bad enhancements", "30 09 04 01 41 13 00 30 02 05 00", ZV_DER_R_NESTED, 7},
  };
  for (const auto &c : failing) {
    bytes in = unhex(c.hex);
    const unsigned char *p = in.data();
    EXPECT_EQ(d2i_v3_ZvReceiptMessage(nullptr, &p, static_cast<long>(in.size())), nullptr)
        << c.name;
    EXPECT_EQ(p, in.data());
    auto q = by_func(drain_errors(), "d2i_v3_ZvReceiptMessage");
    ASSERT_EQ(q.size(), 1u) << c.name;
    EXPECT_EQ(q[0].reason, c.reason) << c.name;
    EXPECT_EQ(q[0].data, "offset=" + std::to_string(c.offset)) << c.name;
  }

  // Enhancements present, and an identifier of each alternative.
  bytes with = unhex("30 0D A1 03 04 01 41 13 00 30 04 06 02 2A 03");
  const unsigned char *p = with.data();
  v3_ZvReceiptMessage *r = d2i_v3_ZvReceiptMessage(nullptr, &p, static_cast<long>(with.size()));
  ASSERT_NE(r, nullptr) << describe(drain_errors());
  EXPECT_EQ(r->uniqueIdentifier->tag, V3_UNIQUEIDENTIFIER_XML_HASH);
  ASSERT_NE(r->enhancements, nullptr);
  EXPECT_EQ(tciftest::oid_text(r->enhancements->receiptSignatureAlgorithm), "1.2.3");
  // Encoded again, the enhancement's empty signature is written as a fresh value.
  EXPECT_EQ(spaced(dertest::encode(i2d_v3_ZvReceiptMessage, r)),
            "30 0F A1 03 04 01 41 13 00 30 06 06 02 2A 03 04 00");

  // Decoding into it again: the enhancement absent this time is released and NULL.
  bytes without = unhex("30 05 04 01 42 13 00");
  p = without.data();
  v3_ZvReceiptMessage *target = r;
  ASSERT_EQ(d2i_v3_ZvReceiptMessage(&target, &p, static_cast<long>(without.size())), r);
  EXPECT_EQ(r->enhancements, nullptr);
  EXPECT_EQ(r->uniqueIdentifier->tag, V3_UNIQUEIDENTIFIER_ISA_SEGMENT);
  EXPECT_EQ(dertest::encode(i2d_v3_ZvReceiptMessage, r), without);
  v3_ZvReceiptMessage_free(r);
}

TEST_F(V3b, IndefiniteMessageReceipt) {
  bytes receipt = unhex("30 07 04 01 41 13 02 5A 5A");
  bytes in = cat({unhex("A2 80"), receipt, unhex("00 00 FF FF")});
  const unsigned char *p = in.data();
  secure_ptr sm(d2i_v3_SecureMessage(nullptr, &p, static_cast<long>(in.size())));
  ASSERT_NE(sm, nullptr) << describe(drain_errors());
  EXPECT_EQ(p, in.data() + 13);
  EXPECT_EQ(str_of(sm->d.messageReceipt->dateTimeStamp), "ZZ");

  bytes bad = cat({unhex("A2 80"), receipt, unhex("05 00")});
  p = bad.data();
  EXPECT_EQ(d2i_v3_SecureMessage(nullptr, &p, static_cast<long>(bad.size())), nullptr);
  EXPECT_EQ(p, bad.data());
  auto q = by_func(drain_errors(), "d2i_v3_SecureMessage");
  ASSERT_EQ(q.size(), 1u);
  EXPECT_EQ(q[0].reason, ZV_DER_R_MISSING_EOS);
  EXPECT_EQ(q[0].data, "offset=0");
}

TEST_F(V3b, DecodingIntoAHeldSecureMessage) {
  secure_ptr sm = receipt_layer(kIsa, kStamp);
  // A new receipt replaces the one held (the leak checker sees the old one released).
  bytes next = unhex("A2 07 30 05 04 01 41 13 00");
  const unsigned char *p = next.data();
  v3_SecureMessage *target = sm.get();
  ASSERT_EQ(d2i_v3_SecureMessage(&target, &p, static_cast<long>(next.size())), sm.get());
  EXPECT_EQ(str_of(sm->d.messageReceipt->uniqueIdentifier->d.isaSegment), "A");

  // Input that fails inside its alternative: the new selector stays, without a record.
  bytes bad = unhex("A1 02 04 00");
  p = bad.data();
  EXPECT_EQ(d2i_v3_SecureMessage(&target, &p, static_cast<long>(bad.size())), nullptr);
  EXPECT_EQ(target, sm.get());
  EXPECT_EQ(sm->tag, V3_SECUREMESSAGE_SIGNED_MESSAGE);
  EXPECT_EQ(sm->d.ptr, nullptr);
  EXPECT_EQ(i2d_v3_SecureMessage(sm.get(), nullptr), 0);
  auto q = drain_errors();
  ASSERT_EQ(by_func(q, "d2i_v3_SecureMessage").size(), 1u) << describe(q);
  EXPECT_EQ(by_func(q, "d2i_v3_SecureMessage")[0].data, "offset=0");
  EXPECT_EQ(by_func(q, "d2i_v3_SignedMessage").size(), 1u) << describe(q);

  // Release by selector.
  v3_SecureMessage_dfree(sm.get());
  EXPECT_EQ(sm->tag, -1);
  sm->tag = V3_SECUREMESSAGE_MESSAGE_RECEIPT;
  sm->d.messageReceipt = v3_ZvReceiptMessage_new();
  v3_SecureMessage_dfree(sm.get());
  EXPECT_EQ(sm->d.ptr, nullptr);
  v3_SecureMessage_dfree(nullptr);
  v3_UniqueIdentifier_dfree(nullptr);
}

// ---------------------------------------------------------------------------------
// The signed branch

v3_AlgorithmIdentifier *algorithm(const char *dotted) {
  v3_AlgorithmIdentifier *a = v3_AlgorithmIdentifier_new();
  set_obj(&a->algorithm, dotted);
  return a;
}

v3_SignerInfos *signer(long version) {
  v3_SignerInfos *s = v3_SignerInfos_new();
  ASN1_INTEGER_set(s->signerVersion, version);
  v3_IssuerCountryX *cx = v3_IssuerCountryX_new();
  v3_IssuerCountry *c = v3_IssuerCountry_new();
  set_obj(&c->country, "2.5.4.6");
  set_str(c->countryValue, std::string("US"));
  sk_v3_IssuerCountry_push(cx->v3_IssuerCountry, c);
  sk_v3_IssuerCountryX_push(s->issuerAndSerialNumber->v3_IssuerCountryX, cx);
  v3_IssuerOrgX *ox = v3_IssuerOrgX_new();
  v3_IssuerOrg *o = v3_IssuerOrg_new();
  set_obj(&o->organizationName, "2.5.4.10");
  set_str(o->organizationValue, std::string("Zolvar"));
  sk_v3_IssuerOrg_push(ox->v3_IssuerOrg, o);
  sk_v3_IssuerOrgX_push(s->issuerAndSerialNumber->v3_IssuerOrgX, ox);
  ASN1_INTEGER_set(s->issuerAndSerialNumber->serialNumber, 0x1234);
  v3_AlgorithmIdentifier_free(s->signedDigestAlgorithm);
  s->signedDigestAlgorithm = algorithm("1.3.14.3.2.26");
  v3_AlgorithmIdentifier_free(s->digestEncryptionAlgorithm);
  s->digestEncryptionAlgorithm = algorithm("1.2.840.113549.1.1.1");
  set_str(s->encryptedDigest, bytes(128, 0xC3));
  return s;
}

v3_SignedMessage *signed_message() {
  v3_SignedMessage *m = v3_SignedMessage_new();
  ASN1_INTEGER_set(m->signedVersion, 1);
  sk_v3_AlgorithmIdentifier_push(m->v3_AlgorithmIdentifier, algorithm("1.3.14.3.2.26"));
  m->signedContent->tag = V3_BASICMESSAGE_BASIC_MESSAGE2;
  m->signedContent->d.basicMessage2 = ASN1_IA5STRING_new();
  set_str(m->signedContent->d.basicMessage2, std::string("ISA"));
  sk_v3_SignerInfos_push(m->v3_SignerInfos, signer(1));
  return m;
}

const std::vector<std::string> kSignedShape = {
    "0:SEQUENCE:231", "1:INTEGER:1", "1:SET:11", "2:SEQUENCE:9", "3:OBJECT:5", "3:NULL:0",
    "1:IA5STRING:3", "1:SET:207", "2:SEQUENCE:204", "3:INTEGER:1", "3:SEQUENCE:42",
    "4:SEQUENCE:15", "5:SEQUENCE:13", "6:SET:11", "7:SEQUENCE:9", "8:OBJECT:3",
    "8:PRINTABLESTRING:2", "4:SEQUENCE:19", "5:SEQUENCE:17", "6:SET:15", "7:SEQUENCE:13",
    "8:OBJECT:3", "8:PRINTABLESTRING:6", "4:INTEGER:2", "3:SEQUENCE:9", "4:OBJECT:5",
    "4:NULL:0", "3:SEQUENCE:13", "4:OBJECT:9", "4:NULL:0", "3:OCTET STRING:128"};

TEST_F(V3b, SignedMessageDecodesWholeAndThroughTheParser) {
  v3_SignedMessage *m = signed_message();
  bytes once = dertest::encode(i2d_v3_SignedMessage, m);
  v3_SignedMessage_free(m);
  EXPECT_EQ(tciftest::asn1_shape(once, "v3b_signed"), kSignedShape);

  const unsigned char *p = once.data();
  v3_SignedMessage *d = d2i_v3_SignedMessage(nullptr, &p, static_cast<long>(once.size()));
  ASSERT_NE(d, nullptr) << describe(drain_errors());
  EXPECT_EQ(p, once.data() + once.size());
  EXPECT_EQ(d->signedContent->tag, V3_BASICMESSAGE_BASIC_MESSAGE2);
  EXPECT_EQ(str_of(d->signedContent->d.basicMessage2), "ISA");
  ASSERT_EQ(sk_v3_SignerInfos_num(d->v3_SignerInfos), 1);
  EXPECT_EQ(sk_v3_AlgorithmIdentifier_num(d->v3_AlgorithmIdentifier), 1);
  EXPECT_EQ(dertest::encode(i2d_v3_SignedMessage, d), once);

  // Wrapped as the signedMessage alternative of a v3_SecureMessage.
  secure_ptr sm(v3_SecureMessage_new());
  sm->tag = V3_SECUREMESSAGE_SIGNED_MESSAGE;
  sm->d.signedMessage = d;
  bytes secure = enc_secure(sm.get());
  EXPECT_EQ(spaced(bytes(secure.begin(), secure.begin() + 6)), "A1 81 EA 30 81 E7");
  std::vector<std::string> wrapped = {"0:cont [ 1 ]:234"};
  for (const std::string &line : kSignedShape) {
    size_t colon = line.find(':');
    wrapped.push_back(std::to_string(std::stoi(line.substr(0, colon)) + 1) + line.substr(colon));
  }
  EXPECT_EQ(tciftest::asn1_shape(secure, "v3b_secure_signed"), wrapped);
  p = secure.data();
  secure_ptr back(d2i_v3_SecureMessage(nullptr, &p, static_cast<long>(secure.size())));
  ASSERT_NE(back, nullptr) << describe(drain_errors());
  EXPECT_EQ(enc_secure(back.get()), secure);
}

TEST_F(V3b, ChoiceFieldsInsideSequences) {
  // The basic message stops after its alternative; the signer infos follow.
  bytes in = unhex(
      "30 1E 02 01 01 A0 05 16 03 49 53 41 31 12 30 10 02 00 30 02 02 00 30 02 05 00 30 02 05 "
      "00 04 00");
  const unsigned char *p = in.data();
  v3_SignedMessage *m = d2i_v3_SignedMessage(nullptr, &p, static_cast<long>(in.size()));
  ASSERT_NE(m, nullptr) << describe(drain_errors());
  EXPECT_EQ(m->signedContent->tag, V3_BASICMESSAGE_BASIC_MESSAGE3);
  EXPECT_EQ(sk_v3_SignerInfos_num(m->v3_SignerInfos), 1);
  EXPECT_EQ(p, in.data() + in.size());
  v3_SignedMessage_free(m);

  // A failing signed content: the CHOICE's entry carries its offset, then the SEQUENCE's.
  bytes bad = unhex("30 06 02 01 01 16 05 41");
  p = bad.data();
  EXPECT_EQ(d2i_v3_SignedMessage(nullptr, &p, static_cast<long>(bad.size())), nullptr);
  auto q = drain_errors();
  auto choice = by_func(q, "d2i_v3_BasicMessage");
  auto seq = by_func(q, "d2i_v3_SignedMessage");
  ASSERT_EQ(choice.size(), 1u) << describe(q);
  ASSERT_EQ(seq.size(), 1u) << describe(q);
  EXPECT_EQ(choice[0].data, "offset=0");
  EXPECT_EQ(seq[0].reason, ZV_DER_R_NESTED);
  EXPECT_EQ(seq[0].data, "offset=5");

  // A signed content that matches no alternative fails the SEQUENCE with 58.
  bad = unhex("30 05 02 01 01 13 00");
  p = bad.data();
  EXPECT_EQ(d2i_v3_SignedMessage(nullptr, &p, static_cast<long>(bad.size())), nullptr);
  q = drain_errors();
  EXPECT_TRUE(by_func(q, "d2i_v3_BasicMessage").empty());
  ASSERT_EQ(by_func(q, "d2i_v3_SignedMessage").size(), 1u);
  EXPECT_EQ(by_func(q, "d2i_v3_SignedMessage")[0].reason, ZV_DER_R_NESTED);
}

TEST_F(V3b, AlgorithmIdentifiersNeedTheirSequence) {
  // Unlike Issue 2, missing algorithms do not take the octets that follow them.
  bytes in = unhex("30 07 02 01 01 04 02 AB CD");
  const unsigned char *p = in.data();
  v3_SignerInfos *s = d2i_v3_SignerInfos(nullptr, &p, static_cast<long>(in.size()));
  ASSERT_NE(s, nullptr) << describe(drain_errors());
  EXPECT_EQ(str_of(s->encryptedDigest), "\xAB\xCD");
  bytes again = dertest::encode(i2d_v3_SignerInfos, s);
  EXPECT_EQ(spaced(again),
            "30 13 02 01 01 30 02 02 00 30 02 05 00 30 02 05 00 04 02 AB CD");
  v3_SignerInfos_free(s);
  p = again.data();
  s = d2i_v3_SignerInfos(nullptr, &p, static_cast<long>(again.size()));
  ASSERT_NE(s, nullptr) << describe(drain_errors());
  v3_SignerInfos_free(s);

  // The AlgorithmIdentifier decoder requires its SEQUENCE header.
  bytes bare = unhex("06 05 2B 0E 03 02 1A 05 00");
  p = bare.data();
  EXPECT_EQ(d2i_v3_AlgorithmIdentifier(nullptr, &p, static_cast<long>(bare.size())), nullptr);
  auto q = by_func(drain_errors(), "d2i_v3_AlgorithmIdentifier");
  ASSERT_EQ(q.size(), 1u);
  EXPECT_EQ(q[0].reason, ZV_DER_R_NOT_SEQUENCE);
}

TEST_F(V3b, EveryTruncationFailsCleanly) {
  bytes receipt = basic_receipt(kIsa, kStamp);
  v3_SignedMessage *m = signed_message();
  secure_ptr sm(v3_SecureMessage_new());
  sm->tag = V3_SECUREMESSAGE_SIGNED_MESSAGE;
  sm->d.signedMessage = m;
  bytes secure = enc_secure(sm.get());
  struct row {
    const zv_der_type *t;
    const bytes *in;
  };
  for (const row &r : {row{&v3_ZvMessage_type, &receipt}, row{&v3_SecureMessage_type, &secure}}) {
    for (size_t n = 0; n < r.in->size(); ++n) {
      bytes cut(r.in->begin(), r.in->begin() + static_cast<long>(n));
      const unsigned char *start = n ? cut.data() : r.in->data();
      const unsigned char *p = start;
      void *d = zv_der_d2i(r.t, nullptr, &p, static_cast<long>(n));
      EXPECT_EQ(d, nullptr) << r.t->name << " length " << n;
      zv_der_free(r.t, d);
      EXPECT_EQ(p, start);
      auto q = drain_errors();
      if (n == 0)
        EXPECT_TRUE(q.empty()) << describe(q);
      else
        EXPECT_FALSE(by_func(q, r.t->d2i_func).empty()) << r.t->name << " length " << n;
    }
  }
}

TEST_F(V3b, SequenceDecoderReasons) {
  const struct {
    const zv_der_type *t;
    const char *hex;
    long length;
    int reason;
    long offset;
  } rows[] = {
      {&v3_WithDigSig_type, "30 04 04 00 05 00", 6, ZV_DER_R_LENGTH_MISMATCH, 4},
      {&v3_IssuerCountry_type, "30 04 02 00 13 00", 6, ZV_DER_R_LENGTH_MISMATCH, 2},
      {&v3_AlgorithmIdentifier_type, "30 02 05 00", 0, ZV_DER_R_BAD_GET_OBJECT, 0},
      {&v3_AlgorithmIdentifierX_type, "30 03 31 01 30", 5, ZV_DER_R_NESTED, 2},
      {&v3_IssuerOrgXX_type, "30 80 30 80 30 02 13 00 00 00", 10, ZV_DER_R_MISSING_EOS, 10},
  };
  for (const auto &r : rows) {
    bytes in = unhex(r.hex);
    const unsigned char *p = in.data();
    EXPECT_EQ(zv_der_d2i(r.t, nullptr, &p, r.length), nullptr) << r.t->name;
    EXPECT_EQ(p, in.data());
    auto q = by_func(drain_errors(), r.t->d2i_func);
    ASSERT_EQ(q.size(), 1u) << r.t->name;
    EXPECT_EQ(q[0].reason, r.reason) << r.t->name << " " << r.hex;
    EXPECT_EQ(q[0].data, "offset=" + std::to_string(r.offset)) << r.t->name << " " << r.hex;
  }
}

// ---------------------------------------------------------------------------------
// Error strings

TEST_F(V3b, StringTableAndLoader) {
  for (int i = 0; i < V3_SECURITY_MODULE_TYPE_COUNT; ++i) {
    const std::string name = v3__SecurityModule_types[i]->name;
    const ERR_STRING_DATA *e = &v3__SecurityModule_str_funcs[3 * i];
    EXPECT_EQ(ERR_GET_REASON(e[0].error), 100 + 3 * i);
    EXPECT_EQ(ERR_GET_REASON(e[2].error), 102 + 3 * i);
    EXPECT_STREQ(e[0].string, (name + "_NEW").c_str());
    EXPECT_STREQ(e[1].string, ("d2i_" + name).c_str());
    EXPECT_STREQ(e[2].string, ("i2d_" + name).c_str());
    EXPECT_STREQ(v3__SecurityModule_types[i]->d2i_func, e[1].string);
  }
  EXPECT_STREQ(v3__SecurityModule_str_funcs[3].string, "v3_SecureMessage_NEW");
  EXPECT_STREQ(v3__SecurityModule_str_funcs[47].string, "i2d_v3_WithDigSig");
  EXPECT_EQ(v3__SecurityModule_str_funcs[48].string, nullptr);

  // Both modules number from 100 under the same library code: the table loaded last
  // supplies the text of a code they share.
  ERR_load_ZOLVARv2_strings();
  EXPECT_STREQ(ERR_reason_error_string(ERR_PACK(ZV_TCIF_ERR_LIB, 0, 104)),
               "d2i_IntegrityEDImessage");
  ERR_load_v3__SecurityModule_strings();
  ERR_load_v3__SecurityModule_strings();
  EXPECT_STREQ(ERR_reason_error_string(ERR_PACK(ZV_TCIF_ERR_LIB, 0, 104)),
               "d2i_v3_SecureMessage");
  EXPECT_STREQ(ERR_reason_error_string(ERR_PACK(ZV_TCIF_ERR_LIB, 0, 145)), "v3_WithDigSig_NEW");
  EXPECT_STREQ(ERR_reason_error_string(ERR_PACK(ZV_TCIF_ERR_LIB, 0, 150)),
               "i2d_ZvStatusMessage");
}

}  // namespace
