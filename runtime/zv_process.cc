#include "runtime/zv_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

#include <openssl/crypto.h>

#include "runtime/zv_build.h"
#include "runtime/zv_globals.h"
#include "runtime/zv_handles.h"
#include "runtime/zv_log.h"
#include "runtime/zv_options.h"
#include "runtime/zv_services.h"
#include "runtime/zv_statsdb.h"
#include "runtime/zv_tempfile.h"

namespace {

constexpr char kAssertFormat[] = "ASSERT Failed: %s: line %d\n";
constexpr char kFileSup[] = "zv_filesup";

template <size_t N>
void set_text(char (&dst)[N], const char *src) {
  if (snprintf(dst, N, "%s", src) >= static_cast<int>(N)) dst[N - 1] = '\0';
}

void verify_own_cert_and_key() {
  vVerifyFile(certificateFileName, "Own Certificate File");
  vVerifyFile(keyFileName, "Own Private Key File");
}

bool failover_dir_needed() {
  char c = failoverd[0];
  return c == 'S' || c == 's' || c == 'A' || c == 'a';
}

int interface_letter() { return toupper(static_cast<unsigned char>(zv_interface[0])); }

// Makes a new empty file named `prefix` and six random characters in `dir`, so that
// the name cannot be taken by anyone else before the rename onto it.
bool fresh_name(const char *dir, const char *prefix, char *out, size_t size) {
  std::string start = std::string(dir) + "/" + (prefix ? prefix : "");
  int fd = zv_open_temp(start.c_str(), out, size, "", ZV_TEMP_OWNER_ONLY);
  if (fd < 0) return false;
  close(fd);
  return true;
}

// The pid file written at start and what it held before (a process of the same name that
// still runs), for pid_file_give_back; only the process that wrote it gives it back.
char pid_path[ZV_PATH_SIZE];
char pid_text[64];
bool had_pid_text = false;
pid_t pid_writer = -1;

// How long the launcher waits for the daemon to say "started" or to end.
constexpr int kStartWaitSeconds = 10;

// The daemon's end of the socket to its launcher until it says "started"; -1 in every
// other process (a child the daemon forks closes its copy at once, so that only the
// daemon's own end or word reaches the launcher).
std::atomic<int> start_fd{-1};
std::atomic<bool> started{false};

void close_start_fd_in_child() {
  int fd = start_fd.exchange(-1);
  if (fd >= 0) close(fd);
}

// What the regular file `path` holds (at most size - 1 bytes); false when it cannot be
// read. Never waits on a FIFO put in its place, and never reads through a link: what a
// pid file held is written back into it.
bool read_text(const char *path, char *text, size_t size) {
  int fd = zv_open_regular(path, false);
  if (fd < 0) return false;
  ssize_t got = read(fd, text, size - 1);
  close(fd);
  if (got < 0) return false;
  text[got] = '\0';
  return true;
}

// Replaces the file `path` with one holding `text`, written under a fresh name beside it
// and renamed into place: a kill leaves the old file or the new one, and whatever stood
// at the name (a link, a FIFO) is replaced, never written through. False when it cannot
// be written whole.
bool write_text(const char *path, const char *text) {
  return zv_put_file(path, text, strlen(text), 1, nullptr) == 0;
}

// Puts the file `path` back as it was, `text` when it `had` it, else no file; only while
// it still holds `mine`: a process started meanwhile has written its own pid there.
void put_back(const char *path, bool had, const char *text, const char *mine) {
  char now[64];
  if (!read_text(path, now, sizeof now) || strcmp(now, mine) != 0) return;
  if (had) {
    write_text(path, text);
  } else {
    unlink(path);
  }
}

// The launcher's side: waits until the daemon `child` says "started" (0) or ends (its
// status, 128 + the signal that killed it), at most kStartWaitSeconds, and leaves with
// that status. A daemon that failed leaves the pid file as it was before the start
// (`old_text`, or no file) when it still names the daemon.
[[noreturn]] void wait_for_start(pid_t child, int fd, const char *pid_name, bool had_old,
                                 const char *old_text) {
  const long long deadline = zv_monotonic_ms() + kStartWaitSeconds * 1000LL;
  bool link_open = true;
  for (;;) {
    long long left = deadline - zv_monotonic_ms();
    if (left <= 0) break;
    if (link_open) {
      struct pollfd p = {fd, POLLIN, 0};
      int r = poll(&p, 1, static_cast<int>(left));
      if (r < 0 && errno != EINTR) link_open = false;
      if (r <= 0) continue;
      char byte;
      ssize_t n = read(fd, &byte, 1);
      if (n == 1) _exit(0);
      if (n < 0 && errno == EINTR) continue;
      link_open = false;  // the daemon's end is closed: it has ended, or is ending
      continue;
    }
    // The status is read, not reaped: whoever adopts the daemon once this process has
    // left (init, or a subreaper watching it) still collects it.
    siginfo_t info;
    memset(&info, 0, sizeof info);
    int w = waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOHANG | WNOWAIT);
    if (w == 0 && info.si_pid == child) {
      bool killed = info.si_code != CLD_EXITED;
      int status = killed ? 128 + info.si_status : info.si_status & 0xff;
      if (killed)
        fprintf(stderr, "FATAL ERROR: %s (pid %d) was killed by signal %d while starting\n",
                program, static_cast<int>(child), info.si_status);
      char mine[32];
      snprintf(mine, sizeof mine, "%d", static_cast<int>(child));
      if (status != 0 && pid_name[0] != '\0') put_back(pid_name, had_old, old_text, mine);
      _exit(status);
    }
    if (w < 0 && errno != EINTR) break;
    struct timespec pause = {0, 10 * 1000000L};
    nanosleep(&pause, nullptr);
  }
  fprintf(stderr,
          "WARNING: %s (pid %d) has not finished starting within %d seconds; it goes on "
          "starting, its own lines tell the outcome\n",
          program, static_cast<int>(child), kStartWaitSeconds);
  _exit(0);
}

