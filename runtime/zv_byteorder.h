// Big-endian integers in byte buffers: the one set of helpers every wire and file format
// of the system uses (the transport's frames and control record, the back-end records).
// The caller provides room for the field; nothing is checked here.
//
// Pure functions; any thread may call them.
#ifndef ZV_RUNTIME_ZV_BYTEORDER_H
#define ZV_RUNTIME_ZV_BYTEORDER_H

#include <cstdint>

inline void zv_be_put16(unsigned char *p, uint16_t v) {
  p[0] = static_cast<unsigned char>(v >> 8);
  p[1] = static_cast<unsigned char>(v);
}
inline void zv_be_put32(unsigned char *p, uint32_t v) {
  p[0] = static_cast<unsigned char>(v >> 24);
  p[1] = static_cast<unsigned char>(v >> 16);
  p[2] = static_cast<unsigned char>(v >> 8);
  p[3] = static_cast<unsigned char>(v);
}
inline uint16_t zv_be_get16(const unsigned char *p) {
  return static_cast<uint16_t>((p[0] << 8) | p[1]);
}
inline uint32_t zv_be_get32(const unsigned char *p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

#endif
