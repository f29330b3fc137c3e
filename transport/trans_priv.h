// Inside the framed-socket library: the per-descriptor state, the descriptor table and
// the helpers that transport.cc, trans_connect.cc and trans_listen.cc share. Not for
// callers of the library.
//
// Lock order: table_mutex first, then an entry's conn_mutex, taken while table_mutex is
// held; table_mutex is released before any socket I/O.
#ifndef ZV_TRANSPORT_TRANS_PRIV_H
#define ZV_TRANSPORT_TRANS_PRIV_H

#include <netinet/in.h>
#include <pthread.h>
#include <sys/time.h>
#include <sys/uio.h>

#include "transport/transport.h"

// Read states.
constexpr int RS_START = 0;       // no message begun
constexpr int RS_HEADER = 1;      // gathering a header
constexpr int RS_DATA = 2;        // gathering the data part
constexpr int RS_SYNC_START = 3;  // synchronising mode, nothing buffered
constexpr int RS_SYNC = 4;        // synchronising mode, reading

// What one read may take in at most, so that the frames a peer sent together are cut
// from the buffer without a read each; a connection whose largest message is bigger gets
// a buffer of that size instead.
constexpr int TRANS_READ_AHEAD = 32 * 1024;

// The state of one open descriptor. Allocated in one block with its buffer of
// buffer_size bytes (at least one whole message), which `buffer` points into. The bytes
// read and not yet handed out are the bytes_so_far bytes from buffer + start; the
// message being gathered begins there.
struct io_table_t {
  pthread_mutex_t conn_mutex;
  int read_state;
  int bytes_so_far;  // buffered, from `start`
  int curr_data_size;  // of the message at `start`, once its header is read (RS_DATA)
  struct timeval last_rcv;  // kept, not maintained
  int hdr_size;
  int trailer_size;
  int max_data_size;
  trans_length_from_msg_t length_from_msg;
  trans_length_to_msg_t length_to_msg;
  unsigned char *buffer;
  int buffer_size;
  int start;
};

extern io_table_t *fd_table_ptrs[TRANS_MAX_FD];
extern pthread_mutex_t table_mutex;

int readMessage(int fd, io_message_t *msg_p);
int readSync(int fd, io_table_t *entry);
int readSock(int fd, unsigned char *buffer, int len);
int writeSock(int fd, const unsigned char *data, int len);
int writevSock(int fd, struct iovec *iov, int iovcnt, size_t *written);
int waitOneFD(int fd, int time_out);

// Waits for `events` on fd at most time_out milliseconds (-1 without limit), looking at
// zv_shutdown after every slice of TRANS_STOP_SLICE_MS whichever thread the stop signal
// reached: 1 when ready, 0 when the time ran out, -1 with errno (EINTR for the stop).
int trans_wait(int fd, short events, int time_out);

// Fills `addr` with the IPv4 address of name_addr_str and port (network order). An empty
// or null name gives 127.0.0.1, or any local address when `for_listen`; a text that
// begins with a digit must be a dotted address as zv_read_ipv4 reads it; any other is a
// host name. -1 with TRANS_ERR_NO_HOST when the text is no address or the name does not
// resolve.
int trans_resolve(const char *name_addr_str, int port, bool for_listen, sockaddr_in *addr);

// Shuts a socket down in both directions and closes it, keeping errno.
void trans_drop_socket(int fd);

// A line on standard error when trans_debug is at least `level`.
void trans_trace(int level, const char *format, ...) __attribute__((format(printf, 2, 3)));

#endif
