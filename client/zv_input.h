// What the client's input interfaces share: the reads and waits that end at a deadline on
// the monotonic clock and give up at a stop, the bound on a whole record, the refusals of
// a document before its partner is known, the document readers that the directory
// interface lends from the file and packet interfaces, and the directory interface's
// dealings with the file it read (the open-for-writing test, the check after the read,
// the rename through the held directory).
//
// Internal to client/. Main thread only, as the interfaces are.
#ifndef ZV_CLIENT_ZV_INPUT_H
#define ZV_CLIENT_ZV_INPUT_H

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <functional>

#include "client/zv_message.h"
#include "runtime/zv_handles.h"
#include "runtime/zv_process.h"
#include "transport/zv_transport.h"

namespace zv_input {

using steady = std::chrono::steady_clock;

// How often a blocked read or wait looks at zv_shutdown.
constexpr int kShutdownPollMs = 250;

// The moment a record begun at `start` must be complete by: the transport's whole-record
// rule (zv_record_deadline_ms) for the announced body (0 before the length is known). A
// real sender of the largest record on a slow link meets it; a sender that keeps the
// silence bound by dribbling a byte now and then does not.
inline steady::time_point record_deadline(steady::time_point start, unsigned long long body) {
  return start + std::chrono::milliseconds(zv_record_deadline_ms(static_cast<long long>(body)));
}

void zero_buffers(Trans_ctl_rec *t);

// The file of the file or packet interface, opened as zv_open_regular opens it; null
// (logged, and the record's buffers cleared, so that the last document's bytes cannot
// pass for this one's) when it cannot be opened or is not a regular file.
zv_file_ptr open_document(Trans_ctl_rec *t, const char *path);

// Reads until at least `least` of at most `n` bytes have come, the stream ends, or a read
// fails. A socket is read first and waited for only when it has nothing, so a record that
// has arrived is taken in as few reads as its bytes allow; a pipe, whose reads may block,
// is waited for first. A wait gives up with EINTR when it sees zv_shutdown (a socket's
// before it begins, so that a peer that trickles cannot hold a stop off), with ETIMEDOUT
// once nothing has come for idle_ms (-1: no bound) since the last byte or the call, and
// with ETIME at `deadline`. Both bounds are kept on the monotonic clock, whatever signals
// cut the waits short. Returns the bytes read (errno set when fewer than `least`, 0 for
// the end of the stream).
size_t read_at_least(int fd, void *buf, size_t least, size_t n, bool is_socket, int idle_ms,
                     steady::time_point deadline = steady::time_point::max());

// Waits up to `ms` milliseconds (on the monotonic clock, whatever signals arrive) for `fd`
// to become readable or show a condition: its poll events, 0 at the deadline or at a stop
// (zv_shutdown), -1 with errno when the wait itself fails.
int wait_readable(int fd, int ms);

// The rest of `f`, at most `room` bytes, into `buf`. 0 at its end (*n the bytes read),
// 1 on a read error, 2 when more follows.
int read_rest(FILE *f, char *buf, size_t room, size_t *n);
// A read_rest result other than 0 (`read_errno` its errno) for the file `path` read by
// the entry named `reader`: said, and a file longer than the buffer refused
// (refuse_unread). Always -1.
int read_failed(Trans_ctl_rec *t, int read, int read_errno, const char *path,
                const char *reader);

// A document refused before its partner is known: its report names no kind, no
// interchange and no partner, whichever interface refused it and whatever document the
// record carried before (message type 0 everywhere).
void no_partner(Trans_ctl_rec *t);

// A file that is not the document it should be (longer than the record's input buffer, or
// a packet file whose header is malformed), reported as a refused document about no
// partner. What is in the buffer is not the document: the lengths are hidden from the
// report so that no copy of it is kept (the file itself is).
void refuse_unread(Trans_ctl_rec *t);

// What the directory interface asks of a reader: `unchanged` is called once the document
// has been read, before anything is handed over or refused. When it says false the reader
// hands over and reports nothing, sets `changed` and returns -1.
struct read_check {
  std::function<bool()> unchanged;
  bool changed = false;
};

// The open file `f` (named `path` in the log) as a document of the interface named
// `interface` (the file interface, or the directory interface for each of its files).
int file_document(Trans_ctl_rec *tctlp, FILE *f, const char *path, const char *interface,
                  read_check *check = nullptr);
// The open packet file `f`, named `path`.
int packet_document(Trans_ctl_rec *tctlp, FILE *f, const char *path, read_check *check = nullptr);

// ---- the directory interface's file --------------------------------------------------

// True when the file read through `fd` is still as `stamp` saw it and still the file that
// `name` in `dir_fd` holds: the check after the read.
bool still_as_read(int dir_fd, const char *name, int fd, const zv_entry_stamp &stamp);

// True when a process has the open file `fd` open for writing, as far as the system can
// tell: a read lease is refused while a writer holds the file. Where no lease can be had
// at all (not the file's owner, a file system without leases) it cannot tell: false. A
// lease taken is given up at once: held, it would stop a writer's open.
bool open_for_writing(int fd);

// What became of the file read when it was to be renamed.
enum class rename_outcome {
  renamed,   // the file read has its new name (the wanted one, or a fresh one)
  gone,      // nothing is at its name any more
  replaced,  // its name holds another file now, left where it is
};

// Renames the file read (`read`: what was opened) from `name` to `target` in the
// directory `dir_fd` (named `dir` in the log), never replacing what has that name: a fresh
// name `prefix`XXXXXX is taken then, in the directory, failing that in /tmp. Checks
// first that the name still holds the file read, and after the rename that the file moved
// is the one read, moving it back to its name if another slipped in between (the only
// window left is the instant between that check and the rename, and between a rename and
// its undoing). A rename that fails every way ends the process (abort), after its
// "FATAL ERROR:" line: the file read would be read again.
rename_outcome rename_read(int dir_fd, const char *dir, const char *name,
                           const zv_entry_stamp &read, const char *target, const char *prefix);

}  // namespace zv_input

#endif
