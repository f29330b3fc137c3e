#include "failover/zv_receipts.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "partners/zv_crypto.h"
#include "runtime/zv_errors.h"
#include "runtime/zv_globals.h"
#include "runtime/zv_log.h"
#include "runtime/zv_process.h"
#include "runtime/zv_tempfile.h"
#include "runtime/zv_translog.h"

namespace {

constexpr char kAssertFormat[] = "ASSERT Failed: %s: line %d\n";
constexpr char kServerSource[] = "zv_server2";
constexpr char kReceiptSource[] = "zv_receipt";
// Where the ISA segment's control number ends: a shorter line cannot name a file.
constexpr int kNameFieldsEnd = ZV_ISA_CONTROL_OFFSET + ZV_ISA_CONTROL_WIDTH;
// The hex text of a signature is built in this many bytes, its NUL included.
constexpr int kHexSignatureSize = 2048;
constexpr int kMaxSignatureBytes = (kHexSignatureSize - 1) / 2;
// Seconds after its last change at which a record's temporary file counts as left by a
// writer that ended: a writer holds it for the moment of one small write.
constexpr time_t kDeadWriterAge = 600;

void assert_failed(const char *source, int line) { fprintf(stderr, kAssertFormat, source, line); }

const char *pending_dir() { return pendingPath[0] != '\0' ? pendingPath : ZV_PENDING_DIR_DEFAULT; }

// The record's 105-character ISA field, terminated; `src` need not end within its array.
void copy_isa(char (&dest)[ZV_ISA_LINE_SIZE], const char *src, size_t available) {
  size_t n = src != nullptr ? strnlen(src, available < ZV_RECEIPT_ISA_WIDTH ? available
                                                                            : ZV_RECEIPT_ISA_WIDTH)
                            : 0;
  memcpy(dest, src != nullptr ? src : "", n);
  dest[n] = '\0';
}

// True when a field of the name could lead out of the directory or end the name early.
bool unsafe_name_part(const char *p, size_t n) {
  for (size_t i = 0; i < n; i++) {
    if (p[i] == '/' || p[i] == '\0') return true;
    if (p[i] == '.' && i + 1 < n && p[i + 1] == '.') return true;
  }
  return false;
}

// ---- the record file ------------------------------------------------------------------

// The whole file of a record into `out`: its length, or -1 (logged) for a record that
// the reader could not read back the same.
int format_record(const PendReceipt_rec &r, const char *name, char *out, size_t size) {
  if (r.digest_length < 0 || r.digest_length > ZV_MAX_DIGEST_LENGTH) {
    zv_log(-1, "ERROR: Cannot write %s: digest length %d outside 0 to %d\n", name,
           r.digest_length, ZV_MAX_DIGEST_LENGTH);
    return -1;
  }
  size_t iplen = strnlen(r.dest_ip, sizeof r.dest_ip);
  if (iplen == sizeof r.dest_ip || memchr(r.dest_ip, '|', iplen) != nullptr ||
      memchr(r.dest_ip, '\n', iplen) != nullptr) {
    zv_log(-1, "ERROR: Cannot write %s: unusable address text [%.16s]\n", name, r.dest_ip);
    return -1;
  }
  char isa[ZV_ISA_LINE_SIZE];
  copy_isa(isa, r.isa_line, sizeof r.isa_line);
  int n = snprintf(out, size, "%02d|%02d|%105s|%s|%d|%lld|%d|", r.who, r.msg_type, isa,
                   r.dest_ip, r.dest_port, static_cast<long long>(r.time_sent),
                   r.digest_length);
  size_t dl = static_cast<size_t>(r.digest_length);
  if (n < 0 || static_cast<size_t>(n) + dl + 2 >= size) {
    zv_log(-1, "ERROR: Cannot write %s: record too long\n", name);
    return -1;
  }
  size_t pos = static_cast<size_t>(n);
  memcpy(out + pos, r.digest, dl);
  pos += dl;
  out[pos++] = '\0';
  out[pos++] = '\n';
  return static_cast<int>(pos);
}

// 0 written; 1 the file exists and `replace` is 0; -1 failed (logged).
int write_record(const PendReceipt_rec &r, const char *name, int replace) {
  char text[ZV_RECEIPT_FILE_MAX];
  int len = format_record(r, name, text, sizeof text);
  if (len < 0) return -1;
  int err = 0;
  int rc = zv_put_file(name, text, static_cast<size_t>(len), replace, &err);
  if (rc == -1) {
    zv_log(-1, "Cannot open %s for writing\n", name);
    zv_log(-1, "ERROR: creating a file beside %s: %s\n", name, strerror(err));
    return -1;
  }
  if (rc == -2) {
    zv_log(-1, "ERROR: Cannot write %s: %s\n", name, strerror(err));
    return -1;
  }
  return rc;
}

// A field of a record being read: moves over the text it accepts, never past `end`.
struct Reader {
  const char *p;
  const char *end;
  const char *why = nullptr;

