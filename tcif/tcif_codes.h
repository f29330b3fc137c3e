// What the public headers of the three TCIF-98-006 modules share: the library code of
// their error-string tables, the numbering of their function codes, and the shape of
// each record type's four operations.
#ifndef ZV_TCIF_TCIF_CODES_H
#define ZV_TCIF_TCIF_CODES_H

#include "codec/zv_der.h"

// Library code under which the TCIF modules register their string tables.
constexpr int ZV_TCIF_ERR_LIB = 129;
// Function codes of type i of a module: 100+3i constructor, 101+3i decoder, 102+3i
// encoder. Each module numbers from 100, so a code names an operation only together with
// its module.
constexpr int ZV_TCIF_F_BASE = 100;

// T_new, T_free, i2d_T, d2i_T and the record description T_type behind them.
#define ZV_TCIF_DECLARE_OPERATIONS(T)                       \
  T *T##_new();                                             \
  void T##_free(T *a);                                      \
  int i2d_##T(const T *a, unsigned char **pp);              \
  T *d2i_##T(T **a, const unsigned char **pp, long length); \
  extern const zv_der_type T##_type;

#endif
