// The crypto helpers that fix how the system digests, signs and hex-encodes message
// content, loads its own certificate and RSA key from PEM files, and prints
// certificates, keys, the crypto library's error queue and SSL sessions into the
// diagnostic log.
//
// The signature rule is part of the wire format: the signed block is the PKCS#1 v1.5
// DigestInfo for SHA-1 whose OCTET STRING holds the 40 lower-case hex characters of the
// SHA-1 digest (not the 20 digest bytes), padded with block type 1. Every partner that
// checks an envelope computes the same bytes.
//
// Callers: the local-certificate loader, the envelope builders and checkers, the
// record dumps. Every function is safe to call from any thread; the printouts keep their
// line buffer on the caller's stack.
#ifndef ZV_PARTNERS_ZV_CRYPTO_H
#define ZV_PARTNERS_ZV_CRYPTO_H

#include <openssl/bio.h>
#include <openssl/types.h>

// Bytes of the hex digest text, with its NUL.
constexpr int ZV_HEX_DIGEST_SIZE = 41;
// The smallest RSA modulus, in bytes, that can carry the 55-byte DigestInfo.
constexpr int ZV_MIN_SIGNING_KEY_BYTES = 66;
// The line buffer of one printout; longer lines are cut to fit.
constexpr int ZV_PRINT_LINE_SIZE = 1024;

// SHA-1 of the `len` bytes as 40 lower-case hex characters and a NUL in `out` (at least
// ZV_HEX_DIGEST_SIZE bytes). Returns `out`, or NULL when the digest fails.
char *hex_digest(const unsigned char *data, unsigned long len, char *out);
// As hex_digest; returns the number of digest bytes (20), 0 on failure.
int hex_digest3(const unsigned char *data, unsigned long len, char *out);

// Signs the `blen` bytes at `bufp` by the signature rule. `RSA_digest` receives the raw
// signature, as long as the key's modulus (EVP_PKEY_get_size(rsap) bytes), and must hold
// that many; keys with a modulus above ZV_DIGEST_SIZE - 1 bytes are refused so that a
// transaction's digest field always fits. The length goes to `*olenp`. Returns
// `RSA_digest`, or NULL (outputs untouched) when the key is not a usable RSA key, is
// shorter than ZV_MIN_SIGNING_KEY_BYTES, or the signature fails.
char *hex_RSAsign(EVP_PKEY *rsap, unsigned char *bufp, unsigned long blen,
                  unsigned long *olenp, char *RSA_digest);
// 1 when the `rsalen` bytes at `rsabufp` are a signature of the `blen` bytes at `bufp`
// made by the signature rule with the private half of `rsap`, else 0.
int hex_RSAverify(EVP_PKEY *rsap, unsigned char *bufp, unsigned long blen,
                  unsigned char *rsabufp, unsigned int rsalen);

// Two lower-case hex digits per byte and a NUL; `out` holds 2 * len + 1 bytes. Returns
// 2 * len.
unsigned long hexify_string(const unsigned char *bytes, unsigned long len, char *out);
// One byte per pair of characters (upper or lower case). A pair whose first character
// is not a hex digit gives 0; one whose second is not gives the first digit alone; with
// an odd `len` the last digit stands alone. A NUL follows the last byte written, so `out`
// holds (len + 1) / 2 + 1 bytes. Returns len / 2. Never reads beyond hex[len - 1].
unsigned long dehexify_string(const char *hex, unsigned long len, unsigned char *out);

// Reads the first PEM certificate of `path` into `*out` (the caller passes it NULL and
// owns what it receives). 0, or -1 after "unable to load certificate" on standard error.
// No pass phrase is ever asked for: an encrypted PEM block fails at once.
int load_cert_struct_from_file(X509 **out, const char *path);
// Reads a PEM RSA private key (traditional or PKCS#8 form) into `*out` (caller owns it).
// 0, or -1 after "unable to load Private Key" on standard error. No pass phrase is
// supplied or asked for (neither terminal nor standard input is read): an encrypted key
// fails at once like an unreadable one.
int load_private_key_from_file(const char *path, EVP_PKEY **out);

// Printouts into the diagnostic log. Every line goes out at debug level 1 as "  %s";
// bare newlines and a last piece of text without newline are dropped. 0, or -1 when the
// printing BIO cannot be made or an argument is missing.
int dump_X509(X509 *cert);
int dump_PEM_X509(X509 *cert);
int dump_RSA(EVP_PKEY *key, int indent);
// Prints and empties the calling thread's error queue.
int print_ssl_errors();

// The line splitter behind the printouts. Handles only the call made before a write
// (`oper` BIO_CB_WRITE): the `argi` bytes at `argp` are appended to the line buffer held
// as the BIO's callback argument (ZV_PRINT_LINE_SIZE bytes, NUL-terminated), and each
// completed line is logged. Returns `ret` unchanged.
long print_callback(BIO *bio, int oper, const char *argp, int argi, long argl, long ret);

// The same splitter over a line buffer of `capacity` bytes (a printer with longer lines
// hands its own buffer); lines longer than the buffer are cut to fit. Returns `ret`.
long print_lines(BIO *bio, const char *argp, int argi, size_t capacity, long ret);

// Report of an SSL session's certificates and cipher at `level`.
void print_peer_certs(int level, SSL *ssl, int verbose, int showcerts);

#endif