  bool fail(const char *reason) {
    if (why == nullptr) why = reason;
    return false;
  }
  bool separator() {
    if (p >= end || *p != '|') return fail("missing separator");
    p++;
    return true;
  }
  // A decimal number with an optional '-', closed by "|".
  bool number(long long lo, long long hi, long long *out, const char *field) {
    const char *s = p;
    bool negative = s < end && *s == '-';
    if (negative) s++;
    long long v = 0;
    const char *digits = s;
    while (s < end && *s >= '0' && *s <= '9') {
      if (s - digits >= 18) return fail(field);
      v = v * 10 + (*s - '0');
      s++;
    }
    if (s == digits) return fail(field);
    if (s >= end || *s != '|') return fail(field);
    if (negative) v = -v;
    if (v < lo || v > hi) return fail(field);
    p = s + 1;
    *out = v;
    return true;
  }
  bool int_field(int *out, const char *field, long long lo = INT_MIN, long long hi = INT_MAX) {
    long long v;
    if (!number(lo, hi, &v, field)) return false;
    *out = static_cast<int>(v);
    return true;
  }
};

// Splits the `n` bytes of a record file into `r`; false with the reason in `why`.
bool parse_record(const char *text, size_t n, PendReceipt_rec *r, const char **why) {
  Reader in{text, text + n};
  long long stamp = 0;
  bool ok = in.int_field(&r->who, "who is not a number") &&
            in.int_field(&r->msg_type, "msg_type is not a number");
  if (ok) {
    // Exactly 105 characters, whatever text they hold ("|" included), then their
    // closing "|". The writer's "%105s" cannot have put a NUL among them.
    if (in.end - in.p <= ZV_RECEIPT_ISA_WIDTH) {
      ok = in.fail("ISA field cut short");
    } else if (memchr(in.p, '\0', ZV_RECEIPT_ISA_WIDTH) != nullptr) {
      ok = in.fail("NUL inside the ISA field");
    } else {
      memcpy(r->isa_line, in.p, ZV_RECEIPT_ISA_WIDTH);
      r->isa_line[ZV_RECEIPT_ISA_WIDTH] = '\0';
      in.p += ZV_RECEIPT_ISA_WIDTH;
      ok = in.separator();
    }
  }
  if (ok) {
    const char *bar = static_cast<const char *>(memchr(in.p, '|', static_cast<size_t>(in.end - in.p)));
    size_t len = bar != nullptr ? static_cast<size_t>(bar - in.p) : 0;
    if (bar == nullptr) {
      ok = in.fail("address field not closed");
    } else if (len >= sizeof r->dest_ip || memchr(in.p, '\0', len) != nullptr) {
      ok = in.fail("address field too long");
    } else {
      memcpy(r->dest_ip, in.p, len);
      r->dest_ip[len] = '\0';
      in.p = bar + 1;
    }
  }
  ok = ok && in.int_field(&r->dest_port, "dest_port is not a number") &&
       in.number(LLONG_MIN, LLONG_MAX, &stamp, "time_sent is not a number") &&
       in.int_field(&r->digest_length, "digest_length is not a number between 0 and 2048", 0,
                    ZV_MAX_DIGEST_LENGTH);
  if (ok) {
    r->time_sent = static_cast<time_t>(stamp);
    // The digest, its NUL and the newline must all lie inside the file, and end it.
    size_t dl = static_cast<size_t>(r->digest_length);
    size_t left = static_cast<size_t>(in.end - in.p);
    if (left < dl + 2) {
      ok = in.fail("digest longer than the file holds");
    } else if (in.p[dl] != '\0' || in.p[dl + 1] != '\n') {
      ok = in.fail("digest not ended by its NUL and newline");
    } else if (left != dl + 2) {
      ok = in.fail("data after the record");
    } else {
      memcpy(r->digest, in.p, dl);
      r->digest[dl] = '\0';
    }
  }
  *why = in.why;
  return ok;
}

void log_record_text(const char *text, size_t n) {
  if (!(debug_level & 1)) return;
  char line[ZV_RECEIPT_FILE_MAX + 1];
  size_t len = strnlen(text, n);
  memcpy(line, text, len);
  line[len] = '\0';
  for (size_t i = 0; i < len; i++)
    if (line[i] == '\n') line[i] = ' ';
  zv_log(1, "DEBUG: pending receipt record = %s\n", line);
}

// A record of the transaction, or false (logged) when it cannot make one.
bool fill_record(const Trans_ctl_rec &t, int msg_type, PendReceipt_rec *r, const char *what) {
  memset(r, 0, sizeof *r);
  r->who = t.who;
  r->msg_type = msg_type;
  copy_isa(r->isa_line, t.isa_line, sizeof t.isa_line);
  snprintf(r->dest_ip, sizeof r->dest_ip, "%.16s", t.dest_ip != nullptr ? t.dest_ip : "");
  r->dest_port = t.dest_port;
  r->time_sent = time(nullptr);
  if (t.digest_length < 0 || t.digest_length > ZV_MAX_DIGEST_LENGTH) {
    zv_log(-1, "ERROR: Cannot %s - digest length %d outside 0 to %d\n", what, t.digest_length,
           ZV_MAX_DIGEST_LENGTH);
    return false;
  }
  r->digest_length = t.digest_length;
  memcpy(r->digest, t.digest, static_cast<size_t>(t.digest_length));
  r->digest[t.digest_length] = '\0';
  return true;
}

struct DupeTexts {
  const char *note;
  const char *error;
};

int duplicate(const DupeTexts &texts) {
  if (zv_ignoreDupeReceipts_flag) {
    zv_log(-2, "%s", texts.note);
    return 0;
  }
  zv_log(-1, "%s", texts.error);
  return -1;
}

const DupeTexts kReceiptDupe = {
    "NOTE: Cannot save receipt - Duplicate receipt found in the Receipt Log\n",
    "ERROR: Cannot save receipt - Duplicate receipt found in the Receipt Log\n"};
const DupeTexts kPendingDupe = {
    "NOTE: Cannot add pending receipt - Duplicate record found in the Pending Receipt DB\n",
    "ERROR: Cannot add pending receipt - Duplicate record found in the Pending Receipt DB\n"};

// Builds the name; false (name cleared, reason logged) when it cannot.
bool build_name(char *out, const char *isa, const char *ext, const char *dir) {
  out[0] = '\0';
  if (strnlen(isa, kNameFieldsEnd) < static_cast<size_t>(kNameFieldsEnd)) {
    zv_log(-1, "ERROR: ISA segment too short to name a receipt file [%.105s]\n", isa);
    return false;
  }
  const char *id = isa + ZV_ISA_RECEIVER_OFFSET;
  int idlen = ZV_ISA_ID_WIDTH;
  while (idlen > 1 && id[idlen - 1] == ' ') idlen--;
  const char *ctl = isa + ZV_ISA_CONTROL_OFFSET;
  if (unsafe_name_part(id, static_cast<size_t>(idlen)) ||
      unsafe_name_part(ctl, ZV_ISA_CONTROL_WIDTH)) {
    zv_log(-1, "ERROR: Receiver id [%.*s] or control number [%.*s] cannot name a receipt file\n",
           idlen, id, ZV_ISA_CONTROL_WIDTH, ctl);
    return false;
  }
  int n = snprintf(out, ZV_PATH_SIZE, "%s/%.*s_%.*s.%s", dir, idlen, id, ZV_ISA_CONTROL_WIDTH,
                   ctl, ext);
  if (n < 0 || n >= ZV_PATH_SIZE) {
    zv_log(-1, "ERROR: Receipt file name in %s too long\n", dir);
    out[0] = '\0';
    return false;
  }
  return true;
}

// True for the name of a record's temporary file: the record's name ("<id>_<control>"
// and "." ZV_RECEIPT_SUFFIX) and the six letters or digits zv_put_file adds.
bool temporary_record_name(const char *name) {
  constexpr size_t kRandom = 6;
  const size_t ext = strlen(ZV_RECEIPT_SUFFIX) + 1;
  size_t len = strlen(name);
  if (len < 1 + ext + kRandom) return false;
  const char *dot = name + len - kRandom - ext;
  if (dot[0] != '.' || strncmp(dot + 1, ZV_RECEIPT_SUFFIX, ext - 1) != 0) return false;
  for (const char *p = name + len - kRandom; *p != '\0'; ++p)
    if (!isalnum(static_cast<unsigned char>(*p))) return false;
  return true;
}

// Removes from `dir` the temporary record files that writers which ended in the middle
// left behind. A live writer's file exists for a moment only; one untouched for
// kDeadWriterAge is taken as left. Only regular files, never through a link.
void sweep_dead_writers(const char *dir) {
  int dfd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd < 0) {
    if (errno != ENOENT) zv_log(-1, "ERROR: cannot look into %s: %s\n", dir, strerror(errno));
    return;
  }
  DIR *d = fdopendir(dfd);
  if (d == nullptr) {
    zv_log(-1, "ERROR: cannot look into %s: %s\n", dir, strerror(errno));
    close(dfd);
    return;
  }
  time_t now = time(nullptr);
  while (struct dirent *e = readdir(d)) {
    if (!temporary_record_name(e->d_name)) continue;
    struct stat st;
    if (fstatat(dfd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
        now - st.st_mtime < kDeadWriterAge)
      continue;
    if (unlinkat(dfd, e->d_name, 0) == 0) {
      zv_log(-1, "NOTE: removed %s/%s, a record a writer left unfinished\n", dir, e->d_name);
    } else {
      zv_log(-1, "ERROR: cannot remove %s/%s, a record a writer left unfinished: %s\n", dir,
             e->d_name, strerror(errno));
    }
  }
  closedir(d);
}

}  // namespace

