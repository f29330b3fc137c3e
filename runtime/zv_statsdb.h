// The three shared-memory tables of a process (message statistics, error records,
// partner activity) and the partner-activity cache file written at exit.
//
// Each table is one OSSP mm core segment with its own lock; every update and lookup
// holds that lock, so any thread may call them. Creation, destruction and the cache
// file run on the main thread at start and exit.
#ifndef ZV_RUNTIME_ZV_STATSDB_H
#define ZV_RUNTIME_ZV_STATSDB_H

#include <ctime>

int vInitDBs();
void vCleanupDBs();
int iInitStatsDB();
int iInitErrorsDB();
int iInitTPActiveDB();
int iCleanupStatsDB();
int iCleanupErrorsDB();
int iCleanupTPActiveDB();
int iUpdateStatsDB(int iWho, int iMsgType, int iErrFlag);
int iCountTPactive();
int iUpdateTPActiveDB(const char *psTpId, int iStatusFlag);
int iQueryTPActiveDB(const char *psTpId, int *piStatusFlag, time_t *ptTimestamp);
int iModTPActiveCountDB(const char *psTpId, int max_inbound, int iModFlag);
int iCacheTPActiveDB_to_file(const char *psFilename);

#endif
