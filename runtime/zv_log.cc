#include "runtime/zv_log.h"

#include <pthread.h>
#include <sys/time.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>

#include <openssl/crypto.h>

#include "runtime/zv_globals.h"
#include "runtime/zv_process.h"
#include "runtime/zv_services.h"

FILE *logfile;
FILE *errlogfile;
FILE *alertfile;

namespace {

constexpr char kAssertFormat[] = "ASSERT Failed: %s: line %d\n";

// ---- level table -------------------------------------------------------------------

bool is_debug_level(int level) {
  switch (level) {
    case 1: case 2: case 4: case 8: case 16: case 32: case 64: case 128:
    case 512: case 1024: case 2048:
      return true;
    default:
      return false;
  }
}

// The characters that can end or rewrite a line: those below 0x20. DEL and bytes above
// 0x7f pass as they are (a dump's text column shows DEL as itself).
bool is_control(unsigned char c) { return c < 0x20; }

// zv_escape_controls, telling also how many bytes of `text` went into `out` (`*taken`).
size_t escape_into(const char *text, size_t len, char *out, size_t size, size_t *taken) {
  size_t o = 0;
  size_t i = 0;
  for (; text != nullptr && i < len; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    char esc[5];
    size_t k;
    if (!is_control(c)) {
      esc[0] = static_cast<char>(c);
      k = 1;
    } else if (c == '\n' || c == '\r' || c == '\t') {
      esc[0] = '\\';
      esc[1] = c == '\n' ? 'n' : c == '\r' ? 'r' : 't';
      k = 2;
    } else {
      snprintf(esc, sizeof esc, "\\x%02x", c);
      k = 4;
    }
    if (o + k > size - 1) break;
    memcpy(out + o, esc, k);
    o += k;
  }
  out[o] = '\0';
  *taken = i;
  return o;
}

// The message of a formatted line (after its `prefix` bytes, `len` in all) with its
// control characters escaped, into `out` of ZV_LOG_LINE_SIZE bytes: the same prefix, the
// escaped text and the newline that ended the message, if any. Cut to fit, the line
// still ends with a newline. Returns the new length.
size_t escape_message(const char *line, size_t prefix, size_t len, char *out) {
  bool newline = len > prefix && line[len - 1] == '\n';
  size_t text = len - prefix - (newline ? 1 : 0);
  memcpy(out, line, prefix);
  size_t room = static_cast<size_t>(ZV_LOG_LINE_SIZE) - prefix - 1;  // keeps one for '\n'
  size_t taken = 0;
  size_t end = prefix + escape_into(line + prefix, text, out + prefix, room, &taken);
  if (newline || taken < text) out[end++] = '\n';
  return end;
}

// Formats prefix and message into a line buffer on this call's stack and hands the
// whole line to the stream in one call. Returns the formatter's count.
int write_prefixed(FILE *stream, bool flush, const char *format, va_list ap) {
  char line[ZV_LOG_LINE_SIZE];
  int n = zv_logme2(line);
  int m = vsnprintf(line + n, sizeof line - static_cast<size_t>(n), format, ap);
  if (m < 0) return m;
  size_t room = sizeof line - 1 - static_cast<size_t>(n);
  size_t len = static_cast<size_t>(n) + (static_cast<size_t>(m) < room ? m : room);
  // A message cut to fit still ends its line, so the next line starts afresh.
  if (static_cast<size_t>(m) > room && room > 0) line[len - 1] = '\n';
  size_t text_end = len > static_cast<size_t>(n) && line[len - 1] == '\n' ? len - 1 : len;
  if (zv_has_controls(line + n, text_end - static_cast<size_t>(n))) {
    std::unique_ptr<char[]> escaped(new (std::nothrow) char[ZV_LOG_LINE_SIZE]);
    if (escaped) {
      len = escape_message(line, static_cast<size_t>(n), len, escaped.get());
      fwrite(escaped.get(), 1, len, stream);
      if (flush) fflush(stream);
      return m;
    }
    // Without memory for the escapes the characters are blanked out instead.
    for (size_t i = static_cast<size_t>(n); i < text_end; ++i)
      if (is_control(static_cast<unsigned char>(line[i]))) line[i] = '?';
  }
  fwrite(line, 1, len, stream);
  if (flush) fflush(stream);
  return m;
}

// ---- lock table --------------------------------------------------------------------

using locking_cb_t = void (*)(int, int, const char *, int);
std::atomic<locking_cb_t> locking_cb{nullptr};

// Created by THREAD_setup and kept for the life of the process: another thread may
// still log while the process exits, so no static destructor may take them away.
pthread_mutex_t *mutex_buf = nullptr;
long *plock_count = nullptr;
int num_locks = 0;

// Two reopens requested in quick succession may be carried out by two threads at once;
// they take turns here. Recursive, because a reopen logs, and that call may carry out
// a request that arrived meanwhile.
pthread_mutex_t reopen_mutex = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;

// ---- thread registry ---------------------------------------------------------------

pthread_mutex_t list_mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_t thr_list[ZV_THR_SLOTS + 1];
int thr_count[ZV_THR_TYPES];
pthread_key_t thr_num_key;
bool thr_key_made = false;

// ---- banner ------------------------------------------------------------------------

void product_banner() {
  zv_log(-3,
         "\nZolvar Secure EDI Interactive Agent, version %s\n"
         "\tCopyright (c) the Zolvar agent developers. All rights reserved.\n"
         "\tusing OpenSSL %s \n"
         "\tThis product includes software developed by the OpenSSL Project\n"
         "\tfor use in the OpenSSL Toolkit (http://www.openssl.org/)\n",
         ZV_VERSION_TEXT, OpenSSL_version(OPENSSL_VERSION_STRING));
}

bool has_name(const char *p) { return p != nullptr && *p != '\0'; }

// Whether the last zv_log_init refused a file name (a link, a FIFO...).
bool log_refused = false;

// A log file, never opened through a link or waited for; `*refused` is set when the name
// holds something that is not a regular file of its own.
FILE *open_log(const char *path, bool *refused) {
  bool this_one = false;
  FILE *f = zv_fopen_append(path, &this_one);
  if (this_one) *refused = true;
  return f;
}
bool is_std_stream(FILE *f) { return f == stderr || f == stdout; }

const char *who_text(int who) {
  switch (who) {
    case 0: return "  who= Std Client, %s(%d)\n";
    case 1: return "  who= Receipt Client, %s(%d)\n";
    case 2: return "  who= Std Server, %s(%d)\n";
    case 3: return "  who= HiPri Server, %s(%d)\n";
    case 4: return "  who= SSL Client, %s(%d)\n";
    case 5: return "  who= SSL Receipt Client, %s(%d)\n";
    case 6: return "  who= SSL Std Server, %s(%d)\n";
    case 7: return "  who= SSL HiPri Server, %s(%d)\n";
    default: return nullptr;
  }
}

void dump_cert(int log_level, X509 *cert, const char *head, const char *tail,
               const char *none) {
  if (cert) {
    zv_log(128, "%s", head);
    if (zv_services.dump_X509) zv_services.dump_X509(cert);
    zv_log(128, "%s", tail);
  } else {
    zv_log(log_level, "%s", none);
  }
}

// The first six bytes of a buffer whose known length may be shorter; missing bytes
// print as 0 rather than being read.
void dump_buffer(int log_level, const char *name, const char *p, int known) {
  if (!p) {
    zv_log(log_level, "  %s = 0x%lX NULL\n", name,
           static_cast<unsigned long>(reinterpret_cast<uintptr_t>(p)));
    return;
  }
  unsigned b[6] = {0, 0, 0, 0, 0, 0};
  for (int i = 0; i < 6 && i < known; ++i) b[i] = static_cast<unsigned char>(p[i]);
  zv_log(log_level, "  %s = 0x%lX [%X %X %X %X %X %X]\n", name,
         static_cast<unsigned long>(reinterpret_cast<uintptr_t>(p)), b[0], b[1], b[2], b[3],
         b[4], b[5]);
}

}  // namespace

