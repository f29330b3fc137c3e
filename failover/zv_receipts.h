// The receipt log and the pending receipts: one small text file per interchange, named
// from the interchange's receiver id and control number. The sending side records the
// receipt it expects ("./pending_receipts", the directory `pendingPath`), the receiving
// side looks it up when the receipt arrives, checks the receipt's digest or signature
// against it and removes it; with savereceipts on, every inbound receipt is also kept
// in "./receipts".
//
// For the client and server roles of an installation; no delivered program calls these.
// Record files are written under a unique temporary name and moved into place, so a
// reader in another process sees no file or a complete one, and a duplicate is never
// overwritten, even by a process writing the same name at the same moment. Any thread
// may call these; they keep no state.
#ifndef ZV_FAILOVER_ZV_RECEIPTS_H
#define ZV_FAILOVER_ZV_RECEIPTS_H

#include <ctime>

#include "runtime/zv_common.h"

// The record file, shared by its writer and its reader: one line
//   "%02d|%02d|%105s|%s|%d|%d|%d|" (who, msg_type, isa_line, dest_ip, dest_port,
//   time_sent, digest_length)
// followed by digest_length bytes of the digest text, its NUL byte, and "\n". The ISA
// field is always ZV_RECEIPT_ISA_WIDTH characters (a shorter line padded with leading
// blanks) and may itself hold "|". A record file is always shorter than
// ZV_RECEIPT_FILE_MAX bytes.
constexpr int ZV_RECEIPT_ISA_WIDTH = 105;
constexpr int ZV_RECEIPT_IP_SIZE = 17;
constexpr int ZV_RECEIPT_FILE_MAX = 4096;
constexpr char ZV_RECEIPT_SUFFIX[] = "recpt";
constexpr char ZV_RECEIPT_LOG_DIR[] = "./receipts";
constexpr char ZV_PENDING_DIR_DEFAULT[] = "./pending_receipts";

// Offsets in an ISA segment of the fields that name a record file.
constexpr int ZV_ISA_SENDER_OFFSET = 35;     // ISA06
constexpr int ZV_ISA_RECEIVER_OFFSET = 54;   // ISA08
constexpr int ZV_ISA_ID_WIDTH = 15;
constexpr int ZV_ISA_CONTROL_OFFSET = 90;    // ISA13
constexpr int ZV_ISA_CONTROL_WIDTH = 9;

// One pending or logged receipt.
struct PendReceipt_rec {
  int who;        // zv_who_t of the transaction that made it
  int msg_type;   // pending: expected receipt kind 4, 5 or 6; log: the receipt's type
  char isa_line[ZV_ISA_LINE_SIZE];
  char digest[ZV_DIGEST_SIZE];  // hex digest or hex signature text
  int digest_length;            // without the NUL, 0 to ZV_MAX_DIGEST_LENGTH
  char dest_ip[ZV_RECEIPT_IP_SIZE];
  int dest_port;
  time_t time_sent;
};

// Stores an inbound receipt in the receipt log when savereceipts is on; a failure is
// reported as the fatal -14, which ends the process. 0 otherwise.
int processReceipt(Trans_ctl_rec *tctlp, char *bufferp, int blen);

// 0 stored or duplicate ignored (ignoredupreceipts); -1 duplicate, unusable record or
// write failure. The existing file of a duplicate is left as it was.
int store_receipt(Trans_ctl_rec *tcrp);

// Records the receipt a sent interchange expects. 0 stored (its file name copied to
// `psFilename`, which holds ZV_PATH_SIZE bytes; may be NULL), not needed (not a client
// record, a receipt or status message, a NO_RECEIPT partner) or duplicate ignored;
// -1 duplicate, unusable record or partner, or write failure.
int store_pending(Trans_ctl_rec *tcrp, char *psFilename);

// Looks up the pending receipt of the ISA segment that `bufferp` (`blen` characters)
// begins with and checks the receipt's `hlen` bytes at `hashp`: the hex digest text for
// an integrity receipt, the raw signature (at most 1023 bytes) for a signed one. The
// pending file's name goes to `psKey` (ZV_PATH_SIZE bytes). 1 found and matching (a
// basic receipt needs no check); 2 none; -1 mismatch, also for an empty or shortened
// digest or signature.
int iPendingReceiptLookup(char *bufferp, int blen, char *hashp, int hlen, char *psKey);

// 1 found and read into *pstPRrec (its name in psFile, ZV_PATH_SIZE bytes); 2 none;
// -1 unreadable.
int iFindPending(char *isa_linep, PendReceipt_rec *pstPRrec, char *psFile);

// Removes the record file `psKey`; `iDatabase` must be 1 (the file store). 0 or -1.
int iRemovePRDBentry(int iDatabase, char *psKey);

// Copies ISA06 (flag 0) or ISA08 (flag 1), 15 characters with their blanks, and a NUL
// into psISAid (16 bytes). 0; -1 for another flag or a missing argument.
int iGetISAid(const char *psISAline, char *psISAid, int iSenderReceiverFlag);

// Writes the record to psFilename, replacing a file of that name. 0 or -1.
int iPend2file(PendReceipt_rec *pstPendRec, char *psFilename);

// Reads a record file, opened without following a link and without waiting. 0 with
// *pstPendRec filled; -1 (the record untouched) for a file that cannot be read, is not a
// regular file (a link, also to a valid record, a FIFO, a device), is empty, is ZV_RECEIPT_FILE_MAX bytes or more, or does not hold
// exactly one well-formed record.
int iFile2Pend(char *psFilename, PendReceipt_rec *pstPendRec);

// Builds "<dir>/<receiver id without trailing blanks>_<control number>.<ext>" into
// psFilename (ZV_PATH_SIZE bytes). 0; -1 with the name cleared when the ISA segment is
// shorter than its control number's end, or its receiver id or control number holds
// "/" or ".." and would lead out of the directory.
int iGenerateFilename(char *psFilename, char *psISAline, char *psExtension, char *psDirpath);
// As iGenerateFilename, keeping the name only when no such file exists: 0; -1 (name
// cleared) when it does; -2 (name cleared) when no name can be built.
int iGenerateFile(char *psFilename, char *psISAline, char *psExtension, char *psDirpath);
// As iGenerateFilename, keeping the name only when the file exists: 1; 2 (name
// cleared) when it does not or no name can be built.
int iFindFile(char *psISAline, char *psExtension, char *psDirpath, char *psFilename);

// For the start of a process that writes or reads these records: removes the temporary
// files ("<name>.recptXXXXXX") that writers killed in the middle left in the pending and
// the receipt-log directories, once untouched for ten minutes (a live writer's lasts a
// moment), each with a NOTE line. Always 0.
int init_pending();

#endif
