// The Issue 3 message module: the basic EDI and status octets that the client sends,
// the explicit alternatives, the CHOICE decoders' rules (trailing octets left to the
// caller, NULL without an entry when nothing matches, the selector kept when the
// alternative fails), release by selector, and the string table.
#include "tcif/tcif98-006v3a.h"

#include <gtest/gtest.h>

#include <memory>

#include "tests/codec/der_test_util.h"
#include "tests/tcif/tcif_test_util.h"

using dertest::bytes;
using dertest::by_func;
using dertest::cat;
using dertest::describe;
using dertest::drain_errors;
using dertest::spaced;
using dertest::str_bytes;
using dertest::unhex;
using tciftest::set_str;
using tciftest::str_of;

namespace {

class V3a : public dertest::ErrorQueueTest {};

using msg_ptr = dertest::owned<v3_ZvMessage, v3_ZvMessage_free>;

ASN1_STRING *string_of(int type, const bytes &v) {
  ASN1_STRING *s = ASN1_STRING_type_new(type);
  EXPECT_EQ(ASN1_STRING_set(s, v.data(), static_cast<int>(v.size())), 1);
  return s;
}

msg_ptr message(int selector, int type, const bytes &v) {
  msg_ptr m(v3_ZvMessage_new());
  EXPECT_NE(m, nullptr);
  m->tag = selector;
  m->d.ptr = string_of(type, v);
  return m;
}

bytes enc(const v3_ZvMessage *m) { return dertest::encode(i2d_v3_ZvMessage, m); }

TEST_F(V3a, BasicMessageOctets) {
  EXPECT_EQ(spaced(enc(message(22, V_ASN1_IA5STRING, str_bytes("ISA")).get())), "16 03 49 53 41");
  struct row {
    size_t n;
    const char *head;
  };
  for (const row &r : {row{127, "16 7F"}, row{128, "16 81 80"}, row{200, "16 81 C8"},
                       row{1000, "16 82 03 E8"}, row{70000, "16 83 01 11 70"}}) {
    bytes doc(r.n, 'E');
    bytes got = enc(message(V3_ZVMESSAGE_BASIC_MESSAGE2, V_ASN1_IA5STRING, doc).get());
    EXPECT_EQ(got, cat({unhex(r.head), doc})) << r.n;
  }
}

TEST_F(V3a, ExplicitAlternativesAndBasicMessage) {
  EXPECT_EQ(spaced(enc(message(128, V_ASN1_IA5STRING, str_bytes("ISA")).get())),
            "A0 05 16 03 49 53 41");
  EXPECT_EQ(spaced(enc(message(129, V_ASN1_IA5STRING, str_bytes("ISA")).get())),
            "A1 05 16 03 49 53 41");
  for (int sel : {22, 128, 129}) {
    std::unique_ptr<v3_BasicMessage, decltype(&v3_BasicMessage_free)> b(v3_BasicMessage_new(),
                                                                         v3_BasicMessage_free);
    b->tag = sel;
    b->d.ptr = string_of(V_ASN1_IA5STRING, str_bytes("ISA"));
    EXPECT_EQ(dertest::encode(i2d_v3_BasicMessage, b.get()),
              enc(message(sel, V_ASN1_IA5STRING, str_bytes("ISA")).get()))
        << sel;
  }
}

TEST_F(V3a, SelectorsWithoutAnAlternativeWriteNothing) {
  msg_ptr m(v3_ZvMessage_new());
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->tag, -1);
  EXPECT_EQ(m->d.ptr, nullptr);
  for (int sel : {-1, 0, 1, 2, 5, 16, 23, 127, 130, 131}) {
    m->tag = sel;
    EXPECT_EQ(i2d_v3_ZvMessage(m.get(), nullptr), 0) << sel;
  }
  for (int sel : {22, 128, 129, 3, 4}) {
    m->tag = sel;
    EXPECT_EQ(i2d_v3_ZvMessage(m.get(), nullptr), 0) << sel;  // NULL pointer
  }
  unsigned char buf[2] = {0xEE, 0xEE};
  unsigned char *w = buf;
  m->tag = 22;
  EXPECT_EQ(i2d_v3_ZvMessage(m.get(), &w), 0);
  EXPECT_EQ(w, buf);
  EXPECT_EQ(buf[0], 0xEE);
  m->tag = -1;
}