// ---- logger ------------------------------------------------------------------------

size_t zv_escape_controls(const char *text, size_t len, char *out, size_t size) {
  if (out == nullptr || size == 0) return 0;
  size_t taken = 0;
  return escape_into(text, len, out, size, &taken);
}

bool zv_has_controls(const char *text, size_t len) {
  for (size_t i = 0; text != nullptr && i < len; ++i)
    if (is_control(static_cast<unsigned char>(text[i]))) return true;
  return false;
}

int zv_logme2(char *buffer) {
  if (!buffer) {
    fprintf(stderr, kAssertFormat, __FILE__, __LINE__);
    return 0;
  }
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  struct tm tmv;
  localtime_r(&tv.tv_sec, &tmv);
  char stamp[32];
  strftime(stamp, sizeof stamp, "%Y%m%d %H%M%S", &tmv);
  int n = snprintf(buffer, ZV_LOG_LINE_SIZE, "%s.%03d:%s(%05d:%02d):", stamp,
                   static_cast<int>(tv.tv_usec / 1000), program, mypid,
                   static_cast<int>(zv_get_thread()));
  return n < 0 ? 0 : (n < ZV_LOG_LINE_SIZE ? n : ZV_LOG_LINE_SIZE - 1);
}

void zv_log(int level, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  int ret = 0;
  if (level == -5 || level == -1 || (is_debug_level(level) && (debug_level & level))) {
    ret = write_prefixed(stderr, false, format, ap);
  } else if (level == -4 || level == 0) {
    ret = write_prefixed(stdout, true, format, ap);
  } else if (level == -3) {
    zv_log_lock();
    flockfile(stdout);
    ret = vfprintf(stdout, format, ap);
    fflush(stdout);
    funlockfile(stdout);
    zv_log_unlock();
  } else if (level == -2) {
    va_list ap2;
    va_copy(ap2, ap);
    if (verbose_flag) ret = write_prefixed(stdout, true, format, ap);
    if (ret >= 0 && (debug_level & 1)) ret = write_prefixed(stderr, false, format, ap2);
    va_end(ap2);
  }
  va_end(ap);

  if (ret < 0) {
    fprintf(stderr, "ERROR: logging, vsprintf error, ret = %d.\n", ret);
    return;
  }
  zv_log_reopen_if_asked();
}

