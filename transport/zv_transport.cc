// The transaction exchange between processes over the framed-socket library.
#include "transport/zv_transport.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/x509.h>

#include "partners/zv_address.h"
#include "partners/zv_tpartner.h"
#include "runtime/zv_globals.h"
#include "runtime/zv_log.h"

const trans_config_t zv_trans_config = {TRANS_HDR_SIZE, 0, TRANS_MAX_DATA, length_from_header,
                                        length_to_header};

namespace {

#define ZV_ASSERT_ARG(cond)                                                          \
  do {                                                                               \
    if (!(cond)) fprintf(stderr, "ASSERT Failed: %s: line %d\n", "zv_transport", __LINE__); \
  } while (0)

struct openssl_free {
  void operator()(unsigned char *p) const { OPENSSL_free(p); }
};
using der_ptr = std::unique_ptr<unsigned char, openssl_free>;

struct c_free {
  void operator()(char *p) const { free(p); }
};
using cbuf_ptr = std::unique_ptr<char, c_free>;

struct x509_free {
  void operator()(X509 *x) const { X509_free(x); }
};
using x509_ptr = std::unique_ptr<X509, x509_free>;

// The host:port text for the log lines, terminated whatever the caller's array holds.
struct addr_text {
  char text[sizeof(st_socaddr_t) + 1];
  explicit addr_text(const st_socaddr_t *a) {
    size_t n = strnlen(*a, sizeof(st_socaddr_t));
    memcpy(text, *a, n);
    text[n] = '\0';
  }
};

void log_crypto_error() {
  unsigned long e = ERR_get_error();
  if (e == 0) return;
  char text[256];
  ERR_error_string_n(e, text, sizeof text);
  zv_log(-1, "ERROR: crypto library: %s\n", text);
  ERR_clear_error();
}

// Frames of a part of `length` bytes: as many of 1000 data bytes as fit, then the rest.
int frames_of(int length) { return (length + TRANS_MAX_DATA - 1) / TRANS_MAX_DATA; }

// The bytes a part of `length` bytes takes on the wire, its frame headers included.
long long wire_bytes(int length) {
  return length > 0 ? length + static_cast<long long>(frames_of(length)) * TRANS_HDR_SIZE : 0;
}

// The whole-transaction bound of one receive: counted from its start (the connection has
// just been accepted) over the bytes announced so far, the control frame's until the
// control record has told the rest.
struct trans_bound {
  std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
  long long bytes = wire_bytes(TRANS_TCTL_SIZE);
  long long ms() const { return zv_record_deadline_ms(bytes); }
  std::chrono::steady_clock::time_point deadline() const {
    return start + std::chrono::milliseconds(ms());
  }
};

// Gathers exactly `bufer_len` bytes from frames of `message_type`, within the silence
// and the whole-transaction bounds. A frame of another type gives TRANS_ERR_BAD_TYPE, one
// that brings more than the part has left gives TRANS_ERR_BAD_LENGTH; the connection is
// closed on every failure.
int read_trans(int socket_fd, int message_type, void *buffer, int bufer_len,
               const trans_bound &bound) {
  msg_t m;
  unsigned char *dst = static_cast<unsigned char *>(buffer);
  for (int have = 0; have < bufer_len;) {
    // Every failure of the library has already closed the connection.
    int n = trans_get_until(socket_fd, reinterpret_cast<io_message_t *>(&m), sizeof m,
                            ZV_TRANS_IDLE_SECONDS * 1000, bound.deadline());
    if (n < 0) {
      int err = errno;
      if (err == ETIMEDOUT) {
        zv_log(-1, "ERROR: Transport peer on socket = %d sent nothing for %d seconds with its "
                   "transaction incomplete - connection dropped without acknowledgement\n",
               socket_fd, ZV_TRANS_IDLE_SECONDS);
      } else if (err == ETIME) {
        zv_log(-1, "ERROR: Transport peer on socket = %d did not complete its transaction of "
                   "%lld bytes within %lld.%03lld seconds - connection dropped without "
                   "acknowledgement\n",
               socket_fd, bound.bytes, bound.ms() / 1000, bound.ms() % 1000);
      }
      errno = err;
      return -1;
    }
    int type = zv_be_get16(m.hdr.msg_type);
    if (type != message_type) {
      zv_log(8, "Frame of type %d where type %d was expected\n", type, message_type);
      trans_close(socket_fd);
      errno = TRANS_ERR_BAD_TYPE;
      return -1;
    }
    if (n > bufer_len - have) {
      zv_log(-1, "ERROR: Frame of %d bytes overruns the %d bytes left of a part of %d, "
                 "connection closed\n", n, bufer_len - have, bufer_len);
      trans_close(socket_fd);
      errno = TRANS_ERR_BAD_LENGTH;
      return -1;
    }
    memcpy(dst + have, m.msg.data, static_cast<size_t>(n));
    have += n;
  }
  return 0;
}

int write_ack(int socket_fd, int message_type) {
  msg_t m;
  zv_be_put16(m.hdr.msg_type, message_type);
  return trans_put(socket_fd, reinterpret_cast<io_message_t *>(&m), 0) < 0 ? -1 : 0;
}

// An acknowledgement is a frame of its type without data; anything else is no answer.
// The peer may have taken the transaction all the same, so a refused answer is said at
// the default level: the sender's report of a failed send alone would hide that.
int read_ack(int socket_fd, int message_type, const char *where) {
  msg_t m;
  int n = trans_get(socket_fd, reinterpret_cast<io_message_t *>(&m), sizeof m, -1);
  if (n < 0) return -1;
  int type = zv_be_get16(m.hdr.msg_type);
  if (type != message_type || n != 0) {
    if (type != message_type)
      zv_log(-1, "ERROR: Peer at %s answered the transaction with a frame of type %d, not an "
                 "acknowledgement - taken as not acknowledged, though it may have the "
                 "transaction\n", where, type);
    else
      zv_log(-1, "ERROR: Peer at %s answered the transaction with an acknowledgement that "
                 "carries %d data bytes - taken as not acknowledged, though it may have the "
                 "transaction\n", where, n);
    trans_close(socket_fd);
    errno = type != message_type ? TRANS_ERR_BAD_TYPE : TRANS_ERR_BAD_LENGTH;
    return -1;
  }
  return 0;
}

// Why a record cannot be sent as it stands, or nullptr. The sender reads exactly the
// announced bytes from the record's buffers, so lengths beyond them are never sent.
const char *unsendable(const Trans_ctl_rec *t, char *why, size_t why_size) {
  if (t->imsg_length < 0 || t->ibuf_alloc_length < 0 || t->omsg_length < 0 ||
      t->obuf_alloc_length < 0 || t->digest_length < 0) {
    snprintf(why, why_size, "negative length");
  } else if (t->imsg_length > 0 &&
             (t->imsg_length > t->ibuf_alloc_length || t->ibufferp == nullptr)) {
    snprintf(why, why_size, "imsg_length %d with ibuf_alloc_length %d%s", t->imsg_length,
             t->ibuf_alloc_length, t->ibufferp == nullptr ? " and no ibuffer" : "");
  } else if (t->omsg_length > 0 &&
             (t->omsg_length > t->obuf_alloc_length || t->obufferp == nullptr)) {
    snprintf(why, why_size, "omsg_length %d with obuf_alloc_length %d%s", t->omsg_length,
             t->obuf_alloc_length, t->obufferp == nullptr ? " and no obuffer" : "");
  } else if (t->ibuf_alloc_length > ZV_TRANS_MAX_ALLOC ||
             t->obuf_alloc_length > ZV_TRANS_MAX_ALLOC) {
    snprintf(why, why_size, "buffer allocation above %d", ZV_TRANS_MAX_ALLOC);
  } else if (t->digest_length > ZV_MAX_DIGEST_LENGTH) {
    snprintf(why, why_size, "digest_length %d above %d", t->digest_length,
             ZV_MAX_DIGEST_LENGTH);
  } else {
    return nullptr;
  }
  return why;
}

// Why an announced control record is refused by the receiver, or nullptr.
const char *unacceptable(int imsg, int ialloc, int omsg, int oalloc, int lcert, int rcert,
                         int digest, char *why, size_t why_size) {
  if (imsg < 0 || ialloc < 0 || omsg < 0 || oalloc < 0 || lcert < 0 || rcert < 0 ||
      digest < 0) {
    snprintf(why, why_size, "negative length");
  } else if (imsg > ialloc) {
    snprintf(why, why_size, "imsg_length %d above ibuf_alloc_length %d", imsg, ialloc);
  } else if (omsg > oalloc) {
    snprintf(why, why_size, "omsg_length %d above obuf_alloc_length %d", omsg, oalloc);
  } else if (digest > ZV_MAX_DIGEST_LENGTH) {
    snprintf(why, why_size, "digest_length %d above %d", digest, ZV_MAX_DIGEST_LENGTH);
  } else if (ialloc > ZV_TRANS_MAX_ALLOC || oalloc > ZV_TRANS_MAX_ALLOC ||
             lcert > ZV_TRANS_MAX_ALLOC || rcert > ZV_TRANS_MAX_ALLOC) {
    snprintf(why, why_size, "allocation above the limit of %d bytes", ZV_TRANS_MAX_ALLOC);
  } else {
    return nullptr;
  }
  return why;
}

// The certificates received before, each parsed once: a transaction as a rule carries the
// same certificate as the one before it (its sender's own), and the parse would cost more
// than the rest of the receive. Entries are matched on their DER octets, byte for byte,
// and handed out as a new reference to the parsed object, which its holders only read
// (safe between threads in OpenSSL 3) and each free with X509_free. The least recently
// used of kSlots entries makes room; a certificate above kMaxDer octets is not kept.
class cert_cache {
 public:
  static constexpr int kSlots = 8;
  static constexpr int kMaxDer = 16 * 1024;

