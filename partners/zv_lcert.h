// The local-certificate table: one entry per local identity (a ZVP_PROCESS section of
// the configuration file) with its protocol version, own certificate and RSA key, the
// address on which its ZVP process accepts transactions, and its pacing delay.
//
// Filled on the main thread by the configuration walk during start-up (one
// load_lcert_table per ZVP_PROCESS section, slots in order), read-only afterwards, so
// any thread may read it. The certificate and key objects are owned by the table and
// shared by every reader; they live until the process ends.
#ifndef ZV_PARTNERS_ZV_LCERT_H
#define ZV_PARTNERS_ZV_LCERT_H

#include <openssl/conf.h>
#include <openssl/types.h>

#include "runtime/zv_common.h"

// Empties all ZV_MAX_TP entries, releasing the objects they held (handles handed out
// earlier become invalid). Returns 0.
int init_lcert_table();

// Loads `slot` (0 to ZV_MAX_TP - 1) from `section` of `conf`, the [default] section
// standing in for a missing key. The key file is loaded before the certificate file;
// `keyFileName` and `certificateFileName` take the names as they are read.
// `default_socaddr` is used when the section has no transport_listen_port. An identity
// that cannot sign is refused: a key whose modulus is outside ZV_MIN_SIGNING_KEY_BYTES to
// ZV_MAX_DIGEST_LENGTH bytes (reported before the certificate is read), or a key that
// does not belong to the certificate. 0, or -1 with the slot empty and the reason logged.
int load_lcert_table(CONF *conf, const char *section, const char *default_socaddr, int slot);

// The first slot whose section name equals `name` exactly, or -1.
int get_lcert_index(const char *name);

// Copies out the entry of `slot`: the handles are the table's own (not copies), and
// `socaddr` receives all 64 bytes of the address. -1, with no output touched, when the
// slot is empty or out of range or an output is missing; else 0.
int get_lcert_entry(int slot, int *version, X509 **cert, EVP_PKEY **key, char socaddr[64],
                    int *pacing_delay);

// Prints the entry of `slot` through zv_log at `level`. 0; -1 for a slot out of range.
int dump_localCertRec(int level, int slot);

#endif
