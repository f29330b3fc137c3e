// The failover process: the four-state machine in shared memory, the store key, the
// writer side that sends to the back end or keeps a message in the failover store, the
// replay step, and failoverd's main loop.
//
// State: four 4-byte OSSP mm segments (state, key sequence, record count, full flag),
// each under its own lock, created by init_failover after the daemonizing fork and so
// shared with processes forked afterwards; the store handles pFo_dbenv and pFo_db.
// No two cell locks are ever held at once. failoverd itself is single-threaded; the
// writer side may be called by the threads of a delivering process that shares the
// cells and the store: each cell also carries a mutex for the threads of one process,
// and every use of the store handles, a reopen included, holds the store's
// process-wide lock (fodb_mutex, zv_fodb.h), so no thread reads a handle that another
// is closing. The cost is one uncontended lock a store call.
//
// A delivering process that was not forked from failoverd shares only the store: it
// calls init_failover itself (same failover directory), its cells start in FO_RECOVERY,
// so the writer side stores every message, and failoverd replays them: in a state that
// stores nothing (FO_NORMAL, FO_RECOVERYDONE) it looks at the store at every pass and
// goes to FO_RECOVERY when it holds records. When another process recovers the store,
// or one ends inside a store call, the writer side and the replay close the store and
// open it again and carry on with the message in hand (zv_fodb.h).
#ifndef ZV_FAILOVER_ZV_FAILOVER_H
#define ZV_FAILOVER_ZV_FAILOVER_H

#include <db.h>

#include "runtime/zv_common.h"

// Values of the state cell.
enum zv_fo_state_t {
  FO_NORMAL = 0,        // the back end takes messages directly; nothing is stored
  FO_FAILOVER = 1,      // the back end failed; messages are stored, the first replayed
  FO_RECOVERY = 2,      // the back end answers again; replay one a second, still store
  FO_RECOVERYDONE = 3,  // the store ran empty; the next writer call returns to FO_NORMAL
};

// The key buffer the writer gives the key builders: room for the longest key of any
// message type and sequence number, with its NUL.
constexpr int FO_KEY_SIZE = 48;

// Failover settings, read after start-up by failover_read_settings (the mode itself is
// the runtime's global `failoverd`).
extern int zv_min_failover_threshold;  // count at or below which a replay clears the full flag
extern int zv_max_failover_limit;      // count at which the writer sets the full flag
extern int failoverd_reconnect_delay;  // seconds after a failed replay in FO_FAILOVER

// Their configuration keys, read from the process's own section, then [default].
constexpr char FO_KEY_MODE[] = "failover_mode";
constexpr char FO_KEY_MIN_THRESHOLD[] = "min_failover_threshold";
constexpr char FO_KEY_MAX_LIMIT[] = "max_failover_limit";
constexpr char FO_KEY_RECONNECT_DELAY[] = "failover_reconnect_delay";
constexpr int FO_DEFAULT_MIN_THRESHOLD = 1000;
constexpr int FO_DEFAULT_MAX_LIMIT = 10000;
constexpr int FO_DEFAULT_RECONNECT_DELAY = 10;

// The shared cells (null until init_failover) and the store handles.
extern int *pFo_state;
extern long long *pFo_key;  // a 64-bit count (zv_fodb.h: the store key)
extern int *pFo_reccount;
extern int *pFo_full_flag;
extern DB_ENV *pFo_dbenv;
extern DB *pFo_db;

// Reads the four settings from `file`, section `section` then [default]: a text key and
// three number keys (a leading decimal number); a missing or empty key keeps the
// built-in default above, the mode's default being the empty text (all messages
// stored). A value that is no number, below 1 (below 0 for the threshold) or beyond an
// int, a threshold above the limit (both then), and a mode beginning with any other
// letter than N or S take the default with a WARNING line naming key and value.
// 0, or -1 when the file cannot be read (the settings are then the defaults).
int failover_read_settings(const char *file, const char *section);

// Creates the cells (state FO_RECOVERY) and opens the store (recovering it when a process
// that had it open ended without closing it), then seeds the sequence from the highest
// sequence number stored and the count from the number of records.
// 0; -1 (or the store's code) when a cell, the environment, the database or the seeding
// read fails, with whatever was made released again.
int init_failover();

// Closes the store and deletes the cells; safe to call when init_failover failed. A
// delivered record whose removal failed is tried once more, and said when it stays.
void release_failover();

// Sleeps in hour steps until the shutdown flag is set, then ends the process with 0.
[[noreturn]] void failover_jail();

// 0, or -1 when the state cell cannot be locked or unlocked. A value outside the four
// states is logged and ignored (0). Entering FO_RECOVERYDONE resets the sequence, the
// count and the full flag.
int change_state(int state);

// One replay step: the first stored record in key order to the back-end socket
// (`zv_socaddr`), removed once sent (through a reopen of the store if it must be
// recovered in between, so that it is not sent twice). 0 delivered and removed; -30990
// the store is empty; -1 otherwise (the record stays). `ppdbc` is the caller's cursor variable,
// opened and closed inside.
// A record delivered whose removal fails (a full disk) is kept by key and not delivered
// again: later calls try only its removal (-1 while it fails, logged once) until it
// succeeds, then go on. In failoverd, a store that cannot be opened again ends the
// process with -1 and a line that says what to do.
int failover_recovery(DBC **ppdbc, int firsttime);

// The writer side: by the state, send with soc_write or keep the message in the store.
// 0 when the message was sent or stored (or, by the failover mode, deliberately not
// kept); -1 when it was neither sent nor stored.
int soc_write_fo(Trans_ctl_rec *tctlp, char *servaddr);

// Keeps one message (its output buffer) in the store under the next free key. 0 stored
// or deliberately not kept (mode "N"; mode "S" and a high-priority message); -1 when
// the key could not be built or the store failed.
int failover_write(Trans_ctl_rec *tctlp);

// The store key into psKey (at least FO_KEY_SIZE bytes): "h"/"s", the message type,
// "_", the receiver id (ISA08) without trailing blanks, "_", the next sequence number
// in nine digits. Raises the record count. 0, or -1 when a cell lock fails (psKey is
// then not filled).
int iGenerateKeyFromSeqNo(char *psISAline, int iPriority, int messageType, char *psKey);

// The same form with the interchange control number (ISA13) in place of the sequence
// number; touches no cell. Always 0.
int iGenerateKeyFromISA(char *psISAline, int iPriority, int messageType, char *psKey);

// failoverd's whole program: start-up, the settings, the loop until shutdown, and the
// close. Returns the exit status (0); start-up and failover set-up failures end the
// process with -1 inside, as does the failover directory held by another failoverd
// (failoverd holds it from before the store is opened to its end; the pid file is then
// left as it was), the failover path found naming another directory than the one held
// (looked at every pass and every second of a pause), and a store that cannot be opened
// at start or again later.
int failoverd_main(int iArgc, char **ppsArgv);

#endif
