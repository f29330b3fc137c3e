// The DER core: writer length forms, reader header forms, SET OF order, the walker's
// two passes, truncated and indefinite input, and the family flags, over small record
// tables made for these tests.
#include "codec/zv_der.h"

#include <gtest/gtest.h>
#include <openssl/objects.h>

#include <memory>

#include "tests/codec/der_test_util.h"

using dertest::bytes;
using dertest::spaced;
using dertest::unhex;

namespace {

// ---------------------------------------------------------------------------------
// Test records. `plain` follows the rules of the system's own family (no field tests,
// empty lists written, lists cleared before a decode); `tested` those of the TCIF family.

const zv_der_family plain_family = {"plain", ZV_DER_F_CHOICE_EMPTY_ABSENT, 104, "no choice\n"};
const zv_der_family tested_family = {
    "tested",
    ZV_DER_F_TEST_FIELDS | ZV_DER_F_SKIP_EMPTY_LISTS | ZV_DER_F_APPEND_LISTS |
        ZV_DER_F_EMPTY_INTEGER,
    0, nullptr};
const zv_der_family tested3_family = {
    "tested3",
    ZV_DER_F_TEST_FIELDS | ZV_DER_F_SKIP_EMPTY_LISTS | ZV_DER_F_APPEND_LISTS |
        ZV_DER_F_EMPTY_INTEGER | ZV_DER_F_CHOICE_KEEP_SELECTOR | ZV_DER_F_CHOICE_OFFSET,
    0, nullptr};

// Bare: an identifier and an optional octet string, no header.
struct pair_rec {
  ASN1_OBJECT *id;
  ASN1_OCTET_STRING *value;
};
const zv_der_field pair_fields[] = {
    ZV_DER_FIELD(pair_rec, id, zv_der_object),
    ZV_DER_FIELD_F(pair_rec, value, zv_der_octet_string, ZV_DER_OPTIONAL),
};
const zv_der_type pair_type =
    ZV_DER_BARE_TYPE(pair_rec, pair_fields, &plain_family, "test_pair_new", "test_d2i_pair");

// SEQUENCE { INTEGER, SET OF pair, [0] EXPLICIT OCTET STRING OPTIONAL }
struct outer_rec {
  ASN1_INTEGER *version;
  OPENSSL_STACK *pairs;
  ASN1_OCTET_STRING *blob;
};
const zv_der_field outer_fields[] = {
    ZV_DER_FIELD(outer_rec, version, zv_der_integer),
    ZV_DER_SET_OF(outer_rec, pairs, pair_type),
    ZV_DER_EXPLICIT(outer_rec, blob, zv_der_octet_string, 0, ZV_DER_OPTIONAL),
};
const zv_der_type outer_type =
    ZV_DER_SEQUENCE_TYPE(outer_rec, outer_fields, &plain_family, "test_outer_new", "test_d2i_outer");

// The TCIF shape: SEQUENCE { OBJECT IDENTIFIER, [0] EXPLICIT OCTET STRING }, field tests.
struct plainmsg_rec {
  ASN1_OBJECT *id;
  ASN1_OCTET_STRING *content;
};
const zv_der_field plainmsg_fields[] = {
    ZV_DER_FIELD(plainmsg_rec, id, zv_der_object),
    ZV_DER_EXPLICIT(plainmsg_rec, content, zv_der_octet_string, 0, 0),
};
const zv_der_type plainmsg_type = ZV_DER_SEQUENCE_TYPE(
    plainmsg_rec, plainmsg_fields, &tested_family, "test_plainmsg_new", "test_d2i_plainmsg");

// SEQUENCE { INTEGER, SEQUENCE OF INTEGER, SET OF INTEGER } with field tests.
struct lists_rec {
  ASN1_INTEGER *n;
  OPENSSL_STACK *seq;
  OPENSSL_STACK *set;
};
const zv_der_field lists_fields[] = {
    ZV_DER_FIELD(lists_rec, n, zv_der_integer),
    ZV_DER_SEQUENCE_OF(lists_rec, seq, zv_der_integer),
    ZV_DER_SET_OF(lists_rec, set, zv_der_integer),
};
const zv_der_type lists_type =
    ZV_DER_SEQUENCE_TYPE(lists_rec, lists_fields, &tested_family, "test_lists_new", "test_d2i_lists");

// CHOICE of OCTET STRING (selector 4) or [1] EXPLICIT IA5String (selector 129).
struct choice_rec {
  int tag;
  union {
    void *ptr;
    ASN1_OCTET_STRING *octets;
    ASN1_IA5STRING *text;
  } d;
};
const zv_der_field choice_alts[] = {
    ZV_DER_ALT("octets", 4, zv_der_octet_string, -1),
    ZV_DER_ALT("text", 129, zv_der_ia5_string, 1),
};
const zv_der_type choice2_type = ZV_DER_CHOICE_TYPE(choice_rec, tag, d, choice_alts,
                                                    &tested_family, "test_choice_new",
                                                    "test_d2i_choice2");
const zv_der_type choice3_type = ZV_DER_CHOICE_TYPE(choice_rec, tag, d, choice_alts,
                                                    &tested3_family, "test_choice_new",
                                                    "test_d2i_choice3");
const zv_der_type choice_plain_type = ZV_DER_CHOICE_TYPE(
    choice_rec, tag, d, choice_alts, &plain_family, "test_choice_new", "test_d2i_choicep");

// SEQUENCE { CHOICE, OCTET STRING OPTIONAL-set-to-NULL } with field tests.
struct holder_rec {
  choice_rec *c;
  ASN1_OCTET_STRING *tail;
};
const zv_der_field holder_fields[] = {
    ZV_DER_FIELD(holder_rec, c, choice2_type),
    ZV_DER_FIELD_F(holder_rec, tail, zv_der_octet_string, ZV_DER_NULL_WHEN_ABSENT),
};
const zv_der_type holder_type = ZV_DER_SEQUENCE_TYPE(holder_rec, holder_fields, &tested_family,
                                                     "test_holder_new", "test_d2i_holder");

bytes encode(const zv_der_type *t, void *rec) {
  return dertest::encode([t](void *r, unsigned char **pp) { return zv_der_i2d(t, r, pp); }, rec);
}

ASN1_OBJECT *oid(const char *text) { return OBJ_txt2obj(text, 1); }

void set_octets(ASN1_STRING *s, const std::string &v) {
  ASN1_STRING_set(s, v.data(), static_cast<int>(v.size()));
}

pair_rec *make_pair(const char *id, const char *value) {
  auto *p = static_cast<pair_rec *>(zv_der_new(&pair_type));
  ASN1_OBJECT_free(p->id);
  p->id = oid(id);
  if (value) {
    set_octets(p->value, value);
  } else {
    ASN1_OCTET_STRING_free(p->value);
    p->value = nullptr;
  }
  return p;
}

struct rec_deleter {
  const zv_der_type *t;
  void operator()(void *r) const { zv_der_free(t, r); }
};
template <class T>
using owned = std::unique_ptr<T, rec_deleter>;
template <class T>
owned<T> make(const zv_der_type *t) {
  return owned<T>(static_cast<T *>(zv_der_new(t)), rec_deleter{t});
}

// Decodes `in` with type t into a new record; checks the cursor on either outcome.
void *decode(const zv_der_type *t, const bytes &in, long length = -1) {
  const unsigned char *p = in.data();
  long len = length < 0 ? static_cast<long>(in.size()) : length;
  void *r = zv_der_d2i(t, nullptr, &p, len);
  if (!r) {
    EXPECT_EQ(p, in.data()) << "cursor moved on failure";
  }
  return r;
}

// ---------------------------------------------------------------------------------
// Writer and reader

TEST(DerWriter, LengthFormsAtTheirBoundaries) {
  struct {
    size_t length;
    const char *header;
  } cases[] = {
      {0, "04 00"},           {1, "04 01"},
      {127, "04 7F"},         {128, "04 81 80"},
      {255, "04 81 FF"},      {256, "04 82 01 00"},
      {65535, "04 82 FF FF"}, {65536, "04 83 01 00 00"},
      {16777215, "04 83 FF FF FF"}, {16777216, "04 84 01 00 00 00"},
  };
  for (const auto &c : cases) {
    bytes want = unhex(c.header);
    EXPECT_EQ(zv_der_header_size(c.length), want.size()) << c.length;
    unsigned char buf[8] = {};
    zv_der_writer w(buf);
    w.put_header(0x04, c.length);
    EXPECT_EQ(spaced(bytes(buf, buf + w.size())), spaced(want)) << c.length;
    zv_der_writer m;
    m.put_header(0x04, c.length);
    EXPECT_EQ(m.size(), w.size());

    zv_der_reader r(buf, static_cast<long>(w.size()));
    zv_der_header h;
    // The content is not there: readable, but too long unless empty.
    zv_der_status st = r.peek_header(&h);
    EXPECT_EQ(st, c.length == 0 ? zv_der_status::ok : zv_der_status::too_long) << c.length;
    EXPECT_EQ(h.length, static_cast<long>(c.length));
    EXPECT_EQ(h.header_length, static_cast<long>(want.size()));
  }
}

TEST(DerReader, HeaderForms) {
  struct {
    const char *in;
    zv_der_status st;
    int tag, cls;
    bool constructed, indefinite;
    long length, header_length;
  } cases[] = {
      {"30 00", zv_der_status::ok, 16, 0, true, false, 0, 2},
      {"30 80 00 00", zv_der_status::ok, 16, 0, true, true, 0, 2},
      {"A0 03 04 01 61", zv_der_status::ok, 0, 0x80, true, false, 3, 2},
      {"81 81 01 61", zv_der_status::ok, 1, 0x80, false, false, 1, 3},  // long form, not minimal
      {"1F 81 00 00", zv_der_status::ok, 128, 0, false, false, 0, 4},  // high tag number
      {"5F 21 00", zv_der_status::ok, 33, 0x40, false, false, 0, 3},
      {"04 80 00 00", zv_der_status::bad_header, 0, 0, false, false, 0, 0},  // primitive indefinite
      {"30 FF", zv_der_status::bad_header, 0, 0, false, false, 0, 0},        // reserved length form
      {"30 82 01", zv_der_status::bad_header, 0, 0, false, false, 0, 0},     // length octets cut short
      {"30", zv_der_status::bad_header, 0, 0, false, false, 0, 0},
      {"", zv_der_status::bad_header, 0, 0, false, false, 0, 0},
      {"1F 81", zv_der_status::bad_header, 0, 0, false, false, 0, 0},        // tag number cut short
      {"30 05 00", zv_der_status::too_long, 16, 0, true, false, 5, 2},
      {"30 88 7F FF FF FF FF FF FF FF", zv_der_status::too_long, 16, 0, true, false, 0, 10},
      {"30 89 01 00 00 00 00 00 00 00 00", zv_der_status::too_long, 16, 0, true, false, 0, 11},
  };
  for (const auto &c : cases) {
    bytes in = unhex(c.in);
    zv_der_reader r(in.data(), static_cast<long>(in.size()));
    zv_der_header h;
    zv_der_status st = r.read_header(&h);
    ASSERT_EQ(st, c.st) << c.in;
    if (st == zv_der_status::ok) {
      EXPECT_EQ(r.remaining(), static_cast<long>(in.size()) - c.header_length) << c.in;
      EXPECT_EQ(h.length, c.length) << c.in;
    } else {
      EXPECT_EQ(r.remaining(), static_cast<long>(in.size())) << "moved on failure: " << c.in;
    }
    if (st != zv_der_status::bad_header) {
      EXPECT_EQ(h.tag, c.tag) << c.in;
      EXPECT_EQ(h.cls, c.cls) << c.in;
      EXPECT_EQ(h.constructed, c.constructed) << c.in;
      EXPECT_EQ(h.indefinite, c.indefinite) << c.in;
      EXPECT_EQ(h.header_length, c.header_length) << c.in;
      if (c.length) {
        EXPECT_EQ(h.length, c.length) << c.in;
      }
    }
  }
}

TEST(DerReader, EndOfContentsAndSkip) {
  bytes in = unhex("00 00 05");
  zv_der_reader r(in.data(), 3);
  EXPECT_TRUE(r.at_eoc());
  EXPECT_TRUE(r.read_eoc());
  EXPECT_FALSE(r.read_eoc());
  EXPECT_EQ(r.peek(), 5);
  EXPECT_FALSE(r.skip(2));
  EXPECT_EQ(r.remaining(), 1);
  EXPECT_TRUE(r.skip(1));
  EXPECT_EQ(r.peek(), -1);
  zv_der_reader one(in.data(), 1);
  EXPECT_FALSE(one.at_eoc());
}

TEST(DerSetOrder, ByteComparisonShorterFirstOnEqualPrefix) {
  bytes a = unhex("06 01 2A"), b = unhex("06 01 2A 04 00"), c = unhex("06 01 2B");
  EXPECT_TRUE(zv_der_set_less(a.data(), a.size(), b.data(), b.size()));
  EXPECT_FALSE(zv_der_set_less(b.data(), b.size(), a.data(), a.size()));
  EXPECT_TRUE(zv_der_set_less(b.data(), b.size(), c.data(), c.size()));
  EXPECT_FALSE(zv_der_set_less(a.data(), a.size(), a.data(), a.size()));
}

// ---------------------------------------------------------------------------------
// The walker, plain family

owned<outer_rec> sample_outer(std::initializer_list<std::pair<const char *, const char *>> pairs,
                              const char *blob) {
  auto r = make<outer_rec>(&outer_type);
  ASN1_INTEGER_set(r->version, 1);
  for (const auto &p : pairs) OPENSSL_sk_push(r->pairs, make_pair(p.first, p.second));
  if (blob) {
    set_octets(r->blob, blob);
  } else {
    ASN1_OCTET_STRING_free(r->blob);
    r->blob = nullptr;
  }
  return r;
}

TEST(DerWalker, SetOfIsSortedWhateverTheListOrder) {
  struct {
    std::initializer_list<std::pair<const char *, const char *>> pairs;
    const char *want;
  } cases[] = {
      {{}, "30 05 02 01 01 31 00"},
      {{{"1.3", nullptr}}, "30 08 02 01 01 31 03 06 01 2B"},
      {{{"1.3", nullptr}, {"1.2", nullptr}}, "30 0B 02 01 01 31 06 06 01 2A 06 01 2B"},
      {{{"1.2", nullptr}, {"1.3", nullptr}}, "30 0B 02 01 01 31 06 06 01 2A 06 01 2B"},
      // A prefix of the other entry sorts first.
      {{{"1.2", "a"}, {"1.2", nullptr}}, "30 0E 02 01 01 31 09 06 01 2A 06 01 2A 04 01 61"},
      {{{"1.2", nullptr}, {"1.2", "a"}}, "30 0E 02 01 01 31 09 06 01 2A 06 01 2A 04 01 61"},
      {{{"1.3", "b"}, {"1.2", "z"}, {"1.2", "a"}},
       "30 17 02 01 01 31 12 06 01 2A 04 01 61 06 01 2A 04 01 7A 06 01 2B 04 01 62"},
  };
  for (const auto &c : cases) {
    auto r = sample_outer(c.pairs, nullptr);
    EXPECT_EQ(spaced(encode(&outer_type, r.get())), spaced(unhex(c.want)));
  }
}

TEST(DerWalker, NullFieldsAndFreshValues) {
  auto r = make<outer_rec>(&outer_type);
  // A fresh INTEGER through the crypto library's encoder, an empty list, an empty [0].
  EXPECT_EQ(spaced(encode(&outer_type, r.get())), "30 09 02 01 00 31 00 A0 02 04 00");
  ASN1_INTEGER_free(r->version);
  r->version = nullptr;
  OPENSSL_sk_free(r->pairs);
  r->pairs = nullptr;
  EXPECT_EQ(spaced(encode(&outer_type, r.get())), "30 04 A0 02 04 00");
  EXPECT_EQ(zv_der_i2d(&outer_type, nullptr, nullptr), 0);
}

TEST(DerWalker, LongLengthsMeasureAndWriteAlike) {
  for (size_t n : {0u, 100u, 120u, 121u, 122u, 250u, 1000u, 70000u}) {
    auto r = sample_outer({{"1.2", "a"}}, nullptr);
    ASN1_OCTET_STRING_free(r->blob);
    r->blob = ASN1_OCTET_STRING_new();
    set_octets(r->blob, std::string(n, 'x'));
    bytes out = encode(&outer_type, r.get());
    size_t blob = zv_der_header_size(n) + n;
    size_t content = 3 + 8 + zv_der_header_size(blob) + blob;
    EXPECT_EQ(out.size(), zv_der_header_size(content) + content) << n;
    void *back = decode(&outer_type, out);
    ASSERT_NE(back, nullptr) << n;
    EXPECT_EQ(encode(&outer_type, back), out) << n;
    zv_der_free(&outer_type, back);
  }
}

TEST(DerWalker, TruncatedInputFailsAtEveryOffset) {
  auto r = sample_outer({{"1.2", "a"}, {"1.3.6.1.4.1.3576.7", "bb"}}, "payload");
  bytes full = encode(&outer_type, r.get());
  for (size_t k = 0; k < full.size(); ++k) {
    // A buffer of exactly k octets, so a read past it shows under the sanitizer.
    std::unique_ptr<unsigned char[]> buf(new unsigned char[k ? k : 1]);
    std::copy(full.begin(), full.begin() + static_cast<long>(k), buf.get());
    const unsigned char *p = buf.get();
    EXPECT_EQ(zv_der_d2i(&outer_type, nullptr, &p, static_cast<long>(k)), nullptr) << k;
    EXPECT_EQ(p, buf.get()) << k;
    auto q = dertest::drain_errors();
    ASSERT_FALSE(q.empty()) << k;
    EXPECT_EQ(q.back().func, "test_d2i_outer") << k;
    EXPECT_EQ(q.back().reason, ZV_DER_R_BAD_GET_OBJECT) << k << dertest::describe(q);
  }
  // With the header's length shortened to match, the member that is cut fails instead;
  // only the cut right before the optional [0] leaves a whole record.
  const size_t before_blob = full.size() - 11;  // A0 09 04 07 "payload"
  for (size_t k = 2; k < full.size(); ++k) {
    bytes cut(full.begin(), full.begin() + static_cast<long>(k));
    cut[1] = static_cast<unsigned char>(k - 2);
    void *v = decode(&outer_type, cut);
    auto q = dertest::drain_errors();
    if (k == before_blob) {
      EXPECT_NE(v, nullptr) << spaced(cut) << dertest::describe(q);
    } else {
      EXPECT_EQ(v, nullptr) << spaced(cut);
      ASSERT_FALSE(q.empty());
      EXPECT_EQ(q.back().func, "test_d2i_outer");
    }
    zv_der_free(&outer_type, v);
  }
}

TEST(DerWalker, IndefiniteForms) {
  struct {
    const char *in;
    int reason;        // 0: decodes
    const char *again; // its encoding, when it decodes
  } cases[] = {
      // Members that are absent keep their fresh values, which show when encoded again.
      {"30 80 02 01 01 31 00 00 00", 0, "30 09 02 01 01 31 00 A0 02 04 00"},
      {"30 80 02 01 01 31 80 06 01 2A 00 00 00 00", 0,
       "30 0E 02 01 01 31 05 06 01 2A 04 00 A0 02 04 00"},
      {"30 80 02 01 01 31 00 A0 80 04 01 61 00 00 00 00", 0, "30 0A 02 01 01 31 00 A0 03 04 01 61"},
      {"30 0C 02 01 01 31 00 A0 80 04 01 61 00 00", 0, "30 0A 02 01 01 31 00 A0 03 04 01 61"},
      {"30 80 02 01 01 31 00", ZV_DER_R_MISSING_EOS, nullptr},
      {"30 80 02 01 01 31 00 00", ZV_DER_R_MISSING_EOS, nullptr},
      {"30 80 02 01 01 31 00 A0 80 04 01 61 00 00", ZV_DER_R_MISSING_EOS, nullptr},
      {"30 80 02 01 01 31 00 A0 80 04 01 61 05 00 00 00", ZV_DER_R_MISSING_EOS, nullptr},
      {"30 80 02 01 01 31 80 06 01 2A 00 00", ZV_DER_R_MISSING_EOS, nullptr},
      {"30 0C 02 01 01 31 00 A0 80 04 01 61 00 01", ZV_DER_R_MISSING_EOS, nullptr},
  };
  for (const auto &c : cases) {
    bytes in = unhex(c.in);
    void *r = decode(&outer_type, in);
    auto q = dertest::drain_errors();
    if (!c.reason) {
      ASSERT_NE(r, nullptr) << c.in << dertest::describe(q);
      EXPECT_EQ(spaced(encode(&outer_type, r)), spaced(unhex(c.again))) << c.in;
      zv_der_free(&outer_type, r);
    } else {
      EXPECT_EQ(r, nullptr) << c.in;
      ASSERT_FALSE(q.empty()) << c.in;
      EXPECT_EQ(q.back().reason, c.reason) << c.in << dertest::describe(q);
    }
  }
}

TEST(DerWalker, DecoderReasonsAndOffsets) {
  struct {
    const char *in;
    bool wrap;  // put a SEQUENCE header of the right length around `in`
    int reason;
    const char *data;
  } cases[] = {
      {"31 00", false, ZV_DER_R_NOT_SEQUENCE, "offset=0"},
      {"30 06 02 01 01 31 00", false, ZV_DER_R_BAD_GET_OBJECT, "offset=0"},
      {"02 01 01", true, ZV_DER_R_NESTED, "offset=5"},                // the SET is missing
      {"02 01 01 31 01 05", true, ZV_DER_R_NESTED, "offset=5"},       // bad SET entry
      {"04 01 01 31 00", true, ZV_DER_R_NESTED, "offset=2"},          // not an INTEGER
      {"02 01 01 31 00 05", true, ZV_DER_R_LENGTH_MISMATCH, "offset=7"},
      {"02 01 01 31 00 A0", true, ZV_DER_R_BAD_HEADER, "offset=7"},
      {"02 01 01 31 00 A0 05 04", true, ZV_DER_R_BAD_HEADER, "offset=7"},
      {"02 01 01 31 00 A0 04 04 01 61 05", true, ZV_DER_R_LENGTH_MISMATCH, "offset=7"},
      {"02 01 01 31 00 A0 00", true, ZV_DER_R_NESTED, "offset=7"},
      // [0] of another form is not the optional member: it is left over.
      {"02 01 01 31 00 80 00", true, ZV_DER_R_LENGTH_MISMATCH, "offset=7"},
  };
  for (const auto &c : cases) {
    bytes in = unhex(c.in);
    if (c.wrap) in = dertest::cat({{0x30, static_cast<unsigned char>(in.size())}, in});
    void *r = decode(&outer_type, in);
    EXPECT_EQ(r, nullptr) << c.in;
    auto q = dertest::drain_errors();
    ASSERT_FALSE(q.empty()) << c.in;
    EXPECT_EQ(q.back().lib, ZV_DER_LIB);
    EXPECT_EQ(q.back().func, "test_d2i_outer") << c.in;
    EXPECT_EQ(q.back().reason, c.reason) << c.in << dertest::describe(q);
    EXPECT_EQ(q.back().data, c.data) << c.in;
  }
  // A length of 0, and no input at all.
  bytes any = unhex("30 00");
  EXPECT_EQ(decode(&outer_type, any, 0), nullptr);
  EXPECT_EQ(dertest::drain_errors().back().reason, ZV_DER_R_BAD_GET_OBJECT);
  EXPECT_EQ(zv_der_d2i(&outer_type, nullptr, nullptr, 5), nullptr);
  EXPECT_EQ(dertest::drain_errors().back().reason, ZV_DER_R_BAD_GET_OBJECT);
}

TEST(DerWalker, CallersRecordKeptOnFailureAndListsCleared) {
  auto r = sample_outer({{"1.2", nullptr}, {"1.3", nullptr}}, "keep");
  outer_rec *mine = r.get();
  bytes good = unhex("30 08 02 01 05 31 03 06 01 2C");
  const unsigned char *p = good.data();
  ASSERT_EQ(zv_der_d2i(&outer_type, reinterpret_cast<void **>(&mine), &p, good.size()), mine);
  EXPECT_EQ(p, good.data() + good.size());
  EXPECT_EQ(OPENSSL_sk_num(mine->pairs), 1);  // cleared, then the one entry appended
  EXPECT_EQ(ASN1_INTEGER_get(mine->version), 5);
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(ASN1_STRING_get0_data(mine->blob))), "keep");

  bytes bad = unhex("30 06 02 01 07 31 00 05");
  p = bad.data();
  EXPECT_EQ(zv_der_d2i(&outer_type, reinterpret_cast<void **>(&mine), &p, bad.size()), nullptr);
  EXPECT_EQ(p, bad.data());
  EXPECT_EQ(mine, r.get());
  EXPECT_EQ(ASN1_INTEGER_get(mine->version), 7);  // partly overwritten, not released
  EXPECT_EQ(OPENSSL_sk_num(mine->pairs), 0);
  dertest::drain_errors();

  // Octets after the element are not looked at.
  bytes trailing = unhex("30 05 02 01 01 31 00 FF FF");
  p = trailing.data();
  outer_rec *fresh = nullptr;
  ASSERT_NE(zv_der_d2i(&outer_type, reinterpret_cast<void **>(&fresh), &p, trailing.size()), nullptr);
  EXPECT_EQ(p, trailing.data() + 7);
  zv_der_free(&outer_type, fresh);
}

