#include "partners/zv_crypto.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <vector>

#include "partners/zv_partner_util.h"
#include "runtime/zv_common.h"
#include "runtime/zv_log.h"

using zv_partners::BioPtr;
using zv_partners::crypto_error_text;
using zv_partners::PkeyCtxPtr;
using zv_partners::soft_assert;

namespace {

constexpr const char *kSource = "zv_crypto";
constexpr int kSha1Bytes = 20;
constexpr int kHexDigestChars = 2 * kSha1Bytes;

// DER of the DigestInfo for SHA-1 up to its OCTET STRING's contents, which here are the
// 40 hex characters (length 0x28), not the 20 digest bytes.
constexpr unsigned char kDigestInfoPrefix[] = {0x30, 0x35, 0x30, 0x09, 0x06, 0x05, 0x2B, 0x0E,
                                               0x03, 0x02, 0x1A, 0x05, 0x00, 0x04, 0x28};
constexpr size_t kSignedBlockSize = sizeof kDigestInfoPrefix + kHexDigestChars;
static_assert(kSignedBlockSize == 55);
static_assert(ZV_MIN_SIGNING_KEY_BYTES == kSignedBlockSize + RSA_PKCS1_PADDING_SIZE);

// Fills `block` with the DigestInfo over the hex digest of the data; false when the
// digest or the SHA-1 type cannot be had (already logged).
bool signed_block(const unsigned char *bufp, unsigned long blen,
                  unsigned char block[kSignedBlockSize]) {
  char hex[ZV_HEX_DIGEST_SIZE];
  if (hex_digest(bufp, blen, hex) == nullptr) return false;
  if (OBJ_txt2nid("SHA1") == NID_undef) {
    zv_log(-1, "ERROR: SHA1 nid lookup error\n");
    return false;
  }
  memcpy(block, kDigestInfoPrefix, sizeof kDigestInfoPrefix);
  memcpy(block + sizeof kDigestInfoPrefix, hex, kHexDigestChars);
  return true;
}

bool is_rsa(EVP_PKEY *key) { return EVP_PKEY_get_base_id(key) == EVP_PKEY_RSA; }

// The daemons have no one to ask for a pass phrase: without this the library prompts on
// the terminal or, with none, reads standard input, and a daemon whose standard input is
// an open pipe waits there for ever. Giving none makes an encrypted PEM file fail at once.
int no_pass_phrase(char * /*buf*/, int /*size*/, int /*rwflag*/, void * /*u*/) { return 0; }

// The BIO callback installed on every printing BIO. Text written with BIO_puts is
// handed on like a write: the library's printers use both.
long print_callback_ex(BIO *bio, int oper, const char *argp, size_t len, int /*argi*/,
                       long argl, int ret, size_t * /*processed*/) {
  if (argp != nullptr && (oper == BIO_CB_WRITE || oper == BIO_CB_PUTS)) {
    size_t n = oper == BIO_CB_PUTS ? strlen(argp) : len;
    print_callback(bio, BIO_CB_WRITE, argp, static_cast<int>(std::min<size_t>(n, INT_MAX)),
                   argl, ret);
  }
  return ret;
}

// Runs `print` over a null BIO whose writes are split into log lines. `who` names the
// printout in its error line.
template <typename F>
int with_print_bio(const char *who, F &&print) {
  char line[ZV_PRINT_LINE_SIZE];
  line[0] = '\0';
  BioPtr bio(BIO_new(BIO_s_null()));
  if (!bio) {
    zv_log(-1, "ERROR: %s(), BIO_new returned NULL\n", who);
    return -1;
  }
  BIO_set_callback_ex(bio.get(), print_callback_ex);
  BIO_set_callback_arg(bio.get(), line);
  if (!print(bio.get())) {
    zv_log(-1, "ERROR: %s(), printing failed: %s\n", who, crypto_error_text().c_str());
    return -1;
  }
  return 0;
}

void name_oneline(X509_NAME *name, char *buf, int size) {
  buf[0] = '\0';
  if (name != nullptr) X509_NAME_oneline(name, buf, size);
}

}  // namespace

