#include "codec/zv_der.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <iterator>
#include <vector>

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/objects.h>

#define DER_ERROR(func, reason, offset) \
  zv_der_error((func), (reason), "codec/zv_der.cc", __LINE__, (offset))

namespace {

struct reason_text {
  int reason;
  const char *text;
};

// The texts OpenSSL 0.9.7 printed for these numbers.
constexpr reason_text kReasonTexts[] = {
    {ZV_DER_R_NESTED, "nested asn1 error"},
    {ZV_DER_R_BAD_HEADER, "bad asn1 object header"},
    {ZV_DER_R_BAD_GET_OBJECT, "bad get asn1 object call"},
    {ZV_DER_R_NOT_SEQUENCE, "expecting an asn1 sequence"},
    {ZV_DER_R_LENGTH_MISMATCH, "asn1 length mismatch"},
    {ZV_DER_R_MISSING_EOS, "missing asn1 eos"},
    {ZV_DER_R_MALLOC, "malloc failure"},
    {ZV_DER_R_UNKNOWN_CHOICE, "bad tag"},
};

// The crypto library keeps pointers to the registered entries for the life of the
// process, so they live in static storage.
ERR_STRING_DATA missing_reason_texts[std::size(kReasonTexts) + 1];

void register_missing_reason_texts() {
  // The library's own texts must be in place first, or every code would look missing.
  OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
  size_t n = 0;
  for (const reason_text &r : kReasonTexts) {
    unsigned long code = ERR_PACK(ZV_DER_LIB, 0, r.reason);
    if (ERR_reason_error_string(code) == nullptr) missing_reason_texts[n++] = {code, r.text};
  }
  missing_reason_texts[n] = {0, nullptr};
  if (n > 0) ERR_load_strings_const(missing_reason_texts);
}

}  // namespace

void zv_der_load_reason_strings() {
  static const bool loaded = (register_missing_reason_texts(), true);
  (void)loaded;
}

void zv_der_error(const char *func, int reason, const char *file, int line, long offset) {
  zv_der_load_reason_strings();
  ERR_new();
  ERR_set_debug(file, line, func);
  if (offset >= 0)
    ERR_set_error(ZV_DER_LIB, reason, "offset=%ld", offset);
  else
    ERR_set_error(ZV_DER_LIB, reason, nullptr);
}

// ---------------------------------------------------------------------------------
// Writer

bool zv_der_set_less(const unsigned char *a, size_t alen, const unsigned char *b,
                     size_t blen) {
  size_t m = alen < blen ? alen : blen;
  int c = m ? memcmp(a, b, m) : 0;
  if (c != 0) return c < 0;
  return alen < blen;
}

void zv_der_writer::put_byte(unsigned char b) {
  if (out_) out_[n_] = b;
  ++n_;
}

void zv_der_writer::put_bytes(const void *data, size_t len) {
  if (out_ && len) memcpy(out_ + n_, data, len);
  n_ += len;
}

void zv_der_writer::put_header(unsigned char identifier, size_t length) {
  put_byte(identifier);
  if (length < 0x80) {
    put_byte(static_cast<unsigned char>(length));
    return;
  }
  size_t k = zv_der_length_size(length) - 1;
  put_byte(static_cast<unsigned char>(0x80 | k));
  for (size_t i = k; i-- > 0;) put_byte(static_cast<unsigned char>(length >> (8 * i)));
}

// ---------------------------------------------------------------------------------
// Reader