  // Never destroyed: a thread may still be receiving while the process exits.
  static cert_cache &instance() {
    static cert_cache *c = new cert_cache;
    return *c;
  }

  // A new reference to the certificate of these octets, or nullptr when none is kept.
  X509 *find(const unsigned char *der, int length) {
    std::lock_guard<std::mutex> hold(mutex_);
    for (slot &s : slots_) {
      if (s.cert == nullptr || s.der.size() != static_cast<size_t>(length) ||
          memcmp(s.der.data(), der, s.der.size()) != 0)
        continue;
      if (X509_up_ref(s.cert) != 1) return nullptr;
      s.used = ++clock_;
      return s.cert;
    }
    return nullptr;
  }

  // Keeps a reference of its own to `cert`, parsed from these octets.
  void add(const unsigned char *der, int length, X509 *cert) {
    if (length > kMaxDer) return;
    std::vector<unsigned char> copy;
    try {
      copy.assign(der, der + length);
    } catch (const std::bad_alloc &) {
      return;  // not kept; the next one is parsed again
    }
    std::lock_guard<std::mutex> hold(mutex_);
    slot *victim = &slots_[0];
    for (slot &s : slots_) {
      if (s.cert == nullptr) {
        victim = &s;
        break;
      }
      if (s.used < victim->used) victim = &s;
    }
    if (X509_up_ref(cert) != 1) return;
    X509_free(victim->cert);
    victim->der.swap(copy);
    victim->cert = cert;
    victim->used = ++clock_;
  }