int processReceipt(Trans_ctl_rec *tctlp, char *bufferp, int blen) {
  if (tctlp == nullptr) assert_failed(kServerSource, __LINE__);
  if (bufferp == nullptr) assert_failed(kServerSource, __LINE__);
  if (blen < 1) assert_failed(kServerSource, __LINE__);
  if (zv_save_receipt_flag == 1 && tctlp != nullptr && store_receipt(tctlp) != 0) {
    zv_log(-1, "ERROR: Cannot store inbound receipt, Logging as error and skipping\n");
    transaction_logging(tctlp, ZV_ERRM_CANNOT_SAVE_RECEIPT_OUT_FILE);
  }
  return 0;
}

int store_receipt(Trans_ctl_rec *tcrp) {
  if (tcrp == nullptr) {
    assert_failed(kReceiptSource, __LINE__);
    return -1;
  }
  char isa[ZV_ISA_LINE_SIZE];
  copy_isa(isa, tcrp->isa_line, sizeof tcrp->isa_line);
  char name[ZV_PATH_SIZE];
  char ext[] = "recpt";
  char dir[] = "./receipts";
  int found = iGenerateFile(name, isa, ext, dir);
  if (found == -1) return duplicate(kReceiptDupe);
  if (found != 0) return -1;

  PendReceipt_rec r;
  if (!fill_record(*tcrp, tcrp->msg_type, &r, "store receipt")) return -1;
  int rc = write_record(r, name, 0);
  if (rc == 1) return duplicate(kReceiptDupe);
  if (rc != 0) {
    zv_log(-1, "ERROR: Cannot store receipt - error writing record to the Receipt Log\n");
    return -1;
  }
  return 0;
}