zv_der_status zv_der_reader::peek_header(zv_der_header *h) const {
  const unsigned char *p = p_;
  long n = n_;
  if (n < 1) return zv_der_status::bad_header;
  unsigned char id = *p++;
  --n;
  int tag = id & 0x1f;
  if (tag == 0x1f) {
    tag = 0;
    unsigned char b;
    do {
      if (n < 1 || tag > (INT_MAX >> 7)) return zv_der_status::bad_header;
      b = *p++;
      --n;
      tag = (tag << 7) | (b & 0x7f);
    } while (b & 0x80);
  }
  if (n < 1) return zv_der_status::bad_header;
  unsigned char l = *p++;
  --n;
  bool indefinite = false;
  bool huge = false;
  long length = 0;
  if (l < 0x80) {
    length = l;
  } else if (l == 0x80) {
    if (!(id & 0x20)) return zv_der_status::bad_header;
    indefinite = true;
  } else if (l == 0xff) {
    return zv_der_status::bad_header;
  } else {
    long k = l & 0x7f;
    if (k > n) return zv_der_status::bad_header;
    for (long i = 0; i < k; ++i) {
      if (length > (LONG_MAX >> 8)) huge = true;
      length = (length << 8) | *p++;
    }
    n -= k;
  }
  h->identifier = id;
  h->tag = tag;
  h->cls = id & 0xc0;
  h->constructed = (id & 0x20) != 0;
  h->indefinite = indefinite;
  h->length = huge ? LONG_MAX : length;
  h->header_length = static_cast<long>(p - p_);
  if (!indefinite && (huge || length > n)) return zv_der_status::too_long;
  return zv_der_status::ok;
}

zv_der_status zv_der_reader::read_header(zv_der_header *h) {
  zv_der_status st = peek_header(h);
  if (st == zv_der_status::ok) skip(h->header_length);
  return st;
}

bool zv_der_reader::read_eoc() {
  if (!at_eoc()) return false;
  p_ += 2;
  n_ -= 2;
  return true;
}

bool zv_der_reader::skip(long n) {
  if (n < 0 || n > n_) return false;
  p_ += n;
  n_ -= n;
  return true;
}

// ---------------------------------------------------------------------------------
// Universal types

const zv_der_type zv_der_object = {zv_der_kind::object, "OBJECT IDENTIFIER", 0, nullptr, 0,
                                   nullptr, nullptr, nullptr, 0, 0};
const zv_der_type zv_der_integer = {zv_der_kind::integer, "INTEGER", 0, nullptr, 0,
                                    nullptr, nullptr, nullptr, 0, 0};
const zv_der_type zv_der_octet_string = {zv_der_kind::octet_string, "OCTET STRING", 0, nullptr,
                                         0, nullptr, nullptr, nullptr, 0, 0};
const zv_der_type zv_der_bit_string = {zv_der_kind::bit_string, "BIT STRING", 0, nullptr, 0,
                                       nullptr, nullptr, nullptr, 0, 0};
const zv_der_type zv_der_null = {zv_der_kind::null_value, "NULL", 0, nullptr, 0,
                                 nullptr, nullptr, nullptr, 0, 0};
const zv_der_type zv_der_printable_string = {zv_der_kind::printable_string, "PrintableString",
                                             0, nullptr, 0, nullptr, nullptr, nullptr, 0, 0};
const zv_der_type zv_der_ia5_string = {zv_der_kind::ia5_string, "IA5String", 0, nullptr, 0,
                                       nullptr, nullptr, nullptr, 0, 0};
const zv_der_type zv_der_algor = {zv_der_kind::algor, "AlgorithmIdentifier", 0, nullptr, 0,
                                  nullptr, nullptr, nullptr, 0, 0};