// A start that fails gives the pid file back, however the daemon ends.
void give_back_unless_started() {
  if (!started.load()) pid_file_give_back();
}

// Set by the first caller of vZvExit, which alone carries out the exit.
std::atomic<bool> exit_claimed{false};
thread_local bool exiting_here = false;

// True when the calling thread is the process's only thread.
bool only_thread() {
  zv_dir_ptr tasks(opendir("/proc/self/task"));
  if (!tasks) return false;
  int count = 0;
  while (struct dirent *e = readdir(tasks.get())) {
    if (e->d_name[0] != '.') ++count;
  }
  return count == 1;
}

}  // namespace

// ---- start-up ----------------------------------------------------------------------

int init_zv_process(int argc, char **argv) {
  // Before anything is written, the launcher's own lines included: a write past the
  // file-size limit fails with EFBIG (reported as a full disk is) instead of killing.
  signal(SIGXFSZ, SIG_IGN);
  set_text(sZvVersion, ZV_VERSION_TEXT);
  zv_init_thr_list();
  zv_set_thread(0);
  parse_args(argc, argv);

  if (read_config_default_section(configFileName) != 0) {
    fprintf(stderr, "FATAL ERROR: Could not read \"%s\" - cannot continue.\n", configFileName);
    return -1;
  }
  fprintf(stderr, "INFO: Using /dev/urandom as entropySource\n");
  init_globals();

  if (iDaemonize(nullptr, 0) == -1) {
    fprintf(stderr, "FATAL ERROR: Could not daemonize control process - cannot continue.\n");
    return -1;
  }
  mypid = static_cast<int>(getpid());
  if (pid_file(program) != 0)
    fprintf(stderr, "Could not create pid file (%s.pid), ignoring error.\n", program);

  zv_log_init(logFileName, errorFileName, alertFileName);
  if (zv_log_refused()) {
    zv_log(-1, "FATAL ERROR: a log file is not a regular file of this process's own (above) "
               "- cannot continue.\n");
    give_back_unless_started();
    return -1;
  }
  store_build();

  if (read_ng_config(configFileName, program) < 0) {
    // The file was read at the first step: what is wrong is in the lines before.
    zv_log(-1, "FATAL ERROR: Errors in \"%s\" (above) - cannot continue.\n", configFileName);
    give_back_unless_started();
    return -1;
  }

  if (zv_services.read_TPfile) {
    if (zv_services.read_TPfile(tpartnerFileName) != 0) {
      zv_log(-1, "FATAL ERROR: Error detected, exiting\n");
      give_back_unless_started();
      return -1;
    }
  } else {
    zv_log(1, "DEBUG: no trading-partner loader in this program, %s not read\n",
           tpartnerFileName);
  }

  // After the partner file: the partner-activity table is filled from the partners.
  vInitDBs();

  if (zv_services.load_zvObjectIdentifiers)
    zv_services.load_zvObjectIdentifiers();
  else
    zv_log(1, "DEBUG: no object-identifier registration in this program\n");

  if (iVerifyFilesAndDirsByProcess(zv_process_id) != 0) {
    zv_log(-1, "FATAL ERROR: Error detected, exiting\n");
    give_back_unless_started();
    return -1;
  }
  init_signal_handlers();
  zv_start_banner();
  return 0;
}

