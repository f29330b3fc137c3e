// The input interfaces of the client role: each puts one document at a time into the
// main record (buffers attached) with its priority (0 standard, 1 high) and passes it
// to the per-message function. Chosen by clientd_main from the first letter of the
// `interface` setting: D directory (or packet files in packet mode), F file, P named
// pipe, R/S/X socket, Z the built-in test message, W the SOAP entry.
//
// The pipe and socket interfaces read the back-end system's named-pipe and socket
// records, defined in runtime/zv_backend_records.h. The packet file: line 1 the local id,
// line 2 the remote id, line 3 the priority flag (a number above 0 is high), then the
// ready packet.
//
// Every entry but iSoap_in_buf returns 0 after an orderly end, non-zero after a failure
// that ends the client. All run on the main thread, one document at a time; the only
// signal from outside is zv_shutdown.
#ifndef ZV_CLIENT_ZV_INTERFACES_H
#define ZV_CLIENT_ZV_INTERFACES_H

#include "runtime/zv_common.h"
#include "transport/zv_transport.h"

// Where every interface hands its documents: `clientd` unless a test puts another
// function in its place.
using client_handler_t = int (*)(Trans_ctl_rec *tctlp, zvPortType priority);
extern client_handler_t client_handler;

// The built-in test message: a 583-character X12 interchange from DXC7 to DXC_TEST.
constexpr int ZV_TEST_MESSAGE_LENGTH = 583;
extern const char zv_test_message[ZV_TEST_MESSAGE_LENGTH + 1];

// Largest body the pipe interface takes: the main record's input buffer less its NUL.
constexpr int ZV_MAX_RECORD_BODY = 65535;

// Largest body the socket interface takes. Its buffers are its own per request; the
// body with its NUL is the input buffer the ZVP process allocates, and its receiver
// allocates at most ZV_TRANS_MAX_ALLOC for one buffer. A larger announcement is refused
// before anything is allocated.
constexpr int ZV_MAX_SOCKET_BODY = ZV_TRANS_MAX_ALLOC - 1;
// The socket interface's output buffer: twice the body and 2,048 bytes, but never more
// than the receiver takes, so an envelope that cannot be delivered is refused by its
// builder instead.
constexpr int ZV_MAX_SOCKET_OUTPUT = ZV_TRANS_MAX_ALLOC;

int dir_in_buf(Trans_ctl_rec *tctlp, const char *dir);
int file_in_buf(Trans_ctl_rec *tctlp, const char *path);
int packet_in_buf(Trans_ctl_rec *tctlp, const char *path);
int pipe_in_buf(Trans_ctl_rec *tctlp, const char *path, int mode);
int iReadableEvent(int fd, Trans_ctl_rec *tctlp, const char *path);
int iSoc_in_buf(Trans_ctl_rec *tctlp, const char *port_text);
int test_in_buf(Trans_ctl_rec *tctlp);
int iSoap_in_buf();

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
// Reads, processes and closes one accepted connection. A body announced above
// ZV_MAX_SOCKET_BODY is reported as ZV_ERRM_UNSUPPORTED_INPUT_MSG_FOUND (transaction
// log and alert) for the connection's record; the peer gets no answer, as for any
// record.
void vProducer(int fd, Trans_ctl_rec *tctlp);
// One request read from `fd`, or NULL (logged). The caller passes it to
// iProcessSocRequest, which frees it.
request_t *ptGetSocRequest(int fd);
// The per-message result, -98 for a priority other than 0 or 1, -99 when the output
// buffer (twice the body and 2,048 bytes, at most ZV_MAX_SOCKET_OUTPUT) cannot be had.
// Frees the request.
int iProcessSocRequest(request_t *request, Trans_ctl_rec *tctlp);
void vCountSocRequests(int n);
void vPrintSocRequests();
// Requests read by the socket interface so far (the counter of vCountSocRequests).
int soc_request_count();

#endif
