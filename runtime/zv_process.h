// Process start-up (the one routine every program's main calls first), the orderly exit,
// the signal handlers, and the small file and directory utilities other modules use.
//
// Start-up runs on the main thread before any other thread exists. Any thread may call
// the exit; the first caller carries it out while later callers wait for the end. The
// signal handlers only set flags. The file utilities keep no state; any thread may call
// them.
#ifndef ZV_RUNTIME_ZV_PROCESS_H
#define ZV_RUNTIME_ZV_PROCESS_H

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdio>

// 0 when the process is ready, -1 when start-up failed (the caller exits with -1).
// Ends the process itself for -V and -u (0), a bad option (2), an unsupported program
// name, a missing required file or directory and a failed shared table (-1). The
// parent of the daemon leaves inside, as iDaemonize says.
int init_zv_process(int argc, char **argv);
// Says "started" to whoever launched the program: called once the process holds what it
// serves (its input interface or listener set up, its directory or store held). Until
// then a start-up failure is what the launcher is told, and a failing exit gives the pid
// file back. Any thread may call it; a second call, or one in a process that was not
// launched through iDaemonize, tells no one.
void zv_started();
void init_globals();
// Forks; returns in the child (0, or -1 when setpgrp fails). The parent never returns:
// it waits until the child calls zv_started (exit status 0) or ends (its exit status, or
// 128 + the signal that killed it, with a line saying so), at most 10 seconds; at that
// bound it says with a WARNING line that the child is still starting and leaves with 0.
// An ended child is left unreaped, for whoever adopts it to collect its status.
// A child that ends with a non-zero status leaves the pid file `program`.pid as it was
// before the fork. -1 without a fork when the socket pair to the child cannot be made.
int iDaemonize(const char *dir, int redirect);
int pid_file(const char *name);
// Puts back what the pid file held before pid_file wrote it (removes it when there was
// none), so that it still names the process that runs; at most once, and only in the
// process that wrote it. A process that finds after start-up that another one already
// does its work calls it; vZvExit with a non-zero status and a start-up failure call it
// themselves until zv_started has been called.
void pid_file_give_back();
void store_build();
int iVerifyFilesAndDirsByProcess(int role);
int iVerifyFilesAndDirs(int n);
// Both return only when the path exists; otherwise they report and call vZvExit(-1).
void verify_dir(const char *path);
void vVerifyFile(const char *path, const char *description);
// Installs the handlers with sigaction. SIGTERM and SIGALRM set zv_shutdown and interrupt
// the blocking call they reach (EINTR, no restart); SIGHUP and SIGINT are caught and do
// nothing, SIGUSR1 asks for a log reopen, SIGCHLD reaps finished children, each restarting
// the call it interrupted; SIGPIPE and SIGIO are ignored.
void init_signal_handlers();
void set_sig_flags(int sig);
void sigchld_handler(int sig);
// Writes the partner-activity cache, destroys the shared tables, closes the log streams
// and ends the process with `status` (a non-zero status before zv_started gives the pid
// file back first). Threads still running wait from then on at the
// first table, log lock or stream they reach, so none touches what was released; a
// second caller (another fatal code) waits the same way and the first caller's status
// stands. With other threads alive the process ends with _exit after flushing its
// streams, so the atexit handlers and static destructors never run under them. The
// calling thread must hold no table, log or stream lock.
[[noreturn]] void vZvExit(int status);

// Renames src to dir/name; falls back to a fresh name with `prefix` in dir, then in
// /tmp. With `fatal` set a complete failure aborts the process, else it returns -1.
int safe_rename(const char *src, const char *name, const char *dir, const char *prefix,
                int fatal);
// safe_rename that never replaces a file, directory or link at dir/name: a taken name
// takes the fresh-name fallback with its WARNING line. A source that is no longer there
// (moved or removed by someone else) is reported and gives -1 without stopping.
int safe_rename_new(const char *src, const char *name, const char *dir, const char *prefix,
                    int fatal);
// Sleeps `ms` milliseconds, to a deadline on the monotonic clock: a signal that cuts the
// sleep short does not end it (it sleeps on to the same deadline), and a change of the
// wall clock does not move it. Only zv_shutdown ends it early, seen within a quarter of a
// second. 0 when the whole time has passed; -1 with errno EINTR after a stop (also when
// zv_shutdown was already set), another errno when the clock cannot be slept on.
int millisleep(unsigned ms);
// Milliseconds on the monotonic clock, for deadlines that a change of the wall clock must
// not move.
long long zv_monotonic_ms();
// 1 exists, 2 empty name or no such file, -99 stat reported a mode of 0. Never 0.
int iFileExists(const char *name);
long iFileSize(const char *name);
int iFileRemove(const char *name);
int iFileRename(const char *oldname, const char *newname);
int iSearchDir(const char *dir, const char *name);

