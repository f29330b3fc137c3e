// The diagnostic logger of every process, its line prefix, the log streams, the thread
// registry that numbers threads for the prefix, and the crypto library's thread
// callbacks whose static lock 26 is the process's log lock.
//
// Thread-safe: any thread may log; each line is formatted in the caller's own buffer
// and written with one call. Diagnostic lines go to standard output and standard error
// only; the log files are opened, reopened on SIGUSR1 and closed, never written here.
#ifndef ZV_RUNTIME_ZV_LOG_H
#define ZV_RUNTIME_ZV_LOG_H

#include <cstdio>

#include "runtime/zv_common.h"

// Size of the line buffer of one zv_log call: prefix and message must fit in it.
constexpr int ZV_LOG_LINE_SIZE = 66560;

void zv_log(int level, const char *format, ...) __attribute__((format(printf, 2, 3)));
int zv_logme2(char *buffer);
void zv_log_init(const char *plogpath, const char *perrpath, const char *psAlertPath);
void print_version();
char *make_message(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void zv_logerrno(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
int dump_tctlp(int log_level, Trans_ctl_rec *t);
int dump_tctlp_all(int log_level, Trans_ctl_rec *t, int tag);
int dump_raw_input(const char *buffer, int buf_length);

// The log lock (static lock 26): a real mutex once THREAD_setup has run, else no-op.
void zv_log_lock();
void zv_log_unlock();

// Log streams; `alertfile` is written and closed by the alert logger.
extern FILE *logfile;
extern FILE *errlogfile;
extern FILE *alertfile;

// Thread registry.
int zv_init_thr_list();
int zv_set_thread(int thread_type);
unsigned zv_get_thread();
int zv_done_thread(int thread_type);

int THREAD_setup();
int THREAD_cleanup();

#endif
