// The spine of the program clientd: its main (clientd_main: start-up, role and
// interface choice, exit statuses), the per-message function `clientd` that classifies
// one input, builds its envelope for the partner's local identity and hands the whole
// transaction to that identity's ZVP process, and the receipt-client role, whose
// listener thread takes receipt and status requests from the receipt socket and sends
// each on through `clientd`.
//
// Threads: the client role runs on the main thread only. The receipt client adds one
// listener thread, which serves one connection at a time and is the only user of the
// main record's buffers while it runs; the main thread only sleeps until shutdown, or
// until the listener's listen ends without one, which ends the process (status -3).
#ifndef ZV_CLIENT_ZV_CLIENTD_H
#define ZV_CLIENT_ZV_CLIENTD_H

#include <pthread.h>

#include "runtime/zv_common.h"

// Size of each of the main record's two static buffers.
constexpr int ZV_CLIENT_BUF_SIZE = 65536;

// Hands one classified-and-built transaction to the ZVP process at `socaddr`: 0 when it
// was acknowledged. send_transport_msg_noting, with one WARNING line when the ZVP process
// cannot be reached and the document waits for it and one INFO line when it is reached
// again, unless a test puts another sender in its place.
using clientd_sender_t = int (*)(Trans_ctl_rec *tctlp, st_socaddr_t *socaddr);
extern clientd_sender_t clientd_sender;

// The per-message function. Expects ibufferp to hold the NUL-terminated input within
// ibuf_length bytes (in packet mode: the ready packet in the output buffer, obuf_length
// its length, the input's imsg_length and tp_index set) and obufferp/obuf_length to name
// the output buffer and its capacity. 0 when the transaction was handed over; -1 after
// reporting its refusal with the whole input kept as the copy of the failed message;
// ZV_REFUSED_NOT_KEPT (client/zv_message.h) when that copy could not be saved. On return
// ibufferp, ibuf_length and obuf_length are what they were on entry, so one record can
// carry one document after another.
int clientd(Trans_ctl_rec *tctlp, zvPortType priority);

// Receipt-client role. 0 after an orderly stop, -1 when the listener cannot start or
// its listen ends without a stop (reported by the listener; the caller ends the process).
// Calls zv_started once the listener holds the receipt socket and listens, not before.
// A request is refused (its text kept as the copy) when its priority is not 0 or 1, when
// it does not fit the input buffer with its ending NUL, or when it holds a NUL inside.
// Its sender's transaction is acknowledged only once the request has been handed to the
// ZVP process or refused and kept whole; otherwise the connection closes without it.
int receipt_in_buf(Trans_ctl_rec *tctlp, const char *socaddr);

// The parameter block of the receipt listener thread; allocated by
// create_receipt_listen, freed by the thread once it has copied it.
using receipt_accept_func_t = int (*)(int fd, int port, char *addr);
struct listen_thread_t {
  st_socaddr_t listen_socaddr;
  st_ipaddr_t listen_addr;
  int listen_port;
  receipt_accept_func_t accept_func;
};

// Starts the listener thread on `socaddr` (host:port). 0 / -1 (logged).
int create_receipt_listen(pthread_t *thread, const char *socaddr, receipt_accept_func_t accept_func);
void *do_receipt_listen(void *arg);

// The accept callback of the receipt socket: receives one transaction and sends it on.
// Always 0; failures are reported.
int process_message(int fd, int remote_port, char *remote_addr);

// Everything main does. Returns only for the packet-mode refusal of the file interface
// (-1); otherwise it ends the process: -1 start-up failed (a setting refused at start
// included, zv_refuse_at_start), -2 thread set-up failed, -3 the interface or the receipt
// listener failed, 0 an orderly stop.
int clientd_main(int argc, char **argv);

#endif
