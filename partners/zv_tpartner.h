// The trading-partner file and its two tables: the partner table `partner` (one entry
// per endpoint, declared in runtime/zv_common.h) and the remote-certificate table
// (private here), their lookups and their diagnostic dumps.
//
// read_TPfile runs once, on the main thread, during start-up, after the local
// identities have been loaded (partners are tied to them by name). The tables are
// read-only afterwards and may then be read from any thread without locks.
#ifndef ZV_PARTNERS_ZV_TPARTNER_H
#define ZV_PARTNERS_ZV_TPARTNER_H

#include "runtime/zv_common.h"

enum int_from_endpoint_t { EP_NOT_USED = 0, EP_REMOTE_CERT = 1, EP_LOCAL_CERT = 2 };
enum int_from_rem_cert_t {
  RC_NOT_USED = 0,
  RC_INACTIVE_DUR = 1,
  RC_LIFETIME_DUR = 2,
  RC_BIDIRECTIONAL = 3,
  RC_MAX_INBOUND = 4,
};

// Loads the file into the partner and remote-certificate tables (both emptied first).
// 0, or -1 with the reason logged; entries filled before an error stay.
int read_TPfile(const char *filename);

// The index of the first partner entry that matches, or -1.
//   0: `strp` and `remote_id` are the local and remote ids (blank-padded ISA fields):
//      each key without its trailing blanks must equal the stored id, so DXC_T finds
//      neither DXC_TEST nor DXC_TESTWEST, and "ABC XYZ" does not find ABC; an empty or
//      all-blank key matches nothing.
//   1: the entry's address text begins `strp` and is not followed there by a digit.
//   2: `strp` is a certificate subject; the text after "CN=" up to the next '/' must
//      equal the common name of the entry's remote certificate (an empty name matches
//      nothing).
//   3: the entry's ISA id begins `strp`.
int tpLookup(const char *strp, const char *remote_id, int lookup_flag);

// The remote-certificate or local-certificate index of partner entry `i`; -1 for any
// other `what` and, after the assertion line, for an index outside the loaded entries.
int int_from_endpoint(int i, int_from_endpoint_t what);
// A setting of remote certificate `i`; -1 as above.
int int_from_remote_cert(int i, int_from_rem_cert_t what);
// The number of remote certificates loaded.
int maxCertIndex();
// The zvp_name of the local-certificate section that lists partner entry `i` (the
// local identity that serves it, loaded or not); NULL for an index outside the loaded
// entries.
const char *endpoint_identity(int i);

// Dumps through zv_log at `level`; 0, or -1 after the assertion line for an index
// outside the tables.
int dump_tradingPartnerRec(int level, int i);
int dump_endpointRec(int level, int i);
int dump_remoteCertRec(int level, int i);

#endif