void init_globals() {
  zv_shutdown = 0;
  zv_flushlogs = 0;
  iFdReceiptPipe = -1;
  logfile = nullptr;
  errlogfile = nullptr;

  switch (toupper(static_cast<unsigned char>(program[0]))) {
    case 'C': zv_process_id = ZV_CLIENT_PROCESS; break;
    case 'S': zv_process_id = ZV_STD_SERVER_PROCESS; break;
    case 'H': zv_process_id = ZV_HPRI_SERVER_PROCESS; break;
    case 'I': zv_process_id = ZV_SSL_PROCESS; break;
    case 'F': zv_process_id = ZV_FAILOVER_PROCESS; break;
    case 'R': zv_process_id = ZV_RECEIPT_PROCESS; break;
    default:
      fprintf(stderr,
              "FATAL ERROR: Encountered an unsupported program name (%s), only names starting "
              "with c,r,s,h,i, or f are supported, terminating\n",
              program);
      vZvExit(-1);
  }

  set_text(logFileName, "zolvar.log");
  set_text(errorFileName, "zolvar.err");
  set_text(alertFileName, "zolvar.alert");
  set_text(logPath, "./");
  set_text(toRemoteFailedPath, "./to_remote_failed_messages");
  set_text(toSslRemoteFailedPath, "./to_ssl_remote_failed_messages");
  set_text(fromRemoteFailedPath, "./from_remote_failed_messages");
  set_text(fromSslRemoteFailedPath, "./from_ssl_remote_failed_messages");
  set_text(invalidPath, "./invalid_messages");
  set_text(pendingPath, "./pending_receipts");
  set_text(failoverPath, failoverd_dir_path);
  if (snprintf(failoverFullName, sizeof failoverFullName, "%s/%s", failoverPath,
               ".failover_full_flag") >= static_cast<int>(sizeof failoverFullName))
    failoverFullName[sizeof failoverFullName - 1] = '\0';
  static const char *const trans_logs[4] = {"client_trans.log", "receipt_trans.log",
                                            "server_trans.log", "hipri_trans.log"};
  for (int i = 0; i < 8; ++i) {
    set_text(tran_logpath[i], trans_logs[i % 4]);
    tran_logfile[i] = nullptr;
  }
  // The modern library loads its error texts itself; this keeps the request explicit.
  OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);

  verify_dir(logPath);
  verify_dir(toRemoteFailedPath);
  verify_dir(toSslRemoteFailedPath);
  verify_dir(fromRemoteFailedPath);
  verify_dir(fromSslRemoteFailedPath);
  verify_dir(invalidPath);
  verify_dir(pendingPath);
  verify_dir(failoverPath);

  verifyDepth = 10;
  verifyMode = verify_hack_flag ? 4 : 2;
  remote_lifetime_dur = 14400;
  remote_inactivity_dur = 3600;
  zv_ssl_connect_retry_delay = 30;
  zv_ssl_connect_queue_max = 10;
  for (CachedSession_rec &c : ccache) {
    c.tp_index = -1;
    c.usedCount = 0;
    c.sslp = nullptr;
    c.cache_time = 0;
  }
}

