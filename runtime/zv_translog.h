// The outcome of every transaction: the transaction-log line of the record's role, the
// statistics, the copy of a failed or invalid message, the alert line, and the exit on
// a fatal code, all driven by the error table `zvErrors`. Also the alert-ring reader
// over the alert file (no process uses it).
//
// Each line is formatted whole and written with one append while the log lock is
// held, and the transaction log and alert file are open only for that line, so lines
// of other processes stay apart. Any thread may call transaction_logging and
// alert_logging once THREAD_setup has made the log lock a real mutex (clientd does it
// before its second thread); without it, call them from one thread only. The alert
// ring `tAlert` is not locked; fill and read it from one thread.
#ifndef ZV_RUNTIME_ZV_TRANSLOG_H
#define ZV_RUNTIME_ZV_TRANSLOG_H

#include "runtime/zv_common.h"
#include "runtime/zv_errors.h"

// One row of the error table.
struct zv_err_flags_t {
  zv_error_values eErrorCode;
  int iAlertFlag;         // 1: write an alert line
  int iStopServiceFlag;   // 1: set the partner's activity entry to -2
  int iStopRemoteZVFlag;  // 1: server record: send STOP_WAN to the receipt client
  int iFatalError;        // 1: end the process with the code as exit status
  char sErrText[256];
};

constexpr int ZV_ERROR_TABLE_ROWS = 64;
extern const zv_err_flags_t zvErrors[ZV_ERROR_TABLE_ROWS];

// Reports one outcome; never returns for a fatal code. For `who` -1 only the alert line
// is written. The record's buffers are read, never taken. 0, or -1 when the outcome is
// not recorded whole: no record or a role outside the table (nothing written), or a copy
// of the failed message that could not be saved (the rest written). A caller that tells
// a sender its document was kept must not do so after -1.
int transaction_logging(Trans_ctl_rec *tctlp, int status);
int alert_logging(Trans_ctl_rec *tctlp, int status);
// 0 with the row index in *piIndex; -1 when no row has the code.
int iFindErrorByCode(int iErrorCode, int *piIndex);

// Save `length` bytes of the buffer in a new, uniquely named file of the directory;
// nothing for an absent buffer or a length below 1. The copy is written under its name
// and ".tmp", made durable and only then renamed, with the directory made durable too:
// a kill or a power loss never leaves part of a copy under a copy's name. 0 when saved
// or nothing was to be saved; -1 when the file could not be made, written whole or made
// durable (logged) or the path is missing.
int log_failed_transaction(const char *bufferp, int length, const char *path);
int log_sslfailed_transaction(const char *bufferp, int length, const char *path);
int log_invalid_message(const char *bufferp, int length, const char *digestp);
// The record's input buffer into `toRemoteFailedPath`, whatever `path` says.
int log_failed_sending(Trans_ctl_rec *tctlp, const char *path);

// Builds "ZVS:%15s:STOP_WAN" for the record's partner in rbufp (at least 29 bytes) and
// sends it to the receipt client: 0 sent; -1 not sent (reported as -30 on tctlp).
int iGenerateZvStatus(Trans_ctl_rec *tctlp, unsigned char *rbufp, int *rblenp);

// The alert ring, filled from an alert file.
constexpr int ZV_ALERT_RING = 10;
struct cache_tag {
  char sTimeStamp[16];
  int iMessage;      // message type
  char sTPisaID[16];
  char sIPaddr[21];
  int iErrNumber;    // result code
  char sErrMsg[1025];
};
struct zv_alert_t {
  cache_tag cache[ZV_ALERT_RING];
  int iEnd;          // next entry to fill; -1 = no alert file was read
  int iLoopedFlag;   // times the ring wrapped
};
extern zv_alert_t tAlert;

int iReadAlertLines(const char *psAlertFileName);
// Ring entry of the i-th oldest line, or -1.
int iCalcAlertIndex(int i);

int is_failover_full(int port_type);

#endif