 private:
  struct slot {
    std::vector<unsigned char> der;
    X509 *cert = nullptr;
    unsigned long used = 0;
  };
  std::mutex mutex_;
  slot slots_[kSlots];
  unsigned long clock_ = 0;
};

// Reads one certificate part into an X509 that the caller owns a reference to. The log
// texts differ only in the word.
int receive_cert(int fd, int type, int length, const char *which, const trans_bound &bound,
                 x509_ptr *out) {
  if (length < 1) {
    zv_log(8, "No %s cert to read\n", which);
    return 0;
  }
  std::unique_ptr<unsigned char[]> der(new (std::nothrow) unsigned char[length]);
  if (!der) {
    zv_log(8, "Allocation for %s cert buffer failed\n", which);
    trans_close(fd);
    return -1;
  }
  zv_log(8, "Reading %s cert, length = %d\n", which, length);
  if (read_trans(fd, type, der.get(), length, bound) < 0) {
    zv_log(8, "Reading %s cert failed, errno = %d\n", which, errno);
    return -1;
  }
  cert_cache &cache = cert_cache::instance();
  X509 *x = cache.find(der.get(), length);
  if (x == nullptr) {
    int rv = create_cert_struct(&x, der.get(), length);
    if (rv < 0) {
      zv_log(8, "Creation of %s X509 failed, ret_val = %d\n", which, rv);
      trans_close(fd);
      return -1;
    }
    cache.add(der.get(), length, x);
  }
  out->reset(x);
  return 0;
}

// Allocates and reads one buffer part. The log texts differ only in the letter.
int receive_buffer(int fd, int type, int alloc, int length, char letter,
                   const trans_bound &bound, cbuf_ptr *out) {
  if (alloc < 1) {
    zv_log(8, "No %cbuffer allocation needed\n", letter);
    return 0;
  }
  // Zeroed, so that the bytes past the message are defined for whoever reads them.
  cbuf_ptr buf(static_cast<char *>(calloc(1, static_cast<size_t>(alloc))));
  if (!buf) {
    zv_log(8, "Allocation for %cbuffer failed\n", letter);
    trans_close(fd);
    return -1;
  }
  if (length >= 1) {
    zv_log(8, "Reading %cbuffer, length = %d\n", letter, length);
    if (read_trans(fd, type, buf.get(), length, bound) < 0) {
      zv_log(8, "Reading of %cbuffer failed, errno = %d\n", letter, errno);
      return -1;
    }
  } else {
    zv_log(8, "%cbuffer allocated, nothing to read\n", letter);
  }
  *out = std::move(buf);
  return 0;
}

}  // namespace