TEST(DerWalker, BareRecordTakesOnlyWhatItNeeds) {
  bytes in = unhex("06 01 2A 04 01 61 31 00");
  const unsigned char *p = in.data();
  void *r = zv_der_d2i(&pair_type, nullptr, &p, static_cast<long>(in.size()));
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(p - in.data(), 6);
  zv_der_free(&pair_type, r);
  EXPECT_EQ(decode(&pair_type, unhex("04 01 61")), nullptr);
  auto q = dertest::drain_errors();
  EXPECT_EQ(q.back().func, "test_d2i_pair");
  EXPECT_EQ(q.back().reason, ZV_DER_R_NESTED);
}

// ---------------------------------------------------------------------------------
// The walker, family flags of the TCIF family

TEST(DerFamilyFlags, FreshRecordAndFieldTests) {
  auto r = make<plainmsg_rec>(&plainmsg_type);
  EXPECT_EQ(spaced(encode(&plainmsg_type, r.get())), "30 04 A0 02 04 00");

  // Only the identifier: the content keeps its fresh value and shows again.
  void *d = decode(&plainmsg_type, unhex("30 03 06 01 2A"));
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(spaced(encode(&plainmsg_type, d)), "30 07 06 01 2A A0 02 04 00");
  zv_der_free(&plainmsg_type, d);

  // An element whose first octet matches no field in its place is skipped, then left over.
  EXPECT_EQ(decode(&plainmsg_type, unhex("30 05 06 01 2A 05 00")), nullptr);
  EXPECT_EQ(dertest::drain_errors().back().reason, ZV_DER_R_LENGTH_MISMATCH);
  EXPECT_EQ(decode(&plainmsg_type, unhex("30 05 04 01 2A 05 00")), nullptr);
  EXPECT_EQ(dertest::drain_errors().back().reason, ZV_DER_R_LENGTH_MISMATCH);
  // Class and form of the SEQUENCE header are not examined.
  d = decode(&plainmsg_type, unhex("B0 03 06 01 2A"));
  EXPECT_NE(d, nullptr);
  zv_der_free(&plainmsg_type, d);
}