// What one look at a directory entry saw of it (the entry itself: a link is not
// followed), so that the next look can tell whether it changed.
struct zv_entry_stamp {
  dev_t dev;
  ino_t ino;
  mode_t type;  // the S_IFMT bits
  off_t size;
  long long mtime_ns;
  bool regular() const;
  bool operator==(const zv_entry_stamp &) const = default;
};
// The stamp of `name` in the open directory `dir_fd`; false (errno set) when it is gone.
bool zv_stamp_entry(int dir_fd, const char *name, zv_entry_stamp *stamp);
// The stamp of an open file, as zv_stamp_entry gives it of its entry; false (errno set)
// when it cannot be had.
bool zv_stamp_fd(int fd, zv_entry_stamp *stamp);
// Opens `name` in `dir_fd` for reading only while it is still the regular file `stamp`
// saw, unchanged. Never follows a link and never waits (a FIFO or device put in its place
// is not read). The descriptor, or -1: errno ENOENT when it is gone, ESTALE when it is no
// longer that file as it was, another errno when it cannot be opened.
int zv_open_unchanged(int dir_fd, const char *name, const zv_entry_stamp &stamp);
// Opens `path` for reading without waiting (a FIFO or a device must not hold the caller in
// its open; a link is followed unless `follow_links` is false) and keeps it only when it
// is a regular file: the descriptor; -1 with errno when it cannot be opened (ELOOP for a
// link not followed); -2 when it is no regular file.
int zv_open_regular(const char *path, bool follow_links = true);
// The open every file a process writes by a fixed name goes through (and zv_open_regular
// too): `flags` is O_RDONLY, O_WRONLY or O_RDWR with any of O_CREAT, O_APPEND and
// O_TRUNC; a file it creates gets `mode` less the umask. It never waits in the open (a
// FIFO or a device put at the name is not waited for) and keeps the file only when it is
// a regular file; opened for writing, also only when it has no other name (a hard link
// planted there would make the write land in another file), and O_TRUNC empties it only
// once that is known. A link at the name is followed only with `follow_links`. The
// descriptor (close-on-exec, blocking again); -1 with errno when it cannot be opened; -2
// when it is refused, *why (when given) saying what it is (zv_not_own_reason's texts).
int zv_open_regular_file(const char *path, int flags, mode_t mode, bool follow_links,
                         const char **why = nullptr);
// What keeps the file `st` (seen without following a link) from being one a process
// writes by its name: null for a regular file with no other name; else "a symbolic
// link", "not a regular file" or "a file with other names (hard links)".
const char *zv_not_own_reason(const struct stat &st);
// `path`, a file this process appends to by its fixed name (a log), opened through
// zv_open_regular_file (created 0666 less the umask, never through a link). A refusal is
// said on standard error with a line that names the file and what it is, and sets
// *refused (when given). Null with errno when it cannot be opened or was refused.
FILE *zv_fopen_append(const char *path, bool *refused = nullptr);
// Makes the entries of the directory `dir` durable (its renames and new names): 0, or -1
// with errno.
int zv_sync_dir(const char *dir);
// Takes the flock `op` (LOCK_EX or LOCK_SH) on `fd`, waiting while another process holds
// it: 0 once taken; -1 with errno EINTR when the shutdown flag is set before (the wait
// looks at it at least every quarter of a second, whatever signals arrive), another
// errno when it cannot be taken. When the wait has lasted `say_after_ms`, `on_long_wait`
// (when given) is called once, to say what the caller waits for.
int zv_flock_until_stop(int fd, int op, int say_after_ms, void (*on_long_wait)(void *),
                        void *arg);
// The pid of the process that holds an flock on the file `st` describes, from the
// kernel's list of locks; 0 when it cannot be told.
long zv_flock_holder(const struct stat &st);
// Holds the directory `path` for this process alone until the descriptor returned is
// closed (or the process ends): -1 with errno EWOULDBLOCK when another process holds it,
// another errno when it cannot be opened or locked. The hold is advisory: it keeps out
// only those who ask for it the same way.
int zv_hold_dir(const char *path);

#endif