int length_from_header(unsigned char *msg_p, int /*len*/) { return zv_be_get16(msg_p + 2); }

int length_to_header(unsigned char *msg_p, int len) {
  zv_be_put16(msg_p + 2, len);
  return 0;
}

int prepare_addr(st_socaddr_t *socaddr, st_ipaddr_t *ip_addr, int *port) {
  ZV_ASSERT_ARG(socaddr != nullptr);
  ZV_ASSERT_ARG(ip_addr != nullptr);
  ZV_ASSERT_ARG(port != nullptr);
  if (socaddr == nullptr || ip_addr == nullptr || port == nullptr) return -1;
  const char *s = *socaddr;
  size_t len = strnlen(s, sizeof(st_socaddr_t));
  const char *colon = static_cast<const char *>(memchr(s, ':', len));
  if (colon == nullptr) return -1;
  size_t host_len = static_cast<size_t>(colon - s);
  if (host_len > sizeof(st_ipaddr_t) - 1) {
    zv_log(-1, "ERROR: Host part of address (%.*s) is longer than %d characters\n",
           static_cast<int>(len), s, static_cast<int>(sizeof(st_ipaddr_t) - 1));
    return -1;
  }
  // The port as written or nothing: "8003abc", " 8003" and "+8003" are no ports.
  int p;
  std::string why;
  if (!zv_read_port(std::string_view(colon + 1, len - host_len - 1), &p, &why)) return -1;
  memcpy(*ip_addr, s, host_len);
  (*ip_addr)[host_len] = '\0';
  *port = p;
  return 0;
}

int flaten_partner_id(Trans_ctl_rec *tctlp, st_tpid_str_t *ptPartner_id) {
  ZV_ASSERT_ARG(tctlp != nullptr);
  ZV_ASSERT_ARG(ptPartner_id != nullptr);
  if (tctlp == nullptr || ptPartner_id == nullptr) return -1;
  int i = tctlp->tp_index;
  if (i < 0 || i >= ZV_MAX_TP) {
    zv_log(-1, "ERROR: Found an invalid tp_index of %d - cannot flaten.\n", i);
    return -1;
  }
  const Tpartner_rec &p = partner[i];
  char *id = *ptPartner_id;
  size_t n = strnlen(p.local_id, 15);
  memcpy(id, p.local_id, n);
  memset(id + n, ' ', 15 - n);
  memcpy(id + 15, p.remote_id, 15);
  return 0;
}