TEST(DerFamilyFlags, EmptyListsSkippedEmptyIntegerAndAppend) {
  auto r = make<lists_rec>(&lists_type);
  EXPECT_EQ(spaced(encode(&lists_type, r.get())), "30 02 02 00");
  ASN1_INTEGER_set(r->n, 3);
  for (int v : {2, 1}) {
    ASN1_INTEGER *i = ASN1_INTEGER_new();
    ASN1_INTEGER_set(i, v);
    OPENSSL_sk_push(r->seq, i);
    ASN1_INTEGER *j = ASN1_INTEGER_new();
    ASN1_INTEGER_set(j, v);
    OPENSSL_sk_push(r->set, j);
  }
  bytes out = encode(&lists_type, r.get());
  // SEQUENCE OF keeps the list order, SET OF sorts.
  EXPECT_EQ(spaced(out), "30 13 02 01 03 30 06 02 01 02 02 01 01 31 06 02 01 01 02 01 02");

  // 02 00 reads back as a value-less INTEGER.
  void *d = decode(&lists_type, unhex("30 02 02 00"));
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(ASN1_STRING_length(static_cast<lists_rec *>(d)->n), 0);
  zv_der_free(&lists_type, d);

  // Decoding into a record whose lists hold entries appends after them.
  lists_rec *mine = r.get();
  const unsigned char *p = out.data();
  ASSERT_NE(zv_der_d2i(&lists_type, reinterpret_cast<void **>(&mine), &p, out.size()), nullptr);
  EXPECT_EQ(OPENSSL_sk_num(mine->seq), 4);
  EXPECT_EQ(OPENSSL_sk_num(mine->set), 4);
}

