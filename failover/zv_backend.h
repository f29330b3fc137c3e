// Back-end delivery: hands one EDI message to the company's back-end system as a file, as
// a uniquely named file in a directory, as a record on a named pipe, or as one record on
// its own TCP connection to the back-end socket server. `soc_write` is also what the
// failover replay sends with.
//
// The record framings are defined in runtime/zv_backend_records.h, which the client's
// reading side uses too.
//
// Single-threaded: the pipe writers keep process-wide descriptors (`iFdReceiptPipe` and
// one of pipe_write4's own), opened on first use and held until the process ends. The
// socket writer keeps no state and may be called by several threads at once. None of
// them raises SIGPIPE.
#ifndef ZV_FAILOVER_ZV_BACKEND_H
#define ZV_FAILOVER_ZV_BACKEND_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "runtime/zv_backend_records.h"
#include "runtime/zv_common.h"

// The server side's delivery, chosen by the first letter of `zv_interface`: D directory
// (`zv_dirpath`, prefix "zv_"), F file (`zv_filename`), R, S and X the socket
// (`zv_socaddr`, which sends the record's output buffer, not `bufferp`). 0 delivered;
// -1 failed, after the transaction log entry (which ends the process for the file and
// directory interfaces: their code is fatal). Any other letter ends the process with
// status -4.
int processEDImsg(Trans_ctl_rec *tctlp, char *bufferp, int blen);

// Writes `blen` bytes to `filenamep` followed by ".tmp", then moves the file into the
// absolute form of `zv_dirpath` under the last component of `filenamep` followed by
// ".hpri" (`who` 3) or ".edi". 0; -1 when the file cannot be opened; the stream's
// non-zero error indicator when writing failed (the ".tmp" file is then left behind).
// Failures are reported through transaction_logging (-12, -11). A failed last-resort
// rename or working-directory lookup ends the process.
int file_out_buf(Trans_ctl_rec *tctlp, char *bufferp, int blen, char *filenamep);

// file_out_buf under a fresh unique name beginning with `prefixp` in the absolute form of
// `dirnamep`; the file arrives in `zv_dirpath`. The result of file_out_buf, or -1 when no
// unique name could be made.
int dir_out_buf(Trans_ctl_rec *tctlp, char *buffp, int len, char *dirnamep, char *prefixp);

// Writes the bytes under a fresh unique name beginning "rr" in the absolute form of
// `dirnamep` and moves it, within that directory, to that name followed by `suffixp`.
// 0 or -1.
int dir_out_buf2(Trans_ctl_rec *tctlp, char *buffp, int len, char *dirnamep, char *suffixp);

// The text after the last "/" of `pathp` (a pointer into it); all of it without "/".
char *basename2(char *pathp);

// One named-pipe record (priority 1) on "./zvpipe", opened on first use (blocking until
// a reader opens it). A body longer than ZV_BE_PIPE_MAX_BODY, or a negative length, is
// refused without writing anything. 0 or -1.
int pipe_write2(char *psBuf, int iLength);

// One four-byte-length record on the pipe this function opened first (`psPipeName` of
// the first successful open; later names are not looked at). 0 or -1.
int pipe_write4(char *psBuf, int iLength, char *psPipeName);

// One socket record of the record's output buffer to `psSocketAddr` ("a.b.c.d:port"),
// priority 1 for `who` 3, else 0, on a connection of its own. The back end has it once
// it closes the connection in order after the record: the sending side is shut down
// after the body and the back end's close awaited (anything it sends is read and
// dropped). The whole delivery, the connect included, is bounded: 10 s and one more for
// every 64 KiB of the body; it also ends as soon as the shutdown flag is set. 0
// delivered; -1 otherwise, also for a reset, an error or no close within the bound (the
// connection is then reset; a back end that reads the record whole after that may
// still take it, and gets it again).
int soc_write(Trans_ctl_rec *tctlp, char *psSocketAddr);

// What became of a record soc_send could not deliver, for a caller that says it itself.
struct soc_send_outcome {
  long long bytes_sent = 0;  // of the record (header and body) the system took
  std::string failure;       // what went wrong, as soc_write's line would say it
};

// soc_write without its line for a connection that cannot be made, for a caller that
// retries and says once that the back end is away: 0 delivered; 1 no connection could
// be made; -1 any other failure, logged unless `quiet` is given, which then holds what
// the line would have said (a bad address is logged all the same).
int soc_send(Trans_ctl_rec *tctlp, const char *psSocketAddr, soc_send_outcome *quiet = nullptr);

// The word that opens soc_write's failure lines for this record: "ERROR" with failover
// mode N or n, and with mode S or s for any but a standard message (the store keeps
// only those then); "WARNING" otherwise.
const char *soc_word(const Trans_ctl_rec *tctlp);

// True when `text` is a back-end socket address soc_write can use: a dotted IPv4
// address, a colon and a port from 1 to 65535, each read whole and in decimal as every
// address setting is (zv_read_socaddr), and nothing else.
bool backend_address_ok(const char *text);

#endif
