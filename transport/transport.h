// Framed messages over non-blocking TCP sockets: open a connection (trans_connect), or
// serve one at a time (trans_listen), then read and write whole messages (trans_get,
// trans_put) until trans_close. The library knows nothing of the message contents; each
// connection's trans_config_t gives the header, trailer and largest data sizes and the two
// callbacks that read and write the data length of a header.
//
// Thread-safe: one process-wide table holds the state of every open descriptor, so a
// message may arrive over several reads; any thread may call the library, and calls on one
// descriptor are serialised. Not shared between processes.
//
// Every failure is -1 with the cause in errno: a system code, or one of the TRANS_ERR_*
// codes below. A -1 from trans_get or trans_put with any code but TRANS_ERR_INCOMPLETE and
// TRANS_ERR_NOT_OPEN (and EINVAL for a null message buffer) means the library has already
// closed the connection and freed its state; a later trans_close of that descriptor does
// nothing.
#ifndef ZV_TRANSPORT_TRANSPORT_H
#define ZV_TRANSPORT_TRANSPORT_H

#include <chrono>

// No complete message yet; what came stays buffered for the next read. Still open.
constexpr int TRANS_ERR_INCOMPLETE = 1001;
// The descriptor already had a table entry at open.
constexpr int TRANS_ERR_ALREADY_OPEN = 1002;
// The descriptor has no table entry.
constexpr int TRANS_ERR_NOT_OPEN = 1003;
// A header announced more data than max_data_size (or no usable length at all).
constexpr int TRANS_ERR_BAD_LENGTH = 1004;
// The descriptor's read state is corrupt.
constexpr int TRANS_ERR_BAD_STATE = 1006;
// The host name could not be resolved, or a text that begins with a digit is no dotted
// address (four decimal numbers from 0 to 255; never read in octal or in part).
constexpr int TRANS_ERR_NO_HOST = 1007;
// A frame of another type than the expected one (set by the transaction exchange).
constexpr int TRANS_ERR_BAD_TYPE = 1008;

// Descriptors 0 to TRANS_MAX_FD - 1 are served; a higher one is refused at open with
// EMFILE, and that refusal is the one failure the library logs (zv_log, level -1)
// whatever trans_debug says.
constexpr int TRANS_MAX_FD = 1024;

// The caller's message buffer: the header, then the data, then the trailer, contiguous.
// For reading it must hold hdr_size + max_data_size bytes (+ trailer_size in the
// synchronising mode, where the trailer is not copied but the caller may size for it).
typedef unsigned char io_message_t;

// Given the bytes received so far (at least hdr_size), the data length of the message that
// begins the buffer; -2 when no message begins at the first byte (it is dropped); any
// other negative value when more bytes are needed. In the synchronising mode a length is
// only to be returned once the whole message, trailer included, is in the buffer.
typedef int (*trans_length_from_msg_t)(unsigned char *buffer, int bytes_so_far);
// Writes data_length into the header of an outgoing message.
typedef int (*trans_length_to_msg_t)(unsigned char *buffer, int data_length);

// The framing of one connection. A non-zero trailer_size selects the synchronising read
// mode, in which leading bytes that begin no message are skipped and several messages may
// come in one read.
struct trans_config_t {
  int hdr_size;
  int trailer_size;
  int max_data_size;
  trans_length_from_msg_t length_from_msg;
  trans_length_to_msg_t length_to_msg;
};

// Called for each accepted connection with its descriptor (already opened in the table),
// the peer's port and dotted address. Owns the connection and closes it with trans_close;
// returns 0 to go on listening.
typedef int (*trans_accept_func_t)(int fd, int port, char *addr);

// 0 normally. From 1, a line on standard error at each failure; from 2 also at each read
// and write; from 3 also the first 16 bytes of each header in hex and each poll.
extern int trans_debug;

// Every wait of the library (for a connect, between connect attempts, for bytes to read,
// for room to write, for a connection to accept) looks at zv_shutdown at least every
// TRANS_STOP_SLICE_MS, whichever thread the stop signal reached, and once it is set ends
// with -1, EINTR unless said otherwise below; a read or write also closes the connection.
constexpr int TRANS_STOP_SLICE_MS = 250;