TEST(DerFamilyFlags, ChoiceSelectorsAndNoMatch) {
  auto c = make<choice_rec>(&choice2_type);
  EXPECT_EQ(c->tag, -1);
  EXPECT_EQ(zv_der_i2d(&choice2_type, c.get(), nullptr), 0);
  c->tag = 129;
  EXPECT_EQ(zv_der_i2d(&choice2_type, c.get(), nullptr), 0);  // NULL pointer
  c->d.text = ASN1_IA5STRING_new();
  set_octets(c->d.text, "ISA");
  EXPECT_EQ(spaced(encode(&choice2_type, c.get())), "A1 05 16 03 49 53 41");
  c->tag = 7;  // names no alternative: nothing, and the release frees nothing
  EXPECT_EQ(zv_der_i2d(&choice2_type, c.get(), nullptr), 0);
  c->tag = 129;
  zv_der_choice_reset(&choice2_type, c.get());
  EXPECT_EQ(c->tag, -1);
  EXPECT_EQ(c->d.ptr, nullptr);

  // Octets after the alternative are left to the caller.
  bytes in = unhex("04 03 41 42 43 13 00");
  const unsigned char *p = in.data();
  choice_rec *mine = c.get();
  ASSERT_NE(zv_der_d2i(&choice2_type, reinterpret_cast<void **>(&mine), &p, 7), nullptr);
  EXPECT_EQ(mine->tag, 4);
  EXPECT_EQ(p - in.data(), 5);

  // No match, or no octets: NULL, no entry, cursor unmoved, the old alternative gone.
  for (const char *text : {"A0 00", "30 00", ""}) {
    bytes b = unhex(text);
    static const unsigned char none = 0;
    p = b.empty() ? &none : b.data();
    const unsigned char *before = p;
    ASSERT_EQ(zv_der_d2i(&choice2_type, reinterpret_cast<void **>(&mine), &p, b.size()), nullptr);
    EXPECT_EQ(p, before);
    EXPECT_EQ(mine->tag, -1);
    EXPECT_TRUE(dertest::drain_errors().empty()) << text;
  }

  // The matched alternative fails: issue-2 rules reset the selector, issue-3 rules keep
  // it (with a NULL pointer) and note the offset.
  bytes broken = unhex("A1 03 04 01 61");
  p = broken.data();
  EXPECT_EQ(zv_der_d2i(&choice2_type, reinterpret_cast<void **>(&mine), &p, 5), nullptr);
  EXPECT_EQ(mine->tag, -1);
  auto q = dertest::drain_errors();
  EXPECT_EQ(q.back().func, "test_d2i_choice2");
  EXPECT_EQ(q.back().reason, ZV_DER_R_NESTED);
  EXPECT_EQ(q.back().data, "");
  EXPECT_EQ(zv_der_d2i(&choice3_type, reinterpret_cast<void **>(&mine), &p, 5), nullptr);
  EXPECT_EQ(mine->tag, 129);
  EXPECT_EQ(mine->d.ptr, nullptr);
  q = dertest::drain_errors();
  EXPECT_EQ(q.back().func, "test_d2i_choice3");
  EXPECT_EQ(q.back().data, "offset=0");

  // Indefinite explicit alternative; and without its end-of-contents.
  bytes indef = unhex("A1 80 16 01 61 00 00 05 00");
  p = indef.data();
  ASSERT_NE(zv_der_d2i(&choice2_type, reinterpret_cast<void **>(&mine), &p, indef.size()), nullptr);
  EXPECT_EQ(p - indef.data(), 7);
  bytes noeoc = unhex("A1 80 16 01 61 05 00");
  p = noeoc.data();
  EXPECT_EQ(zv_der_d2i(&choice2_type, reinterpret_cast<void **>(&mine), &p, noeoc.size()), nullptr);
  EXPECT_EQ(dertest::drain_errors().back().reason, ZV_DER_R_MISSING_EOS);
}