int create_partner_index(st_tpid_str_t *ptPartner_id, int *piTp_index) {
  ZV_ASSERT_ARG(ptPartner_id != nullptr);
  ZV_ASSERT_ARG(piTp_index != nullptr);
  if (ptPartner_id == nullptr || piTp_index == nullptr) return -1;
  const char *id = *ptPartner_id;
  char text[sizeof(st_tpid_str_t)];
  memcpy(text, id, sizeof text - 1);
  text[sizeof text - 1] = '\0';
  char local_id[16];
  memcpy(local_id, id, 15);
  int n = 15;
  while (n > 0 && (local_id[n - 1] == ' ' || local_id[n - 1] == '\0')) --n;
  local_id[n] = '\0';
  char remote_id[16];
  memcpy(remote_id, id + 15, 15);
  remote_id[15] = '\0';
  int index = -1;
  // A half whose first byte is a blank or NUL (a sender without a partner, a peer that
  // pads an empty id with blanks) names no partner, whatever the lookup makes of it.
  auto empty_half = [](char c) { return c == ' ' || c == '\0'; };
  if (!empty_half(id[0]) && !empty_half(id[15])) index = tpLookup(local_id, remote_id, 0);
  if (index < 0) {
    zv_log(-1, "ERROR: Cannot determine trading partner for tpartner_id of %s\n", text);
    return -1;
  }
  *piTp_index = index;
  return 0;
}

int create_cert_struct(X509 **ppCert, unsigned char *pCert_buf, int iCert_length) {
  ZV_ASSERT_ARG(ppCert != nullptr);
  ZV_ASSERT_ARG(pCert_buf != nullptr);
  if (ppCert == nullptr || pCert_buf == nullptr) return -1;
  const unsigned char *p = pCert_buf;
  X509 *x = iCert_length > 0 ? d2i_X509(nullptr, &p, iCert_length) : nullptr;
  if (x == nullptr) {
    zv_log(-1, "ERROR: Cannot create a valid X509 cert  from DER buffer\n");
    log_crypto_error();
    return -1;
  }
  *ppCert = x;
  return 0;
}

int flatten_cert_struct(X509 *pCert, unsigned char **ppBuffer, int *piLength) {
  ZV_ASSERT_ARG(pCert != nullptr);
  ZV_ASSERT_ARG(ppBuffer != nullptr);
  ZV_ASSERT_ARG(piLength != nullptr);
  if (pCert == nullptr || ppBuffer == nullptr || piLength == nullptr) return -1;
  int n = i2d_X509(pCert, nullptr);
  if (n <= 0) {
    log_crypto_error();
    return -1;
  }
  der_ptr buf(static_cast<unsigned char *>(OPENSSL_malloc(static_cast<size_t>(n))));
  if (!buf) return -1;
  unsigned char *p = buf.get();
  if (i2d_X509(pCert, &p) != n) {
    log_crypto_error();
    return -1;
  }
  *ppBuffer = buf.release();
  *piLength = n;
  return 0;
}

int send_transport_msg(Trans_ctl_rec *tctlp, st_socaddr_t *trans_socaddr) {
  return send_transport_msg_noting(tctlp, trans_socaddr, nullptr);
}

