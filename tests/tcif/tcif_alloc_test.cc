// Allocation failures in the TCIF codecs: every constructor and two decoders run with
// the k-th allocation of the crypto library failing, for every k. A constructor then
// returns NULL and queues an entry only when the record itself could not be allocated;
// a decoder returns NULL with its cursor unmoved; nothing leaks (the leak checker runs
// at exit in the sanitizer build).
//
// The allocator hooks can only be installed before the crypto library allocates
// anything, so this binary has its own main.
#include <gtest/gtest.h>
#include <openssl/crypto.h>
#include <openssl/objects.h>

#include <atomic>
#include <cstdlib>
#include <utility>
#include <vector>

#include "tcif/tcif98-006v2.h"
#include "tcif/tcif98-006v3a.h"
#include "tcif/tcif98-006v3b.h"
#include "tests/codec/der_test_util.h"

using dertest::by_func;
using dertest::bytes;
using dertest::describe;
using dertest::drain_errors;
using dertest::unhex;

namespace {

bool g_hooked = false;
std::atomic<long> g_allocations_left{-1};  // -1: never fail
std::atomic<long> g_allocations{0};

bool fail_now() {
  ++g_allocations;
  long left = g_allocations_left.load();
  if (left < 0) return false;
  g_allocations_left.store(left - 1);
  return left == 0;
}

void *test_malloc(size_t n, const char *, int) { return fail_now() ? nullptr : malloc(n); }
void *test_realloc(void *p, size_t n, const char *, int) {
  return fail_now() ? nullptr : realloc(p, n);
}
void test_free(void *p, const char *, int) { free(p); }

std::vector<const zv_der_type *> all_types() {
  std::vector<const zv_der_type *> out(ZOLVARv2_types, ZOLVARv2_types + ZOLVARv2_TYPE_COUNT);
  out.insert(out.end(), v3__InteractiveAgent_types,
             v3__InteractiveAgent_types + V3_INTERACTIVE_AGENT_TYPE_COUNT);
  out.insert(out.end(), v3__SecurityModule_types,
             v3__SecurityModule_types + V3_SECURITY_MODULE_TYPE_COUNT);
  return out;
}

class Alloc : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!g_hooked) GTEST_SKIP() << "the crypto library allocated before main";
    ERR_clear_error();
  }
  void TearDown() override { g_allocations_left = -1; }
};

TEST_F(Alloc, ConstructorsFailCleanlyAtEveryAllocation) {
  for (const zv_der_type *t : all_types()) {
    bool made = false;
    for (long k = 0; k < 1000 && !made; ++k) {
      ERR_clear_error();
      g_allocations_left = k;
      void *rec = zv_der_new(t);
      g_allocations_left = -1;
      auto q = by_func(drain_errors(), t->new_func);
      if (rec) {
        made = true;
        EXPECT_TRUE(q.empty()) << t->name;
        // The record and at least one allocation per field failed first.
        EXPECT_GE(k, t->kind == zv_der_kind::choice ? 1 : 2) << t->name;
        zv_der_free(t, rec);
        continue;
      }
      if (k == 0) {
        ASSERT_EQ(q.size(), 1u) << t->name << describe(q);
        EXPECT_EQ(q[0].lib, ZV_DER_LIB);
        EXPECT_EQ(q[0].reason, ZV_DER_R_MALLOC) << t->name;
      } else {
        EXPECT_TRUE(q.empty()) << t->name << " allocation " << k << describe(q);
      }
    }
    EXPECT_TRUE(made) << t->name;
  }
}

// A receipt with an enhancement, a signed Issue 2 message and a signed Issue 3 message.
std::vector<std::pair<const zv_der_type *, bytes>> decodes() {
  return {
      {&ZvReceiptMessage_type,
       unhex("30 1A 06 09 2B 06 01 04 01 9B 78 07 41 A0 0D 30 0B 04 03 49 53 41 13 00 A1 02 30 "
             "00")},
      {&SignedEDImessage_type,
       unhex("30 2B 06 09 2B 06 01 04 01 9B 78 07 05 A0 1E 30 1C 02 01 01 31 0B 30 09 06 05 2B "
             "0E 03 02 1A 05 00 30 04 A0 02 04 00 31 04 30 02 02 00")},
      {&v3_SecureMessage_type,
       unhex("A1 22 30 20 02 01 01 31 04 30 02 05 00 16 01 41 31 12 30 10 02 00 30 02 02 00 30 "
             "02 05 00 30 02 05 00 04 00")},
  };
}

