// The input interfaces of the client role: each puts one document at a time into the
// main record (buffers attached) with its priority (0 standard, 1 high) and passes it
// to the per-message function. Chosen by clientd_main from the first letter of the
// `interface` setting: D directory (or packet files in packet mode), F file, P named
// pipe, R/S/X socket, Z the built-in test message, W the SOAP entry.
//
// The pipe and socket interfaces read the back-end system's named-pipe and socket
// records, defined in runtime/zv_backend_records.h. The packet file: line 1 the local id,
// line 2 the remote id, line 3 the priority flag (0 or 1, blanks around it allowed), then
// the ready packet.
//
// Every entry but iSoap_in_buf returns 0 after an orderly end, non-zero after a failure
// that ends the client. All run on the main thread, one document at a time; the only
// signal from outside is zv_shutdown. Each says zv_started once it is set up (its
// directory held, its file open, its pipe open, its socket listening). Every wait ends
// at its deadline on the monotonic clock whatever signals arrive; only a stop ends it
// early. Nothing an interface opens can hold it in the open.
#ifndef ZV_CLIENT_ZV_INTERFACES_H
#define ZV_CLIENT_ZV_INTERFACES_H

#include "client/zv_message.h"
#include "runtime/zv_common.h"
#include "transport/zv_transport.h"

// Where every interface hands its documents: `clientd` unless a test puts another
// function in its place.
using client_handler_t = int (*)(Trans_ctl_rec *tctlp, zvPortType priority);
extern client_handler_t client_handler;

// Where the directory interface waits between two scans (`ms` milliseconds on the
// monotonic clock, cut short only by a stop): a sleep, unless a test puts another wait in
// its place.
using dir_wait_t = void (*)(long ms);
extern dir_wait_t dir_poll_wait;

// The built-in test message: a 583-character X12 interchange from DXC7 to DXC_TEST.
constexpr int ZV_TEST_MESSAGE_LENGTH = 583;
extern const char zv_test_message[ZV_TEST_MESSAGE_LENGTH + 1];

// Largest body the pipe interface takes: the main record's input buffer less its NUL.
constexpr int ZV_MAX_RECORD_BODY = 65535;

// The socket interface's output buffer: twice the body and 2,048 bytes, but never more
// than the ZVP process's receiver takes for one buffer.
constexpr int ZV_MAX_SOCKET_OUTPUT = ZV_TRANS_MAX_ALLOC;

constexpr int zv_largest_socket_body() {
  long body = ZV_MAX_SOCKET_OUTPUT;
  while (body > 0 && zv_max_signed_edi_size(body) > ZV_MAX_SOCKET_OUTPUT) --body;
  return static_cast<int>(body);
}

// Largest body the socket interface takes: the largest whose every envelope fits the
// output buffer of ZV_MAX_SOCKET_OUTPUT bytes, and so the ZVP process's receiver. The
// signed EDI envelope carries the most around its body (2,470 octets at most, see
// zv_max_signed_edi_size in client/zv_message.h); the others carry less: basic EDI 26 (version 2) or 5
// (version 3), version-3 text and XML 10, integrity EDI 104, status 27, a receipt 48
// more than its request, raw mode nothing. A larger announcement is refused before
// anything is allocated. Envelopes of an identity beyond those allowances are still
// refused by their builder, and their documents kept.
constexpr int ZV_MAX_SOCKET_BODY = zv_largest_socket_body();
static_assert(zv_max_signed_edi_size(ZV_MAX_SOCKET_BODY) <= ZV_MAX_SOCKET_OUTPUT &&
              zv_max_signed_edi_size(ZV_MAX_SOCKET_BODY + 1L) > ZV_MAX_SOCKET_OUTPUT);
// The body and its NUL are the input buffer the receiver allocates.
static_assert(ZV_MAX_SOCKET_BODY + 1 <= ZV_TRANS_MAX_ALLOC);

