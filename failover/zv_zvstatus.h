// What the server side does with a received status message: it decodes the 32-character
// status pattern, logs it, marks the sending partner stopped or active again in the
// shared partner-activity table, and leaves a small status file for the back-end system
// in the working directory ("<isaid>.stop", "<isaid>.start", or "<isaid>.status" for a
// pattern it does not know).
//
// For a server process; no delivered program calls it. Each status file is written under
// a unique temporary name and renamed, so several processes may handle statuses of the
// same partner at once; the partner table is read only.
#ifndef ZV_FAILOVER_ZV_ZVSTATUS_H
#define ZV_FAILOVER_ZV_ZVSTATUS_H

#include "runtime/zv_common.h"

// Contents of the status files, each written with its terminating NUL.
constexpr char ZV_STATUS_STOP_TEXT[] = "Received an ZV Status STOP request";
constexpr char ZV_STATUS_START_TEXT[] = "Received an ZV Status RESTART request";

// `tctlp->tp_index` names the sending partner; `bufferp` holds `blen` characters of the
// status pattern. Always 0: a record without a known partner or a negative length is
// logged and skipped.
int processZVstatusMsg(Trans_ctl_rec *tctlp, char *bufferp, int blen);

// Acts on one decoded status; `flag` is its row in zv_status_code.
void update_zvstatus(Trans_ctl_rec *tctlp, int flag);

// Writes the `blen` bytes as "<isaidp>.<suffixp>" in the working directory, replacing an
// older file of that name. 0 written; -1 failed, after logging and reporting -12 (not
// opened) or -11 (not written) through transaction_logging. An ISA id that is empty or
// would lead out of the working directory ("/" or "..") is refused as not opened.
int status_file_out(Trans_ctl_rec *tctlp, char *isaidp, char *bufferp, int blen,
                    char *suffixp);

#endif
