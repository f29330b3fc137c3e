#include "runtime/zv_translog.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <string>

#include "runtime/zv_globals.h"
#include "runtime/zv_handles.h"
#include "runtime/zv_log.h"
#include "runtime/zv_process.h"
#include "runtime/zv_services.h"
#include "runtime/zv_statsdb.h"
#include "runtime/zv_tempfile.h"

// Looked up by code, so the order of the rows means nothing.
const zv_err_flags_t zvErrors[ZV_ERROR_TABLE_ROWS] = {
    {ZV_ERRM_CANNOT_FIND_LOCAL_CERT_ENTRY, 1, 0, 0, 0,
     "Cannot find a required local certificate for this message. Skipping message."},
    {ZV_ERRM_ZVP_VERSION_NOT_SUPPORTED, 1, 0, 0, 0,
     "The ZVP protocol version of the local certificate entry is not supported. Skipping message."},
    {ZV_ERRM_OVERLOAD_REFUSED_INBOUND_CONNECTION, 1, 0, 0, 0,
     "Refused inbound connection due to too many incoming messages, No data has been lost"},
    {ZV_ERRM_FAILOVER_CANNOT_READ_DATA_LOST, 1, 0, 0, 0,
     "Cannot read data due to FAILOVER being full, Some data may be lost!"},
    {ZV_ERRM_FAILOVER_REFUSED_INBOUND_CONNECTION, 1, 0, 0, 0,
     "Refused inbound connection due to FAILOVER being full, No data has been lost"},
    {ZV_ERRM_CANNOT_FIND_CONNECTION, 1, 0, 0, 0,
     "Cannot find a connection in the internal connection table"},
    {ZV_ERRM_CANNOT_CREATE_CONNECTION, 1, 0, 0, 0,
     "Cannot create a new connection in the internal connection table"},
    {ZV_ERRM_CANNOT_STORE_PENDING_RECEIPT, 1, 0, 0, 0,
     "Cannot store pending receipt due to internal error"},
    {ZV_ERRM_CANNOT_START_PROCESS, 1, 0, 0, 0,
     "Cannot start process due to an internal error"},
    {ZV_ERRM_INTERNAL_DATA_LISTEN_FAILED, 1, 0, 0, 0,
     "Internal listen process has failed"},
    {ZV_ERRM_CANNOT_SEND_INTERNAL_DATA, 1, 0, 0, 0,
     "This process cannot send the internal message to another process"},
    {ZV_ERRM_CANNOT_RECV_INTERNAL_DATA, 1, 0, 0, 0,
     "This process cannot receive an internal message from another process"},
    {ZV_ERRM_CANNOT_SAVE_ZVSTATUS_TO_PIPE, 1, 0, 0, 0,
     "Cannot send ZVstatus message to receipt client process via pipe"},
    {ZV_ERRM_CANNOT_SAVE_ZVSTATUS_OUT_FILE, 1, 0, 0, 0,
     "Cannot save an ZVstatus message as a file"},
    {ZV_ERRM_CANNOT_REMOVE_PENDING_RECEIPT, 1, 0, 0, 0,
     "Cannot remove the pending receipt record"},
    {ZV_ERRM_CANNOT_GENERATE_RECEIPT, 0, 0, 0, 0,
     "Cannot build receipt for return"},
    {ZV_ERRM_CANNOT_SAVE_RECEIPT_TO_PIPE, 1, 0, 0, 0,
     "Cannot send receipt for received message to remote ZV"},
    {ZV_ERRM_CANNOT_WRITE_TIBCO_EDI_MSG, 1, 0, 0, 0,
     "Cannot write tibco EDI message"},
    {ZV_ERRM_CANNOT_WRITE_EDI_MSG_TO_SOCKET, 1, 0, 0, 0,
     "Cannot write EDI message to socket"},
    {ZV_ERRM_CANNOT_WRITE_EDI_MSG_TO_PIPE, 1, 0, 0, 0,
     "Cannot write EDI message to pipe"},
    {ZV_ERRM_NO_PENDING_REC_FOUND, 1, 0, 0, 0,
     "No matching receipt record found for received receipt"},
    {ZV_ERRM_TP_ID_MISSING_FROM_INPUT_ZV_STATUS_MSG, 1, 0, 0, 0,
     "Trading Partner ID missing from ZVstatus message received"},
    {ZV_ERRM_ISA_SEG_MISSING_FROM_INPUT_RECEIPT_MSG, 1, 0, 0, 0,
     "ISA segment missing from receipt message received"},
    {ZV_ERRM_CANNOT_GENERATE_ZV_STATUS_MSG, 1, 0, 0, 0,
     "Cannot generate an ZV Status message"},
    {ZV_ERRM_CLIENTS_CA_CERTS_MISSING, 1, 0, 0, 1,
     "CA Certificate which signed local certificate is missing"},
    {ZV_ERRM_CLIENTS_OWN_CERT_MISSING, 1, 0, 0, 1,
     "Own local certificate is missing"},
    {ZV_ERRM_CANNOT_SAVE_RECEIPT_OUT_FILE, 1, 0, 0, 1,
     "Cannot save receipt message as a file"},
    {ZV_ERRM_CANNOT_SAVE_EDI_MSG_FILE, 1, 0, 0, 1,
     "Cannot save EDI message as a file"},
    {ZV_ERRM_CANNOT_OPEN_OUTPUT_FILE, 1, 0, 0, 0,
     "Cannot open output file"},
    {ZV_ERRM_CANNOT_WRITE_OUTPUT_FILE, 1, 0, 0, 0,
     "Cannot write to output file"},
    {ZV_ERRM_UNSUPPORTED_MESSAGE_TYPE, 1, 0, 0, 0,
     "Encountered unsupported message type"},
    {ZV_ERRM_CANNOT_GENERATE_EDI_MSG_FILE, 1, 0, 0, 0,
     "Cannot generate EDI message file"},
    {ZV_ERRM_UNKNOWN_MSG_TYPE_IN_TPFILE, 1, 0, 0, 1,
     "Unknown (and unsupported) EDI message type set in Trading Partner configuration file"},
    {ZV_ERRM_UNKNOWN_RECEIPT_MSG_TYPE_IN_TPFILE, 1, 0, 0, 1,
     "Unknown (and unsupported) Receipt message type set in Trading Partner configuration file"},
    {ZV_ERRM_UNKNOWN_TYPE_OF_MSG_FOR_TP, 1, 0, 0, 0,
     "Generic Error"},
    {ZV_ERRM_CANNOT_ALLOCATE_CTX, 1, 0, 0, 1,
     "Internal memory allocation problem encountered #1"},
    {ZV_ERRM_CANNOT_ALLOCATE_SSLCTX, 1, 0, 0, 1,
     "Internal memory allocation problem encountered #2"},
    {ZV_ERRM_CANNOT_ALLOCATE_CLIENT_SOCKET, 1, 0, 0, 1,
     "Cannot create client socket for reading data"},
    {ZV_ERRM_CANNOT_READ_OWN_CERT, 1, 0, 0, 1,
     "Cannot read own certificate"},
    {ZV_ERRM_CANNOT_READ_OWN_KEY, 1, 0, 0, 1,
     "Cannot read own private key"},
    {ZV_SUCCESSFUL_TRANSMISSION, 0, 0, 0, 0,
     "No Error"},
    {ZV_ERRM_UNSUPPORTED_INPUT_MSG_FOUND, 1, 0, 0, 0,
     "Unsupported Input message found"},
    {ZV_ERRM_UNKNOWN_ISAID_FOUND, 1, 0, 0, 0,
     "EDI ISA ID in EDI message does not match any Trading Partner ID set in configuration file"},
    {ZV_ERRM_UNKNOWN_CN_FOUND_IN_CERT, 1, 0, 0, 0,
     "Common Name (CN) found in certificate does not match any Trading Partner Common Name "
     "set in configuration file"},
    {ZV_ERRM_NO_ISAID_FOUND_IN_TPFILE, 1, 0, 0, 0,
     "EDI ISA ID in EDI message does not match any Trading Partner ID set in configuration file"},
    {ZV_ERRM_CANNOT_CONNECT_TO_REMOTE_SERVER, 1, 0, 0, 0,
     "Cannot connect to remote ZV server"},
    {ZV_ERRM_CANNOT_START_CLIENT_HANDSHAKE, 1, 0, 0, 0,
     "Cannot start SSL client handshake"},
    {ZV_ERRM_CANNOT_WRITE_SSL_CLIENT, 1, 0, 0, 0,
     "SSL client cannnot write message data to SSL server"},
    {ZV_ERRM_CANNOT_READ_SSL_SERVER, 1, 0, 0, 0,
     "SSL server cannnot read message data from SSL client"},
    {ZV_ERRM_CANNOT_FIND_SUBJECTNAME_IN_CERT, 1, 0, 0, 0,
     "Cannot find required SubjectName in certificate"},
    {ZV_ERRM_CANNOT_FIND_ISSUERNAME_IN_CERT, 1, 0, 0, 0,
     "Cannot find required IssuerName in certificate"},
    {ZV_ERRM_CANNOT_ACCEPT_CLIENT_HANDSHAKE, 1, 0, 0, 0,
     "SSL server cannot accept SSL client handshake request"},
    {ZV_ERRM_CANNOT_VERIFY_CLIENT_CERT, 1, 0, 0, 0,
     "Cannot verify ZV client certificate"},
    {ZV_ERRM_NO_CLIENT_CERT_SENT, 1, 0, 0, 0,
     "No client certificate sent from ZV client"},
    {ZV_ERRM_UNKNOWN_IPADDR_SENT_FROM_CLIENT, 1, 0, 0, 0,
     "Unknown IP address sent from ZV client"},
    {ZV_ERRM_CANNOT_PARSE_ASN1, 1, 0, 0, 0,
     "Cannot parse internal ASN.1 format of data message"},
    {ZV_ERRM_MESSAGE_INTEGRITY_BROKEN, 1, 0, 0, 0,
     "ZV EDI Message Integrity broken, digests do not match"},
    {ZV_ERRM_MESSAGE_BAD_SIGNITURE_FOUND, 1, 0, 0, 0,
     "ZV EDI Message Signiture invalid, signitures do not match"},
    {ZV_ERRM_RECEIPT_INTEGRITY_BROKEN, 1, 0, 0, 0,
     "ZV Receipt Integrity broken, digests do not match"},
    {ZV_ERRM_RECEIPT_BAD_SIGNITURE_FOUND, 1, 0, 0, 0,
     "ZV Receipt Signiture invalid, signitures do not match"},
    {ZV_ERRM_CNAME_MISMATCH, 1, 0, 0, 0,
     "CommonName in certificate does not match any known Trading Partner CommonName"},
    {ZV_ERRM_INCORRECT_MESSAGE_TYPE_SENT_FROM_TP, 1, 0, 0, 0,
     "ZV Message not supported for this trading partner was received"},
    {ZV_ERRM_RECEIVED_MESSAGE_FROM_INACTIVE_TP, 1, 0, 0, 0,
     "Received an ZV message from an inactive Trading Partner"},
    {ZV_ERRM_TOO_MANY_OPEN_CONNECTIONS_FROM_TP, 1, 0, 0, 0,
     "This Trading Partner has too many connections open, Cannot accept additional "
     "connections until active connections are closed."},
};