TEST(DerFamilyFlags, PlainChoiceEmptyIsAbsentUnknownIsReported) {
  bytes none;
  static const unsigned char z = 0;
  const unsigned char *p = &z;
  void *c = zv_der_d2i(&choice_plain_type, nullptr, &p, 0);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(static_cast<choice_rec *>(c)->tag, -1);
  EXPECT_EQ(p, &z);
  bytes bad = unhex("A3 00");
  p = bad.data();
  testing::internal::CaptureStderr();
  EXPECT_EQ(zv_der_d2i(&choice_plain_type, &c, &p, 2), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "no choice\n");
  auto q = dertest::drain_errors();
  EXPECT_EQ(q.back().reason, 104);
  EXPECT_EQ(q.back().data, "");
  zv_der_free(&choice_plain_type, c);
}

TEST(DerFamilyFlags, ChoiceFieldAndNullWhenAbsent) {
  // The CHOICE field is taken on any octet; the tail is released when absent.
  void *h = decode(&holder_type, unhex("30 03 04 01 61"));
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(static_cast<holder_rec *>(h)->tail, nullptr);
  EXPECT_EQ(spaced(encode(&holder_type, h)), "30 03 04 01 61");
  zv_der_free(&holder_type, h);
  // A CHOICE field that matches nothing fails the SEQUENCE with reason 58.
  EXPECT_EQ(decode(&holder_type, unhex("30 02 05 00")), nullptr);
  auto q = dertest::drain_errors();
  EXPECT_EQ(q.back().func, "test_d2i_holder");
  EXPECT_EQ(q.back().reason, ZV_DER_R_NESTED);
}

