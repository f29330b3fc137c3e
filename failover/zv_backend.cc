#include "failover/zv_backend.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "partners/zv_address.h"
#include "runtime/zv_errors.h"
#include "runtime/zv_globals.h"
#include "runtime/zv_handles.h"
#include "runtime/zv_log.h"
#include "runtime/zv_process.h"
#include "runtime/zv_tempfile.h"
#include "runtime/zv_translog.h"

namespace {

constexpr char kAssertFormat[] = "ASSERT Failed: %s: line %d\n";
constexpr char kSource[] = "zv_backend";
constexpr char kTmpSuffix[] = ".tmp";
constexpr int kUniqueNameAttempts = 100;

// pipe_write4's own descriptor; see the header.
int pipe4_fd = -1;

void assert_failed(int line) { fprintf(stderr, kAssertFormat, kSource, line); }

// A directory text beginning with "/" as it is, any other under the working directory.
// A working directory that cannot be determined ends the process: no output path could
// be trusted then.
std::string absolute_dir(const char *dir, const char *reported) {
  if (dir[0] == '/') return dir;
  char cwd[PATH_MAX];
  if (!getcwd(cwd, sizeof cwd)) {
    zv_log(-1, "FATAL_ERROR: Cannot determine absolute path for path fragment of %s\n",
           reported);
    abort();
  }
  return std::string(cwd) + "/" + dir;
}

const char *final_suffix(const Trans_ctl_rec *tctlp) {
  return tctlp->who == ZV_WHO_HPRI_SERVER ? ".hpri" : ".edi";
}

const char *last_component(const std::string &path) {
  size_t slash = path.rfind('/');
  return path.c_str() + (slash == std::string::npos ? 0 : slash + 1);
}

// Creates a new empty file `dir`/`prefix`XXXXXX.tmp (six random characters), so the
// name is ours alone, with the mode a plain fopen would have given it so that the back
// end may read it, and returns the path without ".tmp" in *path. A name whose final
// form `final_dir`/<name>`final_ext` exists already is given back and another one made,
// so a delivery never replaces an earlier one the back end has not taken yet. False
// when no name could be made (logged).
bool unique_tmp_name(const std::string &dir, const char *prefix, const std::string &final_dir,
                     const char *final_ext, std::string *path) {
  std::string start = dir + "/" + prefix;
  char templ[ZV_PATH_SIZE];
  if (start.size() + strlen("XXXXXX") + strlen(kTmpSuffix) >= sizeof templ) {
    zv_log(-1, "ERROR: Cannot make a unique name in %s: path too long\n", dir.c_str());
    return false;
  }
  for (int attempt = 0; attempt < kUniqueNameAttempts; ++attempt) {
    int fd = zv_open_temp(start.c_str(), templ, sizeof templ, kTmpSuffix);
    if (fd < 0) {
      zv_log(-1, "ERROR: Cannot make a unique name in %s: %s\n", dir.c_str(), strerror(errno));
      return false;
    }
    close(fd);
    std::string stem(templ, strlen(templ) - strlen(kTmpSuffix));
    std::string final_path = final_dir + "/" + last_component(stem) + final_ext;
    if (access(final_path.c_str(), F_OK) != 0) {
      *path = stem;
      return true;
    }
    unlink(templ);
  }
  zv_log(-1, "ERROR: Cannot make a unique name in %s\n", dir.c_str());
  return false;
}

// Steps shared by the two file writers: the bytes into `tmp_name`, truncating it. 0, or
// the failure already reported (-1 cannot open, else the stream's error indicator).
int write_tmp_file(Trans_ctl_rec *tctlp, const char *bufferp, int blen,
                   const std::string &tmp_name) {
  // The name may be a fixed one (the file interface's): never written through a link
  // planted there, nor waited on as a FIFO.
  const char *why = nullptr;
  int fd = zv_open_regular_file(tmp_name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666, false,
                                &why);
  zv_file_ptr fp(fd >= 0 ? fdopen(fd, "w") : nullptr);
  if (!fp) {
    if (fd >= 0) close(fd);
    if (fd == -2)
      zv_log(-1, "ERROR: refusing to open %s for writing: it is %s\n", tmp_name.c_str(), why);
    zv_log(-1, "ERROR: Cannot open %s for writing\n", tmp_name.c_str());
    transaction_logging(tctlp, ZV_ERRM_CANNOT_OPEN_OUTPUT_FILE);
    return -1;
  }
  if (blen > 0) fwrite(bufferp, 1, static_cast<size_t>(blen), fp.get());
  // Buffered data reaches the file only here; a full disk shows up now, not at close.
  fflush(fp.get());
  int indicator = ferror(fp.get());
  if (indicator == 0 && fclose(fp.release()) != 0) indicator = 1;
  if (indicator != 0) {
    zv_log(-1, "ERROR: Cannot write %s, returned errno %d\n", tmp_name.c_str(), indicator);
    fp.reset();
    transaction_logging(tctlp, ZV_ERRM_CANNOT_WRITE_OUTPUT_FILE);
    return indicator;
  }
  return 0;
}

// A pipe opened for writing, which waits for a reader; -1 when it cannot be opened
// (logged).
int open_pipe_for_writing(const char *name) {
  int fd;
  do {
    fd = open(name, O_WRONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) zv_log(-1, "ERROR: cannot open %s for writing\n", name);
  return fd;
}

// One whole write, or false (also for a short one).
bool write_whole(int fd, const void *data, size_t len) {
  ssize_t n;
  do {
    n = write(fd, data, len);
  } while (n < 0 && errno == EINTR);
  return n == static_cast<ssize_t>(len);
}

// ---- the socket record's bounded send -----------------------------------------------

// Every socket delivery ends by a deadline: the base, and the record at the lowest rate a
// back end is expected to keep up (a slow link included).
constexpr int64_t kSendBaseMs = 10000;
constexpr int64_t kSendMinBytesPerSecond = 64 * 1024;
// How often a wait looks at the shutdown flag when no signal wakes it.
constexpr int kStopLookMs = 200;
// How often the close of the back end is looked at again while its acknowledgement of
// the last bytes is still on its way.
constexpr int kAckLookMs = 2;
// What soc_send returns when no connection could be made.
constexpr int kNoConnection = 1;

// Results of the waits below besides 0 (done) and an errno value.
constexpr int kTimedOut = -1;
constexpr int kStopped = -2;

int64_t send_bound_ms(int length) {
  return kSendBaseMs + static_cast<int64_t>(length) * 1000 / kSendMinBytesPerSecond;
}

std::string reason(int code, int64_t bound_ms) {
  if (code == kTimedOut)
    return "not done within the " + std::to_string(bound_ms / 1000) + " s allowed";
  if (code == kStopped) return "the process is stopping";
  return strerror(code);
}

// Waits up to `ms` (at most to the deadline) for `events` on `fd`, or only for the time
// to pass when `fd` is -1. 0 when the time is up or the descriptor is ready; kTimedOut
// when the deadline has passed before; kStopped once shutdown is set.
int wait_step(int fd, short events, int64_t deadline, int ms) {
  if (zv_shutdown == 1) return kStopped;
  int64_t left = deadline - zv_monotonic_ms();
  if (left <= 0) return kTimedOut;
  struct pollfd p = {fd, events, 0};
  int wait = static_cast<int>(std::min<int64_t>(left, ms));
  int n = poll(fd >= 0 ? &p : nullptr, fd >= 0 ? 1 : 0, wait);
  if (n < 0 && errno != EINTR) return errno;
  return 0;
}

// Connects the non-blocking socket: 0, or why not.
int connect_within(int fd, const struct sockaddr_in &sa, int64_t deadline) {
  if (connect(fd, reinterpret_cast<const struct sockaddr *>(&sa), sizeof sa) == 0) return 0;
  if (errno != EINPROGRESS && errno != EINTR) return errno;
  for (;;) {
    struct pollfd p = {fd, POLLOUT, 0};
    if (poll(&p, 1, 0) == 1) {
      int err = 0;
      socklen_t len = sizeof err;
      if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
      return err;
    }
    int rc = wait_step(fd, POLLOUT, deadline, kStopLookMs);
    if (rc != 0) return rc;
  }
}

// Sends the bytes whole; `piece` hears of each part the system took. 0, or why not.
int send_within(int fd, const void *data, size_t len, int64_t deadline,
                const std::function<void(size_t)> &piece = {}) {
  const char *p = static_cast<const char *>(data);
  while (len > 0) {
    ssize_t n = send(fd, p, len, MSG_NOSIGNAL);
    if (n > 0) {
      p += n;
      len -= static_cast<size_t>(n);
      if (piece) piece(static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return errno;
    int rc = wait_step(fd, POLLOUT, deadline, kStopLookMs);
    if (rc != 0) return rc;
  }
  return 0;
}

// After the whole record: ends the sending side and waits for the back end's orderly
// close, which is its word that it read the record whole. Bytes it sends meanwhile are
// read and dropped: the record has no answer, only the close counts. A close counts
// only once the back end has acknowledged every byte, our end included: one that closes
// before it has read them all answers the rest with a reset, which may arrive after its
// close. 0, or why the record is not known to be delivered.
int confirmed_within(int fd, int64_t deadline) {
  if (shutdown(fd, SHUT_WR) != 0) return errno;
  bool closed = false;
  char sink[4096];
  for (;;) {
    if (!closed) {
      ssize_t n = recv(fd, sink, sizeof sink, 0);
      if (n > 0 || (n < 0 && errno == EINTR)) {
        // A back end that keeps sending is still bound by the deadline.
        int rc = wait_step(-1, 0, deadline, 0);
        if (rc != 0) return rc;
        continue;
      }
      if (n == 0) {
        closed = true;
      } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
        return errno;
      } else {
        int rc = wait_step(fd, POLLIN, deadline, kStopLookMs);
        if (rc != 0) return rc;
        continue;
      }
    }
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
    if (err != 0) return err;
    int unacknowledged = 0;
    if (ioctl(fd, SIOCOUTQ, &unacknowledged) != 0) return errno;
    if (unacknowledged == 0) return 0;
    int rc = wait_step(-1, 0, deadline, kAckLookMs);
    if (rc != 0) return rc;
  }
}

// Resets the connection at its close unless `fd` was cleared.
struct ResetOnClose {
  int fd;
  ~ResetOnClose() {
    if (fd < 0) return;
    struct linger abort_close = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort_close, sizeof abort_close);
  }
};

}  // namespace

const char *soc_word(const Trans_ctl_rec *tctlp) {
  char c = failoverd[0];
  if (c == 'N' || c == 'n') return "ERROR";
  if (c != 'S' && c != 's') return "WARNING";
  return tctlp->who == ZV_WHO_STD_SERVER ? "WARNING" : "ERROR";
}

int processEDImsg(Trans_ctl_rec *tctlp, char *bufferp, int blen) {
  if (!tctlp) {
    assert_failed(__LINE__);
    return -1;
  }
  const char *failure = nullptr;
  int code = 0;
  switch (toupper(static_cast<unsigned char>(zv_interface[0]))) {
    case 'D': {
      char prefix[] = "zv_";
      if (dir_out_buf(tctlp, bufferp, blen, zv_dirpath, prefix) != 0) {
        failure = "ERROR: encountered in dir_out_buf()\n";
        code = ZV_ERRM_CANNOT_SAVE_EDI_MSG_FILE;
      }
      break;
    }
    case 'F':
      if (file_out_buf(tctlp, bufferp, blen, zv_filename) != 0) {
        failure = "ERROR: encountered in file_out_buf()\n";
        code = ZV_ERRM_CANNOT_SAVE_EDI_MSG_FILE;
      }
      break;
    case 'R':
      if (soc_write(tctlp, zv_socaddr) != 0) {
        failure = "ERROR: encountered in rpc_write()\n";
        code = ZV_ERRM_CANNOT_WRITE_EDI_MSG_TO_SOCKET;
      }
      break;
    case 'S':
      if (soc_write(tctlp, zv_socaddr) != 0) {
        failure = "ERROR: encountered in soc_write()\n";
        code = ZV_ERRM_CANNOT_WRITE_EDI_MSG_TO_SOCKET;
      }
      break;
    case 'X':
      if (soc_write(tctlp, zv_socaddr) != 0) {
        failure = "ERROR: encountered in xmlrpc_write()\n";
        code = ZV_ERRM_CANNOT_WRITE_EDI_MSG_TO_SOCKET;
      }
      break;
    default:
      zv_log(-1,
             "FATAL ERROR: Found an unsupported interface requested - Cannot continue "
             "processing this message\n");
      vZvExit(-4);
  }
  if (!failure) return 0;
  zv_log(-1, "%s", failure);
  transaction_logging(tctlp, code);
  return -1;
}

int file_out_buf(Trans_ctl_rec *tctlp, char *bufferp, int blen, char *filenamep) {
  if (!tctlp || !filenamep || (!bufferp && blen > 0) || blen < 0) {
    assert_failed(__LINE__);
    return -1;
  }
  std::string out_dir = absolute_dir(zv_dirpath, zv_dirpath);
  std::string tmp_name = std::string(filenamep) + kTmpSuffix;
  std::string final_name = std::string(filenamep) + final_suffix(tctlp);

  int rc = write_tmp_file(tctlp, bufferp, blen, tmp_name);
  if (rc != 0) return rc;
  safe_rename(tmp_name.c_str(), last_component(final_name), out_dir.c_str(), "edi__", 1);
  return 0;
}

int dir_out_buf(Trans_ctl_rec *tctlp, char *buffp, int len, char *dirnamep, char *prefixp) {
  if (!tctlp || !dirnamep || !prefixp) {
    assert_failed(__LINE__);
    return -1;
  }
  std::string dir = absolute_dir(dirnamep, zv_dirpath);
  std::string out_dir = absolute_dir(zv_dirpath, zv_dirpath);
  std::string path;
  if (!unique_tmp_name(dir, prefixp, out_dir, final_suffix(tctlp), &path)) return -1;
  int rc = file_out_buf(tctlp, buffp, len, path.data());
  if (rc == -1) unlink((path + kTmpSuffix).c_str());
  return rc;
}

int dir_out_buf2(Trans_ctl_rec *tctlp, char *buffp, int len, char *dirnamep, char *suffixp) {
  if (!tctlp || !dirnamep || !suffixp || (!buffp && len > 0) || len < 0) {
    assert_failed(__LINE__);
    return -1;
  }
  std::string dir = absolute_dir(dirnamep, dirnamep);
  std::string path;
  if (!unique_tmp_name(dir, "rr", dir, suffixp, &path)) return -1;
  std::string tmp_name = path + kTmpSuffix;
  if (write_tmp_file(tctlp, buffp, len, tmp_name) != 0) return -1;
  std::string name = std::string(last_component(path)) + suffixp;
  safe_rename(tmp_name.c_str(), name.c_str(), dir.c_str(), "edi__", 1);
  return 0;
}

char *basename2(char *pathp) {
  if (!pathp) {
    assert_failed(__LINE__);
    return nullptr;
  }
  char *slash = strrchr(pathp, '/');
  return slash ? slash + 1 : pathp;
}

int pipe_write2(char *psBuf, int iLength) {
  zv_log(1, "DEBUG:starting pipe_write2()\n");
  zv_log(1, "DEBUG:pipe_write2:fd = %d\n", iFdReceiptPipe);
  if (!psBuf && iLength > 0) {
    assert_failed(__LINE__);
    return -1;
  }
  // The record's length field has 16 bits: a longer body cannot be framed, and cutting
  // it would hand the reader part of a message as if it were whole.
  if (iLength < 0 || iLength > ZV_BE_PIPE_MAX_BODY) {
    zv_log(-1, "ERROR: message length of %d does not fit a pipe record (at most %d bytes)\n",
           iLength, ZV_BE_PIPE_MAX_BODY);
    return -1;
  }
  if (iFdReceiptPipe < 0) {
    int fd = open_pipe_for_writing(ZV_BE_PIPE_NAME);
    if (fd < 0) return -1;
    iFdReceiptPipe = fd;
    zv_log(1, "DEBUG:pipe_write2:fresh fd = %d\n", iFdReceiptPipe);
  }
  zv_log(1, "DEBUG:pipe_write2 2:fd = %d\n", iFdReceiptPipe);
  zv_log(1, "DEBUG: msg length = %d\n", iLength);

  unsigned char length_field[ZV_BE_PIPE_LENGTH_SIZE];
  zv_be_put16(length_field, static_cast<uint16_t>(iLength));
  if (!write_whole(iFdReceiptPipe, length_field, sizeof length_field)) {
    zv_log(-1, "ERROR: cannot write message length of %d (2 bytes) to pipe %s\n", iLength,
           ZV_BE_PIPE_NAME);
    return -1;
  }
  zv_log(1, "DEBUG: msg priority = %d\n", ZV_BE_PRIORITY_HIGH);
  unsigned char priority_field[ZV_BE_PRIORITY_SIZE];
  zv_be_put16(priority_field, ZV_BE_PRIORITY_HIGH);
  if (!write_whole(iFdReceiptPipe, priority_field, sizeof priority_field)) {
    zv_log(-1, "ERROR: cannot write message priority of %d (2 bytes) to pipe %s\n",
           ZV_BE_PRIORITY_HIGH, ZV_BE_PIPE_NAME);
    return -1;
  }
  if (iLength > 0 && !write_whole(iFdReceiptPipe, psBuf, static_cast<size_t>(iLength))) {
    zv_log(-1, "ERROR: cannot write message (length of %d bytes) to pipe %s\n", iLength,
           ZV_BE_PIPE_NAME);
    return -1;
  }
  return 0;
}

int pipe_write4(char *psBuf, int iLength, char *psPipeName) {
  zv_log(1, "DEBUG:starting pipe_write4()\n");
  zv_log(1, "DEBUG:pipe_write4:fd = %d\n", pipe4_fd);
  if ((!psBuf && iLength > 0) || (!psPipeName && pipe4_fd < 0)) {
    assert_failed(__LINE__);
    return -1;
  }
  if (iLength < 0) {
    zv_log(-1, "ERROR: cannot write message (length of %d bytes)to pipe %s\n", iLength,
           psPipeName ? psPipeName : "");
    return -1;
  }
  if (pipe4_fd < 0) {
    int fd = open_pipe_for_writing(psPipeName);
    if (fd < 0) return -1;
    pipe4_fd = fd;
  }
  const char *name = psPipeName ? psPipeName : "";
  zv_log(1, "DEBUG: msg length = %d\n", iLength);
  unsigned char length_field[ZV_BE_PIPE4_LENGTH_SIZE];
  zv_be_put32(length_field, static_cast<uint32_t>(iLength));
  if (!write_whole(pipe4_fd, length_field, sizeof length_field)) {
    zv_log(-1, "ERROR: cannot write message length of %d (4 bytes) to pipe %s\n", iLength,
           name);
    return -1;
  }
  if (iLength > 0 && !write_whole(pipe4_fd, psBuf, static_cast<size_t>(iLength))) {
    zv_log(-1, "ERROR: cannot write message (length of %d bytes)to pipe %s\n", iLength, name);
    return -1;
  }
  return 0;
}

int soc_send(Trans_ctl_rec *tctlp, const char *psSocketAddr, soc_send_outcome *quiet) {
  zv_log(1, "DEBUG:starting soc_write()\n");
  if (!tctlp || !psSocketAddr || (!tctlp->obufferp && tctlp->obuf_length > 0)) {
    assert_failed(__LINE__);
    return -1;
  }
  const char *word = soc_word(tctlp);

  // The address as written or not at all (the one reader of every address setting):
  // "8003abc" is no port, "010.0.0.1" is 10.0.0.1.
  const char *colon = strchr(psSocketAddr, ':');
  if (!colon) {
    zv_log(-1, "ERROR: cannot find port in IP address (%s) - cannot write to socket\n",
           psSocketAddr);
    return -1;
  }
  int port = 0;
  std::string why;
  if (!zv_read_port(colon + 1, &port, &why)) {
    zv_log(-1, "ERROR: cannot find valid port in IP address (%s) - cannot write to socket\n",
           psSocketAddr);
    return -1;
  }
  zv_ipv4 host;
  if (!zv_read_ipv4(std::string_view(psSocketAddr, static_cast<size_t>(colon - psSocketAddr)),
                    &host, &why)) {
    zv_log(-1, "ERROR: cannot find valid IP address in (%s) - cannot write to socket\n",
           psSocketAddr);
    return -1;
  }
  struct sockaddr_in sa;
  memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  memcpy(&sa.sin_addr.s_addr, host.octet, sizeof host.octet);
  if (tctlp->obuf_length < 0) {
    zv_log(-1, "%s: cannot write message (length of %d bytes) to socket\n", word,
           tctlp->obuf_length);
    return -1;
  }
  const int total = tctlp->obuf_length;
  const int64_t bound = send_bound_ms(total);
  long long taken = 0;  // bytes of the record the system took
  auto count_taken = [&](size_t n) { taken += static_cast<long long>(n); };
  // A failure line, or what it would say for a quiet caller.
  auto fail = [&](const char *format, auto... args) {
    char line[512];
    snprintf(line, sizeof line, format, args...);
    if (quiet != nullptr) {
      quiet->failure = line;
      quiet->bytes_sent = taken;
    } else {
      zv_log(-1, "%s: %s\n", word, line);
    }
    return -1;
  };
  const int64_t deadline = zv_monotonic_ms() + bound;

  // Non-blocking, so that every wait is bounded by the deadline and sees a stop.
  zv_fd sock(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (sock.get() < 0) {
    fprintf(stderr, "soc_write: can't open stream socket: %s\n", strerror(errno));
    zv_log(-1, "FATAL ERROR: cannot open stream socket\n");
    return -1;
  }
  int rc = connect_within(sock.get(), sa, deadline);
  if (rc == kStopped) {
    return fail("message (length of %d bytes) not sent to BES socket server (%s)", total,
                reason(rc, bound).c_str());
  }
  if (rc != 0) {
    zv_log(1, "DEBUG: connect to %s: %s\n", psSocketAddr, reason(rc, bound).c_str());
    return kNoConnection;
  }
  // From here every failure resets the connection: a record cut short ends in an error
  // at the back end, never in an orderly end.
  ResetOnClose reset_on_failure{sock.get()};
  zv_log(1, "soc_write: Sending request on #%x\n", static_cast<unsigned>(sock.get()));
  zv_log(1, "DEBUG: msg length = %d\n", total);

  unsigned char length_field[ZV_BE_SOCKET_LENGTH_SIZE];
  zv_be_put32(length_field, static_cast<uint32_t>(total));
  rc = send_within(sock.get(), length_field, sizeof length_field, deadline, count_taken);
  if (rc != 0) {
    return fail("cannot write message length of %d (4 bytes) to socket (%s)", total,
                reason(rc, bound).c_str());
  }
  uint16_t priority =
      tctlp->who == ZV_WHO_HPRI_SERVER ? ZV_BE_PRIORITY_HIGH : ZV_BE_PRIORITY_STD;
  zv_log(1, "DEBUG: msg priority = %d\n", priority);
  unsigned char priority_field[ZV_BE_PRIORITY_SIZE];
  zv_be_put16(priority_field, priority);
  rc = send_within(sock.get(), priority_field, sizeof priority_field, deadline, count_taken);
  if (rc != 0) {
    return fail("cannot write message priority of %d (2 bytes) to socket (%s)", priority,
                reason(rc, bound).c_str());
  }
  int left = total;
  rc = send_within(sock.get(), tctlp->obufferp, static_cast<size_t>(total), deadline,
                   [&](size_t n) {
                     count_taken(n);
                     left -= static_cast<int>(n);
                     zv_log(1, "DEBUG: total: %d written: %d Left: %d\n", total,
                            static_cast<int>(n), left);
                   });
  if (rc != 0) {
    return fail("cannot write message (length of %d bytes) to socket (%s)", left,
                reason(rc, bound).c_str());
  }
  rc = confirmed_within(sock.get(), deadline);
  if (rc != 0) {
    return fail(
        "BES socket server did not confirm the message (length of %d bytes) by closing the "
        "connection (%s)",
        total, reason(rc, bound).c_str());
  }
  reset_on_failure.fd = -1;
  int fd = sock.get();
  sock.reset();
  zv_log(1, "soc_write:Done sending on #%x.\n", static_cast<unsigned>(fd));
  return 0;
}

int soc_write(Trans_ctl_rec *tctlp, char *psSocketAddr) {
  int rc = soc_send(tctlp, psSocketAddr);
  if (rc == kNoConnection)
    zv_log(-1, "%s: cannot connect to BES socket server: Connection refused\n", soc_word(tctlp));
  return rc == 0 ? 0 : -1;
}

bool backend_address_ok(const char *text) {
  std::string why;
  return text != nullptr && zv_read_socaddr(text, nullptr, nullptr, &why);
}
