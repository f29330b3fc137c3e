// The decoders of one TCIF-98-006 module under fuzzing, the module chosen at build time
// by ZV_FUZZ_TYPES / ZV_FUZZ_TYPE_COUNT (the description arrays of tcif/). The first
// input octet picks the type, the rest is its input. The rules: never crash; a failed
// decode leaves the cursor where it was; what decodes re-encodes (both passes agreeing)
// to octets that decode again, completely, and encode to the same octets once more.
//
// One shape is exempt from the round trip, because the family's rules make it lossy: a
// field taken on any first octet (an Issue 2 AlgorithmIdentifier, a CHOICE-typed field)
// that holds its fresh value and so writes nothing, followed by a field that writes
// something. Decoding the re-encoding hands that later field's octets to the earlier
// field. Nor does a record whose AlgorithmIdentifier the crypto library itself does not
// carry through its own encode and decode (an odd parameter it reads but writes
// differently). Such records only have to re-encode without a crash.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include "tcif/tcif98-006v2.h"
#include "tcif/tcif98-006v3a.h"
#include "tcif/tcif98-006v3b.h"

namespace {

[[noreturn]] void broken() { abort(); }

std::vector<unsigned char> encode(const zv_der_type *t, const void *r) {
  int n = zv_der_i2d(t, r, nullptr);
  if (n < 0) broken();
  std::vector<unsigned char> out(static_cast<size_t>(n));
  unsigned char *w = out.data();
  if (n > 0 && (zv_der_i2d(t, r, &w) != n || w != out.data() + n)) broken();
  return out;
}

void *slot(const void *rec, size_t off) {
  void *v;
  memcpy(&v, static_cast<const char *>(rec) + off, sizeof v);
  return v;
}

bool taken_on_any_octet(const zv_der_field &f) {
  if (f.test == zv_der_test::any) return true;
  if (f.test != zv_der_test::derived || f.explicit_tag >= 0 ||
      f.container != zv_der_container::one)
    return false;
  return f.type->kind == zv_der_kind::algor || f.type->kind == zv_der_kind::choice ||
         f.type->kind == zv_der_kind::bare;
}

bool is_record(const zv_der_type *t) {
  return t->kind == zv_der_kind::sequence || t->kind == zv_der_kind::choice ||
         t->kind == zv_der_kind::bare;
}

bool writes_something(const zv_der_field &f, void *v) {
  if (!v) return false;
  if (f.container != zv_der_container::one) return OPENSSL_sk_num(static_cast<OPENSSL_STACK *>(v)) > 0;
  if (f.explicit_tag >= 0) return true;
  return zv_der_i2d(f.type, v, nullptr) > 0;
}

bool algor_survives(const X509_ALGOR *a) {
  unsigned char *der = nullptr;
  int n = i2d_X509_ALGOR(a, &der);
  if (n <= 0) {
    ERR_clear_error();
    return false;
  }
  const unsigned char *p = der;
  X509_ALGOR *back = d2i_X509_ALGOR(nullptr, &p, n);
  bool same = back && X509_ALGOR_cmp(a, back) == 0 && p == der + n;
  X509_ALGOR_free(back);
  OPENSSL_free(der);
  ERR_clear_error();
  return same;
}

bool algors_survive(const zv_der_field &f, void *v) {
  if (!v || f.type->kind != zv_der_kind::algor) return true;
  if (f.container == zv_der_container::one) {
    const ASN1_OBJECT *obj = nullptr;
    X509_ALGOR_get0(&obj, nullptr, nullptr, static_cast<X509_ALGOR *>(v));
    return !obj || OBJ_length(obj) == 0 || algor_survives(static_cast<X509_ALGOR *>(v));
  }
  auto *sk = static_cast<OPENSSL_STACK *>(v);
  for (int j = 0; j < OPENSSL_sk_num(sk); ++j)
    if (!algor_survives(static_cast<X509_ALGOR *>(OPENSSL_sk_value(sk, j)))) return false;
  return true;
}

// True when the record, or one nested in it, has a lossy shape described above.
bool lossy(const zv_der_type *t, const void *rec) {
  if (!rec || !is_record(t)) return false;
  if (t->kind == zv_der_kind::choice) {
    int sel;
    memcpy(&sel, static_cast<const char *>(rec) + t->selector_offset, sizeof sel);
    void *v = slot(rec, t->pointer_offset);
    for (size_t i = 0; i < t->nfields; ++i)
      if (t->fields[i].selector == sel) return lossy(t->fields[i].type, v);
    return false;
  }
  bool gap = false;
  for (size_t i = 0; i < t->nfields; ++i) {
    const zv_der_field &f = t->fields[i];
    void *v = slot(rec, f.offset);
    bool writes = writes_something(f, v);
    if (gap && writes) return true;
    if (!algors_survive(f, v)) return true;
    if (taken_on_any_octet(f) && !writes) gap = true;
    if (!v || !is_record(f.type)) continue;
    if (f.container == zv_der_container::one) {
      if (lossy(f.type, v)) return true;
    } else {
      auto *sk = static_cast<OPENSSL_STACK *>(v);
      for (int j = 0; j < OPENSSL_sk_num(sk); ++j)
        if (lossy(f.type, OPENSSL_sk_value(sk, j))) return true;
    }
  }
  return false;
}

void *decode(const zv_der_type *t, void **a, const unsigned char *in, size_t len,
             const unsigned char **end) {
  static const unsigned char none = 0;
  const unsigned char *p = len ? in : &none;
  const unsigned char *start = p;
  void *r = zv_der_d2i(t, a, &p, static_cast<long>(len));
  if (!r && p != start) broken();
  if (r && (p < start || p > start + len)) broken();
  if (end) *end = p;
  return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  const zv_der_type *t = ZV_FUZZ_TYPES[data[0] % ZV_FUZZ_TYPE_COUNT];
  const unsigned char *in = data + 1;
  const size_t len = size - 1;

  void *r = decode(t, nullptr, in, len, nullptr);
  if (r) {
    std::vector<unsigned char> once = encode(t, r);
    const bool exempt = lossy(t, r);
    const unsigned char *end = nullptr;
    void *again = decode(t, nullptr, once.data(), once.size(), &end);
    if (!exempt) {
      if (!again || end != once.data() + once.size() || encode(t, again) != once) broken();
    } else if (again) {
      encode(t, again);
    }
    zv_der_free(t, again);
    zv_der_free(t, r);
  }

  // The same input into a record that already holds fresh values: it stays the caller's
  // whatever happens.
  void *held = zv_der_new(t);
  if (held) {
    void *target = held;
    void *got = decode(t, &target, in, len, nullptr);
    if (target != held || (got && got != held)) broken();
    encode(t, held);
    zv_der_free(t, held);
  }
  ERR_clear_error();
  return 0;
}