// A file (or a packet file's packet) longer than the input buffer less its NUL, 65,535
// bytes for the main record, is refused: logged, and reported as
// ZV_ERRM_UNSUPPORTED_INPUT_MSG_FOUND (transaction log and alert) about no partner. Only
// its beginning was read, so no copy is kept; the file itself stays, renamed ".notsent"
// by the directory interface. A packet file whose header is not three whole lines is
// refused so too; one whose priority flag is neither 0 nor 1 is refused as
// ZV_ERRM_UNSUPPORTED_INPUT_MSG_FOUND with its packet kept. A packet's success line is
// written once it has been handed over. The file interface refuses a path that is no
// regular file (a link to one is followed).
//
// A document of the directory, file, pipe or socket interface that holds a NUL before its
// last byte is refused whole (zv_refuse_inner_nul): the classification, the envelopes
// and the hand-over all measure the text to its first NUL. A packet is carried whole by
// its length, NULs included.
// The directory interface takes a document only once a whole scan has passed without a
// change to it (size, modification time, the file itself) and no process has it open for
// writing (where the system can tell), and hands it over only when the file is still as
// it was once read; entries that are not regular files are left where they are, with one
// WARNING line each, and so is an entry that cannot be examined (one ERROR line). A
// document's file, the file read and no other, becomes ".sent" or ".notsent", never
// replacing a file of that name (a fresh name is taken then). The interface holds its
// directory for itself: another process reading it makes dir_in_buf return
// ZV_INPUT_IN_USE at once. It scans and renames through the directory it holds; once the
// path names another directory it returns -1.
constexpr int ZV_INPUT_IN_USE = -4;
int dir_in_buf(Trans_ctl_rec *tctlp, const char *dir);
int file_in_buf(Trans_ctl_rec *tctlp, const char *path);
int packet_in_buf(Trans_ctl_rec *tctlp, const char *path);
// The pipe interface reads record after record: one refused (no partner, a NUL inside, a
// bad priority, an envelope too large) is kept as a failed message with its
// transaction-log line and alert, and the next is read. A record has no bound as a whole
// (its writer is never held off another): a writer that keeps it coming, however slowly,
// has it read whole. A record that stops arriving for ZV_TRANS_IDLE_SECONDS, or a pipe
// that can no longer be read, ends the interface (-1); a stop in the middle of a record
// ends it with 0. Either way what came of the record's body is kept,
// reported as ZV_ERRM_CANNOT_RECV_INTERNAL_DATA. A path that is no named pipe is refused.
int pipe_in_buf(Trans_ctl_rec *tctlp, const char *path, int mode);
// One record: 0 when it was handed over or refused and kept (or a stop came before it
// began), -1 when the stream broke.
int iReadableEvent(int fd, Trans_ctl_rec *tctlp, const char *path);
int iSoc_in_buf(Trans_ctl_rec *tctlp, const char *port_text);
int test_in_buf(Trans_ctl_rec *tctlp);
int iSoap_in_buf();

// Refuses the document of `len` bytes at the record's input when it holds a NUL before
// its last byte (a NUL as the last byte only ends the text): logs the interface, the
// source and the offset, and reports ZV_ERRM_UNSUPPORTED_INPUT_MSG_FOUND about no
// partner, the record's input buffer kept as the copy. False when there is no such NUL;
// else true with the refusal's result (-1, or ZV_REFUSED_NOT_KEPT) in *result.
bool zv_refuse_inner_nul(Trans_ctl_rec *t, size_t len, const char *interface, const char *source,
                         int *result);

// One socket request in memory. `buf` holds uiSize bytes and a NUL.
struct request_t {
  int socket_fd;
  char *buf;
  unsigned int uiSize;
  int iPriority;
  request_t *next;
};

// Serves connections of the listening socket `listen_fd` until one has been served:
// 0 after it (or at shutdown), -1 after three failed accepts.
int pvAcceptSocRequests(int listen_fd, Trans_ctl_rec *tctlp);
// Reads, processes and closes one accepted connection. The peer gets no answer: an
// orderly close tells it that its document was handed over or refused and kept (as a
// failed message). Every connection whose document is neither ends with a reset, so that
// the peer sees an error and sends again (the connection is set to reset from its accept,
// so the process's own end inside a document resets it too): a refusal whose copy could
// not be saved
// (logged), a record not complete when its peer closes, a
// peer that sends nothing for ZV_TRANS_IDLE_SECONDS while its record is incomplete (also
// before its first byte; logged), a record not whole within zv_record_deadline_ms
// of its first byte (logged), a stop (zv_shutdown) before the record is complete, a
// body announced above ZV_MAX_SOCKET_BODY (also reported as
// ZV_ERRM_UNSUPPORTED_INPUT_MSG_FOUND, transaction log and alert, nothing of it kept) and a
// request that cannot be given its buffers.
void vProducer(int fd, Trans_ctl_rec *tctlp);

// Why read_soc_request gave no request.
enum class soc_fault {
  none,
  too_big,    // announced above ZV_MAX_SOCKET_BODY; nothing of the body was read
  no_memory,  // the request's buffer could not be had
  cut,        // the peer closed, or a read failed, before the record was complete
  stalled,    // nothing came for idle_ms while the record was incomplete
  overdue,    // the record took longer than its size allows (zv_record_deadline_ms)
  stopped,    // zv_shutdown was seen while waiting for the rest of the record
};
// One record read from `fd`, or NULL (each stage's failure logged) with the reason in
// *fault. Bytes that have arrived are read before anything is waited for; each wait lasts
// at most idle_ms (-1: no bound), counted from the last byte that came, the whole record
// at most zv_record_deadline_ms of its announced size from its first byte, and it gives
// up when zv_shutdown is set. The caller passes the request to iProcessSocRequest, which
// frees it.
request_t *read_soc_request(int fd, int idle_ms, soc_fault *fault);
// read_soc_request with the transport's bound, ZV_TRANS_IDLE_SECONDS.
request_t *ptGetSocRequest(int fd);
// The per-message result, -98 for a priority other than 0 or 1 (the document then reported
// as ZV_ERRM_UNSUPPORTED_INPUT_MSG_FOUND with its copy kept), -1 for a body with a NUL
// before its last byte (refused so too), ZV_REFUSED_NOT_KEPT for any refusal whose copy
// could not be saved, -99 when the output buffer (twice the body and 2,048 bytes, at most
// ZV_MAX_SOCKET_OUTPUT) cannot be had (nothing reported or kept). Frees the request.
int iProcessSocRequest(request_t *request, Trans_ctl_rec *tctlp);
void vCountSocRequests(int n);
void vPrintSocRequests();
// Requests read by the socket interface so far (the counter of vCountSocRequests).
int soc_request_count();

#endif