namespace {

bool is_universal(zv_der_kind k) {
  return k != zv_der_kind::sequence && k != zv_der_kind::choice && k != zv_der_kind::bare;
}

unsigned family_flags(const zv_der_type *t) { return t->family ? t->family->flags : 0; }

// Record slots are read and written through memcpy: the fields are typed pointers.
void *get_ptr(const void *rec, size_t off) {
  void *v;
  memcpy(&v, static_cast<const char *>(rec) + off, sizeof v);
  return v;
}
void set_ptr(void *rec, size_t off, void *v) {
  memcpy(static_cast<char *>(rec) + off, &v, sizeof v);
}
int get_int(const void *rec, size_t off) {
  int v;
  memcpy(&v, static_cast<const char *>(rec) + off, sizeof v);
  return v;
}
void set_int(void *rec, size_t off, int v) {
  memcpy(static_cast<char *>(rec) + off, &v, sizeof v);
}

OPENSSL_STACK *as_stack(void *v) { return static_cast<OPENSSL_STACK *>(v); }

void *new_value(zv_der_kind k) {
  switch (k) {
    case zv_der_kind::object: return ASN1_OBJECT_new();
    case zv_der_kind::integer: return ASN1_INTEGER_new();
    case zv_der_kind::octet_string: return ASN1_OCTET_STRING_new();
    case zv_der_kind::bit_string: return ASN1_BIT_STRING_new();
    case zv_der_kind::null_value: return ASN1_NULL_new();
    case zv_der_kind::printable_string: return ASN1_PRINTABLESTRING_new();
    case zv_der_kind::ia5_string: return ASN1_IA5STRING_new();
    case zv_der_kind::algor: return X509_ALGOR_new();
    default: return nullptr;
  }
}

void free_value(zv_der_kind k, void *v) {
  switch (k) {
    case zv_der_kind::object: ASN1_OBJECT_free(static_cast<ASN1_OBJECT *>(v)); break;
    case zv_der_kind::integer: ASN1_INTEGER_free(static_cast<ASN1_INTEGER *>(v)); break;
    case zv_der_kind::octet_string:
      ASN1_OCTET_STRING_free(static_cast<ASN1_OCTET_STRING *>(v));
      break;
    case zv_der_kind::bit_string: ASN1_BIT_STRING_free(static_cast<ASN1_BIT_STRING *>(v)); break;
    case zv_der_kind::null_value: ASN1_NULL_free(static_cast<ASN1_NULL *>(v)); break;
    case zv_der_kind::printable_string:
    case zv_der_kind::ia5_string: ASN1_STRING_free(static_cast<ASN1_STRING *>(v)); break;
    case zv_der_kind::algor: X509_ALGOR_free(static_cast<X509_ALGOR *>(v)); break;
    default: break;
  }
}

void free_any(const zv_der_type *t, void *v) {
  if (!v) return;
  if (is_universal(t->kind))
    free_value(t->kind, v);
  else
    zv_der_free(t, v);
}

// Runs a crypto-library encoder in the writer's pass: measuring it asks for the length,
// writing it writes at the cursor. A value the library cannot encode writes nothing.
template <class F>
void put_i2d(zv_der_writer &w, F i2d) {
  unsigned char *p = w.cursor();
  int n = i2d(w.measuring() ? nullptr : &p);
  if (n > 0) w.advance(static_cast<size_t>(n));
}

void put_string(zv_der_writer &w, unsigned char identifier, const ASN1_STRING *s) {
  size_t len = static_cast<size_t>(ASN1_STRING_length(s));
  w.put_header(identifier, len);
  w.put_bytes(ASN1_STRING_get0_data(s), len);
}

void put_value(zv_der_kind k, const void *v, unsigned flags, zv_der_writer &w) {
  switch (k) {
    case zv_der_kind::object: {
      auto *o = static_cast<const ASN1_OBJECT *>(v);
      if (OBJ_length(o) == 0) return;
      put_i2d(w, [o](unsigned char **pp) { return i2d_ASN1_OBJECT(o, pp); });
      return;
    }
    case zv_der_kind::integer: {
      auto *i = static_cast<const ASN1_INTEGER *>(v);
      if ((flags & ZV_DER_F_EMPTY_INTEGER) && ASN1_STRING_length(i) == 0) {
        w.put_byte(V_ASN1_INTEGER);
        w.put_byte(0);
        return;
      }
      put_i2d(w, [i](unsigned char **pp) { return i2d_ASN1_INTEGER(i, pp); });
      return;
    }
    case zv_der_kind::octet_string: {
      auto *s = static_cast<const ASN1_OCTET_STRING *>(v);
      put_i2d(w, [s](unsigned char **pp) { return i2d_ASN1_OCTET_STRING(s, pp); });
      return;
    }
    case zv_der_kind::bit_string: {
      auto *s = static_cast<const ASN1_BIT_STRING *>(v);
      put_i2d(w, [s](unsigned char **pp) { return i2d_ASN1_BIT_STRING(s, pp); });
      return;
    }
    case zv_der_kind::null_value:
      w.put_byte(V_ASN1_NULL);
      w.put_byte(0);
      return;
    case zv_der_kind::printable_string:
      put_string(w, V_ASN1_PRINTABLESTRING, static_cast<const ASN1_STRING *>(v));
      return;
    case zv_der_kind::ia5_string:
      put_string(w, V_ASN1_IA5STRING, static_cast<const ASN1_STRING *>(v));
      return;
    case zv_der_kind::algor: {
      auto *a = static_cast<const X509_ALGOR *>(v);
      const ASN1_OBJECT *obj = nullptr;
      X509_ALGOR_get0(&obj, nullptr, nullptr, a);
      // The library refuses (and queues an error for) an algorithm without content.
      if (!obj || OBJ_length(obj) == 0) return;
      put_i2d(w, [a](unsigned char **pp) { return i2d_X509_ALGOR(a, pp); });
      return;
    }
    default:
      return;
  }
}

void put_record(const zv_der_type *t, const void *rec, zv_der_writer &w);

void put_any(const zv_der_type *t, const void *v, unsigned flags, zv_der_writer &w) {
  if (!v) return;
  if (is_universal(t->kind))
    put_value(t->kind, v, flags, w);
  else
    put_record(t, v, w);
}

size_t measure_any(const zv_der_type *t, const void *v, unsigned flags) {
  zv_der_writer m;
  put_any(t, v, flags, m);
  return m.size();
}

void put_list(const zv_der_field &f, OPENSSL_STACK *sk, unsigned flags, zv_der_writer &w) {
  const unsigned char id = f.container == zv_der_container::set_of ? 0x31 : 0x30;
  const int n = OPENSSL_sk_num(sk);
  size_t content = 0;
  for (int i = 0; i < n; ++i) content += measure_any(f.type, OPENSSL_sk_value(sk, i), flags);
  w.put_header(id, content);
  if (w.measuring()) {
    w.advance(content);
    return;
  }
  if (f.container == zv_der_container::set_of && n >= 2) {
    std::vector<std::vector<unsigned char>> enc;
    enc.reserve(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
      const void *e = OPENSSL_sk_value(sk, i);
      std::vector<unsigned char> buf(measure_any(f.type, e, flags));
      zv_der_writer ew(buf.data());
      put_any(f.type, e, flags, ew);
      enc.push_back(std::move(buf));
    }
    std::stable_sort(enc.begin(), enc.end(), [](const auto &a, const auto &b) {
      return zv_der_set_less(a.data(), a.size(), b.data(), b.size());
    });
    for (const auto &e : enc) w.put_bytes(e.data(), e.size());
    return;
  }
  for (int i = 0; i < n; ++i) put_any(f.type, OPENSSL_sk_value(sk, i), flags, w);
}

// One field's value, or a CHOICE's alternative, held at `v` (not null).
void put_member(const zv_der_field &f, void *v, unsigned flags, zv_der_writer &w) {
  const bool list = f.container != zv_der_container::one;
  if (list && (flags & ZV_DER_F_SKIP_EMPTY_LISTS) && OPENSSL_sk_num(as_stack(v)) <= 0) return;
  auto inner = [&](zv_der_writer &iw) {
    if (list)
      put_list(f, as_stack(v), flags, iw);
    else
      put_any(f.type, v, flags, iw);
  };
  if (f.explicit_tag < 0) {
    inner(w);
    return;
  }
  zv_der_writer m;
  inner(m);
  w.put_header(static_cast<unsigned char>(0xA0 | f.explicit_tag), m.size());
  if (w.measuring())
    w.advance(m.size());
  else
    inner(w);
}

const zv_der_field *find_alternative(const zv_der_type *t, int selector) {
  for (size_t i = 0; i < t->nfields; ++i)
    if (t->fields[i].selector == selector) return &t->fields[i];
  return nullptr;
}

void put_record(const zv_der_type *t, const void *rec, zv_der_writer &w) {
  const unsigned flags = family_flags(t);
  switch (t->kind) {
    case zv_der_kind::sequence: {
      zv_der_writer m;
      for (size_t i = 0; i < t->nfields; ++i) {
        void *v = get_ptr(rec, t->fields[i].offset);
        if (v) put_member(t->fields[i], v, flags, m);
      }
      w.put_header(0x30, m.size());
      if (w.measuring()) {
        w.advance(m.size());
        return;
      }
      for (size_t i = 0; i < t->nfields; ++i) {
        void *v = get_ptr(rec, t->fields[i].offset);
        if (v) put_member(t->fields[i], v, flags, w);
      }
      return;
    }
    case zv_der_kind::bare:
      for (size_t i = 0; i < t->nfields; ++i) {
        void *v = get_ptr(rec, t->fields[i].offset);
        if (v) put_member(t->fields[i], v, flags, w);
      }
      return;
    case zv_der_kind::choice: {
      int sel = get_int(rec, t->selector_offset);
      if (sel == -1) return;
      const zv_der_field *alt = find_alternative(t, sel);
      void *v = get_ptr(rec, t->pointer_offset);
      if (alt && v) put_member(*alt, v, flags, w);
      return;
    }
    default:
      return;
  }
}

// ---------------------------------------------------------------------------------
// Decoding

// The first-octet test of a field (see zv_der_test).
bool passes(const zv_der_field &f, int octet) {
  if (octet < 0) return false;
  zv_der_test test = f.test;
  int want = f.test_octet;
  if (test == zv_der_test::derived) {
    if (f.explicit_tag >= 0) {
      test = zv_der_test::exact;
      want = 0xA0 | f.explicit_tag;
    } else if (f.container == zv_der_container::set_of) {
      test = zv_der_test::exact;
      want = 0x31;
    } else if (f.container == zv_der_container::sequence_of) {
      test = zv_der_test::exact;
      want = 0x30;
    } else {
      test = zv_der_test::masked;
      switch (f.type->kind) {
        case zv_der_kind::object: want = V_ASN1_OBJECT; break;
        case zv_der_kind::integer: want = V_ASN1_INTEGER; break;
        case zv_der_kind::octet_string: want = V_ASN1_OCTET_STRING; break;
        case zv_der_kind::bit_string: want = V_ASN1_BIT_STRING; break;
        case zv_der_kind::null_value: want = V_ASN1_NULL; break;
        case zv_der_kind::printable_string: want = V_ASN1_PRINTABLESTRING; break;
        case zv_der_kind::ia5_string: want = V_ASN1_IA5STRING; break;
        case zv_der_kind::sequence: want = V_ASN1_SEQUENCE; break;
        default: test = zv_der_test::any; break;
      }
    }
  }
  switch (test) {
    case zv_der_test::any: return true;
    case zv_der_test::masked: return (octet & ~0x20) == want;
    default: return octet == want;
  }
}

// Decodes one universal value from `len` octets at p; *used receives what it took.
void *d2i_value(zv_der_kind k, const unsigned char *p, long len, unsigned flags, long *used) {
  if (!p || len <= 0) return nullptr;
  const unsigned char *q = p;
  void *v = nullptr;
  switch (k) {
    case zv_der_kind::object: v = d2i_ASN1_OBJECT(nullptr, &q, len); break;
    case zv_der_kind::integer:
      if ((flags & ZV_DER_F_EMPTY_INTEGER) && len >= 2 && p[0] == V_ASN1_INTEGER && p[1] == 0) {
        v = ASN1_INTEGER_new();
        q = p + 2;
      } else {
        v = d2i_ASN1_INTEGER(nullptr, &q, len);
      }
      break;
    case zv_der_kind::octet_string: v = d2i_ASN1_OCTET_STRING(nullptr, &q, len); break;
    case zv_der_kind::bit_string: v = d2i_ASN1_BIT_STRING(nullptr, &q, len); break;
    case zv_der_kind::null_value: v = d2i_ASN1_NULL(nullptr, &q, len); break;
    case zv_der_kind::printable_string: v = d2i_ASN1_PRINTABLESTRING(nullptr, &q, len); break;
    case zv_der_kind::ia5_string: v = d2i_ASN1_IA5STRING(nullptr, &q, len); break;
    case zv_der_kind::algor: v = d2i_X509_ALGOR(nullptr, &q, len); break;
    default: break;
  }
  if (v) *used = static_cast<long>(q - p);
  return v;
}

// Decodes one value of type t (universal or record) from `in`: a universal value into a
// temporary that replaces *slot on success, a record into the record *slot holds (or a
// new one). False on failure; *used receives the octets taken.
bool decode_one(const zv_der_type *t, void **slot, const zv_der_reader &in, unsigned flags,
                long *used) {
  if (is_universal(t->kind)) {
    void *v = d2i_value(t->kind, in.data(), in.remaining(), flags, used);
    if (!v) return false;
    free_value(t->kind, *slot);
    *slot = v;
    return true;
  }
  const unsigned char *p = in.data();
  if (!zv_der_d2i(t, slot, &p, in.remaining())) return false;
  *used = static_cast<long>(p - in.data());
  return true;
}

bool decode_list(const zv_der_field &f, void *rec, size_t off, const zv_der_reader &in,
                 unsigned flags, long *used) {
  OPENSSL_STACK *sk = as_stack(get_ptr(rec, off));
  if (sk && !(flags & ZV_DER_F_APPEND_LISTS)) {
    while (OPENSSL_sk_num(sk) > 0) free_any(f.type, OPENSSL_sk_pop(sk));
  }
  zv_der_reader r = in;
  zv_der_header h;
  if (r.read_header(&h) != zv_der_status::ok) return false;
  const int want = f.container == zv_der_container::set_of ? V_ASN1_SET : V_ASN1_SEQUENCE;
  if (h.cls != ZV_DER_UNIVERSAL || h.tag != want || !h.constructed) return false;
  if (!sk) {
    sk = OPENSSL_sk_new_null();
    if (!sk) return false;
    set_ptr(rec, off, sk);
  }
  zv_der_reader body = h.indefinite ? r : r.first(h.length);
  for (;;) {
    if (h.indefinite) {
      if (body.read_eoc()) break;
      if (body.empty()) return false;
    } else if (body.empty()) {
      break;
    }
    void *e = nullptr;
    long n = 0;
    if (!decode_one(f.type, &e, body, flags, &n) || n <= 0) {
      free_any(f.type, e);
      return false;
    }
    if (!OPENSSL_sk_push(sk, e)) {
      free_any(f.type, e);
      return false;
    }
    body.skip(n);
  }
  *used = h.header_length + (h.indefinite ? static_cast<long>(body.data() - r.data()) : h.length);
  return true;
}

// Decodes field or alternative f from `avail` octets of `c` into the slot at `off`, with
// its [n] EXPLICIT wrapper when it has one. Returns 0 or a reason; *used receives the
// octets taken.
int decode_member(const zv_der_field &f, void *rec, size_t off, const zv_der_reader &v,
                  unsigned flags, long *used) {
  auto inner = [&](const zv_der_reader &in, long *n) {
    if (f.container != zv_der_container::one) return decode_list(f, rec, off, in, flags, n);
    void *slot = get_ptr(rec, off);
    bool ok = decode_one(f.type, &slot, in, flags, n);
    set_ptr(rec, off, slot);
    return ok;
  };
  if (f.explicit_tag < 0) return inner(v, used) ? 0 : ZV_DER_R_NESTED;

  zv_der_reader r = v;
  zv_der_header h;
  if (r.read_header(&h) != zv_der_status::ok) return ZV_DER_R_BAD_HEADER;
  if (h.identifier != (0xA0 | f.explicit_tag)) return ZV_DER_R_BAD_HEADER;
  long n = 0;
  if (!h.indefinite) {
    if (!inner(r.first(h.length), &n)) return ZV_DER_R_NESTED;
    // The wrapper holds exactly its member; octets after it inside are refused.
    if (n != h.length) return ZV_DER_R_LENGTH_MISMATCH;
    *used = h.header_length + h.length;
    return 0;
  }
  long limit = r.remaining() - 2;
  if (!inner(r.first(limit < 0 ? 0 : limit), &n)) return ZV_DER_R_NESTED;
  r.skip(n);
  if (!r.read_eoc()) return ZV_DER_R_MISSING_EOS;
  *used = h.header_length + n + 2;
  return 0;
}

// Decodes the fields of a SEQUENCE or bare record from c. Returns 0 or a reason with
// *where the offset (from base) of the field that failed.
int decode_fields(const zv_der_type *t, void *rec, zv_der_reader &c, bool indefinite,
                  const unsigned char *base, long *where) {
  const unsigned flags = family_flags(t);
  for (size_t i = 0; i < t->nfields; ++i) {
    const zv_der_field &f = t->fields[i];
    *where = static_cast<long>(c.data() - base);
    // In an indefinite SEQUENCE the end-of-contents is not content.
    long avail = indefinite && c.at_eoc() ? 0 : c.remaining();
    bool tested = (flags & ZV_DER_F_TEST_FIELDS) || (f.flags & ZV_DER_OPTIONAL);
    bool take = !tested || (avail > 0 && passes(f, c.peek()));
    if (!take) {
      if (f.flags & ZV_DER_NULL_WHEN_ABSENT) {
        void *v = get_ptr(rec, f.offset);
        if (f.container != zv_der_container::one) {
          OPENSSL_STACK *sk = as_stack(v);
          while (sk && OPENSSL_sk_num(sk) > 0) free_any(f.type, OPENSSL_sk_pop(sk));
          OPENSSL_sk_free(sk);
        } else {
          free_any(f.type, v);
        }
        set_ptr(rec, f.offset, nullptr);
      }
      continue;
    }
    long used = 0;
    int reason = decode_member(f, rec, f.offset, c.first(avail), flags, &used);
    if (reason) return reason;
    c.skip(used);
  }
  return 0;
}

void *target(const zv_der_type *t, void **a, bool *mine) {
  *mine = !(a && *a);
  return *mine ? zv_der_new(t) : *a;
}

void *d2i_sequence(const zv_der_type *t, void **a, const unsigned char **pp, long length) {
  bool mine;
  void *rec = target(t, a, &mine);
  if (!rec) {
    DER_ERROR(t->d2i_func, ZV_DER_R_NESTED, 0);
    return nullptr;
  }
  const unsigned char *base = *pp;
  zv_der_reader in(base, length);
  zv_der_header h;
  long where = 0;
  int reason = 0;
  const unsigned char *end = nullptr;
  if (in.read_header(&h) != zv_der_status::ok) {
    reason = ZV_DER_R_BAD_GET_OBJECT;
  } else if (h.tag != V_ASN1_SEQUENCE) {
    reason = ZV_DER_R_NOT_SEQUENCE;
  } else {
    zv_der_reader c = h.indefinite ? in : in.first(h.length);
    reason = decode_fields(t, rec, c, h.indefinite, base, &where);
    if (!reason) {
      where = static_cast<long>(c.data() - base);
      if (h.indefinite ? !c.read_eoc() : !c.empty())
        reason = h.indefinite ? ZV_DER_R_MISSING_EOS : ZV_DER_R_LENGTH_MISMATCH;
      end = c.data();
    }
  }
  if (reason) {
    DER_ERROR(t->d2i_func, reason, where);
    if (mine) zv_der_free(t, rec);
    return nullptr;
  }
  *pp = end;
  if (a) *a = rec;
  return rec;
}

void *d2i_bare(const zv_der_type *t, void **a, const unsigned char **pp, long length) {
  bool mine;
  void *rec = target(t, a, &mine);
  if (!rec) {
    DER_ERROR(t->d2i_func, ZV_DER_R_NESTED, 0);
    return nullptr;
  }
  zv_der_reader c(*pp, length);
  long where = 0;
  int reason = decode_fields(t, rec, c, false, *pp, &where);
  if (reason) {
    DER_ERROR(t->d2i_func, reason, where);
    if (mine) zv_der_free(t, rec);
    return nullptr;
  }
  *pp = c.data();
  if (a) *a = rec;
  return rec;
}

void *d2i_choice(const zv_der_type *t, void **a, const unsigned char **pp, long length) {
  const zv_der_family *fam = t->family;
  const unsigned flags = family_flags(t);
  auto note = [flags](long off) { return (flags & ZV_DER_F_CHOICE_OFFSET) ? off : -1L; };
  bool mine;
  void *rec = target(t, a, &mine);
  if (!rec) {
    DER_ERROR(t->d2i_func, ZV_DER_R_NESTED, note(0));
    return nullptr;
  }
  zv_der_choice_reset(t, rec);
  zv_der_reader in(*pp, length);
  if (in.empty()) {
    if (flags & ZV_DER_F_CHOICE_EMPTY_ABSENT) {
      if (a) *a = rec;
      return rec;
    }
    if (mine) zv_der_free(t, rec);
    return nullptr;
  }
  const zv_der_field *alt = nullptr;
  for (size_t i = 0; i < t->nfields && !alt; ++i)
    if (passes(t->fields[i], in.peek())) alt = &t->fields[i];
  if (!alt) {
    if (fam && fam->choice_unknown_reason) {
      if (fam->choice_unknown_message) fputs(fam->choice_unknown_message, stderr);
      DER_ERROR(t->d2i_func, fam->choice_unknown_reason, note(0));
    }
    if (mine) zv_der_free(t, rec);
    return nullptr;
  }
  long used = 0;
  int reason = decode_member(*alt, rec, t->pointer_offset, in, flags, &used);
  if (reason) {
    free_any(alt->type, get_ptr(rec, t->pointer_offset));
    set_ptr(rec, t->pointer_offset, nullptr);
    set_int(rec, t->selector_offset, (flags & ZV_DER_F_CHOICE_KEEP_SELECTOR) ? alt->selector : -1);
    DER_ERROR(t->d2i_func, reason, note(0));
    if (mine) zv_der_free(t, rec);
    return nullptr;
  }
  set_int(rec, t->selector_offset, alt->selector);
  *pp += used;
  if (a) *a = rec;
  return rec;
}

}  // namespace

