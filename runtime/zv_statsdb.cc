#include "runtime/zv_statsdb.h"

#include <mm.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "runtime/zv_globals.h"
#include "runtime/zv_handles.h"
#include "runtime/zv_log.h"
#include "runtime/zv_process.h"
#include "runtime/zv_segment_lock.h"
#include "runtime/zv_tempfile.h"

zv_stats_t *ptZvStatus;
zv_errors_t *ptZvErrors;
zv_tpactive_t *ptZvTpActive;

namespace {

constexpr size_t kStatsSize = sizeof(zv_stats_t);
constexpr size_t kErrorsSize = sizeof(zv_errors_t) * ZV_ERROR_RECORDS;
constexpr size_t kTpActiveSize = sizeof(zv_tpactive_t) * ZV_MAX_TP;

void assert_failed(int line) {
  fprintf(stderr, "ASSERT Failed: %s: line %d\n", __FILE_NAME__, line);
}

// Each segment's mutex for zv_segment_lock.
std::mutex stats_mutex;
std::mutex tpactive_mutex;

// Slot of a (who, msg_type) pair in iMsgCounts / iMsgErrors, or -1 for none: the row
// follows the message type, servers take the even and clients the odd slot.
int stats_slot(int who, int msg_type) {
  int column;
  switch (who) {
    case ZV_WHO_STD_SERVER: case ZV_WHO_HPRI_SERVER:
      column = 0;
      break;
    case ZV_WHO_STD_CLIENT: case ZV_WHO_RECEIPT_CLIENT:
    case ZV_WHO_SSL_STD_CLIENT: case ZV_WHO_SSL_RECEIPT_CLIENT:
      column = 1;
      break;
    default:
      return -1;
  }
  int row;
  switch (msg_type) {
    case ZV_MT_BASIC_EDI: row = 0; break;
    case ZV_MT_INTEGRITY_EDI: row = 1; break;
    case ZV_MT_SIGNED_EDI: row = 2; break;
    case ZV_MT_STATUS: row = 3; break;
    case ZV_MT_BASIC_RECEIPT: row = 4; break;
    case ZV_MT_INTEGRITY_RECEIPT: row = 5; break;
    case ZV_MT_SIGNED_RECEIPT: row = 6; break;
    default: return -1;
  }
  return row * 2 + column;
}

void fill_stats() {
  memset(ptZvStatus, 0, kStatsSize);
  ptZvStatus->lStartTime = static_cast<long>(time(nullptr));
  ptZvStatus->iActCache = iCountTPactive();
}

void fill_tpactive() {
  memset(ptZvTpActive, 0, kTpActiveSize);
  for (int i = 0; i < ZV_MAX_TP; i++) {
    if (partner[i].isaid[0] == '\0') continue;
    size_t len = strnlen(partner[i].isaid, sizeof ptZvTpActive[i].sTPid - 1);
    memcpy(ptZvTpActive[i].sTPid, partner[i].isaid, len);
    ptZvTpActive[i].iStatus = partner[i].active;
  }
}

// Length of an id without its trailing blanks.
size_t id_length(const char *id, size_t max) {
  size_t len = strnlen(id, max);
  while (len > 0 && id[len - 1] == ' ') len--;
  return len;
}

// Index of the first record whose stored id is the whole of psTpId, apart from trailing
// blanks on either (a blank-padded ISA field names the partner of its id), or -1. The
// walk ends at the first unused record. Call with the table lock held.
int find_tp_record(const char *psTpId, int trace_level) {
  const size_t want = id_length(psTpId, strlen(psTpId));
  for (int i = 0; i < ZV_MAX_TP; i++) {
    const char *stored = ptZvTpActive[i].sTPid;
    size_t len = strnlen(stored, sizeof ptZvTpActive[i].sTPid);
    if (len == 0) break;
    zv_log(trace_level, "zvTpActive[%d].sTPid = %.*s psTpId = %s\n", i, static_cast<int>(len),
           stored, psTpId);
    if (want > 0 && id_length(stored, len) == want && memcmp(stored, psTpId, want) == 0)
      return i;
  }
  return -1;
}

// Runs `change` on the matching record under the table lock: 0, or -1 with the
// messages of the lookup (none when nothing matches or `change` refuses).
template <typename Change>
int with_tp_record(const char *psTpId, int trace_level, Change change) {
  zv_segment_lock lock(ptZvTpActive, tpactive_mutex);
  if (!lock.exists()) {
    zv_log(-1, "ERROR: TPActiveDB is not initialized\n");
    return -1;
  }
  if (!lock.held()) {
    zv_log(-1, "tpactiveDB locking failed (RW)\n");
    return -1;
  }
  int index = find_tp_record(psTpId, trace_level);
  int result = index < 0 ? -1 : change(ptZvTpActive[index]);
  if (!lock.release()) {
    zv_log(-1, "ERROR: TPActiveDB unlocking failed (RW)\n");
    return -1;
  }
  return result;
}

}  // namespace