void zv_log_reopen_if_asked() {
  // One atomic exchange, so that each SIGUSR1 gives exactly one reopen whichever
  // threads log concurrently.
  int expected = 1;
  if (zv_flushlogs.compare_exchange_strong(expected, 0))
    zv_log_init(logFileName, errorFileName, alertFileName);
}

void zv_log_init(const char *plogpath, const char *perrpath, const char *psAlertPath) {
  pthread_mutex_lock(&reopen_mutex);
  bool refused = false;
  // The alert stream may be standing in on the error-log stream; it follows that
  // stream through the reopen instead of keeping a closed handle.
  bool alert_on_err = alertfile != nullptr && alertfile == errlogfile;
  if (errlogfile && !is_std_stream(errlogfile)) fclose(errlogfile);
  errlogfile = nullptr;
  if (has_name(perrpath)) {
    errlogfile = open_log(perrpath, &refused);
    if (errlogfile) {
      zv_log(-5, "Starting %s Process ==================\n", program);
    } else {
      errlogfile = stderr;
      zv_log(-1, "Can't open %s, error Log to stderr\n", perrpath);
    }
  } else {
    errlogfile = stderr;
  }
  if (alert_on_err) alertfile = errlogfile;

  if (has_name(plogpath)) {
    if (logfile && !is_std_stream(logfile)) fclose(logfile);
    logfile = open_log(plogpath, &refused);
    if (logfile) {
      zv_log(-4, "Starting %s Process ==================\n", program);
    } else {
      logfile = stderr;
      zv_log(-1, "Can't open %s, Log to stderr\n", plogpath);
    }
  }

  if (has_name(psAlertPath)) {
    zv_close_alertfile();
    alertfile = open_log(psAlertPath, &refused);
    if (!alertfile) {
      alertfile = errlogfile;
      zv_log(-1, "Can't open %s, Logging all alerts to %s\n", psAlertPath,
             has_name(perrpath) ? perrpath : "stderr");
    }
  }
  log_refused = refused;
  pthread_mutex_unlock(&reopen_mutex);
}

bool zv_log_refused() { return log_refused; }

void zv_log_hold() {
  zv_log_lock();
  pthread_mutex_lock(&reopen_mutex);
}

void zv_log_streams_lock() { pthread_mutex_lock(&reopen_mutex); }

void zv_log_streams_unlock() { pthread_mutex_unlock(&reopen_mutex); }