int store_pending(Trans_ctl_rec *tcrp, char *psFilename) {
  if (tcrp == nullptr) {
    assert_failed(kReceiptSource, __LINE__);
    return -1;
  }
  if (tcrp->who != ZV_WHO_STD_CLIENT && tcrp->who != ZV_WHO_SSL_STD_CLIENT) return 0;
  switch (tcrp->msg_type) {
    case ZV_MT_BASIC_RECEIPT:
    case ZV_MT_INTEGRITY_RECEIPT:
    case ZV_MT_SIGNED_RECEIPT:
    case ZV_MT_STATUS:
      return 0;
    default:
      break;
  }
  int tp = tcrp->tp_index;
  if (tp < 0 || tp >= ZV_MAX_TP || partner[tp].isaid[0] == '\0') {
    zv_log(-1, "ERROR: Cannot add pending receipt - no Trading Partner for index %d\n", tp);
    return -1;
  }
  zvrt type = partner[tp].svrZvReceiptType;
  if (type == NO_RECEIPT) return 0;
  if (type != BASIC_RECEIPT && type != INTEGRITY_RECEIPT && type != SIGNED_RECEIPT) {
    zv_log(-1, "ERROR: Cannot add pending receipt - unknown receipt type %d for %s\n",
           static_cast<int>(type), partner[tp].isaid);
    return -1;
  }

  char isa[ZV_ISA_LINE_SIZE];
  copy_isa(isa, tcrp->isa_line, sizeof tcrp->isa_line);
  char name[ZV_PATH_SIZE];
  char ext[] = "recpt";
  char dir[ZV_PATH_SIZE];
  snprintf(dir, sizeof dir, "%s", pending_dir());
  int found = iGenerateFile(name, isa, ext, dir);
  if (found == -1) return duplicate(kPendingDupe);
  if (found != 0) return -1;

  PendReceipt_rec r;
  if (!fill_record(*tcrp, static_cast<int>(type) + 2, &r, "add pending receipt")) return -1;
  zv_log(1, "store_pending: digest_length = %d, digest[0] = %02x, digest = %s\n",
         r.digest_length, static_cast<unsigned char>(r.digest[0]), r.digest);
  int rc = write_record(r, name, 0);
  if (rc == 1) return duplicate(kPendingDupe);
  if (rc != 0) {
    zv_log(-1, "ERROR: Cannot add pending receipt - error writing record to the Pending Receipt DB\n");
    return -1;
  }
  if (psFilename != nullptr) snprintf(psFilename, ZV_PATH_SIZE, "%s", name);
  return 0;
}