char *hex_digest(const unsigned char *data, unsigned long len, char *out) {
  if (out == nullptr || (data == nullptr && len > 0)) {
    soft_assert(kSource, __LINE__);
    return nullptr;
  }
  static const unsigned char empty = 0;
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int mdlen = 0;
  if (EVP_Digest(data != nullptr ? data : &empty, len, md, &mdlen, EVP_sha1(), nullptr) != 1 ||
      mdlen != kSha1Bytes) {
    zv_log(-1, "ERROR: SHA1 digest failed: %s\n", crypto_error_text().c_str());
    return nullptr;
  }
  hexify_string(md, mdlen, out);
  return out;
}

int hex_digest3(const unsigned char *data, unsigned long len, char *out) {
  return hex_digest(data, len, out) != nullptr ? kSha1Bytes : 0;
}

char *hex_RSAsign(EVP_PKEY *rsap, unsigned char *bufp, unsigned long blen,
                  unsigned long *olenp, char *RSA_digest) {
  if (rsap == nullptr || olenp == nullptr || RSA_digest == nullptr ||
      (bufp == nullptr && blen > 0)) {
    soft_assert(kSource, __LINE__);
    return nullptr;
  }
  if (!is_rsa(rsap)) {
    zv_log(-1, "ERROR: hex_RSAsign(), the signing key is not an RSA key\n");
    return nullptr;
  }
  int size = EVP_PKEY_get_size(rsap);
  if (size < ZV_MIN_SIGNING_KEY_BYTES || size > ZV_MAX_DIGEST_LENGTH) {
    zv_log(-1,
           "ERROR: hex_RSAsign(), RSA key modulus of %d bytes cannot sign, it must be %d to "
           "%d bytes\n",
           size, ZV_MIN_SIGNING_KEY_BYTES, ZV_MAX_DIGEST_LENGTH);
    return nullptr;
  }
  unsigned char block[kSignedBlockSize];
  if (!signed_block(bufp, blen, block)) return nullptr;

  // Raw PKCS#1 v1.5 block type 1 over our own DigestInfo: with a digest type set, the
  // library would wrap the 40 characters in a DigestInfo for 20 bytes instead.
  PkeyCtxPtr ctx(EVP_PKEY_CTX_new(rsap, nullptr));
  std::vector<unsigned char> sig(static_cast<size_t>(size));
  size_t siglen = sig.size();
  if (!ctx || EVP_PKEY_sign_init(ctx.get()) <= 0 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) <= 0 ||
      EVP_PKEY_sign(ctx.get(), sig.data(), &siglen, block, sizeof block) <= 0) {
    zv_log(-1, "ERROR: hex_RSAsign(), RSA signature failed: %s\n", crypto_error_text().c_str());
    return nullptr;
  }
  memcpy(RSA_digest, sig.data(), siglen);
  *olenp = siglen;
  return RSA_digest;
}

int hex_RSAverify(EVP_PKEY *rsap, unsigned char *bufp, unsigned long blen,
                  unsigned char *rsabufp, unsigned int rsalen) {
  if (rsap == nullptr || rsabufp == nullptr || (bufp == nullptr && blen > 0)) {
    soft_assert(kSource, __LINE__);
    return 0;
  }
  unsigned char block[kSignedBlockSize];
  if (!signed_block(bufp, blen, block)) return 0;
  if (!is_rsa(rsap)) {
    zv_log(-1, "ERROR: hex_RSAverify(), the key is not an RSA key\n");
    return 0;
  }
  int size = EVP_PKEY_get_size(rsap);
  if (size <= 0 || rsalen != static_cast<unsigned>(size)) return 0;

  PkeyCtxPtr ctx(EVP_PKEY_CTX_new(rsap, nullptr));
  std::vector<unsigned char> recovered(static_cast<size_t>(size));
  size_t rlen = recovered.size();
  if (!ctx || EVP_PKEY_verify_recover_init(ctx.get()) <= 0 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) <= 0 ||
      EVP_PKEY_verify_recover(ctx.get(), recovered.data(), &rlen, rsabufp, rsalen) <= 0) {
    zv_log(-1, "ERROR: hex_RSAverify(), RSA signature recovery failed: %s\n",
           crypto_error_text().c_str());
    return 0;
  }
  return rlen == sizeof block && memcmp(recovered.data(), block, sizeof block) == 0 ? 1 : 0;
}