int send_transport_msg_noting(Trans_ctl_rec *tctlp, st_socaddr_t *trans_socaddr,
                              trans_outage_note_t note) {
  ZV_ASSERT_ARG(tctlp != nullptr);
  ZV_ASSERT_ARG(trans_socaddr != nullptr);
  if (tctlp == nullptr || trans_socaddr == nullptr) return -1;
  addr_text where(trans_socaddr);
  zv_log(8, "Sending transport message to %s\n", where.text);
  dump_tctlp(8, tctlp);

  st_ipaddr_t host;
  int port;
  if (prepare_addr(trans_socaddr, &host, &port) < 0) {
    zv_log(8, "Cannot determine proper addr, port in (%s) - message not sent\n", where.text);
    return -1;
  }
  char why[128];
  if (unsendable(tctlp, why, sizeof why) != nullptr) {
    zv_log(-1, "ERROR: Transport message to (%s) not sent: %s\n", where.text, why);
    return -1;
  }
  struct outage {
    trans_outage_note_t note;
    const char *where;
  } told{note, where.text};
  auto relay = [](void *arg, int err) {
    const outage *o = static_cast<const outage *>(arg);
    o->note(o->where, err);
  };
  int fd = trans_connect_noting(host, port, zv_trans_config, note != nullptr ? +relay : nullptr,
                                &told);
  if (fd < 0) {
    zv_log(8, "Connect to local transport target at address (%s) failed - message not sent\n",
           where.text);
    return -1;
  }

  der_ptr local_der, remote_der;
  int local_len = 0, remote_len = 0;
  if (tctlp->pLocalCert != nullptr) {
    unsigned char *p = nullptr;
    int rv = flatten_cert_struct(tctlp->pLocalCert, &p, &local_len);
    if (rv < 0) {
      zv_log(8, "Flattening of local X509 failed, ret_val = %d\n", rv);
      trans_close(fd);
      return -1;
    }
    local_der.reset(p);
  }
  if (tctlp->pRemoteCert != nullptr) {
    unsigned char *p = nullptr;
    int rv = flatten_cert_struct(tctlp->pRemoteCert, &p, &remote_len);
    if (rv < 0) {
      zv_log(8, "Flattening of remote X509 failed, ret_val = %d\n", rv);
      trans_close(fd);
      return -1;
    }
    remote_der.reset(p);
  }

  trans_tctl_t t;
  memset(&t, 0, sizeof t);
  zv_be_put32(t.who, tctlp->who);
  zv_be_put32(t.msg_type, tctlp->msg_type);
  zv_be_put32(t.iPriority, tctlp->iPriority);
  zv_be_put32(t.zvp_version, tctlp->zvp_version);
  zv_be_put32(t.dest_port, tctlp->dest_port);
  if (tctlp->dest_ip != nullptr)
    memcpy(t.dest_ip, tctlp->dest_ip, strnlen(tctlp->dest_ip, sizeof t.dest_ip));
  memcpy(t.isa_line, tctlp->isa_line, strnlen(tctlp->isa_line, sizeof t.isa_line));
  zv_be_put32(t.imsg_length, tctlp->imsg_length);
  zv_be_put32(t.ibuf_alloc_length, tctlp->ibuf_alloc_length);
  zv_be_put32(t.omsg_length, tctlp->omsg_length);
  zv_be_put32(t.obuf_alloc_length, tctlp->obuf_alloc_length);
  zv_be_put32(t.local_cert_length, local_len);
  zv_be_put32(t.remote_cert_length, remote_len);
  zv_be_put32(t.digest_length, tctlp->digest_length);
  flaten_partner_id(tctlp, reinterpret_cast<st_tpid_str_t *>(t.partner_id));

  // The parts in the order of the conversation; each goes as frames of at most 1000 data
  // bytes, and all frames are handed to the library at once.
  struct part {
    const char *name;
    int type;
    const void *data;
    int length;
  };
  part parts[6];
  int nparts = 0;
  parts[nparts++] = {"trans_tctl", TRANS_TCTL, &t, TRANS_TCTL_SIZE};
  if (local_len > 0) parts[nparts++] = {"local cert", LOCAL_CERT, local_der.get(), local_len};
  if (remote_len > 0) parts[nparts++] = {"remote cert", REMOTE_CERT, remote_der.get(), remote_len};
  if (tctlp->imsg_length > 0 && tctlp->ibuf_alloc_length > 0)
    parts[nparts++] = {"ibuffer", IN_BUFFER, tctlp->ibufferp, tctlp->imsg_length};
  if (tctlp->omsg_length > 0 && tctlp->obuf_alloc_length > 0)
    parts[nparts++] = {"obuffer", OUT_BUFFER, tctlp->obufferp, tctlp->omsg_length};
  if (tctlp->digest_length > 0)
    parts[nparts++] = {"digest", DIGEST, tctlp->digest, tctlp->digest_length};
  int nframes = 0;
  for (int i = 0; i < nparts; ++i) nframes += frames_of(parts[i].length);
  std::unique_ptr<msghdr_t[]> headers(new (std::nothrow) msghdr_t[nframes]);
  std::unique_ptr<trans_frame_t[]> frames(new (std::nothrow) trans_frame_t[nframes]);
  // Every part is announced before the write, so that a sender the receiver does not
  // read from shows what it is sending while it waits.
  for (int i = 0; i < nparts; ++i)
    zv_log(8, "Sending %s, length = %d\n", parts[i].name, parts[i].length);
  int done = 0, rv = -1;
  if (!headers || !frames) {
    trans_close(fd);
    errno = ENOMEM;
  } else {
    int k = 0;
    for (int i = 0; i < nparts; ++i) {
      const unsigned char *src = static_cast<const unsigned char *>(parts[i].data);
      for (int off = 0; off < parts[i].length; off += TRANS_MAX_DATA, ++k) {
        zv_be_put16(headers[k].msg_type, parts[i].type);
        int n = parts[i].length - off < TRANS_MAX_DATA ? parts[i].length - off : TRANS_MAX_DATA;
        frames[k] = {reinterpret_cast<unsigned char *>(&headers[k]), src + off, n};
      }
    }
    rv = trans_put_frames(fd, frames.get(), nframes, &done);
  }
  if (rv < 0) {
    // The part the write failed in: the first not handed over whole.
    int err = errno, i = 0;
    for (int end = frames_of(parts[0].length); i + 1 < nparts && done >= end;)
      end += frames_of(parts[++i].length);
    zv_log(8, "Sending %s failed, errno = %d\n", parts[i].name, err);
    errno = err;
    return -1;
  }
  if (read_ack(fd, TRANS_ACK, where.text) < 0) {
    zv_log(8, "Waiting for acknowledgement failed, errno = %d\n", errno);
    return -1;
  }
  trans_close(fd);
  return 0;
}