int iPendingReceiptLookup(char *bufferp, int blen, char *hashp, int hlen, char *psKey) {
  if (bufferp == nullptr) assert_failed(kReceiptSource, __LINE__);
  if (blen < 1) assert_failed(kReceiptSource, __LINE__);
  if (hlen < 0) assert_failed(kReceiptSource, __LINE__);
  char own_key[ZV_PATH_SIZE];
  if (psKey == nullptr) {
    assert_failed(kReceiptSource, __LINE__);
    psKey = own_key;
  }
  psKey[0] = '\0';
  if (bufferp == nullptr || blen < 1) return 2;
  if (hlen < 0 || hashp == nullptr) hlen = 0;

  char isa[ZV_ISA_LINE_SIZE];
  copy_isa(isa, bufferp, static_cast<size_t>(blen));
  PendReceipt_rec r;
  if (iFindPending(isa, &r, psKey) != 1) return 2;

  switch (r.msg_type) {
    case ZV_MT_BASIC_RECEIPT:
      return 1;
    case ZV_MT_INTEGRITY_RECEIPT:
      zv_log(1, "Pending digest = [%s]\n", r.digest);
      zv_log(1, "Message digest = [%.*s]\n", hlen, hlen > 0 ? hashp : "");
      // The receipt's digest must cover the whole stored one: an empty or shortened
      // digest is no proof.
      if (hlen == 0 || hlen < r.digest_length ||
          strncmp(r.digest, hashp, static_cast<size_t>(hlen)) != 0) {
        zv_log(-1, "ERROR: Digests do not match for receipt\n");
        return -1;
      }
      return 1;
    case ZV_MT_SIGNED_RECEIPT: {
      if (hlen > kMaxSignatureBytes) {
        zv_log(-1, "ERROR: Receipt signature of %d bytes is longer than %d\n", hlen,
               kMaxSignatureBytes);
        zv_log(-1, "ERROR: Signitures do not match for receipt\n");
        return -1;
      }
      char hex[kHexSignatureSize];
      unsigned long hexlen =
          hexify_string(reinterpret_cast<const unsigned char *>(hlen > 0 ? hashp : ""),
                        static_cast<unsigned long>(hlen), hex);
      zv_log(1, "Pending signature = [%s]\n", r.digest);
      zv_log(1, "Message signature = [%s]\n", hex);
      if (hlen == 0 || static_cast<unsigned long>(r.digest_length) != hexlen ||
          strncmp(r.digest, hex, hexlen) != 0) {
        zv_log(-1, "ERROR: Signitures do not match for receipt\n");
        return -1;
      }
      return 1;
    }
    default:
      zv_log(1, "No receipt found\n");
      return 2;
  }
}