int iDaemonize(const char *dir, int redirect) {
  // What the pid file holds before the start, for a launcher whose daemon fails.
  char pid_name[ZV_PATH_SIZE] = "";
  char old_text[64] = "";
  bool had_old = false;
  int n = snprintf(pid_name, sizeof pid_name, "%s.pid", program);
  if (n < 0 || n >= static_cast<int>(sizeof pid_name)) pid_name[0] = '\0';
  if (pid_name[0] != '\0') had_old = read_text(pid_name, old_text, sizeof old_text);

  // A socket pair rather than a pipe: the daemon's word must not raise SIGPIPE when the
  // launcher has already left at its bound.
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return -1;
  // A launcher that ignores SIGCHLD would have the daemon's end reaped unseen.
  struct sigaction dfl = {}, inherited = {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  sigaction(SIGCHLD, &dfl, &inherited);
  fflush(stdout);
  fflush(stderr);
  pid_t pid = fork();
  if (pid < 0) exit(-1);
  if (pid > 0) {
    close(fds[1]);
    wait_for_start(pid, fds[0], pid_name, had_old, old_text);
  }
  sigaction(SIGCHLD, &inherited, nullptr);
  close(fds[0]);
  start_fd.store(fds[1]);
  static bool atfork_set = false;
  if (!atfork_set) atfork_set = pthread_atfork(nullptr, nullptr, close_start_fd_in_child) == 0;
  if (setpgrp() == -1) return -1;
  if (dir && chdir(dir) != 0) {
    // The directory is a convenience of the caller; the daemon carries on where it is.
  }
  if (redirect == 1) {
    int fd = open("/dev/null", O_RDWR);
    if (fd < 0) return 0;
    dup2(fd, 0);
    dup2(fd, 1);
    dup2(fd, 2);
    if (fd > 2) close(fd);
  }
  return 0;
}

int pid_file(const char *name) {
  if (!name) {
    fprintf(stderr, kAssertFormat, __FILE__, __LINE__);
    return -1;
  }
  char path[ZV_PATH_SIZE];
  int n = snprintf(path, sizeof path, "%s.pid", name);
  if (n < 0 || n >= static_cast<int>(sizeof path)) return -1;
  // What the file said before, for a process that turns out not to start after all;
  // given back only by this process, and only once it has touched the file.
  pid_path[0] = '\0';
  had_pid_text = read_text(path, pid_text, sizeof pid_text);
  char text[32];
  snprintf(text, sizeof text, "%d", mypid);
  if (!write_text(path, text)) return -1;
  snprintf(pid_path, sizeof pid_path, "%s", path);
  pid_writer = getpid();
  return 0;
}

void pid_file_give_back() {
  if (pid_path[0] == '\0' || pid_writer != getpid()) return;
  char mine[32];
  snprintf(mine, sizeof mine, "%d", mypid);
  put_back(pid_path, had_pid_text, pid_text, mine);
  pid_path[0] = '\0';  // given back once
}

void store_build() {
  std::string texts[7] = {
      "BUILD_version: " + std::string(ZV_VERSION_TEXT) + "\n",
      "BUILD_platform: " + std::string(ZV_BUILD_PLATFORM) + "\n",
      "BUILD_date: " + std::string(__DATE__) + "\n",
      "BUILD_time: " + std::string(__TIME__) + "\n",
      "BUILD_cflags: " + std::string(ZV_BUILD_CFLAGS) + "\n",
      "BUILD_zv_version: 21\n",
      "BUILD_openssl_ver: " + std::string(OpenSSL_version(OPENSSL_VERSION_STRING)) + "\n",
  };
  zv_log(1, "BUILD specific information: ===============\n");
  for (const std::string &t : texts) zv_log(1, "  %s", t.c_str());
  zv_log(1, "== END BUILD specific information =========\n");
}

// ---- required files and directories ------------------------------------------------

int iVerifyFilesAndDirsByProcess(int role) {
  vVerifyFile(configFileName, "Zolvar Configuration File");
  vVerifyFile(tpartnerFileName, "Trading Partner Configuration File");
  switch (role) {
    case ZV_CLIENT_PROCESS:
      verify_own_cert_and_key();
      if (interface_letter() == 'D')
        verify_dir(zv_dirpath2);
      else if (interface_letter() == 'F')
        vVerifyFile(zv_filename, "EDI input File");
      return 0;
    case ZV_STD_SERVER_PROCESS:
    case ZV_HPRI_SERVER_PROCESS:
      verify_own_cert_and_key();
      if (interface_letter() == 'D') verify_dir(zv_dirpath);
      return 0;
    case ZV_SSL_PROCESS:
      vVerifyFile(CAfileName, "CA Certificate File");
      verify_own_cert_and_key();
      return 0;
    case ZV_FAILOVER_PROCESS:
      if (failover_dir_needed()) verify_dir(failoverPath);
      return 0;
    case ZV_RECEIPT_PROCESS:
      verify_own_cert_and_key();
      return 0;
    default:
      return -1;
  }
}

int iVerifyFilesAndDirs(int n) {
  switch (n) {
    case 0:
      vVerifyFile(CAfileName, "CA Certificate File");
      verify_own_cert_and_key();
      if (interface_letter() == 'D')
        verify_dir(zv_dirpath2);
      else if (interface_letter() == 'F')
        vVerifyFile(zv_filename, "EDI input File");
      return 0;
    case 1:
      vVerifyFile(CAfileName, "CA Certificate File");
      verify_own_cert_and_key();
      return 0;
    case 2:
    case 3:
      vVerifyFile(CAfileName, "CA Certificate File");
      verify_own_cert_and_key();
      if (interface_letter() == 'D') verify_dir(zv_dirpath);
      return 0;
    case 4:
      vVerifyFile(configFileName, "Zolvar Configuration File");
      vVerifyFile(tpartnerFileName, "Trading Partner Configuration File");
      return 0;
    case 8:
      if (failover_dir_needed()) verify_dir(failoverPath);
      return 0;
    case 5:
    case 6:
    case 7:
      return 0;
    default:
      return -1;
  }
}

void verify_dir(const char *path) {
  if (!path) {
    fprintf(stderr, kAssertFormat, __FILE__, __LINE__);
    vZvExit(-1);
  }
  struct stat st;
  if (stat(path, &st) == 0) return;
  if (errno == ENOENT)
    fprintf(stderr, "FATAL ERROR: Cannot find REQUIRED  directory %s\nCannot continue\n", path);
  else if (errno == EACCES)
    fprintf(stderr, "FATAL ERROR: Cannot access REQUIRED  directory %s\nCannot continue\n",
            path);
  else
    fprintf(stderr, "FATAL ERROR: Attempting to stat() %s\nCannot continue\n", path);
  vZvExit(-1);
}

void vVerifyFile(const char *path, const char *description) {
  if (!path) {
    fprintf(stderr, kAssertFormat, __FILE__, __LINE__);
    vZvExit(-1);
  }
  if (!description) description = "";
  struct stat st;
  if (stat(path, &st) == 0) return;
  if (errno == ENOENT)
    fprintf(stderr, "FATAL ERROR: Cannot find REQUIRED file %s (%s)\nCannot continue\n", path,
            description);
  else if (errno == EACCES)
    fprintf(stderr, "FATAL ERROR: Cannot access REQUIRED file %s (%s)\nCannot continue\n",
            path, description);
  else
    fprintf(stderr, "FATAL ERROR: Attempting to stat() REQUIRED file %s (%s)\nCannot continue\n",
            path, description);
  vZvExit(-1);
}

// ---- signals and exit --------------------------------------------------------------

void set_sig_flags(int sig) {
  switch (sig) {
    case SIGUSR1:
      zv_flushlogs = 1;
      break;
    case SIGTERM:
    case SIGALRM:
      zv_shutdown = 1;
      break;
    default:  // SIGHUP, SIGINT: caught so that they do not end the process
      break;
  }
}

void sigchld_handler(int) {
  int saved = errno;
  int st;
  while (waitpid(-1, &st, WNOHANG) > 0) {
  }
  errno = saved;
}

namespace {

void install(int sig, void (*handler)(int), int flags) {
  struct sigaction sa {};
  sa.sa_handler = handler;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = flags;
  sigaction(sig, &sa, nullptr);
}

}  // namespace

// The stop interrupts what blocks (no SA_RESTART), so that an open, a read or a wait of
// the thread it reaches returns EINTR and the loop around it sees zv_shutdown; the
// signals that only set a flag or reap restart what they interrupt, so that a storm of
// them does not make blocking calls fail.
void init_signal_handlers() {
  install(SIGTERM, set_sig_flags, 0);
  install(SIGALRM, set_sig_flags, 0);
  install(SIGHUP, set_sig_flags, SA_RESTART);
  install(SIGINT, set_sig_flags, SA_RESTART);
  install(SIGUSR1, set_sig_flags, SA_RESTART);
  install(SIGCHLD, sigchld_handler, SA_RESTART);
  signal(SIGPIPE, SIG_IGN);
  // A write past the file-size limit fails with EFBIG, reported as a full disk is.
  signal(SIGXFSZ, SIG_IGN);
  // A read lease, taken by the directory interface to learn whether a writer still has a
  // document open, signals its holder when a writer opens the file in that instant.
  signal(SIGIO, SIG_IGN);
}

void vZvExit(int status) {
  // The exiting thread must get through its steps: a cancel would leave the tables and
  // the log locks taken below with nobody to end the process.
  int ignored;
  pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &ignored);
  if (exit_claimed.exchange(true)) {
    // Only the first caller exits; it ends this thread with the process. A step of the
    // exit that ended up here again ends the process at once.
    if (exiting_here) _exit(status);
    for (;;) pause();
  }
  exiting_here = true;

  if (status != 0) give_back_unless_started();
  vHoldDBs();
  iCacheTPActiveDB_to_file("tpacache.db");
  vCleanupDBs();
  zv_log_hold();
  zv_log_close();
  for (int i = 0; i < 4; ++i) {
    if (tran_logfile[i]) {
      fclose(tran_logfile[i]);
      tran_logfile[i] = nullptr;
    }
  }
  fprintf(stderr, "Process exit with vZVExit()\n");
  if (only_thread()) exit(status);
  // exit() would run the atexit handlers and static destructors (the crypto library's
  // cleanup among them) under threads that are still running; what they would flush is
  // flushed here instead.
  fflush(nullptr);
  _exit(status);
}

