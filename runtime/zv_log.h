// The diagnostic logger of every process, its line prefix, the log streams, the thread
// registry that numbers threads for the prefix, and the crypto library's thread
// callbacks whose static lock 26 is the process's log lock.
//
// Thread-safe: any thread may log; each line is formatted in the caller's own buffer
// and written with one call. A reopen (zv_log_init) runs in whichever thread logs
// first after SIGUSR1; concurrent reopens and closes take turns on a module mutex. Diagnostic lines go to standard output and standard error
// only; the log files are opened, reopened on SIGUSR1 and closed, never written here.
//
// The crypto library in use (OpenSSL 3) no longer calls locking callbacks, so this
// module keeps the lock table of the older library itself: 33 static locks, reached
// through zv_crypto_lock, which does nothing until THREAD_setup has installed
// locking_function. The log lock is therefore a real mutex in clientd and a no-op in
// failoverd and before THREAD_setup.
#ifndef ZV_RUNTIME_ZV_LOG_H
#define ZV_RUNTIME_ZV_LOG_H

#include <pthread.h>

#include <cstdio>

#include "runtime/zv_common.h"

// Size of the line buffer of one zv_log call: prefix and message must fit in it; a
// longer message is cut at the end of the buffer, and its last character kept there is
// a newline.
constexpr int ZV_LOG_LINE_SIZE = 66560;

// The static locks of the crypto library, and the one the system uses as its log lock.
constexpr int ZV_NUM_STATIC_LOCKS = 33;
constexpr int ZV_LOG_LOCK = 26;
// Lock modes, as the older crypto library numbered them.
constexpr int ZV_CRYPTO_LOCK = 1;
constexpr int ZV_CRYPTO_UNLOCK = 2;
constexpr int ZV_CRYPTO_READ = 4;
constexpr int ZV_CRYPTO_WRITE = 8;

// Slots of the thread registry: 0 to 97 are handed out, 98 answers when all are taken.
constexpr int ZV_THR_SLOTS = 98;
constexpr int ZV_THR_TYPES = 10;

// Every prefixed line (all levels but -3) is written with the control characters of its
// message escaped as zv_escape_controls does, the one newline that ends the message
// excepted, so that text from outside (a file name, a peer's or a document's text) can
// never start a line of its own. Level -3 (the banners) is written as it is.
void zv_log(int level, const char *format, ...) __attribute__((format(printf, 2, 3)));
// Copies `len` bytes of `text` into `out` (`size` bytes, the terminating NUL included)
// with each control character (every byte below 0x20) escaped: newline, carriage return
// and tab as \n, \r and \t, the others as \xNN with two lower-case hex digits; every
// other byte, a backslash too, is copied as it is. The copy ends before the first escape
// or byte that does not fit whole. Returns the number of bytes written (NUL excluded).
size_t zv_escape_controls(const char *text, size_t len, char *out, size_t size);
// Whether `len` bytes of `text` hold a character zv_escape_controls escapes.
bool zv_has_controls(const char *text, size_t len);
int zv_logme2(char *buffer);
// Opens the three files for appending, each only when it is a regular file of its own
// (no link is followed and nothing waits, zv_fopen_append); one that cannot be opened or
// is refused falls back as before, with its line.
void zv_log_init(const char *plogpath, const char *perrpath, const char *psAlertPath);
// Carries out the reopen SIGUSR1 asked for, if one is pending: zv_log does so after every
// call; a process that may go long without logging calls it while it waits.
void zv_log_reopen_if_asked();
// Whether the last zv_log_init refused one of its names (a symbolic link, a FIFO, a file
// with other names); start-up fails then, a reopen goes on with the fallback.
bool zv_log_refused();
void print_version();
// The start banner of a process: the product lines and the supported issues.
void zv_start_banner();
// The caller frees the result; NULL when memory runs out.
char *make_message(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void zv_logerrno(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
int dump_tctlp(int log_level, Trans_ctl_rec *t);
int dump_tctlp_all(int log_level, Trans_ctl_rec *t, int tag);
int dump_raw_input(const char *buffer, int buf_length);

// The crypto library's lock dispatcher: passes the request to the installed locking
// callback, does nothing while none is installed.
void zv_crypto_lock(int mode, int n, const char *file, int line);

// The log lock (static lock 26, write mode): held around banners, alert lines and
// transaction-log lines. Only the stream lock below may be taken while it is held.
void zv_log_lock();
void zv_log_unlock();

// The stream lock (recursive): held by a reopen, by the closes below and by whoever
// writes to `alertfile`, so no write reaches a stream a reopen is replacing. Taken
// inside the log lock, never around it.
void zv_log_streams_lock();
void zv_log_streams_unlock();

// For the process's exit only: takes the log lock, then the stream lock, and never gives
// them back, so that no other thread writes a banner, alert or transaction-log line or
// reopens a stream from here on (such a thread waits until the process has ended). The
// calling thread must not hold the log lock.
void zv_log_hold();

// Log streams; `alertfile` is written by the alert logger. A stream may stand in for
// another (standard error for an unopenable file, the error-log stream for the alert
// file); close them only through the two calls below, which never close a stand-in.
extern FILE *logfile;
extern FILE *errlogfile;
extern FILE *alertfile;

// Closes the alert stream if it was opened from a file name, and sets it to none.
void zv_close_alertfile();
// Closes the three streams (each at most once, stand-ins never) and sets them to none.
void zv_log_close();

// Thread registry. thread_type is 0 to 9; another value is refused with -1.
int zv_init_thr_list();
int zv_set_thread(int thread_type);
unsigned zv_get_thread();
int zv_done_thread(int thread_type);

// The crypto library's thread callbacks. THREAD_setup runs before a second thread exists.
struct CRYPTO_dynlock_value {
  pthread_mutex_t mutex;
};
int THREAD_setup();
int THREAD_cleanup();
void locking_function(int mode, int n, const char *file, int line);
unsigned long id_function();
CRYPTO_dynlock_value *dyn_create_function(const char *file, int line);
void dyn_lock_function(int mode, CRYPTO_dynlock_value *l, const char *file, int line);
void dyn_destroy_function(CRYPTO_dynlock_value *l, const char *file, int line);

#endif
