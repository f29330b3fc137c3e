// The exchange of one transaction between the processes of an installation: a sender
// (send_transport_msg) connects to a process's transport address and sends one
// Trans_ctl_rec as a control frame followed by its certificates, buffers and digest, and
// waits for the acknowledgement; a receiver serves an address (listen_transport) and
// rebuilds each record (receive_transport_msg). One transaction per connection.
//
// This header is also the one definition of the wire format, which binds every process
// of an installation, those outside this repository included: frames of a 4-byte header
// (type, data size; big-endian) and at most 1000 data bytes, and the 208-byte control
// record trans_tctl_t. Both ends build and read the frames through these definitions.
//
// Each call works on its own connection and record, so any thread may call it; the only
// lock of its own guards the few certificates that receivers keep parsed. The partner
// table is only read.
#ifndef ZV_TRANSPORT_ZV_TRANSPORT_H
#define ZV_TRANSPORT_ZV_TRANSPORT_H

#include <cstddef>

#include <openssl/types.h>

#include "runtime/zv_byteorder.h"
#include "runtime/zv_common.h"
#include "transport/transport.h"

// Frame types.
enum trans_message_type {
  TRANS_TCTL = 0,   // the control record
  LOCAL_CERT = 1,   // DER X.509 certificate
  REMOTE_CERT = 2,  // DER X.509 certificate
  IN_BUFFER = 3,
  OUT_BUFFER = 4,
  DIGEST = 5,       // digest text without its NUL
  TRANS_ACK = 6,    // no data
  TRANS_NACK = 7,   // defined, never sent
};

constexpr int TRANS_HDR_SIZE = 4;
constexpr int TRANS_MAX_DATA = 1000;
constexpr int TRANS_TCTL_SIZE = 208;

// The most a receiver allocates for one announced buffer or certificate. The system's own
// buffers are 64 KiB; anything above this limit is refused, not allocated.
constexpr int ZV_TRANS_MAX_ALLOC = 16 * 1024 * 1024;

// A receiver drops a connection that brings nothing for this long while its transaction
// is incomplete (before its first byte included), so that a stalled peer cannot hold a
// listener that serves one connection at a time. The sender's wait for the
// acknowledgement has no such bound: a busy receiver may leave it in its backlog.
constexpr int ZV_TRANS_IDLE_SECONDS = 10;

// A record or transaction is also bounded as a whole, so that a sender that dribbles a
// byte now and then cannot hold a listener for ever: it must have arrived within
// ZV_TRANS_IDLE_SECONDS plus its announced size at ZV_RECORD_MIN_RATE bytes a second
// (a slow link's rate, which every real sender of the largest record meets), counted from
// its connection's accept. Shared by the transport's receiver (the announced size is the
// transaction's bytes on the wire, frame headers included) and the client's socket
// interface (its record's).
constexpr long long ZV_RECORD_MIN_RATE = 10000;
constexpr long long zv_record_deadline_ms(long long size) {
  return ZV_TRANS_IDLE_SECONDS * 1000LL + (size > 0 ? size : 0) * 1000 / ZV_RECORD_MIN_RATE;
}

// One frame. All integers big-endian.
struct msghdr_t {
  unsigned char msg_type[2];  // trans_message_type
  unsigned char msg_size[2];  // data bytes that follow, 0 to 1000
};
struct msgdata_t {
  unsigned char data[TRANS_MAX_DATA];
};
struct msg_t {
  msghdr_t hdr;
  msgdata_t msg;
};

// The control record, the data of one TRANS_TCTL frame. Integers are 32-bit two's
// complement, big-endian; every byte not set by a field is zero.
struct trans_tctl_t {
  unsigned char who[4];
  unsigned char msg_type[4];
  unsigned char iPriority[4];
  unsigned char zvp_version[4];
  unsigned char dest_port[4];
  char dest_ip[20];       // NUL-padded; all zero when the record has none
  char partner_id[31];    // st_tpid_str_t, see flaten_partner_id
  char isa_line[106];     // up to its NUL, NUL-padded
  unsigned char padding[3];
  unsigned char imsg_length[4];
  unsigned char ibuf_alloc_length[4];
  unsigned char omsg_length[4];
  unsigned char obuf_alloc_length[4];
  unsigned char local_cert_length[4];
  unsigned char remote_cert_length[4];
  unsigned char digest_length[4];
};

static_assert(sizeof(msghdr_t) == TRANS_HDR_SIZE);
static_assert(sizeof(msg_t) == TRANS_HDR_SIZE + TRANS_MAX_DATA);
static_assert(sizeof(trans_tctl_t) == TRANS_TCTL_SIZE);
static_assert(offsetof(trans_tctl_t, dest_port) == 16);
static_assert(offsetof(trans_tctl_t, dest_ip) == 20);
static_assert(offsetof(trans_tctl_t, partner_id) == 40);
static_assert(offsetof(trans_tctl_t, isa_line) == 71);
static_assert(offsetof(trans_tctl_t, padding) == 177);
static_assert(offsetof(trans_tctl_t, imsg_length) == 180);
static_assert(offsetof(trans_tctl_t, digest_length) == 204);

