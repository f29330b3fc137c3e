// The last step every envelope builder shares: measure the record's DER, refuse it when
// it does not fit the output buffer, else write it there, log the builder's line and
// dump it as the builder's dump rule says.
//
// Internal to client/. No state; any thread.
#ifndef ZV_CLIENT_ZV_ENCODE_H
#define ZV_CLIENT_ZV_ENCODE_H

#include "codec/zv_dump.h"
#include "runtime/zv_globals.h"
#include "runtime/zv_log.h"

namespace zv_client {

// When the ASN.1 dump of an encoding is made: with debug bit 32; after every encoding
// and again with bit 32 (dump_asn1 logs at debug level 1, so the first shows only with
// bit 1); never (an inner encoding that the envelope's dump shows anyway).
enum DumpRule { kDumpOnBit32, kDumpAlways, kDumpNever };

// `i2d` is the record's encoder (measures with a null cursor; whether it advances the
// cursor does not matter); `what` names the envelope in a refusal, `done_format` is the
// builder's log line with one %d for the length. The length written, or -1 (logged)
// when nothing was written.
template <typename Rec, typename Encoder>
int encode_envelope(Encoder i2d, Rec *rec, char *obufp, int obuf_size, const char *what,
                    const char *done_format, DumpRule dump = kDumpOnBit32) {
  int need = i2d(rec, nullptr);
  if (need <= 0) {
    zv_log(-1, "ERROR: %s could not be encoded - skipping message\n", what);
    return -1;
  }
  if (obufp == nullptr || need > obuf_size) {
    zv_log(-1,
           "ERROR: %s of %d bytes does not fit the output buffer of %d bytes - skipping "
           "message\n",
           what, need, obuf_size);
    return -1;
  }
  unsigned char *p = reinterpret_cast<unsigned char *>(obufp);
  int n = i2d(rec, &p);
  zv_log(1, done_format, n);
  const unsigned char *der = reinterpret_cast<const unsigned char *>(obufp);
  if (dump == kDumpAlways) dump_asn1(der, n);
  if (dump != kDumpNever && (debug_level & 32)) dump_asn1(der, n);
  return n;
}

}  // namespace zv_client

#endif