int listen_transport(st_socaddr_t *local_socaddr, trans_accept_func_t accept_func) {
  return listen_transport_noting(local_socaddr, accept_func, nullptr);
}

int listen_transport_noting(st_socaddr_t *local_socaddr, trans_accept_func_t accept_func,
                            void (*listening)()) {
  ZV_ASSERT_ARG(local_socaddr != nullptr);
  ZV_ASSERT_ARG(accept_func != nullptr);
  if (local_socaddr == nullptr || accept_func == nullptr) return -1;
  addr_text where(local_socaddr);
  st_ipaddr_t host;
  int port;
  if (prepare_addr(local_socaddr, &host, &port) < 0) {
    zv_log(8, "Cannot determine proper port in (%s) - listen terminated\n", where.text);
    return -1;
  }
  if (zv_shutdown) return -1;
  struct told {
    void (*listening)();
  } t{listening};
  auto relay = [](void *arg) { static_cast<told *>(arg)->listening(); };
  trans_listen_noting(host, port, zv_trans_config, accept_func,
                      listening != nullptr ? +relay : nullptr, &t);
  int err = errno;
  zv_log(8, "listen on local transport socket at address (%s) failed - listen terminated\n",
         where.text);
  errno = err;
  return -1;
}

namespace {

// Reads one transaction into *tctlp. With `ack` the transaction is acknowledged and the
// connection closed before the record is filled, so that a failed acknowledgement leaves
// the record as it was given; without it the record is filled and the connection left
// open for the caller's answer.
int receive_transaction(Trans_ctl_rec *tctlp, int socket_fd, st_ipaddr_t *dest_ip, bool ack) {
  ZV_ASSERT_ARG(tctlp != nullptr);
  ZV_ASSERT_ARG(dest_ip != nullptr);
  if (tctlp == nullptr || dest_ip == nullptr) {
    trans_close(socket_fd);
    return -1;
  }
  zv_log(8, "Reading transport message from socket = %d\n", socket_fd);
  zv_log(8, "Reading trans_tctl, length = %d\n", TRANS_TCTL_SIZE);
  trans_bound bound;
  trans_tctl_t t;
  if (read_trans(socket_fd, TRANS_TCTL, &t, TRANS_TCTL_SIZE, bound) < 0) {
    zv_log(8, "Reading trans_tctl failed, errno = %d\n", errno);
    return -1;
  }
  const int imsg = zv_be_get32(t.imsg_length);
  const int ialloc = zv_be_get32(t.ibuf_alloc_length);
  const int omsg = zv_be_get32(t.omsg_length);
  const int oalloc = zv_be_get32(t.obuf_alloc_length);
  const int lcert = zv_be_get32(t.local_cert_length);
  const int rcert = zv_be_get32(t.remote_cert_length);
  const int digest_length = zv_be_get32(t.digest_length);
  char why[128];
  if (unacceptable(imsg, ialloc, omsg, oalloc, lcert, rcert, digest_length, why, sizeof why)) {
    zv_log(-1, "ERROR: Refused transport message from socket = %d: %s\n", socket_fd, why);
    trans_close(socket_fd);
    errno = TRANS_ERR_BAD_LENGTH;
    return -1;
  }

  // Everything is gathered here and handed to the record only once the transaction is
  // whole (and acknowledged, when that is asked), so a failed receive leaves the record as
  // it was given.
  int tp_index = tctlp->tp_index;
  st_tpid_str_t partner_id;
  memcpy(partner_id, t.partner_id, sizeof partner_id);
  if (create_partner_index(&partner_id, &tp_index) < 0) tp_index = -1;

  // The parts a receiver reads: a buffer without allocation is not read.
  bound.bytes += wire_bytes(lcert) + wire_bytes(rcert) + wire_bytes(ialloc > 0 ? imsg : 0) +
                 wire_bytes(oalloc > 0 ? omsg : 0) + wire_bytes(digest_length);
  x509_ptr local_cert, remote_cert;
  if (receive_cert(socket_fd, LOCAL_CERT, lcert, "local", bound, &local_cert) < 0) return -1;
  if (receive_cert(socket_fd, REMOTE_CERT, rcert, "remote", bound, &remote_cert) < 0) return -1;
  cbuf_ptr ibuf, obuf;
  if (receive_buffer(socket_fd, IN_BUFFER, ialloc, imsg, 'i', bound, &ibuf) < 0) return -1;
  if (receive_buffer(socket_fd, OUT_BUFFER, oalloc, omsg, 'o', bound, &obuf) < 0) return -1;
  char digest[ZV_DIGEST_SIZE];
  if (digest_length > 0) {
    zv_log(8, "Reading digest, length = %d\n", digest_length);
    if (read_trans(socket_fd, DIGEST, digest, digest_length, bound) < 0) {
      zv_log(8, "Reading of digest failed, errno = %d\n", errno);
      return -1;
    }
  }
  digest[digest_length] = '\0';

  if (ack) {
    if (write_ack(socket_fd, TRANS_ACK) < 0) {
      zv_log(8, "Sending of acknowledgement failed, errno = %d\n", errno);
      return -1;
    }
    trans_close(socket_fd);
  }

  tctlp->who = zv_be_get32(t.who);
  tctlp->msg_type = zv_be_get32(t.msg_type);
  tctlp->iPriority = zv_be_get32(t.iPriority);
  tctlp->zvp_version = zv_be_get32(t.zvp_version);
  tctlp->dest_port = zv_be_get32(t.dest_port);
  memcpy(tctlp->isa_line, t.isa_line, sizeof tctlp->isa_line);
  // The field may fill all 20 bytes; the caller's text must still end.
  memcpy(*dest_ip, t.dest_ip, sizeof(st_ipaddr_t) - 1);
  (*dest_ip)[sizeof(st_ipaddr_t) - 1] = '\0';
  tctlp->dest_ip = *dest_ip;
  tctlp->ibuf_length = tctlp->imsg_length = imsg;
  tctlp->ibuf_alloc_length = ialloc;
  tctlp->obuf_length = tctlp->omsg_length = omsg;
  tctlp->obuf_alloc_length = oalloc;
  tctlp->digest_length = digest_length;
  memcpy(tctlp->digest, digest, static_cast<size_t>(digest_length) + 1);
  tctlp->tp_index = tp_index;
  if (local_cert) tctlp->pLocalCert = local_cert.release();
  if (remote_cert) tctlp->pRemoteCert = remote_cert.release();
  if (ibuf) tctlp->ibufferp = ibuf.release();
  if (obuf) tctlp->obufferp = obuf.release();
  dump_tctlp(8, tctlp);
  return 0;
}

}  // namespace

int receive_transport_msg(Trans_ctl_rec *tctlp, int socket_fd, st_ipaddr_t *dest_ip) {
  return receive_transaction(tctlp, socket_fd, dest_ip, true);
}

int receive_transport_msg_held(Trans_ctl_rec *tctlp, int socket_fd, st_ipaddr_t *dest_ip) {
  return receive_transaction(tctlp, socket_fd, dest_ip, false);
}

int answer_transport_msg(int socket_fd, bool taken) {
  int rc = 0;
  if (taken && write_ack(socket_fd, TRANS_ACK) < 0) {
    zv_log(8, "Sending of acknowledgement failed, errno = %d\n", errno);
    rc = -1;
  }
  // The library closed the connection itself when the write failed.
  trans_close(socket_fd);
  return rc;
}
