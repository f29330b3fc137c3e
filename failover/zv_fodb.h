// The failover message store: one Berkeley DB B-tree, "failover.db", inside one
// environment in the failover directory (`failoverPath`). It keeps the messages the back
// end could not take until the failover logic replays them, in key order.
//
// Durability: the environment runs with transactions and a write-ahead log, every put and
// delete commits on its own and is flushed before the call returns. A record whose store
// returned 0 survives a crash of the process (kill -9) and of the machine. A change whose
// log cannot be written is reported failed, though the library may have made it already
// for the other readers of the store (it is then kept once the log can be written).
//
// A full disk is an error of a call, never a signal: the memory-mapped region files have
// all their disk blocks, up to the size they may grow to, from the open on; log files are
// written whole when they are begun; the lock file needs no new space after its first
// call; and the library's error lines are bounded to a few a call.
//
// Several processes: failoverd and any delivering process may have the store open at
// once. Every call into the library holds the lock file "failover.lock" in the failover
// directory, so that no two processes are ever inside the library together; the file
// names the process inside, so a process killed there is seen by the next one to enter.
// A call waits for the lock until the shutdown flag is set (a long wait is said once);
// stopped, it fails without entering the library, and a close then leaves the handle to
// the process's end and the store to the next open's recovery.
//
// Planted names: the lock file is never opened through a link nor waited for, and the
// files the library opens by name ("__db.*", "log.*", "failover.db") must be regular
// files with no other name before an environment is opened.
// Recovery runs at an open only when it is needed: when a process that had the
// environment open ended without closing it (the library's process registry,
// "__db.register") or one ended inside a call. A process whose environment another
// process recovered gets FODB_RUNRECOVERY and reopens with fodb_reopen.
//
// Handles: the environment and the database handle belong to the caller, who closes the
// database (close_fodb) before the environment (fodb_close_env). A cursor lives only
// inside one reader call. A process has at most one environment open, and its handles
// must not be used in a child it forks. Closing the environment with fodb_close_env (or
// fodb_reopen) gives back all the library held for it in this process, also after it
// was marked failed (zv_fodb_memory.h).
//
// Threads: every call below holds one process-wide lock (fodb_mutex) from before it
// reads a handle until it returns, a whole reopen included, so the threads of a process
// may call them at once. A reopen closes the handles it replaces: a caller whose
// threads share handles holds fodb_mutex across each call and any reopen it leads to,
// and reads the handles only while it holds it.
//
// Results: 0 success, -1 failure, or one of the store codes below. Library failures are
// reported once through the handle's error routine (standard error unless the caller set
// an error file); debug lines go through zv_log.
#ifndef ZV_FAILOVER_ZV_FODB_H
#define ZV_FAILOVER_ZV_FODB_H

#include <db.h>

#include <cstddef>
#include <mutex>

// Store codes seen by the callers. They are fixed by the store's interface and kept when
// the linked library numbers its own DB_NOTFOUND, DB_KEYEXIST and DB_LOCK_DEADLOCK
// differently (Berkeley DB 5.3 does).
constexpr int FODB_NOTFOUND = -30990;  // no such record, or the store is empty
constexpr int FODB_DEADLOCK = -30995;  // a call lost a deadlock
constexpr int FODB_KEYEXIST = -30996;  // a put without overwrite found the key
// The environment must be closed and opened again (fodb_reopen): another process
// recovered it, or one ended inside a store call. The call that returned it changed
// nothing, unless the library itself failed in the middle of it.
constexpr int FODB_RUNRECOVERY = DB_RUNRECOVERY;

// Store record key, the one definition its writer and its readers share: a
// NUL-terminated text whose stored length counts the NUL, ending in "_" and the sequence
// number. A number up to 999,999,999 is written in nine digits ("%09"), as every store
// has always held it; a larger one is written with a capital letter before its digits
// that gives their count (A ten digits, B eleven, ... J nineteen), so that in the keys'
// byte order each number comes after every smaller one: "A1000000000" follows
// "999999999", "B10000000000" follows "A9999999999". The replay and the start-up read take
// a key into a caller buffer of FODB_KEY_BUFFER_SIZE bytes.
constexpr int FODB_KEY_BUFFER_SIZE = 60;
constexpr int FODB_SEQNO_DIGITS = 9;
// The last sequence number given out (a 64-bit count: some 290,000 years of a million
// messages a second).
constexpr long long FODB_SEQNO_MAX = 9223372036854775806LL;
// Room for a sequence number's text: the letter, nineteen digits, the NUL.
constexpr int FODB_SEQNO_TEXT_SIZE = 21;