TEST_F(V3a, StatusPatternsAre35Octets) {
  struct row {
    const char *pattern;
    const char *head;
  };
  const row rows[] = {
      {"00000000000000000000000000000000", "03 21 04"},  // TEST
      {"00001000000000000000000000000000", "03 21 04"},  // STOP_WAN
      {"00000000000010000000000000000000", "03 21 04"},  // STOP_OSS
      {"00000000000000000000000100000000", "03 21 04"},  // RESTART
      {"00000000000000001111111100000000", "03 21 04"},  // PING_REQUEST
      {"00000000000000000000000011111111", "03 21 00"},  // PING_RESPONSE
  };
  for (const row &r : rows) {
    bytes got = enc(message(V3_ZVMESSAGE_ZV_STATUS_MESSAGE, V_ASN1_BIT_STRING,
                            str_bytes(r.pattern)).get());
    EXPECT_EQ(spaced(got), spaced(cat({unhex(r.head), str_bytes(r.pattern)}))) << r.pattern;
    EXPECT_EQ(got.size(), 35u);
  }
  // Another text: its own length plus the count octet.
  EXPECT_EQ(spaced(enc(message(3, V_ASN1_BIT_STRING, str_bytes("SHUTDOWN")).get())),
            spaced(cat({unhex("03 09 01"), str_bytes("SHUTDOWN")})));
  EXPECT_EQ(spaced(enc(message(3, V_ASN1_BIT_STRING, str_bytes("STOP")).get())),
            spaced(cat({unhex("03 05 04"), str_bytes("STOP")})));
}

TEST_F(V3a, DecodesEveryAlternativeAndLeavesTrailingOctets) {
  struct row {
    const char *hex;
    int selector;
    std::string value;
    size_t used;
  };
  const row rows[] = {
      {"16 03 49 53 41", 22, "ISA", 5},
      {"36 80 16 01 49 16 02 53 41 00 00", 22, "ISA", 11},  // constructed, masked test
      {"A0 05 16 03 49 53 41", 128, "ISA", 7},
      {"A1 05 16 03 49 53 41 13 00", 129, "ISA", 7},
      {"A0 80 16 03 49 53 41 00 00 FF", 128, "ISA", 9},
      {"03 03 04 30 30", 3, "00", 5},
      {"04 02 30 00 30 00", 4, std::string("0\0", 2), 4},
  };
  for (const row &r : rows) {
    bytes in = unhex(r.hex);
    const unsigned char *p = in.data();
    msg_ptr m(d2i_v3_ZvMessage(nullptr, &p, static_cast<long>(in.size())));
    ASSERT_NE(m, nullptr) << r.hex << describe(drain_errors());
    EXPECT_EQ(m->tag, r.selector) << r.hex;
    EXPECT_EQ(str_of(static_cast<ASN1_STRING *>(m->d.ptr)), r.value) << r.hex;
    EXPECT_EQ(static_cast<size_t>(p - in.data()), r.used) << r.hex;
  }
  // v3_BasicMessage has only the three text alternatives.
  bytes status = unhex("03 03 04 30 30");
  const unsigned char *p = status.data();
  EXPECT_EQ(d2i_v3_BasicMessage(nullptr, &p, 5), nullptr);
  EXPECT_TRUE(drain_errors().empty());
  bytes text = unhex("A1 05 16 03 49 53 41");
  p = text.data();
  v3_BasicMessage *b = d2i_v3_BasicMessage(nullptr, &p, 7);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->tag, 129);
  v3_BasicMessage_free(b);
}