zv_alert_t tAlert = {{}, -1, 0};

namespace {

constexpr int kStatusBufferSize = 128;
constexpr int kStatusInputSize = 64 * 1024;
constexpr int kLineSize = 1024;
// A copy of a message is written under its name and this suffix until it is whole.
constexpr char kCopySuffix[] = ".tmp";

void assert_failed(int line) {
  fprintf(stderr, "ASSERT Failed: %s: line %d\n", __FILE_NAME__, line);
}

// Holds the log streams against a reopen in another thread while `alertfile` is used.
class StreamLock {
 public:
  StreamLock() { zv_log_streams_lock(); }
  ~StreamLock() { zv_log_streams_unlock(); }
  StreamLock(const StreamLock &) = delete;
  StreamLock &operator=(const StreamLock &) = delete;
};

// Holds the process's log lock, which guards the stream pointers `tran_logfile` and
// `alertfile` between threads. It is a real mutex once THREAD_setup has run, which
// clientd does before its second thread exists; single-threaded processes never need it.
class LogLock {
 public:
  LogLock() { zv_log_lock(); }
  ~LogLock() { zv_log_unlock(); }
  LogLock(const LogLock &) = delete;
  LogLock &operator=(const LogLock &) = delete;
};

void format_now(char (&stamp)[32]) {
  time_t now = time(nullptr);
  struct tm tmv;
  localtime_r(&now, &tmv);
  if (strftime(stamp, sizeof stamp, "%Y%m%d %H%M%S", &tmv) == 0) stamp[0] = '\0';
}

size_t formatted_length(int n, size_t size) {
  if (n < 0) return 0;
  return static_cast<size_t>(n) < size ? static_cast<size_t>(n) : size - 1;
}

bool has_partner(const Trans_ctl_rec &t) { return t.tp_index >= 0 && t.tp_index < ZV_MAX_TP; }

// Text that comes from outside (a document's ISA line, a peer's address, a partner's id)
// is written with its control characters escaped, so that each record stays one line.
template <size_t N>
void escaped(const char *text, size_t max, char (&out)[N]) {
  zv_escape_controls(text, text != nullptr ? strnlen(text, max) : 0, out, N);
}

// "ip:port" of the record, or empty when it names no partner.
void format_address(const Trans_ctl_rec &t, char (&addr)[512]) {
  addr[0] = '\0';
  if (t.tp_index >= 0) {
    char ip[400];
    escaped(t.dest_ip, 96, ip);
    snprintf(addr, sizeof addr, "%s:%d", ip, t.dest_port);
  }
}

// The isa field of the transaction-log line: exactly 104 columns, cut or blank-padded.
void format_isa(const Trans_ctl_rec &t, char (&field)[105]) {
  escaped(t.isa_line, sizeof t.isa_line, field);
  size_t w = strlen(field);
  memset(field + w, ' ', sizeof field - 1 - w);
  field[sizeof field - 1] = '\0';
}

// One line in one write (more only when the file takes part of it) while the stream is
// locked, so lines of other threads and processes stay apart. A line the file takes only
// in part (a full disk, the file-size limit) is taken back out of a file of our own
// (`own_file`) when nothing was appended behind it meanwhile, so that no half line runs
// into the next one.
bool write_line(FILE *stream, const char *line, size_t len, bool own_file) {
  flockfile(stream);
  bool ok = fflush(stream) == 0;
  int fd = fileno(stream);
  size_t done = 0;
  while (ok && done < len) {
    ssize_t n = write(fd, line + done, len - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      ok = false;
      break;
    }
    done += static_cast<size_t>(n);
  }
  if (!ok && done > 0 && own_file) {
    int e = errno;
    off_t end = lseek(fd, 0, SEEK_CUR);
    struct stat st;
    if (end >= static_cast<off_t>(done) && fstat(fd, &st) == 0 && st.st_size == end &&
        ftruncate(fd, end - static_cast<off_t>(done)) != 0) {
      // The half line stays; the error below still reports the line as not written.
    }
    errno = e;
  }
  funlockfile(stream);
  return ok;
}

bool is_fatal(int status) {
  int index;
  return iFindErrorByCode(status, &index) == 0 && zvErrors[index].iFatalError == 1;
}

void write_transaction_line(const Trans_ctl_rec &t, int status) {
  char stamp[32];
  format_now(stamp);
  char addr[512];
  format_address(t, addr);
  char isa[105];
  format_isa(t, isa);
  char line[kLineSize];
  int n = snprintf(line, sizeof line, "%s|%d|%s|%s|%d\n", stamp, t.msg_type, isa, addr,
                   status);
  size_t len = formatted_length(n, sizeof line);

  const char *path = tran_logpath[t.who];
  bool written, closed = true;
  int write_errno = 0, close_errno = 0;
  bool to_stderr;
  {
    LogLock lock;
    if (tran_logfile[t.who] == nullptr) {
      tran_logfile[t.who] = zv_fopen_append(path);
      if (tran_logfile[t.who] == nullptr) {
        zv_log(-1, "Can't open %s, Log to stderr\n", path);
        tran_logfile[t.who] = stderr;
      }
    }
    FILE *stream = tran_logfile[t.who];
    to_stderr = stream == stderr;
    written = write_line(stream, line, len, !to_stderr);
    write_errno = errno;
    if (!to_stderr) {
      closed = fclose(stream) == 0;
      close_errno = errno;
    }
    tran_logfile[t.who] = nullptr;
  }
  // Reported outside the lock: a log call may reopen the log streams.
  if (!written) {
    zv_log(-1, "ERROR: Cannot write the transaction log line to %s: %s\n",
           to_stderr ? "stderr" : path, strerror(write_errno));
  }
  if (!closed) zv_log(-1, "ERROR: Cannot close %s: %s\n", path, strerror(close_errno));
}

struct Buffer {
  const char *data;
  int length;
};
// The message a buffer holds: its message length when that is set and within the buffer;
// a record that left it unset is taken at the buffer's length field.
Buffer message(const char *data, int buf_len, int msg_len) {
  return {data, msg_len > 0 && msg_len <= buf_len ? msg_len : buf_len};
}
Buffer input_of(const Trans_ctl_rec &t) { return message(t.ibufferp, t.ibuf_length, t.imsg_length); }
Buffer output_of(const Trans_ctl_rec &t) { return message(t.obufferp, t.obuf_length, t.omsg_length); }
// A client's document: the input interfaces set imsg_length to the bytes they took in.
// Without it the document is the text up to its NUL, never the padding behind it.
Buffer document_of(const Trans_ctl_rec &t) {
  if (t.ibufferp == nullptr || t.ibuf_length < 1) return {t.ibufferp, 0};
  if (t.imsg_length > 0 && t.imsg_length <= t.ibuf_length) return {t.ibufferp, t.imsg_length};
  return {t.ibufferp,
          static_cast<int>(strnlen(t.ibufferp, static_cast<size_t>(t.ibuf_length)))};
}
// `first` when the record has it, else `second`.
Buffer prefer(Buffer first, Buffer second) {
  return first.data != nullptr && first.length > 0 ? first : second;
}

// False when the copy the outcome calls for could not be saved (already logged). Each
// copy holds the message, not the buffer around it, so that it can be sent again as it is.
bool save_copy(Trans_ctl_rec &t, int status) {
  switch (status) {
    case ZV_ERRM_MESSAGE_INTEGRITY_BROKEN:
    case ZV_ERRM_MESSAGE_BAD_SIGNITURE_FOUND:
    case ZV_ERRM_RECEIPT_INTEGRITY_BROKEN:
    case ZV_ERRM_RECEIPT_BAD_SIGNITURE_FOUND: {
      Buffer b;
      if (t.who == ZV_WHO_STD_CLIENT || t.who == ZV_WHO_RECEIPT_CLIENT) {
        // A client's builders leave the envelope's length in obuf_length.
        b = prefer({t.obufferp, t.obuf_length}, document_of(t));
      } else if (t.who == ZV_WHO_STD_SERVER || t.who == ZV_WHO_HPRI_SERVER) {
        b = prefer(input_of(t), output_of(t));
      } else {
        return true;
      }
      return log_invalid_message(b.data, b.length, t.digest) == 0;
    }
    default:
      break;
  }
  switch (t.who) {
    case ZV_WHO_STD_CLIENT:
    case ZV_WHO_RECEIPT_CLIENT:
      return log_failed_sending(&t, toRemoteFailedPath) == 0;
    case ZV_WHO_STD_SERVER:
    case ZV_WHO_HPRI_SERVER: {
      Buffer b = prefer(input_of(t), output_of(t));
      return log_failed_transaction(b.data, b.length, fromRemoteFailedPath) == 0;
    }
    case ZV_WHO_SSL_STD_CLIENT:
    case ZV_WHO_SSL_RECEIPT_CLIENT: {
      Buffer b = prefer(output_of(t), input_of(t));
      return log_sslfailed_transaction(b.data, b.length, toSslRemoteFailedPath) == 0;
    }
    default: {
      Buffer b = prefer(input_of(t), output_of(t));
      return log_sslfailed_transaction(b.data, b.length, fromSslRemoteFailedPath) == 0;
    }
  }
}

struct CopyMessages {
  const char *open_failed;
  const char *write_failed;
};

// How often a copy whose final name turns out taken is given another one.
constexpr int kCopyNameAttempts = 100;

// Moves the whole copy `temp` (`dir`/"file"XXXXXX".tmp") to its name without ".tmp",
// never onto a file that is there already: a taken name gives the copy another pair of
// names. True with the name the copy has now in `temp`; false (errno set) when it cannot
// be moved, `temp` then naming it still.
bool give_final_name(const std::string &dir, char *temp, size_t size) {
  std::string start = dir + "/file";
  for (int attempt = 0; attempt < kCopyNameAttempts; ++attempt) {
    std::string final_name(temp, strlen(temp) - strlen(kCopySuffix));
    if (zv_move_new(temp, final_name.c_str()) == 0) {
      snprintf(temp, size, "%s", final_name.c_str());
      return true;
    }
    if (errno != EEXIST) return false;
    char other[ZV_PATH_SIZE + 16];
    int fd = zv_open_temp(start.c_str(), other, sizeof other, kCopySuffix, ZV_TEMP_OWNER_ONLY);
    if (fd < 0) return false;
    close(fd);
    // The new temporary name is an empty file of our own, made to reserve it.
    if (rename(temp, other) != 0) {
      int e = errno;
      unlink(other);
      errno = e;
      return false;
    }
    snprintf(temp, size, "%s", other);
  }
  errno = EEXIST;
  return false;
}

// Unique names over the same "file" prefix that tempnam gives without one. A copy is
// whole or absent under its name: it is written as "fileXXXXXX.tmp", made durable, and
// only then given its name without ".tmp", with the directory made durable too, so that
// a kill or a power loss never leaves part of a copy under a copy's name, and a sender
// told its document was kept is told so only once the copy would survive either. 0 when
// the buffer was saved or there was nothing to save; -1 when it could not be (logged;
// nothing is left behind but, where only the directory could not be made durable, the
// whole copy).
int save_buffer(const char *bufferp, int length, const char *dir, const CopyMessages &msgs) {
  if (bufferp == nullptr || length < 1) return 0;
  char name[ZV_PATH_SIZE + 16];
  std::string start = std::string(dir) + "/file";
  if (dir[0] == '\0') {
    snprintf(name, sizeof name, "%sXXXXXX", start.c_str());
    zv_log(-1, msgs.open_failed, name);
    return -1;
  }
  int fd = zv_open_temp(start.c_str(), name, sizeof name, kCopySuffix, ZV_TEMP_OWNER_ONLY);
  if (fd < 0) {
    zv_log(-1, msgs.open_failed, name);
    return -1;
  }
  bool whole = zv_write_all(fd, bufferp, static_cast<size_t>(length)) && fsync(fd) == 0;
  int write_errno = errno;
  if (close(fd) != 0 && whole) {
    whole = false;
    write_errno = errno;
  }
  if (whole && !give_final_name(dir, name, sizeof name)) {
    whole = false;
    write_errno = errno;
  }
  // The name the copy has, or was to have.
  std::string final_name(name, strlen(name) - (whole ? 0 : strlen(kCopySuffix)));
  if (!whole) {
    unlink(name);
    zv_log(-1, msgs.write_failed, final_name.c_str());
    zv_log(-1, "ERROR: the copy %s was not kept: %s\n", final_name.c_str(),
           strerror(write_errno));
    return -1;
  }
  if (zv_sync_dir(dir) != 0) {
    zv_log(-1,
           "ERROR: the copy %s is written whole, but the directory %s cannot be made durable: "
           "%s - it is reported not kept\n",
           final_name.c_str(), dir, strerror(errno));
    return -1;
  }
  return 0;
}

// Copies the first `limit` characters of a field; the field need not be terminated
// within `limit`.
template <size_t N>
void copy_field(char (&dest)[N], const char *field, int limit) {
  snprintf(dest, N, "%.*s", limit, field != nullptr ? field : "");
}

int field_number(const char *field) {
  return field != nullptr ? static_cast<int>(strtol(field, nullptr, 10)) : 0;
}

// Empty fields stay in place ("||" of a record without partner), and the sixth field
// keeps the rest of the line, "|" and newline included.
void store_alert_line(char *line) {
  char *fields[6] = {};
  char *rest = line;
  for (int i = 0; i < 5 && rest != nullptr; i++) fields[i] = strsep(&rest, "|");
  fields[5] = rest;

  cache_tag &entry = tAlert.cache[tAlert.iEnd];
  memset(&entry, 0, sizeof entry);
  copy_field(entry.sTimeStamp, fields[0], 15);
  entry.iMessage = field_number(fields[1]);
  copy_field(entry.sTPisaID, fields[2], 15);
  copy_field(entry.sIPaddr, fields[3], 20);
  entry.iErrNumber = field_number(fields[4]);
  copy_field(entry.sErrMsg, fields[5], 45);

  if (++tAlert.iEnd >= ZV_ALERT_RING) {
    tAlert.iEnd = 0;
    tAlert.iLoopedFlag++;
  }
}

}  // namespace