// An empty or null name means 127.0.0.1. A refused connection (and the other transient
// codes) is retried once a second until it succeeds or zv_shutdown is set, in which case
// -1 comes back with the last connect code (EINTR for a connect still in progress). A
// connect itself waits as long as the system lets it.
int trans_connect(const char *name_addr_str, int port, trans_config_t config);

// What a connect tells its caller while it waits for a peer that is down: note(arg, err)
// once, at the first attempt that failed with a code after which it tries again, and
// note(arg, 0) once the connection is made after that. Neither when the first attempt
// connects; no second when the wait ends otherwise (a stop, another failure).
typedef void (*trans_connect_note_t)(void *arg, int err);
// trans_connect, telling `note` (when not null) of a wait for a peer that is down.
int trans_connect_noting(const char *name_addr_str, int port, trans_config_t config,
                         trans_connect_note_t note, void *arg);

// An empty or null name means any local address. Serves one connection at a time in the
// calling thread; returns -1 only, on a failure, on a non-zero accept_func result, or when
// zv_shutdown is seen (errno EINTR). An accepted connection that cannot be made a library
// connection (a descriptor at or above TRANS_MAX_FD, no memory) is closed alone and never
// reaches accept_func; the listen goes on.
int trans_listen(const char *name_addr_str, int port, trans_config_t config,
                 trans_accept_func_t accept_func);
// trans_listen, calling listening(arg) (when not null) once the address is bound and
// listened on, before the first accept, in the calling thread.
int trans_listen_noting(const char *name_addr_str, int port, trans_config_t config,
                        trans_accept_func_t accept_func, void (*listening)(void *), void *arg);

// Makes an already connected socket a library connection (non-blocking, table entry).
// On failure the socket is closed.
int trans_complete_open(int fd, trans_config_t *config_p);

// The data length of one complete message (0 for a header-only one), copied with its
// header to msg_p, or -1. buf_length is not consulted. time_out in milliseconds: 0 tries
// once, -1 waits as long as it takes, any other value tries, waits at most that long
// once, and tries again. A wait ended by zv_shutdown is -1 with EINTR, connection closed.
// What one read brings is kept for the following calls: a message already complete in the
// connection's buffer is handed out without a read or a wait, and in both modes the
// messages complete in the buffer are handed out before a close of the peer is reported
// (-1 with EPIPE).
int trans_get(int fd, io_message_t *msg_p, int buf_length, int time_out);

// As trans_get waiting as long as it takes, but for a peer that may stall: when nothing
// arrives for idle_ms the connection is closed and -1 comes back with ETIMEDOUT. Every
// byte that arrives starts the bound again. Ends on zv_shutdown as trans_get does.
int trans_get_idle(int fd, io_message_t *msg_p, int buf_length, int idle_ms);

// As trans_get_idle, and bounded as a whole too: when `deadline` (on the monotonic clock)
// passes before the message is complete, the connection is closed and -1 comes back with
// ETIME, however steadily bytes arrive. A message already complete in the connection's
// buffer is handed out whatever the time.
int trans_get_until(int fd, io_message_t *msg_p, int buf_length, int idle_ms,
                    std::chrono::steady_clock::time_point deadline);

// Sets the length in msg_p's header and writes hdr_size + data_length + trailer_size bytes.
int trans_put(int fd, io_message_t *msg_p, int data_length);

// One message of trans_put_frames: a header of hdr_size bytes, into which the framing's
// length_to_msg writes the length, and data_length bytes of data that need not follow it.
struct trans_frame_t {
  unsigned char *hdr;
  const unsigned char *data;
  int data_length;
};

// Writes `count` messages in order, the same octets as a trans_put of each, but handed to
// the kernel together in as few writes as the system allows. For connections without a
// trailer only (else EINVAL, the connection left open, like a null `frames`). A data
// length below 0 or above max_data_size fails with TRANS_ERR_BAD_LENGTH before anything
// is written; that and a failed write close the connection, as for trans_put.
// *frames_done, when given, is the number of messages handed to the kernel whole, so a
// caller can tell which of its parts a failed write was in.
int trans_put_frames(int fd, trans_frame_t *frames, int count, int *frames_done);

// Ends the connection and frees its state; a descriptor without an entry is left alone.
int trans_close(int fd);

#endif