TEST_F(V3a, NothingMatchingIsNullWithoutAnEntry) {
  msg_ptr held = message(22, V_ASN1_IA5STRING, str_bytes("old"));
  for (const char *hex : {"30 00", "13 00", "A2 00", "02 01 00", "05 00"}) {
    bytes in = unhex(hex);
    const unsigned char *p = in.data();
    v3_ZvMessage *none = nullptr;
    EXPECT_EQ(d2i_v3_ZvMessage(&none, &p, static_cast<long>(in.size())), nullptr) << hex;
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(p, in.data());
    v3_ZvMessage *target = held.get();
    EXPECT_EQ(d2i_v3_ZvMessage(&target, &p, static_cast<long>(in.size())), nullptr) << hex;
    EXPECT_EQ(target, held.get());
    EXPECT_EQ(held->tag, -1) << "the former alternative is released first";
    EXPECT_EQ(held->d.ptr, nullptr);
    EXPECT_TRUE(drain_errors().empty()) << hex;
  }
  bytes any = unhex("16 00");
  const unsigned char *p = any.data();
  EXPECT_EQ(d2i_v3_ZvMessage(nullptr, &p, 0), nullptr);
  EXPECT_EQ(d2i_v3_BasicMessage(nullptr, &p, 0), nullptr);
  EXPECT_EQ(p, any.data());
  EXPECT_TRUE(drain_errors().empty());
}

TEST_F(V3a, FailingAlternativeKeepsItsSelector) {
  struct row {
    const char *hex;
    int selector;
    int reason;
  };
  const row rows[] = {
      {"16 05 41", 22, ZV_DER_R_NESTED},
      {"A0 03 04 01 41", 128, ZV_DER_R_NESTED},
      {"A1 85 01", 129, ZV_DER_R_BAD_HEADER},
      {"A0 80 16 01 41 05 00", 128, ZV_DER_R_MISSING_EOS},
      {"A0 04 16 01 41 00", 128, ZV_DER_R_LENGTH_MISMATCH},
      {"04 03 41", 4, ZV_DER_R_NESTED},
  };
  for (const row &r : rows) {
    bytes in = unhex(r.hex);
    const unsigned char *p = in.data();
    EXPECT_EQ(d2i_v3_ZvMessage(nullptr, &p, static_cast<long>(in.size())), nullptr);
    auto q = by_func(drain_errors(), "d2i_v3_ZvMessage");
    ASSERT_EQ(q.size(), 1u) << r.hex;
    EXPECT_EQ(q[0].lib, ZV_DER_LIB);
    EXPECT_EQ(q[0].reason, r.reason) << r.hex;
    EXPECT_EQ(q[0].data, "offset=0") << r.hex;

    msg_ptr held = message(3, V_ASN1_BIT_STRING, str_bytes("1"));
    v3_ZvMessage *target = held.get();
    EXPECT_EQ(d2i_v3_ZvMessage(&target, &p, static_cast<long>(in.size())), nullptr);
    EXPECT_EQ(p, in.data());
    EXPECT_EQ(held->tag, r.selector) << r.hex;
    EXPECT_EQ(held->d.ptr, nullptr);
    EXPECT_EQ(i2d_v3_ZvMessage(held.get(), nullptr), 0);
    ERR_clear_error();
  }
}

TEST_F(V3a, ReleaseBySelector) {
  const struct {
    int selector;
    int type;
  } rows[] = {{22, V_ASN1_IA5STRING}, {128, V_ASN1_IA5STRING}, {129, V_ASN1_IA5STRING},
              {3, V_ASN1_BIT_STRING}, {4, V_ASN1_OCTET_STRING}};
  for (const auto &r : rows) {
    msg_ptr m = message(r.selector, r.type, str_bytes("x"));
    v3_ZvMessage_dfree(m.get());  // the leak checker sees what is not released
    EXPECT_EQ(m->tag, -1);
    EXPECT_EQ(m->d.ptr, nullptr);
  }
  // A selector of no alternative releases nothing.
  ASN1_STRING *mine = string_of(V_ASN1_IA5STRING, str_bytes("mine"));
  msg_ptr m(v3_ZvMessage_new());
  m->tag = 5;
  m->d.ptr = mine;
  v3_ZvMessage_dfree(m.get());
  EXPECT_EQ(m->tag, -1);
  EXPECT_EQ(m->d.ptr, nullptr);
  EXPECT_EQ(str_of(mine), "mine");
  ASN1_STRING_free(mine);
  v3_ZvMessage_dfree(nullptr);
  v3_BasicMessage_dfree(nullptr);
  v3_ZvMessage_free(nullptr);
}