int iFindErrorByCode(int iErrorCode, int *piIndex) {
  if (piIndex == nullptr) {
    assert_failed(__LINE__);
    return -1;
  }
  for (int i = 0; i < ZV_ERROR_TABLE_ROWS; i++) {
    if (zvErrors[i].eErrorCode == iErrorCode) {
      *piIndex = i;
      return 0;
    }
  }
  return -1;
}

int transaction_logging(Trans_ctl_rec *tctlp, int status) {
  if (tctlp == nullptr) {
    assert_failed(__LINE__);
    // Nothing can be logged without the record, but a fatal code still ends the process.
    if (is_fatal(status)) vZvExit(status);
    return -1;
  }
  if (tctlp->who == ZV_WHO_NONE) {
    alert_logging(tctlp, status);
    return 0;
  }
  if (tctlp->who < ZV_WHO_STD_CLIENT || tctlp->who > ZV_WHO_SSL_HPRI_SERVER) {
    zv_log(-1, "ERROR: transaction_logging: unknown role %d in the record, result %d not logged\n",
           tctlp->who, status);
    if (is_fatal(status)) vZvExit(status);
    return -1;
  }

  write_transaction_line(*tctlp, status);
  tctlp->status = status;
  if (iUpdateStatsDB(tctlp->who, tctlp->msg_type, status) != 0) {
    zv_log(-1, "WARNING: Cannot update statsDB\n");
  }
  if (status == ZV_SUCCESSFUL_TRANSMISSION) return 0;

  int result = save_copy(*tctlp, status) ? 0 : -1;
  int index;
  if (iFindErrorByCode(status, &index) != 0) return result;
  const zv_err_flags_t &row = zvErrors[index];
  alert_logging(tctlp, status);
  if (row.iStopServiceFlag == 1 && has_partner(*tctlp)) {
    iUpdateTPActiveDB(partner[tctlp->tp_index].isaid, -2);
  }
  if (row.iStopRemoteZVFlag == 1 && has_partner(*tctlp) &&
      (tctlp->who == ZV_WHO_STD_SERVER || tctlp->who == ZV_WHO_HPRI_SERVER)) {
    unsigned char buffer[kStatusBufferSize];
    int length = 0;
    iGenerateZvStatus(tctlp, buffer, &length);
  }
  if (row.iFatalError == 1) vZvExit(status);
  return result;
}