void zv_close_alertfile() {
  pthread_mutex_lock(&reopen_mutex);
  if (alertfile && alertfile != errlogfile && alertfile != logfile &&
      !is_std_stream(alertfile))
    fclose(alertfile);
  alertfile = nullptr;
  pthread_mutex_unlock(&reopen_mutex);
}

void zv_log_close() {
  pthread_mutex_lock(&reopen_mutex);
  zv_close_alertfile();
  if (logfile && logfile != errlogfile && !is_std_stream(logfile)) fclose(logfile);
  logfile = nullptr;
  if (errlogfile && !is_std_stream(errlogfile)) fclose(errlogfile);
  errlogfile = nullptr;
  pthread_mutex_unlock(&reopen_mutex);
}

void print_version() {
  product_banner();
  zv_log(-3,
         "\n\tThis version supports both TCIF-98-006 Issue 2 Revision 1 (06/2001)\n"
         "\tand TCIF-98-006 Issue 3 Revision 2 (12/2001)\n\n\n");
  zv_log(-3, "Starting in COMBINED mode\n");
}

void zv_start_banner() {
  product_banner();
  zv_log(-3,
         "\n\tThis version supports both TCIF-98-006 Issue 2 Revision 1 (06/2001)\n"
         "\tand TCIF-98-006 Issue 3 Revision 2 (12/2001)\n\n\n");
}

char *make_message(const char *fmt, ...) {
  size_t size = 2048;
  char *p = static_cast<char *>(malloc(size));
  if (!p) return nullptr;
  for (;;) {
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(p, size, fmt, ap);
    va_end(ap);
    if (n >= 0 && static_cast<size_t>(n) < size) return p;
    size = n >= 0 ? static_cast<size_t>(n) + 1 : size * 2;
    char *np = static_cast<char *>(realloc(p, size));
    if (!np) {
      free(p);
      return nullptr;
    }
    p = np;
  }
}

void zv_logerrno(const char *fmt, ...) {
  int saved = errno;
  char msg[1024];
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(msg, sizeof msg, fmt, ap);
  va_end(ap);
  if (n < 0) n = 0;
  size_t used = strnlen(msg, sizeof msg - 1);
  char err[256];
  const char *text = strerror_r(saved, err, sizeof err);
  snprintf(msg + used, sizeof msg - used, " (%s #%d)", text, saved);
  zv_log(-1, "%s", msg);
}

// ---- record dumps ------------------------------------------------------------------

int dump_tctlp(int log_level, Trans_ctl_rec *t) {
  if (!(debug_level & log_level)) return 0;
  if (!t) {
    fprintf(stderr, kAssertFormat, __FILE__, __LINE__);
    return 0;
  }
  zv_log(log_level, "-- dump_tctlp -----------------------------\n");
  if (const char *w = who_text(t->who))
    zv_log(log_level, w, program, mypid);
  else
    zv_log(log_level, "  who= Unknown process (%d), %s(%d)\n", t->who, program, mypid);
  zv_log(log_level, "  tp_index= %d, iPriority= %d, zvp_version= %d\n", t->tp_index,
         t->iPriority, t->zvp_version);
  if (t->tp_index >= 0)
    zv_log(log_level, "  dest_ip_port= %s:%d\n", t->dest_ip ? t->dest_ip : "", t->dest_port);
  if (t->isa_line[0] != '\0') zv_log(log_level, "  isa_line= %-104.104s\n", t->isa_line);
  zv_log(log_level, "  msg_type= %d\n", t->msg_type);
  if (debug_level & 128) {
    dump_cert(log_level, t->pLocalCert, "== Local X.509 Cert =======================\n",
              "== END of Local X.509 Cert ================\n", "Local Cert is NULL\n");
    dump_cert(log_level, t->pRemoteCert, "== Remote X.509 Cert ======================\n",
              "== END of Remote X.509 Cert ===============\n", "Remote Cert is NULL\n");
  }
  zv_log(log_level, "  status= %d\n", t->status);
  zv_log(log_level, "  ibuf_length= %d\n", t->ibuf_length);
  zv_log(log_level, "  obuf_length= %d\n", t->obuf_length);
  zv_log(log_level, "  digest= %.*s\n", ZV_DIGEST_SIZE - 1, t->digest);
  if (t->tp_index >= 0 && t->tp_index < ZV_MAX_TP)
    zv_log(log_level, "  isaid= %.*s\n", static_cast<int>(sizeof partner[0].isaid),
           partner[t->tp_index].isaid);
  zv_log(log_level, "-- END of dump_tctlp ----------------------\n");
  return 0;
}