int iCountTPactive() {
  int count = 0;
  for (int i = 0; i < ZV_MAX_TP; i++) {
    if (partner[i].active == 1) count++;
  }
  return count;
}

int iInitStatsDB() {
  if (ptZvStatus != nullptr) {
    fprintf(stderr, "WARNING: StatsDB already exists - cannot create\n");
  } else {
    ptZvStatus = static_cast<zv_stats_t *>(zv_segment_create(kStatsSize));
    if (ptZvStatus == nullptr) {
      fprintf(stderr, "ERROR: Creating StatsDB - cannot create\n");
      return -1;
    }
  }
  fill_stats();
  return 0;
}

int iInitErrorsDB() {
  if (ptZvErrors != nullptr) {
    fprintf(stderr, "WARNING: ErrorsDB already exists - cannot create\n");
  } else {
    ptZvErrors = static_cast<zv_errors_t *>(zv_segment_create(kErrorsSize));
    if (ptZvErrors == nullptr) {
      fprintf(stderr, "ERROR: Creating ErrorsDB - cannot create\n");
      return -1;
    }
  }
  memset(ptZvErrors, 0, kErrorsSize);
  return 0;
}

int iInitTPActiveDB() {
  if (ptZvTpActive != nullptr) {
    zv_log(1, "WARNING: TPActiveDB already exists - cannot create\n");
  } else {
    ptZvTpActive = static_cast<zv_tpactive_t *>(zv_segment_create(kTpActiveSize));
    if (ptZvTpActive == nullptr) {
      zv_log(-1, "ERROR: Creating TPActiveDB - cannot create\n");
      return -1;
    }
  }
  fill_tpactive();
  return 0;
}

int vInitDBs() {
  if (iInitStatsDB() != 0) {
    fprintf(stderr,
            "FATAL ERROR: Cannot create or initialize the Zolvar Statistics database - Cannot "
            "continue\n");
    vZvExit(-1);
  }
  if (iInitErrorsDB() != 0) {
    fprintf(stderr,
            "FATAL ERROR: Cannot create or initialize the Zolvar error database - Cannot "
            "continue\n");
    vZvExit(-1);
  }
  if (iInitTPActiveDB() != 0) {
    fprintf(stderr,
            "FATAL ERROR: Cannot create or initialize the TP Active database - Cannot "
            "continue\n");
    vZvExit(-1);
  }
  return 0;
}

int iCleanupStatsDB() {
  if (ptZvStatus != nullptr) {
    fprintf(stderr, "Destroying shared memory database StatsDB\n");
    mm_core_delete(ptZvStatus);
    ptZvStatus = nullptr;
  }
  return 0;
}

int iCleanupErrorsDB() {
  if (ptZvErrors != nullptr) {
    fprintf(stderr, "Destroying shared memory database ErrorsDB\n");
    mm_core_delete(ptZvErrors);
    ptZvErrors = nullptr;
  }
  return 0;
}

int iCleanupTPActiveDB() {
  if (ptZvTpActive != nullptr) {
    fprintf(stderr, "Destroying shared memory database TPactiveDB\n");
    mm_core_delete(ptZvTpActive);
    ptZvTpActive = nullptr;
  }
  return 0;
}

void vCleanupDBs() {
  iCleanupStatsDB();
  iCleanupErrorsDB();
  iCleanupTPActiveDB();
}

void vHoldDBs() {
  // Never given back: the process ends with them held. A thread waiting here holds no
  // other lock of this module, so the order of the two does not matter.
  stats_mutex.lock();
  tpactive_mutex.lock();
}