// ---------------------------------------------------------------------------------
// The walker's public operations

void *zv_der_new(const zv_der_type *t) {
  if (is_universal(t->kind)) return new_value(t->kind);
  void *rec = OPENSSL_zalloc(t->size);
  if (!rec) {
    DER_ERROR(t->new_func, ZV_DER_R_MALLOC, -1);
    return nullptr;
  }
  if (t->kind == zv_der_kind::choice) {
    set_int(rec, t->selector_offset, -1);
    return rec;
  }
  for (size_t i = 0; i < t->nfields; ++i) {
    const zv_der_field &f = t->fields[i];
    void *v = f.container == zv_der_container::one ? zv_der_new(f.type)
                                                    : static_cast<void *>(OPENSSL_sk_new_null());
    if (!v) {
      zv_der_free(t, rec);
      return nullptr;
    }
    set_ptr(rec, f.offset, v);
  }
  return rec;
}

void zv_der_free(const zv_der_type *t, void *rec) {
  if (!rec) return;
  if (is_universal(t->kind)) {
    free_value(t->kind, rec);
    return;
  }
  if (t->kind == zv_der_kind::choice) {
    zv_der_choice_reset(t, rec);
  } else {
    for (size_t i = 0; i < t->nfields; ++i) {
      const zv_der_field &f = t->fields[i];
      void *v = get_ptr(rec, f.offset);
      if (f.container == zv_der_container::one) {
        free_any(f.type, v);
      } else if (v) {
        OPENSSL_STACK *sk = as_stack(v);
        for (int j = 0; j < OPENSSL_sk_num(sk); ++j) free_any(f.type, OPENSSL_sk_value(sk, j));
        OPENSSL_sk_free(sk);
      }
    }
  }
  OPENSSL_free(rec);
}

