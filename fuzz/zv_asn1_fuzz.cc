// One decoder of the system's own envelopes under fuzzing, chosen at build time by
// ZV_FUZZ_TYPE (a record description of codec/zv_asn1.h). The rule: never crash; what
// decodes re-encodes (both passes agreeing) to octets that decode again, into a new
// record and into the first one, and encode to the same octets once more.
//
// An absent OPTIONAL [0] leaves a new record's member at its empty value, whose empty
// identifiers cannot be decoded again; the round trip therefore decodes into a record
// whose OPTIONAL members are NULL, so that what is absent stays absent.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <openssl/err.h>

#include "codec/zv_asn1.h"

namespace {

[[noreturn]] void broken() { abort(); }

std::vector<unsigned char> encode(const zv_der_type *t, const void *r) {
  int n = zv_der_i2d(t, r, nullptr);
  if (n < 0) broken();
  std::vector<unsigned char> out(static_cast<size_t>(n) + 1);
  unsigned char *w = out.data();
  if (zv_der_i2d(t, r, &w) != n || w != out.data() + n) broken();
  out.resize(static_cast<size_t>(n));
  return out;
}

// A new record of type t with its OPTIONAL members released.
void *prepared(const zv_der_type *t) {
  void *rec = zv_der_new(t);
  if (!rec || t->kind == zv_der_kind::choice) return rec;
  for (size_t i = 0; i < t->nfields; ++i) {
    const zv_der_field &f = t->fields[i];
    if (!(f.flags & ZV_DER_OPTIONAL) || f.container != zv_der_container::one) continue;
    void *v;
    memcpy(&v, static_cast<char *>(rec) + f.offset, sizeof v);
    zv_der_free(f.type, v);
    v = nullptr;
    memcpy(static_cast<char *>(rec) + f.offset, &v, sizeof v);
  }
  return rec;
}

// Decodes `in` into a prepared record; NULL when it fails.
void *decode_prepared(const zv_der_type *t, const unsigned char *in, size_t len) {
  static const unsigned char none = 0;
  const unsigned char *q = len ? in : &none;
  void *rec = prepared(t);
  if (!rec) return nullptr;
  if (zv_der_d2i(t, &rec, &q, static_cast<long>(len)) != rec) {
    zv_der_free(t, rec);
    return nullptr;
  }
  return rec;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const zv_der_type *t = &ZV_FUZZ_TYPE;
  const unsigned char *p = data;
  void *r = zv_der_d2i(t, nullptr, &p, static_cast<long>(size));
  if (!r) {
    if (p != data) broken();
  } else {
    if (p < data || p > data + size) broken();
    encode(t, r);
    zv_der_free(t, r);
    r = decode_prepared(t, data, size);
    if (!r) broken();
    std::vector<unsigned char> once = encode(t, r);
    void *again = decode_prepared(t, once.data(), once.size());
    if (!again || encode(t, again) != once) broken();
    static const unsigned char none = 0;
    const unsigned char *q = once.empty() ? &none : once.data();
    if (zv_der_d2i(t, &r, &q, static_cast<long>(once.size())) != r || encode(t, r) != once)
      broken();
    zv_der_free(t, again);
    zv_der_free(t, r);
  }
  ERR_clear_error();
  return 0;
}