int alert_logging(Trans_ctl_rec *tctlp, int status) {
  if (tctlp == nullptr) {
    assert_failed(__LINE__);
    return 0;
  }
  int index;
  if (status == ZV_SUCCESSFUL_TRANSMISSION || iFindErrorByCode(status, &index) != 0) return 0;
  const zv_err_flags_t &row = zvErrors[index];
  if (row.iAlertFlag != 1) return 0;

  char stamp[32];
  format_now(stamp);
  char addr[512];
  format_address(*tctlp, addr);
  char isaid[65] = "";
  if (has_partner(*tctlp)) escaped(partner[tctlp->tp_index].isaid, 16, isaid);
  char line[kLineSize];
  int n = snprintf(line, sizeof line, "%s|%d|%s|%s|%d|%s%s\n", stamp, tctlp->msg_type, isaid,
                   addr, status, row.sErrText, row.iFatalError == 1 ? " - Cannot continue" : "");
  size_t len = formatted_length(n, sizeof line);

  bool written;
  int write_errno;
  {
    LogLock lock;
    StreamLock streams;
    if (alertfile == nullptr) alertfile = zv_fopen_append(alertFileName);
    FILE *stream = alertfile;
    // Only the alert file itself, never a stream standing in for it.
    bool own_file = stream != nullptr && stream != errlogfile && stream != logfile &&
                    stream != stderr && stream != stdout;
    if (stream == nullptr) {
      // The alert must not be lost with its file: it goes where the diagnostics go.
      zv_log(-1, "Can't open %s, Log to stderr\n", alertFileName);
      stream = stderr;
    }
    written = write_line(stream, line, len, own_file);
    write_errno = errno;
    // A stream standing in for the alert file belongs to the diagnostic log and stays open.
    zv_close_alertfile();
  }
  if (!written) {
    zv_log(-1, "ERROR: Cannot write the alert line to %s: %s\n", alertFileName,
           strerror(write_errno));
  }
  return 0;
}