// The framing callbacks of the exchange (bytes 2 and 3 of the header).
int length_from_header(unsigned char *msg_p, int len);
int length_to_header(unsigned char *msg_p, int len);

// The framing both ends use: 4-byte header, no trailer, at most 1000 data bytes.
extern const trans_config_t zv_trans_config;

// Sends one transaction to the host:port text and waits for its acknowledgement: 0 when
// it came (a TRANS_ACK frame without data; a frame of another type or with data is
// refused, with an ERROR line, since the peer may have the transaction), -1 otherwise.
// All its frames are handed to the kernel together. The record is only read; the caller
// keeps everything in it.
// A record whose lengths contradict its buffers (a length above its allocation, a message
// without an allocation, a digest over 2048 characters, a missing buffer) is refused
// before anything is connected. The wait for the acknowledgement has no time limit but
// ends on zv_shutdown (in any thread) with -1.
int send_transport_msg(Trans_ctl_rec *tctlp, st_socaddr_t *trans_socaddr);

// Told of an outage of the peer a send waits for (the connect's retries, once a second):
// note(where, err) once when its first connect attempt failed with a code after which it
// tries again, and note(where, 0) once it has connected after that. `where` is the
// host:port text. So once per outage: a connect waits for its peer as long as it takes,
// unless a stop ends the wait (and the process).
typedef void (*trans_outage_note_t)(const char *where, int err);
// send_transport_msg, telling `note` (when not null) of an outage of its peer.
int send_transport_msg_noting(Trans_ctl_rec *tctlp, st_socaddr_t *trans_socaddr,
                              trans_outage_note_t note);

// Serves the host:port text until listening fails (always -1). accept_func gets each
// connection as from trans_listen, must close it (receive_transport_msg does) and return 0.
int listen_transport(st_socaddr_t *local_socaddr, trans_accept_func_t accept_func);
// listen_transport, calling `listening` (when not null) once the address is held and
// listened on, before the first connection is served, in the calling thread.
int listen_transport_noting(st_socaddr_t *local_socaddr, trans_accept_func_t accept_func,
                            void (*listening)());

// Reads one transaction from an accepted connection into *tctlp, acknowledges it and
// closes the connection; 0 / -1. *dest_ip receives the destination address text and the
// record's dest_ip points at it. On success the record's owner owns ibufferp and obufferp
// (free) and a reference to each of pLocalCert and pRemoteCert (X509_free). A certificate
// whose DER octets came before is handed out as a new reference to the object parsed
// then, which other records and threads may hold too: it is only to be read. On failure the record is left as it
// was given and nothing is acknowledged: a transaction whose announced lengths exceed its
// allocations, the digest's 2048 characters or ZV_TRANS_MAX_ALLOC, or whose part brings
// more bytes than announced, is refused, and so is a peer that stalls for
// ZV_TRANS_IDLE_SECONDS or whose transaction is not whole by zv_record_deadline_ms of its
// bytes (both logged at level -1), or a receive that zv_shutdown ends. A partner
// id that names no partner sets tp_index to -1 and the transaction is still received.
int receive_transport_msg(Trans_ctl_rec *tctlp, int socket_fd, st_ipaddr_t *dest_ip);

// receive_transport_msg for a receiver that acknowledges only what it has handed on or
// kept: on success the record is filled and the connection is left open and
// unacknowledged, for answer_transport_msg. On failure it is closed, as there.
int receive_transport_msg_held(Trans_ctl_rec *tctlp, int socket_fd, st_ipaddr_t *dest_ip);
// The answer to a transaction received with receive_transport_msg_held: the
// acknowledgement when `taken`, then the close; without it the sender sees the close
// alone and counts the transaction as not taken. 0, or -1 when the acknowledgement could
// not be written (the connection is closed either way).
int answer_transport_msg(int socket_fd, bool taken);

// Splits "host:port" at its first ':'. -1 without a ':', for a port that is not a plain
// decimal number from 1 to 65535 (zv_read_port), or for a host of more than 19
// characters; *ip_addr and *port are then untouched. An empty host is allowed (loopback
// when connecting, any when listening); the host itself is read where it is used
// (trans_connect, trans_listen).
int prepare_addr(st_socaddr_t *socaddr, st_ipaddr_t *ip_addr, int *port);

// The partner entry of a flattened partner id; -1 when none matches or when either half
// is empty (its first byte a blank or NUL), *piTp_index then unchanged.
int create_partner_index(st_tpid_str_t *ptPartner_id, int *piTp_index);

// Writes bytes 0 to 29 of the flattened id of the record's partner: its local_id padded
// with blanks to 15, then the 15 bytes of its remote_id as stored. Byte 30 is not written.
// -1, writing nothing, when tp_index names no entry of the table.
int flaten_partner_id(Trans_ctl_rec *tctlp, st_tpid_str_t *ptPartner_id);

// A new X509 from DER bytes, owned by the caller.
int create_cert_struct(X509 **ppCert, unsigned char *pCert_buf, int iCert_length);

// The DER of a certificate in a new buffer that the caller frees with OPENSSL_free.
int flatten_cert_struct(X509 *pCert, unsigned char **ppBuffer, int *piLength);

#endif