// ---- file utilities ----------------------------------------------------------------

namespace {

// safe_rename's steps; with `keep` the first rename never replaces what is at the wanted
// name, and a source that is no longer there is only reported.
int rename_or_fall_back(const char *src, const char *name, const char *dir, const char *prefix,
                        int fatal, bool keep) {
  if (!src || !name || !dir) {
    fprintf(stderr, kAssertFormat, kFileSup, __LINE__);
    return -1;
  }
  char wanted[ZV_PATH_SIZE];
  int n = snprintf(wanted, sizeof wanted, "%s/%s", dir, name);
  bool fits = n >= 0 && n < static_cast<int>(sizeof wanted);
  if (fits && (keep ? zv_move_new(src, wanted) : rename(src, wanted)) == 0) return 0;
  struct stat st;
  if (keep && lstat(src, &st) != 0 && errno == ENOENT) {
    // Someone else moved or removed it: there is nothing left to rename, and nothing that
    // a stop would keep from being sent twice.
    zv_log(-1, "WARNING: %s is no longer there, not renamed to %s\n", src, wanted);
    return -1;
  }

  char fresh[ZV_PATH_SIZE];
  if (fresh_name(dir, prefix, fresh, sizeof fresh)) {
    zv_log(-1, "WARNING: Cannot rename %s to %s.  Will rename to %s\n", src, wanted, fresh);
    // The fresh name is an empty file of our own, made to reserve it: replaced on purpose.
    if (rename(src, fresh) == 0) return 0;
    unlink(fresh);
  }
  if (fresh_name("/tmp", prefix, fresh, sizeof fresh)) {
    if (rename(src, fresh) == 0) {
      zv_log(-1, "WARNING: Error encountered in rename().  Must rename %s to %s.\n", src, fresh);
      return 0;
    }
    unlink(fresh);
  }
  if (fatal) {
    zv_log(-1, "FATAL ERROR: Error encountered in attempting to rename %s to %s.\n", src,
           wanted);
    abort();
  }
  zv_log(-1, "ERROR: Error encountered in attempting to rename %s to %s.\n", src, wanted);
  return -1;
}

}  // namespace

