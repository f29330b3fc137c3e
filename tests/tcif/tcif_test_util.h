// Helpers shared by the TCIF codec tests: records encoded through their descriptions, and
// the shape of an encoding as `openssl asn1parse` sees it (values set from text come from
// dertest).
#ifndef ZV_TESTS_TCIF_TCIF_TEST_UTIL_H
#define ZV_TESTS_TCIF_TCIF_TEST_UTIL_H

#include <gtest/gtest.h>
#include <openssl/asn1.h>
#include <openssl/objects.h>

#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "codec/zv_der.h"
#include "tests/codec/der_test_util.h"

namespace tciftest {

using dertest::bytes;

using dertest::oid_text;
using dertest::set_obj;
using dertest::set_str;
using dertest::str_of;

inline long integer_of(const ASN1_INTEGER *i) { return ASN1_INTEGER_get(i); }

// A record's encoding through its description, both passes checked (see dertest::encode).
inline bytes encode_desc(const zv_der_type *t, const void *rec) {
  return dertest::encode(
      [t](const void *r, unsigned char **pp) { return zv_der_i2d(t, r, pp); }, rec);
}

// The encoding of a record straight from the constructor of type t.
inline bytes fresh_encoding(const zv_der_type *t) {
  void *rec = zv_der_new(t);
  EXPECT_NE(rec, nullptr) << t->name;
  bytes out = encode_desc(t, rec);
  zv_der_free(t, rec);
  return out;
}

// `openssl asn1parse -i` over the octets, as one "depth:kind:length" entry per element
// (kind as the tool names it: SEQUENCE, OBJECT, cont [ 0 ], OCTET STRING, ...). An empty
// result and a message when the tool refuses the input or leaves octets unparsed.
inline std::vector<std::string> asn1_shape(const bytes &der, const std::string &tag) {
  std::string out;
  int rc = dertest::asn1parse(der, &out, tag);
  EXPECT_EQ(rc, 0) << out;
  if (rc != 0) return {};
  static const std::regex line(
      R"(^\s*(\d+):d=(\d+)\s+hl=(\d+)\s+l=\s*(\d+)\s+(cons|prim):\s*(.*?)\s*(:.*)?$)");
  std::vector<std::string> shape;
  std::istringstream in(out);
  std::string text;
  long end = 0;
  while (std::getline(in, text)) {
    std::smatch m;
    if (!std::regex_match(text, m, line)) {
      ADD_FAILURE() << "unexpected asn1parse line: " << text;
      continue;
    }
    long offset = std::stol(m[1]), depth = std::stol(m[2]);
    long hl = std::stol(m[3]), len = std::stol(m[4]);
    if (depth == 0) end = offset + hl + len;
    std::string kind = m[6].str();
    size_t dump = kind.find("[HEX DUMP]");
    if (dump != std::string::npos) kind.erase(kind.find_last_not_of(' ', dump - 1) + 1);
    shape.push_back(m[2].str() + ":" + kind + ":" + m[4].str());
  }
  EXPECT_EQ(end, static_cast<long>(der.size())) << "asn1parse saw another length\n" << out;
  return shape;
}

}  // namespace tciftest

#endif