int iFindPending(char *isa_linep, PendReceipt_rec *pstPRrec, char *psFile) {
  char own_file[ZV_PATH_SIZE];
  if (psFile == nullptr) psFile = own_file;
  psFile[0] = '\0';
  if (isa_linep == nullptr) {
    assert_failed(kReceiptSource, __LINE__);
    return 2;
  }
  char ext[] = "recpt";
  char dir[ZV_PATH_SIZE];
  snprintf(dir, sizeof dir, "%s", pending_dir());
  if (iFindFile(isa_linep, ext, dir, psFile) != 1) return 2;
  PendReceipt_rec own_rec;
  if (iFile2Pend(psFile, pstPRrec != nullptr ? pstPRrec : &own_rec) != 0) {
    zv_log(-1, "ERROR: Cannot read pending receipt record\n");
    return -1;
  }
  return 1;
}

int iRemovePRDBentry(int iDatabase, char *psKey) {
  if (psKey == nullptr) assert_failed(kReceiptSource, __LINE__);
  if (iDatabase != 1) {
    assert_failed(kReceiptSource, __LINE__);
    zv_log(-1, "iDatabase of %d not supported\n", iDatabase);
    return -1;
  }
  if (psKey == nullptr) return -1;
  if (iFileExists(psKey) == 1) return iFileRemove(psKey);
  zv_log(-1, "Cannot remove entry %s - not found\n", psKey);
  return -1;
}

int iGetISAid(const char *psISAline, char *psISAid, int iSenderReceiverFlag) {
  int offset;
  if (iSenderReceiverFlag == 0) {
    offset = ZV_ISA_SENDER_OFFSET;
  } else if (iSenderReceiverFlag == 1) {
    offset = ZV_ISA_RECEIVER_OFFSET;
  } else {
    return -1;
  }
  if (psISAline == nullptr || psISAid == nullptr) {
    assert_failed(kReceiptSource, __LINE__);
    return -1;
  }
  // A line that ends before the field gives what it holds of it.
  size_t len = strnlen(psISAline, static_cast<size_t>(offset + ZV_ISA_ID_WIDTH));
  size_t n = len > static_cast<size_t>(offset) ? len - static_cast<size_t>(offset) : 0;
  memcpy(psISAid, psISAline + (n > 0 ? offset : 0), n);
  psISAid[n] = '\0';
  zv_log(-2, "found ISA_ID of [%s] in message\n", psISAid);
  return 0;
}

int iPend2file(PendReceipt_rec *pstPendRec, char *psFilename) {
  if (pstPendRec == nullptr || psFilename == nullptr) {
    assert_failed(kReceiptSource, __LINE__);
    return -1;
  }
  return write_record(*pstPendRec, psFilename, 1) == 0 ? 0 : -1;
}