unsigned long hexify_string(const unsigned char *bytes, unsigned long len, char *out) {
  if (out == nullptr || (bytes == nullptr && len > 0)) {
    soft_assert(kSource, __LINE__);
    return 0;
  }
  static const char digits[] = "0123456789abcdef";
  for (unsigned long i = 0; i < len; ++i) {
    out[2 * i] = digits[bytes[i] >> 4];
    out[2 * i + 1] = digits[bytes[i] & 0x0f];
  }
  out[2 * len] = '\0';
  return 2 * len;
}

namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

unsigned long dehexify_string(const char *hex, unsigned long len, unsigned char *out) {
  if (out == nullptr || (hex == nullptr && len > 0)) {
    soft_assert(kSource, __LINE__);
    return 0;
  }
  unsigned long o = 0;
  for (unsigned long i = 0; i < len; i += 2) {
    int hi = hex_value(hex[i]);
    int lo = i + 1 < len ? hex_value(hex[i + 1]) : -1;
    int v = hi < 0 ? 0 : (lo < 0 ? hi : hi * 16 + lo);
    out[o++] = static_cast<unsigned char>(v);
  }
  out[o] = '\0';
  return len / 2;
}

int load_cert_struct_from_file(X509 **out, const char *path) {
  if (out == nullptr) {
    soft_assert(kSource, __LINE__);
    return -1;
  }
  X509 *cert = nullptr;
  BioPtr bio(BIO_new(BIO_s_file()));
  if (!bio || path == nullptr) {
    print_ssl_errors();
  } else if (BIO_read_filename(bio.get(), path) <= 0) {
    perror(path);
  } else {
    cert = PEM_read_bio_X509_AUX(bio.get(), nullptr, no_pass_phrase, nullptr);
  }
  if (cert == nullptr) {
    fputs("unable to load certificate\n", stderr);
    print_ssl_errors();
    return -1;
  }
  *out = cert;
  return 0;
}

int load_private_key_from_file(const char *path, EVP_PKEY **out) {
  if (out == nullptr) {
    soft_assert(kSource, __LINE__);
    return -1;
  }
  EVP_PKEY *key = nullptr;
  if (path == nullptr) {
    fputs("no keyfile specified\n", stderr);
  } else {
    BioPtr bio(BIO_new(BIO_s_file()));
    if (!bio) {
      print_ssl_errors();
    } else if (BIO_read_filename(bio.get(), path) <= 0) {
      perror(path);
    } else {
      key = PEM_read_bio_PrivateKey(bio.get(), nullptr, no_pass_phrase, nullptr);
      if (key != nullptr && !is_rsa(key)) {
        fprintf(stderr, "%s: not an RSA private key\n", path);
        EVP_PKEY_free(key);
        key = nullptr;
      }
    }
  }
  if (key == nullptr) {
    fputs("unable to load Private Key\n", stderr);
    print_ssl_errors();
    return -1;
  }
  *out = key;
  return 0;
}

int dump_X509(X509 *cert) {
  if (cert == nullptr) {
    soft_assert(kSource, __LINE__);
    return -1;
  }
  return with_print_bio("dump_X509", [&](BIO *bio) { return X509_print(bio, cert) > 0; });
}

int dump_PEM_X509(X509 *cert) {
  if (cert == nullptr) {
    soft_assert(kSource, __LINE__);
    return -1;
  }
  return with_print_bio("dump_PEM_X509",
                        [&](BIO *bio) { return PEM_write_bio_X509(bio, cert) > 0; });
}

int dump_RSA(EVP_PKEY *key, int indent) {
  if (key == nullptr) {
    soft_assert(kSource, __LINE__);
    return -1;
  }
  return with_print_bio("dump_RSA", [&](BIO *bio) {
    return EVP_PKEY_print_private(bio, key, indent, nullptr) > 0;
  });
}

int print_ssl_errors() {
  return with_print_bio("print_ssl_errors", [](BIO *bio) {
    ERR_print_errors(bio);
    return true;
  });
}

long print_callback(BIO *bio, int oper, const char *argp, int argi, long /*argl*/,
                    long ret) {
  if (oper != BIO_CB_WRITE) return ret;
  return print_lines(bio, argp, argi, ZV_PRINT_LINE_SIZE, ret);
}

