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

#include "transport/transport.h"

// Read states.
constexpr int RS_START = 0;       // no message begun
constexpr int RS_HEADER = 1;      // gathering a header
constexpr int RS_DATA = 2;        // gathering the data part
constexpr int RS_SYNC_START = 3;  // synchronising mode, nothing buffered
constexpr int RS_SYNC = 4;        // synchronising mode, reading

// The state of one open descriptor. Allocated in one block with its buffer of
// hdr_size + max_data_size + trailer_size bytes, which `buffer` points into.
struct io_table_t {
  pthread_mutex_t conn_mutex;
  int read_state;
  int bytes_so_far;  // of the part being read; in synchronising mode, all buffered
  int curr_data_size;
  struct timeval last_rcv;  // kept, not maintained
  int hdr_size;
  int trailer_size;
  int max_data_size;
  trans_length_from_msg_t length_from_msg;
  trans_length_to_msg_t length_to_msg;
  unsigned char *buffer;
};

extern io_table_t *fd_table_ptrs[TRANS_MAX_FD];
extern pthread_mutex_t table_mutex;

int readMessage(int fd, io_message_t *msg_p);
int readSync(int fd, io_table_t *entry, int length);
int readSock(int fd, unsigned char *buffer, int len);
int writeSock(int fd, const unsigned char *data, int len);
int waitOneFD(int fd, int time_out);

// Fills `addr` with the IPv4 address of name_addr_str and port (network order). An empty
// or null name gives 127.0.0.1, or any local address when `for_listen`. -1 with
// TRANS_ERR_NO_HOST when the name does not resolve.
int trans_resolve(const char *name_addr_str, int port, bool for_listen, sockaddr_in *addr);

// Shuts a socket down in both directions and closes it, keeping errno.
void trans_drop_socket(int fd);

// A line on standard error when trans_debug is at least `level`.
void trans_trace(int level, const char *format, ...) __attribute__((format(printf, 2, 3)));

#endif