TEST_F(V3a, RoundTripsThroughTheParser) {
  msg_ptr basic = message(22, V_ASN1_IA5STRING, bytes(200, 'I'));
  bytes b = enc(basic.get());
  EXPECT_EQ(tciftest::asn1_shape(b, "v3a_basic"), std::vector<std::string>{"0:IA5STRING:200"});
  msg_ptr status = message(3, V_ASN1_BIT_STRING, str_bytes("00000000000000000000000011111111"));
  bytes s = enc(status.get());
  EXPECT_EQ(tciftest::asn1_shape(s, "v3a_status"), std::vector<std::string>{"0:BIT STRING:33"});
  msg_ptr tagged = message(129, V_ASN1_IA5STRING, str_bytes("ISA"));
  bytes t = enc(tagged.get());
  EXPECT_EQ(tciftest::asn1_shape(t, "v3a_tagged"),
            (std::vector<std::string>{"0:cont [ 1 ]:5", "1:IA5STRING:3"}));
  for (const bytes *in : {&b, &s, &t}) {
    const unsigned char *p = in->data();
    msg_ptr back(d2i_v3_ZvMessage(nullptr, &p, static_cast<long>(in->size())));
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(enc(back.get()), *in);
  }
}

TEST_F(V3a, StringTableAndLoader) {
  const char *want[] = {"v3_ZvMessage_NEW",    "d2i_v3_ZvMessage",    "i2d_v3_ZvMessage",
                        "v3_BasicMessage_NEW", "d2i_v3_BasicMessage", "i2d_v3_BasicMessage"};
  for (int i = 0; i < V3_INTERACTIVE_AGENT_STR_FUNCS_COUNT; ++i) {
    EXPECT_EQ(ERR_GET_LIB(v3__InteractiveAgent_str_funcs[i].error), ZV_TCIF_ERR_LIB);
    EXPECT_EQ(ERR_GET_REASON(v3__InteractiveAgent_str_funcs[i].error), 100 + i);
    EXPECT_STREQ(v3__InteractiveAgent_str_funcs[i].string, want[i]);
  }
  EXPECT_EQ(v3__InteractiveAgent_str_funcs[6].error, 0u);
  EXPECT_EQ(v3__InteractiveAgent_str_funcs[6].string, nullptr);
  for (int i = 0; i < V3_INTERACTIVE_AGENT_TYPE_COUNT; ++i) {
    EXPECT_STREQ(v3__InteractiveAgent_types[i]->new_func, want[3 * i]);
    EXPECT_STREQ(v3__InteractiveAgent_types[i]->d2i_func, want[3 * i + 1]);
  }
  EXPECT_EQ(ERR_reason_error_string(ERR_PACK(ZV_TCIF_ERR_LIB, 0, 103)), nullptr);
  ERR_load_v3__InteractiveAgent_strings();
  ERR_load_v3__InteractiveAgent_strings();
  EXPECT_STREQ(ERR_reason_error_string(ERR_PACK(ZV_TCIF_ERR_LIB, 0, 100)), "v3_ZvMessage_NEW");
  EXPECT_STREQ(ERR_reason_error_string(ERR_PACK(ZV_TCIF_ERR_LIB, 0, 105)),
               "i2d_v3_BasicMessage");
  EXPECT_EQ(ERR_reason_error_string(ERR_PACK(ZV_TCIF_ERR_LIB, 0, 106)), nullptr);
}

}  // namespace