// No start-up has run in this process: the texts must come with the first entry.
TEST(DerErrors, PrintedQueueReadsAsTheHistoricTexts) {
  ERR_clear_error();
  struct {
    const zv_der_type *type;
    const char *in;
    const char *line;  // the codec's entry as printed, up to its source file
  } cases[] = {
      {&outer_type, "31 00",
       "error:0680003D:asn1 encoding routines:test_d2i_outer:expecting an asn1 sequence:"},
      {&outer_type, "30 06 02 01 01 31 00",
       "error:0680003C:asn1 encoding routines:test_d2i_outer:bad get asn1 object call:"},
      {&outer_type, "30 03 02 01 01",
       "error:0680003A:asn1 encoding routines:test_d2i_outer:nested asn1 error:"},
      {&outer_type, "30 06 02 01 01 31 00 A0",
       "error:0680003B:asn1 encoding routines:test_d2i_outer:bad asn1 object header:"},
      {&outer_type, "30 06 02 01 01 31 00 05",
       "error:0680003E:asn1 encoding routines:test_d2i_outer:asn1 length mismatch:"},
      {&outer_type, "30 80 02 01 01 31 00",
       "error:0680003F:asn1 encoding routines:test_d2i_outer:missing asn1 eos:"},
      {&choice_plain_type, "A3 00",
       "error:06800068:asn1 encoding routines:test_d2i_choicep:bad tag:"},
  };
  for (const auto &c : cases) {
    bytes in = unhex(c.in);
    testing::internal::CaptureStderr();
    void *r = decode(c.type, in);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(r, nullptr) << c.in;
    std::string text = dertest::printed_errors();
    EXPECT_NE(text.find(c.line), std::string::npos) << c.in << "\n" << text;
    EXPECT_EQ(text.find("reason("), std::string::npos) << c.in << "\n" << text;
  }
  zv_der_error("test_new", ZV_DER_R_MALLOC, "here.cc", 1, -1);
  char line[256];
  ERR_error_string_n(ERR_peek_error(), line, sizeof line);
  EXPECT_STREQ(line, "error:06800041:asn1 encoding routines::malloc failure");
  ERR_clear_error();
}

TEST(DerErrors, EntryCarriesFunctionReasonAndOffset) {
  zv_der_error("d2i_something", 62, "here.cc", 12, 40);
  zv_der_error("something_new", 65, "here.cc", 13, -1);
  auto q = dertest::drain_errors();
  ASSERT_EQ(q.size(), 2u);
  EXPECT_EQ(q[0].lib, 13);
  EXPECT_EQ(q[0].reason, 62);
  EXPECT_EQ(q[0].func, "d2i_something");
  EXPECT_EQ(q[0].data, "offset=40");
  EXPECT_EQ(q[1].reason, 65);
  EXPECT_EQ(q[1].data, "");
}

}  // namespace