void zv_der_choice_reset(const zv_der_type *t, void *rec) {
  int sel = get_int(rec, t->selector_offset);
  const zv_der_field *alt = sel == -1 ? nullptr : find_alternative(t, sel);
  if (alt) free_any(alt->type, get_ptr(rec, t->pointer_offset));
  set_int(rec, t->selector_offset, -1);
  set_ptr(rec, t->pointer_offset, nullptr);
}

int zv_der_i2d(const zv_der_type *t, const void *rec, unsigned char **pp) {
  if (!rec) return 0;
  const bool writing = pp && *pp;
  zv_der_writer w(writing ? *pp : nullptr);
  put_any(t, rec, 0, w);
  if (w.size() > static_cast<size_t>(INT_MAX)) return -1;
  if (writing) *pp += w.size();
  return static_cast<int>(w.size());
}

void *zv_der_d2i(const zv_der_type *t, void **a, const unsigned char **pp, long length) {
  static const unsigned char nothing = 0;
  const unsigned char *dummy = &nothing;
  if (!pp || !*pp) {
    pp = &dummy;
    length = 0;
  }
  if (is_universal(t->kind)) {
    long used = 0;
    void *v = d2i_value(t->kind, *pp, length, 0, &used);
    if (!v) return nullptr;
    *pp += used;
    if (a) {
      free_value(t->kind, *a);
      *a = v;
    }
    return v;
  }
  switch (t->kind) {
    case zv_der_kind::sequence: return d2i_sequence(t, a, pp, length);
    case zv_der_kind::bare: return d2i_bare(t, a, pp, length);
    default: return d2i_choice(t, a, pp, length);
  }
}
