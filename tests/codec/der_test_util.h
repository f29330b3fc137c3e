// Helpers shared by the codec and TCIF tests: octets from hex text and back, values set
// from text and read back, records owned, the encoder's two passes run and compared, the
// error queue read back, and the independent DER parser (`openssl asn1parse`) run over
// an encoding.
#ifndef ZV_TESTS_CODEC_DER_TEST_UTIL_H
#define ZV_TESTS_CODEC_DER_TEST_UTIL_H

#include <gtest/gtest.h>
#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/objects.h>

#include <cctype>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/zv_test_support.h"

namespace dertest {

using bytes = std::vector<unsigned char>;

// "30 02 31 00" (blanks optional) to octets.
inline bytes unhex(const std::string &text) {
  bytes out;
  int hi = -1;
  for (char ch : text) {
    if (isspace(static_cast<unsigned char>(ch))) continue;
    int v = isdigit(static_cast<unsigned char>(ch)) ? ch - '0' : (tolower(ch) - 'a' + 10);
    if (hi < 0) {
      hi = v;
    } else {
      out.push_back(static_cast<unsigned char>(hi * 16 + v));
      hi = -1;
    }
  }
  return out;
}

inline std::string spaced(const bytes &b) {
  std::string s;
  char buf[4];
  for (size_t i = 0; i < b.size(); ++i) {
    snprintf(buf, sizeof buf, i ? " %02X" : "%02X", b[i]);
    s += buf;
  }
  return s;
}

inline bytes str_bytes(const std::string &s) { return bytes(s.begin(), s.end()); }

inline bytes cat(std::initializer_list<bytes> parts) {
  bytes out;
  for (const auto &p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// The interchange header and time stamp the envelope tests carry.
inline const std::string kIsa =
    "ISA*00*          *00*          *01*123456789      *01*987654321      *020101*1200*U*"
    "00401*000000001*0*P*>";  // 105 characters
inline const std::string kStamp = "20240101120000Z";

// A record released by its own free function.
template <class T, void (*Free)(T *)>
struct free_with {
  void operator()(T *p) const { Free(p); }
};
template <class T, void (*Free)(T *)>
using owned = std::unique_ptr<T, free_with<T, Free>>;

// A test that starts and ends with an empty error queue.
class ErrorQueueTest : public ::testing::Test {
 protected:
  void SetUp() override { ERR_clear_error(); }
  void TearDown() override { ERR_clear_error(); }
};

// Replaces *slot by the object of a name or dotted identifier.
inline void set_obj(ASN1_OBJECT **slot, const char *text) {
  ASN1_OBJECT_free(*slot);
  *slot = OBJ_txt2obj(text, 0);
  ASSERT_NE(*slot, nullptr) << text;
}

inline void set_str(ASN1_STRING *s, const bytes &v) {
  ASSERT_EQ(ASN1_STRING_set(s, v.data(), static_cast<int>(v.size())), 1);
}
inline void set_str(ASN1_STRING *s, const std::string &v) { set_str(s, str_bytes(v)); }

inline std::string str_of(const ASN1_STRING *s) {
  return std::string(reinterpret_cast<const char *>(ASN1_STRING_get0_data(s)),
                     static_cast<size_t>(ASN1_STRING_length(s)));
}

inline std::string oid_text(const ASN1_OBJECT *o) {
  char buf[128];
  OBJ_obj2txt(buf, sizeof buf, o, 1);
  return buf;
}

// Runs an i2d_ function's measuring pass and its writing pass into a buffer of exactly
// the measured size (so a write past it shows under the sanitizer) and checks that the
// two agree and that the cursor moved by the length.
template <class Rec, class Fn>
bytes encode(Fn i2d, Rec *rec) {
  int measured = i2d(rec, nullptr);
  EXPECT_GE(measured, 0);
  if (measured <= 0) return {};
  auto *buf = new unsigned char[measured];
  unsigned char *p = buf;
  int written = i2d(rec, &p);
  EXPECT_EQ(measured, written) << "measuring and writing pass differ";
  EXPECT_EQ(p - buf, written) << "cursor not advanced by the length";
  bytes out(buf, buf + (written > 0 ? written : 0));
  delete[] buf;
  return out;
}

struct queued {
  int lib = 0;
  int reason = 0;
  std::string func;
  std::string data;
};

// Empties the calling thread's error queue, oldest entry first.
inline std::vector<queued> drain_errors() {
  std::vector<queued> out;
  const char *file, *func, *data;
  int line, flags;
  unsigned long e;
  while ((e = ERR_get_error_all(&file, &line, &func, &data, &flags)) != 0) {
    queued q;
    q.lib = ERR_GET_LIB(e);
    q.reason = ERR_GET_REASON(e);
    q.func = func ? func : "";
    q.data = (data && (flags & ERR_TXT_STRING)) ? data : "";
    out.push_back(q);
  }
  return out;
}

// Prints and empties the calling thread's error queue as an operator would see it
// (ERR_print_errors).
inline std::string printed_errors() {
  std::unique_ptr<BIO, int (*)(BIO *)> bio(BIO_new(BIO_s_mem()), BIO_free);
  if (!bio) return "(no BIO)";
  ERR_print_errors(bio.get());
  char *data = nullptr;
  long n = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, n > 0 ? static_cast<size_t>(n) : 0);
}

inline std::string describe(const std::vector<queued> &q) {
  std::string s;
  for (const auto &e : q)
    s += "[lib " + std::to_string(e.lib) + " reason " + std::to_string(e.reason) + " " +
         e.func + " " + e.data + "]";
  return s;
}

// The entries queued with the given function name.
inline std::vector<queued> by_func(const std::vector<queued> &q, const std::string &func) {
  std::vector<queued> out;
  for (const auto &e : q)
    if (e.func == func) out.push_back(e);
  return out;
}

// `openssl asn1parse -inform DER -i` over the octets; returns its exit status and fills
// `out` with what it printed.
inline int asn1parse(const bytes &der, std::string *out, const std::string &tag = "der") {
  std::string dir = zvtest::scratch_dir("asn1parse_" + tag);
  std::string path = dir + "/in.der";
  zvtest::write_file(path, std::string(der.begin(), der.end()));
  return zvtest::shell("openssl asn1parse -inform DER -i -in " + path + " 2>&1", out);
}

}  // namespace dertest

#endif
