// The three shared-memory tables of a process (message statistics, error records,
// partner activity) and the partner-activity cache file written at exit.
//
// Each table is one OSSP mm core segment of exactly its records' size with its own
// lock; every update and lookup holds that lock (and a process-local mutex beside it,
// because the segment lock excludes processes, not the threads of one process), so any
// thread may call them. Creation, destruction and the cache file run on the main thread
// at start and exit, without the lock; at the exit vHoldDBs first takes the mutexes for
// good, so that threads still running cannot reach a table being destroyed. The
// segments leave no lock file on disk (runtime/zv_segment_lock.h).
//
// The segments are made after the daemonizing fork, so each process has its own. The
// handles below own their segments from vInitDBs to vCleanupDBs; a reader outside this
// module sees the fields without the lock.
#ifndef ZV_RUNTIME_ZV_STATSDB_H
#define ZV_RUNTIME_ZV_STATSDB_H

#include <ctime>

#include "runtime/zv_common.h"

constexpr int ZV_STATS_SLOTS = 14;
constexpr int ZV_ERROR_RECORDS = 256;

// Message statistics. Slots: see iUpdateStatsDB.
struct stats_tag {
  int iMsgCounts[ZV_STATS_SLOTS];  // transactions that ended with status 0
  int iMsgErrors[ZV_STATS_SLOTS];  // transactions that ended with any other status
  long lStartTime;                 // creation, seconds since the epoch
  long lRunSeconds;                // from lStartTime to the last update
  int iConnections;                // updates, one per transaction
  int iActTP;
  int iHandshakeTime;
  int iCacheHits;
  int iActCache;                   // partner entries whose `active` is 1
};
typedef stats_tag zv_stats_t;

// One error record; the area holds ZV_ERROR_RECORDS of them, zeroed at creation.
struct errmsg_tag {
  char psTimestamp;
  char psMsgType;
  char psTradingPartner;
  char psIPaddr;
  char psErrCode;
  char psDesc;
};
typedef errmsg_tag zv_errors_t;

// Activity of partner entry i of `partner`; the table holds ZV_MAX_TP records.
struct tp_active_tag {
  char sTPid[16];          // the partner's isaid; empty for an unused record
  time_t tTimestamp;       // last status change, 0 until the first
  int iStatus;             // 1 active, 0 inactive, -1 stopped by STOP, -2 stopped by an error
  int iActiveConnections;  // open inbound connections (iModTPActiveCountDB)
};
typedef tp_active_tag zv_tpactive_t;

// Segment handles; none (nullptr) outside vInitDBs .. vCleanupDBs.
extern zv_stats_t *ptZvStatus;
extern zv_errors_t *ptZvErrors;      // ZV_ERROR_RECORDS records
extern zv_tpactive_t *ptZvTpActive;  // ZV_MAX_TP records

// Creates the three tables; ends the process through vZvExit(-1) on any failure.
int vInitDBs();
void vCleanupDBs();
// For the process's exit only: takes the tables' mutexes and never gives them back, so
// that every later update or lookup in another thread waits until the process has ended
// (the calling thread must hold neither). The exit then writes the cache file and
// destroys the tables with no other thread inside them.
void vHoldDBs();
int iInitStatsDB();
int iInitErrorsDB();
int iInitTPActiveDB();
int iCleanupStatsDB();
int iCleanupErrorsDB();
int iCleanupTPActiveDB();

// Counts one transaction (who, msg_type and result code of the record).
int iUpdateStatsDB(int iWho, int iMsgType, int iErrFlag);
int iCountTPactive();

// Partner lookups: the first record whose stored id is the whole of psTpId matches;
// trailing blanks do not count, so psTpId may be a blank-padded ISA field, but AB does
// not match ABC. -1 when nothing matches (an empty or all-blank id matches nothing).
int iUpdateTPActiveDB(const char *psTpId, int iStatusFlag);
int iQueryTPActiveDB(const char *psTpId, int *piStatusFlag, time_t *ptTimestamp);
// iModFlag 0 counts a connection up (refused at max_inbound), 1 counts one down.
int iModTPActiveCountDB(const char *psTpId, int max_inbound, int iModFlag);

// Writes "Zolvar TPDB cache file v1.1" and one "%d,%s" line per record; nothing (and
// 0) when the table does not exist.
int iCacheTPActiveDB_to_file(const char *psFilename);

#endif