long print_lines(BIO *bio, const char *argp, int argi, size_t capacity, long ret) {
  if (bio == nullptr || argp == nullptr || argi <= 0 || capacity < 2) return ret;
  char *line = static_cast<char *>(BIO_get_callback_arg(bio));
  if (line == nullptr) return ret;
  const size_t kCapacity = capacity - 1;
  size_t used = strnlen(line, kCapacity);
  const char *p = argp;
  const char *end = argp + argi;
  while (p < end) {
    const char *nl = static_cast<const char *>(memchr(p, '\n', static_cast<size_t>(end - p)));
    size_t run = nl != nullptr ? static_cast<size_t>(nl - p) + 1 : static_cast<size_t>(end - p);
    size_t take = std::min(run, kCapacity - used);
    memcpy(line + used, p, take);
    used += take;
    line[used] = '\0';
    if (nl != nullptr) {
      // A line cut to fit keeps its newline, so the next line still starts afresh.
      if (take < run) line[used - 1] = '\n';
      if (used > 1) zv_log(1, "  %s", line);
      used = 0;
      line[0] = '\0';
    }
    p += run;
  }
  return ret;
}

void print_peer_certs(int level, SSL *ssl, int verbose, int showcerts) {
  if (ssl == nullptr) {
    soft_assert(kSource, __LINE__);
    return;
  }
  constexpr int kNameSize = 8192;
  std::vector<char> name(kNameSize);
  zv_log(level, "== Peer Certificates ======================\n");
  X509 *peer = nullptr;
  if (verbose) {
    STACK_OF(X509) *chain = SSL_get_peer_cert_chain(ssl);
    bool chain_printed = false;
    if (chain != nullptr) {
      chain_printed = true;
      zv_log(level, "--- Start Certificate chain\n");
      for (int i = 0; i < sk_X509_num(chain); ++i) {
        X509 *c = sk_X509_value(chain, i);
        name_oneline(X509_get_subject_name(c), name.data(), kNameSize);
        zv_log(level, "%2d s:%s\n", i, name.data());
        name_oneline(X509_get_issuer_name(c), name.data(), kNameSize);
        zv_log(level, "   i:%s\n", name.data());
        if (showcerts) {
          zv_log(128, "--- Peer Certificate\n");
          dump_PEM_X509(c);
        }
      }
      zv_log(level, "--- End of Certificate chain\n");
    }
    peer = SSL_get1_peer_certificate(ssl);
    if (peer != nullptr) {
      zv_log(level, "--- Server certificate\n");
      if (!(showcerts && chain_printed)) {
        zv_log(128, "--- Peer Certificate\n");
        dump_PEM_X509(peer);
      }
      name_oneline(X509_get_subject_name(peer), name.data(), kNameSize);
      zv_log(level, "  subject=%s\n", name.data());
      name_oneline(X509_get_issuer_name(peer), name.data(), kNameSize);
      zv_log(level, "  issuer=%s\n", name.data());
    } else {
      zv_log(level, "--- no peer certificate available\n");
    }
    STACK_OF(X509_NAME) *cas = SSL_get_client_CA_list(ssl);
    if (cas != nullptr && sk_X509_NAME_num(cas) > 0) {
      zv_log(level, "--- Acceptable client certificate CA names\n");
      for (int i = 0; i < sk_X509_NAME_num(cas); ++i) {
        name_oneline(sk_X509_NAME_value(cas, i), name.data(), kNameSize);
        zv_log(level, "%s\n", name.data());
      }
    } else {
      zv_log(level, "--- No client certificate CA names sent\n");
    }
    BIO *rbio = SSL_get_rbio(ssl);
    BIO *wbio = SSL_get_wbio(ssl);
    zv_log(level, "--- SSL handshake has read %ld bytes and written %ld bytes\n",
           static_cast<long>(rbio != nullptr ? BIO_number_read(rbio) : 0),
           static_cast<long>(wbio != nullptr ? BIO_number_written(wbio) : 0));
  }
  const SSL_CIPHER *cipher = SSL_get_current_cipher(ssl);
  zv_log(level, "%s%s, Cipher is %s\n", SSL_session_reused(ssl) ? "--- Reused, " : "--- New, ",
         SSL_CIPHER_get_version(cipher), SSL_CIPHER_get_name(cipher));
  if (peer != nullptr) {
    EVP_PKEY *pub = X509_get0_pubkey(peer);
    zv_log(level, "--- Server public key is %d bit\n", pub != nullptr ? EVP_PKEY_get_bits(pub) : 0);
    X509_free(peer);
  }
  zv_log(level, "== END Peer Certificates ==================\n");
}