int log_failed_transaction(const char *bufferp, int length, const char *path) {
  if (path == nullptr) {
    assert_failed(__LINE__);
    return -1;
  }
  return save_buffer(
      bufferp, length, path,
      {"ERROR: fopen(): Can't save failed transaction to file %s, skipping message\n",
       "ERROR: fwrite(): Can't save failed transaction to file %s, skipping message\n"});
}

int log_sslfailed_transaction(const char *bufferp, int length, const char *path) {
  if (path == nullptr) {
    assert_failed(__LINE__);
    return -1;
  }
  return save_buffer(
      bufferp, length, path,
      {"ERROR: fopen(): Can't save ssl failed transaction to file %s, skipping message\n",
       "ERROR: fwrite(): Can't save ssl failed transaction to file %s, skipping message\n"});
}

int log_invalid_message(const char *bufferp, int length, const char * /*digestp*/) {
  return save_buffer(
      bufferp, length, invalidPath,
      {"ERROR: fopen(): Can't save invalid message/receipt to file %s, skipping message\n",
       "ERROR: fwrite(): Can't save invalid message/receipt to file %s, skipping message\n"});
}

int log_failed_sending(Trans_ctl_rec *tctlp, const char * /*path*/) {
  if (tctlp == nullptr) {
    assert_failed(__LINE__);
    return -1;
  }
  Buffer b = document_of(*tctlp);
  return log_failed_transaction(b.data, b.length, toRemoteFailedPath);
}