int iUpdateStatsDB(int iWho, int iMsgType, int iErrFlag) {
  zv_segment_lock lock(ptZvStatus, stats_mutex);
  if (!lock.exists()) {
    zv_log(-1, "ERROR: statsDB is not initialized\n");
    return -1;
  }
  if (!lock.held()) {
    fprintf(stderr, "statDB locking failed (RW)\n");
    return -1;
  }
  int slot = stats_slot(iWho, iMsgType);
  if (slot >= 0) {
    if (iErrFlag == 0) {
      ptZvStatus->iMsgCounts[slot]++;
    } else {
      ptZvStatus->iMsgErrors[slot]++;
    }
  }
  ptZvStatus->iConnections++;
  ptZvStatus->lRunSeconds = static_cast<long>(time(nullptr)) - ptZvStatus->lStartTime;
  ptZvStatus->iActCache = iCountTPactive();
  if (!lock.release()) {
    fprintf(stderr, "ERROR: StatsDB unlocking failed (RW)\n");
    return -1;
  }
  return 0;
}

int iUpdateTPActiveDB(const char *psTpId, int iStatusFlag) {
  if (psTpId == nullptr) {
    assert_failed(__LINE__);
    return -1;
  }
  return with_tp_record(psTpId, 1, [&](zv_tpactive_t &rec) {
    rec.iStatus = iStatusFlag;
    rec.tTimestamp = time(nullptr);
    return 0;
  });
}

int iQueryTPActiveDB(const char *psTpId, int *piStatusFlag, time_t *ptTimestamp) {
  if (psTpId == nullptr || piStatusFlag == nullptr || ptTimestamp == nullptr) {
    assert_failed(__LINE__);
    return -1;
  }
  return with_tp_record(psTpId, 1, [&](zv_tpactive_t &rec) {
    *piStatusFlag = rec.iStatus;
    *ptTimestamp = rec.tTimestamp;
    return 0;
  });
}

int iModTPActiveCountDB(const char *psTpId, int max_inbound, int iModFlag) {
  if (psTpId == nullptr) {
    assert_failed(__LINE__);
    return -1;
  }
  return with_tp_record(psTpId, 2, [&](zv_tpactive_t &rec) {
    const int len = static_cast<int>(strnlen(rec.sTPid, sizeof rec.sTPid));
    if (iModFlag == 0) {
      if (rec.iActiveConnections >= max_inbound) {
        zv_log(-1, "WARNING: Active connection limit reached for TP =  %.*s\n", len, rec.sTPid);
        return -1;
      }
      rec.iActiveConnections++;
    } else if (iModFlag == 1) {
      // An unmatched close must not open room for more connections than the limit.
      if (rec.iActiveConnections > 0) rec.iActiveConnections--;
    } else {
      return -1;
    }
    zv_log(2, "Active connection count for TP %.*s = %d\n", len, rec.sTPid,
           rec.iActiveConnections);
    return 0;
  });
}

int iCacheTPActiveDB_to_file(const char *psFilename) {
  if (psFilename == nullptr) {
    assert_failed(__LINE__);
    return -1;
  }
  if (ptZvTpActive == nullptr) return 0;
  std::string text = "Zolvar TPDB cache file v1.1\n";
  for (int i = 0; i < ZV_MAX_TP; i++) {
    const zv_tpactive_t &rec = ptZvTpActive[i];
    char line[64];
    snprintf(line, sizeof line, "%d,%.*s\n", rec.iStatus, static_cast<int>(sizeof rec.sTPid),
             rec.sTPid);
    text += line;
  }
  // Written whole under a fresh name beside it and renamed into place: a kill leaves the
  // old file or the new one, and whatever stands at the name (a link, a FIFO) is replaced,
  // never written through or waited for.
  int err = 0;
  int rc = zv_put_file(psFilename, text.data(), text.size(), 1, &err);
  if (rc == -1) {
    zv_log(-1, "ERROR: Cannot open %s for writing of TPactive cache\n", psFilename);
    return -1;
  }
  if (rc != 0) {
    zv_log(-1, "ERROR: Cannot write TP active cache file %s: %s\n", psFilename, strerror(err));
    return -1;
  }
  return 0;
}
