// What the client's input interfaces share: the reads that wait with a bound and give up
// at a stop, the refusals of a document before its partner is known, and the two
// document readers that the directory interface lends from the file and packet
// interfaces.
//
// Internal to client/. Main thread only, as the interfaces are.
#ifndef ZV_CLIENT_ZV_INPUT_H
#define ZV_CLIENT_ZV_INPUT_H

#include <cstddef>
#include <cstdio>

#include "client/zv_message.h"

namespace zv_input {

// How often a blocked read or wait looks at zv_shutdown.
constexpr int kShutdownPollMs = 250;

void zero_buffers(Trans_ctl_rec *t);

// Reads until at least `least` of at most `n` bytes have come, the stream ends, or a read
// fails. A socket is read first and waited for only when it has nothing, so a record that
// has arrived is taken in as few reads as its bytes allow; a pipe, whose reads may block,
// is waited for first. A wait gives up with EINTR when it sees zv_shutdown (a socket's
// before it begins, so that a peer that trickles cannot hold a stop off), and with
// ETIMEDOUT once nothing has come for idle_ms (-1: no bound) since the last byte or the
// call. Returns the bytes read (errno set when fewer than `least`, 0 for the end of the
// stream).
size_t read_at_least(int fd, void *buf, size_t least, size_t n, bool is_socket, int idle_ms);

// The rest of `f`, at most `room` bytes, into `buf`. 0 at its end (*n the bytes read),
// 1 on a read error, 2 when more follows.
int read_rest(FILE *f, char *buf, size_t room, size_t *n);

// A document refused before its partner is known: its report names no kind, no
// interchange and no partner, whichever interface refused it and whatever document the
// record carried before (message type 0 everywhere).
void no_partner(Trans_ctl_rec *t);

// A file longer than the record's input buffer, reported as a refused document about no
// partner. Only its beginning is in the buffer, which is not the document: the lengths
// are hidden from the report so that no copy of it is kept.
void refuse_too_long(Trans_ctl_rec *t);

// The open file `f` (named `path` in the log) as a document of the interface named
// `interface` (the file interface, or the directory interface for each of its files).
int file_document(Trans_ctl_rec *tctlp, FILE *f, const char *path, const char *interface);
// The open packet file `f`, named `path`.
int packet_document(Trans_ctl_rec *tctlp, FILE *f, const char *path);

}  // namespace zv_input

#endif