int iGenerateZvStatus(Trans_ctl_rec *tctlp, unsigned char *rbufp, int * /*rblenp*/) {
  if (tctlp == nullptr || rbufp == nullptr) {
    assert_failed(__LINE__);
    return -1;
  }
  if (!has_partner(*tctlp)) {
    zv_log(-1, "ERROR: No trading partner (index %d) for the STOP_WAN status\n",
           tctlp->tp_index);
    transaction_logging(tctlp, ZV_ERRM_CANNOT_SEND_INTERNAL_DATA);
    return -1;
  }

  static char no_address[] = "";
  Trans_ctl_rec status_rec;
  memset(&status_rec, 0, sizeof status_rec);
  status_rec.who = ZV_WHO_RECEIPT_CLIENT;
  status_rec.iPriority = tctlp->iPriority;
  status_rec.tp_index = tctlp->tp_index;
  status_rec.dest_ip = no_address;
  status_rec.dest_port = 0;
  status_rec.msg_type = 0;

  // "ZVS:" + 15 columns + ":STOP_WAN" + NUL: the 29 bytes the caller provides.
  char *text = reinterpret_cast<char *>(rbufp);
  int len = snprintf(text, 29, "ZVS:%15.15s:STOP_WAN", partner[tctlp->tp_index].isaid);

  int sent = -1;
  std::unique_ptr<char[]> input(new (std::nothrow) char[kStatusInputSize]());
  if (!input) {
    zv_log(-1, "ERROR: Cannot allocate the STOP_WAN status buffer\n");
  } else if (zv_services.send_transport_msg == nullptr) {
    zv_log(-1, "ERROR: No transport to send the STOP_WAN status to the receipt client\n");
  } else {
    memcpy(input.get(), text, static_cast<size_t>(len) + 1);
    status_rec.ibufferp = input.get();
    status_rec.ibuf_length = len + 1;
    status_rec.imsg_length = len + 1;
    status_rec.ibuf_alloc_length = len + 1;
    sent = zv_services.send_transport_msg(&status_rec, &zv_receipt_socaddr);
  }
  if (sent == 0) return 0;
  transaction_logging(tctlp, ZV_ERRM_CANNOT_SEND_INTERNAL_DATA);
  return -1;
}