int safe_rename(const char *src, const char *name, const char *dir, const char *prefix,
                int fatal) {
  return rename_or_fall_back(src, name, dir, prefix, fatal, false);
}

int safe_rename_new(const char *src, const char *name, const char *dir, const char *prefix,
                    int fatal) {
  return rename_or_fall_back(src, name, dir, prefix, fatal, true);
}

void zv_started() {
  started.store(true);
  int fd = start_fd.exchange(-1);
  if (fd < 0) return;
  char byte = 1;
  while (send(fd, &byte, 1, MSG_NOSIGNAL) < 0 && errno == EINTR) {
  }
  close(fd);
}

namespace {

// How long a sleep goes without looking at zv_shutdown: the stop may reach another thread.
constexpr long kSleepSliceNs = 250 * 1000000L;

timespec plus_ns(timespec t, long long ns) {
  t.tv_sec += static_cast<time_t>(ns / 1000000000LL);
  t.tv_nsec += static_cast<long>(ns % 1000000000LL);
  if (t.tv_nsec >= 1000000000L) {
    t.tv_sec += 1;
    t.tv_nsec -= 1000000000L;
  }
  return t;
}

bool before(const timespec &a, const timespec &b) {
  return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

}  // namespace

long long zv_monotonic_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int millisleep(unsigned ms) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  const timespec deadline = plus_ns(now, static_cast<long long>(ms) * 1000000LL);
  for (;;) {
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (!before(now, deadline)) return 0;
    if (zv_shutdown) {
      errno = EINTR;
      return -1;
    }
    timespec until = plus_ns(now, kSleepSliceNs);
    if (before(deadline, until)) until = deadline;
    int rc = clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
    if (rc != 0 && rc != EINTR) {
      errno = rc;
      return -1;
    }
  }
}

int iFileExists(const char *name) {
  if (!name) {
    fprintf(stderr, kAssertFormat, kFileSup, __LINE__);
    return 2;
  }
  struct stat st;
  if (name[0] == '\0' || stat(name, &st) != 0) return 2;
  if (st.st_mode == 0) return -99;
  return 1;
}

long iFileSize(const char *name) {
  if (!name) {
    fprintf(stderr, kAssertFormat, kFileSup, __LINE__);
    return -1;
  }
  struct stat st;
  if (name[0] == '\0' || stat(name, &st) != 0) return -1;
  return static_cast<long>(st.st_size);
}

int iFileRemove(const char *name) {
  if (!name) {
    fprintf(stderr, kAssertFormat, kFileSup, __LINE__);
    return -1;
  }
  if (name[0] == '\0' || iFileExists(name) != 1) return -1;
  return unlink(name);
}

int iFileRename(const char *oldname, const char *newname) {
  if (!oldname || !newname) {
    fprintf(stderr, kAssertFormat, kFileSup, __LINE__);
    return -1;
  }
  if (iFileExists(newname) == 1) return 1;
  return rename(oldname, newname);
}