int iFile2Pend(char *psFilename, PendReceipt_rec *pstPendRec) {
  if (psFilename == nullptr || pstPendRec == nullptr) {
    assert_failed(kReceiptSource, __LINE__);
    return -1;
  }
  // Neither a link (whatever it points to) nor a FIFO or device: such a name is no
  // record, and opening it must not wait for a writer.
  int fd = zv_open_regular(psFilename, false);
  if (fd == -1 && errno == ELOOP) {
    zv_log(-1, "ERROR: %s is a symbolic link, not a regular file - not read as a record\n",
           psFilename);
    return -1;
  }
  if (fd == -1) {
    zv_log(-1, "Cannot open %s for reading\n", psFilename);
    zv_log(-1, "ERROR: open %s: %s\n", psFilename, strerror(errno));
    return -1;
  }
  if (fd == -2) {
    zv_log(-1, "ERROR: %s is not a regular file - not read as a record\n", psFilename);
    return -1;
  }
  char text[ZV_RECEIPT_FILE_MAX];
  size_t n = 0;
  int err = 0;
  while (n < sizeof text) {
    ssize_t got = read(fd, text + n, sizeof text - n);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) err = errno;
    if (got <= 0) break;
    n += static_cast<size_t>(got);
  }
  close(fd);
  if (n == 0) {
    if (err == 0) {
      zv_log(-1, "ERROR: EOF encountered reading %s\n", psFilename);
    } else {
      zv_log(-1, "ERROR: Read error encountered reading %s\n", psFilename);
      zv_log(-1, "ERROR: read %s: %s\n", psFilename, strerror(err));
    }
    return -1;
  }
  if (err != 0) {
    zv_log(-1, "ERROR: Read error encountered reading %s\n", psFilename);
    zv_log(-1, "ERROR: read %s: %s\n", psFilename, strerror(err));
    return -1;
  }
  if (n == sizeof text) {
    zv_log(-1, "ERROR: Pending receipt record %s is %d bytes or more - not a record\n",
           psFilename, ZV_RECEIPT_FILE_MAX);
    return -1;
  }
  log_record_text(text, n);

  PendReceipt_rec r;
  memset(&r, 0, sizeof r);
  const char *why = nullptr;
  if (!parse_record(text, n, &r, &why)) {
    zv_log(-1, "ERROR: Malformed pending receipt record in %s: %s\n", psFilename,
           why != nullptr ? why : "unreadable");
    return -1;
  }
  *pstPendRec = r;
  return 0;
}

int iGenerateFilename(char *psFilename, char *psISAline, char *psExtension, char *psDirpath) {
  if (psFilename == nullptr) assert_failed(kReceiptSource, __LINE__);
  if (psISAline == nullptr) assert_failed(kReceiptSource, __LINE__);
  if (psExtension == nullptr) assert_failed(kReceiptSource, __LINE__);
  if (psDirpath == nullptr) assert_failed(kReceiptSource, __LINE__);
  if (psFilename == nullptr) return -1;
  psFilename[0] = '\0';
  if (psISAline == nullptr || psExtension == nullptr || psDirpath == nullptr) return -1;
  return build_name(psFilename, psISAline, psExtension, psDirpath) ? 0 : -1;
}

int iGenerateFile(char *psFilename, char *psISAline, char *psExtension, char *psDirpath) {
  if (iGenerateFilename(psFilename, psISAline, psExtension, psDirpath) != 0) return -2;
  if (iFileExists(psFilename) != 2) {
    psFilename[0] = '\0';
    return -1;
  }
  return 0;
}

int iFindFile(char *psISAline, char *psExtension, char *psDirpath, char *psFilename) {
  if (iGenerateFilename(psFilename, psISAline, psExtension, psDirpath) != 0) return 2;
  if (iFileExists(psFilename) != 1) {
    psFilename[0] = '\0';
    return 2;
  }
  return 1;
}

int init_pending() {
  sweep_dead_writers(pending_dir());
  sweep_dead_writers(ZV_RECEIPT_LOG_DIR);
  return 0;
}