// The lock every call below holds; recursive, so a caller may hold it across calls.
std::recursive_mutex &fodb_mutex();

// Creates and opens the environment at `failoverPath`, recovering it first when a
// process ended without closing it, and reserves the disk its regions may grow into. On
// success *ppdbenv holds it; on failure (the reservation on a full disk included)
// *ppdbenv is null and the result is -1 or the failing call's code.
int init_fodb(DB_ENV **ppdbenv);

// Closes an environment opened by init_fodb (its database closed first); the close's
// result.
int fodb_close_env(DB_ENV *dbenvp);

// After FODB_RUNRECOVERY: closes the database and the environment (either may be null)
// and opens both again at `failoverPath`, again when a process ended inside a call in
// between. 0 with both open; otherwise the last open's code with both null.
int fodb_reopen(DB_ENV **ppdbenv, DB **ppdb);

// Opens "failover.db" in `dbenvp` (created when missing, which is logged at level -1).
// A store that takes no change (a change made and taken back fails: its log files were
// removed, say) is refused as it is opened. On failure *ppdb is null; the result is -1
// when the handle cannot be created, else the failing call's code.
int open_fodb1(DB_ENV *dbenvp, DB **ppdb);

// The same without an environment: "failover.db" in the working directory, no
// transactions, no recovery.
int open_fodb(DB **ppdb);

// Every call below that takes a handle gives FODB_RUNRECOVERY when the store must be
// reopened first.

// Stores a record without overwriting. 0 when stored and when the key was present
// already (the stored record is then unchanged, and a warning is logged); -1 otherwise.
int store_fodb(DB *dbp, DBT *pKey, DBT *pData);

// As store_fodb, but an existing key gives FODB_KEYEXIST, so that a caller can take
// another key instead of losing the message.
int fodb_store_new(DB *dbp, DBT *pKey, DBT *pData);

// Deletes a record: 0 deleted, FODB_NOTFOUND not there, -1 otherwise. Either of the
// first two only once the log is written: a delete made before whose log could not be
// written gives -1 until it can, then FODB_NOTFOUND.
int remove_fodb(DB *dbp, DBT *pKey);

// 1 when the store holds exactly `pData` under `pKey`, 0 when it holds something else or
// nothing, or a store code: after a reopen, tells a put that was committed before the
// failure from a key that another message took.
int fodb_holds(DB *dbp, DBT *pKey, DBT *pData);

// Cursor readers. The caller sets up pKey with its own buffer (DB_DBT_USERMEM, ulen);
// pData is cleared here and comes back in memory from malloc, which the caller frees
// with free() after a result of 0 (it is null after any other result). A key longer
// than the caller's buffer gives -1. `*ppdbc` is the caller's cursor variable; it is
// closed again before the call returns.
// retrieve_fodb2 reads the first record in key order (first 0 or 1).
int retrieve_fodb2(DB *dbp, DBC **ppdbc, DBT *pKey, DBT *pData, int first);
// get_last_key_fodb reads the last record in key order.
int get_last_key_fodb(DB *dbp, DBC **ppdbc, DBT *pKey, DBT *pData);

// Keyed read that prints what it finds to standard output; 0 found or not found. On
// any other failure the database handle is closed and must not be used again.
int retrieve_fodb(DB *dbp, DBT *pKey, DBT *pData);

// Closes the database; `iRc` when it is not 0, else the close's result.
int close_fodb(DB *dbp, int iRc);

// The text of sequence number `n` (0 to FODB_SEQNO_MAX) in a key, into `out`
// (FODB_SEQNO_TEXT_SIZE bytes).
void fodb_seqno_text(long long n, char *out);

// Seeding after a restart. The sequence number a key ends in (the text after its last
// "_", in either form above), or -1 when it ends in no sequence number.
long long fodb_key_seqno(const void *key, size_t size);

// Walks all keys once (data is not read): *pHighestSeqNo is the highest sequence number
// among them (-1 when none carries one, the empty store included), *pRecords the number
// of records. 0, or -1 (or FODB_RUNRECOVERY) when the walk fails (outputs then
// unchanged).
int fodb_scan(DB *dbp, long long *pHighestSeqNo, int *pRecords);

#endif