int iSearchDir(const char *dir, const char *name) {
  if (!dir || !name) {
    fprintf(stderr, kAssertFormat, kFileSup, __LINE__);
    return -1;
  }
  zv_dir_ptr d(opendir(dir));
  if (!d) {
    zv_log(-1, "ERROR: cannot open %s - exiting\n", dir);
    return -1;
  }
  while (struct dirent *e = readdir(d.get())) {
    if (strcmp(e->d_name, name) == 0) {
      zv_log(1, "found %s\n", name);
      return 1;
    }
  }
  return 0;
}

// ---- directory entries -------------------------------------------------------------

namespace {

zv_entry_stamp stamp_of(const struct stat &st) {
  return {st.st_dev, st.st_ino, static_cast<mode_t>(st.st_mode & S_IFMT), st.st_size,
          static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec};
}

}  // namespace

bool zv_entry_stamp::regular() const { return type == S_IFREG; }

bool zv_stamp_entry(int dir_fd, const char *name, zv_entry_stamp *stamp) {
  struct stat st;
  if (name == nullptr || stamp == nullptr) {
    errno = EINVAL;
    return false;
  }
  if (fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
  *stamp = stamp_of(st);
  return true;
}

bool zv_stamp_fd(int fd, zv_entry_stamp *stamp) {
  struct stat st;
  if (fstat(fd, &st) != 0) return false;
  *stamp = stamp_of(st);
  return true;
}

namespace {

// fstat of a descriptor just opened; on failure it is closed, errno kept.
bool stat_or_close(int fd, struct stat *st) {
  if (fstat(fd, st) == 0) return true;
  int e = errno;
  close(fd);
  errno = e;
  return false;
}

}  // namespace

namespace {

constexpr char kLinkReason[] = "a symbolic link";

}  // namespace

const char *zv_not_own_reason(const struct stat &st) {
  if (S_ISLNK(st.st_mode)) return kLinkReason;
  if (!S_ISREG(st.st_mode)) return "not a regular file";
  if (st.st_nlink > 1) return "a file with other names (hard links)";
  return nullptr;
}

int zv_open_regular_file(const char *path, int flags, mode_t mode, bool follow_links,
                         const char **why) {
  const char *none = nullptr;
  const char *&reason = why != nullptr ? *why : none;
  reason = nullptr;
  if (path == nullptr) {
    errno = EINVAL;
    return -1;
  }
  const bool writing = (flags & O_ACCMODE) != O_RDONLY;
  const bool truncate = (flags & O_TRUNC) != 0;
  // O_TRUNC waits for the check: a file with another name must not be emptied first.
  int open_flags = (flags & ~O_TRUNC) | O_NONBLOCK | O_NOCTTY | O_CLOEXEC |
                   (follow_links ? 0 : O_NOFOLLOW);
  int fd = open(path, open_flags, mode);
  if (fd < 0) {
    if (errno == ELOOP && !follow_links) {
      reason = kLinkReason;
    } else if (errno == ENXIO || errno == EISDIR || errno == ENODEV) {
      // A FIFO without a reader, a directory, a device without its driver.
      reason = "not a regular file";
    } else {
      return -1;
    }
    errno = EINVAL;
    return -2;
  }
  struct stat st;
  if (!stat_or_close(fd, &st)) return -1;
  reason = zv_not_own_reason(st);
  if (reason != nullptr && !writing && S_ISREG(st.st_mode)) reason = nullptr;
  if (reason != nullptr) {
    close(fd);
    errno = EINVAL;
    return -2;
  }
  if (fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0 ||
      (truncate && ftruncate(fd, 0) != 0)) {
    int e = errno;
    close(fd);
    errno = e;
    return -1;
  }
  return fd;
}

int zv_open_regular(const char *path, bool follow_links) {
  const char *why = nullptr;
  int fd = zv_open_regular_file(path, O_RDONLY, 0, follow_links, &why);
  if (fd == -2 && why == kLinkReason) {
    errno = ELOOP;
    return -1;
  }
  return fd;
}

FILE *zv_fopen_append(const char *path, bool *refused) {
  if (refused != nullptr) *refused = false;
  const char *why = nullptr;
  int fd = zv_open_regular_file(path, O_WRONLY | O_CREAT | O_APPEND, 0666, false, &why);
  if (fd == -2) {
    zv_log(-1, "ERROR: refusing to open %s for writing: it is %s\n", path, why);
    if (refused != nullptr) *refused = true;
    errno = EINVAL;
    return nullptr;
  }
  if (fd < 0) return nullptr;
  FILE *f = fdopen(fd, "a");
  if (f == nullptr) {
    int e = errno;
    close(fd);
    errno = e;
  }
  return f;
}

int zv_sync_dir(const char *dir) {
  int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return -1;
  int rc = fsync(fd);
  int e = errno;
  close(fd);
  errno = e;
  return rc;
}

namespace {

// Interrupts a wait for a lock now and then, so that the waiter looks at zv_shutdown: a
// stop that arrives just before the wait begins would otherwise not end it.
void wake_for_look(int) {}

int wake_signal() { return SIGRTMIN + 2; }

// Wakes the calling thread every quarter of a second while it lives.
class LookTimer {
 public:
  LookTimer() {
    // Once for the process, and before any thread's timer can fire: the signal's own
    // default would end the process.
    static const bool installed = [] {
      struct sigaction sa {};
      sa.sa_handler = wake_for_look;
      sigemptyset(&sa.sa_mask);
      sa.sa_flags = 0;  // no restart: the interrupted wait returns EINTR
      return sigaction(wake_signal(), &sa, nullptr) == 0;
    }();
    if (!installed) return;
    struct sigevent ev {};
    ev.sigev_notify = SIGEV_THREAD_ID;
    ev.sigev_signo = wake_signal();
    ev._sigev_un._tid = gettid();
    if (timer_create(CLOCK_MONOTONIC, &ev, &timer_) != 0) return;
    made_ = true;
    struct itimerspec every = {{0, kSleepLookNs}, {0, kSleepLookNs}};
    timer_settime(timer_, 0, &every, nullptr);
  }
  ~LookTimer() {
    if (made_) timer_delete(timer_);
  }
  LookTimer(const LookTimer &) = delete;
  LookTimer &operator=(const LookTimer &) = delete;
  // Without a timer the wait polls instead.
  bool made() const { return made_; }

 private:
  static constexpr long kSleepLookNs = 250 * 1000000L;
  timer_t timer_{};
  bool made_ = false;
};

}  // namespace

int zv_flock_until_stop(int fd, int op, int say_after_ms, void (*on_long_wait)(void *),
                        void *arg) {
  if (flock(fd, op | LOCK_NB) == 0) return 0;
  if (errno != EWOULDBLOCK && errno != EINTR) return -1;
  const long long start = zv_monotonic_ms();
  bool said = false;
  LookTimer timer;
  for (;;) {
    if (zv_shutdown) {
      errno = EINTR;
      return -1;
    }
    if (!said && on_long_wait != nullptr && zv_monotonic_ms() - start >= say_after_ms) {
      said = true;
      on_long_wait(arg);
    }
    int rc = timer.made() ? flock(fd, op) : flock(fd, op | LOCK_NB);
    if (rc == 0) return 0;
    if (errno != EINTR && errno != EWOULDBLOCK) return -1;
    if (!timer.made()) {
      struct timespec pause = {0, 20 * 1000000L};
      nanosleep(&pause, nullptr);
    }
  }
}

long zv_flock_holder(const struct stat &st) {
  FILE *f = fopen("/proc/locks", "re");
  if (f == nullptr) return 0;
  char line[256];
  long pid = 0;
  while (pid == 0 && fgets(line, sizeof line, f) != nullptr) {
    // "1: FLOCK  ADVISORY  WRITE 1234 08:01:131 0 EOF"; a waiter's line has "->" first.
    const char *fields = strchr(line, ':');
    char kind[16], mode[16], access[16];
    long holder = 0;
    unsigned maj = 0, min = 0;
    unsigned long ino = 0;
    if (fields != nullptr &&
        sscanf(fields + 1, "%15s %15s %15s %ld %x:%x:%lu", kind, mode, access, &holder, &maj,
               &min, &ino) == 7 &&
        strcmp(kind, "FLOCK") == 0 && maj == major(st.st_dev) && min == minor(st.st_dev) &&
        ino == static_cast<unsigned long>(st.st_ino))
      pid = holder;
  }
  fclose(f);
  return pid;
}

int zv_open_unchanged(int dir_fd, const char *name, const zv_entry_stamp &stamp) {
  if (name == nullptr || !stamp.regular()) {
    errno = EINVAL;
    return -1;
  }
  // O_NONBLOCK: a FIFO swapped in since the look must not hold the caller in its open.
  int fd = openat(dir_fd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ELOOP) errno = ESTALE;  // a link now stands there
    return -1;
  }
  struct stat st;
  if (!stat_or_close(fd, &st)) return -1;
  if (!(stamp_of(st) == stamp)) {
    close(fd);
    errno = ESTALE;
    return -1;
  }
  return fd;
}

int zv_hold_dir(const char *path) {
  if (path == nullptr) {
    errno = EINVAL;
    return -1;
  }
  int fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return -1;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    int e = errno;
    close(fd);
    errno = e;
    return -1;
  }
  return fd;
}