// Runs every operation once without failures, so that the crypto library's own
// one-time set-up (whose failures it tolerates or keeps) is behind the counted runs.
void warm_up() {
  for (const zv_der_type *t : all_types()) zv_der_free(t, zv_der_new(t));
  for (const auto &d : decodes()) {
    const unsigned char *p = d.second.data();
    void *r = zv_der_d2i(d.first, nullptr, &p, static_cast<long>(d.second.size()));
    zv_der_free(d.first, r);
    p = d.second.data();
    zv_der_d2i(d.first, nullptr, &p, 3);  // a failure, with its error data
  }
  ERR_clear_error();
}

void decode_under_failures(const zv_der_type *t, const bytes &in) {
  bool decoded = false;
  for (long k = 0; k < 10000 && !decoded; ++k) {
    const unsigned char *p = in.data();
    g_allocations_left = k;
    void *rec = zv_der_d2i(t, nullptr, &p, static_cast<long>(in.size()));
    g_allocations_left = -1;
    if (rec) {
      decoded = true;
      EXPECT_GT(k, 10) << t->name;
      EXPECT_EQ(p, in.data() + in.size()) << t->name;
      zv_der_free(t, rec);
    } else {
      EXPECT_EQ(p, in.data()) << t->name << " allocation " << k;
      EXPECT_FALSE(by_func(drain_errors(), t->d2i_func).empty()) << t->name << " allocation " << k;
    }
    ERR_clear_error();
  }
  EXPECT_TRUE(decoded) << t->name;
}

TEST_F(Alloc, DecodersFailCleanlyAtEveryAllocation) {
  for (const auto &d : decodes()) decode_under_failures(d.first, d.second);
}

// The envelopes the client builds are encoded straight into the caller's buffer.
TEST_F(Alloc, BasicEnvelopesEncodeWithoutAllocating) {
  PlainEDImessage *plain = PlainEDImessage_new();
  ASN1_OBJECT_free(plain->plainEDImessage);
  plain->plainEDImessage = OBJ_txt2obj("1.3.6.1.4.1.3576.7.1", 1);
  ASN1_OCTET_STRING_set(plain->ediContent, reinterpret_cast<const unsigned char *>("ISA"), 3);
  ZvReceiptMessage *receipt = ZvReceiptMessage_new();
  ASN1_OCTET_STRING_set(receipt->receiptContent->isaSegment,
                        reinterpret_cast<const unsigned char *>("ISA"), 3);
  v3_ZvMessage *status = v3_ZvMessage_new();
  status->tag = V3_ZVMESSAGE_ZV_STATUS_MESSAGE;
  status->d.zvStatusMessage = ASN1_BIT_STRING_new();
  ASN1_BIT_STRING_set(status->d.zvStatusMessage,
                      reinterpret_cast<unsigned char *>(const_cast<char *>("0000")), 4);
  unsigned char buf[256];
  g_allocations = 0;
  unsigned char *w = buf;
  int n = i2d_PlainEDImessage(plain, nullptr) + i2d_PlainEDImessage(plain, &w);
  n += i2d_ZvReceiptMessage(receipt, nullptr) + i2d_ZvReceiptMessage(receipt, &w);
  n += i2d_v3_ZvMessage(status, nullptr) + i2d_v3_ZvMessage(status, &w);
  EXPECT_EQ(g_allocations.load(), 0);
  EXPECT_EQ(n, 2 * static_cast<int>(w - buf));
  PlainEDImessage_free(plain);
  ZvReceiptMessage_free(receipt);
  v3_ZvMessage_free(status);
}

}  // namespace

int main(int argc, char **argv) {
  g_hooked = CRYPTO_set_mem_functions(test_malloc, test_realloc, test_free) == 1;
  warm_up();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
