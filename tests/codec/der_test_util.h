// Helpers shared by the codec tests: octets from hex text and back, the encoder's two
// passes run and compared, the error queue read back, and the independent DER parser
// (`openssl asn1parse`) run over an encoding.
#ifndef ZV_TESTS_CODEC_DER_TEST_UTIL_H
#define ZV_TESTS_CODEC_DER_TEST_UTIL_H

#include <gtest/gtest.h>
#include <openssl/err.h>

#include <cctype>
#include <cstdio>
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
