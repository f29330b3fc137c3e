// Provisional: the shared-memory tables are added with the transaction logger.
#include "runtime/zv_statsdb.h"

int vInitDBs() { return 0; }
void vCleanupDBs() {}
int iInitStatsDB() { return 0; }
int iInitErrorsDB() { return 0; }
int iInitTPActiveDB() { return 0; }
int iCleanupStatsDB() { return 0; }
int iCleanupErrorsDB() { return 0; }
int iCleanupTPActiveDB() { return 0; }
int iUpdateStatsDB(int, int, int) { return 0; }
int iCountTPactive() { return 0; }
int iUpdateTPActiveDB(const char *, int) { return -1; }
int iQueryTPActiveDB(const char *, int *, time_t *) { return -1; }
int iModTPActiveCountDB(const char *, int, int) { return -1; }
int iCacheTPActiveDB_to_file(const char *) { return 0; }