int dump_tctlp_all(int log_level, Trans_ctl_rec *t, int tag) {
  if (!(debug_level & log_level)) return 0;
  if (!t) {
    fprintf(stderr, kAssertFormat, __FILE__, __LINE__);
    return 0;
  }
  zv_log(log_level, "-- dump_tctlp_all %02d ------------------------\n", tag);
  dump_tctlp(log_level, t);
  zv_log(log_level, "  ibuf_alloc_length = %d\n", t->ibuf_alloc_length);
  zv_log(log_level, "  imsg_length = %d\n", t->imsg_length);
  dump_buffer(log_level, "ibufferp", t->ibufferp,
              t->ibuf_alloc_length > t->ibuf_length ? t->ibuf_alloc_length : t->ibuf_length);
  zv_log(log_level, "  obuf_alloc_length = %d\n", t->obuf_alloc_length);
  zv_log(log_level, "  omsg_length = %d\n", t->omsg_length);
  dump_buffer(log_level, "obufferp", t->obufferp,
              t->obuf_alloc_length > t->obuf_length ? t->obuf_alloc_length : t->obuf_length);
  zv_log(log_level, "-- END of dump_tctlp_all %02d -----------------\n", tag);
  return 0;
}

int dump_raw_input(const char *buffer, int buf_length) {
  if (!buffer) {
    fprintf(stderr, kAssertFormat, __FILE__, __LINE__);
    return 0;
  }
  if (buf_length <= 0 || !(debug_level & 1)) return 0;
  size_t len = static_cast<size_t>(buf_length);
  std::unique_ptr<char[]> text(new (std::nothrow) char[len + 1]);
  if (!text) return 0;
  memcpy(text.get(), buffer, len);
  text[len] = '\0';
  size_t off = 0;
  while (off < len) {
    const char *line = text.get() + off;
    size_t avail = strlen(line);  // a NUL inside the buffer ends the dump
    const char *nl = static_cast<const char *>(memchr(line, '\n', avail));
    size_t line_len = nl ? static_cast<size_t>(nl - line) : avail;
    if (line_len > 0) zv_log(1, "  %.*s\n", static_cast<int>(line_len), line);
    if (!nl) break;
    off += line_len + 1;
  }
  return 0;
}

// ---- thread registry ---------------------------------------------------------------

int zv_init_thr_list() {
  pthread_mutex_lock(&list_mutex);
  memset(thr_count, 0, sizeof thr_count);
  memset(static_cast<void *>(thr_list), 0, sizeof thr_list);
  if (thr_key_made) pthread_key_delete(thr_num_key);
  int rc = pthread_key_create(&thr_num_key, nullptr);
  thr_key_made = rc == 0;
  pthread_mutex_unlock(&list_mutex);
  return rc;
}

int zv_set_thread(int thread_type) {
  if (thread_type < 0 || thread_type >= ZV_THR_TYPES) return -1;
  pthread_t self = pthread_self();
  pthread_mutex_lock(&list_mutex);
  // A thread that registers again keeps the slot it holds.
  int slot = ZV_THR_SLOTS;
  for (int i = 0; i < ZV_THR_SLOTS; ++i) {
    if (thr_list[i] != 0 && pthread_equal(thr_list[i], self)) {
      slot = i;
      break;
    }
  }
  if (slot == ZV_THR_SLOTS) {
    for (int i = 0; i < ZV_THR_SLOTS; ++i) {
      if (thr_list[i] == 0) {
        slot = i;
        thr_list[i] = self;
        break;
      }
    }
  }
  if (thr_key_made)
    pthread_setspecific(thr_num_key, reinterpret_cast<void *>(static_cast<uintptr_t>(slot)));
  int n = ++thr_count[thread_type];
  pthread_mutex_unlock(&list_mutex);
  return n;
}

unsigned zv_get_thread() {
  if (!thr_key_made) return 0;
  return static_cast<unsigned>(reinterpret_cast<uintptr_t>(pthread_getspecific(thr_num_key)));
}

