// What the three TCIF-98-006 modules share inside tcif/: the family's walker flags and
// the macros that turn a type name into its record description, its four operations
// and its three string-table entries, so that the names in error entries and in the
// string tables come from one place. Not for callers outside tcif/.
#ifndef ZV_TCIF_TCIF_FAMILY_H
#define ZV_TCIF_TCIF_FAMILY_H

#include <openssl/err.h>

#include "codec/zv_der.h"
#include "tcif/tcif_codes.h"

// Both issues: fields taken only on their first-octet test, empty SET OF / SEQUENCE OF
// never written, decoded elements appended to the stack, a fresh INTEGER written 02 00.
constexpr unsigned ZV_TCIF_FAMILY_FLAGS = ZV_DER_F_TEST_FIELDS | ZV_DER_F_SKIP_EMPTY_LISTS |
                                          ZV_DER_F_APPEND_LISTS | ZV_DER_F_EMPTY_INTEGER;

// Issue 3 CHOICE decoders also keep the selector of an alternative that failed (with a
// NULL pointer) and put the offset on their entries. Defined in tcif98-006v3a.cc, used
// by both Issue 3 modules.
constexpr unsigned ZV_TCIF_V3_FAMILY_FLAGS =
    ZV_TCIF_FAMILY_FLAGS | ZV_DER_F_CHOICE_KEEP_SELECTOR | ZV_DER_F_CHOICE_OFFSET;
extern const zv_der_family tcif_v3_family;

// The names that error entries carry: "T_NEW" for the constructor, "d2i_T" for the
// decoder (the encoder never queues anything).
#define ZV_TCIF_SEQUENCE_TYPE(T, fields_, family_) \
  ZV_DER_SEQUENCE_TYPE(T, fields_, family_, #T "_NEW", "d2i_" #T)
#define ZV_TCIF_CHOICE_TYPE(T, alts_, family_) \
  ZV_DER_CHOICE_TYPE(T, tag, d, alts_, family_, #T "_NEW", "d2i_" #T)

#define ZV_TCIF_DEFINE_NEW_FREE_D2I(T)                                                    \
  T *T##_new() { return static_cast<T *>(zv_der_new(&T##_type)); }                       \
  void T##_free(T *a) { zv_der_free(&T##_type, a); }                                     \
  T *d2i_##T(T **a, const unsigned char **pp, long length) {                             \
    return static_cast<T *>(zv_der_d2i(&T##_type, reinterpret_cast<void **>(a), pp, length)); \
  }

#define ZV_TCIF_DEFINE_OPERATIONS(T) \
  ZV_TCIF_DEFINE_NEW_FREE_D2I(T)     \
  int i2d_##T(const T *a, unsigned char **pp) { return zv_der_i2d(&T##_type, a, pp); }

// The three entries of type T at position `index` of its module, codes in the reason
// position (OpenSSL 3 packs no function code).
#define ZV_TCIF_STRING(code, text) {ERR_PACK(ZV_TCIF_ERR_LIB, 0, (code)), (text)}
#define ZV_TCIF_STRINGS(T, index)                               \
  ZV_TCIF_STRING(ZV_TCIF_F_BASE + 3 * (index), #T "_NEW"),      \
      ZV_TCIF_STRING(ZV_TCIF_F_BASE + 3 * (index) + 1, "d2i_" #T), \
      ZV_TCIF_STRING(ZV_TCIF_F_BASE + 3 * (index) + 2, "i2d_" #T),

#endif