int iReadAlertLines(const char *psAlertFileName) {
  if (psAlertFileName == nullptr) {
    assert_failed(__LINE__);
    return -1;
  }
  struct stat st;
  if (stat(psAlertFileName, &st) != 0) {
    tAlert.iEnd = -1;
    tAlert.iLoopedFlag = 0;
    return 0;
  }
  zv_file_ptr in(fopen(psAlertFileName, "r"));
  if (!in) {
    zv_log(1, "Cannot open %s for reading\n", psAlertFileName);
    tAlert.iEnd = -1;
    tAlert.iLoopedFlag = 0;
    return 0;
  }
  memset(tAlert.cache, 0, sizeof tAlert.cache);
  tAlert.iEnd = 0;
  tAlert.iLoopedFlag = 0;
  char line[4096];
  while (!feof(in.get())) {
    if (fgets(line, sizeof line, in.get()) == nullptr) {
      if (ferror(in.get())) {
        zv_log(1, "WARNING: Read error encountered when reading %s\n", psAlertFileName);
        return -1;
      }
      zv_log(1, "WARNING: EOF encountered reading %s\n", psAlertFileName);
      return 0;
    }
    store_alert_line(line);
  }
  return 0;
}

int iCalcAlertIndex(int i) {
  if (i > ZV_ALERT_RING || i < 0) return -1;
  if (tAlert.iLoopedFlag != 0) return (tAlert.iEnd + i) % ZV_ALERT_RING;
  return i < tAlert.iEnd ? i : -1;
}

int is_failover_full(int /*port_type*/) { return 0; }