int zv_done_thread(int thread_type) {
  if (thread_type < 0 || thread_type >= ZV_THR_TYPES) return -1;
  pthread_t self = pthread_self();
  pthread_mutex_lock(&list_mutex);
  for (int i = 0; i < ZV_THR_SLOTS; ++i) {
    if (thr_list[i] != 0 && pthread_equal(thr_list[i], self)) {
      thr_list[i] = 0;
      break;
    }
  }
  int n = --thr_count[thread_type];
  pthread_mutex_unlock(&list_mutex);
  return n;
}

// ---- crypto-library locks ----------------------------------------------------------

void zv_crypto_lock(int mode, int n, const char *file, int line) {
  locking_cb_t cb = locking_cb.load(std::memory_order_acquire);
  if (cb) cb(mode, n, file, line);
}

void zv_log_lock() { zv_crypto_lock(ZV_CRYPTO_LOCK | ZV_CRYPTO_WRITE, ZV_LOG_LOCK, __FILE__, __LINE__); }

void zv_log_unlock() {
  zv_crypto_lock(ZV_CRYPTO_UNLOCK | ZV_CRYPTO_WRITE, ZV_LOG_LOCK, __FILE__, __LINE__);
}

void locking_function(int mode, int n, const char *, int) {
  if (!mutex_buf || n < 0 || n >= num_locks) return;
  if (mode & ZV_CRYPTO_LOCK) {
    pthread_mutex_lock(&mutex_buf[n]);
    ++plock_count[n];
  } else {
    pthread_mutex_unlock(&mutex_buf[n]);
  }
}

unsigned long id_function() { return static_cast<unsigned long>(pthread_self()); }

CRYPTO_dynlock_value *dyn_create_function(const char *, int) {
  auto *v = new (std::nothrow) CRYPTO_dynlock_value;
  if (!v) {
    zv_log(-1, "ERROR: dyn_create_function() alloc failed\n");
    return nullptr;
  }
  pthread_mutex_init(&v->mutex, nullptr);
  return v;
}

void dyn_lock_function(int mode, CRYPTO_dynlock_value *l, const char *, int) {
  if (!l) return;
  if (mode & ZV_CRYPTO_LOCK)
    pthread_mutex_lock(&l->mutex);
  else
    pthread_mutex_unlock(&l->mutex);
}

void dyn_destroy_function(CRYPTO_dynlock_value *l, const char *, int) {
  if (!l) return;
  pthread_mutex_destroy(&l->mutex);
  delete l;
}

int THREAD_setup() {
  if (mutex_buf) return 0;  // already in force
  // The linked library reports a single lock and calls no callback; the table of the
  // older library is kept here so that its static lock 26 serves as the log lock.
  int n = ZV_NUM_STATIC_LOCKS;
  pthread_mutex_t *mutexes = new (std::nothrow) pthread_mutex_t[n];
  if (!mutexes) return -1;
  long *counts = new (std::nothrow) long[n];
  if (!counts) {
    delete[] mutexes;
    return -2;
  }
  for (int i = 0; i < n; ++i) {
    pthread_mutex_init(&mutexes[i], nullptr);
    counts[i] = 0;
  }
  mutex_buf = mutexes;
  plock_count = counts;
  num_locks = n;
  zv_log(1, "THREAD_setup: created %d locks\n", n);
  CRYPTO_set_id_callback(id_function);
  CRYPTO_set_locking_callback(locking_function);
  CRYPTO_set_dynlock_create_callback(dyn_create_function);
  CRYPTO_set_dynlock_lock_callback(dyn_lock_function);
  CRYPTO_set_dynlock_destroy_callback(dyn_destroy_function);
  locking_cb.store(locking_function, std::memory_order_release);
  return 0;
}

int THREAD_cleanup() {
  if (!mutex_buf) return -1;
  CRYPTO_set_id_callback(nullptr);
  CRYPTO_set_locking_callback(nullptr);
  CRYPTO_set_dynlock_create_callback(nullptr);
  CRYPTO_set_dynlock_lock_callback(nullptr);
  CRYPTO_set_dynlock_destroy_callback(nullptr);
  locking_cb.store(nullptr, std::memory_order_release);
  for (int i = 0; i < num_locks; ++i) pthread_mutex_destroy(&mutex_buf[i]);
  delete[] mutex_buf;
  delete[] plock_count;
  mutex_buf = nullptr;
  plock_count = nullptr;
  num_locks = 0;
  return 0;
}
